#include "gui/control_bar.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace dioptrix::gui {

namespace {

constexpr int kPictureWidth = 320;
constexpr int kPictureHeight = 40;

}  // namespace

std::string TimeText(float frame, float fps) {
  if (fps == 0) return {};
  const double seconds = std::nearbyint(static_cast<double>(frame / fps));
  if (!std::isfinite(seconds)) return {};
  const double h = std::floor(seconds / 3600);
  const double m = std::floor(seconds / 60) - 60 * h;
  const double s = seconds - (60 * h + m) * 60;
  char text[96];
  std::snprintf(text, sizeof(text), "%.0f:%.0f:%.0f", h, m, s);
  return text;
}

bool StrictlyInside(const QRect& shape, int x, int y) {
  return shape.left() < x && x < shape.left() + shape.width() && shape.top() < y &&
         y < shape.top() + shape.height();
}

// --- Progress bar -----------------------------------------------------------------

ProgressBar1::ProgressBar1(QWidget* parent) : QProgressBar(parent) {
  setObjectName(QStringLiteral("ProgressBar1"));
  setRange(0, 10000);
  setTextVisible(false);
  Show();
}

void ProgressBar1::SetValue(float value) {
  value_ = value;
  Show();
}

void ProgressBar1::SetMaximum(float maximum) {
  maximum_ = maximum;
  Show();
}

void ProgressBar1::Show() {
  const double part = maximum_ > 0 ? std::clamp(double{value_} / maximum_, 0.0, 1.0) : 0.0;
  QProgressBar::setValue(static_cast<int>(std::lround(part * maximum())));
}

void ProgressBar1::mousePressEvent(QMouseEvent* event) {
  if (onPress) onPress(static_cast<int>(event->position().x()));
  event->accept();
}

// --- Button picture -------------------------------------------------------------

ButtonPicture::ButtonPicture(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("ButtonPicture"));
  setFixedSize(kPictureWidth, kPictureHeight);
}

void ButtonPicture::mouseReleaseEvent(QMouseEvent* event) {
  if (onRelease) onRelease(event->position().toPoint().x(), event->position().toPoint().y());
  event->accept();
}

void ButtonPicture::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), QColor(48, 52, 62));
  const auto& shapes = GUI::Shapes();
  // The handles: columns of grip dots.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(140, 146, 160));
  for (GUI::Shape handle : {GUI::ShapeMove1, GUI::ShapeMove2}) {
    const QRect r = shapes[handle];
    for (int y = r.top() + 8; y < r.bottom() - 4; y += 6)
      p.drawEllipse(QPoint(r.center().x(), y), 1, 1);
  }
  for (GUI::Shape button : {GUI::ShapeOpen, GUI::ShapePlay, GUI::ShapeStop, GUI::ShapeFull}) {
    const QRectF r = QRectF(shapes[button]).adjusted(1, 1, -1, -1);
    p.setPen(QPen(QColor(90, 96, 110), 1));
    p.setBrush(QColor(66, 71, 84));
    p.drawRoundedRect(r, 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(226, 230, 238));
    const QPointF c = r.center();
    switch (button) {
      case GUI::ShapeOpen: {  // a folder
        QPainterPath folder;
        folder.moveTo(c + QPointF(-11, -7));
        folder.lineTo(c + QPointF(-4, -7));
        folder.lineTo(c + QPointF(-2, -4));
        folder.lineTo(c + QPointF(11, -4));
        folder.lineTo(c + QPointF(11, 8));
        folder.lineTo(c + QPointF(-11, 8));
        folder.closeSubpath();
        p.drawPath(folder);
        break;
      }
      case GUI::ShapePlay: {  // a triangle
        const QPointF points[] = {c + QPointF(-6, -9), c + QPointF(9, 0), c + QPointF(-6, 9)};
        p.drawPolygon(points, 3);
        break;
      }
      case GUI::ShapeStop:  // a square
        p.drawRect(QRectF(c - QPointF(7, 7), QSizeF(14, 14)));
        break;
      default: {  // four corners pointing out
        p.setPen(QPen(QColor(226, 230, 238), 2.5));
        p.setBrush(Qt::NoBrush);
        for (int sx : {-1, 1}) {
          for (int sy : {-1, 1}) {
            const QPointF corner = c + QPointF(10.0 * sx, 8.0 * sy);
            p.drawLine(corner, corner - QPointF(6.0 * sx, 0));
            p.drawLine(corner, corner - QPointF(0, 5.0 * sy));
          }
        }
        break;
      }
    }
  }
}

