// The view synthesis kernel of the blocks library on whole frames, as the
// conversion step calls it (radius 1, gain and offset scaled to the width),
// beside the engine's own synthesis Make3D on the same frames (its fast and
// plain forms, and the whole engine path of the conversion step: Dilate, the
// two copies into the arrays and Make3D) and BM_FrameMemcpy, the floor of one
// pass over the frame.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "blocks/make3d.h"
#include "process/image_process.h"
#include "process/make3d.h"

namespace dioptrix::blocks {
namespace {

using bench::FrameSizes;
using bench::SetFrameCounters;

// A source picture and the depth picture handed to the kernel: a smooth
// gradient with flat blocks standing nearer, like a smoothed motion depth map.
struct SynthesisFrame {
  SynthesisFrame(int32_t width, int32_t height)
      : w(width),
        h(height),
        stride((3 * static_cast<size_t>(w) + 3) & ~size_t{3}),
        src(stride * h),
        depth(stride * h),
        out(stride * h),
        dmap((static_cast<size_t>(w) + 1) * (h + 1)),
        gain(static_cast<float>((30.0 / 255.0) * (w / 640.0))),
        offset(static_cast<int32_t>(std::nearbyint(w / 640.0 * 15.0))) {
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        uint8_t* s = &src[y * stride + 3 * static_cast<size_t>(x)];
        s[0] = static_cast<uint8_t>(x * 7 + y);
        s[1] = static_cast<uint8_t>(x + y * 3);
        s[2] = static_cast<uint8_t>((x ^ y) * 5);
        int v = 60 + (120 * x) / w + (60 * y) / h;
        if (((x / 96) + (y / 64)) % 4 == 1) v = 230;
        uint8_t* d = &depth[y * stride + 3 * static_cast<size_t>(x)];
        d[0] = d[1] = d[2] = static_cast<uint8_t>(v);
      }
    }
  }
  int32_t w, h;
  size_t stride;
  std::vector<uint8_t> src, depth, out, dmap;
  float gain;
  int32_t offset;
};

template <void (*Kernel)(uint8_t*, const uint8_t*, uint8_t*, int32_t, int32_t, float, int32_t,
                         int32_t, PixelBytes)>
void RunSynthesis(benchmark::State& state) {
  SynthesisFrame f(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  for (auto _ : state) {
    state.PauseTiming();  // the kernel consumes the depth picture in out
    std::memcpy(f.out.data(), f.depth.data(), f.out.size());
    state.ResumeTiming();
    Kernel(f.out.data(), f.src.data(), f.dmap.data(), f.w, f.h, f.gain, f.offset, 1,
           PixelBytes::All);
    benchmark::DoNotOptimize(f.out.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, f.w, f.h);
}

void BM_Make3D_DLL(benchmark::State& state) { RunSynthesis<Make3DFast>(state); }
void BM_Make3DReference(benchmark::State& state) { RunSynthesis<Make3DReference>(state); }

BENCHMARK(BM_Make3D_DLL)->Apply(FrameSizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Make3DReference)->Args({1920, 1080})->Unit(benchmark::kMillisecond);

// The same frame as images for the engine.
DibPtr AsImage(const std::vector<uint8_t>& bytes, int32_t w, int32_t h) {
  auto img = std::make_unique<cDIBSection>();
  img->Create(w, h);
  std::memcpy(img->DIBSectionBitsPtr(), bytes.data(), img->ImageSize());
  return img;
}

// Make3D alone, with the arrays prepared as the conversion step prepares them
// (the depth image dilated first), hole mode 1 as the conversion step passes.
template <bool kFast>
void RunEngineMake3D(benchmark::State& state) {
  SynthesisFrame f(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  DibPtr depth = AsImage(f.depth, f.w, f.h);
  DibPtr src = AsImage(f.src, f.w, f.h);
  engine.Dilate(*depth);
  engine.CopyToSpecifiedArray(*depth, arrays.DepthImageArray);
  engine.CopyToArray(*src);
  for (auto _ : state) {
    if constexpr (kFast) {
      engine.Make3D(*depth, f.gain, 0, static_cast<int16_t>(f.offset), 1);
    } else {
      Make3DPlain(*depth, arrays.PixelArray, arrays.DepthImageArray, f.gain, 0,
                  static_cast<int16_t>(f.offset), 1);
    }
    benchmark::DoNotOptimize(depth->DIBSectionBitsPtr());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, f.w, f.h);
}

// The engine path of the conversion step from the smoothed depth image on:
// what replaces one call of Make3D_DLL.
void BM_EngineSynthesisPath(benchmark::State& state) {
  SynthesisFrame f(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  EngineArrays arrays;
  cImageProcessDIB engine(arrays);
  DibPtr src = AsImage(f.src, f.w, f.h);
  DibPtr out = AsImage(f.depth, f.w, f.h);
  for (auto _ : state) {
    state.PauseTiming();  // the path turns the depth picture into the view
    std::memcpy(out->DIBSectionBitsPtr(), f.depth.data(), out->ImageSize());
    state.ResumeTiming();
    engine.Dilate(*out);
    engine.CopyToSpecifiedArray(*out, arrays.DepthImageArray);
    engine.CopyToArray(*src);
    engine.Make3D(*out, f.gain, 0, static_cast<int16_t>(f.offset), 1);
    benchmark::DoNotOptimize(out->DIBSectionBitsPtr());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, f.w, f.h);
}

void BM_Make3DEngine(benchmark::State& state) { RunEngineMake3D<true>(state); }
void BM_Make3DEnginePlain(benchmark::State& state) { RunEngineMake3D<false>(state); }

BENCHMARK(BM_Make3DEngine)->Apply(FrameSizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Make3DEnginePlain)->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineSynthesisPath)->Apply(FrameSizes)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dioptrix::blocks
