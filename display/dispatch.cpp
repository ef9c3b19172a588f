#include "display/dispatch.h"

#include <cmath>
#include <optional>
#include <string>

#include "display/line_codes.h"
#include "platform/error.h"

namespace dioptrix {

namespace {

void InvalidOutputFormat(const DisplayContext& ctx, int16_t method) {
  ctx.host.Message("Invalid output format." + std::to_string(method));
}

DisplayBackend& Need(DisplayBackend* backend) {
  if (!backend) RaiseObjectNotSet();
  return *backend;
}

bool InterlaceGoesThroughOpenGL(const DisplayContext& ctx, const OutputRequest& request) {
  return request.IsFullscreen() && ctx.settings.InterlaceViaOpenGL;
}

// The kind of back-end a request's output method uses; nothing for an
// invalid method.
std::optional<BackendKind> KindFor(const DisplayContext& ctx, const OutputRequest& request) {
  switch (request.OutputMethod) {
    case kOutputShutterEye3D:
    case kOutputShutterED:
    case kOutputOpenGLQuadBuffer:
      return BackendKind::OpenGL;
    case kOutputAnaglyphGrey:
    case kOutputAnaglyphColour:
    case kOutputAnaglyphYellow:
      return BackendKind::Blit;
    case kOutputInterlaced:
      return InterlaceGoesThroughOpenGL(ctx, request) ? BackendKind::OpenGL : BackendKind::Blit;
    case kOutputStereoDriver:
      return BackendKind::DirectX;
    default:
      return std::nullopt;
  }
}

}  // namespace

int32_t HalvedRefreshRate(int32_t refreshRate) {
  const auto halved = static_cast<int32_t>(std::nearbyint(refreshRate / 2.0));
  return halved < 56 ? 60 : halved;
}

DisplayBackend* BackendFor(DisplayContext& ctx, const OutputRequest& request) {
  const auto kind = KindFor(ctx, request);
  return kind ? ctx.devices.Get(*kind) : nullptr;
}

void Init_NVidia(DisplayContext& ctx, const OutputRequest&) {
  TrapErrors(ctx.host, "Error in Init_NVidia. ", [&] {
    const cDIBSection& out = dioptrix::Need(ctx.frames.OutputFrame);
    Need(ctx.devices.Get(BackendKind::DirectX))
        .OpenDisplay(true, out.Width(), out.Height(), true, false, &out, &out);
  });
}

void Init_Blit_Fullscreen(DisplayContext& ctx, const OutputRequest& request) {
  TrapErrors(ctx.host, "Error in Init_Blit_Fullscreen. ", [&] {
    const cDIBSection& out = dioptrix::Need(ctx.frames.OutputFrame);
    const bool lineCodes = request.OutputMethod == kOutputInterlaced;
    DibPtr start, end;
    if (lineCodes) {
      start = LoadLineCode(LineCode::Linecode_ED_Interlace);
      end = LoadLineCode(LineCode::Linecode_ED_Off);
    }
    Need(ctx.devices.Get(BackendKind::Blit))
        .OpenDisplay(true, out.Width(), out.Height(), true, lineCodes,
                     lineCodes ? start.get() : &out, lineCodes ? end.get() : &out);
  });
}

void Init_Blit_Windowed(DisplayContext& ctx, const OutputRequest&) {
  TrapErrors(ctx.host, "Error in Init_Blit_Windowed. ", [&] {
    const cDIBSection& out = dioptrix::Need(ctx.frames.OutputFrame);
    Need(ctx.devices.Get(BackendKind::Blit))
        .OpenDisplay(false, out.Width(), out.Height(), true, false, &out, &out);
  });
}

void Init_OpenGL(DisplayContext& ctx, const OutputRequest& request) {
  TrapErrors(ctx.host, "Error in Init_OpenGL. ", [&] {
    const cDIBSection& out = dioptrix::Need(ctx.frames.OutputFrame);
    LineCode start, end;
    bool halveRefresh = false;
    switch (request.OutputMethod) {
      case kOutputShutterEye3D:
        start = LineCode::Linecode_Eye_Sync;
        end = LineCode::Linecode_Eye_Off;
        halveRefresh = true;
        break;
      case kOutputInterlaced:
        start = LineCode::Linecode_ED_Interlace;
        end = LineCode::Linecode_ED_Off;
        break;
      case kOutputShutterED:
        start = LineCode::Linecode_ED_Sync;
        end = LineCode::Linecode_ED_Off;
        halveRefresh = true;
        break;
      case kOutputOpenGLQuadBuffer:
        Need(ctx.devices.Get(BackendKind::OpenGL))
            .OpenDisplay(request.IsFullscreen(), out.Width(), out.Height(), true, false, &out,
                         &out);
        return;
      default:
        ctx.host.Message("Invalid output method.");
        return;
    }
    if (halveRefresh) ctx.settings.RefreshRate = HalvedRefreshRate(ctx.settings.RefreshRate);
    DibPtr startCode = LoadLineCode(start), endCode = LoadLineCode(end);
    Need(ctx.devices.Get(BackendKind::OpenGL))
        .OpenDisplay(true, out.Width(), out.Height(), false, true, startCode.get(), endCode.get());
  });
}

void OpenOutputDisplay(DisplayContext& ctx, const OutputRequest& request) {
  const bool fullscreen = request.IsFullscreen();
  switch (request.OutputMethod) {
    case kOutputShutterEye3D:
    case kOutputShutterED:
    case kOutputOpenGLQuadBuffer:
      Init_OpenGL(ctx, request);
      break;
    case kOutputAnaglyphGrey:
    case kOutputAnaglyphColour:
    case kOutputAnaglyphYellow:
      fullscreen ? Init_Blit_Fullscreen(ctx, request) : Init_Blit_Windowed(ctx, request);
      break;
    case kOutputInterlaced:
      if (!fullscreen) {
        Init_Blit_Windowed(ctx, request);
      } else if (!ctx.settings.InterlaceViaOpenGL) {
        Init_Blit_Fullscreen(ctx, request);
      } else {
        Init_OpenGL(ctx, request);
      }
      break;
    case kOutputStereoDriver:
      Init_NVidia(ctx, request);
      break;
    default:
      InvalidOutputFormat(ctx, request.OutputMethod);
      break;
  }
}

bool ShowOutputFrame(DisplayContext& ctx, const OutputRequest& request, bool quick) {
  bool resize = false;
  bool alwaysTrue = false;  // the OpenGL back-end's result is not used
  switch (request.OutputMethod) {
    case kOutputShutterEye3D:
    case kOutputShutterED:
      alwaysTrue = true;
      break;
    case kOutputAnaglyphGrey:
    case kOutputAnaglyphColour:
    case kOutputAnaglyphYellow:
      resize = true;
      break;
    case kOutputInterlaced:
      alwaysTrue = InterlaceGoesThroughOpenGL(ctx, request);
      break;  // interlaced frames are never scaled
    case kOutputStereoDriver:
      resize = true;
      break;
    case kOutputOpenGLQuadBuffer:
      resize = true;
      alwaysTrue = true;
      break;
    default:
      InvalidOutputFormat(ctx, request.OutputMethod);
      return false;
  }
  bool ok = false;
  // A missing frame or back-end stops the playback whatever the method.
  if (!TrapErrors(ctx.host, "An error occurred in ShowOutputFrame. ", [&] {
        const cDIBSection& out = dioptrix::Need(ctx.frames.OutputFrame);
        ok = Need(BackendFor(ctx, request)).PutImage(out, resize, quick);
      }))
    return false;
  return alwaysTrue || ok;
}

void CloseOutputDisplay(DisplayContext& ctx, const OutputRequest& request) {
  const auto kind = KindFor(ctx, request);
  if (!kind) {
    InvalidOutputFormat(ctx, request.OutputMethod);
    return;
  }
  // Nothing can have been opened on a back-end that was never made.
  if (DisplayBackend* backend = ctx.devices.Existing(*kind)) backend->CloseDisplay();
}

}  // namespace dioptrix
