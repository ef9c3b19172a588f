// Presenting frames on a 32-bit screen picture: the unscaled copy, the
// halftone shrink to the usual window sizes and the nearest enlargement, each
// at the processor's best level and at the plain one. "MP" counts the
// source frame's pixels.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/bench_support.h"
#include "image/screen_blit.h"
#include "platform/cpu.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using bench::SetFrameCounters;

// range(0) x range(1) source frame, range(2) x range(3) screen, range(4) level.
void RunStretch(benchmark::State& state, StretchMode mode) {
  const auto arg = [&](int i) { return static_cast<int32_t>(state.range(i)); };
  const int32_t sw = arg(0), sh = arg(1), dw = arg(2), dh = arg(3);
  const ScreenBlitKernels& kernels = ScreenBlitKernelsFor(static_cast<CpuLevel>(arg(4)));
  DibPtr src = test::RandomImage(sw, sh, 7);
  std::vector<uint8_t> screen(4 * static_cast<size_t>(dw) * dh);
  const ScreenImage view{screen.data(), 4 * int64_t{dw}, dw, dh};
  for (auto _ : state) {
    if (sw == dw && sh == dh) {
      BlitToScreen(view, 0, 0, dw, dh, *src, 0, 0, kernels);
    } else {
      StretchToScreen(view, 0, 0, dw, dh, *src, 0, 0, sw, sh, mode, kernels);
    }
    benchmark::DoNotOptimize(screen.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(CpuLevelName(kernels.level));
  SetFrameCounters(state, sw, sh);
}

void BM_ScreenCopy(benchmark::State& state) { RunStretch(state, kColorOnColor); }
void BM_ScreenHalftone(benchmark::State& state) { RunStretch(state, kHalftone); }
void BM_ScreenNearest(benchmark::State& state) { RunStretch(state, kColorOnColor); }

// The best level and the plain one (once when they are the same).
void Levels(benchmark::internal::Benchmark* b, std::vector<int64_t> sizes) {
  b->ArgNames({"sw", "sh", "dw", "dh", "level"});
  for (CpuLevel level : {BestCpuLevel(), CpuLevel::Plain}) {
    std::vector<int64_t> args = sizes;
    args.push_back(static_cast<int64_t>(level));
    b->Args(args);
    if (level == CpuLevel::Plain) break;
  }
}

BENCHMARK(BM_ScreenCopy)->Apply([](auto* b) { Levels(b, {1920, 1080, 1920, 1080}); });
BENCHMARK(BM_ScreenHalftone)->Apply([](auto* b) {
  Levels(b, {1920, 1080, 1280, 720});
  Levels(b, {1920, 1080, 1366, 768});
});
BENCHMARK(BM_ScreenNearest)->Apply([](auto* b) {
  Levels(b, {1280, 720, 1920, 1080});
  Levels(b, {1920, 1080, 1366, 768});
});

}  // namespace
}  // namespace dioptrix
