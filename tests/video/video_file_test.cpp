#include "platform/video/video_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "tests/common/sample_clips.h"

namespace dioptrix {
namespace {

namespace fs = std::filesystem;
using test::ClipRequest;
using test::MakeClip;
using test::ReferenceFrames;
using test::TempFolder;

using Frames = std::vector<std::vector<uint8_t>>;

// The packed picture must carry the 24-bit header of the stream's frame size
// and the reference decoder's pixels of frame n.
::testing::AssertionResult SamePicture(const VideoFile& video, const uint8_t* picture,
                                       const Frames& reference, int32_t n) {
  if (!picture) return ::testing::AssertionFailure() << "frame " << n << ": no picture";
  BitmapInfoHeader h;
  std::memcpy(&h, picture, sizeof(h));
  if (h.biSize != 40 || h.biWidth != video.Width() || h.biHeight != video.Height() ||
      h.biPlanes != 1 || h.biBitCount != 24 || h.biCompression != 0 ||
      h.biSizeImage != static_cast<uint32_t>(video.FrameBytes())) {
    return ::testing::AssertionFailure() << "frame " << n << ": wrong header";
  }
  const std::vector<uint8_t>& expected = reference.at(static_cast<size_t>(n));
  if (expected.size() != static_cast<size_t>(video.FrameBytes())) {
    return ::testing::AssertionFailure() << "frame " << n << ": reference size differs";
  }
  const uint8_t* pixels = picture + sizeof(BitmapInfoHeader);
  size_t differing = 0;
  size_t first = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (pixels[i] != expected[i] && differing++ == 0) first = i;
  }
  if (differing == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "frame " << n << ": " << differing << " bytes differ, first at offset " << first;
}

std::unique_ptr<VideoFile> OpenOrFail(const std::string& path) {
  std::string error;
  auto video = VideoFile::Open(path, &error);
  EXPECT_TRUE(video) << path << ": " << error;
  return video;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class EveryContainer : public ::testing::TestWithParam<const char*> {};

TEST_P(EveryContainer, FramesInAnyOrderMatchTheReferenceDecoder) {
  ClipRequest wanted;
  wanted.format = GetParam();
  const std::string path = MakeClip(wanted);
  ASSERT_FALSE(path.empty()) << "cannot make the clip with " << test::SampleClipTool();
  const Frames reference = ReferenceFrames(path, wanted.width, wanted.height);
  ASSERT_EQ(reference.size(), 48u);
  auto video = OpenOrFail(path);
  ASSERT_TRUE(video);

  EXPECT_EQ(video->Start(), 0);
  EXPECT_EQ(video->Length(), 48);
  EXPECT_EQ(video->Rate(), 24u);
  EXPECT_EQ(video->Scale(), 1u);
  EXPECT_EQ(video->Width(), 320);
  EXPECT_EQ(video->Height(), 180);
  EXPECT_EQ(video->FrameBytes(), 960 * 180);
  EXPECT_EQ(video->Header().biSizeImage, 960u * 180u);

  // The ends, jumps back across key frames (every 12 frames), repeats and
  // short steps forward, then random requests.
  std::vector<int32_t> order = {47, 0, 46, 12, 11, 13, 0, 30, 29, 47, 5, 5, 6, 24, 23, 35, 1};
  std::mt19937 rng(7041);
  for (int i = 0; i < 40; ++i) order.push_back(static_cast<int32_t>(rng() % 48));
  for (int32_t n : order) {
    EXPECT_TRUE(SamePicture(*video, video->GetFrame(n), reference, n));
  }

  for (int32_t n : {-1, 48, 49, INT32_MAX, INT32_MIN}) EXPECT_EQ(video->GetFrame(n), nullptr) << n;
  EXPECT_TRUE(SamePicture(*video, video->GetFrame(20), reference, 20));
}

TEST_P(EveryContainer, ReadingInOrderDecodesEachFrameOnce) {
  ClipRequest wanted;
  wanted.format = GetParam();
  const std::string path = MakeClip(wanted);
  ASSERT_FALSE(path.empty());
  const Frames reference = ReferenceFrames(path, wanted.width, wanted.height);
  ASSERT_EQ(reference.size(), 48u);
  auto video = OpenOrFail(path);
  ASSERT_TRUE(video);

  const VideoFileStats before = video->Stats();
  for (int32_t n = 0; n < 48; ++n) {
    ASSERT_TRUE(SamePicture(*video, video->GetFrame(n), reference, n));
  }
  const VideoFileStats after = video->Stats();
  // Files without a frame index are counted on open and read again from the
  // start once.
  EXPECT_LE(after.seeks - before.seeks, 1);
  EXPECT_LE(after.framesDecoded, 49);
  EXPECT_EQ(after.framesConverted - before.framesConverted, 48);

  // The same frame again costs nothing.
  EXPECT_NE(video->GetFrame(47), nullptr);
  EXPECT_EQ(video->Stats().framesDecoded, after.framesDecoded);
  EXPECT_EQ(video->Stats().framesConverted, after.framesConverted);

  // Requests spread over the file convert the frames asked for and prepare
  // none ahead; two in order prepare the one after them, which counts.
  for (int32_t n : {5, 30, 12, 40}) ASSERT_NE(video->GetFrame(n), nullptr) << n;
  EXPECT_EQ(video->Stats().framesConverted - after.framesConverted, 4);
  EXPECT_LE(video->Stats().seeks - after.seeks, 4);
  ASSERT_NE(video->GetFrame(41), nullptr);
  EXPECT_EQ(video->Stats().framesConverted - after.framesConverted, 6);
}

INSTANTIATE_TEST_SUITE_P(Containers, EveryContainer, ::testing::Values("mp4", "avi", "ts"));

// Requests in order have the next frame decoded ahead; whatever comes then
// (that frame, another one ahead or behind, the same frame again, the end of
// the stream), every frame handed out is the one a freshly opened file gives
// for its number, which prepares nothing ahead. Packed pictures and rows
// written by GetFrameInto alike, and the picture of the last GetFrame stays
// untouched by the preparations and by GetFrameInto.
TEST(VideoFile, DecodingAheadHandsOutTheFramesOfAFreshFile) {
  struct Case {
    const char* format;
    FrameNumbering numbering;
  };
  for (const Case& c : {Case{"mp4", FrameNumbering::Grid}, Case{"ts", FrameNumbering::Grid},
                        Case{"mp4", FrameNumbering::Stream}}) {
    SCOPED_TRACE(std::string(c.format) + (c.numbering == FrameNumbering::Grid ? " grid" : ""));
    ClipRequest wanted;
    wanted.format = c.format;
    wanted.width = 322;  // rows of 966 pixel bytes and two of padding
    const std::string path = MakeClip(wanted);
    ASSERT_FALSE(path.empty());
    std::map<int32_t, std::vector<uint8_t>> fresh;
    auto freshFrame = [&](int32_t n) -> const std::vector<uint8_t>& {
      auto at = fresh.find(n);
      if (at == fresh.end()) {
        auto once = VideoFile::Open(path, {.numbering = c.numbering});
        const uint8_t* p = once ? once->GetFrame(n) : nullptr;
        std::vector<uint8_t> bytes;
        if (p) bytes.assign(p + 40, p + 40 + once->FrameBytes());
        at = fresh.emplace(n, std::move(bytes)).first;
      }
      return at->second;
    };

    auto video = VideoFile::Open(path, {.numbering = c.numbering});
    ASSERT_TRUE(video);
    ASSERT_EQ(video->Length(), 48);
    const size_t row = 968, height = 180;
    std::vector<int32_t> order;
    for (int32_t n = 0; n < 16; ++n) order.push_back(n);
    // Past the prepared frame, the prepared one, behind, one past it and
    // back to it, the same twice, then in order to the end and past it.
    for (int32_t n : {40, 41, 42, 43, 10, 11, 12, 14, 13, 14, 15, 15, 16}) order.push_back(n);
    for (int32_t n = 30; n < 48; ++n) order.push_back(n);
    for (int32_t n : {47, 0, 1, 2, 3}) order.push_back(n);

    const uint8_t* held = nullptr;  // the last packed picture, of frame heldFrame
    int32_t heldFrame = -1;
    for (size_t i = 0; i < order.size(); ++i) {
      const int32_t n = order[i];
      const std::vector<uint8_t>& expected = freshFrame(n);
      ASSERT_EQ(expected.size(), row * height) << "frame " << n;
      if (i % 3 != 1) {
        const uint8_t* p = video->GetFrame(n);
        ASSERT_NE(p, nullptr) << "frame " << n;
        ASSERT_EQ(std::memcmp(p + 40, expected.data(), expected.size()), 0) << "frame " << n;
        held = p;
        heldFrame = n;
      } else {
        // Wide rows, whose bytes past the padding stay untouched.
        const size_t stride = row + 5;
        std::vector<uint8_t> bits(stride * height, 0xA5);
        ASSERT_TRUE(video->GetFrameInto(n, bits.data(), stride)) << "frame " << n;
        for (size_t y = 0; y < height; ++y) {
          ASSERT_EQ(std::memcmp(bits.data() + y * stride, expected.data() + y * row, row), 0)
              << "frame " << n << " row " << y;
          for (size_t b = row; b < stride; ++b) ASSERT_EQ(bits[y * stride + b], 0xA5);
        }
      }
      // Stats waits for the frame being prepared.
      video->Stats();
      if (held) {
        ASSERT_EQ(std::memcmp(held + 40, freshFrame(heldFrame).data(), row * height), 0)
            << "the picture of frame " << heldFrame << " after request " << i;
      }
    }
    EXPECT_EQ(video->GetFrame(48), nullptr);
  }
}

// Closing a file while the frame after the last one asked for is being
// prepared, or just after a request that abandoned it, ends the worker
// before the file's memory goes (AddressSanitizer watches).
TEST(VideoFile, ClosingWhileAFrameIsPreparedEndsTheWorkFirst) {
  ClipRequest wanted;
  wanted.width = 640;
  wanted.height = 360;
  wanted.frames = 24;
  const std::string path = MakeClip(wanted);
  ASSERT_FALSE(path.empty());
  for (int how = 0; how < 3; ++how) {
    SCOPED_TRACE(how);
    auto video = OpenOrFail(path);
    ASSERT_TRUE(video);
    ASSERT_NE(video->GetFrame(3), nullptr);
    std::vector<uint8_t> bits(static_cast<size_t>(video->FrameBytes()));
    ASSERT_TRUE(
        video->GetFrameInto(4, bits.data(), static_cast<size_t>(video->FrameBytes() / 360)));
    if (how == 1) {
      ASSERT_NE(video->GetFrame(20), nullptr);  // abandons frame 5
    } else if (how == 2) {
      ASSERT_NE(video->GetFrame(5), nullptr);  // frame 6 under way
    }
    video.reset();
  }
}

// Other containers and codecs, made from the H.264 clip by the ffmpeg command:
// Matroska (counted on open; its demuxer cannot jump by bytes), MPEG-2 in an
// MPEG program stream (counted; seeks by the key frames found on open; some
// packets without time stamps) and MPEG-4 with B-frames packed into AVI
// (frames without time stamps).
TEST(VideoFile, OtherContainersAndCodecsMatchTheReferenceDecoder) {
  ClipRequest wanted;
  wanted.frames = 36;
  const std::string clip = MakeClip(wanted);
  ASSERT_FALSE(clip.empty());
  struct Case {
    const char* name;
    std::vector<std::string> codec;
  };
  for (const Case& c : {Case{"remux.mkv", {"-c:v", "copy"}},
                        Case{"mpeg2.mpg", {"-c:v", "mpeg2video", "-bf", "2", "-g", "12"}},
                        Case{"packed.avi", {"-c:v", "mpeg4", "-bf", "2", "-g", "12"}}}) {
    SCOPED_TRACE(c.name);
    const std::string path = TempFolder() + "/" + c.name;
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "fatal", "-y", "-i", clip, "-an"};
    argv.insert(argv.end(), c.codec.begin(), c.codec.end());
    argv.push_back(path);
    ASSERT_EQ(test::RunProgram(argv), 0);
    const Frames reference = ReferenceFrames(path, wanted.width, wanted.height);
    ASSERT_EQ(reference.size(), 36u);
    std::vector<int32_t> order = {35, 0, 34, 13, 12, 11, 1, 35, 24, 23, 2};
    std::mt19937 rng(3);
    for (int i = 0; i < 24; ++i) order.push_back(static_cast<int32_t>(rng() % 36));
    for (int32_t n = 0; n < 36; ++n) order.push_back(n);
    // Numbered by the grid, and by the stream: from the time stamps of the
    // packets where all carry one, else in decoding order.
    for (FrameNumbering numbering : {FrameNumbering::Grid, FrameNumbering::Stream}) {
      std::string error;
      auto video = VideoFile::Open(path, {.numbering = numbering}, &error);
      ASSERT_TRUE(video) << error;
      EXPECT_EQ(video->Length(), 36);
      EXPECT_EQ(double(video->Rate()) / video->Scale(), 24.0);
      EXPECT_FALSE(video->VariableRate());
      for (int32_t n : order) {
        EXPECT_TRUE(SamePicture(*video, video->GetFrame(n), reference, n));
      }
    }
  }
}

// Frames are numbered by time: where one is missing from the stream, its
// number gives the frame shown at that time, the one before the gap.
TEST(VideoFile, AMissingFrameIsCoveredByTheFrameBefore) {
  ClipRequest wanted;
  wanted.frames = 30;
  const std::string clip = MakeClip(wanted);
  ASSERT_FALSE(clip.empty());
  const std::string path = TempFolder() + "/gap.mp4";
  ASSERT_EQ(test::RunProgram({"ffmpeg", "-nostdin", "-v", "fatal", "-y", "-i", clip, "-an", "-vf",
                              "select='not(eq(n,10))'", "-fps_mode", "passthrough", "-c:v",
                              "libx264", "-g", "12", "-bf", "2", path}),
            0);
  const Frames decoded = ReferenceFrames(path, wanted.width, wanted.height);
  ASSERT_EQ(decoded.size(), 29u);
  // The reference numbered by time: frame 10 repeats frame 9.
  Frames reference(decoded.begin(), decoded.begin() + 10);
  reference.insert(reference.end(), decoded.begin() + 9, decoded.end());
  auto video = OpenOrFail(path);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->Rate(), 24u);
  EXPECT_EQ(video->Scale(), 1u);
  EXPECT_EQ(video->Length(), 29);
  // In order, then by seeking to the gap and around it.
  for (int32_t n = 0; n < 29; ++n) {
    EXPECT_TRUE(SamePicture(*video, video->GetFrame(n), reference, n));
  }
  for (int32_t n : {10, 3, 11, 10, 9, 10, 28, 10}) {
    EXPECT_TRUE(SamePicture(*video, video->GetFrame(n), reference, n));
  }
}

// The time stamps of the file's video frames as ffprobe decodes them, in
// seconds from the first; empty when ffprobe fails.
std::vector<double> ProbedFrameTimes(const std::string& path) {
  std::string out;
  if (test::RunProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                        "stream=time_base:frame=best_effort_timestamp", "-of",
                        "default=noprint_wrappers=1", path},
                       &out) != 0) {
    return {};
  }
  std::vector<int64_t> stamps;
  double unit = 0;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const std::string stamp = "best_effort_timestamp=", base = "time_base=";
    if (line.rfind(stamp, 0) == 0) stamps.push_back(std::stoll(line.substr(stamp.size())));
    if (line.rfind(base, 0) == 0) {
      const size_t slash = line.find('/');
      unit = std::stod(line.substr(base.size(), slash - base.size())) /
             std::stod(line.substr(slash + 1));
    }
  }
  std::vector<double> times;
  for (int64_t t : stamps) times.push_back(static_cast<double>(t - stamps.front()) * unit);
  return times;
}

