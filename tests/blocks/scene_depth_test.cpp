#include "blocks/scene_depth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "blocks/depth_kernels.h"
#include "blocks/depthmap.h"
#include "platform/cpu.h"

namespace dioptrix::blocks {
namespace {

// Smooth value noise: random values on a grid of `cell` pixels, interpolated
// with a smooth step, so that a shift by a fraction of a pixel renders exactly.
double Noise(double x, double y, double cell, uint32_t seed) {
  auto lattice = [seed](int64_t i, int64_t j) {
    uint32_t v = static_cast<uint32_t>(i * 73856093) ^ static_cast<uint32_t>(j * 19349663) ^ seed;
    v ^= v >> 13;
    v *= 0x5bd1e995u;
    v ^= v >> 15;
    return static_cast<double>(v & 0xFFFF) / 65535.0;
  };
  const double fx = x / cell, fy = y / cell;
  const double ix = std::floor(fx), iy = std::floor(fy);
  auto smooth = [](double t) { return t * t * (3 - 2 * t); };
  const double tx = smooth(fx - ix), ty = smooth(fy - iy);
  const auto i = static_cast<int64_t>(ix), j = static_cast<int64_t>(iy);
  const double top = lattice(i, j) + tx * (lattice(i + 1, j) - lattice(i, j));
  const double bottom = lattice(i, j + 1) + tx * (lattice(i + 1, j + 1) - lattice(i, j + 1));
  return top + ty * (bottom - top);
}

// A textured surface: two octaves of noise, one colour scheme per seed.
void Texture(double x, double y, uint32_t seed, uint8_t* pixel) {
  const double v = 0.65 * Noise(x, y, 6, seed) + 0.35 * Noise(x, y, 2.5, seed + 1);
  for (int c = 0; c < 3; ++c) {
    const double tint = 0.5 + 0.5 * ((seed >> (3 * c)) & 7) / 7.0;
    pixel[c] = static_cast<uint8_t>(std::lround(255 * v * tint));
  }
}

// A layered scene under a sideways camera move: a background plane of depth
// 20 and a near rectangle of depth 235, a third of the picture wide, centred
// at frame 4. A layer of depth d moves by pan * (0.25 + 0.75 * d / 255)
// pixels a frame.
struct LayeredPan {
  int32_t w = 192, h = 108;
  double pan = 6;
  uint32_t seed = 11;

  static double Speed(double pan, int d) { return pan * (0.25 + 0.75 * d / 255.0); }
  // Whether pixel (x, y) of frame n shows the rectangle.
  bool InRectangle(int32_t x, int32_t y, int n) const {
    const double left = w / 3.0 - Speed(pan, 235) * (n - 4);
    return x >= left && x < left + w / 3.0 && y >= h / 3 && y < 2 * h / 3;
  }
  std::vector<uint8_t> Frame(int n) const {
    std::vector<uint8_t> picture(static_cast<size_t>(PictureStride(w) * h));
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        uint8_t* p = picture.data() + y * PictureStride(w) + 3 * x;
        if (InRectangle(x, y, n))
          Texture(x + Speed(pan, 235) * n, y, seed + 100, p);
        else
          Texture(x + Speed(pan, 20) * n, y, seed, p);
      }
    }
    return picture;
  }
};

struct DepthRun {
  SceneDepthState state;
  std::vector<uint8_t> out;
  SceneDepthStats stats;

  void Take(const std::vector<uint8_t>& frame, int32_t w, int32_t h, bool reset = false) {
    out.assign(frame.size(), 0);
    ASSERT_TRUE(SceneDepth(state, out.data(), frame.data(), w, h, reset, &stats));
  }
  uint8_t At(int32_t w, int32_t x, int32_t y) const { return out[y * PictureStride(w) + 3 * x]; }
  // Mean depth inside (or outside) the rectangle of frame n, away from its
  // edges.
  double Mean(const LayeredPan& scene, int n, bool inside) const {
    double sum = 0;
    int64_t count = 0;
    for (int32_t y = 8; y < scene.h - 8; ++y) {
      for (int32_t x = 8; x < scene.w - 8; ++x) {
        const bool in = scene.InRectangle(x, y, n);
        const bool nearEdge =
            scene.InRectangle(x - 8, y, n) != in || scene.InRectangle(x + 8, y, n) != in ||
            scene.InRectangle(x, y - 8, n) != in || scene.InRectangle(x, y + 8, n) != in;
        if (in != inside || nearEdge) continue;
        sum += At(scene.w, x, y);
        ++count;
      }
    }
    return count ? sum / static_cast<double>(count) : 0;
  }
};

