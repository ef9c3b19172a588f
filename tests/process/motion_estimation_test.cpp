// Motion estimation: GetBlockMove's three-step search, UpdateDepth's predicted
// frame and GetMotionDepthMap's depth image, on small hand-checked frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "process/image_process.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::PixelAt;
using test::RandomImage;
using test::SamePixels;
using test::SolidImage;

void ExpectError(const std::function<void()>& fn, int32_t number) {
  try {
    fn();
    ADD_FAILURE() << "no error raised, expected " << number;
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), number);
  }
}

struct CompleteLog : ProgressObserver {
  std::vector<int32_t> completes;
  int32_t others = 0;
  void InitProgress(int32_t) override { ++others; }
  void Progress(int32_t) override { ++others; }
  void Complete(int32_t v) override { completes.push_back(v); }
};

std::array<uint8_t, 3> Pixel(const cDIBSection& img, int32_t x, int32_t y) {
  const uint8_t* p = PixelAt(img, x, y);
  return {p[0], p[1], p[2]};
}

void ExpectEveryBlockInPlace(const EngineArrays& a) {
  for (int32_t row = 0; row < a.MotionArray.Rows(); ++row)
    for (int32_t col = 0; col < a.MotionArray.Cols(); ++col) {
      EXPECT_EQ(a.MotionArray(col, row).x, 24 * col);
      EXPECT_EQ(a.MotionArray(col, row).y, 8 * row);
    }
}

TEST(GetBlockMove, StaticFramesFindNoMotionAndRaiseComplete) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  DibPtr prev = RandomImage(43, 29, 1);  // 5 x 3 whole blocks
  engine.CopyToArray(*prev);
  CompleteLog log;
  engine.SetObserver(&log);
  int32_t total = -1;
  const auto before = static_cast<uint32_t>(MillisecondClock());
  engine.GetBlockMove(*prev, total);
  const auto after = static_cast<uint32_t>(MillisecondClock());
  EXPECT_EQ(total, 0);
  ASSERT_EQ(arrays.MotionArray.Cols(), 5);
  ASSERT_EQ(arrays.MotionArray.Rows(), 3);
  ExpectEveryBlockInPlace(arrays);
  // Complete alone, once, with the millisecond clock.
  ASSERT_EQ(log.completes.size(), 1u);
  EXPECT_EQ(log.others, 0);
  EXPECT_LE(static_cast<uint32_t>(log.completes[0]) - before, after - before);

  // Every byte one higher: each block costs 22 x 8 = 176 < 400, so none
  // searches and the total is 15 x 176.
  DibPtr brighter = prev->CopyOf();
  for (int32_t y = 0; y < 29; ++y)
    for (int32_t b = 0; b < 3 * 43; ++b) {
      uint8_t& v = brighter->ScanLine(y)[b];
      if (v == 255) arrays.PixelArray(b, y) = v = 254;
      ++v;
    }
  engine.GetBlockMove(*brighter, total);
  EXPECT_EQ(total, 15 * 176);
  ExpectEveryBlockInPlace(arrays);
}

TEST(GetBlockMove, FindsAKnownShiftAndUpdateDepthPredictsTheFrame) {
  // cur(x, y) = prev(x + sx, y + sy) where that lies in the frame.
  for (auto [sx, sy] : std::vector<std::pair<int32_t, int32_t>>{{7, 7}, {0, 7}}) {
    EngineArrays arrays;
    cImageProcessDIB engine(arrays);
    DibPtr prev = RandomImage(64, 48, 2), cur = RandomImage(64, 48, 3);
    for (int32_t y = 0; y + sy < 48; ++y)
      for (int32_t x = 0; x + sx < 64; ++x)
        std::memcpy(PixelAt(*cur, x, y), PixelAt(*prev, x + sx, y + sy), 3);
    engine.CopyToArray(*prev);
    int32_t total = 0;
    engine.GetBlockMove(*cur, total);
    DibPtr predicted = SolidImage(64, 48, 0, 0, 0);
    engine.UpdateDepth(*predicted);
    // Matches at byte columns 1..169 and lines 1..39 are found in the first
    // step; byte column 0 is never taken.
    for (int32_t row = 0; row <= 4; ++row)
      for (int32_t col = 0; col < 8; ++col) {
        const int32_t mx = 24 * col + 3 * sx, my = 8 * row + sy;
        const MotionVector m = arrays.MotionArray(col, row);
        if (mx == 0) {
          EXPECT_TRUE(m.x >= 1 || m.y == 8 * row);
        }
        if (mx < 1 || mx >= 170) continue;
        EXPECT_EQ(m.x, mx);
        EXPECT_EQ(m.y, my);
        for (int32_t j = 0; j < 8; ++j) {
          EXPECT_EQ(std::memcmp(predicted->ScanLine(8 * row + j) + 24 * col,
                                cur->ScanLine(8 * row + j) + 24 * col, 24),
                    0);
        }
      }
  }
}

