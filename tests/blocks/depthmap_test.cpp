#include "blocks/depthmap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "blocks/depth_kernels.h"
#include "platform/cpu.h"
#include "platform/host.h"
#include "platform/libraries.h"
#include "platform/library.h"
#include "tests/common/kernel_picture.h"

namespace dioptrix::blocks {
namespace {

using test::Picture;

// A depth map of (w + 1) x (h + 1) bytes with element (x, y) = f(x, y).
std::vector<uint8_t> MakeDepthMap(int32_t w, int32_t h, const std::function<int(int, int)>& f) {
  std::vector<uint8_t> map((static_cast<size_t>(w) + 1) * (static_cast<size_t>(h) + 1));
  for (int32_t y = 0; y <= h; ++y)
    for (int32_t x = 0; x <= w; ++x) map[y * (static_cast<size_t>(w) + 1) + x] = f(x, y);
  return map;
}

// The value every byte of the size x size block at pixel (x0, y0) holds, or -1
// when they differ.
int BlockValue(Picture& p, int32_t x0, int32_t y0, int32_t size) {
  const int v = *p.Pixel(x0, y0);
  for (int32_t y = y0; y < y0 + size; ++y)
    for (int32_t b = 0; b < 3 * size; ++b)
      if (p.Pixel(x0, y)[b] != v) return -1;
  return v;
}

// A textured frame moving 2 pixels right and 1 line down per step t: smooth
// waves for the searches to follow, plus a little per-pixel noise.
Picture MovingFrame(int32_t w, int32_t h, int t, uint32_t seed) {
  Picture p(w, h);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const int u = x - 2 * t;
      const int v = y - t;
      const uint32_t hash =
          (static_cast<uint32_t>(u) * 73856093u) ^ (static_cast<uint32_t>(v) * 19349663u) ^ seed;
      const double value =
          128 + 70 * std::sin(u / 4.0 + seed) + 40 * std::cos(v / 5.0) + (hash % 17) - 8;
      uint8_t* px = p.Pixel(x, y);
      for (int c = 0; c < 3; ++c)
        px[c] = static_cast<uint8_t>(std::clamp(value + 9 * c, 0.0, 255.0));
    }
  }
  return p;
}

using ColourKernel = void (*)(ColourDepthState&, uint8_t*, const uint8_t*, double*, int32_t,
                              const uint8_t*, int32_t, int32_t, double*);
using GreyKernel = bool (*)(GreyDepthState&, uint8_t*, double*, int32_t, const uint8_t*, int32_t,
                            int32_t, double*, int32_t);

ColourKernel ColourVersion(bool fast) {
  return fast ? static_cast<ColourKernel>(ColourDepthMap) : ColourDepthMapReference;
}
GreyKernel GreyVersion(bool fast) {
  return fast ? static_cast<GreyKernel>(GreyDepthMap) : GreyDepthMapReference;
}

void RunColour(bool fast, ColourDepthState& state, Picture& cur, const Picture& prev, double* cost,
               int32_t mode, const uint8_t* dmap, double* pan) {
  ColourVersion(fast)(state, cur.data(), prev.bytes.data(), cost, mode, dmap, cur.w, cur.h, pan);
}

bool RunGrey(bool fast, GreyDepthState& state, Picture& cur, double* cost, int32_t mode,
             const uint8_t* dmap, double* pan, int32_t scale = 1) {
  return GreyVersion(fast)(state, cur.data(), cost, mode, dmap, cur.w, cur.h, pan, scale);
}

const char* Version(bool fast) { return fast ? "fast" : "reference"; }

// --- Block costs -------------------------------------------------------------

TEST(DepthBlockCost, EveryLevelEqualsTheLoops) {
  for (CpuLevel level : CpuLevels()) {
    SCOPED_TRACE(CpuLevelName(level));
    const auto grey = depth_kernels::GreySearchKernelsFor(level).blockCost;
    const auto colour = depth_kernels::ColourCostKernelsFor(level).blockCost;
    std::mt19937 rng(11);
    for (size_t stride : {24u, 29u, 37u, 101u}) {
      // Exactly the bytes the costs cover: 7 strides and one block line.
      std::vector<uint8_t> a(stride * 7 + 24), b(stride * 7 + 24);
      for (int round = 0; round < 40; ++round) {
        for (auto& v : a) v = static_cast<uint8_t>(rng());
        for (auto& v : b) v = round % 4 == 0 ? static_cast<uint8_t>(~0u * (rng() & 1)) : rng();
        ASSERT_EQ(grey(a.data(), b.data(), stride),
                  GreyBlockCostReference(a.data(), b.data(), stride));
        ASSERT_EQ(colour(a.data(), b.data(), stride),
                  ColourBlockCostReference(a.data(), b.data(), stride));
      }
    }
    // The largest costs: every byte 0 against 255.
    std::vector<uint8_t> zeros(8 * 24, 0), full(8 * 24, 255);
    EXPECT_EQ(colour(zeros.data(), full.data(), 24), 48960u);
    EXPECT_EQ(grey(zeros.data(), full.data(), 24), 8160u);
  }
  std::vector<uint8_t> zeros(8 * 24, 0), full(8 * 24, 255);
  EXPECT_EQ(ColourBlockCost(zeros.data(), full.data(), 24), 48960u);
  EXPECT_EQ(ColourBlockCostReference(zeros.data(), full.data(), 24), 48960u);
  EXPECT_EQ(GreyBlockCost(zeros.data(), full.data(), 24), 8160u);
  EXPECT_EQ(GreyBlockCostReference(zeros.data(), full.data(), 24), 8160u);
}

