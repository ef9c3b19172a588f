// The contract every display back-end offers: the blit window, the
// fullscreen surface device, the OpenGL window, and the converter's frame
// sink. The output-method dispatch (display/dispatch.h) picks one back-end
// per playback and calls it in the order
//
//   OpenDisplay, PutImage (once per frame), CloseDisplay
//
// and may open it again for the next playback.
//
// Threads: every call is made on the user-interface thread, the thread that
// runs the window events. A back-end may let window events run inside its
// calls (the one-second line-code waits do), so callbacks can arrive there.
//
// Units: sizes and positions are pixels; images are cDIBSection (24 bits,
// rows bottom-up).
//
// Ownership: the images passed in are borrowed for the call only; a back-end
// that needs one later (the end line code) keeps its own copy. Back-ends are
// owned by DisplayDevices (or, for back-ends installed from outside, by
// whoever installed them) and live for the whole run.
//
// Errors: a back-end reports its own failures through the host's message
// sink, as the routine that failed ("An error occurred in
// frmBltSurface::OpenDisplay. " + description), and answers false where the
// contract has a result. A run-time error that a back-end does not trap
// itself propagates to the dispatch, which reports it with its own prefix.
//
// Window events: key presses, mouse buttons and the loss of the focus on a
// back-end's window are delivered by that window, on the user-interface
// thread while events run, to the callbacks of display/callback.h with the
// back-end as the display.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "image/dib_section.h"

namespace dioptrix {

class DisplayBackend {
 public:
  virtual ~DisplayBackend() = default;

  // Opens the display for frames of v_lngSrcX x v_lngSrcY pixels. modeFlag is
  // the back-end's own switch:
  //   blit:           v_blnPermanent, the drawing persists and is refreshed
  //                   after each frame;
  //   surface device: v_blnNVidiaStereo, the stereo signature is written;
  //   OpenGL:         v_blnOpenGLStereo, quad-buffer stereo;
  //   frame sink:     ignored.
  // When v_blnUseLinecode is true the start code is shown across the top of
  // the screen for one second (window events keep running) before the call
  // returns, and the back-end keeps a copy of the end code for CloseDisplay.
  // Either picture may be null when v_blnUseLinecode is false. True when the
  // display is open.
  virtual bool OpenDisplay(bool v_blnFullscreen, int32_t v_lngSrcX, int32_t v_lngSrcY,
                           bool modeFlag, bool v_blnUseLinecode,
                           const cDIBSection* v_dibLineCodeStart,
                           const cDIBSection* v_dibLineCodeEnd) = 0;
  // Places the window and recomputes the destination rectangle for frames of
  // the given size; OpenDisplay calls it.
  virtual void ResizeSurface(int32_t v_lngSrcX, int32_t v_lngSrcY) = 0;
  // Presents one composed frame: v_blnResize scales it into the destination
  // rectangle, v_blnQuick allows the faster, lower-quality scaling. False when
  // the frame could not be shown (the playback then stops).
  virtual bool PutImage(const cDIBSection& v_cDib, bool v_blnResize, bool v_blnQuick) = 0;
  // Shows the end code for one second if one is in use, frees the back-end's
  // buffers and closes its window. Safe when the display is not open.
  virtual bool CloseDisplay() = 0;
};

enum class BackendKind { Blit = 0, DirectX = 1, OpenGL = 2 };

// The back-ends of a run: one instance of each kind, made by its factory the
// first time a playback needs it and kept until the run ends (or Release).
// Back-ends made elsewhere (the converter's frame sink, test fakes) can be
// installed instead; they stay owned by whoever made them.
class DisplayDevices {
 public:
  using Factory = std::function<std::unique_ptr<DisplayBackend>()>;

  DisplayDevices() = default;
  // Installs borrowed back-ends; a null one leaves its kind empty.
  DisplayDevices(DisplayBackend* blit, DisplayBackend* directX, DisplayBackend* openGL);

  // The factory of a kind; replaces nothing already made.
  void SetFactory(BackendKind kind, Factory make);
  // The back-end of a kind, made on first use. Null when the run has none.
  DisplayBackend* Get(BackendKind kind);
  // The back-end of a kind if it exists already; never makes one.
  DisplayBackend* Existing(BackendKind kind) const;
  // Destroys the back-end of a kind if this object made it; the next Get
  // makes a new one.
  void Release(BackendKind kind);

 private:
  struct Slot {
    DisplayBackend* backend = nullptr;
    std::unique_ptr<DisplayBackend> owned;
    Factory make;
  };
  std::array<Slot, 3> slots_;
};

}  // namespace dioptrix
