#include "image/blit.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/stretch_maps.h"

namespace dioptrix {

namespace {

// Address of pixel (x, yTop) with y counted from the top of the picture.
inline uint8_t* TopLeftPixel(const cDIBSection& img, int64_t x, int64_t yTop) {
  return img.ScanLine(static_cast<int32_t>(img.Height() - 1 - yTop)) + 3 * x;
}

}  // namespace

bool BitBlt(cDIBSection& dst, int32_t dx, int32_t dy, int32_t w, int32_t h, const cDIBSection& src,
            int32_t sx, int32_t sy, RasterOp rop) {
  if (rop != kSrcCopy && rop != kSrcPaint) return false;
  if (dst.Empty() || src.Empty() || w <= 0 || h <= 0) return true;
  // Clip the rectangle against both images, in 64 bits so that no sum wraps.
  int64_t x0 = 0, y0 = 0, x1 = w, y1 = h;  // offsets inside the rectangle
  x0 = std::max({x0, -int64_t{dx}, -int64_t{sx}});
  y0 = std::max({y0, -int64_t{dy}, -int64_t{sy}});
  x1 = std::min({x1, int64_t{dst.Width()} - dx, int64_t{src.Width()} - sx});
  y1 = std::min({y1, int64_t{dst.Height()} - dy, int64_t{src.Height()} - sy});
  if (x0 >= x1 || y0 >= y1) return true;
  const size_t bytes = static_cast<size_t>(3 * (x1 - x0));

  // Blitting an image onto itself: take the source rows first.
  std::vector<uint8_t> staged;
  if (&dst == &src) {
    staged.resize(bytes * static_cast<size_t>(y1 - y0));
    for (int64_t y = y0; y < y1; ++y)
      std::memcpy(&staged[bytes * (y - y0)], TopLeftPixel(src, sx + x0, sy + y), bytes);
  }
  for (int64_t y = y0; y < y1; ++y) {
    const uint8_t* s =
        staged.empty() ? TopLeftPixel(src, sx + x0, sy + y) : &staged[bytes * (y - y0)];
    uint8_t* d = TopLeftPixel(dst, dx + x0, dy + y);
    if (rop == kSrcCopy) {
      std::memcpy(d, s, bytes);
    } else {
      for (size_t i = 0; i < bytes; ++i) d[i] |= s[i];
    }
  }
  return true;
}

namespace stretch_maps {

std::vector<int32_t> NearestMap(int64_t i0, int64_t i1, int32_t dn, int32_t s0, int32_t sn,
                                int32_t limit) {
  std::vector<int32_t> map(static_cast<size_t>(i1 - i0));
  for (int64_t i = i0; i < i1; ++i) {
    const int64_t s = s0 + (2 * i + 1) * sn / (2 * int64_t{dn});
    map[i - i0] = (s >= 0 && s < limit) ? static_cast<int32_t>(s) : -1;
  }
  return map;
}

std::vector<Span> AreaMap(int64_t i0, int64_t i1, int32_t dn, int32_t s0, int32_t sn,
                          int32_t limit) {
  std::vector<Span> map(static_cast<size_t>(i1 - i0));
  for (int64_t i = i0; i < i1; ++i) {
    int64_t a = s0 + i * sn / dn;
    int64_t b = s0 + ((i + 1) * sn + dn - 1) / dn;  // ceiling
    if (b <= a) b = a + 1;
    a = std::max<int64_t>(a, 0);
    b = std::min<int64_t>(b, limit);
    map[i - i0] = a < b ? Span{static_cast<int32_t>(a), static_cast<int32_t>(b)} : Span{0, 0};
  }
  return map;
}

}  // namespace stretch_maps

bool StretchBlt(cDIBSection& dst, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                const cDIBSection& src, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                StretchMode mode) {
  using stretch_maps::AreaMap;
  using stretch_maps::NearestMap;
  using stretch_maps::Span;
  if (mode != kColorOnColor && mode != kHalftone) return false;
  if (dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return false;
  if (dst.Empty() || src.Empty()) return true;
  // Destination range inside dst, as offsets into the destination rectangle.
  const int64_t i0 = std::max<int64_t>(0, -int64_t{dx});
  const int64_t i1 = std::min<int64_t>(dw, int64_t{dst.Width()} - dx);
  const int64_t j0 = std::max<int64_t>(0, -int64_t{dy});
  const int64_t j1 = std::min<int64_t>(dh, int64_t{dst.Height()} - dy);
  if (i0 >= i1 || j0 >= j1) return true;

  // A stretch of an image onto itself reads from a copy.
  DibPtr copy;
  const cDIBSection* from = &src;
  if (&dst == &src) {
    copy = src.CopyOf();
    if (!copy) return false;
    from = copy.get();
  }

  if (mode == kColorOnColor) {
    const auto xs = NearestMap(i0, i1, dw, sx, sw, from->Width());
    const auto ys = NearestMap(j0, j1, dh, sy, sh, from->Height());
    for (int64_t j = j0; j < j1; ++j) {
      if (ys[j - j0] < 0) continue;
      const uint8_t* s = TopLeftPixel(*from, 0, ys[j - j0]);
      uint8_t* d = TopLeftPixel(dst, dx + i0, dy + j);
      for (size_t k = 0; k < xs.size(); ++k, d += 3) {
        if (xs[k] < 0) continue;
        const uint8_t* p = s + 3 * xs[k];
        d[0] = p[0];
        d[1] = p[1];
        d[2] = p[2];
      }
    }
    return true;
  }

  const auto xs = AreaMap(i0, i1, dw, sx, sw, from->Width());
  const auto ys = AreaMap(j0, j1, dh, sy, sh, from->Height());
  for (int64_t j = j0; j < j1; ++j) {
    const Span rows = ys[j - j0];
    if (rows.first == rows.last) continue;
    uint8_t* d = TopLeftPixel(dst, dx + i0, dy + j);
    for (const Span cols : xs) {
      if (cols.first == cols.last) {
        d += 3;
        continue;
      }
      uint64_t sum[3] = {0, 0, 0};
      for (int32_t y = rows.first; y < rows.last; ++y) {
        const uint8_t* p = TopLeftPixel(*from, cols.first, y);
        for (int32_t x = cols.first; x < cols.last; ++x, p += 3) {
          sum[0] += p[0];
          sum[1] += p[1];
          sum[2] += p[2];
        }
      }
      const uint64_t n = uint64_t(cols.last - cols.first) * uint64_t(rows.last - rows.first);
      for (int c = 0; c < 3; ++c) d[c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
      d += 3;
    }
  }
  return true;
}

}  // namespace dioptrix
