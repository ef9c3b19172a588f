// The record that starts one playback, filled by the main window or the
// converter and handed to PlayVideo.
#pragma once

#include <cstdint>
#include <string>

#include "display/output_method.h"
#include "platform/flags.h"

namespace dioptrix {

// Stereo layout of the source frames.
enum InputLayout : int16_t {
  kLayoutAboveBelow = 1,
  kLayoutInterleaved = 2,
  kLayout2D = 3,
  kLayout2DTo3D = 4,
  kLayoutSideBySide = 5,
  kLayoutAnaglyph = 6,
  kLayoutAnaglyphColour = 7,
};

// Audio methods of the request.
enum AudioMethodCode : int16_t {
  kAudioClock = 0,
  kAudioMci = 1,
  kAudioGraph = 3,
};

struct PlayRequest {
  std::string OpenPath;  // the wrapper script when one was made, else the video
  double reserved1 = 1.0;
  int16_t reserved2 = 0;
  int16_t reserved3 = 0;
  int16_t Loop = 0;  // 1: start again at StartFrame when a run ends unstopped
  int16_t AudioMethod = kAudioGraph;
  std::string AudioPath;  // file whose sound track plays
  int16_t AudioSync = 1;  // 1: pace frames after each shown frame
  double FrameRate = 24.0;
  int16_t UseStreamRate = 1;  // 1: FrameRate := the stream's rate on open
  int32_t StartFrame = 0;     // counted from the stream's first frame
  int16_t InputLayout = kLayout2DTo3D;
  int16_t OutputMethod = kOutputAnaglyphColour;
  int16_t reserved4 = 0;
  int16_t Fullscreen = kFalse;

  OutputRequest Output() const { return {OutputMethod, Fullscreen}; }
};

}  // namespace dioptrix
