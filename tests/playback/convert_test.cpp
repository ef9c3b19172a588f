#include "playback/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "process/depth_cleanup.h"
#include "process/image_process.h"
#include "process/make3d.h"
#include "tests/common/library_copy.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::PixelAt;
using test::RandomImage;
using test::SamePixels;

const std::string kPrefix = kConvertErrorPrefix;

// Stands in for the library kernels where a test needs chosen motion values.
// The depth kernel writes a blocky depth image and reports the queued change
// (per pixel) and motion; the view synthesis records the depth it was given
// and paints the view with kMarker.
class FakeKernels : public ConversionKernels {
 public:
  static constexpr uint8_t kMarker = 0x5A;

  struct DepthCall {
    int32_t mode, w, h, scale;
    bool dmapFits;
    bool prevBlank;
  };
  struct SynthesisCall {
    std::vector<uint8_t> depth;  // first byte of every pixel of out on entry
    const uint8_t* src;
    float gain;
    int32_t offset, radius;
    bool dmapFits;
  };

  explicit FakeKernels(ProgramContext& program) : program_(program) {}

  // Queues the outputs of the next depth-kernel call; the last pair repeats.
  void Queue(double changePerPixel, double motion) { outputs_.push_back({changePerPixel, motion}); }

  void CreateDepthMapFast(uint8_t* cur, const uint8_t* prev, double* change, int32_t mode,
                          const uint8_t* dmap, int32_t w, int32_t h, double* motion,
                          int32_t scale) override {
    const int64_t stride = BytesPerRow24(w);
    bool blank = prev != nullptr;
    for (int64_t i = 0; blank && i < stride * h; ++i) blank = prev[i] == 0;
    depthCalls.push_back({mode, w, h, scale, DepthMapFits(dmap, w, h), blank});
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        std::memset(cur + y * stride + 3 * x, ((x / 8 + y / 8) % 2) * 150 + 20, 3);
    const auto out = outputs_.empty() ? Output{0, 0} : outputs_.front();
    if (outputs_.size() > 1) outputs_.pop_front();
    *change = out.change * w * h;
    *motion = out.motion;
  }

  void Make3D(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h, float gain,
              int32_t offset, int32_t radius) override {
    const int64_t stride = BytesPerRow24(w);
    SynthesisCall call{{}, src, gain, offset, radius, DepthMapFits(dmap, w, h)};
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) call.depth.push_back(out[y * stride + 3 * x]);
    synthesisCalls.push_back(std::move(call));
    for (int32_t y = 0; y < h; ++y) std::memset(out + y * stride, kMarker, 3 * w);
  }

  // The scene depth kernel writes kSceneDepth into every pixel.
  static constexpr uint8_t kSceneDepth = 200;
  struct SceneCall {
    bool outGiven;
    int32_t reset;
  };
  void CreateDepthMapScene(uint8_t* out, const uint8_t* /*cur*/, int32_t w, int32_t h,
                           int32_t reset, double* stats) override {
    sceneCalls.push_back({out != nullptr, reset});
    if (stats) std::fill(stats, stats + 4, 0.0);
    if (!out) return;
    const int64_t stride = BytesPerRow24(w);
    for (int32_t y = 0; y < h; ++y)
      std::memset(out + y * stride, kSceneDepth, 3 * static_cast<size_t>(w));
  }

  std::vector<DepthCall> depthCalls;
  std::vector<SynthesisCall> synthesisCalls;
  std::vector<SceneCall> sceneCalls;

 private:
  struct Output {
    double change, motion;
  };
  bool DepthMapFits(const uint8_t* dmap, int32_t w, int32_t h) const {
    const auto& map = program_.arrays.DepthMap;
    return dmap == map.Data() && map.Cols() == w + 1 && map.Rows() == h + 1;
  }
  ProgramContext& program_;
  std::deque<Output> outputs_;
};

bool AllBytes(const cDIBSection& img, uint8_t v) {
  for (int32_t y = 0; y < img.Height(); ++y)
    for (int32_t b = 0; b < 3 * img.Width(); ++b)
      if (img.ScanLine(y)[b] != v) return false;
  return true;
}

