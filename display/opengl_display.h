// The OpenGL back-end: shows composed frames with glDrawPixels in an OpenGL
// window, either the main window's picture area (windowed) or a window of its
// own that covers the screen (fullscreen, in the configured screen mode).
// Side-by-side frames of the quad-buffer method go into the left and right
// back buffers; the shutter and interlaced methods frame a fullscreen
// playback with the glasses' line codes.
//
// The placement, the GL call sequence, the screen-mode switch and the
// line-code sequence live here and run headless; the window, its GL context
// and the GL calls themselves are a GlWindow, made on Qt by the GUI (gui/)
// and by a recording fake in the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "display/callback.h"
#include "display/display_backend.h"
#include "display/screen_mode.h"
#include "image/dib_section.h"
#include "platform/host.h"
#include "platform/screen_modes.h"
#include "platform/settings.h"
#include "process/image_process.h"

namespace dioptrix {

// The buffers glDrawBuffer selects.
enum class GlBuffer { FrontAndBack, Back, BackLeft, BackRight };
// glMatrixMode's matrices.
enum class GlMatrix { Projection, ModelView };
// glShadeModel's models.
enum class GlShade { Smooth, Flat };
// What glEnable and glDisable switch.
enum class GlCapability { DepthTest, Blend };

// What a window and its context are asked for.
struct GlRequest {
  int32_t width = 0;  // the drawing area, pixels
  int32_t height = 0;
  int32_t colourBits = 32;  // 32: 8 bits each of red, green, blue, alpha; 24: no alpha; 16: 5-6-5
  int32_t depthBits = 16;
  bool fullscreen = false;
  bool stereo = false;  // quad-buffer stereo: left and right back buffers
};

// What the window system granted: each step of the set-up in the order it
// is made, then the format of the context. A failed step leaves the later
// ones failed too.
struct GlGrant {
  bool pixelFormatFound = false;  // a surface of (or near) the asked-for format exists
  bool pixelFormatSet = false;    // the window took that format
  bool contextCreated = false;
  bool contextCurrent = false;
  bool stereo = false;  // the context has left and right buffers
  int32_t colourBits = 0;
  int32_t depthBits = 0;
};

// How releasing the context went.
struct GlRelease {
  bool doneCurrent = true;     // the context is no longer current on the window
  bool contextDeleted = true;  // the context is gone
};

// A window with an OpenGL context, the only way the back-end reaches GL.
//
// Units and coordinates: pixels. Place is in the coordinates of the screen
// the window is on. The GL calls take GL's own units (the projection maps
// RasterPos onto window pixels, (0, 0) the bottom-left corner).
//
// Lifetime: the back-end owns the window object; Place may come before
// Create (the window is placed, then its context made). Create may be asked
// again; it replaces the context. ReleaseContext ends the context, Unload
// closes the window (the main window's picture area: only its GL surface).
//
// GL calls: each acts on the window's context; without a current context
// (before Create, after ReleaseContext, or when Create failed) it does
// nothing, as GL itself does. DrawPixels reads width * height * 3 bytes of
// red-green-blue rows, bottom row first, packed as the unpack alignment
// says; `size` is the number of bytes at `pixels`, and a call that would read
// past them draws nothing.
//
// Threads and events: every call comes from the user-interface thread. The
// window delivers its key presses, mouse buttons and loss of focus to the
// DisplayEvents given to SetEvents, while window events run.
//
// Errors: Create reports each failed step in its grant; nothing here raises.
class GlWindow {
 public:
  virtual ~GlWindow() = default;

