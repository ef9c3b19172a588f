#include "blocks/scene_depth.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>

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
// A range below kMinRange reduced pixels of motion carries no depth; it gains
// full weight over kRangeRamp more.
constexpr float kMinRange = 0.3f;
constexpr float kRangeRamp = 0.7f;
// Weight of the new frame's range and depth against what was carried.
constexpr float kRangeFollow = 0.3f;
constexpr float kDepthFollow = 0.4f;
// Grey difference at which a block's weight in a pixel's depth halves.
constexpr float kEdgeGrey = 14.0f;

int32_t ReductionFactor(int32_t w) { return std::max(1, w / kGreyWidth); }

// Grey of the reduced picture: (blue + 2 green + red) / 4 averaged over each
// factor x factor square of frame pixels, rounded.
void MakeGrey(const uint8_t* cur, int32_t w, int32_t factor, int32_t gw, int32_t gh,
              uint8_t* grey) {
  const int64_t stride = PictureStride(w);
  const uint32_t divisor = 4u * static_cast<uint32_t>(factor * factor);
  for (int32_t y = 0; y < gh; ++y) {
    uint8_t* row = grey + int64_t{y} * gw;
    if (factor == 2) {
      const uint8_t* a = cur + int64_t{2 * y} * stride;
      const uint8_t* b = a + stride;
      for (int32_t x = 0; x < gw; ++x) {
        const uint8_t* p = a + 6 * int64_t{x};
        const uint8_t* q = b + 6 * int64_t{x};
        const uint32_t sum = p[0] + 2u * p[1] + p[2] + p[3] + 2u * p[4] + p[5] + q[0] + 2u * q[1] +
                             q[2] + q[3] + 2u * q[4] + q[5];
        row[x] = static_cast<uint8_t>((sum + 8) / 16);
      }
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
  const size_t s = static_cast<size_t>(stride);
  return GreyBlockCost(a, b, s) + GreyBlockCost(a + 4 * s, b + 4 * s, s);
}

// The global shift between two grey pictures from their column and row
// profiles: the shift (previous position minus current) whose profiles
// differ least, up to a quarter of the side.
int32_t ProfileShift(const std::vector<float>& now, const std::vector<float>& before) {
  const int32_t n = static_cast<int32_t>(now.size());
  const int32_t reach = n / 4;
  int32_t best = 0;
  double bestCost = -1;
  for (int32_t k = -reach; k <= reach; ++k) {
    const int32_t from = std::max(0, -k);
    const int32_t to = std::min(n, n - k);
    if (to - from < n / 2) continue;
    double cost = 0;
    for (int32_t x = from; x < to; ++x) cost += std::fabs(now[x] - before[x + k]);
    cost /= to - from;
    if (bestCost < 0 || cost < bestCost) {
      bestCost = cost;
      best = k;
    }
  }
  return best;
}

// Column (across) or row (down) means of a grey picture, less their mean, so
// that a change of brightness does not shift the match.
void Profile(const uint8_t* grey, int32_t gw, int32_t gh, bool columns, std::vector<float>& out) {
  out.assign(columns ? gw : gh, 0.0f);
  for (int32_t y = 0; y < gh; ++y) {
    const uint8_t* row = grey + int64_t{y} * gw;
    if (columns) {
      for (int32_t x = 0; x < gw; ++x) out[x] += row[x];
    } else {
      uint32_t sum = 0;
      for (int32_t x = 0; x < gw; ++x) sum += row[x];
      out[y] = static_cast<float>(sum);
    }
  }
  double mean = 0;
  for (float& v : out) {
    v /= columns ? gh : gw;
    mean += v;
  }
  mean /= static_cast<double>(out.size());
  for (float& v : out) v -= static_cast<float>(mean);
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
    auto tryAt = [&](int32_t cx, int32_t cy) {
      cx = std::clamp(cx, 0, maxX_);
      cy = std::clamp(cy, 0, maxY_);
      if (cx == bestX && cy == bestY) return false;
      const uint32_t c = Cost(x, y, cx, cy);
      if (c >= best) return false;
      best = c;
      bestX = cx;
      bestY = cy;
      return true;
    };
    auto tryMotion = [&](const SceneDepthState::Block& b) {
      tryAt(x + static_cast<int32_t>(std::lround(b.mx)),
            y + static_cast<int32_t>(std::lround(b.my)));
    };
    if (!s_.lastBlocks.empty()) {
      tryMotion(s_.lastBlocks[index]);
      if (bx + 1 < s_.blocksX) tryMotion(s_.lastBlocks[index + 1]);
      if (by + 1 < s_.blocksY) tryMotion(s_.lastBlocks[index + s_.blocksX]);
    }
    if (bx > 0) tryMotion(s_.blocks[index - 1]);
    if (by > 0) {
      tryMotion(s_.blocks[index - s_.blocksX]);
      if (bx + 1 < s_.blocksX) tryMotion(s_.blocks[index - s_.blocksX + 1]);
    }
    tryAt(x + s_.globalX, y + s_.globalY);

    // One-pixel steps while they lower the cost.
    for (int32_t step = 0; step < kRefineSteps; ++step) {
      const int32_t cx = bestX, cy = bestY;
      bool moved = tryAt(cx + 1, cy);
      moved = tryAt(cx - 1, cy) || moved;
      moved = tryAt(cx, cy + 1) || moved;
      moved = tryAt(cx, cy - 1) || moved;
      if (!moved) break;
    }

    SceneDepthState::Block& b = s_.blocks[index];
    b.cost = best;
    b.mx = static_cast<float>(bestX - x) + Fraction(x, y, bestX, bestY, 1, 0, best);
    b.my = static_cast<float>(bestY - y) + Fraction(x, y, bestX, bestY, 0, 1, best);
    Describe(b, x, y);
  }

  // The fraction of a pixel to add to the best position along (dx, dy): the
  // minimum of the parabola through the costs either side.
  float Fraction(int32_t x, int32_t y, int32_t bx, int32_t by, int32_t dx, int32_t dy,
                 uint32_t centre) const {
    const int32_t ax = bx - dx, ay = by - dy, cx = bx + dx, cy = by + dy;
    if (ax < 0 || ay < 0 || cx > maxX_ || cy > maxY_) return 0;
    const float before = static_cast<float>(Cost(x, y, ax, ay));
    const float after = static_cast<float>(Cost(x, y, cx, cy));
    const float curve = before + after - 2.0f * static_cast<float>(centre);
    if (curve <= 0) return 0;
    return std::clamp((before - after) / (2.0f * curve), -0.5f, 0.5f);
  }

  // The block's mean grey and whether it has texture enough to trust.
  void Describe(SceneDepthState::Block& b, int32_t x, int32_t y) const {
    const int32_t gw = s_.greyWidth;
    uint32_t sum = 0, steps = 0;
    for (int32_t j = 0; j < kBlock; ++j) {
      const uint8_t* row = now_ + int64_t{y + j} * gw + x;
      for (int32_t i = 0; i < kBlock; ++i) {
        sum += row[i];
        if (i + 1 < kBlock) steps += static_cast<uint32_t>(std::abs(row[i + 1] - row[i]));
        if (j + 1 < kBlock) steps += static_cast<uint32_t>(std::abs(row[i + gw] - row[i]));
      }
    }
    b.grey = static_cast<float>(sum) / (kBlock * kBlock);
    b.textured = steps >= kTextureStep * kBlock * kBlock;
  }

  SceneDepthState& s_;
  const uint8_t* now_;
  const uint8_t* before_;
  const int32_t maxX_;
  const int32_t maxY_;
};

// Each block's nearness: its motion length, a median over its 3 x 3
// neighbourhood of textured blocks (a block without texture takes its
// neighbours').
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
      std::nth_element(window, window + n / 2, window + n);
      b.nearness = window[n / 2];
    }
  }
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
  const float weight = std::clamp((spread - kMinRange) / kRangeRamp, 0.0f, 1.0f);
  const bool carry = s.haveDepth && !fresh;
  s.depth.resize(s.blocks.size());
  for (int32_t by = 0; by < s.blocksY; ++by) {
    for (int32_t bx = 0; bx < s.blocksX; ++bx) {
      const size_t i = static_cast<size_t>(by) * s.blocksX + bx;
      const SceneDepthState::Block& b = s.blocks[i];
      float target = kFlat;
      if (b.nearness >= 0 && spread > 0) {
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

// Refines the block depths to every pixel of the reduced picture: the four
// nearest block centres, weighted by distance and by how close the pixel's
// grey is to each block's mean grey.
void PixelDepths(SceneDepthState& s, const uint8_t* grey) {
  const int32_t gw = s.greyWidth, gh = s.greyHeight, bw = s.blocksX, bh = s.blocksY;
  s.pixelDepth.resize(static_cast<size_t>(gw) * gh);
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
  std::vector<float> d00(gw), d01(gw), d10(gw), d11(gw), g00(gw), g01(gw), g10(gw), g11(gw);
  int32_t lastTop = -1, lastBottom = -1;
  const float sharpness = 1.0f / (kEdgeGrey * kEdgeGrey);
  for (int32_t y = 0; y < gh; ++y) {
    int32_t top = 0, bottom = 0;
    float down = 0;
    place(y, bh, top, bottom, down);
    if (top != lastTop || bottom != lastBottom) {
      const SceneDepthState::Block* rt = s.blocks.data() + static_cast<size_t>(top) * bw;
      const SceneDepthState::Block* rb = s.blocks.data() + static_cast<size_t>(bottom) * bw;
      const float* dt = s.depth.data() + static_cast<size_t>(top) * bw;
      const float* db = s.depth.data() + static_cast<size_t>(bottom) * bw;
      for (int32_t x = 0; x < gw; ++x) {
        d00[x] = dt[left[x]];
        d01[x] = dt[right[x]];
        d10[x] = db[left[x]];
        d11[x] = db[right[x]];
        g00[x] = rt[left[x]].grey;
        g01[x] = rt[right[x]].grey;
        g10[x] = rb[left[x]].grey;
        g11[x] = rb[right[x]].grey;
      }
      lastTop = top;
      lastBottom = bottom;
    }
    const uint8_t* row = grey + int64_t{y} * gw;
    uint8_t* out = s.pixelDepth.data() + int64_t{y} * gw;
    for (int32_t x = 0; x < gw; ++x) {
      const float g = row[x];
      const float t = across[x];
      const float e00 = g - g00[x], e01 = g - g01[x], e10 = g - g10[x], e11 = g - g11[x];
      const float w00 = (1 - t) * (1 - down) / (1 + e00 * e00 * sharpness);
      const float w01 = t * (1 - down) / (1 + e01 * e01 * sharpness);
      const float w10 = (1 - t) * down / (1 + e10 * e10 * sharpness);
      const float w11 = t * down / (1 + e11 * e11 * sharpness);
      const float sum = w00 + w01 + w10 + w11;
      const float d = (w00 * d00[x] + w01 * d01[x] + w10 * d10[x] + w11 * d11[x]) / sum;
      out[x] = static_cast<uint8_t>(std::clamp(d, 0.0f, 255.0f) + 0.5f);
    }
  }
}

// Writes the reduced picture's depth into the first byte of every frame pixel.
void WriteDepth(const SceneDepthState& s, uint8_t* out) {
  const int64_t stride = PictureStride(s.width);
  const int32_t f = s.factor;
  for (int32_t y = 0; y < s.height; ++y) {
    const int32_t gy = std::min(y / f, s.greyHeight - 1);
    const uint8_t* depth = s.pixelDepth.data() + int64_t{gy} * s.greyWidth;
    uint8_t* line = out + y * stride;
    for (int32_t x = 0; x < s.width; ++x) {
      line[3 * int64_t{x}] = depth[std::min(x / f, s.greyWidth - 1)];
    }
  }
}

void WriteFlat(int32_t w, int32_t h, uint8_t* out) {
  const int64_t stride = PictureStride(w);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) out[y * stride + 3 * x] = static_cast<uint8_t>(kFlat);
  }
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
  s.lastBlocks.clear();
  s.depth.clear();
  s.lastDepth.clear();
  s.haveDepth = false;
  s.haveRange = false;
  s.meanCost = -1;
  s.framesSinceCut = 0;
  s.globalX = s.globalY = 0;
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
  if (first || s.blocks.empty()) {
    if (out) WriteFlat(w, h, out);
    found.cut = first;
    if (stats) *stats = found;
    return true;
  }

  // The frame's global shift, a candidate for every block.
  std::vector<float> nowProfile, beforeProfile;
  Profile(now, s.greyWidth, s.greyHeight, true, nowProfile);
  Profile(before, s.greyWidth, s.greyHeight, true, beforeProfile);
  s.globalX = ProfileShift(nowProfile, beforeProfile);
  Profile(now, s.greyWidth, s.greyHeight, false, nowProfile);
  Profile(before, s.greyWidth, s.greyHeight, false, beforeProfile);
  s.globalY = ProfileShift(nowProfile, beforeProfile);

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
