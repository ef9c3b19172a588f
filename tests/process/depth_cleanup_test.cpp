#include "process/depth_cleanup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error.h"
#include "process/image_process.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::PixelAt;
using test::RandomImage;
using test::SolidImage;

// A grey image from rows of first-byte values; rows[0] is scan line 0.
DibPtr GreyImage(const std::vector<std::vector<uint8_t>>& rows) {
  const auto h = static_cast<int32_t>(rows.size());
  const auto w = static_cast<int32_t>(rows[0].size());
  DibPtr img = SolidImage(w, h, 0, 0, 0);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) std::memset(PixelAt(*img, x, y), rows[y][x], 3);
  return img;
}

std::vector<uint8_t> Bytes(const cDIBSection& img) {
  return {img.DIBSectionBitsPtr(), img.DIBSectionBitsPtr() + img.ImageSize()};
}

void ExpectGreyPixel(const cDIBSection& img, int32_t x, int32_t y, uint8_t v) {
  const uint8_t* p = PixelAt(img, x, y);
  EXPECT_EQ(p[0], v) << "x " << x << " y " << y;
  EXPECT_EQ(p[1], v) << "x " << x << " y " << y;
  EXPECT_EQ(p[2], v) << "x " << x << " y " << y;
}

TEST(SmoothDMAP, UniformImageAndSinglePasses) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);

  DibPtr grey = SolidImage(37, 29, 77, 77, 77);
  const auto before = Bytes(*grey);
  EXPECT_EQ(engine.SmoothDMAP(*grey, 8), 0);
  EXPECT_EQ(Bytes(*grey), before);

  // Block size 1: one pass whose partners are the pixel itself, so every
  // pixel only takes its first byte into all three.
  DibPtr colour = RandomImage(9, 5, 3);
  DibPtr original = colour->CopyOf();
  EXPECT_EQ(engine.SmoothDMAP(*colour, 1), 0);
  for (int32_t y = 0; y < 5; ++y)
    for (int32_t x = 0; x < 9; ++x) ExpectGreyPixel(*colour, x, y, PixelAt(*original, x, y)[0]);

  // Block size 2: one pass with partners one pixel across the pair border
  // (x 0 and the last column, line 0 have no partner off the image).
  DibPtr small = GreyImage({{10, 20, 30, 40}, {50, 60, 70, 80}, {90, 15, 25, 35}});
  engine.SmoothDMAP(*small, 2);
  const uint8_t want[3][4] = {{10, 20, 30, 40}, {50, 60, 60, 80}, {90, 25, 25, 35}};
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 4; ++x) ExpectGreyPixel(*small, x, y, want[y][x]);
}

TEST(SmoothDMAP, RoundsTheCornerOfABrightQuadrant) {
  // 32 x 32 depth image: 200 where x >= 16 and y >= 16, else 40. The straight
  // edges lie on block borders and stay; the corner is rounded off.
  std::vector<std::vector<uint8_t>> rows(32, std::vector<uint8_t>(32, 40));
  for (int y = 16; y < 32; ++y)
    for (int x = 16; x < 32; ++x) rows[y][x] = 200;
  DibPtr img = GreyImage(rows);
  EngineArrays arrays;
  cImageProcessDIB(arrays).SmoothDMAP(*img, 8);

  // The corner, x and y 16..23 (line 16 first): '#' bright, '.' dark.
  const char* corner[8] = {".......#", ".....###", "...#####", "..######",
                           "..######", ".#######", ".#######", "########"};
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      bool bright = x >= 16 && y >= 16;
      if (x >= 16 && x < 24 && y >= 16 && y < 24) bright = corner[y - 16][x - 16] == '#';
      ExpectGreyPixel(*img, x, y, bright ? 200 : 40);
    }
  }
}

