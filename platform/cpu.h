// The processor's vector levels, detected once per process. Kernels with
// several versions pick theirs from these levels; tests run every level the
// processor has.
#pragma once

#include <span>

namespace dioptrix {

// Vector instruction levels, lowest first. Each level includes the ones below
// it. Plain runs everywhere; the others exist on x86 processors only.
enum class CpuLevel : int {
  Plain = 0,  // no vector instructions beyond what the compiler chooses
  Ssse3 = 1,  // 128-bit vectors with byte shuffles
  Avx2 = 2,   // 256-bit integer vectors
};

// "plain", "ssse3" or "avx2".
const char* CpuLevelName(CpuLevel level);

// True when this processor (and its operating system) runs the level.
bool CpuHas(CpuLevel level);

// The levels this processor runs, lowest first; Plain is always the first.
std::span<const CpuLevel> CpuLevels();

// The highest level this processor runs.
CpuLevel BestCpuLevel();

}  // namespace dioptrix
