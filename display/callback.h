// What mouse clicks, key presses and focus loss on a display window do.
// During playback any key or button stops the playback; losing the focus
// does nothing.
#pragma once

#include <cstdint>

#include "display/display_backend.h"
#include "platform/host.h"

namespace dioptrix {

// Selector values: 0 nothing, 1 close the display, 2 stop the playback,
// 3 forward to the slide-show viewer (which does nothing).
struct CallbackActions {
  int16_t ClickAction = 0;
  int16_t LostAction = 0;
  int16_t KeyAction = 0;
};

struct CallbackContext {
  const Host& host;
  CallbackActions& actions;
  int16_t& stopRequested;  // the playback loop's stop flag (true = -1)
};

void SetCallbackActions(CallbackActions& actions, int16_t click, int16_t lost, int16_t key);
void OnClick(CallbackContext& ctx, DisplayBackend& display, int16_t button, int16_t shift);
void OnLost(CallbackContext& ctx, DisplayBackend& display);
void OnKey(CallbackContext& ctx, DisplayBackend& display, int16_t keyCode, int16_t shift);

}  // namespace dioptrix
