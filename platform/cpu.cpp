#include "platform/cpu.h"

#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace dioptrix {

namespace {

constexpr std::array<CpuLevel, 4> kAllLevels = {CpuLevel::Plain, CpuLevel::Ssse3, CpuLevel::Avx2,
                                                CpuLevel::Avx512};

struct DetectedLevels {
  std::array<CpuLevel, kAllLevels.size()> levels{};
  size_t count = 0;
};

bool Supports(CpuLevel level) {
  switch (level) {
    case CpuLevel::Plain:
      return true;
#ifdef DIOPTRIX_X86_KERNELS
    // The compiler's run-time check also asks the operating system whether it
    // saves the wide registers, so AVX2 and AVX-512 are only reported when
    // usable.
    case CpuLevel::Ssse3:
      return __builtin_cpu_supports("ssse3");
    case CpuLevel::Avx2:
      return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("avx2");
    case CpuLevel::Avx512:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512vbmi");
#else
    case CpuLevel::Ssse3:
    case CpuLevel::Avx2:
    case CpuLevel::Avx512:
      return false;
#endif
  }
  return false;
}

// The highest level DIOPTRIX_CPU allows; every level when it is unset or
// names no level.
CpuLevel Cap() {
  const char* named = std::getenv("DIOPTRIX_CPU");
  if (named != nullptr) {
    for (CpuLevel level : kAllLevels)
      if (std::strcmp(named, CpuLevelName(level)) == 0) return level;
  }
  return kAllLevels.back();
}

const DetectedLevels& Detected() {
  static const DetectedLevels detected = [] {
    DetectedLevels d;
    const CpuLevel cap = Cap();
    for (CpuLevel level : kAllLevels)
      if (level <= cap && Supports(level)) d.levels[d.count++] = level;
    return d;
  }();
  return detected;
}

}  // namespace

const char* CpuLevelName(CpuLevel level) {
  switch (level) {
    case CpuLevel::Plain:
      return "plain";
    case CpuLevel::Ssse3:
      return "ssse3";
    case CpuLevel::Avx2:
      return "avx2";
    case CpuLevel::Avx512:
      return "avx512";
  }
  return "unknown";
}

bool CpuHas(CpuLevel level) {
  for (CpuLevel have : CpuLevels())
    if (have == level) return true;
  return false;
}

std::span<const CpuLevel> CpuLevels() {
  const DetectedLevels& d = Detected();
  return {d.levels.data(), d.count};
}

CpuLevel BestCpuLevel() { return CpuLevels().back(); }

CpuLevel CpuLevelAtMost(CpuLevel level) {
  CpuLevel chosen = CpuLevel::Plain;
  for (CpuLevel have : CpuLevels())
    if (have <= level) chosen = have;
  return chosen;
}

}  // namespace dioptrix
