#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "blocks/make3d.h"
#include "platform/library.h"
#include "tools/quality/quality_report.h"
#include "tools/quality/stereo_scenes.h"
#include "tools/quality/stereo_scores.h"

namespace dioptrix::quality {
namespace {

// Small enough to run quickly under the sanitizers, large enough for
// stable scores.
constexpr int32_t kWidth = 320;
constexpr int32_t kHeight = 180;
constexpr int32_t kFrames = 30;
// The harness's own checks need fewer frames: a cut still lies inside.
constexpr int32_t kCheckFrames = 12;

std::vector<DibPtr> Copies(const std::vector<TrueFrame>& frames, bool right) {
  std::vector<DibPtr> views;
  for (const TrueFrame& f : frames) views.push_back((right ? f.right : f.left)->CopyOf());
  return views;
}

// The right view the conversion's own view synthesis makes from the true
// left view and its true depth, with the conversion's gain and offset.
DibPtr SynthesisedFromTruth(const Scene& scene, const TrueFrame& truth) {
  const int32_t w = scene.Width(), h = scene.Height();
  DibPtr out = truth.left->CopyOf();
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      out->ScanLine(y)[3 * x] = truth.leftDepth[static_cast<size_t>(y * w + x)];
  std::vector<uint8_t> dmap(static_cast<size_t>((w + 1) * (h + 1)));
  const StereoMapping& m = scene.Mapping();
  blocks::Make3DReference(out->DIBSectionBitsPtr(), truth.left->DIBSectionBitsPtr(), dmap.data(), w,
                          h, static_cast<float>(m.gain), static_cast<int32_t>(m.offset), 1,
                          blocks::PixelBytes::All);
  return out;
}

// The harness itself: the truth scores perfectly, the left view as the right
// one orders nothing, the right view is every layer moved by its own shift,
// the conversion's view synthesis fed the true depth agrees with the truth,
// and the pair counting and the cut recovery give the figures worked out by
// hand or by brute force.
TEST(StereoHarness, ScoresTheTruthAndTheStandIns) {
  const std::vector<Scene> scenes = StandardScenes(kWidth, kHeight, kCheckFrames);
  ASSERT_EQ(scenes.size(), 6u);
  for (const Scene& scene : scenes) {
    SCOPED_TRACE(scene.Name());
    const std::vector<TrueFrame> frames = RenderScene(scene);
    ASSERT_EQ(frames.size(), static_cast<size_t>(kCheckFrames));

    ConversionRun truth;
    truth.left = Copies(frames, false);
    truth.right = Copies(frames, true);
    const SceneScores perfect = ScoreRun(scene, frames, truth, DepthMode::Standard);
    EXPECT_EQ(perfect.ordering, 1.0);
    for (double o : perfect.orderingPerFrame) EXPECT_EQ(o, 1.0);
    EXPECT_EQ(perfect.psnr.synthesised, kPsnrCap);
    EXPECT_DOUBLE_EQ(perfect.ssim.synthesised, 1.0);
    EXPECT_EQ(perfect.missingViews, 0);
    // The stand-ins are far from the truth.
    EXPECT_LT(perfect.psnr.rightIsLeft, 30);
    EXPECT_LT(perfect.psnr.rightIsPrevious, 30);
    EXPECT_LT(perfect.ssim.rightIsLeft, 0.9);
    if (scene.CutFrame() >= 0) {
      EXPECT_EQ(perfect.cutRecovery, 0);
    }

    ConversionRun flat;
    flat.left = Copies(frames, false);
    flat.right = Copies(frames, false);
    const SceneScores none = ScoreRun(scene, frames, flat, DepthMode::Standard);
    for (double o : none.orderingPerFrame) EXPECT_EQ(o, 0.0);
    EXPECT_EQ(none.psnr.synthesised, none.psnr.rightIsLeft);
    EXPECT_EQ(none.ssim.synthesised, none.ssim.rightIsLeft);

    // Every pixel of the right view is the layer of its depth moved by that
    // depth's shift, sampled at the shifted point.
    for (int32_t n : {0, kCheckFrames / 2, kCheckFrames - 1}) {
      const TrueFrame& f = frames[static_cast<size_t>(n)];
      const Shot& shot = scene.ShotOf(n);
      int64_t wrong = 0;
      for (int32_t line = 0; line < kHeight; ++line) {
        for (int32_t x = 0; x < kWidth; ++x) {
          const int d = f.rightDepth[static_cast<size_t>(line * kWidth + x)];
          size_t k = 0;
          while (k < shot.layers.size() && shot.layers[k].depth != d) ++k;
          uint8_t want[3];
          const double row = kHeight - 1 - line;
          if (k == shot.layers.size() ||
              !scene.SampleLayer(n, k, x - scene.Mapping().Pixels(d), row, want) ||
              std::memcmp(want, f.right->ScanLine(line) + 3 * x, 3) != 0)
            ++wrong;
        }
      }
      EXPECT_EQ(wrong, 0) << "frame " << n;
    }

    // The conversion's synthesis from the true depth moves each layer by the
    // truth's shift to within its whole-pixel steps: the same ordering, and
    // far closer to the true right view than the left view is.
    const TrueFrame& f = frames[kCheckFrames / 2];
    const DibPtr made = SynthesisedFromTruth(scene, f);
    EXPECT_EQ(FrameOrdering(scene, f, *f.left, *made), 1.0);
    const Region region = ScoreRegion(scene);
    EXPECT_GT(Psnr(made.get(), f.right.get(), region),
              Psnr(f.left.get(), f.right.get(), region) + 3);
  }

  // Pair counting against every pair, on depths and disparities with many ties.
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    std::vector<BlockSample> blocks(rng() % 60);
    for (BlockSample& b : blocks) {
      b.depth = static_cast<int>(rng() % 256);
      b.disparity = static_cast<double>(rng() % 9) / 2 - 2;
    }
    int64_t pairs = 0, ordered = 0;
    for (const BlockSample& near : blocks) {
      for (const BlockSample& far : blocks) {
        if (near.depth - far.depth < kOrderingDepthGap) continue;
        ++pairs;
        if (near.disparity < far.disparity) ++ordered;
      }
    }
    const double share = OrderedShare(blocks);
    if (pairs == 0) {
      EXPECT_TRUE(std::isnan(share));
    } else {
      EXPECT_DOUBLE_EQ(share, static_cast<double>(ordered) / static_cast<double>(pairs));
    }
  }

