#include "display/directx_display.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "display/line_codes.h"
#include "platform/error.h"
#include "platform/flags.h"
#include "tests/common/test_images.h"

namespace dioptrix {
namespace {

// Records what the back-end asks of its window; keeps the last frame.
struct FakePresentWindow : PresentWindow {
  std::vector<std::string>& log;
  DisplayEvents* events = nullptr;
  std::vector<uint32_t> frame;
  int32_t width = 0, height = 0;
  int frames = 0;

  explicit FakePresentWindow(std::vector<std::string>& l) : log(l) {}
  void Show() override { log.push_back("show"); }
  void ShowFrame(const uint32_t* pixels, int32_t w, int32_t h) override {
    frame.assign(pixels, pixels + static_cast<size_t>(w) * h);
    width = w, height = h, ++frames;
  }
  void Unload() override { log.push_back("unload"); }
  void SetEvents(DisplayEvents* e) override { events = e; }
  uint32_t At(int32_t x, int32_t y) const { return frame[static_cast<size_t>(y) * width + x]; }
};

// Fills the rectangle (top-left based) of an image with one colour.
void FillRect(cDIBSection& image, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t rgb) {
  for (int32_t row = y; row < y + h; ++row) {
    uint8_t* p = image.ScanLine(image.Height() - 1 - row) + 3 * x;
    for (int32_t i = 0; i < w; ++i, p += 3)
      p[0] = rgb & 0xFF, p[1] = (rgb >> 8) & 0xFF, p[2] = rgb >> 16;
  }
}

struct DirectXDisplayTest : ::testing::Test {
  Host host;
  MessageLog messages;
  Settings settings;
  TagstampLibrary tagstamp;
  CallbackActions actions;
  int16_t stop = kFalse;
  std::vector<std::string> log;
  FakePresentWindow* window = nullptr;
  std::unique_ptr<frmDirectXSurface> display;

