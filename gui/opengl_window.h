// The Qt windows the OpenGL back-end draws into.
//
// GlSurface is a QWindow of OpenGL surface type that hands its key presses,
// mouse buttons and focus loss to the back-end's DisplayEvents. QtGlWindow
// owns one with a QOpenGLContext (compatibility profile, so that the fixed
// function calls glDrawPixels, glRasterPos and glPixelZoom exist) and makes
// the GL calls of the back-end on it.
//
// Two kinds: MainWindowGl puts the surface into the main window's picture
// area (a native child window in a window container that follows the area's
// size, so it works with any window manager and on Xvfb), and moves and sizes
// the main window; FullscreenGl is a frameless window of its own covering the
// screen, with the pointer hidden.
//
// Quad-buffer stereo is asked for with QSurfaceFormat::setStereo; Qt falls
// back to a mono format silently when the driver has none (always under Mesa
// and Xvfb), so the grant reports the format the context really got.
#pragma once

#include <QPointer>
#include <QWindow>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "display/opengl_display.h"

class QOpenGLContext;

namespace dioptrix::gui {

class GlSurface : public QWindow {
 public:
  explicit GlSurface(QWindow* parent = nullptr);
  // Where key presses, mouse buttons and focus loss go; null: nowhere.
  void SetEvents(DisplayEvents* events) { events_ = events; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  DisplayEvents* events_ = nullptr;
};

class QtGlWindow : public GlWindow {
 public:
  ~QtGlWindow() override;

  GlGrant Create(const GlRequest& request) override;
  int32_t InnerWidth() const override;
  int32_t InnerHeight() const override;
  GlRelease ReleaseContext() override;
  void SetEvents(DisplayEvents* events) override;

  void DrawBuffer(GlBuffer buffer) override;
  void Clear() override;
  void LoadIdentity() override;
  void MatrixMode(GlMatrix matrix) override;
  void Ortho2D(double left, double right, double bottom, double top) override;
  void Viewport(int32_t x, int32_t y, int32_t width, int32_t height) override;
  void ShadeModel(GlShade shade) override;
  void ClearColor(float red, float green, float blue, float alpha) override;
  void ClearDepth(double depth) override;
  void Enable(GlCapability capability) override;
  void Disable(GlCapability capability) override;
  void DepthFuncLessOrEqual() override;
  void PerspectiveHintNicest() override;
  void UnpackAlignment(int32_t bytes) override;
  void PixelZoom(float x, float y) override;
  void RasterPos(float x, float y) override;
  void DrawPixels(int32_t width, int32_t height, const uint8_t* pixels, size_t size) override;
  void SwapBuffers() override;

  // For tests: runs just before each buffer swap with the context current,
  // where ReadPixels sees what is about to be shown.
  void SetBeforeSwap(std::function<void()> hook) { beforeSwap_ = std::move(hook); }
  // The width x height pixels at (x, y) (GL's coordinates, from the bottom
  // left) of a buffer: red, green, blue, rows bottom first, packed. Empty
  // without a current context.
  std::vector<uint8_t> ReadPixels(GlBuffer buffer, int32_t x, int32_t y, int32_t width,
                                  int32_t height);
  // The format the context got; default when there is none.
  QSurfaceFormat GrantedFormat() const;
  GlSurface* Surface() const { return surface_.data(); }

 protected:
  // Makes the surface with the format set, not yet created.
  virtual GlSurface* MakeSurface(const QSurfaceFormat& format, const GlRequest& request) = 0;
  // Closes the surface (deleted once its events have run).
  virtual void DropSurface();
  QPointer<GlSurface> surface_;

 private:
  // Makes the context current on the surface; false without either.
  bool Current();
  void DropContext();

  std::unique_ptr<QOpenGLContext> context_;
  DisplayEvents* events_ = nullptr;
  std::function<void()> beforeSwap_;
};

// The main window's picture area. Place moves the main window (its frame's
// corner) and makes its inner area width x height; the GL surface fills the
// picture area below the menu bar. Unload removes the surface and leaves the
// main window as it is.
class MainWindowGl final : public QtGlWindow {
 public:
  MainWindowGl(QWidget* mainWindow, QWidget* area);
  ~MainWindowGl() override;
  void Place(int32_t left, int32_t top, int32_t width, int32_t height) override;
  void Show() override;
  void ShowPointer() override {}
  void Unload() override;

 protected:
  GlSurface* MakeSurface(const QSurfaceFormat& format, const GlRequest& request) override;
  void DropSurface() override;

 private:
  QPointer<QWidget> mainWindow_;
  QPointer<QWidget> area_;
  QPointer<QWidget> container_;
};

// A frameless window of the back-end's own on the screen of a reference
// window (the main window), with the pointer hidden until ShowPointer.
class FullscreenGl final : public QtGlWindow {
 public:
  explicit FullscreenGl(QWidget* reference);
  ~FullscreenGl() override;
  void Place(int32_t left, int32_t top, int32_t width, int32_t height) override;
  void Show() override;
  void ShowPointer() override;
  void Unload() override;

 protected:
  GlSurface* MakeSurface(const QSurfaceFormat& format, const GlRequest& request) override;

 private:
  QPointer<QWidget> reference_;
  QRect place_;
};

}  // namespace dioptrix::gui
