#include "formats/save_pics.h"

#include <gtest/gtest.h>

#include <cstring>

#include "formats/format_support.h"
#include "formats/reference_pics.h"
#include "image/dib_operations.h"
#include "tests/formats/format_fixture.h"

namespace dioptrix::test {
namespace {

using ComposeFn = void (*)(const FormatContext&);

void SetViews(Pipeline& p, DibPtr left, DibPtr right) {
  p.frames.StereoPair[0] = std::move(left);
  p.frames.StereoPair[1] = std::move(right);
}

std::string Continuing(const std::string& routine, const std::string& description) {
  return "An error occurred in " + routine + ". Attempting to continue. " + description;
}

// Every row of the picture is one colour, row by row from the top.
std::vector<uint32_t> RowColours(const cDIBSection& img, int32_t x) {
  std::vector<uint32_t> colours;
  for (int32_t top = 0; top < img.Height(); ++top) colours.push_back(Bgr(TopPixel(img, x, top)));
  return colours;
}

TEST(SavePics, SideBySidePlacesTheLeftViewOnTheLeft) {
  Pipeline p;
  SetViews(p, RandomImage(640, 480, 1), RandomImage(640, 480, 2));
  SaveSideBySide(p.Context());
  const cDIBSection& out = *p.frames.OutputFrame;
  ASSERT_EQ(out.Width(), 1280);
  ASSERT_EQ(out.Height(), 480);
  for (int32_t y = 0; y < 480; ++y) {
    ASSERT_EQ(std::memcmp(out.ScanLine(y), p.frames.StereoPair[0]->ScanLine(y), 1920), 0);
    ASSERT_EQ(std::memcmp(out.ScanLine(y) + 1920, p.frames.StereoPair[1]->ScanLine(y), 1920), 0);
  }
  EXPECT_TRUE(p.Messages().empty());
}

TEST(SavePics, AboveBelowGeometryAt1024x768WithOffset20) {
  Pipeline p;
  p.settings.ScreenWidth = 1024;
  p.settings.ScreenHeight = 768;
  p.settings.VertFactor = 20;
  const uint32_t red = BgrOf(0, 0, 255), blue = BgrOf(255, 0, 0);
  SetViews(p, SolidImage(640, 480, 0, 0, 255), SolidImage(640, 480, 255, 0, 0));
  SaveAboveBelow(p.Context(), true);
  // gap 38, scale 730 / 480, picture 973 x (730 + 38); half 365, the right
  // view from row 365 + 38 = 403.
  const cDIBSection& out = *p.frames.OutputFrame;
  ASSERT_EQ(out.Width(), 973);
  ASSERT_EQ(out.Height(), 768);
  std::vector<uint32_t> expected(768, 0);
  std::fill(expected.begin(), expected.begin() + 365, red);
  std::fill(expected.begin() + 403, expected.end(), blue);
  EXPECT_EQ(RowColours(out, 0), expected);
  EXPECT_EQ(RowColours(out, 972), expected);
  EXPECT_TRUE(p.Messages().empty());
}

TEST(SavePics, AboveBelowWithOffsetZeroReportsAndContinuesWithoutGap) {
  Pipeline p;
  p.settings.ScreenWidth = 1024;
  p.settings.ScreenHeight = 768;
  p.settings.VertFactor = 0;
  SetViews(p, SolidImage(640, 480, 0, 0, 255), SolidImage(640, 480, 255, 0, 0));
  SaveAboveBelow(p.Context(), true);
  ASSERT_EQ(p.Messages(),
            std::vector<std::string>{Continuing("SaveAboveBelow", "Division by zero")});
  // No gap: scale 1.6, a 1024 x 768 picture, the views in halves of 384 rows.
  const cDIBSection& out = Need(p.frames.OutputFrame);
  ASSERT_EQ(out.Width(), 1024);
  ASSERT_EQ(out.Height(), 768);
  std::vector<uint32_t> expected(768, BgrOf(255, 0, 0));
  std::fill(expected.begin(), expected.begin() + 384, BgrOf(0, 0, 255));
  EXPECT_EQ(RowColours(out, 500), expected);
}

TEST(SavePics, AnaglyphValues) {
  Pipeline p;
  SetViews(p, SolidImage(3, 3, 30, 60, 90), SolidImage(3, 3, 0, 0, 255));
  SaveAnaGray(p.Context());
  EXPECT_EQ(Bgr(PixelAt(*p.frames.OutputFrame, 1, 1)), BgrOf(85, 85, 60));

  SetViews(p, SolidImage(3, 3, 10, 20, 30), SolidImage(3, 3, 40, 50, 60));
  SaveAnaColour(p.Context());
  EXPECT_EQ(Bgr(PixelAt(*p.frames.OutputFrame, 2, 0)), BgrOf(40, 50, 22));

  // Red and green of the left view, the right view's luminance in blue:
  // (707 * 50 + 222 * 60 + 71 * 40) / 1000 = 51.51.
  SaveAnaYellow(p.Context());
  EXPECT_EQ(Bgr(PixelAt(*p.frames.OutputFrame, 0, 2)), BgrOf(52, 20, 30));
  EXPECT_TRUE(p.Messages().empty());
}

struct Composition {
  const char* name;
  ComposeFn fast;
  ComposeFn stepwise;
};

void AboveBelowQuick(const FormatContext& ctx) { SaveAboveBelow(ctx, true); }
void AboveBelowQuickSteps(const FormatContext& ctx) { reference::SaveAboveBelow(ctx, true); }

const Composition kCompositions[] = {
    {"SaveSideBySide", SaveSideBySide, reference::SaveSideBySide},
    {"SaveAboveBelow", AboveBelowQuick, AboveBelowQuickSteps},
    {"SaveAnaGray", SaveAnaGray, reference::SaveAnaGray},
    {"SaveAnaColour", SaveAnaColour, reference::SaveAnaColour},
    {"SaveAnaYellow", SaveAnaYellow, reference::SaveAnaYellow},
};

// The single-pass compositions give the picture of the step-by-step ones, on
// random views of odd and of different sizes, with an output that starts as
// nothing, as a stale image of the composition's size (rewritten in place)
// or as another image.
TEST(SavePics, SinglePassCompositionsEqualTheStepByStepOnesByteForByte) {
  const int32_t views[][4] = {{1, 1, 1, 1},       {2, 1, 1, 2},         {17, 9, 17, 9},
                              {101, 57, 101, 57}, {640, 481, 640, 481}, {33, 31, 20, 40},
                              {20, 40, 33, 31},   {35, 13, 35, 21},     {35, 21, 35, 13},
                              {97, 5, 3, 97}};
  // Screen width, height and vertical offset of the above/below picture.
  const int32_t screens[][3] = {{640, 480, 10}, {1024, 768, 20}, {1023, 767, -7}, {300, 900, 3}};
  uint32_t seed = 1000;
  for (const Composition& c : kCompositions) {
    for (const auto& v : views) {
      for (const auto& screen : screens) {
        for (int start = 0; start < 3; ++start) {
          Pipeline fast;
          fast.settings.ScreenWidth = screen[0];
          fast.settings.ScreenHeight = screen[1];
          fast.settings.VertFactor = screen[2];
          seed += 2;
          SetViews(fast, RandomImage(v[0], v[1], seed), RandomImage(v[2], v[3], seed + 1));
          if (start == 1) {
            c.fast(fast.Context());
            if (formats::HasPixels(fast.frames.OutputFrame))
              std::memset(fast.frames.OutputFrame->DIBSectionBitsPtr(), 0xEE,
                          fast.frames.OutputFrame->ImageSize());
          } else if (start == 2) {
            fast.frames.OutputFrame = RandomImage(7, 5, ++seed);
          }
          Pipeline steps;
          fast.CopyInto(steps);
          c.fast(fast.Context());
          c.stepwise(steps.Context());
          SCOPED_TRACE(::testing::Message() << c.name << " views " << v[0] << "x" << v[1] << " and "
                                            << v[2] << "x" << v[3] << " screen " << screen[0] << "x"
                                            << screen[1] << "/" << screen[2] << " start " << start);
          ASSERT_TRUE(SameImage(fast.frames.OutputFrame, steps.frames.OutputFrame));
          EXPECT_EQ(fast.Messages(), steps.Messages());
        }
        if (c.fast != AboveBelowQuick) break;  // the others do not read the settings
      }
    }
  }
}

// A missing view is reported as "Object variable not set" by every
// composition, which still produces what it can from the other view.
TEST(SavePics, MissingViewsAreReportedAndTheFrameStillProduced) {
  std::vector<Composition> all(std::begin(kCompositions), std::end(kCompositions));
  all.push_back(
      {"SaveInterlace", [](const FormatContext& c) { SaveInterlace(c, false); }, nullptr});
  for (const Composition& c : all) {
    for (int missing = 0; missing < 3; ++missing) {  // left, right, both
      Pipeline p;
      if (missing == 1) p.frames.StereoPair[0] = SolidImage(6, 4, 10, 20, 30);
      if (missing == 0) p.frames.StereoPair[1] = SolidImage(6, 4, 40, 50, 60);
      c.fast(p.Context());
      SCOPED_TRACE(::testing::Message() << c.name << " missing " << missing);
      ASSERT_FALSE(p.Messages().empty());
      EXPECT_EQ(p.Messages()[0], Continuing(c.name, "Object variable not set"));
      // With no view at all the pair is empty, and sizes derived from it may
      // add their own errors (a division by zero).
      if (missing == 2) continue;
      for (const std::string& text : p.Messages())
        EXPECT_EQ(text, Continuing(c.name, "Object variable not set"));
    }
  }

  // What is still produced: the present view in its place, the rest black.
  Pipeline p;
  p.frames.StereoPair[0] = SolidImage(6, 4, 10, 20, 30);
  SaveSideBySide(p.Context());
  ASSERT_EQ(p.frames.OutputFrame->Width(), 12);
  EXPECT_EQ(Bgr(TopPixel(*p.frames.OutputFrame, 5, 3)), BgrOf(10, 20, 30));
  EXPECT_EQ(Bgr(TopPixel(*p.frames.OutputFrame, 6, 0)), 0u);

  SaveAnaGray(p.Context());  // red = round(60 / 3) of the left view only
  EXPECT_EQ(Bgr(PixelAt(*p.frames.OutputFrame, 0, 0)), BgrOf(0, 0, 20));

  SaveInterlace(p.Context(), false);
  ASSERT_EQ(p.frames.OutputFrame->Height(), 4);
  EXPECT_EQ(Bgr(PixelAt(*p.frames.OutputFrame, 2, 1)), BgrOf(10, 20, 30));
  EXPECT_EQ(Bgr(PixelAt(*p.frames.OutputFrame, 2, 0)), 0u);
}

TEST(SavePics, InterlaceTakesEvenLinesFromTheRightAndOddFromTheLeft) {
  Pipeline p;
  SetViews(p, RandomImage(640, 481, 21), RandomImage(640, 481, 22));
  for (int round = 0; round < 2; ++round) {  // the second frame rewrites the output in place
    SaveInterlace(p.Context(), false);
    const cDIBSection& out = *p.frames.OutputFrame;
    ASSERT_EQ(out.Width(), 640);
    ASSERT_EQ(out.Height(), 480);
    for (int32_t y = 0; y < 480; y += 2) {
      ASSERT_EQ(std::memcmp(out.ScanLine(y), p.frames.StereoPair[1]->ScanLine(y), 1920), 0);
      ASSERT_EQ(std::memcmp(out.ScanLine(y + 1), p.frames.StereoPair[0]->ScanLine(y), 1920), 0);
    }
  }
  EXPECT_TRUE(p.Messages().empty());
}

// Views of heights 480 and 500: the taller right view is read from line s + 20
// so that the tops line up. Lines past a view repeat its top line, and a
// narrower view's lines end in black; nothing is read past a view.
TEST(SavePics, InterlaceAlignsTopsAndStaysInsideSmallerViews) {
  Pipeline p;
  SetViews(p, RandomImage(300, 480, 23), RandomImage(320, 500, 24));
  SaveInterlace(p.Context(), false);
  const cDIBSection &out = *p.frames.OutputFrame, &left = *p.frames.StereoPair[0],
                    &right = *p.frames.StereoPair[1];
  ASSERT_EQ(out.Width(), 320);
  ASSERT_EQ(out.Height(), 500);
  for (int32_t y = 0; y < 500; y += 2) {
    const int32_t r = std::min(y + 20, 499), l = std::min(y, 479);
    ASSERT_EQ(std::memcmp(out.ScanLine(y), right.ScanLine(r), 960), 0) << y;
    ASSERT_EQ(std::memcmp(out.ScanLine(y + 1), left.ScanLine(l), 900), 0) << y;
    for (int32_t x = 300; x < 320; ++x) ASSERT_EQ(Bgr(PixelAt(out, x, y + 1)), 0u);
  }

  // The taller view on the left: its lines are offset instead.
  SetViews(p, RandomImage(8, 13, 25), RandomImage(8, 10, 26));
  SaveInterlace(p.Context(), false);
  ASSERT_EQ(p.frames.OutputFrame->Height(), 12);
  EXPECT_EQ(std::memcmp(p.frames.OutputFrame->ScanLine(1), p.frames.StereoPair[0]->ScanLine(3), 24),
            0);
  EXPECT_EQ(std::memcmp(p.frames.OutputFrame->ScanLine(0), p.frames.StereoPair[1]->ScanLine(0), 24),
            0);
  EXPECT_TRUE(p.Messages().empty());
}

// Fitting to the screen: the screen of the settings when interlacing through
// OpenGL, else the desktop. Every scan line keeps its eye whether the rows
// are widened or narrowed.
TEST(SavePics, InterlaceFitKeepsTheEyesOnTheirLines) {
  Pipeline p;
  p.settings.InterlaceViaOpenGL = true;
  p.settings.ScreenWidth = 800;   // sx = 2.5
  p.settings.ScreenHeight = 500;  // sy = 2.5 - scale 2.5
  const uint32_t leftColour = BgrOf(1, 2, 3), rightColour = BgrOf(4, 5, 6);
  SetViews(p, SolidImage(320, 200, 1, 2, 3), SolidImage(320, 200, 4, 5, 6));
  SaveInterlace(p.Context(), true);
  ASSERT_EQ(p.frames.OutputFrame->Width(), 800);
  ASSERT_EQ(p.frames.OutputFrame->Height(), 500);
  for (int32_t y = 0; y < 500; ++y)
    ASSERT_EQ(Bgr(PixelAt(*p.frames.OutputFrame, 799, y)), y % 2 ? leftColour : rightColour) << y;

  // Through the desktop, narrower than the pair: scale 0.5 gives 160 x 100;
  // the columns are those the resampler picks, every line keeps its eye.
  p.settings.InterlaceViaOpenGL = false;
  p.host.onDesktopSize = [] { return ScreenSize{160, 900}; };
  SetViews(p, RandomImage(320, 200, 27), RandomImage(320, 200, 28));
  SaveInterlace(p.Context(), true);
  const cDIBSection& out = *p.frames.OutputFrame;
  ASSERT_EQ(out.Width(), 160);
  ASSERT_EQ(out.Height(), 100);
  const float xr = 319.0f / 160.0f;
  for (int32_t y = 0; y < 100; ++y) {
    const cDIBSection& view = *p.frames.StereoPair[y % 2 ? 0 : 1];
    const int32_t line = y - y % 2;  // lines y and y + 1 from source line 2 * y / 2
    for (int32_t x = 0; x < 160; x += 13) {
      const auto sx = static_cast<int32_t>(static_cast<float>(x) * xr);
      ASSERT_EQ(Bgr(PixelAt(out, x, y)), Bgr(PixelAt(view, sx, 2 * line))) << x << "," << y;
    }
  }
  EXPECT_TRUE(p.Messages().empty());
}

}  // namespace
}  // namespace dioptrix::test
