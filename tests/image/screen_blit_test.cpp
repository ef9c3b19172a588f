#include "image/screen_blit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "image/blit.h"
#include "image/screen_kernels.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::RandomImage;

// A view inside a larger 32-bit picture of random bytes: margins of whole
// pixels on every side and spare bytes at the end of each line (not always a
// multiple of 4). The buffer ends right after the picture's last pixel, so
// that the address checker sees any write past it.
struct Screen {
  std::vector<uint8_t> bytes;
  ScreenImage view;
};

Screen MakeScreen(int32_t w, int32_t h, std::mt19937& rng) {
  const int32_t left = rng() % 3, right = rng() % 3, top = rng() % 3, bottom = rng() % 3;
  const int64_t line = 4 * int64_t{left + w + right} + rng() % 7;
  Screen s;
  s.bytes.resize(static_cast<size_t>(line * (top + h + bottom - 1) + 4 * (left + w + right)));
  for (auto& b : s.bytes) b = static_cast<uint8_t>(rng());
  s.view = {s.bytes.data() + top * line + 4 * left, line, w, h};
  return s;
}

// The screen bytes the 24-bit operation gives: `draw` runs on two pictures of
// the view's size holding the view's colours and their complement; a pixel
// the operation drew ends up the same in both and is expanded to B, G, R,
// 0xFF, every other byte keeps its value. result receives draw's answer.
std::vector<uint8_t> Reference(const Screen& s, const std::function<bool(cDIBSection&)>& draw,
                               bool* result) {
  const ScreenImage& v = s.view;
  std::vector<uint8_t> expected = s.bytes;
  cDIBSection a, b;
  if (!a.Create(v.width, v.height) || !b.Create(v.width, v.height)) {
    *result = draw(a);  // an empty picture
    return expected;
  }
  auto at = [&](const cDIBSection& img, int32_t x, int32_t y) {
    return img.ScanLine(v.height - 1 - y) + 3 * x;
  };
  for (int32_t y = 0; y < v.height; ++y)
    for (int32_t x = 0; x < v.width; ++x)
      for (int c = 0; c < 3; ++c) {
        const uint8_t px = v.bits[y * v.bytesPerLine + 4 * x + c];
        at(a, x, y)[c] = px;
        at(b, x, y)[c] = static_cast<uint8_t>(~px);
      }
  *result = draw(a);
  EXPECT_EQ(draw(b), *result);
  const size_t origin = static_cast<size_t>(v.bits - s.bytes.data());
  for (int32_t y = 0; y < v.height; ++y)
    for (int32_t x = 0; x < v.width; ++x)
      if (std::memcmp(at(a, x, y), at(b, x, y), 3) == 0) {
        uint8_t* e = &expected[origin + y * v.bytesPerLine + 4 * x];
        std::memcpy(e, at(a, x, y), 3);
        e[3] = 0xFF;
      }
  return expected;
}

// Index and value of the first byte where two buffers differ, for messages.
std::string FirstDifference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i] != want[i])
      return "byte " + std::to_string(i) + ": " + std::to_string(got[i]) + " instead of " +
             std::to_string(want[i]);
  return "none";
}

// Rectangle corners and sizes far off every picture, mixed into the random ones.
constexpr int32_t kFar[] = {INT32_MIN, INT32_MIN + 1, -1000000, 1000000, INT32_MAX - 1, INT32_MAX};

int32_t Pick(std::mt19937& rng, int32_t lo, int32_t hi) {
  return lo + static_cast<int32_t>(rng() % static_cast<uint32_t>(hi - lo + 1));
}

