#include "image/dib_section.h"

#include <gtest/gtest.h>

#include <cstring>

#include "image/blit.h"
#include "image/dib_operations.h"
#include "platform/error.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::PixelAt;
using test::RandomImage;
using test::SamePixels;

TEST(DibSection, LayoutAndHeader) {
  const int32_t expected[] = {4, 8, 12, 12, 16};
  for (int32_t w = 1; w <= 5; ++w) {
    cDIBSection img;
    ASSERT_TRUE(img.Create(w, 3));
    EXPECT_EQ(img.BytesPerScanLine(), expected[w - 1]) << "width " << w;
    EXPECT_EQ(img.ImageSize(), static_cast<size_t>(expected[w - 1] * 3));
    const BitmapInfoHeader& h = img.Header();
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, w);
    EXPECT_EQ(h.biHeight, 3);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biSizeImage, img.ImageSize());
    EXPECT_NE(img.hDC(), 0u);
    // A new image is black, padding included.
    for (size_t i = 0; i < img.ImageSize(); ++i) ASSERT_EQ(img.DIBSectionBitsPtr()[i], 0);
  }
}

TEST(DibSection, CreateFailsCleanlyAndClearUpIsIdempotent) {
  cDIBSection img;
  ASSERT_TRUE(img.Create(4, 4));
  EXPECT_FALSE(img.Create(0, 4));
  EXPECT_TRUE(img.Empty());
  EXPECT_EQ(img.Width(), 0);
  EXPECT_EQ(img.hDC(), 0u);
  EXPECT_FALSE(img.Create(4, -1));
  EXPECT_FALSE(img.Create(INT32_MAX, INT32_MAX));
  img.ClearUp();
  img.ClearUp();
  EXPECT_TRUE(img.Empty());
}

TEST(DibSection, BlitCoordinatesStartAtTheTopLeft) {
  // In a 4x2 image the top-left pixel sits at byte 12 (scan line 1), the
  // bottom-left one at byte 0.
  cDIBSection img;
  ASSERT_TRUE(img.Create(4, 2));
  uint8_t* bits = img.DIBSectionBitsPtr();
  bits[12] = 1, bits[13] = 2, bits[14] = 3;
  bits[0] = 7, bits[1] = 8, bits[2] = 9;
  DibPtr topLeft = img.Crop(1, 1, 0, 0);
  DibPtr bottomLeft = img.Crop(1, 1, 0, 1);
  ASSERT_TRUE(topLeft && bottomLeft);
  EXPECT_EQ(std::memcmp(topLeft->DIBSectionBitsPtr(), bits + 12, 3), 0);
  EXPECT_EQ(std::memcmp(bottomLeft->DIBSectionBitsPtr(), bits, 3), 0);
}

TEST(DibSection, CropKeepsTheRectangleAndClipsTheRest) {
  auto src = RandomImage(37, 23, 1);
  // Dropping the top 10 rows keeps the bottom 13 scan lines.
  DibPtr crop = src->Crop(13, 37, 0, 10);
  ASSERT_TRUE(crop);
  for (int32_t y = 0; y < 13; ++y)
    EXPECT_EQ(std::memcmp(crop->ScanLine(y), src->ScanLine(y), 37 * 3), 0);

  // A rectangle hanging off the left and bottom edges: the off-image part
  // stays black, the rest is the source.
  DibPtr off = src->Crop(10, 10, -4, 18);
  ASSERT_TRUE(off);
  for (int32_t yTop = 0; yTop < 10; ++yTop) {
    for (int32_t x = 0; x < 10; ++x) {
      const uint8_t* d = PixelAt(*off, x, 9 - yTop);
      const int32_t sx = x - 4, syTop = 18 + yTop;
      if (sx < 0 || syTop >= 23) {
        EXPECT_EQ(d[0] | d[1] | d[2], 0) << x << "," << yTop;
      } else {
        EXPECT_EQ(std::memcmp(d, PixelAt(*src, sx, 22 - syTop), 3), 0) << x << "," << yTop;
      }
    }
  }
  // Wholly off the image: a black image of the asked size.
  DibPtr away = src->Crop(5, 5, 1000, -1000);
  ASSERT_TRUE(away);
  EXPECT_TRUE(SamePixels(*away, *test::SolidImage(5, 5, 0, 0, 0)));
  // Extreme offsets never wrap around.
  EXPECT_TRUE(src->Crop(3, 3, INT32_MAX, INT32_MIN));
  EXPECT_FALSE(src->Crop(0, 3, 0, 0));
}

TEST(DibSection, CropOfATooSmallImageGivesNothingAndItsUseRaises) {
  DibPtr thin = RandomImage(1, 10, 2);
  EXPECT_EQ(thin->Crop(5, 1, 0, 0), nullptr);
  DibPtr low = RandomImage(10, 1, 3);
  CropDib(low, 1, 5, 0, 0);
  EXPECT_EQ(low, nullptr);
  try {
    CropDib(low, 1, 1, 0, 0);
    FAIL() << "cropping nothing must raise";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrObjectNotSet);
    EXPECT_EQ(e.Description(), "Object variable not set");
  }
  DibPtr copy;
  EXPECT_THROW(CopyDib(low, copy), RuntimeError);
  EXPECT_THROW(ResampleDib(low, 2, 2, true), RuntimeError);
}

