// The user's settings in a per-user INI file under the application's name
// ($XDG_CONFIG_HOME/Dioptrix/Dioptrix.ini, usually ~/.config), in the sections
// "3D", "DX7" and "Options". Loading applies each stored value as choosing it
// in the glasses dialog would; a missing key gives its first-run value.
#pragma once

#include <optional>
#include <string>

#include "platform/settings.h"

namespace dioptrix::gui {

// The entries of the glasses dialog's lists, in list order.
inline constexpr const char* kResolutionEntries[] = {
    "640 x480", "800 x600", "1024x768", "1152x864 ", "1280x1024 ", "1600x1200 ", "1800x1440"};
inline constexpr const char* kColourDepthEntries[] = {"32 bit", "24 bit", "16 bit"};
inline constexpr const char* kRefreshEntries[] = {"Default", "100", "110", "120", "130",
                                                  "140",     "150", "160", "170"};

// Choosing a list entry: the screen mode it stands for goes into settings.
// A text that is no entry of the list changes nothing (false).
bool ChooseResolution(Settings& settings, const std::string& entry);
bool ChooseColourDepth(Settings& settings, const std::string& entry);
bool ChooseRefreshRate(Settings& settings, const std::string& entry);

class SettingsStore {
 public:
  // file: the INI file to use instead of the per-user one (tests).
  explicit SettingsStore(std::string file = {});
  std::string FilePath() const;
  // Reads the five settings into settings.
  void Load(Settings& settings) const;

 private:
  std::string file_;
};

}  // namespace dioptrix::gui
