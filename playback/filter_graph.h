// Audio method 3: the file rendered into a media graph (every stream of it),
// the picture path disconnected so that only the sound plays, and the graph
// run from the first frame's position. The graph is a SoundBackend opened
// for every stream; its elements and pads are found by name.
#pragma once

#include <string>

namespace dioptrix {

struct ProgramContext;

// Messages of the graph routines (each followed by the fault's description).
inline constexpr const char* kGraphBuildError =
    "An error occurred while generating the audio filter graph: ";
inline constexpr const char* kGraphVideoError =
    "An error occurred while configuring video filters: ";
inline constexpr const char* kGraphStartError =
    "An error occurred while starting filter playback: ";
inline constexpr const char* kGraphStopError = "An error occurred while stopping filter playback: ";
inline constexpr const char* kNoVideoFilter = "Unable to find a recognised video filter.";

// The graph's states.
inline constexpr int32_t kGraphStopped = 0;
inline constexpr int32_t kGraphRunning = 2;

// Releases the previous graph and renders the file at path into a new one.
// False (with the message shown, and no graph) when it cannot be rendered.
bool BuildAudioGraph(ProgramContext& ctx, const std::string& path);
// Disconnects every pad whose name speaks of video ("video", "stream 00",
// "raw video") and every pad of a video renderer. Shows kNoVideoFilter when
// no video pad outside a renderer was found (and when there is no graph).
// True unless a fault was shown.
bool RemoveVideoPath(ProgramContext& ctx);
// Plays the graph from seconds. True without a graph (nothing plays).
bool RunGraphFrom(ProgramContext& ctx, double seconds);
bool StopGraph(ProgramContext& ctx);
// The graph's position in seconds: 0 without a graph; the last known
// position when the graph cannot tell.
double GraphPosition(ProgramContext& ctx);
// Whether the graph holds a sound track.
bool GraphHasSound(const ProgramContext& ctx);

}  // namespace dioptrix
