#include "display/directx_display.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <utility>

#include "display/blit_display.h"
#include "display/screen.h"
#include "platform/error.h"

namespace dioptrix {

namespace {

constexpr const char* kSurfaceSource = "dioptrix.frmDirectXSurface";
// Bytes of the stereo signature MAKE_STEREO writes: five 32-bit fields.
constexpr int32_t kSignatureBytes = 20;

int32_t RoundToInt(double v) { return static_cast<int32_t>(std::nearbyint(v)); }
// The value less its remainder by 2 (the remainder keeps the value's sign).
int32_t MadeEven(int32_t v) { return v - v % 2; }
int32_t Clamped(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

frmDirectXSurface::frmDirectXSurface(const Host& host, const Settings& settings,
                                     TagstampLibrary& tagstamp, CallbackContext callbacks,
                                     WindowFactory makeWindow)
    : host_(host),
      settings_(settings),
      tagstamp_(tagstamp),
      events_(callbacks, *this),
      makeWindow_(std::move(makeWindow)),
      process_(flipArrays_) {}

frmDirectXSurface::~frmDirectXSurface() {
  // The window must not report to a back-end that is gone.
  if (window_) window_->SetEvents(nullptr);
}

bool frmDirectXSurface::DestinationSize(int32_t w, int32_t h) {
  if (!fullscreen) {
    host_.Message("This mode does not support windowed display.");
    return false;
  }
  screenRect = {0, 0, settings_.ScreenWidth, settings_.ScreenHeight};
  destWidth = w;
  destHeight = h;
  // A side-by-side pair is fitted at twice the screen's width: each half
  // fills the screen.
  const int64_t fitWidth =
      nvidiaStereo ? int64_t{settings_.ScreenWidth} * 2 : int64_t{settings_.ScreenWidth};
  if (fitWidth > INT32_MAX) RaiseOverflow();
  FitToScreen(destWidth, destHeight, destLeft, destTop, static_cast<int32_t>(fitWidth),
              settings_.ScreenHeight);
  return true;
}

bool frmDirectXSurface::Initialize3DEnvironment(bool v_blnFullscreen) {
  if (!v_blnFullscreen) {
    host_.Message("Windowed DirectX is not supported.");
    return false;
  }
  SurfaceFormat format = kFormatUnknown;
  switch (settings_.ColourDepth) {
    case 16:
      format = kFormatR5G6B5;
      break;
    case 24:
    case 32:
      format = kFormatX8R8G8B8;
      break;
    default:
      host_.Message("Invalid colour depth: " + std::to_string(settings_.ColourDepth));
      return false;
  }
  return TrapErrors(host_, "An error occurred in Initialize3DEnvironment. ", [&] {
    d3dpp_.BackBufferWidth = settings_.ScreenWidth;
    d3dpp_.BackBufferHeight = settings_.ScreenHeight;
    d3dpp_.BackBufferFormat = format;
    d3dpp_.BackBufferCount = 1;
    d3dpp_.SwapEffect = kSwapDiscard;
    d3dpp_.Windowed = false;
    if (settings_.RefreshRate != -1) d3dpp_.FullScreen_RefreshRateInHz = settings_.RefreshRate;
    ReleaseDevice();
    device_ = std::make_unique<SurfaceDevice>(d3dpp_, [this](const Surface& backBuffer) {
      if (!window_) return;
      const SurfaceDesc desc = backBuffer.GetDesc();
      ToRGB32(backBuffer, presented_);
      window_->ShowFrame(presented_.data(), desc.Width, desc.Height);
    });
    backBuffer_ = &device_->GetBackBuffer();
    // The window comes once there is a device to present to it.
    if (!window_) {
      if (makeWindow_) window_ = makeWindow_();
      if (!window_) RaiseObjectNotSet();
      window_->SetEvents(&events_);
    }
    window_->Show();
  });
}

bool frmDirectXSurface::OpenDisplay(bool v_blnFullscreen, int32_t v_lngSrcX, int32_t v_lngSrcY,
                                    bool modeFlag, bool v_blnUseLinecode,
                                    const cDIBSection* v_dibLineCodeStart,
                                    const cDIBSection* v_dibLineCodeEnd) {
  bool open = false;
  const bool completed = TrapErrors(host_, kSurfaceOpenError, [&] {
    fullscreen = v_blnFullscreen;
    nvidiaStereo = modeFlag;
    useLineCode = v_blnUseLinecode;
    endCode = v_dibLineCodeEnd ? v_dibLineCodeEnd->CopyOf() : nullptr;
    if (!DestinationSize(v_lngSrcX, v_lngSrcY)) return;
    if (!Initialize3DEnvironment(fullscreen)) {
      host_.Message(kSurfaceInitFailed);
      return;
    }
    const SurfaceDesc desc = backBuffer_->GetDesc();
    imageSurface_.reset();
    imageSurface_ = device_->CreateImageSurface(destWidth, destHeight, desc.Format);
    switch (desc.Format) {
      case kFormatX8R8G8B8:
        surfaceBits = 32;
        break;
      case kFormatR5G6B5:
        surfaceBits = 16;
        break;
      default:
        host_.Message(
            "Unsupported surface format selected. Try changing the colour depth in "
            "Display>Configure Display.");
        break;
    }
    if (useLineCode) {
      PutLineCode(v_dibLineCodeStart);
      host_.RunEventsFor(kLineCodeMilliseconds);
      // A window event during the wait may have closed the display.
      if (!device_) return;
    }
    device_->Clear(0);
    Present();
    device_->Clear(0);
    host_.PumpEvents();
    open = device_ != nullptr;
  });
  // A failed open leaves no black window covering the screen.
  if (!completed || !open) {
    useLineCode = false;
    ReleaseDevice();
    if (window_) {
      window_->SetEvents(nullptr);
      window_->Unload();
      window_.reset();
    }
  }
  return completed && open;
}

void frmDirectXSurface::ResizeSurface(int32_t v_lngSrcX, int32_t v_lngSrcY) {
  if (!DestinationSize(v_lngSrcX, v_lngSrcY)) return;
  if (!device_ || !backBuffer_) RaiseObjectNotSet();
  imageSurface_.reset();
  imageSurface_ = device_->CreateImageSurface(destWidth, destHeight, backBuffer_->GetDesc().Format);
}

bool frmDirectXSurface::PutImage(const cDIBSection& v_cDib, bool v_blnResize, bool v_blnQuick) {
  bool ok = InitDeviceObjects(v_cDib, v_blnResize, v_blnQuick);
  if (ok) ok = RestoreDeviceObjects();
  if (!ok && nvidiaStereo) host_.Message(kSurfaceStereoFailed);
  return ok;
}

bool frmDirectXSurface::InitDeviceObjects(const cDIBSection& v_cDib, bool v_blnResize,
                                          bool v_blnQuick) {
  return TrapErrors(host_, "An error occurred in InitDeviceObjects. ", [&] {
    if (!device_ || !backBuffer_ || !imageSurface_) RaiseObjectNotSet();
    // Surfaces are top-down, images bottom-up.
    DibPtr copy = v_cDib.CopyOf();
    cDIBSection& flipped = Need(copy);
    process_.Flip(flipped);
    const SurfaceRect source{0, 0, flipped.Width(), flipped.Height()};
    const SurfaceFilter filter = !v_blnResize ? kFilterNone
                                 : v_blnQuick ? kFilterPoint
                                              : kFilterTriangle;
    const uint8_t* bits = flipped.DIBSectionBitsPtr();
    const size_t bytes = flipped.ImageSize();
    const int32_t pitch = flipped.BytesPerScanLine();
    if (nvidiaStereo) {
      const SurfaceRect dest{0, 0, destWidth, destHeight};
      LoadSurfaceFromMemory(*imageSurface_, &dest, bits, bytes, pitch, source, filter);
      const SurfaceDesc desc = imageSurface_->GetDesc();
      const LockedRect locked = imageSurface_->LockRect();
      // The signature goes at the start of the last row, which must hold it.
      if (locked.Pitch < kSignatureBytes) {
        imageSurface_->UnlockRect();
        throw RuntimeError(kErrInvalidArgument, kSurfaceSource,
                           "The surface is too narrow for the stereo signature.");
      }
      try {
        tagstamp_.MAKE_STEREO(locked.pBits, (desc.Height - 1) * locked.Pitch, 0, desc.Width,
                              desc.Height, surfaceBits);
      } catch (...) {
        imageSurface_->UnlockRect();
        throw;
      }
      imageSurface_->UnlockRect();
    } else {
      const int32_t left = RoundToInt((static_cast<double>(settings_.ScreenWidth) - destWidth) / 2);
      const int32_t top =
          MadeEven(RoundToInt((static_cast<double>(settings_.ScreenHeight) - destHeight) / 2));
      device_->Clear(0);
      const SurfaceRect dest{left, top, Clamped(int64_t{left} + destWidth),
                             Clamped(int64_t{top} + destHeight)};
      LoadSurfaceFromMemory(*backBuffer_, &dest, bits, bytes, pitch, source, filter);
    }
  });
}

bool frmDirectXSurface::RestoreDeviceObjects() {
  return TrapErrors(host_, "An error occurred in RestoreDeviceObjects. ", [&] {
    if (!device_ || !backBuffer_) RaiseObjectNotSet();
    if (nvidiaStereo) {
      if (!imageSurface_) RaiseObjectNotSet();
      const SurfaceDesc image = imageSurface_->GetDesc();
      const SurfaceDesc back = backBuffer_->GetDesc();
      // The left half of the pair, centred on the back buffer from an even
      // row; the driver finds the right half through the signature.
      const int32_t y = MadeEven(RoundToInt((static_cast<double>(back.Height) - image.Height) / 2));
      const int32_t x = RoundToInt(back.Width / 2.0 - image.Width / 4.0);
      device_->Clear(0);
      device_->CopyRects(*imageSurface_, {0, 0, RoundToInt(image.Width / 2.0), image.Height},
                         *backBuffer_, x, y);
    }
    Present();
  });
}

bool frmDirectXSurface::PutLineCode(const cDIBSection* pic) {
  return TrapErrors(host_, "An error occurred in PutLineCode. ", [&] {
    if (!device_ || !backBuffer_ || !pic) RaiseObjectNotSet();
    const SurfaceRect dest{0, 0, settings_.ScreenWidth, pic->Height()};
    DibPtr copy = pic->CopyOf();
    cDIBSection& flipped = Need(copy);
    process_.Flip(flipped);
    LoadSurfaceFromMemory(*backBuffer_, &dest, flipped.DIBSectionBitsPtr(), flipped.ImageSize(),
                          flipped.BytesPerScanLine(), {0, 0, flipped.Width(), flipped.Height()},
                          kFilterPoint);
    Present();
  });
}

bool frmDirectXSurface::CloseDisplay() {
  if (useLineCode && device_) {
    useLineCode = false;
    PutLineCode(endCode.get());
    host_.RunEventsFor(kLineCodeMilliseconds);
  }
  useLineCode = false;
  endCode.reset();
  ReleaseDevice();
  if (window_) {
    window_->SetEvents(nullptr);
    window_->Unload();
    window_.reset();
  }
  return true;
}

void frmDirectXSurface::Present() {
  if (!device_) RaiseObjectNotSet();
  device_->Present();
}

void frmDirectXSurface::ReleaseDevice() {
  imageSurface_.reset();
  backBuffer_ = nullptr;
  device_.reset();
}

}  // namespace dioptrix
