// The program-wide images of the frame pipeline. Each is replaced, never
// shared: a routine that replaces one releases the image it held.
#pragma once

#include <array>

#include "image/dib_section.h"

namespace dioptrix {

struct FrameImages {
  DibPtr SourceFrame;                // the decoded input frame
  std::array<DibPtr, 2> StereoPair;  // 0 left view, 1 right view
  DibPtr OutputFrame;                // the composed frame for the display
};

}  // namespace dioptrix
