// Reordering of an image's pixels for display surfaces that expect another
// layout than the bottom-up blue-green-red of cDIBSection.
#include <cstring>
#include <vector>

#include "process/image_process.h"

namespace dioptrix {

// Reverses the order of the scan lines in place. Only the W * 3 pixel bytes of
// each line move; the padding stays where it is.
void cImageProcessDIB::Flip(cDIBSection& cTo) {
  if (cTo.Empty() || cTo.Width() <= 0 || cTo.Height() <= 1) return;
  const int32_t h = cTo.Height();
  const size_t rowBytes = 3 * static_cast<size_t>(cTo.Width());
  std::vector<uint8_t> row(rowBytes);
  for (int32_t y = 0; y <= (h - 1) / 2; ++y) {
    uint8_t* low = cTo.ScanLine(y);
    uint8_t* high = cTo.ScanLine(h - 1 - y);
    if (low == high) continue;  // the middle line of an odd height
    std::memcpy(row.data(), low, rowBytes);
    std::memcpy(low, high, rowBytes);
    std::memcpy(high, row.data(), rowBytes);
  }
}

// OpenGLPixels := red, green, blue of every pixel, rows packed without
// padding, bottom row first; W * H * 3 + 1 bytes, the last one never written.
void cImageProcessDIB::CopyToArrayOPENGL(const cDIBSection& cTo) {
  const bool hasPixels = !cTo.Empty() && cTo.Width() > 0 && cTo.Height() > 0;
  const size_t w = hasPixels ? static_cast<size_t>(cTo.Width()) : 0;
  const int32_t h = hasPixels ? cTo.Height() : 0;
  std::vector<uint8_t>& pixels = arrays_.OpenGLPixels;
  pixels.assign(w * static_cast<size_t>(h) * 3 + 1, 0);
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* from = cTo.ScanLine(y);
    uint8_t* to = pixels.data() + static_cast<size_t>(y) * w * 3;
    for (size_t x = 0; x < w; ++x, from += 3, to += 3) {
      to[0] = from[2];
      to[1] = from[1];
      to[2] = from[0];
    }
  }
}

}  // namespace dioptrix
