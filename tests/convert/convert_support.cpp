#include "tests/convert/convert_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/video/video_file.h"

namespace dioptrix::test {
namespace fs = std::filesystem;

namespace {

DibPtr PictureToImage(const VideoFile& video, const uint8_t* picture) {
  auto image = std::make_unique<cDIBSection>();
  if (!picture || !image->Create(video.Width(), video.Height())) return nullptr;
  std::memcpy(image->DIBSectionBitsPtr(), picture + sizeof(BitmapInfoHeader),
              static_cast<size_t>(video.FrameBytes()));
  return image;
}

void AppendFrames(const std::string& path, std::vector<DibPtr>& frames, bool* ok) {
  auto video = VideoFile::Open(path);
  if (!video) {
    *ok = false;
    return;
  }
  for (int32_t n = 0; n < video->Length(); ++n) {
    DibPtr image = PictureToImage(*video, video->GetFrame(n));
    if (!image) {
      *ok = false;
      return;
    }
    frames.push_back(std::move(image));
  }
}

}  // namespace

std::vector<DibPtr> ReadFrames(const std::string& path) {
  std::vector<DibPtr> frames;
  bool ok = true;
  if (path.find('%') == std::string::npos) {
    AppendFrames(path, frames, &ok);
  } else {
    // A picture pattern: one picture per file, numbered on from the lowest
    // number there is (up to 1000).
    auto nameOf = [&](int n) {
      char name[4096];
      std::snprintf(name, sizeof(name), path.c_str(), n);
      return std::string(name);
    };
    int n = 0;
    while (n < 1000 && !fs::exists(nameOf(n))) ++n;
    for (; fs::exists(nameOf(n)); ++n) {
      AppendFrames(nameOf(n), frames, &ok);
      if (!ok) break;
    }
  }
  if (!ok) frames.clear();
  return frames;
}

std::vector<std::string> Ffprobe(const std::string& path, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {"ffprobe", "-v", "error"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("file:" + path);
  std::string out;
  RunProgram(argv, &out);
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    at = end + 1;
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<double> FrameTimes(const std::string& path) {
  std::vector<double> times;
  for (const std::string& line : Ffprobe(
           path, {"-select_streams", "v:0", "-show_entries", "frame=pts_time", "-of", "csv=p=0"})) {
    double t = 0;
    if (std::sscanf(line.c_str(), "%lf", &t) == 1) times.push_back(t);
  }
  return times;
}

std::vector<std::string> StreamCodecs(const std::string& path, const std::string& kind) {
  std::vector<std::string> names;
  for (std::string line : Ffprobe(path, {"-select_streams", kind == "audio" ? "a" : "v",
                                         "-show_entries", "stream=codec_name", "-of", "csv=p=0"})) {
    while (!line.empty() && line.back() == ',') line.pop_back();
    if (!line.empty()) names.push_back(line);
  }
  return names;
}

double StreamDuration(const std::string& path, const std::string& kind, int index) {
  // From the packets: the end of the last one less the start of the first
  // (containers differ in where they keep a stream's duration).
  double first = 0, last = -1;
  bool any = false;
  for (const std::string& line :
       Ffprobe(path, {"-select_streams",
                      std::string(kind == "audio" ? "a:" : "v:") + std::to_string(index),
                      "-show_entries", "packet=pts_time,duration_time", "-of", "csv=p=0"})) {
    double pts = 0, duration = 0;
    if (std::sscanf(line.c_str(), "%lf,%lf", &pts, &duration) != 2) continue;
    if (!any || pts < first) first = pts;
    last = std::max(last, pts + duration);
    any = true;
  }
  return any ? last - first : -1;
}

int MaxDifference(const cDIBSection& a, const cDIBSection& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.Empty() || b.Empty()) return 256;
  int most = 0;
  for (int32_t y = 0; y < a.Height(); ++y) {
    const uint8_t* p = a.ScanLine(y);
    const uint8_t* q = b.ScanLine(y);
    for (int32_t i = 0; i < a.Width() * 3; ++i) most = std::max(most, std::abs(p[i] - q[i]));
  }
  return most;
}

double MeanDifference(const cDIBSection& a, const cDIBSection& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.Empty() || b.Empty()) return 256;
  double sum = 0;
  for (int32_t y = 0; y < a.Height(); ++y) {
    const uint8_t* p = a.ScanLine(y);
    const uint8_t* q = b.ScanLine(y);
    for (int32_t i = 0; i < a.Width() * 3; ++i) sum += std::abs(p[i] - q[i]);
  }
  return sum / (3.0 * a.Width() * a.Height());
}

}  // namespace dioptrix::test
