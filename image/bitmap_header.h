// The 40-byte device-independent bitmap header, little-endian, as it starts
// every packed picture and describes every image's pixels.
#pragma once

#include <cstdint>

namespace dioptrix {

#pragma pack(push, 1)
struct BitmapInfoHeader {
  uint32_t biSize = 40;
  int32_t biWidth = 0;
  int32_t biHeight = 0;  // positive: rows stored bottom-up
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 24;
  uint32_t biCompression = 0;  // 0 = uncompressed RGB, 3 = bit fields
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};
#pragma pack(pop)
static_assert(sizeof(BitmapInfoHeader) == 40, "bitmap header is 40 bytes");

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitFields = 3;

// Bytes per stored row of a 24-bit image: 3 * width rounded up to 4.
constexpr int64_t BytesPerRow24(int64_t width) { return (width * 3 + 3) & ~int64_t{3}; }

}  // namespace dioptrix
