// How a playback's frames are composed and shown: the output method, and
// whether the display is wanted fullscreen. The output method picks both the
// composition of the stereo pair and the display back-end.
#pragma once

#include <cstdint>
#include <optional>

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

// The glasses the user owns (the glasses setting, 1..7).
enum GlassesCode : int16_t {
  kGlassesEDimensional = 1,
  kGlassesEye3D = 2,
  kGlassesIGlasses = 3,
  kGlassesGenericOpenGL = 4,
  kGlassesAnaglyphRedGreen = 5,
  kGlassesAnaglyphBlueYellow = 6,
  kGlassesNVidiaStereo = 7,
};

// The output method for the user's glasses, windowed or fullscreen: shutter
// glasses 5 / 7, Generic OpenGL 8, red/green anaglyph 3, blue/yellow 4, the
// stereo display driver 5 / 6. Nothing for a code outside 1..7.
constexpr std::optional<int16_t> OutputMethodForGlasses(int16_t glasses, bool fullscreen) {
  switch (glasses) {
    case kGlassesEDimensional:
    case kGlassesEye3D:
    case kGlassesIGlasses:
      return fullscreen ? kOutputShutterED : kOutputInterlaced;
    case kGlassesGenericOpenGL:
      return kOutputOpenGLQuadBuffer;
    case kGlassesAnaglyphRedGreen:
      return kOutputAnaglyphColour;
    case kGlassesAnaglyphBlueYellow:
      return kOutputAnaglyphYellow;
    case kGlassesNVidiaStereo:
      return fullscreen ? kOutputStereoDriver : kOutputInterlaced;
    default:
      return std::nullopt;
  }
}

}  // namespace dioptrix
