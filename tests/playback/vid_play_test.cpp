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
#include "playback/filter_graph.h"
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
  test::FakeSound::Script sound;         // what the media players did
  std::vector<std::string> mciCommands;  // the command strings sent
  FakeFrameSource::Log requests;
  std::function<void()> onPump;
  int64_t pumps = 0;

  void SetUp() override {
    log.Attach(ctx.host);
    ctx.Displays = {&blit, &directX, &openGL};
    ctx.audio.mci.onCommand = [this](std::string_view c) { mciCommands.emplace_back(c); };
    ctx.audio.clock = &clock;
    for (auto* d : {&blit, &directX, &openGL}) d->clock = &clock;
    // Every pass of the event pump takes a millisecond of the fake clock.
    ctx.host.onPumpEvents = [this] {
      ++pumps;
      clock.Advance(1);
      if (onPump) onPump();
    };
  }

  // Media players on the fake script.
  void UseSound() { ctx.audio.SetSoundFactory(test::FakeSoundFactory(sound)); }

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
  UseSound();
  // The sound runs 2 s ahead of the first frame and moves with the clock.
  const int64_t origin = clock.now;
  sound.position = [&] { return 2.0 + (clock.now - origin) / 1000.0; };
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
  // The file rendered whole, its picture path cut (the renderer's pad too),
  // run from the start and stopped at the end.
  EXPECT_EQ(std::vector<std::string>(sound.calls.begin(), sound.calls.begin() + 4),
            (std::vector<std::string>{"open /v/sound.mp4 every", "unlink Decoder/Video Stream 00",
                                      "unlink Video Renderer/Video In", "play 0.000"}));
  EXPECT_EQ(sound.calls.back(), "stop");
  EXPECT_TRUE(log.entries.empty());

  // Sound 0.2 s behind frame 70: that frame is held (pumping events) until
  // the sound reaches it, and no frame is dropped.
  directX.puts.clear();
  const int64_t late = clock.now;
  sound.position = [&] { return 2.6 + (clock.now - late) / 1000.0; };
  request.StartFrame = 70;
  const int64_t pumpsBefore = pumps;
  PlayVideo(ctx, request);
  EXPECT_EQ(sound.calls[sound.calls.size() - 2], "play 2.800");
  EXPECT_EQ(directX.Frames(), Range(70, 79));
  EXPECT_GE(directX.puts[1].time - directX.puts[0].time, 180);  // within half a frame
  EXPECT_GE(pumps - pumpsBefore, 180);

  // A player that cannot tell its position stands still at the last one it
  // gave: after half a second the clock paces the rest, and the statistics
  // say so once.
  directX.puts.clear();
  sound.position = [] { return -1.0; };
  PlayVideo(ctx, request);
  EXPECT_EQ(directX.Frames(), Range(70, 79));
  EXPECT_GE(directX.puts[2].time - directX.puts[1].time, 500);
  EXPECT_LE(directX.puts.back().time - directX.puts[2].time, 7 * 40 + 20);
  EXPECT_EQ(ctx.PlaybackNotes.size(), 1u);
  EXPECT_TRUE(log.entries.empty());
}

