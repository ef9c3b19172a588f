#include "gui/opengl_window.h"

#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QOpenGLFunctions_1_1>
#include <QOpenGLVersionFunctionsFactory>
#include <QScreen>
#include <QWidget>
#include <algorithm>

#include "gui/blit_surface.h"

namespace dioptrix::gui {

namespace {

GLenum BufferCode(GlBuffer buffer) {
  switch (buffer) {
    case GlBuffer::Back:
      return GL_BACK;
    case GlBuffer::BackLeft:
      return GL_BACK_LEFT;
    case GlBuffer::BackRight:
      return GL_BACK_RIGHT;
    case GlBuffer::FrontAndBack:
      break;
  }
  return GL_FRONT_AND_BACK;
}

GLenum CapabilityCode(GlCapability capability) {
  return capability == GlCapability::Blend ? GL_BLEND : GL_DEPTH_TEST;
}

// The screen a window is on (the primary one when it has none).
QScreen* ScreenOf(const QWidget* window) {
  QScreen* screen = window ? window->screen() : nullptr;
  return screen ? screen : QGuiApplication::primaryScreen();
}

// Keeps a child widget covering its parent.
class FillParent final : public QObject {
 public:
  FillParent(QWidget* child, QWidget* parent) : QObject(child), child_(child) {
    parent->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize && child_ && watched == child_->parentWidget())
      child_->setGeometry(child_->parentWidget()->rect());
    return false;
  }

 private:
  QPointer<QWidget> child_;
};

}  // namespace

// --- The surface -------------------------------------------------------------

GlSurface::GlSurface(QWindow* parent) : QWindow(parent) {
  setSurfaceType(QSurface::OpenGLSurface);
  setTitle(QStringLiteral("Dioptrix"));
}

void GlSurface::keyPressEvent(QKeyEvent* event) { SendKey(events_, *event); }

void GlSurface::mousePressEvent(QMouseEvent* event) { SendButton(events_, *event); }

void GlSurface::focusOutEvent(QFocusEvent* event) { SendFocusLoss(events_, *event); }

// --- Context and GL calls -------------------------------------------------------

QtGlWindow::~QtGlWindow() { DropContext(); }

GlGrant QtGlWindow::Create(const GlRequest& request) {
  DropContext();
  DropSurface();
  QSurfaceFormat format;
  format.setRenderableType(QSurfaceFormat::OpenGL);
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
  format.setDepthBufferSize(request.depthBits);
  const bool sixteen = request.colourBits <= 16;
  format.setRedBufferSize(sixteen ? 5 : 8);
  format.setGreenBufferSize(sixteen ? 6 : 8);
  format.setBlueBufferSize(sixteen ? 5 : 8);
  format.setAlphaBufferSize(request.colourBits >= 32 ? 8 : 0);
  format.setStereo(request.stereo);

  GlGrant grant;
  GlSurface* surface = MakeSurface(format, request);
  surface_ = surface;
  if (!surface) return grant;
  surface->SetEvents(events_);
  surface->create();
  grant.pixelFormatFound = surface->handle() != nullptr;
  grant.pixelFormatSet = grant.pixelFormatFound && surface->supportsOpenGL();
  if (!grant.pixelFormatSet) return grant;
  context_ = std::make_unique<QOpenGLContext>();
  context_->setFormat(format);
  if (QScreen* screen = surface->screen()) context_->setScreen(screen);
  grant.contextCreated = context_->create();
  if (!grant.contextCreated) {
    context_.reset();
    return grant;
  }
  grant.contextCurrent = context_->makeCurrent(surface);
  const QSurfaceFormat got = context_->format();
  grant.stereo = got.stereo();
  grant.colourBits = got.redBufferSize() + got.greenBufferSize() + got.blueBufferSize();
  grant.depthBits = got.depthBufferSize();
  return grant;
}

int32_t QtGlWindow::InnerWidth() const { return surface_ ? surface_->width() : 0; }
int32_t QtGlWindow::InnerHeight() const { return surface_ ? surface_->height() : 0; }

GlRelease QtGlWindow::ReleaseContext() {
  GlRelease release;
  if (!context_) return release;
  if (QOpenGLContext::currentContext() == context_.get()) context_->doneCurrent();
  release.doneCurrent = QOpenGLContext::currentContext() != context_.get();
  context_.reset();
  release.contextDeleted = true;
  return release;
}

void QtGlWindow::DropContext() {
  if (context_ && QOpenGLContext::currentContext() == context_.get()) context_->doneCurrent();
  context_.reset();
}

