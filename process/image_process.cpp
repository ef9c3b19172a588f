// The engine core: filter settings and their presets, the filter routine
// ProcessImage, and the copies between images and the working arrays.
#include "process/image_process.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace dioptrix {

namespace {

constexpr int32_t kMinFilterSize = 3;
constexpr int32_t kMaxFilterSize = 9;

bool HasPixels(const cDIBSection& pic) {
  return !pic.Empty() && pic.Width() > 0 && pic.Height() > 0;
}

// Bytes of pixel data in one scan line (padding excluded).
size_t RowBytes(const cDIBSection& pic) { return 3 * static_cast<size_t>(pic.Width()); }

// The events of the copy operations: InitProgress(W - 1) before the copy,
// then Progress for every byte column 0, 3, ..., 3(W - 1) and Complete with
// the millisecond clock. The copies themselves run row by row; the events
// keep the order of a column-by-column walk.
void BeginColumns(ProgressObserver* observer, int32_t width) {
  if (observer) observer->InitProgress(width - 1);
}
void EndColumns(ProgressObserver* observer, int32_t width) {
  if (!observer) return;
  for (int64_t b = 0; b < 3 * int64_t{width}; b += 3) observer->Progress(static_cast<int32_t>(b));
  observer->Complete(MillisecondClock());
}

int32_t ElapsedSince(int32_t start) {
  return static_cast<int32_t>(static_cast<uint32_t>(MillisecondClock()) -
                              static_cast<uint32_t>(start));
}

// dst := a copy of src, re-created at src's size when the sizes differ.
void CopyImage(const cDIBSection& src, cDIBSection& dst) {
  if (&src == &dst) return;
  if (!HasPixels(src)) {
    dst.ClearUp();
    return;
  }
  if (dst.Empty() || dst.Width() != src.Width() || dst.Height() != src.Height()) {
    if (!dst.Create(src.Width(), src.Height())) throw RuntimeError(kErrOutOfMemory);
  }
  std::memcpy(dst.DIBSectionBitsPtr(), src.DIBSectionBitsPtr(), src.ImageSize());
}

// Widens one scan line of bytes into 32-bit elements. Fixed-length blocks let
// the compiler vectorise the inner loop.
void WidenRow(const uint8_t* from, int32_t* to, size_t n) {
  constexpr size_t kBlock = 16;
  size_t k = 0;
  for (; k + kBlock <= n; k += kBlock)
    for (size_t j = 0; j < kBlock; ++j) to[k + j] = from[k + j];
  for (; k < n; ++k) to[k] = from[k];
}

// Sum of |a[k] - v[k]| over one scan line.
int64_t AbsDiffRow(const int32_t* a, const uint8_t* v, size_t n) {
  constexpr size_t kBlock = 16;
  int64_t total = 0;
  size_t k = 0;
  for (; k + kBlock <= n; k += kBlock) {
    int64_t block = 0;
    for (size_t j = 0; j < kBlock; ++j) block += std::abs(int64_t{a[k + j]} - v[k + j]);
    total += block;
  }
  for (; k < n; ++k) total += std::abs(int64_t{a[k]} - v[k]);
  return total;
}

enum class Neighbourhood { kMean, kMin, kMax };

// 3x3 mean, minimum or maximum of each channel of src into dst, for the
// pixels with a full neighbourhood; dst already holds a copy of src.
void Neighbourhood3x3(const cDIBSection& src, cDIBSection& dst, Neighbourhood kind) {
  if (&src == &dst) {  // work from an unchanged copy
    cDIBSection copy;
    CopyImage(src, copy);
    Neighbourhood3x3(copy, dst, kind);
    return;
  }
  const int32_t w = src.Width(), h = src.Height();
  for (int32_t y = 1; y + 1 < h; ++y) {
    const uint8_t* rows[3] = {src.ScanLine(y - 1), src.ScanLine(y), src.ScanLine(y + 1)};
    uint8_t* out = dst.ScanLine(y);
    for (int32_t x = 1; x + 1 < w; ++x) {
      for (int32_t c = 0; c < 3; ++c) {
        int32_t sum = 0, lo = 255, hi = 0;
        for (const uint8_t* row : rows) {
          for (int32_t i = -1; i <= 1; ++i) {
            const int32_t v = row[3 * (x + i) + c];
            sum += v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
          }
        }
        const int32_t result = kind == Neighbourhood::kMean  ? sum / 9
                               : kind == Neighbourhood::kMin ? lo
                                                             : hi;
        out[3 * x + c] = static_cast<uint8_t>(result);
      }
    }
  }
}

}  // namespace

