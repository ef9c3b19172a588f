// The user's settings in a per-user INI file under the application's name
// ($XDG_CONFIG_HOME/Dioptrix/Dioptrix.ini, usually ~/.config), in the sections
// "3D", "DX7" and "Options". The store keeps the glasses dialog's choices as
// the texts of its lists; the dialog turns them into Settings values. The
// Format menu's Improved depth entry is kept beside them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// The leading decimal number of a text (spaces before it skipped, anything
// after it ignored); nothing when there is none or it does not fit.
std::optional<int32_t> LeadingNumber(std::string_view text);

// Where the improved depth setting is stored.
inline constexpr const char* kImprovedDepthKey = "Options/ImprovedDepth";

// The five stored texts; a key missing from the file gives its first-run
// text.
struct StoredSettings {
  std::string glasses = "5";        // 3D/Glasses: the glasses code
  std::string refresh = "Default";  // DX7/Refresh: a refresh list entry
  std::string depth = "32 bit";     // DX7/Depth: a colour depth list entry
  std::string res = "640 x480";     // DX7/Res: a resolution list entry
  std::string vertFactor = "10";    // Options/VertFactor: the offset factor
  bool operator==(const StoredSettings&) const = default;
};

class SettingsStore {
 public:
  // file: the INI file to use instead of the per-user one (tests).
  explicit SettingsStore(std::string file = {});
  std::string FilePath() const;
  // Reads the five texts. A missing key (or a file that cannot be read)
  // gives the first-run text, a value that is no text an empty one.
  StoredSettings Load() const;
  // Writes the five texts, replacing the file as a whole (never leaving a
  // half-written one). False, with a message for the user in *error, when the
  // file could not be written; the file is unchanged then.
  bool Save(const StoredSettings& values, std::string* error) const;

  // The Format menu's Improved depth entry, stored on its own under
  // kImprovedDepthKey as "1" (on) or "0" (off). Anything but "1", a missing
  // key included, is off. Saving writes that key alone, as Save does (false,
  // with the message in *error, when the file could not be written).
  bool LoadImprovedDepth() const;
  bool SaveImprovedDepth(bool on, std::string* error) const;

 private:
  std::string file_;
};

}  // namespace dioptrix::gui
