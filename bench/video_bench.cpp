// Decoding a 1920x1080 H.264 clip to packed 24-bit pictures with VideoFile,
// beside the ffmpeg command decoding the same file (plain, and converted to
// 24-bit blue-green-red), run once through the shell and reported as
// counters, and the same clip flagged as turned a quarter, delivered upright.
// The clip is made by tools/make-sample-clips on first use.
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

// The clip flagged as filmed turned a quarter, as phones flag their clips:
// every frame is transposed before conversion. Made once beside the clip.
const std::string& TurnedClip() {
  static const std::string path = []() -> std::string {
    if (Clip().empty()) return {};
    const fs::path turned = fs::path(Clip()).parent_path() / "sample-2d-turned.mp4";
    if (!fs::exists(turned)) {
      const std::string part = turned.string() + ".part.mp4";
      const std::string command =
          "ffmpeg -nostdin -v fatal -y -i " + dioptrix::bench::ShellQuote(Clip()) +
          " -c copy -metadata:s:v rotate=90 " + dioptrix::bench::ShellQuote(part) + " && mv -f " +
          dioptrix::bench::ShellQuote(part) + " " + dioptrix::bench::ShellQuote(turned.string());
      if (std::system(command.c_str()) != 0) return {};
    }
    return fs::exists(turned) ? turned.string() : std::string();
  }();
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

// Frames per second reading every frame of the clip in order, each pass from
// a fresh open (as a playback starts), leaving out opening the file.
double ReadInOrder(benchmark::State& state, const std::string& clip) {
  int64_t frames = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto video = VideoFile::Open(clip);
    if (!video) {
      state.SkipWithError("cannot open the clip");
      return 0;
    }
    const auto start = std::chrono::steady_clock::now();
    for (int32_t n = 0; n < video->Length(); ++n) {
      const uint8_t* picture = video->GetFrame(n);
      if (!picture) {
        state.SkipWithError("frame missing");
        return 0;
      }
      benchmark::DoNotOptimize(picture);
    }
    frames += video->Length();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  return seconds > 0 ? frames / seconds : 0;
}

// Every frame of the clip in order against the ffmpeg command's frames per
// second (which leaves out start-up).
void BM_VideoFileSequential1080p(benchmark::State& state) {
  if (Clip().empty()) {
    state.SkipWithError("cannot make the 1080p clip");
    return;
  }
  const FfmpegTimes& ffmpeg = Ffmpeg();
  const double fps = ReadInOrder(state, Clip());
  state.counters["fps"] = fps;
  if (ffmpeg.plain > 0) state.counters["ffmpeg_fps"] = kClipFrames / ffmpeg.plain;
  if (ffmpeg.bgr24 > 0) {
    state.counters["ffmpeg_bgr24_fps"] = kClipFrames / ffmpeg.bgr24;
    // Time per frame relative to the ffmpeg command's decoding to 24-bit.
    if (fps > 0) state.counters["vs_ffmpeg_bgr24"] = (kClipFrames / ffmpeg.bgr24) / fps;
  }
}
BENCHMARK(BM_VideoFileSequential1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same frames delivered upright from the clip flagged as turned.
void BM_VideoFileSequential1080pTurned(benchmark::State& state) {
  if (TurnedClip().empty()) {
    state.SkipWithError("cannot make the turned 1080p clip");
    return;
  }
  state.counters["fps"] = ReadInOrder(state, TurnedClip());
}
BENCHMARK(BM_VideoFileSequential1080pTurned)->Unit(benchmark::kMillisecond)->UseRealTime();

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