// --- Colour kernel: searches followed by hand ----------------------------------

// Identical uniform 24 x 24 frames: every candidate costs 0, so a block keeps
// the first candidate of the pattern that passes the bounds test (cx > 0,
// cy > 0, cx < 48, cy < 16). Only the middle block may stay; the others move:
//   column 0: (1,1) -> 3 bytes, 1 line: dist round(sqrt 10) = 3; (2,0) -> 6;
//             (1,-1) -> 3
//   column 1: (-1,1) -> 3; centre -> 0; (-1,-1) -> 3
//   column 2: (-1,1) -> 3; (-2,0) -> 6; (-1,-1) -> 3
// Sums: dist 30, |mx| 30, |my| 6, sgn(mx) 3 - 5 = -2, so pan = -30 / 7 and the
// frame's measure is round(128 / (30 / 1728 + 1)) = 126.
TEST(ColourDepthMap, BorderBlocksStartFromTheFirstValidNeighbour) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    ColourDepthState state;
    state.ring.gain = 10;
    Picture prev(24, 24, 90), cur(24, 24, 90);
    double cost = -1, pan = 0;
    RunColour(fast, state, cur, prev, &cost, 0, nullptr, &pan);
    const int expected[3][3] = {{30, 60, 30}, {30, 0, 30}, {30, 60, 30}};  // [column][row]
    for (int c = 0; c < 3; ++c)
      for (int r = 0; r < 3; ++r) EXPECT_EQ(BlockValue(cur, 8 * c, 8 * r, 8), expected[c][r]);
    EXPECT_EQ(cost, 0.0);
    EXPECT_DOUBLE_EQ(pan, -30.0 / 7.0);
    EXPECT_EQ(state.ring.slots[0], 126);
    EXPECT_EQ(state.ring.writeIndex, 1);
    EXPECT_EQ(state.ring.gain, 3);  // round(126 / 50), for the next call

    // A frame with room for one block but no valid candidate keeps motion 0
    // and its block keeps the initial worst cost.
    Picture small(8, 8, 40), smallPrev(8, 8, 40);
    RunColour(fast, state, small, smallPrev, &cost, 0, nullptr, &pan);
    EXPECT_EQ(BlockValue(small, 0, 0, 8), 0);
    EXPECT_EQ(cost, 48960.0);
    EXPECT_EQ(pan, 0.0);
  }
}

// Gradient frames, every byte of pixel (x, y) = 2x + 8y (+ shift in cur): a
// candidate moved (dx, dy) costs 192 * |shift - 2dx - 8dy|, so the middle
// block (byte 24, line 8) of a 32 x 24 frame can be followed by hand.
//  - One pixel across (shift 2): the centre (384) ties with (2,0), so nothing
//    moves in the diamond step; the refinement finds (1,0) at cost 0: 3 bytes
//    across, dist 3.
//  - One line down (shift 8): (2,0) 768, then (-1,1) 384; the next step (limit
//    1 around (-1,1)) finds nothing cheaper; the refinement's (+1,0) lands on
//    (0,1) at cost 0: dist 1.
TEST(ColourDepthMap, OnePixelAcrossIsDistThreeAndOneLineDownIsDistOne) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    for (const auto& [shift, depth] : {std::pair{2, 30}, std::pair{8, 10}}) {
      SCOPED_TRACE(shift);
      ColourDepthState state;
      state.ring.gain = 10;
      Picture prev(32, 24), cur(32, 24);
      prev.Paint([](int x, int y) { return 2 * x + 8 * y; });
      const int moved = shift;  // a structured binding is not captured by every compiler
      cur.Paint([moved](int x, int y) { return 2 * x + 8 * y + moved; });
      double cost = -1;
      RunColour(fast, state, cur, prev, &cost, 0, nullptr, nullptr);
      EXPECT_EQ(BlockValue(cur, 8, 8, 8), depth);
    }
  }
}

// A centre candidate cheaper than 64 counts as a perfect match even when a
// neighbour matches exactly. The frames repeat every 2 pixels across, so the
// (2,0) candidate matches exactly; one byte of prev under the middle block is
// raised by delta, which is the centre's cost.
TEST(ColourDepthMap, CentreCostBelowSixtyFourStops) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    for (const auto& [delta, depth] : {std::pair{63, 0}, std::pair{64, 60}}) {
      SCOPED_TRACE(delta);
      ColourDepthState state;
      state.ring.gain = 10;
      Picture prev(32, 24), cur(32, 24);
      auto texture = [](int x, int y) { return (x % 2 ? 20 : 120) + 3 * y; };
      prev.Paint(texture);
      cur.Paint(texture);
      prev.Pixel(8, 8)[0] += delta;
      RunColour(fast, state, cur, prev, nullptr, 0, nullptr, nullptr);
      EXPECT_EQ(BlockValue(cur, 8, 8, 8), depth);  // 64: moved 6 bytes
    }
  }
}

// --- Grey kernel: searches followed by hand -----------------------------------

