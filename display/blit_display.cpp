#include "display/blit_display.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

#include "display/screen.h"
#include "platform/error.h"

namespace dioptrix {

namespace {

int32_t RoundToInt(double v) { return static_cast<int32_t>(std::nearbyint(v)); }

}  // namespace

BlitDisplay::BlitDisplay(const Host& host, CallbackContext callbacks, BlitWindow* mainWindow,
                         WindowFactory makeOwnWindow)
    : host_(host),
      events_(callbacks, *this),
      mainWindow_(mainWindow),
      makeOwnWindow_(std::move(makeOwnWindow)) {}

BlitDisplay::~BlitDisplay() {
  // The windows must not report to a back-end that is gone.
  if (mainWindow_) mainWindow_->SetEvents(nullptr);
  if (ownWindow_) ownWindow_->SetEvents(nullptr);
}

BlitWindow& BlitDisplay::Target() const {
  if (!target_) RaiseObjectNotSet();
  return *target_;
}

void BlitDisplay::ResizeSurface(int32_t v_lngSrcX, int32_t v_lngSrcY) {
  const int32_t screenW = ScreenPixelWidth(host_);
  const int32_t screenH = ScreenPixelHeight(host_);
  BlitWindow* target = nullptr;
  if (!fullscreen_) {
    target = mainWindow_;
    window_.left = std::max(RoundToInt((static_cast<double>(screenW) - v_lngSrcX) / 2), 0);
    window_.top = std::max(RoundToInt((static_cast<double>(screenH) - v_lngSrcY) / 2), 0);
    window_.width = v_lngSrcX;
    window_.height = static_cast<int32_t>(
        std::min<int64_t>(int64_t{v_lngSrcY} + kMainWindowExtraHeight, INT32_MAX));
    dest_ = {0, 0, v_lngSrcX, v_lngSrcY};
  } else {
    if (!ownWindow_ && makeOwnWindow_) ownWindow_ = makeOwnWindow_();
    target = ownWindow_.get();
    window_ = {0, 0, screenW, screenH};
    int32_t w = v_lngSrcX, h = v_lngSrcY, x = 0, y = 0;
    FitToScreen(w, h, x, y, screenW, screenH);
    dest_ = {x, y - y % 2, w, h};
  }
  if (!target) RaiseObjectNotSet();
  if (target_ && target_ != target) ReleaseTarget();
  target_ = target;
  target_->SetEvents(&events_);
  target_->Place(window_.left, window_.top, window_.width, window_.height);
  target_->Clear();
}

bool BlitDisplay::OpenDisplay(bool v_blnFullscreen, int32_t v_lngSrcX, int32_t v_lngSrcY,
                              bool modeFlag, bool v_blnUseLinecode,
                              const cDIBSection* v_dibLineCodeStart,
                              const cDIBSection* v_dibLineCodeEnd) {
  return TrapErrors(host_, kBlitOpenError, [&] {
    permanent_ = modeFlag;
    fullscreen_ = v_blnFullscreen;
    ResizeSurface(v_lngSrcX, v_lngSrcY);
    Target().Show();
    lineCodeActive_ = false;
    if (v_blnUseLinecode) {
      if (!v_dibLineCodeStart || !v_dibLineCodeEnd) RaiseObjectNotSet();
      ShowLineCode(*v_dibLineCodeStart);
      // A window event during the wait may have closed the display again.
      if (!target_) return;
      endCode_ = v_dibLineCodeEnd->CopyOf();
      lineCodeActive_ = endCode_ != nullptr;
    }
    Target().SetPersistent(permanent_);
  });
}

void BlitDisplay::ShowLineCode(const cDIBSection& code) {
  BlitWindow& target = Target();
  target.SetPersistent(true);
  target.Stretch(code, 0, 0, ScreenPixelWidth(host_), code.Height(), 0, 0, code.Width(),
                 code.Height(), kHalftone);
  target.Refresh();
  host_.RunEventsFor(kLineCodeMilliseconds);
  // A window event during the wait may have closed the display.
  if (target_) target_->Clear();
}

bool BlitDisplay::PutImage(const cDIBSection& v_cDib, bool v_blnResize, bool v_blnQuick) {
  BlitWindow& target = Target();
  if (!v_blnResize) {
    target.Blit(v_cDib, dest_.left, dest_.top, dest_.width, dest_.height, 0, 0);
  } else {
    const StretchMode mode =
        (dest_.width <= v_cDib.Width() || !v_blnQuick) ? kHalftone : kColorOnColor;
    target.Stretch(v_cDib, dest_.left, dest_.top, dest_.width, dest_.height, 0, 0, v_cDib.Width(),
                   v_cDib.Height(), mode);
  }
  if (permanent_) target.Refresh();
  return true;
}

bool BlitDisplay::CloseDisplay() {
  if (lineCodeActive_ && target_ && endCode_) {
    lineCodeActive_ = false;
    ShowLineCode(*endCode_);
  }
  lineCodeActive_ = false;
  endCode_.reset();
  ReleaseTarget();
  if (ownWindow_) {
    ownWindow_->SetEvents(nullptr);
    ownWindow_->Unload();
    ownWindow_.reset();
  }
  return true;
}

void BlitDisplay::ReleaseTarget() {
  if (target_) target_->SetEvents(nullptr);
  target_ = nullptr;
}

}  // namespace dioptrix
