// The inner kernels of the depth maps (blocks/depthmap.h), one namespace per
// processor level, and the tables that pick them.
//
// Four kernels carry the work: the grey kernel's block search, the copy of the
// blue bytes into the grey frame, the writing of carried depth (modes 1 and 2)
// and the colour kernel's block cost. Each has a plain version that reads
// like the algorithm and vector versions that give the same results; a table
// per kernel holds the versions of each processor level (platform/cpu.h). A
// kernel never reads or writes outside the bytes its arguments describe.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/cpu.h"

namespace dioptrix::blocks::depth_kernels {

// A candidate offset: pixels across, lines down.
struct Offset {
  int32_t dx;
  int32_t dy;
};

// The nine candidates of one step of the grey diamond search, the centre first.
inline constexpr Offset kGreyPattern[9] = {{0, 0}, {0, -2}, {-1, -1}, {1, -1}, {-2, 0},
                                           {2, 0}, {-1, 1}, {1, 1},   {0, 2}};
// A centre candidate cheaper than this counts as a perfect match.
inline constexpr int64_t kNearMatch = 64;
// How far the first step may look when there is no previous move.
inline constexpr int32_t kOpenLimit = 20;
// Block side of the grey kernel at scale 1, in pixels.
inline constexpr int64_t kGreyBlock = 8;

// The best candidate of a block: its cost and position (bytes or pixels
// across, lines down).
struct Match {
  int64_t cost;
  int64_t x;
  int64_t y;
};

inline int32_t StepLimit(Offset last) {
  if (last.dx == 0 && last.dy == 0) return kOpenLimit;
  return std::max(std::abs(last.dx), std::abs(last.dy));
}

inline bool WithinLimit(Offset candidate, Offset last, int32_t limit) {
  return std::abs(candidate.dx - last.dx) <= limit && std::abs(candidate.dy - last.dy) <= limit;
}

// A move's size: 2 for the long diamond arms, 1 for diagonals, 0 for staying.
inline int32_t Kind(Offset o) { return std::max(std::abs(o.dx), std::abs(o.dy)); }

// Diamond search of the grey kernel for the block at pixel bx, line by.
// Candidates are valid while the whole block stays inside the frame
// (0..maxX, 0..maxY); the search ends with the first step that keeps its
// centre. cost(cx, cy) is the match cost there.
template <class Cost>
Match GreySearch(int64_t bx, int64_t by, int64_t maxX, int64_t maxY, int64_t worst, Cost&& cost) {
  Match best{worst, bx, by};
  Offset last{0, 0};
  int first = 0;
  int64_t centreX = bx;
  int64_t centreY = by;
  for (;;) {
    int32_t kind = 0;
    const int32_t limit = StepLimit(last);
    for (int i = first; i < 9; ++i) {
      const Offset o = kGreyPattern[i];
      if (!WithinLimit(o, last, limit)) continue;
      const int64_t cx = centreX + o.dx;
      const int64_t cy = centreY + o.dy;
      if (cx < 0 || cy < 0 || cx > maxX || cy > maxY) continue;
      const int64_t c = cost(cx, cy);
      if (c < best.cost) {
        best = {c, cx, cy};
        kind = Kind(o);
        last = o;
        if (i == 0 && best.cost < kNearMatch) best.cost = 0;
        if (c == 0) break;
      }
    }
    if (kind == 0) return best;
    centreX = best.x;
    centreY = best.y;
    first = 1;
  }
}

// The nine candidates of one colour diamond step, the centre first; and the
// four one-pixel moves that refine a colour search whose step kept its centre.
inline constexpr Offset kColourPattern[9] = {{0, 0}, {-2, 0},  {2, 0},  {-1, 1}, {1, 1},
                                             {0, 2}, {-1, -1}, {1, -1}, {0, -2}};
inline constexpr Offset kRefinePattern[4] = {{-1, 0}, {1, 0}, {0, 1}, {0, -1}};

inline constexpr int64_t kColourBlock = 8;                      // pixels and lines
inline constexpr int64_t kColourBlockBytes = 3 * kColourBlock;  // bytes of one block line
inline constexpr int64_t kColourWorstCost = kColourBlock * kColourBlock * 3 * 255;

// Diamond search of the colour kernel for the block at byte column bx, line by.
// Positions are in bytes across; a candidate is compared only when its block
// lies strictly inside the frame's left and top edges and leaves room for a
// whole block to its right and below. cost(cx, cy) is the match cost there.
template <class Cost>
Match ColourSearch(int64_t bx, int64_t by, int64_t lineBytes, int64_t lines, Cost&& cost) {
  auto valid = [&](int64_t cx, int64_t cy) {
    return cx > 0 && cy > 0 && cx < lineBytes - kColourBlockBytes && cy < lines - kColourBlock;
  };
  Match best{kColourWorstCost, bx, by};
  Offset last{0, 0};
  int first = 0;
  int64_t centreX = bx;
  int64_t centreY = by;
  for (;;) {
    int32_t kind = 0;
    const int32_t limit = StepLimit(last);
    for (int i = first; i < 9; ++i) {
      const Offset o = kColourPattern[i];
      if (!WithinLimit(o, last, limit)) continue;
      const int64_t cx = centreX + 3 * o.dx;
      const int64_t cy = centreY + o.dy;
      if (!valid(cx, cy)) continue;
      const int64_t c = cost(cx, cy);
      if (c < best.cost) {
        best = {c, cx, cy};
        kind = Kind(o);
        last = o;
        if (i == 0 && best.cost < kNearMatch) best.cost = 0;
        if (best.cost == 0) break;
      }
    }
    centreX = best.x;
    centreY = best.y;
    if (kind == 0) break;
    first = 1;
  }
  for (const Offset o : kRefinePattern) {
    const int64_t cx = centreX + 3 * o.dx;
    const int64_t cy = centreY + o.dy;
    if (!valid(cx, cy)) continue;
    const int64_t c = cost(cx, cy);
    if (c < best.cost) best = {c, cx, cy};
  }
  return best;
}

// One band of the grey kernel: the blocks whose top line is y.
struct GreyBand {
  const uint8_t* now;     // the new grey frame
  const uint8_t* before;  // the previous grey frame, matched against
  int64_t width;          // pixels per line of both frames (their stride)
  int64_t height;         // lines of both frames
  int64_t y;              // the band's first line
  int64_t block;          // block side in pixels, at most width and height
  int64_t worst;          // the initial best cost of a search
  // The depth map the band's blocks will carry from (modes 1 and 2), or
  // null: the searches ask for its lines around the band ahead of use, with
  // the previous frame's lines they read themselves.
  const uint8_t* map = nullptr;
  int64_t mapStride = 0;
};

// The blocks of a band whose depth is carried from the previous depth map
// (modes 1 and 2), written line by line into the picture.
struct CarriedBand {
  uint8_t* picture;  // the band's first line
  int64_t stride;    // bytes per picture line
  const uint8_t* map;
  int64_t mapStride;
  const Match* matches;   // block col carries the map block at matches[col]
  const uint8_t* depths;  // the new depth of each block, blended in mode 1
  int64_t columns;
  int64_t block;
  uint8_t* scratch;  // room for 2 * columns * block bytes
};

// Grey block search.
struct GreySearchKernels {
  CpuLevel level;
  // Sum of absolute differences of 8 bytes x 4 lines; both blocks share one
  // line stride.
  uint32_t (*blockCost)(const uint8_t* a, const uint8_t* b, size_t stride);
  // GreySearch for the blocks in columns first..end-1 of a band, block side
  // apart; matches[col] receives the match of column col (a version may also
  // store the matches of other columns of the band, searched again). The cost
  // compares the block's top-left 8 x 4 pixels.
  void (*searchBand)(const GreyBand& band, int64_t first, int64_t end, Match* matches);
};

// The blue byte of each of n 24-bit pixels, into n bytes.
struct BlueCopyKernels {
  CpuLevel level;
  void (*copyBlue)(const uint8_t* src, uint8_t* dst, int64_t n);
};

// The scene depth's pictures at half size.
struct HalfSizeKernels {
  CpuLevel level;
  // out[i] is the rounded mean of blue + 2 green + red over the four pixels
  // 2i and 2i + 1 of lines a and b, (sum + 8) >> 4, for i < n (a and b hold
  // 2n pixels).
  void (*halveLines)(const uint8_t* a, const uint8_t* b, uint8_t* out, int64_t n);
  // Every byte of pixels 2i and 2i + 1 of line out receives depth[i], for
  // i < n (out holds 2n pixels).
  void (*doubleLine)(const uint8_t* depth, uint8_t* out, int64_t n);
  // Sum of absolute differences of two 8 x 8 grey blocks sharing a stride.
  uint32_t (*blockCost8)(const uint8_t* a, const uint8_t* b, size_t stride);
};

// Writing carried depth: each value v of the map becomes a grey pixel of
// three equal bytes, in mode 1 (blend) round(3v / 4) + add, in mode 2 v.
struct DepthWriteKernels {
  CpuLevel level;
  // Every line of the band; blend selects mode 1.
  void (*carryBand)(const CarriedBand& band, bool blend);
  // n values from src into n pixels at dst.
  void (*expandRow)(const uint8_t* src, uint8_t* dst, int64_t n, bool blend, uint8_t add);
};

// The pictures of the colour kernel: cur's blocks are matched against prev.
struct ColourFrames {
  const uint8_t* cur;
  const uint8_t* prev;
  int64_t stride;     // bytes per line of both
  int64_t lineBytes;  // bytes of pixels per line
  int64_t lines;
};

// The colour kernel's block cost and search.
struct ColourCostKernels {
  CpuLevel level;
  // Sum of absolute differences of 24 bytes x 8 lines; both blocks share one
  // line stride.
  uint32_t (*blockCost)(const uint8_t* a, const uint8_t* b, size_t stride);
  // ColourSearch of the block at byte column bx, line by, with blockCost.
  Match (*searchBlock)(const ColourFrames& frames, int64_t bx, int64_t by);
};

// The kernels of a level; a level this processor lacks gives the highest
// level below it that it has.
const GreySearchKernels& GreySearchKernelsFor(CpuLevel level);
const BlueCopyKernels& BlueCopyKernelsFor(CpuLevel level);
const HalfSizeKernels& HalfSizeKernelsFor(CpuLevel level);
const DepthWriteKernels& DepthWriteKernelsFor(CpuLevel level);
const ColourCostKernels& ColourCostKernelsFor(CpuLevel level);

// round(3v / 4) and round(v / 4), halves to even: the two roundings of the
// mode-1 blend, 0.75 * carried + 0.25 * depth, each rounded on its own.
constexpr int32_t ThreeQuarters(int32_t v) {
  const int32_t t = 3 * v;
  return (t + 1 + ((t >> 2) & 1)) >> 2;
}
constexpr int32_t Quarter(int32_t v) { return (v + 1 + ((v >> 2) & 1)) >> 2; }

namespace plain {
uint32_t GreyBlockCost(const uint8_t* a, const uint8_t* b, size_t stride);
void SearchBand(const GreyBand& band, int64_t first, int64_t end, Match* matches);
void CopyBlue(const uint8_t* src, uint8_t* dst, int64_t n);
void HalveLines(const uint8_t* a, const uint8_t* b, uint8_t* out, int64_t n);
void DoubleLine(const uint8_t* depth, uint8_t* out, int64_t n);
uint32_t BlockCost8(const uint8_t* a, const uint8_t* b, size_t stride);
void CarryBand(const CarriedBand& band, bool blend);
void ExpandRow(const uint8_t* src, uint8_t* dst, int64_t n, bool blend, uint8_t add);
uint32_t ColourBlockCost(const uint8_t* a, const uint8_t* b, size_t stride);
Match SearchColourBlock(const ColourFrames& frames, int64_t bx, int64_t by);
}  // namespace plain

#ifdef DIOPTRIX_X86_KERNELS
namespace ssse3 {
uint32_t GreyBlockCost(const uint8_t* a, const uint8_t* b, size_t stride);
void SearchBand(const GreyBand& band, int64_t first, int64_t end, Match* matches);
void CopyBlue(const uint8_t* src, uint8_t* dst, int64_t n);
void HalveLines(const uint8_t* a, const uint8_t* b, uint8_t* out, int64_t n);
void DoubleLine(const uint8_t* depth, uint8_t* out, int64_t n);
uint32_t BlockCost8(const uint8_t* a, const uint8_t* b, size_t stride);
void CarryBand(const CarriedBand& band, bool blend);
void ExpandRow(const uint8_t* src, uint8_t* dst, int64_t n, bool blend, uint8_t add);
uint32_t ColourBlockCost(const uint8_t* a, const uint8_t* b, size_t stride);
Match SearchColourBlock(const ColourFrames& frames, int64_t bx, int64_t by);
}  // namespace ssse3

namespace avx2 {
void SearchBand(const GreyBand& band, int64_t first, int64_t end, Match* matches);
void CopyBlue(const uint8_t* src, uint8_t* dst, int64_t n);
void CarryBand(const CarriedBand& band, bool blend);
}  // namespace avx2
#endif

}  // namespace dioptrix::blocks::depth_kernels
