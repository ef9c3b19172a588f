#include "gui/display_probe.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <string_view>

namespace dioptrix::gui {

bool WindowSystemAvailable(std::string* why) {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  // Another platform plug-in (offscreen, wayland, vnc, ...) is Qt's to start.
  if (platform && *platform && std::string_view(platform).substr(0, 3) != "xcb") return true;
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) {
    if (why) *why = "no display to show the video on (DISPLAY is not set)";
    return false;
  }
  Display* display = XOpenDisplay(name);
  if (!display) {
    if (why) *why = std::string("cannot open the display ") + name;
    return false;
  }
  XCloseDisplay(display);
  return true;
}

}  // namespace dioptrix::gui