// Grey gradient frames 24 x 24: P = 2x + 8y, C = P moved one pixel left and
// one line up (C(x, y) = P(x + 1, y + 1)). With C after P a candidate moved
// (dx, dy) costs 32 * |10 - 2dx - 8dy|. Following each block's search (bounds
// 0..16 both ways):
//   column 0: (1,1) dist 1 cost 0; (1,1) 1, 0; (2,0) then (2,0): (4,0) 4, 64
//   column 1: (1,1) 1, 0; (1,1) 1, 0; (4,0) 4, 64
//   column 2: (-1,1), (-1,1): (-2,2) 3, 64; the same; stays: 0, 320
// Sums: dist 18, |mx| 16, |my| 8, sgn(mx) 6 - 2 = 4: pan = 16 / 9; total cost
// 576; measure round(128 / (18 / 1728 + 1)) = 127.
struct GradientPair {
  Picture p{24, 24}, c{24, 24};
  GradientPair() {
    p.Paint([](int x, int y) { return 2 * x + 8 * y; });
    c.Paint([](int x, int y) { return 2 * x + 8 * y + 10; });
  }
};

TEST(GreyDepthMap, DiagonalMotionFollowedByHand) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    GradientPair frames;
    GreyDepthState state;
    double cost = 0, pan = 0;
    RunGrey(fast, state, frames.p, &cost, 0, nullptr, &pan);
    state.ring.gain = 10;
    cost = 100;
    RunGrey(fast, state, frames.c, &cost, 0, nullptr, &pan);
    const int expected[3][3] = {{10, 10, 40}, {10, 10, 40}, {30, 30, 0}};  // [column][row]
    for (int col = 0; col < 3; ++col)
      for (int row = 0; row < 3; ++row)
        EXPECT_EQ(BlockValue(frames.c, 8 * col, 8 * row, 8), expected[col][row]);
    EXPECT_DOUBLE_EQ(pan, 16.0 / 9.0);  // matches lie to the right: positive
    EXPECT_EQ(cost, (100.0 + 576.0) / 2);
    EXPECT_EQ(state.ring.slots[1], 127);
    EXPECT_EQ(state.ring.writeIndex, 2);

    // Back to P: the matches now lie to the left and up.
    GradientPair again;
    RunGrey(fast, state, again.p, &cost, 0, nullptr, &pan);
    EXPECT_LT(pan, 0.0);
  }
}

// Modes 1 and 2 read the previous depth map at the block's best match: the
// blocks moved as in DiagonalMotionFollowedByHand, depth 10 / 30 / 40 / 0.
TEST(GreyDepthMap, BlendAndCarryReadTheMapAlongTheMotion) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    auto run = [&](int32_t mode, const std::vector<uint8_t>& map) {
      auto frames = std::make_unique<GradientPair>();
      GreyDepthState state;
      RunGrey(fast, state, frames->p, nullptr, mode, map.data(), nullptr);
      state.ring.gain = 10;
      RunGrey(fast, state, frames->c, nullptr, mode, map.data(), nullptr);
      return frames;
    };
    // Mode 1 over a map of 6: round(4.5) = 4 plus round(depth / 4) with
    // halves to even: 10 -> 2, 30 -> 8, 40 -> 10, 0 -> 0.
    auto blended = run(1, MakeDepthMap(24, 24, [](int, int) { return 6; }));
    const int expected[3][3] = {{6, 6, 14}, {6, 6, 14}, {12, 12, 4}};
    for (int col = 0; col < 3; ++col)
      for (int row = 0; row < 3; ++row)
        EXPECT_EQ(BlockValue(blended->c, 8 * col, 8 * row, 8), expected[col][row]);

    // Mode 2 copies map(x + mx, y + my): with map = x + 8y the middle block
    // (motion (1,1)) shows 9 more than the map under it; block (16, 8) moved
    // (-2, 2): 14 more.
    auto carried = run(2, MakeDepthMap(24, 24, [](int x, int y) { return x + 8 * y; }));
    for (int y = 8; y < 16; ++y) {
      for (int x = 8; x < 16; ++x) EXPECT_EQ(carried->c.Pixel(x, y)[0], x + 8 * y + 9);
      for (int x = 16; x < 24; ++x) EXPECT_EQ(carried->c.Pixel(x, y)[2], x + 8 * y + 14);
    }
  }
}

// The grey version of the near-match rule, on the 8 x 4 top-left corner the
// grey cost compares: the step does not stop at the centre's cost 63 (only a
// cost of 0 stops it), but nothing can beat the best cost 0 it became.
TEST(GreyDepthMap, CentreCostBelowSixtyFourBecomesZero) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    for (const auto& [delta, depth] : {std::pair{63, 0}, std::pair{64, 20}}) {
      SCOPED_TRACE(delta);
      auto texture = [](int x, int y) { return (x % 2 ? 20 : 120) + 3 * y; };
      Picture p(24, 24), c(24, 24);
      p.Paint(texture);
      c.Paint(texture);
      p.Pixel(8, 8)[0] += delta;
      GreyDepthState state;
      RunGrey(fast, state, p, nullptr, 0, nullptr, nullptr);
      state.ring.gain = 10;
      RunGrey(fast, state, c, nullptr, 0, nullptr, nullptr);
      EXPECT_EQ(BlockValue(c, 8, 8, 8), depth);  // 64: moved (2, 0), dist 2
    }
  }
}

