// Helpers shared by the tests: images filled with known or random bytes.
#pragma once

#include <cstdint>
#include <random>

#include "image/dib_section.h"

namespace dioptrix::test {

// A w x h image whose pixel bytes come from a seeded generator (padding 0).
DibPtr RandomImage(int32_t w, int32_t h, uint32_t seed);
// A w x h image filled with one colour.
DibPtr SolidImage(int32_t w, int32_t h, uint8_t b, uint8_t g, uint8_t r);
// Pixel bytes of (x, y), y counted from the bottom scan line.
uint8_t* PixelAt(const cDIBSection& img, int32_t x, int32_t scanLine);
// True when both images have the same size and the same pixel bytes
// (padding ignored).
bool SamePixels(const cDIBSection& a, const cDIBSection& b);

}  // namespace dioptrix::test
