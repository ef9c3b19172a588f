// Decoding a 1920x1080 H.264 clip to packed 24-bit pictures with VideoFile,
// beside the ffmpeg command decoding the same file (plain, and converted to
// 24-bit blue-green-red), run once through the shell and reported as
// counters. The clip is made by tools/make-sample-clips on first use.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "bench/bench_clips.h"
#include "platform/library.h"
#include "platform/video/video_file.h"

namespace {

namespace fs = std::filesystem;
using dioptrix::VideoFile;

using dioptrix::bench::FfmpegSeconds;
using dioptrix::bench::kClipFrames;

const std::string& Clip() {
  static const std::string path = dioptrix::bench::Clip1080p("2d");
  return path;
}

struct FfmpegTimes {
  double plain = 0;
  double bgr24 = 0;
};

const FfmpegTimes& Ffmpeg() {
  static const FfmpegTimes times{FfmpegSeconds(Clip(), ""),
                                 FfmpegSeconds(Clip(), "-pix_fmt bgr24")};
  return times;
}

// Every frame of the clip in order, each pass from a fresh open (as a
// playback starts), against the ffmpeg command's frames per second. Both
// timings leave out opening the file.
void BM_VideoFileSequential1080p(benchmark::State& state) {
  if (Clip().empty()) {
    state.SkipWithError("cannot make the 1080p clip");
    return;
  }
  const FfmpegTimes& ffmpeg = Ffmpeg();
  int64_t frames = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto video = VideoFile::Open(Clip());
    if (!video) {
      state.SkipWithError("cannot open the clip");
      return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (int32_t n = 0; n < video->Length(); ++n) {
      const uint8_t* picture = video->GetFrame(n);
      if (!picture) {
        state.SkipWithError("frame missing");
        return;
      }
      benchmark::DoNotOptimize(picture);
    }
    frames += video->Length();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double fps = seconds > 0 ? frames / seconds : 0;
  state.counters["fps"] = fps;
  if (ffmpeg.plain > 0) state.counters["ffmpeg_fps"] = kClipFrames / ffmpeg.plain;
  if (ffmpeg.bgr24 > 0) {
    state.counters["ffmpeg_bgr24_fps"] = kClipFrames / ffmpeg.bgr24;
    // Time per frame relative to the ffmpeg command's decoding to 24-bit.
    if (fps > 0) state.counters["vs_ffmpeg_bgr24"] = (kClipFrames / ffmpeg.bgr24) / fps;
  }
}
BENCHMARK(BM_VideoFileSequential1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

// Frames requested in random order: a seek and a decode from the key frame
// before each (key frames every 24 frames).
void BM_VideoFileRandomAccess1080p(benchmark::State& state) {
  if (Clip().empty()) {
    state.SkipWithError("cannot make the 1080p clip");
    return;
  }
  auto video = VideoFile::Open(Clip());
  if (!video) {
    state.SkipWithError("cannot open the clip");
    return;
  }
  std::mt19937 rng(11);
  for (auto _ : state) {
    benchmark::DoNotOptimize(video->GetFrame(static_cast<int32_t>(rng() % kClipFrames)));
  }
  state.counters["frames_decoded_per_request"] =
      static_cast<double>(video->Stats().framesDecoded) /
      static_cast<double>(std::max<int64_t>(1, state.iterations()));
}
BENCHMARK(BM_VideoFileRandomAccess1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
