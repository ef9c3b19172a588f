// The converter's guess of a film's stereo layout. It looks at several frames,
// leaves out uniform bars at the edges (letterbox, pillarbox, a black edge of
// a few pixels), and names a stereo layout only on clear evidence: the two
// halves must show the same scene, allowing for the small sideways shift
// between the eyes. In doubt the film counts as 2D.
//
// The player keeps its own rule for opening files; this one is for the
// converter, whose output a wrong guess would spoil for good.
#pragma once

#include <cstdint>

#include "platform/video/video_file.h"

namespace dioptrix {

struct StereoGuess {
  int16_t layout = 3;  // InputLayout code: 3 plain 2D, 5 side by side, 1 above/below
  // How alike the halves are at their best alignment (normalised correlation,
  // -1 .. 1), the median over the samples that show any detail.
  double sideBySide = 0;
  double aboveBelow = 0;
  int32_t samples = 0;  // frames that showed enough detail to judge
  // The picture inside the bars, in pixels from the top-left corner.
  int32_t left = 0, top = 0, width = 0, height = 0;
};

// Halves that correlate at least this well show the same scene.
inline constexpr double kSameSceneCorrelation = 0.7;

StereoGuess GuessStereoLayout(VideoFile& video);

}  // namespace dioptrix