// Every level copies the pixels BitBlt copies, byte for byte, onto views of
// every small width, off-picture rectangles and rectangles of any size, and
// leaves every other byte (margins, line ends, pixels not copied) alone.
TEST(ScreenBlit, CopyEqualsBitBltThenExpand) {
  std::vector<std::pair<int32_t, int32_t>> sizes;
  for (int32_t w = 1; w <= 70; ++w) sizes.push_back({w, 1 + w % 4});
  for (int32_t w : {95, 96, 97, 131, 257, 1921}) sizes.push_back({w, 3});
  for (CpuLevel level : CpuLevels()) {
    const ScreenBlitKernels& kernels = ScreenBlitKernelsFor(level);
    ASSERT_LE(kernels.level, level);  // a level without its own kernels uses the one below
    std::mt19937 rng(5);
    for (const auto& [srcW, srcH] : sizes) {
      DibPtr src = RandomImage(srcW, srcH, rng());
      for (int trial = 0; trial < 4; ++trial) {
        int32_t vw = Pick(rng, 1, srcW + 4), vh = Pick(rng, 1, srcH + 3);
        int32_t dx = Pick(rng, -6, vw), dy = Pick(rng, -3, vh);
        int32_t sx = Pick(rng, -6, srcW), sy = Pick(rng, -3, srcH);
        int32_t w = Pick(rng, -1, srcW + 8), h = Pick(rng, -1, srcH + 4);
        if (trial == 0) {  // whole rows of the source: every row length reaches the kernels
          vw = srcW + Pick(rng, 0, 3);
          dx = Pick(rng, 0, vw - srcW), dy = 0, sx = sy = 0, w = srcW, h = srcH;
        } else if (trial == 1) {  // one value far off
          int32_t* field[] = {&dx, &dy, &sx, &sy, &w, &h};
          *field[rng() % 6] = kFar[rng() % std::size(kFar)];
        }
        Screen screen = MakeScreen(vw, vh, rng);
        bool ignored = false;
        const auto expected = Reference(
            screen, [&](cDIBSection& d) { return BitBlt(d, dx, dy, w, h, *src, sx, sy, kSrcCopy); },
            &ignored);
        BlitToScreen(screen.view, dx, dy, w, h, *src, sx, sy, kernels);
        ASSERT_EQ(screen.bytes, expected)
            << CpuLevelName(level) << " src " << srcW << "x" << srcH << " view " << vw << "x" << vh
            << " rect " << dx << "," << dy << " " << w << "x" << h << " from " << sx << "," << sy
            << ": " << FirstDifference(screen.bytes, expected);
      }
    }
  }
}

struct StretchCase {
  int32_t srcW, srcH, dw, dh;
  bool white = false;  // every byte 255: the largest sums
};

