// Whether the program can show windows at all: Qt ends the process when its
// window system cannot be reached, so the player asks first.
#pragma once

#include <string>

namespace dioptrix::gui {

// True when Qt's window system will start: the X display in DISPLAY accepts
// a connection, or QT_QPA_PLATFORM names another platform. Otherwise false,
// with the reason in why.
bool WindowSystemAvailable(std::string* why);

}  // namespace dioptrix::gui
