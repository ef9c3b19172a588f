#include "display/opengl_display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "display/line_codes.h"
#include "platform/error.h"
#include "platform/flags.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

const char* Name(GlBuffer b) {
  switch (b) {
    case GlBuffer::Back:
      return "BACK";
    case GlBuffer::BackLeft:
      return "BACK_LEFT";
    case GlBuffer::BackRight:
      return "BACK_RIGHT";
    default:
      return "FRONT_AND_BACK";
  }
}

// Records every call as text; keeps the bytes of every drawing.
struct FakeGlWindow : GlWindow {
  std::vector<std::string>& log;
  std::string name;
  GlGrant grant;
  GlRelease release;
  bool failDraw = false;
  std::vector<std::vector<uint8_t>>& drawn;

  FakeGlWindow(std::vector<std::string>& l, std::string n, std::vector<std::vector<uint8_t>>& d)
      : log(l), name(std::move(n)), drawn(d) {}
  template <class... T>
  void Say(const T&... parts) {
    std::ostringstream s;
    ((s << parts << ' '), ...);
    std::string text = s.str();
    text.pop_back();
    log.push_back(text);
  }
  void Place(int32_t l, int32_t t, int32_t w, int32_t h) override {
    Say(name, "place", l, t, w, h);
  }
  GlGrant Create(const GlRequest& r) override {
    Say(name, "create", r.width, r.height, r.colourBits, r.depthBits, r.fullscreen ? "full" : "win",
        r.stereo ? "stereo" : "mono");
    return grant;
  }
  void Show() override { Say("show"); }
  int32_t InnerWidth() const override { return 700; }
  int32_t InnerHeight() const override { return 600; }
  void ShowPointer() override { Say("pointer"); }
  GlRelease ReleaseContext() override {
    Say("release");
    return release;
  }
  void Unload() override { Say(name, "unload"); }
  void SetEvents(DisplayEvents*) override {}
  void DrawBuffer(GlBuffer b) override { Say("drawBuffer", Name(b)); }
  void Clear() override { Say("clear"); }
  void LoadIdentity() override { Say("identity"); }
  void MatrixMode(GlMatrix m) override {
    Say("matrix", m == GlMatrix::Projection ? "projection" : "modelview");
  }
  void Ortho2D(double l, double r, double b, double t) override { Say("ortho", l, r, b, t); }
  void Viewport(int32_t x, int32_t y, int32_t w, int32_t h) override {
    Say("viewport", x, y, w, h);
  }
  void ShadeModel(GlShade s) override { Say("shade", s == GlShade::Flat ? "flat" : "smooth"); }
  void ClearColor(float r, float g, float b, float a) override { Say("clearColor", r, g, b, a); }
  void ClearDepth(double d) override { Say("clearDepth", d); }
  void Enable(GlCapability c) override {
    Say("enable", c == GlCapability::Blend ? "blend" : "depth");
  }
  void Disable(GlCapability c) override {
    Say("disable", c == GlCapability::Blend ? "blend" : "depth");
  }
  void DepthFuncLessOrEqual() override { Say("depthFunc lequal"); }
  void PerspectiveHintNicest() override { Say("hint nicest"); }
  void UnpackAlignment(int32_t b) override { Say("align", b); }
  void PixelZoom(float x, float y) override { Say("zoom", x, y); }
  void RasterPos(float x, float y) override { Say("rasterPos", x, y); }
  void DrawPixels(int32_t w, int32_t h, const uint8_t* p, size_t size) override {
    if (failDraw) throw RuntimeError(kErrOverflow);
    Say("draw", w, h);
    ASSERT_GE(size, size_t{3} * w * h);
    drawn.emplace_back(p, p + size_t{3} * w * h);
  }
  void SwapBuffers() override { Say("swap"); }
};

// A screen offering 1024 x 768 at 60 and 75 Hz and its desktop 1280 x 1024.
struct FakeModes : ScreenModes {
  std::vector<DisplayMode> modes{{1024, 768, 32, 60}, {1024, 768, 32, 75}, {1280, 1024, 32, 60}};
  DisplayMode current{1280, 1024, 32, 60};
  std::vector<std::pair<DisplayMode, uint32_t>> changes;
  DisplayMode Current() override { return current; }
  bool Enumerate(int32_t i, DisplayMode& m) override {
    if (i < 0 || i >= static_cast<int32_t>(modes.size())) return false;
    m = modes[i];
    return true;
  }
  bool Change(const DisplayMode& m, uint32_t fields) override {
    changes.emplace_back(m, fields);
    current = m;
    return true;
  }
};