// Every level draws the pixels StretchBlt draws, in both modes, byte for byte
// and nothing else: shrinking (down to 37:1 and past 257 rows a pixel),
// enlarging (up to 1:5), mixed factors, 1:1, source rectangles reaching off
// the source and destination rectangles off the view, odd sizes around the
// vector widths; with the same answers for invalid sizes and modes.
TEST(ScreenBlit, StretchEqualsStretchBltThenExpand) {
  std::vector<StretchCase> cases = {
      {17, 5, 17, 5},        {40, 30, 20, 15},      {45, 33, 30, 22},   {74, 111, 2, 3},
      {370, 4, 10, 4},       {7, 5, 35, 25},        {59, 7, 42, 5},     {50, 3, 17, 13},
      {3, 600, 2, 2},        {5, 700, 5, 2},        {300, 40, 211, 29}, {150, 20, 333, 41},
      {64, 4, 1, 1},         {1, 1, 40, 3},         {96, 9, 37, 2},     {3, 600, 2, 2, true},
      {37, 516, 1, 2, true}, {48, 40, 10, 11, true}};
  std::mt19937 sizeRng(3);
  for (int32_t w = 1; w <= 40; ++w)
    cases.push_back({w, Pick(sizeRng, 1, 4), Pick(sizeRng, 1, 3 * w + 2), Pick(sizeRng, 1, 6)});

  for (CpuLevel level : CpuLevels()) {
    const ScreenBlitKernels& kernels = ScreenBlitKernelsFor(level);
    std::mt19937 rng(9);
    for (const StretchCase& c : cases) {
      DibPtr src = c.white ? test::SolidImage(c.srcW, c.srcH, 255, 255, 255)
                           : RandomImage(c.srcW, c.srcH, rng());
      for (StretchMode mode : {kColorOnColor, kHalftone, static_cast<StretchMode>(1)}) {
        for (int trial = 0; trial < 4; ++trial) {
          int32_t sx = 0, sy = 0, sw = c.srcW, sh = c.srcH, dw = c.dw, dh = c.dh;
          int32_t vw = dw + Pick(rng, 0, 3), vh = dh + Pick(rng, 0, 2);
          int32_t dx = Pick(rng, 0, vw - dw), dy = Pick(rng, 0, vh - dh);
          if (trial == 1) {  // rectangles reaching off the source and off the view
            sx = Pick(rng, -c.srcW / 2 - 1, c.srcW / 2);
            sy = Pick(rng, -c.srcH / 2 - 1, c.srcH / 2);
            vw = Pick(rng, 1, dw + 2), vh = Pick(rng, 1, dh + 2);
            dx = Pick(rng, -dw / 2 - 1, vw), dy = Pick(rng, -dh / 2 - 1, vh);
          } else if (trial == 2) {  // one value far off, zero or negative
            int32_t* field[] = {&dx, &dy, &sx, &sy, &dw, &dh, &sw, &sh};
            const int32_t odd[] = {0, -1, -7, 1, kFar[rng() % std::size(kFar)]};
            *field[rng() % 8] = odd[rng() % std::size(odd)];
          }
          Screen screen = MakeScreen(vw, vh, rng);
          bool want = false;
          const auto expected = Reference(
              screen,
              [&](cDIBSection& d) {
                return StretchBlt(d, dx, dy, dw, dh, *src, sx, sy, sw, sh, mode);
              },
              &want);
          const bool got =
              StretchToScreen(screen.view, dx, dy, dw, dh, *src, sx, sy, sw, sh, mode, kernels);
          const std::string what =
              std::string(CpuLevelName(level)) + " mode " + std::to_string(mode) + " " +
              std::to_string(sw) + "x" + std::to_string(sh) + " at " + std::to_string(sx) + "," +
              std::to_string(sy) + " to " + std::to_string(dw) + "x" + std::to_string(dh) + " at " +
              std::to_string(dx) + "," + std::to_string(dy) + " in " + std::to_string(vw) + "x" +
              std::to_string(vh);
          ASSERT_EQ(got, want) << what;
          ASSERT_EQ(screen.bytes, expected)
              << what << ": " << FirstDifference(screen.bytes, expected);
        }
      }
    }
  }
}

// The area average of every level rounds like (sum + n / 2) / n for pixel
// counts n up to the largest a column sum allows: at the lowest and highest
// sums that round to each value, and one below the lowest.
TEST(ScreenBlit, AverageRowRoundsHalfUpForEveryCount) {
  std::mt19937 rng(21);
  for (CpuLevel level : CpuLevels()) {
    const ScreenBlitKernels& kernels = ScreenBlitKernelsFor(level);
    std::vector<uint32_t> rowCounts;
    for (uint32_t rows = 1; rows <= 200; ++rows) rowCounts.push_back(rows);
    for (uint32_t rows : {255u, 256u, 257u, 1000u, 65537u, 1u << 20, 8388607u, 8388608u, 8388609u,
                          uint32_t{screen_kernels::kMaxSummedRows}})
      rowCounts.push_back(rows);
    for (uint32_t rows : rowCounts) {
      for (uint32_t w : {1u, 2u, 3u, 37u}) {
        const uint64_t n = uint64_t{w} * rows, maxColumn = 255 * uint64_t{rows};
        constexpr uint32_t kPixels = 30;
        std::vector<uint32_t> firsts, lasts;
        std::vector<uint8_t> want(4 * kPixels, 0xFF);
        for (uint32_t k = 0; k < kPixels; ++k) {
          firsts.push_back(k * w);
          lasts.push_back((k + 1) * w);
        }
        const auto columns = screen_kernels::MakeAreaColumns(firsts, lasts);
        std::vector<uint32_t> sums(columns.sumsSize);
        for (uint32_t k = 0; k < kPixels; ++k) {
          for (uint32_t c = 0; c < 3; ++c) {
            // Mostly near the top, where a multiplier that is too small shows.
            const uint32_t v = k % 2 ? 254 - k % 5 : 1 + rng() % 254;
            uint64_t total = 0;
            switch ((k + c) % 3) {
              case 0:  // lowest sum that rounds to v
                total = v * n - n / 2;
                want[4 * k + c] = static_cast<uint8_t>(v);
                break;
              case 1:  // highest sum that rounds to v
                total = v * n + n - 1 - n / 2;
                want[4 * k + c] = static_cast<uint8_t>(v);
                break;
              default:  // just below the lowest
                total = v * n - n / 2 - 1;
                want[4 * k + c] = static_cast<uint8_t>(v - 1);
            }
            for (uint32_t x = 0; x < w; ++x) {  // spread over the pixel's columns
              const uint64_t part = std::min(total, maxColumn);
              sums[3 * (k * w + x) + c] = static_cast<uint32_t>(part);
              total -= part;
            }
          }
        }
        std::vector<uint8_t> got(4 * kPixels + 4, 0);
        kernels.averageRow(sums.data(), columns, rows, got.data());
        ASSERT_EQ(std::vector<uint8_t>(got.begin(), got.end() - 4), want)
            << CpuLevelName(level) << " rows " << rows << " width " << w;
        ASSERT_EQ(got[4 * kPixels], 0);
      }
    }
  }
}

