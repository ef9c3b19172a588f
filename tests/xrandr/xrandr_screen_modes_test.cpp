#include "platform/xrandr/xrandr_screen_modes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "display/screen_mode.h"
#include "platform/host.h"
#include "tests/xrandr/test_screen.h"

namespace dioptrix {
namespace {

// The harness starts each test's server with one 1280x1024 screen of depth 24.
const std::pair<int, int> kDesktop{1280, 1024};
const std::pair<int, int> kXga{1024, 768};

class XRandRModes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(screen_.Opened()) << "no X display";
    ASSERT_EQ(screen_.Size(), kDesktop);
    first_ = screen_.ShownMode();
    xga60_ = screen_.AddMode(1024, 768, 60);
    xga75_ = screen_.AddMode(1024, 768, 75);
    svga_ = screen_.AddMode(800, 600, 60);
  }

  // Puts the desktop back for the next test when they share a server.
  void TearDown() override {
    if (!screen_.Opened() || first_ == None) return;
    screen_.Resize(kDesktop.first, kDesktop.second);
    screen_.Show(first_, 0, 0);
  }

  static std::unique_ptr<ScreenModes> Make() {
    std::string why;
    std::unique_ptr<ScreenModes> modes = MakeXRandRScreenModes(&why);
    EXPECT_TRUE(modes) << why;
    return modes;
  }

  static std::vector<DisplayMode> Listed(ScreenModes& modes) {
    std::vector<DisplayMode> listed;
    DisplayMode mode;
    for (int32_t index = 0; modes.Enumerate(index, mode); ++index) listed.push_back(mode);
    return listed;
  }

  TestScreen screen_;
  RRMode first_ = None, xga60_ = None, xga75_ = None, svga_ = None;
};

bool Has(const std::vector<DisplayMode>& modes, const DisplayMode& mode) {
  return std::find(modes.begin(), modes.end(), mode) != modes.end();
}

TEST_F(XRandRModes, ListsTheOutputsModesWithRatesFromTheirTimings) {
  // Rates from the timings: rounded, a doubled scan halves them, interlacing
  // counts fields.
  screen_.AddMode(640, 480, 59.94);
  screen_.AddMode(720, 480, 60, RR_Interlace);
  screen_.AddMode(320, 240, 60, RR_DoubleScan);
  std::unique_ptr<ScreenModes> modes = Make();
  ASSERT_TRUE(modes);
  ASSERT_EQ(screen_.Depth(), 24);

  // The virtual server's own mode has no timings, so its rate is unknown.
  EXPECT_EQ(modes->Current(), (DisplayMode{1280, 1024, 32, 0}));

  const std::vector<DisplayMode> listed = Listed(*modes);
  EXPECT_EQ(listed.size(), 7u);
  for (const DisplayMode& mode : {DisplayMode{1280, 1024, 32, 0}, DisplayMode{1024, 768, 32, 60},
                                  DisplayMode{1024, 768, 32, 75}, DisplayMode{800, 600, 32, 60},
                                  DisplayMode{640, 480, 32, 60}, DisplayMode{720, 480, 32, 60},
                                  DisplayMode{320, 240, 32, 60}})
    EXPECT_TRUE(Has(listed, mode)) << mode.width << "x" << mode.height << " at " << mode.refresh;
  EXPECT_EQ(Listed(*modes), listed) << "the order is stable";
  DisplayMode mode;
  EXPECT_FALSE(modes->Enumerate(static_cast<int32_t>(listed.size()), mode));
  EXPECT_FALSE(modes->Enumerate(-1, mode));
}

