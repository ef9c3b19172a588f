#include "playback/vid_play.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "display/callback.h"
#include "display/dispatch.h"
#include "formats/format_context.h"
#include "formats/load_pics.h"
#include "formats/save_pics.h"
#include "platform/error.h"
#include "playback/audio.h"
#include "playback/convert.h"
#include "playback/filter_graph.h"
#include "playback/media.h"
#include "playback/video_sources.h"

namespace dioptrix {

namespace {

// The frame a position of the sound track has reached: the nearest integer
// (ties to even), held to the 32-bit range. A position that is no number
// leaves the frame where it is.
int64_t NearestFrame(double frames, int64_t current) {
  if (std::isnan(frames)) return current;
  return static_cast<int64_t>(
      std::nearbyint(std::clamp(frames, double{INT32_MIN}, double{INT32_MAX})));
}

// Closes the sound track of a run however the run ends.
class AudioRun {
 public:
  AudioRun(ProgramContext& ctx, const PlayRequest& request) : ctx_(ctx), request_(request) {}
  ~AudioRun() { CloseAudio(ctx_, request_); }
  AudioRun(const AudioRun&) = delete;
  AudioRun& operator=(const AudioRun&) = delete;

 private:
  ProgramContext& ctx_;
  const PlayRequest& request_;
};

class Playback {
 public:
  Playback(ProgramContext& ctx, PlayRequest& request, DisplayContext& display)
      : ctx_(ctx),
        request_(request),
        display_(display),
        formats_{ctx.frames, ctx.settings, ctx.host},
        passThrough_(IsPassThrough(request)) {}

  void Run() {
    ctx_.DisplayOpenPending = kTrue;
    ctx_.StopRequested = kFalse;

    const VideoSourceState& video = ctx_.video;
    auto source = std::make_unique<cDIBSection>();
    if (!source->Create(video.FrameHeader.biWidth, video.FrameHeader.biHeight))
      throw RuntimeError(kErrOutOfMemory);
    ctx_.frames.SourceFrame = std::move(source);

    const int64_t first = int64_t{request_.StartFrame} + video.StreamStart;
    const int64_t last = int64_t{video.StreamStart} + video.StreamLength - 1;
    for (;;) {
      StartAudio();
      bool reachedEnd = false;
      int64_t shown = 0;
      {
        AudioRun audio(ctx_, request_);
        reachedEnd = RunFrames(first, last, shown);
      }
      EndSoundWatch();
      // Only a run that showed frames and ran to its end starts again: a run
      // that showed nothing, or ended on an error, would repeat forever.
      if (ctx_.StopRequested != kFalse || request_.Loop != 1 || !reachedEnd || shown == 0) break;
    }
  }

 private:
  bool Stopped() const { return ctx_.StopRequested != kFalse; }

  void StartAudio() {
    if (OpenAudio(ctx_, request_)) return;
    request_.AudioMethod = kAudioClock;
    if (!OpenAudio(ctx_, request_)) request_.AudioSync = 0;
  }

  void Average(StageIndex stage) {
    ctx_.StageTimer.StopTimer();
    const double frequency = ctx_.TimerFrequency;
    const double seconds = frequency > 0 ? ctx_.StageTimer.Elapsed() / frequency : 0.0;
    ctx_.StageTimes[stage] = AverageStageTime(ctx_.StageTimes[stage], seconds);
  }

