#include "blocks/matchdepth.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "blocks/depthmap.h"

namespace dioptrix::blocks {
namespace {

constexpr int32_t kStepThreshold = 20;  // depth difference that counts as a step
constexpr int32_t kSearchRange = 10;    // pixels either side of the step
constexpr int64_t kWindowLines = 2;     // colour lines above and below

// Colour step between pixel x - 1 and pixel x (x3 = 3x) over the five lines
// around line y, all three channels.
int32_t ColourStep(const uint8_t* colour, int64_t stride, int64_t x3, int64_t y) {
  int32_t cost = 0;
  for (int64_t j = -kWindowLines; j <= kWindowLines; ++j) {
    const uint8_t* line = colour + (y + j) * stride;
    for (int64_t c = 0; c < 3; ++c) cost += std::abs(line[x3 - 3 + c] - line[x3 + c]);
  }
  return cost;
}

void Paint(uint8_t* line, int64_t x3, uint8_t value) { std::memset(line + x3, value, 3); }

}  // namespace

void MatchDepthMap(uint8_t* depth, const uint8_t* colour, int32_t w, int32_t h) {
  if (!depth || !colour || !FrameSizeUsable(w, h)) return;
  const int64_t stride = PictureStride(w);
  const int64_t lastX3 = 3 * (int64_t{w} - 2);
  const int64_t rightLimit = 3 * (int64_t{w} - 1);
  for (int64_t y = kWindowLines; y <= int64_t{h} - 1 - kWindowLines; ++y) {
    uint8_t* line = depth + y * stride;
    int64_t x3 = 6;
    while (x3 <= lastX3) {
      const uint8_t a = line[x3 - 6];
      const uint8_t b = line[x3];
      if (std::abs(b - a) <= kStepThreshold) {
        x3 += 3;
        continue;
      }
      // The strongest colour edge near the step; a distant edge must be
      // proportionally stronger, and ties keep the leftmost.
      float bestScore = 0.0f;
      int32_t bestK = 0;
      for (int32_t k = -kSearchRange; k <= kSearchRange; ++k) {
        const int64_t edge = x3 + 3 * k;
        if (!(edge - 3 > 0 && edge < rightLimit)) continue;
        const int32_t cost = ColourStep(colour, stride, edge, y);
        const float score = k != 0 ? static_cast<float>(cost) / static_cast<float>(std::abs(k))
                                   : static_cast<float>(cost);
        if (score > bestScore) {
          bestScore = score;
          bestK = k;
        }
      }
      if (bestK < 0) {
        for (int32_t m = 0; m >= bestK; --m) Paint(line, x3 + 3 * m, b);
        x3 += 3;
      } else if (bestK > 0) {
        // A step up to the right moves two pixels less far.
        if (a < b) bestK = std::max(bestK - 2, 0);
        for (int32_t m = 0; m <= bestK; ++m) Paint(line, x3 + 3 * m, a);
        x3 += 3 * (int64_t{bestK} + 1) + 9;
      } else {
        x3 += 3;
      }
    }
  }
}

}  // namespace dioptrix::blocks