TEST(SmoothDMAP, FastMatchesReferenceOnRandomOddFrames) {
  const int32_t sizes[][2] = {{1, 1},  {1, 7},   {7, 1},    {3, 5},
                              {17, 9}, {37, 29}, {101, 67}, {641, 3}};
  const int32_t blockSizes[] = {1, 2, 3, 5, 8, 13, 16, 1000, INT_MAX};
  uint32_t seed = 1;
  for (const auto& size : sizes) {
    for (int32_t blockSize : blockSizes) {
      DibPtr a = RandomImage(size[0], size[1], seed++);
      // Depth images are blocky: make runs of equal values as well as noise.
      for (int32_t y = 0; y < size[1]; ++y)
        for (int32_t x = 0; x < size[0]; ++x)
          if ((x / 4 + y / 3) % 3 == 0) PixelAt(*a, x, y)[0] = static_cast<uint8_t>(x / 4 * 40);
      const DibPtr input = a->CopyOf();
      SmoothDepthReference(*a, blockSize);
      for (CpuLevel level : CpuLevels()) {
        DibPtr b = input->CopyOf();
        SmoothDepthFast(*b, blockSize, DepthLineKernelsFor(level));
        ASSERT_EQ(Bytes(*a), Bytes(*b))
            << CpuLevelName(level) << " " << size[0] << "x" << size[1] << " block " << blockSize;
      }
    }
  }
}

TEST(SmoothDMAP, BlockSizeBelowOneRunsNoPass) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  DibPtr img = RandomImage(13, 11, 5);
  const auto before = Bytes(*img);
  EXPECT_EQ(engine.SmoothDMAP(*img, 0), 0);
  EXPECT_EQ(engine.SmoothDMAP(*img, -8), 0);
  EXPECT_EQ(engine.SmoothDMAP(*img, INT_MIN), 0);
  EXPECT_EQ(Bytes(*img), before);
  cDIBSection empty;
  EXPECT_EQ(engine.SmoothDMAP(empty, 8), 0);
}

TEST(Dilate, GrowsBrightBytesInsideTheBorder) {
  // 6 x 5: a bright pixel at (3, 2) and one on the border at (0, 0).
  DibPtr img = SolidImage(6, 5, 0, 0, 0);
  std::memcpy(PixelAt(*img, 3, 2), "\x0a\x14\x1e", 3);  // 10, 20, 30
  std::memcpy(PixelAt(*img, 0, 0), "\x63\x63\x63", 3);  // 99
  EngineArrays arrays;
  cImageProcessDIB(arrays).Dilate(*img);

  auto pixel = [&](int x, int y) {
    const uint8_t* p = PixelAt(*img, x, y);
    return std::vector<int>{p[0], p[1], p[2]};
  };
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 6; ++x) {
      std::vector<int> want{0, 0, 0};
      if (x == 0 && y == 0)
        want = {99, 99, 99};  // border: untouched
      else if (x == 1 && y == 1)
        want = {99, 99, 99};  // reaches back to the corner
      else if (x >= 2 && x <= 3 && y >= 1 && y <= 3)
        want = {10, 20, 30};
      else if (x == 4 && y >= 1 && y <= 3)
        want = {10, 0, 0};  // pixel W-2: first byte only
      EXPECT_EQ(pixel(x, y), want) << "x " << x << " y " << y;
    }
  }
  // Too small for any inner pixel: nothing changes.
  DibPtr tiny = RandomImage(2, 7, 9);
  const auto before = Bytes(*tiny);
  cImageProcessDIB(arrays).Dilate(*tiny);
  EXPECT_EQ(Bytes(*tiny), before);
}

// Colours in the engine's array layout: one grey value per pixel.
Plane<int32_t> ColourArray(int32_t w, int32_t h, const std::vector<int32_t>& columnGrey) {
  Plane<int32_t> arr;
  arr.Redim(3 * w + 1, h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int32_t c = 0; c < 3; ++c) arr(3 * x + c, y) = columnGrey[x];
  return arr;
}

