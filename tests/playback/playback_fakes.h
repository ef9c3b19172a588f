// Stand-ins for the playback's surroundings: a synthetic video stream that
// records which frames were asked for, a display that records what it was
// shown, a clock that only moves when told, a scriptable sound track, and
// silent sample clips.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "display/display_backend.h"
#include "image/bitmap_header.h"
#include "playback/audio.h"
#include "playback/video_sources.h"
#include "tests/common/sample_clips.h"

namespace dioptrix::test {

// A stream of `length` frames of width x height whose pixels all hold the
// frame's number: blue = n & 0xFF, green = n >> 8, red = 0x5A.
class FakeFrameSource final : public FrameSource {
 public:
  struct Log {
    std::vector<int32_t> requested;  // every GetFrame index, in order
  };

  FakeFrameSource(int32_t width, int32_t height, int32_t length, uint32_t rate, uint32_t scale,
                  Log* log)
      : width_(width), height_(height), length_(length), rate_(rate), scale_(scale), log_(log) {
    BitmapInfoHeader header;
    header.biWidth = width;
    header.biHeight = height;
    header.biSizeImage = static_cast<uint32_t>(BytesPerRow24(width) * height);
    picture_.assign(sizeof(header) + header.biSizeImage, 0);
    std::memcpy(picture_.data(), &header, sizeof(header));
  }

  int32_t Start() const override { return 0; }
  int32_t Length() const override { return length_; }
  uint32_t Rate() const override { return rate_; }
  uint32_t Scale() const override { return scale_; }
  int32_t Width() const override { return width_; }
  int32_t Height() const override { return height_; }
  const uint8_t* GetFrame(int32_t n) override {
    if (log_) log_->requested.push_back(n);
    if (n < 0 || n >= length_ || missing.count(n)) return nullptr;
    const int64_t row = BytesPerRow24(width_);
    uint8_t* pixels = picture_.data() + sizeof(BitmapInfoHeader);
    for (int32_t y = 0; y < height_; ++y) {
      for (int32_t x = 0; x < width_; ++x) {
        uint8_t* p = pixels + y * row + 3 * x;
        p[0] = static_cast<uint8_t>(n & 0xFF);
        p[1] = static_cast<uint8_t>(n >> 8);
        p[2] = 0x5A;
      }
    }
    return picture_.data();
  }

  std::set<int32_t> missing;  // frames that cannot be delivered

 private:
  int32_t width_, height_, length_;
  uint32_t rate_, scale_;
  Log* log_;
  std::vector<uint8_t> picture_;
};

// The frame number FakeFrameSource painted into a picture's first pixel.
inline int32_t FrameNumberOf(const cDIBSection& image) {
  const uint8_t* p = image.DIBSectionBitsPtr();
  return p ? p[0] | (p[1] << 8) : -1;
}

// Records every call and, for every frame put, its size, frame number and the
// time of the given clock. onPut runs after each put is recorded.
struct RecordingDisplay : DisplayBackend {
  struct Put {
    int32_t width, height, frame;
    int64_t time;
  };
  std::vector<std::string> calls;
  std::vector<Put> puts;
  bool putResult = true;
  ClockSource* clock = nullptr;
  std::function<void()> onPut;
  bool keepImages = false;  // keep a copy of every picture put
  std::vector<DibPtr> images;

  bool OpenDisplay(bool, int32_t, int32_t, bool, bool, const cDIBSection*,
                   const cDIBSection*) override {
    calls.push_back("open");
    return true;
  }
  void ResizeSurface(int32_t, int32_t) override { calls.push_back("resize"); }
  bool PutImage(const cDIBSection& image, bool, bool) override {
    calls.push_back("put");
    puts.push_back(
        {image.Width(), image.Height(), FrameNumberOf(image), clock ? clock->Counter() : 0});
    if (keepImages) images.push_back(image.CopyOf());
    if (onPut) onPut();
    return putResult;
  }
  bool CloseDisplay() override {
    calls.push_back("close");
    return true;
  }
  std::vector<int32_t> Frames() const {
    std::vector<int32_t> frames;
    for (const Put& p : puts) frames.push_back(p.frame);
    return frames;
  }
};

// A clock in milliseconds that moves only by Advance.
class FakeClock final : public ClockSource {
 public:
  int64_t Counter() override { return now; }
  int64_t CountsPerSecond() override { return perSecond; }
  void Advance(int64_t ms) { now += ms; }
  int64_t now = 1'000'000;
  int64_t perSecond = 1000;
};

// A sound track whose position the test sets; records the commands.
struct FakeAudioTrack final : AudioTrack {
  std::vector<std::string> calls;
  int32_t openResult = 0;
  bool buildResult = true, removeResult = true, runResult = true;
  std::function<int32_t()> mciPosition = [] { return 0; };
  std::function<double()> graphPosition = [] { return 0.0; };

  int32_t MciOpenPlay(const std::string& path, int32_t startMs,
                      const std::string& notify) override {
    calls.push_back("mci open " + path + " " + std::to_string(startMs) + " " + notify);
    return openResult;
  }
  void MciClose() override { calls.push_back("mci close"); }
  int32_t MciPosition() override { return mciPosition(); }
  bool BuildAudioGraph(const std::string& path) override {
    calls.push_back("build " + path);
    return buildResult;
  }
  bool RemoveVideoPath() override {
    calls.push_back("remove video");
    return removeResult;
  }
  bool RunGraphFrom(double seconds) override {
    calls.push_back("run " + std::to_string(seconds));
    return runResult;
  }
  bool StopGraph() override {
    calls.push_back("stop");
    return true;
  }
  double GraphPosition() override { return graphPosition(); }
};

// A silent clip of 25 frames per second made by tools/make-sample-clips;
// "" when the tool failed.
inline std::string MakeClip(const std::string& kind, int32_t width, int32_t height, int32_t frames,
                            int32_t rate = 25) {
  ClipRequest clip;
  clip.kind = kind;
  clip.width = width;
  clip.height = height;
  clip.frames = frames;
  clip.rate = rate;
  clip.gop = rate;
  clip.audio = false;
  return MakeClip(clip);
}

}  // namespace dioptrix::test
