// The Qt window the surface-device back-end presents to: a frameless black
// window covering the screen of a reference window (the main window), pointer
// hidden, that paints the last presented back buffer. A back buffer of the
// screen's size is painted pixel for pixel; another size is scaled to fit the
// screen keeping its aspect, centred (the screen mode is not changed).
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <cstdint>

#include "display/directx_display.h"

namespace dioptrix::gui {

class PresentSurface : public QWidget {
 public:
  explicit PresentSurface(QWidget* parent = nullptr);

  // Keeps a copy of the frame (0xFFRRGGBB, rows top-down, packed) and
  // repaints.
  void SetFrame(const uint32_t* pixels, int32_t width, int32_t height);
  const QImage& Frame() const { return frame_; }
  // Where key presses, mouse buttons and focus loss go; null: nowhere.
  void SetEvents(DisplayEvents* events) { events_ = events; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  QImage frame_;
  DisplayEvents* events_ = nullptr;
};

class FullscreenPresentWindow final : public PresentWindow {
 public:
  explicit FullscreenPresentWindow(QWidget* reference);
  ~FullscreenPresentWindow() override;

  void Show() override;
  void ShowFrame(const uint32_t* pixels, int32_t width, int32_t height) override;
  // Closes the window; it is deleted once its events have run.
  void Unload() override;
  void SetEvents(DisplayEvents* events) override;

  PresentSurface* Surface() const { return surface_.data(); }

 private:
  QPointer<PresentSurface> surface_;
  QPointer<QWidget> reference_;
};

}  // namespace dioptrix::gui