std::vector<uint8_t> FirstBytes(const cDIBSection& img) {
  std::vector<uint8_t> v;
  for (int32_t y = 0; y < img.Height(); ++y)
    for (int32_t x = 0; x < img.Width(); ++x) v.push_back(PixelAt(img, x, y)[0]);
  return v;
}

// A program context that records its messages.
struct Program {
  explicit Program(const std::string& libraryDir = {}) : context(libraryDir) {
    log.Attach(context.host);
  }
  // Puts frame n of a sequence into StereoPair(0) and converts it.
  void Convert(const DibPtr& frame, bool continuing, ConversionKernels& kernels) {
    context.frames.StereoPair[0] = frame->CopyOf();
    ConvertFrame(context, continuing, kernels);
  }
  void Convert(const DibPtr& frame, bool continuing) {
    context.frames.StereoPair[0] = frame->CopyOf();
    ConvertFrame(context, continuing);
  }
  const cDIBSection& Left() const { return *context.frames.StereoPair[0]; }
  const cDIBSection& Right() const { return *context.frames.StereoPair[1]; }

  ProgramContext context;
  MessageLog log;
};

TEST(ConvertFrame, FirstFrameSetsUpTheConversion) {
  struct Case {
    int32_t w, h;
    int16_t offset;
    float gain;
  };
  const Case cases[] = {{640, 480, 15, 30.0f / 255.0f},
                        {480, 360, 11, static_cast<float>(30.0 / 255.0 * 0.75)},
                        {320, 240, 8, static_cast<float>(30.0 / 255.0 * 0.5)}};
  for (const Case& c : cases) {
    Program p;
    FakeKernels kernels(p.context);
    // Left-overs of an earlier playback.
    ConversionState& s = p.context.conversion;
    s = ConversionState{1.0f, 3, 7, 0, kShiftFrames, 9.0, 5, 0, 5, 0.5f};
    p.context.arrays.DepthMap.Redim(5, 5);
    p.context.arrays.DepthMap(1, 1) = 200;
    p.context.frames.StereoPair[1] = RandomImage(c.w, c.h, 2);

    DibPtr frame = RandomImage(c.w, c.h, 1);
    p.Convert(frame, false, kernels);

    EXPECT_FLOAT_EQ(s.DepthGain, c.gain) << c.w;
    EXPECT_EQ(s.ViewOffset, c.offset) << c.w;
    EXPECT_EQ(s.DepthScale, 30);
    EXPECT_EQ(s.UseLibrarySynthesis, -1);
    EXPECT_EQ(s.ShiftMode, kShiftSynthesis);
    EXPECT_EQ(s.MotionAverage, 1.0);
    EXPECT_EQ(s.PixelCount, c.w * c.h);
    EXPECT_EQ(s.DepthSource, 1);
    EXPECT_EQ(s.DepthStep, 1);
    EXPECT_EQ(s.ShiftFrameTime, 1.0f / 30.0f);
    // Averaged once with this (short) conversion time.
    EXPECT_GT(p.context.MeanFrameTime, 29.0f / 900.0f - 1e-6f);
    EXPECT_LT(p.context.MeanFrameTime, 29.0f / 900.0f + 1.0f / 30.0f);

    // No kernel runs: the left view is the frame and the right view is blank.
    EXPECT_TRUE(kernels.depthCalls.empty());
    EXPECT_TRUE(kernels.synthesisCalls.empty());
    EXPECT_TRUE(SamePixels(p.Left(), *frame));
    EXPECT_EQ(p.Right().Width(), c.w);
    EXPECT_EQ(p.Right().Height(), c.h);
    EXPECT_TRUE(AllBytes(p.Right(), 0));
    const auto& dmap = p.context.arrays.DepthMap;
    EXPECT_EQ(dmap.Cols(), c.w + 1);
    EXPECT_EQ(dmap.Rows(), c.h + 1);
    EXPECT_EQ(std::count(dmap.Data(), dmap.Data() + dmap.Size(), 0), int64_t(dmap.Size()));
    EXPECT_TRUE(p.log.entries.empty());
  }
}

