// The fullscreen surface-device back-end (output method "NVidia Stereo"):
// frames are loaded into an image surface of a surface device
// (display/surface_device.h), marked with the stereo signature of the
// tagstamp library when stereo is on, copied onto the device's back buffer
// and presented in a fullscreen window.
//
// The sizes, placement, filters and signature live here and run headless;
// the window is a PresentWindow, made on Qt by the GUI (gui/) and by a
// recording fake in the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "display/callback.h"
#include "display/display_backend.h"
#include "display/surface_device.h"
#include "image/dib_section.h"
#include "platform/host.h"
#include "platform/libraries.h"
#include "platform/settings.h"
#include "process/image_process.h"

namespace dioptrix {

// The fullscreen window a surface device presents to.
//
// Units: pixels. A presented frame is width x height pixels of 32 bits
// (0xFFRRGGBB), rows top-down and packed; it is borrowed for the call and
// the window keeps its own copy to paint until the next one. A frame of
// another size than the screen is scaled to fit the screen keeping its
// aspect, centred on black; the screen mode is never changed.
//
// Threads and events: every call comes from the user-interface thread. The
// window delivers its key presses, mouse buttons and loss of focus to the
// DisplayEvents given to SetEvents, while window events run.
//
// Errors: the calls do not fail; a frame the window cannot keep (memory is
// short) leaves the previous one on the screen.
class PresentWindow {
 public:
  virtual ~PresentWindow() = default;
  // Covers the screen with a black window, pointer hidden, and takes the
  // focus.
  virtual void Show() = 0;
  virtual void ShowFrame(const uint32_t* pixels, int32_t width, int32_t height) = 0;
  // Closes the window.
  virtual void Unload() = 0;
  // Where the window's events go from now on; null: nowhere. The events
  // object must outlive the window or be replaced first.
  virtual void SetEvents(DisplayEvents* events) = 0;
};

// Messages of the back-end.
inline constexpr const char* kSurfaceOpenError =
    "An error occurred in frmDirectXSurface::OpenDisplay. ";
inline constexpr const char* kSurfaceInitFailed =
    "Failed to initialise DirectX. Try changing the resolution and/or colour depth in "
    "Display>Configure Display.";
inline constexpr const char* kSurfaceStereoFailed =
    "An error occurred while trying to display image. Ensure that stereo is enabled in control "
    "panel.";

class frmDirectXSurface final : public DisplayBackend {
 public:
  using WindowFactory = std::function<std::unique_ptr<PresentWindow>()>;

  // host, settings and tagstamp are borrowed for the run. The screen mode
  // (ScreenWidth, ScreenHeight, ColourDepth, RefreshRate) is read from the
  // settings at each open, never from the desktop. makeWindow makes the
  // fullscreen window at each open that has none; its events go to the
  // callbacks. The back-end owns the window and closes it in CloseDisplay
  // (or when an open fails, so that no black window is left covering the
  // screen).
  frmDirectXSurface(const Host& host, const Settings& settings, TagstampLibrary& tagstamp,
                    CallbackContext callbacks, WindowFactory makeWindow);
  ~frmDirectXSurface() override;

  // modeFlag is v_blnNVidiaStereo. Refuses windowed display; faults are shown
  // with kSurfaceOpenError and give false.
  bool OpenDisplay(bool v_blnFullscreen, int32_t v_lngSrcX, int32_t v_lngSrcY, bool modeFlag,
                   bool v_blnUseLinecode, const cDIBSection* v_dibLineCodeStart,
                   const cDIBSection* v_dibLineCodeEnd) override;
  // The destination size for frames of the given size (fitted to the screen,
  // twice as wide with stereo) and an image surface of that size.
  void ResizeSurface(int32_t v_lngSrcX, int32_t v_lngSrcY) override;
  // Stereo: the frame (a side-by-side pair) is loaded into the image
  // surface, signed, and its left half copied to the back buffer's middle.
  // Otherwise the frame is loaded centred into the back buffer. Scaling
  // picks nearest pixels when quick, area averaging otherwise.
  bool PutImage(const cDIBSection& v_cDib, bool v_blnResize, bool v_blnQuick) override;
  bool CloseDisplay() override;

  // Shows a line code stretched across the top rows of the screen.
  bool PutLineCode(const cDIBSection* pic);

  // State, for tests and statistics.
  const PresentParameters& PresentParams() const { return d3dpp_; }
  SurfaceDevice* Device() const { return device_.get(); }
  Surface* ImageSurface() const { return imageSurface_.get(); }
  int32_t DestWidth() const { return destWidth; }
  int32_t DestHeight() const { return destHeight; }
  int32_t SurfaceBits() const { return surfaceBits; }

 private:
  // The destination size for frames of w x h; false (with a message) when
  // the display is not fullscreen.
  bool DestinationSize(int32_t w, int32_t h);
  bool Initialize3DEnvironment(bool v_blnFullscreen);
  bool InitDeviceObjects(const cDIBSection& v_cDib, bool v_blnResize, bool v_blnQuick);
  bool RestoreDeviceObjects();
  void Present();
  void ReleaseDevice();

  const Host& host_;
  const Settings& settings_;
  TagstampLibrary& tagstamp_;
  WindowCallbacks events_;
  WindowFactory makeWindow_;
  std::unique_ptr<PresentWindow> window_;
  EngineArrays flipArrays_;  // unused by Flip; the engine needs some
  cImageProcessDIB process_;

  PresentParameters d3dpp_;  // kept from one open to the next
  std::unique_ptr<SurfaceDevice> device_;
  Surface* backBuffer_ = nullptr;  // the device's
  std::unique_ptr<Surface> imageSurface_;
  std::vector<uint32_t> presented_;  // the back buffer in 32 bits

  bool nvidiaStereo = false;
  bool useLineCode = false;
  bool fullscreen = false;
  SurfaceRect screenRect;
  int32_t destWidth = 0;
  int32_t destHeight = 0;
  int32_t destLeft = 0;
  int32_t destTop = 0;
  int32_t surfaceBits = 0;
  DibPtr endCode;  // own copy of the end line code
};

}  // namespace dioptrix
