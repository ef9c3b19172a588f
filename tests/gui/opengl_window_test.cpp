// The OpenGL back-end on real windows of an X server (Xvfb, 1280 x 1024)
// with Mesa's software GL: what reaches the back buffer, read back just
// before each swap, and the mono fallback when stereo is asked for.
#include "gui/opengl_window.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QPointer>
#include <memory>
#include <vector>

#include "display/line_codes.h"
#include "display/opengl_display.h"
#include "display/output_method.h"
#include "gui/application.h"
#include "gui/main_window.h"
#include "gui/message_boxes.h"
#include "gui/qt_host.h"
#include "platform/flags.h"
#include "tests/common/sample_clips.h"
#include "tests/common/test_images.h"
#include "tests/gui/gui_support.h"

namespace dioptrix {
namespace {

using gui::FrmMain;
using gui::QtGlWindow;

struct OpenGLWindowTest : ::testing::Test {
  FrmMain main;
  Host host;
  MessageLog messages;
  Settings settings;
  EngineArrays arrays;
  CallbackActions actions;
  int16_t stop = kFalse;
  QtGlWindow* window = nullptr;             // the window of the open display
  std::vector<std::vector<uint8_t>> swaps;  // the back buffer read before each swap
  QRect readArea;                           // what is read back, GL's coordinates
  std::unique_ptr<FormOPENGL> display;

