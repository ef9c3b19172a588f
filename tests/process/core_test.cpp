// The engine core: filter settings, presets, ProcessImage, the copies between
// images and arrays, Correlate and the progress events.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "process/image_process.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::PixelAt;
using test::RandomImage;
using test::SolidImage;

// Raises `number` (and, when given, the engine's source and `message`).
void ExpectError(const std::function<void()>& fn, int32_t number, const char* message = nullptr) {
  try {
    fn();
    ADD_FAILURE() << "no error raised, expected " << number;
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), number);
    if (message) {
      EXPECT_EQ(e.Description(), message);
      EXPECT_EQ(e.Source(), kImageProcessSource);
    }
  }
}

// A w x h image; channel c of pixel (x, y) is value(x, y, c).
DibPtr MakeImage(int32_t w, int32_t h, const std::function<int(int32_t, int32_t, int)>& value) {
  DibPtr img = SolidImage(w, h, 0, 0, 0);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) PixelAt(*img, x, y)[c] = static_cast<uint8_t>(value(x, y, c));
  return img;
}

struct RecordingObserver : ProgressObserver {
  std::vector<std::pair<char, int32_t>> events;
  void InitProgress(int32_t v) override { events.push_back({'I', v}); }
  void Progress(int32_t v) override { events.push_back({'P', v}); }
  void Complete(int32_t v) override { events.push_back({'C', v}); }
};

std::vector<int32_t> Kernel(const cImageProcessDIB& p) {
  std::vector<int32_t> k;
  const int32_t half = p.FilterArraySize() / 2;
  for (int32_t j = -half; j <= half; ++j)
    for (int32_t i = -half; i <= half; ++i) k.push_back(p.FilterValue(i, j));
  return k;
}

TEST(EngineSettings, SizeAndTypeErrorsKeepPreviousSettings) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  // Starts with kind 1's preset.
  EXPECT_EQ(p.Filtertype(), 1);
  EXPECT_EQ(p.FilterArraySize(), 3);
  EXPECT_EQ(p.FilterWeight(), 9);
  EXPECT_EQ(Kernel(p), std::vector<int32_t>(9, 1));

  const char* even = "Size must be an odd number";
  const char* invalid = "Invalid size.  Size should be an odd number from 3 to 9";
  EXPECT_EQ(static_cast<uint32_t>(kErrFilterSizeEven), 0x80040519u);
  EXPECT_EQ(static_cast<uint32_t>(kErrFilterInvalid), 0x8004051Au);
  for (int32_t size : {4, 0, -2, 10})
    ExpectError([&] { p.SetFilterArraySize(size); }, kErrFilterSizeEven, even);
  for (int32_t size : {11, -3, 1, 1001})
    ExpectError([&] { p.SetFilterArraySize(size); }, kErrFilterInvalid, invalid);
  for (int32_t kind : {0, 15, -1})
    ExpectError([&] { p.SetFiltertype(kind); }, kErrFilterInvalid, "Invalid filter types.");
  EXPECT_EQ(p.Filtertype(), 1);
  EXPECT_EQ(p.FilterArraySize(), 3);
  EXPECT_EQ(p.FilterWeight(), 9);
  EXPECT_EQ(Kernel(p), std::vector<int32_t>(9, 1));

  for (int32_t size : {3, 5, 7, 9}) {
    p.SetFilterArraySize(size);
    EXPECT_EQ(p.FilterArraySize(), size);
    EXPECT_EQ(Kernel(p), std::vector<int32_t>(size * size, 0));
  }
  EXPECT_EQ(p.FilterWeight(), 9);  // the size does not touch the weight
  p.SetFilterValue(-4, 4, 7);
  EXPECT_EQ(p.FilterValue(-4, 4), 7);
  ExpectError([&] { p.FilterValue(5, 0); }, kErrSubscriptOutOfRange);
  ExpectError([&] { p.SetFilterValue(0, -5, 1); }, kErrSubscriptOutOfRange);
}