void QtGlWindow::DropSurface() {
  GlSurface* surface = surface_.data();
  surface_.clear();
  if (!surface) return;
  surface->SetEvents(nullptr);
  surface->hide();
  // The window may be closed from inside one of its own events.
  surface->deleteLater();
}

void QtGlWindow::SetEvents(DisplayEvents* events) {
  events_ = events;
  if (surface_) surface_->SetEvents(events);
}

bool QtGlWindow::Current() {
  if (!context_ || !surface_ || !surface_->handle()) return false;
  if (QOpenGLContext::currentContext() == context_.get() && context_->surface() == surface_.data())
    return true;
  return context_->makeCurrent(surface_.data());
}

QSurfaceFormat QtGlWindow::GrantedFormat() const {
  return context_ ? context_->format() : QSurfaceFormat();
}

namespace {

// The fixed-function calls of the current context.
QOpenGLFunctions_1_1* Gl() {
  QOpenGLContext* context = QOpenGLContext::currentContext();
  return context ? QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_1_1>(context) : nullptr;
}

}  // namespace

// Each call runs only with the context current and its functions resolved.
#define DX_GL(call)                        \
  do {                                     \
    if (!Current()) return;                \
    if (QOpenGLFunctions_1_1* gl = Gl()) { \
      gl->call;                            \
    }                                      \
  } while (false)

void QtGlWindow::DrawBuffer(GlBuffer buffer) { DX_GL(glDrawBuffer(BufferCode(buffer))); }
void QtGlWindow::Clear() { DX_GL(glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT)); }
void QtGlWindow::LoadIdentity() { DX_GL(glLoadIdentity()); }
void QtGlWindow::MatrixMode(GlMatrix matrix) {
  DX_GL(glMatrixMode(matrix == GlMatrix::Projection ? GL_PROJECTION : GL_MODELVIEW));
}
void QtGlWindow::Ortho2D(double left, double right, double bottom, double top) {
  // gluOrtho2D's near and far planes.
  DX_GL(glOrtho(left, right, bottom, top, -1.0, 1.0));
}
void QtGlWindow::Viewport(int32_t x, int32_t y, int32_t width, int32_t height) {
  DX_GL(glViewport(x, y, std::max(width, 0), std::max(height, 0)));
}
void QtGlWindow::ShadeModel(GlShade shade) {
  DX_GL(glShadeModel(shade == GlShade::Flat ? GL_FLAT : GL_SMOOTH));
}
void QtGlWindow::ClearColor(float red, float green, float blue, float alpha) {
  DX_GL(glClearColor(red, green, blue, alpha));
}
void QtGlWindow::ClearDepth(double depth) { DX_GL(glClearDepth(depth)); }
void QtGlWindow::Enable(GlCapability capability) { DX_GL(glEnable(CapabilityCode(capability))); }
void QtGlWindow::Disable(GlCapability capability) { DX_GL(glDisable(CapabilityCode(capability))); }
void QtGlWindow::DepthFuncLessOrEqual() { DX_GL(glDepthFunc(GL_LEQUAL)); }
void QtGlWindow::PerspectiveHintNicest() {
  DX_GL(glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST));
}
void QtGlWindow::UnpackAlignment(int32_t bytes) {
  // GL takes 1, 2, 4 or 8 only.
  if (bytes != 1 && bytes != 2 && bytes != 4 && bytes != 8) return;
  DX_GL(glPixelStorei(GL_UNPACK_ALIGNMENT, bytes));
}
void QtGlWindow::PixelZoom(float x, float y) { DX_GL(glPixelZoom(x, y)); }
void QtGlWindow::RasterPos(float x, float y) { DX_GL(glRasterPos2f(x, y)); }

