// The player on real clips: the application's playback stopped from the
// display window, and the dioptrix program run as a user runs it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <fstream>
#include <string>

#include "gui/application.h"
#include "gui/message_boxes.h"
#include "platform/library.h"
#include "playback/audio.h"
#include "tests/common/pulse_server.h"
#include "tests/common/sample_clips.h"
#include "tests/gui/gui_support.h"

namespace dioptrix {
namespace {

using test::ClipRequest;

// A silent 25 frames-per-second clip; 320 x 180 is the least size whose 2D
// scene is told from side-by-side material.
std::string Clip(const std::string& kind, int32_t frames) {
  ClipRequest clip;
  clip.kind = kind;
  clip.width = 320;
  clip.height = 180;
  clip.frames = frames;
  clip.rate = 25;
  clip.audio = false;
  return test::MakeClip(clip);
}

// Settings of a fresh user: nothing stored yet.
std::string FreshSettingsFile() {
  static int n = 0;
  return test::TempFolder() + "/settings-" + std::to_string(++n) + ".ini";
}

// The events a display window gets from outside, sent once playback reaches
// a frame.
struct PlayWithEvents {
  gui::Application app{gui::Application::Options{{}, FreshSettingsFile(), {}}};
  std::vector<std::string> messages;

  PlayWithEvents() {
    gui::MessageBoxes::SetHandler(
        [this](QWidget*, const std::string& text, MessageStyle) { messages.push_back(text); });
    app.Start();
  }
  ~PlayWithEvents() { gui::MessageBoxes::SetHandler(nullptr); }

