#include "formats/pixel_rows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace dioptrix::pixel_rows {
namespace {

// The grey formulas in integers agree with the floating-point definitions
// (round to nearest, ties to even) on every input, ties included.
TEST(PixelRows, IntegerGreyFormulasMatchTheirDefinitions) {
  for (uint32_t sum = 0; sum <= 765; ++sum)
    ASSERT_EQ(RoundHalfEven(sum, 3), std::nearbyint(sum / 3.0)) << sum;
  for (uint32_t sum = 0; sum <= 510; ++sum)
    ASSERT_EQ(RoundHalfEven(sum, 2), std::nearbyint(sum / 2.0)) << sum;
  for (uint32_t t = 0; t <= 255000; ++t)
    ASSERT_EQ(RoundHalfEven(t, 1000), std::nearbyint(t / 1000.0)) << t;
  EXPECT_EQ(Luminance(255, 255, 255), 255);
  EXPECT_EQ(Luminance(0, 0, 255), 57);   // 56.61
  EXPECT_EQ(Luminance(0, 255, 0), 180);  // 180.285
  EXPECT_EQ(Luminance(255, 0, 0), 18);   // 18.105
  EXPECT_EQ(Luminance(10, 20, 30), 22);  // 21.51
  EXPECT_EQ(Mean3(30, 60, 90), 60);
  EXPECT_EQ(Mean3(0, 0, 255), 85);
  EXPECT_EQ(RoundHalfEven(151, 2), 76u);  // 75.5 goes to the even 76
  EXPECT_EQ(RoundHalfEven(149, 2), 74u);  // 74.5 goes to the even 74
  EXPECT_EQ(RoundHalfEven(2500, 1000), 2u);
  EXPECT_EQ(RoundHalfEven(3500, 1000), 4u);
}

using ComposeFn = void (*)(const uint8_t*, const uint8_t*, uint8_t*, int32_t);
using SplitFn = void (*)(const uint8_t*, uint8_t*, uint8_t*, int32_t);

// Random bytes, with every fifth pixel one of: black, white, pixels whose
// luminance falls on one half (55.5, 26.5, 41.5: ties), pixels whose blue and
// green make an odd sum (0.5, 1.5, 75.5).
std::vector<uint8_t> RandomRow(int32_t n, std::mt19937& rng) {
  std::vector<uint8_t> row(3 * static_cast<size_t>(n));
  for (auto& b : row) b = static_cast<uint8_t>(rng());
  const uint8_t extremes[][3] = {{0, 0, 0},     {255, 255, 255}, {0, 0, 250}, {0, 2, 113},
                                 {128, 0, 146}, {1, 0, 0},       {3, 0, 0},   {100, 51, 200}};
  for (int32_t x = 0; x < n; x += 5) std::memcpy(&row[3 * x], extremes[rng() % 8], 3);
  return row;
}

constexpr uint8_t kGuard = 0xA5;

// The kernels of every level this processor runs write exactly the bytes of
// the plain ones and nothing past the n pixels, for every row length around
// the vector widths; the functions without a table give the same too.
TEST(PixelRows, EveryLevelEqualsThePlainKernelsByteForByte) {
  std::mt19937 rng(7);
  std::vector<int32_t> lengths;
  for (int32_t n = 0; n <= 70; ++n) lengths.push_back(n);
  lengths.insert(lengths.end(), {641, 1281, 1921});
  for (CpuLevel level : CpuLevels()) {
    const PixelRowKernels& k = PixelRowKernelsFor(level);
    ASSERT_LE(k.level, level);
    const ComposeFn compose[][2] = {{k.anaGray, scalar::AnaGray},
                                    {k.anaColour, scalar::AnaColour},
                                    {k.anaYellow, scalar::AnaYellow},
                                    {AnaColour, scalar::AnaColour}};
    const SplitFn split[][2] = {{k.splitAnaglyphGray, scalar::SplitAnaglyphGray},
                                {k.splitAnaglyphColour, scalar::SplitAnaglyphColour},
                                {SplitAnaglyphGray, scalar::SplitAnaglyphGray}};
    for (int32_t n : lengths) {
      const size_t bytes = 3 * static_cast<size_t>(n);
      const auto a = RandomRow(n, rng), b = RandomRow(n, rng);
      for (const auto& fn : compose) {
        std::vector<uint8_t> fast(bytes + 16, kGuard), plain(bytes + 16, kGuard);
        fn[0](a.data(), b.data(), fast.data(), n);
        fn[1](a.data(), b.data(), plain.data(), n);
        ASSERT_EQ(fast, plain) << CpuLevelName(level) << " n = " << n;
        for (size_t i = bytes; i < fast.size(); ++i) ASSERT_EQ(fast[i], kGuard);
      }
      for (const auto& fn : split) {
        std::vector<uint8_t> fl(bytes + 16, kGuard), fr(bytes + 16, kGuard);
        std::vector<uint8_t> pl(bytes + 16, kGuard), pr(bytes + 16, kGuard);
        fn[0](a.data(), fl.data(), fr.data(), n);
        fn[1](a.data(), pl.data(), pr.data(), n);
        ASSERT_EQ(fl, pl) << CpuLevelName(level) << " n = " << n;
        ASSERT_EQ(fr, pr) << CpuLevelName(level) << " n = " << n;
      }
    }
  }
}

// The grey formulas of every level on every colour: each of the 2^24 colours
// once as a left and once as a right pixel, against the plain kernels.
TEST(PixelRows, EveryLevelGivesThePlainGreysForEveryColour) {
  constexpr int32_t n = 65536;  // every green and red for one blue
  std::vector<uint8_t> colours(3 * n), other(3 * n), fast(3 * n), plain(3 * n);
  for (int32_t i = 0; i < n; ++i) {
    other[3 * i] = static_cast<uint8_t>(i * 7);
    other[3 * i + 1] = static_cast<uint8_t>(i * 13);
    other[3 * i + 2] = static_cast<uint8_t>(i * 29);
  }
  for (CpuLevel level : CpuLevels()) {
    const PixelRowKernels& k = PixelRowKernelsFor(level);
    if (k.level == CpuLevel::Plain) continue;
    const ComposeFn kernels[][2] = {{k.anaGray, scalar::AnaGray},
                                    {k.anaColour, scalar::AnaColour},
                                    {k.anaYellow, scalar::AnaYellow}};
    for (int32_t blue = 0; blue < 256; ++blue) {
      for (int32_t i = 0; i < n; ++i) {
        colours[3 * i] = static_cast<uint8_t>(blue);
        colours[3 * i + 1] = static_cast<uint8_t>(i);
        colours[3 * i + 2] = static_cast<uint8_t>(i >> 8);
      }
      for (const auto& fn : kernels) {
        for (int side = 0; side < 2; ++side) {
          const uint8_t* left = side == 0 ? colours.data() : other.data();
          const uint8_t* right = side == 0 ? other.data() : colours.data();
          fn[0](left, right, fast.data(), n);
          fn[1](left, right, plain.data(), n);
          ASSERT_EQ(fast, plain) << CpuLevelName(level) << " blue " << blue;
        }
      }
    }
  }
}

// The gather of a stretched row: the same bytes whichever way it moves them,
// nothing written past the row and (under the address checker) nothing read
// past the source row, for enlarging and reducing picks and for picks in no
// order at all.
TEST(PixelRows, RowGatherEqualsThePlainOneByteForByte) {
  std::mt19937 rng(11);
  for (int32_t srcW : {1, 2, 5, 6, 7, 64, 641, 1920}) {
    const std::vector<uint8_t> src = RandomRow(srcW, rng);  // alone on the heap
    for (int32_t count : {0, 1, 5, 6, 7, 17, 100, 1728, 3001}) {
      for (int pattern = 0; pattern < 2; ++pattern) {
        std::vector<uint32_t> offsets;
        for (int32_t k = 0; k < count; ++k) {
          const int64_t x = pattern == 0 ? (2 * int64_t{k} + 1) * srcW / (2 * int64_t{count})
                                         : static_cast<int64_t>(rng() % srcW);
          offsets.push_back(static_cast<uint32_t>(3 * x));
        }
        const RowGather gather(offsets, 3 * int64_t{srcW});
        std::vector<uint8_t> plain(3 * static_cast<size_t>(count) + 16, kGuard);
        gather.RunPlain(plain.data(), src.data());
        for (CpuLevel level : CpuLevels()) {
          std::vector<uint8_t> fast(plain.size(), kGuard);
          gather.Run(fast.data(), src.data(), level);
          ASSERT_EQ(fast, plain) << CpuLevelName(level) << " " << srcW << " " << count << " "
                                 << pattern;
        }
      }
    }
  }
}

}  // namespace
}  // namespace dioptrix::pixel_rows
