#include "platform/xrandr/xrandr_screen_modes.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

// Xlib's headers define macros such as None, Bool and Status; they come last.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace dioptrix {
namespace {

// Catches the X errors of one connection while it lives, so that a request
// the server refuses makes the call fail instead of running Xlib's default
// handler, which ends the process. Errors of other connections go on to the
// handler that was installed before. Xlib's handler is process-wide; the
// object is used on the user-interface thread only, and traps may nest.
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) : display_(display), outer_(active_) {
    XSync(display_, False);  // errors of earlier requests are not this trap's
    active_ = this;
    previous_ = XSetErrorHandler(&ErrorTrap::Handle);
  }
  ~ErrorTrap() {
    XSync(display_, False);
    XSetErrorHandler(previous_);
    active_ = outer_;
  }
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Waits until the server has handled every request sent so far; true when
  // none of them failed since the trap was set.
  bool Sync() {
    XSync(display_, False);
    return !failed_;
  }

 private:
  static int Handle(Display* display, XErrorEvent* event) {
    for (ErrorTrap* trap = active_; trap; trap = trap->outer_) {
      if (trap->display_ == display) {
        trap->failed_ = true;
        return 0;
      }
    }
    // Not one of ours: the handler that was there before the outermost trap
    // decides.
    ErrorTrap* outermost = active_;
    while (outermost && outermost->outer_) outermost = outermost->outer_;
    if (outermost && outermost->previous_) return outermost->previous_(display, event);
    return 0;
  }

  static inline ErrorTrap* active_ = nullptr;
  Display* display_;
  ErrorTrap* outer_;
  XErrorHandler previous_ = nullptr;
  bool failed_ = false;
};

struct FreeResources {
  void operator()(XRRScreenResources* p) const { XRRFreeScreenResources(p); }
};
struct FreeOutputInfo {
  void operator()(XRROutputInfo* p) const { XRRFreeOutputInfo(p); }
};
struct FreeCrtcInfo {
  void operator()(XRRCrtcInfo* p) const { XRRFreeCrtcInfo(p); }
};
using Resources = std::unique_ptr<XRRScreenResources, FreeResources>;
using OutputInfo = std::unique_ptr<XRROutputInfo, FreeOutputInfo>;
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, FreeCrtcInfo>;

// Bits per pixel of a screen depth: a pixel of depth 24 or 30 takes 32 bits,
// one of depth 15 or 16 takes 16.
int32_t BitsForDepth(int depth) {
  if (depth <= 0) return 0;
  if (depth <= 8) return 8;
  if (depth <= 16) return 16;
  return 32;
}

// Frames a second of a mode's timings: the pixel clock over the pixels of a
// frame. A doubled scan shows each line twice (half the rate); interlacing
// shows half the lines per field (twice the rate).
int32_t RefreshOf(const XRRModeInfo& mode) {
  if (mode.hTotal == 0 || mode.vTotal == 0) return 0;
  double lines = mode.vTotal;
  if (mode.modeFlags & RR_DoubleScan) lines *= 2;
  if (mode.modeFlags & RR_Interlace) lines /= 2;
  const double rate = static_cast<double>(mode.dotClock) / (mode.hTotal * lines);
  if (!(rate > 0) || rate > 100000) return 0;
  return static_cast<int32_t>(std::lround(rate));
}

bool Sideways(Rotation rotation) { return (rotation & (RR_Rotate_90 | RR_Rotate_270)) != 0; }

// The size a mode takes on the screen under the CRTC's rotation.
void ShownSize(const XRRModeInfo& mode, Rotation rotation, int32_t& width, int32_t& height) {
  width = static_cast<int32_t>(mode.width);
  height = static_cast<int32_t>(mode.height);
  if (Sideways(rotation)) std::swap(width, height);
}

const XRRModeInfo* FindModeInfo(const XRRScreenResources& resources, RRMode id) {
  for (int i = 0; i < resources.nmode; ++i)
    if (resources.modes[i].id == id) return &resources.modes[i];
  return nullptr;
}

// What a CRTC shows: its mode, place, rotation and outputs.
struct CrtcSetup {
  RRCrtc crtc = 0;
  RRMode mode = 0;
  int x = 0;
  int y = 0;
  Rotation rotation = RR_Rotate_0;
  std::vector<RROutput> outputs;
};