struct OpenGLDisplayTest : ::testing::Test {
  Host host;
  MessageLog messages;
  Settings settings;
  EngineArrays arrays;
  CallbackActions actions;
  int16_t stop = kFalse;
  FakeModes modes;
  std::vector<std::string> log;
  std::vector<std::vector<uint8_t>> drawn;
  GlGrant grant{true, true, true, true, true, 32, 16};
  GlRelease release;
  FakeGlWindow* window = nullptr;
  bool failDraw = false;
  std::unique_ptr<FormOPENGL> display;

  void SetUp() override {
    messages.Attach(host);
    host.onDesktopSize = [] { return ScreenSize{1024, 768}; };
    host.onPumpEvents = [this] { log.push_back("pump"); };
    host.onRunEventsFor = [this](int32_t ms) { log.push_back("wait " + std::to_string(ms)); };
    settings.ScreenWidth = 1024;
    settings.ScreenHeight = 768;
    display = std::make_unique<FormOPENGL>(
        host, settings, arrays, CallbackContext{host, actions, stop},
        [this](bool fullscreen) {
          auto w = std::make_unique<FakeGlWindow>(log, fullscreen ? "own" : "main", drawn);
          w->grant = grant;
          w->release = release;
          w->failDraw = failDraw;
          window = w.get();
          return w;
        },
        &modes);
  }
  // Calls logged from the first one starting with `from`.
  std::vector<std::string> After(const std::string& from) const {
    auto it = std::find_if(log.begin(), log.end(), [&](auto& s) { return s.rfind(from, 0) == 0; });
    return {it, log.end()};
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

TEST_F(OpenGLDisplayTest, WindowedQuadBufferDrawsTheHalvesIntoLeftAndRight) {
  ASSERT_TRUE(display->OpenDisplay(false, 1440, 576, true, false, nullptr, nullptr));
  EXPECT_EQ(display->WindowRect(), (FormOPENGL::Rect{152, 96, 720, 626}));
  EXPECT_EQ(display->DestRect(), (FormOPENGL::Rect{0, 0, 720, 576}));
  EXPECT_TRUE(display->StereoGranted());
  EXPECT_EQ(log, (std::vector<std::string>{"main place 152 96 720 626",
                                           "drawBuffer FRONT_AND_BACK",
                                           "clear",
                                           "identity",
                                           "main create 720 626 32 16 win stereo",
                                           "show",
                                           "viewport 0 0 700 600",
                                           "matrix projection",
                                           "identity",
                                           "ortho 0 700 0 600",
                                           "matrix modelview",
                                           "identity",
                                           "shade smooth",
                                           "clearColor 0 0 0 0",
                                           "clearDepth 1",
                                           "enable depth",
                                           "depthFunc lequal",
                                           "hint nicest",
                                           "drawBuffer FRONT_AND_BACK",
                                           "clear",
                                           "identity"}));
  EXPECT_TRUE(modes.changes.empty());  // windowed: the screen keeps its mode

  DibPtr frame = test::RandomImage(1440, 576, 7);
  log.clear();
  EXPECT_TRUE(display->PutImage(*frame, true, true));
  EXPECT_EQ(log, (std::vector<std::string>{"drawBuffer FRONT_AND_BACK", "align 1", "zoom 1 1",
                                           "drawBuffer BACK_LEFT", "rasterPos 0 0", "draw 720 576",
                                           "drawBuffer BACK_RIGHT", "rasterPos 0 0", "draw 720 576",
                                           "pump", "swap"}));
  ASSERT_EQ(drawn.size(), 2u);
  EXPECT_TRUE(drawn[0] == Rgb(*frame, 0, 720));
  EXPECT_TRUE(drawn[1] == Rgb(*frame, 720, 720));
  EXPECT_TRUE(messages.entries.empty());
}

TEST_F(OpenGLDisplayTest, FullscreenFitsTheFrameAndZoomsOnlyWhenResizing) {
  ASSERT_TRUE(display->OpenDisplay(true, 720, 1152, false, false, nullptr, nullptr));
  EXPECT_EQ(display->WindowRect(), (FormOPENGL::Rect{0, 0, 1024, 768}));
  EXPECT_EQ(display->DestRect(), (FormOPENGL::Rect{272, 0, 480, 768}));
  EXPECT_NEAR(display->PixelZoom(), 2.0 / 3.0, 1e-6);
  EXPECT_EQ(log.front(), "own place 0 0 1024 768");
  // Blending off and flat shading after the set-up.
  const auto tail = After("hint nicest");
  EXPECT_EQ(std::vector<std::string>(tail.begin() + 1, tail.begin() + 3),
            (std::vector<std::string>{"disable blend", "shade flat"}));

  DibPtr frame = test::RandomImage(720, 1152, 3);
  for (bool resize : {true, false}) {
    log.clear();
    drawn.clear();
    display->PutImage(*frame, resize, false);
    const std::string zoom = resize ? "zoom 0.666667 0.666667" : "zoom 1 1";
    EXPECT_EQ(log, (std::vector<std::string>{"drawBuffer FRONT_AND_BACK", "align 1", zoom,
                                             "drawBuffer BACK", "rasterPos 272 0", "draw 720 1152",
                                             "pump", "swap"}));
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_TRUE(drawn[0] == Rgb(*frame, 0, 720));
  }
  log.clear();
  display->CloseDisplay();
  EXPECT_EQ(log, (std::vector<std::string>{"pointer", "release", "own unload"}));
  display->CloseDisplay();  // safe when closed
}

TEST_F(OpenGLDisplayTest, ScreenModeIsSwitchedAndTheDesktopModeAlwaysRestored) {
  // Refresh -1: the mode's own rate, no frequency asked for.
  ASSERT_TRUE(display->OpenDisplay(true, 720, 576, false, false, nullptr, nullptr));
  ASSERT_EQ(modes.changes.size(), 1u);
  EXPECT_EQ(modes.changes[0].first, (DisplayMode{1024, 768, 32, 60}));
  EXPECT_EQ(modes.changes[0].second, kModeSize);
  display->CloseDisplay();
  ASSERT_EQ(modes.changes.size(), 2u);
  EXPECT_EQ(modes.changes[1].first, (DisplayMode{1280, 1024, 32, 60}));
  EXPECT_EQ(modes.changes[1].second, kModeSize | kModeFrequency);

  // A frame that fails midway is reported; the close still restores.
  settings.RefreshRate = 75;
  failDraw = true;
  ASSERT_TRUE(display->OpenDisplay(true, 720, 576, false, false, nullptr, nullptr));
  EXPECT_EQ(modes.changes[2].first, (DisplayMode{1024, 768, 32, 75}));
  EXPECT_EQ(modes.changes[2].second, kModeSize | kModeFrequency);
  EXPECT_TRUE(display->PutImage(*test::RandomImage(720, 576, 1), true, false));
  ASSERT_EQ(messages.Texts(), (std::vector<std::string>{std::string(kOpenGLImageError) +
                                                        RuntimeError(kErrOverflow).Description()}));
  display->CloseDisplay();
  EXPECT_EQ(modes.current, (DisplayMode{1280, 1024, 32, 60}));

  // A display never closed restores when the back-end goes.
  ASSERT_TRUE(display->OpenDisplay(true, 720, 576, false, false, nullptr, nullptr));
  EXPECT_EQ(modes.current.width, 1024);
  display.reset();
  EXPECT_EQ(modes.current, (DisplayMode{1280, 1024, 32, 60}));
}

TEST_F(OpenGLDisplayTest, SceneOfNoHeightGetsOneRow) {
  ASSERT_TRUE(display->OpenDisplay(false, 320, 240, false, false, nullptr, nullptr));
  log.clear();
  display->ReSizeGLScene(640, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"viewport 0 0 640 1", "matrix projection", "identity",
                                           "ortho 0 640 0 1", "matrix modelview", "identity"}));
  // A frame of no width cannot be placed.
  EXPECT_FALSE(display->OpenDisplay(false, 1, 240, true, false, nullptr, nullptr));
  EXPECT_EQ(messages.Texts().back(),
            std::string(kOpenGLOpenError) + RuntimeError(kErrDivisionByZero).Description());
}