// A clip with frames left out (gaps of two and four frame durations) and one
// frame moved off the 24 fps grid, in an indexed container (MP4), a counted
// one (Matroska) and a counted one seeking by bytes (MPEG-TS). Numbered by the stream, every frame
// comes once, in and out of order, with its own time stamp; numbered by the grid, frame n is the
// frame shown n / 24 s in, as before. A clip of even frames reads the same both ways.
TEST(VideoFile, VariableRateClipsNumberedByTheStreamOrByTheGrid) {
  ClipRequest wanted;
  const std::string clip = MakeClip(wanted);
  ASSERT_FALSE(clip.empty());
  // Made first, then copied into the other containers.
  const std::string uneven = TempFolder() + "/uneven.mp4";
  for (const char* name : {"uneven.mp4", "uneven.mkv", "uneven.ts", "even"}) {
    SCOPED_TRACE(name);
    std::string path = clip;
    if (std::string(name) == "uneven.mp4") {
      path = uneven;
      ASSERT_EQ(test::RunProgram({"ffmpeg",
                                  "-nostdin",
                                  "-v",
                                  "fatal",
                                  "-y",
                                  "-i",
                                  clip,
                                  "-an",
                                  "-vf",
                                  "select='not(eq(mod(n,7),3))*not(between(n,20,22))',"
                                  "setpts='PTS+eq(N,5)*0.01/TB'",
                                  "-fps_mode",
                                  "passthrough",
                                  "-enc_time_base:v",
                                  "-1",
                                  "-c:v",
                                  "libx264",
                                  "-g",
                                  "12",
                                  "-bf",
                                  "2",
                                  path}),
                0);
    } else if (std::string(name) != "even") {
      path = TempFolder() + "/" + name;
      ASSERT_EQ(test::RunProgram(
                    {"ffmpeg", "-nostdin", "-v", "fatal", "-y", "-i", uneven, "-c", "copy", path}),
                0);
    }
    const Frames reference = ReferenceFrames(path, wanted.width, wanted.height);
    const std::vector<double> times = ProbedFrameTimes(path);
    const size_t count = path == clip ? 48 : 38;
    ASSERT_EQ(reference.size(), count);
    ASSERT_EQ(times.size(), count);

    std::string error;
    auto stream = VideoFile::Open(path, {.numbering = FrameNumbering::Stream}, &error);
    ASSERT_TRUE(stream) << error;
    EXPECT_EQ(stream->Numbering(), FrameNumbering::Stream);
    EXPECT_EQ(stream->Length(), static_cast<int32_t>(count));
    EXPECT_EQ(stream->VariableRate(), path != clip);
    for (size_t n = 0; n < count; ++n) {
      EXPECT_NEAR(stream->FrameTime(static_cast<int32_t>(n)), times[n], 1e-9) << "frame " << n;
    }
    std::vector<int32_t> order;
    for (size_t n = 0; n < count; ++n) order.push_back(static_cast<int32_t>(n));
    std::shuffle(order.begin(), order.end(), std::mt19937(12));
    for (size_t n = 0; n < count; ++n) order.push_back(static_cast<int32_t>(n));
    for (int32_t n : order) {
      ASSERT_TRUE(SamePicture(*stream, stream->GetFrame(n), reference, n));
    }
    EXPECT_EQ(stream->GetFrame(static_cast<int32_t>(count)), nullptr);

    // By the grid of the stream's rate (for uneven frames, their average
    // rate): the first frame whose time rounds to n frame durations, else
    // the last one before, up to the grid's last number or as many numbers
    // as there are frames.
    auto grid = OpenOrFail(path);
    ASSERT_TRUE(grid);
    EXPECT_EQ(grid->Numbering(), FrameNumbering::Grid);
    EXPECT_EQ(grid->VariableRate(), path != clip);
    const double fps = static_cast<double>(grid->Rate()) / grid->Scale();
    auto onGrid = [&](size_t k) { return std::llround(times[k] * fps); };
    const size_t gridLength = std::min<size_t>(count, static_cast<size_t>(onGrid(count - 1)) + 1);
    EXPECT_EQ(grid->Length(), static_cast<int32_t>(gridLength));
    Frames byGrid;
    for (size_t n = 0, k = 0; n < gridLength; ++n) {
      while (onGrid(k) < static_cast<int64_t>(n) && k + 1 < count &&
             onGrid(k + 1) <= static_cast<int64_t>(n)) {
        ++k;
      }
      byGrid.push_back(reference[k]);
    }
    for (int32_t n : order) {
      if (n < grid->Length()) {
        ASSERT_TRUE(SamePicture(*grid, grid->GetFrame(n), byGrid, n));
      }
    }
  }
}

