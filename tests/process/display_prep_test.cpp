// Flip and CopyToArrayOPENGL.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "process/image_process.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::PixelAt;
using test::RandomImage;

TEST(DisplayPrep, FlipReversesScanLinesAndKeepsPadding) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  for (int32_t h : {1, 2, 3, 4, 7}) {
    // Width 5: 15 pixel bytes and one padding byte per line.
    const DibPtr original = RandomImage(5, h, 40 + h);
    for (int32_t y = 0; y < h; ++y) original->ScanLine(y)[15] = static_cast<uint8_t>(200 + y);
    DibPtr img = original->CopyOf();
    p.Flip(*img);
    for (int32_t y = 0; y < h; ++y) {
      EXPECT_EQ(std::memcmp(img->ScanLine(y), original->ScanLine(h - 1 - y), 15), 0)
          << "h " << h << " line " << y;
      EXPECT_EQ(img->ScanLine(y)[15], 200 + y) << "padding moved";
    }
    p.Flip(*img);
    EXPECT_EQ(
        std::memcmp(img->DIBSectionBitsPtr(), original->DIBSectionBitsPtr(), original->ImageSize()),
        0)
        << "flip twice, h " << h;
  }
  cDIBSection empty;
  p.Flip(empty);
  EXPECT_TRUE(empty.Empty());
}

TEST(DisplayPrep, CopyToArrayOpenGLPacksRedGreenBlue) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  DibPtr img = test::SolidImage(3, 1, 0, 0, 0);
  for (int32_t x = 0; x < 3; ++x)
    for (int c = 0; c < 3; ++c) PixelAt(*img, x, 0)[c] = static_cast<uint8_t>(3 * x + c + 1);
  img->ScanLine(0)[9] = 99;  // padding, never copied
  p.CopyToArrayOPENGL(*img);
  EXPECT_EQ(arrays.OpenGLPixels, (std::vector<uint8_t>{3, 2, 1, 6, 5, 4, 9, 8, 7, 0}));

  // Rows packed bottom line first, no padding.
  const DibPtr two = RandomImage(5, 3, 50);
  p.CopyToArrayOPENGL(*two);
  ASSERT_EQ(arrays.OpenGLPixels.size(), 5u * 3 * 3 + 1);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 5; ++x)
      for (int c = 0; c < 3; ++c)
        EXPECT_EQ(arrays.OpenGLPixels[3 * (y * 5 + x) + c], PixelAt(*two, x, y)[2 - c]);
  EXPECT_EQ(arrays.OpenGLPixels.back(), 0);

  cDIBSection empty;
  p.CopyToArrayOPENGL(empty);
  EXPECT_EQ(arrays.OpenGLPixels.size(), 1u);
}

}  // namespace
}  // namespace dioptrix