class XRandRScreenModes final : public ScreenModes {
 public:
  explicit XRandRScreenModes(Display* display)
      : display_(display),
        root_(DefaultRootWindow(display)),
        bits_(BitsForDepth(DefaultDepth(display, DefaultScreen(display)))) {
    // The screen's physical size follows its size in pixels at the
    // resolution it had when the connection opened.
    const int screen = DefaultScreen(display);
    if (DisplayWidth(display, screen) > 0 && DisplayHeight(display, screen) > 0) {
      mmPerPixelX_ =
          static_cast<double>(DisplayWidthMM(display, screen)) / DisplayWidth(display, screen);
      mmPerPixelY_ =
          static_cast<double>(DisplayHeightMM(display, screen)) / DisplayHeight(display, screen);
    }
  }

  ~XRandRScreenModes() override {
    try {
      RestoreFirstMode();
    } catch (...) {
      // Only an allocation can throw here; the connection closes all the same.
    }
    XCloseDisplay(display_);
  }

  XRandRScreenModes(const XRandRScreenModes&) = delete;
  XRandRScreenModes& operator=(const XRandRScreenModes&) = delete;

  DisplayMode Current() override {
    State state = Read();
    if (!state.crtcInfo || state.crtcInfo->mode == None) return {};
    DisplayMode mode;
    mode.width = static_cast<int32_t>(state.crtcInfo->width);
    mode.height = static_cast<int32_t>(state.crtcInfo->height);
    mode.bitsPerPixel = bits_;
    if (const XRRModeInfo* info = FindModeInfo(*state.resources, state.crtcInfo->mode))
      mode.refresh = RefreshOf(*info);
    return mode;
  }

  bool Enumerate(int32_t index, DisplayMode& mode) override {
    if (index < 0) return false;
    // Index 0 starts a new enumeration: the list is read once for it.
    if (index == 0 || listed_.empty()) ListModes();
    if (static_cast<size_t>(index) >= listed_.size()) return false;
    mode = listed_[static_cast<size_t>(index)];
    return true;
  }

  bool Change(const DisplayMode& wanted, uint32_t fields) override {
    State state = Read();
    if (!state.crtcInfo || state.crtcInfo->mode == None) return false;
    const XRRCrtcInfo& crtc = *state.crtcInfo;
    const int32_t width = (fields & kModeWidth) ? wanted.width : static_cast<int32_t>(crtc.width);
    const int32_t height =
        (fields & kModeHeight) ? wanted.height : static_cast<int32_t>(crtc.height);
    const bool anyRate = !(fields & kModeFrequency) || wanted.refresh == 0;
    auto matches = [&](RRMode id) {
      const XRRModeInfo* info = FindModeInfo(*state.resources, id);
      if (!info) return false;
      int32_t w = 0, h = 0;
      ShownSize(*info, crtc.rotation, w, h);
      return w == width && h == height && (anyRate || RefreshOf(*info) == wanted.refresh);
    };
    // The mode shown now when it fits (no switch at all), else the output's
    // first mode that fits.
    RRMode chosen = None;
    if (matches(crtc.mode)) {
      chosen = crtc.mode;
    } else {
      for (int i = 0; i < state.outputInfo->nmode && chosen == None; ++i)
        if (matches(state.outputInfo->modes[i])) chosen = state.outputInfo->modes[i];
    }
    if (chosen == None) return false;
    if (chosen == crtc.mode) return true;

    CrtcSetup setup = SetupOf(state);
    if (!first_) {
      int32_t screenWidth = 0, screenHeight = 0;
      if (!ScreenSize(screenWidth, screenHeight)) return false;
      first_ = setup;
      firstWidth_ = screenWidth;
      firstHeight_ = screenHeight;
    }
    setup.mode = chosen;
    int32_t needWidth = 0, needHeight = 0;
    if (!ScreenSizeFor(setup, needWidth, needHeight)) return false;
    return Apply(setup, needWidth, needHeight);
  }

 private:
  // The screen's resources, its output and the CRTC driving that output.
  struct State {
    Resources resources;
    OutputInfo outputInfo;
    CrtcInfo crtcInfo;
  };

