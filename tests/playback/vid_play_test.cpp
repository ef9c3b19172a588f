#include "playback/vid_play.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "display/callback.h"
#include "playback/audio.h"
#include "tests/common/test_images.h"
#include "tests/playback/playback_fakes.h"

namespace dioptrix {
namespace {

using test::FakeFrameSource;
using test::TempDir;

std::vector<int32_t> Range(int32_t from, int32_t to) {
  std::vector<int32_t> v;
  for (int32_t i = from; i <= to; ++i) v.push_back(i);
  return v;
}

struct PlayTest : ::testing::Test {
  ProgramContext ctx;
  MessageLog log;
  test::RecordingDisplay blit, directX, openGL;
  test::FakeClock clock;
  test::FakeAudioTrack track;
  FakeFrameSource::Log requests;
  std::function<void()> onPump;
  int64_t pumps = 0;

  void SetUp() override {
    log.Attach(ctx.host);
    ctx.Displays = {&blit, &directX, &openGL};
    ctx.audio.clock = &clock;
    for (auto* d : {&blit, &directX, &openGL}) d->clock = &clock;
    // Every pass of the event pump takes a millisecond of the fake clock.
    ctx.host.onPumpEvents = [this] {
      ++pumps;
      clock.Advance(1);
      if (onPump) onPump();
    };
  }

  // Streams of the given shape instead of files; the frames in `missing`
  // cannot be delivered.
  void UseFakeStream(int32_t width, int32_t height, int32_t length, uint32_t rate = 25,
                     uint32_t scale = 1) {
    ctx.video.Opener = [=, this](const std::string&, VideoOpenFailure&) {
      auto s = std::make_unique<FakeFrameSource>(width, height, length, rate, scale, &requests);
      s->missing = missing;
      return s;
    };
  }

  // Side by side in, side by side out: the source frames reach the display
  // untouched, so the display sees the frame numbers.
  static PlayRequest PassThrough() {
    PlayRequest r;
    r.OpenPath = "/v/fake.avi";
    r.AudioPath = "/v/fake.avi";
    r.AudioMethod = kAudioClock;
    r.InputLayout = kLayoutSideBySide;
    r.OutputMethod = kOutputStereoDriver;
    r.Fullscreen = kTrue;
    return r;
  }

