#include "gui/application.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <filesystem>

#include "display/blit_display.h"
#include "display/callback.h"
#include "display/opengl_display.h"
#include "gui/dialogs.h"
#include "gui/message_boxes.h"
#include "gui/opengl_window.h"
#include "gui/present_surface.h"
#include "gui/qt_host.h"
#include "platform/library.h"
#include "platform/sound/sound_backend.h"
#include "platform/xrandr/xrandr_screen_modes.h"
#include "playback/vid_play.h"
#include "playback/video_sources.h"

namespace dioptrix::gui {

const char* const kOpenFilter =
    "AVI Files|*.avi|Other Video Files (AviSynth)|"
    "*.mpg;*.mpeg;*.asf;*.wmv;*.dat;*.mov;*.vob"
    "|AviSynth Files|*.avs|VirtualDub Frameserver|*.vdr";

QString QtFileFilter(const std::string& classic) {
  // What FFmpeg opens that users keep their films in, first.
  QStringList entries{QStringLiteral(
      "All video files (*.avi *.mp4 *.m4v *.mkv *.webm *.mov *.mpg *.mpeg *.ts *.m2ts *.mts "
      "*.vob *.wmv *.asf *.flv *.ogv *.3gp *.dat *.avs *.vdr)")};
  const QStringList parts = QString::fromStdString(classic).split(QLatin1Char('|'));
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    entries.push_back(parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')'));
  }
  entries.push_back(QStringLiteral("All files (*)"));
  return entries.join(QStringLiteral(";;"));
}

std::string LayoutMessage(int16_t detectedLayout) {
  const char* name = detectedLayout == kDetectedSideBySide   ? "Parallel"
                     : detectedLayout == kDetectedAboveBelow ? "Above/Below"
                                                             : "2D";
  return std::string("This video appears to be ") + name +
         ". If this is incorrect then it can be changed by selecting the 'Format' drop down "
         "menu.";
}

std::string UserGuidePath() {
  namespace fs = std::filesystem;
  const fs::path dir = ExecutableDir();
  const fs::path beside = dir / "dioptrix-guide.html";
  const fs::path installed = dir.parent_path() / "share/doc/dioptrix/dioptrix-guide.html";
  std::error_code ec;
  if (!fs::exists(beside, ec) && fs::exists(installed, ec)) return installed.string();
  return beside.string();
}

Application::Application(Options options)
    : main_(std::make_unique<FrmMain>()),
      ctx_(std::make_unique<ProgramContext>(options.libraryDir)),
      options_(std::move(options)),
      store_(options_.settingsFile),
      glasses_(std::make_unique<GlassesSet>(ctx_->settings, store_, main_.get())) {
  Host& host = ctx_->host;
  InstallQtHost(host, main_.get());
  auto show = host.onMessage;
  host.onMessage = [this, show](const std::string& text, MessageStyle style) {
    if (style == MessageStyle::Error) ++errorsShown_;
    show(text, style);
  };

  FrmMain* main = main_.get();
  ProgramContext* ctx = ctx_.get();
  // The displays show OutputFrame: a window asked to paint again may read the
  // image it last drew while OutputFrame still holds it.
  auto alive = [ctx](const cDIBSection* image) {
    return image && image == ctx->frames.OutputFrame.get();
  };
  main->PictureArea().SetImageCheck(alive);
  ctx_->Displays.SetFactory(BackendKind::Blit, [ctx, main, alive] {
    return std::make_unique<BlitDisplay>(
        ctx->host, CallbackContext{ctx->host, ctx->Callbacks, ctx->StopRequested},
        &main->PictureWindow(), [main, alive] {
          auto window = std::make_unique<FullscreenSurface>(main);
          window->SetImageCheck(alive);
          return window;
        });
  });
  ctx_->Displays.SetFactory(BackendKind::DirectX, [ctx, main] {
    return std::make_unique<frmDirectXSurface>(
        ctx->host, ctx->settings, ctx->libraries.tagstamp,
        CallbackContext{ctx->host, ctx->Callbacks, ctx->StopRequested},
        [main] { return std::make_unique<FullscreenPresentWindow>(main); });
  });
  ctx_->Displays.SetFactory(BackendKind::OpenGL, [this, ctx, main] {
    // Fullscreen playback switches the screen to the configured mode through
    // XRandR. Without it (no RandR on the server) the screen keeps its mode.
    if (!screenModes_) screenModes_ = MakeXRandRScreenModes();
    ScreenModes* modes = screenModes_.get();
    return std::make_unique<FormOPENGL>(
        ctx->host, ctx->settings, ctx->arrays,
        CallbackContext{ctx->host, ctx->Callbacks, ctx->StopRequested},
        [main](bool fullscreen) -> std::unique_ptr<GlWindow> {
          if (fullscreen) return std::make_unique<FullscreenGl>(main);
          return std::make_unique<MainWindowGl>(main, &main->PictureArea());
        },
        modes);
  });

  // The sound track plays through GStreamer.
  ctx_->audio.SetSoundFactory([] { return MakeGStreamerSound(); });

  GUI::Actions actions;
  actions.track = [this] { GUI_Track(); };
  actions.play = [this] { CTRL_Play(); };
  actions.stop = [this] { CTRL_Stop(); };
  actions.full = [this] { CTRL_Full(); };
  actions.open = [this] { Open_File({}); };
  actions.hidden = [this] { main_->Action("mnuViewControlBar")->setChecked(false); };
  GUI::Source source;
  source.frameCount = [this] { return frameCount_; };
  source.framesPerSecond = [this] { return ctx_->FramesPerSecond; };
  source.currentFrame = [this] { return ctx_->CurrentFrame; };
  bar_ = std::make_unique<GUI>(main, std::move(actions), std::move(source));
  profiler_ = std::make_unique<Profiler>(main);

  main_->onClose = [this] {
    if (playing_) {
      // The window closes once the playback has returned.
      Exit();
      return false;
    }
    Exit();
    return true;
  };
  main_->onResized = [this] { GUI_Track(); };
  main_->onDrop = [this](const std::string& path) { DropFile(path); };
  ConnectMenus();
}

