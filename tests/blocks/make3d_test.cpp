#include "blocks/make3d.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "platform/cpu.h"
#include "platform/libraries.h"

namespace dioptrix::blocks {
namespace {

using Rgb = std::array<int, 3>;

// One call's buffers, each allocated to exactly the size the frame describes
// so that AddressSanitizer reports any byte read or written past the end.
struct Buffers {
  Buffers(int32_t width, int32_t height)
      : w(width),
        h(height),
        stride((3 * static_cast<size_t>(width) + 3) & ~size_t{3}),
        out(stride * static_cast<size_t>(height)),
        src(stride * static_cast<size_t>(height)),
        dmap((static_cast<size_t>(width) + 1) * (static_cast<size_t>(height) + 1), 0xAB) {}

  uint8_t* Out(int32_t x, int32_t y) { return &out[y * stride + 3 * static_cast<size_t>(x)]; }
  uint8_t* Src(int32_t x, int32_t y) { return &src[y * stride + 3 * static_cast<size_t>(x)]; }
  uint8_t Depth(int32_t x, int32_t y) const { return dmap[y * (static_cast<size_t>(w) + 1) + x]; }
  Rgb OutRgb(int32_t x, int32_t y) {
    const uint8_t* p = Out(x, y);
    return {p[0], p[1], p[2]};
  }
  Rgb Marked(int32_t x, int32_t y) {  // a source pixel as the shift writes it
    const uint8_t* p = Src(x, y);
    return {p[0] | 1, p[1], p[2]};
  }
  void SetDepth(int32_t x, int32_t y, uint8_t depth) { Out(x, y)[0] = depth; }
  void FillSrc(int32_t y, Rgb c) {
    for (int32_t x = 0; x < w; ++x)
      for (int i = 0; i < 3; ++i) Src(x, y)[i] = static_cast<uint8_t>(c[i]);
  }

  void Run(float gain, int32_t offset, int32_t radius, PixelBytes bytes = PixelBytes::All,
           bool fast = true) {
    auto kernel = fast ? Make3DFast : Make3DReference;
    kernel(out.data(), src.data(), dmap.data(), w, h, gain, offset, radius, bytes);
  }