  std::set<int32_t> missing;
};

TEST_F(PlayTest, ClockPacingHoldsEachFrameOneFramePeriodAfterItsPut) {
  UseFakeStream(64, 48, 10, 25, 1);
  PlayRequest request = PassThrough();
  PlayVideo(ctx, request);

  EXPECT_TRUE(log.entries.empty());
  EXPECT_EQ(directX.Frames(), Range(0, 9));  // no frame skipped
  for (size_t i = 1; i < directX.puts.size(); ++i) {
    const int64_t held = directX.puts[i].time - directX.puts[i - 1].time;
    // 40 ms, plus the one pass of the event pump that ends the wait.
    EXPECT_GE(held, 40) << i;
    EXPECT_LE(held, 41) << i;
  }
  EXPECT_EQ(directX.calls.front(), "open");
  EXPECT_EQ(directX.calls.back(), "close");
  EXPECT_EQ(ctx.CurrentFrame, 9);
  EXPECT_EQ(ctx.DisplayOpenPending, kFalse);
  EXPECT_FALSE(ctx.audio.AudioClock);    // released by CloseAudio
  EXPECT_EQ(ctx.video.Stream, nullptr);  // released by CloseVideo
  EXPECT_EQ(request.FrameRate, 25.0);

  // Without AudioSync = 1 nothing waits: one pass of the pump per frame.
  blit.puts.clear();
  directX.puts.clear();
  pumps = 0;
  request.AudioSync = 0;
  PlayVideo(ctx, request);
  EXPECT_EQ(directX.Frames(), Range(0, 9));
  EXPECT_EQ(pumps, 10);
}

TEST_F(PlayTest, GraphAudioAheadDropsFramesAndBehindWaits) {
  UseFakeStream(64, 48, 80, 25, 1);
  ctx.audio.track = &track;
  // The sound runs 2 s ahead of the first frame and moves with the clock.
  const int64_t origin = clock.now;
  track.graphPosition = [&] { return 2.0 + (clock.now - origin) / 1000.0; };
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioGraph;
  request.AudioPath = "/v/sound.mp4";
  request.StartFrame = 0;
  PlayVideo(ctx, request);

  const std::vector<int32_t> frames = directX.Frames();
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(frames[0], 0);
  EXPECT_EQ(frames[1], 51);  // 50 frames after the start, plus one
  // Then in step with the sound: no more jumps of more than a frame or two.
  for (size_t i = 2; i < frames.size(); ++i) EXPECT_LE(frames[i] - frames[i - 1], 2) << i;
  EXPECT_EQ(track.calls.front(), "build /v/sound.mp4");
  EXPECT_EQ(track.calls[1], "remove video");
  EXPECT_EQ(track.calls[2], "run 0.000000");
  EXPECT_EQ(track.calls.back(), "stop");
  EXPECT_TRUE(log.entries.empty());

  // Sound 0.2 s behind frame 70: that frame is held (pumping events) until
  // the sound reaches it, and no frame is dropped.
  directX.puts.clear();
  const int64_t late = clock.now;
  track.graphPosition = [&] { return 2.6 + (clock.now - late) / 1000.0; };
  request.StartFrame = 70;
  const int64_t pumpsBefore = pumps;
  PlayVideo(ctx, request);
  EXPECT_EQ(track.calls[track.calls.size() - 2], "run 2.800000");
  EXPECT_EQ(directX.Frames(), Range(70, 79));
  EXPECT_GE(directX.puts[1].time - directX.puts[0].time, 180);  // within half a frame
  EXPECT_GE(pumps - pumpsBefore, 180);

  // A negative position is no position: nothing waits.
  directX.puts.clear();
  track.graphPosition = [] { return -1.0; };
  pumps = 0;
  PlayVideo(ctx, request);
  EXPECT_EQ(directX.Frames(), Range(70, 79));
  EXPECT_EQ(pumps, 10);
}

TEST_F(PlayTest, MciAudioBehindWaitsAndAheadJumps) {
  UseFakeStream(64, 48, 60, 25, 1);
  ctx.audio.track = &track;
  const int64_t origin = clock.now;
  int64_t offsetMs = -300;  // the sound starts 0.3 s behind
  track.mciPosition = [&] { return static_cast<int32_t>(clock.now - origin + offsetMs); };
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioMci;
  request.StartFrame = 0;
  PlayVideo(ctx, request);

  // Behind: frame 0 waits about 300 ms for the sound, then the frames follow
  // one by one.
  ASSERT_GE(directX.puts.size(), 2u);
  EXPECT_GE(directX.puts[1].time - directX.puts[0].time, 280);
  EXPECT_EQ(directX.Frames(), Range(0, 59));
  EXPECT_EQ(track.calls.front(), "mci open /v/fake.avi 0 notify");
  EXPECT_EQ(track.calls.back(), "mci close");

  // Ahead by a second: after the first frame the video jumps to the sound.
  directX.puts.clear();
  track.calls.clear();
  const int64_t again = clock.now;
  track.mciPosition = [&] { return static_cast<int32_t>(1000 + (clock.now - again)); };
  PlayVideo(ctx, request);
  ASSERT_GE(directX.puts.size(), 2u);
  EXPECT_EQ(directX.puts[1].frame, 26);
}

TEST_F(PlayTest, StartFrameBeyondTheLastFrameShowsNothing) {
  UseFakeStream(64, 48, 30);
  ctx.audio.track = &track;
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioGraph;
  request.StartFrame = 30;
  request.Loop = 1;  // must not repeat an empty run forever
  PlayVideo(ctx, request);
  EXPECT_EQ(track.calls, (std::vector<std::string>{"build /v/fake.avi", "remove video",
                                                   "run 1.200000", "stop"}));
  EXPECT_TRUE(requests.requested.empty());
  for (auto* d : {&blit, &directX, &openGL}) EXPECT_TRUE(d->puts.empty());
  EXPECT_EQ(directX.calls, std::vector<std::string>{"close"});  // never opened
  EXPECT_EQ(ctx.DisplayOpenPending, kTrue);
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(PlayTest, PassThroughKeepsTheDecodeAndEncodeFigures) {
  UseFakeStream(64, 48, 5);
  ctx.StageTimes = {0.5f, 0.25f, 0.125f, 0.0625f};
  PlayRequest request = PassThrough();
  request.OutputMethod = kOutputOpenGLQuadBuffer;
  request.AudioSync = 0;
  PlayVideo(ctx, request);
  EXPECT_EQ(openGL.Frames(), Range(0, 4));
  EXPECT_EQ(openGL.puts[0].width, 64);  // the source frame, not composed again
  EXPECT_EQ(ctx.StageTimes[kStageDecode], 0.25f);
  EXPECT_EQ(ctx.StageTimes[kStageEncode], 0.125f);
  EXPECT_LT(ctx.StageTimes[kStageGetFrame], 0.5f);
  EXPECT_LT(ctx.StageTimes[kStagePut], 0.0625f);

  // Side by side decoded and composed again: the figures move.
  request.OutputMethod = kOutputAnaglyphColour;
  PlayVideo(ctx, request);
  EXPECT_LT(ctx.StageTimes[kStageDecode], 0.25f);
  EXPECT_EQ(blit.puts.back().width, 32);

  // The running average: 1/30 of a new figure joins 29/30 of the old one.
  EXPECT_FLOAT_EQ(AverageStageTime(0.0f, 0.3), 0.01f);
  EXPECT_FLOAT_EQ(AverageStageTime(0.3f, 0.0), 0.29f);

  PlayRequest r;
  for (int16_t layout = 0; layout <= 8; ++layout) {
    for (int16_t method = 0; method <= 9; ++method) {
      for (int16_t full : {kFalse, kTrue}) {
        r.InputLayout = layout, r.OutputMethod = method, r.Fullscreen = full;
        const bool expected = (layout == 5 && (method == 6 || method == 8)) ||
                              (layout == 2 && method == 5 && full == kFalse);
        EXPECT_EQ(IsPassThrough(r), expected) << layout << " " << method << " " << full;
      }
    }
  }
}

TEST_F(PlayTest, InvalidLayoutOrMethodEndsTheRun) {
  UseFakeStream(64, 48, 10);
  ctx.audio.track = &track;
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioGraph;
  request.InputLayout = 9;
  request.Loop = 1;
  PlayVideo(ctx, request);
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Invalid input video format. 9"});
  EXPECT_EQ(requests.requested, std::vector<int32_t>{0});  // ended after the first fetch
  EXPECT_EQ(directX.calls, std::vector<std::string>{"close"});
  EXPECT_EQ(track.calls.back(), "stop");
  EXPECT_EQ(ctx.video.Stream, nullptr);

  // An unknown output method: composition, opening and showing each say so;
  // the frame cannot be shown and the playback stops.
  log.entries.clear();
  requests.requested.clear();
  request.InputLayout = kLayout2D;
  request.OutputMethod = 12;
  PlayVideo(ctx, request);
  EXPECT_EQ(log.Texts(), std::vector<std::string>(4, "Invalid output format.12"));
  EXPECT_EQ(requests.requested, std::vector<int32_t>{0});
  EXPECT_EQ(ctx.StopRequested, kTrue);
}

TEST_F(PlayTest, AKeyOnTheDisplayEndsPlaybackAfterTheCurrentFrame) {
  UseFakeStream(64, 48, 30);
  PlayRequest request = PassThrough();
  CallbackContext callbacks{ctx.host, ctx.Callbacks, ctx.StopRequested};
  bool pressed = false;
  directX.onPut = [&] { pressed = directX.puts.size() == 3; };
  onPump = [&] {
    if (pressed) OnKey(callbacks, directX, 32, 0);
  };
  PlayVideo(ctx, request);
  EXPECT_EQ(directX.Frames(), Range(0, 2));
  EXPECT_EQ(directX.calls.back(), "close");
  EXPECT_EQ(ctx.Callbacks.ClickAction, 2);
  EXPECT_EQ(ctx.Callbacks.LostAction, 0);
  EXPECT_EQ(ctx.Callbacks.KeyAction, 2);
  EXPECT_EQ(ctx.StopRequested, kTrue);
  EXPECT_TRUE(log.entries.empty());

  // A display that cannot show a frame stops the playback the same way.
  directX.onPut = nullptr;
  directX.puts.clear();
  directX.putResult = false;
  PlayVideo(ctx, request);
  EXPECT_EQ(directX.Frames(), std::vector<int32_t>{0});
  EXPECT_EQ(ctx.StopRequested, kTrue);
}

TEST_F(PlayTest, LoopRepeatsFromTheStartFrameUntilStopped) {
  UseFakeStream(64, 48, 10);
  ctx.audio.track = &track;
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioGraph;
  track.graphPosition = [] { return -1.0; };  // no position: no pacing
  request.Loop = 1;
  request.StartFrame = 4;
  directX.onPut = [&] {
    if (directX.puts.size() == 15) ctx.StopRequested = kTrue;
  };
  PlayVideo(ctx, request);
  std::vector<int32_t> expected = Range(4, 9);
  for (int32_t f : Range(4, 9)) expected.push_back(f);
  for (int32_t f : Range(4, 6)) expected.push_back(f);
  EXPECT_EQ(directX.Frames(), expected);
  EXPECT_EQ(std::count(track.calls.begin(), track.calls.end(), "run 0.160000"), 3);
  EXPECT_EQ(std::count(track.calls.begin(), track.calls.end(), "stop"), 3);
  EXPECT_EQ(std::count(directX.calls.begin(), directX.calls.end(), "open"), 1);
  EXPECT_EQ(std::count(directX.calls.begin(), directX.calls.end(), "close"), 1);
}

TEST_F(PlayTest, FramesTheSourceCannotDeliverAreSkipped) {
  missing = {0, 3, 4, 9};
  UseFakeStream(64, 48, 10);
  PlayRequest request = PassThrough();
  PlayVideo(ctx, request);
  EXPECT_EQ(directX.Frames(), (std::vector<int32_t>{1, 2, 5, 6, 7, 8}));
  EXPECT_EQ(ctx.CurrentFrame, 9);
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(PlayTest, AudioThatCannotPlayFallsBackToTheClock) {
  UseFakeStream(64, 48, 3);
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioGraph;  // no track installed
  PlayVideo(ctx, request);
  EXPECT_EQ(log.Texts(), std::vector<std::string>{kUnableToPlayTrack});
  EXPECT_EQ(request.AudioMethod, kAudioClock);
  EXPECT_EQ(request.AudioSync, 1);
  EXPECT_GE(directX.puts[1].time - directX.puts[0].time, 40);  // clock pacing

  // An unknown method: one message on open, the close is silent.
  log.entries.clear();
  request.AudioMethod = 2;
  PlayVideo(ctx, request);
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Unsupported audio source: 2"});

  // No high-resolution counter either: no pacing at all.
  log.entries.clear();
  directX.puts.clear();
  clock.perSecond = 0;
  request.AudioMethod = kAudioMci;
  PlayVideo(ctx, request);
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{kUnableToOpenAudio,
                                      std::string(kAudioErrorPrefix) +
                                          "The hardware does not support high resolution timing"}));
  EXPECT_EQ(request.AudioSync, 0);
  EXPECT_EQ(directX.Frames(), Range(0, 2));
}

TEST(AudioDispatch, OpenAndCloseByMethod) {
  ProgramContext ctx;
  MessageLog log;
  log.Attach(ctx.host);
  test::FakeAudioTrack track;
  ctx.audio.track = &track;
  PlayRequest r;
  r.AudioPath = "/v/walk.mpg";
  r.FrameRate = 25;
  r.StartFrame = 100;

  r.AudioMethod = kAudioMci;
  EXPECT_TRUE(OpenAudio(ctx, r));
  r.FrameRate = 29.97;
  r.StartFrame = 1;
  EXPECT_TRUE(OpenAudio(ctx, r));
  CloseAudio(ctx, r);
  EXPECT_EQ(track.calls, (std::vector<std::string>{"mci open /v/walk.mpg 4000 notify",
                                                   "mci open /v/walk.mpg 33 notify", "mci close"}));
  track.openResult = -1;
  EXPECT_FALSE(OpenAudio(ctx, r));
  track.openResult = 263;
  EXPECT_FALSE(OpenAudio(ctx, r));
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{kUnableToOpenAudio, kLoadedButNotPlaying}));

