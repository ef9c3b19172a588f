#include "blocks/matchdepth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "blocks/depthmap.h"
#include "platform/libraries.h"
#include "platform/library.h"
#include "tests/common/kernel_picture.h"

namespace dioptrix::blocks {
namespace {

using test::Picture;

// A line of w values: runs of (value, up to pixel) in order.
std::vector<int> Runs(std::initializer_list<std::pair<int, int>> runs) {
  std::vector<int> line;
  for (const auto& [value, end] : runs)
    while (static_cast<int>(line.size()) < end) line.push_back(value);
  return line;
}

// Colour frame with vertical edges: value of each run up to its end pixel.
Picture EdgeColour(int32_t w, int32_t h, std::initializer_list<std::pair<int, int>> runs) {
  Picture p(w, h);
  const auto line = Runs(runs);
  p.Paint([&](int x, int) { return line[x]; });
  return p;
}

Picture StepDepth(int32_t w, int32_t h, std::initializer_list<std::pair<int, int>> runs) {
  return EdgeColour(w, h, runs);
}

TEST(MatchDepthMap, NothingMovesWithoutStepsOrEdges) {
  std::mt19937 rng(3);
  // Steps of at most 20 between pixels two apart: unchanged, whatever the
  // colour.
  Picture depth(45, 21), colour(45, 21);
  depth.Paint([&](int x, int) { return 100 + (x % 2) * 10 + static_cast<int>(rng() % 11); });
  for (auto& b : colour.bytes) b = static_cast<uint8_t>(rng());
  const auto before = depth.bytes;
  MatchDepthMap(depth.data(), colour.data(), 45, 21);
  EXPECT_EQ(depth.bytes, before);

  // Large steps on a uniform colour frame: every cost is 0, best k stays 0.
  Picture steps(45, 21), uniform(45, 21, 77);
  for (auto& b : steps.bytes) b = static_cast<uint8_t>(rng());
  const auto stepsBefore = steps.bytes;
  MatchDepthMap(steps.data(), uniform.data(), 45, 21);
  EXPECT_EQ(steps.bytes, stepsBefore);

  // Frames too small for any test, null pictures and unusable sizes.
  for (const auto& [w, h] : {std::pair{3, 30}, std::pair{30, 4}, std::pair{0, 9}, std::pair{-5, 9},
                             std::pair{INT32_MAX, 9}}) {
    const int32_t width = std::clamp(w, 1, 64);
    Picture d(width, 9), c(width, 9);
    for (auto& b : d.bytes) b = static_cast<uint8_t>(rng());
    for (auto& b : c.bytes) b = static_cast<uint8_t>(rng());
    const auto dBefore = d.bytes;
    if (w < 100) MatchDepthMap(d.data(), c.data(), w, h);
    MatchDepthMap(d.data(), c.data(), w, INT32_MAX);
    EXPECT_EQ(d.bytes, dBefore);
  }
  MatchDepthMap(nullptr, colour.data(), 45, 21);
  MatchDepthMap(depth.data(), nullptr, 45, 21);
}

// Depth 50 | 200 from pixel 10 | 100 from pixel 16; colour edges at pixels 14
// (0 -> 100) and 19 (100 -> 0), each costing 5 lines x 3 channels x 100 =
// 1500. On line 2 (the only tested line of a 5-line frame):
//  - x = 10: a = 50, b = 200. Edge 14 is k = 4 (score 375, beating 1500 / 9);
//    a < b shortens it to 2: pixels 10..12 := 50. The scan goes on at
//    x = 10 + 3 + 3 = 16, skipping 13..15.
//  - x = 16: a = depth(14) = 200, b = 100. Edge 14 is k = -2 (750), edge 19
//    k = 3 (500): pixels 16, 15, 14 := 100.
// Resuming at x = 13 instead would have moved pixel 13, and resuming beyond 16
// would have found the second step from pixel 17 instead.
TEST(MatchDepthMap, RightwardMoveIsShortenedAndSkipsBeyondItsRun) {
  Picture depth = StepDepth(30, 5, {{50, 10}, {200, 16}, {100, 30}});
  Picture colour = EdgeColour(30, 5, {{0, 14}, {100, 19}, {0, 30}});
  MatchDepthMap(depth.data(), colour.data(), 30, 5);
  EXPECT_EQ(depth.Line(2), Runs({{50, 13}, {200, 14}, {100, 30}}));
  for (int y : {0, 1, 3, 4}) EXPECT_EQ(depth.Line(y), Runs({{50, 10}, {200, 16}, {100, 30}}));

  // A step down to the right (a > b) moves the whole way: pixels 10..14 := a.
  Picture down = StepDepth(30, 5, {{200, 10}, {50, 30}});
  Picture edge = EdgeColour(30, 5, {{0, 14}, {100, 30}});
  MatchDepthMap(down.data(), edge.data(), 30, 5);
  EXPECT_EQ(down.Line(2), Runs({{200, 15}, {50, 30}}));
}

// Depth 50 | 200 from pixel 10, edge at pixel 7 (k = -3): pixels 10, 9, 8, 7
// take b. An edge at the step itself (k = 0) scores its full cost and keeps
// the step where it is.
TEST(MatchDepthMap, LeftwardMoveAndEdgeAtTheStep) {
  Picture depth = StepDepth(30, 7, {{50, 10}, {200, 30}});
  Picture colour = EdgeColour(30, 7, {{0, 7}, {100, 30}});
  MatchDepthMap(depth.data(), colour.data(), 30, 7);
  for (int y : {2, 3, 4}) EXPECT_EQ(depth.Line(y), Runs({{50, 7}, {200, 30}}));
  for (int y : {0, 1, 5, 6}) EXPECT_EQ(depth.Line(y), Runs({{50, 10}, {200, 30}}));

  // Edges at the step (k = 0, 1500) and 1 pixel left (k = -1, 1500 / 1): the
  // tie keeps k = -1, the earlier one; a stronger edge at the step wins.
  for (const auto& [atStep, expectedStart] : {std::pair{200, 9}, std::pair{201, 10}}) {
    Picture d = StepDepth(30, 5, {{50, 10}, {200, 30}});
    Picture c = EdgeColour(30, 5, {{0, 9}, {100, 10}, {atStep, 30}});
    MatchDepthMap(d.data(), c.data(), 30, 5);
    EXPECT_EQ(d.Line(2), Runs({{50, expectedStart}, {200, 30}})) << atStep;
  }
}

// score = cost / |k| in single precision: an edge 4 pixels away needs four
// times the cost of one 1 pixel away. Edge at pixel 9 (k = -1) of height 25:
// 375; edge at 14 (k = 4) of height 100: 1500 / 4 = 375, a tie that keeps
// k = -1; height 101: 378.75 wins, shortened to 2.
TEST(MatchDepthMap, DistantEdgesNeedProportionallyMoreCost) {
  for (const auto& [far, expected] :
       {std::pair{100, Runs({{50, 9}, {200, 30}})}, std::pair{101, Runs({{50, 13}, {200, 30}})}}) {
    Picture d = StepDepth(30, 5, {{50, 10}, {200, 30}});
    Picture c = EdgeColour(30, 5, {{0, 9}, {25, 14}, {25 + far, 30}});
    MatchDepthMap(d.data(), c.data(), 30, 5);
    EXPECT_EQ(d.Line(2), expected) << far;
  }
}

// Steps near the ends of a line: pixels 0, 1 and W - 1 are never tested and an
// edge search stays inside the line (x + k >= 2, x + k <= W - 2).
TEST(MatchDepthMap, LineEndsStayInside) {
  // A step at the last tested pixel (x = W - 2) with an edge just beyond the
  // search limit: nothing to move to.
  Picture d = StepDepth(20, 5, {{10, 18}, {90, 20}});
  Picture c = EdgeColour(20, 5, {{0, 19}, {200, 20}});
  MatchDepthMap(d.data(), c.data(), 20, 5);
  EXPECT_EQ(d.Line(2), Runs({{10, 18}, {90, 20}}));

  // A step at x = 2 with the only edge at pixel 1 (k = -1: x + k - 1 = 0 is
  // outside the test): unchanged.
  Picture e = StepDepth(20, 5, {{10, 2}, {90, 20}});
  Picture f = EdgeColour(20, 5, {{0, 1}, {200, 20}});
  MatchDepthMap(e.data(), f.data(), 20, 5);
  EXPECT_EQ(e.Line(2), Runs({{10, 2}, {90, 20}}));

  // Random pictures of odd sizes: only depth pixels of lines 2..H-3 may
  // change, and AddressSanitizer watches every access.
  std::mt19937 rng(17);
  for (const auto& [w, h] : {std::pair{4, 5}, std::pair{23, 9}, std::pair{57, 31}}) {
    Picture depth(w, h), colour(w, h);
    for (auto& b : depth.bytes) b = static_cast<uint8_t>(rng() % 4 * 60);
    for (auto& b : colour.bytes) b = static_cast<uint8_t>(rng());
    const auto before = depth.bytes;
    MatchDepthMap(depth.data(), colour.data(), w, h);
    for (int y : {0, 1, h - 2, h - 1})
      for (size_t b = 0; b < depth.stride; ++b)
        EXPECT_EQ(depth.bytes[y * depth.stride + b], before[y * depth.stride + b]);
  }
}

TEST(MatchDepthMap, ExportDoesTheSameWork) {
  const std::string dir = ExecutableDir();
  BlocksLibrary library(nullptr, dir);
  std::mt19937 rng(29);
  Picture depth(61, 33), colour(61, 33);
  depth.Paint([&](int x, int y) { return ((x + 3) / 8 + (y / 8)) % 3 * 90; });
  for (auto& b : colour.bytes) b = static_cast<uint8_t>(rng() % 3 * 100);
  Picture expected = depth;
  MatchDepthMap(expected.data(), colour.data(), 61, 33);
  EXPECT_NE(expected.bytes, depth.bytes);
  library.MatchDepthMap_DLL(depth.data(), colour.data(), 61, 33);
  EXPECT_EQ(depth.bytes, expected.bytes);
}

}  // namespace
}  // namespace dioptrix::blocks
