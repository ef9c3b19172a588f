#include "display/dispatch.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "display/callback.h"
#include "display/line_codes.h"
#include "display/screen.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

// Records every call; PutImage answers with `putResult`.
struct FakeBackend : DisplayBackend {
  std::string name;
  std::vector<std::string> calls;
  bool putResult = true;
  bool lastFullscreen = false, lastMode = false, lastUseLineCode = false;
  bool lastResize = false, lastQuick = false;
  int32_t lastX = 0, lastY = 0;
  Picture startCode, endCode;
  DibPtr startImage, endImage;

  explicit FakeBackend(std::string n) : name(std::move(n)) {}
  bool OpenDisplay(bool fullscreen, int32_t x, int32_t y, bool mode, bool useLineCode,
                   const cDIBSection* start, const cDIBSection* end) override {
    calls.push_back("open");
    lastFullscreen = fullscreen, lastX = x, lastY = y, lastMode = mode;
    lastUseLineCode = useLineCode;
    startImage = start ? start->CopyOf() : nullptr;
    endImage = end ? end->CopyOf() : nullptr;
    return true;
  }
  void ResizeSurface(int32_t, int32_t) override { calls.push_back("resize"); }
  bool PutImage(const cDIBSection&, bool resize, bool quick) override {
    calls.push_back("put");
    lastResize = resize, lastQuick = quick;
    return putResult;
  }
  bool CloseDisplay() override {
    calls.push_back("close");
    return true;
  }
};

struct DispatchTest : ::testing::Test {
  Host host;
  MessageLog log;
  Settings settings;
  FrameImages frames;
  FakeBackend blit{"blit"}, directX{"directX"}, openGL{"openGL"};
  DisplayDevices devices{&blit, &directX, &openGL};
  DisplayContext ctx{host, settings, frames, devices};

  void SetUp() override {
    log.Attach(host);
    frames.OutputFrame = test::SolidImage(64, 48, 1, 2, 3);
  }
  OutputRequest Request(int16_t method, bool fullscreen) {
    OutputRequest r;
    r.OutputMethod = method;
    r.Fullscreen = fullscreen ? kTrue : kFalse;
    return r;
  }
};

bool SamePicture(const cDIBSection& img, LineCode code) {
  cDIBSection expected;
  expected.CreateFromPicture(LineCodePicture(code));
  return test::SamePixels(img, expected);
}

