// The depth exports of the blocks library. Each kernel keeps its state for the
// life of the process; calls are serialised, and the one diagnostic goes to
// the registered handler after the kernel has finished, so that a handler that
// shows a dialog (and runs events that call back in) cannot deadlock.
#include <cstdio>
#include <mutex>

#include "blocks/blocks.h"
#include "blocks/depthmap.h"
#include "blocks/matchdepth.h"
#include "blocks/scene_depth.h"

namespace {

using dioptrix::blocks::ColourDepthState;
using dioptrix::blocks::GreyDepthState;

struct DiagnosticTarget {
  BlocksDiagnosticHandler* handler = nullptr;
  void* context = nullptr;

  void Report(const char* text) const {
    if (handler) {
      handler(context, text);
    } else {
      std::fprintf(stderr, "%s\n", text);
    }
  }
};

struct LibraryState {
  std::mutex mutex;
  ColourDepthState colour;
  GreyDepthState grey;
  dioptrix::blocks::SceneDepthState scene;
  DiagnosticTarget diagnostics;
};

LibraryState& State() {
  static LibraryState state;
  return state;
}

}  // namespace

int32_t CreateDepthMap_DLL(uint8_t* cur, const uint8_t* prev, double* cost, int32_t mode,
                           const uint8_t* dmap, int32_t w, int32_t h, double* pan) {
  try {
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    dioptrix::blocks::ColourDepthMap(state.colour, cur, prev, cost, mode, dmap, w, h, pan);
  } catch (...) {
  }
  return 0;
}

int32_t CreateDepthMapFast_DLL(uint8_t* cur, const uint8_t* /*prev*/, double* cost, int32_t mode,
                               const uint8_t* dmap, int32_t w, int32_t h, double* pan,
                               int32_t scale) {
  try {
    LibraryState& state = State();
    bool invalidAction = false;
    DiagnosticTarget target;
    {
      std::lock_guard lock(state.mutex);
      invalidAction =
          dioptrix::blocks::GreyDepthMap(state.grey, cur, cost, mode, dmap, w, h, pan, scale);
      target = state.diagnostics;
    }
    if (invalidAction) target.Report(dioptrix::blocks::kInvalidActionMessage);
  } catch (...) {
  }
  return 0;
}

int32_t CreateDepthMapScene_DLL(uint8_t* out, const uint8_t* cur, int32_t w, int32_t h,
                                int32_t reset, double* stats) {
  try {
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    dioptrix::blocks::SceneDepthStats found;
    const bool ran = dioptrix::blocks::SceneDepth(state.scene, out, cur, w, h, reset != 0, &found);
    if (ran && stats) {
      stats[0] = found.cut ? 1.0 : 0.0;
      stats[1] = found.panX;
      stats[2] = found.range;
      stats[3] = found.meanCost;
    }
  } catch (...) {
  }
  return 0;
}

int32_t MatchDepthMap_DLL(uint8_t* depth, const uint8_t* colour, int32_t w, int32_t h) {
  dioptrix::blocks::MatchDepthMap(depth, colour, w, h);
  return 0;
}

int32_t SetDiagnosticHandler_DLL(BlocksDiagnosticHandler* handler, void* context) {
  try {
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    state.diagnostics = {handler, context};
  } catch (...) {
  }
  return 0;
}
