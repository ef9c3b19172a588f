// The general filters: grey conversions and masks (plain and fast forms byte
// for byte), the two blends and the pasting of a small image.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>

#include "process/image_process.h"
#include "process/pixel_kernels.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::PixelAt;
using test::RandomImage;
using test::SolidImage;

// Number of the RuntimeError fn raises, 0 when it raises none.
int32_t ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const RuntimeError& e) {
    return e.Number();
  }
  return 0;
}

bool SameBytes(const cDIBSection& a, const cDIBSection& b) {
  return a.ImageSize() == b.ImageSize() &&
         std::memcmp(a.DIBSectionBitsPtr(), b.DIBSectionBitsPtr(), a.ImageSize()) == 0;
}

// Runs the plain and the fast form on copies of img: same error (if any) and
// the same bytes, padding included.
void ExpectSameForms(const cDIBSection& img, const std::function<void(cDIBSection&)>& plain,
                     const std::function<void(cDIBSection&)>& fast, const std::string& what) {
  const DibPtr a = img.CopyOf();
  const DibPtr b = img.CopyOf();
  const int32_t plainError = ErrorOf([&] { plain(*a); });
  const int32_t fastError = ErrorOf([&] { fast(*b); });
  EXPECT_EQ(plainError, fastError) << what;
  EXPECT_TRUE(SameBytes(*a, *b)) << what;
}

const std::pair<int32_t, int32_t> kOddSizes[] = {{1, 1},  {3, 1},  {15, 3}, {16, 2},
                                                 {17, 5}, {31, 7}, {33, 3}, {101, 13}};

TEST(GreyAndMask, WorkedValues) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  auto grey = [&](uint8_t b, uint8_t g, uint8_t r, int32_t divisor) {
    DibPtr img = SolidImage(19, 2, b, g, r);  // wide enough for the vector path
    p.GrayScale(*img, divisor);
    const uint8_t* px = PixelAt(*img, 18, 1);
    EXPECT_EQ(px[0], px[1]);
    EXPECT_EQ(px[1], px[2]);
    return px[0];
  };
  EXPECT_EQ(grey(1, 1, 2, 3), 1);  // 4 / 3
  EXPECT_EQ(grey(0, 1, 2, 3), 1);
  EXPECT_EQ(grey(1, 2, 2, 3), 2);  // 5 / 3
  EXPECT_EQ(grey(1, 0, 0, 2), 0);  // 0.5 rounds to even
  EXPECT_EQ(grey(3, 0, 0, 2), 2);  // 1.5 rounds to even
  EXPECT_EQ(grey(0, 0, 200, 1), 200);
  EXPECT_EQ(grey(255, 255, 255, 3), 255);
  EXPECT_EQ(grey(1, 0, 0, -3), 0);  // -1/3 rounds to 0

  DibPtr img = SolidImage(5, 5, 200, 100, 0);
  EXPECT_EQ(ErrorOf([&] { p.GrayScale(*img, 0); }), kErrDivisionByZero);
  EXPECT_EQ(ErrorOf([&] { p.GrayScale(*img, 1); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([&] { p.GrayScale(*img, -3); }), kErrOverflow);

  auto standard = [&](uint8_t b, uint8_t g, uint8_t r) {
    DibPtr one = SolidImage(20, 1, b, g, r);  // 16 pixels by vector, 4 one by one
    p.GrayScale_stand(*one);
    EXPECT_EQ(PixelAt(*one, 2, 0)[0], PixelAt(*one, 19, 0)[2]);
    return PixelAt(*one, 19, 0)[0];
  };
  EXPECT_EQ(standard(255, 255, 255), 255);
  EXPECT_EQ(standard(0, 0, 255), 57);   // 56.61
  EXPECT_EQ(standard(0, 255, 0), 180);  // 180.285
  EXPECT_EQ(standard(255, 0, 0), 18);   // 18.105

  DibPtr masked = RandomImage(21, 3, 5);
  const DibPtr before = masked->CopyOf();
  p.ColourMask(*masked, 0, 0, 1);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 21; ++x) {
      EXPECT_EQ(PixelAt(*masked, x, y)[0], 0);
      EXPECT_EQ(PixelAt(*masked, x, y)[1], 0);
      EXPECT_EQ(PixelAt(*masked, x, y)[2], PixelAt(*before, x, y)[2]);
    }
  DibPtr doubled = SolidImage(17, 1, 200, 100, 7);
  p.ColourMask(*doubled, 2, 3, 255);
  EXPECT_EQ(PixelAt(*doubled, 16, 0)[0], 144);  // 400 mod 256
  EXPECT_EQ(PixelAt(*doubled, 16, 0)[1], 44);   // 300 mod 256
  EXPECT_EQ(PixelAt(*doubled, 16, 0)[2], 249);  // 1785 mod 256

  // Empty images: nothing happens, not even the divisor check.
  cDIBSection empty;
  EXPECT_EQ(ErrorOf([&] { p.GrayScale(empty, 0); }), 0);
  p.GrayScale_stand(empty);
  p.ColourMask(empty, 0, 0, 0);
}