TEST_F(DispatchTest, EachMethodOpensItsBackEnd) {
  OpenOutputDisplay(ctx, Request(kOutputStereoDriver, true));
  EXPECT_EQ(directX.calls, std::vector<std::string>{"open"});
  EXPECT_TRUE(directX.lastFullscreen && directX.lastMode && !directX.lastUseLineCode);
  EXPECT_EQ(directX.lastX, 64);
  EXPECT_EQ(directX.lastY, 48);

  OpenOutputDisplay(ctx, Request(kOutputInterlaced, false));  // windowed interlaced
  EXPECT_EQ(blit.calls, std::vector<std::string>{"open"});
  EXPECT_FALSE(blit.lastFullscreen);
  EXPECT_TRUE(blit.lastMode);

  OpenOutputDisplay(ctx, Request(kOutputAnaglyphYellow, true));
  EXPECT_TRUE(blit.lastFullscreen && !blit.lastUseLineCode);

  OpenOutputDisplay(ctx, Request(kOutputOpenGLQuadBuffer, false));
  EXPECT_FALSE(openGL.lastFullscreen);
  EXPECT_TRUE(openGL.lastMode);
  EXPECT_FALSE(openGL.lastUseLineCode);
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(DispatchTest, ShutterModesUseLineCodesAndHalveTheRefreshRate) {
  settings.RefreshRate = 120;
  OpenOutputDisplay(ctx, Request(kOutputShutterED, false));  // fullscreen forced
  EXPECT_TRUE(openGL.lastFullscreen && openGL.lastUseLineCode && !openGL.lastMode);
  ASSERT_TRUE(openGL.startImage && openGL.endImage);
  EXPECT_TRUE(SamePicture(*openGL.startImage, LineCode::Linecode_ED_Sync));
  EXPECT_TRUE(SamePicture(*openGL.endImage, LineCode::Linecode_ED_Off));
  EXPECT_EQ(settings.RefreshRate, 60);

  settings.RefreshRate = 100;  // 50 is below 56
  OpenOutputDisplay(ctx, Request(kOutputShutterEye3D, false));
  EXPECT_TRUE(SamePicture(*openGL.startImage, LineCode::Linecode_Eye_Sync));
  EXPECT_EQ(settings.RefreshRate, 60);
  EXPECT_EQ(HalvedRefreshRate(-1), 60);
  EXPECT_EQ(HalvedRefreshRate(170), 85);
  EXPECT_EQ(HalvedRefreshRate(125), 62);  // 62.5 to even

  // Fullscreen interlaced: OpenGL with the interlace codes, no halving; or
  // the fullscreen blit with the same codes.
  settings.RefreshRate = 120;
  OpenOutputDisplay(ctx, Request(kOutputInterlaced, true));
  EXPECT_TRUE(SamePicture(*openGL.startImage, LineCode::Linecode_ED_Interlace));
  EXPECT_EQ(settings.RefreshRate, 120);
  settings.InterlaceViaOpenGL = false;
  OpenOutputDisplay(ctx, Request(kOutputInterlaced, true));
  EXPECT_TRUE(blit.lastUseLineCode && blit.lastFullscreen);
  EXPECT_TRUE(SamePicture(*blit.endImage, LineCode::Linecode_ED_Off));
}

TEST_F(DispatchTest, ShowAndCloseFollowTheTable) {
  struct Case {
    int16_t method;
    bool fullscreen;
    FakeBackend* backend;
    bool resize;
  };
  for (const Case& c :
       {Case{kOutputShutterEye3D, true, &openGL, false},
        Case{kOutputAnaglyphGrey, false, &blit, true}, Case{kOutputInterlaced, false, &blit, false},
        Case{kOutputInterlaced, true, &openGL, false},
        Case{kOutputStereoDriver, true, &directX, true},
        Case{kOutputOpenGLQuadBuffer, false, &openGL, true}}) {
    c.backend->calls.clear();
    EXPECT_TRUE(ShowOutputFrame(ctx, Request(c.method, c.fullscreen), true));
    CloseOutputDisplay(ctx, Request(c.method, c.fullscreen));
    EXPECT_EQ(c.backend->calls, (std::vector<std::string>{"put", "close"})) << c.method;
    EXPECT_EQ(c.backend->lastResize, c.resize) << c.method;
    EXPECT_TRUE(c.backend->lastQuick);
  }
  // A failed put stops playback, except on OpenGL whose result is not used.
  blit.putResult = false;
  openGL.putResult = false;
  EXPECT_FALSE(ShowOutputFrame(ctx, Request(kOutputAnaglyphColour, false), true));
  EXPECT_TRUE(ShowOutputFrame(ctx, Request(kOutputOpenGLQuadBuffer, false), true));
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(DispatchTest, InvalidMethodsAndMissingPiecesAreReported) {
  OpenOutputDisplay(ctx, Request(9, false));
  EXPECT_FALSE(ShowOutputFrame(ctx, Request(0, false), true));
  CloseOutputDisplay(ctx, Request(-3, false));
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{"Invalid output format.9", "Invalid output format.0",
                                      "Invalid output format.-3"}));
  log.entries.clear();
  devices = DisplayDevices{&blit, nullptr, &openGL};
  OpenOutputDisplay(ctx, Request(kOutputStereoDriver, true));
  frames.OutputFrame.reset();
  EXPECT_FALSE(ShowOutputFrame(ctx, Request(kOutputOpenGLQuadBuffer, true), true));
  OpenOutputDisplay(ctx, Request(kOutputAnaglyphColour, false));
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{
                             "Error in Init_NVidia. Object variable not set",
                             "An error occurred in ShowOutputFrame. Object variable not set",
                             "Error in Init_Blit_Windowed. Object variable not set"}));
}

// Each back-end is made by its factory the first time a playback needs it,
// once for the run; closing a kind that was never made makes nothing.
TEST(DisplayDevicesTest, BackEndsAreMadeOnFirstUseAndKept) {
  Host host;
  Settings settings;
  FrameImages frames;
  frames.OutputFrame = test::SolidImage(8, 6, 0, 0, 0);
  DisplayDevices devices;
  DisplayContext ctx{host, settings, frames, devices};
  int made = 0;
  FakeBackend* blit = nullptr;
  devices.SetFactory(BackendKind::Blit, [&] {
    ++made;
    auto backend = std::make_unique<FakeBackend>("blit");
    blit = backend.get();
    return backend;
  });
  const OutputRequest anaglyph{kOutputAnaglyphColour, kFalse};
  CloseOutputDisplay(ctx, anaglyph);
  EXPECT_EQ(made, 0);
  EXPECT_EQ(devices.Existing(BackendKind::Blit), nullptr);
  for (int run = 0; run < 2; ++run) {
    OpenOutputDisplay(ctx, anaglyph);
    ShowOutputFrame(ctx, anaglyph, true);
    CloseOutputDisplay(ctx, anaglyph);
  }
  EXPECT_EQ(made, 1);
  ASSERT_NE(blit, nullptr);
  EXPECT_EQ(blit->calls,
            (std::vector<std::string>{"open", "put", "close", "open", "put", "close"}));
  // A kind without a factory stays empty: the dispatch reports it.
  EXPECT_EQ(devices.Get(BackendKind::DirectX), nullptr);
  devices.Release(BackendKind::Blit);
  EXPECT_EQ(devices.Existing(BackendKind::Blit), nullptr);
  OpenOutputDisplay(ctx, anaglyph);
  EXPECT_EQ(made, 2);
}