  int32_t w, h;
  size_t stride;
  std::vector<uint8_t> out, src, dmap;
};

void Randomise(std::vector<uint8_t>& v, std::mt19937& rng) {
  for (auto& b : v) b = static_cast<uint8_t>(rng());
}

// A depth picture like the conversion step hands over: a smooth gradient with
// a few flat blocks standing out, or (noisy) independent random depths.
void FillDepths(Buffers& f, std::mt19937& rng, bool noisy) {
  for (int32_t y = 0; y < f.h; ++y) {
    for (int32_t x = 0; x < f.w; ++x) {
      int v = 40 + (150 * x) / std::max(1, f.w) + (60 * y) / std::max(1, f.h);
      if ((x / 5 + y / 4) % 3 == 0) v = 250;
      f.SetDepth(x, y, static_cast<uint8_t>(noisy ? rng() : static_cast<uint32_t>(v)));
    }
  }
}

TEST(Make3D, ZeroShiftCopiesTheSourceAndKeepsTheDepths) {
  for (bool fast : {false, true}) {
    Buffers f(9, 3);
    std::mt19937 rng(7);
    Randomise(f.src, rng);
    Randomise(f.out, rng);  // depths in the first bytes, padding bytes too
    const std::vector<uint8_t> before = f.out;
    f.Run(0.0f, 0, 0, PixelBytes::All, fast);
    for (int32_t y = 0; y < f.h; ++y) {
      EXPECT_EQ(f.OutRgb(0, y), (Rgb{0, 0, 0}));
      for (int32_t x = 1; x <= f.w - 3; ++x) EXPECT_EQ(f.OutRgb(x, y), f.Marked(x, y)) << x;
      EXPECT_EQ(f.OutRgb(f.w - 2, y), f.Marked(f.w - 3, y));
      EXPECT_EQ(f.OutRgb(f.w - 1, y), (Rgb{0, 0, 0}));
      for (int32_t x = 0; x < f.w; ++x) EXPECT_EQ(f.Depth(x, y), before[y * f.stride + 3 * x]);
      EXPECT_EQ(f.Depth(f.w, y), 0xAB);  // the spare column stays as it was
      for (size_t b = 3 * f.w; b < f.stride; ++b)
        EXPECT_EQ(f.out[y * f.stride + b], before[b + y * f.stride]);
    }
    for (int32_t x = 0; x <= f.w; ++x) EXPECT_EQ(f.Depth(x, f.h), 0xAB);  // and the spare line
  }
}

TEST(Make3D, OffsetsAndDepthsMoveWholePixels) {
  for (bool fast : {false, true}) {
    // Offset 3 moves the picture one pixel left; the last written pixel
    // (W-2) is the right neighbour of source W-2's target.
    Buffers a(8, 2);
    std::mt19937 rng(11);
    Randomise(a.src, rng);
    for (int32_t y = 0; y < a.h; ++y)
      for (int32_t x = 0; x < a.w; ++x) a.SetDepth(x, y, static_cast<uint8_t>(rng()));
    a.Run(0.0f, 3, 0, PixelBytes::All, fast);
    for (int32_t y = 0; y < a.h; ++y) {
      EXPECT_EQ(a.OutRgb(0, y), (Rgb{0, 0, 0}));
      for (int32_t x = 1; x <= a.w - 3; ++x) EXPECT_EQ(a.OutRgb(x, y), a.Marked(x + 1, y));
      EXPECT_EQ(a.OutRgb(a.w - 2, y), a.Marked(a.w - 2, y));
      EXPECT_EQ(a.OutRgb(a.w - 1, y), (Rgb{0, 0, 0}));
    }

    // Offset 1: targets are aligned toward zero, so -1 and 2 become 0 and are
    // dropped like every t <= 0; t = 12 = 3W - 6 is dropped too.
    Buffers b(6, 1);
    Randomise(b.src, rng);
    b.Run(0.0f, 1, 0, PixelBytes::All, fast);
    EXPECT_EQ(b.OutRgb(0, 0), (Rgb{0, 0, 0}));
    EXPECT_EQ(b.OutRgb(1, 0), b.Marked(2, 0));
    EXPECT_EQ(b.OutRgb(2, 0), b.Marked(3, 0));
    EXPECT_EQ(b.OutRgb(3, 0), b.Marked(4, 0));
    EXPECT_EQ(b.OutRgb(4, 0), b.Marked(4, 0));
    EXPECT_EQ(b.OutRgb(5, 0), (Rgb{0, 0, 0}));

    // Offset -9 puts source 0 on pixels 3 and 4; everything else reaches
    // t >= 12 and is dropped.
    Buffers c(6, 1);
    Randomise(c.src, rng);
    c.Run(0.0f, -9, 0, PixelBytes::All, fast);
    for (int32_t x : {0, 1, 2, 5}) EXPECT_EQ(c.OutRgb(x, 0), (Rgb{0, 0, 0}));
    EXPECT_EQ(c.OutRgb(3, 0), c.Marked(0, 0));
    EXPECT_EQ(c.OutRgb(4, 0), c.Marked(0, 0));

    // Gain 0.5: depth 255 does not move; depth 244 (d = 11) shifts
    // round(5.5) = 6 bytes, two pixels; depth 250 (d = 5) shifts round(2.5)
    // = 2 bytes, aligned back to its own pixel; depth 0 (d = 255) shifts 128
    // bytes, off the line.
    Buffers d(10, 1);
    Randomise(d.src, rng);
    for (int32_t x = 0; x < d.w; ++x) d.SetDepth(x, 0, 255);
    d.SetDepth(3, 0, 244);
    d.SetDepth(4, 0, 0);
    d.SetDepth(5, 0, 0);
    d.SetDepth(6, 0, 250);
    d.Run(0.5f, 0, 0, PixelBytes::All, fast);
    const std::vector<Rgb> expected = {
        {0, 0, 0},      d.Marked(1, 0), d.Marked(2, 0), d.Marked(2, 0), {0, 0, 0},
        d.Marked(3, 0), d.Marked(6, 0), d.Marked(7, 0), d.Marked(7, 0), {0, 0, 0}};
    for (int32_t x = 0; x < d.w; ++x) EXPECT_EQ(d.OutRgb(x, 0), expected[x]) << x;
  }
}

// Lines of one colour each; on line 1 the sources `from`..`to` get depth 0,
// which gain 1 throws off the line, leaving holes at from+1..to.
Buffers HolePicture(int32_t w, int32_t from, int32_t to) {
  Buffers f(w, 3);
  f.FillSrc(0, {11, 20, 30});
  f.FillSrc(1, {21, 40, 60});
  f.FillSrc(2, {31, 60, 90});
  for (int32_t y = 0; y < f.h; ++y)
    for (int32_t x = 0; x < f.w; ++x) f.SetDepth(x, y, 255);
  for (int32_t x = from; x <= to; ++x) f.SetDepth(x, 1, 0);
  return f;
}

TEST(Make3D, HolesAreFilledRightToLeftFromTheWindow) {
  for (bool fast : {false, true}) {
    // One hole at pixel 3; radius 2 averages pixels 4 and 5 of three lines
    // and divides by 2 * 3 | 1 = 7: 126 / 7, 240 / 7, 360 / 7.
    Buffers one = HolePicture(10, 2, 3);
    one.Run(1.0f, 0, 2, PixelBytes::All, fast);
    EXPECT_EQ(one.OutRgb(3, 1), (Rgb{18, 34, 51}));
    EXPECT_EQ(one.OutRgb(2, 1), (Rgb{21, 40, 60}));
    EXPECT_EQ(one.OutRgb(9, 1), (Rgb{0, 0, 0}));  // right columns are never filled
    EXPECT_EQ(one.OutRgb(0, 1), (Rgb{0, 0, 0}));  // nor pixel 0

    // Holes at 3 and 4: pixel 4 is filled first and feeds pixel 3
    // (11 + 11 + 18 + 21 + 31 + 31 = 123, / 7 = 17.57 -> 18).
    Buffers two = HolePicture(10, 2, 4);
    two.Run(1.0f, 0, 2, PixelBytes::All, fast);
    EXPECT_EQ(two.OutRgb(4, 1), (Rgb{18, 34, 51}));
    EXPECT_EQ(two.OutRgb(3, 1), (Rgb{18, 33, 50}));

    // Radius 1 divides by 3: pixel 4 of three lines.
    Buffers r1 = HolePicture(10, 2, 3);
    r1.Run(1.0f, 0, 1, PixelBytes::All, fast);
    EXPECT_EQ(r1.OutRgb(3, 1), (Rgb{21, 40, 60}));

    // Radius 0 fills nothing.
    Buffers r0 = HolePicture(10, 2, 3);
    r0.Run(1.0f, 0, 0, PixelBytes::All, fast);
    EXPECT_EQ(r0.OutRgb(3, 1), (Rgb{0, 0, 0}));
  }
}

TEST(Make3D, GreyHandlesOnlyTheFirstByte) {
  for (bool fast : {false, true}) {
    Buffers f = HolePicture(10, 2, 3);
    std::mt19937 rng(5);
    for (int32_t y = 0; y < f.h; ++y) {
      for (int32_t x = 0; x < f.w; ++x) {
        f.Out(x, y)[1] = static_cast<uint8_t>(rng());
        f.Out(x, y)[2] = static_cast<uint8_t>(rng());
      }
    }
    const std::vector<uint8_t> before = f.out;
    f.Run(1.0f, 0, 2, PixelBytes::FirstOnly, fast);
    for (int32_t y = 0; y < f.h; ++y) {
      for (int32_t x = 0; x < f.w; ++x) {
        const size_t at = y * f.stride + 3 * x;
        EXPECT_EQ(f.out[at + 1], before[at + 1]);
        EXPECT_EQ(f.out[at + 2], before[at + 2]);
        EXPECT_EQ(f.Depth(x, y), before[at]);
      }
    }
    EXPECT_EQ(f.Out(0, 0)[0], 0);
    EXPECT_EQ(f.Out(1, 0)[0], 11);
    EXPECT_EQ(f.Out(8, 2)[0], 31);  // W-2 repeats W-3
    EXPECT_EQ(f.Out(9, 2)[0], 0);
    EXPECT_EQ(f.Out(3, 1)[0], 18);  // the hole: 126 / 7
  }
}

TEST(Make3D, FastMatchesReferenceOnRandomFrames) {
  const std::vector<std::pair<int32_t, int32_t>> sizes = {
      {1, 1}, {2, 2}, {3, 5}, {5, 3}, {7, 7}, {8, 3}, {13, 11}, {31, 17}, {64, 9}, {101, 37}};
  const float gains[] = {0.0f, 0.1176f, 0.5f, 1.0f, -0.75f, 3.3f};
  const int32_t offsets[] = {0, 15, -7, 301};
  const int32_t radii[] = {0, 1, 2, 3, 5, 6, 9, 40};
  std::mt19937 rng(1234);
  int runs = 0;
  for (auto [w, h] : sizes) {
    for (float gain : gains) {
      for (int32_t offset : offsets) {
        for (int32_t radius : radii) {
          for (PixelBytes bytes : {PixelBytes::All, PixelBytes::FirstOnly}) {
            Buffers ref(w, h);
            Randomise(ref.src, rng);
            Randomise(ref.out, rng);
            Randomise(ref.dmap, rng);
            FillDepths(ref, rng, (runs & 1) != 0);
            Buffers fast = ref;
            ref.Run(gain, offset, radius, bytes, false);
            fast.Run(gain, offset, radius, bytes, true);
            ASSERT_EQ(fast.out, ref.out) << w << "x" << h << " gain " << gain << " offset "
                                         << offset << " radius " << radius;
            ASSERT_EQ(fast.dmap, ref.dmap);
            ++runs;
          }
        }
      }
    }
  }
}

TEST(Make3D, FastMatchesReferenceOnWideFramesWithManyHoles) {
  // Lines long enough for many sixteen-pixel groups plus a remainder, holes
  // in runs and scattered, a frame of one size after another of a different
  // size (the fast kernel keeps its scratch memory between calls), and the
  // converter's radius 1 beside larger ones.
  std::mt19937 rng(4321);
  for (auto [w, h] : {std::pair{150, 9}, std::pair{263, 5}, std::pair{22, 40}, std::pair{150, 9}}) {
    for (int32_t radius : {1, 2, 4}) {
      for (float gain : {0.4f, 2.5f, -1.5f}) {
        for (PixelBytes bytes : {PixelBytes::All, PixelBytes::FirstOnly}) {
          for (bool noisy : {false, true}) {
            Buffers ref(w, h);
            Randomise(ref.src, rng);
            Randomise(ref.out, rng);
            FillDepths(ref, rng, noisy);
            Buffers fast = ref;
            ref.Run(gain, 12, radius, bytes, false);
            fast.Run(gain, 12, radius, bytes, true);
            ASSERT_EQ(fast.out, ref.out) << w << "x" << h << " gain " << gain << " radius "
                                         << radius << (noisy ? " noisy" : "");
            ASSERT_EQ(fast.dmap, ref.dmap);
          }
        }
      }
    }
  }
}

TEST(Make3D, WideWindowsStayInsideThePicture) {
  // Tiny pictures and radii beyond 5, in buffers of exactly the picture's
  // size: the window stops at the line's last pixel.
  std::mt19937 rng(99);
  for (int32_t w = 1; w <= 12; ++w) {
    for (int32_t h = 1; h <= 4; ++h) {
      for (int32_t radius : {6, 7, 9, 100, INT32_MAX}) {
        Buffers ref(w, h);
        Randomise(ref.src, rng);
        FillDepths(ref, rng, true);
        Buffers fast = ref;
        ref.Run(0.8f, 3, radius, PixelBytes::All, false);
        fast.Run(0.8f, 3, radius, PixelBytes::All, true);
        ASSERT_EQ(fast.out, ref.out) << w << "x" << h << " radius " << radius;
      }
    }
  }

  // W = 7: only pixel 1 can be filled; radius 9 sums pixels 2..5 of three
  // lines (pixel 6 is black, pixels 7..10 lie beyond the picture and count
  // as zeros) and divides by 27.
  for (bool fast : {false, true}) {
    Buffers f(7, 3);
    for (int32_t y = 0; y < 3; ++y) {
      f.FillSrc(y, {201, 90, 255});
      for (int32_t x = 0; x < 7; ++x) f.SetDepth(x, y, 255);
    }
    f.SetDepth(1, 1, 0);
    Buffers huge = f;
    f.Run(1.0f, 0, 9, PixelBytes::All, fast);
    EXPECT_EQ(f.OutRgb(1, 1), (Rgb{89, 40, 113}));  // 2412/27, 1080/27, 3060/27
    huge.Run(1.0f, 0, INT32_MAX, PixelBytes::All, fast);
    EXPECT_EQ(huge.OutRgb(1, 1), (Rgb{0, 0, 0}));  // divisor 3 * (2^31 - 1)
  }
}

// Depths for the level test: runs of one depth with random lengths (from a
// single pixel to most of a line), the same on a few lines below each other
// so that holes line up from line to line, with the depth drifting or
// jumping between runs; or independent random depths.
void FillRandomDepths(Buffers& f, std::mt19937& rng, bool noisy) {
  std::vector<uint8_t> line(static_cast<size_t>(f.w));
  for (int32_t y = 0; y < f.h; ++y) {
    if (y == 0 || rng() % 3 == 0) {
      int depth = static_cast<int>(rng() % 256);
      for (int32_t x = 0; x < f.w;) {
        const int32_t length = 1 + static_cast<int32_t>(rng() % (rng() % 4 == 0 ? 200 : 12));
        for (int32_t i = 0; i < length && x < f.w; ++i, ++x)
          line[static_cast<size_t>(x)] = static_cast<uint8_t>(depth);
        depth = rng() % 4 == 0 ? static_cast<int>(rng() % 256)
                               : std::clamp(depth + static_cast<int>(rng() % 9) - 4, 0, 255);
      }
    }
    for (int32_t x = 0; x < f.w; ++x)
      f.SetDepth(x, y, noisy ? static_cast<uint8_t>(rng()) : line[static_cast<size_t>(x)]);
  }
}

// Every level of the kernel table gives Make3DReference's bytes (out and
// dmap) on random frames: widths 1..40 and odd wide ones (every vector tail
// and line end), heights 1..4 and one taller frame, smooth depths with long
// equal runs and noisy ones, gains from 0 to large, negative and not finite,
// offsets either way, radii 0, 1, 2 and 5, all bytes or the first only.
TEST(Make3D, EveryLevelMatchesTheReference) {
  std::vector<std::pair<int32_t, int32_t>> sizes;
  for (int32_t w = 1; w <= 40; ++w)
    for (int32_t h = 1; h <= 4; ++h) sizes.push_back({w, h});
  for (int32_t w : {63, 64, 65, 127, 129, 641, 1921}) sizes.push_back({w, 1 + w % 4});
  sizes.push_back({1921, 4});
  sizes.push_back({300, 45});
  const float gains[] = {0.0f,  0.1176f, 0.3529f, 1.0f,  3.3f,
                         40.0f, -0.75f,  -2.5f,   1e12f, std::numeric_limits<float>::quiet_NaN()};
  const int32_t offsets[] = {0, 15, 45, -7, -300, 301, 1 << 20};
  const int32_t radii[] = {0, 1, 2, 5};
  for (CpuLevel level : CpuLevels()) {
    const Make3DKernels& kernels = Make3DKernelsFor(level);
    ASSERT_LE(kernels.level, level);  // a level without its own version uses the one below
    std::mt19937 rng(77);
    for (auto [w, h] : sizes) {
      for (int trial = 0; trial < 6; ++trial) {
        const float gain = gains[rng() % std::size(gains)];
        const int32_t offset = offsets[rng() % std::size(offsets)];
        const int32_t radius = radii[trial % 4];
        const PixelBytes bytes = trial % 3 == 2 ? PixelBytes::FirstOnly : PixelBytes::All;
        const bool noisy = trial % 2 == 1;
        Buffers ref(w, h);
        Randomise(ref.src, rng);
        Randomise(ref.out, rng);
        Randomise(ref.dmap, rng);
        FillRandomDepths(ref, rng, noisy);
        Buffers got = ref;
        Make3DReference(ref.out.data(), ref.src.data(), ref.dmap.data(), w, h, gain, offset, radius,
                        bytes);
        kernels.make3d(got.out.data(), got.src.data(), got.dmap.data(), w, h, gain, offset, radius,
                       bytes);
        ASSERT_EQ(got.out, ref.out) << CpuLevelName(level) << " " << w << "x" << h << " gain "
                                    << gain << " offset " << offset << " radius " << radius
                                    << (bytes == PixelBytes::All ? "" : " first byte only")
                                    << (noisy ? " noisy" : " smooth");
        ASSERT_EQ(got.dmap, ref.dmap) << CpuLevelName(level) << " " << w << "x" << h;
      }
    }
  }
}

TEST(Make3D, BadArgumentsTouchNothing) {
  std::mt19937 rng(3);
  std::vector<uint8_t> out(64), src(64), dmap(64);
  Randomise(out, rng);
  Randomise(src, rng);
  Randomise(dmap, rng);
  const auto outBefore = out, dmapBefore = dmap;
  for (auto kernel : {Make3DReference, Make3DFast}) {
    kernel(nullptr, src.data(), dmap.data(), 2, 2, 1.0f, 0, 1, PixelBytes::All);
    kernel(out.data(), nullptr, dmap.data(), 2, 2, 1.0f, 0, 1, PixelBytes::All);
    kernel(out.data(), src.data(), nullptr, 2, 2, 1.0f, 0, 1, PixelBytes::All);
    const std::vector<std::pair<int32_t, int32_t>> sizes = {
        {0, 2},         {2, 0},         {-1, 2},
        {2, -5},        {INT32_MIN, 1}, {INT32_MAX, 1},
        {1, INT32_MAX}, {20000, 40000}, {INT32_MAX, INT32_MAX}};
    for (auto [w, h] : sizes) {
      kernel(out.data(), src.data(), dmap.data(), w, h, 1.0f, 0, 1, PixelBytes::All);
      kernel(out.data(), src.data(), dmap.data(), w, h, 1.0f, 0, 1, PixelBytes::FirstOnly);
    }
  }
  EXPECT_EQ(out, outBefore);
  EXPECT_EQ(dmap, dmapBefore);
}

TEST(Make3D, ExtremeGainsAndOffsetsDropPixels) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float gain;
    int32_t offset;
  };
  std::mt19937 rng(17);
  for (Case c : {Case{nan, 0}, Case{inf, 0}, Case{-inf, 0}, Case{3e38f, 0}, Case{-3e38f, 0},
                 Case{1e12f, 0}, Case{0.0f, INT32_MIN}, Case{0.0f, INT32_MAX},
                 Case{1e9f, INT32_MIN}, Case{-1e9f, INT32_MAX}}) {
    for (bool fast : {false, true}) {
      Buffers f(9, 4);
      Randomise(f.src, rng);
      for (int32_t y = 0; y < f.h; ++y)
        for (int32_t x = 0; x < f.w; ++x) f.SetDepth(x, y, static_cast<uint8_t>(rng() % 255));
      f.SetDepth(4, 2, 255);  // d = 0: no shift unless the product is NaN
      f.Run(c.gain, c.offset, 0, PixelBytes::All, fast);
      const bool keeps = c.offset == 0 && !std::isnan(c.gain) && !std::isinf(c.gain);
      for (int32_t y = 0; y < f.h; ++y) {
        for (int32_t x = 0; x < f.w; ++x) {
          const bool kept = keeps && y == 2 && (x == 4 || x == 5);
          const Rgb expected = kept ? f.Marked(4, 2) : Rgb{0, 0, 0};
          EXPECT_EQ(f.OutRgb(x, y), expected)
              << "gain " << c.gain << " offset " << c.offset << " at " << x << "," << y;
        }
      }
    }
  }
}

TEST(Make3D, LibraryExportsMatchTheReference) {
  BlocksLibrary library;
  std::mt19937 rng(2024);
  for (PixelBytes bytes : {PixelBytes::All, PixelBytes::FirstOnly}) {
    Buffers ref(123, 45);
    Randomise(ref.src, rng);
    Randomise(ref.out, rng);
    FillDepths(ref, rng, false);
    Buffers lib = ref;
    ref.Run(0.1176f * 2, 15, 1, bytes, false);
    auto call =
        bytes == PixelBytes::All ? &BlocksLibrary::Make3D_DLL : &BlocksLibrary::Make3DGrey_DLL;
    EXPECT_EQ((library.*call)(lib.out.data(), lib.src.data(), lib.dmap.data(), lib.w, lib.h,
                              0.1176f * 2, 15, 1),
              0);
    EXPECT_EQ(lib.out, ref.out);
    EXPECT_EQ(lib.dmap, ref.dmap);
  }
}

}  // namespace
}  // namespace dioptrix::blocks
