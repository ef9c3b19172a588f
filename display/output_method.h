// How a playback's frames are composed and shown: the output method, and
// whether the display is wanted fullscreen. The output method picks both the
// composition of the stereo pair and the display back-end.
#pragma once

#include <cstdint>

#include "platform/flags.h"

namespace dioptrix {

enum OutputMethod : int16_t {
  kOutputShutterEye3D = 1,     // above/below, OpenGL fullscreen, Eye3D line codes
  kOutputAnaglyphGrey = 2,     // grey red/cyan anaglyph, blit
  kOutputAnaglyphColour = 3,   // colour red/cyan anaglyph, blit
  kOutputAnaglyphYellow = 4,   // blue/yellow anaglyph, blit
  kOutputInterlaced = 5,       // row-interleaved
  kOutputStereoDriver = 6,     // side by side with the stereo signature, fullscreen
  kOutputShutterED = 7,        // above/below, OpenGL fullscreen, eDimensional line codes
  kOutputOpenGLQuadBuffer = 8  // side by side into the left and right back buffers
};

// What the display dispatch needs of a playback request.
struct OutputRequest {
  int16_t OutputMethod = kOutputAnaglyphColour;
  int16_t Fullscreen = kFalse;  // 16-bit boolean

  bool IsFullscreen() const { return Fullscreen != kFalse; }
};

}  // namespace dioptrix
