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

#include "platform/library.h"
#include "platform/video/video_file.h"

namespace {

namespace fs = std::filesystem;
using dioptrix::VideoFile;

constexpr int kFrames = 120;

std::string ShellQuote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ClipTool() {
  if (const char* env = std::getenv("DIOPTRIX_SAMPLE_CLIPS"); env && fs::exists(env)) return env;
  const fs::path fromSource =
      fs::path(__FILE__).parent_path().parent_path() / "tools" / "make-sample-clips";
  if (fs::exists(fromSource)) return fromSource.string();
  return (fs::path(dioptrix::ExecutableDir()) / ".." / ".." / "tools" / "make-sample-clips")
      .string();
}

// The benchmark clip, made once; "" when it cannot be made.
const std::string& Clip() {
  static const std::string path = [] {
    const std::string folder = "/tmp/dioptrix-bench-1080p";
    const std::string file = folder + "/sample-2d.mp4";
    if (!fs::exists(file)) {
      const std::string command = ShellQuote(ClipTool()) + " --size 1920x1080 --frames " +
                                  std::to_string(kFrames) + " --kinds 2d --no-audio " +
                                  ShellQuote(folder);
      if (std::system(command.c_str()) != 0) return std::string();
    }
    return fs::exists(file) ? file : std::string();
  }();
  return path;
}

// Seconds the ffmpeg command spends decoding the clip (its own "rtime"
// measure, without start-up), or 0 when it cannot be run.
double FfmpegSeconds(const std::string& options) {
  const std::string command = "ffmpeg -nostdin -v info -benchmark -i " + ShellQuote(Clip()) +
                              " -an " + options + " -f null - 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return 0;
  std::string output;
  char buffer[512];
  while (fgets(buffer, sizeof(buffer), pipe)) output += buffer;
  pclose(pipe);
  const size_t at = output.find("rtime=");
  return at == std::string::npos ? 0 : std::atof(output.c_str() + at + 6);
}

struct FfmpegTimes {
  double plain = 0;
  double bgr24 = 0;
};

const FfmpegTimes& Ffmpeg() {
  static const FfmpegTimes times{FfmpegSeconds(""), FfmpegSeconds("-pix_fmt bgr24")};
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
  if (ffmpeg.plain > 0) state.counters["ffmpeg_fps"] = kFrames / ffmpeg.plain;
  if (ffmpeg.bgr24 > 0) {
    state.counters["ffmpeg_bgr24_fps"] = kFrames / ffmpeg.bgr24;
    // Time per frame relative to the ffmpeg command's decoding to 24-bit.
    if (fps > 0) state.counters["vs_ffmpeg_bgr24"] = (kFrames / ffmpeg.bgr24) / fps;
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
    benchmark::DoNotOptimize(video->GetFrame(static_cast<int32_t>(rng() % kFrames)));
  }
  state.counters["frames_decoded_per_request"] =
      static_cast<double>(video->Stats().framesDecoded) /
      static_cast<double>(std::max<int64_t>(1, state.iterations()));
}
BENCHMARK(BM_VideoFileRandomAccess1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
