#include "display/blit_display.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "display/callback.h"
#include "display/line_codes.h"
#include "platform/error.h"
#include "platform/flags.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

// Records every call as text; keeps a copy of every image drawn.
struct FakeWindow : BlitWindow {
  std::vector<std::string>& log;
  std::string name;
  DisplayEvents* events = nullptr;
  std::vector<DibPtr> drawn;

  FakeWindow(std::vector<std::string>& l, std::string n) : log(l), name(std::move(n)) {}
  ~FakeWindow() override { log.push_back(name + " destroyed"); }

  void Say(const std::string& what) { log.push_back(name + " " + what); }
  static std::string Nums(std::initializer_list<int32_t> v) {
    std::string s;
    for (int32_t n : v) s += (s.empty() ? "" : " ") + std::to_string(n);
    return s;
  }
  void Place(int32_t l, int32_t t, int32_t w, int32_t h) override {
    Say("place " + Nums({l, t, w, h}));
  }
  void Show() override { Say("show"); }
  void Clear() override { Say("clear"); }
  void SetPersistent(bool p) override { Say(p ? "persistent" : "not persistent"); }
  void Blit(const cDIBSection& image, int32_t dx, int32_t dy, int32_t w, int32_t h, int32_t sx,
            int32_t sy) override {
    drawn.push_back(image.CopyOf());
    Say("blit " + Nums({dx, dy, w, h}) + " from " + Nums({sx, sy}));
  }
  void Stretch(const cDIBSection& image, int32_t dx, int32_t dy, int32_t dw, int32_t dh, int32_t sx,
               int32_t sy, int32_t sw, int32_t sh, StretchMode mode) override {
    drawn.push_back(image.CopyOf());
    Say("stretch " + Nums({dx, dy, dw, dh}) + " from " + Nums({sx, sy, sw, sh}) +
        (mode == kHalftone ? " halftone" : " nearest"));
  }
  void Refresh() override { Say("refresh"); }
  void Unload() override { Say("unload"); }
  void SetEvents(DisplayEvents* e) override { events = e; }
};

struct BlitDisplayTest : ::testing::Test {
  Host host;
  MessageLog messages;
  CallbackActions actions;
  int16_t stop = kFalse;
  std::vector<std::string> log;
  FakeWindow main{log, "main"};
  FakeWindow* own = nullptr;  // the last fullscreen window made
  int ownWindowsMade = 0;
  ScreenSize screen{1024, 768};
  std::function<void(int32_t)> duringWait;
  std::unique_ptr<BlitDisplay> display;

  void SetUp() override {
    messages.Attach(host);
    host.onDesktopSize = [this] { return screen; };
    host.onRunEventsFor = [this](int32_t ms) {
      log.push_back("wait " + std::to_string(ms));
      if (duringWait) duringWait(ms);
    };
    display =
        std::make_unique<BlitDisplay>(host, CallbackContext{host, actions, stop}, &main, [this] {
          auto w = std::make_unique<FakeWindow>(log, "own" + std::to_string(++ownWindowsMade));
          own = w.get();
          return w;
        });
  }
  void Open(bool fullscreen, int32_t w, int32_t h) {
    log.clear();
    ASSERT_TRUE(display->OpenDisplay(fullscreen, w, h, true, false, nullptr, nullptr));
  }
  using Rect = BlitDisplay::Rect;
};

TEST_F(BlitDisplayTest, PlacesWindowAndPictureAsInTheWorkedExamples) {
  // Windowed: the main window is centred around the picture, 50 rows higher.
  Open(false, 720, 576);
  EXPECT_EQ(display->WindowRect(), (Rect{152, 96, 720, 626}));
  EXPECT_EQ(display->DestRect(), (Rect{0, 0, 720, 576}));
  EXPECT_EQ(log, (std::vector<std::string>{"main place 152 96 720 626", "main clear", "main show",
                                           "main persistent"}));
  DibPtr frame = test::RandomImage(720, 576, 1);
  log.clear();
  EXPECT_TRUE(display->PutImage(*frame, false, true));
  EXPECT_EQ(log, (std::vector<std::string>{"main blit 0 0 720 576 from 0 0", "main refresh"}));
  display->CloseDisplay();
  EXPECT_EQ(ownWindowsMade, 0);

  // A picture larger than the screen keeps the window on it.
  Open(false, 1600, 900);
  EXPECT_EQ(display->WindowRect(), (Rect{0, 0, 1600, 950}));

  // Fullscreen: the own window covers the screen, the picture is fitted and
  // starts on an even row.
  screen = {1280, 1024};
  Open(true, 720, 576);
  EXPECT_EQ(display->WindowRect(), (Rect{0, 0, 1280, 1024}));
  EXPECT_EQ(display->DestRect(), (Rect{0, 0, 1280, 1024}));
  EXPECT_EQ(log.front(), "own1 place 0 0 1280 1024");
  Open(true, 640, 480);
  EXPECT_EQ(display->DestRect(), (Rect{0, 32, 1280, 960}));
  screen = {1280, 1026};  // fitted at row 33
  Open(true, 640, 480);
  EXPECT_EQ(display->DestRect(), (Rect{0, 32, 1280, 960}));
  // Unscaled, the destination's size is copied from the picture's corner.
  log.clear();
  display->PutImage(*frame, false, true);
  EXPECT_EQ(log.front(), "own1 blit 0 32 1280 960 from 0 0");
}

