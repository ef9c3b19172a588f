#include "gui/blit_surface.h"

#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <cstring>

namespace dioptrix::gui {

// --- Drawings ------------------------------------------------------------------

QRect BlitSurface::Op::Area(const QRect& all) const {
  if (kind == Clear) return all;
  return QRect(dx, dy, std::max(dw, 0), std::max(dh, 0)) & all;
}

QRect BlitSurface::Op::Covered(const QRect& all) const {
  switch (kind) {
    case Clear:
      return all;
    case Blit: {
      // Only where the source has pixels is anything copied.
      if (!image || sx < 0 || sy < 0) return {};
      const int32_t w = std::min<int64_t>(dw, int64_t{image->Width()} - sx);
      const int32_t h = std::min<int64_t>(dh, int64_t{image->Height()} - sy);
      return w > 0 && h > 0 ? QRect(dx, dy, w, h) & all : QRect();
    }
    case Stretch:
      if (!image || sx < 0 || sy < 0 || int64_t{sx} + sw > image->Width() ||
          int64_t{sy} + sh > image->Height())
        return {};
      return Area(all);
  }
  return {};
}

BlitSurface::BlitSurface(QWidget* parent) : QWidget(parent) {
  // Every pixel is painted by the drawings: Qt need not clear first, and
  // keeps what is there where nothing is painted.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setFocusPolicy(Qt::StrongFocus);
  kept_.push_back(Op{});
}

bool BlitSurface::OnScreen() const {
  if (!isVisible() || !updatesEnabled()) return false;
  const QWindow* handle = window()->windowHandle();
  return handle && handle->isExposed();
}

void BlitSurface::ClearPicture() {
  kept_.clear();
  kept_.push_back(Op{});
  kept_.back().order = ++drawings_;
  haveLast_ = false;
  if (OnScreen()) {
    repaint();
  } else {
    update();
  }
}

void BlitSurface::DrawBlit(const cDIBSection& image, int32_t dx, int32_t dy, int32_t w, int32_t h,
                           int32_t sx, int32_t sy) {
  if (image.Empty()) return;
  Op op;
  op.kind = Op::Blit;
  op.image = &image;
  op.dx = dx, op.dy = dy, op.dw = w, op.dh = h, op.sx = sx, op.sy = sy;
  Draw(std::move(op));
}

void BlitSurface::DrawStretch(const cDIBSection& image, int32_t dx, int32_t dy, int32_t dw,
                              int32_t dh, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                              StretchMode mode) {
  if (image.Empty() || dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return;
  Op op;
  op.kind = Op::Stretch;
  op.image = &image;
  op.dx = dx, op.dy = dy, op.dw = dw, op.dh = dh;
  op.sx = sx, op.sy = sy, op.sw = sw, op.sh = sh, op.mode = mode;
  Draw(std::move(op));
}

void BlitSurface::Draw(Op op) {
  const QRect all = rect();
  const QRect area = op.Area(all);
  const QRect covered = op.Covered(all);
  op.order = ++drawings_;
  // Kept drawings that this one paints over need not be kept.
  auto hidden = [&](const Op& k) {
    return k.kind != Op::Clear && !covered.isEmpty() && covered.contains(k.Area(all));
  };
  if (OnScreen() && area.isEmpty()) {
    // Off the area as it is now: paint it if the area grows while the
    // image still exists.
    last_ = std::move(op);
    haveLast_ = true;
    return;
  }
  if (OnScreen()) {
    // Painted at once, straight from the caller's image.
    current_ = &op;
    currentPainted_ = false;
    repaint(area);
    current_ = nullptr;
    if (currentPainted_) {
      std::erase_if(kept_, hidden);
      last_ = std::move(op);
      haveLast_ = true;
      return;
    }
  }
  // Not on the screen yet: keep a copy to paint when it is.
  if (op.image) {
    op.owned = op.image->CopyOf();
    if (!op.owned) return;
    op.image = op.owned.get();
  }
  std::erase_if(kept_, hidden);
  if (haveLast_ && hidden(last_)) haveLast_ = false;
  kept_.push_back(std::move(op));
  update(area.isEmpty() ? all : area);
}

// --- Painting ------------------------------------------------------------------

bool BlitSurface::DirectView(QPainter& painter, const QRect& area, ScreenImage& view) const {
  QPaintEngine* engine = painter.paintEngine();
  if (!engine || engine->type() != QPaintEngine::Raster) return false;
  QPaintDevice* device = engine->paintDevice();
  if (!device || device->devType() != QInternal::Image) return false;
  auto* image = static_cast<QImage*>(device);
  const QImage::Format format = image->format();
  if (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32 &&
      format != QImage::Format_ARGB32_Premultiplied)
    return false;
  if (image->devicePixelRatio() != 1.0) return false;
  // The painter must map this widget onto the image by a whole-pixel shift,
  // the one that places the widget in its window.
  const QTransform t = painter.deviceTransform();
  if (t.type() > QTransform::TxTranslate) return false;
  const QPoint shift(static_cast<int>(t.dx()), static_cast<int>(t.dy()));
  if (shift.x() != t.dx() || shift.y() != t.dy()) return false;
  const QRect target = area.translated(shift);
  if (!image->rect().contains(target)) return false;
  const qsizetype stride = image->bytesPerLine();
  uchar* bits = image->bits();
  if (!bits) return false;
  view.bits = bits + static_cast<qsizetype>(target.y()) * stride + 4 * qsizetype{target.x()};
  view.bytesPerLine = stride;
  view.width = target.width();
  view.height = target.height();
  return true;
}

void BlitSurface::PaintOp(const ScreenImage& view, const QPoint& origin, const Op& op) {
  switch (op.kind) {
    case Op::Clear:
      for (int32_t y = 0; y < view.height; ++y) {
        uint32_t* row = reinterpret_cast<uint32_t*>(view.bits + y * view.bytesPerLine);
        std::fill(row, row + view.width, 0xFF000000u);
      }
      break;
    case Op::Blit:
      BlitToScreen(view, op.dx - origin.x(), op.dy - origin.y(), op.dw, op.dh, *op.image, op.sx,
                   op.sy);
      break;
    case Op::Stretch:
      StretchToScreen(view, op.dx - origin.x(), op.dy - origin.y(), op.dw, op.dh, *op.image, op.sx,
                      op.sy, op.sw, op.sh, op.mode);
      break;
  }
}

void BlitSurface::paintEvent(QPaintEvent* event) {
  const QRect all = rect();
  const QRect area = event->region().boundingRect() & all;
  if (area.isEmpty()) return;

  // What to paint, in the order it was drawn: the kept drawings, the last
  // frame if its image still exists, and the drawing being made. From the
  // last one that covers the area on.
  std::vector<const Op*> ops;
  for (const Op& op : kept_) ops.push_back(&op);
  if (haveLast_ && imageAlive_ && imageAlive_(last_.image)) {
    ops.push_back(&last_);
    std::sort(ops.begin(), ops.end(), [](const Op* a, const Op* b) { return a->order < b->order; });
  }
  if (current_) ops.push_back(current_);
  size_t first = 0;
  for (size_t i = ops.size(); i-- > 0;) {
    if (ops[i]->Covered(all).contains(area)) {
      first = i;
      break;
    }
  }

  QPainter painter(this);
  ScreenImage view{};
  QImage scratch;
  const bool direct = DirectView(painter, area, view);
  if (!direct) {
    scratch = QImage(area.size(), QImage::Format_RGB32);
    if (scratch.isNull()) return;
    view = ScreenImage{scratch.bits(), scratch.bytesPerLine(), area.width(), area.height()};
  }
  // Nothing covers the area from below: start from black.
  if (first == 0 && (ops.empty() || ops[0]->kind != Op::Clear)) PaintOp(view, area.topLeft(), Op{});
  for (size_t i = first; i < ops.size(); ++i) PaintOp(view, area.topLeft(), *ops[i]);
  if (direct) {
    ++directPaints_;
  } else {
    painter.drawImage(area.topLeft(), scratch);
    ++scratchPaints_;
  }
  if (current_) currentPainted_ = true;
}

// --- Events --------------------------------------------------------------------

void SendKey(DisplayEvents* events, const QKeyEvent& event) {
  if (events) events->KeyPressed(VirtualKeyCode(event.key()), ShiftState(event.modifiers()));
}

void SendButton(DisplayEvents* events, const QMouseEvent& event) {
  const QPoint at = event.position().toPoint();
  if (events)
    events->ButtonPressed(ButtonCode(event.button()), ShiftState(event.modifiers()), at.x(),
                          at.y());
}

void SendFocusLoss(DisplayEvents* events, const QFocusEvent& event) {
  if (events && event.reason() != Qt::PopupFocusReason) events->FocusLost();
}

void BlitSurface::keyPressEvent(QKeyEvent* event) {
  SendKey(events_, *event);
  event->accept();
}

void BlitSurface::mousePressEvent(QMouseEvent* event) {
  SendButton(events_, *event);
  event->accept();
}

void BlitSurface::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  SendFocusLoss(events_, *event);
}

int16_t VirtualKeyCode(int qtKey) {
  if ((qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) || (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9))
    return static_cast<int16_t>(qtKey);
  if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24)
    return static_cast<int16_t>(112 + qtKey - Qt::Key_F1);
  switch (qtKey) {
    case Qt::Key_Backspace:
      return 8;
    case Qt::Key_Tab:
      return 9;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return 13;
    case Qt::Key_Shift:
      return 16;
    case Qt::Key_Control:
      return 17;
    case Qt::Key_Alt:
      return 18;
    case Qt::Key_Pause:
      return 19;
    case Qt::Key_Escape:
      return 27;
    case Qt::Key_Space:
      return 32;
    case Qt::Key_PageUp:
      return 33;
    case Qt::Key_PageDown:
      return 34;
    case Qt::Key_End:
      return 35;
    case Qt::Key_Home:
      return 36;
    case Qt::Key_Left:
      return 37;
    case Qt::Key_Up:
      return 38;
    case Qt::Key_Right:
      return 39;
    case Qt::Key_Down:
      return 40;
    case Qt::Key_Insert:
      return 45;
    case Qt::Key_Delete:
      return 46;
    default:
      return 0;
  }
}

