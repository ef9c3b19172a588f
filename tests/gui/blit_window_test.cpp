// The blit back-end on real windows of an X server (Xvfb, 1280 x 1024):
// where the windows land, what reaches the screen, and the start code.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <memory>
#include <vector>

#include "display/blit_display.h"
#include "display/line_codes.h"
#include "formats/format_context.h"
#include "formats/save_pics.h"
#include "gui/blit_surface.h"
#include "gui/main_window.h"
#include "gui/qt_host.h"
#include "image/blit.h"
#include "platform/flags.h"
#include "tests/common/test_images.h"
#include "tests/gui/gui_support.h"

namespace dioptrix {
namespace {

using gui::FrmMain;
using gui::FullscreenSurface;

struct BlitWindowTest : ::testing::Test {
  FrmMain main;
  Host host;
  MessageLog messages;
  CallbackActions actions;
  int16_t stop = kFalse;
  FullscreenSurface* own = nullptr;
  std::unique_ptr<BlitDisplay> display;
  std::vector<DibPtr> frames;  // the images the windows may paint again

  // A frame that lives as long as the test.
  const cDIBSection& Keep(DibPtr image) {
    frames.push_back(std::move(image));
    return *frames.back();
  }

  void SetUp() override {
    gui::InstallQtHost(host, &main);
    auto alive = [this](const cDIBSection* image) {
      for (const DibPtr& f : frames)
        if (f.get() == image) return true;
      return false;
    };
    main.PictureArea().SetImageCheck(alive);
    messages.Attach(host);
    main.Background().hide();  // as during a playback
    main.show();
    ASSERT_TRUE(test::RunEventsUntil([&] { return test::Exposed(main); }));
    display = std::make_unique<BlitDisplay>(
        host, CallbackContext{host, actions, stop}, &main.PictureWindow(), [this, alive] {
          auto window = std::make_unique<FullscreenSurface>(&main);
          window->SetImageCheck(alive);
          own = window.get();
          return window;
        });
  }
  void TearDown() override {
    display->CloseDisplay();
    display.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(messages.entries.empty());
  }
  // The window a fullscreen display drew into, once it is on the screen.
  gui::BlitSurface* OwnWindowOnScreen() {
    gui::BlitSurface* window = own ? own->Surface() : nullptr;
    EXPECT_TRUE(window && test::RunEventsUntil([&] { return test::Exposed(*window); }));
    return window;
  }
};

// A composed red/cyan anaglyph of two random views.
DibPtr AnaglyphFrame(int32_t w, int32_t h) {
  FrameImages frames;
  Settings settings;
  Host host;
  frames.StereoPair[0] = test::RandomImage(w, h, 11);
  frames.StereoPair[1] = test::RandomImage(w, h, 12);
  SaveAnaColour(FormatContext{frames, settings, host});
  return std::move(frames.OutputFrame);
}

// What a fullscreen window of the screen's size shows: the frame stretched
// onto the destination over black.
DibPtr Expected(const cDIBSection& frame, const BlitDisplay::Rect& dest, StretchMode mode) {
  DibPtr screen = test::SolidImage(1280, 1024, 0, 0, 0);
  StretchBlt(*screen, dest.left, dest.top, dest.width, dest.height, frame, 0, 0, frame.Width(),
             frame.Height(), mode);
  return screen;
}

TEST_F(BlitWindowTest, WindowedFramesReachTheScreenUnchanged) {
  const cDIBSection& frame = Keep(AnaglyphFrame(720, 576));
  ASSERT_TRUE(display->OpenDisplay(false, 720, 576, true, false, nullptr, nullptr));
  // The main window is centred around the picture, 50 rows higher.
  ASSERT_TRUE(test::RunEventsUntil([&] { return main.geometry() == QRect(280, 224, 720, 626); }))
      << main.geometry().x() << "," << main.geometry().y() << " " << main.width() << "x"
      << main.height();
  ASSERT_TRUE(display->PutImage(frame, false, true));
  test::RunEventsFor(100);
  // Every pixel on the screen is the composed frame's, unscaled.
  const QPoint corner = main.PictureArea().mapToGlobal(QPoint(0, 0));
  EXPECT_EQ(test::DifferenceFrom(test::GrabScreen(QRect(corner, QSize(720, 576))), frame), "");
  EXPECT_GT(main.PictureArea().DirectPaints(), 0);
  EXPECT_EQ(main.PictureArea().ScratchPaints(), 0);
}

TEST_F(BlitWindowTest, FullscreenFramesAreFittedAndScaled) {
  ASSERT_TRUE(display->OpenDisplay(true, 640, 480, true, false, nullptr, nullptr));
  gui::BlitSurface* window = OwnWindowOnScreen();
  ASSERT_TRUE(window);
  EXPECT_EQ(window->geometry(), QRect(0, 0, 1280, 1024));
  const BlitDisplay::Rect dest = display->DestRect();
  EXPECT_EQ(dest, (BlitDisplay::Rect{0, 32, 1280, 960}));
  const QRect screen(0, 0, 1280, 1024);

  // Enlarged quickly: nearest pixels.
  const cDIBSection& small = Keep(AnaglyphFrame(640, 480));
  display->PutImage(small, true, true);
  test::RunEventsFor(50);
  EXPECT_EQ(test::DifferenceFrom(test::GrabScreen(screen), *Expected(small, dest, kColorOnColor)),
            "");
  // Reduced: averaged.
  const cDIBSection& large = Keep(AnaglyphFrame(1920, 1440));
  display->PutImage(large, true, true);
  test::RunEventsFor(50);
  EXPECT_EQ(test::DifferenceFrom(test::GrabScreen(screen), *Expected(large, dest, kHalftone)), "");
  // Unscaled: the picture's corner at the destination's, over what was there.
  display->PutImage(small, false, true);
  test::RunEventsFor(50);
  DibPtr unscaled = Expected(large, dest, kHalftone);
  BitBlt(*unscaled, 0, 32, 1280, 960, small, 0, 0, kSrcCopy);
  EXPECT_EQ(test::DifferenceFrom(test::GrabScreen(screen), *unscaled), "");
}

// The rows of a line code stretched across the screen, top down.
void ExpectLineCodeOnTop(const QImage& grab, const cDIBSection& code, const char* when) {
  SCOPED_TRACE(when);
  ASSERT_EQ(grab.width(), 1280);
  for (int32_t y = 0; y < code.Height(); ++y) {
    const uint8_t* p = code.ScanLine(code.Height() - 1 - y);
    const QRgb want = qRgb(p[2], p[1], p[0]);
    const QRgb* row = reinterpret_cast<const QRgb*>(grab.constScanLine(y));
    for (int32_t x = 0; x < grab.width(); ++x) {
      ASSERT_EQ(row[x] & 0xFFFFFF, want & 0xFFFFFF) << "row " << y << ", column " << x;
    }
  }
}

TEST_F(BlitWindowTest, LineCodesShowOnTheTopRowsForOneSecond) {
  DibPtr start = LoadLineCode(LineCode::Linecode_ED_Interlace);
  DibPtr end = LoadLineCode(LineCode::Linecode_ED_Off);
  const QRect top(0, 0, 1280, 10);
  // Grabs of the top rows during the next one-second wait.
  std::vector<QImage> grabs;
  std::vector<int> grabTimes;
  auto wait = host.onRunEventsFor;
  host.onRunEventsFor = [&](int32_t ms) {
    for (int at : grabTimes)
      QTimer::singleShot(at, [&] { grabs.push_back(test::GrabScreen(top)); });
    grabTimes.clear();
    wait(ms);
  };
  grabTimes = {500, 950};
  QElapsedTimer opening;
  opening.start();
  ASSERT_TRUE(display->OpenDisplay(true, 640, 480, true, true, start.get(), end.get()));
  EXPECT_GE(opening.elapsed(), 1000);
  ASSERT_EQ(grabs.size(), 2u);
  ExpectLineCodeOnTop(grabs[0], *start, "0.5 s into the open");
  ExpectLineCodeOnTop(grabs[1], *start, "0.95 s into the open");

  // The code is cleared away before the first frame.
  DibPtr frame = AnaglyphFrame(640, 480);
  display->PutImage(*frame, true, true);
  test::RunEventsFor(50);
  EXPECT_EQ(test::GrabScreen(top).pixel(5, 5) & 0xFFFFFF, 0u);

  // Closing shows the end code for one second.
  grabs.clear();
  grabTimes = {500};
  QElapsedTimer closing;
  closing.start();
  display->CloseDisplay();
  EXPECT_GE(closing.elapsed(), 1000);
  ASSERT_EQ(grabs.size(), 1u);
  ExpectLineCodeOnTop(grabs[0], *end, "0.5 s into the close");
}

}  // namespace
}  // namespace dioptrix
