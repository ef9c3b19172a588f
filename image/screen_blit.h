// Drawing 24-bit images straight into a 32-bit screen picture: the window's
// backing store, written in place with no intermediate frame.
//
// The screen picture is top-down with 4 bytes per pixel, in memory blue,
// green, red, then a fourth byte (alpha or unused) that every drawn pixel gets
// as 0xFF. These are the pixels of a 32-bit RGB or premultiplied ARGB image on
// a little-endian machine (0xFFRRGGBB per 32-bit word).
//
// BlitToScreen and StretchToScreen draw exactly the pixels BitBlt (kSrcCopy)
// and StretchBlt of image/blit.h would draw onto a 24-bit picture of the
// screen picture's size, clipped the same way, and leave every other byte as
// it is. The source must not lie inside the screen picture's memory.
//
// The inner kernels come in several versions, one per processor level of
// platform/cpu.h; the functions without a kernel table use the best level of
// this processor. Every level gives the same bytes.
#pragma once

#include <cstdint>

#include "image/blit.h"
#include "image/dib_section.h"
#include "platform/cpu.h"

namespace dioptrix {

// A view of a top-down 32-bit picture, or of a rectangle inside one: bits
// points at the view's top-left pixel, row y of the view starts at
// bits + y * bytesPerLine (the whole picture's line length). Pixel x of a row
// is bytes 4x .. 4x + 3: blue, green, red, alpha.
//
// A view with a zero or negative width or height is empty (nothing is drawn).
// A non-empty view with no bits, with bytesPerLine below 4 * width, or too
// large for the address space is malformed: nothing is drawn and
// StretchToScreen returns false.
struct ScreenImage {
  uint8_t* bits = nullptr;
  int64_t bytesPerLine = 0;
  int32_t width = 0;
  int32_t height = 0;
};

namespace screen_kernels {
struct NearestColumns;
struct AreaColumns;
}  // namespace screen_kernels

// The kernels of one processor level (see image/screen_kernels.h for what
// each one does).
struct ScreenBlitKernels {
  CpuLevel level;
  // n pixels of a 24-bit row to n pixels of a 32-bit row.
  void (*expandRow)(const uint8_t* src, uint8_t* dst, int32_t n);
  // One destination row of a nearest stretch from one source row.
  void (*nearestRow)(const uint8_t* srcRow, const screen_kernels::NearestColumns& columns,
                     uint8_t* dst);
  // Column sums of `rows` source rows, byte by byte: sums[i] is the sum of
  // byte i of each row; row r starts at first + r * stride.
  void (*sumRows)(const uint8_t* first, int64_t stride, int32_t rows, int32_t bytes,
                  uint32_t* sums);
  // One destination row of an area average from the column sums of its rows.
  void (*averageRow)(const uint32_t* sums, const screen_kernels::AreaColumns& columns,
                     uint32_t rows, uint8_t* dst);
};

// The kernels of a level; a level this processor lacks gives the highest
// level below it that it has.
const ScreenBlitKernels& ScreenBlitKernelsFor(CpuLevel level);

// Copies the w x h rectangle at (sx, sy) of src onto (dx, dy) of dst: the
// pixels BitBlt(..., kSrcCopy) copies, each written as B, G, R, 0xFF.
void BlitToScreen(const ScreenImage& dst, int32_t dx, int32_t dy, int32_t w, int32_t h,
                  const cDIBSection& src, int32_t sx, int32_t sy);
void BlitToScreen(const ScreenImage& dst, int32_t dx, int32_t dy, int32_t w, int32_t h,
                  const cDIBSection& src, int32_t sx, int32_t sy, const ScreenBlitKernels& kernels);

// Scales the sw x sh rectangle at (sx, sy) of src onto the dw x dh rectangle
// at (dx, dy) of dst: the pixels StretchBlt writes (nearest pick or area
// average), each written as B, G, R, 0xFF. False (nothing drawn) for
// non-positive sizes, an unknown mode or a malformed view; true otherwise. A
// stretch at 1:1 is the copy of BlitToScreen.
bool StretchToScreen(const ScreenImage& dst, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                     const cDIBSection& src, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                     StretchMode mode);
bool StretchToScreen(const ScreenImage& dst, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                     const cDIBSection& src, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                     StretchMode mode, const ScreenBlitKernels& kernels);

}  // namespace dioptrix