TEST(ConvertFrame, SynthesisHandsTheSmoothedDepthToTheViewKernel) {
  Program p;
  FakeKernels kernels(p.context);
  const int32_t w = 61, h = 35;
  p.Convert(RandomImage(w, h, 1), false, kernels);
  p.context.conversion.DepthStep = 4;
  DibPtr frame = RandomImage(w, h, 2);
  kernels.Queue(0.5, 1.0);
  p.Convert(frame, true, kernels);

  ASSERT_EQ(kernels.depthCalls.size(), 1u);
  const auto& d = kernels.depthCalls[0];
  EXPECT_EQ(d.mode, 1);
  EXPECT_EQ(d.scale, 4);
  EXPECT_EQ(d.w, w);
  EXPECT_EQ(d.h, h);
  EXPECT_TRUE(d.dmapFits);
  EXPECT_TRUE(d.prevBlank);

  // The kernel's depth image, smoothed with block size 8.
  DibPtr depth = frame->CopyOf();
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      std::memset(PixelAt(*depth, x, y), ((x / 8 + y / 8) % 2) * 150 + 20, 3);
  SmoothDepthReference(*depth, 8);
  ASSERT_EQ(kernels.synthesisCalls.size(), 1u);
  const auto& s = kernels.synthesisCalls[0];
  EXPECT_EQ(s.depth, FirstBytes(*depth));
  EXPECT_EQ(s.src, p.Left().DIBSectionBitsPtr());
  EXPECT_FLOAT_EQ(s.gain, p.context.conversion.DepthGain);
  EXPECT_EQ(s.offset, 1);  // round(61 / 640 * 15) = round(1.43)
  EXPECT_EQ(s.radius, 1);
  EXPECT_TRUE(s.dmapFits);
  EXPECT_TRUE(SamePixels(p.Left(), *frame));
  EXPECT_TRUE(AllBytes(p.Right(), FakeKernels::kMarker));
  EXPECT_NEAR(p.context.conversion.MotionAverage, 15.0 / 15, 1e-12);  // (1 * 14 + 1) / 15
  EXPECT_TRUE(p.log.entries.empty());
}

// With EngineSynthesis the first frame turns the library synthesis off, and
// the right view is made by the engine: the smoothed depth image dilated,
// copied into DepthImageArray, the frame into PixelArray, then Make3D with
// the depth gain, no perspective, the view offset and hole mode 1. The
// smoothed depth is left in DepthMap for the next frame's blend.
TEST(ConvertFrame, EngineSynthesisMakesTheRightViewWithMake3D) {
  Program p;
  FakeKernels kernels(p.context);
  p.context.conversion.EngineSynthesis = true;
  const int32_t w = 61, h = 35;
  p.Convert(RandomImage(w, h, 1), false, kernels);
  EXPECT_EQ(p.context.conversion.UseLibrarySynthesis, 0);
  DibPtr frame = RandomImage(w, h, 2);
  kernels.Queue(0.5, 1.0);
  p.Convert(frame, true, kernels);
  EXPECT_TRUE(kernels.synthesisCalls.empty());
  EXPECT_TRUE(p.log.entries.empty());

  DibPtr depth = frame->CopyOf();
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      std::memset(PixelAt(*depth, x, y), ((x / 8 + y / 8) % 2) * 150 + 20, 3);
  SmoothDepthReference(*depth, 8);
  const auto& dmap = p.context.arrays.DepthMap;
  ASSERT_EQ(dmap.Cols(), w + 1);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) ASSERT_EQ(dmap(x, y), PixelAt(*depth, x, y)[0]);

  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  engine.Dilate(*depth);
  engine.CopyToArray(*depth);
  arrays.DepthImageArray = arrays.PixelArray;
  engine.CopyToArray(*frame);
  Make3DPlain(*depth, arrays.PixelArray, arrays.DepthImageArray, p.context.conversion.DepthGain, 0,
              p.context.conversion.ViewOffset, 1);
  EXPECT_TRUE(SamePixels(p.Right(), *depth));
  EXPECT_TRUE(SamePixels(p.Left(), *frame));

  // The setting is read again by the next playback's first frame.
  p.context.conversion.EngineSynthesis = false;
  p.Convert(frame, false, kernels);
  EXPECT_EQ(p.context.conversion.UseLibrarySynthesis, -1);
  p.Convert(frame, true, kernels);
  EXPECT_EQ(kernels.synthesisCalls.size(), 1u);
}

