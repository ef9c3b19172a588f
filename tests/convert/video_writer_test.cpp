#include "platform/video/video_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "platform/video/video_file.h"
#include "tests/common/test_images.h"
#include "tests/convert/convert_support.h"

namespace dioptrix {
namespace {

namespace fs = std::filesystem;
using test::FrameTimes;
using test::RandomImage;
using test::ReadFrames;
using test::SamePixels;
using test::TempFolder;

std::string Scratch(const std::string& name) { return TempFolder() + "/" + name; }

// Frames whose every byte differs from frame to frame, of an odd size.
std::vector<DibPtr> RandomFrames(int32_t w, int32_t h, int count, uint32_t seed) {
  std::vector<DibPtr> frames;
  for (int i = 0; i < count; ++i) frames.push_back(RandomImage(w, h, seed + i));
  return frames;
}

// One line per stream of a kind ("v" or "a"): its codec, default flag and
// language, as "aac default eng" ("-" for no language), by ffprobe.
std::vector<std::string> StreamSummaries(const std::string& path, const std::string& kind) {
  std::vector<std::string> lines;
  for (const std::string& line :
       test::Ffprobe(path, {"-select_streams", kind, "-show_entries",
                            "stream=codec_name:stream_disposition=default:stream_tags=language",
                            "-of", "compact=p=0"})) {
    auto field = [&](const std::string& key) -> std::string {
      const size_t from = line.find(key + "=");
      if (from == std::string::npos) return "-";
      const size_t start = from + key.size() + 1;
      return line.substr(start, line.find('|', start) - start);
    };
    lines.push_back(field("codec_name") +
                    (field("disposition:default") == "1" ? " default " : " ") +
                    field("tag:language"));
  }
  return lines;
}

struct Written {
  bool ok = false;
  std::string error;
  std::vector<std::string> notes;
};

// Writes the frames, at the given times (none: one frame period apart).
Written WriteAll(const std::string& path, const std::vector<DibPtr>& frames,
                 VideoWriterOptions options = {}, const std::vector<double>& times = {}) {
  Written result;
  options.onNote = [&](const std::string& text) { result.notes.push_back(text); };
  auto writer = VideoWriter::Open(path, options, &result.error);
  if (!writer) return result;
  for (size_t i = 0; i < frames.size(); ++i) {
    const double at = i < times.size() ? times[i] : -1;
    if (!writer->WriteFrame(*frames[i], at, &result.error)) return result;
  }
  result.ok = writer->Finish(&result.error);
  return result;
}

TEST(VideoWriter, LosslessCodecsKeepEveryByteOfOddSizedFrames) {
  struct Case {
    std::string name;
    VideoCodec codec;
    std::string readBack;  // what the reader opens
  };
  const std::vector<Case> cases = {
      {"lossless.mkv", VideoCodec::FFV1, "lossless.mkv"},
      {"lossless.avi", VideoCodec::FFV1, "lossless.avi"},
      {"pictures_%03d.png", VideoCodec::Auto, "pictures_%03d.png"},
      {"picture folder/", VideoCodec::PNG, "picture folder/frame_%05d.png"},
      {"png in a box.mov", VideoCodec::PNG, "png in a box.mov"},
  };
  for (const auto& [w, h] : std::vector<std::pair<int32_t, int32_t>>{{37, 23}, {1, 1}, {64, 2}}) {
    const std::vector<DibPtr> frames = RandomFrames(w, h, 5, 11);
    const std::string size = std::to_string(w) + "x" + std::to_string(h) + " ";
    for (const Case& c : cases) {
      SCOPED_TRACE(size + c.name);
      VideoWriterOptions options;
      options.codec = c.codec;
      options.rate = 30000;
      options.scale = 1001;
      const Written written = WriteAll(Scratch(size + c.name), frames, options);
      ASSERT_TRUE(written.ok) << written.error;
      EXPECT_TRUE(written.notes.empty());
      const std::vector<DibPtr> back = ReadFrames(Scratch(size + c.readBack));
      ASSERT_EQ(back.size(), frames.size());
      for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(SamePixels(*back[i], *frames[i])) << "frame " << i;
      }
    }
  }
  // The rate reaches the file.
  auto video = VideoFile::Open(Scratch("37x23 lossless.mkv"));
  ASSERT_TRUE(video);
  EXPECT_EQ(video->Rate(), 30000u);
  EXPECT_EQ(video->Scale(), 1001u);
}

// Containers with time stamps keep the times given (a variable frame rate
// stays variable); a time not after the previous one is moved just after it,
// a frame without a time comes one period after the previous one, and the
// sound ends with the last frame.
TEST(VideoWriter, FrameTimesAreKeptWhereTheContainerHoldsThem) {
  test::Clip clip;
  clip.frames = 48;  // two seconds of sound
  const std::string source = test::MakeClip(clip);
  ASSERT_FALSE(source.empty());
  const std::vector<double> given = {0, 0.04, 0.1, 0.1, 0.75, -1, 0.2, 1.0};
  const std::vector<double> expected = {0, 0.04, 0.1, 0.1, 0.75, 0.79, 0.79, 1.0};
  const std::vector<DibPtr> frames = RandomFrames(32, 18, static_cast<int>(given.size()), 5);
  struct Case {
    std::string name;
    VideoCodec codec;
  };
  for (const Case& c : std::vector<Case>{{"times.mp4", VideoCodec::H264},
                                         {"times.mkv", VideoCodec::FFV1},
                                         {"times.mov", VideoCodec::PNG}}) {
    SCOPED_TRACE(c.name);
    VideoWriterOptions options;
    options.codec = c.codec;
    options.audioSource = source;
    const Written w = WriteAll(Scratch(c.name), frames, options, given);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_TRUE(w.notes.empty());
    // Counted from the first frame: MKV moves the whole file later when the
    // copied sound starts before the picture.
    const std::vector<double> times = FrameTimes(Scratch(c.name));
    ASSERT_EQ(times.size(), expected.size());
    for (size_t i = 0; i < times.size(); ++i) {
      EXPECT_NEAR(times[i] - times[0], expected[i], 0.0015) << "frame " << i;
      if (i > 0) {
        EXPECT_GT(times[i], times[i - 1]) << "frame " << i;
      }
    }
    EXPECT_NEAR(test::StreamDuration(Scratch(c.name), "audio"), 1.04, 0.05);
  }

  // Frames without times at 23.976 per second lie on the exact multiples of
  // the period, however long the film.
  VideoWriterOptions ntsc;
  ntsc.codec = VideoCodec::PNG;
  ntsc.rate = 24000;
  ntsc.scale = 1001;
  auto writer = VideoWriter::Open(Scratch("ntsc.mov"), ntsc);
  ASSERT_TRUE(writer);
  std::string error;
  ASSERT_TRUE(writer->WriteFrame(*frames[0], -1, &error)) << error;
  ASSERT_TRUE(writer->WriteFrame(*frames[1], 3600.0 * 1001 / 24000 * 24, &error)) << error;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(writer->RepeatFrame(-1, &error)) << error;
  ASSERT_TRUE(writer->Finish(&error)) << error;
  const std::vector<double> times = FrameTimes(Scratch("ntsc.mov"));
  ASSERT_EQ(times.size(), 5u);
  for (int i = 1; i < 5; ++i) {
    EXPECT_NEAR(times[i], (86400.0 + i - 1) * 1001 / 24000, 1e-6) << "frame " << i;
  }
}

// AVI files hold a fixed rate: a frame fills the slots up to the next
// frame's time, a frame whose slot the next one takes is left out, and a
// note says so once.
TEST(VideoWriter, AviFollowsTheTimesAtItsFixedRate) {
  const std::vector<double> given = {0, 0.04, 0.2, 0.21, 0.23, 0.32};
  const std::vector<DibPtr> frames = RandomFrames(16, 8, static_cast<int>(given.size()), 9);
  VideoWriterOptions options;
  options.codec = VideoCodec::FFV1;
  const Written w = WriteAll(Scratch("slots.avi"), frames, options, given);
  ASSERT_TRUE(w.ok) << w.error;
  ASSERT_EQ(w.notes.size(), 1u);
  EXPECT_NE(w.notes[0].find("AVI files hold a fixed frame rate"), std::string::npos) << w.notes[0];
  // Slots of 0.04 s: 0, 1-4, (2 left out), 5, 6-7, 8.
  const std::vector<size_t> shown = {0, 1, 1, 1, 1, 3, 4, 4, 5};
  const std::vector<DibPtr> back = ReadFrames(Scratch("slots.avi"));
  ASSERT_EQ(back.size(), shown.size());
  for (size_t i = 0; i < shown.size(); ++i) {
    EXPECT_TRUE(SamePixels(*back[i], *frames[shown[i]])) << "slot " << i;
  }
  // A time that would need more than 2^20 copies of a frame is refused.
  auto writer = VideoWriter::Open(Scratch("far.avi"), options);
  ASSERT_TRUE(writer);
  std::string error;
  ASSERT_TRUE(writer->WriteFrame(*frames[0], 0, &error)) << error;
  EXPECT_FALSE(writer->WriteFrame(*frames[1], 0.04 * (1 << 20) + 1, &error));
  EXPECT_NE(error.find("too far"), std::string::npos) << error;
  writer.reset();

  // Frames one period apart, given or not, are stored as they come.
  const Written even = WriteAll(Scratch("even.avi"), frames, options, {0, 0.04, -1, 0.12});
  ASSERT_TRUE(even.ok) << even.error;
  EXPECT_TRUE(even.notes.empty());
  EXPECT_EQ(ReadFrames(Scratch("even.avi")).size(), frames.size());
}

TEST(VideoWriter, H264PadsOddSizesAndStaysCloseToTheFrames) {
  // Smooth frames (H.264 is lossy): a gradient moving one pixel per frame.
  std::vector<DibPtr> frames;
  for (int i = 0; i < 8; ++i) {
    auto f = std::make_unique<cDIBSection>();
    ASSERT_TRUE(f->Create(45, 31));
    for (int32_t y = 0; y < 31; ++y) {
      for (int32_t x = 0; x < 45; ++x) {
        uint8_t* p = f->ScanLine(y) + 3 * x;
        p[0] = static_cast<uint8_t>(4 * (x + i));
        p[1] = static_cast<uint8_t>(6 * y);
        p[2] = static_cast<uint8_t>(120 + x - y);
      }
    }
    frames.push_back(std::move(f));
  }
  for (const std::string name : {"odd.mp4", "odd.mov", "odd.mkv", "odd.avi"}) {
    SCOPED_TRACE(name);
    const Written w = WriteAll(Scratch(name), frames);
    ASSERT_TRUE(w.ok) << w.error;
    ASSERT_EQ(w.notes.size(), 1u);
    EXPECT_NE(w.notes[0].find("46 x 32"), std::string::npos) << w.notes[0];
    EXPECT_EQ(test::StreamCodecs(Scratch(name), "video"), std::vector<std::string>{"h264"});
    const std::vector<DibPtr> back = ReadFrames(Scratch(name));
    ASSERT_EQ(back.size(), frames.size());
    for (size_t i = 0; i < back.size(); ++i) {
      ASSERT_EQ(back[i]->Width(), 46);
      ASSERT_EQ(back[i]->Height(), 32);
      // The frame sits top-left; the padding repeats the last column and row.
      DibPtr inner = back[i]->Crop(31, 45, 0, 0);
      ASSERT_TRUE(inner);
      EXPECT_LT(test::MeanDifference(*inner, *frames[i]), 5.0) << "frame " << i;
      const uint8_t* lastColumn = test::PixelAt(*back[i], 45, 10);
      const uint8_t* beside = test::PixelAt(*back[i], 44, 10);
      EXPECT_NEAR(lastColumn[1], beside[1], 12);
    }
  }
  // The smallest pictures too.
  for (const auto& [w, h] : std::vector<std::pair<int32_t, int32_t>>{{1, 1}, {3, 2}, {2, 5}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const std::vector<DibPtr> tiny = RandomFrames(w, h, 3, 21);
    const Written t = WriteAll(Scratch("tiny.mp4"), tiny);
    ASSERT_TRUE(t.ok) << t.error;
    const std::vector<DibPtr> back = ReadFrames(Scratch("tiny.mp4"));
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[0]->Width(), w + (w & 1));
    EXPECT_EQ(back[0]->Height(), h + (h & 1));
  }
  // Even sizes are kept as they are, without a note.
  const std::vector<DibPtr> even = RandomFrames(32, 18, 2, 3);
  const Written w = WriteAll(Scratch("even.mp4"), even);
  ASSERT_TRUE(w.ok) << w.error;
  EXPECT_TRUE(w.notes.empty());
  const std::vector<DibPtr> back = ReadFrames(Scratch("even.mp4"));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0]->Width(), 32);
  EXPECT_EQ(back[0]->Height(), 18);
}