TEST(GreyAndMask, EveryLevelMatchesThePlainForms) {
  namespace pk = pixel_kernels;
  for (CpuLevel level : CpuLevels()) {
    const pk::PixelKernels& k = pk::PixelKernelsFor(level);
    const std::string name = CpuLevelName(level);
    uint32_t seed = 100;
    for (auto [w, h] : kOddSizes) {
      const DibPtr img = RandomImage(w, h, seed++);
      const std::string size = name + " " + std::to_string(w) + "x" + std::to_string(h);
      // Random bytes make divisors 1 and 2 overflow part way: the same pixels
      // must have been written when the error is raised.
      for (int32_t d : {1, 2, 3, 4, 5, 6, 7, 9, 10, 255, 1000, -1, -7, 1 << 24, (1 << 24) + 1,
                        INT32_MAX, INT32_MIN}) {
        ExpectSameForms(
            *img, [d](cDIBSection& i) { pk::GrayScalePlain(i, d); },
            [&k, d](cDIBSection& i) { k.grayScale(i, d); }, size + " / " + std::to_string(d));
      }
      ExpectSameForms(*img, pk::GrayScaleStandPlain, k.grayScaleStand, size);
      for (auto [b, g, r] : {std::tuple{0, 0, 1}, {1, 1, 0}, {0, 1, 1}, {2, 3, 255}, {7, 128, 93}})
        ExpectSameForms(
            *img, [=](cDIBSection& i) { pk::ColourMaskPlain(i, b, g, r); },
            [&k, b, g, r](cDIBSection& i) { k.colourMask(i, b, g, r); }, size + " mask");
    }

    // Every channel sum 0..765 with every divisor -800..800 (0 excluded).
    const DibPtr sums = SolidImage(766, 1, 0, 0, 0);
    for (int32_t s = 0; s <= 765; ++s) {
      uint8_t* px = PixelAt(*sums, s, 0);
      px[0] = static_cast<uint8_t>(std::min(s, 255));
      px[1] = static_cast<uint8_t>(std::clamp(s - 255, 0, 255));
      px[2] = static_cast<uint8_t>(std::clamp(s - 510, 0, 255));
    }
    for (int32_t d = -800; d <= 800; ++d) {
      if (d == 0) continue;
      ExpectSameForms(
          *sums, [d](cDIBSection& i) { pk::GrayScalePlain(i, d); },
          [&k, d](cDIBSection& i) { k.grayScale(i, d); }, name + " sums / " + std::to_string(d));
    }
  }

  // Every colour through the standard grey, against the formula in exact
  // integers (round half to even).
  const DibPtr all = SolidImage(4096, 4096, 0, 0, 0);
  for (int32_t y = 0; y < 4096; ++y)
    for (int32_t x = 0; x < 4096; ++x) {
      const uint32_t i = static_cast<uint32_t>(y) * 4096 + x;
      uint8_t* px = PixelAt(*all, x, y);
      px[0] = i & 255;
      px[1] = (i >> 8) & 255;
      px[2] = i >> 16;
    }
  const DibPtr plain = all->CopyOf();
  const DibPtr fast = all->CopyOf();
  pk::GrayScaleStandPlain(*plain);
  pk::GrayScaleStandFast(*fast);
  EXPECT_TRUE(SameBytes(*plain, *fast));
  int32_t wrong = 0;
  for (int32_t y = 0; y < 4096; ++y)
    for (int32_t x = 0; x < 4096; ++x) {
      const uint8_t* in = PixelAt(*all, x, y);
      const int32_t sum = 707 * in[1] + 222 * in[2] + 71 * in[0];
      const int32_t q = sum / 1000, rest = sum % 1000;
      const int32_t expected = q + (rest > 500 || (rest == 500 && q % 2 == 1) ? 1 : 0);
      const uint8_t* out = PixelAt(*plain, x, y);
      if (out[0] != expected || out[1] != expected || out[2] != expected) ++wrong;
    }
  EXPECT_EQ(wrong, 0);
}

