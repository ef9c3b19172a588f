#include "gui/main_window.h"

#include <QCloseEvent>
#include <QString>

namespace dioptrix::gui {

FrmMain::FrmMain(QWidget* parent) : QMainWindow(parent), pictureArea_(new BlitSurface(this)) {
  setObjectName(QStringLiteral("FrmMain"));
  pictureArea_->setObjectName(QStringLiteral("PictureArea"));
  setCentralWidget(pictureArea_);
  pictureWindow_ = std::make_unique<MainWindowSurface>(this, pictureArea_);
  ShowFileName({});
  resize(640, 480 + kMainWindowExtraHeight);
}

FrmMain::~FrmMain() = default;

void FrmMain::ShowFileName(const std::string& fileName) {
  setWindowTitle(fileName.empty()
                     ? QStringLiteral("Dioptrix")
                     : QStringLiteral("Dioptrix - ") + QString::fromStdString(fileName));
}

void FrmMain::closeEvent(QCloseEvent* event) {
  if (onClose) onClose();
  event->accept();
}

}  // namespace dioptrix::gui