Application::~Application() {
  if (ctx_) ctx_->StopRequested = kTrue;
  bar_.reset();
  profiler_.reset();
  // Back-ends first: they draw into the main window.
  ctx_.reset();
  // Windows closed by the back-ends are deleted once their events have run.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void Application::ConnectMenus() {
  auto on = [this](const char* name, std::function<void()> action) {
    QObject::connect(main_->Action(name), &QAction::triggered, main_.get(),
                     [action = std::move(action)] { action(); });
  };
  on("MenuFileOpen", [this] { Open_File({}); });
  on("MenuFileSettings", [this] { glasses_->ShowModal(); });
  on("MenuFileExit", [this] { Exit(); });
  on("mnuViewStatistics", [this] { ShowStatistics(); });
  on("mnuViewFullscreen", [this] { CTRL_Full(); });
  on("mnuPlayStart", [this] { CTRL_Play(); });
  on("MnuPlayStop", [this] { CTRL_Stop(); });
  on("PlayToggle", [this] { playing_ ? CTRL_Stop() : CTRL_Play(); });
  on("mnuHelpAbout", [this] { ShowAbout(); });
  on("mnuHelpContents", [this] { ShowHelp(); });
  // A choice in the Format menu replaces a layout set from the command line.
  for (const char* format : {"mnu2D", "mnuParallel", "mnuAbove"})
    on(format, [this] { layoutOverride_.reset(); });
  // The user's choice holds at once and for later runs.
  QObject::connect(main_->Action("mnuImprovedDepth"), &QAction::triggered, main_.get(),
                   [this](bool on) {
                     SetImprovedDepth(on);
                     if (std::string error; !store_.SaveImprovedDepth(on, &error))
                       ctx_->host.Message(error);
                   });
  QObject::connect(main_->Action("mnuViewControlBar"), &QAction::toggled, bar_.get(),
                   [this](bool visible) {
                     bar_->setVisible(visible);
                     if (visible) GUI_Track();
                   });
}

void Application::Start() {
  ctx_->settings.InterlaceViaOpenGL = true;
  glasses_->LoadSettings();
  SetImprovedDepth(store_.LoadImprovedDepth());
  main_->show();
  bar_->show();
  GUI_Track();
}

void Application::Exit() {
  if (playing_) {
    WhenStopped([this] { Exit(); });
    return;
  }
  if (closed_) return;
  closed_ = true;
  ctx_->Displays.Release(BackendKind::OpenGL);
  ctx_->Displays.Release(BackendKind::DirectX);
  glasses_->hide();
  profiler_->hide();
  bar_->hide();
  main_->hide();
  if (onExit) onExit();
}

void Application::WhenStopped(std::function<void()> action) {
  if (!playing_) {
    action();
    return;
  }
  ctx_->StopRequested = kTrue;
  afterPlayback_ = std::move(action);
}

bool Application::Open_File(const std::string& path, bool announce) {
  if (playing_) {
    WhenStopped([this, path, announce] { Open_File(path, announce); });
    return false;
  }
  std::string file = path;
  if (file.empty()) {
    file = Dialogs::ChooseOpenFile(main_.get(), QStringLiteral("Open"), QtFileFilter(kOpenFilter));
    if (file.empty()) return false;  // cancelled: the open file stays open
  }
  QApplication::setOverrideCursor(Qt::WaitCursor);
  currentFile_ = file;
  const std::string script = MakeAviSynthScript(*ctx_, file);
  openPath_ = script.empty() ? file : script;
  int16_t detected = kDetected2D;
  frameCount_ = OpenAviForDetection(*ctx_, openPath_, detected);
  ctx_->CurrentFrame = 0;
  bar_->Reset(frameCount_);
  const bool opened = frameCount_ >= 1;
  if (!opened) {
    // Nothing to play: no file is open, and nothing is said about a layout.
    currentFile_.clear();
    openPath_.clear();
    frameCount_ = 0;
  } else {
    detectedLayout_ = detected;
    if (announce) ctx_->host.Message(LayoutMessage(detected), MessageStyle::Information);
    main_->CheckFormat(detected);
    layoutOverride_.reset();
  }
  bar_->Update_GUI();
  QApplication::restoreOverrideCursor();
  main_->ShowFileName(currentFile_);
  return opened;
}