  // Graph: seeks to StartFrame / FrameRate. A graph that cannot be built is
  // reported, but the run's answer decides.
  log.entries.clear();
  track.calls.clear();
  r.AudioMethod = kAudioGraph;
  r.FrameRate = 25;
  r.StartFrame = 100;
  EXPECT_TRUE(OpenAudio(ctx, r));
  track.buildResult = false;
  EXPECT_TRUE(OpenAudio(ctx, r));
  track.runResult = false;
  EXPECT_FALSE(OpenAudio(ctx, r));
  CloseAudio(ctx, r);
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{kUnableToPlayTrack, kUnableToPlayTrack}));
  EXPECT_EQ(track.calls[2], "run 4.000000");
  EXPECT_EQ(track.calls.back(), "stop");

  // A zero frame rate is a run-time error of the open.
  log.entries.clear();
  r.FrameRate = 0;
  r.AudioMethod = kAudioMci;
  EXPECT_FALSE(OpenAudio(ctx, r));
  EXPECT_EQ(log.Texts(),
            std::vector<std::string>{std::string(kAudioErrorPrefix) + "Division by zero"});

  // Clock: the timer exists from open to close.
  log.entries.clear();
  r.AudioMethod = kAudioClock;
  EXPECT_TRUE(OpenAudio(ctx, r));
  EXPECT_TRUE(ctx.audio.AudioClock);
  EXPECT_EQ(ctx.audio.AudioClockFrequency, 1e9);
  CloseAudio(ctx, r);
  EXPECT_FALSE(ctx.audio.AudioClock);

  r.AudioMethod = 2;
  EXPECT_FALSE(OpenAudio(ctx, r));
  CloseAudio(ctx, r);
  EXPECT_EQ(log.Texts(), std::vector<std::string>(2, "Unsupported audio source: 2"));
}