  // Plays file in a window; at frame `at` the picture area gets `event`.
  void Play(const std::string& file, int32_t at, QEvent* event) {
    ASSERT_TRUE(app.Open_File(file, false));
    Host& host = app.Context().host;
    auto pump = host.onPumpEvents;
    bool sent = false;
    host.onPumpEvents = [&] {
      if (!sent && app.Context().CurrentFrame >= at) {
        sent = true;
        QCoreApplication::sendEvent(&app.MainWindow().PictureArea(), event);
      }
      pump();
    };
    app.Video_Play(false);
    host.onPumpEvents = pump;
    EXPECT_TRUE(sent);
  }
};

TEST(Player, AKeyOnThePictureStopsPlaybackAndLosingTheFocusDoesNot) {
  const std::string clip = Clip("2d", 25);
  ASSERT_FALSE(clip.empty());
  {
    PlayWithEvents player;
    QFocusEvent focusOut(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    player.Play(clip, 5, &focusOut);
    EXPECT_EQ(player.app.Context().CurrentFrame, 24);  // played to the end
    EXPECT_TRUE(player.messages.empty());
  }
  {
    PlayWithEvents player;
    QKeyEvent key(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    player.Play(clip, 5, &key);
    EXPECT_EQ(player.app.Context().CurrentFrame, 5);  // stopped after the frame shown
    EXPECT_EQ(player.app.Context().StopRequested, kTrue);
    EXPECT_TRUE(player.messages.empty());
  }
}

TEST(Player, OpeningDetectsTheLayoutAndTheGlassesPickTheMethod) {
  PlayWithEvents player;
  gui::Application& app = player.app;
  ASSERT_TRUE(app.Open_File(Clip("sbs", 6)));
  EXPECT_EQ(app.DetectedLayout(), kLayoutSideBySide);
  EXPECT_EQ(app.InputLayout(), kLayoutSideBySide);
  EXPECT_EQ(app.MainWindow().windowTitle().toStdString(), "Dioptrix - " + app.CurrentFile());
  ASSERT_TRUE(app.Open_File(Clip("2d", 6)));
  EXPECT_EQ(app.InputLayout(), kLayout2DTo3D);  // plain 2D is converted to 3D
  // First run: red/cyan anaglyph glasses, windowed or not.
  EXPECT_EQ(app.OutputMethodFor(false), kOutputAnaglyphColour);
  EXPECT_EQ(app.OutputMethodFor(true), kOutputAnaglyphColour);
  // A file that is no video leaves no file open.
  const std::string bogus = test::TempFolder() + "/bogus.mp4";
  std::ofstream(bogus) << "not a video";
  EXPECT_FALSE(app.Open_File(bogus));
  EXPECT_EQ(app.CurrentFile(), "");
  EXPECT_EQ(app.MainWindow().windowTitle().toStdString(), "Dioptrix");
  player.messages.clear();
  app.Video_Play(false);
  EXPECT_EQ(player.messages, std::vector<std::string>{gui::kSelectFileFirst});
}

// The dioptrix program as a user starts it.
struct DioptrixRun {
  int status = -1;
  std::string out, err;
};
DioptrixRun RunDioptrix(std::vector<std::string> args, const test::Environment& env = {}) {
  test::Environment withSettings = env;
  withSettings.set.push_back({"XDG_CONFIG_HOME", test::TempFolder() + "/config"});
  args.insert(args.begin(), ExecutableDir() + "/dioptrix");
  DioptrixRun run;
  run.status = test::RunProgram(args, &run.out, &run.err, &withSettings);
  return run;
}

TEST(Dioptrix, PlaysAClipToTheEndAndFailsClearly) {
  const std::string clip = Clip("sbs", 12);
  ASSERT_FALSE(clip.empty());
  DioptrixRun played = RunDioptrix({"--batch", "--quit-at-end", clip});
  EXPECT_EQ(played.status, 0) << played.err;
  EXPECT_NE(played.out.find("Input layout: side-by-side (detected)"), std::string::npos)
      << played.out;
  EXPECT_NE(played.out.find("Output method: anaglyph-colour, in a window"), std::string::npos)
      << played.out;

  // A film with sound plays it, paced by it.
  {
    test::PulseServer pulse;
    ASSERT_FALSE(pulse.Address().empty());
    ClipRequest withSound;
    withSound.width = 320;
    withSound.height = 180;
    withSound.frames = 25;
    withSound.rate = 25;
    DioptrixRun sounded = RunDioptrix({"--batch", "-q", test::MakeClip(withSound)},
                                      {{{"PULSE_SERVER", pulse.Address()}}, {}});
    EXPECT_EQ(sounded.status, 0) << sounded.err;
    EXPECT_EQ(sounded.out.find("Note:"), std::string::npos) << sounded.out;
  }
  EXPECT_NE(played.out.find(std::string("Note: ") + kNoSoundTrackNote), std::string::npos)
      << played.out;

  // --depth holds for its run: 2D converted with the improved depth plays
  // cleanly, and the stored choice is left as it was.
  DioptrixRun improved = RunDioptrix({"--batch", "-q", "--depth", "improved", Clip("2d", 12)});
  EXPECT_EQ(improved.status, 0) << improved.err;
  EXPECT_EQ(improved.err, "");
  EXPECT_FALSE(
      gui::SettingsStore(test::TempFolder() + "/config/Dioptrix/Dioptrix.ini").LoadImprovedDepth());

  const std::string bogus = test::TempFolder() + "/not-a-video.mp4";
  std::ofstream(bogus) << "not a video";
  DioptrixRun bad = RunDioptrix({"--batch", "-q", bogus});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("dioptrix: "), std::string::npos) << bad.err;
  DioptrixRun missing = RunDioptrix({"--batch", "-q", test::TempFolder() + "/no-such-file.mp4"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(missing.err.empty());

  // Without a display the program says so instead of aborting.
  DioptrixRun noDisplay = RunDioptrix({clip}, {{}, {"DISPLAY", "QT_QPA_PLATFORM"}});
  EXPECT_EQ(noDisplay.status, 1);
  EXPECT_NE(noDisplay.err.find("DISPLAY is not set"), std::string::npos) << noDisplay.err;
  DioptrixRun refused = RunDioptrix({clip}, {{{"DISPLAY", ":987"}}, {"QT_QPA_PLATFORM"}});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("cannot open the display :987"), std::string::npos) << refused.err;

  for (const std::vector<std::string>& args : {std::vector<std::string>{"--quit-at-end"},
                                               {"--layout", "3d", clip},
                                               {"--depth", "deep", clip},
                                               {"--bogus", clip},
                                               {"a", "b"}}) {
    DioptrixRun usage = RunDioptrix(args);
    EXPECT_EQ(usage.status, 2) << usage.err;
    EXPECT_NE(usage.err.find("Try 'dioptrix --help'"), std::string::npos) << usage.err;
  }
}

}  // namespace
}  // namespace dioptrix