TEST(MatchDepthMap, MovesDepthStepsOntoColourEdges) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  const int32_t w = 24, h = 5;
  auto colourEdgeAfter = [&](int32_t x0) {  // colour step between x0 and x0 + 1
    std::vector<int32_t> grey(w, 30);
    std::fill(grey.begin() + x0 + 1, grey.end(), 200);
    return ColourArray(w, h, grey);
  };
  // Depth step between pixels 11 and 12; only line 2 is tested (H = 5).
  struct Case {
    uint8_t left, right;
    int32_t edgeAfter, newStep;  // first pixel with the right depth afterwards
  };
  const Case cases[] = {
      {0, 100, 9, 10},   // edge 2 pixels left: the step moves left onto it
      {0, 100, 15, 15},  // edge 4 pixels right, depth rising: shortened by 2
      {100, 0, 15, 17},  // the same with depth falling: the full run 12..16
  };
  for (const Case& c : cases) {
    std::vector<std::vector<uint8_t>> rows(h, std::vector<uint8_t>(w, c.left));
    for (auto& row : rows) std::fill(row.begin() + 12, row.end(), c.right);
    DibPtr img = GreyImage(rows);
    engine.MatchDepthMap(*img, colourEdgeAfter(c.edgeAfter));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        ExpectGreyPixel(*img, x, y, x < (y == 2 ? c.newStep : 12) ? c.left : c.right);
  }

  // Steps of at most 20 (pixel x against pixel x - 2) never move.
  std::vector<std::vector<uint8_t>> ramp(h, std::vector<uint8_t>(w));
  for (auto& row : ramp)
    for (int x = 0; x < w; ++x) row[x] = static_cast<uint8_t>(10 * x);
  DibPtr img = GreyImage(ramp);
  const auto before = Bytes(*img);
  engine.MatchDepthMap(*img, colourEdgeAfter(9));
  EXPECT_EQ(Bytes(*img), before);

  // A colour array smaller than the picture is refused.
  Plane<int32_t> shortArray;
  shortArray.Redim(3 * w - 1, h);
  try {
    engine.MatchDepthMap(*img, shortArray);
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrSubscriptOutOfRange);
  }
}

TEST(DepthMapClean, PushesNearValuesRightward) {
  // One line; pixel 5 is brighter than pixel 6 but lies beyond the last
  // tested column (W - 4), so only pixel 2 pushes.
  const uint8_t first[8] = {0, 0, 90, 10, 50, 95, 20, 20};
  DibPtr img = SolidImage(8, 2, 0, 0, 0);
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 8; ++x) {
      uint8_t* p = PixelAt(*img, x, y);
      p[0] = first[x];
      p[1] = static_cast<uint8_t>(x);
      p[2] = static_cast<uint8_t>(100 + x);
    }
  EngineArrays arrays;
  cImageProcessDIB(arrays).DepthMapClean(*img);
  const uint8_t wantFirst[8] = {0, 0, 90, 90, 90, 95, 20, 20};
  const uint8_t wantFrom[8] = {0, 1, 2, 2, 2, 5, 6, 7};  // pixel whose bytes each ends with
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 8; ++x) {
      const uint8_t* p = PixelAt(*img, x, y);
      EXPECT_EQ(p[0], wantFirst[x]) << x;
      EXPECT_EQ(p[1], wantFrom[x]) << x;
      EXPECT_EQ(p[2], 100 + wantFrom[x]) << x;
    }
}