  Resources ReadResources() {
    Resources resources(XRRGetScreenResourcesCurrent(display_, root_));
    // The current resources are those the server last probed; when it has
    // not probed yet they list no output, and a probe fills them in.
    if (!resources || resources->noutput == 0)
      resources.reset(XRRGetScreenResources(display_, root_));
    return resources;
  }

  // Reads the output the screen shows: the primary one when it is connected
  // and shows something, else the first connected one that shows something,
  // else the primary or first connected one.
  State Read() {
    ErrorTrap trap(display_);
    State state;
    state.resources = ReadResources();
    if (!state.resources) return state;
    const RROutput primary = XRRGetOutputPrimary(display_, root_);
    OutputInfo primaryInfo, active, connected;
    for (int i = 0; i < state.resources->noutput; ++i) {
      const RROutput id = state.resources->outputs[i];
      OutputInfo info(XRRGetOutputInfo(display_, state.resources.get(), id));
      if (!info || info->connection != RR_Connected) continue;
      if (id == primary)
        primaryInfo = std::move(info);
      else if (info->crtc != None && !active)
        active = std::move(info);
      else if (!connected)
        connected = std::move(info);
    }
    if (primaryInfo && (primaryInfo->crtc != None || !active))
      state.outputInfo = std::move(primaryInfo);
    else if (active)
      state.outputInfo = std::move(active);
    else
      state.outputInfo = std::move(connected);
    if (state.outputInfo && state.outputInfo->crtc != None)
      state.crtcInfo.reset(XRRGetCrtcInfo(display_, state.resources.get(), state.outputInfo->crtc));
    if (!trap.Sync()) state = State{};
    return state;
  }

  void ListModes() {
    listed_.clear();
    State state = Read();
    if (!state.outputInfo) return;
    const Rotation rotation = state.crtcInfo ? state.crtcInfo->rotation : RR_Rotate_0;
    for (int i = 0; i < state.outputInfo->nmode; ++i) {
      const XRRModeInfo* info = FindModeInfo(*state.resources, state.outputInfo->modes[i]);
      if (!info) continue;
      DisplayMode mode;
      ShownSize(*info, rotation, mode.width, mode.height);
      mode.bitsPerPixel = bits_;
      mode.refresh = RefreshOf(*info);
      listed_.push_back(mode);
    }
  }

  static CrtcSetup SetupOf(const State& state) {
    const XRRCrtcInfo& info = *state.crtcInfo;
    CrtcSetup setup;
    setup.crtc = state.outputInfo->crtc;
    setup.mode = info.mode;
    setup.x = info.x;
    setup.y = info.y;
    setup.rotation = info.rotation;
    setup.outputs.assign(info.outputs, info.outputs + std::max(info.noutput, 0));
    return setup;
  }

  // The size of the screen (the root window) in pixels now.
  bool ScreenSize(int32_t& width, int32_t& height) {
    ErrorTrap trap(display_);
    Window root = 0;
    int x = 0, y = 0;
    unsigned w = 0, h = 0, border = 0, depth = 0;
    if (!XGetGeometry(display_, root_, &root, &x, &y, &w, &h, &border, &depth) || !trap.Sync())
      return false;
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return true;
  }

  // The screen size that holds every active CRTC once `setup` is applied:
  // the right and bottom edges of them all.
  bool ScreenSizeFor(const CrtcSetup& setup, int32_t& width, int32_t& height) {
    ErrorTrap trap(display_);
    Resources resources = ReadResources();
    if (!resources) return false;
    const XRRModeInfo* info = FindModeInfo(*resources, setup.mode);
    if (!info) return false;
    int32_t w = 0, h = 0;
    ShownSize(*info, setup.rotation, w, h);
    width = setup.x + w;
    height = setup.y + h;
    for (int i = 0; i < resources->ncrtc; ++i) {
      if (resources->crtcs[i] == setup.crtc) continue;
      CrtcInfo other(XRRGetCrtcInfo(display_, resources.get(), resources->crtcs[i]));
      if (!other || other->mode == None) continue;
      width = std::max(width, other->x + static_cast<int32_t>(other->width));
      height = std::max(height, other->y + static_cast<int32_t>(other->height));
    }
    return trap.Sync();
  }

