#include "playback/convert.h"

#include <cmath>
#include <limits>
#include <utility>

#include "platform/error.h"
#include "playback/image_reuse.h"
#include "process/image_process.h"

namespace dioptrix {

namespace {

constexpr int16_t kTrue16 = -1;
constexpr int32_t kDepthScale = 30;
constexpr int32_t kSmoothBlockSize = 8;
// Hole radius of the library synthesis, and hole mode of the engine's.
constexpr int32_t kHoleFillRadius = 1;
// The engine synthesis shifts linearly with depth: no perspective term.
constexpr double kEnginePerspective = 0;
constexpr int32_t kMaxDepthStep = 5;
constexpr float kStartFrameTime = 1.0f / 30.0f;

// Scene-change guard and the hysteresis of the switch to frame shift.
constexpr double kSceneChangePerPixel = 10.0;
constexpr double kMotionAfterCut = 2.5;
constexpr double kLeaveShiftBelow = 1.5;
constexpr double kEnterShiftAbove = 3.5;

// The image a reference holds; raises "object not set" when it is nothing or
// has no pixels.
cDIBSection& Image(const DibPtr& image) {
  if (!image || image->Empty()) RaiseObjectNotSet();
  return *image;
}

bool HasPixels(const DibPtr& image) { return image && !image->Empty(); }

// The depth map handed to the kernels must be (W+1) x (H+1) bytes for the
// frame at hand; it is re-created (all zero) when the frame size changed.
void FitDepthMap(Plane<uint8_t>& dmap, int32_t w, int32_t h) {
  if (dmap.Cols() != int64_t{w} + 1 || dmap.Rows() != int64_t{h} + 1) dmap.Redim(w + 1, h + 1);
}

class ConvertStep {
 public:
  ConvertStep(ProgramContext& program, ConversionKernels& kernels)
      : program_(program),
        kernels_(kernels),
        state_(program.conversion),
        frames_(program.frames),
        engine_(program.arrays) {}

  void Run(bool continuing) {
    program_.StageTimer.StartTimer();
    if (continuing)
      NextFrame();
    else
      FirstFrame();
    program_.StageTimer.StopTimer();
    const double frequency =
        program_.TimerFrequency > 0 ? program_.TimerFrequency : program_.StageTimer.Frequency();
    UpdateConversionTiming(state_, program_.MeanFrameTime,
                           program_.StageTimer.Elapsed() / frequency);
  }

 private:
  // Runs one statement of the step; an error is shown and the step goes on
  // with the next statement.
  template <class F>
  void Try(F&& f) {
    TrapErrors(program_.host, kConvertErrorPrefix, std::forward<F>(f));
  }

  DibPtr& Left() { return frames_.StereoPair[0]; }
  DibPtr& Right() { return frames_.StereoPair[1]; }

  void FirstFrame() {
    state_.DepthSource = 1;
    Try([&] {
      const cDIBSection& frame = Image(Left());
      ReplaceWithBlank(Right(), frame.Width(), frame.Height());
    });
    Try([&] { engine_.CopyToDepthMap(Image(Right()), program_.arrays.DepthMap); });
    Try([&] {
      // The depth kernel is handed this picture as its second frame; it never
      // reads it, but it always gets a picture of the frame's size.
      const cDIBSection& frame = Image(Left());
      if (!HasPixels(program_.ReferenceFrame) ||
          program_.ReferenceFrame->Width() != frame.Width() ||
          program_.ReferenceFrame->Height() != frame.Height())
        ReplaceWithBlank(program_.ReferenceFrame, frame.Width(), frame.Height());
    });
    Try([&] {
      const cDIBSection& frame = Image(Left());
      state_.PixelCount = frame.Width() * frame.Height();
    });
    state_.DepthScale = kDepthScale;
    Try([&] {
      const double widthRatio = Image(Left()).Width() / 640.0;
      state_.DepthGain = static_cast<float>((state_.DepthScale / 255.0) * widthRatio);
    });
    Try([&] {
      const double offset =
          std::nearbyint(Image(Left()).Width() / 640.0 * (state_.DepthScale / 2.0));
      if (offset > std::numeric_limits<int16_t>::max()) RaiseOverflow();
      state_.ViewOffset = static_cast<int16_t>(offset);
    });
    state_.UseLibrarySynthesis = state_.EngineSynthesis ? int16_t{0} : kTrue16;
    state_.ShiftMode = kShiftSynthesis;
    state_.MotionAverage = 1.0;
    state_.DepthStep = 1;
    program_.MeanFrameTime = kStartFrameTime;
    state_.ShiftFrameTime = kStartFrameTime;
    // The depth image is flat; the right view may then show the left one.
    if (state_.FlatFirstFrame) Try([&] { ReplaceWithCopy(Left(), Right()); });
    state_.SceneDepthPrimed = false;
    if (state_.ImprovedDepth) TakeInSceneFrame();
  }

