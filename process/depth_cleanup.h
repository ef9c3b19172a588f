// The block smoothing behind cImageProcessDIB::SmoothDMAP, in its two forms:
// a plain version that follows the algorithm step by step, and the fast
// version the engine uses on every converted frame. Both give the same bytes.
#pragma once

#include <cstdint>

#include "image/dib_section.h"

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

}  // namespace dioptrix
