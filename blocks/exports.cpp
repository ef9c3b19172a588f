// The exported C entry points of the blocks library.
#include "blocks/blocks.h"

int32_t Make3D_DLL(uint8_t*, const uint8_t*, uint8_t*, int32_t, int32_t, float, int32_t, int32_t) {
  return 0;
}
int32_t Make3DGrey_DLL(uint8_t*, const uint8_t*, uint8_t*, int32_t, int32_t, float, int32_t,
                       int32_t) {
  return 0;
}
