#include "blocks/scene_depth.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>

#include "blocks/depth_kernels.h"
#include "blocks/depthmap.h"

namespace dioptrix::blocks {
namespace {

// Block side on the reduced grey picture, in its pixels.
constexpr int32_t kBlock = 8;
// The reduced picture is at most about this wide: a 1080p frame is matched at
// half size, where 8 x 8 blocks cover 16 x 16 pixels of the frame.
constexpr int32_t kGreyWidth = 960;
// Flat depth, shown where nothing is known.
constexpr float kFlat = 128.0f;
// Step refinement: at most this many one-pixel moves from the best candidate.
constexpr int32_t kRefineSteps = 32;
// A block whose grey steps sum below this per pixel has too little texture
// for its motion to be trusted.
constexpr uint32_t kTextureStep = 2;
// A cut: the matched blocks differ by more than this per pixel, and by more
// than kCutRatio times the running mean.
constexpr float kCutCost = 12.0f;
constexpr float kCutRatio = 3.0f;
// The nearness range: its low end is this share of the blocks, its high end
// the complement of kHighShare.
constexpr double kLowShare = 0.05;
constexpr double kHighShare = 0.005;
// A range below kMinRange reduced pixels of motion, plus kRelativeRange times
// the slowest motion, carries no depth; it gains full weight over kRangeRamp
// more. The relative part keeps a camera that turns (everything moves alike,
// with some noise) from getting noise for depth.
constexpr float kMinRange = 0.3f;
constexpr float kRelativeRange = 0.15f;
constexpr float kRangeRamp = 0.7f;
// Weight of the new frame's range and depth against what was carried.
constexpr float kRangeFollow = 0.3f;
constexpr float kDepthFollow = 0.4f;
// The global shift is looked for up to this far, in reduced pixels, first in
// steps of kCoarse.
constexpr int32_t kProfileReach = 96;
constexpr int32_t kCoarse = 4;
// Grey difference at which a block's weight in a pixel's depth halves.
constexpr float kEdgeGrey = 14.0f;
// Blocks without texture take the nearness of one with texture up to this
// many blocks away; further ones are put at the back (kBackground).
constexpr int32_t kFillReach = 3;
constexpr float kBackground = -2.0f;
// Four blocks whose depths differ less than this are interpolated only.
constexpr float kEvenDepth = 6.0f;

int32_t ReductionFactor(int32_t w) { return std::max(1, w / kGreyWidth); }

// Nearest whole pixel of a motion (halves away from zero); motions stay far
// inside the int32_t range.
int32_t Round(float v) { return static_cast<int32_t>(v >= 0 ? v + 0.5f : v - 0.5f); }

// Grey of the reduced picture: (blue + 2 green + red) / 4 averaged over each
// factor x factor square of frame pixels, rounded.
void MakeGrey(const uint8_t* cur, int32_t w, int32_t factor, int32_t gw, int32_t gh,
              uint8_t* grey) {
  static const auto halve = depth_kernels::HalfSizeKernelsFor(BestCpuLevel()).halveLines;
  const int64_t stride = PictureStride(w);
  const uint32_t divisor = 4u * static_cast<uint32_t>(factor * factor);
  for (int32_t y = 0; y < gh; ++y) {
    uint8_t* row = grey + int64_t{y} * gw;
    if (factor == 2) {
      const uint8_t* a = cur + int64_t{2 * y} * stride;
      halve(a, a + stride, row, gw);
      continue;
    }
    for (int32_t x = 0; x < gw; ++x) {
      uint32_t sum = 0;
      for (int32_t j = 0; j < factor; ++j) {
        const uint8_t* p = cur + int64_t{y * factor + j} * stride + 3 * int64_t{x} * factor;
        for (int32_t i = 0; i < factor; ++i, p += 3) sum += p[0] + 2u * p[1] + p[2];
      }
      row[x] = static_cast<uint8_t>((sum + divisor / 2) / divisor);
    }
  }
}

// Sum of absolute differences of two 8 x 8 blocks.
uint32_t BlockCost(const uint8_t* a, const uint8_t* b, int32_t stride) {
  static const auto cost = depth_kernels::HalfSizeKernelsFor(BestCpuLevel()).blockCost8;
  return cost(a, b, static_cast<size_t>(stride));
}

// The cost of shift k between two profiles: the mean absolute difference
// where they overlap; none when they overlap on less than half.
bool ShiftCost(const float* now, const float* before, int32_t n, int32_t k, double& cost) {
  const int32_t from = std::max(0, -k);
  const int32_t to = std::min(n, n - k);
  if (to - from < n / 2) return false;
  double sum = 0;
  for (int32_t x = from; x < to; ++x) sum += std::fabs(now[x] - before[x + k]);
  cost = sum / (to - from);
  return true;
}

// The shift (previous position minus current) of the given candidates whose
// profiles differ least; `fallback` when none overlaps enough.
int32_t BestShift(const float* now, const float* before, int32_t n, int32_t first, int32_t last,
                  int32_t fallback) {
  int32_t best = fallback;
  double bestCost = -1, cost = 0;
  for (int32_t k = first; k <= last; ++k) {
    if (!ShiftCost(now, before, n, k, cost)) continue;
    if (bestCost < 0 || cost < bestCost) {
      bestCost = cost;
      best = k;
    }
  }
  return best;
}

// The global shift between two grey pictures from their column or row
// profiles, up to a quarter of the side: first on profiles of 4-element
// means, then to the element around the coarse answer.
int32_t ProfileShift(const std::vector<float>& now, const std::vector<float>& before,
                     std::vector<float>& coarse) {
  const int32_t n = static_cast<int32_t>(std::min(now.size(), before.size()));
  const int32_t reach = std::min(n / 4, kProfileReach);
  const int32_t m = n / kCoarse;
  coarse.assign(2 * static_cast<size_t>(m), 0.0f);
  for (int32_t i = 0; i < m * kCoarse; ++i) {
    coarse[i / kCoarse] += now[i];
    coarse[m + i / kCoarse] += before[i];
  }
  const int32_t coarseReach = reach / kCoarse;
  const int32_t guess =
      kCoarse * BestShift(coarse.data(), coarse.data() + m, m, -coarseReach, coarseReach, 0);
  return BestShift(now.data(), before.data(), n, std::max(-reach, guess - kCoarse),
                   std::min(reach, guess + kCoarse), 0);
}

// Column (across) and row (down) means of a grey picture, each less its
// mean, so that a change of brightness does not shift the match.
void Profiles(const uint8_t* grey, int32_t gw, int32_t gh, std::vector<uint32_t>& sums,
              std::vector<float>& columns, std::vector<float>& rows) {
  sums.assign(static_cast<size_t>(gw), 0);
  rows.assign(static_cast<size_t>(gh), 0.0f);
  for (int32_t y = 0; y < gh; ++y) {
    const uint8_t* row = grey + int64_t{y} * gw;
    uint32_t sum = 0;
    for (int32_t x = 0; x < gw; ++x) {
      sums[x] += row[x];
      sum += row[x];
    }
    rows[y] = static_cast<float>(sum) / static_cast<float>(gw);
  }
  columns.resize(static_cast<size_t>(gw));
  for (int32_t x = 0; x < gw; ++x)
    columns[x] = static_cast<float>(sums[x]) / static_cast<float>(gh);
  for (std::vector<float>* profile : {&columns, &rows}) {
    double mean = 0;
    for (const float v : *profile) mean += v;
    mean /= static_cast<double>(profile->size());
    for (float& v : *profile) v -= static_cast<float>(mean);
  }
}

class FrameMotion {
 public:
  FrameMotion(SceneDepthState& s, const uint8_t* now, const uint8_t* before)
      : s_(s),
        now_(now),
        before_(before),
        maxX_(s.greyWidth - kBlock),
        maxY_(s.greyHeight - kBlock) {}