  bool SetScreenSize(int32_t width, int32_t height) {
    ErrorTrap trap(display_);
    const int mmWidth = std::max(1, static_cast<int>(std::lround(width * mmPerPixelX_)));
    const int mmHeight = std::max(1, static_cast<int>(std::lround(height * mmPerPixelY_)));
    XRRSetScreenSize(display_, root_, width, height, mmWidth, mmHeight);
    return trap.Sync();
  }

  bool SetCrtc(const CrtcSetup& setup) {
    ErrorTrap trap(display_);
    // The request carries the time of the configuration it was made for, so
    // it is read right before (a change of screen size may have renewed it).
    Resources resources = ReadResources();
    if (!resources) return false;
    std::vector<RROutput> outputs = setup.outputs;
    const Status status =
        XRRSetCrtcConfig(display_, resources.get(), setup.crtc, CurrentTime, setup.x, setup.y,
                         setup.mode, setup.rotation, outputs.empty() ? nullptr : outputs.data(),
                         static_cast<int>(outputs.size()));
    return trap.Sync() && status == RRSetConfigSuccess;
  }

  // Shows `setup` on a screen of width x height. The server accepts a CRTC
  // only inside the screen and a screen only around its CRTCs, so the screen
  // grows first where it must, the CRTC switches, and the screen then
  // shrinks to its final size. True when the CRTC shows the mode and the
  // screen has that size afterwards.
  bool Apply(const CrtcSetup& setup, int32_t width, int32_t height) {
    int32_t oldWidth = 0, oldHeight = 0;
    if (!ScreenSize(oldWidth, oldHeight)) return false;
    const int32_t grownWidth = std::max(oldWidth, width);
    const int32_t grownHeight = std::max(oldHeight, height);
    const bool grows = grownWidth != oldWidth || grownHeight != oldHeight;
    if (grows && !SetScreenSize(grownWidth, grownHeight)) return false;
    if (!SetCrtc(setup)) {
      if (grows) SetScreenSize(oldWidth, oldHeight);
      return false;
    }
    if ((width != grownWidth || height != grownHeight) && !SetScreenSize(width, height))
      return false;
    return Shows(setup, width, height);
  }

  // Whether the CRTC shows the setup's mode on a screen of width x height.
  bool Shows(const CrtcSetup& setup, int32_t width, int32_t height) {
    int32_t screenWidth = 0, screenHeight = 0;
    if (!ScreenSize(screenWidth, screenHeight)) return false;
    if (screenWidth != width || screenHeight != height) return false;
    ErrorTrap trap(display_);
    Resources resources = ReadResources();
    if (!resources) return false;
    CrtcInfo info(XRRGetCrtcInfo(display_, resources.get(), setup.crtc));
    return trap.Sync() && info && info->mode == setup.mode && info->x == setup.x &&
           info->y == setup.y;
  }

  // Puts back the mode the screen had before the first change, unless the
  // screen shows it already.
  void RestoreFirstMode() {
    if (!first_) return;
    if (Shows(*first_, firstWidth_, firstHeight_)) return;
    Apply(*first_, firstWidth_, firstHeight_);
  }

  Display* display_;
  Window root_;
  int32_t bits_;
  double mmPerPixelX_ = 25.4 / 96;
  double mmPerPixelY_ = 25.4 / 96;
  std::vector<DisplayMode> listed_;
  // The CRTC's setup and the screen's size before the first change.
  std::optional<CrtcSetup> first_;
  int32_t firstWidth_ = 0;
  int32_t firstHeight_ = 0;
};

}  // namespace

std::unique_ptr<ScreenModes> MakeXRandRScreenModes(std::string* why) {
  auto fail = [why](const char* reason) {
    if (why) *why = reason;
    return nullptr;
  };
  Display* display = XOpenDisplay(nullptr);
  if (!display) return fail("No X display could be opened (is DISPLAY set?).");
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (!XRRQueryExtension(display, &eventBase, &errorBase) ||
      !XRRQueryVersion(display, &major, &minor) || major < 1 || (major == 1 && minor < 2)) {
    XCloseDisplay(display);
    return fail("The X server does not offer RandR 1.2, which changing the screen mode needs.");
  }
  return std::make_unique<XRandRScreenModes>(display);
}

}  // namespace dioptrix