int16_t Application::InputLayout() const {
  return layoutOverride_ ? *layoutOverride_ : main_->FormatLayout();
}

int16_t Application::OutputMethodFor(bool fullscreen) {
  if (methodOverride_) return *methodOverride_;
  // Glasses outside the table leave the method of the last playback.
  if (auto method = OutputMethodForGlasses(ctx_->settings.GlassesType, fullscreen))
    outputMethod_ = *method;
  return outputMethod_;
}

void Application::SetImprovedDepth(bool on) {
  ctx_->conversion.ImprovedDepth = on;
  main_->Action("mnuImprovedDepth")->setChecked(on);
}

void Application::Video_Play(bool fullscreen) {
  if (playing_) {
    WhenStopped([this, fullscreen] { Video_Play(fullscreen); });
    return;
  }
  const int16_t layout = InputLayout();
  if (currentFile_.empty()) {
    ctx_->host.Message(kSelectFileFirst);
    return;
  }
  PlayRequest request;
  request.OpenPath = openPath_;
  request.AudioPath = currentFile_;
  request.InputLayout = layout;
  request.OutputMethod = OutputMethodFor(fullscreen);
  request.Fullscreen = fullscreen ? kTrue : kFalse;
  // From the position on the bar; at the last frame (a playback that ran to
  // the end) from the start again.
  int32_t start = static_cast<int32_t>(std::max(0.0f, bar_->Progress().Value()));
  if (start >= frameCount_ - 1) start = 0;
  request.StartFrame = start;
  request.Loop = 0;
  request.AudioMethod = kAudioGraph;
  request.AudioSync = 1;
  request.FrameRate = 24.0;
  request.UseStreamRate = 1;

  bar_->Progress_Timer().start();
  bar_->Progress().setEnabled(false);
  main_->Background().hide();
  playing_ = true;
  PlayVideo(*ctx_, request);
  playing_ = false;
  main_->PictureArea().ClearPicture();
  main_->Background().show();
  bar_->Progress_Timer().stop();
  bar_->Progress().setEnabled(true);
  bar_->Vid_State_Change();
  bar_->Update_GUI();

  if (afterPlayback_) {
    // Posted: it runs once the caller of this playback has returned too.
    QTimer::singleShot(0, main_.get(), [this, action = std::move(afterPlayback_)] { action(); });
    afterPlayback_ = nullptr;
  } else if (onPlaybackEnded) {
    onPlaybackEnded();
  }
}

void Application::CTRL_Play() {
  Video_Play(false);
  bar_->Vid_State_Change();
}

void Application::CTRL_Stop() {
  stopPressed_ = 1;
  ctx_->StopRequested = kTrue;
  // Stop means stop: nothing asked for during the playback follows it.
  afterPlayback_ = nullptr;
  ctx_->host.PumpEvents();
  bar_->Vid_State_Change();
  bar_->Progress_Timer().stop();
  bar_->Progress().setEnabled(true);
}

void Application::CTRL_Full() {
  if (stopPressed_ == 0) CTRL_Stop();
  Video_Play(true);
  bar_->Vid_State_Change();
}

void Application::DropFile(const std::string& path) {
  if (stopPressed_ == 0) {
    CTRL_Stop();
    stopPressed_ = 1;
    bar_->Vid_State_Change();
  }
  Open_File(path);
}

void Application::GUI_Track() {
  const QRect frame = main_->frameGeometry();
  bar_->move(frame.left(), frame.top() + frame.height());
}

void Application::ShowAbout() {
  ctx_->host.Message(std::string("Dioptrix\nVersion ") + DIOPTRIX_VERSION +
                         "\n\nPlays video in stereoscopic 3D: ordinary 2D video is turned into a "
                         "stereo pair as it plays, stereo video is shown for your 3D glasses.",
                     MessageStyle::Information);
}

void Application::ShowHelp() {
  const std::string guide = options_.userGuide.empty() ? UserGuidePath() : options_.userGuide;
  if (!QFileInfo::exists(QString::fromStdString(guide))) {
    ctx_->host.Message("The user guide " + guide + " is missing.");
    return;
  }
  if (!Dialogs::OpenUrl(QUrl::fromLocalFile(QString::fromStdString(guide))))
    ctx_->host.Message("No viewer could open the user guide " + guide + ".");
}

void Application::ShowStatistics() {
  profiler_->LoadProfile(ctx_->MeanFrameTime, ctx_->StageTimes, ctx_->PlaybackNotes);
  Dialogs::RunModal(*profiler_);
}

}  // namespace dioptrix::gui