int16_t ShiftState(Qt::KeyboardModifiers modifiers) {
  int16_t state = 0;
  if (modifiers & Qt::ShiftModifier) state |= 1;
  if (modifiers & Qt::ControlModifier) state |= 2;
  if (modifiers & Qt::AltModifier) state |= 4;
  return state;
}

int16_t ButtonCode(Qt::MouseButton button) {
  switch (button) {
    case Qt::LeftButton:
      return 1;
    case Qt::RightButton:
      return 2;
    case Qt::MiddleButton:
      return 4;
    default:
      return 0;
  }
}

// --- The back-end's windows ------------------------------------------------------

void SurfaceWindow::Clear() {
  if (surface_) surface_->ClearPicture();
}

void SurfaceWindow::Blit(const cDIBSection& image, int32_t dx, int32_t dy, int32_t w, int32_t h,
                         int32_t sx, int32_t sy) {
  if (surface_) surface_->DrawBlit(image, dx, dy, w, h, sx, sy);
}

void SurfaceWindow::Stretch(const cDIBSection& image, int32_t dx, int32_t dy, int32_t dw,
                            int32_t dh, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                            StretchMode mode) {
  if (surface_) surface_->DrawStretch(image, dx, dy, dw, dh, sx, sy, sw, sh, mode);
}

