// What every per-frame benchmark shares: the frame sizes it runs at and the
// counters it reports.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

namespace dioptrix::bench {

// Reports "MP" (megapixels per second) and "frame" (seconds per frame).
inline void SetFrameCounters(benchmark::State& state, int64_t w, int64_t h) {
  state.counters["MP"] = benchmark::Counter(static_cast<double>(w * h) / 1e6,
                                            benchmark::Counter::kIsIterationInvariantRate);
  state.counters["frame"] = benchmark::Counter(
      1, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// 640x480, 1280x720 and 1920x1080, as range(0) x range(1). BM_FrameMemcpy
// (image_bench.cpp) is the unit of comparison at each size.
inline void FrameSizes(benchmark::internal::Benchmark* b) {
  b->Args({640, 480})->Args({1280, 720})->Args({1920, 1080});
}

}  // namespace dioptrix::bench
