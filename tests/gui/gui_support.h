// What the window tests share: waiting for windows to reach the X server's
// screen, grabbing the screen, and comparing a grab with an image.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <functional>
#include <string>

#include "image/dib_section.h"

namespace dioptrix::test {

// Runs window events until done() holds or the time is up; false on time-out.
inline bool RunEventsUntil(const std::function<bool()>& done, int milliseconds = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > milliseconds) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Runs window events for a while (to let the X server catch up).
inline void RunEventsFor(int milliseconds) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < milliseconds) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

inline bool Exposed(const QWidget& widget) {
  const QWindow* handle = widget.window()->windowHandle();
  return widget.isVisible() && handle && handle->isExposed();
}

// The screen's pixels in the rectangle, as 32-bit RGB.
inline QImage GrabScreen(const QRect& area) {
  QScreen* screen = QGuiApplication::primaryScreen();
  return screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
      .toImage()
      .convertToFormat(QImage::Format_RGB32);
}

// Empty when the grab shows exactly the image's pixels; else where it first
// differs.
inline std::string DifferenceFrom(const QImage& grab, const cDIBSection& image) {
  if (grab.width() != image.Width() || grab.height() != image.Height()) {
    return "size " + std::to_string(grab.width()) + "x" + std::to_string(grab.height()) +
           " against " + std::to_string(image.Width()) + "x" + std::to_string(image.Height());
  }
  for (int32_t y = 0; y < image.Height(); ++y) {
    const uint8_t* p = image.ScanLine(image.Height() - 1 - y);
    const QRgb* g = reinterpret_cast<const QRgb*>(grab.constScanLine(y));
    for (int32_t x = 0; x < image.Width(); ++x, p += 3) {
      if (qRed(g[x]) != p[2] || qGreen(g[x]) != p[1] || qBlue(g[x]) != p[0]) {
        return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ")";
      }
    }
  }
  return {};
}

}  // namespace dioptrix::test
