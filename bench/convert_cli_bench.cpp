// The converter end to end on a 1920x1080 H.264 clip of 120 frames with a
// sound track: 2D converted to 3D as a colour anaglyph, and side-by-side
// material passed through, each with a null writer (decoding and the frame
// pipeline alone) and with H.264 encoding. Beside them, in the same run, the
// ffmpeg command decoding the same files (plain, and converted to 24-bit
// blue-green-red). The clips are made by tools/make-sample-clips on first use
// and kept in /tmp.
//
// Counters: fps is frames per second of the whole conversion (opening, the
// playback, completing the file); loop_fps of the playback alone, which is
// what compares with the ffmpeg command's decoding time (its own measure,
// without start-up); *_ms are the mean stage times.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "app/convert_cli.h"
#include "bench/bench_clips.h"
#include "platform/library.h"
#include "playback/play_request.h"

namespace {

namespace fs = std::filesystem;
using namespace dioptrix;

using bench::FfmpegSeconds;
using bench::kClipFrames;

std::string Clip(const std::string& kind) { return bench::Clip1080p(kind); }

void Ffmpeg(benchmark::State& state, const std::string& kind, const std::string& options) {
  const std::string clip = Clip(kind);
  if (clip.empty()) {
    state.SkipWithError("cannot make the 1080p clips");
    return;
  }
  double seconds = 0;
  for (auto _ : state) {
    const double s = FfmpegSeconds(clip, options);
    if (s <= 0) {
      state.SkipWithError("cannot run ffmpeg");
      return;
    }
    state.SetIterationTime(s);
    seconds += s;
  }
  state.counters["fps"] =
      benchmark::Counter(kClipFrames * static_cast<double>(state.iterations()) / seconds);
}

// ffmpeg -i clip -f null -
void BM_FfmpegDecode1080p(benchmark::State& state, const std::string& kind) {
  Ffmpeg(state, kind, "");
}
// ffmpeg -i clip -pix_fmt bgr24 -f null -
void BM_FfmpegDecodeBgr24_1080p(benchmark::State& state, const std::string& kind) {
  Ffmpeg(state, kind, "-pix_fmt bgr24");
}

// One conversion per iteration. encode: H.264 into a file, else the null
// writer.
void Convert(benchmark::State& state, const std::string& kind, int16_t layout, int16_t method,
             bool encode) {
  const std::string clip = Clip(kind);
  if (clip.empty()) {
    state.SkipWithError("cannot make the 1080p clips");
    return;
  }
  ConvertOptions options;
  options.input = clip;
  options.layout = layout;
  options.method = method;
  options.nullOutput = !encode;
  if (encode) options.output = "/tmp/dioptrix-bench-1080p/converted.mp4";
  double wall = 0, loop = 0;
  int64_t frames = 0;
  float stages[4] = {0, 0, 0, 0};
  for (auto _ : state) {
    std::ostringstream out, err;
    ConvertReport report;
    const auto begun = std::chrono::steady_clock::now();
    const int status = RunConvert(options, out, err, &report);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    if (status != kConvertOk || report.frames != kClipFrames) {
      state.SkipWithError(("conversion failed: " + err.str()).c_str());
      return;
    }
    state.SetIterationTime(seconds);
    wall += seconds;
    loop += report.seconds;
    frames += report.frames;
    for (int i = 0; i < 4; ++i) stages[i] = report.stageTimes[i];
  }
  state.counters["fps"] = frames / wall;
  state.counters["loop_fps"] = frames / loop;
  const char* names[4] = {"get_ms", "decode_ms", "encode_ms", "put_ms"};
  for (int i = 0; i < 4; ++i) state.counters[names[i]] = stages[i] * 1000.0;
}

void BM_Convert2DTo3DAnaglyphNull1080p(benchmark::State& state) {
  Convert(state, "2d", kLayout2DTo3D, kOutputAnaglyphColour, false);
}
void BM_Convert2DTo3DAnaglyphH264_1080p(benchmark::State& state) {
  Convert(state, "2d", kLayout2DTo3D, kOutputAnaglyphColour, true);
}
void BM_ConvertSideBySidePassThroughNull1080p(benchmark::State& state) {
  Convert(state, "sbs", kLayoutSideBySide, kOutputStereoDriver, false);
}
void BM_ConvertSideBySidePassThroughH264_1080p(benchmark::State& state) {
  Convert(state, "sbs", kLayoutSideBySide, kOutputStereoDriver, true);
}

// The clips' decoding first, so that the conversions read files already in
// the page cache, as ffmpeg does.
BENCHMARK_CAPTURE(BM_FfmpegDecode1080p, 2d, std::string("2d"))
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FfmpegDecodeBgr24_1080p, 2d, std::string("2d"))
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FfmpegDecode1080p, sbs, std::string("sbs"))
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FfmpegDecodeBgr24_1080p, sbs, std::string("sbs"))
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertSideBySidePassThroughNull1080p)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert2DTo3DAnaglyphNull1080p)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertSideBySidePassThroughH264_1080p)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert2DTo3DAnaglyphH264_1080p)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