TEST(UpdateDepth, CopiesTheMatchedBytesUpToTheSpareColumn) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  engine.CopyToArray(*RandomImage(20, 17, 4));  // byte columns 0..60, 60 the spare
  Plane<MotionVector>& m = arrays.MotionArray;
  m.Redim(2, 2);
  m(0, 0) = {5, 3};
  m(1, 0) = {37, 9};  // bytes 37..60
  m(1, 1) = {24, 8};
  DibPtr pic = SolidImage(20, 17, 9, 9, 9);
  engine.UpdateDepth(*pic);
  for (int32_t y = 0; y < 17; ++y)
    for (int32_t b = 0; b < 60; ++b) {
      const int32_t col = b / 24, row = y / 8;
      const int32_t want = col < 2 && row < 2
                               ? arrays.PixelArray(m(col, row).x + b % 24, m(col, row).y + y % 8)
                               : 9;  // outside the whole blocks
      ASSERT_EQ(pic->ScanLine(y)[b], want) << "byte " << b << " line " << y;
    }
  EXPECT_EQ(pic->ScanLine(0)[47], 0);
}

TEST(GetMotionDepthMap, WorkedDepthImage) {
  // 24 x 17: 3 x 2 blocks and line 16 outside them (distance 0). Block
  // distances 2 (mx 6 -> 2), 2 (dy 2), 2 (mx 43 -> 14, dx -2) / 0, 13 (5, 12),
  // 74 (70, 24): mode 2, k = 300 / 75 = 4; |dist - 2| scaled by 255 / 23
  // gives 0, 0, 0 / 22, 122, 255 and 22 on line 16.
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  Plane<MotionVector>& m = arrays.MotionArray;
  m.Redim(3, 2);
  m(0, 0) = {6, 0};
  m(1, 0) = {24, 2};
  m(2, 0) = {43, 0};
  m(0, 1) = {0, 8};
  m(1, 1) = {39, 20};
  m(2, 1) = {258, 32};
  const std::array<std::pair<int32_t, int32_t>, 5> at = {
      {{3, 2}, {1, 9}, {12, 15}, {23, 8}, {23, 16}}};
  // Replacing (blend < 3): round(D / 4), ties to even (122 / 4 = 30.5 -> 30).
  const uint8_t replaced[5] = {0, 6, 30, 64, 6};
  for (int16_t blend : {0, 2, -1}) {
    DibPtr pic = RandomImage(24, 17, 5);
    engine.GetMotionDepthMap(*pic, blend);
    for (size_t i = 0; i < at.size(); ++i) {
      const uint8_t v = replaced[i];
      EXPECT_EQ(Pixel(*pic, at[i].first, at[i].second), (std::array<uint8_t, 3>{v, v, v}));
    }
  }
  // Blending (blend >= 3): round((4 p + D) / 5) per byte.
  DibPtr pic = SolidImage(24, 17, 100, 51, 0);
  engine.GetMotionDepthMap(*pic, 3);
  const std::array<uint8_t, 3> blended[5] = {
      {80, 41, 0}, {84, 45, 4}, {104, 65, 24}, {131, 92, 51}, {84, 45, 4}};
  for (size_t i = 0; i < at.size(); ++i)
    EXPECT_EQ(Pixel(*pic, at[i].first, at[i].second), blended[i]);
}

