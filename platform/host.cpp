#include "platform/host.h"

#include <cstdio>

#include "platform/error.h"

namespace dioptrix {

void Host::Message(std::string_view text, MessageStyle style) const {
  if (onMessage) {
    onMessage(std::string(text), style);
    return;
  }
  std::fprintf(stderr, "%s%.*s\n", style == MessageStyle::Error ? "dioptrix: " : "",
               static_cast<int>(text.size()), text.data());
}

void Host::PumpEvents() const {
  if (onPumpEvents) onPumpEvents();
}

ScreenSize Host::DesktopSize() const {
  if (onDesktopSize) return onDesktopSize();
  return {1920, 1080};
}

void MessageLog::Attach(Host& host) {
  host.onMessage = [this](const std::string& text, MessageStyle style) {
    entries.push_back({text, style});
  };
}

std::vector<std::string> MessageLog::Texts() const {
  std::vector<std::string> texts;
  for (const auto& e : entries) texts.push_back(e.text);
  return texts;
}

void ReportException(const Host& host, std::string_view prefix, const std::exception& e) {
  std::string text(prefix);
  text += DescribeException(e);
  host.Message(text);
}

}  // namespace dioptrix
