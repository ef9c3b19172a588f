#include "platform/cpu.h"

#include <gtest/gtest.h>

#include <string>

namespace dioptrix {
namespace {

// Kernel tables rely on these: Plain always first, levels in increasing order,
// and a request for any level lands on one this processor really has.
TEST(CpuLevels, AreOrderedAndEveryRequestLandsOnALevelThisProcessorHas) {
  const auto levels = CpuLevels();
  ASSERT_FALSE(levels.empty());
  EXPECT_EQ(levels.front(), CpuLevel::Plain);
  for (size_t i = 1; i < levels.size(); ++i) EXPECT_LT(levels[i - 1], levels[i]);
  EXPECT_EQ(BestCpuLevel(), levels.back());
  for (CpuLevel asked : {CpuLevel::Plain, CpuLevel::Ssse3, CpuLevel::Avx2, CpuLevel::Avx512}) {
    const CpuLevel got = CpuLevelAtMost(asked);
    EXPECT_TRUE(CpuHas(got)) << CpuLevelName(asked);
    EXPECT_LE(got, asked);
    for (CpuLevel have : levels) {
      if (have <= asked) {
        EXPECT_LE(have, got);
      }
    }
  }
  EXPECT_EQ(std::string(CpuLevelName(CpuLevel::Avx512)), "avx512");
#ifndef DIOPTRIX_X86_KERNELS
  EXPECT_EQ(levels.size(), 1u);
#endif
}

}  // namespace
}  // namespace dioptrix
