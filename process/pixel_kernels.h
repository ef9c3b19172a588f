// The per-frame pixel conversions behind cImageProcessDIB's GrayScale,
// GrayScale_stand and ColourMask. Each comes twice: a plain form that reads
// like its formula, and a fast form (the table entry of this processor's best
// level, platform/cpu.h) that leaves exactly the same bytes, raises the same errors and, on
// an error, has written the same pixels. Both work in place, scan line by scan
// line from line 0, and never touch the padding bytes.
#pragma once

#include <cstdint>

#include "image/dib_section.h"
#include "platform/cpu.h"

namespace dioptrix::pixel_kernels {

// B, G, R := round((B + G + R) / divisor), ties to even. Divisor 0 raises
// "Division by zero"; a rounded value outside 0..255 raises "Overflow".
void GrayScalePlain(cDIBSection& img, int32_t divisor);
void GrayScaleFast(cDIBSection& img, int32_t divisor);

// B, G, R := round((707 G + 222 R + 71 B) / 1000), ties to even.
void GrayScaleStandPlain(cDIBSection& img);
void GrayScaleStandFast(cDIBSection& img);

// Each byte := the low 8 bits of byte * mask of its channel.
void ColourMaskPlain(cDIBSection& img, uint8_t blue, uint8_t green, uint8_t red);
void ColourMaskFast(cDIBSection& img, uint8_t blue, uint8_t green, uint8_t red);

// The three conversions of one processor level.
struct PixelKernels {
  CpuLevel level;
  void (*grayScale)(cDIBSection& img, int32_t divisor);
  void (*grayScaleStand)(cDIBSection& img);
  void (*colourMask)(cDIBSection& img, uint8_t blue, uint8_t green, uint8_t red);
};

// The kernels of a level; a level this processor lacks, or that has no
// versions of its own, gives the highest level below it that has.
const PixelKernels& PixelKernelsFor(CpuLevel level);

}  // namespace dioptrix::pixel_kernels