  // Moves the window to (left, top) of its screen and sizes it (its inner
  // area, for the main window) to width x height.
  virtual void Place(int32_t left, int32_t top, int32_t width, int32_t height) = 0;
  // Makes the window's GL surface of request.width x height and a context
  // of the asked-for format on it, and makes the context current.
  virtual GlGrant Create(const GlRequest& request) = 0;
  // Shows the window and brings it to the front with the keyboard focus.
  virtual void Show() = 0;
  // The size of the GL surface now.
  virtual int32_t InnerWidth() const = 0;
  virtual int32_t InnerHeight() const = 0;
  // Shows the mouse pointer again over the window.
  virtual void ShowPointer() = 0;
  virtual GlRelease ReleaseContext() = 0;
  virtual void Unload() = 0;
  // Where the window's events go from now on; null: nowhere. The events
  // object must outlive the window or be replaced first.
  virtual void SetEvents(DisplayEvents* events) = 0;

  virtual void DrawBuffer(GlBuffer buffer) = 0;
  // Clears the colour and the depth buffer.
  virtual void Clear() = 0;
  virtual void LoadIdentity() = 0;
  virtual void MatrixMode(GlMatrix matrix) = 0;
  // An orthographic projection: x from left to right, y from bottom to top.
  virtual void Ortho2D(double left, double right, double bottom, double top) = 0;
  virtual void Viewport(int32_t x, int32_t y, int32_t width, int32_t height) = 0;
  virtual void ShadeModel(GlShade shade) = 0;
  virtual void ClearColor(float red, float green, float blue, float alpha) = 0;
  virtual void ClearDepth(double depth) = 0;
  virtual void Enable(GlCapability capability) = 0;
  virtual void Disable(GlCapability capability) = 0;
  // glDepthFunc(GL_LEQUAL).
  virtual void DepthFuncLessOrEqual() = 0;
  // glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST).
  virtual void PerspectiveHintNicest() = 0;
  // glPixelStorei(GL_UNPACK_ALIGNMENT, bytes).
  virtual void UnpackAlignment(int32_t bytes) = 0;
  virtual void PixelZoom(float x, float y) = 0;
  virtual void RasterPos(float x, float y) = 0;
  // glDrawPixels(width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels).
  virtual void DrawPixels(int32_t width, int32_t height, const uint8_t* pixels, size_t size) = 0;
  // Shows the back buffer(s).
  virtual void SwapBuffers() = 0;
};

// Message prefixes of faults while opening, presenting and showing a code.
inline constexpr const char* kOpenGLOpenError = "An error occurred in frmOpenGL::OpenDisplay. ";
inline constexpr const char* kOpenGLImageError = "Unable to blit image. ";
inline constexpr const char* kOpenGLLineCodeError = "Unable to blit linecode. ";
// Set-up failures, shown as "ERROR: " + text with MessageStyle::Error (the
// message sink has no titles; the title leads the text instead).
inline constexpr const char* kGlErrorTitle = "ERROR";
inline constexpr const char* kGlNoPixelFormat = "Can't Find A Suitable PixelFormat.";
inline constexpr const char* kGlCantSetPixelFormat = "Can't Set The PixelFormat.";
inline constexpr const char* kGlNoContext = "Can't Create A GL Rendering Context.";
inline constexpr const char* kGlCantActivate = "Can't Activate The GL Rendering Context.";
// Close failures, shown as "SHUTDOWN ERROR: " + text with
// MessageStyle::Information.
inline constexpr const char* kGlShutdownTitle = "SHUTDOWN ERROR";
inline constexpr const char* kGlReleaseFailed = "Release Of DC And RC Failed.";
inline constexpr const char* kGlReleaseContextFailed = "Release Rendering Context Failed.";
// Shown (MessageStyle::Information) when quad-buffer stereo was asked for
// and the context has none; the display goes on in mono.
inline constexpr const char* kGlNoStereo =
    "Quad-buffered stereo is not available on this display: the left view is shown.";
// The depth buffer's bits.
inline constexpr int32_t kGlDepthBits = 16;

class FormOPENGL final : public DisplayBackend {
 public:
  // Makes the window of a display: the main window's picture area
  // (fullscreen false) or a window of its own covering the screen.
  using WindowFactory = std::function<std::unique_ptr<GlWindow>(bool fullscreen)>;