TEST(VideoWriter, LaterFramesOfAnotherSizeAreScaledToTheFirst) {
  std::vector<DibPtr> frames;
  frames.push_back(test::SolidImage(40, 20, 10, 20, 30));
  frames.push_back(test::SolidImage(80, 40, 50, 60, 70));
  frames.push_back(test::SolidImage(13, 7, 90, 100, 110));
  VideoWriterOptions options;
  options.codec = VideoCodec::FFV1;
  const Written w = WriteAll(Scratch("sizes.mkv"), frames, options);
  ASSERT_TRUE(w.ok) << w.error;
  ASSERT_EQ(w.notes.size(), 1u);  // said once
  EXPECT_NE(w.notes[0].find("80 x 40"), std::string::npos) << w.notes[0];
  const std::vector<DibPtr> back = ReadFrames(Scratch("sizes.mkv"));
  ASSERT_EQ(back.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(back[i]->Width(), 40);
    ASSERT_EQ(back[i]->Height(), 20);
  }
  EXPECT_TRUE(SamePixels(*back[1], *test::SolidImage(40, 20, 50, 60, 70)));
  EXPECT_TRUE(SamePixels(*back[2], *test::SolidImage(40, 20, 90, 100, 110)));
}

size_t EntriesIn(const std::string& folder) {
  size_t n = 0;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator();
       ++it) {
    ++n;
  }
  return n;
}

