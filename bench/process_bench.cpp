// The engine's whole-frame operations: the per-frame grey and mask conversions
// of the anaglyph paths (fast and plain forms), the copies into the pixel
// array, Correlate and the display preparation, beside BM_FrameMemcpy as the
// unit of comparison.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "process/image_process.h"
#include "process/pixel_kernels.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using bench::FrameSizes;
using bench::SetFrameCounters;

// A frame of state.range(0) x state.range(1) random pixels.
struct Frame {
  explicit Frame(const benchmark::State& state)
      : w(static_cast<int32_t>(state.range(0))),
        h(static_cast<int32_t>(state.range(1))),
        image(test::RandomImage(w, h, 1)) {}
  int32_t w, h;
  DibPtr image;
};

// The grey conversions rewrite the frame in place; after the first pass the
// frame is grey, which changes nothing for their cost.
template <void (*Convert)(cDIBSection&)>
void BM_Grey(benchmark::State& state) {
  Frame f(state);
  for (auto _ : state) {
    Convert(*f.image);
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, f.w, f.h);
}

void GrayScaleStand(cDIBSection& img) {
  EngineArrays arrays;
  cImageProcessDIB(arrays).GrayScale_stand(img);
}
void GrayScale3Fast(cDIBSection& img) { pixel_kernels::GrayScaleFast(img, 3); }
void GrayScale3Plain(cDIBSection& img) { pixel_kernels::GrayScalePlain(img, 3); }
void ColourMaskFast(cDIBSection& img) { pixel_kernels::ColourMaskFast(img, 1, 1, 0); }
void ColourMaskPlain(cDIBSection& img) { pixel_kernels::ColourMaskPlain(img, 1, 1, 0); }

void BM_CopyToArray(benchmark::State& state) {
  Frame f(state);
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  for (auto _ : state) {
    engine.CopyToArray(*f.image);
    benchmark::DoNotOptimize(arrays.PixelArray.Data());
  }
  SetFrameCounters(state, f.w, f.h);
}

void BM_Correlate(benchmark::State& state) {
  Frame f(state);
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  engine.CopyToArray(*test::RandomImage(f.w, f.h, 2));
  for (auto _ : state) {
    int64_t sum = 0;
    engine.Correlate(*f.image, arrays.PixelArray, sum);
    benchmark::DoNotOptimize(sum);
  }
  SetFrameCounters(state, f.w, f.h);
}

void BM_Flip(benchmark::State& state) {
  Frame f(state);
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  for (auto _ : state) {
    engine.Flip(*f.image);
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, f.w, f.h);
}

void BM_CopyToArrayOPENGL(benchmark::State& state) {
  Frame f(state);
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  for (auto _ : state) {
    engine.CopyToArrayOPENGL(*f.image);
    benchmark::DoNotOptimize(arrays.OpenGLPixels.data());
  }
  SetFrameCounters(state, f.w, f.h);
}

BENCHMARK(BM_Grey<GrayScaleStand>)->Name("BM_GrayScale_stand")->Apply(FrameSizes);
BENCHMARK(BM_Grey<pixel_kernels::GrayScaleStandPlain>)
    ->Name("BM_GrayScale_stand_plain")
    ->Apply(FrameSizes);
BENCHMARK(BM_Grey<GrayScale3Fast>)->Name("BM_GrayScale3")->Apply(FrameSizes);
BENCHMARK(BM_Grey<GrayScale3Plain>)->Name("BM_GrayScale3_plain")->Apply(FrameSizes);
BENCHMARK(BM_Grey<ColourMaskFast>)->Name("BM_ColourMask")->Apply(FrameSizes);
BENCHMARK(BM_Grey<ColourMaskPlain>)->Name("BM_ColourMask_plain")->Apply(FrameSizes);
BENCHMARK(BM_CopyToArray)->Apply(FrameSizes);
BENCHMARK(BM_Correlate)->Apply(FrameSizes);
BENCHMARK(BM_Flip)->Apply(FrameSizes);
BENCHMARK(BM_CopyToArrayOPENGL)->Apply(FrameSizes);

}  // namespace
}  // namespace dioptrix