// Views that are empty or malformed and an empty source: nothing drawn, and
// the answers StretchBlt gives for an empty picture, or false.
TEST(ScreenBlit, DegenerateViewsDrawNothing) {
  std::mt19937 rng(13);
  DibPtr src = RandomImage(8, 8, 19);
  Screen screen = MakeScreen(8, 8, rng);
  const std::vector<uint8_t> before = screen.bytes;
  ScreenImage malformed = screen.view;
  malformed.bytesPerLine = 4 * 8 - 1;  // lines overlapping
  EXPECT_FALSE(StretchToScreen(malformed, 0, 0, 8, 8, *src, 0, 0, 4, 4, kHalftone));
  malformed.bytesPerLine = -malformed.bytesPerLine;
  EXPECT_FALSE(StretchToScreen(malformed, 0, 0, 8, 8, *src, 0, 0, 4, 4, kColorOnColor));
  BlitToScreen(malformed, 0, 0, 8, 8, *src, 0, 0);
  malformed.bytesPerLine = INT64_MAX;  // rows beyond any address
  EXPECT_FALSE(StretchToScreen(malformed, 0, 0, 8, 8, *src, 0, 0, 4, 4, kHalftone));
  BlitToScreen(malformed, 0, 0, 8, 8, *src, 0, 0);
  malformed = screen.view;
  malformed.bits = nullptr;
  EXPECT_FALSE(StretchToScreen(malformed, 0, 0, 8, 8, *src, 0, 0, 8, 8, kHalftone));
  BlitToScreen(malformed, 0, 0, 8, 8, *src, 0, 0);
  // Empty views and an empty source: nothing to draw, like StretchBlt onto an
  // empty picture.
  for (ScreenImage empty : {ScreenImage{screen.view.bits, screen.view.bytesPerLine, 0, 8},
                            ScreenImage{screen.view.bits, screen.view.bytesPerLine, 8, -3},
                            ScreenImage{nullptr, 0, 0, 0}}) {
    EXPECT_TRUE(StretchToScreen(empty, 0, 0, 8, 8, *src, 0, 0, 4, 4, kHalftone));
    BlitToScreen(empty, 0, 0, 8, 8, *src, 0, 0);
  }
  const cDIBSection none;
  EXPECT_TRUE(StretchToScreen(screen.view, 0, 0, 8, 8, none, 0, 0, 4, 4, kHalftone));
  BlitToScreen(screen.view, 0, 0, 8, 8, none, 0, 0);
  EXPECT_EQ(screen.bytes, before);
}

}  // namespace
}  // namespace dioptrix
