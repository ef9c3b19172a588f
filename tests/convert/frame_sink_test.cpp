#include "display/frame_sink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "display/dispatch.h"
#include "formats/frame_images.h"
#include "platform/settings.h"
#include "playback/play_request.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

using test::RandomImage;
using test::SamePixels;

// Keeps a copy of every frame; fails from the given frame on.
class RecordingWriter : public FrameWriter {
 public:
  explicit RecordingWriter(int64_t failFrom = -1) : failFrom_(failFrom) {}
  bool WriteFrame(const cDIBSection& frame, double, std::string* error) override {
    ++calls;
    if (failFrom_ >= 0 && static_cast<int64_t>(frames.size()) >= failFrom_) {
      *error = "disk full";
      return false;
    }
    frames.push_back(frame.CopyOf());
    return true;
  }
  bool RepeatFrame(double, std::string* error) override {
    ++calls;
    if (frames.empty() || (failFrom_ >= 0 && static_cast<int64_t>(frames.size()) >= failFrom_)) {
      *error = frames.empty() ? "nothing to repeat" : "disk full";
      return false;
    }
    frames.push_back(frames.back()->CopyOf());
    return true;
  }
  std::vector<DibPtr> frames;
  int calls = 0;

 private:
  int64_t failFrom_;
};

