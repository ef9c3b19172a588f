// Screen-size routines shared by the display back-ends.
#pragma once

#include <cstdint>

#include "platform/host.h"

namespace dioptrix {

// The desktop's width and height in pixels.
int32_t ScreenPixelWidth(const Host& host);
int32_t ScreenPixelHeight(const Host& host);

// Fits a w x h source into a screenW x screenH screen keeping its aspect:
// w and h become the fitted size (both made even), x and y the offsets that
// centre it. A source or screen with no area leaves w and h as they are and
// the offsets 0.
void FitToScreen(int32_t& w, int32_t& h, int32_t& x, int32_t& y, int32_t screenW, int32_t screenH);

}  // namespace dioptrix
