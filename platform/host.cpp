#include "platform/host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

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

void Host::Idle() const {
  if (onIdle) {
    onIdle();
    return;
  }
  PumpEvents();
}

void Host::RunEventsFor(int32_t milliseconds) const {
  if (onRunEventsFor) {
    onRunEventsFor(milliseconds);
    return;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
  for (;;) {
    PumpEvents();
    const Clock::time_point now = Clock::now();
    if (now >= end) break;
    std::this_thread::sleep_for(std::min<Clock::duration>(end - now, std::chrono::milliseconds(5)));
  }
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