TEST_F(OpenGLDisplayTest, WithoutStereoTheLeftViewGoesIntoTheBackBuffer) {
  grant.stereo = false;
  ASSERT_TRUE(display->OpenDisplay(false, 1440, 576, true, false, nullptr, nullptr));
  EXPECT_FALSE(display->StereoGranted());
  ASSERT_EQ(messages.entries.size(), 1u);
  EXPECT_EQ(messages.entries[0].text, kGlNoStereo);
  EXPECT_EQ(messages.entries[0].style, MessageStyle::Information);
  DibPtr frame = test::RandomImage(1440, 576, 9);
  log.clear();
  display->PutImage(*frame, true, true);
  EXPECT_EQ(After("drawBuffer BACK"), (std::vector<std::string>{"drawBuffer BACK", "rasterPos 0 0",
                                                                "draw 720 576", "pump", "swap"}));
  ASSERT_EQ(drawn.size(), 1u);
  EXPECT_TRUE(drawn[0] == Rgb(*frame, 0, 720));
}

TEST_F(OpenGLDisplayTest, FailedSetUpAndReleaseAreShownWithTheirTitles) {
  grant = GlGrant{true, true, false, false, false, 0, 0};
  release = GlRelease{false, false};
  ASSERT_TRUE(display->OpenDisplay(true, 720, 576, true, false, nullptr, nullptr));
  display->CloseDisplay();
  ASSERT_EQ(messages.entries.size(), 4u);
  EXPECT_EQ(messages.entries[0].text, "ERROR: Can't Create A GL Rendering Context.");
  EXPECT_EQ(messages.entries[1].text, "ERROR: Can't Activate The GL Rendering Context.");
  EXPECT_EQ(messages.entries[1].style, MessageStyle::Error);
  EXPECT_EQ(messages.entries[2].text, "SHUTDOWN ERROR: Release Of DC And RC Failed.");
  EXPECT_EQ(messages.entries[3].text, "SHUTDOWN ERROR: Release Rendering Context Failed.");
  EXPECT_EQ(messages.entries[3].style, MessageStyle::Information);
}

