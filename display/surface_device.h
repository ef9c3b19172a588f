// An in-memory surface device: a back buffer, image surfaces in the back
// buffer's pixel format, and the operations the fullscreen surface back-end
// draws with (clear, rectangle copies, loading 24-bit pixels with or without
// scaling, presenting). Presenting hands the back buffer to whoever shows it
// (the back-end's fullscreen window).
//
// Units and coordinates: pixels; rectangles are (left, top, right, bottom)
// with the right and bottom edges excluded; rows are top-down in memory, row
// 0 is the top row, and a surface's rows are Pitch bytes apart.
//
// Pixel formats: X8R8G8B8 stores each pixel as the bytes blue, green, red,
// unused (written 0); R5G6B5 stores a little-endian 16-bit word, red in the
// top 5 bits, green in the middle 6, blue in the low 5, each taken from the
// top bits of its 8-bit value.
//
// Ownership: the device owns its back buffer; image surfaces belong to
// whoever made them. Sources passed in are borrowed for the call.
//
// Threads: none of its own; a device and its surfaces are used from one
// thread at a time.
//
// Errors: a size that is not positive, a surface larger than kMaxImageBytes,
// a format other than the two above or a source rectangle outside its buffer
// raise RuntimeError; rectangles that reach off a destination are clipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace dioptrix {

enum SurfaceFormat : int32_t {
  kFormatUnknown = 0,
  kFormatX8R8G8B8 = 22,
  kFormatR5G6B5 = 23,
};

// Bytes of one pixel of a format; 0 for a format surfaces cannot have.
int32_t BytesPerPixel(SurfaceFormat format);

// How LoadSurfaceFromMemory fits the source rectangle into the destination's.
enum SurfaceFilter : int32_t {
  kFilterNone = 1,      // copied at its own size into the corner, clipped
  kFilterPoint = 2,     // scaled, each pixel the source pixel under its centre
  kFilterTriangle = 4,  // scaled, each pixel the area-weighted mean of the
                        // source pixels its footprint covers
};

struct SurfaceRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
  bool operator==(const SurfaceRect&) const = default;
};

struct SurfaceDesc {
  int32_t Width = 0;
  int32_t Height = 0;
  SurfaceFormat Format = kFormatUnknown;
};

struct LockedRect {
  uint8_t* pBits = nullptr;
  int32_t Pitch = 0;  // bytes from one row to the next
};

class Surface {
 public:
  // A black width x height surface; raises RuntimeError for a size that is
  // not positive, a format of no pixel size, or more than kMaxImageBytes.
  Surface(int32_t width, int32_t height, SurfaceFormat format);

  SurfaceDesc GetDesc() const { return {width_, height_, format_}; }
  // The pixels, writable until UnlockRect. Locking does not copy.
  LockedRect LockRect();
  void UnlockRect() { locked_ = false; }
  bool Locked() const { return locked_; }
  int32_t Pitch() const { return pitch_; }
  const uint8_t* Bits() const { return bits_.data(); }
  uint8_t* Bits() { return bits_.data(); }
  // Every pixel := colour (0x00RRGGBB, packed into the surface's format).
  void Fill(uint32_t colour);
  // The pixel at (x, y) as 0x00RRGGBB, low bits of 5-6-5 filled by repeating
  // the top ones. No checks: for tests and presenting.
  uint32_t PixelRGB(int32_t x, int32_t y) const;

 private:
  int32_t width_;
  int32_t height_;
  SurfaceFormat format_;
  int32_t pitch_;
  std::vector<uint8_t> bits_;
  bool locked_ = false;
};

// How the device's back buffer is made and presented.
enum SwapEffectKind : int32_t { kSwapDiscard = 1, kSwapFlip = 2, kSwapCopy = 3 };

struct PresentParameters {
  int32_t BackBufferWidth = 0;
  int32_t BackBufferHeight = 0;
  SurfaceFormat BackBufferFormat = kFormatUnknown;
  int32_t BackBufferCount = 0;
  SwapEffectKind SwapEffect = kSwapDiscard;
  bool Windowed = true;
  int32_t FullScreen_RefreshRateInHz = 0;  // 0: the device's default rate
};

class SurfaceDevice {
 public:
  // Receives the back buffer on Present, for the duration of the call.
  using Presenter = std::function<void(const Surface& backBuffer)>;

  // Makes the back buffer the parameters describe. Raises RuntimeError for
  // windowed parameters, a count other than 1, or a back buffer that cannot
  // be made.
  SurfaceDevice(const PresentParameters& params, Presenter presenter);

  const PresentParameters& Parameters() const { return params_; }
  Surface& GetBackBuffer() { return backBuffer_; }
  // A new image surface; raises as the Surface constructor does.
  std::unique_ptr<Surface> CreateImageSurface(int32_t width, int32_t height,
                                              SurfaceFormat format) const;
  // Fills the back buffer with colour (0x00RRGGBB).
  void Clear(uint32_t colour);
  // Copies sourceRect of source to (x, y) of dest, both in the same format;
  // the parts off either surface are left out. Raises for different formats.
  void CopyRects(const Surface& source, const SurfaceRect& sourceRect, Surface& dest, int32_t x,
                 int32_t y) const;
  // Hands the back buffer to the presenter.
  void Present();

 private:
  PresentParameters params_;
  Presenter presenter_;
  Surface backBuffer_;
};

// Loads sourceRect of a 24-bit source (bytes blue, green, red; rows top-down
// sourcePitch bytes apart; sourceBytes long) into destRect of dest with the
// filter; a null destRect stands for the whole surface. Parts of destRect off
// the surface are left out. Raises RuntimeError when the source rectangle is
// empty or not inside the source, or the filter is unknown.
void LoadSurfaceFromMemory(Surface& dest, const SurfaceRect* destRect, const uint8_t* source,
                           size_t sourceBytes, int32_t sourcePitch, const SurfaceRect& sourceRect,
                           SurfaceFilter filter);

// The surface as 32-bit 0xFFRRGGBB pixels, rows top-down and packed.
void ToRGB32(const Surface& surface, std::vector<uint32_t>& pixels);

}  // namespace dioptrix
