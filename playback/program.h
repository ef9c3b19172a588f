// The program context: every piece of program-wide state, owned in one place
// so that each test (and each run of the program) builds a fresh one. Routines
// take the context, or the parts of it they need, by reference.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "display/callback.h"
#include "display/display_backend.h"
#include "formats/frame_images.h"
#include "image/dib_section.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "platform/libraries.h"
#include "platform/settings.h"
#include "playback/audio.h"
#include "playback/conversion_state.h"
#include "playback/video_sources.h"
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

  // Playback. Running averages of the get frame, decode, encode and put
  // stages in seconds; they start at 0 and are never reset.
  std::array<float, 4> StageTimes{};
  int32_t CurrentFrame = 0;        // stream index of the frame being processed
  int16_t StopRequested = 0;       // 16-bit boolean (true = -1): ends the playback loop
  int16_t DisplayOpenPending = 0;  // true until the display is opened for the first frame
  CallbackActions Callbacks;       // what keys and clicks on the display do
  // Information lines about the last playback for the statistics (a film
  // without sound, a sound track that stopped); cleared when one starts.
  std::vector<std::string> PlaybackNotes;
  DisplayDevices Displays;  // the back-ends of the run, made on first use

  // Video sources: the stream being played and the rate the last detection read.
  VideoSourceState video;
  float FramesPerSecond = 0;

  // The sound track and the clock of clock pacing.
  AudioState audio;
};

}  // namespace dioptrix
