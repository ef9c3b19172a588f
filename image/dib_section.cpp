#include "image/dib_section.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "image/blit.h"
#include "image/picture.h"
#include "platform/error.h"

namespace dioptrix {

namespace {

// Handles of the stand-in drawing layer: unique nonzero numbers.
GdiHandle NewHandle() {
  static std::atomic<GdiHandle> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

uint8_t RoundToByte(double v) {
  v = std::nearbyint(v);  // to nearest, ties to even
  if (v < 0) return 0;
  if (v > 255) return 255;
  return static_cast<uint8_t>(v);
}

}  // namespace

void cDIBSection::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

cDIBSection::~cDIBSection() { ClearUp(); }

bool cDIBSection::Create(int32_t lWidth, int32_t lHeight) {
  ClearUp();
  const GdiHandle dc = NewHandle();
  GdiHandle dib = 0;
  if (!CreateDIB(dc, lWidth, lHeight, dib)) return false;
  m_hDC = dc;
  m_hDib = dib;
  m_hBmpOld = 0;
  return true;
}

bool cDIBSection::CreateDIB(GdiHandle lhDC, int32_t lWidth, int32_t lHeight, GdiHandle& hDib) {
  hDib = 0;
  if (lhDC == 0 || lWidth < 1 || lHeight < 1) return false;
  const int64_t stride = BytesPerRow24(lWidth);
  if (stride > kMaxImageBytes / lHeight) return false;
  const size_t size = static_cast<size_t>(stride * lHeight);
  auto* memory = static_cast<uint8_t*>(std::calloc(size, 1));
  if (!memory) return false;
  m_memory.reset(memory);
  m_tBI = BitmapInfoHeader{};
  m_tBI.biWidth = lWidth;
  m_tBI.biHeight = lHeight;
  m_tBI.biSizeImage = static_cast<uint32_t>(size);
  m_lPtr = memory;
  hDib = NewHandle();
  return true;
}

void cDIBSection::CreateFromPicture(const Picture& picThis) {
  if (!picThis.Valid()) {
    ClearUp();
    return;
  }
  if (!Create(picThis.Width(), picThis.Height())) return;
  const int32_t w = Width(), h = Height();
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* line = ScanLine(h - 1 - y);
    for (int32_t x = 0; x < w; ++x) {
      const RgbQuad c = picThis.PixelAt(x, y);
      line[3 * x] = c.blue;
      line[3 * x + 1] = c.green;
      line[3 * x + 2] = c.red;
    }
  }
}

void cDIBSection::LoadPictureBlt(const cDIBSection& source, int32_t lSrcLeft, int32_t lSrcTop,
                                 int32_t lSrcWidth, int32_t lSrcHeight, RasterOp eRop) {
  if (lSrcWidth < 0) lSrcWidth = Width();
  if (lSrcHeight < 0) lSrcHeight = Height();
  BitBlt(*this, 0, 0, lSrcWidth, lSrcHeight, source, lSrcLeft, lSrcTop, eRop);
}

void cDIBSection::ClearUp() {
  m_memory.reset();
  m_hDib = 0;
  m_hBmpOld = 0;
  m_hDC = 0;
  m_lPtr = nullptr;
  m_tBI = BitmapInfoHeader{};
}

DibPtr cDIBSection::CopyOf() const {
  auto copy = std::make_unique<cDIBSection>();
  if (!copy->Create(Width(), Height())) return nullptr;
  std::memcpy(copy->m_lPtr, m_lPtr, ImageSize());
  return copy;
}

DibPtr cDIBSection::Crop(int32_t lNewHeight, int32_t lNewWidth, int32_t lNewLeft,
                         int32_t lNewTop) const {
  if (Width() < 2 || Height() < 2) return nullptr;
  auto crop = std::make_unique<cDIBSection>();
  if (!crop->Create(lNewWidth, lNewHeight)) return nullptr;
  BitBlt(*crop, 0, 0, lNewWidth, lNewHeight, *this, lNewLeft, lNewTop, kSrcCopy);
  return crop;
}

DibPtr cDIBSection::Resample(int32_t lNewHeight, int32_t lNewWidth, bool v_blnInterpolate) const {
  auto dest = std::make_unique<cDIBSection>();
  if (!dest->Create(lNewWidth, lNewHeight)) return nullptr;
  if (Empty()) return dest;
  if (lNewWidth == Width() && lNewHeight == Height()) {
    std::memcpy(dest->m_lPtr, m_lPtr, ImageSize());
  } else if (v_blnInterpolate) {
    ResampleBits(*dest, true);
  } else if (lNewWidth >= Width() && lNewHeight >= Height()) {
    StretchBlt(*dest, 0, 0, lNewWidth, lNewHeight, *this, 0, 0, Width(), Height(), kColorOnColor);
  } else {
    ResampleBits(*dest, false);
  }
  return dest;
}

// Software resampler working directly on both images' scan lines. Positions
// and fractions are single-precision, as is the ratio of (source size - 1) to
// the destination size on each axis.
void cDIBSection::ResampleBits(cDIBSection& dest, bool interpolate) const {
  const int32_t sw = Width(), sh = Height();
  const int32_t dw = dest.Width(), dh = dest.Height();
  if (sw < 2 || sh < 2) interpolate = false;
  const float xr = static_cast<float>(sw - 1) / static_cast<float>(dw);
  const float yr = static_cast<float>(sh - 1) / static_cast<float>(dh);
  const int32_t ss = BytesPerScanLine();
  auto px = [&](int32_t x, int32_t y) { return m_lPtr + static_cast<ptrdiff_t>(y) * ss + 3 * x; };

  // Box half-size of the averaging branch (same h on both axes).
  const int32_t h = static_cast<int32_t>(std::nearbyint(xr / 2.0f));
  const double count = static_cast<double>(2 * h + 1) * (2 * h + 1);

  for (int32_t y = 0; y < dh; ++y) {
    const float fy = static_cast<float>(y) * yr;
    // Rounding of the float product can land on the last line; stay inside.
    const int32_t yi = std::min(static_cast<int32_t>(std::floor(fy)), sh - 1);
    const float ty = fy - static_cast<float>(yi);
    uint8_t* out = dest.ScanLine(y);
    for (int32_t x = 0; x < dw; ++x) {
      const float fx = static_cast<float>(x) * xr;
      const int32_t xi = std::min(static_cast<int32_t>(std::floor(fx)), sw - 1);
      const float tx = fx - static_cast<float>(xi);
      uint8_t* o = out + 3 * x;
      if (!interpolate) {
        std::memcpy(o, px(xi, yi), 3);
      } else if (xr <= 2.0f) {
        const int32_t xi1 = std::min(xi + 1, sw - 1), yi1 = std::min(yi + 1, sh - 1);
        const uint8_t *p00 = px(xi, yi), *p10 = px(xi1, yi), *p01 = px(xi, yi1),
                      *p11 = px(xi1, yi1);
        for (int c = 0; c < 3; ++c) {
          const float a = std::nearbyint((1.0f - ty) * p00[c] + ty * p01[c]);
          const float b = std::nearbyint((1.0f - ty) * p10[c] + ty * p11[c]);
          o[c] = RoundToByte((1.0f - tx) * a + tx * b);
        }
      } else {
        // Only pixels 1 .. sw-2 of scan lines 1 .. sh-2 contribute; the
        // divisor still counts every position of the box.
        int64_t sum[3] = {0, 0, 0};
        const int32_t i0 = std::max(-h, 1 - xi), i1 = std::min(h, sw - 2 - xi);
        const int32_t j0 = std::max(-h, 1 - yi), j1 = std::min(h, sh - 2 - yi);
        for (int32_t i = i0; i <= i1; ++i) {
          for (int32_t j = j0; j <= j1; ++j) {
            const uint8_t* p = px(xi + i, yi + j);
            sum[0] += p[0];
            sum[1] += p[1];
            sum[2] += p[2];
          }
        }
        for (int c = 0; c < 3; ++c) o[c] = RoundToByte(static_cast<double>(sum[c]) / count);
      }
    }
  }
}

cDIBSection& Need(const DibPtr& image) {
  if (!image) RaiseObjectNotSet();
  return *image;
}

}  // namespace dioptrix
