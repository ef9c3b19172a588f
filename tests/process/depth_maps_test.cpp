// Depth-map creation: the diamond search against the previous frame (plain
// and fast forms), the ring search and the stereo disparity search, on frames
// whose matches are known by construction.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "process/image_process.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::PixelAt;
using test::RandomImage;
using test::SolidImage;

// A w x h image; every byte of pixel (x, y) is value(x, y).
DibPtr GreyImage(int32_t w, int32_t h, const std::function<uint8_t(int32_t, int32_t)>& value) {
  DibPtr img = SolidImage(w, h, 0, 0, 0);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) std::memset(PixelAt(*img, x, y), value(x, y), 3);
  return img;
}

// The pixel bytes of pic in PixelArray layout.
Plane<int32_t> ArrayOf(const cDIBSection& pic) {
  EngineArrays arrays;
  cImageProcessDIB(arrays).CopyToSpecifiedArray(pic, arrays.PixelArray);
  return arrays.PixelArray;
}

// arr(b, y) := pic(b - dxBytes, y - dy) where that lies inside pic.
Plane<int32_t> MovedArrayOf(const cDIBSection& pic, int32_t dxBytes, int32_t dy) {
  Plane<int32_t> arr = ArrayOf(pic);
  for (int32_t y = 0; y < pic.Height(); ++y)
    for (int32_t b = 0; b < 3 * pic.Width(); ++b) {
      const int32_t sb = b - dxBytes, sy = y - dy;
      if (sb >= 0 && sy >= 0 && sb < 3 * pic.Width() && sy < pic.Height())
        arr(b, y) = pic.ScanLine(sy)[sb];
    }
  return arr;
}

std::vector<uint8_t> Bytes(const cDIBSection& img) {
  return {img.DIBSectionBitsPtr(), img.DIBSectionBitsPtr() + img.ImageSize()};
}

// Every byte of the block of bw x bh pixels at pixel (x0, y0) equals v.
void ExpectBlock(const cDIBSection& img, int32_t x0, int32_t y0, int32_t bw, int32_t bh, int v) {
  for (int32_t y = y0; y < y0 + bh; ++y)
    for (int32_t b = 3 * x0; b < 3 * (x0 + bw); ++b)
      ASSERT_EQ(img.ScanLine(y)[b], v) << "byte " << b << " line " << y;
}

void ExpectSubscriptError(const std::function<void()>& fn) {
  try {
    fn();
    ADD_FAILURE() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrSubscriptOutOfRange);
  }
}

// --- CreateDepthMap -----------------------------------------------------------------

TEST(CreateDepthMap, FirstValidCandidateOnFlatFramesAndClearedEdges) {
  // Current frame all 10, previous all 0: every valid candidate costs
  // 300 * 10 = 3000, so each block keeps the first valid one it meets.
  // 40 x 30: blocks at byte columns 0, 30, 60, 90 and lines 0, 10, 20;
  // candidates need 1 <= cx < 90 and 1 <= cy < 20.
  DibPtr pic = SolidImage(40, 30, 10, 10, 10);
  Plane<int32_t> prev;
  prev.Redim(121, 30);
  Plane<uint8_t> noMap;
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  double cost = -1;
  engine.CreateDepthMap(*pic, prev, cost, 0, noMap);
  EXPECT_EQ(cost, 12 * 3000.0);  // every block has a valid candidate

  // Line 0: the first valid candidate is (+-1 pixel, 1 line): round(sqrt(10))
  // = 3. Block (0, 10) moves 2 pixels right first: 6. Blocks with a valid
  // centre stay: 0. The last block column and line are cleared whole.
  const int want[3][4] = {{3, 3, 3, 0}, {6, 0, 0, 0}, {0, 0, 0, 0}};
  for (int by = 0; by < 3; ++by)
    for (int bx = 0; bx < 4; ++bx) ExpectBlock(*pic, 10 * bx, 10 * by, 10, 10, want[by][bx]);

  // Width and height off the grid: everything from the last block column
  // (pixel 30) rightwards and from the last block line (line 20) up is 0.
  // Mode 3 writes no block, so the rest keeps the current frame.
  DibPtr odd = RandomImage(47, 33, 3);
  DibPtr untouched = odd->CopyOf();
  engine.CreateDepthMap(*odd, ArrayOf(*RandomImage(47, 33, 4)), cost, 3, noMap);
  for (int32_t y = 0; y < 33; ++y)
    for (int32_t x = 0; x < 47; ++x) {
      const bool cleared = x >= 30 || y >= 20;
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(PixelAt(*odd, x, y)[c], cleared ? 0 : PixelAt(*untouched, x, y)[c])
            << x << "," << y;
    }
}