TEST(LineCodes, PicturesHoldTheirRows) {
  DibPtr sync = LoadLineCode(LineCode::Linecode_ED_Sync);
  ASSERT_EQ(sync->Width(), 20);
  ASSERT_EQ(sync->Height(), 10);
  // Top two rows red, then two green, then six yellow (rows from the top).
  auto rowColour = [](const cDIBSection& img, int32_t rowFromTop) {
    const uint8_t* p = test::PixelAt(img, 0, img.Height() - 1 - rowFromTop);
    return std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]);
  };
  EXPECT_EQ(rowColour(*sync, 0), "0,0,255");
  EXPECT_EQ(rowColour(*sync, 3), "0,255,0");
  EXPECT_EQ(rowColour(*sync, 9), "0,255,255");
  DibPtr off = LoadLineCode(LineCode::Linecode_ED_Off);
  EXPECT_EQ(rowColour(*off, 8), "0,0,0");
  // The two Eye3D codes differ only in their fifteenth row from the top.
  Picture a = LineCodePicture(LineCode::Linecode_Eye_Sync);
  Picture b = LineCodePicture(LineCode::Linecode_Eye_Off);
  ASSERT_EQ(a.Height(), 40);
  ASSERT_EQ(b.Height(), 40);
  for (int32_t y = 0; y < 40; ++y) {
    const bool same = a.PixelAt(0, y).green == b.PixelAt(0, y).green &&
                      a.PixelAt(0, y).red == b.PixelAt(0, y).red;
    EXPECT_EQ(same, y != 14) << y;
  }
}

TEST(Screen, FitToScreen) {
  int32_t w = 720, h = 576, x = -1, y = -1;
  FitToScreen(w, h, x, y, 1024, 768);
  EXPECT_EQ(std::vector<int32_t>({w, h, x, y}), std::vector<int32_t>({960, 768, 32, 0}));
  w = 640, h = 480;
  FitToScreen(w, h, x, y, 1280, 1024);
  EXPECT_EQ(std::vector<int32_t>({w, h, x, y}), std::vector<int32_t>({1280, 960, 0, 32}));
  w = 1440, h = 576;  // the stereo-driver case: into twice the screen width
  FitToScreen(w, h, x, y, 2048, 768);
  EXPECT_EQ(std::vector<int32_t>({w, h}), std::vector<int32_t>({1920, 768}));
  w = 721, h = 100;  // odd results are made even
  FitToScreen(w, h, x, y, 721, 1000);
  EXPECT_EQ(w, 720);
  w = 0, h = 0;
  FitToScreen(w, h, x, y, 1024, 768);
  EXPECT_EQ(std::vector<int32_t>({w, h, x, y}), std::vector<int32_t>({0, 0, 0, 0}));
}

TEST(Callbacks, KeysAndClicksStopPlayback) {
  Host host;
  MessageLog log;
  log.Attach(host);
  CallbackActions actions;
  int16_t stop = kFalse;
  CallbackContext ctx{host, actions, stop};
  FakeBackend display("blit");
  SetCallbackActions(actions, 2, 0, 2);
  OnLost(ctx, display);
  EXPECT_EQ(stop, kFalse);
  OnKey(ctx, display, 32, 0);
  EXPECT_EQ(stop, kTrue);
  stop = kFalse;
  OnClick(ctx, display, 1, 0);
  EXPECT_EQ(stop, kTrue);
  SetCallbackActions(actions, 1, 3, 4);
  OnClick(ctx, display, 1, 0);
  EXPECT_EQ(display.calls, std::vector<std::string>{"close"});
  OnLost(ctx, display);
  OnKey(ctx, display, 1, 0);
  SetCallbackActions(actions, 3, 0, 3);
  OnClick(ctx, display, 1, 0);  // forwarded to the viewer: nothing happens
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{"An error has occurred in Callback:OnLost. Invalid method.",
                                      "An error has occurred in Callback:OnKey. Invalid method."}));
}

}  // namespace
}  // namespace dioptrix
