// The depth kernels of the blocks library on a moving picture: a textured
// frame that moves 3 pixels across and 1 line down per call, as a camera pan
// gives. The grey kernel runs as the conversion step calls it (mode 1, scale
// 1); the colour kernel in the same mode; the matching kernel on the grey
// kernel's depth image. BM_FrameMemcpy (image_bench.cpp) copies the same
// frame's bytes, the unit to compare them with.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "blocks/depthmap.h"
#include "blocks/matchdepth.h"

namespace dioptrix::blocks {
namespace {

constexpr int kFrames = 8;  // frames of the sequence, played forward and back
constexpr int kStepX = 3;   // pixels across per frame
constexpr int kStepY = 1;   // lines down per frame

// The frame shown by call t: 0, 1, ..., 7, 6, ..., 1, 0, 1, ...: the picture
// keeps moving by one step per call, turning back at the ends.
int FrameOfCall(int64_t t) {
  const int64_t phase = t % (2 * kFrames - 2);
  return static_cast<int>(phase < kFrames ? phase : 2 * kFrames - 2 - phase);
}

using bench::FrameSizes;
using bench::SetFrameCounters;

// The frames of the moving sequence, the picture the kernel writes into, and
// the previous depth map that mode 1 blends with.
struct MovingSequence {
  MovingSequence(int32_t width, int32_t height)
      : w(width),
        h(height),
        stride(static_cast<size_t>(PictureStride(width))),
        out(stride * h),
        dmap((static_cast<size_t>(w) + 1) * (h + 1)) {
    // One large texture: broad shapes for the searches to follow plus fine
    // detail, so that the costs are neither flat nor noise.
    const int32_t tw = w + kFrames * kStepX;
    const int32_t th = h + kFrames * kStepY;
    std::vector<uint8_t> texture(static_cast<size_t>(tw) * th * 3);
    for (int32_t y = 0; y < th; ++y) {
      for (int32_t x = 0; x < tw; ++x) {
        const double broad = 70 * std::sin(x / 37.0) * std::cos(y / 23.0);
        const double fine = 30 * std::sin(x / 3.1 + y / 4.7);
        const uint32_t hash = (static_cast<uint32_t>(x) * 2654435761u) ^ (y * 40503u);
        for (int c = 0; c < 3; ++c) {
          const double v = 128 + broad + fine + static_cast<int>(hash >> (28 - 4 * c) & 15) - 8;
          texture[(static_cast<size_t>(y) * tw + x) * 3 + c] =
              static_cast<uint8_t>(std::fmin(255, std::fmax(0, v + 10 * c)));
        }
      }
    }
    // Frame k shows the texture from (k * 3, k * 1): the picture moves left
    // and up, its best matches lie right and down.
    for (int k = 0; k < kFrames; ++k) {
      std::vector<uint8_t> frame(stride * h);
      for (int32_t y = 0; y < h; ++y) {
        const uint8_t* src = &texture[(static_cast<size_t>(y + k * kStepY) * tw + k * kStepX) * 3];
        std::memcpy(&frame[y * stride], src, static_cast<size_t>(w) * 3);
      }
      frames.push_back(std::move(frame));
    }
    for (size_t i = 0; i < dmap.size(); ++i) dmap[i] = static_cast<uint8_t>((i / 97) % 200);
  }

  int32_t w, h;
  size_t stride;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint8_t> out, dmap;
};

template <bool (*Kernel)(GreyDepthState&, uint8_t*, double*, int32_t, const uint8_t*, int32_t,
                         int32_t, double*, int32_t)>
void RunGrey(benchmark::State& state) {
  MovingSequence s(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  GreyDepthState kernelState;
  double cost = 0, pan = 0;
  int64_t t = 0;
  for (auto _ : state) {
    state.PauseTiming();  // the kernel writes the depth image over the frame
    std::memcpy(s.out.data(), s.frames[FrameOfCall(t++)].data(), s.out.size());
    state.ResumeTiming();
    Kernel(kernelState, s.out.data(), &cost, 1, s.dmap.data(), s.w, s.h, &pan, 1);
    benchmark::DoNotOptimize(s.out.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, s.w, s.h);
}

template <void (*Kernel)(ColourDepthState&, uint8_t*, const uint8_t*, double*, int32_t,
                         const uint8_t*, int32_t, int32_t, double*)>
void RunColour(benchmark::State& state) {
  MovingSequence s(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  ColourDepthState kernelState;
  double cost = 0, pan = 0;
  int64_t t = 1;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(s.out.data(), s.frames[FrameOfCall(t)].data(), s.out.size());
    const uint8_t* prev = s.frames[FrameOfCall(t - 1)].data();
    ++t;
    state.ResumeTiming();
    Kernel(kernelState, s.out.data(), prev, &cost, 1, s.dmap.data(), s.w, s.h, &pan);
    benchmark::DoNotOptimize(s.out.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, s.w, s.h);
}

void BM_CreateDepthMapFast_DLL(benchmark::State& state) { RunGrey<GreyDepthMap>(state); }
void BM_CreateDepthMapFastReference(benchmark::State& state) {
  RunGrey<GreyDepthMapReference>(state);
}
void BM_CreateDepthMap_DLL(benchmark::State& state) { RunColour<ColourDepthMap>(state); }
void BM_CreateDepthMapReference(benchmark::State& state) {
  RunColour<ColourDepthMapReference>(state);
}

// The matching kernel on the blocky depth image the grey kernel makes of the
// sequence, against the matching colour frame.
void BM_MatchDepthMap_DLL(benchmark::State& state) {
  MovingSequence s(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  GreyDepthState kernelState;
  std::vector<uint8_t> depth;
  for (int k = 0; k < 3; ++k) {  // gain grows from 0 over the first calls
    depth = s.frames[k];
    GreyDepthMap(kernelState, depth.data(), nullptr, 0, nullptr, s.w, s.h, nullptr, 1);
  }
  const uint8_t* colour = s.frames[2].data();
  for (auto _ : state) {
    state.PauseTiming();  // the kernel repaints the depth image in place
    std::memcpy(s.out.data(), depth.data(), s.out.size());
    state.ResumeTiming();
    MatchDepthMap(s.out.data(), colour, s.w, s.h);
    benchmark::DoNotOptimize(s.out.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, s.w, s.h);
}

BENCHMARK(BM_CreateDepthMapFast_DLL)->Apply(FrameSizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateDepthMapFastReference)->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateDepthMap_DLL)->Apply(FrameSizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateDepthMapReference)->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MatchDepthMap_DLL)->Apply(FrameSizes)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dioptrix::blocks
