#include "gui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QString>

#include "display/blit_display.h"
#include "playback/play_request.h"
#include "playback/video_sources.h"

namespace dioptrix::gui {

// --- Background picture ---------------------------------------------------------

DropTarget::DropTarget(QWidget* parent) : QWidget(parent) { setAcceptDrops(true); }

BackImage::BackImage(QWidget* parent) : DropTarget(parent) {
  setObjectName(QStringLiteral("BackImage"));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

std::string FirstDroppedFile(const QList<QUrl>& urls) {
  for (const QUrl& url : urls) {
    if (url.isLocalFile()) return url.toLocalFile().toStdString();
  }
  return {};
}

void DropTarget::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() && !FirstDroppedFile(event->mimeData()->urls()).empty()) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  }
}

void DropTarget::dragMoveEvent(QDragMoveEvent* event) {
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void DropTarget::dropEvent(QDropEvent* event) {
  if (!event->mimeData()->hasUrls()) return;
  const std::string path = FirstDroppedFile(event->mimeData()->urls());
  if (path.empty()) return;
  event->setDropAction(Qt::CopyAction);
  event->accept();
  if (onDrop) onDrop(path);
}

void BackImage::paintEvent(QPaintEvent*) {
  // A dark stage with the two views of the name, red and cyan, slightly
  // apart, and how to start.
  QPainter painter(this);
  QLinearGradient shade(0, 0, 0, height());
  shade.setColorAt(0, QColor(28, 32, 44));
  shade.setColorAt(1, QColor(6, 7, 10));
  painter.fillRect(rect(), shade);
  QFont title = font();
  title.setPixelSize(std::max(12, std::min(width() / 8, height() / 4)));
  title.setBold(true);
  QFont hint = font();
  hint.setPixelSize(std::max(9, title.pixelSize() / 5));
  // The title and the hint under it, centred together.
  const int titleHeight = QFontMetrics(title).height();
  const int hintHeight = QFontMetrics(hint).height();
  const int top = (height() - titleHeight - hintHeight) / 2;
  const QRect titleArea(0, top, width(), titleHeight);
  const QRect hintArea(0, top + titleHeight, width(), hintHeight);
  const int shift = std::max(2, title.pixelSize() / 16);
  painter.setFont(title);
  painter.setCompositionMode(QPainter::CompositionMode_Plus);
  painter.setPen(QColor(200, 0, 0));
  painter.drawText(titleArea.translated(-shift, 0), Qt::AlignCenter, QStringLiteral("Dioptrix"));
  painter.setPen(QColor(0, 170, 200));
  painter.drawText(titleArea.translated(shift, 0), Qt::AlignCenter, QStringLiteral("Dioptrix"));
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.setFont(hint);
  painter.setPen(QColor(160, 166, 180));
  painter.drawText(hintArea, Qt::AlignCenter,
                   QStringLiteral("Open a video with File > Open, or drop it here"));
}

// --- Main window ------------------------------------------------------------------

FrmMain::FrmMain(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("FrmMain"));
  // Drops on the picture area during a playback reach the inner area.
  auto* inner = new DropTarget(this);
  inner->setObjectName(QStringLiteral("InnerArea"));
  setCentralWidget(inner);
  // The picture area fills the inner area; the background picture lies over
  // it between playbacks.
  pictureArea_ = new BlitSurface(inner);
  pictureArea_->setObjectName(QStringLiteral("PictureArea"));
  backImage_ = new BackImage(inner);
  pictureWindow_ = std::make_unique<MainWindowSurface>(this, pictureArea_);
  auto dropped = [this](const std::string& path) {
    if (onDrop) onDrop(path);
  };
  backImage_->onDrop = dropped;
  inner->onDrop = dropped;

  QMenuBar* bar = menuBar();
  QMenu* file = bar->addMenu(QStringLiteral("&File"));
  file->setObjectName(QStringLiteral("MenuFile"));
  AddAction(file, "MenuFileOpen", QStringLiteral("Open"))->setShortcut(QKeySequence::Open);
  AddAction(file, "MenuFileSettings", QStringLiteral("Settings"));
  file->addSeparator();
  AddAction(file, "MenuFileExit", QStringLiteral("Exit"))
      ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

  QMenu* view = bar->addMenu(QStringLiteral("View"));
  view->setObjectName(QStringLiteral("mnuView"));
  QAction* controlBar = AddAction(view, "mnuViewControlBar", QStringLiteral("Control Bar"));
  controlBar->setCheckable(true);
  controlBar->setChecked(true);
  view->addSeparator();
  AddAction(view, "mnuViewStatistics", QStringLiteral("Statistics"));
  view->addSeparator();
  AddAction(view, "mnuViewFullscreen", QStringLiteral("Fullscreen"))
      ->setShortcuts({QKeySequence(Qt::Key_F), QKeySequence(Qt::Key_F11)});

  QMenu* play = bar->addMenu(QStringLiteral("Play"));
  play->setObjectName(QStringLiteral("mnuPLay"));
  AddAction(play, "mnuPlayStart", QStringLiteral("Start"));
  AddAction(play, "MnuPlayStop", QStringLiteral("Stop"))->setShortcut(QKeySequence(Qt::Key_Escape));
  // Space starts a stopped playback and stops a running one.
  auto* toggle = new QAction(QStringLiteral("Play/Stop"), this);
  toggle->setObjectName(QStringLiteral("PlayToggle"));
  toggle->setShortcut(QKeySequence(Qt::Key_Space));
  addAction(toggle);

  QMenu* format = bar->addMenu(QStringLiteral("Format"));
  format->setObjectName(QStringLiteral("MnuFormat"));
  formats_ = new QActionGroup(this);
  formats_->setExclusive(true);
  for (auto [name, caption] : {std::pair{"mnu2D", "2D"}, std::pair{"mnuParallel", "Parallel"},
                               std::pair{"mnuAbove", "Above/Below"}}) {
    QAction* entry = AddAction(format, name, QString::fromLatin1(caption));
    entry->setCheckable(true);
    formats_->addAction(entry);
  }
  Action("mnu2D")->setChecked(true);
  // How 2D converted to 3D gets its depth; the application keeps the entry
  // in step with the setting.
  format->addSeparator();
  AddAction(format, "mnuImprovedDepth", QStringLiteral("Improved depth"))->setCheckable(true);

  QMenu* help = bar->addMenu(QStringLiteral("Help"));
  help->setObjectName(QStringLiteral("mnuHelp"));
  AddAction(help, "mnuHelpAbout", QStringLiteral("About"));
  AddAction(help, "mnuHelpContents", QStringLiteral("Contents"))
      ->setShortcut(QKeySequence::HelpContents);

  ShowFileName({});
  resize(640, 480 + kMainWindowExtraHeight);
}

