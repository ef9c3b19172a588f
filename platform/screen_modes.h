// The display-settings service: the screen's current mode, the modes it
// offers, and switching to one of them for fullscreen playback. The OpenGL
// back-end saves the desktop's mode, switches to the configured screen mode,
// and puts the desktop's mode back at close (display/screen_mode.h).
//
// Implementations: XRandR (platform/xrandr, the player), and test fakes.
// Called on the user-interface thread only. Failures are answered by false
// (Change) or an empty mode (Current); nothing is reported from here.
#pragma once

#include <cstdint>

namespace dioptrix {

struct DisplayMode {
  int32_t width = 0;
  int32_t height = 0;
  int32_t bitsPerPixel = 0;
  int32_t refresh = 0;  // Hz, rounded to the nearest whole one; 0 when unknown

  bool operator==(const DisplayMode&) const = default;
};

// Which fields of a mode a change applies (the frequency only when asked for).
inline constexpr uint32_t kModeBitsPerPixel = 0x40000;
inline constexpr uint32_t kModeWidth = 0x80000;
inline constexpr uint32_t kModeHeight = 0x100000;
inline constexpr uint32_t kModeFrequency = 0x400000;
inline constexpr uint32_t kModeSize = kModeBitsPerPixel | kModeWidth | kModeHeight;  // 0x1C0000

class ScreenModes {
 public:
  virtual ~ScreenModes() = default;
  // The mode the screen shows now: width, height, bits per pixel, refresh.
  virtual DisplayMode Current() = 0;
  // The index-th mode the screen offers, from 0 upward; false past the last.
  virtual bool Enumerate(int32_t index, DisplayMode& mode) = 0;
  // Switches the screen to mode, applying the fields named by `fields`
  // (kModeSize, plus kModeFrequency to ask for the refresh rate too). True
  // when the screen shows it afterwards.
  virtual bool Change(const DisplayMode& mode, uint32_t fields) = 0;
};

}  // namespace dioptrix
