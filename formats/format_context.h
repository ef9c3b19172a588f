// What the stereo loaders and compositions work on: the program-wide frame
// images, the user's settings and the host that shows messages and knows the
// desktop size.
#pragma once

#include "formats/frame_images.h"
#include "platform/host.h"
#include "platform/settings.h"

namespace dioptrix {

struct FormatContext {
  FrameImages& frames;
  const Settings& settings;
  const Host& host;
};

}  // namespace dioptrix
