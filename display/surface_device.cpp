#include "display/surface_device.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "image/dib_section.h"
#include "platform/error.h"

namespace dioptrix {

namespace {

constexpr const char* kDeviceSource = "dioptrix.SurfaceDevice";

[[noreturn]] void RaiseInvalid(const char* what) {
  throw RuntimeError(kErrInvalidArgument, kDeviceSource,
                     std::string(ErrorDescription(kErrInvalidArgument)) + ": " + what);
}

// Writes one pixel given as blue, green, red bytes in the format.
inline void PackPixel(uint8_t* to, SurfaceFormat format, uint8_t b, uint8_t g, uint8_t r) {
  if (format == kFormatR5G6B5) {
    const uint16_t v = static_cast<uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
    to[0] = static_cast<uint8_t>(v & 0xFF);
    to[1] = static_cast<uint8_t>(v >> 8);
  } else {
    to[0] = b;
    to[1] = g;
    to[2] = r;
    to[3] = 0;
  }
}

// The part of [lo, hi) inside [0, limit).
void ClipRange(int64_t& lo, int64_t& hi, int64_t limit) {
  lo = std::max<int64_t>(lo, 0);
  hi = std::min<int64_t>(hi, limit);
}

// One destination pixel's share of the source along one axis: source index
// and the length of its overlap with the footprint, in 1/d-pixel units.
struct Tap {
  int32_t index;
  int64_t weight;
};

// The taps of destination pixels 0..d-1 scaled from s source pixels: the
// footprint of pixel i is [i*s, (i+1)*s) and source pixel j covers
// [j*d, (j+1)*d), both in 1/d-pixel units; each pixel's weights add to s.
std::vector<std::vector<Tap>> AreaTaps(int32_t s, int32_t d) {
  std::vector<std::vector<Tap>> taps(static_cast<size_t>(d));
  for (int64_t i = 0; i < d; ++i) {
    const int64_t from = i * s, to = (i + 1) * s;
    for (int64_t j = from / d; j < s && j * d < to; ++j) {
      const int64_t overlap = std::min(to, (j + 1) * d) - std::max(from, j * d);
      if (overlap > 0) taps[static_cast<size_t>(i)].push_back({static_cast<int32_t>(j), overlap});
    }
  }
  return taps;
}

// The source pixel under the centre of destination pixel i.
inline int32_t PointTap(int64_t i, int32_t s, int32_t d) {
  return static_cast<int32_t>(((2 * i + 1) * s) / (2 * int64_t{d}));
}

}  // namespace

int32_t BytesPerPixel(SurfaceFormat format) {
  switch (format) {
    case kFormatX8R8G8B8:
      return 4;
    case kFormatR5G6B5:
      return 2;
    default:
      return 0;
  }
}

// --- Surfaces ------------------------------------------------------------------

Surface::Surface(int32_t width, int32_t height, SurfaceFormat format)
    : width_(width), height_(height), format_(format), pitch_(0) {
  const int32_t bpp = BytesPerPixel(format);
  if (bpp == 0) RaiseInvalid("unsupported surface format");
  if (width <= 0 || height <= 0) RaiseInvalid("surface size not positive");
  const int64_t pitch = int64_t{width} * bpp;
  if (pitch * height > kMaxImageBytes) throw RuntimeError(kErrOutOfMemory, kDeviceSource);
  pitch_ = static_cast<int32_t>(pitch);
  bits_.assign(static_cast<size_t>(pitch * height), 0);
}

LockedRect Surface::LockRect() {
  locked_ = true;
  return {bits_.data(), pitch_};
}

void Surface::Fill(uint32_t colour) {
  uint8_t pixel[4];
  PackPixel(pixel, format_, colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
  const int32_t bpp = BytesPerPixel(format_);
  for (size_t at = 0; at < bits_.size(); at += bpp) std::memcpy(&bits_[at], pixel, bpp);
}

uint32_t Surface::PixelRGB(int32_t x, int32_t y) const {
  const uint8_t* p = bits_.data() + static_cast<size_t>(y) * pitch_ +
                     static_cast<size_t>(x) * BytesPerPixel(format_);
  if (format_ == kFormatR5G6B5) {
    const uint32_t v = p[0] | (uint32_t{p[1]} << 8);
    const uint32_t r5 = (v >> 11) & 31, g6 = (v >> 5) & 63, b5 = v & 31;
    const uint32_t r = (r5 << 3) | (r5 >> 2), g = (g6 << 2) | (g6 >> 4), b = (b5 << 3) | (b5 >> 2);
    return (r << 16) | (g << 8) | b;
  }
  return (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

void ToRGB32(const Surface& surface, std::vector<uint32_t>& pixels) {
  const SurfaceDesc desc = surface.GetDesc();
  pixels.resize(static_cast<size_t>(desc.Width) * static_cast<size_t>(desc.Height));
  uint32_t* to = pixels.data();
  for (int32_t y = 0; y < desc.Height; ++y)
    for (int32_t x = 0; x < desc.Width; ++x) *to++ = 0xFF000000u | surface.PixelRGB(x, y);
}

// --- The device ------------------------------------------------------------------

namespace {

const PresentParameters& Checked(const PresentParameters& params) {
  if (params.Windowed) RaiseInvalid("windowed device");
  if (params.BackBufferCount != 1) RaiseInvalid("back buffer count");
  return params;
}

}  // namespace

SurfaceDevice::SurfaceDevice(const PresentParameters& params, Presenter presenter)
    : params_(Checked(params)),
      presenter_(std::move(presenter)),
      backBuffer_(params.BackBufferWidth, params.BackBufferHeight, params.BackBufferFormat) {}

std::unique_ptr<Surface> SurfaceDevice::CreateImageSurface(int32_t width, int32_t height,
                                                           SurfaceFormat format) const {
  return std::make_unique<Surface>(width, height, format);
}

void SurfaceDevice::Clear(uint32_t colour) { backBuffer_.Fill(colour); }

void SurfaceDevice::CopyRects(const Surface& source, const SurfaceRect& sourceRect, Surface& dest,
                              int32_t x, int32_t y) const {
  const SurfaceDesc from = source.GetDesc(), to = dest.GetDesc();
  if (from.Format != to.Format) RaiseInvalid("surface formats differ");
  // Clip to the source, moving the destination point along, then to the
  // destination.
  int64_t l = sourceRect.left, t = sourceRect.top, r = sourceRect.right, b = sourceRect.bottom;
  int64_t dx = x, dy = y;
  if (l < 0) dx -= l;
  if (t < 0) dy -= t;
  ClipRange(l, r, from.Width);
  ClipRange(t, b, from.Height);
  if (dx < 0) l -= dx, dx = 0;
  if (dy < 0) t -= dy, dy = 0;
  r = std::min<int64_t>(r, l + (to.Width - dx));
  b = std::min<int64_t>(b, t + (to.Height - dy));
  if (r <= l || b <= t) return;
  const int32_t bpp = BytesPerPixel(from.Format);
  const size_t rowBytes = static_cast<size_t>(r - l) * bpp;
  for (int64_t row = 0; row < b - t; ++row) {
    const uint8_t* src = source.Bits() + (t + row) * source.Pitch() + l * bpp;
    uint8_t* dst = dest.Bits() + (dy + row) * dest.Pitch() + dx * bpp;
    std::memcpy(dst, src, rowBytes);
  }
}

void SurfaceDevice::Present() {
  if (presenter_) presenter_(backBuffer_);
}

// --- Loading 24-bit pixels ---------------------------------------------------------

void LoadSurfaceFromMemory(Surface& dest, const SurfaceRect* destRect, const uint8_t* source,
                           size_t sourceBytes, int32_t sourcePitch, const SurfaceRect& sourceRect,
                           SurfaceFilter filter) {
  const SurfaceDesc desc = dest.GetDesc();
  const SurfaceRect rect = destRect ? *destRect : SurfaceRect{0, 0, desc.Width, desc.Height};
  if (!source) RaiseObjectNotSet();
  const int64_t sw = int64_t{sourceRect.right} - sourceRect.left;
  const int64_t sh = int64_t{sourceRect.bottom} - sourceRect.top;
  if (sourceRect.left < 0 || sourceRect.top < 0 || sw <= 0 || sh <= 0 || sourcePitch <= 0 ||
      int64_t{sourceRect.right} * 3 > sourcePitch ||
      (int64_t{sourceRect.bottom} - 1) * sourcePitch + int64_t{sourceRect.right} * 3 >
          static_cast<int64_t>(sourceBytes))
    RaiseInvalid("source rectangle outside the source");
  const int64_t dw = int64_t{rect.right} - rect.left, dh = int64_t{rect.bottom} - rect.top;
  if (dw <= 0 || dh <= 0) RaiseInvalid("empty destination rectangle");
  if (filter != kFilterNone && filter != kFilterPoint && filter != kFilterTriangle)
    RaiseInvalid("unknown filter");

  // The destination pixels to write, relative to the rectangle's corner.
  int64_t x0 = rect.left, x1 = rect.right, y0 = rect.top, y1 = rect.bottom;
  if (filter == kFilterNone) x1 = std::min(x1, rect.left + sw), y1 = std::min(y1, rect.top + sh);
  ClipRange(x0, x1, desc.Width);
  ClipRange(y0, y1, desc.Height);
  if (x1 <= x0 || y1 <= y0) return;
  x0 -= rect.left, x1 -= rect.left, y0 -= rect.top, y1 -= rect.top;

  const int32_t bpp = BytesPerPixel(desc.Format);
  auto sourcePixel = [&](int64_t sx, int64_t sy) {
    return source + (sourceRect.top + sy) * sourcePitch + (sourceRect.left + sx) * 3;
  };
  auto destPixel = [&](int64_t x, int64_t y) {
    return dest.Bits() + (rect.top + y) * dest.Pitch() + (rect.left + x) * bpp;
  };

  if (filter == kFilterNone || filter == kFilterPoint) {
    for (int64_t y = y0; y < y1; ++y) {
      const int64_t sy = filter == kFilterNone
                             ? y
                             : PointTap(y, static_cast<int32_t>(sh), static_cast<int32_t>(dh));
      for (int64_t x = x0; x < x1; ++x) {
        const int64_t sx = filter == kFilterNone
                               ? x
                               : PointTap(x, static_cast<int32_t>(sw), static_cast<int32_t>(dw));
        const uint8_t* p = sourcePixel(sx, sy);
        PackPixel(destPixel(x, y), desc.Format, p[0], p[1], p[2]);
      }
    }
    return;
  }

  const auto columns = AreaTaps(static_cast<int32_t>(sw), static_cast<int32_t>(dw));
  const auto rows = AreaTaps(static_cast<int32_t>(sh), static_cast<int32_t>(dh));
  const int64_t total = sw * sh;
  for (int64_t y = y0; y < y1; ++y) {
    for (int64_t x = x0; x < x1; ++x) {
      int64_t sum[3] = {0, 0, 0};
      for (const Tap& row : rows[static_cast<size_t>(y)]) {
        for (const Tap& column : columns[static_cast<size_t>(x)]) {
          const uint8_t* p = sourcePixel(column.index, row.index);
          const int64_t w = row.weight * column.weight;
          sum[0] += w * p[0], sum[1] += w * p[1], sum[2] += w * p[2];
        }
      }
      PackPixel(destPixel(x, y), desc.Format, static_cast<uint8_t>((sum[0] + total / 2) / total),
                static_cast<uint8_t>((sum[1] + total / 2) / total),
                static_cast<uint8_t>((sum[2] + total / 2) / total));
    }
  }
}

}  // namespace dioptrix
