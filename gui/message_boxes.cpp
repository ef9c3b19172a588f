#include "gui/message_boxes.h"

#include <QMessageBox>
#include <QString>
#include <utility>

namespace dioptrix::gui {

MessageBoxes::Handler& MessageBoxes::CurrentHandler() {
  static Handler handler;
  return handler;
}

void MessageBoxes::SetHandler(Handler handler) { CurrentHandler() = std::move(handler); }

void MessageBoxes::Show(QWidget* parent, const std::string& text, MessageStyle style) {
  if (const Handler& handler = CurrentHandler()) {
    handler(parent, text, style);
    return;
  }
  const QString title = QStringLiteral("Dioptrix");
  const QString message = QString::fromStdString(text);
  if (style == MessageStyle::Error) {
    QMessageBox::critical(parent, title, message);
  } else {
    QMessageBox::information(parent, title, message);
  }
}

}  // namespace dioptrix::gui
