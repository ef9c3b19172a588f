#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/error.h"
#include "process/image_process.h"
#include "process/make3d.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::PixelAt;
using test::RandomImage;
using test::SolidImage;

// The inputs of one synthesis: colours and depth in the engine's arrays, as
// the conversion step prepares them, and an output picture of the same size
// whose bytes start at a known value.
struct Scene {
  Scene(const cDIBSection& colour, const cDIBSection& depthImage)
      : engine(arrays), out(SolidImage(colour.Width(), colour.Height(), 0x5A, 0x5A, 0x5A)) {
    engine.CopyToArray(depthImage);
    arrays.DepthImageArray = arrays.PixelArray;
    engine.CopyToArray(colour);
  }
  void Run(double gain, double perspective, int16_t offset, int32_t holeMode) {
    engine.Make3D(*out, gain, perspective, offset, holeMode);
  }
  const uint8_t* At(int32_t x, int32_t y) const { return PixelAt(*out, x, y); }

  EngineArrays arrays;
  cImageProcessDIB engine;
  DibPtr out;
};

DibPtr Grey(int32_t w, int32_t h, uint8_t v) { return SolidImage(w, h, v, v, v); }

// The source pixel as a placed pixel: its red byte with the lowest bit set.
std::vector<uint8_t> Placed(const cDIBSection& src, int32_t x, int32_t y) {
  const uint8_t* p = PixelAt(src, x, y);
  return {p[0], p[1], static_cast<uint8_t>(p[2] | 1)};
}
std::vector<uint8_t> Bytes3(const uint8_t* p) { return {p[0], p[1], p[2]}; }

std::vector<uint8_t> AllBytes(const cDIBSection& img) {
  return {img.DIBSectionBitsPtr(), img.DIBSectionBitsPtr() + img.ImageSize()};
}

TEST(Make3D, UniformDepthWithoutHoleFillingMovesWholePixels) {
  const int32_t w = 23, h = 5;
  DibPtr src = RandomImage(w, h, 11);

  // d = 255 - 227 = 28, 28 * 0.25 = 7 bytes: p = x + 7/3, so every source
  // pixel lands two whole pixels to the right (and a third on the next one,
  // which the following source overwrites).
  Scene right(*src, *Grey(w, h, 227));
  right.Run(0.25, 0, 0, 0);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < 2; ++x) EXPECT_EQ(Bytes3(right.At(x, y)), std::vector<uint8_t>(3, 0));
    // The last source that fits (p < W - 2) is pixel W - 5; its right share
    // fills pixel W - 2 with source W - 4.
    for (int32_t x = 2; x <= w - 2; ++x)
      EXPECT_EQ(Bytes3(right.At(x, y)), Placed(*src, x - 2, y)) << "x " << x << " y " << y;
    // The last pixel: only its first byte is written.
    EXPECT_EQ(Bytes3(right.At(w - 1, y)), (std::vector<uint8_t>{0, 0x5A, 0x5A}));
  }

  // An offset of 9 bytes with no depth gain: three pixels to the left, with
  // no fraction, so the right share has weight 0 and the pixel after the last
  // placed one stays black. Source 3 lands on p = 0 and is dropped.
  Scene left(*src, *Grey(w, h, 100));
  left.Run(0, 0, 9, 0);
  for (int32_t y = 0; y < h; ++y) {
    EXPECT_EQ(Bytes3(left.At(0, y)), std::vector<uint8_t>(3, 0));
    for (int32_t x = 1; x <= w - 5; ++x)
      EXPECT_EQ(Bytes3(left.At(x, y)), Placed(*src, x + 3, y)) << "x " << x << " y " << y;
    for (int32_t x = w - 4; x <= w - 2; ++x)
      EXPECT_EQ(Bytes3(left.At(x, y)), std::vector<uint8_t>(3, 0)) << "x " << x;
  }
}