  // Frames first..last; true when the run went past the last frame, false
  // when a stop request, a frame that could not be shown or an invalid
  // layout ended it. shown counts the frames put on the display.
  bool RunFrames(int64_t first, int64_t last, int64_t& shown) {
    for (int64_t n = first; n <= last; ++n) {
      ctx_.CurrentFrame = static_cast<int32_t>(n);
      ctx_.StageTimer.StartTimer();
      if (!FetchFrame(n)) {
        // Nothing to show for this index: go on with the next one, still
        // letting window events run.
        ctx_.host.PumpEvents();
        if (Stopped()) return false;
        continue;
      }
      Average(kStageGetFrame);

      if (passThrough_) {
        CopySourceToOutput();
      } else {
        ctx_.StageTimer.StartTimer();
        if (!Decode()) return false;
        Average(kStageDecode);
        ctx_.StageTimer.StartTimer();
        Encode();
        Average(kStageEncode);
      }

      if (ctx_.DisplayOpenPending != kFalse) {
        OpenOutputDisplay(display_, request_.Output());
        SetCallbackActions(ctx_.Callbacks, 2, 0, 2);
        ctx_.DisplayOpenPending = kFalse;
      }

      ctx_.StageTimer.StartTimer();
      // Clock pacing holds the frame one frame period from here.
      if (ctx_.audio.AudioClock) ctx_.audio.AudioClock->StartTimer();
      const bool ok = ShowOutputFrame(display_, request_.Output(), true);
      Average(kStagePut);
      if (!ok) {
        ctx_.StopRequested = kTrue;
        return false;
      }
      ++shown;

      ctx_.host.PumpEvents();
      if (Stopped()) return false;
      if (request_.AudioSync == 1 && !Pace(n)) return false;
    }
    return true;
  }

  // Copies frame n into SourceFrame; false when the source has no picture.
  bool FetchFrame(int64_t n) {
    // A stream whose frames are exactly SourceFrame's picture is decoded
    // straight into it, sparing a copy of every frame.
    const FrameSource* stream = ctx_.video.Stream.get();
    cDIBSection* target = ctx_.frames.SourceFrame.get();
    if (stream && target && !target->Empty() && stream->Width() == target->Width() &&
        stream->Height() == target->Height() && ctx_.video.FrameBytes > 0 &&
        static_cast<size_t>(ctx_.video.FrameBytes) == target->ImageSize()) {
      return GetFrameInto(ctx_, static_cast<int32_t>(n), target->DIBSectionBitsPtr(),
                          static_cast<size_t>(target->BytesPerScanLine()));
    }
    const uint8_t* packed = GetFrame(ctx_, static_cast<int32_t>(n));
    if (!packed) return false;
    cDIBSection& source = Need(ctx_.frames.SourceFrame);
    const size_t bytes =
        std::min(static_cast<size_t>(std::max(ctx_.video.FrameBytes, 0)), source.ImageSize());
    std::memcpy(source.DIBSectionBitsPtr(), packed + sizeof(BitmapInfoHeader), bytes);
    return true;
  }

  // OutputFrame := a copy of SourceFrame. When OutputFrame already has the
  // frame's size the two images trade places instead: OutputFrame then holds
  // exactly the fetched frame, and SourceFrame, which only the next fetch
  // reads from again, is overwritten whole by that fetch. This spares a copy
  // of every frame in pass-through.
  void CopySourceToOutput() {
    const cDIBSection& source = Need(ctx_.frames.SourceFrame);
    DibPtr& output = ctx_.frames.OutputFrame;
    if (output && !output->Empty() && output->Width() == source.Width() &&
        output->Height() == source.Height()) {
      if (ctx_.video.FrameBytes > 0 &&
          static_cast<size_t>(ctx_.video.FrameBytes) == source.ImageSize()) {
        std::swap(ctx_.frames.SourceFrame, output);
      } else {
        std::memcpy(output->DIBSectionBitsPtr(), source.DIBSectionBitsPtr(), source.ImageSize());
      }
    } else {
      output.reset();
      output = source.CopyOf();
    }
  }

