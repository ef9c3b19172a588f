// The engine's own stereo view synthesis behind cImageProcessDIB::Make3D, in
// its two forms: a plain version that follows the algorithm step by step with
// its eight float planes, and the fast version the engine uses. Both give the
// same bytes and raise the same errors.
//
// Every source pixel of the colour array moves sideways by
//   n = round(((x3 - offset) + d * gain) / ((x3 - d) * perspective + 1)),
// in bytes, where x3 = 3x and d = 255 - depth (the first byte of the pixel in
// the depth array); it lands at the real pixel position p = n / 3, split
// between pixels Int(p) and Int(p) + 1 by the fraction of p. Positions with
// p <= 0 or p >= W - 2 are dropped; so is a source pixel whose denominator is 0
// (its position is no number), which continues what a denominator near 0 does:
// the shift grows without bound and lands off the picture.
//
// holeMode 0 writes the placed pixels only (unreached pixels are black);
// another value also accumulates each source's share at its right neighbour
// and fills the pixels no source reached from covered pixels nearby, weighted
// by the square of their inverted depth and their distance; a value above 0
// then smooths the output where the depth of neighbouring pixels jumps by more
// than 10. Red bytes that were placed have their lowest bit set.
//
// Precision: the work planes are single-precision floats and every expression
// is evaluated in double precision before it is stored into them; results are
// rounded to nearest, ties to even.
#pragma once

#include <cstdint>
#include <vector>

#include "image/dib_section.h"
#include "process/plane.h"

namespace dioptrix {

// The fast form's work memory, kept between calls so that frames of the same
// size allocate nothing.
struct Make3DWorkspace {
  // Colour of every covered byte as a hole sample gives it: first colour /
  // (first weight + 1e-7), 3W x H. Bytes of pixels no source reached are
  // never read and keep whatever an earlier call left.
  std::vector<double> sampleColour;
  std::vector<float> depth;           // squared average inverted depth of the first source, W x H
  std::vector<uint8_t> covered;       // 1 where some source reached the pixel, W x H
  std::vector<float> rowColour;       // colour sums of one scan line, 3W
  std::vector<float> rowWeight;       // their weights, 3W
  std::vector<float> rowFirstColour;  // colour * weight of the first source, 3W
  std::vector<float> rowFirstWeight;  // its weights, 3W
  std::vector<float> rowDepthWeight;  // weights of the depth sums of one scan line, W
  std::vector<int32_t> nextCovered;   // per pixel of a line: the first covered pixel at or after it
  // Distance divisors sqrt(dx^2 + dy^2 + 0.1) of the hole samples, one table
  // per search distance r (empty until first needed); they depend on r only.
  std::vector<std::vector<double>> distances;
};

// Writes the synthesised view into pic (whose size gives W and H) from the
// colours in `colours` and the depth image in `depth`, both in the pixel
// array layout (byte column, scan line). The last pixel's second and third
// bytes keep their values.
//
// Raises "Object not set" for an empty picture, "Invalid procedure call or
// argument" for a picture narrower or lower than 3 pixels, "Subscript out of
// range" when an array does not hold the byte columns 0..3W-1 and the lines
// 0..H-1, and "Overflow" when a result is not a byte (only arrays holding
// values outside 0..255 can cause that).
void Make3DPlain(cDIBSection& pic, const Plane<int32_t>& colours, const Plane<int32_t>& depth,
                 double gain, double perspective, int16_t offset, int32_t holeMode);
void Make3DFast(cDIBSection& pic, const Plane<int32_t>& colours, const Plane<int32_t>& depth,
                double gain, double perspective, int16_t offset, int32_t holeMode,
                Make3DWorkspace& work);

}  // namespace dioptrix