TEST(Make3D, PositionsAtZeroAndAtWidthLessTwoAreDropped) {
  const int32_t w = 15, h = 3;
  DibPtr src = RandomImage(w, h, 5);
  // Two whole pixels to the right (offset -6): source W - 4 would land on
  // p = W - 2, the first position that is not taken.
  Scene shifted(*src, *Grey(w, h, 255));
  shifted.Run(0, 0, -6, 0);
  for (int32_t y = 0; y < h; ++y) {
    EXPECT_EQ(Bytes3(shifted.At(w - 3, y)), Placed(*src, w - 5, y));
    EXPECT_EQ(Bytes3(shifted.At(w - 2, y)), std::vector<uint8_t>(3, 0));
  }
  // No shift at all: source 0 lands on p = 0 and is dropped, source 1 is the
  // first one placed.
  Scene still(*src, *Grey(w, h, 255));
  still.Run(0, 0, 0, 0);
  for (int32_t y = 0; y < h; ++y) {
    EXPECT_EQ(Bytes3(still.At(0, y)), std::vector<uint8_t>(3, 0));
    EXPECT_EQ(Bytes3(still.At(1, y)), Placed(*src, 1, y));
  }
}

TEST(Make3D, PositionFollowsGainOffsetAndPerspective) {
  const int32_t w = 41, h = 3;
  DibPtr src = RandomImage(w, h, 21);
  // Perspective 0 is the linear shift round(x3 - offset + d * gain): d = 60,
  // gain 0.1 and offset -3 make 9 bytes, three pixels.
  Scene linear(*src, *Grey(w, h, 195));
  linear.Run(0.1, 0, -3, 0);
  for (int32_t x = 3; x <= w - 3; ++x) EXPECT_EQ(Bytes3(linear.At(x, 1)), Placed(*src, x - 3, 1));

  // With perspective the position is divided by (x3 - d) * perspective + 1:
  // d = 0, offset -30 and perspective 1/8 put source x at
  // round((3x + 30) / (3x / 8 + 1)) bytes: 30, 24, 21 for sources 0..2 and
  // ever less after them, so the picture is squeezed towards the left and
  // pixel 9 is reached by none. (Hole filling keeps the weightless right
  // shares from wiping pixels 8 and 7; with d = 0 it fills nothing.)
  Scene bent(*src, *Grey(w, h, 255));
  bent.Run(0, 0.125, -30, 1);
  EXPECT_EQ(Bytes3(bent.At(10, 1)), Placed(*src, 0, 1));
  EXPECT_EQ(Bytes3(bent.At(9, 1)), std::vector<uint8_t>(3, 0));
  EXPECT_EQ(Bytes3(bent.At(8, 1)), Placed(*src, 1, 1));
  EXPECT_EQ(Bytes3(bent.At(7, 1)), Placed(*src, 2, 1));
  for (int32_t x = 11; x < w; ++x) EXPECT_EQ(bent.At(x, 1)[0], 0) << x;
}

TEST(Make3D, ASourcePixelWhoseDivisorIsZeroIsDropped) {
  const int32_t w = 13, h = 3;
  DibPtr src = RandomImage(w, h, 8);
  DibPtr changed = src->CopyOf();
  // d = 1 and perspective -1/8: (x3 - d) * perspective + 1 is 0 for x3 = 9,
  // source pixel 3. Offset -3 puts source 2 exactly on pixel 8, so the share
  // it would give its right neighbour (the colour of source 3) weighs 0.
  for (int32_t y = 0; y < h; ++y) std::memset(PixelAt(*changed, 3, y), 0x77, 3);
  for (const int32_t holeMode : {0, 1}) {
    SCOPED_TRACE(holeMode);
    Scene a(*src, *Grey(w, h, 254)), b(*changed, *Grey(w, h, 254));
    a.Run(0, -0.125, -3, holeMode);
    b.Run(0, -0.125, -3, holeMode);
    EXPECT_EQ(AllBytes(*a.out), AllBytes(*b.out));
    // Source 2 (divisor 0.375, 24 bytes) is placed: changing it shows.
    for (int32_t y = 0; y < h; ++y) std::memset(PixelAt(*changed, 2, y), 0x77, 3);
    Scene c(*changed, *Grey(w, h, 254));
    c.Run(0, -0.125, -3, holeMode);
    EXPECT_NE(AllBytes(*a.out), AllBytes(*c.out));
    for (int32_t y = 0; y < h; ++y) std::memcpy(PixelAt(*changed, 2, y), PixelAt(*src, 2, y), 3);
  }
}

