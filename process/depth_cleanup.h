// The block smoothing behind cImageProcessDIB::SmoothDMAP, in its two forms:
// a plain version that follows the algorithm step by step, and the fast
// version the engine uses on every converted frame. Both give the same bytes.
#pragma once

#include <cstdint>

#include "image/dib_section.h"
#include "platform/cpu.h"

namespace dioptrix {

// Multi-scale median across block borders. Passes run with s = blockSize,
// then s := round(s / 2) (ties to even) while s > 1; each pass replaces every
// pixel by the median of its own first byte, the first byte of its
// horizontal partner (h = round(s / 2) pixels away, towards the nearer block
// border) and of its vertical partner, and writes that value into all three
// bytes. A partner off the image is the pixel itself. A block size below 1
// runs no pass.
void SmoothDepthReference(cDIBSection& pic, int32_t blockSize);
void SmoothDepthFast(cDIBSection& pic, int32_t blockSize);

// The line kernels of the fast form for one processor level. w pixels each;
// a grey line has one byte per pixel, a picture line three.
struct DepthLineKernels {
  CpuLevel level;
  // The first byte of every pixel of a picture line into a grey line.
  void (*extract)(const uint8_t* line, int64_t w, uint8_t* grey);
  // Every grey value into the three bytes of its pixel.
  void (*expand)(const uint8_t* grey, int64_t w, uint8_t* line);
  // One line of a smoothing pass on grey lines: out[x] = median of row[x],
  // col[x] (the vertical partner's line) and the horizontal partner, h pixels
  // to the left where mask[x] is 0xFF, to the right where it is 0 (the pixel
  // itself when that lies off the line).
  void (*smooth)(const uint8_t* row, const uint8_t* col, const uint8_t* mask, int64_t h, int64_t w,
                 uint8_t* out);
};

// The kernels of a level; a level this processor lacks, or that has no
// versions of its own, gives the highest level below it that has.
const DepthLineKernels& DepthLineKernelsFor(CpuLevel level);

// The fast form with the line kernels of a given level.
void SmoothDepthFast(cDIBSection& pic, int32_t blockSize, const DepthLineKernels& kernels);

}  // namespace dioptrix
