// Every message box of the program goes through here, so that tests answer
// them instead of a person and scripts can send them to the error stream.
#pragma once

#include <functional>
#include <string>

#include "platform/host.h"

class QWidget;

namespace dioptrix::gui {

class MessageBoxes {
 public:
  // Shows one message to the user; returns when it has been read.
  using Handler = std::function<void(QWidget* parent, const std::string& text, MessageStyle style)>;

  // Shows text in a modal box titled "Dioptrix" over parent, unless a handler
  // is installed, which then receives it instead.
  static void Show(QWidget* parent, const std::string& text, MessageStyle style);
  // Installs a handler (tests, --batch); an empty one restores the boxes.
  static void SetHandler(Handler handler);

 private:
  static Handler& CurrentHandler();
};

}  // namespace dioptrix::gui