  // Searches every block, in rows, from the candidates its neighbours and the
  // last frame give.
  void Search() {
    for (int32_t by = 0; by < s_.blocksY; ++by) {
      for (int32_t bx = 0; bx < s_.blocksX; ++bx) SearchBlock(bx, by);
    }
  }

 private:
  uint32_t Cost(int32_t x, int32_t y, int32_t cx, int32_t cy) const {
    const int32_t gw = s_.greyWidth;
    return BlockCost(now_ + int64_t{y} * gw + x, before_ + int64_t{cy} * gw + cx, gw);
  }

  void SearchBlock(int32_t bx, int32_t by) {
    const int32_t x = bx * kBlock;
    const int32_t y = by * kBlock;
    const size_t index = static_cast<size_t>(by) * s_.blocksX + bx;
    int32_t bestX = x, bestY = y;
    uint32_t best = Cost(x, y, x, y);
    // Candidates already costed (several neighbours often share a motion).
    int32_t tried[8][2];
    int triedCount = 0;
    auto tryMotion = [&](float mx, float my) {
      const int32_t cx = std::clamp(x + Round(mx), 0, maxX_);
      const int32_t cy = std::clamp(y + Round(my), 0, maxY_);
      if (cx == x && cy == y) return;
      for (int i = 0; i < triedCount; ++i) {
        if (tried[i][0] == cx && tried[i][1] == cy) return;
      }
      if (triedCount < 8) {
        tried[triedCount][0] = cx;
        tried[triedCount][1] = cy;
        ++triedCount;
      }
      const uint32_t c = Cost(x, y, cx, cy);
      if (c >= best) return;
      best = c;
      bestX = cx;
      bestY = cy;
    };
    auto tryBlock = [&](const SceneDepthState::Block& b) { tryMotion(b.mx, b.my); };
    if (!s_.lastBlocks.empty()) {
      tryBlock(s_.lastBlocks[index]);
      if (bx + 1 < s_.blocksX) tryBlock(s_.lastBlocks[index + 1]);
      if (by + 1 < s_.blocksY) tryBlock(s_.lastBlocks[index + s_.blocksX]);
    }
    if (bx > 0) tryBlock(s_.blocks[index - 1]);
    if (by > 0) {
      tryBlock(s_.blocks[index - s_.blocksX]);
      if (bx + 1 < s_.blocksX) tryBlock(s_.blocks[index - s_.blocksX + 1]);
    }
    tryMotion(static_cast<float>(s_.globalX), static_cast<float>(s_.globalY));

    // One-pixel steps to the cheapest of the four neighbours while it is
    // cheaper than the centre; the last four costs give the fractions.
    constexpr uint32_t kOutside = UINT32_MAX;
    uint32_t around[4] = {kOutside, kOutside, kOutside, kOutside};  // left, right, up, down
    for (int32_t step = 0; step < kRefineSteps; ++step) {
      around[0] = bestX > 0 ? Cost(x, y, bestX - 1, bestY) : kOutside;
      around[1] = bestX < maxX_ ? Cost(x, y, bestX + 1, bestY) : kOutside;
      around[2] = bestY > 0 ? Cost(x, y, bestX, bestY - 1) : kOutside;
      around[3] = bestY < maxY_ ? Cost(x, y, bestX, bestY + 1) : kOutside;
      const int k = static_cast<int>(std::min_element(around, around + 4) - around);
      if (around[k] >= best) break;
      best = around[k];
      bestX += k == 0 ? -1 : k == 1 ? 1 : 0;
      bestY += k == 2 ? -1 : k == 3 ? 1 : 0;
      // The neighbours of the new centre are costed next round.
      around[0] = around[1] = around[2] = around[3] = kOutside;
    }

    SceneDepthState::Block& b = s_.blocks[index];
    b.cost = best;
    b.mx = static_cast<float>(bestX - x) + Fraction(around[0], best, around[1]);
    b.my = static_cast<float>(bestY - y) + Fraction(around[2], best, around[3]);
    Describe(b, x, y);
  }