// CheckTarget refuses what Open refuses, in the same words and without making
// anything; Open refuses besides what only the source or opening tells.
TEST(VideoWriter, CheckTargetRefusesWhatOpenRefusesInTheSameWords) {
  test::TempDir dir;
  std::ofstream(dir / "a file").put('x');
  struct Case {
    std::string path;
    VideoWriterOptions options;
    std::string expect;  // part of the message
  };
  auto with = [](auto set) {
    VideoWriterOptions o;
    set(o);
    return o;
  };
  const VideoWriterOptions plain;
  const std::vector<Case> cases = {
      {"", plain, "No valid output file name"},
      {dir / "clip.unknownext", plain, "Cannot tell the kind"},
      {dir / "clip", plain, "Cannot tell the kind"},
      {dir / "still.png", plain, "single picture"},
      {dir / "sound.wav", plain, "without video"},
      {dir / "lossless.mp4", with([](auto& o) { o.codec = VideoCodec::FFV1; }),
       "use a name ending in .mkv or .avi"},
      {dir / "web.webm", with([](auto& o) { o.codec = VideoCodec::H264; }), "cannot hold H.264"},
      {dir / "frames_%04d.jpg", plain, "PNG"},
      {dir / "frames_%04d.png", with([](auto& o) { o.codec = VideoCodec::FFV1; }), "PNG only"},
      {dir / "a file/out.mp4", plain, "a file is not a folder"},
      {dir / "a file/deeper/out_%03d.png", plain, "a file is not a folder"},
      {dir / "a file/pictures/", plain, "a file is not a folder"},
      {dir / "rate.mkv", with([](auto& o) { o.scale = 0; }), "frame rate must be positive"},
      {dir / "track.mkv", with([](auto& o) { o.audioTrack = -2; }), "No sound track -2"},
      {dir / "low/", with([](auto& o) { o.firstPictureNumber = -1; }), "first picture number"},
      {dir / "high/", with([](auto& o) { o.firstPictureNumber = int64_t{1} << 31; }),
       "first picture number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string checked, opened;
    EXPECT_FALSE(VideoWriter::CheckTarget(c.path, c.options, &checked));
    EXPECT_NE(checked.find(c.expect), std::string::npos) << checked;
    EXPECT_FALSE(VideoWriter::Open(c.path, c.options, &opened));
    EXPECT_EQ(opened, checked);
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);  // nothing made
  }

  // Folders and files that cannot be written (root may write anyway).
  const std::string locked = dir / "locked";
  fs::create_directories(locked);
  std::ofstream(locked + "/old.mkv").put('x');
  fs::permissions(locked + "/old.mkv", fs::perms::owner_read);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  if (access(locked.c_str(), W_OK) != 0) {
    for (const std::string& path : {locked + "/out.mkv", locked + "/new/out.mkv", locked + "/",
                                    locked + "/new/", locked + "/old.mkv"}) {
      SCOPED_TRACE(path);
      std::string checked, opened;
      EXPECT_FALSE(VideoWriter::CheckTarget(path, plain, &checked));
      EXPECT_NE(checked.find("Cannot write"), std::string::npos) << checked;
      EXPECT_FALSE(VideoWriter::Open(path, plain, &opened));
      EXPECT_EQ(opened, checked);
    }
  }
  fs::permissions(locked, fs::perms::owner_all);

  // What only opening tells: the sound source lacks the track asked for, or
  // the file cannot be made.
  test::Clip clip;
  VideoWriterOptions secondTrack;
  secondTrack.audioSource = test::MakeClip(clip);
  secondTrack.audioTrack = 1;
  std::string error;
  EXPECT_TRUE(VideoWriter::CheckTarget(dir / "sound.mkv", secondTrack, &error)) << error;
  EXPECT_FALSE(VideoWriter::Open(dir / "sound.mkv", secondTrack, &error));
  EXPECT_NE(error.find("no sound track 1"), std::string::npos) << error;
  EXPECT_FALSE(VideoWriter::Open("/proc/version.mp4", plain, &error));
  EXPECT_NE(error.find("Cannot write"), std::string::npos) << error;
}