TEST(SceneDepth, EveryLevelHalvesAndDoublesLinesAsTheLoops) {
  std::mt19937 rng(5);
  for (CpuLevel level : CpuLevels()) {
    SCOPED_TRACE(CpuLevelName(level));
    const auto& kernels = depth_kernels::HalfSizeKernelsFor(level);
    const auto halve = kernels.halveLines;
    for (int64_t n = 0; n <= 40; ++n) {
      // Exactly the 2n pixels of each line; the output has guard bytes.
      std::vector<uint8_t> a(static_cast<size_t>(6 * n)), b(a.size());
      for (int round = 0; round < 4; ++round) {
        for (auto& v : a) v = round == 0 ? 255 : static_cast<uint8_t>(rng());
        for (auto& v : b) v = round == 0 ? 255 : static_cast<uint8_t>(rng());
        std::vector<uint8_t> want(static_cast<size_t>(n) + 8, 0xA5), got(want);
        depth_kernels::plain::HalveLines(a.data(), b.data(), want.data(), n);
        halve(a.data(), b.data(), got.data(), n);
        ASSERT_EQ(got, want) << n;
        // And back: each value over two pixels, guard bytes kept.
        std::vector<uint8_t> line(6 * static_cast<size_t>(n) + 8, 0x5A), reference(line);
        depth_kernels::plain::DoubleLine(a.data(), reference.data(), n);
        kernels.doubleLine(a.data(), line.data(), n);
        ASSERT_EQ(line, reference) << n;
      }
    }
    // 8 x 8 block costs over exactly the bytes they cover.
    for (size_t stride : {8u, 13u, 64u}) {
      std::vector<uint8_t> a(7 * stride + 8), b(a.size());
      for (int round = 0; round < 20; ++round) {
        for (auto& v : a) v = static_cast<uint8_t>(rng());
        for (auto& v : b) v = round == 0 ? static_cast<uint8_t>(~a[&v - b.data()]) : rng();
        ASSERT_EQ(kernels.blockCost8(a.data(), b.data(), stride),
                  depth_kernels::plain::BlockCost8(a.data(), b.data(), stride));
      }
    }
  }
  // The plain version: the rounded mean of blue + 2 green + red over 2 x 2.
  const uint8_t a[6] = {10, 20, 30, 40, 50, 60}, b[6] = {1, 2, 3, 4, 5, 7};
  uint8_t out = 0;
  depth_kernels::plain::HalveLines(a, b, &out, 1);
  EXPECT_EQ(out, (10 + 40 + 30 + 40 + 100 + 60 + 1 + 4 + 3 + 4 + 10 + 7 + 8) / 16);
  uint8_t pair[7] = {0, 0, 0, 0, 0, 0, 9};
  depth_kernels::plain::DoubleLine(a + 1, pair, 1);
  EXPECT_EQ(std::vector<uint8_t>(pair, pair + 7),
            std::vector<uint8_t>({20, 20, 20, 20, 20, 20, 9}));
}

TEST(SceneDepth, NearerSurfacesComeOutNearerWhateverThePanSpeedAndDirection) {
  for (const double pan : {2.0, 6.0, 14.0, -6.0}) {
    LayeredPan scene;
    scene.pan = pan;
    DepthRun run;
    run.Take(scene.Frame(0), scene.w, scene.h, true);
    // The first frame knows nothing yet: flat depth.
    EXPECT_TRUE(run.stats.cut);
    EXPECT_EQ(run.At(scene.w, 50, 50), 128);
    for (int n = 1; n < 8; ++n) {
      run.Take(scene.Frame(n), scene.w, scene.h);
      EXPECT_FALSE(run.stats.cut) << pan << " frame " << n;
    }
    const double nearer = run.Mean(scene, 7, true), farther = run.Mean(scene, 7, false);
    EXPECT_GT(nearer, 200) << pan;
    EXPECT_LT(farther, 60) << pan;
    // The global motion follows the background, in the pan's direction.
    EXPECT_NEAR(run.stats.panX, LayeredPan::Speed(pan, 20), 1.0) << pan;
  }
}