  // The fraction of a pixel to add to the best position: the minimum of the
  // parabola through the costs either side (none at the picture's edge).
  static float Fraction(uint32_t before, uint32_t centre, uint32_t after) {
    if (before == UINT32_MAX || after == UINT32_MAX) return 0;
    const float a = static_cast<float>(before), c = static_cast<float>(after);
    const float curve = a + c - 2.0f * static_cast<float>(centre);
    if (curve <= 0) return 0;
    return std::clamp((a - c) / (2.0f * curve), -0.5f, 0.5f);
  }

  // The block's mean grey and whether it has texture enough to trust: the
  // block against itself moved by a pixel across and a line down.
  void Describe(SceneDepthState::Block& b, int32_t x, int32_t y) const {
    const int32_t gw = s_.greyWidth;
    const uint8_t* block = now_ + int64_t{y} * gw + x;
    uint32_t sum = 0;
    for (int32_t j = 0; j < kBlock; ++j) {
      for (int32_t i = 0; i < kBlock; ++i) sum += block[int64_t{j} * gw + i];
    }
    b.grey = static_cast<float>(sum) / (kBlock * kBlock);
    // A picture a block wide or high has no neighbour that way.
    uint32_t steps = 0;
    if (x + kBlock < gw || x > 0)
      steps += BlockCost(block, x + kBlock < gw ? block + 1 : block - 1, gw);
    if (y + kBlock < s_.greyHeight || y > 0)
      steps += BlockCost(block, y + kBlock < s_.greyHeight ? block + gw : block - gw, gw);
    b.textured = steps >= 2 * kTextureStep * kBlock * kBlock;
  }