TEST(Make3D, HolesAreFilledFromTheNearSide) {
  // Far background (depth 255, no shift) on the left, a near block (depth 0)
  // on the right that moves 8 pixels: the gap it opens is filled, and only
  // from samples with inverted depth above 0, that is from the near block.
  const int32_t w = 40, h = 9;
  DibPtr src = SolidImage(w, h, 200, 100, 50);
  DibPtr depth = Grey(w, h, 255);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 20; x < w; ++x) {
      std::memcpy(PixelAt(*src, x, y), "\x0A\x14\x1F", 3);
      std::memset(PixelAt(*depth, x, y), 0, 3);
    }
  Scene without(*src, *depth), with(*src, *depth);
  without.Run(24.0 / 255, 0, 0, 0);
  with.Run(24.0 / 255, 0, 0, 1);
  for (int32_t y = 1; y < h - 1; ++y) {
    for (int32_t x = 20; x < 28; ++x) {
      EXPECT_EQ(Bytes3(without.At(x, y)), std::vector<uint8_t>(3, 0)) << x;
      EXPECT_EQ(Bytes3(with.At(x, y)), (std::vector<uint8_t>{0x0A, 0x14, 0x1F})) << x;
    }
  }
}

// Depth steps of `step` between the left and right halves, no shift, the
// right neighbour's share accumulated: smoothing (holeMode 1) against the
// same fill without it (holeMode -1).
void ExpectSmoothingAtStep(int step, bool smoothed) {
  SCOPED_TRACE(step);
  const int32_t w = 24, h = 7, edge = 12;
  DibPtr src = RandomImage(w, h, 3);
  DibPtr depth = Grey(w, h, 150);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = edge; x < w; ++x) std::memset(PixelAt(*depth, x, y), 150 - step, 3);
  Scene plain(*src, *depth), smooth(*src, *depth);
  plain.Run(0, 0, 0, -1);
  smooth.Run(0, 0, 0, 1);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 1; x < w; ++x) {
      const bool atEdge = smoothed && x == edge - 1 && y <= h - 3;
      if (!atEdge) {
        EXPECT_EQ(Bytes3(smooth.At(x, y)), Bytes3(plain.At(x, y))) << "x " << x << " y " << y;
        continue;
      }
      // The 3x3 window starting at the pixel itself.
      const float k[3][3] = {{0.05f, 0.1f, 0.05f}, {0.1f, 0.4f, 0.1f}, {0.05f, 0.1f, 0.05f}};
      for (int32_t c = 0; c < 3; ++c) {
        double sum = 0;
        for (int32_t i = 0; i < 3; ++i)
          for (int32_t j = 0; j < 3; ++j) sum += plain.At(x + i, y + j)[c] * double{k[i][j]};
        EXPECT_EQ(smooth.At(x, y)[c], std::nearbyint(sum)) << "y " << y << " c " << c;
      }
    }
  }
}

TEST(Make3D, DepthStepsAboveTenAreSmoothed) {
  ExpectSmoothingAtStep(10, false);
  ExpectSmoothingAtStep(11, true);
}

