// dioptrix-screenshot VIDEO PICTURE: a picture of the player's main window and
// control bar while they play VIDEO (2D converted to 3D, anaglyph), taken a
// second into the video, for the README. Run it on an X server of its own
// (make screenshot) so that it looks the same wherever it is made.
#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdio>
#include <string>

#include "gui/application.h"
#include "gui/message_boxes.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: dioptrix-screenshot VIDEO PICTURE.png\n");
    return 2;
  }
  QApplication qt(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Dioptrix"));
  using namespace dioptrix;
  gui::MessageBoxes::SetHandler([](QWidget*, const std::string& text, MessageStyle) {
    std::fprintf(stderr, "dioptrix-screenshot: %s\n", text.c_str());
  });
  QTemporaryDir settings;  // first-run settings, whatever the user has stored
  gui::Application app(gui::Application::Options{
      {}, settings.filePath(QStringLiteral("settings.ini")).toStdString(), {}});
  app.Start();
  if (!app.Open_File(argv[1], false)) return 1;
  const std::string picture = argv[2];

  ProgramContext& ctx = app.Context();
  auto pump = ctx.host.onPumpEvents;
  bool taken = false;
  ctx.host.onPumpEvents = [&] {
    pump();
    if (taken || ctx.CurrentFrame < 30) return;
    taken = true;
    // Let the window system show the last frame, then grab both windows.
    for (int i = 0; i < 10; ++i) pump();
    const QRect area = app.MainWindow().frameGeometry().united(app.ControlBar().frameGeometry());
    const QImage shot = QGuiApplication::primaryScreen()
                            ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                            .toImage();
    if (!shot.save(QString::fromStdString(picture), "PNG")) {
      std::fprintf(stderr, "dioptrix-screenshot: cannot write %s\n", picture.c_str());
      taken = false;
    }
    ctx.StopRequested = kTrue;
  };
  app.Video_Play(false);
  gui::MessageBoxes::SetHandler(nullptr);
  if (!taken) return 1;
  std::printf("%s\n", picture.c_str());
  return 0;
}