TEST(ConvertFrame, SteadyPanSwitchesToFrameShift) {
  for (double motion : {5.0, -5.0}) {
    Program p;
    FakeKernels kernels(p.context);
    kernels.Queue(0, motion);
    std::vector<DibPtr> frames;
    for (uint32_t n = 0; n <= 17; ++n) frames.push_back(RandomImage(33, 21, n + 1));
    p.Convert(frames[0], false, kernels);
    const ConversionState& s = p.context.conversion;
    for (int n = 1; n <= 14; ++n) {
      p.Convert(frames[n], true, kernels);
      EXPECT_EQ(s.ShiftMode, kShiftSynthesis) << n;
      EXPECT_TRUE(AllBytes(p.Right(), FakeKernels::kMarker)) << n;
    }
    EXPECT_NEAR(s.MotionAverage, 3.47744, 1e-4);

    // The 15th update crosses 3.5: this frame is still synthesised and held.
    p.Convert(frames[15], true, kernels);
    EXPECT_NEAR(s.MotionAverage, 3.57894, 1e-4);
    EXPECT_EQ(s.ShiftMode, kShiftFrames);
    EXPECT_EQ(kernels.synthesisCalls.size(), 15u);
    EXPECT_TRUE(AllBytes(p.Right(), FakeKernels::kMarker));
    ASSERT_TRUE(p.context.HeldFrame);
    EXPECT_TRUE(SamePixels(*p.context.HeldFrame, *frames[15]));

    // The 16th is the first one shown by frame shift; the depth kernel still runs.
    for (int n = 16; n <= 17; ++n) {
      p.Convert(frames[n], true, kernels);
      EXPECT_EQ(kernels.synthesisCalls.size(), 15u);
      EXPECT_EQ(kernels.depthCalls.size(), static_cast<size_t>(n));
      const cDIBSection& previous = *frames[n - 1];
      const cDIBSection& current = *frames[n];
      EXPECT_TRUE(SamePixels(p.Left(), motion > 0 ? previous : current)) << motion << " " << n;
      EXPECT_TRUE(SamePixels(p.Right(), motion > 0 ? current : previous)) << motion << " " << n;
      EXPECT_TRUE(SamePixels(*p.context.HeldFrame, current));
      // Three images of their own.
      EXPECT_NE(p.context.HeldFrame.get(), p.context.frames.StereoPair[0].get());
      EXPECT_NE(p.context.HeldFrame.get(), p.context.frames.StereoPair[1].get());
      EXPECT_NE(p.context.HeldFrame->DIBSectionBitsPtr(), p.Left().DIBSectionBitsPtr());
      EXPECT_NE(p.context.HeldFrame->DIBSectionBitsPtr(), p.Right().DIBSectionBitsPtr());
    }
    EXPECT_TRUE(p.log.entries.empty());
  }
}

