#include "tagstamp/tagstamp.h"

#include <cstddef>

constexpr int32_t kStereoSignature = 0x4433564E;

/* Stores v at p as four little-endian bytes, whatever the alignment of p. */
namespace {
void Store32(uint8_t* p, int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
  p[2] = static_cast<uint8_t>(u >> 16);
  p[3] = static_cast<uint8_t>(u >> 24);
}
}  // namespace

int32_t MAKE_STEREO(uint8_t* base, int32_t offset, int32_t flags, int32_t width, int32_t height,
                    int32_t depth) {
  if (base == nullptr) return 0;
  uint8_t* p = base + static_cast<ptrdiff_t>(offset);
  /* The fields are stored in the order the driver's record was always
   * written: signature, depth, flags, width, height. */
  Store32(p, kStereoSignature);
  Store32(p + 12, depth);
  Store32(p + 16, flags);
  Store32(p + 4, width);
  Store32(p + 8, height);
  return 0;
}