// Clips flagged with a rotation are delivered upright, and anamorphic ones in
// square pixels, frame for frame as the ffmpeg command shows them: its own
// turning upright, then for anamorphic clips a scale filter stretching to
// square pixels. Rotations are flagged by remuxing (encoding drops them). The
// ratio sits in the container and the stream (MP4) or the stream only
// (MPEG-TS); a 4:2:2 stream is turned after conversion to 24-bit, an odd-sized
// 4:2:0 one with chroma planes of rounded-up sizes.
TEST(VideoFile, TurnedAndAnamorphicClipsMatchTheFfmpegCommand) {
  ClipRequest wanted;
  wanted.frames = 24;
  const std::string clip = MakeClip(wanted);
  ASSERT_FALSE(clip.empty());
  const std::string folder = TempFolder() + "/upright";
  fs::create_directories(folder);
  const std::string squarePixels =
      "scale='if(gt(sar,1),round(iw*sar),iw)':'if(lt(sar,1),round(ih/sar),ih)'";
  const std::vector<std::string> h264 = {"-c:v", "libx264", "-g", "12", "-bf", "2"};
  struct Case {
    std::string name;
    std::vector<std::string> encode;  // none: the clip as it is
    const char* rotate;               // the flag set by remuxing, or nullptr
    bool anamorphic;
    int32_t width, height;
  };
  auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<std::string> mjpeg = {"-c:v", "mjpeg", "-q:v", "4"};
  for (const Case& c : {
           Case{"turn90.mp4", {}, "90", false, 180, 320},
           Case{"turn180.mp4", {}, "180", false, 320, 180},
           Case{"turn270.mp4", {}, "270", false, 180, 320},
           Case{"wide.mp4", with({"-vf", "setsar=2/1"}, h264), nullptr, true, 640, 180},
           Case{"wide-turned.mp4", with({"-vf", "setsar=2/1"}, h264), "90", true, 180, 640},
           Case{"narrow.ts", with({"-vf", "setsar=3/4"}, h264), nullptr, true, 320, 240},
           Case{"j422-turned.mov", with({"-pix_fmt", "yuvj422p"}, mjpeg), "90", false, 180, 320},
           Case{"odd-turned.mov",
                with({"-vf", "scale=321:241,setsar=1", "-pix_fmt", "yuvj420p"}, mjpeg), "270",
                false, 241, 321},
       }) {
    SCOPED_TRACE(c.name);
    std::string path = folder + "/" + c.name;
    std::string encoded = c.encode.empty() ? clip : folder + "/encoded-" + c.name;
    const std::vector<std::string> ffmpeg = {"ffmpeg", "-nostdin", "-v", "fatal", "-y"};
    if (!c.encode.empty()) {
      ASSERT_EQ(
          test::RunProgram(with(with(ffmpeg, {"-i", clip, "-an"}), with(c.encode, {encoded}))), 0);
    }
    if (c.rotate) {
      ASSERT_EQ(test::RunProgram(with(ffmpeg, {"-i", encoded, "-an", "-c", "copy", "-metadata:s:v",
                                               std::string("rotate=") + c.rotate, path})),
                0);
    } else {
      path = encoded;
    }
    const Frames reference =
        ReferenceFrames(path, c.width, c.height, c.anamorphic ? squarePixels : std::string());
    ASSERT_EQ(reference.size(), 24u);
    auto video = OpenOrFail(path);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->Width(), c.width);
    EXPECT_EQ(video->Height(), c.height);
    EXPECT_EQ(video->FrameBytes(), BytesPerRow24(c.width) * c.height);
    EXPECT_EQ(video->Length(), 24);
    std::vector<int32_t> order;
    for (int32_t n = 0; n < 24; ++n) order.push_back(n);
    for (int32_t n : {23, 0, 13, 12, 11, 5, 22}) order.push_back(n);
    std::mt19937 rng(41);
    for (int i = 0; i < 12; ++i) order.push_back(static_cast<int32_t>(rng() % 24));
    for (int32_t n : order) {
      ASSERT_TRUE(SamePicture(*video, video->GetFrame(n), reference, n));
    }
    std::vector<uint8_t> bits(static_cast<size_t>(video->FrameBytes()));
    ASSERT_TRUE(video->GetFrameInto(7, bits.data(), static_cast<size_t>(BytesPerRow24(c.width))));
    EXPECT_TRUE(bits == reference[7]);
  }
}

