// Modal dialogs, the open-file chooser and the desktop's viewer go through
// here (message boxes through MessageBoxes), so that tests answer them
// instead of a person. Each hook, when installed, receives the request in
// place of the real window; installing an empty one restores the window.
// Called on the GUI thread only.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>
#include <string>

class QDialog;
class QWidget;

namespace dioptrix::gui {

class Dialogs {
 public:
  // Runs dialog modally and returns its result (QDialog::Accepted or
  // Rejected). A hook gets the dialog, already shown, instead of a nested
  // event loop; it may work its controls, and its return value is the result
  // (the dialog is hidden afterwards either way).
  using ModalHook = std::function<int(QDialog& dialog)>;
  static int RunModal(QDialog& dialog);
  static void SetModalHook(ModalHook hook);

  // Asks for a file to open; empty when the user cancels. filter is in Qt's
  // form ("Name (*.a *.b);;Other (*.c)").
  using FileHook =
      std::function<std::string(QWidget* parent, const QString& caption, const QString& filter)>;
  static std::string ChooseOpenFile(QWidget* parent, const QString& caption, const QString& filter);
  static void SetFileHook(FileHook hook);

  // Opens url in the desktop's viewer (help pages); false when none could.
  using UrlHook = std::function<bool(const QUrl& url)>;
  static bool OpenUrl(const QUrl& url);
  static void SetUrlHook(UrlHook hook);

 private:
  struct Hooks {
    ModalHook modal;
    FileHook file;
    UrlHook url;
  };
  static Hooks& Current();
};

}  // namespace dioptrix::gui
