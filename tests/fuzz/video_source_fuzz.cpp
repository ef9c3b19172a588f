// Fuzz target: a video file through the video sources, as opening a file and
// playing it do: open, detect the layout from three samples, open the stream,
// and fetch frames in and out of order (the first input byte picks the
// order), both as packed pictures and into an image's rows. Nothing may
// crash, hang or touch memory it does not own; a picture that comes back has
// the stream's size.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/bitmap_header.h"
#include "playback/program.h"
#include "playback/video_sources.h"

using namespace dioptrix;

namespace {

// The bytes as a file that FFmpeg opens by name.
class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) : fd_(memfd_create("video", 0)) {
    if (fd_ < 0) return;
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  ~MemoryFile() {
    if (fd_ >= 0) close(fd_);
  }
  std::string Path() const { return "/proc/self/fd/" + std::to_string(fd_); }
  bool Ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t order = data[0];
  MemoryFile file(data + 1, size - 1);
  if (!file.Ok()) return 0;

  ProgramContext ctx;
  MessageLog log;
  log.Attach(ctx.host);
  int16_t layout = 0;
  const int32_t frames = OpenAviForDetection(ctx, file.Path(), layout);
  if (frames > 0 && layout != kDetected2D && layout != kDetectedSideBySide &&
      layout != kDetectedAboveBelow)
    std::abort();

  PlayRequest request;
  request.OpenPath = file.Path();
  if (!OpenVideo(ctx, request)) return 0;
  const VideoSourceState& video = ctx.video;
  const int32_t length = video.StreamLength;
  const int32_t start = video.StreamStart;
  // In order from the start, then jumps chosen by the first byte, then
  // indexes off the stream.
  std::vector<int64_t> indexes = {start, int64_t{start} + 1, int64_t{start} + 2};
  for (int i = 0; i < 3; ++i) {
    const int64_t span = std::max<int64_t>(length, 1);
    indexes.push_back(start + (int64_t{order} * (i + 7) + i * 13) % span);
  }
  indexes.insert(indexes.end(),
                 {int64_t{start} - 1, int64_t{start} + length, INT32_MIN, INT32_MAX});
  const auto& header = video.FrameHeader;
  const size_t stride = static_cast<size_t>(BytesPerRow24(header.biWidth));
  std::vector<uint8_t> rows(stride * static_cast<size_t>(std::max(header.biHeight, 0)));
  for (int64_t n : indexes) {
    if (n < INT32_MIN || n > INT32_MAX) continue;
    const auto index = static_cast<int32_t>(n);
    if (const uint8_t* picture = GetFrame(ctx, index)) {
      BitmapInfoHeader got;
      std::memcpy(&got, picture, sizeof(got));
      if (got.biWidth != header.biWidth || got.biHeight != header.biHeight) std::abort();
    }
    if (!rows.empty()) GetFrameInto(ctx, index, rows.data(), stride);
  }
  CloseVideo(ctx);
  return 0;
}