void SurfaceWindow::SetEvents(DisplayEvents* events) {
  if (surface_) surface_->SetEvents(events);
}

void SurfaceWindow::SetImageCheck(BlitSurface::ImageCheck check) {
  if (surface_) surface_->SetImageCheck(std::move(check));
}

QPoint ScreenOrigin(const QWidget* window) {
  const QScreen* screen = window ? window->screen() : nullptr;
  if (!screen) screen = QGuiApplication::primaryScreen();
  return screen ? screen->geometry().topLeft() : QPoint();
}

void MakeFullscreenWindow(QWidget* window) {
  window->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  window->setWindowTitle(QStringLiteral("Dioptrix"));
  window->setCursor(Qt::BlankCursor);
  QPalette palette = window->palette();
  palette.setColor(QPalette::Window, Qt::black);
  window->setPalette(palette);
}

MainWindowSurface::MainWindowSurface(QWidget* mainWindow, BlitSurface* area)
    : SurfaceWindow(area), mainWindow_(mainWindow) {}

void MainWindowSurface::Place(int32_t left, int32_t top, int32_t width, int32_t height) {
  if (!mainWindow_) return;
  // A maximised window cannot be sized.
  if (mainWindow_->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))
    mainWindow_->setWindowState(Qt::WindowNoState);
  mainWindow_->move(ScreenOrigin(mainWindow_) + QPoint(left, top));
  mainWindow_->resize(std::max(width, 1), std::max(height, 1));
}

void MainWindowSurface::Show() {
  if (!mainWindow_) return;
  mainWindow_->show();
  mainWindow_->raise();
  mainWindow_->activateWindow();
  if (surface_) surface_->setFocus(Qt::OtherFocusReason);
}

FullscreenSurface::FullscreenSurface(QWidget* reference)
    : SurfaceWindow(new BlitSurface(nullptr)), reference_(reference) {
  MakeFullscreenWindow(surface_.data());
}

FullscreenSurface::~FullscreenSurface() { Unload(); }

void FullscreenSurface::Place(int32_t left, int32_t top, int32_t width, int32_t height) {
  BlitSurface* window = surface_.data();
  if (!window) return;
  if (reference_ && reference_->screen()) window->setScreen(reference_->screen());
  window->setGeometry(QRect(ScreenOrigin(reference_) + QPoint(left, top),
                            QSize(std::max(width, 1), std::max(height, 1))));
}

void FullscreenSurface::Show() {
  BlitSurface* window = surface_.data();
  if (!window) return;
  const QScreen* screen = window->screen();
  if (screen && window->geometry() == screen->geometry()) {
    window->showFullScreen();
  } else {
    window->show();
  }
  window->raise();
  window->activateWindow();
  window->setFocus(Qt::OtherFocusReason);
}

void FullscreenSurface::Unload() {
  BlitSurface* window = surface_.data();
  if (!window) return;
  surface_.clear();
  window->SetEvents(nullptr);
  window->hide();
  // The window may be closed from inside one of its own events.
  window->deleteLater();
}

}  // namespace dioptrix::gui
