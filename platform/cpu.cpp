#include "platform/cpu.h"

#include <array>
#include <cstddef>

namespace dioptrix {

namespace {

struct DetectedLevels {
  std::array<CpuLevel, 3> levels{};
  size_t count = 0;
};

bool Supports(CpuLevel level) {
  switch (level) {
    case CpuLevel::Plain:
      return true;
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
    // The compiler's run-time check also asks the operating system whether it
    // saves the 256-bit registers, so AVX2 is only reported when usable.
    case CpuLevel::Ssse3:
      return __builtin_cpu_supports("ssse3");
    case CpuLevel::Avx2:
      return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("avx2");
#else
    case CpuLevel::Ssse3:
    case CpuLevel::Avx2:
      return false;
#endif
  }
  return false;
}

const DetectedLevels& Detected() {
  static const DetectedLevels detected = [] {
    DetectedLevels d;
    for (CpuLevel level : {CpuLevel::Plain, CpuLevel::Ssse3, CpuLevel::Avx2})
      if (Supports(level)) d.levels[d.count++] = level;
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

}  // namespace dioptrix
