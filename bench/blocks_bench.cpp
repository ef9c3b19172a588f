// The view synthesis kernel of the blocks library on whole frames, as the
// conversion step calls it (radius 1, gain and offset scaled to the width),
// beside BM_FrameMemcpy, the floor of one pass over the frame.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "blocks/make3d.h"

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

}  // namespace
}  // namespace dioptrix::blocks