  // For a continuing 2D-to-3D conversion, which starts by copying the left
  // view over the right one: puts SourceFrame into the left view alone when
  // both views already have its size (what Load2D would then write into the
  // right view is overwritten unread). False, touching nothing, otherwise.
  // Where the next fetch overwrites SourceFrame whole, the two images trade
  // places instead of being copied: nothing in this path reads SourceFrame
  // again before that fetch.
  bool LoadLeftViewOnly() {
    DibPtr& source = ctx_.frames.SourceFrame;
    DibPtr& left = ctx_.frames.StereoPair[0];
    const DibPtr& right = ctx_.frames.StereoPair[1];
    auto sameSize = [&](const DibPtr& view) {
      return view && !view->Empty() && view->Width() == source->Width() &&
             view->Height() == source->Height() && view->ImageSize() == source->ImageSize();
    };
    if (!source || source->Empty() || !sameSize(left) || !sameSize(right)) return false;
    if (ctx_.video.FrameBytes > 0 &&
        static_cast<size_t>(ctx_.video.FrameBytes) == source->ImageSize()) {
      std::swap(source, left);
    } else {
      std::memcpy(left->DIBSectionBitsPtr(), source->DIBSectionBitsPtr(), source->ImageSize());
    }
    return true;
  }

  // Fills StereoPair by the input layout; false for an unknown layout.
  bool Decode() {
    switch (request_.InputLayout) {
      case kLayoutAboveBelow:
        LoadAboveBelow(formats_);
        break;
      case kLayoutInterleaved:
        LoadInterleaved(formats_);
        break;
      case kLayout2D:
        Load2D(formats_);
        break;
      case kLayout2DTo3D: {
        const bool continuing = ctx_.DisplayOpenPending == kFalse;
        if (!continuing || !LoadLeftViewOnly()) Load2D(formats_);
        ConvertFrame(ctx_, continuing);
        break;
      }
      case kLayoutSideBySide:
        LoadJPS(formats_);
        break;
      case kLayoutAnaglyph:
        LoadAnaglyph(formats_);
        break;
      case kLayoutAnaglyphColour:
        LoadAnaglyphColour(formats_);
        break;
      default:
        ctx_.host.Message(kInvalidInputFormat + std::to_string(request_.InputLayout));
        return false;
    }
    return true;
  }

  // Composes StereoPair into OutputFrame by the output method.
  void Encode() {
    switch (request_.OutputMethod) {
      case kOutputShutterEye3D:
      case kOutputShutterED:
        SaveAboveBelow(formats_, true);
        break;
      case kOutputAnaglyphGrey:
        SaveAnaGray(formats_);
        break;
      case kOutputAnaglyphColour:
        SaveAnaColour(formats_);
        break;
      case kOutputAnaglyphYellow:
        SaveAnaYellow(formats_);
        break;
      case kOutputInterlaced:
        SaveInterlace(formats_, request_.Fullscreen != kFalse);
        break;
      case kOutputStereoDriver:
      case kOutputOpenGLQuadBuffer:
        SaveSideBySide(formats_);
        break;
      default:
        ctx_.host.Message(kInvalidOutputFormat + std::to_string(request_.OutputMethod));
        break;
    }
  }

  // Waits for the sound track (or the clock) after frame n was shown, or
  // moves n to the frame the sound has reached. False when a stop request
  // ended the wait. Once the sound's position stands still for half a
  // second while a frame waits for it (the track ended before the picture,
  // or the player stalled), the rest of the run is paced by the clock.
  bool Pace(int64_t& n) {
    const double rate = request_.FrameRate;
    // Without a usable frame rate no position maps to a frame.
    if (!(rate > 0) || !std::isfinite(rate)) return true;
    if (soundStopped_) return PaceByClock(rate);
    switch (request_.AudioMethod) {
      case kAudioClock:
        return PaceByClock(rate);
      case kAudioMci: {
        int64_t target = n;
        do {
          const double seconds = MciPosition(ctx_) / 1000.0;
          target = NearestFrame(seconds * rate, n);
          ctx_.host.Idle();
          if (n > target) {
            if (Stopped()) return false;
            if (SoundStandsStill(seconds, n)) return true;
          } else {
            SoundStandsStill(seconds, n);
          }
        } while (n > target);
        n = target;
        return true;
      }
      case kAudioGraph: {
        const double p = GraphPosition(ctx_);
        if (!(p >= 0)) return true;  // no position: no pacing
        SoundStandsStill(p, n);
        int64_t target = NearestFrame(p * rate, n);
        while (n > target) {
          const double q = GraphPosition(ctx_);
          target = NearestFrame(q * rate, n);
          ctx_.host.Idle();
          if (n > target) {
            if (Stopped()) return false;
            if (SoundStandsStill(q, n)) return true;
          }
        }
        n = target;
        return true;
      }
      default:
        ctx_.host.Message(kUnsupportedAudioSource + std::to_string(request_.AudioMethod));
        return true;
    }
  }