TEST(ConvertFrame, FrameShiftWithoutMotionAndBackToSynthesis) {
  Program p;
  FakeKernels kernels(p.context);
  std::vector<DibPtr> frames;
  for (uint32_t n = 0; n <= 17; ++n) frames.push_back(RandomImage(16, 9, 100 + n));
  p.Convert(frames[0], false, kernels);
  kernels.Queue(0, 50);  // (14 + 50) / 15 = 4.27: synthesise and hold
  kernels.Queue(0, 0);   // then no motion at all
  p.Convert(frames[1], true, kernels);
  EXPECT_EQ(p.context.conversion.ShiftMode, kShiftFrames);

  // Motion exactly 0 counts as "not below 0": the previous frame goes left.
  p.Convert(frames[2], true, kernels);
  EXPECT_TRUE(SamePixels(p.Left(), *frames[1]));
  EXPECT_TRUE(SamePixels(p.Right(), *frames[2]));

  // 4.27 * (14/15)^k falls below 1.5 at k = 16, the 17th update.
  for (int n = 3; n <= 16; ++n) {
    p.Convert(frames[n], true, kernels);
    EXPECT_EQ(p.context.conversion.ShiftMode, kShiftFrames) << n;
  }
  p.Convert(frames[17], true, kernels);
  EXPECT_EQ(p.context.conversion.ShiftMode, kShiftSynthesis);
  EXPECT_EQ(kernels.synthesisCalls.size(), 2u);
  EXPECT_TRUE(SamePixels(p.Left(), *frames[17]));
  EXPECT_TRUE(AllBytes(p.Right(), FakeKernels::kMarker));
}

TEST(ConvertFrame, SceneChangeGuard) {
  struct Case {
    double changePerPixel;
    bool cut;
  };
  // The change per pixel is rounded (ties to even) before it is compared.
  for (const Case& c : {Case{11, true}, Case{10.5, false}, Case{10.6, true}}) {
    Program p;
    FakeKernels kernels(p.context);
    p.Convert(RandomImage(40, 24, 1), false, kernels);
    kernels.Queue(c.changePerPixel, -3);
    p.Convert(RandomImage(40, 24, 2), true, kernels);
    ASSERT_EQ(kernels.synthesisCalls.size(), 1u);
    const auto& depth = kernels.synthesisCalls[0].depth;
    const bool flat = std::count(depth.begin(), depth.end(), 0) == int64_t(depth.size());
    EXPECT_EQ(flat, c.cut) << c.changePerPixel;
    EXPECT_NEAR(p.context.conversion.MotionAverage, c.cut ? 38.0 / 15 : 17.0 / 15, 1e-12);
    EXPECT_EQ(p.context.conversion.ShiftMode, kShiftSynthesis);
  }
  // In frame shift a cut leaves the mode alone: 2.5 lies between the thresholds.
  Program p;
  FakeKernels kernels(p.context);
  p.Convert(RandomImage(40, 24, 1), false, kernels);
  kernels.Queue(0, 60);
  kernels.Queue(50, 0);
  p.Convert(RandomImage(40, 24, 2), true, kernels);
  p.Convert(RandomImage(40, 24, 3), true, kernels);
  EXPECT_EQ(p.context.conversion.ShiftMode, kShiftFrames);
  EXPECT_NEAR(p.context.conversion.MotionAverage, 35.0 / 15, 1e-12);
}

TEST(ConvertFrame, ImprovedDepthUsesTheSceneKernelAndRestartsItWhenSwitchedOn) {
  Program p;
  FakeKernels kernels(p.context);
  ConversionState& s = p.context.conversion;
  s.ImprovedDepth = true;
  const DibPtr frame = RandomImage(40, 24, 3);
  auto sceneCall = [&](size_t i) {
    return std::pair(kernels.sceneCalls.at(i).outGiven, kernels.sceneCalls.at(i).reset);
  };

  // The first frame is only taken in, afresh.
  p.Convert(frame, false, kernels);
  ASSERT_EQ(kernels.sceneCalls.size(), 1u);
  EXPECT_EQ(sceneCall(0), std::pair(false, 1));
  EXPECT_TRUE(kernels.synthesisCalls.empty());

  // Later frames: the kernel's depth goes unsmoothed to the view synthesis,
  // and the block motion kernel never runs.
  p.Convert(frame, true, kernels);
  ASSERT_EQ(kernels.sceneCalls.size(), 2u);
  EXPECT_EQ(sceneCall(1), std::pair(true, 0));
  ASSERT_EQ(kernels.synthesisCalls.size(), 1u);
  const auto& depth = kernels.synthesisCalls[0].depth;
  EXPECT_EQ(std::count(depth.begin(), depth.end(), FakeKernels::kSceneDepth),
            int64_t(depth.size()));
  EXPECT_TRUE(kernels.synthesisCalls[0].dmapFits);
  EXPECT_TRUE(AllBytes(p.Right(), FakeKernels::kMarker));
  EXPECT_TRUE(kernels.depthCalls.empty());
  EXPECT_EQ(s.ShiftMode, kShiftSynthesis);

  // Switched off, the standard step runs; switched on again, the kernel
  // starts afresh and the right view shows the frame meanwhile.
  s.ImprovedDepth = false;
  p.Convert(frame, true, kernels);
  EXPECT_EQ(kernels.depthCalls.size(), 1u);
  EXPECT_EQ(kernels.sceneCalls.size(), 2u);
  s.ImprovedDepth = true;
  p.Convert(frame, true, kernels);
  ASSERT_EQ(kernels.sceneCalls.size(), 3u);
  EXPECT_EQ(sceneCall(2), std::pair(false, 1));
  EXPECT_TRUE(SamePixels(p.Right(), *frame));
  p.Convert(frame, true, kernels);
  EXPECT_EQ(sceneCall(3), std::pair(true, 0));
  EXPECT_TRUE(p.log.entries.empty());
}

