// Stand-ins for the playback's surroundings: a synthetic video stream that
// records which frames were asked for, a display that records what it was
// shown, a clock that only moves when told, a scriptable media player, and
// silent sample clips.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "display/display_backend.h"
#include "image/bitmap_header.h"
#include "platform/sound/sound_backend.h"
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

// A media player whose position the test sets. Every player a factory makes
// shares one script, which records what they are asked:
//   "open <path> every|sound", "play <seconds, 3 decimals>", "stop", "close",
//   "unlink <element>/<pad>".
class FakeSound final : public SoundBackend {
 public:
  struct Script {
    std::vector<std::string> calls;
    bool openResult = true;
    bool playResult = true;
    bool hasSound = true;
    std::function<double()> position = [] { return 0.0; };
    // The graph a file renders into.
    std::vector<MediaElement> elements = {
        {"Decoder", {{"Video Stream 00", true}, {"Audio Track 1", true}}},
        {"Video Renderer", {{"Video In", true}}},
        {"Audio Renderer", {{"Audio In", true}}}};
  };
  explicit FakeSound(Script& script) : script_(script) {}

  bool Open(const std::string& path, Streams streams, std::string* error) override {
    script_.calls.push_back("open " + path + (streams == Streams::Every ? " every" : " sound"));
    open_ = script_.openResult && (streams == Streams::Every || script_.hasSound);
    if (!open_ && error)
      *error = script_.openResult ? "the file has no sound track" : "cannot open " + path;
    elements_ = open_ ? script_.elements : std::vector<MediaElement>{};
    return open_;
  }
  bool PlayFrom(double seconds, std::string* error) override {
    char text[48];
    std::snprintf(text, sizeof(text), "play %.3f", seconds);
    script_.calls.push_back(text);
    if (!script_.playResult && error) *error = "cannot play";
    return open_ && script_.playResult;
  }
  double Position() override { return open_ ? script_.position() : -1; }
  void Stop() override { script_.calls.push_back("stop"); }
  void Close() override {
    script_.calls.push_back("close");
    open_ = false;
  }
  bool HasSound() const override { return open_ && script_.hasSound; }
  std::vector<MediaElement> Elements() const override { return elements_; }
  bool Unlink(const std::string& element, const std::string& pad) override {
    script_.calls.push_back("unlink " + element + "/" + pad);
    for (MediaElement& e : elements_)
      for (MediaPad& p : e.pads)
        if (e.name == element && p.name == pad && p.linked) {
          p.linked = false;
          return true;
        }
    return false;
  }

 private:
  Script& script_;
  bool open_ = false;
  std::vector<MediaElement> elements_;
};

inline SoundBackendFactory FakeSoundFactory(FakeSound::Script& script) {
  return [&script] { return std::make_unique<FakeSound>(script); };
}

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
