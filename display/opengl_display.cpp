#include "display/opengl_display.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <utility>

#include "display/blit_display.h"
#include "display/screen.h"
#include "image/blit.h"
#include "platform/error.h"

namespace dioptrix {

namespace {

// Nearest whole number, halves to the even one.
int32_t RoundToInt(double v) { return static_cast<int32_t>(std::nearbyint(v)); }

// The w x h rectangle of image at (x, 0); columns beyond the image stay black.
DibPtr Cut(const cDIBSection& image, int32_t x, int32_t w) {
  auto part = std::make_unique<cDIBSection>();
  if (part->Create(w, image.Height()))
    BitBlt(*part, 0, 0, w, image.Height(), image, x, 0, kSrcCopy);
  return part;
}

}  // namespace

FormOPENGL::FormOPENGL(Host& host, const Settings& settings, EngineArrays& arrays,
                       CallbackContext callbacks, WindowFactory makeWindow, ScreenModes* modes)
    : host_(host),
      settings_(settings),
      engine_(arrays),
      events_(callbacks, *this),
      makeWindow_(std::move(makeWindow)),
      modes_(modes) {}

FormOPENGL::~FormOPENGL() {
  // The window must not report to a back-end that is gone.
  if (target_) target_->SetEvents(nullptr);
  if (modes_ && desktop_.Saved()) desktop_.Reset(*modes_);
}

GlWindow& FormOPENGL::Target() const {
  if (!target_) RaiseObjectNotSet();
  return *target_;
}

void FormOPENGL::ResizeSurface(int32_t v_lngSrcX, int32_t v_lngSrcY) {
  const int32_t viewW = openGLStereo_ ? RoundToInt(v_lngSrcX / 2.0) : v_lngSrcX;
  if (viewW == 0 || v_lngSrcY == 0) RaiseDivisionByZero();
  if (!fullscreen_) {
    const int32_t screenW = ScreenPixelWidth(host_);
    const int32_t screenH = ScreenPixelHeight(host_);
    window_.left = std::max(RoundToInt((static_cast<double>(screenW) - viewW) / 2), 0);
    window_.top = std::max(RoundToInt((static_cast<double>(screenH) - v_lngSrcY) / 2), 0);
    window_.width = viewW;
    window_.height = static_cast<int32_t>(
        std::min<int64_t>(int64_t{v_lngSrcY} + kMainWindowExtraHeight, INT32_MAX));
    dest_ = {0, 0, viewW, v_lngSrcY};
  } else {
    window_ = {0, 0, settings_.ScreenWidth, settings_.ScreenHeight};
    int32_t w = viewW, h = v_lngSrcY, x = 0, y = 0;
    FitToScreen(w, h, x, y, settings_.ScreenWidth, settings_.ScreenHeight);
    dest_ = {x, y - y % 2, w, h};
  }
  // The target is the main window's picture area or a window of its own.
  if (target_ && targetFullscreen_ != fullscreen_) KillTarget();
  if (!target_ && makeWindow_) {
    target_ = makeWindow_(fullscreen_);
    targetFullscreen_ = fullscreen_;
  }
  GlWindow& target = Target();
  target.SetEvents(&events_);
  target.Place(window_.left, window_.top, window_.width, window_.height);
  target.DrawBuffer(GlBuffer::FrontAndBack);
  target.Clear();
  target.LoadIdentity();
  pixelZoom_ = std::min(static_cast<float>(window_.width) / static_cast<float>(viewW),
                        static_cast<float>(window_.height) / static_cast<float>(v_lngSrcY));
}

void FormOPENGL::ReSizeGLScene(int32_t width, int32_t height) {
  if (height == 0) height = 1;
  GlWindow& target = Target();
  target.Viewport(0, 0, width, height);
  target.MatrixMode(GlMatrix::Projection);
  target.LoadIdentity();
  target.Ortho2D(0, width, 0, height);
  target.MatrixMode(GlMatrix::ModelView);
  target.LoadIdentity();
}

void FormOPENGL::InitGL() {
  GlWindow& target = Target();
  target.ShadeModel(GlShade::Smooth);
  target.ClearColor(0, 0, 0, 0);
  target.ClearDepth(1.0);
  target.Enable(GlCapability::DepthTest);
  target.DepthFuncLessOrEqual();
  target.PerspectiveHintNicest();
}

void FormOPENGL::CreateGLWindow() {
  GlWindow& target = Target();
  if (fullscreen_) {
    if (modes_) {
      // A display opened again without a close keeps the first saved mode.
      if (!desktop_.Saved()) desktop_.Save(*modes_);
      SetScreenMode(*modes_, host_, window_.width, window_.height, settings_.ColourDepth,
                    settings_.RefreshRate);
    }
  }
  GlRequest request;
  request.width = window_.width;
  request.height = window_.height;
  request.colourBits = settings_.ColourDepth;
  request.depthBits = kGlDepthBits;
  request.fullscreen = fullscreen_;
  request.stereo = openGLStereo_;
  const GlGrant grant = target.Create(request);
  const auto fail = [this](const char* text) {
    host_.Message(std::string(kGlErrorTitle) + ": " + text, MessageStyle::Error);
  };
  if (!grant.pixelFormatFound) fail(kGlNoPixelFormat);
  if (!grant.pixelFormatSet) fail(kGlCantSetPixelFormat);
  if (!grant.contextCreated) fail(kGlNoContext);
  if (!grant.contextCurrent) fail(kGlCantActivate);
  stereoGranted_ = openGLStereo_ && grant.stereo;
  if (openGLStereo_ && !grant.stereo && grant.contextCreated)
    host_.Message(kGlNoStereo, MessageStyle::Information);
  target.Show();
  ReSizeGLScene(target.InnerWidth(), target.InnerHeight());
  InitGL();
}

bool FormOPENGL::OpenDisplay(bool v_blnFullscreen, int32_t v_lngSrcX, int32_t v_lngSrcY,
                             bool modeFlag, bool v_blnUseLinecode,
                             const cDIBSection* v_dibLineCodeStart,
                             const cDIBSection* v_dibLineCodeEnd) {
  bool opened = true;
  const bool completed = TrapErrors(host_, kOpenGLOpenError, [&] {
    fullscreen_ = v_blnFullscreen;
    openGLStereo_ = modeFlag;
    stereoGranted_ = false;
    lineCodeActive_ = false;
    endCode_.reset();
    ResizeSurface(v_lngSrcX, v_lngSrcY);
    CreateGLWindow();
    if (fullscreen_) {
      Target().Disable(GlCapability::Blend);
      Target().ShadeModel(GlShade::Flat);
    }
    if (v_blnUseLinecode) {
      if (!v_dibLineCodeStart || !v_dibLineCodeEnd) RaiseObjectNotSet();
      if (!DrawLineCode(*v_dibLineCodeStart)) {
        CloseDisplay();
        opened = false;
        return;
      }
      host_.RunEventsFor(kLineCodeMilliseconds);
      // A window event during the wait may have closed the display.
      if (!target_) {
        opened = false;
        return;
      }
      target_->SwapBuffers();
      endCode_ = v_dibLineCodeEnd->CopyOf();
      lineCodeActive_ = endCode_ != nullptr;
    }
    GlWindow& target = Target();
    target.DrawBuffer(GlBuffer::FrontAndBack);
    target.Clear();
    target.LoadIdentity();
  });
  return completed && opened;
}

bool FormOPENGL::DrawLineCode(const cDIBSection& code) {
  return TrapErrors(host_, kOpenGLLineCodeError, [&] {
    GlWindow& target = Target();
    if (code.Width() <= 0) RaiseDivisionByZero();
    target.Clear();
    // The converted rows are packed: without this the rows would be read as
    // padded to 4 bytes, past the end of the pixels.
    target.UnpackAlignment(1);
    target.PixelZoom(static_cast<float>(window_.width) / static_cast<float>(code.Width()), 1.0f);
    target.DrawBuffer(GlBuffer::Back);
    target.RasterPos(0.0f, static_cast<float>(int64_t{window_.height} - code.Height()));
    engine_.CopyToArrayOPENGL(code);
    const std::vector<uint8_t>& pixels = engine_.Arrays().OpenGLPixels;
    target.DrawPixels(code.Width(), code.Height(), pixels.data(), pixels.size());
    target.SwapBuffers();
  });
}

void FormOPENGL::DrawView(GlWindow& target, const cDIBSection& view, GlBuffer buffer) {
  engine_.CopyToArrayOPENGL(view);
  target.DrawBuffer(buffer);
  target.RasterPos(static_cast<float>(dest_.left), static_cast<float>(dest_.top));
  const std::vector<uint8_t>& pixels = engine_.Arrays().OpenGLPixels;
  const bool empty = view.Empty();
  target.DrawPixels(empty ? 0 : view.Width(), empty ? 0 : view.Height(), pixels.data(),
                    pixels.size());
}

bool FormOPENGL::PutImage(const cDIBSection& v_cDib, bool v_blnResize, bool /*v_blnQuick*/) {
  TrapErrors(host_, kOpenGLImageError, [&] {
    GlWindow& target = Target();
    target.DrawBuffer(GlBuffer::FrontAndBack);
    target.UnpackAlignment(1);
    const float zoom = v_blnResize ? pixelZoom_ : 1.0f;
    target.PixelZoom(zoom, zoom);
    if (!openGLStereo_) {
      DrawView(target, v_cDib, GlBuffer::Back);
    } else {
      const int32_t half = RoundToInt(v_cDib.Width() / 2.0);
      const DibPtr left = Cut(v_cDib, 0, half);
      if (stereoGranted_) {
        const DibPtr right = Cut(v_cDib, half, half);
        DrawView(target, *left, GlBuffer::BackLeft);
        DrawView(target, *right, GlBuffer::BackRight);
      } else {
        // No right buffer: the left view alone, in mono.
        DrawView(target, *left, GlBuffer::Back);
      }
    }
    host_.PumpEvents();
    // A window event may have closed the display meanwhile.
    if (target_) target_->SwapBuffers();
  });
  return true;
}

bool FormOPENGL::CloseDisplay() {
  if (lineCodeActive_ && target_ && endCode_) {
    lineCodeActive_ = false;
    DrawLineCode(*endCode_);
    host_.RunEventsFor(kLineCodeMilliseconds);
  }
  lineCodeActive_ = false;
  endCode_.reset();
  if (modes_ && desktop_.Saved()) desktop_.Reset(*modes_);
  if (fullscreen_ && target_) target_->ShowPointer();
  KillTarget();
  return true;
}

void FormOPENGL::KillTarget() {
  if (!target_) return;
  std::unique_ptr<GlWindow> window = std::move(target_);
  window->SetEvents(nullptr);
  const GlRelease release = window->ReleaseContext();
  const auto fail = [this](const char* text) {
    host_.Message(std::string(kGlShutdownTitle) + ": " + text, MessageStyle::Information);
  };
  if (!release.doneCurrent) fail(kGlReleaseFailed);
  if (!release.contextDeleted) fail(kGlReleaseContextFailed);
  window->Unload();
  stereoGranted_ = false;
}

}  // namespace dioptrix
