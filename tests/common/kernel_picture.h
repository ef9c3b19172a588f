// A 24-bit picture in the blocks kernels' layout, allocated to exactly its
// byte count so that AddressSanitizer reports any access past its end.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "blocks/depthmap.h"

namespace dioptrix::blocks::test {

struct Picture {
  Picture(int32_t width, int32_t height, uint8_t fill = 0)
      : w(width),
        h(height),
        stride(static_cast<size_t>(PictureStride(width))),
        bytes(stride * static_cast<size_t>(height), fill) {}

  uint8_t* Pixel(int32_t x, int32_t y) { return &bytes[y * stride + 3 * static_cast<size_t>(x)]; }
  // All three bytes of pixel (x, y) := v.
  void SetGrey(int32_t x, int32_t y, int v) {
    for (int c = 0; c < 3; ++c) Pixel(x, y)[c] = static_cast<uint8_t>(v);
  }
  // All three bytes of every pixel := f(x, y).
  void Paint(const std::function<int(int32_t, int32_t)>& f) {
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) SetGrey(x, y, f(x, y));
  }
  // The depth of each pixel of line y, after checking that its three bytes
  // agree (-1 where they do not).
  std::vector<int> Line(int32_t y) {
    std::vector<int> values;
    for (int32_t x = 0; x < w; ++x) {
      const uint8_t* p = Pixel(x, y);
      values.push_back(p[0] == p[1] && p[1] == p[2] ? p[0] : -1);
    }
    return values;
  }
  uint8_t* data() { return bytes.data(); }

  int32_t w, h;
  size_t stride;
  std::vector<uint8_t> bytes;
};

}  // namespace dioptrix::blocks::test