  SceneDepthState& s_;
  const uint8_t* now_;
  const uint8_t* before_;
  const int32_t maxX_;
  const int32_t maxY_;
};

// The median of n values (n odd or even: the upper middle one), reordering
// them; nine values, the usual case, go through a sorting network.
float Median(float* v, int n) {
  if (n != 9) {
    std::nth_element(v, v + n / 2, v + n);
    return v[n / 2];
  }
  auto order = [v](int a, int b) {
    const float low = std::min(v[a], v[b]);
    v[b] = std::max(v[a], v[b]);
    v[a] = low;
  };
  order(1, 2), order(4, 5), order(7, 8), order(0, 1), order(3, 4), order(6, 7);
  order(1, 2), order(4, 5), order(7, 8), order(0, 3), order(5, 8), order(4, 7);
  order(3, 6), order(1, 4), order(2, 5), order(4, 7), order(4, 2), order(6, 4);
  order(4, 2);
  return v[4];
}

// Blocks without a nearness (no texture near them: sky, a wall) take that of
// the nearest block with one, by two passes over the grid as a distance
// transform makes them, up to kFillReach blocks away; further ones are put at
// the back. In a picture without any texture they stay without, and get flat
// depth.
void FillUnknown(SceneDepthState& s) {
  const int32_t bw = s.blocksX, bh = s.blocksY;
  constexpr int32_t kFar = INT32_MAX / 2;
  std::vector<int32_t>& distance = s.distance;
  distance.resize(s.blocks.size());
  bool any = false;
  for (size_t i = 0; i < s.blocks.size(); ++i) {
    distance[i] = s.blocks[i].nearness >= 0 ? 0 : kFar;
    any = any || distance[i] == 0;
  }
  if (!any) return;
  auto take = [&](int32_t bx, int32_t by, int32_t fromX, int32_t fromY) {
    if (fromX < 0 || fromY < 0 || fromX >= bw || fromY >= bh) return;
    const size_t to = static_cast<size_t>(by) * bw + bx;
    const size_t from = static_cast<size_t>(fromY) * bw + fromX;
    if (distance[from] + 1 >= distance[to]) return;
    distance[to] = distance[from] + 1;
    s.blocks[to].nearness = s.blocks[from].nearness;
  };
  for (int32_t by = 0; by < bh; ++by) {
    for (int32_t bx = 0; bx < bw; ++bx) {
      take(bx, by, bx - 1, by);
      take(bx, by, bx - 1, by - 1);
      take(bx, by, bx, by - 1);
      take(bx, by, bx + 1, by - 1);
    }
  }
  for (int32_t by = bh - 1; by >= 0; --by) {
    for (int32_t bx = bw - 1; bx >= 0; --bx) {
      take(bx, by, bx + 1, by);
      take(bx, by, bx + 1, by + 1);
      take(bx, by, bx, by + 1);
      take(bx, by, bx - 1, by + 1);
    }
  }
  // Far inside a plain surface the nearest texture says little: such blocks
  // go to the back, as plain skies, walls and blurred backgrounds mostly are.
  for (size_t i = 0; i < s.blocks.size(); ++i) {
    if (distance[i] > kFillReach) s.blocks[i].nearness = kBackground;
  }
}

// Each block's nearness: its motion length, a median over its 3 x 3
// neighbourhood of textured blocks; blocks with none near them take the
// nearest known one's.
void Nearness(SceneDepthState& s) {
  const int32_t bw = s.blocksX, bh = s.blocksY;
  std::vector<float>& raw = s.scratch;
  raw.resize(s.blocks.size());
  for (size_t i = 0; i < s.blocks.size(); ++i) {
    const SceneDepthState::Block& b = s.blocks[i];
    raw[i] = b.textured ? std::sqrt(b.mx * b.mx + b.my * b.my) : -1.0f;
  }
  float window[9];
  for (int32_t by = 0; by < bh; ++by) {
    for (int32_t bx = 0; bx < bw; ++bx) {
      int n = 0;
      for (int32_t j = std::max(0, by - 1); j <= std::min(bh - 1, by + 1); ++j) {
        for (int32_t i = std::max(0, bx - 1); i <= std::min(bw - 1, bx + 1); ++i) {
          const float v = raw[static_cast<size_t>(j) * bw + i];
          if (v >= 0) window[n++] = v;
        }
      }
      SceneDepthState::Block& b = s.blocks[static_cast<size_t>(by) * bw + bx];
      if (n == 0) {
        b.nearness = -1.0f;
        continue;
      }
      b.nearness = Median(window, n);
    }
  }
  FillUnknown(s);
}

// The share `share` of the known nearness values lies below the result.
float Quantile(std::vector<float>& values, double share) {
  const size_t k =
      std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
  return values[k];
}

// Follows the nearness range present and turns every block's nearness into
// depth, carried along the motion from the last frame's depth.
void BlockDepths(SceneDepthState& s, bool fresh) {
  std::vector<float> known;
  known.reserve(s.blocks.size());
  for (const SceneDepthState::Block& b : s.blocks) {
    if (b.nearness >= 0) known.push_back(b.nearness);
  }
  if (!known.empty()) {
    const float low = Quantile(known, kLowShare);
    const float high = Quantile(known, 1.0 - kHighShare);
    if (!s.haveRange || fresh) {
      s.low = low;
      s.high = high;
      s.haveRange = true;
    } else {
      s.low += kRangeFollow * (low - s.low);
      s.high += kRangeFollow * (high - s.high);
    }
  }
  const float spread = s.high - s.low;
  const float floor = kMinRange + kRelativeRange * std::max(s.low, 0.0f);
  const float weight = std::clamp((spread - floor) / kRangeRamp, 0.0f, 1.0f);
  const bool carry = s.haveDepth && !fresh;
  s.depth.resize(s.blocks.size());
  for (int32_t by = 0; by < s.blocksY; ++by) {
    for (int32_t bx = 0; bx < s.blocksX; ++bx) {
      const size_t i = static_cast<size_t>(by) * s.blocksX + bx;
      const SceneDepthState::Block& b = s.blocks[i];
      float target = kFlat;
      if (b.nearness == kBackground) {
        target = kFlat + weight * (0.0f - kFlat);
      } else if (b.nearness >= 0 && spread > 0) {
        const float stretched = std::clamp((b.nearness - s.low) / spread, 0.0f, 1.0f) * 255.0f;
        target = kFlat + weight * (stretched - kFlat);
      }
      if (!carry) {
        s.depth[i] = target;
        continue;
      }
      // The block came from where its motion points in the last frame.
      const int32_t fromX =
          std::clamp(static_cast<int32_t>(std::floor((bx * kBlock + kBlock / 2 + b.mx) / kBlock)),
                     0, s.blocksX - 1);
      const int32_t fromY =
          std::clamp(static_cast<int32_t>(std::floor((by * kBlock + kBlock / 2 + b.my) / kBlock)),
                     0, s.blocksY - 1);
      const float carried = s.lastDepth[static_cast<size_t>(fromY) * s.blocksX + fromX];
      s.depth[i] = carried + kDepthFollow * (target - carried);
    }
  }
  s.haveDepth = true;
}

// out[x] = round(upper[x] + down * (lower[x] - upper[x])) for depths of 0 to
// 255. In runs of 16, which the compiler turns into vector code; kept out of
// line, where it knows that the pointers do not alias.
[[gnu::noinline]] void Interpolate(const float* __restrict upper, const float* __restrict lower,
                                   float down, uint8_t* __restrict out, int32_t n) {
  int32_t x = 0;
  for (; x + 16 <= n; x += 16) {
    float mixed[16];
    for (int32_t i = 0; i < 16; ++i) {
      mixed[i] = upper[x + i] + down * (lower[x + i] - upper[x + i]) + 0.5f;
    }
    for (int32_t i = 0; i < 16; ++i)
      out[x + i] = static_cast<uint8_t>(static_cast<int32_t>(mixed[i]));
  }
  for (; x < n; ++x) out[x] = static_cast<uint8_t>(upper[x] + down * (lower[x] - upper[x]) + 0.5f);
}

// Refines the block depths to every pixel of the reduced picture: the four
// nearest block centres, weighted by distance and by how close the pixel's
// grey is to each block's mean grey. Between four blocks of nearly the same
// depth the grey cannot matter, and the depth is interpolated only.
void PixelDepths(SceneDepthState& s, const uint8_t* grey) {
  const int32_t gw = s.greyWidth, gh = s.greyHeight, bw = s.blocksX, bh = s.blocksY;
  s.pixelDepth.resize(static_cast<size_t>(gw) * gh);
  // The weight of a grey difference, for every difference.
  float closeness[256];
  for (int i = 0; i < 256; ++i) closeness[i] = 1.0f / (1.0f + i * i / (kEdgeGrey * kEdgeGrey));
  // Per column: left block, right block, weight of the right one.
  std::vector<int32_t> left(gw), right(gw);
  std::vector<float> across(gw);
  auto place = [](int32_t p, int32_t blocks, int32_t& a, int32_t& b, float& t) {
    const float f = (static_cast<float>(p) - (kBlock - 1) / 2.0f) / kBlock;
    a = std::clamp(static_cast<int32_t>(std::floor(f)), 0, blocks - 1);
    b = std::min(a + 1, blocks - 1);
    t = a == b ? 0.0f : std::clamp(f - static_cast<float>(a), 0.0f, 1.0f);
  };
  for (int32_t x = 0; x < gw; ++x) place(x, bw, left[x], right[x], across[x]);
  // Per column, for the two block rows in use: the four depths and greys,
  // the depths interpolated across on each row, and the stretches of
  // columns whose four depths differ enough for the grey to matter.
  std::vector<float> d00(gw), d01(gw), d10(gw), d11(gw), upper(gw), lower(gw);
  std::vector<uint8_t> g00(gw), g01(gw), g10(gw), g11(gw);
  std::vector<std::pair<int32_t, int32_t>> uneven;
  int32_t lastTop = -1, lastBottom = -1;
  auto level = [](float g) { return static_cast<uint8_t>(std::clamp(g, 0.0f, 255.0f) + 0.5f); };
  for (int32_t y = 0; y < gh; ++y) {
    int32_t top = 0, bottom = 0;
    float down = 0;
    place(y, bh, top, bottom, down);
    if (top != lastTop || bottom != lastBottom) {
      const SceneDepthState::Block* rt = s.blocks.data() + static_cast<size_t>(top) * bw;
      const SceneDepthState::Block* rb = s.blocks.data() + static_cast<size_t>(bottom) * bw;
      const float* dt = s.depth.data() + static_cast<size_t>(top) * bw;
      const float* db = s.depth.data() + static_cast<size_t>(bottom) * bw;
      uneven.clear();
      for (int32_t x = 0; x < gw; ++x) {
        d00[x] = dt[left[x]];
        d01[x] = dt[right[x]];
        d10[x] = db[left[x]];
        d11[x] = db[right[x]];
        upper[x] = d00[x] + across[x] * (d01[x] - d00[x]);
        lower[x] = d10[x] + across[x] * (d11[x] - d10[x]);
        const float low = std::min(std::min(d00[x], d01[x]), std::min(d10[x], d11[x]));
        const float high = std::max(std::max(d00[x], d01[x]), std::max(d10[x], d11[x]));
        if (high - low < kEvenDepth) continue;
        g00[x] = level(rt[left[x]].grey);
        g01[x] = level(rt[right[x]].grey);
        g10[x] = level(rb[left[x]].grey);
        g11[x] = level(rb[right[x]].grey);
        if (!uneven.empty() && uneven.back().second == x)
          ++uneven.back().second;
        else
          uneven.push_back({x, x + 1});
      }
      lastTop = top;
      lastBottom = bottom;
    }
    uint8_t* out = s.pixelDepth.data() + int64_t{y} * gw;
    // Interpolated only: a mix of depths from 0 to 255 stays inside them.
    Interpolate(upper.data(), lower.data(), down, out, gw);
    const uint8_t* row = grey + int64_t{y} * gw;
    for (const auto& [from, to] : uneven) {
      for (int32_t x = from; x < to; ++x) {
        const float t = across[x];
        const int g = row[x];
        const float w00 = (1 - t) * (1 - down) * closeness[std::abs(g - g00[x])];
        const float w01 = t * (1 - down) * closeness[std::abs(g - g01[x])];
        const float w10 = (1 - t) * down * closeness[std::abs(g - g10[x])];
        const float w11 = t * down * closeness[std::abs(g - g11[x])];
        const float sum = w00 + w01 + w10 + w11;
        const float d = (w00 * d00[x] + w01 * d01[x] + w10 * d10[x] + w11 * d11[x]) / sum;
        out[x] = level(d);
      }
    }
  }
}

// Writes the reduced picture's depth into every byte of every frame pixel.
// Lines that come from the same reduced line are copies of the first.
void WriteDepth(const SceneDepthState& s, uint8_t* out) {
  static const auto doubleLine = depth_kernels::HalfSizeKernelsFor(BestCpuLevel()).doubleLine;
  const int64_t stride = PictureStride(s.width);
  const int32_t f = s.factor;
  const size_t lineBytes = 3 * static_cast<size_t>(s.width);
  for (int32_t y = 0; y < s.height; ++y) {
    uint8_t* line = out + y * stride;
    if (y % f != 0 && y / f < s.greyHeight) {
      std::memcpy(line, line - stride, lineBytes);
      continue;
    }
    const uint8_t* depth =
        s.pixelDepth.data() + int64_t{std::min(y / f, s.greyHeight - 1)} * s.greyWidth;
    int32_t x = 0;
    if (f == 2) {
      // Two pixels per depth.
      const int32_t pairs = std::min(s.width / 2, s.greyWidth);
      doubleLine(depth, line, pairs);
      x = 2 * pairs;
    }
    for (; x < s.width; ++x) {
      std::memset(line + 3 * int64_t{x}, depth[std::min(x / f, s.greyWidth - 1)], 3);
    }
  }
}

void WriteFlat(int32_t w, int32_t h, uint8_t* out) {
  const int64_t stride = PictureStride(w);
  for (int64_t y = 0; y < h; ++y)
    std::memset(out + y * stride, static_cast<int>(kFlat), 3 * static_cast<size_t>(w));
}

// Forgets the motion and depth carried so far, keeping the picture just taken.
void Forget(SceneDepthState& s) {
  s.lastBlocks.clear();
  s.haveDepth = false;
  s.haveRange = false;
  s.meanCost = -1;
  s.framesSinceCut = 0;
  s.globalX = s.globalY = 0;
}

// Sizes everything for a w x h frame and forgets every earlier frame.
void Restart(SceneDepthState& s, int32_t w, int32_t h) {
  s.width = w;
  s.height = h;
  s.factor = ReductionFactor(w);
  s.greyWidth = std::max(1, w / s.factor);
  s.greyHeight = std::max(1, h / s.factor);
  s.blocksX = s.greyWidth / kBlock;
  s.blocksY = s.greyHeight / kBlock;
  const size_t pixels = static_cast<size_t>(s.greyWidth) * s.greyHeight;
  s.grey[0].assign(pixels, 0);
  s.grey[1].assign(pixels, 0);
  s.latest = 0;
  s.primed = false;
  s.blocks.assign(static_cast<size_t>(s.blocksX) * s.blocksY, {});
  s.depth.clear();
  s.lastDepth.clear();
  Forget(s);
}

}  // namespace

bool SceneDepth(SceneDepthState& s, uint8_t* out, const uint8_t* cur, int32_t w, int32_t h,
                bool reset, SceneDepthStats* stats) {
  if (!cur || !FrameSizeUsable(w, h)) return false;
  try {
    if (reset || s.width != w || s.height != h) Restart(s, w, h);
  } catch (const std::exception&) {
    s = SceneDepthState{};
    return false;
  }
  SceneDepthStats found;
  const int32_t fresh = s.primed ? 1 - s.latest : s.latest;
  uint8_t* now = s.grey[fresh].data();
  const uint8_t* before = s.grey[1 - fresh].data();
  MakeGrey(cur, w, s.factor, s.greyWidth, s.greyHeight, now);
  const bool first = !s.primed;
  s.latest = fresh;
  s.primed = true;
  std::swap(s.columns, s.lastColumns);
  std::swap(s.rows, s.lastRows);
  Profiles(now, s.greyWidth, s.greyHeight, s.columnSums, s.columns, s.rows);
  if (first || s.blocks.empty()) {
    if (out) WriteFlat(w, h, out);
    found.cut = first;
    if (stats) *stats = found;
    return true;
  }

  // The frame's global shift, a candidate for every block.
  s.globalX = ProfileShift(s.columns, s.lastColumns, s.scratch);
  s.globalY = ProfileShift(s.rows, s.lastRows, s.scratch);

  FrameMotion(s, now, before).Search();
  double total = 0;
  for (const SceneDepthState::Block& b : s.blocks) total += b.cost;
  const float cost =
      static_cast<float>(total / (static_cast<double>(s.blocks.size()) * kBlock * kBlock));
  found.meanCost = cost;
  found.panX = static_cast<double>(s.globalX) * s.factor;
  const bool cut = s.meanCost >= 0 && cost > kCutCost && cost > kCutRatio * s.meanCost;
  if (cut) {
    Forget(s);
    if (out) WriteFlat(w, h, out);
    found.cut = true;
    if (stats) *stats = found;
    return true;
  }
  s.meanCost = s.meanCost < 0 ? cost : s.meanCost + 0.1f * (cost - s.meanCost);
  ++s.framesSinceCut;

  Nearness(s);
  BlockDepths(s, s.framesSinceCut == 1);
  found.range = static_cast<double>(s.high - s.low) * s.factor;
  if (out) {
    PixelDepths(s, now);
    WriteDepth(s, out);
  }
  s.lastBlocks = s.blocks;
  s.lastDepth = s.depth;
  if (stats) *stats = found;
  return true;
}

}  // namespace dioptrix::blocks
