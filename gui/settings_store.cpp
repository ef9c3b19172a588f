#include "gui/settings_store.h"

#include <QSettings>
#include <QString>
#include <algorithm>
#include <charconv>
#include <iterator>
#include <memory>

namespace dioptrix::gui {

namespace {

// The leading decimal number of a text, anything after it ignored.
std::optional<int32_t> LeadingNumber(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

template <size_t N>
bool IsEntry(const char* const (&entries)[N], const std::string& text) {
  return std::find_if(std::begin(entries), std::end(entries),
                      [&](const char* e) { return text == e; }) != std::end(entries);
}

std::unique_ptr<QSettings> OpenStore(const std::string& file) {
  if (!file.empty())
    return std::make_unique<QSettings>(QString::fromStdString(file), QSettings::IniFormat);
  return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                     QStringLiteral("Dioptrix"), QStringLiteral("Dioptrix"));
}

}  // namespace

bool ChooseResolution(Settings& settings, const std::string& entry) {
  if (!IsEntry(kResolutionEntries, entry)) return false;
  settings.ScreenWidth = LeadingNumber(std::string_view(entry).substr(0, 4)).value_or(0);
  settings.ScreenHeight = LeadingNumber(std::string_view(entry).substr(5)).value_or(0);
  return true;
}

bool ChooseColourDepth(Settings& settings, const std::string& entry) {
  if (!IsEntry(kColourDepthEntries, entry)) return false;
  settings.ColourDepth = LeadingNumber(std::string_view(entry).substr(0, 2)).value_or(0);
  return true;
}

bool ChooseRefreshRate(Settings& settings, const std::string& entry) {
  if (!IsEntry(kRefreshEntries, entry)) return false;
  settings.RefreshRate = entry == "Default" ? -1 : LeadingNumber(entry).value_or(-1);
  return true;
}

SettingsStore::SettingsStore(std::string file) : file_(std::move(file)) {}

std::string SettingsStore::FilePath() const { return OpenStore(file_)->fileName().toStdString(); }

void SettingsStore::Load(Settings& settings) const {
  const auto store = OpenStore(file_);
  auto text = [&](const char* key, const char* fallback) {
    return store->value(QString::fromLatin1(key), QString::fromLatin1(fallback))
        .toString()
        .toStdString();
  };
  if (auto glasses = LeadingNumber(text("3D/Glasses", "5"));
      glasses && *glasses >= INT16_MIN && *glasses <= INT16_MAX)
    settings.GlassesType = static_cast<int16_t>(*glasses);
  ChooseRefreshRate(settings, text("DX7/Refresh", "Default"));
  ChooseColourDepth(settings, text("DX7/Depth", "32 bit"));
  ChooseResolution(settings, text("DX7/Res", "640 x480"));
  // The vertical offset divides the screen height: only values from 1 up.
  if (auto factor = LeadingNumber(text("Options/VertFactor", "10")); factor && *factor >= 1)
    settings.VertFactor = *factor;
}

}  // namespace dioptrix::gui
