// Per-row pixel kernels of the stereo formats: each turns whole rows of
// 24-bit pixels (bytes blue, green, red) into the row of a decoded view or of
// a composed anaglyph in one pass. They give the same bytes as the chains of
// copies, grey conversions, channel masks and OR blits that define them.
//
// Every kernel has a plain per-pixel version (namespace scalar) that reads
// like its formula, and versions for the processor levels of platform/cpu.h
// in one table (PixelRowKernels); the functions without a table use the best
// level of this processor. Every level gives the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/cpu.h"

namespace dioptrix::pixel_rows {

// Nearest integer to num / den, ties to the even neighbour (den > 0).
constexpr uint32_t RoundHalfEven(uint32_t num, uint32_t den) {
  const uint32_t q = num / den, r = num % den;
  return q + ((2 * r > den || (2 * r == den && (q & 1))) ? 1 : 0);
}
// Mean of the three channels: round((B + G + R) / 3).
constexpr uint8_t Mean3(uint8_t b, uint8_t g, uint8_t r) {
  return static_cast<uint8_t>(RoundHalfEven(uint32_t{b} + g + r, 3));
}
// Weighted luminance: round((707 G + 222 R + 71 B) / 1000).
constexpr uint8_t Luminance(uint8_t b, uint8_t g, uint8_t r) {
  return static_cast<uint8_t>(RoundHalfEven(707u * g + 222u * r + 71u * b, 1000));
}

// The anaglyph compositions, for n pixels of the left row, the right row and
// the output row (the output may not overlap the inputs). P0 is the left
// pixel, P1 the right one.
//   AnaGray:   R = Mean3(P0),     G = B = Mean3(P1)
//   AnaColour: R = Luminance(P0), G = G1, B = B1
//   AnaYellow: R = R0, G = G0,    B = Luminance(P1)
// A right pixel of (0, 0, 0) gives the left view's part alone.
using AnaglyphRowFn = void (*)(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n);
using SplitRowFn = void (*)(const uint8_t* src, uint8_t* left, uint8_t* right, int32_t n);
void AnaGray(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n);
void AnaColour(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n);
void AnaYellow(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n);

// Decoding of a red/cyan anaglyph row into the left and right view rows.
//   SplitAnaglyphGray:   left = (R, R, R), right = round((B + G) / 2) in all three
//   SplitAnaglyphColour: left = (0, 0, R), right = (B, G, 0)
void SplitAnaglyphGray(const uint8_t* src, uint8_t* left, uint8_t* right, int32_t n);
void SplitAnaglyphColour(const uint8_t* src, uint8_t* left, uint8_t* right, int32_t n);

// The gather of a row of a nearest stretch: output pixel k is the source
// pixel at byte offset offsets[k] of the source row, for every row of a
// picture. Prepared once per picture: where four output pixels take their
// bytes from one 16-byte stretch of the source (enlarging, or reducing to no
// less than about 4/5), one byte shuffle moves all four.
class RowGather {
 public:
  // rowBytes: the bytes of pixels in a source row (3 * width); every offset
  // lies below rowBytes - 2.
  RowGather(std::vector<uint32_t> offsets, int64_t rowBytes);

  int32_t Count() const { return static_cast<int32_t>(offsets_.size()); }
  // Writes the 3 * Count() bytes of an output row (and nothing past them),
  // with the kernels of this processor's best level or of the given level.
  void Run(uint8_t* to, const uint8_t* from) const;
  void Run(uint8_t* to, const uint8_t* from, CpuLevel level) const;
  // The same, one pixel at a time.
  void RunPlain(uint8_t* to, const uint8_t* from) const;

 private:
  struct Block {
    uint32_t base;        // first source byte of the 16 the shuffle reads
    uint8_t shuffle[16];  // output byte i := source byte base + shuffle[i]
  };
  void MoveWords(uint8_t* to, const uint8_t* from, int32_t first, int32_t end) const;
  // The shuffle blocks; returns the pixels done.
  int32_t RunBlocks(uint8_t* to, const uint8_t* from) const;

  std::vector<uint32_t> offsets_;
  // Leading pixels whose source pixel is followed by another byte of the row
  // and which are not the last: each may move as a 4-byte word.
  int32_t wide_ = 0;
  // Shuffle blocks for pixels 4b .. 4b + 3; a block with shuffle[0] == 0xFF
  // does not fit in 16 source bytes and moves pixel by pixel.
  std::vector<Block> blocks_;
};

// The row kernels of one processor level.
struct PixelRowKernels {
  CpuLevel level;
  AnaglyphRowFn anaGray;
  AnaglyphRowFn anaColour;
  AnaglyphRowFn anaYellow;
  SplitRowFn splitAnaglyphGray;
  SplitRowFn splitAnaglyphColour;
  // RowGather moves four pixels by one byte shuffle where it can.
  bool shuffleGather;
};

// The kernels of a level; a level this processor lacks, or that has no
// versions of its own, gives the highest level below it that has.
const PixelRowKernels& PixelRowKernelsFor(CpuLevel level);

namespace scalar {
void AnaGray(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n);
void AnaColour(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n);
void AnaYellow(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n);
void SplitAnaglyphGray(const uint8_t* src, uint8_t* left, uint8_t* right, int32_t n);
void SplitAnaglyphColour(const uint8_t* src, uint8_t* left, uint8_t* right, int32_t n);
}  // namespace scalar

}  // namespace dioptrix::pixel_rows
