// The platform's media service for the sound track: one media file opened
// for playing, its streams rendered, the sound heard through the system's
// sound output. The playback's audio methods (the filter graph and the
// command strings, playback/) are built on it.
//
// Units: positions in seconds from the start of the file.
//
// Threads: every call comes from the user-interface thread. The service
// plays on threads of its own; the calls only start, stop and ask. Every
// wait inside a call is bounded (a few seconds), so a broken file or sound
// server never hangs the program: the call fails instead.
//
// Errors: calls that can fail return false and put the reason, in words for
// the user, into *error. Nothing throws.
//
// Ownership: the back-end owns everything it opened and releases it on Close
// and on destruction.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dioptrix {

// A pad of an element of the rendering pipeline, and whether it is linked.
struct MediaPad {
  std::string name;
  bool linked = false;
};

// An element of the rendering pipeline: the file's source and decoder
// ("Decoder", whose output pads are named "Video Stream 00", "Video Stream
// 01", ... for pictures and "Audio Track 1", ... for sound), and one renderer
// per rendered stream ("Video Renderer", "Audio Renderer"), whose input pads
// are "Video In" and "Audio In".
struct MediaElement {
  std::string name;
  std::vector<MediaPad> pads;
};

class SoundBackend {
 public:
  enum class Streams {
    Every,      // pictures (to a renderer that shows nothing) and sound
    SoundOnly,  // the sound track alone
  };

  virtual ~SoundBackend() = default;

  // Opens the file (closing what was open) and prepares it for playing.
  // False when the file cannot be read, or has nothing to render, or no
  // sound output can be reached while the file has a sound track.
  virtual bool Open(const std::string& path, Streams streams, std::string* error) = 0;
  // Plays from the position, in step with the clock. False when nothing is
  // open or it cannot start.
  virtual bool PlayFrom(double seconds, std::string* error) = 0;
  // The playing position; negative when nothing is open or the position is
  // not known. At the end of the file it stays at the end.
  virtual double Position() = 0;
  // Stops playing; the file stays open. Nothing when nothing plays.
  virtual void Stop() = 0;
  // Releases the file. Nothing when nothing is open.
  virtual void Close() = 0;

  // Whether the open file has a sound track.
  virtual bool HasSound() const = 0;
  // The pipeline's elements with their pads; empty when nothing is open.
  virtual std::vector<MediaElement> Elements() const = 0;
  // Unlinks a pad of an element from its peer. A renderer left without any
  // input is taken out of the pipeline, so it never holds the rest back
  // waiting for data. False when there is no such linked pad.
  virtual bool Unlink(const std::string& element, const std::string& pad) = 0;
};

using SoundBackendFactory = std::function<std::unique_ptr<SoundBackend>()>;

// The program's back-end on GStreamer. Null, with the reason, when GStreamer
// cannot start.
std::unique_ptr<SoundBackend> MakeGStreamerSound(std::string* error = nullptr);

}  // namespace dioptrix
