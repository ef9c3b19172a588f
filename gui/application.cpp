#include "gui/application.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>

#include "display/blit_display.h"
#include "display/callback.h"
#include "gui/message_boxes.h"
#include "gui/qt_host.h"
#include "platform/sound/sound_backend.h"
#include "playback/vid_play.h"
#include "playback/video_sources.h"

namespace dioptrix::gui {

int16_t PlayLayoutFor(int16_t detected) {
  switch (detected) {
    case kDetectedSideBySide:
      return kLayoutSideBySide;
    case kDetectedAboveBelow:
      return kLayoutAboveBelow;
    default:
      return kLayout2DTo3D;
  }
}

Application::Application(Options options)
    : main_(std::make_unique<FrmMain>()),
      ctx_(std::make_unique<ProgramContext>(options.libraryDir)),
      store_(options.settingsFile),
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

  // The sound track plays through GStreamer.
  ctx_->audio.SetSoundFactory([] { return MakeGStreamerSound(); });

  main_->onClose = [this] {
    closed_ = true;
    Stop();
  };
}

Application::~Application() {
  Stop();
  // Back-ends first: they draw into the main window.
  ctx_.reset();
  // Windows closed by the back-ends are deleted once their events have run.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void Application::Start() {
  ctx_->settings.InterlaceViaOpenGL = true;
  glasses_->LoadSettings();
  main_->show();
}

bool Application::OpenFile(const std::string& path) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  currentFile_ = path;
  const std::string script = MakeAviSynthScript(*ctx_, path);
  openPath_ = script.empty() ? path : script;
  int16_t detected = kDetected2D;
  frameCount_ = OpenAviForDetection(*ctx_, openPath_, detected);
  ctx_->CurrentFrame = 0;
  startFrame_ = 0;
  QApplication::restoreOverrideCursor();
  if (frameCount_ < 1) {
    currentFile_.clear();
    openPath_.clear();
    frameCount_ = 0;
    main_->ShowFileName({});
    return false;
  }
  detectedLayout_ = detected;
  inputLayout_ = PlayLayoutFor(detected);
  main_->ShowFileName(currentFile_);
  return true;
}

int16_t Application::OutputMethodFor(bool fullscreen) {
  if (methodOverride_) return *methodOverride_;
  // Glasses outside the table leave the method of the last playback.
  if (auto method = OutputMethodForGlasses(ctx_->settings.GlassesType, fullscreen))
    outputMethod_ = *method;
  return outputMethod_;
}

void Application::Play(bool fullscreen) {
  // A playback runs inside the event pumping of the one already running:
  // never start a second one there.
  if (playing_) return;
  if (currentFile_.empty()) {
    ctx_->host.Message(kSelectFileFirst);
    return;
  }
  PlayRequest request;
  request.OpenPath = openPath_;
  request.AudioPath = currentFile_;
  request.InputLayout = inputLayout_;
  request.OutputMethod = OutputMethodFor(fullscreen);
  request.Fullscreen = fullscreen ? kTrue : kFalse;
  request.StartFrame = startFrame_;
  request.Loop = 0;
  request.AudioMethod = kAudioGraph;
  request.AudioSync = 1;
  request.FrameRate = 24.0;
  request.UseStreamRate = 1;
  playing_ = true;
  PlayVideo(*ctx_, request);
  playing_ = false;
}

void Application::Stop() {
  if (ctx_) ctx_->StopRequested = kTrue;
}

}  // namespace dioptrix::gui