TEST(ConversionTiming, AveragesAndDepthStep) {
  ConversionState s;
  float mean = 1.0f / 30;
  s.ShiftMode = kShiftSynthesis;
  s.DepthStep = 1;
  s.ShiftFrameTime = 0.05f;
  UpdateConversionTiming(s, mean, 0.06);
  EXPECT_NEAR(mean, 0.0342222, 1e-6);  // (0.06 + 29/30) / 30
  EXPECT_EQ(s.ShiftFrameTime, 1.0f / 30);
  EXPECT_EQ(s.DepthStep, 1);

  // In frame shift, 1.2 s brings the average to 0.0722 s, under 15 a second:
  // one step up and the average starts again; steps stop at 5.
  s.ShiftMode = kShiftFrames;
  for (int32_t want : {2, 3, 4, 5}) {
    UpdateConversionTiming(s, mean, 1.2);
    EXPECT_EQ(s.DepthStep, want);
    EXPECT_EQ(s.ShiftFrameTime, 1.0f / 30);
  }
  UpdateConversionTiming(s, mean, 1.2);
  UpdateConversionTiming(s, mean, 1.2);
  EXPECT_EQ(s.DepthStep, 5);
  EXPECT_NEAR(s.ShiftFrameTime, (1.2 + 0.0722222 * 29) / 30, 1e-6);
}

TEST(ConvertFrame, FailuresAreReportedAndTheStepGoesOn) {
  const std::string notSet = kPrefix + "Object variable not set";
  {
    // A frame that is nothing, on the first frame and after it.
    Program p;
    FakeKernels kernels(p.context);
    ConvertFrame(p.context, false, kernels);
    ASSERT_FALSE(p.log.entries.empty());
    for (const auto& text : p.log.Texts()) EXPECT_EQ(text, notSet);
    p.log.entries.clear();
    ConvertFrame(p.context, true, kernels);
    ASSERT_FALSE(p.log.entries.empty());
    EXPECT_TRUE(kernels.depthCalls.empty());
    EXPECT_TRUE(kernels.synthesisCalls.empty());
  }
  {
    // Continuing without a first frame: no pixel count to divide by, but the
    // view is still made.
    Program p;
    FakeKernels kernels(p.context);
    p.Convert(RandomImage(20, 10, 1), true, kernels);
    EXPECT_EQ(p.log.Texts(), std::vector<std::string>{kPrefix + "Division by zero"});
    EXPECT_EQ(kernels.synthesisCalls.size(), 1u);
    EXPECT_TRUE(AllBytes(p.Right(), FakeKernels::kMarker));
  }
  {
    // Frame shift with no held frame: the copies fail, the left view stays.
    Program p;
    FakeKernels kernels(p.context);
    DibPtr frame = RandomImage(20, 10, 1);
    p.Convert(frame, false, kernels);
    p.context.conversion.ShiftMode = kShiftFrames;
    p.context.conversion.MotionAverage = 3;
    p.Convert(frame, true, kernels);
    EXPECT_FALSE(p.log.entries.empty());
    for (const auto& text : p.log.Texts()) EXPECT_EQ(text, notSet);
    EXPECT_TRUE(SamePixels(p.Left(), *frame));
  }
  {
    Program p;
    FakeKernels kernels(p.context);
    p.Convert(RandomImage(20, 10, 1), false, kernels);
    p.context.conversion.ShiftMode = 7;
    p.context.conversion.MotionAverage = 2.5;
    kernels.Queue(0, 2.5);
    p.Convert(RandomImage(20, 10, 2), true, kernels);
    EXPECT_EQ(p.log.Texts(), std::vector<std::string>{"Invalid frameshift option."});
  }
}