  // Cut recovery: the reference is the mean of the last five frames.
  const double nan = std::nan("");
  const std::vector<double> settles = {0.9, 0.9, 0.1, 0.5, 0.88, 0.95, 0.9, 0.92, 0.9, 0.9};
  EXPECT_EQ(CutRecovery(settles, 2), 2);  // reference 0.914; frame 4 onwards within 0.05
  EXPECT_EQ(CutRecovery(settles, 5), 0);
  const std::vector<double> wobbles = {0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.6};
  EXPECT_EQ(CutRecovery(wobbles, 2), std::nullopt);  // the last frame is off the reference
  const std::vector<double> gap = {0.9, 0.9, 0.9, nan, 0.9, 0.9, 0.9, 0.9, 0.9, 0.9};
  EXPECT_EQ(CutRecovery(gap, 2), 2);  // a frame without a figure is not within
  EXPECT_EQ(CutRecovery(settles, -1), std::nullopt);
  EXPECT_EQ(CutRecovery(settles, 10), std::nullopt);

  // Scores of pictures that cannot be compared are no figure, not a fault.
  const TrueFrame small = scenes[0].Render(0);
  const DibPtr other = StandardScenes(kWidth * 2, kHeight, kCheckFrames)[0].Render(0).left;
  const Region region = ScoreRegion(scenes[0]);
  EXPECT_TRUE(std::isnan(Psnr(small.left.get(), other.get(), region)));
  EXPECT_TRUE(std::isnan(Ssim(nullptr, small.left.get(), region)));
  EXPECT_TRUE(std::isnan(Psnr(small.left.get(), small.right.get(), Region{0, kWidth + 1, 0, 8})));
  EXPECT_TRUE(std::isnan(BlockDisparity(*small.left, *other, 40, 40, 8)));
  EXPECT_TRUE(std::isnan(BlockDisparity(*small.left, *small.right, 4, 40, 8)));
  EXPECT_TRUE(std::isnan(FrameOrdering(scenes[0], small, *other, *other)));
  EXPECT_TRUE(scenes[0].Render(kCheckFrames).left == nullptr);
}

TEST(StereoHarness, CommandLine) {
  QualityOptions o;
  std::string error;
  ASSERT_TRUE(ParseQualityArgs({"--width", "384", "--height", "216", "--frames", "12"}, o, error));
  EXPECT_EQ(o.width, 384);
  EXPECT_EQ(o.height, 216);
  EXPECT_EQ(o.frames, 12);
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--width"},
                                              {"--width", "12"},
                                              {"--width", "320x"},
                                              {"--frames", "-3"},
                                              {"--height", "99999999999"},
                                              {"--depth", "3"},
                                              {"320"}}) {
    QualityOptions ignored;
    EXPECT_FALSE(ParseQualityArgs(bad, ignored, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
  EXPECT_THROW(StandardScenes(64, 64, 30), std::invalid_argument);
  EXPECT_THROW(StandardScenes(320, 180, 2), std::invalid_argument);
  EXPECT_THROW(StandardScenes(1920, 1080, 31), std::invalid_argument);

  // Sizes the harness refuses stop the tool before it loads anything.
  for (const std::vector<std::string>& refused :
       {std::vector<std::string>{"--width", "1920", "--height", "1080", "--frames", "60"},
        {"--frames", "5"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(QualityMain(refused, out, err), 2) << refused.back();
    EXPECT_TRUE(out.str().empty());
    EXPECT_FALSE(err.str().empty());
  }

  // A folder without the library: a clean failure before any scene is run.
  std::ostringstream out, err;
  EXPECT_EQ(QualityMain({"--library-dir", "/nonexistent-dioptrix-dir"}, out, err), 1);
  EXPECT_NE(err.str().find("libblocks.so"), std::string::npos);
  EXPECT_TRUE(out.str().empty());
}

// The improved depth mode on every scene: the nearer layers in front on
// pans of any speed and direction and on moving objects, a right view
// closer to the truth than either stand-in, and a quick recovery after a
// cut. The standard mode's figures are printed beside it for comparison.
TEST(ImprovedDepth, MeetsItsGoalsOnEveryScene) {
  const std::string library = ExecutableDir();
  std::vector<SceneScores> rows;
  for (const Scene& scene : StandardScenes(kWidth, kHeight, kFrames))
    for (SceneScores& s : MeasureScene(scene, {DepthMode::Standard, DepthMode::Improved}, library))
      rows.push_back(std::move(s));
  std::cout << FormatTable(rows);
  for (const SceneScores& s : rows) {
    if (!s.hasCut) continue;
    std::cout << s.scene << " (" << DepthModeName(s.mode) << "), ordering per frame:";
    for (double o : s.orderingPerFrame) std::cout << " " << std::round(o * 100) / 100;
    std::cout << "\n";
  }

  for (const SceneScores& s : rows) {
    SCOPED_TRACE(s.scene + " (" + DepthModeName(s.mode) + ")");
    for (const std::string& m : s.messages) ADD_FAILURE() << "message from the core: " << m;
    EXPECT_EQ(s.missingViews, 0);
    if (s.mode != DepthMode::Improved) continue;
    const double orderingGoal = s.scene.rfind("pan", 0) == 0 ? 0.9 : s.scene == "objects" ? 0.6 : 0;
    EXPECT_GE(s.ordering, orderingGoal);
    EXPECT_GT(s.psnr.synthesised, s.psnr.rightIsLeft);
    EXPECT_GT(s.psnr.synthesised, s.psnr.rightIsPrevious);
    if (s.hasCut) {
      ASSERT_TRUE(s.cutRecovery.has_value());
      EXPECT_LE(*s.cutRecovery, 5);
    }
  }
}

}  // namespace
}  // namespace dioptrix::quality
