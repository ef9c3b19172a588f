// The user's settings as the program uses them, with their first-run values.
// The GUI loads and saves them through the per-user settings store; the core
// only reads them.
#pragma once

#include <cstdint>

namespace dioptrix {

struct Settings {
  // Glasses code 1..7: 1-3 shutter glasses, 4 Generic OpenGL, 5 anaglyph
  // red/green, 6 anaglyph blue/yellow, 7 stereo display driver.
  int16_t GlassesType = 5;
  // Fullscreen screen mode.
  int32_t ScreenWidth = 640;
  int32_t ScreenHeight = 480;
  int32_t ColourDepth = 32;
  int32_t RefreshRate = -1;  // Hz; -1 for the display's default
  // Vertical offset factor of the above/below composition: the gap between
  // the views is ScreenHeight / VertFactor rows.
  int32_t VertFactor = 10;
  // Fullscreen interlaced output goes through OpenGL (true at start-up).
  bool InterlaceViaOpenGL = true;
};

}  // namespace dioptrix