cImageProcessDIB::cImageProcessDIB(EngineArrays& arrays, ProgressObserver* observer)
    : arrays_(arrays), observer_(observer) {
  LoadPreset(1);
}

// --- Filter settings ---------------------------------------------------------

void cImageProcessDIB::SetFiltertype(int32_t kind) {
  if (kind < 1 || kind > 14)
    throw RuntimeError(kErrFilterInvalid, kImageProcessSource, "Invalid filter types.");
  filterType_ = kind;
  if (kind != 14) LoadPreset(kind);
}

void cImageProcessDIB::SetFilterArraySize(int32_t size) {
  if (size % 2 == 0)
    throw RuntimeError(kErrFilterSizeEven, kImageProcessSource, "Size must be an odd number");
  if (size < kMinFilterSize || size > kMaxFilterSize)
    throw RuntimeError(kErrFilterInvalid, kImageProcessSource,
                       "Invalid size.  Size should be an odd number from 3 to 9");
  ResizeKernel(size);
}

int32_t cImageProcessDIB::FilterValue(int32_t x, int32_t y) const {
  return kernel_[KernelIndex(x, y)];
}

void cImageProcessDIB::SetFilterValue(int32_t x, int32_t y, int32_t value) {
  kernel_[KernelIndex(x, y)] = value;
}

size_t cImageProcessDIB::KernelIndex(int32_t x, int32_t y) const {
  if (x < -filterHalf_ || x > filterHalf_ || y < -filterHalf_ || y > filterHalf_)
    RaiseSubscriptOutOfRange();
  return static_cast<size_t>(x + filterHalf_) + static_cast<size_t>(y + filterHalf_) * filterSize_;
}

void cImageProcessDIB::ResizeKernel(int32_t size) {
  filterSize_ = size;
  filterHalf_ = size / 2;
  kernel_.assign(static_cast<size_t>(size) * size, 0);
}

void cImageProcessDIB::LoadPreset(int32_t kind) {
  // Ring r = max(|i|, |j|) >= 1 weighs half - r + 1; the centre weighs
  // size / 2 * size rounded half to even (4.5 -> 4, 12.5 -> 12).
  auto ringPyramid = [this](int32_t size) {
    ResizeKernel(size);
    const int32_t half = filterHalf_;
    for (int32_t j = -half; j <= half; ++j)
      for (int32_t i = -half; i <= half; ++i) {
        const int32_t ring = std::max(std::abs(i), std::abs(j));
        if (ring >= 1) SetFilterValue(i, j, half - ring + 1);
      }
    SetFilterValue(0, 0, static_cast<int32_t>(std::nearbyint(size / 2.0 * size)));
  };
  auto fill = [this](int32_t size, int32_t value) {
    ResizeKernel(size);
    std::fill(kernel_.begin(), kernel_.end(), value);
  };

  switch (kind) {
    case 1:
      fill(3, 1);
      break;
    case 2:
      fill(5, 1);
      break;
    case 3:
      ringPyramid(3);
      break;
    case 4:
      ringPyramid(5);
      break;
    case 5:
      ResizeKernel(5);
      for (int32_t j = -2; j <= 2; ++j)
        for (int32_t i = -2; i <= 2; ++i)
          SetFilterValue(i, j,
                         static_cast<int32_t>(
                             std::nearbyint(100.0 * std::exp(-(i * i + j * j) / (2.5 * 2.5)))));
      break;
    case 6:
      fill(3, -1);
      SetFilterValue(0, 0, 15);
      break;
    case 7:
      ResizeKernel(3);
      SetFilterValue(0, 0, 5);
      SetFilterValue(-1, 0, -1);
      SetFilterValue(1, 0, -1);
      SetFilterValue(0, -1, -1);
      SetFilterValue(0, 1, -1);
      break;
    case 9:
      ResizeKernel(3);
      SetFilterValue(-1, -1, -1);
      SetFilterValue(1, 1, 1);
      filterWeight_ = 1;
      return;
    default:  // 8, 10..14: the kernel is not changed
      return;
  }
  int32_t weight = 0;
  for (int32_t v : kernel_) weight += v;
  filterWeight_ = weight;
}