// Identical frames: every block's centre costs 0, so motion and depth are 0
// whatever the gain, and the cost adds nothing. Mode 2 then reproduces the
// previous depth map; pixels outside the block grid keep the frame's bytes.
TEST(GreyDepthMap, StaticSceneGivesDepthZeroAndCarriesTheMap) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    GreyDepthState state;
    Picture first = MovingFrame(43, 29, 0, 3);
    RunGrey(fast, state, first, nullptr, 0, nullptr, nullptr);
    state.ring.gain = 50;
    Picture same = MovingFrame(43, 29, 0, 3);
    Picture original = same;
    double cost = 10, pan = 5;
    RunGrey(fast, state, same, &cost, 0, nullptr, &pan);
    for (int col = 0; col < 5; ++col)
      for (int row = 0; row < 3; ++row) EXPECT_EQ(BlockValue(same, 8 * col, 8 * row, 8), 0);
    EXPECT_EQ(cost, 5.0);
    EXPECT_EQ(pan, 0.0);
    for (int y = 0; y < 29; ++y) {
      for (int x = 0; x < 43; ++x) {
        if (x < 40 && y < 24) continue;
        EXPECT_EQ(std::memcmp(same.Pixel(x, y), original.Pixel(x, y), 3), 0);
      }
    }

    std::mt19937 rng(5);
    const auto map = MakeDepthMap(43, 29, [&](int, int) { return static_cast<int>(rng() % 256); });
    Picture again = MovingFrame(43, 29, 0, 3);
    RunGrey(fast, state, again, nullptr, 2, map.data(), nullptr);
    for (int y = 0; y < 24; ++y)
      for (int x = 0; x < 40; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(again.Pixel(x, y)[c], map[y * 44 + x]) << x << "," << y;
  }
}

// The step limit keeps a search from turning back. cur is 0 under the block at
// (8, 8) and prev is 8 everywhere except three cheaper pixels, so a
// candidate's cost is the base minus the savings its window covers:
//   R1 = 4 lies only in the (1,1) window of the first step: (1,1) wins;
//   R2 = 2 lies in the (3,1) window: from (1,1) with limit 1, (2,0) wins;
//   R3 = 3 lies in the (1,3) window, which the candidate (0,2) would reach;
//     but once (2,0) has won, the last move is (2,0) and |0 - 2| > 1 skips it.
// The next step (limit 2) and, for the colour kernel, the refinement find
// nothing cheaper: the block ends at (3,1). Mode 2 shows where: the map value
// of pixel (x + 3, y + 1). Without the limit, or with the limit checked against
// the move at the start of the step, the block would reach (1,3).
TEST(DepthMapKernels, StepLimitSkipsCandidatesBehindTheLastMove) {
  auto map = MakeDepthMap(40, 32, [](int x, int y) { return (x + 10 * y) % 256; });
  auto expectBlockAt31 = [&](Picture& cur) {
    for (int j = 0; j < 8; ++j)
      for (int i = 0; i < 8; ++i)
        ASSERT_EQ(cur.Pixel(8 + i, 8 + j)[1], (11 + i) + 10 * (9 + j)) << i << "," << j;
  };
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    {  // Colour: 8 x 8 windows; the savings at (16,16), (18,9) and (9,18).
      Picture prev(40, 32, 8), cur(40, 32, 0);
      prev.SetGrey(16, 16, 8 - 4);
      prev.SetGrey(18, 9, 8 - 2);
      prev.SetGrey(9, 18, 8 - 3);
      ColourDepthState state;
      RunColour(fast, state, cur, prev, nullptr, 2, map.data(), nullptr);
      expectBlockAt31(cur);
    }
    {  // Grey: 8 x 4 windows; the savings at (16,12), (18,9) and (9,14).
      Picture prev(40, 32, 8), cur(40, 32, 0);
      prev.SetGrey(16, 12, 8 - 4);
      prev.SetGrey(18, 9, 8 - 2);
      prev.SetGrey(9, 14, 8 - 3);
      GreyDepthState state;
      RunGrey(fast, state, prev, nullptr, 0, nullptr, nullptr);
      RunGrey(fast, state, cur, nullptr, 2, map.data(), nullptr);
      expectBlockAt31(cur);
    }
  }
}

// --- Gain ring ---------------------------------------------------------------

// Uniform 24 x 24 frames give the colour kernel the measure 126 on every call
// (see BorderBlocksStartFromTheFirstValidNeighbour); block (0, 0) always moves
// with dist 3, so its depth shows 3 x the gain reached by the previous call.
// An 8 x 8 frame has no valid candidate: measure round(128 / 1) = 128.
TEST(GainRing, FiftyOfFiftyOneSlotsMakeTheGainOfTheNextCall) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    ColourDepthState state;
    auto uniformCall = [&] {
      Picture prev(24, 24, 200), cur(24, 24, 200);
      const int32_t gainBefore = state.ring.gain;
      RunColour(fast, state, cur, prev, nullptr, 0, nullptr, nullptr);
      EXPECT_EQ(BlockValue(cur, 0, 0, 8), std::min(255, 3 * gainBefore));
    };
    auto smallCall = [&] {
      Picture prev(8, 8, 1), cur(8, 8, 1);
      RunColour(fast, state, cur, prev, nullptr, 0, nullptr, nullptr);
    };
    uniformCall();
    EXPECT_EQ(state.ring.gain, 3);  // round(126 / 50 = 2.52); the first call used 0
    uniformCall();
    EXPECT_EQ(state.ring.gain, 5);  // round(252 / 50 = 5.04)
    for (int n = 3; n <= 25; ++n) uniformCall();
    EXPECT_EQ(state.ring.gain, 63);  // 25 x 126 / 50 exactly: the divisor is 50
    for (int n = 26; n <= 50; ++n) uniformCall();
    EXPECT_EQ(state.ring.gain, 126);
    EXPECT_EQ(state.ring.writeIndex, 50);

    smallCall();  // call 51 fills slot 50, which never counts
    EXPECT_EQ(state.ring.slots[50], 128);
    EXPECT_EQ(state.ring.writeIndex, 0);
    EXPECT_EQ(state.ring.gain, 126);  // with slot 50: round(6428 / 50) = 129

    smallCall();  // call 52 overwrites slot 0
    EXPECT_EQ(state.ring.slots[0], 128);
    EXPECT_EQ(state.ring.writeIndex, 1);
    EXPECT_EQ(state.ring.gain, 126);  // round(6302 / 50 = 126.04)
    for (int n = 53; n <= 76; ++n) smallCall();
    EXPECT_EQ(state.ring.gain, 127);  // (25 x 128 + 25 x 126) / 50
    EXPECT_EQ(state.ring.writeIndex, 25);
  }
}

