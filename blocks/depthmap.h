// Depth from block motion: the two depth-map kernels of the blocks library and
// the state they keep from one frame to the next.
//
// The colour kernel matches 8 x 8-pixel blocks of the current frame against
// the previous frame in full colour; the grey kernel matches (8 * scale)-pixel
// blocks on the blue channel only, against its own copy of the previous frame.
// Each block's motion length, scaled by an adaptive gain, becomes its depth.
//
// Every kernel comes twice: a plain reference that follows the algorithm step
// by step, and the version the library runs (vector block costs and
// searches, tight copy and fill loops; blocks/depth_kernels.h holds its inner
// kernels, one version per processor level). Tests compare the two byte for
// byte at every level this processor has.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/cpu.h"

namespace dioptrix::blocks {

// The grey kernel's one diagnostic, for a mode other than 0, 1 or 2.
inline constexpr char kInvalidActionMessage[] = "Error in CDepthmap_Fast. Invalid action.";

// Bytes per scan line of a 24-bit picture w pixels wide (padded to 4 bytes).
constexpr int64_t PictureStride(int32_t w) { return (3 * int64_t{w} + 3) & ~int64_t{3}; }

// True when w and h are at least 1 and both the w x h picture and its
// (w + 1) x (h + 1) depth map fit the library's 32-bit byte counts. The
// kernels do nothing for other sizes.
constexpr bool FrameSizeUsable(int32_t w, int32_t h) {
  if (w < 1 || h < 1) return false;
  constexpr int64_t kMaxBytes = 0xFFFFFFFF;
  // Divisions rather than products, which could overflow for the largest sides.
  return h <= kMaxBytes / PictureStride(w) && int64_t{h} + 1 <= kMaxBytes / (int64_t{w} + 1);
}

// The adaptive depth gain: a ring of the last frames' motion measures. Each
// frame stores one measure and advances the write index (51 slots, wrapping
// from 50 to 0); the gain is the rounded mean of slots 0 to 49 and is used by
// the following frame.
struct GainRing {
  static constexpr int32_t kSlots = 51;
  static constexpr int32_t kAveraged = 50;

  std::array<int32_t, kSlots> slots{};
  int32_t writeIndex = 0;
  int32_t gain = 0;

  void Add(int32_t measure);
  bool operator==(const GainRing&) const = default;
};

// What the colour kernel keeps between calls.
struct ColourDepthState {
  GainRing ring;
  bool operator==(const ColourDepthState&) const = default;
};

// What the grey kernel keeps between calls: its ring, and the last two grey
// frames (one byte per pixel, row stride width). latest is the buffer that
// received the most recent frame.
struct GreyDepthState {
  GainRing ring;
  std::array<std::vector<uint8_t>, 2> grey;
  int32_t width = 0;
  int32_t height = 0;
  int32_t latest = 0;
  bool operator==(const GreyDepthState&) const = default;
};

// Colour kernel. cur and prev are pictures of w x h pixels; cur receives the
// depth image block by block; dmap is the previous depth map ((w + 1) x (h + 1)
// bytes), read by modes 1 and 2. cost and pan receive the frame statistics
// when not null. A null cur or prev, or a size FrameSizeUsable rejects, does
// nothing; a null dmap leaves the blocks of modes 1 and 2 unchanged.
void ColourDepthMapReference(ColourDepthState& state, uint8_t* cur, const uint8_t* prev,
                             double* cost, int32_t mode, const uint8_t* dmap, int32_t w, int32_t h,
                             double* pan);
void ColourDepthMap(ColourDepthState& state, uint8_t* cur, const uint8_t* prev, double* cost,
                    int32_t mode, const uint8_t* dmap, int32_t w, int32_t h, double* pan);
// The same with the inner kernels of one processor level (a level this
// processor lacks gives the highest one below it that it has).
void ColourDepthMap(ColourDepthState& state, uint8_t* cur, const uint8_t* prev, double* cost,
                    int32_t mode, const uint8_t* dmap, int32_t w, int32_t h, double* pan,
                    CpuLevel level);

// Grey kernel. The blue byte of every pixel of cur goes into the grey buffer
// the last call did not fill; blocks are matched against the other one. When
// w or h differ from the buffers' size, both are re-made zeroed at the new
// size, as on a first call. A null cur, a size FrameSizeUsable rejects, or
// scale below 1 does nothing. Returns true when mode was invalid and at least one block was left
// unchanged: the caller shows kInvalidActionMessage once for the call.
bool GreyDepthMapReference(GreyDepthState& state, uint8_t* cur, double* cost, int32_t mode,
                           const uint8_t* dmap, int32_t w, int32_t h, double* pan, int32_t scale);
bool GreyDepthMap(GreyDepthState& state, uint8_t* cur, double* cost, int32_t mode,
                  const uint8_t* dmap, int32_t w, int32_t h, double* pan, int32_t scale);
bool GreyDepthMap(GreyDepthState& state, uint8_t* cur, double* cost, int32_t mode,
                  const uint8_t* dmap, int32_t w, int32_t h, double* pan, int32_t scale,
                  CpuLevel level);

// Block match costs: sums of absolute byte differences. The grey one covers 8
// bytes x 4 lines, the colour one 24 bytes x 8 lines; both pointers share one
// line stride. The fast ones run this processor's best level.
uint32_t GreyBlockCostReference(const uint8_t* a, const uint8_t* b, size_t stride);
uint32_t GreyBlockCost(const uint8_t* a, const uint8_t* b, size_t stride);
uint32_t ColourBlockCostReference(const uint8_t* a, const uint8_t* b, size_t stride);
uint32_t ColourBlockCost(const uint8_t* a, const uint8_t* b, size_t stride);

}  // namespace dioptrix::blocks
