#include "image/blit.h"

#include <gtest/gtest.h>

#include <cstring>

#include "image/picture.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::PixelAt;
using test::RandomImage;
using test::SamePixels;
using test::SolidImage;

TEST(Blit, OrBlitMergesByteByByte) {
  DibPtr dst = SolidImage(5, 4, 0x0F, 0x00, 0x80);
  DibPtr src = SolidImage(5, 4, 0xF0, 0x11, 0x01);
  ASSERT_TRUE(BitBlt(*dst, 0, 0, 5, 4, *src, 0, 0, kSrcPaint));
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 5; ++x) {
      const uint8_t* p = PixelAt(*dst, x, y);
      EXPECT_EQ(p[0], 0xFF);
      EXPECT_EQ(p[1], 0x11);
      EXPECT_EQ(p[2], 0x81);
    }
  EXPECT_FALSE(BitBlt(*dst, 0, 0, 5, 4, *src, 0, 0, static_cast<RasterOp>(42)));
}

TEST(Blit, CopyIsClippedOnBothImages) {
  DibPtr src = RandomImage(6, 5, 1);
  DibPtr dst = SolidImage(4, 4, 9, 9, 9);
  // Destination (2, -1), source (3, 0), 10 x 10: only dst x 2..3, y 0..3 get
  // source x 3..4 (top rows 1..4).
  ASSERT_TRUE(BitBlt(*dst, 2, -1, 10, 10, *src, 3, 0, kSrcCopy));
  for (int32_t yTop = 0; yTop < 4; ++yTop)
    for (int32_t x = 0; x < 4; ++x) {
      const uint8_t* d = PixelAt(*dst, x, 3 - yTop);
      if (x < 2) {
        EXPECT_EQ(d[0], 9);
      } else {
        EXPECT_EQ(std::memcmp(d, PixelAt(*src, x + 1, 4 - (yTop + 1)), 3), 0);
      }
    }
  // Nothing overlapping at all, and huge coordinates: no change, no crash.
  DibPtr before = dst->CopyOf();
  EXPECT_TRUE(BitBlt(*dst, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MAX, *src, 0, 0, kSrcCopy));
  EXPECT_TRUE(BitBlt(*dst, 0, 0, 4, 4, *src, -100, 0, kSrcCopy));
  EXPECT_TRUE(SamePixels(*dst, *before));
}

TEST(Blit, OverlappingSelfCopyReadsTheOriginal) {
  DibPtr img = RandomImage(8, 8, 2);
  DibPtr orig = img->CopyOf();
  ASSERT_TRUE(BitBlt(*img, 1, 1, 7, 7, *img, 0, 0, kSrcCopy));
  for (int32_t yTop = 1; yTop < 8; ++yTop)
    for (int32_t x = 1; x < 8; ++x)
      ASSERT_EQ(std::memcmp(PixelAt(*img, x, 7 - yTop), PixelAt(*orig, x - 1, 8 - yTop), 3), 0);
}

