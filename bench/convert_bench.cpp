// The per-frame 2D-to-3D conversion: the block smoothing of the depth image
// (plain and fast) and the whole conversion step with the real libblocks.so
// on moving pictures, beside BM_FrameMemcpy.
//
// Two sequences: "objects" moves three textured objects along circles over a
// still textured background (the step stays in depth synthesis: the motion
// has as much vertical as horizontal movement), and "pan" pans the picture
// sideways back and forth by 4 pixels a frame (the step switches to frame
// shift). "busy" is "objects" with fresh grain on every frame (as a camera's
// noise), which makes the block searches of the depth kernel work harder.
// The counter "shift" is the share of frames shown by frame shift.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "bench/bench_support.h"
#include "playback/convert.h"
#include "playback/image_reuse.h"
#include "process/depth_cleanup.h"
#include "tests/common/library_copy.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using bench::FrameSizes;
using bench::SetFrameCounters;

constexpr int kSequenceLength = 16;

// Value noise: random levels on a grid of `cell` pixels, interpolated
// bilinearly; smooth in every direction, like the shapes of a real scene.
std::vector<double> ValueNoise(int32_t w, int32_t h, int32_t cell, uint32_t seed) {
  std::mt19937 rng(seed);
  const int32_t gw = w / cell + 2, gh = h / cell + 2;
  std::vector<double> grid(static_cast<size_t>(gw) * gh);
  for (double& g : grid) g = static_cast<double>(rng() % 256);
  std::vector<double> out(static_cast<size_t>(w) * h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const int32_t gx = x / cell, gy = y / cell;
      const double fx = static_cast<double>(x % cell) / cell,
                   fy = static_cast<double>(y % cell) / cell;
      auto at = [&](int32_t i, int32_t j) { return grid[static_cast<size_t>(j) * gw + i]; };
      out[static_cast<size_t>(y) * w + x] =
          (at(gx, gy) * (1 - fx) + at(gx + 1, gy) * fx) * (1 - fy) +
          (at(gx, gy + 1) * (1 - fx) + at(gx + 1, gy + 1) * fx) * fy;
    }
  return out;
}

// A smooth picture with some grain, like a photographed scene.
DibPtr Texture(int32_t w, int32_t h, uint32_t seed) {
  const std::vector<double> coarse = ValueNoise(w, h, 24, seed);
  const std::vector<double> fine = ValueNoise(w, h, 6, seed + 1);
  DibPtr img = test::RandomImage(w, h, seed + 2);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* line = img->ScanLine(y);
    for (int32_t x = 0; x < w; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      const double base = 0.7 * coarse[i] + 0.3 * fine[i];
      for (int c = 0; c < 3; ++c) {
        const double v = base + (line[3 * x + c] % 17) - 8 + 10 * (c - 1);
        line[3 * x + c] = static_cast<uint8_t>(std::fmin(255, std::fmax(0, v)));
      }
    }
  }
  return img;
}

void Paste(cDIBSection& dst, const cDIBSection& src, int32_t left, int32_t top) {
  for (int32_t y = 0; y < src.Height(); ++y) {
    const int32_t line = top + y;
    if (line < 0 || line >= dst.Height()) continue;
    std::memcpy(dst.ScanLine(line) + 3 * left, src.ScanLine(y), 3 * size_t(src.Width()));
  }
}

enum class Motion { Objects, Pan, Busy };

// Every byte of the frame moved by up to 6 either way, clamped.
void AddGrain(cDIBSection& frame, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int32_t y = 0; y < frame.Height(); ++y) {
    uint8_t* line = frame.ScanLine(y);
    for (int32_t b = 0; b < 3 * frame.Width(); ++b)
      line[b] =
          static_cast<uint8_t>(std::clamp(int{line[b]} + static_cast<int>(rng() % 13) - 6, 0, 255));
  }
}