TEST(CreateDepthMap, MotionOfOnePixelAndOneLineInEachMode) {
  // The previous frame holds the current one moved 1 pixel right and 1 line
  // up (its best match lies at +3 bytes, +1 line): depth round(sqrt(10)) = 3
  // in every block but the last column and line (whose match is off the
  // valid range and which are cleared anyway).
  const int32_t w = 50, h = 40;
  DibPtr untouched = RandomImage(w, h, 7);
  const Plane<int32_t> prev = MovedArrayOf(*untouched, 3, 1);
  Plane<uint8_t> dmap;
  dmap.Redim(w + 1, h + 1);
  for (int32_t y = 0; y <= h; ++y)
    for (int32_t x = 0; x <= w; ++x) dmap(x, y) = static_cast<uint8_t>(x + 10 * y);
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  double cost = 0;

  DibPtr pic = untouched->CopyOf();
  engine.CreateDepthMap(*pic, prev, cost, 0, dmap);
  ExpectBlock(*pic, 0, 0, 40, 30, 3);
  ExpectBlock(*pic, 40, 0, 10, 40, 0);
  ExpectBlock(*pic, 0, 30, 50, 10, 0);

  // Mode 2 carries the previous depth from the matched place: pixel (x, y)
  // takes dmap(x + 1, y + 1).
  pic = untouched->CopyOf();
  engine.CreateDepthMap(*pic, prev, cost, 2, dmap);
  for (int32_t y = 0; y < 30; ++y)
    for (int32_t x = 0; x < 40; ++x) ExpectBlock(*pic, x, y, 1, 1, dmap(x + 1, y + 1));

  // Mode 1 blends round(0.75 carried) + round(0.25 * 3), halves to even:
  // carried 6 gives 4 + 1, carried 2 gives 2 + 1.
  for (uint8_t carried : {uint8_t{6}, uint8_t{2}}) {
    Plane<uint8_t> flat;
    flat.Redim(w + 1, h + 1);
    std::memset(flat.Data(), carried, flat.Size());
    pic = untouched->CopyOf();
    engine.CreateDepthMap(*pic, prev, cost, 1, flat);
    ExpectBlock(*pic, 0, 0, 40, 30, carried == 6 ? 5 : 3);
  }
}

TEST(CreateDepthMap, FastFormMatchesPlainFormOnRandomOddFrames) {
  const int32_t sizes[][2] = {{10, 10}, {11, 13}, {19, 10}, {37, 29}, {101, 67}, {13, 121}};
  const int32_t modes[] = {0, 1, 2, 3, -1};
  uint32_t seed = 100;
  for (const auto& size : sizes) {
    const int32_t w = size[0], h = size[1];
    for (int32_t mode : modes) {
      // The current frame moved by a few pixels and lines, with noise and a
      // flat patch (equal costs) in the previous one.
      std::mt19937 rng(seed++);
      DibPtr pic = RandomImage(w, h, seed++);
      for (int32_t y = 0; y < h / 3; ++y)
        for (int32_t x = 0; x < w / 2; ++x) std::memset(PixelAt(*pic, x, y), 90, 3);
      Plane<int32_t> prev = MovedArrayOf(*pic, 3 * static_cast<int32_t>(rng() % 5) - 6,
                                         static_cast<int32_t>(rng() % 5) - 2);
      for (int32_t y = 0; y < h; ++y)
        for (int32_t b = 0; b < 3 * w; ++b)
          if (rng() % 4 == 0) prev(b, y) = static_cast<int32_t>(rng() % 256);
      Plane<uint8_t> dmap;
      dmap.Redim(w + 1, h + 1);
      for (size_t i = 0; i < dmap.Size(); ++i) dmap.Data()[i] = static_cast<uint8_t>(rng());

      DibPtr fast = pic->CopyOf();
      double plainCost = -1, fastCost = -2;
      cImageProcessDIB::CreateDepthMapPlain(*pic, prev, plainCost, mode, dmap);
      cImageProcessDIB::CreateDepthMapFast(*fast, prev, fastCost, mode, dmap);
      ASSERT_EQ(Bytes(*pic), Bytes(*fast)) << w << "x" << h << " mode " << mode;
      ASSERT_EQ(plainCost, fastCost) << w << "x" << h << " mode " << mode;
    }
  }

  // Elements outside byte range in the previous frame: the same result too.
  DibPtr pic = RandomImage(23, 21, 9);
  Plane<int32_t> prev = MovedArrayOf(*pic, 3, 1);
  prev(5, 5) = -70000;
  prev(40, 12) = 1 << 30;
  Plane<uint8_t> noMap;
  DibPtr fast = pic->CopyOf();
  double plainCost = 0, fastCost = 0;
  cImageProcessDIB::CreateDepthMapPlain(*pic, prev, plainCost, 0, noMap);
  cImageProcessDIB::CreateDepthMapFast(*fast, prev, fastCost, 0, noMap);
  EXPECT_EQ(Bytes(*pic), Bytes(*fast));
  EXPECT_EQ(plainCost, fastCost);
}

