#include "image/packed_dib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

std::vector<uint8_t> Packed(int32_t w, int32_t h, uint32_t imageSize, size_t pixelBytes) {
  BitmapInfoHeader hdr;
  hdr.biWidth = w;
  hdr.biHeight = h;
  hdr.biSizeImage = imageSize;
  std::vector<uint8_t> buf(sizeof(hdr) + pixelBytes);
  std::memcpy(buf.data(), &hdr, sizeof(hdr));
  for (size_t i = 0; i < pixelBytes; ++i) buf[sizeof(hdr) + i] = static_cast<uint8_t>(i * 7);
  return buf;
}

struct PackedDibTest : ::testing::Test {
  Host host;
  MessageLog log;
  void SetUp() override { log.Attach(host); }
};

TEST_F(PackedDibTest, CopiesAFrame) {
  auto buf = Packed(640, 480, 921600, 921600);
  cDib dib(host);
  cDIBSection img;
  ASSERT_TRUE(dib.CreateDIBSectionFromPackedDIBPointer(buf.data(), img, buf.size()));
  EXPECT_EQ(img.Width(), 640);
  EXPECT_EQ(img.Height(), 480);
  EXPECT_EQ(std::memcmp(img.DIBSectionBitsPtr(), buf.data() + 40, 921600), 0);
  EXPECT_EQ(dib.Header().biSizeImage, 921600u);
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(PackedDibTest, ZeroImageSizeAndNullLeaveTheImageAlone) {
  cDib dib(host);
  DibPtr img = test::RandomImage(3, 3, 1);
  DibPtr before = img->CopyOf();
  auto empty = Packed(3, 3, 0, 36);
  EXPECT_FALSE(dib.CreateDIBSectionFromPackedDIBPointer(empty.data(), *img));
  EXPECT_TRUE(log.entries.empty());
  EXPECT_FALSE(dib.CreateDIBSectionFromPackedDIBPointer(nullptr, *img));
  ASSERT_EQ(log.Texts(),
            std::vector<std::string>{"An error occurred while unpacking the packed Bitmap."});
  EXPECT_TRUE(test::SamePixels(*img, *before));
}

TEST_F(PackedDibTest, OversizedOrShortInputIsBounded) {
  cDib dib(host);
  cDIBSection img;
  // The header claims more bytes than a 4x2 image holds: only the image's
  // 24 bytes are copied.
  auto big = Packed(4, 2, 1000000, 1000);
  ASSERT_TRUE(dib.CreateDIBSectionFromPackedDIBPointer(big.data(), img, big.size()));
  EXPECT_EQ(std::memcmp(img.DIBSectionBitsPtr(), big.data() + 40, 24), 0);
  // The buffer ends before the pixels do: copy what is there, rest black.
  auto shortBuf = Packed(4, 2, 24, 10);
  ASSERT_TRUE(dib.CreateDIBSectionFromPackedDIBPointer(shortBuf.data(), img, shortBuf.size()));
  EXPECT_EQ(img.DIBSectionBitsPtr()[10], 0);
  EXPECT_TRUE(log.entries.empty());
  // A header that cannot describe an image, or fewer bytes than a header.
  auto negative = Packed(4, -2, 24, 24);
  EXPECT_FALSE(dib.CreateDIBSectionFromPackedDIBPointer(negative.data(), img, negative.size()));
  EXPECT_FALSE(dib.CreateDIBSectionFromPackedDIBPointer(negative.data(), img, 12));
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[0].text,
            "An error occurred in CreateDIBSectionFromPackedDIBPointer. Invalid procedure call or "
            "argument");
}

}  // namespace
}  // namespace dioptrix
