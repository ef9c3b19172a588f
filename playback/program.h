// The program context: every piece of program-wide state, owned in one place
// so that each test (and each run of the program) builds a fresh one. Routines
// take the context, or the parts of it they need, by reference.
#pragma once

#include <string>
#include <utility>

#include "formats/frame_images.h"
#include "image/dib_section.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "platform/libraries.h"
#include "platform/settings.h"
#include "playback/conversion_state.h"
#include "process/image_process.h"

namespace dioptrix {

struct ProgramContext {
  // libraryDir, when not empty, is where libblocks.so and libtagstamp.so are
  // looked for first instead of the executable's folder.
  explicit ProgramContext(std::string libraryDir = {})
      : libraries(&host, std::move(libraryDir)), TimerFrequency(StageTimer.Frequency()) {}
  ProgramContext(const ProgramContext&) = delete;
  ProgramContext& operator=(const ProgramContext&) = delete;

  Host host;
  Settings settings;
  FrameImages frames;
  EngineArrays arrays;
  Libraries libraries;  // after host: the blocks library reports through it

  // Frame conversion.
  ConversionState conversion;
  DibPtr HeldFrame;       // the frame kept for frame shift
  DibPtr ReferenceFrame;  // second picture handed to the depth kernel (not read by it)

  // Timing shared by the playback stages and the conversion step.
  CTime StageTimer;
  double TimerFrequency = 0;  // counts per second of StageTimer
  float MeanFrameTime = 0;    // running average of the conversion time, seconds
};

}  // namespace dioptrix
