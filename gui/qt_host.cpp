#include "gui/qt_host.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <thread>

#include "gui/message_boxes.h"

namespace dioptrix::gui {

void InstallQtHost(Host& host, QWidget* window) {
  QPointer<QWidget> owner(window);
  host.onMessage = [owner](const std::string& text, MessageStyle style) {
    MessageBoxes::Show(owner.data(), text, style);
  };
  host.onPumpEvents = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
  // Waits of the frame pacing: events run, then the processor rests for
  // half a millisecond instead of spinning.
  host.onIdle = [] {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  };
  host.onRunEventsFor = [](int32_t milliseconds) {
    // A one-shot timer ends a nested event loop: keys, clicks and timers are
    // delivered meanwhile.
    QEventLoop loop;
    QTimer::singleShot(std::max(milliseconds, 0), &loop, &QEventLoop::quit);
    loop.exec();
  };
  host.onDesktopSize = [owner] {
    QScreen* screen = owner ? owner->screen() : nullptr;
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return ScreenSize{};
    const QSize size = screen->geometry().size();
    return ScreenSize{size.width(), size.height()};
  };
}

}  // namespace dioptrix::gui
