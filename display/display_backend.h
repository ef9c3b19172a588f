// The contract every display back-end offers (blit window, fullscreen surface
// device, OpenGL window, or the converter's frame sink).
//
// Sizes are pixels. A back-end is owned by whoever installs it in
// DisplayDevices and lives for the whole run; the dispatch only borrows it.
// Failures are reported by the back-end itself through the Host it was built
// with and come back as a false result; nothing here throws.
#pragma once

#include <cstdint>

#include "image/dib_section.h"

namespace dioptrix {

class DisplayBackend {
 public:
  virtual ~DisplayBackend() = default;

  // Opens the display for frames of v_lngSrcX x v_lngSrcY. modeFlag is the
  // back-end's own switch: the drawing persists (blit), the stereo signature is
  // written (surface device), quad-buffer stereo (OpenGL). When
  // v_blnUseLinecode is true the start code is shown for one second before the
  // call returns, and the back-end keeps its own copy of the end code; the two
  // pictures are only borrowed for the call (either may be null when
  // v_blnUseLinecode is false).
  virtual bool OpenDisplay(bool v_blnFullscreen, int32_t v_lngSrcX, int32_t v_lngSrcY,
                           bool modeFlag, bool v_blnUseLinecode,
                           const cDIBSection* v_dibLineCodeStart,
                           const cDIBSection* v_dibLineCodeEnd) = 0;
  // Recomputes the destination rectangle for a new source size.
  virtual void ResizeSurface(int32_t v_lngSrcX, int32_t v_lngSrcY) = 0;
  // Presents one composed frame: v_blnResize scales it into the destination
  // rectangle, v_blnQuick allows the faster, lower-quality scaling. False when
  // the frame could not be shown (playback then stops).
  virtual bool PutImage(const cDIBSection& v_cDib, bool v_blnResize, bool v_blnQuick) = 0;
  // Shows the end code if one is in use, frees the back-end's buffers and
  // closes its window.
  virtual bool CloseDisplay() = 0;
};

// The back-ends of a run; null where none is installed (a call on a missing
// back-end is reported as a run-time error by the dispatch).
struct DisplayDevices {
  DisplayBackend* blit = nullptr;
  DisplayBackend* directX = nullptr;
  DisplayBackend* openGL = nullptr;
};

}  // namespace dioptrix