TEST(FrameSink, WritesEveryFrameAsItIsAndStopsAtTheLimit) {
  Host host;
  MessageLog log;
  log.Attach(host);
  RecordingWriter writer;
  int16_t stop = kFalse;
  FrameSink sink(host, writer, stop);
  std::vector<int64_t> progress;
  sink.onFrame = [&](int64_t n) { progress.push_back(n); };
  sink.SetFrameLimit(3);

  // The fullscreen wish, the mode flag and line codes change nothing.
  DibPtr code = RandomImage(8, 8, 1);
  EXPECT_TRUE(sink.OpenDisplay(true, 33, 17, true, true, code.get(), code.get()));
  EXPECT_TRUE(sink.Opened());
  EXPECT_EQ(sink.Width(), 33);
  EXPECT_EQ(sink.Height(), 17);
  sink.ResizeSurface(20, 10);
  EXPECT_EQ(sink.Width(), 20);

  std::vector<DibPtr> shown;
  for (int i = 0; i < 3; ++i) {
    shown.push_back(RandomImage(33, 17, 10 + i));
    EXPECT_EQ(stop, kFalse) << "stopped before frame " << i;
    // Scaling is never asked of the sink: the frame is written at its size.
    EXPECT_TRUE(sink.PutImage(*shown.back(), i % 2 == 0, true));
  }
  EXPECT_EQ(stop, kTrue);  // the third frame reached the limit
  EXPECT_EQ(sink.FramesWritten(), 3);
  EXPECT_EQ(progress, (std::vector<int64_t>{1, 2, 3}));
  ASSERT_EQ(writer.frames.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(SamePixels(*writer.frames[i], *shown[i]));

  // Closing leaves the writer alone; no end code is written.
  EXPECT_TRUE(sink.CloseDisplay());
  EXPECT_FALSE(sink.Opened());
  EXPECT_EQ(writer.calls, 3);
  EXPECT_TRUE(log.entries.empty());

  // Without a limit the flag is never touched.
  RecordingWriter open;
  int16_t untouched = kFalse;
  FrameSink endless(host, open, untouched);
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(endless.PutImage(*shown[0], false, true));
  EXPECT_EQ(untouched, kFalse);
}

TEST(FrameSink, AWriteFailureStopsThePlaybackWithAMessage) {
  Host host;
  MessageLog log;
  log.Attach(host);
  RecordingWriter writer(/*failFrom=*/2);
  int16_t stop = kFalse;
  FrameSink sink(host, writer, stop);
  sink.OpenDisplay(false, 8, 8, true, false, nullptr, nullptr);
  DibPtr frame = RandomImage(8, 8, 3);
  EXPECT_TRUE(sink.PutImage(*frame, false, true));
  EXPECT_TRUE(sink.PutImage(*frame, false, true));
  EXPECT_EQ(stop, kFalse);
  EXPECT_FALSE(sink.PutImage(*frame, false, true));
  EXPECT_EQ(stop, kTrue);
  EXPECT_TRUE(sink.Failed());
  ASSERT_EQ(log.Texts(), std::vector<std::string>{std::string(kWriteFrameError) + "disk full"});
  // Later frames fail at once, without another message or another try.
  stop = kFalse;
  EXPECT_FALSE(sink.PutImage(*frame, false, true));
  EXPECT_EQ(stop, kTrue);
  EXPECT_EQ(writer.calls, 3);
  EXPECT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(sink.FramesWritten(), 2);
}

// Frames the playback skips (the source could not deliver them) are replaced,
// so that the output keeps one frame per source frame: by the frame before,
// and at the start by the first one delivered; the limit still holds.
TEST(FrameSink, SkippedFramesAreReplacedSoTheTimingHolds) {
  Host host;
  MessageLog log;
  log.Attach(host);
  RecordingWriter writer;
  int16_t stop = kFalse;
  FrameSink sink(host, writer, stop);
  int32_t current = 0;
  sink.FollowFrames(&current, 10);  // the output starts at source frame 10
  sink.SetFrameLimit(9);
  std::vector<DibPtr> pictures;
  for (int32_t n : {12, 13, 15}) {
    current = n;
    pictures.push_back(RandomImage(6, 4, static_cast<uint32_t>(n)));
    EXPECT_TRUE(sink.PutImage(*pictures.back(), false, true));
  }
  EXPECT_TRUE(sink.FillUpTo(18));  // 16 and 17 missing at the end
  EXPECT_EQ(sink.MissingFrames(), (std::vector<int64_t>{10, 11, 14, 16, 17}));
  // 10, 11, 12 all show 12; 13; 14 shows 13; 15; 16, 17 show 15.
  const int expected[] = {0, 0, 0, 1, 1, 2, 2, 2};
  ASSERT_EQ(writer.frames.size(), 8u);
  for (size_t i = 0; i < 8; ++i)
    EXPECT_TRUE(SamePixels(*writer.frames[i], *pictures[expected[i]])) << i;
  EXPECT_EQ(stop, kFalse);
  // The limit counts the stand-ins too.
  current = 30;
  EXPECT_TRUE(sink.PutImage(*pictures[0], false, true));
  EXPECT_EQ(sink.FramesWritten(), 9);
  EXPECT_EQ(stop, kTrue);
  EXPECT_TRUE(log.entries.empty());
}

// Every byte of `from` inverted into `to`, a picture of the same size.
void InvertInto(const cDIBSection& from, cDIBSection& to) {
  for (size_t i = 0; i < from.ImageSize(); ++i)
    to.DIBSectionBitsPtr()[i] = static_cast<uint8_t>(~from.DIBSectionBitsPtr()[i]);
}

// A replacement (the converter's depth map) is written in place of each
// composed frame, and a stand-in for a skipped frame repeats it.
TEST(FrameSink, AReplacementIsWrittenInPlaceOfEachComposedFrame) {
  Host host;
  RecordingWriter writer;
  int16_t stop = kFalse;
  FrameSink sink(host, writer, stop);
  int32_t current = 0;
  sink.FollowFrames(&current, 0);
  // One picture, filled again for every frame: the composed one's bytes
  // inverted.
  DibPtr replacement = RandomImage(6, 4, 0);
  sink.ReplaceFrames([&](const cDIBSection& composed) -> const cDIBSection& {
    InvertInto(composed, *replacement);
    return *replacement;
  });
  std::vector<DibPtr> composed, inverted;
  for (int32_t n : {0, 2}) {
    current = n;
    composed.push_back(RandomImage(6, 4, static_cast<uint32_t>(n + 1)));
    inverted.push_back(RandomImage(6, 4, 0));
    InvertInto(*composed.back(), *inverted.back());
    EXPECT_TRUE(sink.PutImage(*composed.back(), false, true));
  }
  ASSERT_EQ(writer.frames.size(), 3u);  // frame 1 stands in for the skipped one
  EXPECT_TRUE(SamePixels(*writer.frames[0], *inverted[0]));
  EXPECT_TRUE(SamePixels(*writer.frames[1], *inverted[0]));
  EXPECT_TRUE(SamePixels(*writer.frames[2], *inverted[1]));
}

TEST(FrameSink, EveryOutputMethodReachesTheSinkThroughTheDispatch) {
  for (int16_t method = 1; method <= 8; ++method) {
    SCOPED_TRACE(method);
    Host host;
    MessageLog log;
    log.Attach(host);
    Settings settings;
    FrameImages frames;
    frames.OutputFrame = RandomImage(24, 12, 40 + method);
    RecordingWriter writer(/*failFrom=*/1);
    int16_t stop = kFalse;
    FrameSink sink(host, writer, stop);
    DisplayDevices devices{&sink, &sink, &sink};
    DisplayContext ctx{host, settings, frames, devices};
    OutputRequest request;
    request.OutputMethod = method;
    request.Fullscreen = kFalse;

    OpenOutputDisplay(ctx, request);
    EXPECT_TRUE(sink.Opened());
    EXPECT_EQ(sink.Width(), 24);
    EXPECT_EQ(sink.Height(), 12);
    EXPECT_TRUE(ShowOutputFrame(ctx, request, true));
    ASSERT_EQ(writer.frames.size(), 1u);
    EXPECT_TRUE(SamePixels(*writer.frames[0], *frames.OutputFrame));
    // The second frame fails. Some methods report success whatever the
    // back-end says; the stop flag ends the playback all the same.
    ShowOutputFrame(ctx, request, true);
    EXPECT_EQ(stop, kTrue);
    CloseOutputDisplay(ctx, request);
    EXPECT_FALSE(sink.Opened());
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].text.rfind(kWriteFrameError, 0), 0u);
  }
}

}  // namespace
}  // namespace dioptrix
