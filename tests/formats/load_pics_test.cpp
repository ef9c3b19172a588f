#include "formats/load_pics.h"

#include <gtest/gtest.h>

#include <cstring>

#include "formats/reference_pics.h"
#include "tests/formats/format_fixture.h"

namespace dioptrix::test {
namespace {

using LoaderFn = void (*)(const FormatContext&);

struct Loader {
  const char* name;
  LoaderFn fast;
  LoaderFn stepwise;  // null: the loader has one version
};

const Loader kLoaders[] = {
    {"Load2D", Load2D, reference::Load2D},
    {"LoadAboveBelow", LoadAboveBelow, reference::LoadAboveBelow},
    {"LoadInterleaved", LoadInterleaved, nullptr},
    {"LoadJPS", LoadJPS, reference::LoadJPS},
    {"LoadAnaglyph", LoadAnaglyph, reference::LoadAnaglyph},
    {"LoadAnaglyphColour", LoadAnaglyphColour, reference::LoadAnaglyphColour},
};

// Scan line y of a view holds scan line `from` of the source.
bool SameLine(const cDIBSection& view, int32_t y, const cDIBSection& src, int32_t from,
              int32_t firstColumn = 0) {
  return std::memcmp(view.ScanLine(y), src.ScanLine(from) + 3 * firstColumn,
                     3 * static_cast<size_t>(view.Width())) == 0;
}

TEST(LoadPics, SideBySideHalvesEvenAndOddWidths) {
  Pipeline p;
  p.frames.SourceFrame = RandomImage(1280, 480, 1);
  LoadJPS(p.Context());
  const cDIBSection &left = *p.frames.StereoPair[0], &right = *p.frames.StereoPair[1];
  ASSERT_EQ(left.Width(), 640);
  ASSERT_EQ(left.Height(), 480);
  ASSERT_EQ(right.Width(), 640);
  for (int32_t y = 0; y < 480; ++y) {
    ASSERT_TRUE(SameLine(left, y, *p.frames.SourceFrame, y, 0));
    ASSERT_TRUE(SameLine(right, y, *p.frames.SourceFrame, y, 640));
  }

  // 1281 wide: round(640.5) = 640, the right view from column 640, the last
  // source column unused.
  p.frames.SourceFrame = RandomImage(1281, 480, 2);
  LoadJPS(p.Context());
  ASSERT_EQ(p.frames.StereoPair[0]->Width(), 640);
  ASSERT_EQ(p.frames.StereoPair[1]->Width(), 640);
  EXPECT_TRUE(SameLine(*p.frames.StereoPair[1], 7, *p.frames.SourceFrame, 7, 640));

  // 1283 wide: round(641.5) = 642; the right view's last column lies off the
  // source and is black.
  p.frames.SourceFrame = RandomImage(1283, 5, 3);
  LoadJPS(p.Context());
  const cDIBSection& r = *p.frames.StereoPair[1];
  ASSERT_EQ(r.Width(), 642);
  for (int32_t y = 0; y < 5; ++y) {
    EXPECT_EQ(std::memcmp(r.ScanLine(y), p.frames.SourceFrame->ScanLine(y) + 3 * 642, 3 * 641), 0);
    EXPECT_EQ(Bgr(PixelAt(r, 641, y)), 0u);
  }
  EXPECT_TRUE(p.Messages().empty());
}

TEST(LoadPics, AboveBelowHalvesEvenAndOddHeights) {
  Pipeline p;
  // The top half of the picture is the left view: scan lines 480..959.
  p.frames.SourceFrame = RandomImage(640, 960, 4);
  LoadAboveBelow(p.Context());
  ASSERT_EQ(p.frames.StereoPair[0]->Height(), 480);
  ASSERT_EQ(p.frames.StereoPair[1]->Height(), 480);
  ASSERT_EQ(p.frames.StereoPair[0]->Width(), 640);
  for (int32_t y = 0; y < 480; ++y) {
    ASSERT_TRUE(SameLine(*p.frames.StereoPair[0], y, *p.frames.SourceFrame, y + 480));
    ASSERT_TRUE(SameLine(*p.frames.StereoPair[1], y, *p.frames.SourceFrame, y));
  }

  // 481 rows: halves of 240 from top rows 0 and 240; the bottom row (scan line
  // 0) is dropped.
  p.frames.SourceFrame = RandomImage(9, 481, 5);
  LoadAboveBelow(p.Context());
  ASSERT_EQ(p.frames.StereoPair[0]->Height(), 240);
  ASSERT_EQ(p.frames.StereoPair[1]->Height(), 240);
  for (int32_t y = 0; y < 240; ++y) {
    ASSERT_TRUE(SameLine(*p.frames.StereoPair[0], y, *p.frames.SourceFrame, y + 241));
    ASSERT_TRUE(SameLine(*p.frames.StereoPair[1], y, *p.frames.SourceFrame, y + 1));
  }

  // 483 rows: halves of 242 from top rows 0 and 242; the right view's bottom
  // row lies below the picture and is black.
  p.frames.SourceFrame = RandomImage(9, 483, 6);
  LoadAboveBelow(p.Context());
  const cDIBSection &left = *p.frames.StereoPair[0], &right = *p.frames.StereoPair[1];
  ASSERT_EQ(left.Height(), 242);
  ASSERT_EQ(right.Height(), 242);
  for (int32_t y = 0; y < 242; ++y) ASSERT_TRUE(SameLine(left, y, *p.frames.SourceFrame, y + 241));
  for (int32_t y = 1; y < 242; ++y) ASSERT_TRUE(SameLine(right, y, *p.frames.SourceFrame, y - 1));
  for (int32_t x = 0; x < 9; ++x) EXPECT_EQ(Bgr(PixelAt(right, x, 0)), 0u);
  EXPECT_TRUE(p.Messages().empty());
}

TEST(LoadPics, InterleavedLinesAreDoubledAndAnOddTopLineIgnored) {
  for (int32_t h : {480, 481}) {
    Pipeline p;
    p.frames.SourceFrame = RandomImage(640, h, 7);
    LoadInterleaved(p.Context());
    const cDIBSection &left = *p.frames.StereoPair[0], &right = *p.frames.StereoPair[1];
    ASSERT_EQ(left.Width(), 640);
    ASSERT_EQ(left.Height(), 480);
    ASSERT_EQ(right.Height(), 480);
    for (int32_t y = 0; y < 480; ++y) {
      const int32_t even = y - y % 2;
      ASSERT_TRUE(SameLine(left, y, *p.frames.SourceFrame, even)) << y;
      ASSERT_TRUE(SameLine(right, y, *p.frames.SourceFrame, even + 1)) << y;
    }
  }
  // A single row gives empty views and no message.
  Pipeline p;
  p.frames.SourceFrame = RandomImage(5, 1, 8);
  LoadInterleaved(p.Context());
  ASSERT_TRUE(p.frames.StereoPair[0] && p.frames.StereoPair[1]);
  EXPECT_TRUE(p.frames.StereoPair[0]->Empty());
  EXPECT_TRUE(p.Messages().empty());
}

TEST(LoadPics, AnaglyphDecodingValues) {
  Pipeline p;
  p.frames.SourceFrame = SolidImage(3, 2, 100, 51, 200);
  LoadAnaglyph(p.Context());
  EXPECT_EQ(Bgr(PixelAt(*p.frames.StereoPair[0], 2, 1)), BgrOf(200, 200, 200));
  EXPECT_EQ(Bgr(PixelAt(*p.frames.StereoPair[1], 2, 1)), BgrOf(76, 76, 76));  // round(75.5)

  LoadAnaglyphColour(p.Context());
  EXPECT_EQ(Bgr(PixelAt(*p.frames.StereoPair[0], 0, 0)), BgrOf(0, 0, 200));
  EXPECT_EQ(Bgr(PixelAt(*p.frames.StereoPair[1], 0, 0)), BgrOf(100, 51, 0));

  // (B + G) = 149: 74.5 goes to the even 74.
  p.frames.SourceFrame = SolidImage(1, 2, 100, 49, 7);
  LoadAnaglyph(p.Context());
  EXPECT_EQ(Bgr(PixelAt(*p.frames.StereoPair[1], 0, 0)), BgrOf(74, 74, 74));
  EXPECT_EQ(Bgr(PixelAt(*p.frames.StereoPair[0], 0, 0)), BgrOf(7, 7, 7));
}

TEST(LoadPics, Load2DMakesIndependentCopies) {
  Pipeline p;
  p.frames.SourceFrame = RandomImage(33, 17, 9);
  const DibPtr original = p.frames.SourceFrame->CopyOf();
  for (int round = 0; round < 2; ++round) {  // the second round rewrites the views in place
    Load2D(p.Context());
    cDIBSection &left = *p.frames.StereoPair[0], &right = *p.frames.StereoPair[1];
    ASSERT_NE(&left, &right);
    ASSERT_TRUE(SamePixels(left, *original));
    std::memset(right.DIBSectionBitsPtr(), 0x5A, right.ImageSize());
    EXPECT_TRUE(SamePixels(left, *original));
    EXPECT_TRUE(SamePixels(*p.frames.SourceFrame, *original));
  }
}

// Every loader with more than one version gives the same views both ways, on
// odd sizes, with views that start as nothing, as stale images of the same
// size (rewritten in place) or as images of another size.
TEST(LoadPics, SinglePassLoadersEqualTheStepByStepOnesByteForByte) {
  const int32_t sizes[][2] = {{1, 1},  {2, 2},   {3, 2},    {2, 3},  {5, 7},
                              {17, 9}, {33, 31}, {101, 57}, {640, 3}};
  uint32_t seed = 100;
  for (const Loader& loader : kLoaders) {
    if (!loader.stepwise) continue;
    for (const auto& size : sizes) {
      for (int start = 0; start < 3; ++start) {
        Pipeline fast;
        fast.frames.SourceFrame = RandomImage(size[0], size[1], ++seed);
        if (start == 1) {  // run once so that the views have the loader's sizes
          loader.fast(fast.Context());
          if (fast.frames.StereoPair[0])
            std::memset(fast.frames.StereoPair[0]->DIBSectionBitsPtr(), 0xEE,
                        fast.frames.StereoPair[0]->ImageSize());
        } else if (start == 2) {
          fast.frames.StereoPair[0] = RandomImage(4, 4, ++seed);
          fast.frames.StereoPair[1] = RandomImage(6, 3, ++seed);
        }
        Pipeline steps;
        fast.CopyInto(steps);
        loader.fast(fast.Context());
        loader.stepwise(steps.Context());
        SCOPED_TRACE(::testing::Message()
                     << loader.name << " " << size[0] << "x" << size[1] << " start " << start);
        EXPECT_TRUE(SameImage(fast.frames.StereoPair[0], steps.frames.StereoPair[0]));
        EXPECT_TRUE(SameImage(fast.frames.StereoPair[1], steps.frames.StereoPair[1]));
        EXPECT_EQ(fast.Messages(), steps.Messages());
      }
    }
  }
}

TEST(LoadPics, NothingSourceIsReportedAndGivesUpTheFrame) {
  for (const Loader& loader : kLoaders) {
    Pipeline p;
    p.frames.StereoPair[0] = SolidImage(4, 4, 1, 2, 3);
    p.frames.StereoPair[1] = SolidImage(4, 4, 4, 5, 6);
    loader.fast(p.Context());
    ASSERT_EQ(p.Messages().size(), 1u) << loader.name;
    EXPECT_EQ(p.Messages()[0],
              std::string("An error occurred in ") + loader.name + ". Object variable not set");
    // The views are as they were.
    ASSERT_TRUE(p.frames.StereoPair[0] && p.frames.StereoPair[1]);
    EXPECT_EQ(Bgr(PixelAt(*p.frames.StereoPair[0], 0, 0)), BgrOf(1, 2, 3));
    EXPECT_EQ(Bgr(PixelAt(*p.frames.StereoPair[1], 3, 3)), BgrOf(4, 5, 6));
  }
}

TEST(LoadPics, SourceBelowTwoPixelsLeavesCropViewsNothing) {
  for (LoaderFn loader : {LoadJPS, LoadAboveBelow}) {
    for (const auto& size : {std::pair{1, 10}, std::pair{10, 1}}) {
      Pipeline p;
      p.frames.SourceFrame = RandomImage(size.first, size.second, 11);
      p.frames.StereoPair[0] = SolidImage(2, 2, 1, 1, 1);
      loader(p.Context());
      EXPECT_FALSE(p.frames.StereoPair[0]);
      EXPECT_FALSE(p.frames.StereoPair[1]);
      EXPECT_TRUE(p.Messages().empty());
    }
  }
}

}  // namespace
}  // namespace dioptrix::test