// --- Control bar ------------------------------------------------------------------

const std::array<QRect, GUI::kShapes>& GUI::Shapes() {
  static const std::array<QRect, kShapes> shapes = {
      QRect(0, 0, 16, kPictureHeight),                   // ShapeMove1: left handle
      QRect(kPictureWidth - 16, 0, 16, kPictureHeight),  // ShapeMove2: right handle
      QRect(86, 3, 64, 34),                              // ShapePlay
      QRect(152, 3, 64, 34),                             // ShapeStop
      QRect(218, 3, 64, 34),                             // ShapeFull
      QRect(20, 3, 64, 34),                              // ShapeOpen
  };
  return shapes;
}

GUI::GUI(QWidget* owner, Actions actions, Source source)
    : QWidget(owner, Qt::Tool), actions_(std::move(actions)), source_(std::move(source)) {
  setObjectName(QStringLiteral("GUI"));
  setWindowTitle(QStringLiteral("Toolbar"));
  progress_ = new ProgressBar1(this);
  picture_ = new ButtonPicture(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(progress_);
  layout->addWidget(picture_);
  progress_->setFixedHeight(14);
  setFixedSize(kPictureWidth, kPictureHeight + 14);

  progress_->onPress = [this](int x) { ProgressPressed(x); };
  picture_->onRelease = [this](int x, int y) { PictureReleased(x, y); };
  timer_.setObjectName(QStringLiteral("Progress_Timer"));
  timer_.setInterval(100);
  connect(&timer_, &QTimer::timeout, this, [this] {
    Vid_State_Change();
    Update_GUI();
  });
  Reset(0);
}

void GUI::PictureReleased(int x, int y) {
  const auto& shapes = Shapes();
  auto hit = [&](Shape shape) { return StrictlyInside(shapes[shape], x, y); };
  auto run = [](const std::function<void()>& action) {
    if (action) action();
  };
  if (hit(ShapeMove1) || hit(ShapeMove2)) run(actions_.track);
  if (hit(ShapePlay)) run(actions_.play);
  if (hit(ShapeStop)) run(actions_.stop);
  if (hit(ShapeFull)) run(actions_.full);
  if (hit(ShapeOpen)) run(actions_.open);
}

void GUI::ProgressPressed(int x) {
  if (source_.frameCount() == 0 || progress_->width() <= 0) return;
  const float at = progress_->Maximum() * static_cast<float>(x) / progress_->width();
  progress_->SetValue(std::clamp(at, 0.0f, progress_->Maximum()));
}

void GUI::Update_GUI() {
  const int32_t frames = source_.frameCount();
  if (frames < 1) {
    setWindowTitle(QStringLiteral("Toolbar"));
    return;
  }
  const float fps = source_.framesPerSecond();
  setWindowTitle(QString::fromStdString("Toolbar (" + TimeText(progress_->Value(), fps) + " / " +
                                        TimeText(static_cast<float>(frames), fps) + ")"));
}

void GUI::Vid_State_Change() { progress_->SetValue(static_cast<float>(source_.currentFrame())); }

void GUI::Reset(int32_t frameCount) {
  progress_->SetValue(0);
  progress_->SetMaximum(frameCount < 1 ? 1.0f : static_cast<float>(frameCount));
}

void GUI::closeEvent(QCloseEvent* event) {
  // Closing only hides the bar: View > Control Bar brings it back.
  event->ignore();
  hide();
  if (actions_.hidden) actions_.hidden();
}

}  // namespace dioptrix::gui