TEST_F(OpenGLDisplayTest, LineCodesFrameTheDisplay) {
  DibPtr start = LoadLineCode(LineCode::Linecode_ED_Sync);
  DibPtr end = LoadLineCode(LineCode::Linecode_ED_Off);
  ASSERT_TRUE(display->OpenDisplay(true, 720, 576, false, true, start.get(), end.get()));
  EXPECT_TRUE(display->LineCodeActive());
  std::ostringstream zoom;
  zoom << "zoom " << 1024.0f / static_cast<float>(start->Width()) << " 1";
  const std::string raster = "rasterPos 0 " + std::to_string(768 - start->Height());
  EXPECT_EQ(After("shade flat"),
            (std::vector<std::string>{
                "shade flat", "clear", "align 1", zoom.str(), "drawBuffer BACK", raster,
                "draw " + std::to_string(start->Width()) + " " + std::to_string(start->Height()),
                "swap", "wait 1000", "swap", "drawBuffer FRONT_AND_BACK", "clear", "identity"}));
  ASSERT_EQ(drawn.size(), 1u);
  EXPECT_TRUE(drawn[0] == Rgb(*start, 0, start->Width()));
  log.clear();
  display->CloseDisplay();
  EXPECT_EQ(After("draw "), (std::vector<std::string>{"draw 10 10", "swap", "wait 1000", "pointer",
                                                      "release", "own unload"}));
  EXPECT_TRUE(drawn[1] == Rgb(*end, 0, end->Width()));
  EXPECT_FALSE(display->LineCodeActive());
  // The start code failing closes the display again.
  failDraw = true;
  EXPECT_FALSE(display->OpenDisplay(true, 720, 576, false, true, start.get(), end.get()));
  EXPECT_EQ(messages.Texts().back().rfind(kOpenGLLineCodeError, 0), 0u);
  EXPECT_EQ(log.back(), "own unload");
  EXPECT_EQ(modes.current.width, 1280);
}

}  // namespace
}  // namespace dioptrix