TEST(RemoveFlecs, FillsKeyAndBlackSpecksFromTheirNeighbours) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  // 5 x 5: only (2, 2) is tested. Twelve neighbours are (10,20,30), twelve
  // (11,21,31): averages 10.5, 20.5, 30.5 round to even.
  auto make = [](uint8_t b, uint8_t g, uint8_t r) {
    DibPtr img = SolidImage(5, 5, 10, 20, 30);
    int n = 0;
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 5; ++x)
        if (!(x == 2 && y == 2) && n++ % 2 == 1)
          std::memcpy(PixelAt(*img, x, y), "\x0b\x15\x1f", 3);
    uint8_t* c = PixelAt(*img, 2, 2);
    c[0] = b;
    c[1] = g;
    c[2] = r;
    return img;
  };
  auto pixel = [](const cDIBSection& img, int x, int y) {
    const uint8_t* p = PixelAt(img, x, y);
    return std::vector<int>{p[0], p[1], p[2]};
  };
  DibPtr black = make(0, 0, 0);
  engine.RemoveFlecs(*black, 999);
  EXPECT_EQ(pixel(*black, 2, 2), (std::vector<int>{10, 20, 30}));

  DibPtr keyed = make(1, 1, 1);  // channel sum 3 = key
  engine.RemoveFlecs(*keyed, 3);
  EXPECT_EQ(pixel(*keyed, 2, 2), (std::vector<int>{10, 20, 30}));

  // Only 12 usable neighbours (not more than 12): the speck stays.
  DibPtr crowded = make(0, 0, 0);
  for (int i = 0; i < 12; ++i) std::memset(PixelAt(*crowded, i % 5, i / 5), 0, 3);
  engine.RemoveFlecs(*crowded, 999);
  EXPECT_EQ(pixel(*crowded, 2, 2), (std::vector<int>{0, 0, 0}));
}

TEST(CreateMask, MarksEverythingButCommonWhite) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  DibPtr img = SolidImage(3, 1, 255, 255, 255);
  std::memcpy(PixelAt(*img, 0, 0), "\x01\x02\x03", 3);
  Plane<int32_t> a = ColourArray(3, 1, {255, 255, 10});
  Plane<int32_t> b = ColourArray(3, 1, {255, 255, 255});
  engine.CreateMask(*img, a, b);
  ExpectGreyPixel(*img, 0, 0, 255);  // not white
  ExpectGreyPixel(*img, 1, 0, 0);    // white in all three
  ExpectGreyPixel(*img, 2, 0, 255);  // white here, not in a

  Plane<int32_t> shortArray;
  shortArray.Redim(8, 1);
  EXPECT_THROW(engine.CreateMask(*img, a, shortArray), RuntimeError);
}

TEST(MatchAreas, SplitsBlocksAtTheStrongestColourStep) {
  // 9 x 8: one block (its right neighbour column x = 8 exists); the colour
  // step lies between pixels 3 and 4 on every line.
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  arrays.PixelArray = ColourArray(9, 8, {0, 0, 0, 0, 100, 100, 100, 100, 100});
  DibPtr img = SolidImage(9, 8, 0, 7, 9);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 9; ++x) PixelAt(*img, x, y)[0] = x <= 3 ? 33 : 99;
  engine.MatchAreas(*img);
  // 32 pixels each side; the divisor is 32 OR 1 = 33.
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 9; ++x) {
      const uint8_t* p = PixelAt(*img, x, y);
      EXPECT_EQ(p[0], x <= 3 ? 32 : (x < 8 ? 96 : 99)) << x << "," << y;
      EXPECT_EQ(p[1], 7);
      EXPECT_EQ(p[2], 9);
    }
  }
  // Uniform colour: every step is 0, the last column wins, the whole block is
  // the left side: 64 pixels divided by 65.
  arrays.PixelArray = ColourArray(9, 8, std::vector<int32_t>(9, 50));
  DibPtr flat = SolidImage(9, 8, 65, 0, 0);
  engine.MatchAreas(*flat);
  EXPECT_EQ(PixelAt(*flat, 0, 0)[0], 64);
  EXPECT_EQ(PixelAt(*flat, 7, 7)[0], 64);
  EXPECT_EQ(PixelAt(*flat, 8, 7)[0], 65);

  arrays.PixelArray.Clear();
  EXPECT_THROW(engine.MatchAreas(*flat), RuntimeError);
}

}  // namespace
}  // namespace dioptrix
