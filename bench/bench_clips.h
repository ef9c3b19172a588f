// The 1920x1080 H.264 clips the end-to-end benchmarks decode, made once with
// tools/make-sample-clips into /tmp, and the ffmpeg command's own decoding
// time of a clip as the yardstick.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/library.h"

namespace dioptrix::bench {

inline constexpr int kClipFrames = 120;

inline std::string ShellQuote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// tools/make-sample-clips: $DIOPTRIX_SAMPLE_CLIPS, else the source tree, else
// beside the build folder.
inline std::string ClipTool() {
  namespace fs = std::filesystem;
  if (const char* env = std::getenv("DIOPTRIX_SAMPLE_CLIPS"); env && fs::exists(env)) return env;
  const fs::path fromSource =
      fs::path(__FILE__).parent_path().parent_path() / "tools" / "make-sample-clips";
  if (fs::exists(fromSource)) return fromSource.string();
  return (fs::path(ExecutableDir()) / ".." / ".." / "tools" / "make-sample-clips").string();
}

// The 1080p clip of the given kind (2d or sbs), made once; "" when it cannot be.
inline std::string Clip1080p(const std::string& kind) {
  namespace fs = std::filesystem;
  static const std::string folder = "/tmp/dioptrix-bench-1080p";
  static const bool made = [] {
    if (fs::exists(folder + "/sample-2d.mp4") && fs::exists(folder + "/sample-sbs.mp4"))
      return true;
    const std::string command = ShellQuote(ClipTool()) + " --size 1920x1080 --frames " +
                                std::to_string(kClipFrames) + " --kinds 2d,sbs " +
                                ShellQuote(folder) + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }();
  const std::string file = folder + "/sample-" + kind + ".mp4";
  return made && fs::exists(file) ? file : std::string();
}

// Seconds the ffmpeg command spends decoding the clip's pictures (its own
// "rtime" measure, without start-up), or 0 when it cannot be run.
inline double FfmpegSeconds(const std::string& clip, const std::string& options) {
  const std::string command = "ffmpeg -nostdin -v info -benchmark -i " + ShellQuote(clip) +
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

}  // namespace dioptrix::bench