TEST(SceneDepth, StillPicturesAndTurningCamerasStayFlatAndACutStartsAfresh) {
  LayeredPan scene;
  DepthRun run;
  const std::vector<uint8_t> still = scene.Frame(0);
  for (int n = 0; n < 4; ++n) run.Take(still, scene.w, scene.h, n == 0);
  EXPECT_NEAR(run.Mean(scene, 0, true), 128, 1);
  EXPECT_NEAR(run.Mean(scene, 0, false), 128, 1);

  // A turning camera moves everything alike, here with a little noise: no
  // parallax, no depth.
  std::mt19937 rng(3);
  for (int n = 0; n < 6; ++n) {
    std::vector<uint8_t> frame(static_cast<size_t>(PictureStride(scene.w) * scene.h));
    for (int32_t y = 0; y < scene.h; ++y) {
      for (int32_t x = 0; x < scene.w; ++x) {
        uint8_t* p = frame.data() + y * PictureStride(scene.w) + 3 * x;
        Texture(x + 9.0 * n, y, scene.seed, p);
        for (int c = 0; c < 3; ++c)
          p[c] =
              static_cast<uint8_t>(std::clamp<int>(p[c] + static_cast<int>(rng() % 7) - 3, 0, 255));
      }
    }
    run.Take(frame, scene.w, scene.h, n == 0);
  }
  EXPECT_NEAR(run.Mean(scene, 0, true), 128, 8);
  EXPECT_NEAR(run.Mean(scene, 0, false), 128, 8);

  // Another scene: flat at the cut, depth again on the frame after it.
  for (int n = 0; n < 5; ++n) run.Take(scene.Frame(n), scene.w, scene.h);
  LayeredPan other = scene;
  other.seed = 500;
  other.pan = -6;
  run.Take(other.Frame(0), other.w, other.h);
  EXPECT_TRUE(run.stats.cut);
  EXPECT_NEAR(run.Mean(other, 0, true), 128, 1);
  run.Take(other.Frame(1), other.w, other.h);
  EXPECT_FALSE(run.stats.cut);
  EXPECT_GT(run.Mean(other, 1, true), run.Mean(other, 1, false) + 100);
}

TEST(SceneDepth, SurfacesWithoutTextureTakeTheDepthAroundThem) {
  // A pan whose top quarter is a plain grey sky over the far background.
  LayeredPan scene;
  DepthRun run;
  for (int n = 0; n < 8; ++n) {
    std::vector<uint8_t> frame = scene.Frame(n);
    for (int32_t y = 0; y < scene.h / 4; ++y)
      std::memset(frame.data() + y * PictureStride(scene.w), 150, 3 * static_cast<size_t>(scene.w));
    run.Take(frame, scene.w, scene.h, n == 0);
  }
  double sky = 0;
  for (int32_t y = 0; y < scene.h / 4; ++y)
    for (int32_t x = 0; x < scene.w; ++x) sky += run.At(scene.w, x, y);
  sky /= scene.w * (scene.h / 4);
  EXPECT_LT(sky, 60);
  EXPECT_LT(run.Mean(scene, 7, false), 60);
  EXPECT_GT(run.Mean(scene, 7, true), 200);
}

TEST(SceneDepth, AnySizeIsTakenAndOnlyPixelBytesAreWritten) {
  SceneDepthState state;
  for (const auto& [w, h] : {std::pair{1, 1}, {7, 3}, {8, 8}, {17, 9}, {1921, 11}, {5, 400}}) {
    const int64_t bytes = PictureStride(w) * h;
    std::vector<uint8_t> frame(static_cast<size_t>(bytes));
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 37 + w);
    for (int n = 0; n < 3; ++n) {
      std::vector<uint8_t> out(static_cast<size_t>(bytes), 7);
      ASSERT_TRUE(SceneDepth(state, out.data(), frame.data(), w, h, false, nullptr)) << w;
      for (int32_t y = 0; y < h; ++y) {
        for (int64_t b = 0; b < PictureStride(w); ++b) {
          const uint8_t v = out[y * PictureStride(w) + b];
          if (b >= 3 * w) {
            ASSERT_EQ(v, 7) << w << "x" << h;
          } else {
            // All three bytes of a pixel hold its depth.
            ASSERT_EQ(v, out[y * PictureStride(w) + b - b % 3]) << w << "x" << h;
          }
        }
      }
    }
  }
  uint8_t pixel[4] = {};
  EXPECT_FALSE(SceneDepth(state, pixel, nullptr, 1, 1, false, nullptr));
  EXPECT_FALSE(SceneDepth(state, pixel, pixel, 0, 1, false, nullptr));
  EXPECT_FALSE(SceneDepth(state, pixel, pixel, INT32_MAX, INT32_MAX, false, nullptr));
}

}  // namespace
}  // namespace dioptrix::blocks