// Missing folders are made for every kind of output, and only once the
// output is opened; an output that gets no frame takes them away again.
TEST(VideoWriter, MissingFoldersAreMadeForEveryKindOfOutput) {
  test::TempDir dir;
  const std::vector<DibPtr> frames = RandomFrames(8, 6, 2, 17);
  struct Case {
    std::string path, made, readBack;
  };
  for (const Case& c : std::vector<Case>{{"new a/b/out.mkv", "new a", "new a/b/out.mkv"},
                                         {"new c/d/out_%03d.png", "new c", "new c/d/out_%03d.png"},
                                         {"new e/f/", "new e", "new e/f/frame_%05d.png"}}) {
    SCOPED_TRACE(c.path);
    VideoWriterOptions options;
    options.codec =
        c.readBack.find(".png") != std::string::npos ? VideoCodec::PNG : VideoCodec::FFV1;
    std::string error;
    EXPECT_TRUE(VideoWriter::CheckTarget(dir / c.path, options, &error)) << error;
    EXPECT_FALSE(fs::exists(dir / c.made));
    const Written w = WriteAll(dir / c.path, frames, options);
    ASSERT_TRUE(w.ok) << w.error;
    const std::vector<DibPtr> back = ReadFrames(dir / c.readBack);
    ASSERT_EQ(back.size(), frames.size());
    EXPECT_TRUE(SamePixels(*back[1], *frames[1]));
  }
  // Nothing written: the folders made go again; one that was there stays.
  std::string error;
  auto writer = VideoWriter::Open(dir / "gone/x/out.mkv", {}, &error);
  ASSERT_TRUE(writer) << error;
  EXPECT_TRUE(fs::is_directory(dir / "gone/x"));
  writer.reset();
  EXPECT_FALSE(fs::exists(dir / "gone"));
  writer = VideoWriter::Open(dir / "new a/gone/", {}, &error);
  ASSERT_TRUE(writer) << error;
  EXPECT_FALSE(writer->Finish(&error));
  EXPECT_FALSE(fs::exists(dir / "new a/gone"));
  EXPECT_TRUE(fs::exists(dir / "new a/b/out.mkv"));
}

