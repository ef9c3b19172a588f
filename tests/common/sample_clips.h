// What tests share to work with files and programs: a private temporary
// folder, running programs, sample clips made at test time by
// tools/make-sample-clips, and reference pictures of their frames decoded by
// the ffmpeg command.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace dioptrix::test {

struct ClipRequest {
  std::string format = "mp4";  // mp4, avi or ts
  std::string kind = "2d";     // 2d, sbs, ab, rows or audio
  int32_t width = 320;
  int32_t height = 180;
  int32_t frames = 48;
  int32_t gop = 12;
  int32_t rate = 24;  // frames per second
  bool audio = true;  // with a sound track
};

// Changes to the environment of a program run.
struct Environment {
  std::vector<std::pair<std::string, std::string>> set;  // name, value
  std::vector<std::string> unset;
};

// Path of tools/make-sample-clips: $DIOPTRIX_SAMPLE_CLIPS, else the source
// tree the tests were built from, else beside the build folder.
std::string SampleClipTool();

// A folder of this test process, removed at exit.
const std::string& TempFolder();

// A fresh folder inside TempFolder(), removed with everything in it at
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Makes the clip (once per process) and returns its path; "" on failure.
std::string MakeClip(const ClipRequest& wanted);

// Every frame of the file's first video stream decoded by the ffmpeg command
// to packed pictures' pixels (bottom-up rows padded to 4 bytes), of width x
// height after the command's own turning upright and videoFilter (its -vf,
// when given). Empty when ffmpeg fails.
std::vector<std::vector<uint8_t>> ReferenceFrames(const std::string& path, int32_t width,
                                                  int32_t height,
                                                  const std::string& videoFilter = {});

// Runs a program (no shell) with standard input from /dev/null; returns its
// exit status (-1 when it could not run or did not exit), its standard output
// in out and its standard error in err (each dropped when not asked for).
int RunProgram(const std::vector<std::string>& argv, std::string* out = nullptr,
               std::string* err = nullptr, const Environment* env = nullptr);

}  // namespace dioptrix::test
