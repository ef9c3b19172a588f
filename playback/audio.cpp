#include "playback/audio.h"

#include <chrono>
#include <cmath>
#include <string>

#include "platform/error.h"
#include "playback/filter_graph.h"
#include "playback/media.h"
#include "playback/play_request.h"
#include "playback/program.h"

namespace dioptrix {

namespace {

class SteadyClock final : public ClockSource {
 public:
  int64_t Counter() override {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  int64_t CountsPerSecond() override { return 1'000'000'000; }
};

void Unsupported(const ProgramContext& ctx, int16_t method) {
  ctx.host.Message(kUnsupportedAudioSource + std::to_string(method));
}

// The frame rate as a divisor: zero raises "Division by zero".
double Divisor(double frameRate) {
  if (frameRate == 0) RaiseDivisionByZero();
  return frameRate;
}

// Where method 1 starts playing: the whole milliseconds not above
// StartFrame / FrameRate seconds.
int32_t StartMilliseconds(const PlayRequest& request) {
  const double ms = std::floor(request.StartFrame * 1000.0 / Divisor(request.FrameRate));
  if (!(ms >= INT32_MIN && ms <= INT32_MAX)) RaiseOverflow();
  return static_cast<int32_t>(ms);
}

}  // namespace

ClockSource& SteadyClockSource() {
  static SteadyClock clock;
  return clock;
}

double IntervalTimer::Frequency() {
  const int64_t frequency = clock_->CountsPerSecond();
  if (frequency <= 0) {
    throw RuntimeError(kErrNoHighResolutionTimer, "Fast Timer Demo",
                       "The hardware does not support high resolution timing");
  }
  return static_cast<double>(frequency);
}

bool OpenAudio(ProgramContext& ctx, const PlayRequest& request) {
  AudioState& audio = ctx.audio;
  bool result = false;
  TrapErrors(ctx.host, kAudioErrorPrefix, [&] {
    switch (request.AudioMethod) {
      case kAudioClock: {
        audio.AudioClock.reset();
        IntervalTimer timer(*audio.clock);
        audio.AudioClockFrequency = timer.Frequency();
        timer.StartTimer();
        audio.AudioClock = timer;
        result = true;
        break;
      }
      case kAudioMci: {
        const int32_t startMs = StartMilliseconds(request);
        const int32_t r = MciOpenPlay(ctx, request.AudioPath, startMs, "notify");
        if (r == 0) {
          result = true;
        } else if (r == kMciOpenNoSound) {
          NoteNoSoundTrack(ctx);
        } else if (r == -1) {
          ctx.host.Message(kUnableToOpenAudio);
        } else {
          ctx.host.Message(kLoadedButNotPlaying);
        }
        break;
      }
      case kAudioGraph: {
        const double seconds = request.StartFrame / Divisor(request.FrameRate);
        // Both steps run: the second reports on its own when the first left
        // no graph to work on.
        const bool built = BuildAudioGraph(ctx, request.AudioPath);
        if (built && !GraphHasSound(ctx)) {
          ctx.audio.graph.reset();
          NoteNoSoundTrack(ctx);
          break;
        }
        const bool cut = RemoveVideoPath(ctx);
        if (!(built && cut)) ctx.host.Message(kUnableToPlayTrack);
        // A graph that could not be built does not decide the result by
        // itself: the run's answer does.
        result = RunGraphFrom(ctx, seconds);
        break;
      }
      default:
        Unsupported(ctx, request.AudioMethod);
        break;
    }
  });
  return result;
}

void NoteNoSoundTrack(ProgramContext& ctx) { AddPlaybackNote(ctx, kNoSoundTrackNote); }

void CloseAudio(ProgramContext& ctx, const PlayRequest& request) {
  AudioState& audio = ctx.audio;
  switch (request.AudioMethod) {
    case kAudioClock:
      audio.AudioClock.reset();
      break;
    case kAudioMci:
      MciClose(ctx);
      break;
    case kAudioGraph:
      StopGraph(ctx);
      break;
    default:
      Unsupported(ctx, request.AudioMethod);
      break;
  }
}

void AddPlaybackNote(ProgramContext& ctx, const std::string& note) {
  for (const std::string& n : ctx.PlaybackNotes)
    if (n == note) return;
  ctx.PlaybackNotes.push_back(note);
}

}  // namespace dioptrix