TEST(CreateDepthMap, SmallFramesAndShortArraysRaiseBeforeWriting) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  Plane<uint8_t> noMap;
  const int32_t small[][2] = {{9, 20}, {20, 9}, {1, 1}, {1, 30}, {30, 1}};
  for (const auto& size : small) {
    DibPtr pic = RandomImage(size[0], size[1], 1);
    const auto before = Bytes(*pic);
    double cost = 42;
    for (int32_t mode : {0, 1})
      ExpectSubscriptError([&] { engine.CreateDepthMap(*pic, ArrayOf(*pic), cost, mode, noMap); });
    EXPECT_EQ(Bytes(*pic), before);
    EXPECT_EQ(cost, 42);
  }
  cDIBSection empty;
  double cost = 0;
  ExpectSubscriptError([&] { engine.CreateDepthMap(empty, Plane<int32_t>(), cost, 0, noMap); });

  // The previous frame must cover 3W byte columns and H lines; the depth map
  // W pixels and H lines, but only in the modes that read it.
  DibPtr pic = RandomImage(20, 20, 2);
  const auto before = Bytes(*pic);
  Plane<int32_t> narrow, low;
  narrow.Redim(59, 20);
  low.Redim(61, 19);
  Plane<uint8_t> map, mapNarrow, mapLow;
  map.Redim(20, 20);
  mapNarrow.Redim(19, 21);
  mapLow.Redim(21, 19);
  ExpectSubscriptError([&] { engine.CreateDepthMap(*pic, narrow, cost, 0, noMap); });
  ExpectSubscriptError([&] { engine.CreateDepthMap(*pic, low, cost, 0, noMap); });
  for (int32_t mode : {1, 2}) {
    ExpectSubscriptError([&] { engine.CreateDepthMap(*pic, ArrayOf(*pic), cost, mode, noMap); });
    ExpectSubscriptError(
        [&] { engine.CreateDepthMap(*pic, ArrayOf(*pic), cost, mode, mapNarrow); });
    ExpectSubscriptError([&] { engine.CreateDepthMap(*pic, ArrayOf(*pic), cost, mode, mapLow); });
  }
  EXPECT_EQ(Bytes(*pic), before);
  engine.CreateDepthMap(*pic, ArrayOf(*pic), cost, 2, map);  // exactly W x H is enough
  engine.CreateDepthMap(*pic, ArrayOf(*pic), cost, 0, noMap);
}

// --- CreateDepthMapEx -------------------------------------------------------------