  void NextFrame() {
    if (state_.ImprovedDepth) {
      NextFrameFromScene();
      return;
    }
    state_.SceneDepthPrimed = false;
    double change = 0;
    double motion = 0;
    Try([&] { ReplaceWithCopy(Left(), Right()); });
    Try([&] { EstimateDepth(change, motion); });
    Try([&] {
      if (state_.PixelCount == 0) RaiseDivisionByZero();
      change /= state_.PixelCount;
    });
    if (std::nearbyint(change) > kSceneChangePerPixel) {
      // A cut: the depth carried across it means nothing, so the view is made
      // from a flat depth image, and the motion average is put between the
      // two thresholds so the cut alone does not change the mode.
      state_.MotionAverage = kMotionAfterCut;
      Try([&] {
        const cDIBSection& frame = Image(Left());
        ReplaceWithBlank(Right(), frame.Width(), frame.Height());
      });
    }
    state_.MotionAverage = (state_.MotionAverage * 14 + std::fabs(motion)) / 15;
    if (state_.MotionAverage < kLeaveShiftBelow) state_.ShiftMode = kShiftSynthesis;
    if (state_.MotionAverage > kEnterShiftAbove && state_.ShiftMode == kShiftSynthesis)
      state_.ShiftMode = kShiftSynthesisLast;

    switch (state_.ShiftMode) {
      case kShiftSynthesis:
      case kShiftSynthesisLast:
        Try([&] { engine_.SmoothDMAP(Image(Right()), kSmoothBlockSize); });
        SynthesiseRightView();
        if (state_.ShiftMode == kShiftSynthesisLast) {
          Try([&] { ReplaceWithCopy(Left(), program_.HeldFrame); });
          state_.ShiftMode = kShiftFrames;
        }
        break;
      case kShiftFrames:
        ShiftFrames(motion);
        break;
      default:
        program_.host.Message(kInvalidFrameShift);
        break;
    }
  }

  // Improved depth: the scene depth kernel takes the frame in and forgets
  // everything before it (the first frame, or the mode just switched on).
  void TakeInSceneFrame() {
    Try([&] {
      const cDIBSection& frame = Image(Left());
      kernels_.CreateDepthMapScene(nullptr, frame.DIBSectionBitsPtr(), frame.Width(),
                                   frame.Height(), 1, nullptr);
      state_.SceneDepthPrimed = true;
    });
  }

  // Improved depth: the kernel writes the frame's depth straight into
  // StereoPair(1), which the synthesis turns into the right
  // view. No smoothing pass and no frame shift: the kernel's depth is smooth
  // already, and on pans it gives the parallax itself.
  void NextFrameFromScene() {
    state_.ShiftMode = kShiftSynthesis;
    if (!state_.SceneDepthPrimed) {
      TakeInSceneFrame();
      // Nothing is known yet: the right view shows the frame.
      Try([&] { ReplaceWithCopy(Left(), Right()); });
      return;
    }
    Try([&] {
      const cDIBSection& frame = Image(Left());
      const int32_t w = frame.Width(), h = frame.Height();
      // Only the size matters: the synthesis reads nothing but the depth.
      if (!HasPixels(Right()) || Right()->Width() != w || Right()->Height() != h)
        ReplaceWithBlank(Right(), w, h);
      double stats[4] = {0, 0, 0, 0};
      kernels_.CreateDepthMapScene(Right()->DIBSectionBitsPtr(), frame.DIBSectionBitsPtr(), w, h, 0,
                                   stats);
      // The engine's synthesis reads the depth from every byte of a pixel.
      if (state_.UseLibrarySynthesis == 0) SpreadFirstBytes(*Right());
    });
    SynthesiseRightView();
  }

  static void SpreadFirstBytes(cDIBSection& picture) {
    for (int32_t y = 0; y < picture.Height(); ++y) {
      uint8_t* line = picture.ScanLine(y);
      for (int32_t x = 0; x < picture.Width(); ++x) line[3 * x + 1] = line[3 * x + 2] = line[3 * x];
    }
  }

  // StereoPair(1) (a copy of the frame) becomes the depth image; change and
  // motion receive the kernel's frame statistics.
  void EstimateDepth(double& change, double& motion) {
    cDIBSection& cur = Image(Right());
    const int32_t w = cur.Width(), h = cur.Height();
    if (!HasPixels(program_.ReferenceFrame) || program_.ReferenceFrame->Width() != w ||
        program_.ReferenceFrame->Height() != h)
      ReplaceWithBlank(program_.ReferenceFrame, w, h);
    Plane<uint8_t>& dmap = program_.arrays.DepthMap;
    FitDepthMap(dmap, w, h);
    kernels_.CreateDepthMapFast(cur.DIBSectionBitsPtr(),
                                program_.ReferenceFrame->DIBSectionBitsPtr(), &change,
                                state_.DepthSource, dmap.Data(), w, h, &motion, state_.DepthStep);
  }

