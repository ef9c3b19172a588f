// Image buffer operations on whole frames, beside a plain memcpy of the same
// frame (the floor of any pass over the pixels).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "image/blit.h"
#include "image/dib_section.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using bench::FrameSizes;
using bench::SetFrameCounters;

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

BENCHMARK(BM_FrameMemcpy)->Apply(FrameSizes);
BENCHMARK(BM_ResampleBilinear)->Apply(FrameSizes);
BENCHMARK(BM_ResampleNearestEnlarge)->Apply(FrameSizes);
BENCHMARK(BM_CropHalf)->Apply(FrameSizes);

}  // namespace
}  // namespace dioptrix
