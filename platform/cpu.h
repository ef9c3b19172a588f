// The processor's vector levels, detected once per process. Kernels with
// several versions keep one table per kernel with an entry for each level
// they have, and pick the entry of BestCpuLevel(); tests run every level the
// processor has against the plain version, which must give the same bytes.
//
// DIOPTRIX_X86_KERNELS is defined where the x86 versions are compiled: on
// x86 with GCC or clang, unless the build turned the vector levels off
// (cmake -DDIOPTRIX_VECTOR_KERNELS=OFF), in which case only Plain exists and
// every kernel runs its plain version.
//
// The environment variable DIOPTRIX_CPU ("plain", "ssse3", "avx2" or
// "avx512") caps the levels reported, read once on first use: a benchmark or
// the whole test suite can then run at a lower level on this machine.
#pragma once

#include <span>

#if !defined(DIOPTRIX_NO_VECTOR_KERNELS) && (defined(__x86_64__) || defined(__i386__)) && \
    (defined(__GNUC__) || defined(__clang__))
#define DIOPTRIX_X86_KERNELS 1
#endif

namespace dioptrix {

// Vector instruction levels, lowest first. Each level includes the ones below
// it. Plain runs everywhere; the others exist on x86 processors only.
enum class CpuLevel : int {
  Plain = 0,   // no vector instructions beyond what the compiler chooses
  Ssse3 = 1,   // 128-bit vectors with byte shuffles
  Avx2 = 2,    // 256-bit integer vectors
  Avx512 = 3,  // 512-bit vectors with byte and word lanes and byte permutes
               // (AVX-512 F, BW, VL and VBMI: Ice Lake, Zen 4 and later)
};

// "plain", "ssse3", "avx2" or "avx512".
const char* CpuLevelName(CpuLevel level);

// True when this processor (and its operating system) runs the level, within
// the cap of DIOPTRIX_CPU.
bool CpuHas(CpuLevel level);

// The levels this processor runs, lowest first; Plain is always the first.
std::span<const CpuLevel> CpuLevels();

// The highest level this processor runs.
CpuLevel BestCpuLevel();

// The highest level this processor runs that is no higher than level: what a
// kernel table asked for a level the processor lacks uses instead.
CpuLevel CpuLevelAtMost(CpuLevel level);

}  // namespace dioptrix