// --- Sizes and arguments ---------------------------------------------------------

// A new frame size makes both grey buffers anew, zeroed: the call behaves as a
// first call at that size (with the ring carried on), and nothing is read or
// written past the new buffers.
TEST(GreyDepthMap, SizeChangeRemakesTheGreyBuffers) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    GreyDepthState changed;
    Picture big = MovingFrame(64, 48, 0, 1);
    RunGrey(fast, changed, big, nullptr, 0, nullptr, nullptr);
    Picture big2 = MovingFrame(64, 48, 1, 1);
    RunGrey(fast, changed, big2, nullptr, 0, nullptr, nullptr);

    GreyDepthState fresh;
    fresh.ring = changed.ring;
    for (const auto& [w, h] : {std::pair{40, 56}, std::pair{17, 9}}) {
      Picture a = MovingFrame(w, h, 2, 1), b = MovingFrame(w, h, 2, 1);
      double costA = 3, costB = 3, panA = 0, panB = 0;
      RunGrey(fast, changed, a, &costA, 0, nullptr, &panA);
      RunGrey(fast, fresh, b, &costB, 0, nullptr, &panB);
      EXPECT_EQ(a.bytes, b.bytes);
      EXPECT_EQ(costA, costB);
      EXPECT_EQ(panA, panB);
      EXPECT_EQ(changed.ring, fresh.ring);
      EXPECT_EQ(changed.width, w);
      EXPECT_EQ(changed.height, h);
      EXPECT_EQ(changed.grey[changed.latest], fresh.grey[fresh.latest]);
      EXPECT_EQ(changed.grey[1 - changed.latest], std::vector<uint8_t>(w * h, 0));
      fresh = GreyDepthState{};
      fresh.ring = changed.ring;
    }
  }
}

// Picture and map byte counts must fit 32 bits: 65536 x 21845 is 4294901760
// bytes, one more line is too many.
static_assert(FrameSizeUsable(1, 1) && FrameSizeUsable(1920, 1080));
static_assert(FrameSizeUsable(65536, 21845) && !FrameSizeUsable(65536, 21846));
static_assert(!FrameSizeUsable(0, 5) && !FrameSizeUsable(5, -1));
static_assert(!FrameSizeUsable(INT32_MAX, INT32_MAX) && !FrameSizeUsable(INT32_MAX, 1));

TEST(DepthMapKernels, UnusableArgumentsTouchNothing) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(Version(fast));
    Picture cur = MovingFrame(32, 24, 1, 2), prev = MovingFrame(32, 24, 0, 2);
    const auto untouched = cur.bytes;
    double cost = 7, pan = 7;
    ColourDepthState colour;
    GreyDepthState grey;
    const ColourKernel colourKernel = ColourVersion(fast);
    const GreyKernel greyKernel = GreyVersion(fast);

    colourKernel(colour, nullptr, prev.data(), &cost, 0, nullptr, 32, 24, &pan);
    colourKernel(colour, cur.data(), nullptr, &cost, 0, nullptr, 32, 24, &pan);
    greyKernel(grey, nullptr, &cost, 0, nullptr, 32, 24, &pan, 1);
    for (const auto& [w, h] :
         {std::pair{0, 24}, std::pair{32, 0}, std::pair{-32, 24}, std::pair{32, -1},
          std::pair{INT32_MAX, 24}, std::pair{32, INT32_MAX}, std::pair{INT32_MIN, INT32_MIN},
          std::pair{70000, 70000}}) {
      colourKernel(colour, cur.data(), prev.data(), &cost, 0, nullptr, w, h, &pan);
      EXPECT_FALSE(greyKernel(grey, cur.data(), &cost, 9, nullptr, w, h, &pan, 1));
    }
    for (int32_t scale : {0, -1, INT32_MIN})
      EXPECT_FALSE(greyKernel(grey, cur.data(), &cost, 9, nullptr, 32, 24, &pan, scale));
    EXPECT_EQ(cur.bytes, untouched);
    EXPECT_EQ(cost, 7.0);
    EXPECT_EQ(pan, 7.0);
    EXPECT_EQ(colour, ColourDepthState{});
    EXPECT_EQ(grey, GreyDepthState{});

    // Null cost and pan are skipped; a null map leaves the blocks of modes 1
    // and 2 as they were while the frame statistics go on.
    colourKernel(colour, cur.data(), prev.data(), nullptr, 0, nullptr, 32, 24, nullptr);
    EXPECT_EQ(colour.ring.writeIndex, 1);
    cur.bytes = untouched;
    for (int32_t mode : {1, 2}) {
      colourKernel(colour, cur.data(), prev.data(), &cost, mode, nullptr, 32, 24, &pan);
      EXPECT_FALSE(greyKernel(grey, cur.data(), &cost, mode, nullptr, 32, 24, &pan, 1));
    }
    EXPECT_EQ(cur.bytes, untouched);
    EXPECT_EQ(colour.ring.writeIndex, 3);
    EXPECT_EQ(grey.ring.writeIndex, 2);

    // Blocks larger than the frame: nothing written, the frame still counts.
    // The grey cost is halved, the measure is 128 and no message is due.
    for (int32_t scale : {2, 1000, INT32_MAX}) {
      cost = 8;
      EXPECT_FALSE(greyKernel(grey, cur.data(), &cost, 9, nullptr, 15, 7, &pan, scale));
      EXPECT_EQ(cost, 4.0);
      EXPECT_EQ(pan, 0.0);
    }
    EXPECT_EQ(grey.ring.slots[grey.ring.writeIndex - 1], 128);
    EXPECT_EQ(cur.bytes, untouched);

    // An invalid mode leaves the blocks and asks for one message.
    EXPECT_TRUE(greyKernel(grey, cur.data(), &cost, 3, nullptr, 32, 24, &pan, 1));
    EXPECT_TRUE(greyKernel(grey, cur.data(), &cost, -1, nullptr, 32, 24, &pan, 2));
    colourKernel(colour, cur.data(), prev.data(), &cost, 3, nullptr, 32, 24, &pan);
    EXPECT_EQ(cur.bytes, untouched);
  }
}

