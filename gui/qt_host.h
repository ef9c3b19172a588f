// The core's host on Qt: messages in message boxes, window events run by
// Qt's event loop, and the size of the screen the main window is on.
#pragma once

#include "platform/host.h"

class QWidget;

namespace dioptrix::gui {

// Installs the Qt hooks into host. window is the program's main window: its
// screen gives the desktop size and message boxes are shown over it. It must
// outlive the host's use.
void InstallQtHost(Host& host, QWidget* window);

}  // namespace dioptrix::gui
