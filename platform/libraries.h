// The program's side of the two shared libraries: each export is reached
// through a binding made by name at its first call. A library or export that
// cannot be found raises a RuntimeError from the call, which the calling
// routine reports with its own message.
#pragma once

#include <cstdint>
#include <string>

#include "blocks/blocks.h"
#include "platform/host.h"
#include "platform/library.h"
#include "tagstamp/tagstamp.h"

namespace dioptrix {

class BlocksLibrary {
 public:
  // host, when given, receives the library's diagnostics as messages; it must
  // outlive this object. searchDir replaces the executable's folder as the
  // first place to look for libblocks.so.
  explicit BlocksLibrary(const Host* host = nullptr, std::string searchDir = {})
      : host_(host), binding_("blocks", std::move(searchDir)) {}

  int32_t Make3D_DLL(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h,
                     float gain, int32_t offset, int32_t radius) {
    return Resolve(make3d_, "Make3D_DLL")(out, src, dmap, w, h, gain, offset, radius);
  }
  int32_t Make3DGrey_DLL(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h,
                         float gain, int32_t offset, int32_t radius) {
    return Resolve(make3dGrey_, "Make3DGrey_DLL")(out, src, dmap, w, h, gain, offset, radius);
  }
  int32_t CreateDepthMap_DLL(uint8_t* cur, const uint8_t* prev, double* cost, int32_t mode,
                             const uint8_t* dmap, int32_t w, int32_t h, double* pan) {
    return Resolve(createDepthMap_, "CreateDepthMap_DLL")(cur, prev, cost, mode, dmap, w, h, pan);
  }
  int32_t CreateDepthMapFast_DLL(uint8_t* cur, const uint8_t* prev, double* cost, int32_t mode,
                                 const uint8_t* dmap, int32_t w, int32_t h, double* pan,
                                 int32_t scale) {
    return Resolve(createDepthMapFast_, "CreateDepthMapFast_DLL")(cur, prev, cost, mode, dmap, w, h,
                                                                  pan, scale);
  }
  int32_t CreateDepthMapScene_DLL(uint8_t* out, const uint8_t* cur, int32_t w, int32_t h,
                                  int32_t reset, double* stats) {
    return Resolve(createDepthMapScene_, "CreateDepthMapScene_DLL")(out, cur, w, h, reset, stats);
  }
  int32_t MatchDepthMap_DLL(uint8_t* depth, const uint8_t* colour, int32_t w, int32_t h) {
    return Resolve(matchDepthMap_, "MatchDepthMap_DLL")(depth, colour, w, h);
  }

  LibraryBinding& Binding() { return binding_; }

 private:
  template <class Fn>
  Fn* Resolve(Fn*& cached, const char* name) {
    if (!cached) {
      const bool first = !binding_.Loaded();
      cached = binding_.Function<Fn>(name);
      if (first) RegisterDiagnostics();
    }
    return cached;
  }
  void RegisterDiagnostics();
  static void OnDiagnostic(void* context, const char* text);

  const Host* host_;
  LibraryBinding binding_;
  decltype(::Make3D_DLL)* make3d_ = nullptr;
  decltype(::Make3DGrey_DLL)* make3dGrey_ = nullptr;
  decltype(::CreateDepthMap_DLL)* createDepthMap_ = nullptr;
  decltype(::CreateDepthMapFast_DLL)* createDepthMapFast_ = nullptr;
  decltype(::CreateDepthMapScene_DLL)* createDepthMapScene_ = nullptr;
  decltype(::MatchDepthMap_DLL)* matchDepthMap_ = nullptr;
};

class TagstampLibrary {
 public:
  explicit TagstampLibrary(std::string searchDir = {})
      : binding_("tagstamp", std::move(searchDir)) {}

  int32_t MAKE_STEREO(uint8_t* base, int32_t offset, int32_t flags, int32_t width, int32_t height,
                      int32_t depth) {
    if (!makeStereo_) makeStereo_ = binding_.Function<decltype(::MAKE_STEREO)>("MAKE_STEREO");
    return makeStereo_(base, offset, flags, width, height, depth);
  }

  LibraryBinding& Binding() { return binding_; }

 private:
  LibraryBinding binding_;
  decltype(::MAKE_STEREO)* makeStereo_ = nullptr;
};

// Both libraries, as one program holds them.
struct Libraries {
  explicit Libraries(const Host* host = nullptr, std::string searchDir = {})
      : blocks(host, searchDir), tagstamp(searchDir) {}
  BlocksLibrary blocks;
  TagstampLibrary tagstamp;
};

}  // namespace dioptrix
