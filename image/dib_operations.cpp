#include "image/dib_operations.h"

namespace dioptrix {

// Each destination reference owns its image alone, so the image it held is
// released when the reference is replaced; the clear flag changes nothing.

void CropDib(DibPtr& image, int32_t lNewHeight, int32_t lNewWidth, int32_t lNewLeft,
             int32_t lNewTop) {
  image = Need(image).Crop(lNewHeight, lNewWidth, lNewLeft, lNewTop);
}

void CropDibTo(const DibPtr& source, DibPtr& dest, int32_t lNewHeight, int32_t lNewWidth,
               int32_t lNewLeft, int32_t lNewTop, bool /*clear*/) {
  dest = Need(source).Crop(lNewHeight, lNewWidth, lNewLeft, lNewTop);
}

void CopyDib(const DibPtr& source, DibPtr& dest, bool /*clear*/) { dest = Need(source).CopyOf(); }

void ResampleDib(DibPtr& image, int32_t lNewHeight, int32_t lNewWidth, bool v_blnInterpolate) {
  image = Need(image).Resample(lNewHeight, lNewWidth, v_blnInterpolate);
}

}  // namespace dioptrix