TEST_F(PlayTest, EveryLayoutAndMethodSurvivesTinyFrames) {
  // 1x1, 2x1 and odd sizes through every decoder and composition; messages
  // are allowed, faults are not.
  for (const auto& [w, h] : std::vector<std::pair<int32_t, int32_t>>{{1, 1}, {2, 1}, {5, 3}}) {
    UseFakeStream(w, h, 3);
    for (int16_t layout = 1; layout <= 7; ++layout) {
      for (int16_t method = 1; method <= 8; ++method) {
        for (int16_t full : {kFalse, kTrue}) {
          PlayRequest r = PassThrough();
          r.InputLayout = layout, r.OutputMethod = method, r.Fullscreen = full;
          r.AudioSync = 0;
          PlayVideo(ctx, r);
          EXPECT_EQ(ctx.video.Stream, nullptr);
        }
      }
    }
  }
}

// Real clips through the whole pipeline, the blocks library included.
struct RealClipTest : PlayTest {
  static std::string Clip(const std::string& kind, int32_t w = 64, int32_t h = 48,
                          int32_t frames = 30) {
    return test::MakeClip(kind, w, h, frames);
  }
  PlayRequest Request(const std::string& path, int16_t layout, int16_t method) {
    PlayRequest r;
    r.OpenPath = r.AudioPath = path;
    r.AudioMethod = kAudioClock;
    r.InputLayout = layout;
    r.OutputMethod = method;
    return r;
  }
};

