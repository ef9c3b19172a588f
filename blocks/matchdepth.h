// Aligns the vertical edges of a block-wise depth image with the colour edges
// of its frame: every horizontal depth step of more than 20 is moved onto the
// strongest colour edge within ten pixels by repainting the pixels between.
#pragma once

#include <cstdint>

namespace dioptrix::blocks {

// depth and colour are 24-bit pictures of w x h pixels; only the first byte of
// a depth pixel is read, all three are written. A null picture or a size
// FrameSizeUsable (depthmap.h) rejects does nothing.
void MatchDepthMap(uint8_t* depth, const uint8_t* colour, int32_t w, int32_t h);

}  // namespace dioptrix::blocks
