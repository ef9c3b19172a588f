#include "display/screen.h"

#include <cmath>

namespace dioptrix {

int32_t ScreenPixelWidth(const Host& host) { return host.DesktopSize().width; }
int32_t ScreenPixelHeight(const Host& host) { return host.DesktopSize().height; }

namespace {
int32_t RoundToInt(double v) { return static_cast<int32_t>(std::nearbyint(v)); }
}  // namespace

void FitToScreen(int32_t& w, int32_t& h, int32_t& x, int32_t& y, int32_t screenW, int32_t screenH) {
  x = 0;
  y = 0;
  // A zero-sized source or screen has no aspect to keep.
  if (w <= 0 || h <= 0 || screenW <= 0 || screenH <= 0) return;
  const double a = static_cast<double>(w) / h;
  const double s = static_cast<double>(screenW) / screenH;
  if (s <= a) {
    h = RoundToInt(static_cast<double>(h) / w * screenW);
    w = screenW;
    y = RoundToInt((screenH - static_cast<double>(h)) / 2);
  } else {
    w = RoundToInt(static_cast<double>(w) / h * screenH);
    h = screenH;
    x = RoundToInt((screenW - static_cast<double>(w)) / 2);
  }
  h = 2 * (h / 2);
  w = 2 * (w / 2);
}

}  // namespace dioptrix