TEST(ConvertFrame, DepthMapFollowsTheFrameSize) {
  Program p;
  FakeKernels kernels(p.context);
  p.Convert(RandomImage(64, 48, 1), false, kernels);
  p.Convert(RandomImage(80, 40, 2), true, kernels);
  p.Convert(RandomImage(7, 3, 3), true, kernels);
  ASSERT_EQ(kernels.depthCalls.size(), 2u);
  ASSERT_EQ(kernels.synthesisCalls.size(), 2u);
  for (const auto& call : kernels.depthCalls) {
    EXPECT_TRUE(call.dmapFits);
    EXPECT_TRUE(call.prevBlank);
  }
  for (const auto& call : kernels.synthesisCalls) EXPECT_TRUE(call.dmapFits);
  EXPECT_EQ(p.context.arrays.DepthMap.Cols(), 8);
  EXPECT_EQ(p.context.arrays.DepthMap.Rows(), 4);
  EXPECT_TRUE(p.log.entries.empty());
}

// --- With the real library ----------------------------------------------------------

TEST(ConvertFrameLibrary, MissingLibraryIsReported) {
  // A folder that does not exist: the library is found nowhere.
  test::LibraryCopy library;
  Program p(library.Dir() + "/missing");
  DibPtr frame = RandomImage(32, 16, 1);
  p.Convert(frame, false);
  EXPECT_TRUE(p.log.entries.empty());  // the first frame calls no kernel
  p.Convert(RandomImage(32, 16, 2), true);
  ASSERT_EQ(p.log.entries.size(), 2u);  // depth kernel, then view synthesis
  for (const auto& text : p.log.Texts()) EXPECT_EQ(text, kPrefix + "File not found: libblocks.so");
  // The frame is still there to show.
  EXPECT_EQ(p.Right().Width(), 32);
}

// Frames of 320 x 8 cut from a wide random texture, moving `step` pixels per
// frame. With a single line of 8-pixel blocks the depth kernel can only match
// sideways, so the horizontal motion it reports is derivable: each of the 39
// blocks that keep their match inside the frame moves by 2.
std::vector<DibPtr> PanFrames(int count, int32_t step) {
  const int32_t w = 320, h = 8, margin = 2 * count + 2;
  DibPtr texture = RandomImage(w + 2 * margin, h, 77);
  std::vector<DibPtr> frames;
  for (int n = 0; n < count; ++n) frames.push_back(texture->Crop(h, w, margin + step * n, 0));
  return frames;
}