TEST_F(XRandRModes, SwitchesAndPutsTheSavedModeBack) {
  std::unique_ptr<ScreenModes> modes = Make();
  ASSERT_TRUE(modes);
  Host host;
  MessageLog log;
  log.Attach(host);
  SavedDisplayMode saved;
  saved.Save(*modes);
  EXPECT_EQ(saved.Mode(), (DisplayMode{1280, 1024, 32, 0}));

  // No frequency asked for: any 1024x768 mode; the screen shrinks to it.
  ASSERT_TRUE(SetScreenMode(*modes, host, 1024, 768, 32, -1));
  EXPECT_EQ(screen_.Size(), kXga);
  EXPECT_TRUE(screen_.ShownMode() == xga60_ || screen_.ShownMode() == xga75_);

  ASSERT_TRUE(SetScreenMode(*modes, host, 1024, 768, 32, 75));
  EXPECT_EQ(screen_.ShownMode(), xga75_);
  EXPECT_EQ(screen_.Size(), kXga);
  EXPECT_EQ(modes->Current(), (DisplayMode{1024, 768, 32, 75}));

  ASSERT_TRUE(SetScreenMode(*modes, host, 800, 600, 32, 60));
  EXPECT_EQ(screen_.Size(), std::make_pair(800, 600));
  EXPECT_EQ(screen_.ShownMode(), svga_);

  // Back up to the desktop: the screen grows before the CRTC switches.
  ASSERT_TRUE(saved.Reset(*modes));
  EXPECT_EQ(screen_.Size(), kDesktop);
  EXPECT_EQ(screen_.ShownMode(), first_);
  EXPECT_EQ(modes->Current(), saved.Mode());
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(XRandRModes, RefusedModesLeaveTheScreenAsItWas) {
  std::unique_ptr<ScreenModes> modes = Make();
  ASSERT_TRUE(modes);
  Host host;
  MessageLog log;
  log.Attach(host);

  // Modes the output does not offer.
  EXPECT_FALSE(SetScreenMode(*modes, host, 4000, 3000, 32, -1));
  EXPECT_FALSE(SetScreenMode(*modes, host, 1024, 768, 32, 99));
  EXPECT_EQ(log.Texts(), std::vector<std::string>(2, kScreenModeFailed));
  EXPECT_EQ(screen_.Size(), kDesktop);
  EXPECT_EQ(screen_.ShownMode(), first_);

  // A mode the server refuses: 800x600 shown 400 pixels to the right, so
  // 1024x768 there needs a screen wider than the server's maximum (1280).
  screen_.Show(svga_, 400, 0);
  EXPECT_FALSE(modes->Change({1024, 768, 32, 0}, kModeSize));
  EXPECT_EQ(screen_.Size(), kDesktop);
  EXPECT_EQ(screen_.ShownMode(), svga_);

  // The connection still serves afterwards.
  screen_.Show(first_, 0, 0);
  EXPECT_TRUE(modes->Change({1024, 768, 32, 75}, kModeSize | kModeFrequency));
  EXPECT_EQ(screen_.Size(), kXga);
}

TEST_F(XRandRModes, DestroyingPutsTheFirstModeBack) {
  std::unique_ptr<ScreenModes> switcher = Make();
  ASSERT_TRUE(switcher);
  ASSERT_TRUE(switcher->Change({1024, 768, 32, 75}, kModeSize | kModeFrequency));
  ASSERT_TRUE(switcher->Change({800, 600, 32, 60}, kModeSize | kModeFrequency));

  // An object that changed nothing leaves the screen as others set it.
  std::unique_ptr<ScreenModes> onlooker = Make();
  ASSERT_TRUE(onlooker);
  EXPECT_EQ(onlooker->Current(), (DisplayMode{800, 600, 32, 60}));
  onlooker.reset();
  EXPECT_EQ(screen_.Size(), std::make_pair(800, 600));

  // Ended without a Reset: back to the mode before its first change.
  switcher.reset();
  EXPECT_EQ(screen_.Size(), kDesktop);
  EXPECT_EQ(screen_.ShownMode(), first_);

  // The first mode was withdrawn meanwhile: the server refuses it, and the
  // screen keeps the mode it has (at the size it has).
  screen_.Show(svga_, 0, 0);
  switcher = Make();
  ASSERT_TRUE(switcher);
  ASSERT_TRUE(switcher->Change({1024, 768, 32, 60}, kModeSize | kModeFrequency));
  EXPECT_EQ(screen_.Size(), kXga);
  screen_.Withdraw(svga_);
  switcher.reset();
  EXPECT_EQ(screen_.Size(), kXga);
  EXPECT_EQ(screen_.ShownMode(), xga60_);
}

TEST(XRandRFactory, NoDisplayGivesTheReason) {
  const char* display = std::getenv("DISPLAY");
  const std::string kept = display ? display : "";
  ::setenv("DISPLAY", "unix:4999", 1);
  std::string why;
  EXPECT_EQ(MakeXRandRScreenModes(&why), nullptr);
  EXPECT_FALSE(why.empty());
  if (display)
    ::setenv("DISPLAY", kept.c_str(), 1);
  else
    ::unsetenv("DISPLAY");
}

}  // namespace
}  // namespace dioptrix