std::vector<DibPtr> Sequence(int32_t w, int32_t h, Motion motion) {
  const bool pan = motion == Motion::Pan;
  constexpr int32_t kPanStep = 4;
  const int32_t margin = kPanStep * kSequenceLength;
  DibPtr background = Texture(w + margin, h, 1);
  std::vector<DibPtr> frames;
  if (pan) {
    // Back and forth: 0, 4, ... 28, 32, 28, ... 4.
    for (int n = 0; n < kSequenceLength; ++n) {
      const int32_t at = n <= kSequenceLength / 2 ? n : kSequenceLength - n;
      frames.push_back(background->Crop(h, w, kPanStep * at, 0));
    }
    return frames;
  }
  const int32_t size = w / 8, radius = w / 64;
  std::vector<DibPtr> objects;
  for (int i = 0; i < 3; ++i) objects.push_back(Texture(size, size * 3 / 4, 10u * (i + 1)));
  for (int n = 0; n < kSequenceLength; ++n) {
    DibPtr frame = background->Crop(h, w, 0, 0);
    for (int i = 0; i < 3; ++i) {
      const double a = 2 * std::numbers::pi * (n + 5 * i) / kSequenceLength;
      const int32_t cx = w * (i + 1) / 4 - size / 2 + static_cast<int32_t>(radius * std::cos(a));
      const int32_t cy = h / 2 - size / 2 + static_cast<int32_t>(radius * std::sin(a));
      Paste(*frame, *objects[i], cx, cy);
    }
    if (motion == Motion::Busy) AddGrain(*frame, 100u + static_cast<uint32_t>(n));
    frames.push_back(std::move(frame));
  }
  return frames;
}

// A blocky depth image with some noise, as the depth kernel makes it.
DibPtr BlockyDepth(int32_t w, int32_t h) {
  DibPtr img = test::RandomImage(w, h, 9);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* p = img->ScanLine(y) + 3 * x;
      const auto v = static_cast<uint8_t>(((x / 8) * 37 + (y / 8) * 91) % 200 + p[0] % 8);
      p[0] = p[1] = p[2] = v;
    }
  return img;
}

template <void (*Smooth)(cDIBSection&, int32_t)>
void BM_SmoothDMAP(benchmark::State& state) {
  const auto w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  DibPtr depth = BlockyDepth(w, h);
  for (auto _ : state) {
    Smooth(*depth, 8);
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, w, h);
}

void ConvertSequence(benchmark::State& state, Motion motion, bool improved = false) {
  const auto w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  const std::vector<DibPtr> frames = Sequence(w, h, motion);
  // A library of its own: its state (previous grey frame, gain) belongs to
  // this sequence and this frame size.
  test::LibraryCopy library;
  ProgramContext program(library.Dir());
  MessageLog log;
  log.Attach(program.host);
  program.conversion.ImprovedDepth = improved;
  DibPtr& current = program.frames.StereoPair[0];
  ReplaceWithCopy(frames[0], current);
  ConvertFrame(program, false);
  for (int n = 1; n < kSequenceLength; ++n) {
    ReplaceWithCopy(frames[n], current);
    ConvertFrame(program, true);
  }
  int64_t frame = 0, shifted = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ReplaceWithCopy(frames[frame++ % kSequenceLength], current);
    state.ResumeTiming();
    ConvertFrame(program, true);
    if (program.conversion.ShiftMode == kShiftFrames) ++shifted;
  }
  if (!log.entries.empty()) state.SkipWithError(log.entries[0].text.c_str());
  SetFrameCounters(state, w, h);
  state.counters["shift"] = frame ? static_cast<double>(shifted) / static_cast<double>(frame) : 0;
}

void BM_ConvertFrameObjects(benchmark::State& state) { ConvertSequence(state, Motion::Objects); }
void BM_ConvertFramePan(benchmark::State& state) { ConvertSequence(state, Motion::Pan); }
void BM_ConvertFrameBusy(benchmark::State& state) { ConvertSequence(state, Motion::Busy); }
// The same with improved depth, which should cost at most 1.5 times as much.
void BM_ConvertFrameImprovedObjects(benchmark::State& state) {
  ConvertSequence(state, Motion::Objects, true);
}
void BM_ConvertFrameImprovedPan(benchmark::State& state) {
  ConvertSequence(state, Motion::Pan, true);
}
void BM_ConvertFrameImprovedBusy(benchmark::State& state) {
  ConvertSequence(state, Motion::Busy, true);
}

BENCHMARK(BM_SmoothDMAP<SmoothDepthReference>)->Apply(FrameSizes);
BENCHMARK(BM_SmoothDMAP<SmoothDepthFast>)->Apply(FrameSizes);
BENCHMARK(BM_ConvertFrameObjects)->Apply(FrameSizes);
BENCHMARK(BM_ConvertFramePan)->Apply(FrameSizes);
BENCHMARK(BM_ConvertFrameBusy)->Args({1920, 1080});
BENCHMARK(BM_ConvertFrameImprovedObjects)->Apply(FrameSizes);
BENCHMARK(BM_ConvertFrameImprovedPan)->Args({1920, 1080});
BENCHMARK(BM_ConvertFrameImprovedBusy)->Args({1920, 1080});

}  // namespace
}  // namespace dioptrix