// --- Filter application ---------------------------------------------------------

void cImageProcessDIB::ProcessImage(cDIBSection& src, cDIBSection& dst) {
  const auto convolve = [this](const cDIBSection& s, cDIBSection& d) { Convolve(s, d); };
  switch (filterType_) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 6:
    case 7:
    case 14:
      CopyImage(src, dst);
      FilterPass(src, dst, convolve);
      CopyImage(dst, src);
      break;
    case 8:
      // Unsharp mask: src := 2 src - blur(src). src keeps its pixels until
      // AddImages so that both terms are available.
      SetFiltertype(1);
      CopyImage(src, dst);
      FilterPass(src, dst, convolve);
      AddImages(dst, src, -1, 0, 0, 0, 2, 0, 0, 0);
      SetFiltertype(8);
      break;
    case 9:
      // Emboss: the difference across the diagonal, lifted to mid grey.
      CopyImage(src, dst);
      FilterPass(src, dst, convolve);
      AddImages(dst, src, 1, 127, 127, 127, 0, 0, 0, 0);
      break;
    case 10:
    case 11:
    case 12: {
      const Neighbourhood kind = filterType_ == 10   ? Neighbourhood::kMean
                                 : filterType_ == 11 ? Neighbourhood::kMin
                                                     : Neighbourhood::kMax;
      CopyImage(src, dst);
      FilterPass(src, dst,
                 [kind](const cDIBSection& s, cDIBSection& d) { Neighbourhood3x3(s, d, kind); });
      CopyImage(dst, src);
      break;
    }
    default:  // 5 and 13: no action
      break;
  }
}

template <class Pass>
void cImageProcessDIB::FilterPass(const cDIBSection& src, cDIBSection& dst, Pass pass) {
  const int32_t start = MillisecondClock();
  const int32_t w = HasPixels(src) ? src.Width() : 0;
  InitProgress(w - 1);
  pass(src, dst);
  for (int32_t x = 0; x < w; ++x) Progress(x);
  Complete(ElapsedSince(start));
}

void cImageProcessDIB::Convolve(const cDIBSection& src, cDIBSection& dst) const {
  if (!HasPixels(src) || !HasPixels(dst)) return;
  const int32_t half = filterHalf_, size = filterSize_;
  const int32_t w = src.Width(), h = src.Height();
  if (dst.Width() < w || dst.Height() < h) RaiseSubscriptOutOfRange();
  if (w <= 2 * half || h <= 2 * half) return;  // no pixel has a full neighbourhood
  if (filterWeight_ == 0) RaiseDivisionByZero();
  if (&src == &dst) {  // convolve from an unchanged copy
    cDIBSection copy;
    CopyImage(src, copy);
    Convolve(copy, dst);
    return;
  }

  for (int32_t y = half; y < h - half; ++y) {
    uint8_t* out = dst.ScanLine(y);
    for (int32_t x = half; x < w - half; ++x) {
      for (int32_t c = 0; c < 3; ++c) {
        // 64-bit sum: a caller's kernel may hold any 32-bit weights.
        int64_t sum = 0;
        for (int32_t j = -half; j <= half; ++j) {
          const uint8_t* row = src.ScanLine(y + j);
          const int32_t* weights = &kernel_[static_cast<size_t>(j + half) * size + half];
          for (int32_t i = -half; i <= half; ++i) sum += int64_t{row[3 * (x + i) + c]} * weights[i];
        }
        out[3 * x + c] = static_cast<uint8_t>(std::clamp<int64_t>(sum / filterWeight_, 0, 255));
      }
    }
  }
}

// --- Copies between images and arrays ---------------------------------------------

void cImageProcessDIB::CopyToArray(const cDIBSection& pic) {
  CopyToSpecifiedArray(pic, arrays_.PixelArray);
}