TEST(CreateDepthMapEx, RingOrderDecidesBetweenEqualMatches) {
  // Diagonal stripes: pixel (x, y) of the current frame is f(x + y), of the
  // previous frame f(x + y + 1), so a block matches exactly wherever
  // dx + dy = -1. 36 x 24: blocks at byte columns 0, 18, ..., 90 and lines
  // 0, 6, 12, 18; candidates need 1 <= cx < 90 and 1 <= cy < 18.
  std::mt19937 rng(11);
  std::vector<uint8_t> f(80);
  for (auto& v : f) v = static_cast<uint8_t>(rng());
  DibPtr pic = GreyImage(36, 24, [&](int32_t x, int32_t y) { return f[x + y]; });
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  engine.CopyToArray(*GreyImage(36, 24, [&](int32_t x, int32_t y) { return f[x + y + 1]; }));
  engine.CreateDepthMapEx(*pic, 0);

  // Ring 1 visits its left side first: (-1, 0), 3 bytes, dist 3, and
  // round(4.5) = 4. On line 18 (-1, 0) is out of range and the top side's
  // (0, -1) wins: dist 1, round(1.5) = 2. At byte column 0 neither is valid
  // and ring 2 finds (1, -2): round(sqrt(13)) = 4, depth 6. On line 0 ring 2's
  // left side finds (-2, 1): round(sqrt(37)) = 6, depth 9. The corner
  // blocks (0, 0) and (90, 18) have no valid exact match on any ring; their
  // best costs stay far above 20 per byte, which gives depth 0.
  const int want[4][6] = {
      {0, 9, 9, 9, 9, 9}, {6, 4, 4, 4, 4, 4}, {6, 4, 4, 4, 4, 4}, {6, 2, 2, 2, 2, 0}};
  for (int by = 0; by < 4; ++by)
    for (int bx = 0; bx < 6; ++bx) ExpectBlock(*pic, 6 * bx, 6 * by, 6, 6, want[by][bx]);
}

TEST(CreateDepthMapEx, StopsAfterTheFirstRingBelowOnePerByte) {
  // 18 x 18, all 100; the block at byte column 18, line 6. The previous frame
  // is 0 but for the places of two candidates, which hold 100: (-1, 0) on
  // ring 1, with one byte 207 (cost 107, just below 108), and (2, 2) on ring
  // 2 (cost 0). Every other candidate of rings 0 and 1 covers zeros. The
  // search ends after ring 1: 3 bytes, depth round(4.5) = 4, not the
  // round(1.5 * round(sqrt(40))) = 9 of the cheaper match further out.
  DibPtr pic = SolidImage(18, 18, 100, 100, 100);
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  Plane<int32_t>& prev = arrays.PixelArray;
  prev.Redim(55, 18);
  for (int32_t j = 0; j < 6; ++j)
    for (int32_t i = 0; i < 18; ++i) {
      prev(18 - 3 + i, 6 + j) = 100;
      prev(18 + 6 + i, 6 + 2 + j) = 100;
    }
  prev(15, 6) = 207;
  engine.CreateDepthMapEx(*pic, 0);
  ExpectBlock(*pic, 6, 6, 6, 6, 4);
}

TEST(CreateDepthMapEx, FarthestRingGivesTheLargestDepth) {
  // The previous frame equals the current one, except that the block at byte
  // column 162, line 54 sits 50 pixels left and 50 lines down of its place
  // (and its own place is changed). Identical blocks stop after ring 0 with
  // depth 0; the moved block is found on ring 50: 150 bytes and 50 lines,
  // round(sqrt(25000)) = 158, round(1.5 * 158) = 237, the largest value the
  // search can give, so the low 8 bits are the value itself.
  const int32_t w = 60, h = 60;
  DibPtr pic = RandomImage(w, h, 21);
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  engine.CopyToArray(*pic);
  Plane<int32_t>& prev = arrays.PixelArray;
  for (int32_t j = 0; j < 6; ++j)
    for (int32_t i = 0; i < 18; ++i) {
      prev(12 + i, 4 + j) = pic->ScanLine(54 + j)[162 + i];
      prev(162 + i, 54 + j) = 255 - pic->ScanLine(54 + j)[162 + i];
    }
  engine.CreateDepthMapEx(*pic, 12345);
  ExpectBlock(*pic, 54, 54, 6, 6, 237);
  for (int32_t by = 12; by < 54; by += 6)  // blocks clear of the changed places
    for (int32_t bx = 6; bx < 54; bx += 6) ExpectBlock(*pic, bx, by, 6, 6, 0);
}