// Pictures are numbered from firstPictureNumber on.
TEST(VideoWriter, PicturesAreNumberedFromTheFirstNumberGiven) {
  test::TempDir dir;
  const std::vector<DibPtr> frames = RandomFrames(5, 3, 3, 23);
  struct Case {
    std::string path;
    int64_t first;
    std::vector<std::string> names;
  };
  for (const Case& c : std::vector<Case>{
           {"from ten/", 10, {"frame_00010.png", "frame_00011.png", "frame_00012.png"}},
           {"zero_%03d.png", 0, {"zero_000.png", "zero_001.png", "zero_002.png"}},
           {"plain_%d.png", 1, {"plain_1.png", "plain_2.png", "plain_3.png"}}}) {
    SCOPED_TRACE(c.path);
    const size_t before = EntriesIn(dir.Path());
    VideoWriterOptions options;
    options.firstPictureNumber = c.first;
    const Written w = WriteAll(dir / c.path, frames, options);
    ASSERT_TRUE(w.ok) << w.error;
    const std::string folder = c.path.back() == '/' ? dir / c.path : dir.Path() + "/";
    for (size_t i = 0; i < c.names.size(); ++i) {
      const std::vector<DibPtr> back = ReadFrames(folder + c.names[i]);
      ASSERT_EQ(back.size(), 1u) << c.names[i];
      EXPECT_TRUE(SamePixels(*back[0], *frames[i])) << c.names[i];
    }
    EXPECT_EQ(EntriesIn(dir.Path()) - before, c.names.size() + (c.path.back() == '/' ? 1 : 0));
  }
}

