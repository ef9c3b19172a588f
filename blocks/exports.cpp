// The exported C entry points of the blocks library: the view synthesis
// kernels. The result carries no meaning; callers ignore it.
#include "blocks/blocks.h"
#include "blocks/make3d.h"

using dioptrix::blocks::Make3DFast;
using dioptrix::blocks::PixelBytes;

int32_t Make3D_DLL(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h,
                   float gain, int32_t offset, int32_t radius) {
  Make3DFast(out, src, dmap, w, h, gain, offset, radius, PixelBytes::All);
  return 0;
}

int32_t Make3DGrey_DLL(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h,
                       float gain, int32_t offset, int32_t radius) {
  Make3DFast(out, src, dmap, w, h, gain, offset, radius, PixelBytes::FirstOnly);
  return 0;
}
