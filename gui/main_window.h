// FrmMain, the main window ("Dioptrix"): the menus, the background picture
// (BackImage) that takes dropped files between playbacks, and the picture
// area that a windowed playback draws into (the blit back-end moves and sizes
// the window around it).
//
// The window only shows things and reports what the user does: the
// application (gui/application.h) connects the menu actions, the drop and the
// close to its own steps.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QUrl>
#include <functional>
#include <memory>
#include <string>

#include "gui/blit_surface.h"

class QAction;
class QActionGroup;
class QMenu;

namespace dioptrix::gui {

// A widget that takes dropped files: the first local file of a drop is
// handed to onDrop, and the drop is accepted as a copy.
class DropTarget : public QWidget {
 public:
  explicit DropTarget(QWidget* parent);
  std::function<void(const std::string& path)> onDrop;

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

// The background picture between playbacks; it takes dropped files.
class BackImage : public DropTarget {
 public:
  explicit BackImage(QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// The first local file of a drop's URL list; empty when it carries none.
std::string FirstDroppedFile(const QList<QUrl>& urls);

class FrmMain : public QMainWindow {
 public:
  explicit FrmMain(QWidget* parent = nullptr);
  ~FrmMain() override;

  // The picture area as the blit back-end's windowed target.
  BlitWindow& PictureWindow() { return *pictureWindow_; }
  BlitSurface& PictureArea() { return *pictureArea_; }
  BackImage& Background() { return *backImage_; }

  // "Dioptrix - " + the file name, or "Dioptrix" without a file.
  void ShowFileName(const std::string& fileName);

  // The menu entries, by their object names ("MenuFileOpen", "mnu2D", ...).
  QAction* Action(const char* objectName) const;

  // The Format menu: the input layout its checked entry stands for (2D 4,
  // Parallel 5, Above/Below 1), and checking the entry of a detected layout
  // (3 2D, 5 Parallel, 1 Above/Below).
  int16_t FormatLayout() const;
  void CheckFormat(int16_t detectedLayout);

  // A file dropped on the window: on the background picture between
  // playbacks, on the inner area around the picture during one.
  std::function<void(const std::string& path)> onDrop;

  // Runs when the user closes the window; the close goes ahead only when it
  // returns true.
  std::function<bool()> onClose;
  // Runs after the window has been resized (the control bar docks under it).
  std::function<void()> onResized;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QAction* AddAction(QMenu* menu, const char* objectName, const QString& caption);
  void PlaceBackImage();

  BlitSurface* pictureArea_;
  BackImage* backImage_;
  std::unique_ptr<MainWindowSurface> pictureWindow_;
  QActionGroup* formats_;
};

}  // namespace dioptrix::gui
