// Routines that replace an image reference by an image derived from it. The
// image a reference held before is released when it is replaced.
#pragma once

#include <cstdint>

#include "image/dib_section.h"

namespace dioptrix {

// image := image.Crop(...). A reference that is nothing raises the "object not
// set" error; a crop that cannot be made leaves the reference nothing.
void CropDib(DibPtr& image, int32_t lNewHeight, int32_t lNewWidth, int32_t lNewLeft,
             int32_t lNewTop);
// dest := source.Crop(...); the source is untouched.
void CropDibTo(const DibPtr& source, DibPtr& dest, int32_t lNewHeight, int32_t lNewWidth,
               int32_t lNewLeft, int32_t lNewTop, bool clear = true);
// dest := source.CopyOf(); the source is untouched.
void CopyDib(const DibPtr& source, DibPtr& dest, bool clear = true);
// image := image.Resample(...).
void ResampleDib(DibPtr& image, int32_t lNewHeight, int32_t lNewWidth, bool v_blnInterpolate);

}  // namespace dioptrix