TEST(Blends, AddImagesAndChannels) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  const DibPtr from = RandomImage(7, 3, 21);
  const DibPtr to = RandomImage(7, 3, 22);
  // Expects every byte k of every pixel of `out` to be f(F byte, T byte, k).
  auto expectBytes = [&](const cDIBSection& out, const std::function<int(int, int, int)>& f) {
    for (int32_t y = 0; y < 3; ++y)
      for (int32_t x = 0; x < 7; ++x)
        for (int k = 0; k < 3; ++k)
          ASSERT_EQ(PixelAt(out, x, y)[k],
                    std::clamp(f(PixelAt(*from, x, y)[k], PixelAt(*to, x, y)[k], k), 0, 255))
              << x << "," << y << "," << k;
  };

  DibPtr t = to->CopyOf();
  p.AddImages(*from, *t, -1, 0, 0, 0, 2, 0, 0, 0);
  expectBytes(*t, [](int f, int tt, int) { return 2 * tt - f; });
  t = to->CopyOf();
  p.AddImages(*from, *t, 1, 127, 127, 127, 0, 0, 0, 0);
  expectBytes(*t, [](int f, int, int) { return f + 127; });
  // The offsets named R act on byte 0, those named B on byte 2.
  t = to->CopyOf();
  p.AddImages(*from, *t, 1, -100, 0, 100, 1, 0, -50, 0);
  expectBytes(*t, [](int f, int tt, int k) {
    return k == 0 ? f - 100 + tt : k == 1 ? f + tt - 50 : f + 100 + tt;
  });

  t = to->CopyOf();
  p.AddImagesChannel(*from, *t, -1, -1, -1, 1, 1, 1);
  expectBytes(*t, [](int f, int tt, int) { return tt - f; });
  t = to->CopyOf();
  p.AddImagesChannel(*from, *t, 1, 1, 1, 1, 1, 1);
  expectBytes(*t, [](int f, int tt, int) { return tt + f; });
  // The weights named R act on byte 0.
  t = to->CopyOf();
  p.AddImagesChannel(*from, *t, 1, 0, 0, 0, 0, 2);
  expectBytes(*t, [](int f, int tt, int k) { return k == 0 ? f : k == 1 ? 0 : 2 * tt; });

  // A source smaller than the target is refused before anything is written;
  // a larger one is read where it overlaps.
  t = to->CopyOf();
  for (const DibPtr& small : {RandomImage(6, 3, 1), RandomImage(7, 2, 1)}) {
    EXPECT_EQ(ErrorOf([&] { p.AddImages(*small, *t, 1, 0, 0, 0, 1, 0, 0, 0); }),
              kErrSubscriptOutOfRange);
    EXPECT_EQ(ErrorOf([&] { p.AddImagesChannel(*small, *t, 1, 1, 1, 1, 1, 1); }),
              kErrSubscriptOutOfRange);
  }
  cDIBSection empty;
  EXPECT_EQ(ErrorOf([&] { p.AddImages(empty, *t, 1, 0, 0, 0, 1, 0, 0, 0); }),
            kErrSubscriptOutOfRange);
  EXPECT_TRUE(test::SamePixels(*t, *to));
  const DibPtr big = SolidImage(9, 5, 1, 2, 3);
  p.AddImagesChannel(*big, *t, 1, 1, 1, 0, 0, 0);
  EXPECT_TRUE(test::SamePixels(*t, *SolidImage(7, 3, 1, 2, 3)));
  p.AddImages(*big, empty, 1, 0, 0, 0, 1, 0, 0, 0);  // nothing to do

  // 32-bit overflow is an error, not a wrapped value.
  const DibPtr five = SolidImage(7, 3, 5, 5, 5);
  EXPECT_EQ(ErrorOf([&] { p.AddImages(*five, *t, INT32_MAX, 0, 0, 0, 0, 0, 0, 0); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([&] { p.AddImages(*five, *t, 1, INT32_MAX, 0, 0, 0, 0, 0, 0); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([&] { p.AddImagesChannel(*five, *t, INT32_MIN, 0, 0, 0, 0, 0); }),
            kErrOverflow);
}

TEST(Blends, AddSmallImage) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  const DibPtr to = RandomImage(4, 8, 31);
  DibPtr small = SolidImage(2, 2, 0, 0, 0);
  uint8_t* px = PixelAt(*small, 1, 1);
  px[0] = 10;
  px[1] = 20;
  px[2] = 30;

  DibPtr t = to->CopyOf();
  p.AddSmallImage(*small, *t, 9, 9, 9, 9, 9, 9, 9, 9, 5);
  for (int32_t y = 0; y < 8; ++y)
    for (int32_t x = 0; x < 4; ++x)
      for (int k = 0; k < 3; ++k) {
        const int expected = x == 1 && y == 6 ? (10 + 11 * k) : PixelAt(*to, x, y)[k];
        EXPECT_EQ(PixelAt(*t, x, y)[k], expected) << x << "," << y << "," << k;
      }

  // Green and red saturate at 255; black stays transparent.
  px[0] = 0;
  px[1] = 255;
  px[2] = 254;
  t = to->CopyOf();
  p.AddSmallImage(*small, *t, 0, 0, 0, 0, 0, 0, 0, 0, 6);  // the top two lines
  EXPECT_EQ(PixelAt(*t, 1, 7)[0], 0);
  EXPECT_EQ(PixelAt(*t, 1, 7)[1], 255);
  EXPECT_EQ(PixelAt(*t, 1, 7)[2], 255);
  EXPECT_EQ(PixelAt(*t, 0, 7)[2], PixelAt(*to, 0, 7)[2]);

  // An image that does not fit is refused before anything is written.
  t = to->CopyOf();
  for (int32_t offset : {7, 8, -1, INT32_MAX})
    EXPECT_EQ(ErrorOf([&] { p.AddSmallImage(*small, *t, 0, 0, 0, 0, 0, 0, 0, 0, offset); }),
              kErrSubscriptOutOfRange);
  const DibPtr wide = SolidImage(5, 1, 1, 1, 1);
  EXPECT_EQ(ErrorOf([&] { p.AddSmallImage(*wide, *t, 0, 0, 0, 0, 0, 0, 0, 0, 0); }),
            kErrSubscriptOutOfRange);
  cDIBSection empty;
  EXPECT_EQ(ErrorOf([&] { p.AddSmallImage(*small, empty, 0, 0, 0, 0, 0, 0, 0, 0, 0); }),
            kErrSubscriptOutOfRange);
  EXPECT_TRUE(test::SamePixels(*t, *to));
  p.AddSmallImage(empty, *t, 0, 0, 0, 0, 0, 0, 0, 0, -5);  // nothing to paste
  EXPECT_TRUE(test::SamePixels(*t, *to));
}

}  // namespace
}  // namespace dioptrix
