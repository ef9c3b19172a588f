// Helpers of the converter tests: their sample clips, and reading written
// videos back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/dib_section.h"
#include "tests/common/sample_clips.h"

namespace dioptrix::test {

// The converter tests' clips: 160 x 90, 12 frames at 24 per second, with
// sound, unless set otherwise.
struct Clip : ClipRequest {
  Clip() {
    width = 160;
    height = 90;
    frames = 12;
    gop = 24;
  }
};

// Every frame of the first video stream of a file (or picture pattern), read
// with the program's own reader. Empty when it cannot be opened.
std::vector<DibPtr> ReadFrames(const std::string& path);

// The non-empty lines ffprobe prints about the file with the given options.
std::vector<std::string> Ffprobe(const std::string& path, const std::vector<std::string>& options);

// Presentation times of the decoded frames of the first video stream, by
// ffprobe.
std::vector<double> FrameTimes(const std::string& path);

// Codec names of the file's streams of one kind ("video" or "audio"), by
// ffprobe.
std::vector<std::string> StreamCodecs(const std::string& path, const std::string& kind);
// Duration of the file's index-th stream of that kind (counted from 0) in
// seconds, by ffprobe (negative when unknown).
double StreamDuration(const std::string& path, const std::string& kind, int index = 0);

// Largest difference of any pixel byte of two images of the same size (256
// when the sizes differ).
int MaxDifference(const cDIBSection& a, const cDIBSection& b);
// Mean absolute difference of the pixel bytes (256 when the sizes differ).
double MeanDifference(const cDIBSection& a, const cDIBSection& b);

}  // namespace dioptrix::test
