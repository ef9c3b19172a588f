// The engine's CreateDepthMap (its fast form, as the method runs it, and its
// plain form) beside the library's colour kernel CreateDepthMap_DLL on the
// same pair of frames: a textured picture moved 3 pixels across and 1 line
// down, in mode 1 with a previous depth map. BM_FrameMemcpy (image_bench.cpp)
// is the unit to compare them with.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "blocks/depthmap.h"
#include "process/image_process.h"

namespace dioptrix {
namespace {

using bench::SetFrameCounters;

constexpr int32_t kShiftX = 3;  // pixels across between the two frames
constexpr int32_t kShiftY = 1;  // lines down

// Broad shapes for the search to follow plus fine detail, so that the costs
// are neither flat nor noise.
uint8_t Texture(int32_t x, int32_t y, int c) {
  const double broad = 70 * std::sin(x / 37.0) * std::cos(y / 23.0);
  const double fine = 30 * std::sin(x / 3.1 + y / 4.7);
  const uint32_t hash =
      (static_cast<uint32_t>(x) * 2654435761u) ^ (static_cast<uint32_t>(y) * 40503u);
  const double v = 128 + broad + fine + static_cast<int>(hash >> (28 - 4 * c) & 15) - 8 + 10 * c;
  return static_cast<uint8_t>(std::fmin(255, std::fmax(0, v)));
}

struct FramePair {
  explicit FramePair(const benchmark::State& state)
      : w(static_cast<int32_t>(state.range(0))), h(static_cast<int32_t>(state.range(1))) {
    previous.Create(w, h);
    current.Create(w, h);
    work.Create(w, h);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) {
          previous.ScanLine(y)[3 * x + c] = Texture(x, y, c);
          current.ScanLine(y)[3 * x + c] = Texture(x + kShiftX, y + kShiftY, c);
        }
    EngineArrays arrays;
    cImageProcessDIB(arrays).CopyToSpecifiedArray(previous, prev);
    dmap.Redim(w + 1, h + 1);
    for (size_t i = 0; i < dmap.Size(); ++i) dmap.Data()[i] = static_cast<uint8_t>((i / 97) % 200);
  }

  // Puts the current frame back into the picture the kernels overwrite.
  void Reset() {
    std::memcpy(work.DIBSectionBitsPtr(), current.DIBSectionBitsPtr(), work.ImageSize());
  }

  int32_t w, h;
  cDIBSection previous, current, work;
  Plane<int32_t> prev;
  Plane<uint8_t> dmap;
};

template <void (*Kernel)(cDIBSection&, const Plane<int32_t>&, double&, int32_t,
                         const Plane<uint8_t>&)>
void RunEngine(benchmark::State& state) {
  FramePair f(state);
  double cost = 0;
  for (auto _ : state) {
    state.PauseTiming();
    f.Reset();
    state.ResumeTiming();
    Kernel(f.work, f.prev, cost, 1, f.dmap);
    benchmark::DoNotOptimize(f.work.DIBSectionBitsPtr());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, f.w, f.h);
}

void BM_EngineCreateDepthMap(benchmark::State& state) {
  RunEngine<cImageProcessDIB::CreateDepthMapFast>(state);
}
void BM_EngineCreateDepthMapPlain(benchmark::State& state) {
  RunEngine<cImageProcessDIB::CreateDepthMapPlain>(state);
}

// The library's colour kernel (8-pixel blocks, early stops) on the same frames.
void BM_LibraryCreateDepthMapSameFrames(benchmark::State& state) {
  FramePair f(state);
  blocks::ColourDepthState kernelState;
  double cost = 0, pan = 0;
  for (auto _ : state) {
    state.PauseTiming();
    f.Reset();
    state.ResumeTiming();
    blocks::ColourDepthMap(kernelState, f.work.DIBSectionBitsPtr(), f.previous.DIBSectionBitsPtr(),
                           &cost, 1, f.dmap.Data(), f.w, f.h, &pan);
    benchmark::DoNotOptimize(f.work.DIBSectionBitsPtr());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, f.w, f.h);
}

BENCHMARK(BM_EngineCreateDepthMap)->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineCreateDepthMapPlain)->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibraryCreateDepthMapSameFrames)->Args({1920, 1080})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dioptrix
