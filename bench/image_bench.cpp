// Image buffer operations on whole frames, beside a plain memcpy of the same
// frame (the floor of any pass over the pixels).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "image/blit.h"
#include "image/dib_section.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

void SetFrameCounters(benchmark::State& state, int64_t w, int64_t h) {
  // "MP" reads as megapixels per second, "frame" as seconds per frame.
  state.counters["MP"] = benchmark::Counter(static_cast<double>(w * h) / 1e6,
                                            benchmark::Counter::kIsIterationInvariantRate);
  state.counters["frame"] = benchmark::Counter(
      1, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_FrameMemcpy(benchmark::State& state) {
  const int32_t w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  const size_t bytes = static_cast<size_t>(BytesPerRow24(w) * h);
  std::vector<uint8_t> a(bytes, 1), b(bytes);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, w, h);
}

void BM_ResampleBilinear(benchmark::State& state) {
  const int32_t w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  DibPtr src = test::RandomImage(w, h, 1);
  for (auto _ : state) {
    DibPtr out = src->Resample(h * 3 / 4, w * 3 / 4, true);
    benchmark::DoNotOptimize(out.get());
  }
  SetFrameCounters(state, w, h);
}

void BM_ResampleNearestEnlarge(benchmark::State& state) {
  const int32_t w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  DibPtr src = test::RandomImage(w, h, 2);
  for (auto _ : state) {
    DibPtr out = src->Resample(h * 3 / 2, w * 3 / 2, false);
    benchmark::DoNotOptimize(out.get());
  }
  SetFrameCounters(state, w, h);
}

void BM_CropHalf(benchmark::State& state) {
  const int32_t w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  DibPtr src = test::RandomImage(2 * w, h, 3);
  for (auto _ : state) {
    DibPtr out = src->Crop(h, w, w, 0);
    benchmark::DoNotOptimize(out.get());
  }
  SetFrameCounters(state, w, h);
}

#define FRAME_SIZES Args({640, 480})->Args({1280, 720})->Args({1920, 1080})
BENCHMARK(BM_FrameMemcpy)->FRAME_SIZES;
BENCHMARK(BM_ResampleBilinear)->FRAME_SIZES;
BENCHMARK(BM_ResampleNearestEnlarge)->FRAME_SIZES;
BENCHMARK(BM_CropHalf)->FRAME_SIZES;

}  // namespace
}  // namespace dioptrix
