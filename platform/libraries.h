// The program's side of the two shared libraries: each export is reached
// through a binding made by name at its first call. A library or export that
// cannot be found raises a RuntimeError from the call, which the calling
// routine reports with its own message.
#pragma once

#include <cstdint>
#include <string>

#include "blocks/blocks.h"
#include "platform/library.h"
#include "tagstamp/tagstamp.h"

namespace dioptrix {

class BlocksLibrary {
 public:
  explicit BlocksLibrary(std::string searchDir = {}) : binding_("blocks", std::move(searchDir)) {}

  int32_t Make3D_DLL(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h,
                     float gain, int32_t offset, int32_t radius) {
    return Resolve(make3d_, "Make3D_DLL")(out, src, dmap, w, h, gain, offset, radius);
  }
  int32_t Make3DGrey_DLL(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h,
                         float gain, int32_t offset, int32_t radius) {
    return Resolve(make3dGrey_, "Make3DGrey_DLL")(out, src, dmap, w, h, gain, offset, radius);
  }

  LibraryBinding& Binding() { return binding_; }

 private:
  template <class Fn>
  Fn* Resolve(Fn*& cached, const char* name) {
    if (!cached) cached = binding_.Function<Fn>(name);
    return cached;
  }

  LibraryBinding binding_;
  decltype(::Make3D_DLL)* make3d_ = nullptr;
  decltype(::Make3DGrey_DLL)* make3dGrey_ = nullptr;
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
  BlocksLibrary blocks;
  TagstampLibrary tagstamp;
};

}  // namespace dioptrix