  // Watches the sound's position. True once it has not moved for half a
  // second: the clock then takes over pacing from frame n on, and the
  // statistics say so.
  bool SoundStandsStill(double seconds, int64_t n) {
    ClockSource& clock = *ctx_.audio.clock;
    const int64_t perSecond = clock.CountsPerSecond();
    const int64_t now = clock.Counter();
    if (!soundSeen_ || seconds != soundPosition_) {
      soundSeen_ = true;
      soundPosition_ = seconds;
      soundMoved_ = now;
      return false;
    }
    if (perSecond <= 0 || now - soundMoved_ < perSecond / 2) return false;
    soundStopped_ = true;
    char note[160];
    std::snprintf(note, sizeof(note),
                  "The sound track stopped at %.1f s (frame %lld): the rest was paced by the "
                  "clock.",
                  seconds, static_cast<long long>(n));
    AddPlaybackNote(ctx_, note);
    AudioState& audio = ctx_.audio;
    audio.AudioClock.emplace(clock);
    audio.AudioClockFrequency = static_cast<double>(perSecond);
    audio.AudioClock->StartTimer();
    return true;
  }

  // Forgets what the sound did in the run that ended.
  void EndSoundWatch() {
    if (soundStopped_ && request_.AudioMethod != kAudioClock) ctx_.audio.AudioClock.reset();
    soundStopped_ = soundSeen_ = false;
  }

  // Holds the frame until one frame period has passed since its put began.
  bool PaceByClock(double rate) {
    AudioState& audio = ctx_.audio;
    if (!audio.AudioClock || !(audio.AudioClockFrequency > 0)) return true;
    IntervalTimer& clock = *audio.AudioClock;
    for (;;) {
      clock.StopTimer();
      const double x = clock.Elapsed() / audio.AudioClockFrequency * rate;
      ctx_.host.Idle();
      if (x >= 1.0) break;
      if (Stopped()) return false;
    }
    clock.StartTimer();
    return true;
  }

  ProgramContext& ctx_;
  PlayRequest& request_;
  DisplayContext& display_;
  const FormatContext formats_;
  const bool passThrough_;
  // The sound's last position, when it last moved (clock counts), and
  // whether the clock has taken over in this run.
  bool soundSeen_ = false;
  double soundPosition_ = 0;
  int64_t soundMoved_ = 0;
  bool soundStopped_ = false;
};

}  // namespace

bool IsPassThrough(const PlayRequest& request) {
  const bool sideBySide =
      request.InputLayout == kLayoutSideBySide && (request.OutputMethod == kOutputStereoDriver ||
                                                   request.OutputMethod == kOutputOpenGLQuadBuffer);
  const bool interleaved = request.InputLayout == kLayoutInterleaved &&
                           request.OutputMethod == kOutputInterlaced &&
                           request.Fullscreen == kFalse;
  return sideBySide || interleaved;
}

float AverageStageTime(float average, double seconds) {
  return static_cast<float>((average * 29.0 + seconds) / 30.0);
}

void PlayVideo(ProgramContext& ctx, PlayRequest& request) {
  ctx.PlaybackNotes.clear();
  if (!OpenVideo(ctx, request)) return;
  DisplayContext display{ctx.host, ctx.settings, ctx.frames, ctx.Displays};
  TrapErrors(ctx.host, kPlayVideoError, [&] { Playback(ctx, request, display).Run(); });
  CloseOutputDisplay(display, request.Output());
  CloseVideo(ctx);
}

}  // namespace dioptrix
