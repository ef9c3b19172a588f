// The sound track on GStreamer, played into a PulseAudio null sink of the
// test's own: the player's position follows the clock, the picture path can
// be cut, a missing sound output fails at once, and the playback stays in
// step with a real sound clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/sound/sound_backend.h"
#include "playback/audio.h"
#include "playback/filter_graph.h"
#include "playback/vid_play.h"
#include "tests/common/pulse_server.h"
#include "tests/common/sample_clips.h"
#include "tests/playback/playback_fakes.h"

namespace dioptrix {
namespace {

using Clock = std::chrono::steady_clock;

// A 25 frames-per-second 160 x 90 clip, with or without its sound track.
std::string Clip(int32_t frames, bool audio) {
  test::ClipRequest clip;
  clip.width = 160;
  clip.height = 90;
  clip.frames = frames;
  clip.rate = 25;
  clip.gop = 25;
  clip.audio = audio;
  return test::MakeClip(clip);
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool HasPad(const std::vector<MediaElement>& elements, const std::string& element,
            const std::string& pad, bool linked) {
  for (const MediaElement& e : elements)
    for (const MediaPad& p : e.pads)
      if (e.name == element && p.name == pad) return p.linked == linked;
  return false;
}

bool HasElement(const std::vector<MediaElement>& elements, const std::string& name) {
  for (const MediaElement& e : elements)
    if (e.name == name) return true;
  return false;
}

TEST(GStreamerSound, PlaysInStepWithTheClockAndLosesItsPicturePath) {
  test::PulseServer pulse;
  ASSERT_FALSE(pulse.Address().empty()) << "pulseaudio did not start";
  const std::string clip = Clip(75, true);  // 3 s
  ASSERT_FALSE(clip.empty());
  std::string error;
  auto sound = MakeGStreamerSound(&error);
  ASSERT_TRUE(sound) << error;

  ASSERT_TRUE(sound->Open(clip, SoundBackend::Streams::Every, &error)) << error;
  EXPECT_TRUE(sound->HasSound());
  std::vector<MediaElement> graph = sound->Elements();
  EXPECT_TRUE(HasPad(graph, "Decoder", "Video Stream 00", true));
  EXPECT_TRUE(HasPad(graph, "Decoder", "Audio Track 1", true));
  EXPECT_TRUE(HasPad(graph, "Video Renderer", "Video In", true));
  EXPECT_TRUE(HasPad(graph, "Audio Renderer", "Audio In", true));

  // Without its picture path the sound plays on; the renderer is gone.
  EXPECT_TRUE(sound->Unlink("Decoder", "Video Stream 00"));
  EXPECT_FALSE(sound->Unlink("Decoder", "Video Stream 00"));
  graph = sound->Elements();
  EXPECT_TRUE(HasPad(graph, "Decoder", "Video Stream 00", false));
  EXPECT_FALSE(HasElement(graph, "Video Renderer"));

  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(sound->PlayFrom(1.0, &error)) << error;
  Sleep(600);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_NEAR(sound->Position(), 1.0 + elapsed, 0.15);
  sound->Stop();
  const double stopped = sound->Position();
  Sleep(300);
  EXPECT_NEAR(sound->Position(), stopped, 0.05);

  // Played past its end the position stays at the end.
  ASSERT_TRUE(sound->PlayFrom(2.9, &error)) << error;
  Sleep(500);
  const double end = sound->Position();
  EXPECT_NEAR(end, 3.0, 0.15);
  Sleep(200);
  EXPECT_EQ(sound->Position(), end);
  sound->Close();
  EXPECT_LT(sound->Position(), 0);
}

TEST(GStreamerSound, FilesItCannotPlayFailWithTheirReason) {
  test::PulseServer pulse;
  ASSERT_FALSE(pulse.Address().empty());
  auto sound = MakeGStreamerSound();
  ASSERT_TRUE(sound);
  std::string error;
  // A film without sound: its picture renders, its sound cannot.
  const std::string silent = Clip(10, false);
  EXPECT_TRUE(sound->Open(silent, SoundBackend::Streams::Every, &error)) << error;
  EXPECT_FALSE(sound->HasSound());
  EXPECT_FALSE(sound->Open(silent, SoundBackend::Streams::SoundOnly, &error));
  EXPECT_EQ(error, "the file has no sound track");
  // Not a media file, and no file at all.
  const std::string bogus = test::TempFolder() + "/bogus.mp4";
  std::ofstream(bogus) << "not a film";
  error.clear();
  EXPECT_FALSE(sound->Open(bogus, SoundBackend::Streams::Every, &error));
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_FALSE(
      sound->Open(test::TempFolder() + "/missing.mp4", SoundBackend::Streams::Every, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(sound->PlayFrom(0, &error));
}

TEST(GStreamerSound, WithoutASoundServerOpeningFailsAtOnce) {
  const std::string clip = Clip(10, true);
  ASSERT_FALSE(clip.empty());
  // No PulseAudio server, and an ALSA without any device.
  const std::string alsa = test::TempFolder() + "/no-alsa.conf";
  std::ofstream(alsa) << "";
  setenv("PULSE_SERVER", "unix:/nonexistent/dioptrix-no-server", 1);
  setenv("ALSA_CONFIG_PATH", alsa.c_str(), 1);
  auto sound = MakeGStreamerSound();
  ASSERT_TRUE(sound);
  std::string error;
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(sound->Open(clip, SoundBackend::Streams::Every, &error));
  EXPECT_NE(error.find("no sound output"), std::string::npos) << error;

  // The playback falls back to the clock with its messages, and ends.
  ProgramContext ctx;
  MessageLog log;
  log.Attach(ctx.host);
  ctx.audio.SetSoundFactory([] { return MakeGStreamerSound(); });
  test::RecordingDisplay display;
  ctx.Displays = {&display, &display, &display};
  PlayRequest request;
  request.OpenPath = request.AudioPath = clip;
  request.InputLayout = kLayout2D;
  request.OutputMethod = kOutputAnaglyphColour;
  request.AudioMethod = kAudioGraph;
  PlayVideo(ctx, request);
  EXPECT_EQ(display.puts.size(), 10u);
  ASSERT_EQ(log.entries.size(), 3u);
  EXPECT_EQ(log.entries[0].text.rfind(kGraphBuildError, 0), 0u);
  EXPECT_EQ(log.entries[2].text, kUnableToPlayTrack);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 10);
  unsetenv("PULSE_SERVER");
  unsetenv("ALSA_CONFIG_PATH");
}

// The picture follows a real sound clock over ten seconds of playback: it
// neither runs ahead nor falls behind by more than a frame.
TEST(GStreamerSound, PlaybackStaysWithinAFrameOfTheSound) {
  test::PulseServer pulse;
  ASSERT_FALSE(pulse.Address().empty());
  const std::string clip = Clip(250, true);
  ASSERT_FALSE(clip.empty());
  ProgramContext ctx;
  MessageLog log;
  log.Attach(ctx.host);
  ctx.host.onIdle = [] { std::this_thread::sleep_for(std::chrono::microseconds(500)); };
  ctx.audio.SetSoundFactory([] { return MakeGStreamerSound(); });
  test::RecordingDisplay display;
  ctx.Displays = {&display, &display, &display};
  std::vector<double> lag;  // frames between the picture and the sound, at each put
  display.onPut = [&] { lag.push_back(ctx.CurrentFrame - GraphPosition(ctx) * 25); };
  PlayRequest request;
  request.OpenPath = request.AudioPath = clip;
  request.InputLayout = kLayout2D;
  request.OutputMethod = kOutputAnaglyphColour;
  request.AudioMethod = kAudioGraph;
  PlayVideo(ctx, request);
  EXPECT_TRUE(log.entries.empty());
  EXPECT_TRUE(ctx.PlaybackNotes.empty());
  EXPECT_EQ(request.AudioMethod, kAudioGraph);
  ASSERT_GT(lag.size(), 200u);
  // From the second frame on, each frame goes up as soon as the sound has
  // reached the one before it (to the nearest frame): never more than one
  // frame and a half ahead of the sound, never more than one behind it.
  for (size_t i = 1; i < lag.size(); ++i) {
    EXPECT_LE(lag[i], 1.5) << "put " << i;
    EXPECT_GE(lag[i], -1.0) << "put " << i;
  }
  EXPECT_EQ(ctx.CurrentFrame, 249);
}

}  // namespace
}  // namespace dioptrix