TEST_F(RealClipTest, StereoClipsPlayThroughTheirDecoders) {
  const std::string twoD = Clip("2d"), sbs = Clip("sbs"), ab = Clip("ab"), rows = Clip("rows");
  ASSERT_FALSE(twoD.empty() || sbs.empty() || ab.empty() || rows.empty());

  // 2D converted to 3D shown side by side: the first frame of the playback
  // starts the conversion (blank right view), later frames continue it.
  openGL.keepImages = true;
  PlayRequest r = Request(twoD, kLayout2DTo3D, kOutputOpenGLQuadBuffer);
  PlayVideo(ctx, r);
  EXPECT_TRUE(log.entries.empty()) << log.entries[0].text;
  ASSERT_EQ(openGL.images.size(), 30u);
  auto rightHalfBlank = [](const cDIBSection& img) {
    for (int32_t y = 0; y < img.Height(); ++y)
      for (int32_t x = img.Width() / 2; x < img.Width(); ++x)
        for (int c = 0; c < 3; ++c)
          if (test::PixelAt(img, x, y)[c] != 0) return false;
    return true;
  };
  EXPECT_EQ(openGL.images[0]->Width(), 128);
  EXPECT_TRUE(rightHalfBlank(*openGL.images[0]));
  EXPECT_FALSE(rightHalfBlank(*openGL.images[5]));
  EXPECT_GT(ctx.MeanFrameTime, 0.0f);
  for (float t : ctx.StageTimes) EXPECT_GT(t, 0.0f);

  const struct {
    std::string path;
    int16_t layout, method;
    test::RecordingDisplay* display;
    int32_t width, height;
  } cases[] = {
      {sbs, kLayoutSideBySide, kOutputAnaglyphColour, &blit, 32, 48},
      {ab, kLayoutAboveBelow, kOutputAnaglyphGrey, &blit, 64, 24},
      {rows, kLayoutInterleaved, kOutputInterlaced, &blit, 64, 48},     // pass-through
      {ab, kLayoutAboveBelow, kOutputShutterED, &openGL, 640, -1},      // fitted to the screen mode
      {sbs, kLayoutSideBySide, kOutputStereoDriver, &directX, 64, 48},  // pass-through
  };
  for (const auto& c : cases) {
    c.display->puts.clear();
    PlayRequest request = Request(c.path, c.layout, c.method);
    PlayVideo(ctx, request);
    ASSERT_EQ(c.display->puts.size(), 30u) << c.layout << " " << c.method;
    EXPECT_EQ(c.display->puts[0].width, c.width) << c.layout << " " << c.method;
    if (c.height > 0) {
      EXPECT_EQ(c.display->puts[0].height, c.height) << c.layout << " " << c.method;
    }
  }
  EXPECT_TRUE(log.entries.empty()) << log.entries[0].text;
}

TEST_F(RealClipTest, BadFilesGiveTheirMessageAndShowNothing) {
  TempDir dir;
  std::ofstream(dir / "empty.avi").flush();
  std::ofstream(dir / "text.avi") << "Only text, no video.\n";
  const std::string audio = Clip("audio", 64, 48, 10);
  const std::string tiny = Clip("2d", 1, 1, 4);
  ASSERT_FALSE(audio.empty() || tiny.empty());
  for (const std::string& path : {dir / "missing.avi", dir / "empty.avi", dir / "text.avi", audio,
                                  dir / "with space and \"quotes\" 'too'.avi"}) {
    log.entries.clear();
    PlayRequest r = Request(path, kLayout2DTo3D, kOutputAnaglyphColour);
    PlayVideo(ctx, r);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{kOpenVideoError}) << path;
    EXPECT_TRUE(blit.calls.empty()) << path;
  }

  // A 1x1 clip plays to its end whatever the messages.
  log.entries.clear();
  PlayRequest r = Request(tiny, kLayout2DTo3D, kOutputAnaglyphColour);
  PlayVideo(ctx, r);
  EXPECT_EQ(blit.calls.back(), "close");
}

}  // namespace
}  // namespace dioptrix
