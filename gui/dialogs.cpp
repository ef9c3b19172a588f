#include "gui/dialogs.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <utility>

namespace dioptrix::gui {

Dialogs::Hooks& Dialogs::Current() {
  static Hooks hooks;
  return hooks;
}

int Dialogs::RunModal(QDialog& dialog) {
  if (const ModalHook& hook = Current().modal) {
    dialog.show();
    const int result = hook(dialog);
    dialog.hide();
    return result;
  }
  return dialog.exec();
}

void Dialogs::SetModalHook(ModalHook hook) { Current().modal = std::move(hook); }

std::string Dialogs::ChooseOpenFile(QWidget* parent, const QString& caption,
                                    const QString& filter) {
  if (const FileHook& hook = Current().file) return hook(parent, caption, filter);
  return QFileDialog::getOpenFileName(parent, caption, QString(), filter).toStdString();
}

void Dialogs::SetFileHook(FileHook hook) { Current().file = std::move(hook); }

bool Dialogs::OpenUrl(const QUrl& url) {
  if (const UrlHook& hook = Current().url) return hook(url);
  return QDesktopServices::openUrl(url);
}

void Dialogs::SetUrlHook(UrlHook hook) { Current().url = std::move(hook); }

}  // namespace dioptrix::gui