  // Turns the smoothed depth image in StereoPair(1) into the right view, by
  // the library kernel or by the engine.
  void SynthesiseRightView() {
    if (state_.UseLibrarySynthesis == 0) {
      SynthesiseWithEngine();
      return;
    }
    Try([&] { SynthesiseWithLibrary(); });
  }

  void SynthesiseWithLibrary() {
    cDIBSection& out = Image(Right());
    const cDIBSection& src = Image(Left());
    const int32_t w = out.Width(), h = out.Height();
    if (src.Width() != w || src.Height() != h) RaiseSubscriptOutOfRange();
    Plane<uint8_t>& dmap = program_.arrays.DepthMap;
    FitDepthMap(dmap, w, h);
    kernels_.Make3D(out.DIBSectionBitsPtr(), src.DIBSectionBitsPtr(), dmap.Data(), w, h,
                    state_.DepthGain, state_.ViewOffset, kHoleFillRadius);
  }

  // The engine path: the depth image is dilated and copied into
  // DepthImageArray, the frame into PixelArray, and Make3D writes the view
  // over the depth image. Each statement reports its own failure. The depth
  // the view is made from is first left in DepthMap, as the library kernel
  // leaves it, so that it feeds the next frame's depth blend.
  void SynthesiseWithEngine() {
    EngineArrays& arrays = program_.arrays;
    Try([&] { engine_.CopyToDepthMap(Image(Right()), arrays.DepthMap); });
    Try([&] { engine_.Dilate(Image(Right())); });
    // CopyToArray of the depth image followed by a copy of PixelArray, in one.
    Try([&] { engine_.CopyToSpecifiedArray(Image(Right()), arrays.DepthImageArray); });
    Try([&] { engine_.CopyToArray(Image(Left())); });
    Try([&] {
      cDIBSection& out = Image(Right());
      const cDIBSection& src = Image(Left());
      if (src.Width() != out.Width() || src.Height() != out.Height()) RaiseSubscriptOutOfRange();
      engine_.Make3D(out, state_.DepthGain, kEnginePerspective, state_.ViewOffset, kHoleFillRadius);
    });
  }

  // Frame shift. Motion below 0: left = current frame, right = previous frame.
  // Otherwise: left = previous frame, right = current frame. The held frame
  // becomes the current frame either way. The images trade places instead of
  // being copied three times; only the new held frame is a fresh copy.
  void ShiftFrames(double motion) {
    DibPtr& held = program_.HeldFrame;
    if (HasPixels(held) && HasPixels(Left())) {
      Try([&] {
        if (motion < 0) {
          std::swap(Right(), held);       // right := previous frame
          ReplaceWithCopy(Left(), held);  // held := current frame
        } else {
          std::swap(Right(), Left());      // right := current frame
          std::swap(Left(), held);         // left := previous frame
          ReplaceWithCopy(Right(), held);  // held := current frame
        }
      });
      return;
    }
    // Something is missing: the plain copies, each reporting its own failure.
    if (motion < 0) {
      Try([&] { ReplaceWithCopy(held, Right()); });
      Try([&] { ReplaceWithCopy(Left(), held); });
    } else {
      Try([&] { ReplaceWithCopy(Left(), Right()); });
      Try([&] { ReplaceWithCopy(held, Left()); });
      Try([&] { ReplaceWithCopy(Right(), held); });
    }
  }

  ProgramContext& program_;
  ConversionKernels& kernels_;
  ConversionState& state_;
  FrameImages& frames_;
  cImageProcessDIB engine_;
};

}  // namespace

void UpdateConversionTiming(ConversionState& state, float& meanFrameTime, double seconds) {
  meanFrameTime = static_cast<float>((seconds + meanFrameTime * 29.0) / 30.0);
  if (state.ShiftMode != kShiftFrames) {
    state.ShiftFrameTime = kStartFrameTime;
    return;
  }
  state.ShiftFrameTime = static_cast<float>((seconds + state.ShiftFrameTime * 29.0) / 30.0);
  const double rate = state.ShiftFrameTime > 0 ? 1.0 / state.ShiftFrameTime
                                               : std::numeric_limits<double>::infinity();
  if (rate < 15 && state.DepthStep <= kMaxDepthStep - 1) {
    // Frame shift cannot keep 15 conversions a second: coarser depth blocks.
    ++state.DepthStep;
    state.ShiftFrameTime = kStartFrameTime;
  }
}

void ConvertFrame(ProgramContext& program, bool continuing, ConversionKernels& kernels) {
  ConvertStep(program, kernels).Run(continuing);
}

void ConvertFrame(ProgramContext& program, bool continuing) {
  LibraryConversionKernels kernels(program.libraries.blocks);
  ConvertFrame(program, continuing, kernels);
}

}  // namespace dioptrix
