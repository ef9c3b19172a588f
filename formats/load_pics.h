// The input layouts: each loader splits SourceFrame into the two views of
// StereoPair (index 0 the left eye, 1 the right eye), replacing both.
//
// A loader that meets a run-time error shows "An error occurred in <name>. "
// with the error's description and gives up the frame; StereoPair keeps what
// was assigned before the failure. A SourceFrame that is nothing is reported
// as "Object variable not set". A source narrower or lower than 2 pixels
// leaves the above/below and side-by-side views nothing.
//
// The views are written in single passes; a view that already has the size a
// loader makes is rewritten in place rather than replaced by a new image.
#pragma once

#include "formats/format_context.h"

namespace dioptrix {

// The same picture in both views (two independent copies).
void Load2D(const FormatContext& ctx);
// Top half to the left view, bottom half to the right view; both round(H / 2)
// rows high, the bottom half starting at row round(H / 2).
void LoadAboveBelow(const FormatContext& ctx);
// Even scan lines (from the bottom) to the left view, odd ones to the right
// view, each line doubled; the height rounded down to even.
void LoadInterleaved(const FormatContext& ctx);
// Side by side, parallel: left half to the left view, right half to the right
// view; both round(W / 2) pixels wide, the right half from column round(W / 2).
void LoadJPS(const FormatContext& ctx);
// Red/cyan anaglyph to grey views: left (R, R, R), right round((B + G) / 2).
void LoadAnaglyph(const FormatContext& ctx);
// Red/cyan anaglyph to colour-channel views: left (0, 0, R), right (B, G, 0).
void LoadAnaglyphColour(const FormatContext& ctx);

}  // namespace dioptrix