TEST(VideoFile, OddAndTinyFrameSizes) {
  struct Case {
    const char* format;
    int32_t width, height;
    int32_t rowBytes;
  };
  for (const Case& c : {Case{"mp4", 321, 241, 964}, Case{"avi", 321, 241, 964},
                        Case{"ts", 321, 241, 964}, Case{"mp4", 1, 1, 4}, Case{"avi", 1, 1, 4}}) {
    SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.width) + "x" +
                 std::to_string(c.height));
    ClipRequest wanted;
    wanted.format = c.format;
    wanted.width = c.width;
    wanted.height = c.height;
    wanted.frames = 10;
    wanted.gop = 4;
    const std::string path = MakeClip(wanted);
    ASSERT_FALSE(path.empty());
    const Frames reference = ReferenceFrames(path, c.width, c.height);
    ASSERT_EQ(reference.size(), 10u);
    auto video = OpenOrFail(path);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->Length(), 10);
    EXPECT_EQ(video->Width(), c.width);
    EXPECT_EQ(video->Height(), c.height);
    EXPECT_EQ(video->FrameBytes(), c.rowBytes * c.height);
    for (int32_t n : {9, 0, 5, 4, 6, 1}) {
      const uint8_t* picture = video->GetFrame(n);
      ASSERT_TRUE(SamePicture(*video, picture, reference, n));
      // Row padding stays zero.
      const uint8_t* pixels = picture + sizeof(BitmapInfoHeader);
      for (int32_t y = 0; y < c.height; ++y) {
        for (int32_t b = c.width * 3; b < c.rowBytes; ++b) {
          ASSERT_EQ(pixels[y * c.rowBytes + b], 0) << "row " << y;
        }
      }
    }
  }
}