TEST(GetMotionDepthMap, StaticSceneAndMotionsBeyond299) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  // A static scene: mode 0, D 0, k = 300.
  DibPtr pic = SolidImage(17, 9, 255, 200, 150);
  engine.CopyToArray(*pic);
  int32_t total = 0;
  engine.GetBlockMove(*pic, total);
  engine.GetMotionDepthMap(*pic, 3);  // round(p * 300 / 301)
  EXPECT_TRUE(SamePixels(*pic, *SolidImage(17, 9, 254, 199, 150)));
  engine.GetMotionDepthMap(*pic, 0);
  EXPECT_TRUE(SamePixels(*pic, *SolidImage(17, 9, 0, 0, 0)));

  // Distances 0, 22, 300: bins 0, 22 and 63 tie and the first is the mode;
  // k = 300 / 301. D 244 gives round(244.81) = 245; D 255 gives 256, limited.
  arrays.MotionArray.Redim(3, 1);
  arrays.MotionArray(1, 0) = {24 + 66, 0};
  arrays.MotionArray(2, 0) = {3 * 316, 0};
  DibPtr wide = RandomImage(24, 8, 6);
  engine.GetMotionDepthMap(*wide, 0);
  EXPECT_EQ(Pixel(*wide, 0, 0), (std::array<uint8_t, 3>{0, 0, 0}));
  EXPECT_EQ(Pixel(*wide, 8, 7), (std::array<uint8_t, 3>{245, 245, 245}));
  EXPECT_EQ(Pixel(*wide, 23, 3), (std::array<uint8_t, 3>{255, 255, 255}));
}

TEST(MotionEstimation, SmallFramesAndArraysThatDoNotCover) {
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  // Frames without a whole block: no vectors, nothing copied, distance 0.
  for (auto [w, h] :
       std::vector<std::pair<int32_t, int32_t>>{{1, 1}, {7, 7}, {1, 20}, {30, 1}, {8, 7}}) {
    DibPtr pic = RandomImage(w, h, 7);
    DibPtr copy = pic->CopyOf();
    engine.CopyToArray(*pic);
    int32_t total = -1;
    engine.GetBlockMove(*pic, total);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(arrays.MotionArray.Cols(), w / 8);
    EXPECT_EQ(arrays.MotionArray.Rows(), h / 8);
    engine.UpdateDepth(*pic);
    EXPECT_TRUE(SamePixels(*pic, *copy));
    engine.GetMotionDepthMap(*pic, 0);
    EXPECT_TRUE(SamePixels(*pic, *SolidImage(w, h, 0, 0, 0)));
  }
  // An 8 x 8 frame has no valid candidate: even a poor match stays in place.
  engine.CopyToArray(*SolidImage(8, 8, 10, 10, 10));
  int32_t total = 0;
  engine.GetBlockMove(*SolidImage(8, 8, 0, 0, 0), total);
  EXPECT_EQ(total, 1760);
  ExpectEveryBlockInPlace(arrays);

  // A previous frame that does not cover the picture; MotionArray is kept.
  DibPtr big = RandomImage(16, 16, 8);
  ExpectError([&] { engine.GetBlockMove(*big, total); }, kErrSubscriptOutOfRange);
  EXPECT_EQ(arrays.MotionArray.Cols(), 1);
  // Differences too large for the 32-bit total; no Complete after the error.
  engine.CopyToArray(*big);
  std::fill_n(arrays.PixelArray.Data(), arrays.PixelArray.Size(), INT32_MAX);
  CompleteLog log;
  engine.SetObserver(&log);
  ExpectError([&] { engine.GetBlockMove(*big, total); }, kErrOverflow);
  EXPECT_EQ(total, 0);
  EXPECT_TRUE(log.completes.empty());
  engine.SetObserver(nullptr);

  // MotionArray without a vector for every block of the picture.
  engine.CopyToArray(*big);
  arrays.MotionArray.Redim(2, 1);
  ExpectError([&] { engine.UpdateDepth(*big); }, kErrSubscriptOutOfRange);
  ExpectError([&] { engine.GetMotionDepthMap(*big, 0); }, kErrSubscriptOutOfRange);
  // Positions whose bytes leave PixelArray (49 x 16); elements outside 0..255.
  arrays.MotionArray.Redim(2, 2);
  for (MotionVector v : {MotionVector{-1, 0}, {0, -1}, {26, 0}, {0, 9}}) {
    arrays.MotionArray(1, 1) = v;
    ExpectError([&] { engine.UpdateDepth(*big); }, kErrSubscriptOutOfRange);
  }
  arrays.MotionArray(1, 1) = {0, 0};
  arrays.PixelArray(5, 3) = 256;
  ExpectError([&] { engine.UpdateDepth(*big); }, kErrOverflow);
  // A distance beyond 32 bits.
  arrays.MotionArray(1, 1) = {INT32_MIN, INT32_MIN};
  ExpectError([&] { engine.GetMotionDepthMap(*big, 3); }, kErrOverflow);
}

}  // namespace
}  // namespace dioptrix
