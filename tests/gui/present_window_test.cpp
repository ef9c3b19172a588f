// The fullscreen surface back-end on a real window of an X server (Xvfb,
// 1280 x 1024): the window covers the screen, shows the presented back buffer
// and hands keys to the callbacks.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <memory>
#include <vector>

#include "display/directx_display.h"
#include "gui/main_window.h"
#include "gui/present_surface.h"
#include "gui/qt_host.h"
#include "platform/flags.h"
#include "tests/common/test_images.h"
#include "tests/gui/gui_support.h"

namespace dioptrix {
namespace {

TEST(PresentWindow, CoversTheScreenWithThePresentedBackBufferAndTakesKeys) {
  gui::FrmMain main;
  Host host;
  gui::InstallQtHost(host, &main);
  MessageLog messages;
  messages.Attach(host);
  main.show();
  ASSERT_TRUE(test::RunEventsUntil([&] { return test::Exposed(main); }));
  Settings settings;
  settings.ScreenWidth = 1280, settings.ScreenHeight = 1024, settings.ColourDepth = 32;
  TagstampLibrary tagstamp;
  CallbackActions actions;
  SetCallbackActions(actions, 2, 0, 2);
  int16_t stop = kFalse;
  gui::FullscreenPresentWindow* own = nullptr;
  frmDirectXSurface display(host, settings, tagstamp, CallbackContext{host, actions, stop}, [&] {
    auto window = std::make_unique<gui::FullscreenPresentWindow>(&main);
    own = window.get();
    return window;
  });

  ASSERT_TRUE(display.OpenDisplay(true, 1440, 576, true, false, nullptr, nullptr));
  gui::PresentSurface* window = own ? own->Surface() : nullptr;
  ASSERT_TRUE(window && test::RunEventsUntil([&] { return test::Exposed(*window); }));
  EXPECT_EQ(window->geometry(), QRect(0, 0, 1280, 1024));
  EXPECT_EQ(window->cursor().shape(), Qt::BlankCursor);

  DibPtr frame = test::RandomImage(1440, 576, 21);
  ASSERT_TRUE(display.PutImage(*frame, true, false));
  test::RunEventsFor(100);
  // Every pixel on the screen is the back buffer's, the signature included.
  std::vector<uint32_t> expected;
  ToRGB32(display.Device()->GetBackBuffer(), expected);
  const QImage grab = test::GrabScreen(QRect(0, 0, 1280, 1024));
  ASSERT_EQ(grab.size(), QSize(1280, 1024));
  for (int32_t y = 0; y < 1024; ++y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(grab.constScanLine(y));
    for (int32_t x = 0; x < 1280; ++x) {
      ASSERT_EQ(row[x] & 0xFFFFFFu, expected[static_cast<size_t>(y) * 1280 + x] & 0xFFFFFFu)
          << "pixel (" << x << ", " << y << ")";
    }
  }

  // A key on the window stops the playback.
  QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(window, &key);
  EXPECT_EQ(stop, kTrue);

  // A 640 x 480 back buffer is scaled to 1280 x 960, centred from row 32.
  settings.ScreenWidth = 640, settings.ScreenHeight = 480;
  ASSERT_TRUE(display.OpenDisplay(true, 640, 480, false, false, nullptr, nullptr));
  window = own ? own->Surface() : nullptr;
  ASSERT_TRUE(window && test::RunEventsUntil([&] { return test::Exposed(*window); }));
  DibPtr white = test::SolidImage(640, 480, 255, 255, 255);
  ASSERT_TRUE(display.PutImage(*white, false, true));
  test::RunEventsFor(100);
  const QImage scaled = test::GrabScreen(QRect(0, 0, 1280, 1024));
  for (const QPoint at : {QPoint(0, 0), QPoint(1279, 31), QPoint(640, 992), QPoint(0, 1023)})
    EXPECT_EQ(scaled.pixel(at) & 0xFFFFFFu, 0u) << at.x() << "," << at.y();
  for (const QPoint at : {QPoint(0, 32), QPoint(1279, 991), QPoint(640, 500)})
    EXPECT_EQ(scaled.pixel(at) & 0xFFFFFFu, 0xFFFFFFu) << at.x() << "," << at.y();

  display.CloseDisplay();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(messages.entries.empty());
}

}  // namespace
}  // namespace dioptrix
