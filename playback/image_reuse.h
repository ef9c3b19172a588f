// Replacing a program-wide image by a copy or by a blank image, reusing the
// pixel memory of the image it held when the size is the same. The result is
// always an image of its own: nothing is shared between references.
#pragma once

#include <cstdint>

#include "image/dib_section.h"

namespace dioptrix {

// dest := a copy of source. Raises "object not set" when source is nothing;
// an empty source, or a copy that cannot be made, leaves dest nothing.
void ReplaceWithCopy(const DibPtr& source, DibPtr& dest);
// dest := a black w x h image. Raises "invalid argument" for a size below 1
// and "out of memory" when memory is short (dest nothing in both cases).
void ReplaceWithBlank(DibPtr& dest, int32_t w, int32_t h);

}  // namespace dioptrix
