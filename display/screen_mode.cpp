#include "display/screen_mode.h"

namespace dioptrix {

DisplayMode FindDisplayMode(ScreenModes& modes, int32_t width, int32_t height, int32_t bits,
                            int32_t refresh) {
  DisplayMode found;
  DisplayMode mode;
  for (int32_t index = 0; modes.Enumerate(index, mode); ++index) {
    found = mode;
    if (mode.width == width && mode.height == height && mode.bitsPerPixel == bits &&
        (refresh == -1 || mode.refresh == refresh))
      break;
  }
  return found;
}

bool SetScreenMode(ScreenModes& modes, Host& host, int32_t width, int32_t height, int32_t bits,
                   int32_t refresh) {
  DisplayMode mode = FindDisplayMode(modes, width, height, bits, refresh);
  mode.width = width;
  mode.height = height;
  mode.bitsPerPixel = bits;
  uint32_t fields = kModeSize;
  if (refresh != -1) {
    mode.refresh = refresh;
    fields |= kModeFrequency;
  }
  if (modes.Change(mode, fields)) return true;
  host.Message(kScreenModeFailed);
  return false;
}

void SavedDisplayMode::Save(ScreenModes& modes) {
  mode_ = modes.Current();
  saved_ = true;
}

bool SavedDisplayMode::Reset(ScreenModes& modes) {
  if (!saved_) return false;
  saved_ = false;
  DisplayMode mode =
      FindDisplayMode(modes, mode_.width, mode_.height, mode_.bitsPerPixel, mode_.refresh);
  mode.width = mode_.width;
  mode.height = mode_.height;
  mode.bitsPerPixel = mode_.bitsPerPixel;
  uint32_t fields = kModeSize;
  if (mode_.refresh != -1) {
    mode.refresh = mode_.refresh;
    fields |= kModeFrequency;
  }
  return modes.Change(mode, fields);
}

}  // namespace dioptrix