  // settings give the fullscreen mode (ScreenWidth, ScreenHeight,
  // ColourDepth, RefreshRate), read at each open; arrays hold the converted
  // pixels (OpenGLPixels). modes switches the screen for fullscreen displays;
  // null: the screen keeps its mode. host, settings, arrays and modes are
  // borrowed for the back-end's life. Events of the window go to the
  // callbacks.
  FormOPENGL(Host& host, const Settings& settings, EngineArrays& arrays, CallbackContext callbacks,
             WindowFactory makeWindow, ScreenModes* modes);
  // Puts the desktop's mode back if a display is still open in another one.
  ~FormOPENGL() override;

  // modeFlag is v_blnOpenGLStereo. Faults are shown with kOpenGLOpenError
  // and give false; failed set-up steps are shown and the open goes on.
  bool OpenDisplay(bool v_blnFullscreen, int32_t v_lngSrcX, int32_t v_lngSrcY, bool modeFlag,
                   bool v_blnUseLinecode, const cDIBSection* v_dibLineCodeStart,
                   const cDIBSection* v_dibLineCodeEnd) override;
  // With stereo each view is half the frame's width. Windowed: the main
  // window is centred on the screen around one view (never off its top-left
  // corner), 50 rows higher, and the view goes to its corner. Fullscreen:
  // the own window covers the configured screen size and the view is fitted
  // into it, starting on an even row. The pixel zoom fits a view into the
  // window. A frame with no width or height raises division by zero.
  void ResizeSurface(int32_t v_lngSrcX, int32_t v_lngSrcY) override;
  // Draws the frame (scaled by the pixel zoom when v_blnResize) at the
  // destination's corner into the back buffer, or its halves into the left
  // and right back buffers, lets events run and swaps. Faults are shown with
  // kOpenGLImageError; always true.
  bool PutImage(const cDIBSection& v_cDib, bool v_blnResize, bool v_blnQuick) override;
  // Shows the end code for one second if one is in use, puts the desktop's
  // mode back after a fullscreen display, releases the context and closes
  // the window. Safe when not open.
  bool CloseDisplay() override;

  // Viewport and projection for a drawing area of width x height (a height
  // of 0 counts as 1).
  void ReSizeGLScene(int32_t width, int32_t height);

  struct Rect {
    int32_t left = 0, top = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
  };
  Rect WindowRect() const { return window_; }
  Rect DestRect() const { return dest_; }
  float PixelZoom() const { return pixelZoom_; }
  bool Fullscreen() const { return fullscreen_; }
  bool LineCodeActive() const { return lineCodeActive_; }
  // True when frames go into separate left and right buffers.
  bool StereoGranted() const { return stereoGranted_; }

 private:
  GlWindow& Target() const;
  // Makes the window's context and sets GL's state up.
  void CreateGLWindow();
  void InitGL();
  // Draws a line code across the top of the window and swaps; false after a
  // fault (shown with kOpenGLLineCodeError).
  bool DrawLineCode(const cDIBSection& code);
  // Converts an image and draws it at the destination's corner into buffer.
  void DrawView(GlWindow& target, const cDIBSection& view, GlBuffer buffer);
  // Releases the context and closes the window (the screen mode is not
  // touched).
  void KillTarget();

  Host& host_;
  const Settings& settings_;
  cImageProcessDIB engine_;
  WindowCallbacks events_;
  WindowFactory makeWindow_;
  ScreenModes* modes_;
  SavedDisplayMode desktop_;

  std::unique_ptr<GlWindow> target_;
  bool targetFullscreen_ = false;  // the kind of window target_ is

  bool fullscreen_ = false;
  bool openGLStereo_ = false;
  bool stereoGranted_ = false;
  bool lineCodeActive_ = false;
  DibPtr endCode_;  // own copy of the end line code
  Rect window_;
  Rect dest_;
  float pixelZoom_ = 1.0f;
};

}  // namespace dioptrix
