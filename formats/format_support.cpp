#include "formats/format_support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/error.h"

namespace dioptrix::formats {

std::string LoaderMessage(std::string_view routine) {
  std::string text = "An error occurred in ";
  text += routine;
  text += ". ";
  return text;
}

std::string CompositionMessage(std::string_view routine) {
  return LoaderMessage(routine) + "Attempting to continue. ";
}

void MeasurePair(const FrameImages& frames, PairSize& size) {
  const DibPtr& left = frames.StereoPair[0];
  const DibPtr& right = frames.StereoPair[1];
  size.width = std::max(left ? left->Width() : 0, right ? right->Width() : 0);
  size.height = std::max(left ? left->Height() : 0, right ? right->Height() : 0);
  if (!left || !right) RaiseObjectNotSet();
}

double Divide(double num, double den) {
  if (den == 0) RaiseDivisionByZero();
  return num / den;
}

int32_t RoundToLong(double v) {
  const double r = std::nearbyint(v);
  // Compare in the negated sense so that a NaN is refused too.
  if (!(r >= std::numeric_limits<int32_t>::min() && r <= std::numeric_limits<int32_t>::max()))
    RaiseOverflow();
  return static_cast<int32_t>(r);
}

int32_t CheckedAdd(int32_t a, int32_t b) {
  int32_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) RaiseOverflow();
  return sum;
}

int32_t CheckedMul(int32_t a, int32_t b) {
  int32_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) RaiseOverflow();
  return product;
}

cDIBSection* ReuseOrCreate(DibPtr& image, int32_t w, int32_t h) {
  if (HasPixels(image) && image->Width() == w && image->Height() == h) return image.get();
  auto fresh = std::make_unique<cDIBSection>();
  if (!fresh->Create(w, h)) return nullptr;
  image = std::move(fresh);
  return image.get();
}

bool CreateIn(DibPtr& image, int32_t w, int32_t h) {
  if (!image) image = std::make_unique<cDIBSection>();
  return image->Create(w, h);
}

void CopyPixelsClearRest(uint8_t* to, const uint8_t* from, int64_t n, int64_t bytes) {
  const size_t copied = static_cast<size_t>(3 * n);
  if (copied > 0) std::memcpy(to, from, copied);
  std::memset(to + copied, 0, static_cast<size_t>(bytes) - copied);
}

void CropRows(const cDIBSection& src, cDIBSection& dest, int32_t left, int32_t top) {
  const int64_t w = dest.Width(), h = dest.Height(), stride = dest.BytesPerScanLine();
  const int64_t srcW = src.Width(), srcH = src.Height();
  // Columns of dest that have a source pixel: [i0, i1).
  const int64_t i0 = std::clamp<int64_t>(-int64_t{left}, 0, w);
  const int64_t i1 = std::clamp<int64_t>(srcW - left, i0, w);
  for (int64_t y = 0; y < h; ++y) {  // bottom line first: ascending memory
    const int64_t j = h - 1 - y;     // the row counted from the top
    uint8_t* to = dest.ScanLine(static_cast<int32_t>(y));
    const int64_t sy = top + j;
    if (sy < 0 || sy >= srcH || i0 == i1) {
      std::memset(to, 0, static_cast<size_t>(stride));
      continue;
    }
    const uint8_t* from = src.ScanLine(static_cast<int32_t>(srcH - 1 - sy)) + 3 * (left + i0);
    std::memset(to, 0, static_cast<size_t>(3 * i0));
    CopyPixelsClearRest(to + 3 * i0, from, i1 - i0, stride - 3 * i0);
  }
}

}  // namespace dioptrix::formats
