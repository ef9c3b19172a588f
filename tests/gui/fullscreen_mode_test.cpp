// Fullscreen OpenGL playback through the application switches the screen to
// the configured mode with XRandR, and puts the desktop's mode back when the
// playback ends, also when it ends by an error.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "gui/application.h"
#include "gui/message_boxes.h"
#include "platform/error.h"
#include "tests/common/sample_clips.h"
#include "tests/xrandr/test_screen.h"

namespace dioptrix {
namespace {

TEST(FullscreenOpenGL, PlaysInTheConfiguredModeAndPutsTheDesktopBack) {
  TestScreen screen;
  ASSERT_TRUE(screen.Opened());
  screen.AddMode(1024, 768, 60);
  const std::pair<int, int> desktop = screen.Size();
  test::ClipRequest request;
  request.frames = 12;
  request.rate = 25;
  request.audio = false;
  const std::string clip = test::MakeClip(request);
  ASSERT_FALSE(clip.empty());

  for (bool failing : {false, true}) {
    test::TempDir dir;
    std::vector<std::string> messages;
    gui::MessageBoxes::SetHandler(
        [&](QWidget*, const std::string& text, MessageStyle) { messages.push_back(text); });
    {
      gui::Application app(gui::Application::Options{{}, dir / "settings.ini", {}});
      app.Start();
      Settings& settings = app.Context().settings;
      settings.GlassesType = 4;  // Generic OpenGL: fullscreen through OpenGL
      settings.ScreenWidth = 1024;
      settings.ScreenHeight = 768;
      settings.ColourDepth = 32;
      settings.RefreshRate = -1;
      ASSERT_TRUE(app.Open_File(clip, false));
      std::pair<int, int> during;
      Host& host = app.Context().host;
      auto pump = host.onPumpEvents;
      host.onPumpEvents = [&] {
        if (app.Context().CurrentFrame == 3 && during.first == 0) {
          during = screen.Size();
          if (failing) throw RuntimeError(kErrFileNotFound, "test", "the film went away");
        }
        pump();
      };
      app.Video_Play(true);
      host.onPumpEvents = pump;
      EXPECT_EQ(during, std::make_pair(1024, 768)) << failing;
      EXPECT_EQ(screen.Size(), desktop) << failing;
    }
    gui::MessageBoxes::SetHandler(nullptr);
    bool reported = false;
    for (const std::string& m : messages) {
      EXPECT_EQ(m.find("Unable to set requested screen mode"), std::string::npos) << m;
      reported = reported || m.find("the film went away") != std::string::npos;
    }
    EXPECT_EQ(reported, failing);
  }
}

}  // namespace
}  // namespace dioptrix