void cImageProcessDIB::CopyToSpecifiedArray(const cDIBSection& pic, Plane<int32_t>& arr) {
  const int32_t w = HasPixels(pic) ? pic.Width() : 0;
  const int32_t h = HasPixels(pic) ? pic.Height() : 0;
  BeginColumns(observer_, w);
  // Byte columns 0..3W: the last one is a spare that stays 0.
  arr.Redim(3 * w + 1, h);
  for (int32_t y = 0; y < h; ++y) WidenRow(pic.ScanLine(y), arr.Row(y), RowBytes(pic));
  EndColumns(observer_, w);
}

void cImageProcessDIB::CopyToDepthMap(const cDIBSection& pic, Plane<uint8_t>& dmap) {
  const int32_t w = HasPixels(pic) ? pic.Width() : 0;
  const int32_t h = HasPixels(pic) ? pic.Height() : 0;
  BeginColumns(observer_, w);
  // One spare column and one spare row, left 0.
  dmap.Redim(w + 1, h + 1);
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* line = pic.ScanLine(y);
    uint8_t* out = dmap.Row(y);
    for (int32_t x = 0; x < w; ++x) out[x] = line[3 * x];
  }
  EndColumns(observer_, w);
}

void cImageProcessDIB::CopyFromArray(cDIBSection& pic, const Plane<int32_t>& arr) {
  const int32_t w = HasPixels(pic) ? pic.Width() : 0;
  const int32_t h = HasPixels(pic) ? pic.Height() : 0;
  if (w > 0 && (arr.Cols() < 3 * int64_t{w} || arr.Rows() < h)) RaiseSubscriptOutOfRange();
  BeginColumns(observer_, w);
  const size_t n = 3 * static_cast<size_t>(w);
  for (int32_t y = 0; y < h; ++y) {
    const int32_t* from = arr.Row(y);
    uint8_t* line = pic.ScanLine(y);
    for (size_t k = 0; k < n; ++k) {
      if (from[k] < 0 || from[k] > 255) RaiseOverflow();
      line[k] = static_cast<uint8_t>(from[k]);
    }
  }
  EndColumns(observer_, w);
}

void cImageProcessDIB::Correlate(const cDIBSection& pic, const Plane<int32_t>& arr, int64_t& sum) {
  const int32_t w = HasPixels(pic) ? pic.Width() : 0;
  const int32_t h = HasPixels(pic) ? pic.Height() : 0;
  if (w > 0 && (arr.Cols() < 3 * int64_t{w} || arr.Rows() < h)) RaiseSubscriptOutOfRange();
  BeginColumns(observer_, w);
  // The comparison walks a window of three bytes starting at every byte
  // column 0..3(W-1), so every byte counts three times except the first two
  // and the last two of a line: the first and last once, their neighbours
  // twice (for W = 1 this still gives each byte once).
  const size_t n = 3 * static_cast<size_t>(w);
  int64_t total = 0;
  for (int32_t y = 0; y < h; ++y) {
    const int32_t* a = arr.Row(y);
    const uint8_t* v = pic.ScanLine(y);
    auto d = [&](size_t k) { return std::abs(int64_t{a[k]} - v[k]); };
    const int64_t line = 3 * AbsDiffRow(a, v, n) - 2 * d(0) - d(1) - d(n - 2) - 2 * d(n - 1);
    if (__builtin_add_overflow(total, line, &total)) RaiseOverflow();
  }
  if (__builtin_add_overflow(sum, total, &sum)) RaiseOverflow();
  EndColumns(observer_, w);
}

void cImageProcessDIB::CopyFromDepthMap(cDIBSection& pic, const Plane<uint8_t>& dmap) {
  const int32_t w = HasPixels(pic) ? pic.Width() : 0;
  const int32_t h = HasPixels(pic) ? pic.Height() : 0;
  if (w > 0 && (dmap.Cols() < w || dmap.Rows() < h)) RaiseSubscriptOutOfRange();
  BeginColumns(observer_, w);
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* depth = dmap.Row(y);
    uint8_t* line = pic.ScanLine(y);
    for (int32_t x = 0; x < w; ++x) {
      line[3 * x] = depth[x];      // blue
      line[3 * x + 1] = depth[x];  // green; red keeps its value
    }
  }
  EndColumns(observer_, w);
}

}  // namespace dioptrix