  void SetUp() override {
    gui::InstallQtHost(host, &main);
    messages.Attach(host);
    settings.ScreenWidth = 1280;
    settings.ScreenHeight = 1024;
    main.Background().hide();  // as during a playback
    main.show();
    ASSERT_TRUE(test::RunEventsUntil([&] { return test::Exposed(main); }));
    display = std::make_unique<FormOPENGL>(
        host, settings, arrays, CallbackContext{host, actions, stop},
        [this](bool fullscreen) -> std::unique_ptr<GlWindow> {
          std::unique_ptr<QtGlWindow> made;
          if (fullscreen)
            made = std::make_unique<gui::FullscreenGl>(&main);
          else
            made = std::make_unique<gui::MainWindowGl>(&main, &main.PictureArea());
          window = made.get();
          window->SetBeforeSwap([this] {
            swaps.push_back(window->ReadPixels(GlBuffer::Back, readArea.x(), readArea.y(),
                                               readArea.width(), readArea.height()));
          });
          return made;
        },
        nullptr);
  }
  void TearDown() override {
    display->CloseDisplay();
    display.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  // The back buffer before the last swap; empty before the first.
  std::vector<uint8_t> LastSwap() const {
    return swaps.empty() ? std::vector<uint8_t>{} : swaps.back();
  }
  // Waits until the GL surface is on the screen and covers width x height.
  void WaitForSurface(int32_t width, int32_t height) {
    ASSERT_TRUE(window && window->Surface());
    gui::GlSurface* surface = window->Surface();
    ASSERT_TRUE(test::RunEventsUntil([&] {
      return surface->isExposed() && surface->width() >= width && surface->height() >= height;
    })) << surface->width()
        << "x" << surface->height();
  }
};

// The RGB rows GL takes of the w x h rectangle at column x of an image.
std::vector<uint8_t> Rgb(const cDIBSection& image, int32_t x, int32_t w) {
  std::vector<uint8_t> out;
  for (int32_t y = 0; y < image.Height(); ++y)
    for (int32_t i = 0; i < w; ++i) {
      const uint8_t* p = image.ScanLine(y) + 3 * (x + i);
      out.insert(out.end(), {p[2], p[1], p[0]});
    }
  return out;
}

TEST_F(OpenGLWindowTest, WindowedFrameReachesTheBackBufferUnchanged) {
  ASSERT_TRUE(display->OpenDisplay(false, 321, 240, false, false, nullptr, nullptr));
  EXPECT_TRUE(messages.entries.empty()) << messages.Texts().front();
  ASSERT_TRUE(window->GrantedFormat().depthBufferSize() >= 16);
  WaitForSurface(321, 240);
  readArea = QRect(0, 0, 321, 240);
  DibPtr frame = test::RandomImage(321, 240, 5);  // odd width: rows not 4-byte aligned
  EXPECT_TRUE(display->PutImage(*frame, true, true));
  EXPECT_TRUE(LastSwap() == Rgb(*frame, 0, 321));

  // Keys on the GL window reach the callbacks: any key stops the playback.
  SetCallbackActions(actions, 0, 0, 2);
  QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(window->Surface(), &key);
  EXPECT_EQ(stop, kTrue);
  // Closing removes the GL surface from the picture area.
  QPointer<gui::GlSurface> surface = window->Surface();
  display->CloseDisplay();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(surface.isNull());
  EXPECT_TRUE(messages.entries.empty());
}

TEST_F(OpenGLWindowTest, StereoIsRefusedAndTheLeftViewShown) {
  ASSERT_TRUE(display->OpenDisplay(false, 640, 240, true, false, nullptr, nullptr));
  ASSERT_EQ(messages.entries.size(), 1u);
  EXPECT_EQ(messages.entries[0].text, kGlNoStereo);
  EXPECT_FALSE(display->StereoGranted());
  EXPECT_FALSE(window->GrantedFormat().stereo());
  WaitForSurface(320, 240);
  readArea = QRect(0, 0, 320, 240);
  DibPtr frame = test::RandomImage(640, 240, 6);
  display->PutImage(*frame, false, true);
  EXPECT_TRUE(LastSwap() == Rgb(*frame, 0, 320));
}

TEST_F(OpenGLWindowTest, FullscreenFrameIsFittedOrDrawnFromTheCorner) {
  // The start code first, stretched across the top rows.
  DibPtr start = LoadLineCode(LineCode::Linecode_ED_Sync);
  DibPtr end = LoadLineCode(LineCode::Linecode_ED_Off);
  readArea = QRect(0, 1024 - start->Height(), 1280, start->Height());
  ASSERT_TRUE(display->OpenDisplay(true, 640, 400, false, true, start.get(), end.get()));
  EXPECT_TRUE(messages.entries.empty());
  std::vector<uint8_t> code;
  for (int32_t y = 0; y < start->Height(); ++y)
    for (int32_t x = 0; x < 1280; ++x) {
      const uint8_t* p = start->ScanLine(y) + 3 * (x * start->Width() / 1280);
      code.insert(code.end(), {p[2], p[1], p[0]});
    }
  ASSERT_EQ(swaps.size(), 2u);  // drawn, then shown again after the second
  EXPECT_TRUE(swaps[0] == code);
  // 1280 x 800 fitted into the screen at row 112, zoomed twice.
  EXPECT_EQ(display->DestRect(), (FormOPENGL::Rect{0, 112, 1280, 800}));
  WaitForSurface(1280, 1024);
  DibPtr frame = test::RandomImage(640, 400, 8);
  readArea = QRect(0, 112, 640, 400);
  display->PutImage(*frame, false, true);
  EXPECT_TRUE(LastSwap() == Rgb(*frame, 0, 640));
  // Zoomed: every pixel becomes a 2 x 2 block.
  readArea = QRect(0, 112, 1280, 800);
  display->PutImage(*frame, true, true);
  const std::vector<uint8_t> backBuffer = LastSwap();
  ASSERT_EQ(backBuffer.size(), size_t{1280} * 800 * 3);
  bool same = true;
  for (int32_t y = 0; y < 800 && same; ++y)
    for (int32_t x = 0; x < 1280 && same; ++x) {
      const uint8_t* p = frame->ScanLine(y / 2) + 3 * (x / 2);
      const uint8_t* q = backBuffer.data() + 3 * (size_t{1280} * y + x);
      same = q[0] == p[2] && q[1] == p[1] && q[2] == p[0];
    }
  EXPECT_TRUE(same);
}

// The player's own factory: a side-by-side clip played for the quad-buffer
// glasses runs to its end in the main window, in mono with the message.
TEST(OpenGLPlayback, QuadBufferPlaybackRunsThroughTheApplication) {
  test::ClipRequest request;
  request.kind = "sbs";
  request.frames = 6;
  request.audio = false;
  const std::string clip = test::MakeClip(request);
  ASSERT_FALSE(clip.empty());
  std::vector<std::string> shown;
  gui::MessageBoxes::SetHandler(
      [&](QWidget*, const std::string& text, MessageStyle) { shown.push_back(text); });
  {
    test::TempDir dir;
    gui::Application app{gui::Application::Options{{}, dir / "settings.ini", dir / "guide.html"}};
    app.Start();
    ASSERT_TRUE(app.Open_File(clip, false));
    app.SetOutputMethod(kOutputOpenGLQuadBuffer);
    app.Video_Play(false);
    EXPECT_TRUE(test::RunEventsUntil([&] { return !app.Playing(); }, 20000));
    EXPECT_EQ(app.Context().CurrentFrame, 5);
    EXPECT_NE(app.Context().Displays.Existing(BackendKind::OpenGL), nullptr);
  }
  gui::MessageBoxes::SetHandler(nullptr);
  EXPECT_EQ(shown, std::vector<std::string>{kGlNoStereo});
}

}  // namespace
}  // namespace dioptrix
