// The playback driver: runs one playback from a PlayRequest. It opens the
// video stream, then for every frame fetches the decoded picture, turns it
// into a stereo pair by the input layout (with the 2D-to-3D conversion for
// layout 4), composes the pair for the output method, shows it on the
// display back-end and paces itself against the sound track or a clock. It
// keeps control until the playback ends; window events run once per frame
// (and while it waits), which is how Stop, keys and clicks reach it.
#pragma once

#include <cstdint>

#include "playback/play_request.h"
#include "playback/program.h"

namespace dioptrix {

inline constexpr const char* kInvalidInputFormat = "Invalid input video format. ";
inline constexpr const char* kInvalidOutputFormat = "Invalid output format.";
// Shown for a fault no routine of the playback reported itself.
inline constexpr const char* kPlayVideoError = "An error occurred in PlayVideo. ";

// Indexes of ProgramContext::StageTimes.
enum StageIndex { kStageGetFrame = 0, kStageDecode = 1, kStageEncode = 2, kStagePut = 3 };

// Runs one playback to its end. The request may be changed: FrameRate when
// UseStreamRate is 1, AudioMethod and AudioSync when the sound cannot be
// played.
//
// Frames the video source cannot deliver are skipped. A playback with Loop 1
// starts again only after a run that showed frames and reached the last one.
void PlayVideo(ProgramContext& ctx, PlayRequest& request);

// True when the source frames are already in the output layout (side by
// side shown side by side, or interleaved rows shown interlaced in a window):
// decoding and composing are skipped.
bool IsPassThrough(const PlayRequest& request);

// The running average of a stage: (average * 29 + seconds) / 30.
float AverageStageTime(float average, double seconds);

}  // namespace dioptrix
