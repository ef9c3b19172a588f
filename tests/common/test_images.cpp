#include "tests/common/test_images.h"

#include <cstring>

namespace dioptrix::test {

DibPtr RandomImage(int32_t w, int32_t h, uint32_t seed) {
  auto img = std::make_unique<cDIBSection>();
  if (!img->Create(w, h)) return nullptr;
  std::mt19937 rng(seed);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* line = img->ScanLine(y);
    for (int32_t b = 0; b < 3 * w; ++b) line[b] = static_cast<uint8_t>(rng());
  }
  return img;
}

DibPtr SolidImage(int32_t w, int32_t h, uint8_t b, uint8_t g, uint8_t r) {
  auto img = std::make_unique<cDIBSection>();
  if (!img->Create(w, h)) return nullptr;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* p = PixelAt(*img, x, y);
      p[0] = b;
      p[1] = g;
      p[2] = r;
    }
  }
  return img;
}

uint8_t* PixelAt(const cDIBSection& img, int32_t x, int32_t scanLine) {
  return img.ScanLine(scanLine) + 3 * x;
}

bool SamePixels(const cDIBSection& a, const cDIBSection& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  for (int32_t y = 0; y < a.Height(); ++y)
    if (std::memcmp(a.ScanLine(y), b.ScanLine(y), 3 * static_cast<size_t>(a.Width())) != 0)
      return false;
  return true;
}

}  // namespace dioptrix::test
