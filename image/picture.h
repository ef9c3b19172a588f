// A decoded bitmap of 1, 4, 8, 16, 24 or 32 bits per pixel, as handed to
// cDIBSection::CreateFromPicture: the header, its colour table (for 1, 4 and 8
// bits) or bit masks (16 and 32 bits with bit-field compression), and the rows.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "image/bitmap_header.h"

namespace dioptrix {

struct RgbQuad {
  uint8_t blue = 0, green = 0, red = 0, reserved = 0;
};

struct Picture {
  BitmapInfoHeader header;          // biHeight < 0 means rows stored top-down
  std::vector<RgbQuad> colours;     // colour table for 1, 4 and 8 bits
  std::array<uint32_t, 3> masks{};  // red, green, blue masks for bit fields
  std::vector<uint8_t> bits;        // rows padded to 4 bytes

  int32_t Width() const { return header.biWidth; }
  int32_t Height() const { return header.biHeight < 0 ? -header.biHeight : header.biHeight; }
  // Bytes per stored row for the header's bit count.
  int64_t Stride() const;
  // True when the bits hold every row and the colour table covers the depth.
  bool Valid() const;

  // Colour (red, green, blue) of pixel (x, y), y counted from the top.
  RgbQuad PixelAt(int32_t x, int32_t y) const;

  // A 24-bit picture with rows given top to bottom as one colour each.
  static Picture FromRowColours(int32_t width, const std::vector<RgbQuad>& rowsTopDown);
};

}  // namespace dioptrix
