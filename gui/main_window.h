// FrmMain, the main window ("Dioptrix"): between playbacks it shows the open
// file in its caption; during a windowed playback its picture area shows the
// frames (the blit back-end moves and sizes the window around the picture).
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

#include "gui/blit_surface.h"

namespace dioptrix::gui {

class FrmMain : public QMainWindow {
 public:
  explicit FrmMain(QWidget* parent = nullptr);
  ~FrmMain() override;

  // The picture area as the blit back-end's windowed target.
  BlitWindow& PictureWindow() { return *pictureWindow_; }
  BlitSurface& PictureArea() { return *pictureArea_; }

  // "Dioptrix - " + the file name, or "Dioptrix" without a file.
  void ShowFileName(const std::string& fileName);

  // Runs when the user closes the window (the window then hides).
  std::function<void()> onClose;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  BlitSurface* pictureArea_;
  std::unique_ptr<MainWindowSurface> pictureWindow_;
};

}  // namespace dioptrix::gui
