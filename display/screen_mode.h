// Screen modes for fullscreen playback, on the display-settings service of
// platform/screen_modes.h: the desktop's mode is saved when a fullscreen
// display opens, the configured mode is found among the screen's modes and
// set, and the saved mode is put back when the display closes.
#pragma once

#include <cstdint>

#include "platform/host.h"
#include "platform/screen_modes.h"

namespace dioptrix {

// Shown when the configured mode cannot be set (playback goes on).
inline constexpr const char* kScreenModeFailed =
    "Unable to set requested screen mode. Please check the options in settings.";

// The enumeration's first mode of width x height at bits per pixel whose
// refresh is `refresh` (any, when refresh is -1); when none matches, the last
// mode the enumeration gave (an empty mode when it gave none).
DisplayMode FindDisplayMode(ScreenModes& modes, int32_t width, int32_t height, int32_t bits,
                            int32_t refresh);

// Switches to width x height at bits per pixel and `refresh` Hz (-1: the
// mode's own rate, no frequency asked for). A failure shows kScreenModeFailed
// and returns false; the caller goes on in the mode the screen has.
bool SetScreenMode(ScreenModes& modes, Host& host, int32_t width, int32_t height, int32_t bits,
                   int32_t refresh);

// The desktop's mode, saved before a switch and put back afterwards.
class SavedDisplayMode {
 public:
  // Remembers the mode the screen shows now.
  void Save(ScreenModes& modes);
  bool Saved() const { return saved_; }
  const DisplayMode& Mode() const { return mode_; }
  // Puts the saved mode back (with its refresh unless that is -1); false
  // when nothing was saved or the screen refused. Forgets the saved mode.
  bool Reset(ScreenModes& modes);

 private:
  DisplayMode mode_;
  bool saved_ = false;
};

}  // namespace dioptrix