// --- Every level against the reference ----------------------------------------

// Frame sizes for the comparisons: odd widths and heights, frames smaller than
// a block, frames whose blocks sit right at the edges of the vector searches,
// and wide ones whose bands hold the widest groups the searches take at once.
constexpr std::pair<int, int> kComparedSizes[] = {{37, 29},  {61, 45},  {8, 8},   {9, 17},
                                                  {5, 3},    {83, 19},  {43, 27}, {24, 41},
                                                  {101, 67}, {203, 58}, {301, 37}};

// The grey kernel of every processor level beside the reference, through
// sequences of frames that carry their state from call to call (and across
// size changes): modes 0, 1, 2 and invalid ones at scales 1 to 3, with and
// without a map and outputs. The content moves by 0 to 4 steps a call, so that
// searches take several steps, and is now and then noise. Pictures, costs,
// pans, the message flag and the whole state (ring and grey buffers) agree
// after every call, whatever cost the call adds to.
TEST(GreyDepthMap, EveryLevelEqualsTheReference) {
  for (CpuLevel level : CpuLevels()) {
    SCOPED_TRACE(CpuLevelName(level));
    std::mt19937 rng(2024);
    GreyDepthState ref, fast;
    int t = 0;
    for (const auto& [w, h] : kComparedSizes) {
      const uint32_t seed = rng();
      const auto map = MakeDepthMap(w, h, [&](int, int) { return static_cast<int>(rng() % 256); });
      for (int32_t scale = 1; scale <= 3; ++scale) {
        for (int32_t mode : {0, 1, 2, 1, 3, -1}) {
          SCOPED_TRACE(testing::Message()
                       << w << "x" << h << " scale " << scale << " mode " << mode);
          t += static_cast<int>(rng() % 5);
          Picture a = MovingFrame(w, h, t, seed);
          if (rng() % 6 == 0)
            for (auto& v : a.bytes) v = static_cast<uint8_t>(rng());
          Picture b = a;
          const uint8_t* dmap = rng() % 5 != 0 ? map.data() : nullptr;
          const bool outputs = rng() % 4 != 0;
          // The previous cost carried in: the total adds to it block by
          // block, and fractions of every length round at different points.
          const double starts[] = {1000.25 * t,        1.0 / 3 * (t + 1), 0.1 * t, -0.0,
                                   4503599627370495.5, -1234.567,         0.0};
          double costA = starts[rng() % 7], costB = costA, panA = 0, panB = 0;
          const bool invalidA =
              GreyDepthMapReference(ref, a.data(), outputs ? &costA : nullptr, mode, dmap, w, h,
                                    outputs ? &panA : nullptr, scale);
          const bool invalidB = GreyDepthMap(fast, b.data(), outputs ? &costB : nullptr, mode, dmap,
                                             w, h, outputs ? &panB : nullptr, scale, level);
          ASSERT_EQ(invalidA, invalidB);
          ASSERT_EQ(a.bytes, b.bytes);
          ASSERT_EQ(costA, costB);
          ASSERT_EQ(panA, panB);
          ASSERT_EQ(ref, fast);
        }
      }
    }
  }
}