TEST(DibSection, CopyOperationsMakeIndependentImages) {
  DibPtr a = RandomImage(9, 7, 4);
  DibPtr b;
  CopyDib(a, b);
  ASSERT_TRUE(b);
  EXPECT_TRUE(SamePixels(*a, *b));
  b->DIBSectionBitsPtr()[0] ^= 0xFF;
  EXPECT_FALSE(SamePixels(*a, *b));
  DibPtr c;
  CropDibTo(a, c, 3, 4, 2, 2);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Width(), 4);
  EXPECT_EQ(c->Height(), 3);
  EXPECT_TRUE(a);
}

TEST(DibSection, ResampleToTheSameSizeIsAnExactCopy) {
  DibPtr src = RandomImage(13, 11, 5);
  for (bool interpolate : {false, true}) {
    DibPtr r = src->Resample(11, 13, interpolate);
    ASSERT_TRUE(r);
    EXPECT_TRUE(SamePixels(*src, *r));
  }
}

TEST(DibSection, ResampleWithoutInterpolation) {
  DibPtr src = RandomImage(10, 8, 6);
  // Enlarging uses the nearest stretch: 10x8 -> 20x16 repeats every pixel
  // twice in each direction.
  DibPtr big = src->Resample(16, 20, false);
  ASSERT_TRUE(big);
  for (int32_t y = 0; y < 16; ++y)
    for (int32_t x = 0; x < 20; ++x)
      ASSERT_EQ(std::memcmp(PixelAt(*big, x, y), PixelAt(*src, x / 2, y / 2), 3), 0);
  // Reducing (in either direction) picks (floor(x (sw-1)/dw), floor(y (sh-1)/dh)).
  DibPtr small = src->Resample(8, 4, false);
  ASSERT_TRUE(small);
  for (int32_t y = 0; y < 8; ++y)
    for (int32_t x = 0; x < 4; ++x)
      ASSERT_EQ(std::memcmp(PixelAt(*small, x, y), PixelAt(*src, x * 9 / 4, y * 7 / 8), 3), 0);
}

TEST(DibSection, InterpolatedResampleOfAOnePixelHighImageDoesNotInterpolate) {
  DibPtr src = RandomImage(30, 1, 7);
  DibPtr a = src->Resample(1, 7, true);
  DibPtr b = src->Resample(1, 7, false);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(SamePixels(*a, *b));
}

TEST(DibSection, InterpolatedResampleBlendsOrAverages) {
  // Halving 100 -> 50 wide: xr = 99/50 = 1.98, bilinear blending.
  DibPtr src = RandomImage(100, 4, 8);
  DibPtr half = src->Resample(4, 50, true);
  ASSERT_TRUE(half);
  {
    const int32_t x = 3, y = 1;
    const float xr = 99.0f / 50.0f, yr = 3.0f / 4.0f;
    const float fx = x * xr, fy = y * yr;
    const int32_t xi = static_cast<int32_t>(fx), yi = static_cast<int32_t>(fy);
    const float tx = fx - xi, ty = fy - yi;
    for (int c = 0; c < 3; ++c) {
      const float a =
          std::nearbyint((1 - ty) * PixelAt(*src, xi, yi)[c] + ty * PixelAt(*src, xi, yi + 1)[c]);
      const float b = std::nearbyint((1 - ty) * PixelAt(*src, xi + 1, yi)[c] +
                                     ty * PixelAt(*src, xi + 1, yi + 1)[c]);
      EXPECT_EQ(PixelAt(*half, x, y)[c], std::nearbyint((1 - tx) * a + tx * b)) << c;
    }
  }
  // Reducing 100 -> 20: xr = 99/20 = 4.95, box average with h = 2 (25
  // samples); border rows and columns of the source never contribute, so a
  // white picture comes out darker at the edges.
  DibPtr white = test::SolidImage(100, 100, 255, 255, 255);
  DibPtr fifth = white->Resample(20, 20, true);
  ASSERT_TRUE(fifth);
  EXPECT_EQ(PixelAt(*fifth, 10, 10)[0], 255);
  // Pixel 0: xi = 0, columns -2..2 of which 1 and 2 count; lines likewise.
  EXPECT_EQ(PixelAt(*fifth, 0, 0)[1], static_cast<uint8_t>(std::nearbyint(255.0 * 4 / 25)));
  EXPECT_EQ(PixelAt(*fifth, 10, 0)[2], static_cast<uint8_t>(std::nearbyint(255.0 * 10 / 25)));
}

TEST(DibSection, ResampleNeverReadsOutsideTheSource) {
  // Extreme ratios: float rounding must not push a sample onto a row or
  // column past the end (AddressSanitizer watches the reads).
  DibPtr src = RandomImage(3, 2, 9);
  for (auto [h, w] : {std::pair{1, 4000}, {3000, 1}, {1, 1}, {2, 7}}) {
    EXPECT_TRUE(src->Resample(h, w, true));
    EXPECT_TRUE(src->Resample(h, w, false));
  }
  DibPtr wide = RandomImage(4001, 3, 10);
  EXPECT_TRUE(wide->Resample(2, 3, true));
}

}  // namespace
}  // namespace dioptrix
