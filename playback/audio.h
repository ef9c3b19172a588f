// The sound track of a playback and the clocks the frame pacing runs on.
//
// Three audio methods, chosen by the request's AudioMethod: 3 a media graph
// and 1 a command-driven media player (both through an AudioTrack, whose
// position paces the frames), and 0 no sound, a high-resolution clock
// instead. OpenAudio starts the sound at the first frame to be shown and
// CloseAudio stops it at the end of every run of the playback loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "playback/play_request.h"

namespace dioptrix {

struct ProgramContext;

// Messages of the audio dispatch.
inline constexpr const char* kAudioErrorPrefix =
    "An error occurred while attempting to play the audio track. ";
inline constexpr const char* kUnableToOpenAudio = "Unable to open audio.";
inline constexpr const char* kLoadedButNotPlaying = "Loaded, but could not play audio.";
inline constexpr const char* kUnableToPlayTrack = "Unable to play the audio track.";
inline constexpr const char* kUnsupportedAudioSource = "Unsupported audio source: ";

// Raised by an interval timer whose clock has no high-resolution counter.
inline constexpr int32_t kErrNoHighResolutionTimer = -2147220504;  // object base + 1000

// A source of high-resolution counts. The playback uses the steady clock;
// tests install a fake one so that nothing waits in real time.
class ClockSource {
 public:
  virtual ~ClockSource() = default;
  // Counts since an arbitrary origin; never decreases.
  virtual int64_t Counter() = 0;
  // Counts per second; 0 when there is no high-resolution counter.
  virtual int64_t CountsPerSecond() = 0;
};

// std::chrono::steady_clock in nanoseconds. Stateless; shared by every
// context that does not install a clock of its own.
ClockSource& SteadyClockSource();

// An interval timer over a ClockSource (the same methods as CTime).
class IntervalTimer {
 public:
  explicit IntervalTimer(ClockSource& clock) : clock_(&clock) {}
  void StartTimer() { startCount_ = clock_->Counter(); }
  void StopTimer() { stopCount_ = clock_->Counter(); }
  // Counts between the last StartTimer and StopTimer.
  double Elapsed() const { return static_cast<double>(stopCount_ - startCount_); }
  // Counts per second. Raises kErrNoHighResolutionTimer ("The hardware does
  // not support high resolution timing") when the clock has no counter.
  double Frequency();

 private:
  ClockSource* clock_;
  int64_t startCount_ = 0;
  int64_t stopCount_ = 0;
};

// The media player behind audio methods 1 and 3; a GStreamer player in the
// application, a fake in tests. Implementations report their own failures
// through the host and do not throw.
class AudioTrack {
 public:
  virtual ~AudioTrack() = default;

  // Method 1. Opens path (closing what was open) and plays it from startMs
  // with the given notify text. 0 when playing, -1 when the file could not be
  // opened, any other value when it was loaded but does not play.
  virtual int32_t MciOpenPlay(const std::string& path, int32_t startMs,
                              const std::string& notify) = 0;
  // Stops and closes what MciOpenPlay opened; nothing when nothing is open.
  virtual void MciClose() = 0;
  // The playing position in milliseconds.
  virtual int32_t MciPosition() = 0;

  // Method 3. Builds a graph that plays every stream of the file at path.
  virtual bool BuildAudioGraph(const std::string& path) = 0;
  // Disconnects the picture path of the graph so that only the sound plays.
  virtual bool RemoveVideoPath() = 0;
  // Seeks the graph to seconds and runs it.
  virtual bool RunGraphFrom(double seconds) = 0;
  virtual bool StopGraph() = 0;
  // The graph's position in seconds; negative when it has none.
  virtual double GraphPosition() = 0;
};

// The audio side of the program context.
struct AudioState {
  // The player of methods 1 and 3; without one those methods fail to open
  // and the playback falls back to clock pacing.
  AudioTrack* track = nullptr;
  // The clock of method 0 (and of nothing else).
  ClockSource* clock = &SteadyClockSource();
  // Exist only while a run with method 0 is active.
  std::optional<IntervalTimer> AudioClock;
  double AudioClockFrequency = 0;
};

// Starts the sound track of the request (see the file comment). False when
// it could not be started; the message has been shown.
bool OpenAudio(ProgramContext& ctx, const PlayRequest& request);
// Stops what OpenAudio started for the request's method.
void CloseAudio(ProgramContext& ctx, const PlayRequest& request);

// The playing position of methods 1 (milliseconds) and 3 (seconds); 0 and -1
// when no player is installed.
int32_t MciPosition(ProgramContext& ctx);
double GraphPosition(ProgramContext& ctx);

}  // namespace dioptrix
