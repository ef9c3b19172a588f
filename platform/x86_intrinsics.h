// The x86 intrinsics, for files with vector kernels: included only where
// DIOPTRIX_X86_KERNELS is defined (platform/cpu.h).
#pragma once

#include "platform/cpu.h"

#ifdef DIOPTRIX_X86_KERNELS
// GCC 12 takes the undefined pass-through operand of many AVX-512
// intrinsics for an uninitialised variable (fixed in later releases).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
