// Helpers of the converter tests: a private temporary folder, sample clips
// made by tools/make-sample-clips, running programs, and reading written
// videos back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/dib_section.h"

namespace dioptrix::test {

// A folder of this test process, removed at exit.
const std::string& ScratchFolder();

struct Clip {
  std::string format = "mp4";  // mp4, avi or ts
  std::string kind = "2d";     // 2d, sbs, ab, rows
  int32_t width = 160;
  int32_t height = 90;
  int32_t frames = 12;
  bool audio = true;
};
// Makes the clip once per process; "" when the tool fails.
std::string MakeSampleClip(const Clip& clip);

// Runs a program without a shell; returns its exit status (-1 when it could
// not run) and what it wrote to standard output and standard error.
int Run(const std::vector<std::string>& argv, std::string* out = nullptr,
        std::string* err = nullptr);

// Every frame of the first video stream of a file (or picture pattern), read
// with the program's own reader. Empty when it cannot be opened.
std::vector<DibPtr> ReadFrames(const std::string& path);

// Codec names of the file's streams of one kind ("video" or "audio"), by
// ffprobe.
std::vector<std::string> StreamCodecs(const std::string& path, const std::string& kind);
// Duration of the file's first stream of that kind in seconds, by ffprobe
// (negative when unknown).
double StreamDuration(const std::string& path, const std::string& kind);

// Largest difference of any pixel byte of two images of the same size (256
// when the sizes differ).
int MaxDifference(const cDIBSection& a, const cDIBSection& b);
// Mean absolute difference of the pixel bytes (256 when the sizes differ).
double MeanDifference(const cDIBSection& a, const cDIBSection& b);

}  // namespace dioptrix::test