TEST(VideoWriter, MisuseAndWriteFailuresEndWithAMessage) {
  std::string error;
  // Nothing written: Finish fails and leaves no empty file behind.
  const std::string none = Scratch("nothing.mkv");
  auto writer = VideoWriter::Open(none, {}, &error);
  ASSERT_TRUE(writer) << error;
  EXPECT_TRUE(fs::exists(none));
  EXPECT_FALSE(writer->Finish(&error));
  EXPECT_NE(error.find("No frames"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(none));
  writer.reset();
  // Abandoned before the first frame: no empty file either.
  writer = VideoWriter::Open(none, {}, &error);
  ASSERT_TRUE(writer);
  writer.reset();
  EXPECT_FALSE(fs::exists(none));

  // An empty image, and frames after Finish.
  writer = VideoWriter::Open(Scratch("misuse.mkv"), {}, &error);
  ASSERT_TRUE(writer);
  cDIBSection empty;
  EXPECT_FALSE(writer->WriteFrame(empty, -1, &error));
  EXPECT_NE(error.find("no picture"), std::string::npos) << error;
  DibPtr frame = RandomImage(16, 16, 5);
  ASSERT_TRUE(writer->WriteFrame(*frame, -1, &error)) << error;
  ASSERT_TRUE(writer->Finish(&error)) << error;
  EXPECT_TRUE(writer->Finish(&error));  // a second Finish changes nothing
  EXPECT_FALSE(writer->WriteFrame(*frame, -1, &error));
  EXPECT_NE(error.find("closed"), std::string::npos) << error;
  EXPECT_EQ(writer->FramesWritten(), 1);

  // Times out of range are refused without harm; times that are no numbers
  // count as none.
  writer = VideoWriter::Open(Scratch("far.mp4"), {}, &error);
  ASSERT_TRUE(writer);
  EXPECT_FALSE(writer->RepeatFrame(0.5, &error));  // nothing to repeat yet
  ASSERT_TRUE(writer->WriteFrame(*frame, 100, &error)) << error;
  for (double bad : {1e300, 100 + 1.1e7, 100 + 7 * 3600.0}) {
    EXPECT_FALSE(writer->WriteFrame(*frame, bad, &error)) << bad;
    EXPECT_NE(error.find("too far"), std::string::npos) << error;
  }
  ASSERT_TRUE(writer->RepeatFrame(std::nan(""), &error)) << error;
  ASSERT_TRUE(writer->WriteFrame(*frame, -std::numeric_limits<double>::infinity(), &error));
  ASSERT_TRUE(writer->RepeatFrame(100 + 3600.0, &error)) << error;
  ASSERT_TRUE(writer->Finish(&error)) << error;
  const std::vector<double> times = FrameTimes(Scratch("far.mp4"));
  ASSERT_EQ(times.size(), 4u);
  EXPECT_NEAR(times[2] - times[0], 0.08, 1e-4);
  EXPECT_NEAR(times[3] - times[0], 3600, 1e-4);

  // A device that is always full: the failure surfaces by Finish at the
  // latest, as a message.
  if (fs::exists("/dev/full")) {
    VideoWriterOptions lossless;
    lossless.codec = VideoCodec::FFV1;
    writer = VideoWriter::Open("/dev/full", lossless, &error);
    if (!writer) {
      // No container can be told from the name: give one through a link.
      const std::string link = Scratch("full-writer.mkv");
      fs::create_symlink("/dev/full", link);
      writer = VideoWriter::Open(link, lossless, &error);
    }
    ASSERT_TRUE(writer) << error;
    bool failed = false;
    for (int i = 0; i < 20 && !failed; ++i) {
      DibPtr noise = RandomImage(256, 256, 100 + i);
      failed = !writer->WriteFrame(*noise, -1, &error);
    }
    if (!failed) failed = !writer->Finish(&error);
    EXPECT_TRUE(failed);
    EXPECT_NE(error.find("No space"), std::string::npos) << error;
  }
}

TEST(VideoWriter, TheSourceSoundTrackIsCopiedOrCodedAgain) {
  test::Clip mp4;  // H.264 + AAC, 12 frames at 24 per second
  mp4.frames = 24;
  const std::string aacSource = test::MakeClip(mp4);
  test::Clip avi = mp4;  // MJPEG + PCM
  avi.format = "avi";
  const std::string pcmSource = test::MakeClip(avi);
  ASSERT_FALSE(aacSource.empty());
  ASSERT_FALSE(pcmSource.empty());
  const std::vector<DibPtr> frames = RandomFrames(32, 18, 24, 1);

  struct Case {
    std::string source, output;
    AudioHandling handling;
    std::string codec;
  };
  const std::vector<Case> cases = {
      {aacSource, "copy.mp4", AudioHandling::Copied, "aac"},
      {aacSource, "copy.mkv", AudioHandling::Copied, "aac"},
      {pcmSource, "pcm.mkv", AudioHandling::Copied, "pcm_s16le"},
      {pcmSource, "again.mp4", AudioHandling::Reencoded, "aac"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    std::vector<std::string> notes;
    VideoWriterOptions options;
    options.rate = 24;
    options.audioSource = c.source;
    options.onNote = [&](const std::string& text) { notes.push_back(text); };
    std::string error;
    auto writer = VideoWriter::Open(Scratch(c.output), options, &error);
    ASSERT_TRUE(writer) << error;
    EXPECT_EQ(writer->Audio(), c.handling);
    EXPECT_EQ(notes.size(), c.handling == AudioHandling::Reencoded ? 1u : 0u);
    for (const DibPtr& f : frames) ASSERT_TRUE(writer->WriteFrame(*f, -1, &error)) << error;
    ASSERT_TRUE(writer->Finish(&error)) << error;
    EXPECT_EQ(test::StreamCodecs(Scratch(c.output), "audio"), std::vector<std::string>{c.codec});
    // One second of pictures, about one second of sound.
    EXPECT_NEAR(test::StreamDuration(Scratch(c.output), "audio"), 1.0, 0.1);
    EXPECT_EQ(ReadFrames(Scratch(c.output)).size(), frames.size());
  }

  // From a later start only the rest of the track is carried: half a second
  // of pictures from 0.5 s on gets half a second of sound.
  VideoWriterOptions later;
  later.rate = 24;
  later.audioSource = aacSource;
  later.audioStart = 0.5;
  std::string error;
  auto writer = VideoWriter::Open(Scratch("later.mkv"), later, &error);
  ASSERT_TRUE(writer) << error;
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(writer->WriteFrame(*frames[i], -1, &error));
  ASSERT_TRUE(writer->Finish(&error)) << error;
  EXPECT_NEAR(test::StreamDuration(Scratch("later.mkv"), "audio"), 0.5, 0.1);

  // Pictures carry no sound; a source without sound or one that cannot be
  // read gives a video without it.
  test::Clip silent = mp4;
  silent.audio = false;
  const std::string silentSource = test::MakeClip(silent);
  ASSERT_FALSE(silentSource.empty());
  struct Quiet {
    std::string source, output;
    AudioHandling handling;
  };
  for (const Quiet& q :
       std::vector<Quiet>{{aacSource, "quiet_%02d.png", AudioHandling::None},
                          {silentSource, "quiet.mp4", AudioHandling::None},
                          {Scratch("missing.mp4"), "lost.mp4", AudioHandling::Skipped}}) {
    SCOPED_TRACE(q.output);
    std::vector<std::string> notes;
    VideoWriterOptions options;
    options.audioSource = q.source;
    options.onNote = [&](const std::string& text) { notes.push_back(text); };
    writer = VideoWriter::Open(Scratch(q.output), options, &error);
    ASSERT_TRUE(writer) << error;
    EXPECT_EQ(writer->Audio(), q.handling);
    EXPECT_EQ(notes.size(), q.handling == AudioHandling::Skipped ? 1u : 0u);
    ASSERT_TRUE(writer->WriteFrame(*frames[0], -1, &error));
    ASSERT_TRUE(writer->Finish(&error)) << error;
    if (q.output.find('%') == std::string::npos) {
      EXPECT_TRUE(test::StreamCodecs(Scratch(q.output), "audio").empty());
    }
  }
}

// Every sound track of the source is carried, copied where the container
// holds its codec and coded again as AAC where not, with its language and its
// default flag; audioTrack picks one.
TEST(VideoWriter, EverySoundTrackIsCarriedWithItsLanguageAndFlags) {
  const std::string source = Scratch("two tracks.mkv");
  ASSERT_EQ(test::RunProgram({"ffmpeg",
                              "-v",
                              "error",
                              "-y",
                              "-f",
                              "lavfi",
                              "-i",
                              "testsrc=size=64x36:rate=24:duration=2",
                              "-f",
                              "lavfi",
                              "-i",
                              "sine=frequency=440:sample_rate=48000:duration=2",
                              "-f",
                              "lavfi",
                              "-i",
                              "sine=frequency=880:sample_rate=44100:duration=2",
                              "-map",
                              "0:v",
                              "-map",
                              "1:a",
                              "-map",
                              "2:a",
                              "-c:v",
                              "ffv1",
                              "-c:a:0",
                              "aac",
                              "-c:a:1",
                              "pcm_s16le",
                              "-metadata:s:a:0",
                              "language=eng",
                              "-metadata:s:a:1",
                              "language=fra",
                              "-disposition:a:0",
                              "0",
                              "-disposition:a:1",
                              "default",
                              "file:" + source}),
            0);
  const std::vector<DibPtr> frames = RandomFrames(32, 18, 24, 3);
  struct Case {
    std::string output;
    int track;
    std::vector<std::string> expected;
    size_t notes;  // one per track coded again
  };
  const std::vector<Case> cases = {
      {"both.mkv", -1, {"aac eng", "pcm_s16le default fra"}, 0},
      {"both.mp4", -1, {"aac eng", "aac default fra"}, 1},
      {"second.mov", 1, {"pcm_s16le default fra"}, 0},
      {"first.mkv", 0, {"aac eng"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    std::vector<std::string> notes;
    VideoWriterOptions options;
    options.rate = 24;
    options.audioSource = source;
    options.audioTrack = c.track;
    options.onNote = [&](const std::string& text) { notes.push_back(text); };
    std::string error;
    auto writer = VideoWriter::Open(Scratch(c.output), options, &error);
    ASSERT_TRUE(writer) << error;
    EXPECT_EQ(writer->AudioTracks(), static_cast<int>(c.expected.size()));
    EXPECT_EQ(writer->Audio(), AudioHandling::Copied);  // the first one carried
    ASSERT_EQ(notes.size(), c.notes);
    if (c.notes > 0) {
      EXPECT_NE(notes[0].find("sound track 1 (fra)"), std::string::npos) << notes[0];
    }
    for (const DibPtr& f : frames) ASSERT_TRUE(writer->WriteFrame(*f, -1, &error)) << error;
    ASSERT_TRUE(writer->Finish(&error)) << error;
    EXPECT_EQ(StreamSummaries(Scratch(c.output), "a"), c.expected);
    EXPECT_EQ(StreamSummaries(Scratch(c.output), "v").size(), 1u);
    // Every track lasts as long as the pictures.
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_NEAR(test::StreamDuration(Scratch(c.output), "audio", static_cast<int>(i)), 1.0, 0.1)
          << "track " << i;
    }
  }

  // A track the source does not have is refused at once.
  VideoWriterOptions missing;
  missing.audioSource = source;
  missing.audioTrack = 2;
  std::string error;
  EXPECT_FALSE(VideoWriter::Open(Scratch("third.mkv"), missing, &error));
  EXPECT_NE(error.find("no sound track 2"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(Scratch("third.mkv")));
}

// A conversion stopped early (Finish after 5 of 48 frames) leaves a file that
// plays to its end: 5 frames, and sound that stops with them.
TEST(VideoWriter, FinishingAfterAFewFramesLeavesAPlayableFile) {
  test::Clip clip;
  clip.frames = 48;
  const std::string source = test::MakeClip(clip);
  ASSERT_FALSE(source.empty());
  const std::vector<DibPtr> frames = RandomFrames(32, 18, 5, 29);
  for (const auto& [name, codec] :
       std::vector<std::pair<std::string, VideoCodec>>{{"cut.mp4", VideoCodec::H264},
                                                       {"cut.mkv", VideoCodec::FFV1},
                                                       {"cut.avi", VideoCodec::FFV1},
                                                       {"cut.mov", VideoCodec::PNG}}) {
    SCOPED_TRACE(name);
    VideoWriterOptions options;
    options.codec = codec;
    options.rate = 24;
    options.audioSource = source;
    const Written w = WriteAll(Scratch(name), frames, options);
    ASSERT_TRUE(w.ok) << w.error;
    // Every frame of every stream decodes, without a complaint.
    std::string out, err;
    EXPECT_EQ(test::RunProgram({"ffprobe", "-v", "error", "-show_entries", "frame=media_type",
                                "-of", "csv=p=0", "file:" + Scratch(name)},
                               &out, &err),
              0);
    EXPECT_EQ(err, "");
    size_t pictures = 0;
    for (size_t at = out.find("video"); at != std::string::npos; at = out.find("video", at + 1)) {
      ++pictures;
    }
    EXPECT_EQ(pictures, 5u);
    EXPECT_EQ(ReadFrames(Scratch(name)).size(), 5u);
    EXPECT_NEAR(test::StreamDuration(Scratch(name), "audio"), 5.0 / 24, 0.03);
  }
}

}  // namespace
}  // namespace dioptrix