// The colour kernel of every processor level beside the reference, the same
// way: modes 0, 1, 2 and an invalid one, moving and noisy content, with and
// without a map and outputs, the ring carried on; and once per size with cur
// and prev in the same memory, where written blocks feed the later
// comparisons.
TEST(ColourDepthMap, EveryLevelEqualsTheReference) {
  for (CpuLevel level : CpuLevels()) {
    SCOPED_TRACE(CpuLevelName(level));
    std::mt19937 rng(2025);
    ColourDepthState ref, fast;
    int t = 0;
    for (const auto& [w, h] : kComparedSizes) {
      const uint32_t seed = rng();
      const auto map = MakeDepthMap(w, h, [&](int, int) { return static_cast<int>(rng() % 256); });
      Picture prev = MovingFrame(w, h, t, seed);
      for (int32_t mode : {0, 1, 2, 1, 3, 2}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h << " mode " << mode);
        t += static_cast<int>(rng() % 5);
        Picture frame = MovingFrame(w, h, t, seed);
        if (rng() % 6 == 0)
          for (auto& v : frame.bytes) v = static_cast<uint8_t>(rng());
        Picture a = frame, b = frame;
        const uint8_t* dmap = rng() % 5 != 0 ? map.data() : nullptr;
        const bool outputs = rng() % 4 != 0;
        double costA = 1.5, costB = 1.5, panA = 0, panB = 0;
        ColourDepthMapReference(ref, a.data(), prev.data(), outputs ? &costA : nullptr, mode, dmap,
                                w, h, outputs ? &panA : nullptr);
        ColourDepthMap(fast, b.data(), prev.data(), outputs ? &costB : nullptr, mode, dmap, w, h,
                       outputs ? &panB : nullptr, level);
        ASSERT_EQ(a.bytes, b.bytes);
        ASSERT_EQ(costA, costB);
        ASSERT_EQ(panA, panB);
        ASSERT_EQ(ref, fast);
        prev = std::move(frame);
      }
      Picture sharedA = MovingFrame(w, h, t, seed), sharedB = sharedA;
      ColourDepthMapReference(ref, sharedA.data(), sharedA.data(), nullptr, 0, nullptr, w, h,
                              nullptr);
      ColourDepthMap(fast, sharedB.data(), sharedB.data(), nullptr, 0, nullptr, w, h, nullptr,
                     level);
      ASSERT_EQ(sharedA.bytes, sharedB.bytes);
      ASSERT_EQ(ref, fast);
    }
  }
}

// --- Through the shared library -----------------------------------------------