TEST(EngineSettings, PresetKernels) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  p.SetFiltertype(2);
  EXPECT_EQ(Kernel(p), std::vector<int32_t>(25, 1));
  EXPECT_EQ(p.FilterWeight(), 25);

  p.SetFiltertype(3);
  EXPECT_EQ(Kernel(p), (std::vector<int32_t>{1, 1, 1, 1, 4, 1, 1, 1, 1}));
  EXPECT_EQ(p.FilterWeight(), 12);

  p.SetFiltertype(4);
  EXPECT_EQ(p.FilterArraySize(), 5);
  EXPECT_EQ(Kernel(p), (std::vector<int32_t>{1, 1, 1, 1, 1, 1, 2, 2, 2, 1, 1, 2, 12,
                                             2, 1, 1, 2, 2, 2, 1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(p.FilterWeight(), 44);

  p.SetFiltertype(5);
  EXPECT_EQ(Kernel(p), (std::vector<int32_t>{28, 45, 53, 45, 28, 45, 73, 85, 73, 45, 53, 85, 100,
                                             85, 53, 45, 73, 85, 73, 45, 28, 45, 53, 45, 28}));
  EXPECT_EQ(p.FilterWeight(), 1416);

  p.SetFiltertype(6);
  EXPECT_EQ(Kernel(p), (std::vector<int32_t>{-1, -1, -1, -1, 15, -1, -1, -1, -1}));
  EXPECT_EQ(p.FilterWeight(), 7);

  p.SetFiltertype(7);
  EXPECT_EQ(Kernel(p), (std::vector<int32_t>{0, -1, 0, -1, 5, -1, 0, -1, 0}));
  EXPECT_EQ(p.FilterWeight(), 1);

  p.SetFiltertype(9);
  EXPECT_EQ(Kernel(p), (std::vector<int32_t>{-1, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(p.FilterWeight(), 1);

  // 8, 10..14 leave the kernel and weight as they are.
  for (int32_t kind : {8, 10, 11, 12, 13, 14}) {
    p.SetFiltertype(kind);
    EXPECT_EQ(p.Filtertype(), kind);
    EXPECT_EQ(Kernel(p), (std::vector<int32_t>{-1, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(p.FilterWeight(), 1);
  }
}

TEST(EngineFilter, ConvolutionByHand) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  // 3x3 image; the centre pixel is the only one with a full neighbourhood.
  const int values[3][3][3] = {// [line][x][channel]
                               {{10, 1, 200}, {20, 2, 200}, {30, 3, 200}},
                               {{40, 4, 200}, {50, 5, 200}, {60, 6, 200}},
                               {{70, 7, 200}, {80, 9, 200}, {90, 9, 200}}};
  DibPtr src = MakeImage(3, 3, [&](int32_t x, int32_t y, int c) { return values[y][x][c]; });
  const DibPtr original = src->CopyOf();
  cDIBSection dst;  // empty: re-created at src's size

  // Custom kernel: the pixel to the right weighs 1, the one a line further 3,
  // the one diagonally before -2.
  p.SetFiltertype(14);
  p.SetFilterArraySize(3);
  p.SetFilterValue(1, 0, 1);
  p.SetFilterValue(0, 1, 3);
  p.SetFilterValue(-1, -1, -2);
  p.SetFilterWeight(4);
  p.ProcessImage(*src, dst);
  ASSERT_EQ(dst.Width(), 3);
  ASSERT_EQ(dst.Height(), 3);
  // Kernel element (i, j) weighs pixel (x + i, line y + j): for the centre
  // (2, 1), (1, 2) and (0, 0).
  const uint8_t* centre = PixelAt(dst, 1, 1);
  EXPECT_EQ(centre[0], 70);   // (60 + 3 * 80 - 2 * 10) / 4
  EXPECT_EQ(centre[1], 7);    // (6 + 3 * 9 - 2 * 1) / 4 = 31 / 4, truncated
  EXPECT_EQ(centre[2], 100);  // (200 + 600 - 400) / 4
  // Borders keep the source values, and the result is copied back into src.
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 3; ++x) {
      if (x == 1 && y == 1) continue;
      for (int c = 0; c < 3; ++c) EXPECT_EQ(PixelAt(dst, x, y)[c], values[y][x][c]);
    }
  EXPECT_TRUE(test::SamePixels(*src, dst));

  // Results are limited to 0..255.
  src = original->CopyOf();
  p.SetFilterWeight(1);
  p.ProcessImage(*src, dst);
  EXPECT_EQ(PixelAt(dst, 1, 1)[0], 255);  // 280
  EXPECT_EQ(PixelAt(dst, 1, 1)[1], 31);
  EXPECT_EQ(PixelAt(dst, 1, 1)[2], 255);  // 400
  src = original->CopyOf();
  p.SetFilterWeight(-1);
  p.ProcessImage(*src, dst);
  EXPECT_EQ(PixelAt(dst, 1, 1)[1], 0);

  // Weight 0 is a division by zero, never carried out.
  src = original->CopyOf();
  p.SetFilterWeight(0);
  ExpectError([&] { p.ProcessImage(*src, dst); }, kErrDivisionByZero);

  // The same image as source and destination filters from unchanged pixels.
  src = original->CopyOf();
  p.SetFiltertype(1);
  p.ProcessImage(*src, *src);
  EXPECT_EQ(PixelAt(*src, 1, 1)[0], 450 / 9);
  EXPECT_EQ(PixelAt(*src, 0, 0)[0], 10);
}

TEST(EngineFilter, UnsharpEmbossAndNeighbourhoods) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  const int centre[3] = {100, 120, 250};
  auto spot = [&](int32_t x, int32_t y, int c) { return x == 1 && y == 1 ? centre[c] : 10; };

  // Kind 8: src := 2 src - blur(src); dst keeps the blur.
  DibPtr src = MakeImage(3, 3, spot);
  DibPtr dst = SolidImage(5, 2, 9, 9, 9);  // wrong size: re-created
  p.SetFiltertype(8);
  p.ProcessImage(*src, *dst);
  EXPECT_EQ(p.Filtertype(), 8);
  EXPECT_EQ(p.FilterWeight(), 9);  // kind 1's kernel stays in force
  ASSERT_EQ(dst->Width(), 3);
  EXPECT_EQ(PixelAt(*dst, 1, 1)[0], 20);            // 180 / 9
  EXPECT_EQ(PixelAt(*dst, 1, 1)[1], 22);            // 200 / 9
  EXPECT_EQ(PixelAt(*src, 1, 1)[0], 2 * 100 - 20);  // 180
  EXPECT_EQ(PixelAt(*src, 1, 1)[1], 2 * 120 - 22);  // 218
  EXPECT_EQ(PixelAt(*src, 1, 1)[2], 255);           // 500 - 36, limited
  EXPECT_EQ(PixelAt(*src, 0, 2)[1], 10);            // border: 2 * 10 - 10

  // Kind 9: src := dst + 127 with dst the diagonal difference.
  src = MakeImage(3, 3, [](int32_t x, int32_t y, int c) {
    if (x == 0 && y == 0) return c == 0 ? 10 : 60;
    if (x == 2 && y == 2) return c == 0 ? 60 : 10;
    return 200;
  });
  p.SetFiltertype(9);
  p.ProcessImage(*src, *dst);
  EXPECT_EQ(PixelAt(*dst, 1, 1)[0], 50);
  EXPECT_EQ(PixelAt(*dst, 1, 1)[1], 0);  // -50 limited to 0
  EXPECT_EQ(PixelAt(*src, 1, 1)[0], 177);
  EXPECT_EQ(PixelAt(*src, 1, 1)[1], 127);
  EXPECT_EQ(PixelAt(*src, 0, 0)[0], 137);  // border 10 + 127
  EXPECT_EQ(PixelAt(*src, 1, 0)[0], 255);  // border 200 + 127, limited

  // Kinds 10..12 on a 4x3 image: the two inner pixels get the mean, the
  // minimum and the maximum of their 3x3 neighbourhoods.
  auto ramp = [](int32_t x, int32_t y, int c) { return 10 * x + 40 * y + c; };
  const int32_t expected[3][2] = {{50, 60}, {0, 10}, {100, 110}};  // channel 0 of (1,1), (2,1)
  for (int32_t kind = 10; kind <= 12; ++kind) {
    src = MakeImage(4, 3, ramp);
    p.SetFiltertype(kind);
    p.ProcessImage(*src, *dst);
    EXPECT_EQ(PixelAt(*src, 1, 1)[0], expected[kind - 10][0]) << kind;
    EXPECT_EQ(PixelAt(*src, 2, 1)[0], expected[kind - 10][1]) << kind;
    EXPECT_EQ(PixelAt(*src, 2, 1)[2], expected[kind - 10][1] + 2) << kind;
    EXPECT_EQ(PixelAt(*src, 3, 1)[0], 70) << kind;  // border
    EXPECT_TRUE(test::SamePixels(*src, *dst));
  }

  // Kinds 5 and 13 do nothing, not even the copy.
  for (int32_t kind : {5, 13}) {
    src = RandomImage(5, 5, 1);
    const DibPtr dstBefore = dst->CopyOf();
    p.SetFiltertype(kind);
    p.ProcessImage(*src, *dst);
    EXPECT_TRUE(test::SamePixels(*src, *RandomImage(5, 5, 1)));
    EXPECT_TRUE(test::SamePixels(*dst, *dstBefore));
  }

  // An empty source leaves an empty destination and raises nothing.
  cDIBSection empty;
  for (int32_t kind = 1; kind <= 13; ++kind) {
    p.SetFiltertype(kind);
    cDIBSection out;
    p.ProcessImage(empty, out);
    EXPECT_TRUE(out.Empty());
  }
}

TEST(EngineCopies, ArraysAndDepthMap) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  const DibPtr img = RandomImage(5, 3, 7);

  p.CopyToArray(*img);
  ASSERT_EQ(arrays.PixelArray.Cols(), 16);  // byte columns 0..3W
  ASSERT_EQ(arrays.PixelArray.Rows(), 3);
  for (int32_t y = 0; y < 3; ++y) {
    for (int32_t b = 0; b < 15; ++b) EXPECT_EQ(arrays.PixelArray(b, y), img->ScanLine(y)[b]);
    EXPECT_EQ(arrays.PixelArray(15, y), 0);  // the spare column
  }

  Plane<int32_t> mine;
  mine.Redim(2, 50);  // re-created with the image's bounds and contents
  p.CopyToSpecifiedArray(*img, mine);
  EXPECT_TRUE(mine.Cols() == 16 && mine.Rows() == 3 && mine(14, 2) == img->ScanLine(2)[14]);

  // Array -> image: every pixel byte; padding untouched.
  DibPtr back = SolidImage(5, 3, 0, 0, 0);
  back->ScanLine(1)[15] = 0xAB;  // a padding byte
  p.CopyFromArray(*back, mine);
  EXPECT_TRUE(test::SamePixels(*back, *img));
  EXPECT_EQ(back->ScanLine(1)[15], 0xAB);
  mine(4, 1) = 256;
  ExpectError([&] { p.CopyFromArray(*back, mine); }, kErrOverflow);
  mine(4, 1) = -1;
  ExpectError([&] { p.CopyFromArray(*back, mine); }, kErrOverflow);
  Plane<int32_t> narrow;
  narrow.Redim(14, 3);
  ExpectError([&] { p.CopyFromArray(*back, narrow); }, kErrSubscriptOutOfRange);

  // Depth map: (W+1) x (H+1) with the blue bytes and a zero spare row and column.
  Plane<uint8_t> dmap;
  p.CopyToDepthMap(*img, dmap);
  ASSERT_EQ(dmap.Cols(), 6);
  ASSERT_EQ(dmap.Rows(), 4);
  for (int32_t y = 0; y <= 3; ++y)
    for (int32_t x = 0; x <= 5; ++x)
      EXPECT_EQ(dmap(x, y), x < 5 && y < 3 ? PixelAt(*img, x, y)[0] : 0) << x << "," << y;

  // Depth map -> image: blue and green := depth, red unchanged.
  DibPtr target = RandomImage(5, 3, 8);
  const DibPtr before = target->CopyOf();
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 6; ++x) dmap(x, y) = static_cast<uint8_t>(x * 40 + y);
  p.CopyFromDepthMap(*target, dmap);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 5; ++x) {
      EXPECT_EQ(PixelAt(*target, x, y)[0], x * 40 + y);
      EXPECT_EQ(PixelAt(*target, x, y)[1], x * 40 + y);
      EXPECT_EQ(PixelAt(*target, x, y)[2], PixelAt(*before, x, y)[2]);
    }
  Plane<uint8_t> small;
  small.Redim(4, 3);
  ExpectError([&] { p.CopyFromDepthMap(*target, small); }, kErrSubscriptOutOfRange);

  // Empty images: nothing is read or written.
  cDIBSection empty;
  p.CopyToArray(empty);
  EXPECT_EQ(arrays.PixelArray.Cols(), 1);
  EXPECT_EQ(arrays.PixelArray.Rows(), 0);
  p.CopyToDepthMap(empty, dmap);
  EXPECT_EQ(dmap.Size(), 1u);
  p.CopyFromArray(empty, narrow);
  p.CopyFromDepthMap(empty, small);
  int64_t sum = 5;
  p.Correlate(empty, narrow, sum);
  EXPECT_EQ(sum, 5);
}

// The definition: a three-byte window at every byte column 0..3(W-1).
int64_t ReferenceCorrelate(const cDIBSection& pic, const Plane<int32_t>& arr) {
  int64_t sum = 0;
  for (int32_t b = 0; b <= 3 * (pic.Width() - 1); ++b)
    for (int32_t y = 0; y < pic.Height(); ++y)
      for (int32_t c = 0; c < 3; ++c)
        sum += std::abs(int64_t{arr(b + c, y)} - pic.ScanLine(y)[b + c]);
  return sum;
}

TEST(EngineCopies, CorrelateMatchesDefinition) {
  EngineArrays arrays;
  cImageProcessDIB p(arrays);
  uint32_t seed = 1;
  for (auto [w, h] : {std::pair{1, 1}, {1, 5}, {2, 3}, {3, 1}, {7, 5}, {17, 9}, {33, 4}}) {
    const DibPtr a = RandomImage(w, h, seed++);
    const DibPtr b = RandomImage(w, h, seed++);
    p.CopyToArray(*a);
    int64_t sum = 0;
    p.Correlate(*b, arrays.PixelArray, sum);
    EXPECT_EQ(sum, ReferenceCorrelate(*b, arrays.PixelArray)) << w << "x" << h;
    // The sum is not reset.
    const int64_t once = sum;
    p.Correlate(*b, arrays.PixelArray, sum);
    EXPECT_EQ(sum, 2 * once);
  }
  // Array values far outside 0..255 are compared exactly.
  const DibPtr img = SolidImage(2, 1, 0, 0, 0);
  Plane<int32_t> extreme;
  extreme.Redim(7, 1);
  for (int32_t b = 0; b < 6; ++b) extreme(b, 0) = b % 2 ? INT32_MIN : INT32_MAX;
  int64_t sum = 0;
  p.Correlate(*img, extreme, sum);
  EXPECT_EQ(sum, ReferenceCorrelate(*img, extreme));

  // A 1080p frame of opposite colours: the sum passes 2^31.
  const DibPtr black = SolidImage(1920, 1080, 0, 0, 0);
  const DibPtr white = SolidImage(1920, 1080, 255, 255, 255);
  p.CopyToArray(*white);
  sum = 0;
  p.Correlate(*black, arrays.PixelArray, sum);
  EXPECT_EQ(sum, int64_t{255} * 1080 * (3 * (3 * 1920) - 6));

  // An array that does not cover the image is refused before anything is read.
  const DibPtr wide = RandomImage(9, 4, 3);
  p.CopyToArray(*RandomImage(8, 4, 4));
  sum = 11;
  ExpectError([&] { p.Correlate(*wide, arrays.PixelArray, sum); }, kErrSubscriptOutOfRange);
  p.CopyToArray(*RandomImage(9, 3, 4));
  ExpectError([&] { p.Correlate(*wide, arrays.PixelArray, sum); }, kErrSubscriptOutOfRange);
  EXPECT_EQ(sum, 11);
}

TEST(EngineCopies, ProgressEventsInOrder) {
  EngineArrays arrays;
  RecordingObserver rec;
  cImageProcessDIB p(arrays, &rec);
  const DibPtr img = RandomImage(3, 2, 9);
  auto expectColumns = [&](int32_t w) {
    ASSERT_EQ(rec.events.size(), static_cast<size_t>(w + 2));
    EXPECT_EQ(rec.events.front(), (std::pair<char, int32_t>{'I', w - 1}));
    for (int32_t i = 0; i < w; ++i)
      EXPECT_EQ(rec.events[1 + i], (std::pair<char, int32_t>{'P', 3 * i}));
    EXPECT_EQ(rec.events.back().first, 'C');
    rec.events.clear();
  };
  p.CopyToArray(*img);
  expectColumns(3);
  Plane<uint8_t> dmap;
  p.CopyToDepthMap(*img, dmap);
  expectColumns(3);
  int64_t sum = 0;
  p.Correlate(*img, arrays.PixelArray, sum);
  expectColumns(3);
  p.CopyFromArray(*img, arrays.PixelArray);
  expectColumns(3);
  p.CopyFromDepthMap(*img, dmap);
  expectColumns(3);

  // A 1-pixel-wide image: the loops run once per line.
  const DibPtr thin = RandomImage(1, 4, 10);
  p.CopyToArray(*thin);
  expectColumns(1);
  EXPECT_EQ(arrays.PixelArray.Cols(), 4);
  EXPECT_EQ(arrays.PixelArray(2, 3), thin->ScanLine(3)[2]);

  // The filter passes raise the same sequence around their work.
  DibPtr src = RandomImage(4, 4, 11);
  cDIBSection dst;
  p.ProcessImage(*src, dst);
  ASSERT_GE(rec.events.size(), 2u);
  EXPECT_EQ(rec.events.front(), (std::pair<char, int32_t>{'I', 3}));
  EXPECT_EQ(rec.events.back().first, 'C');
  for (size_t i = 1; i + 1 < rec.events.size(); ++i) EXPECT_EQ(rec.events[i].first, 'P');
}

}  // namespace
}  // namespace dioptrix