// Frames written straight into a caller's rows are the bytes of the packed
// picture, whether or not GetFrame was asked for the same frame before, and
// an earlier packed picture stays intact.
TEST(VideoFile, GetFrameIntoGivesThePackedPicturesBytes) {
  ClipRequest wanted;
  wanted.width = 321;
  wanted.height = 241;
  wanted.frames = 24;
  wanted.gop = 6;
  const std::string path = MakeClip(wanted);
  ASSERT_FALSE(path.empty());
  const Frames reference = ReferenceFrames(path, wanted.width, wanted.height);
  ASSERT_EQ(reference.size(), 24u);
  auto video = OpenOrFail(path);
  ASSERT_TRUE(video);
  const size_t row = 964;
  const size_t used = 321 * 3;
  const size_t height = 241;

  std::mt19937 rng(5309);
  int32_t held = -1;  // the frame of the last packed picture
  const uint8_t* picture = nullptr;
  for (int i = 0; i < 60; ++i) {
    const int32_t n = static_cast<int32_t>(rng() % 24);
    const int how = static_cast<int>(rng() % 3);
    if (how == 0) {
      picture = video->GetFrame(n);
      ASSERT_TRUE(SamePicture(*video, picture, reference, n));
      held = n;
      continue;
    }
    // Tight rows, or wide rows whose bytes past the padding stay untouched.
    const size_t stride = how == 1 ? row : row + 7;
    std::vector<uint8_t> bits(stride * height, 0xA5);
    ASSERT_TRUE(video->GetFrameInto(n, bits.data(), stride)) << n;
    const std::vector<uint8_t>& expected = reference[static_cast<size_t>(n)];
    for (size_t y = 0; y < height; ++y) {
      ASSERT_EQ(std::memcmp(bits.data() + y * stride, expected.data() + y * row, row), 0)
          << "frame " << n << " row " << y;
      for (size_t b = row; b < stride; ++b) ASSERT_EQ(bits[y * stride + b], 0xA5);
    }
    if (held >= 0) {
      ASSERT_TRUE(SamePicture(*video, picture, reference, held)) << "after " << n;
    }
  }

  // A stride one byte short of the row's padding leaves that byte alone.
  std::vector<uint8_t> narrow((used + 1) * height, 0xA5);
  ASSERT_TRUE(video->GetFrameInto(3, narrow.data(), used + 1));
  for (size_t y = 0; y < height; ++y) {
    ASSERT_EQ(std::memcmp(narrow.data() + y * (used + 1), reference[3].data() + y * row, used + 1),
              0);
  }
  std::vector<uint8_t> bits(row * height);
  EXPECT_FALSE(video->GetFrameInto(3, bits.data(), used - 1));
  EXPECT_FALSE(video->GetFrameInto(3, nullptr, row));
  for (int32_t n : {-1, 24, INT32_MAX, INT32_MIN}) {
    EXPECT_FALSE(video->GetFrameInto(n, bits.data(), row)) << n;
  }
}

