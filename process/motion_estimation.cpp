// Block-based motion estimation of the engine: one motion vector per 8 x 8
// block between the previous frame (PixelArray) and the current one by a
// three-step search, the frame predicted from those vectors, and a depth
// image whose brightness grows with a block's distance from the dominant
// (background) motion.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/clock.h"
#include "process/image_process.h"

namespace dioptrix {

namespace {

constexpr int32_t kBlockPixels = 8;
constexpr int32_t kBlockBytes = 3 * kBlockPixels;  // 24 byte columns
constexpr int32_t kBlockLines = 8;
// Bytes of each block line that the matching compares.
constexpr int32_t kMatchBytes = 22;
// A block whose cost is below this counts as matched: the search stops.
constexpr int64_t kGoodMatch = 400;
// Line steps of the three-step search; byte-column steps are three times as
// large, so a step moves by whole pixels.
constexpr std::array<int32_t, 4> kSearchSteps = {7, 5, 3, 1};
// Motion distances are counted in bins 0..63; larger ones share the last.
constexpr int32_t kDistanceBins = 64;

bool HasPixels(const cDIBSection& pic) {
  return !pic.Empty() && pic.Width() > 0 && pic.Height() > 0;
}

// Sum of absolute differences between the 22 x 8 bytes of pic at (bx, by)
// and those of prev at (cx, cy). Callers keep both inside their arrays.
int64_t BlockCost(const cDIBSection& pic, const Plane<int32_t>& prev, int32_t bx, int32_t by,
                  int32_t cx, int32_t cy) {
  int64_t sum = 0;
  for (int32_t j = 0; j < kBlockLines; ++j) {
    const uint8_t* a = pic.ScanLine(by + j) + bx;
    const int32_t* b = prev.Row(cy + j) + cx;
    // 64-bit differences: the caller's array may hold any 32-bit values.
    for (int32_t i = 0; i < kMatchBytes; ++i) sum += std::abs(int64_t{a[i]} - b[i]);
  }
  return sum;
}

}  // namespace

void cImageProcessDIB::GetBlockMove(const cDIBSection& pic, int32_t& total) {
  total = 0;
  const int32_t w = HasPixels(pic) ? pic.Width() : 0;
  const int32_t h = HasPixels(pic) ? pic.Height() : 0;
  const Plane<int32_t>& prev = arrays_.PixelArray;
  if (w > 0 && (prev.Cols() < 3 * int64_t{w} || prev.Rows() < h)) RaiseSubscriptOutOfRange();

  const int32_t blockCols = w / kBlockPixels, blockRows = h / kBlockLines;
  Plane<MotionVector>& motion = arrays_.MotionArray;
  motion.Redim(blockCols, blockRows);

  // A candidate's 22 x 8 bytes must lie inside the previous frame, and byte
  // column 0 and line 0 are never matched.
  const int64_t columnLimit = 3 * int64_t{w} - kMatchBytes;
  const int64_t lineLimit = int64_t{h} - kBlockLines;
  auto valid = [&](int64_t cx, int64_t cy) {
    return cx >= 1 && cy >= 1 && cx < columnLimit && cy < lineLimit;
  };

  int64_t sum = 0;
  for (int32_t row = 0; row < blockRows; ++row) {
    for (int32_t col = 0; col < blockCols; ++col) {
      const int32_t bx = col * kBlockBytes, by = row * kBlockLines;
      int64_t best = BlockCost(pic, prev, bx, by, bx, by);
      int32_t px = bx, py = by;
      for (int32_t s : kSearchSteps) {
        if (best < kGoodMatch) break;
        // Every candidate of a step is taken around the step's starting point.
        const int32_t centreX = px, centreY = py;
        for (int32_t dx = -1; dx <= 1; ++dx) {
          for (int32_t dy = -1; dy <= 1; ++dy) {
            const int32_t cx = centreX + 3 * s * dx, cy = centreY + s * dy;
            if (!valid(cx, cy)) continue;
            const int64_t cost = BlockCost(pic, prev, bx, by, cx, cy);
            if (cost < best) {
              best = cost;
              px = cx;
              py = cy;
            }
          }
        }
      }
      motion(col, row) = MotionVector{px, py};
      sum += best;
      if (sum > std::numeric_limits<int32_t>::max()) RaiseOverflow();
    }
  }
  total = static_cast<int32_t>(sum);
  Complete(MillisecondClock());
}

void cImageProcessDIB::UpdateDepth(cDIBSection& pic) {
  if (!HasPixels(pic)) return;
  const int32_t blockCols = pic.Width() / kBlockPixels, blockRows = pic.Height() / kBlockLines;
  if (blockCols == 0 || blockRows == 0) return;
  const Plane<MotionVector>& motion = arrays_.MotionArray;
  const Plane<int32_t>& prev = arrays_.PixelArray;
  if (motion.Cols() < blockCols || motion.Rows() < blockRows) RaiseSubscriptOutOfRange();

  for (int32_t row = 0; row < blockRows; ++row) {
    for (int32_t col = 0; col < blockCols; ++col) {
      const MotionVector m = motion(col, row);
      // All 24 bytes are copied, so a match at the right edge also takes the
      // spare column of PixelArray.
      if (m.x < 0 || m.y < 0 || int64_t{m.x} + kBlockBytes > prev.Cols() ||
          int64_t{m.y} + kBlockLines > prev.Rows())
        RaiseSubscriptOutOfRange();
      for (int32_t j = 0; j < kBlockLines; ++j) {
        const int32_t* from = prev.Row(m.y + j) + m.x;
        uint8_t* to = pic.ScanLine(row * kBlockLines + j) + col * kBlockBytes;
        for (int32_t i = 0; i < kBlockBytes; ++i) {
          if (from[i] < 0 || from[i] > 255) RaiseOverflow();
          to[i] = static_cast<uint8_t>(from[i]);
        }
      }
    }
  }
}

void cImageProcessDIB::GetMotionDepthMap(cDIBSection& pic, int16_t blend) {
  if (!HasPixels(pic)) return;
  const int32_t w = pic.Width(), h = pic.Height();
  const int32_t blockCols = w / kBlockPixels, blockRows = h / kBlockLines;
  const Plane<MotionVector>& motion = arrays_.MotionArray;
  if (blockCols > 0 && blockRows > 0 && (motion.Cols() < blockCols || motion.Rows() < blockRows))
    RaiseSubscriptOutOfRange();

  // Each block's motion length in pixels, spread over its 8 x 8 pixels; the
  // pixels right of and above the last whole block keep 0.
  Plane<int32_t> distance;
  distance.Redim(w, h);
  std::array<int32_t, kDistanceBins> histogram{};
  int32_t maxDistance = 0;
  for (int32_t row = 0; row < blockRows; ++row) {
    for (int32_t col = 0; col < blockCols; ++col) {
      const MotionVector m = motion(col, row);
      const int32_t x = col * kBlockPixels, y = row * kBlockLines;
      const double dx = std::nearbyint(m.x / 3.0) - x;
      const double dy = static_cast<double>(m.y) - y;
      const double length = std::nearbyint(std::sqrt(dx * dx + dy * dy));
      if (length > std::numeric_limits<int32_t>::max()) RaiseOverflow();
      const auto dist = static_cast<int32_t>(length);
      for (int32_t j = 0; j < kBlockLines; ++j)
        std::fill_n(distance.Row(y + j) + x, kBlockPixels, dist);
      maxDistance = std::max(maxDistance, dist);
      ++histogram[std::min(dist, kDistanceBins - 1)];
    }
  }
  // The dominant motion: the first of the fullest bins.
  const auto mode = static_cast<int32_t>(std::max_element(histogram.begin(), histogram.end()) -
                                         histogram.begin());
  const double k = 300.0 / (static_cast<double>(maxDistance) + 1.0);

  for (int32_t y = 0; y < h; ++y) {
    const int32_t* d = distance.Row(y);
    uint8_t* line = pic.ScanLine(y);
    for (int32_t x = 0; x < w; ++x) {
      const int64_t away = std::abs(int64_t{d[x]} - mode);
      const double depth =
          std::min(255.0, std::nearbyint(static_cast<double>(away) * 255.0 / 23.0));
      uint8_t* p = line + 3 * static_cast<size_t>(x);
      if (blend >= 3) {
        // A running blend with the picture: the result lies between the two.
        for (int32_t c = 0; c < 3; ++c)
          p[c] =
              static_cast<uint8_t>(std::min(255.0, std::nearbyint((p[c] * k + depth) / (k + 1.0))));
      } else {
        // k < 1 once the largest motion passes 299; the quotient is limited
        // to the brightest depth.
        const auto v = static_cast<uint8_t>(std::min(255.0, std::nearbyint(depth / k)));
        p[0] = p[1] = p[2] = v;
      }
    }
  }
}

}  // namespace dioptrix
