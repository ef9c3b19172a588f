#include "display/callback.h"

#include "platform/flags.h"

namespace dioptrix {

namespace {

// Runs a selector common to the three events; false for an unknown one.
bool Act(CallbackContext& ctx, DisplayBackend& display, int16_t action) {
  switch (action) {
    case 0:
      return true;
    case 1:
      display.CloseDisplay();
      return true;
    case 2:
      ctx.stopRequested = kTrue;
      return true;
    default:
      return false;
  }
}

}  // namespace

void SetCallbackActions(CallbackActions& actions, int16_t click, int16_t lost, int16_t key) {
  actions.ClickAction = click;
  actions.LostAction = lost;
  actions.KeyAction = key;
}

void OnClick(CallbackContext& ctx, DisplayBackend& display, int16_t, int16_t) {
  const int16_t action = ctx.actions.ClickAction;
  if (action == 3) return;  // the slide-show viewer ignores clicks
  if (!Act(ctx, display, action))
    ctx.host.Message("An error has occurred in Callback:OnClick. Invalid method.");
}

void OnLost(CallbackContext& ctx, DisplayBackend& display) {
  if (!Act(ctx, display, ctx.actions.LostAction))
    ctx.host.Message("An error has occurred in Callback:OnLost. Invalid method.");
}

void OnKey(CallbackContext& ctx, DisplayBackend& display, int16_t, int16_t) {
  const int16_t action = ctx.actions.KeyAction;
  if (action == 3) return;  // the slide-show viewer ignores keys
  if (!Act(ctx, display, action))
    ctx.host.Message("An error has occurred in Callback:OnKey. Invalid method.");
}

void WindowCallbacks::KeyPressed(int16_t keyCode, int16_t shift) {
  OnKey(ctx_, display_, keyCode, shift);
}

void WindowCallbacks::ButtonPressed(int16_t button, int16_t shift, int32_t, int32_t) {
  OnClick(ctx_, display_, button, shift);
}

void WindowCallbacks::FocusLost() { OnLost(ctx_, display_); }

}  // namespace dioptrix
