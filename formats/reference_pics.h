// The loaders and compositions written out step by step with the image
// operations that define them: whole-image copies and crops, the engine's
// grey conversions and channel masks, copy, OR and stretching blits.
//
// The routines of load_pics.h and save_pics.h give the same pixels in single
// passes over reused images; they hand a frame to these versions when an
// input is missing or an intermediate image cannot be made, so that every
// failure is reported exactly as the step that meets it raises it. The tests
// compare both versions byte for byte.
#pragma once

#include "formats/format_context.h"

namespace dioptrix::reference {

// Loaders: one error trap around the routine; a failure gives up the frame.
void Load2D(const FormatContext& ctx);
void LoadAboveBelow(const FormatContext& ctx);
void LoadJPS(const FormatContext& ctx);
void LoadAnaglyph(const FormatContext& ctx);
void LoadAnaglyphColour(const FormatContext& ctx);

// Compositions: each statement trapped on its own; a failure is reported and
// the next statement runs.
void SaveSideBySide(const FormatContext& ctx);
void SaveAboveBelow(const FormatContext& ctx, bool quick);
void SaveAnaGray(const FormatContext& ctx);
void SaveAnaColour(const FormatContext& ctx);
void SaveAnaYellow(const FormatContext& ctx);

}  // namespace dioptrix::reference
