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
// `display` is the back-end whose window the event came from. The shift
// state holds 1 for Shift, 2 for Ctrl and 4 for Alt; buttons are 1 left,
// 2 right, 4 middle; key codes are virtual-key codes (65 for A, 27 for Esc).
void OnClick(CallbackContext& ctx, DisplayBackend& display, int16_t button, int16_t shift);
void OnLost(CallbackContext& ctx, DisplayBackend& display);
void OnKey(CallbackContext& ctx, DisplayBackend& display, int16_t keyCode, int16_t shift);

// What a display window reports. The window calls it on the user-interface
// thread while window events run (during the playback's event pumping and
// the line-code waits).
class DisplayEvents {
 public:
  virtual ~DisplayEvents() = default;
  virtual void KeyPressed(int16_t keyCode, int16_t shift) = 0;
  virtual void ButtonPressed(int16_t button, int16_t shift, int32_t x, int32_t y) = 0;
  virtual void FocusLost() = 0;
};

// Hands a back-end's window events to OnKey, OnClick and OnLost with the
// back-end as the display. The context's references must outlive it.
class WindowCallbacks final : public DisplayEvents {
 public:
  WindowCallbacks(CallbackContext ctx, DisplayBackend& display) : ctx_(ctx), display_(display) {}
  void KeyPressed(int16_t keyCode, int16_t shift) override;
  void ButtonPressed(int16_t button, int16_t shift, int32_t x, int32_t y) override;
  void FocusLost() override;

 private:
  CallbackContext ctx_;
  DisplayBackend& display_;
};

}  // namespace dioptrix
