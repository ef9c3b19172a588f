// A connection of the test's own to its X server: gives the screen's output
// the modes the tests switch between (a virtual server offers only the one
// it started with) and reads what the screen shows.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace dioptrix {

class TestScreen {
 public:
  TestScreen() : display_(XOpenDisplay(nullptr)) {}
  ~TestScreen() {
    if (display_) XCloseDisplay(display_);
  }
  TestScreen(const TestScreen&) = delete;
  TestScreen& operator=(const TestScreen&) = delete;

  bool Opened() const { return display_ != nullptr; }

  // Adds a mode of width x height showing `hz` pictures a second (fields
  // when interlaced) to the first output, and returns its id. A mode of the
  // same name made earlier on this server is reused.
  RRMode AddMode(unsigned width, unsigned height, double hz, unsigned long flags = 0) {
    char name[64];
    std::snprintf(name, sizeof name, "%ux%u@%g%s%s", width, height, hz,
                  (flags & RR_Interlace) ? "i" : "", (flags & RR_DoubleScan) ? "d" : "");
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, Root());
    RRMode id = None;
    for (int i = 0; i < resources->nmode; ++i)
      if (std::strcmp(resources->modes[i].name, name) == 0) id = resources->modes[i].id;
    if (id == None) {
      XRRModeInfo mode{};
      mode.width = width;
      mode.height = height;
      mode.hSyncStart = width + 16;
      mode.hSyncEnd = width + 96;
      mode.hTotal = width + 160;
      mode.vSyncStart = height + 3;
      mode.vSyncEnd = height + 9;
      mode.vTotal = height + 30;
      double lines = mode.vTotal;
      if (flags & RR_Interlace) lines /= 2;
      if (flags & RR_DoubleScan) lines *= 2;
      mode.dotClock = static_cast<unsigned long>(hz * mode.hTotal * lines + 0.5);
      mode.modeFlags = flags;
      mode.name = name;
      mode.nameLength = static_cast<unsigned>(std::strlen(name));
      id = XRRCreateMode(display_, Root(), &mode);
    }
    XRRAddOutputMode(display_, resources->outputs[0], id);
    XSync(display_, False);
    XRRFreeScreenResources(resources);
    return id;
  }

  // The screen's size (its root window's) in pixels.
  std::pair<int, int> Size() {
    Window root = None;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    XGetGeometry(display_, Root(), &root, &x, &y, &width, &height, &border, &depth);
    return {static_cast<int>(width), static_cast<int>(height)};
  }

  // The mode the first output's CRTC shows.
  RRMode ShownMode() {
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, Root());
    XRRCrtcInfo* crtc = XRRGetCrtcInfo(display_, resources, resources->crtcs[0]);
    const RRMode mode = crtc->mode;
    XRRFreeCrtcInfo(crtc);
    XRRFreeScreenResources(resources);
    return mode;
  }

  // Shows a mode at (x, y) on the screen as it is, and waits until the
  // server has done so. The mode must fit inside the screen.
  void Show(RRMode mode, int x, int y) {
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, Root());
    XRRSetCrtcConfig(display_, resources, resources->crtcs[0], CurrentTime, x, y, mode, RR_Rotate_0,
                     resources->outputs, 1);
    XSync(display_, False);
    XRRFreeScreenResources(resources);
  }

  // Sets the screen's size in pixels (at 96 dots an inch); it must hold the
  // CRTC's mode.
  void Resize(int width, int height) {
    XRRSetScreenSize(display_, Root(), width, height, width * 254 / 960, height * 254 / 960);
    XSync(display_, False);
  }

  // Takes a mode off the first output's list (it must not be shown).
  void Withdraw(RRMode mode) {
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, Root());
    XRRDeleteOutputMode(display_, resources->outputs[0], mode);
    XSync(display_, False);
    XRRFreeScreenResources(resources);
  }

  int Depth() { return DefaultDepth(display_, DefaultScreen(display_)); }

 private:
  Window Root() { return DefaultRootWindow(display_); }

  Display* display_;
};

}  // namespace dioptrix
