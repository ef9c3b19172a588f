// Output-method dispatch: which back-end shows the frames of a playback, how
// it is opened (with which line codes), and the per-frame and closing calls.
#pragma once

#include <cstdint>

#include "display/display_backend.h"
#include "display/output_method.h"
#include "formats/frame_images.h"
#include "platform/host.h"
#include "platform/settings.h"

namespace dioptrix {

struct DisplayContext {
  const Host& host;
  Settings& settings;       // RefreshRate is halved here for the shutter modes
  FrameImages& frames;      // OutputFrame is what is shown
  DisplayDevices& devices;  // back-ends are made on first use
};

// The back-end a request's output method uses, made on first use (null for
// an invalid method or a kind the run has none of).
DisplayBackend* BackendFor(DisplayContext& ctx, const OutputRequest& request);

// Opens the request's back-end for OutputFrame's current size. An invalid
// method shows "Invalid output format." followed by its number.
void OpenOutputDisplay(DisplayContext& ctx, const OutputRequest& request);
// Shows OutputFrame on the request's back-end. False stops the playback.
bool ShowOutputFrame(DisplayContext& ctx, const OutputRequest& request, bool quick);
// Closes the request's back-end.
void CloseOutputDisplay(DisplayContext& ctx, const OutputRequest& request);

// The initialisers behind OpenOutputDisplay; each reports its own run-time
// errors with its own prefix.
void Init_NVidia(DisplayContext& ctx, const OutputRequest& request);
void Init_Blit_Fullscreen(DisplayContext& ctx, const OutputRequest& request);
void Init_Blit_Windowed(DisplayContext& ctx, const OutputRequest& request);
void Init_OpenGL(DisplayContext& ctx, const OutputRequest& request);

// RefreshRate halved to nearest (ties to even); below 56 it becomes 60.
int32_t HalvedRefreshRate(int32_t refreshRate);

}  // namespace dioptrix