// A sound track that ends before the picture: the last frames are paced by
// the clock instead of waiting forever for a position that never comes.
TEST_F(PlayTest, ASoundTrackShorterThanThePictureReachesTheLastFrame) {
  UseFakeStream(64, 48, 50, 25, 1);
  UseSound();
  const int64_t origin = clock.now;
  sound.position = [&] { return std::min(0.8, (clock.now - origin) / 1000.0); };  // 20 frames
  for (int16_t method : {kAudioGraph, kAudioMci}) {
    SCOPED_TRACE(method);
    directX.puts.clear();
    PlayRequest request = PassThrough();
    request.AudioMethod = method;
    PlayVideo(ctx, request);
    ASSERT_FALSE(directX.puts.empty());
    EXPECT_EQ(directX.Frames().back(), 49);
    ASSERT_EQ(ctx.PlaybackNotes.size(), 1u);
    EXPECT_NE(ctx.PlaybackNotes[0].find("The sound track stopped at 0.8 s"), std::string::npos)
        << ctx.PlaybackNotes[0];
    EXPECT_EQ(ctx.audio.AudioClock.has_value(), false);  // the clock was only the run's
  }
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(PlayTest, MciAudioBehindWaitsAndAheadJumps) {
  UseFakeStream(64, 48, 60, 25, 1);
  UseSound();
  const int64_t origin = clock.now;
  // The sound starts 0.3 s behind: its position stays at 0 for 0.3 s.
  sound.position = [&] { return std::max<int64_t>(clock.now - origin - 300, 0) / 1000.0; };
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioMci;
  request.StartFrame = 0;
  PlayVideo(ctx, request);

  // Behind: frame 1 waits about 300 ms for the sound, then the frames follow
  // one by one.
  ASSERT_GE(directX.puts.size(), 3u);
  EXPECT_GE(directX.puts[2].time - directX.puts[1].time, 280);
  EXPECT_EQ(directX.Frames(), Range(0, 59));
  EXPECT_EQ(std::vector<std::string>(mciCommands.begin(), mciCommands.begin() + 4),
            (std::vector<std::string>{"stop 1", "close 1", "open \"/v/fake.avi\" alias 1",
                                      "play 1 from 0 notify"}));
  EXPECT_EQ(std::vector<std::string>(mciCommands.end() - 2, mciCommands.end()),
            (std::vector<std::string>{"stop 1", "close 1"}));
  EXPECT_EQ(sound.calls.front(), "open /v/fake.avi sound");

  // Ahead by a second: after the first frame the video jumps to the sound.
  directX.puts.clear();
  const int64_t again = clock.now;
  sound.position = [&] { return 1.0 + (clock.now - again) / 1000.0; };
  PlayVideo(ctx, request);
  ASSERT_GE(directX.puts.size(), 2u);
  EXPECT_EQ(directX.puts[1].frame, 26);
}

TEST_F(PlayTest, StartFrameBeyondTheLastFrameShowsNothing) {
  UseFakeStream(64, 48, 30);
  UseSound();
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioGraph;
  request.StartFrame = 30;
  request.Loop = 1;  // must not repeat an empty run forever
  PlayVideo(ctx, request);
  EXPECT_EQ(sound.calls,
            (std::vector<std::string>{"open /v/fake.avi every", "unlink Decoder/Video Stream 00",
                                      "unlink Video Renderer/Video In", "play 1.200", "stop"}));
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
  UseSound();
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioGraph;
  request.InputLayout = 9;
  request.Loop = 1;
  PlayVideo(ctx, request);
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Invalid input video format. 9"});
  EXPECT_EQ(requests.requested, std::vector<int32_t>{0});  // ended after the first fetch
  EXPECT_EQ(directX.calls, std::vector<std::string>{"close"});
  EXPECT_EQ(sound.calls.back(), "stop");
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
  UseSound();
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioGraph;
  request.AudioSync = 0;  // no pacing
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
  EXPECT_EQ(std::count(sound.calls.begin(), sound.calls.end(), "play 0.160"), 3);
  EXPECT_EQ(std::count(sound.calls.begin(), sound.calls.end(), "stop"), 3);
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

  // Converted from 2D to 3D and shown side by side: the left half of every
  // frame shown is the frame fetched, whole, though the fetched frame and the
  // left view trade their images from frame to frame.
  directX.puts.clear();
  directX.keepImages = true;
  request.InputLayout = kLayout2DTo3D;
  PlayVideo(ctx, request);
  EXPECT_EQ(directX.Frames(), (std::vector<int32_t>{1, 2, 5, 6, 7, 8}));
  ASSERT_EQ(directX.images.size(), 6u);
  for (const DibPtr& image : directX.images) {
    ASSERT_EQ(image->Width(), 128);
    const int32_t n = test::FrameNumberOf(*image);
    for (int32_t y = 0; y < 48; ++y) {
      for (int32_t x = 0; x < 64; ++x) {
        const uint8_t* p = image->ScanLine(y) + 3 * x;
        ASSERT_TRUE(p[0] == n && p[1] == 0 && p[2] == 0x5A)
            << "frame " << n << " " << x << "," << y;
      }
    }
  }
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(PlayTest, AudioThatCannotPlayFallsBackToTheClock) {
  UseFakeStream(64, 48, 3);
  UseSound();
  // A graph that will not run: the request falls back to the clock.
  sound.playResult = false;
  PlayRequest request = PassThrough();
  request.AudioMethod = kAudioGraph;
  PlayVideo(ctx, request);
  EXPECT_EQ(log.Texts(), std::vector<std::string>{std::string(kGraphStartError) + "cannot play"});
  EXPECT_EQ(request.AudioMethod, kAudioClock);
  EXPECT_EQ(request.AudioSync, 1);
  EXPECT_GE(directX.puts[1].time - directX.puts[0].time, 40);  // clock pacing

  // A film without a sound track: no message, a note, the clock.
  log.entries.clear();
  sound.playResult = true;
  sound.hasSound = false;
  for (int16_t method : {kAudioGraph, kAudioMci}) {
    request.AudioMethod = method;
    PlayVideo(ctx, request);
    EXPECT_EQ(request.AudioMethod, kAudioClock);
    EXPECT_EQ(ctx.PlaybackNotes, std::vector<std::string>{kNoSoundTrackNote});
  }
  EXPECT_TRUE(log.entries.empty());

  // No media service at all: each step says so; the picture still plays,
  // paced by the clock once the graph's position is seen to stand still.
  ctx.audio.SetSoundFactory(nullptr);
  directX.puts.clear();
  request.AudioMethod = kAudioGraph;
  PlayVideo(ctx, request);
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{std::string(kGraphBuildError) + "there is no media service",
                                      kNoVideoFilter, kUnableToPlayTrack}));
  EXPECT_EQ(directX.Frames(), Range(0, 2));

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
  test::FakeSound::Script sound;
  ctx.audio.SetSoundFactory(test::FakeSoundFactory(sound));
  std::vector<std::string> commands;
  ctx.audio.mci.onCommand = [&](std::string_view c) { commands.emplace_back(c); };
  PlayRequest r;
  r.AudioPath = "/v/walk.mpg";
  r.FrameRate = 25;
  r.StartFrame = 100;

  // Command strings: the start position in whole milliseconds.
  r.AudioMethod = kAudioMci;
  EXPECT_TRUE(OpenAudio(ctx, r));
  r.FrameRate = 29.97;
  r.StartFrame = 1;
  EXPECT_TRUE(OpenAudio(ctx, r));
  CloseAudio(ctx, r);
  EXPECT_EQ(commands, (std::vector<std::string>{"stop 1", "close 1", "open \"/v/walk.mpg\" alias 1",
                                                "play 1 from 4000 notify", "stop 1", "close 1",
                                                "open \"/v/walk.mpg\" alias 1",
                                                "play 1 from 33 notify", "stop 1", "close 1"}));
  EXPECT_EQ(sound.calls[1], "play 4.000");
  sound.openResult = false;
  EXPECT_FALSE(OpenAudio(ctx, r));
  sound.openResult = true;
  sound.playResult = false;
  EXPECT_FALSE(OpenAudio(ctx, r));
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{kUnableToOpenAudio, kLoadedButNotPlaying}));
  sound.playResult = true;

  // Graph: seeks to StartFrame / FrameRate. A graph that cannot be built is
  // reported, but the run's answer decides.
  log.entries.clear();
  sound.calls.clear();
  r.AudioMethod = kAudioGraph;
  r.FrameRate = 25;
  r.StartFrame = 100;
  EXPECT_TRUE(OpenAudio(ctx, r));
  EXPECT_EQ(sound.calls.back(), "play 4.000");
  sound.openResult = false;
  EXPECT_TRUE(OpenAudio(ctx, r));
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{std::string(kGraphBuildError) + "cannot open /v/walk.mpg",
                                      kNoVideoFilter, kUnableToPlayTrack}));
  sound.openResult = true;
  sound.playResult = false;
  log.entries.clear();
  EXPECT_FALSE(OpenAudio(ctx, r));
  EXPECT_EQ(log.Texts(), std::vector<std::string>{std::string(kGraphStartError) + "cannot play"});
  CloseAudio(ctx, r);
  EXPECT_EQ(sound.calls.back(), "stop");
  sound.playResult = true;

  // A graph whose pads name no video: said, and the sound still plays.
  log.entries.clear();
  sound.elements = {{"Splitter", {{"Output 1", true}, {"Output 2", true}}},
                    {"Sound Renderer", {{"In", true}}}};
  EXPECT_TRUE(OpenAudio(ctx, r));
  EXPECT_EQ(log.Texts(), std::vector<std::string>{kNoVideoFilter});

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
