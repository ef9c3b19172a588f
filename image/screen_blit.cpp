#include "image/screen_blit.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "image/screen_kernels.h"
#include "image/stretch_maps.h"

namespace dioptrix {

namespace sk = screen_kernels;

namespace {

const ScreenBlitKernels kPlain = {CpuLevel::Plain, sk::plain::ExpandRow, sk::plain::NearestRow,
                                  sk::plain::SumRows, sk::plain::AverageRow};
#ifdef DIOPTRIX_X86_KERNELS
const ScreenBlitKernels kSsse3 = {CpuLevel::Ssse3, sk::ssse3::ExpandRow, sk::ssse3::NearestRow,
                                  sk::ssse3::SumRows, sk::ssse3::AverageRow};
const ScreenBlitKernels kAvx2 = {CpuLevel::Avx2, sk::avx2::ExpandRow, sk::ssse3::NearestRow,
                                 sk::avx2::SumRows, sk::avx2::AverageRow};
#endif

const ScreenBlitKernels& Table(CpuLevel level) {
  switch (level) {
#ifdef DIOPTRIX_X86_KERNELS
    case CpuLevel::Avx512:
    case CpuLevel::Avx2:
      return kAvx2;
    case CpuLevel::Ssse3:
      return kSsse3;
#endif
    default:
      return kPlain;
  }
}

const ScreenBlitKernels& Best() {
  static const ScreenBlitKernels& best = ScreenBlitKernelsFor(BestCpuLevel());
  return best;
}

bool EmptyView(const ScreenImage& view) { return view.width <= 0 || view.height <= 0; }

// No bits, lines shorter than their pixels, or a picture larger than any
// address range (its offsets would overflow).
bool MalformedView(const ScreenImage& view) {
  if (EmptyView(view)) return false;
  const int64_t pixels = 4 * int64_t{view.width};
  return view.bits == nullptr || view.bytesPerLine < pixels ||
         (view.height > 1 &&
          view.bytesPerLine > (PTRDIFF_MAX - pixels) / (int64_t{view.height} - 1));
}

// Pixel (x, y) of the view, y counted from its top row.
uint8_t* ScreenPixel(const ScreenImage& view, int64_t x, int64_t y) {
  return view.bits + y * view.bytesPerLine + 4 * x;
}

// Pixel (x, yTop) of a 24-bit image, yTop counted from its top row.
const uint8_t* SourcePixel(const cDIBSection& img, int64_t x, int64_t yTop) {
  return img.ScanLine(static_cast<int32_t>(img.Height() - 1 - yTop)) + 3 * x;
}

// The run of entries [first, last) of a map that lie inside the source.
template <typename T, typename Inside>
std::pair<size_t, size_t> InsideRun(const std::vector<T>& map, Inside inside) {
  size_t first = 0, last = map.size();
  while (first < last && !inside(map[first])) ++first;
  while (last > first && !inside(map[last - 1])) --last;
  return {first, last};
}

void NearestStretch(const ScreenImage& dst, int64_t dx, int64_t dy, int32_t dw, int32_t dh,
                    const cDIBSection& src, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                    int64_t i0, int64_t i1, int64_t j0, int64_t j1,
                    const ScreenBlitKernels& kernels) {
  const auto xs = stretch_maps::NearestMap(i0, i1, dw, sx, sw, src.Width());
  const auto ys = stretch_maps::NearestMap(j0, j1, dh, sy, sh, src.Height());
  const auto inside = [](int32_t s) { return s >= 0; };
  const auto [ka, kb] = InsideRun(xs, inside);
  const auto [ja, jb] = InsideRun(ys, inside);
  if (ka >= kb || ja >= jb) return;

  std::vector<uint32_t> offsets(kb - ka);
  for (size_t k = ka; k < kb; ++k) offsets[k - ka] = 3 * static_cast<uint32_t>(xs[k]);
  const sk::NearestColumns columns =
      sk::MakeNearestColumns(std::move(offsets), src.BytesPerScanLine());
  const size_t rowBytes = 4 * (kb - ka);
  const uint8_t* previous = nullptr;
  for (size_t j = ja; j < jb; ++j) {
    uint8_t* d = ScreenPixel(dst, dx + i0 + int64_t(ka), dy + j0 + int64_t(j));
    // A source row picked again (enlarging) gives the row just drawn.
    if (previous && ys[j] == ys[j - 1]) {
      std::memcpy(d, previous, rowBytes);
    } else {
      kernels.nearestRow(SourcePixel(src, 0, ys[j]), columns, d);
    }
    previous = d;
  }
}

// The average of a destination row straight from the source, in 64 bits: for
// row spans too tall for 32-bit column sums.
void AverageRowDirect(const cDIBSection& src, stretch_maps::Span rows, int32_t colBase,
                      const sk::AreaColumns& columns, uint8_t* dst) {
  for (size_t k = 0; k < columns.counts.size(); ++k) {
    uint64_t sum[3] = {0, 0, 0};
    for (int32_t y = rows.first; y < rows.last; ++y) {
      const uint8_t* p = SourcePixel(src, colBase + int64_t{columns.starts[k]} / 3, y);
      for (uint32_t x = 0; x < columns.counts[k]; ++x, p += 3)
        for (int c = 0; c < 3; ++c) sum[c] += p[c];
    }
    const uint64_t n = uint64_t{columns.counts[k]} * uint64_t(rows.last - rows.first);
    for (int c = 0; c < 3; ++c) dst[c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
    dst[3] = 0xFF;
    dst += 4;
  }
}

// Area average: for each destination row, the column sums over its source
// rows, then the sums across each pixel's columns.
void AreaStretch(const ScreenImage& dst, int64_t dx, int64_t dy, int32_t dw, int32_t dh,
                 const cDIBSection& src, int32_t sx, int32_t sy, int32_t sw, int32_t sh, int64_t i0,
                 int64_t i1, int64_t j0, int64_t j1, const ScreenBlitKernels& kernels) {
  using stretch_maps::Span;
  const auto xs = stretch_maps::AreaMap(i0, i1, dw, sx, sw, src.Width());
  const auto ys = stretch_maps::AreaMap(j0, j1, dh, sy, sh, src.Height());
  const auto inside = [](Span s) { return s.first < s.last; };
  const auto [ka, kb] = InsideRun(xs, inside);
  const auto [ja, jb] = InsideRun(ys, inside);
  if (ka >= kb || ja >= jb) return;

  const int32_t colBase = xs[ka].first;
  std::vector<uint32_t> firsts(kb - ka), lasts(kb - ka);
  for (size_t k = ka; k < kb; ++k) {
    firsts[k - ka] = static_cast<uint32_t>(xs[k].first - colBase);
    lasts[k - ka] = static_cast<uint32_t>(xs[k].last - colBase);
  }
  const sk::AreaColumns columns = sk::MakeAreaColumns(firsts, lasts);
  const int32_t sumBytes = 3 * columns.summedColumns;
  std::vector<uint32_t> sums(columns.sumsSize);
  const int64_t stride = -int64_t{src.BytesPerScanLine()};  // one row down the picture
  const size_t rowBytes = 4 * (kb - ka);
  const uint8_t* previous = nullptr;
  for (size_t j = ja; j < jb; ++j) {
    const Span rows = ys[j];
    uint8_t* d = ScreenPixel(dst, dx + i0 + int64_t(ka), dy + j0 + int64_t(j));
    // The same rows again (enlarging) give the row just drawn.
    if (previous && rows.first == ys[j - 1].first && rows.last == ys[j - 1].last) {
      std::memcpy(d, previous, rowBytes);
    } else if (rows.last - rows.first > sk::kMaxSummedRows) {
      AverageRowDirect(src, rows, colBase, columns, d);
    } else {
      const int32_t count = rows.last - rows.first;
      kernels.sumRows(SourcePixel(src, colBase, rows.first), stride, count, sumBytes, sums.data());
      kernels.averageRow(sums.data(), columns, static_cast<uint32_t>(count), d);
    }
    previous = d;
  }
}

}  // namespace

const ScreenBlitKernels& ScreenBlitKernelsFor(CpuLevel level) {
  return Table(CpuLevelAtMost(level));
}

void BlitToScreen(const ScreenImage& dst, int32_t dx, int32_t dy, int32_t w, int32_t h,
                  const cDIBSection& src, int32_t sx, int32_t sy) {
  BlitToScreen(dst, dx, dy, w, h, src, sx, sy, Best());
}

void BlitToScreen(const ScreenImage& dst, int32_t dx, int32_t dy, int32_t w, int32_t h,
                  const cDIBSection& src, int32_t sx, int32_t sy,
                  const ScreenBlitKernels& kernels) {
  if (EmptyView(dst) || MalformedView(dst) || src.Empty() || w <= 0 || h <= 0) return;
  // Clip the rectangle against both pictures, in 64 bits so that no sum wraps.
  const int64_t x0 = std::max({int64_t{0}, -int64_t{dx}, -int64_t{sx}});
  const int64_t y0 = std::max({int64_t{0}, -int64_t{dy}, -int64_t{sy}});
  const int64_t x1 = std::min({int64_t{w}, int64_t{dst.width} - dx, int64_t{src.Width()} - sx});
  const int64_t y1 = std::min({int64_t{h}, int64_t{dst.height} - dy, int64_t{src.Height()} - sy});
  if (x0 >= x1 || y0 >= y1) return;
  const auto n = static_cast<int32_t>(x1 - x0);
  for (int64_t y = y0; y < y1; ++y)
    kernels.expandRow(SourcePixel(src, sx + x0, sy + y), ScreenPixel(dst, dx + x0, dy + y), n);
}

bool StretchToScreen(const ScreenImage& dst, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                     const cDIBSection& src, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                     StretchMode mode) {
  return StretchToScreen(dst, dx, dy, dw, dh, src, sx, sy, sw, sh, mode, Best());
}

bool StretchToScreen(const ScreenImage& dst, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                     const cDIBSection& src, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                     StretchMode mode, const ScreenBlitKernels& kernels) {
  if (mode != kColorOnColor && mode != kHalftone) return false;
  if (dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return false;
  if (MalformedView(dst)) return false;
  if (EmptyView(dst) || src.Empty()) return true;
  // At 1:1 both modes copy each source pixel to its place.
  if (dw == sw && dh == sh) {
    BlitToScreen(dst, dx, dy, dw, dh, src, sx, sy, kernels);
    return true;
  }
  // Destination range inside the view, as offsets into the destination rectangle.
  const int64_t i0 = std::max<int64_t>(0, -int64_t{dx});
  const int64_t i1 = std::min<int64_t>(dw, int64_t{dst.width} - dx);
  const int64_t j0 = std::max<int64_t>(0, -int64_t{dy});
  const int64_t j1 = std::min<int64_t>(dh, int64_t{dst.height} - dy);
  if (i0 >= i1 || j0 >= j1) return true;
  if (mode == kColorOnColor) {
    NearestStretch(dst, dx, dy, dw, dh, src, sx, sy, sw, sh, i0, i1, j0, j1, kernels);
  } else {
    AreaStretch(dst, dx, dy, dw, dh, src, sx, sy, sw, sh, i0, i1, j0, j1, kernels);
  }
  return true;
}

}  // namespace dioptrix