void QtGlWindow::DrawPixels(int32_t width, int32_t height, const uint8_t* pixels, size_t size) {
  if (width <= 0 || height <= 0 || !pixels) return;
  if (!Current()) return;
  QOpenGLFunctions_1_1* gl = Gl();
  if (!gl) return;
  // The rows as GL will read them, with the alignment in force.
  GLint alignment = 4;
  gl->glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
  GLint rowLength = 0, skipRows = 0, skipPixels = 0;
  gl->glGetIntegerv(GL_UNPACK_ROW_LENGTH, &rowLength);
  gl->glGetIntegerv(GL_UNPACK_SKIP_ROWS, &skipRows);
  gl->glGetIntegerv(GL_UNPACK_SKIP_PIXELS, &skipPixels);
  if (rowLength != 0 || skipRows != 0 || skipPixels != 0 || alignment < 1) return;
  const uint64_t row = (uint64_t{3} * static_cast<uint64_t>(width) + alignment - 1) /
                       static_cast<uint64_t>(alignment) * static_cast<uint64_t>(alignment);
  const uint64_t needed = row * static_cast<uint64_t>(height - 1) + uint64_t{3} * width;
  if (needed > size) return;
  gl->glDrawPixels(width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
}

void QtGlWindow::SwapBuffers() {
  if (!Current()) return;
  if (beforeSwap_) beforeSwap_();
  // The hook may have closed the window.
  if (!Current()) return;
  context_->swapBuffers(surface_.data());
}

std::vector<uint8_t> QtGlWindow::ReadPixels(GlBuffer buffer, int32_t x, int32_t y, int32_t width,
                                            int32_t height) {
  std::vector<uint8_t> pixels;
  if (width <= 0 || height <= 0 || !Current()) return pixels;
  QOpenGLFunctions_1_1* gl = Gl();
  if (!gl) return pixels;
  pixels.resize(size_t{3} * static_cast<size_t>(width) * static_cast<size_t>(height));
  gl->glReadBuffer(BufferCode(buffer));
  gl->glPixelStorei(GL_PACK_ALIGNMENT, 1);
  gl->glReadPixels(x, y, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
  return pixels;
}

#undef DX_GL

// --- The main window's picture area ------------------------------------------------

MainWindowGl::MainWindowGl(QWidget* mainWindow, QWidget* area)
    : mainWindow_(mainWindow), area_(area) {}

MainWindowGl::~MainWindowGl() { Unload(); }

void MainWindowGl::Place(int32_t left, int32_t top, int32_t width, int32_t height) {
  if (!mainWindow_) return;
  // A maximised window cannot be sized.
  if (mainWindow_->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))
    mainWindow_->setWindowState(Qt::WindowNoState);
  mainWindow_->move(ScreenOrigin(mainWindow_) + QPoint(left, top));
  mainWindow_->resize(std::max(width, 1), std::max(height, 1));
}

GlSurface* MainWindowGl::MakeSurface(const QSurfaceFormat& format, const GlRequest&) {
  if (!area_) return nullptr;
  auto* surface = new GlSurface();
  surface->setFormat(format);
  // The container owns the surface and keeps it on top of the area.
  QWidget* container = QWidget::createWindowContainer(surface, area_);
  container->setFocusPolicy(Qt::StrongFocus);
  container->setGeometry(area_->rect());
  new FillParent(container, area_);
  container->show();
  container_ = container;
  return surface;
}

void MainWindowGl::Show() {
  if (!mainWindow_) return;
  mainWindow_->show();
  mainWindow_->raise();
  mainWindow_->activateWindow();
  if (container_) container_->setFocus(Qt::OtherFocusReason);
}

void MainWindowGl::Unload() {
  ReleaseContext();
  DropSurface();
}

void MainWindowGl::DropSurface() {
  if (surface_) surface_->SetEvents(nullptr);
  surface_.clear();
  if (QWidget* container = container_.data()) {
    container_.clear();
    container->hide();
    // Deleting the container deletes the surface; it may be closed from
    // inside one of the surface's own events.
    container->deleteLater();
  }
}

// --- The window of its own ----------------------------------------------------------

FullscreenGl::FullscreenGl(QWidget* reference) : reference_(reference) {}

FullscreenGl::~FullscreenGl() { Unload(); }

void FullscreenGl::Place(int32_t left, int32_t top, int32_t width, int32_t height) {
  place_ = QRect(ScreenOrigin(reference_) + QPoint(left, top),
                 QSize(std::max(width, 1), std::max(height, 1)));
  if (surface_) surface_->setGeometry(place_);
}

GlSurface* FullscreenGl::MakeSurface(const QSurfaceFormat& format, const GlRequest& request) {
  auto* surface = new GlSurface();
  surface->setFormat(format);
  surface->setFlags(Qt::Window | Qt::FramelessWindowHint);
  surface->setCursor(Qt::BlankCursor);
  if (QScreen* screen = ScreenOf(reference_)) surface->setScreen(screen);
  if (place_.isEmpty())
    place_ = QRect(ScreenOrigin(reference_),
                   QSize(std::max(request.width, 1), std::max(request.height, 1)));
  surface->setGeometry(place_);
  return surface;
}

void FullscreenGl::Show() {
  GlSurface* surface = surface_.data();
  if (!surface) return;
  const QScreen* screen = surface->screen();
  if (screen && surface->geometry() == screen->geometry()) {
    surface->showFullScreen();
  } else {
    surface->show();
  }
  surface->raise();
  surface->requestActivate();
}

void FullscreenGl::ShowPointer() {
  if (surface_) surface_->unsetCursor();
}

void FullscreenGl::Unload() {
  ReleaseContext();
  DropSurface();
}

}  // namespace dioptrix::gui
