// The program-wide record of the per-frame 2D-to-3D conversion. It lives for
// the whole run and is re-initialised by the first frame of every playback.
#pragma once

#include <cstdint>

namespace dioptrix {

// Values of ConversionState::ShiftMode.
enum ShiftModeCode : int16_t {
  kShiftSynthesis = 0,      // right view synthesised from depth
  kShiftSynthesisLast = 1,  // synthesise this frame, then switch to frame shift
  kShiftFrames = 2,         // previous frame to one eye, current frame to the other
};

struct ConversionState {
  // Bytes of horizontal shift per unit of inverted depth (view synthesis gain).
  float DepthGain = 0;
  // Constant shift in bytes handed to the view synthesis.
  int16_t ViewOffset = 0;
  // 30: the scale from which DepthGain and ViewOffset are derived.
  int32_t DepthScale = 0;
  // 16-bit boolean (true = -1): the right view is made by the library's
  // view synthesis; false: by the engine's (see EngineSynthesis). True
  // until a first frame says otherwise.
  int16_t UseLibrarySynthesis = -1;
  int16_t ShiftMode = kShiftSynthesis;
  // Running average of the absolute horizontal motion reported by the depth
  // kernel; drives the switch between synthesis and frame shift.
  double MotionAverage = 0;
  // Width x height of the frame.
  int32_t PixelCount = 0;
  // Mode handed to the depth kernel; 1 blends the carried-forward previous
  // depth (0.75) with the depth from motion (0.25).
  int32_t DepthSource = 0;
  // Block size multiplier of the depth kernel, 1..5; raised when frame shift
  // cannot keep up.
  int32_t DepthStep = 0;
  // Running average of the conversion time while in frame shift, seconds.
  float ShiftFrameTime = 0;

  // The improved depth kernel has taken in a frame of this playback; false
  // makes the next improved frame start it afresh.
  bool SceneDepthPrimed = false;

  // A setting kept across playbacks: the first frame, which has no depth yet,
  // shows the left view to both eyes (flat) instead of leaving the right view
  // black. The converter sets it; the player shows the first frame as it is.
  bool FlatFirstFrame = false;
  // A setting kept across playbacks: the right view is made by the engine's
  // own synthesis (Make3D: sub-pixel placement, depth-weighted hole filling,
  // smoothed depth edges) instead of the library kernel. It is several times
  // slower than the library kernel, meant for conversions that need not run
  // in real time. The first frame turns it into UseLibrarySynthesis.
  bool EngineSynthesis = false;
  // A setting kept across playbacks ("improved depth"): the depth comes from
  // the scene's own motion (a gain that follows the motion present, depth
  // refined below the block and snapped to picture edges, smoothing over time
  // that starts afresh at a cut, parallax depth on pans in either direction)
  // instead of the block motion kernel with its carried depth and frame
  // shift. Off, the conversion is the standard one, byte for byte.
  bool ImprovedDepth = false;
};

}  // namespace dioptrix