TEST(Make3D, FastMatchesPlainOnRandomOddFrames) {
  std::mt19937 rng(7);
  Make3DWorkspace work;  // shared across sizes, as in the engine
  const int32_t sizes[][2] = {{3, 3}, {5, 7}, {9, 3}, {17, 9}, {33, 13}, {61, 21}, {127, 15}};
  const double gains[] = {0, 0.1, 0.37, 1.5, -0.2};
  const double perspectives[] = {0, 0.001, -0.0025};
  const int16_t offsets[] = {0, 8, -5};
  const int32_t holeModes[] = {0, 1, -1, 2};
  int checked = 0;
  for (const auto& size : sizes) {
    const int32_t w = size[0], h = size[1];
    for (int kind = 0; kind < 2; ++kind) {
      DibPtr colour = RandomImage(w, h, rng());
      // Random depth per pixel, or blocks of depth as the conversion makes.
      DibPtr depth = RandomImage(w, h, rng());
      if (kind == 1) {
        for (int32_t y = 0; y < h; ++y)
          for (int32_t x = 0; x < w; ++x)
            std::memset(PixelAt(*depth, x, y), ((x / 6 + y / 4) % 3) * 110, 3);
      }
      Scene scene(*colour, *depth);
      for (const double gain : gains)
        for (const double perspective : perspectives)
          for (const int16_t offset : offsets)
            for (const int32_t holeMode : holeModes) {
              DibPtr a = RandomImage(w, h, 99);
              DibPtr b = a->CopyOf();
              Make3DPlain(*a, scene.arrays.PixelArray, scene.arrays.DepthImageArray, gain,
                          perspective, offset, holeMode);
              Make3DFast(*b, scene.arrays.PixelArray, scene.arrays.DepthImageArray, gain,
                         perspective, offset, holeMode, work);
              ASSERT_EQ(AllBytes(*a), AllBytes(*b))
                  << w << "x" << h << " kind " << kind << " gain " << gain << " perspective "
                  << perspective << " offset " << offset << " holeMode " << holeMode;
              ++checked;
            }
    }
  }
  EXPECT_EQ(checked, 7 * 2 * 5 * 3 * 3 * 4);
}

int32_t ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.Number();
  }
  return 0;
}

TEST(Make3D, SmallFramesShortArraysAndNonByteResultsAreErrors) {
  using Form = std::function<void(cDIBSection&, const Plane<int32_t>&, const Plane<int32_t>&)>;
  Make3DWorkspace work;
  const std::vector<Form> forms = {
      [](cDIBSection& pic, const Plane<int32_t>& c, const Plane<int32_t>& d) {
        Make3DPlain(pic, c, d, 0.01, 0, 2, 1);
      },
      [&work](cDIBSection& pic, const Plane<int32_t>& c, const Plane<int32_t>& d) {
        Make3DFast(pic, c, d, 0.01, 0, 2, 1, work);
      }};
  for (const Form& make3d : forms) {
    // Frames narrower or lower than 3 pixels.
    for (const auto& size : {std::pair{1, 9}, std::pair{2, 9}, std::pair{9, 1}, std::pair{9, 2}}) {
      Scene s(*RandomImage(size.first, size.second, 1), *Grey(size.first, size.second, 9));
      EXPECT_EQ(ErrorOf([&] { make3d(*s.out, s.arrays.PixelArray, s.arrays.DepthImageArray); }),
                kErrInvalidArgument)
          << size.first << "x" << size.second;
    }
    cDIBSection empty;
    Scene s(*RandomImage(9, 5, 1), *Grey(9, 5, 9));
    EXPECT_EQ(ErrorOf([&] { make3d(empty, s.arrays.PixelArray, s.arrays.DepthImageArray); }),
              kErrObjectNotSet);

    // Arrays one byte column or one line short of the picture, or empty.
    Plane<int32_t> narrow, low, none;
    narrow.Redim(3 * 9 - 1, 5);
    low.Redim(3 * 9 + 1, 4);
    for (const Plane<int32_t>* bad : {&narrow, &low, &none}) {
      EXPECT_EQ(ErrorOf([&] { make3d(*s.out, *bad, s.arrays.DepthImageArray); }),
                kErrSubscriptOutOfRange);
      EXPECT_EQ(ErrorOf([&] { make3d(*s.out, s.arrays.PixelArray, *bad); }),
                kErrSubscriptOutOfRange);
    }
    // Colours that are no bytes give results that are none.
    Plane<int32_t> loud = s.arrays.PixelArray;
    for (int32_t y = 0; y < 5; ++y)
      for (int32_t b = 0; b < 27; ++b) loud(b, y) = 300 + b;
    EXPECT_EQ(ErrorOf([&] { make3d(*s.out, loud, s.arrays.DepthImageArray); }), kErrOverflow);
    // Depth values outside 0..255 only move pixels further.
    Plane<int32_t> deep = s.arrays.DepthImageArray;
    deep(0, 0) = INT32_MIN;
    deep(3, 1) = INT32_MAX;
    EXPECT_EQ(ErrorOf([&] { make3d(*s.out, s.arrays.PixelArray, deep); }), 0);
  }
}

}  // namespace
}  // namespace dioptrix