// A 3 x 3 raw YUV 4:2:0 stream of two frames, written here byte by byte.
TEST(VideoFile, ThreeByThreeRawFrames) {
  std::string bytes = "YUV4MPEG2 W3 H3 F25:1 Ip A1:1 C420jpeg\n";
  std::mt19937 rng(8);
  for (int frame = 0; frame < 2; ++frame) {
    bytes += "FRAME\n";
    for (int i = 0; i < 9 + 4 + 4; ++i) bytes += static_cast<char>(rng());
  }
  const std::string path = TempFolder() + "/three.y4m";
  WriteFile(path, bytes);
  const Frames reference = ReferenceFrames(path, 3, 3);
  ASSERT_EQ(reference.size(), 2u);
  auto video = OpenOrFail(path);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->Length(), 2);
  EXPECT_EQ(video->Rate(), 25u);
  EXPECT_EQ(video->Scale(), 1u);
  EXPECT_EQ(video->FrameBytes(), 12 * 3);
  for (int32_t n : {1, 0, 1}) EXPECT_TRUE(SamePicture(*video, video->GetFrame(n), reference, n));
  EXPECT_EQ(video->GetFrame(2), nullptr);
}

TEST(VideoFile, FilesWithoutPlayableVideoGiveClearErrors) {
  const std::string folder = TempFolder() + "/bad";
  fs::create_directories(folder);
  WriteFile(folder + "/empty.avi", "");
  std::string text;
  for (int i = 0; i < 200; ++i) text += "These are notes about a film, not the film itself.\n";
  WriteFile(folder + "/notes.avi", text);
  std::string garbage(64 * 1024, '\0');
  std::mt19937 rng(99);
  for (char& c : garbage) c = static_cast<char>(rng());
  WriteFile(folder + "/noise.mp4", garbage);
  WriteFile(folder + "/header-only.avi", "RIFF\x10\0\0\0AVI LIST");
  // Raw YUV streams that declare a frame size but hold no frame, or frames too
  // large to hand out.
  WriteFile(folder + "/no-frames.y4m", "YUV4MPEG2 W3 H3 F24:1 Ip A1:1 C444\n");
  WriteFile(folder + "/huge.y4m", "YUV4MPEG2 W40000 H40000 F24:1 Ip A1:1 C444\nFRAME\n");

  for (const std::string& path :
       {folder + "/missing.avi", folder + "/empty.avi", folder + "/notes.avi",
        folder + "/noise.mp4", folder + "/header-only.avi", folder + "/no-frames.y4m",
        folder + "/huge.y4m", folder, std::string(),
        folder + std::string("/empty.avi\0.mp4", 16)}) {
    SCOPED_TRACE(path);
    std::string error;
    VideoOpenFailure failure = VideoOpenFailure::None;
    EXPECT_EQ(VideoFile::Open(path, &error, &failure), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_NE(failure, VideoOpenFailure::None);
    // Callers name the file; the text does not repeat it.
    if (!path.empty()) {
      EXPECT_EQ(error.find(folder), std::string::npos) << error;
    }
  }

  for (const char* format : {"mp4", "avi", "ts"}) {
    ClipRequest wanted;
    wanted.format = format;
    wanted.kind = "audio";
    const std::string path = MakeClip(wanted);
    ASSERT_FALSE(path.empty());
    std::string error;
    VideoOpenFailure failure = VideoOpenFailure::None;
    EXPECT_EQ(VideoFile::Open(path, &error, &failure), nullptr) << format;
    EXPECT_EQ(failure, VideoOpenFailure::NoVideoStream) << format << ": " << error;
    EXPECT_EQ(error.find(path), std::string::npos) << error;
  }

  // Inputs that can be read only once fail at once, before anything reads
  // them: a FIFO without a writer (opening it would wait), a link to it,
  // standard input and a character device.
  const std::string fifo = folder + "/fifo.mp4";
  // Left over from an earlier run of this test in the same process, if any.
  fs::remove(fifo);
  fs::remove(folder + "/link-to-fifo.mp4");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink(fifo, folder + "/link-to-fifo.mp4");
  for (const std::string& path :
       {fifo, folder + "/link-to-fifo.mp4", std::string("-"), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    std::string error;
    VideoOpenFailure failure = VideoOpenFailure::None;
    EXPECT_EQ(VideoFile::Open(path, &error, &failure), nullptr);
    EXPECT_EQ(failure, VideoOpenFailure::NotSeekable);
    EXPECT_NE(error.find("seekable file"), std::string::npos) << error;
  }
}

TEST(VideoFile, NamesWithSpacesQuotesAndColonsOpen) {
  ClipRequest wanted;
  wanted.format = "avi";
  wanted.frames = 12;
  const std::string clip = MakeClip(wanted);
  ASSERT_FALSE(clip.empty());
  const Frames reference = ReferenceFrames(clip, wanted.width, wanted.height);
  ASSERT_EQ(reference.size(), 12u);
  const std::string folder = TempFolder() + "/a folder with 'single' and \"double\" quotes";
  fs::create_directories(folder);
  for (const std::string name : {"clip one.avi", "it's \"here\".avi", "http: not a url.avi",
                                 "file:clip.avi", "%d $HOME.avi"}) {
    const std::string path = folder + "/" + name;
    fs::copy_file(clip, path, fs::copy_options::overwrite_existing);
    auto video = OpenOrFail(path);
    ASSERT_TRUE(video) << name;
    EXPECT_EQ(video->Length(), 12) << name;
    EXPECT_TRUE(SamePicture(*video, video->GetFrame(11), reference, 11)) << name;
  }
}

// A file cut in half, or with bytes overwritten in its second half: the
// frames of the first key frame interval decode as in the whole file; every
// other request gives a picture or nothing.
TEST(VideoFile, TruncatedOrDamagedFilesGiveTheFramesThatRemain) {
  for (const char* damage : {"cut", "damaged"}) {
    for (const char* format : {"mp4", "avi", "ts"}) {
      SCOPED_TRACE(std::string(damage) + " " + format);
      ClipRequest wanted;
      wanted.format = format;
      const std::string clip = MakeClip(wanted);
      ASSERT_FALSE(clip.empty());
      const Frames reference = ReferenceFrames(clip, wanted.width, wanted.height);
      ASSERT_EQ(reference.size(), 48u);
      std::string bytes = ReadFile(clip);
      if (std::string(damage) == "cut") {
        bytes.resize(bytes.size() / 2);
      } else {
        std::mt19937 rng(17);
        for (int i = 0; i < 400; ++i) {
          bytes[bytes.size() / 2 + rng() % (bytes.size() / 2)] = static_cast<char>(rng());
        }
      }
      const std::string path = TempFolder() + "/" + damage + "." + format;
      WriteFile(path, bytes);

      std::string error;
      auto video = VideoFile::Open(path, &error);
      ASSERT_TRUE(video) << error;
      const int32_t length = video->Length();
      EXPECT_GE(length, 12);
      EXPECT_LE(length, 48);
      // Out of order, then in order.
      std::vector<int32_t> order(static_cast<size_t>(length));
      for (int32_t n = 0; n < length; ++n) order[static_cast<size_t>(n)] = n;
      std::shuffle(order.begin(), order.end(), std::mt19937(5));
      for (int32_t n = 0; n < length; ++n) order.push_back(n);
      for (int32_t n : order) {
        const uint8_t* picture = video->GetFrame(n);
        if (n < 12) {
          EXPECT_TRUE(SamePicture(*video, picture, reference, n));
        }
      }
      EXPECT_EQ(video->GetFrame(length), nullptr);
    }
  }
}

// Sum of absolute differences between one eye's view (0 left, 1 right) of a
// w x h stereo frame and the 2D frame scaled to the view's size by averaging
// pixel pairs. Side by side: the left half is the left view. Above/below: the
// top half (the upper scan lines) is the left view. Rows: counted from the
// bottom scan line, even lines are the left view.
int64_t ViewDifference(const std::string& kind, const uint8_t* stereo, const uint8_t* flat,
                       int32_t w, int32_t h, int eye) {
  const int32_t row = static_cast<int32_t>(BytesPerRow24(w));
  const bool halfWidth = kind == "sbs";
  const int32_t viewW = halfWidth ? w / 2 : w;
  const int32_t viewH = halfWidth ? h : h / 2;
  int64_t sum = 0;
  for (int32_t y = 0; y < viewH; ++y) {
    for (int32_t x = 0; x < viewW; ++x) {
      const uint8_t* a = flat + (halfWidth ? y * row + 6 * x : 2 * y * row + 3 * x);
      const uint8_t* b = halfWidth ? a + 3 : a + row;
      const uint8_t* v = stereo;
      if (kind == "sbs") v += y * row + 3 * (eye * viewW + x);
      if (kind == "ab") v += ((1 - eye) * viewH + y) * row + 3 * x;
      if (kind == "rows") v += (2 * y + eye) * row + 3 * x;
      for (int c = 0; c < 3; ++c) sum += std::abs(v[c] - (a[c] + b[c]) / 2);
    }
  }
  return sum;
}

// The stereo clips are the 2D scene's views: in every layout the left-eye view
// is the 2D frame at the view's size, so it matches the 2D frame clearly better
// than the right-eye view, whose layers are shifted by their disparity.
TEST(SampleClips, StereoLayoutsCarryTheLeftViewWhereTheLoadersExpectIt) {
  const int32_t w = 320, h = 180, frame = 30;
  ClipRequest wanted;
  wanted.frames = 32;
  std::vector<uint8_t> flat;
  {
    auto video = OpenOrFail(MakeClip(wanted));
    ASSERT_TRUE(video);
    const uint8_t* p = video->GetFrame(frame);
    ASSERT_NE(p, nullptr);
    flat.assign(p + 40, p + 40 + video->FrameBytes());
  }
  for (const char* kind : {"sbs", "ab", "rows"}) {
    SCOPED_TRACE(kind);
    wanted.kind = kind;
    auto video = OpenOrFail(MakeClip(wanted));
    ASSERT_TRUE(video);
    EXPECT_EQ(video->Width(), w);
    EXPECT_EQ(video->Height(), h);
    EXPECT_EQ(video->Length(), 32);
    const uint8_t* p = video->GetFrame(frame);
    ASSERT_NE(p, nullptr);
    const int64_t left = ViewDifference(kind, p + 40, flat.data(), w, h, 0);
    const int64_t right = ViewDifference(kind, p + 40, flat.data(), w, h, 1);
    EXPECT_LT(left * 5, right * 4) << "left " << left << ", right " << right;
  }
}

// Odd halves (54 rows stack two 27-row views) once made FFmpeg overrun its
// buffers and abort; one-row and one-column pictures pack more rows or
// columns than they hold.
TEST(SampleClips, SameArgumentsGiveIdenticalFilesAtAnySize) {
  const std::string tool = test::SampleClipTool();
  for (const char* size : {"96x54", "97x55", "3x1", "1x1"}) {
    SCOPED_TRACE(size);
    const std::string a = TempFolder() + "/same-a-" + size, b = TempFolder() + "/same-b-" + size;
    for (const std::string& folder : {a, b}) {
      ASSERT_EQ(test::RunProgram({tool, "--size", size, "--frames", "6", "--kinds",
                                  "2d,sbs,ab,rows,audio", folder}),
                0);
    }
    for (const char* kind : {"2d", "sbs", "ab", "rows", "audio"}) {
      const std::string name = std::string("/sample-") + kind + ".mp4";
      const std::string first = ReadFile(a + name);
      EXPECT_FALSE(first.empty()) << kind;
      EXPECT_TRUE(first == ReadFile(b + name)) << kind;
    }
  }
}

}  // namespace
}  // namespace dioptrix
