#include "image/picture.h"

#include <bit>
#include <limits>

namespace dioptrix {

int64_t Picture::Stride() const {
  const int64_t bits = int64_t{header.biWidth} * header.biBitCount;
  return ((bits + 31) / 32) * 4;
}

bool Picture::Valid() const {
  const uint16_t bpp = header.biBitCount;
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return false;
  if (header.biWidth <= 0 || header.biHeight == 0 ||
      header.biHeight == std::numeric_limits<int32_t>::min())
    return false;
  if (bpp <= 8 && colours.empty()) return false;
  if (header.biCompression != kBiRgb &&
      !(header.biCompression == kBiBitFields && (bpp == 16 || bpp == 32)))
    return false;
  return static_cast<uint64_t>(Stride()) * static_cast<uint64_t>(Height()) <= bits.size();
}

namespace {

// Scales a masked field to 8 bits.
uint8_t Field(uint32_t value, uint32_t mask) {
  if (mask == 0) return 0;
  const int shift = std::countr_zero(mask);
  const uint32_t max = mask >> shift;
  const uint32_t v = (value & mask) >> shift;
  return static_cast<uint8_t>((v * 255 + max / 2) / max);
}

}  // namespace

RgbQuad Picture::PixelAt(int32_t x, int32_t y) const {
  const int32_t row = header.biHeight < 0 ? y : Height() - 1 - y;
  const uint8_t* line = bits.data() + row * Stride();
  auto fromTable = [&](uint32_t index) {
    return index < colours.size() ? colours[index] : RgbQuad{};
  };
  switch (header.biBitCount) {
    case 1:
      return fromTable((line[x / 8] >> (7 - x % 8)) & 1);
    case 4:
      return fromTable((line[x / 2] >> (x % 2 ? 0 : 4)) & 0xF);
    case 8:
      return fromTable(line[x]);
    case 16: {
      const uint32_t v = line[2 * x] | (line[2 * x + 1] << 8);
      const bool fields = header.biCompression == kBiBitFields;
      const uint32_t r = fields ? masks[0] : 0x7C00, g = fields ? masks[1] : 0x03E0,
                     b = fields ? masks[2] : 0x001F;
      return {Field(v, b), Field(v, g), Field(v, r), 0};
    }
    case 24:
      return {line[3 * x], line[3 * x + 1], line[3 * x + 2], 0};
    default: {
      const uint8_t* p = line + 4 * x;
      if (header.biCompression != kBiBitFields) return {p[0], p[1], p[2], 0};
      const uint32_t v = p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
      return {Field(v, masks[2]), Field(v, masks[1]), Field(v, masks[0]), 0};
    }
  }
}

Picture Picture::FromRowColours(int32_t width, const std::vector<RgbQuad>& rowsTopDown) {
  Picture p;
  p.header.biWidth = width;
  p.header.biHeight = static_cast<int32_t>(rowsTopDown.size());
  p.header.biBitCount = 24;
  const int64_t stride = p.Stride();
  p.header.biSizeImage = static_cast<uint32_t>(stride * p.header.biHeight);
  p.bits.assign(p.header.biSizeImage, 0);
  for (int32_t y = 0; y < p.header.biHeight; ++y) {
    uint8_t* line = p.bits.data() + (p.header.biHeight - 1 - y) * stride;
    for (int32_t x = 0; x < width; ++x) {
      line[3 * x] = rowsTopDown[y].blue;
      line[3 * x + 1] = rowsTopDown[y].green;
      line[3 * x + 2] = rowsTopDown[y].red;
    }
  }
  return p;
}

}  // namespace dioptrix