  void SetUp() override {
    messages.Attach(host);
    host.onRunEventsFor = [this](int32_t ms) { log.push_back("wait " + std::to_string(ms)); };
    settings.ScreenWidth = 1024, settings.ScreenHeight = 768, settings.ColourDepth = 32;
    display = Make(tagstamp);
  }
  std::unique_ptr<frmDirectXSurface> Make(TagstampLibrary& library) {
    return std::make_unique<frmDirectXSurface>(host, settings, library,
                                               CallbackContext{host, actions, stop}, [this] {
                                                 auto w = std::make_unique<FakePresentWindow>(log);
                                                 window = w.get();
                                                 return w;
                                               });
  }
};

TEST_F(DirectXDisplayTest, StereoPairIsSignedAndItsLeftHalfCentredOnTheBackBuffer) {
  // A side-by-side 1440 x 576 frame: the left view in four quadrants, the
  // right view blue.
  DibPtr frame = test::SolidImage(1440, 576, 0, 0, 255);
  FillRect(*frame, 0, 0, 360, 288, 0xFF0000);
  FillRect(*frame, 360, 0, 360, 288, 0x00FF00);
  FillRect(*frame, 0, 288, 360, 288, 0xFFFF00);
  FillRect(*frame, 360, 288, 360, 288, 0xFFFFFF);
  ASSERT_TRUE(display->OpenDisplay(true, 1440, 576, true, false, nullptr, nullptr));
  const SurfaceDesc image = display->ImageSurface()->GetDesc();
  EXPECT_EQ(image.Width, 1920);
  EXPECT_EQ(image.Height, 768);
  EXPECT_EQ(image.Format, kFormatX8R8G8B8);
  EXPECT_EQ(display->SurfaceBits(), 32);
  ASSERT_TRUE(display->PutImage(*frame, true, true));

  // The image surface is the frame scaled by nearest pixels, flipped to
  // top-down, with the signature tagstamp writes at the start of its last row.
  Surface expected(1920, 768, kFormatX8R8G8B8);
  DibPtr flipped = frame->CopyOf();
  EngineArrays arrays;
  cImageProcessDIB(arrays).Flip(*flipped);
  LoadSurfaceFromMemory(expected, nullptr, flipped->DIBSectionBitsPtr(), flipped->ImageSize(),
                        flipped->BytesPerScanLine(), {0, 0, 1440, 576}, kFilterPoint);
  const int32_t pitch = expected.Pitch();
  tagstamp.MAKE_STEREO(expected.Bits(), 767 * pitch, 0, 1920, 768, 32);
  const Surface& got = *display->ImageSurface();
  ASSERT_EQ(got.Pitch(), pitch);
  EXPECT_EQ(std::memcmp(got.Bits(), expected.Bits(), size_t{768} * pitch), 0);
  EXPECT_EQ(std::memcmp(got.Bits() + 767 * pitch, "NV3D", 4), 0);

  // The left 960 x 768 lands at (32, 0) of the 1024 x 768 back buffer, which
  // is what the window was given.
  ASSERT_EQ(window->width, 1024);
  ASSERT_EQ(window->height, 768);
  for (int32_t y = 0; y < 767; ++y) {
    for (int32_t x = 0; x < 1024; ++x) {
      const uint32_t want = x < 32 || x >= 992 ? 0
                            : y < 384          ? (x < 512 ? 0xFF0000 : 0x00FF00)
                                               : (x < 512 ? 0xFFFF00 : 0xFFFFFF);
      ASSERT_EQ(window->At(x, y), 0xFF000000u | want) << x << "," << y;
    }
  }
  const Surface& back = display->Device()->GetBackBuffer();
  EXPECT_EQ(
      std::memcmp(back.Bits() + 767 * back.Pitch() + 32 * 4, got.Bits() + 767 * pitch, 4 * 960), 0);
  EXPECT_TRUE(messages.entries.empty());
}

TEST_F(DirectXDisplayTest, ColourDepthChoosesTheBackBufferFormat) {
  settings.ScreenWidth = 8, settings.ScreenHeight = 4;
  DibPtr frame = test::SolidImage(8, 4, 0x10, 0x80, 0xFF);  // blue, green, red
  settings.ColourDepth = 24;
  ASSERT_TRUE(display->OpenDisplay(true, 8, 4, false, false, nullptr, nullptr));
  EXPECT_EQ(display->Device()->GetBackBuffer().GetDesc().Format, kFormatX8R8G8B8);
  EXPECT_EQ(display->SurfaceBits(), 32);
  ASSERT_TRUE(display->PutImage(*frame, false, false));
  const uint8_t* p = display->Device()->GetBackBuffer().Bits();
  EXPECT_EQ(std::vector<uint8_t>(p, p + 4), (std::vector<uint8_t>{0x10, 0x80, 0xFF, 0x00}));
  display->CloseDisplay();

  settings.ColourDepth = 16;
  ASSERT_TRUE(display->OpenDisplay(true, 8, 4, false, false, nullptr, nullptr));
  const Surface& back = display->Device()->GetBackBuffer();
  EXPECT_EQ(back.GetDesc().Format, kFormatR5G6B5);
  EXPECT_EQ(back.Pitch(), 16);
  EXPECT_EQ(display->SurfaceBits(), 16);
  ASSERT_TRUE(display->PutImage(*frame, false, false));
  // 11111 100000 00010: red 0xFF>>3, green 0x80>>2, blue 0x10>>3.
  EXPECT_EQ(back.Bits()[0], 0x02);
  EXPECT_EQ(back.Bits()[1], 0xFC);
  EXPECT_EQ(window->At(7, 3), 0xFFFF8210u);  // expanded by repeating the top bits
  display->CloseDisplay();
  EXPECT_TRUE(messages.entries.empty());

  settings.ColourDepth = 8;
  log.clear();
  EXPECT_FALSE(display->OpenDisplay(true, 8, 4, false, false, nullptr, nullptr));
  EXPECT_EQ(messages.Texts(),
            (std::vector<std::string>{"Invalid colour depth: 8", kSurfaceInitFailed}));
  EXPECT_EQ(display->Device(), nullptr);
  EXPECT_TRUE(log.empty());  // no window covers the screen
}

TEST_F(DirectXDisplayTest, PresentParametersKeepTheLastRefreshRate) {
  settings.RefreshRate = -1;
  ASSERT_TRUE(display->OpenDisplay(true, 720, 576, true, false, nullptr, nullptr));
  PresentParameters p = display->PresentParams();
  EXPECT_EQ(p.BackBufferWidth, 1024);
  EXPECT_EQ(p.BackBufferHeight, 768);
  EXPECT_EQ(p.BackBufferFormat, kFormatX8R8G8B8);
  EXPECT_EQ(p.BackBufferCount, 1);
  EXPECT_EQ(p.SwapEffect, kSwapDiscard);
  EXPECT_FALSE(p.Windowed);
  EXPECT_EQ(p.FullScreen_RefreshRateInHz, 0);
  display->CloseDisplay();
  settings.RefreshRate = 120;
  ASSERT_TRUE(display->OpenDisplay(true, 720, 576, true, false, nullptr, nullptr));
  display->CloseDisplay();
  settings.RefreshRate = -1;
  ASSERT_TRUE(display->OpenDisplay(true, 720, 576, true, false, nullptr, nullptr));
  EXPECT_EQ(display->PresentParams().FullScreen_RefreshRateInHz, 120);
}

TEST_F(DirectXDisplayTest, UnscaledFramesLoadAtTheirOwnSizeFromAnEvenRow) {
  EXPECT_FALSE(display->OpenDisplay(false, 8, 3, false, false, nullptr, nullptr));
  EXPECT_EQ(messages.Texts(),
            std::vector<std::string>{"This mode does not support windowed display."});
  EXPECT_EQ(window, nullptr);

  // 8 x 3 fits a 16 x 16 screen as 16 x 6 at row 5, which becomes row 4.
  settings.ScreenWidth = 16, settings.ScreenHeight = 16;
  ASSERT_TRUE(display->OpenDisplay(true, 8, 3, false, false, nullptr, nullptr));
  EXPECT_EQ(display->DestWidth(), 16);
  EXPECT_EQ(display->DestHeight(), 6);
  DibPtr frame = test::RandomImage(8, 3, 5);
  ASSERT_TRUE(display->PutImage(*frame, false, true));
  for (int32_t y = 0; y < 16; ++y) {
    for (int32_t x = 0; x < 16; ++x) {
      uint32_t want = 0;
      if (x < 8 && y >= 4 && y < 7) {
        const uint8_t* p = frame->ScanLine(2 - (y - 4)) + 3 * x;
        want = (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
      }
      ASSERT_EQ(window->At(x, y), 0xFF000000u | want) << x << "," << y;
    }
  }
}

// A packed 24-bit source row from 0xRRGGBB pixels.
std::vector<uint8_t> Bgr(std::initializer_list<uint32_t> pixels) {
  std::vector<uint8_t> bytes;
  for (uint32_t p : pixels)
    bytes.insert(bytes.end(), {uint8_t(p), uint8_t(p >> 8), uint8_t(p >> 16)});
  return bytes;
}

std::vector<uint32_t> Row(const Surface& s, int32_t y) {
  std::vector<uint32_t> row;
  for (int32_t x = 0; x < s.GetDesc().Width; ++x) row.push_back(s.PixelRGB(x, y));
  return row;
}

TEST(SurfaceDevice, FiltersScaleAndClip) {
  const std::vector<uint8_t> two = Bgr({0x0A141E, 0x323C47});
  Surface s(3, 1, kFormatX8R8G8B8);
  auto load = [&](SurfaceFilter f, SurfaceRect dest) {
    s.Fill(0x010101);
    LoadSurfaceFromMemory(s, &dest, two.data(), two.size(), 6, {0, 0, 2, 1}, f);
    return Row(s, 0);
  };
  // Enlarged 2 -> 3: nearest centres take pixels 0, 1, 1; area weights give
  // the middle pixel half of each, (0x1E + 0x47 + 1) / 2 = 0x33.
  EXPECT_EQ(load(kFilterPoint, {0, 0, 3, 1}),
            (std::vector<uint32_t>{0x0A141E, 0x323C47, 0x323C47}));
  EXPECT_EQ(load(kFilterTriangle, {0, 0, 3, 1}),
            (std::vector<uint32_t>{0x0A141E, 0x1E2833, 0x323C47}));
  // Unfiltered: own size in the corner, the rest untouched; off the surface
  // clipped.
  EXPECT_EQ(load(kFilterNone, {0, 0, 3, 1}), (std::vector<uint32_t>{0x0A141E, 0x323C47, 0x010101}));
  EXPECT_EQ(load(kFilterNone, {2, 0, 5, 1}), (std::vector<uint32_t>{0x010101, 0x010101, 0x0A141E}));
  EXPECT_EQ(load(kFilterPoint, {-1, 0, 2, 1}),
            (std::vector<uint32_t>{0x323C47, 0x323C47, 0x010101}));

  // Reduced 2 x 2 -> 1 x 1: the mean of four; nearest takes pixel (1, 1).
  const std::vector<uint8_t> four = Bgr({0x000000, 0x000004, 0x000008, 0x00000D});
  Surface one(1, 1, kFormatX8R8G8B8);
  LoadSurfaceFromMemory(one, nullptr, four.data(), four.size(), 6, {0, 0, 2, 2}, kFilterTriangle);
  EXPECT_EQ(one.PixelRGB(0, 0), 0x000006u);  // 25 / 4 rounded
  LoadSurfaceFromMemory(one, nullptr, four.data(), four.size(), 6, {0, 0, 2, 2}, kFilterPoint);
  EXPECT_EQ(one.PixelRGB(0, 0), 0x00000Du);

  // A source rectangle off its buffer, or a pitch too short, raises.
  EXPECT_THROW(
      LoadSurfaceFromMemory(one, nullptr, four.data(), four.size(), 6, {0, 0, 2, 3}, kFilterNone),
      RuntimeError);
  EXPECT_THROW(
      LoadSurfaceFromMemory(one, nullptr, four.data(), four.size(), 3, {0, 0, 2, 1}, kFilterNone),
      RuntimeError);

  // Rectangle copies leave out what is off either surface.
  PresentParameters params{3, 1, kFormatX8R8G8B8, 1, kSwapDiscard, false, 0};
  SurfaceDevice device(params, nullptr);
  s.Fill(0);
  LoadSurfaceFromMemory(s, nullptr, two.data(), two.size(), 6, {0, 0, 2, 1}, kFilterNone);
  device.Clear(0x050505);
  device.CopyRects(s, {-1, 0, 2, 1}, device.GetBackBuffer(), 1, 0);
  EXPECT_EQ(Row(device.GetBackBuffer(), 0), (std::vector<uint32_t>{0x050505, 0x050505, 0x0A141E}));
  EXPECT_THROW(Surface(0, 4, kFormatR5G6B5), RuntimeError);
}

TEST_F(DirectXDisplayTest, LineCodesFrameTheDisplayAndKeysStopThePlayback) {
  SetCallbackActions(actions, 2, 0, 2);
  DibPtr start = LoadLineCode(LineCode::Linecode_ED_Sync);
  DibPtr end = LoadLineCode(LineCode::Linecode_ED_Off);
  std::vector<uint32_t> shown;  // what the window showed during the wait
  host.onRunEventsFor = [&](int32_t ms) {
    log.push_back("wait " + std::to_string(ms));
    shown = window->frame;
  };
  ASSERT_TRUE(display->OpenDisplay(true, 720, 576, true, true, start.get(), end.get()));
  end.reset();  // the back-end keeps its own copy
  EXPECT_EQ(log, (std::vector<std::string>{"show", "wait 1000"}));
  // Each row of the code is stretched across the top row of the screen.
  for (int32_t y = 0; y < start->Height(); ++y) {
    const uint8_t* p = start->ScanLine(start->Height() - 1 - y);
    const uint32_t want = 0xFF000000u | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
    EXPECT_EQ(shown[static_cast<size_t>(y) * 1024], want);
    EXPECT_EQ(shown[static_cast<size_t>(y) * 1024 + 1023], want);
  }
  EXPECT_EQ(window->At(0, 0), 0xFF000000u);  // cleared after the wait

  ASSERT_NE(window->events, nullptr);
  window->events->KeyPressed(65, 0);
  EXPECT_EQ(stop, kTrue);

  log.clear();
  EXPECT_TRUE(display->CloseDisplay());
  EXPECT_EQ(log, (std::vector<std::string>{"wait 1000", "unload"}));
  DibPtr off = LoadLineCode(LineCode::Linecode_ED_Off);
  const uint8_t* top = off->ScanLine(off->Height() - 1);
  EXPECT_EQ(shown[0], 0xFF000000u | (uint32_t{top[2]} << 16) | (uint32_t{top[1]} << 8) | top[0]);
  EXPECT_TRUE(display->CloseDisplay());  // closing again is harmless
  EXPECT_TRUE(messages.entries.empty());
}

TEST_F(DirectXDisplayTest, FaultsBecomeMessages) {
  DibPtr frame = test::RandomImage(16, 8, 3);
  EXPECT_FALSE(display->PutImage(*frame, true, true));  // not open
  cDIBSection empty;
  ASSERT_TRUE(display->OpenDisplay(true, 16, 8, true, false, nullptr, nullptr));
  EXPECT_FALSE(display->PutImage(empty, true, true));
  const std::string notSet = "An error occurred in InitDeviceObjects. Object variable not set";
  EXPECT_EQ(messages.Texts(), (std::vector<std::string>{notSet, notSet, kSurfaceStereoFailed}));
  display->CloseDisplay();

  // A source with no area; a stereo surface too narrow for the signature.
  messages.entries.clear();
  EXPECT_FALSE(display->OpenDisplay(true, 0, 8, true, false, nullptr, nullptr));
  settings.ScreenWidth = 2, settings.ScreenHeight = 2;
  ASSERT_TRUE(display->OpenDisplay(true, 4, 2, true, false, nullptr, nullptr));
  EXPECT_FALSE(display->PutImage(*frame, true, true));
  EXPECT_EQ(messages.Texts(),
            (std::vector<std::string>{
                std::string(kSurfaceOpenError) +
                    "Invalid procedure call or argument: surface size not positive",
                "An error occurred in InitDeviceObjects. The surface is too narrow for the "
                "stereo signature.",
                kSurfaceStereoFailed}));
  display->CloseDisplay();

  // Without the tagstamp library stereo frames fail; plain ones still show.
  TagstampLibrary missing("/nonexistent-dioptrix-dir");
  try {
    missing.Binding().Symbol("MAKE_STEREO");
    GTEST_SKIP() << "libtagstamp.so is on the system's search path";
  } catch (const RuntimeError&) {
  }
  settings.ScreenWidth = 1024, settings.ScreenHeight = 768;
  display = Make(missing);
  messages.entries.clear();
  ASSERT_TRUE(display->OpenDisplay(true, 16, 8, true, false, nullptr, nullptr));
  EXPECT_FALSE(display->PutImage(*frame, true, true));
  EXPECT_EQ(messages.Texts(),
            (std::vector<std::string>{
                "An error occurred in InitDeviceObjects. File not found: libtagstamp.so",
                kSurfaceStereoFailed}));
  EXPECT_FALSE(display->ImageSurface()->Locked());
  ASSERT_TRUE(display->OpenDisplay(true, 16, 8, false, false, nullptr, nullptr));
  EXPECT_TRUE(display->PutImage(*frame, true, false));
}

}  // namespace
}  // namespace dioptrix
