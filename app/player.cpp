// The player's main sequence on Qt (the parsing is in player_cli.cpp).
#include <QApplication>
#include <QString>
#include <QTimer>
#include <memory>

#include "app/command_line.h"
#include "app/player_cli.h"
#include "gui/application.h"
#include "gui/display_probe.h"
#include "gui/message_boxes.h"
#include "platform/host.h"

namespace dioptrix {

namespace {

constexpr const char* kProgram = "dioptrix";

// Opens and plays the file of the command line, printing what was detected
// and chosen. False when it could not be opened.
bool OpenAndPlay(gui::Application& app, const PlayerOptions& options, std::ostream& out) {
  if (!app.Open_File(options.file, /*announce=*/false)) return false;
  out << "Input layout: " << InputLayoutName(app.DetectedLayout()) << " (detected)";
  if (options.layout) app.SetInputLayout(*options.layout);
  if (app.InputLayout() != app.DetectedLayout())
    out << ", played as " << InputLayoutName(app.InputLayout());
  out << '\n';
  app.SetOutputMethod(options.method);
  out << "Output method: " << OutputMethodName(app.OutputMethodFor(options.fullscreen))
      << (options.fullscreen ? ", fullscreen" : ", in a window") << '\n'
      << std::flush;
  app.Video_Play(options.fullscreen);
  for (const std::string& note : app.Context().PlaybackNotes) out << "Note: " << note << '\n';
  out << std::flush;
  return true;
}

}  // namespace

int PlayerMain(int& argc, char** argv, std::ostream& out, std::ostream& err) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const ParsedPlayerArguments parsed = ParsePlayerArguments(args);
  if (!parsed.ok) {
    err << kProgram << ": " << parsed.error << "\nTry '" << kProgram << " --help'.\n";
    return kPlayerBadUsage;
  }
  const PlayerOptions& options = parsed.options;
  if (options.help) {
    out << PlayerUsage();
    return kPlayerOk;
  }
  if (options.version) {
    out << PlayerVersion();
    return kPlayerOk;
  }
  // Qt ends the process when it cannot reach the window system: ask first.
  std::string why;
  if (!gui::WindowSystemAvailable(&why)) {
    err << kProgram << ": " << why
        << ".\nDioptrix plays video in a window: run it on a desktop, or convert the video "
           "without a display with dioptrix-convert.\n";
    return kPlayerFailed;
  }

  QApplication qt(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Dioptrix"));
  QApplication::setApplicationVersion(QStringLiteral(DIOPTRIX_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("dioptrix"));
  // The control bar and the dialogs are not the program: it ends on Exit.
  QApplication::setQuitOnLastWindowClosed(false);
  if (options.batch) {
    gui::MessageBoxes::SetHandler([&err](QWidget*, const std::string& text, MessageStyle style) {
      err << kProgram << ": " << (style == MessageStyle::Error ? "" : "note: ") << text << '\n'
          << std::flush;
    });
  }
  int status = kPlayerOk;
  {
    gui::Application app;
    app.onExit = [] { QCoreApplication::quit(); };
    if (options.quitAtEnd) app.onPlaybackEnded = [&app] { app.Exit(); };
    app.Start();
    app.Context().conversion.EngineSynthesis = options.engineSynthesis;
    // --depth holds for this run over the stored choice, which it leaves as it is.
    if (options.improvedDepth) app.SetImprovedDepth(*options.improvedDepth);
    if (!options.file.empty()) {
      QTimer::singleShot(0, &app.MainWindow(), [&] {
        if (!OpenAndPlay(app, options, out)) {
          status = kPlayerFailed;
          if (options.quitAtEnd) app.Exit();
        }
      });
    }
    if (!app.Closed()) qt.exec();
    if (app.ErrorsShown() > 0) status = kPlayerFailed;
  }
  gui::MessageBoxes::SetHandler(nullptr);
  return status;
}

}  // namespace dioptrix