// A private copy of libblocks.so in a fresh folder: loading it gives a library
// instance whose kernels start from the initial state, whatever ran before.
class FreshBlocks {
 public:
  FreshBlocks() {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "dioptrix-depth-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    dir_ = pattern;
    std::error_code ec;
    fs::copy_file(fs::path(ExecutableDir()) / "libblocks.so", fs::path(dir_) / "libblocks.so", ec);
    if (ec) return;
    log.Attach(host);
    library = std::make_unique<BlocksLibrary>(&host, dir_);
  }
  ~FreshBlocks() {
    library.reset();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  FreshBlocks(const FreshBlocks&) = delete;
  FreshBlocks& operator=(const FreshBlocks&) = delete;

  Host host;
  MessageLog log;
  std::unique_ptr<BlocksLibrary> library;

 private:
  std::string dir_;
};

TEST(DepthMapLibrary, FreshLibraryStartsWithGainZeroAndDelaysTheGain) {
  FreshBlocks blocks;
  ASSERT_TRUE(blocks.library);
  // Uniform 24 x 24 frames: block (0, 0) moves with dist 3 on every call and
  // each call stores the measure 126: gains 0, 3, 5 on the first three calls.
  for (int expected : {0, 9, 15}) {
    Picture prev(24, 24, 60), cur(24, 24, 60);
    blocks.library->CreateDepthMap_DLL(cur.data(), prev.data(), nullptr, 0, nullptr, 24, 24,
                                       nullptr);
    EXPECT_EQ(BlockValue(cur, 0, 0, 8), expected);
  }
  // The fast kernel has its own ring: its first call writes depth 0.
  Picture frame = MovingFrame(48, 32, 0, 4);
  double cost = 0, pan = 0;
  blocks.library->CreateDepthMapFast_DLL(frame.data(), nullptr, &cost, 0, nullptr, 48, 32, &pan, 1);
  for (int col = 0; col < 6; ++col)
    for (int row = 0; row < 4; ++row) EXPECT_EQ(BlockValue(frame, 8 * col, 8 * row, 8), 0);
  EXPECT_TRUE(blocks.log.entries.empty());
}

// The exports run the fast versions on process-wide state: a fresh library
// and a fresh state object given the same calls agree byte for byte.
TEST(DepthMapLibrary, ExportsMatchTheKernels) {
  FreshBlocks blocks;
  ASSERT_TRUE(blocks.library);
  ColourDepthState colour;
  GreyDepthState grey;
  const auto map = MakeDepthMap(53, 37, [](int x, int y) { return (x * 5 + y * 3) % 256; });
  for (int t = 0; t < 4; ++t) {
    const int32_t mode = t % 3;
    Picture prev = MovingFrame(53, 37, t, 8);
    Picture a = MovingFrame(53, 37, t + 1, 8), b = a;
    double costA = 0, costB = 0, panA = 0, panB = 0;
    blocks.library->CreateDepthMap_DLL(a.data(), prev.data(), &costA, mode, map.data(), 53, 37,
                                       &panA);
    ColourDepthMap(colour, b.data(), prev.data(), &costB, mode, map.data(), 53, 37, &panB);
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(costA, costB);
    EXPECT_EQ(panA, panB);

    Picture c = MovingFrame(53, 37, t + 1, 8), d = c;
    blocks.library->CreateDepthMapFast_DLL(c.data(), nullptr, &costA, mode, map.data(), 53, 37,
                                           &panA, 1 + t % 2);
    GreyDepthMap(grey, d.data(), &costB, mode, map.data(), 53, 37, &panB, 1 + t % 2);
    EXPECT_EQ(c.bytes, d.bytes);
    EXPECT_EQ(costA, costB);
    EXPECT_EQ(panA, panB);
  }
}

// An invalid mode is reported through the host once per call, not once per
// block, and leaves the picture as it was.
TEST(DepthMapLibrary, InvalidModeShowsOneMessagePerCall) {
  FreshBlocks blocks;
  ASSERT_TRUE(blocks.library);
  Picture frame = MovingFrame(64, 48, 0, 6);  // 48 blocks
  const auto original = frame.bytes;
  for (int32_t mode : {3, -1}) {
    blocks.library->CreateDepthMapFast_DLL(frame.data(), nullptr, nullptr, mode, nullptr, 64, 48,
                                           nullptr, 1);
  }
  EXPECT_EQ(frame.bytes, original);
  ASSERT_EQ(blocks.log.entries.size(), 2u);
  for (const auto& entry : blocks.log.entries)
    EXPECT_EQ(entry.text, "Error in CDepthmap_Fast. Invalid action.");

  // No block, nothing left unwritten: no message.
  Picture tiny(7, 7, 1);
  blocks.library->CreateDepthMapFast_DLL(tiny.data(), nullptr, nullptr, 3, nullptr, 7, 7, nullptr,
                                         1);
  EXPECT_EQ(blocks.log.entries.size(), 2u);
  // The colour kernel has no message.
  Picture prev = MovingFrame(64, 48, 1, 6);
  blocks.library->CreateDepthMap_DLL(frame.data(), prev.data(), nullptr, 3, nullptr, 64, 48,
                                     nullptr);
  EXPECT_EQ(blocks.log.entries.size(), 2u);
  EXPECT_EQ(frame.bytes, original);
}

TEST(DepthMapLibrary, UnusableArgumentsAreIgnored) {
  FreshBlocks blocks;
  ASSERT_TRUE(blocks.library);
  BlocksLibrary& lib = *blocks.library;
  Picture frame(16, 16, 3);
  double cost = 1, pan = 1;
  lib.CreateDepthMapFast_DLL(nullptr, nullptr, &cost, 0, nullptr, 16, 16, &pan, 1);
  lib.CreateDepthMapFast_DLL(frame.data(), nullptr, &cost, 0, nullptr, -16, 16, &pan, 1);
  lib.CreateDepthMapFast_DLL(frame.data(), nullptr, &cost, 0, nullptr, 16, 16, &pan, 0);
  lib.CreateDepthMap_DLL(nullptr, frame.data(), &cost, 0, nullptr, 16, 16, &pan);
  lib.CreateDepthMap_DLL(frame.data(), nullptr, &cost, 0, nullptr, 16, 16, &pan);
  lib.CreateDepthMap_DLL(frame.data(), frame.data(), &cost, 0, nullptr, INT32_MAX, INT32_MAX, &pan);
  lib.MatchDepthMap_DLL(nullptr, frame.data(), 16, 16);
  lib.MatchDepthMap_DLL(frame.data(), frame.data(), INT32_MIN, 16);
  double stats[4] = {1, 1, 1, 1};
  lib.CreateDepthMapScene_DLL(frame.data(), nullptr, 16, 16, 0, stats);
  lib.CreateDepthMapScene_DLL(frame.data(), frame.data(), 0, 16, 1, stats);
  lib.CreateDepthMapScene_DLL(frame.data(), frame.data(), INT32_MAX, INT32_MAX, 0, stats);
  EXPECT_EQ(std::vector<double>(stats, stats + 4), std::vector<double>(4, 1.0));
  EXPECT_EQ(cost, 1.0);
  EXPECT_EQ(pan, 1.0);
  EXPECT_EQ(frame.bytes, std::vector<uint8_t>(frame.bytes.size(), 3));
  // Null outputs with real frames.
  lib.CreateDepthMapFast_DLL(frame.data(), nullptr, nullptr, 1, nullptr, 16, 16, nullptr, 1);
  lib.CreateDepthMap_DLL(frame.data(), frame.data(), nullptr, 2, nullptr, 16, 16, nullptr);
  EXPECT_TRUE(blocks.log.entries.empty());
}

// Without a handler (a program that registers none, or one that removed its
// own) the message goes to standard error, still once per call.
TEST(DepthMapLibrary, MessagesFallBackToStandardError) {
  FreshBlocks blocks;
  ASSERT_TRUE(blocks.library);
  Picture frame = MovingFrame(32, 32, 0, 6);
  blocks.library->CreateDepthMapFast_DLL(frame.data(), nullptr, nullptr, 0, nullptr, 32, 32,
                                         nullptr, 1);  // loads and registers the host
  auto* set = blocks.library->Binding().Function<decltype(::SetDiagnosticHandler_DLL)>(
      "SetDiagnosticHandler_DLL");
  set(nullptr, nullptr);
  testing::internal::CaptureStderr();
  blocks.library->CreateDepthMapFast_DLL(frame.data(), nullptr, nullptr, 5, nullptr, 32, 32,
                                         nullptr, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error in CDepthmap_Fast. Invalid action.\n");
  EXPECT_TRUE(blocks.log.entries.empty());
}

}  // namespace
}  // namespace dioptrix::blocks