TEST(ConvertFrameLibrary, PanSwitchesToFrameShiftWithTheRealKernels) {
  for (int32_t step : {2, -2}) {
    test::LibraryCopy library;
    Program p(library.Dir());
    const auto frames = PanFrames(5, step);
    p.Convert(frames[0], false);
    // The kernel's first call compares with its blank previous frame: a cut.
    p.Convert(frames[1], true);
    EXPECT_NEAR(p.context.conversion.MotionAverage, 2.5 * 14 / 15, 1e-9);
    EXPECT_EQ(p.context.conversion.ShiftMode, kShiftSynthesis);
    // Content moving left (step > 0) matches to the right: positive motion of
    // at least 39 * 2, far above 3.5; this frame is synthesised and held.
    p.Convert(frames[2], true);
    EXPECT_GT(p.context.conversion.MotionAverage, (2.5 * 14 / 15 * 14 + 78) / 15 - 1e-9);
    EXPECT_EQ(p.context.conversion.ShiftMode, kShiftFrames);
    for (int n = 3; n <= 4; ++n) {
      p.Convert(frames[n], true);
      const cDIBSection& previous = *frames[n - 1];
      const cDIBSection& current = *frames[n];
      EXPECT_TRUE(SamePixels(p.Left(), step > 0 ? previous : current)) << step << " " << n;
      EXPECT_TRUE(SamePixels(p.Right(), step > 0 ? current : previous)) << step << " " << n;
    }
    EXPECT_TRUE(p.log.entries.empty());
  }
}

// A continuing step starts by copying the left view over the right one, so
// what the right view held before (the player leaves it stale) never shows,
// in synthesis or in frame shift.
TEST(ConvertFrameLibrary, ContinuingStepsIgnoreTheRightViewsOldContent) {
  // Copies of their own: the library keeps state between calls.
  test::LibraryCopy libraryP, libraryQ;
  Program p(libraryP.Dir()), q(libraryQ.Dir());
  // Step times of (nearly) zero keep both conversions on the same depth step.
  p.context.TimerFrequency = q.context.TimerFrequency = 1e300;
  const auto frames = PanFrames(6, 2);
  for (int n = 0; n < 6; ++n) {
    p.Convert(frames[static_cast<size_t>(n)], n > 0);
    if (n > 0) {
      cDIBSection& right = *q.context.frames.StereoPair[1];
      const DibPtr noise = RandomImage(right.Width(), right.Height(), 40 + n);
      std::memcpy(right.DIBSectionBitsPtr(), noise->DIBSectionBitsPtr(), right.ImageSize());
    }
    q.Convert(frames[static_cast<size_t>(n)], n > 0);
    EXPECT_TRUE(SamePixels(p.Left(), q.Left())) << n;
    EXPECT_TRUE(SamePixels(p.Right(), q.Right())) << n;
  }
  EXPECT_EQ(q.context.conversion.ShiftMode, kShiftFrames);
  EXPECT_TRUE(p.log.entries.empty());
  EXPECT_TRUE(q.log.entries.empty());
}

TEST(ConvertFrameLibrary, OddSizedFramesWithMovingContent) {
  // Both depth modes, on sizes that leave partial blocks and tiny frames.
  const std::pair<int32_t, int32_t> sizes[] = {{101, 67}, {1, 1}, {7, 3}, {13, 200}};
  for (const bool improved : {false, true}) {
    for (const auto& [w, h] : sizes) {
      test::LibraryCopy library;
      Program p(library.Dir());
      p.context.conversion.ImprovedDepth = improved;
      DibPtr background = RandomImage(w, h, 5);
      DibPtr object = RandomImage(24, 16, 6);
      for (int n = 0; n < 8; ++n) {
        DibPtr frame = background->CopyOf();
        // The object moves down and to the right by 2 pixels a frame.
        for (int32_t y = 0; y < 16; ++y) {
          const int32_t oy = 20 + 2 * n + y, ox = 10 + 2 * n;
          if (oy >= h || ox >= w) continue;
          std::memcpy(PixelAt(*frame, ox, oy), PixelAt(*object, 0, y),
                      3 * static_cast<size_t>(std::min(24, w - ox)));
        }
        p.Convert(frame, n > 0);
        EXPECT_EQ(p.Right().Width(), w);
        EXPECT_EQ(p.Right().Height(), h);
        EXPECT_EQ(p.Left().Width(), w);
      }
      EXPECT_TRUE(p.log.entries.empty()) << w << "x" << h << " improved " << improved;
      EXPECT_GE(p.context.conversion.DepthStep, 1);
      EXPECT_LE(p.context.conversion.DepthStep, 5);
    }
  }
}

}  // namespace
}  // namespace dioptrix
