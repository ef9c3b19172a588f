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

// Presentation times of the decoded frames of the first video stream, by
// ffprobe.
std::vector<double> FrameTimes(const std::string& path) {
  std::string out;
  test::RunProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                    "frame=pts_time", "-of", "csv=p=0", "file:" + path},
                   &out);
  std::vector<double> times;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    double t = 0;
    if (std::sscanf(out.substr(at, end - at).c_str(), "%lf", &t) == 1) times.push_back(t);
    at = end + 1;
  }
  return times;
}

std::vector<std::string> StreamCodecs(const std::string& path, const std::string& kind) {
  std::string out;
  RunProgram({"ffprobe", "-v", "error", "-select_streams", kind == "audio" ? "a" : "v",
              "-show_entries", "stream=codec_name", "-of", "csv=p=0", "file:" + path},
             &out);
  std::vector<std::string> names;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    while (!line.empty() && (line.back() == ',' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) names.push_back(line);
    at = end + 1;
  }
  return names;
}

double StreamDuration(const std::string& path, const std::string& kind, int index) {
  // From the packets: the end of the last one less the start of the first
  // (containers differ in where they keep a stream's duration).
  std::string out;
  RunProgram({"ffprobe", "-v", "error", "-select_streams",
              std::string(kind == "audio" ? "a:" : "v:") + std::to_string(index), "-show_entries",
              "packet=pts_time,duration_time", "-of", "csv=p=0", "file:" + path},
             &out);
  double first = 0, last = -1;
  bool any = false;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    at = end + 1;
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