FrmMain::~FrmMain() = default;

QAction* FrmMain::AddAction(QMenu* menu, const char* objectName, const QString& caption) {
  QAction* action = menu->addAction(caption);
  action->setObjectName(QString::fromLatin1(objectName));
  return action;
}

QAction* FrmMain::Action(const char* objectName) const {
  return findChild<QAction*>(QString::fromLatin1(objectName));
}

int16_t FrmMain::FormatLayout() const {
  if (Action("mnuParallel")->isChecked()) return kLayoutSideBySide;
  if (Action("mnuAbove")->isChecked()) return kLayoutAboveBelow;
  return kLayout2DTo3D;
}

void FrmMain::CheckFormat(int16_t detectedLayout) {
  switch (detectedLayout) {
    case kDetectedSideBySide:
      Action("mnuParallel")->setChecked(true);
      break;
    case kDetectedAboveBelow:
      Action("mnuAbove")->setChecked(true);
      break;
    default:
      Action("mnu2D")->setChecked(true);
      break;
  }
}

void FrmMain::ShowFileName(const std::string& fileName) {
  setWindowTitle(fileName.empty()
                     ? QStringLiteral("Dioptrix")
                     : QStringLiteral("Dioptrix - ") + QString::fromStdString(fileName));
}

void FrmMain::PlaceBackImage() {
  // The picture takes the whole inner width and the inner height less half
  // an inch (700 twips high when that leaves nothing).
  QWidget* inner = centralWidget();
  pictureArea_->setGeometry(inner->rect());
  const int halfInch = std::max(1, logicalDpiY() / 2);
  int height = inner->height() - halfInch;
  if (height < 1) height = std::max(1, logicalDpiY() * 700 / 1440);
  backImage_->setGeometry(0, 0, inner->width(), height);
}

void FrmMain::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  PlaceBackImage();
  if (onResized) onResized();
}

void FrmMain::closeEvent(QCloseEvent* event) {
  if (onClose && !onClose()) {
    event->ignore();
    return;
  }
  event->accept();
}

}  // namespace dioptrix::gui
