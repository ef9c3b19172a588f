// The stereo loaders and compositions on 1080p material, one frame per
// iteration (time in ms per frame), beside BM_FrameMemcpy at 1920x1080.
// The loaders read a 1920x1080 frame (3840x1080 side by side, 1920x2160 above
// and below); the compositions two 1920x1080 views. The step-by-step versions
// run beside the single-pass ones for comparison.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "formats/load_pics.h"
#include "formats/reference_pics.h"
#include "formats/save_pics.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

constexpr int32_t kW = 1920, kH = 1080;

struct Bench {
  FrameImages frames;
  Settings settings;
  Host host;
  FormatContext Context() { return {frames, settings, host}; }
};

template <class Routine>
void RunLoader(benchmark::State& state, int32_t w, int32_t h, Routine routine) {
  Bench b;
  b.frames.SourceFrame = test::RandomImage(w, h, 1);
  const FormatContext ctx = b.Context();
  for (auto _ : state) {
    routine(ctx);
    benchmark::DoNotOptimize(b.frames.StereoPair[1]->DIBSectionBitsPtr());
    benchmark::ClobberMemory();
  }
}

template <class Routine>
void RunComposition(benchmark::State& state, Routine routine) {
  Bench b;
  b.frames.StereoPair[0] = test::RandomImage(kW, kH, 2);
  b.frames.StereoPair[1] = test::RandomImage(kW, kH, 3);
  // A 1080p fullscreen mode, gap of a tenth; the desktop is 1080p too.
  b.settings.ScreenWidth = kW;
  b.settings.ScreenHeight = kH;
  b.settings.VertFactor = 10;
  b.host.onDesktopSize = [] { return ScreenSize{kW, kH}; };
  const FormatContext ctx = b.Context();
  for (auto _ : state) {
    routine(ctx);
    benchmark::DoNotOptimize(b.frames.OutputFrame->DIBSectionBitsPtr());
    benchmark::ClobberMemory();
  }
}

void Formats_Load2D(benchmark::State& s) { RunLoader(s, kW, kH, Load2D); }
void Formats_Load2D_Steps(benchmark::State& s) { RunLoader(s, kW, kH, reference::Load2D); }
void Formats_LoadAboveBelow(benchmark::State& s) { RunLoader(s, kW, 2 * kH, LoadAboveBelow); }
void Formats_LoadAboveBelow_Steps(benchmark::State& s) {
  RunLoader(s, kW, 2 * kH, reference::LoadAboveBelow);
}
void Formats_LoadInterleaved(benchmark::State& s) { RunLoader(s, kW, kH, LoadInterleaved); }
void Formats_LoadJPS(benchmark::State& s) { RunLoader(s, 2 * kW, kH, LoadJPS); }
void Formats_LoadJPS_Steps(benchmark::State& s) { RunLoader(s, 2 * kW, kH, reference::LoadJPS); }
void Formats_LoadAnaglyph(benchmark::State& s) { RunLoader(s, kW, kH, LoadAnaglyph); }
void Formats_LoadAnaglyph_Steps(benchmark::State& s) {
  RunLoader(s, kW, kH, reference::LoadAnaglyph);
}
void Formats_LoadAnaglyphColour(benchmark::State& s) { RunLoader(s, kW, kH, LoadAnaglyphColour); }
void Formats_LoadAnaglyphColour_Steps(benchmark::State& s) {
  RunLoader(s, kW, kH, reference::LoadAnaglyphColour);
}

void Formats_SaveSideBySide(benchmark::State& s) { RunComposition(s, SaveSideBySide); }
void Formats_SaveSideBySide_Steps(benchmark::State& s) {
  RunComposition(s, reference::SaveSideBySide);
}
void Formats_SaveAboveBelow(benchmark::State& s) {
  RunComposition(s, [](const FormatContext& c) { SaveAboveBelow(c, true); });
}
void Formats_SaveAboveBelow_Steps(benchmark::State& s) {
  RunComposition(s, [](const FormatContext& c) { reference::SaveAboveBelow(c, true); });
}
void Formats_SaveAnaGray(benchmark::State& s) { RunComposition(s, SaveAnaGray); }
void Formats_SaveAnaGray_Steps(benchmark::State& s) { RunComposition(s, reference::SaveAnaGray); }
void Formats_SaveAnaColour(benchmark::State& s) { RunComposition(s, SaveAnaColour); }
void Formats_SaveAnaColour_Steps(benchmark::State& s) {
  RunComposition(s, reference::SaveAnaColour);
}
void Formats_SaveAnaYellow(benchmark::State& s) { RunComposition(s, SaveAnaYellow); }
void Formats_SaveAnaYellow_Steps(benchmark::State& s) {
  RunComposition(s, reference::SaveAnaYellow);
}
void Formats_SaveInterlace(benchmark::State& s) {
  RunComposition(s, [](const FormatContext& c) { SaveInterlace(c, false); });
}
void Formats_SaveInterlaceFit(benchmark::State& s) {
  RunComposition(s, [](const FormatContext& c) { SaveInterlace(c, true); });
}

#define FORMATS_BENCHMARK(fn) BENCHMARK(fn)->Unit(benchmark::kMillisecond)

FORMATS_BENCHMARK(Formats_Load2D);
FORMATS_BENCHMARK(Formats_Load2D_Steps);
FORMATS_BENCHMARK(Formats_LoadAboveBelow);
FORMATS_BENCHMARK(Formats_LoadAboveBelow_Steps);
FORMATS_BENCHMARK(Formats_LoadInterleaved);
FORMATS_BENCHMARK(Formats_LoadJPS);
FORMATS_BENCHMARK(Formats_LoadJPS_Steps);
FORMATS_BENCHMARK(Formats_LoadAnaglyph);
FORMATS_BENCHMARK(Formats_LoadAnaglyph_Steps);
FORMATS_BENCHMARK(Formats_LoadAnaglyphColour);
FORMATS_BENCHMARK(Formats_LoadAnaglyphColour_Steps);
FORMATS_BENCHMARK(Formats_SaveSideBySide);
FORMATS_BENCHMARK(Formats_SaveSideBySide_Steps);
FORMATS_BENCHMARK(Formats_SaveAboveBelow);
FORMATS_BENCHMARK(Formats_SaveAboveBelow_Steps);
FORMATS_BENCHMARK(Formats_SaveAnaGray);
FORMATS_BENCHMARK(Formats_SaveAnaGray_Steps);
FORMATS_BENCHMARK(Formats_SaveAnaColour);
FORMATS_BENCHMARK(Formats_SaveAnaColour_Steps);
FORMATS_BENCHMARK(Formats_SaveAnaYellow);
FORMATS_BENCHMARK(Formats_SaveAnaYellow_Steps);
FORMATS_BENCHMARK(Formats_SaveInterlace);
FORMATS_BENCHMARK(Formats_SaveInterlaceFit);

}  // namespace
}  // namespace dioptrix
