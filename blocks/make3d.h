// View synthesis kernels of the blocks library: the second eye's view is made
// by shifting every source pixel sideways by its depth, in whole pixels, and
// filling the holes left behind from a window to their right.
//
// Two versions give identical bytes: Make3DReference follows the algorithm
// step by step; Make3DFast is what the exports call. Tests compare both.
// Make3DFast comes in versions per processor level (platform/cpu.h) and runs
// the best one of this processor; every level gives the same bytes. Plain
// shifts pixel by pixel; SSSE3 also gathers depths and finds holes with byte
// shuffles; AVX-512 shifts each run of pixels with one shift as one masked
// 64-byte load and store (AVX2 runs the SSSE3 version).
#pragma once

#include <cstdint>

#include "platform/cpu.h"

namespace dioptrix::blocks {

// Which bytes of each pixel the kernel reads and writes: all three (blue,
// green, red) or only the first, for grey pictures.
enum class PixelBytes { All, FirstOnly };

// out: H scan lines of S = (3W + 3) & ~3 bytes; on entry the first byte of each
// pixel holds its depth, on return out holds the synthesised view.
// src: the source picture, same layout. dmap: (H + 1) lines of (W + 1) bytes;
// on return element (x, y) holds the depth taken from out.
// gain: bytes of shift per unit of inverted depth (255 - depth); offset: a
// constant shift in bytes to the left; radius: width in pixels of the hole
// fill window (0 or less: no filling).
//
// Nothing is read or written when a pointer is null, W or H is below 1, or a
// buffer's byte count does not fit in 32 bits. Window positions beyond the
// last pixel of a line count as zeros, so any radius stays inside the picture.
void Make3DReference(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h,
                     float gain, int32_t offset, int32_t radius, PixelBytes bytes);
void Make3DFast(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h, float gain,
                int32_t offset, int32_t radius, PixelBytes bytes);

// The fast kernel of one processor level, with Make3DFast's arguments.
struct Make3DKernels {
  CpuLevel level;
  void (*make3d)(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h, float gain,
                 int32_t offset, int32_t radius, PixelBytes bytes);
};

// The kernel of a level; a level without a version of its own (or that this
// processor lacks) gives the highest level below it that has one.
const Make3DKernels& Make3DKernelsFor(CpuLevel level);

}  // namespace dioptrix::blocks