TEST(CreateDepthMapEx, SmallFramesStayAndShortArraysRaise) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  for (const auto& size : {std::pair{5, 20}, std::pair{20, 5}, std::pair{1, 1}, std::pair{1, 9}}) {
    DibPtr pic = RandomImage(size.first, size.second, 4);
    const auto before = Bytes(*pic);
    engine.CreateDepthMapEx(*pic, 0);  // no block fits; PixelArray is not read
    EXPECT_EQ(Bytes(*pic), before);
  }
  cDIBSection empty;
  engine.CreateDepthMapEx(empty, 0);

  DibPtr pic = RandomImage(13, 7, 5);
  const auto before = Bytes(*pic);
  engine.CopyToArray(*RandomImage(12, 7, 6));
  ExpectSubscriptError([&] { engine.CreateDepthMapEx(*pic, 0); });
  engine.CopyToArray(*RandomImage(13, 6, 6));
  ExpectSubscriptError([&] { engine.CreateDepthMapEx(*pic, 0); });
  EXPECT_EQ(Bytes(*pic), before);
  // The smallest frame with a block: no candidate is valid, and the block's
  // own place (cost 0) gives depth 0.
  DibPtr six = RandomImage(6, 6, 7);
  engine.CopyToArray(*six);
  engine.CreateDepthMapEx(*six, 0);
  ExpectBlock(*six, 0, 0, 6, 6, 0);
}

// --- CreateDepthMapFromStereo -------------------------------------------------------

TEST(CreateDepthMapFromStereo, IdenticalAndShiftedViews) {
  // 72 x 40: blocks at byte columns 0, 48, 96, 144 and lines 0, 16; pixels
  // 64..71 and lines 32..39 lie off the grid. Candidates need 0 < p < 168.
  const int32_t w = 72, h = 40;
  DibPtr view = RandomImage(w, h, 31);
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);

  // The same view: zero disparity costs 0 and cannot be beaten.
  DibPtr pic = view->CopyOf();
  engine.CopyToArray(*view);
  engine.CreateDepthMapFromStereo(*pic);
  ExpectBlock(*pic, 0, 0, 64, 32, 128);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      if (x >= 64 || y >= 32) {
        ASSERT_EQ(std::memcmp(PixelAt(*pic, x, y), PixelAt(*view, x, y), 3), 0) << x << "," << y;
      }

  // The other view 2 pixels to the right: every block matches 6 bytes
  // right (p = bx + 6 <= 150), 128 - 6.
  pic = view->CopyOf();
  arrays.PixelArray = MovedArrayOf(*view, 6, 0);
  engine.CreateDepthMapFromStereo(*pic);
  for (int32_t bx = 0; bx < 64; bx += 16)
    for (int32_t by = 0; by < 32; by += 16) ExpectBlock(*pic, bx, by, 16, 16, 122);

  // 2 pixels to the left: 128 + 6 wherever p = bx - 6 is above 0, so not
  // in the first block column.
  pic = view->CopyOf();
  arrays.PixelArray = MovedArrayOf(*view, -6, 0);
  engine.CreateDepthMapFromStereo(*pic);
  for (int32_t bx = 16; bx < 64; bx += 16)
    for (int32_t by = 0; by < 32; by += 16) ExpectBlock(*pic, bx, by, 16, 16, 134);
}

TEST(CreateDepthMapFromStereo, SmallFramesStayAndShortArraysRaise) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  for (const auto& size : {std::pair{15, 40}, std::pair{40, 15}, std::pair{1, 1}}) {
    DibPtr pic = RandomImage(size.first, size.second, 8);
    const auto before = Bytes(*pic);
    engine.CreateDepthMapFromStereo(*pic);
    EXPECT_EQ(Bytes(*pic), before);
  }
  DibPtr pic = RandomImage(17, 16, 9);
  engine.CopyToArray(*RandomImage(16, 16, 9));
  ExpectSubscriptError([&] { engine.CreateDepthMapFromStereo(*pic); });
  // One block exactly: no shift fits, so depth 128.
  DibPtr one = RandomImage(16, 16, 10);
  engine.CopyToArray(*RandomImage(16, 16, 11));
  engine.CreateDepthMapFromStereo(*one);
  ExpectBlock(*one, 0, 0, 16, 16, 128);
}

}  // namespace
}  // namespace dioptrix
