#include "gui/present_surface.h"

#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <cstring>

#include "display/screen.h"
#include "gui/blit_surface.h"

namespace dioptrix::gui {

PresentSurface::PresentSurface(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setFocusPolicy(Qt::StrongFocus);
}

void PresentSurface::SetFrame(const uint32_t* pixels, int32_t width, int32_t height) {
  if (!pixels || width <= 0 || height <= 0) return;
  if (frame_.width() != width || frame_.height() != height)
    frame_ = QImage(width, height, QImage::Format_RGB32);
  if (frame_.isNull()) return;
  const size_t rowBytes = 4 * static_cast<size_t>(width);
  for (int32_t y = 0; y < height; ++y)
    std::memcpy(frame_.scanLine(y), pixels + static_cast<size_t>(y) * width, rowBytes);
  update();
}

void PresentSurface::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QRect all = rect();
  if (frame_.isNull()) {
    painter.fillRect(event->rect(), Qt::black);
    return;
  }
  if (frame_.size() == all.size()) {
    painter.drawImage(event->rect().topLeft(), frame_, event->rect());
    return;
  }
  // Another size than the screen: fitted, centred on black.
  int32_t w = frame_.width(), h = frame_.height(), x = 0, y = 0;
  FitToScreen(w, h, x, y, all.width(), all.height());
  const QRect target(x, y, w, h);
  painter.fillRect(all, Qt::black);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, frame_);
}

void PresentSurface::keyPressEvent(QKeyEvent* event) {
  SendKey(events_, *event);
  event->accept();
}

void PresentSurface::mousePressEvent(QMouseEvent* event) {
  SendButton(events_, *event);
  event->accept();
}

void PresentSurface::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  SendFocusLoss(events_, *event);
}

FullscreenPresentWindow::FullscreenPresentWindow(QWidget* reference)
    : surface_(new PresentSurface(nullptr)), reference_(reference) {
  MakeFullscreenWindow(surface_.data());
}

FullscreenPresentWindow::~FullscreenPresentWindow() { Unload(); }

void FullscreenPresentWindow::Show() {
  PresentSurface* window = surface_.data();
  if (!window) return;
  QScreen* screen = reference_ ? reference_->screen() : nullptr;
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (screen) {
    window->setScreen(screen);
    window->setGeometry(screen->geometry());
  }
  window->showFullScreen();
  window->raise();
  window->activateWindow();
  window->setFocus(Qt::OtherFocusReason);
}

void FullscreenPresentWindow::ShowFrame(const uint32_t* pixels, int32_t width, int32_t height) {
  if (surface_) surface_->SetFrame(pixels, width, height);
}

void FullscreenPresentWindow::SetEvents(DisplayEvents* events) {
  if (surface_) surface_->SetEvents(events);
}

void FullscreenPresentWindow::Unload() {
  PresentSurface* window = surface_.data();
  if (!window) return;
  surface_.clear();
  window->SetEvents(nullptr);
  window->hide();
  // The window may be closed from inside one of its own events.
  window->deleteLater();
}

}  // namespace dioptrix::gui