TEST(Blit, StretchModes) {
  // Nearest 2x2 -> 4x4 doubles every pixel; halftone 4x4 -> 2x2 averages each
  // 2x2 quad with rounding.
  DibPtr src = RandomImage(2, 2, 3);
  DibPtr big = SolidImage(4, 4, 0, 0, 0);
  ASSERT_TRUE(StretchBlt(*big, 0, 0, 4, 4, *src, 0, 0, 2, 2, kColorOnColor));
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 4; ++x)
      EXPECT_EQ(std::memcmp(PixelAt(*big, x, y), PixelAt(*src, x / 2, y / 2), 3), 0);

  DibPtr quad = RandomImage(4, 4, 4);
  DibPtr small = SolidImage(2, 2, 0, 0, 0);
  ASSERT_TRUE(StretchBlt(*small, 0, 0, 2, 2, *quad, 0, 0, 4, 4, kHalftone));
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 2; ++x)
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (int j = 0; j < 2; ++j)
          for (int i = 0; i < 2; ++i) sum += PixelAt(*quad, 2 * x + i, 2 * y + j)[c];
        EXPECT_EQ(PixelAt(*small, x, y)[c], (sum + 2) / 4);
      }
  EXPECT_FALSE(StretchBlt(*small, 0, 0, -2, 2, *quad, 0, 0, 4, 4, kHalftone));
  EXPECT_FALSE(StretchBlt(*small, 0, 0, 2, 2, *quad, 0, 0, 4, 4, static_cast<StretchMode>(1)));
  // Partly off both images: clipped, no crash.
  EXPECT_TRUE(StretchBlt(*small, -3, 1, 9, 9, *quad, 2, -5, 7, 30, kColorOnColor));
  EXPECT_TRUE(StretchBlt(*small, 0, 0, INT32_MAX, INT32_MAX, *quad, 0, 0, INT32_MAX, 1, kHalftone));
}

Picture PaletteOrMaskPicture(uint16_t bpp, int32_t height) {
  Picture p;
  p.header.biWidth = 3;
  p.header.biHeight = height;
  p.header.biBitCount = bpp;
  p.colours = {{10, 20, 30, 0}, {40, 50, 60, 0}};
  p.bits.assign(static_cast<size_t>(p.Stride() * p.Height()), 0);
  return p;
}

TEST(Blit, CreateFromPictureConvertsEveryDepth) {
  // 1 bit: pixel 1 of the top row uses colour 1.
  Picture one = PaletteOrMaskPicture(1, 2);
  one.bits[one.Stride()] = 0x40;  // top row is the second stored row
  cDIBSection img;
  img.CreateFromPicture(one);
  ASSERT_EQ(img.Width(), 3);
  EXPECT_EQ(PixelAt(img, 1, 1)[0], 40);
  EXPECT_EQ(PixelAt(img, 0, 1)[2], 30);

  Picture four = PaletteOrMaskPicture(4, -1);  // top-down
  four.bits[0] = 0x01;
  img.CreateFromPicture(four);
  EXPECT_EQ(PixelAt(img, 1, 0)[1], 50);

  Picture eight = PaletteOrMaskPicture(8, 1);
  eight.bits[2] = 1;
  img.CreateFromPicture(eight);
  EXPECT_EQ(PixelAt(img, 2, 0)[2], 60);

  Picture sixteen = PaletteOrMaskPicture(16, 1);
  sixteen.bits[0] = 0x1F;  // 5-5-5: blue at full scale
  img.CreateFromPicture(sixteen);
  EXPECT_EQ(PixelAt(img, 0, 0)[0], 255);
  EXPECT_EQ(PixelAt(img, 0, 0)[2], 0);

  Picture fields = PaletteOrMaskPicture(32, 1);
  fields.header.biCompression = kBiBitFields;
  fields.masks = {0x00FF0000, 0x0000FF00, 0x000000FF};
  fields.bits[4] = 7, fields.bits[5] = 8, fields.bits[6] = 9;
  img.CreateFromPicture(fields);
  EXPECT_EQ(PixelAt(img, 1, 0)[0], 7);
  EXPECT_EQ(PixelAt(img, 1, 0)[2], 9);

  Picture rows = Picture::FromRowColours(4, {{0, 0, 255, 0}, {0, 255, 0, 0}});
  img.CreateFromPicture(rows);
  EXPECT_EQ(PixelAt(img, 3, 1)[2], 255);  // top row red
  EXPECT_EQ(PixelAt(img, 3, 0)[1], 255);  // bottom row green

  // A picture whose bits are short makes no image.
  Picture bad = PaletteOrMaskPicture(24, 5);
  bad.bits.resize(3);
  img.CreateFromPicture(bad);
  EXPECT_TRUE(img.Empty());
}

}  // namespace
}  // namespace dioptrix
