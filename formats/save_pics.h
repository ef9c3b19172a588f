// The output compositions: each turns the two views of StereoPair into the
// one picture in OutputFrame that the chosen glasses need, replacing it.
//
// The pair width and height are the larger width and height of the views.
// Views of different sizes line up at their top-left corners; nothing is read
// past a view, and whatever a smaller view does not cover stays black.
//
// A composition that meets a run-time error shows "An error occurred in
// <name>. Attempting to continue. " with the error's description and goes on
// with its next step, so a frame is still produced where possible; a missing
// view is reported as "Object variable not set".
//
// The compositions write OutputFrame in single passes; an OutputFrame that
// already has the size a composition makes is rewritten in place.
#pragma once

#include "formats/format_context.h"

namespace dioptrix {

// The left view on the left half and the right view on the right half of a
// (2 W) x H picture; no scaling.
void SaveSideBySide(const FormatContext& ctx);
// The left view squeezed into the top and the right view into the bottom of a
// picture that fits the fullscreen mode, with ScreenHeight / VertFactor black
// rows between them. quick: nearest stretch, else averaging stretch.
void SaveAboveBelow(const FormatContext& ctx, bool quick);
// Red/cyan anaglyph of grey views: R = mean of the left pixel, G = B = mean
// of the right pixel. The picture has the left view's size.
void SaveAnaGray(const FormatContext& ctx);
// Red/cyan anaglyph: R = luminance of the left pixel, G and B of the right.
void SaveAnaColour(const FormatContext& ctx);
// Blue/yellow anaglyph: R and G of the left pixel, B = luminance of the right.
void SaveAnaYellow(const FormatContext& ctx);
// Row-interleaved picture, pair width by the scaled height rounded down to
// even: even scan lines (from the bottom) from the right view, odd ones from
// the left view, both of a pair of lines from one source line. fit scales the
// pair to the fullscreen mode (InterlaceViaOpenGL) or the desktop, keeping
// the row order; otherwise the scale is 1.
void SaveInterlace(const FormatContext& ctx, bool fit);

}  // namespace dioptrix
