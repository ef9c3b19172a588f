// Rectangle blits between images. Coordinates have their origin at the
// top-left corner of each picture (x right, y down) whatever the bottom-up
// order in memory. Every blit is clipped to both images: destination pixels
// outside the destination, or whose source lies outside the source, are left
// as they are. Source and destination may be the same image.
#pragma once

#include <cstdint>

#include "image/dib_section.h"

namespace dioptrix {

// Stretch modes of StretchBlt (the values of the platform's codes).
enum StretchMode : int32_t {
  kColorOnColor = 3,  // nearest: pick source pixels, no averaging
  kHalftone = 4,      // average the source pixels covering each destination pixel
};

// Copies (kSrcCopy) or ORs (kSrcPaint) the w x h rectangle at (sx, sy) of src
// onto (dx, dy) of dst. False when the raster operation is unknown.
bool BitBlt(cDIBSection& dst, int32_t dx, int32_t dy, int32_t w, int32_t h, const cDIBSection& src,
            int32_t sx, int32_t sy, RasterOp rop);

// Scales the sw x sh rectangle at (sx, sy) of src onto the dw x dh rectangle
// at (dx, dy) of dst. Nearest mode takes the source pixel under the centre of
// each destination pixel; halftone averages the source pixels whose area the
// destination pixel covers. False (nothing drawn) for non-positive sizes or an
// unknown mode.
bool StretchBlt(cDIBSection& dst, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                const cDIBSection& src, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                StretchMode mode);

}  // namespace dioptrix
