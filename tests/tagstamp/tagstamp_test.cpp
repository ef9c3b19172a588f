#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/libraries.h"

namespace dioptrix {
namespace {

// A surface of `pitch`-byte rows filled with a pattern no field value shares.
std::vector<uint8_t> PatternSurface(size_t bytes) {
  std::vector<uint8_t> surface(bytes);
  for (size_t i = 0; i < bytes; ++i) surface[i] = static_cast<uint8_t>(0xA5 ^ (i * 7));
  return surface;
}

TEST(Tagstamp, WritesTheSignatureRecordAtTheLastRow) {
  TagstampLibrary library;
  constexpr int32_t kWidth = 1920, kHeight = 768, kPitch = 7680;
  constexpr int32_t kOffset = (kHeight - 1) * kPitch;
  ASSERT_EQ(kOffset, 5890560);
  std::vector<uint8_t> surface = PatternSurface(static_cast<size_t>(kHeight) * kPitch);
  const std::vector<uint8_t> before = surface;

  library.MAKE_STEREO(surface.data(), kOffset, 0, kWidth, kHeight, 32);
  const std::vector<uint8_t> record = {0x4E, 0x56, 0x33, 0x44, 0x80, 0x07, 0x00, 0x00, 0x00, 0x03,
                                       0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(surface.begin() + kOffset, surface.begin() + kOffset + 20),
            record);
  for (size_t i = 0; i < surface.size(); ++i) {
    if (i >= static_cast<size_t>(kOffset) && i < static_cast<size_t>(kOffset) + 20) continue;
    ASSERT_EQ(surface[i], before[i]) << "byte " << i;
  }

  // Flags come third among the arguments but last in the record; an odd
  // offset is written byte by byte.
  std::vector<uint8_t> small = PatternSurface(64);
  const std::vector<uint8_t> smallBefore = small;
  library.MAKE_STEREO(small.data(), 7, 0x11223344, 640, 480, 16);
  const std::vector<uint8_t> fields = {0x4E, 0x56, 0x33, 0x44, 0x80, 0x02, 0x00, 0x00, 0xE0, 0x01,
                                       0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(std::vector<uint8_t>(small.begin() + 7, small.begin() + 27), fields);
  EXPECT_TRUE(std::equal(small.begin(), small.begin() + 7, smallBefore.begin()));
  EXPECT_TRUE(std::equal(small.begin() + 27, small.end(), smallBefore.begin() + 27));

  // A null surface writes nothing.
  EXPECT_EQ(library.MAKE_STEREO(nullptr, kOffset, 0, kWidth, kHeight, 32), 0);
}

}  // namespace
}  // namespace dioptrix
