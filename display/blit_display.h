// The blit back-end: shows composed frames with plain rectangle blits, either
// in the main window's picture area (windowed) or in a window of its own that
// covers the screen (fullscreen), and frames a fullscreen playback with the
// shutter glasses' line codes when asked to.
//
// The placement, the choice of scaling and the line-code sequence live here
// and run headless; the windows themselves are BlitWindows, made on Qt by the
// GUI (gui/) and by a recording fake in the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "display/callback.h"
#include "display/display_backend.h"
#include "image/blit.h"
#include "image/dib_section.h"
#include "platform/host.h"

namespace dioptrix {

// A window the blit back-end draws into.
//
// Units and coordinates: pixels. Place is in the coordinates of the screen
// the window is on; drawing positions are within the window's drawing area,
// (0, 0) at its top-left corner, and anything outside the area is clipped.
// Images are borrowed for the call: a window that must draw one later (its
// area was not on the screen yet) keeps its own copy.
//
// Drawing is kept: what was drawn stays on the window and is shown again when
// the window is exposed, until Clear or Unload.
//
// Threads and events: every call comes from the user-interface thread. The
// window delivers its key presses, mouse buttons and loss of focus to the
// DisplayEvents given to SetEvents, while window events run.
class BlitWindow {
 public:
  virtual ~BlitWindow() = default;

  // Moves the window to (left, top) of its screen and makes its drawing area
  // width x height.
  virtual void Place(int32_t left, int32_t top, int32_t width, int32_t height) = 0;
  virtual void Show() = 0;
  // Fills the drawing area with black.
  virtual void Clear() = 0;
  // Persistent: drawings reach the screen on Refresh (and stay there).
  // Otherwise each drawing reaches the screen as it is made.
  virtual void SetPersistent(bool persistent) = 0;
  // Copies the w x h rectangle at (sx, sy) of the image to (dx, dy).
  virtual void Blit(const cDIBSection& image, int32_t dx, int32_t dy, int32_t w, int32_t h,
                    int32_t sx, int32_t sy) = 0;
  // Scales the sw x sh rectangle at (sx, sy) of the image onto the dw x dh
  // rectangle at (dx, dy): kHalftone averages, kColorOnColor picks pixels.
  virtual void Stretch(const cDIBSection& image, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                       int32_t sx, int32_t sy, int32_t sw, int32_t sh, StretchMode mode) = 0;
  // Puts the persistent drawing on the screen now.
  virtual void Refresh() = 0;
  // Closes the window and forgets what was drawn on it.
  virtual void Unload() = 0;
  // Where the window's events go from now on; null: nowhere. The events
  // object must outlive the window or be replaced first.
  virtual void SetEvents(DisplayEvents* events) = 0;
};

// Message prefix of a fault while opening.
inline constexpr const char* kBlitOpenError = "An error occurred in frmBltSurface::OpenDisplay. ";
// How long a line code is shown, in milliseconds.
inline constexpr int32_t kLineCodeMilliseconds = 1000;
// Rows the main window gets beyond the picture (its menu bar and borders).
inline constexpr int32_t kMainWindowExtraHeight = 50;

class BlitDisplay final : public DisplayBackend {
 public:
  using WindowFactory = std::function<std::unique_ptr<BlitWindow>()>;

  // mainWindow is the main window's picture area, borrowed for the run (null
  // when the program has none: a windowed open then fails with a message).
  // makeOwnWindow makes the fullscreen window, again for every fullscreen
  // open after a close. Events of the target window go to the callbacks.
  BlitDisplay(const Host& host, CallbackContext callbacks, BlitWindow* mainWindow,
              WindowFactory makeOwnWindow);
  ~BlitDisplay() override;

  // modeFlag is v_blnPermanent. Faults are shown with kBlitOpenError and
  // give false.
  bool OpenDisplay(bool v_blnFullscreen, int32_t v_lngSrcX, int32_t v_lngSrcY, bool modeFlag,
                   bool v_blnUseLinecode, const cDIBSection* v_dibLineCodeStart,
                   const cDIBSection* v_dibLineCodeEnd) override;
  // Windowed: the main window is centred on the screen around the picture
  // (never off its top-left corner), 50 rows higher than the picture, and
  // the picture goes to its top-left corner. Fullscreen: the own window
  // covers the screen and the picture is fitted into it, starting on an even
  // row.
  void ResizeSurface(int32_t v_lngSrcX, int32_t v_lngSrcY) override;
  // Unscaled: the destination's size is copied from the image's top-left
  // corner. Scaled: the whole image is stretched onto the destination,
  // averaging unless it is enlarged and quick scaling is allowed. Raises
  // "Object variable not set" when the display is not open.
  bool PutImage(const cDIBSection& v_cDib, bool v_blnResize, bool v_blnQuick) override;
  bool CloseDisplay() override;

  struct Rect {
    int32_t left = 0, top = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
  };
  // Where the target window was placed, and where frames go inside it.
  Rect WindowRect() const { return window_; }
  Rect DestRect() const { return dest_; }
  bool Fullscreen() const { return fullscreen_; }
  bool LineCodeActive() const { return lineCodeActive_; }

 private:
  BlitWindow& Target() const;
  // Draws a line code across the top of the screen, shows it for one second
  // with events running, then clears the window.
  void ShowLineCode(const cDIBSection& code);
  void ReleaseTarget();

  const Host& host_;
  WindowCallbacks events_;
  BlitWindow* mainWindow_;
  WindowFactory makeOwnWindow_;
  std::unique_ptr<BlitWindow> ownWindow_;
  BlitWindow* target_ = nullptr;

  bool fullscreen_ = false;
  bool permanent_ = false;
  bool lineCodeActive_ = false;
  DibPtr endCode_;  // own copy of the end line code
  Rect window_;
  Rect dest_;
};

}  // namespace dioptrix
