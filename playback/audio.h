// The sound track of a playback and the clocks the frame pacing runs on.
//
// Three audio methods, chosen by the request's AudioMethod: 3 a media graph
// (playback/filter_graph.h) and 1 media devices driven by command strings
// (playback/media.h), both on the platform's media service and both pacing
// the frames by their position, and 0 no sound, a high-resolution clock
// instead. OpenAudio starts the sound at the first frame to be shown and
// CloseAudio stops it at the end of every run of the playback loop. A film
// without a sound track falls back to the clock without a message.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/sound/sound_backend.h"
#include "playback/media.h"
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

// The audio side of the program context.
struct AudioState {
  // Makes the media player behind methods 1 and 3 (GStreamer in the
  // program, fakes in tests); without one those methods fail to open and the
  // playback falls back to clock pacing.
  SoundBackendFactory makeSound;
  // Installs the media player's factory for both methods.
  void SetSoundFactory(const SoundBackendFactory& make) {
    makeSound = make;
    mci.SetFactory(make);
  }

  // Method 3: the graph (a player opened for every stream), its state, and
  // the last position it gave.
  std::unique_ptr<SoundBackend> graph;
  int32_t GraphState = 0;
  double graphPosition = 0;

  // Method 1: the devices of the command strings, and the two command
  // records, kept for the whole run.
  MciDevices mci;
  MciSetRecord mciSet;
  MciStatusRecord mciStatus;

  // The clock of method 0 (and of the pacing once a sound track stops).
  ClockSource* clock = &SteadyClockSource();
  // Exist only while the playback paces by the clock.
  std::optional<IntervalTimer> AudioClock;
  double AudioClockFrequency = 0;
};

// The line the statistics show for a film without a sound track.
inline constexpr const char* kNoSoundTrackNote =
    "The film has no sound track: the picture was paced by the clock.";

// Starts the sound track of the request (see the file comment). False when
// it could not be started; the message has been shown.
bool OpenAudio(ProgramContext& ctx, const PlayRequest& request);
// Stops what OpenAudio started for the request's method.
void CloseAudio(ProgramContext& ctx, const PlayRequest& request);

// Adds a line to the notes the statistics show about the playback, unless
// it is there already.
void AddPlaybackNote(ProgramContext& ctx, const std::string& note);
// Notes that the film has no sound track.
void NoteNoSoundTrack(ProgramContext& ctx);

}  // namespace dioptrix