TEST_F(BlitDisplayTest, ScalingAveragesUnlessEnlargingQuickly) {
  screen = {1280, 1024};
  Open(true, 640, 480);
  DibPtr small = test::RandomImage(640, 480, 2), large = test::RandomImage(1920, 1440, 3);
  log.clear();
  display->PutImage(*small, true, true);   // enlarging, quick: nearest
  display->PutImage(*small, true, false);  // enlarging, best quality: averaging
  display->PutImage(*large, true, true);   // shrinking: always averaging
  EXPECT_EQ(log, (std::vector<std::string>{
                     "own1 stretch 0 32 1280 960 from 0 0 640 480 nearest", "own1 refresh",
                     "own1 stretch 0 32 1280 960 from 0 0 640 480 halftone", "own1 refresh",
                     "own1 stretch 0 32 1280 960 from 0 0 1920 1440 halftone", "own1 refresh"}));
}

TEST_F(BlitDisplayTest, LineCodesFrameAFullscreenPlayback) {
  // A key pressed while the start code shows is delivered during the wait.
  SetCallbackActions(actions, 2, 0, 2);
  duringWait = [this](int32_t) { own->events->KeyPressed(65, 0); };
  DibPtr start = LoadLineCode(LineCode::Linecode_ED_Interlace);
  DibPtr end = LoadLineCode(LineCode::Linecode_ED_Off);
  log.clear();
  ASSERT_TRUE(display->OpenDisplay(true, 720, 576, true, true, start.get(), end.get()));
  EXPECT_EQ(log, (std::vector<std::string>{
                     "own1 place 0 0 1024 768", "own1 clear", "own1 show", "own1 persistent",
                     "own1 stretch 0 0 1024 10 from 0 0 9 10 halftone", "own1 refresh", "wait 1000",
                     "own1 clear", "own1 persistent"}));
  EXPECT_TRUE(test::SamePixels(*own->drawn.at(0), *start));
  EXPECT_EQ(stop, kTrue);
  EXPECT_TRUE(display->LineCodeActive());

  // The back-end keeps its own end code: the caller's may be gone.
  end.reset();
  duringWait = nullptr;
  log.clear();
  display->CloseDisplay();
  EXPECT_EQ(log, (std::vector<std::string>{
                     "own1 persistent", "own1 stretch 0 0 1024 10 from 0 0 10 10 halftone",
                     "own1 refresh", "wait 1000", "own1 clear", "own1 unload", "own1 destroyed"}));

  // The next fullscreen open makes a new window; without line codes there
  // is no wait, at open or at close.
  Open(true, 720, 576);
  EXPECT_EQ(ownWindowsMade, 2);
  log.clear();
  display->CloseDisplay();
  EXPECT_EQ(log, (std::vector<std::string>{"own2 unload", "own2 destroyed"}));
}

TEST_F(BlitDisplayTest, EventsOfTheTargetWindowReachTheCallbacks) {
  SetCallbackActions(actions, 2, 0, 2);
  Open(false, 320, 240);
  ASSERT_NE(main.events, nullptr);
  main.events->FocusLost();
  EXPECT_EQ(stop, kFalse);
  main.events->ButtonPressed(1, 0, 10, 10);
  EXPECT_EQ(stop, kTrue);
  stop = kFalse;
  main.events->KeyPressed(27, 0);
  EXPECT_EQ(stop, kTrue);
  display->CloseDisplay();
  EXPECT_EQ(main.events, nullptr);
  EXPECT_TRUE(messages.entries.empty());
}

TEST_F(BlitDisplayTest, FaultsAreReportedAndNeverCrash) {
  // No main window to draw into.
  BlitDisplay headless(host, CallbackContext{host, actions, stop}, nullptr, nullptr);
  EXPECT_FALSE(headless.OpenDisplay(false, 320, 240, true, false, nullptr, nullptr));
  EXPECT_FALSE(headless.OpenDisplay(true, 320, 240, true, false, nullptr, nullptr));
  DibPtr frame = test::RandomImage(8, 8, 4);
  EXPECT_THROW(headless.PutImage(*frame, false, true), RuntimeError);
  EXPECT_TRUE(headless.CloseDisplay());
  // Line codes asked for without pictures.
  EXPECT_FALSE(display->OpenDisplay(true, 320, 240, true, true, nullptr, nullptr));
  const std::string notSet = std::string(kBlitOpenError) + "Object variable not set";
  EXPECT_EQ(messages.Texts(), (std::vector<std::string>{notSet, notSet, notSet}));

  // A click that closes the display while the start code shows ends the
  // open without touching the closed window.
  SetCallbackActions(actions, 1, 0, 0);
  duringWait = [this](int32_t) { own->events->ButtonPressed(1, 0, 0, 0); };
  DibPtr code = LoadLineCode(LineCode::Linecode_ED_Sync);
  EXPECT_TRUE(display->OpenDisplay(true, 320, 240, true, true, code.get(), code.get()));
  EXPECT_FALSE(display->LineCodeActive());
  EXPECT_THROW(display->PutImage(*frame, false, true), RuntimeError);
}

}  // namespace
}  // namespace dioptrix
