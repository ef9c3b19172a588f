// Writes 24-bit frames (cDIBSection: blue-green-red, rows bottom-up) to a video
// file or to a numbered sequence of PNG pictures with FFmpeg, and carries the
// sound tracks of a source file into the output where the container allows.
//
// The container follows the file name's extension (.mp4, .mkv, .avi, .mov and
// whatever else FFmpeg writes). A name holding a frame-number pattern such as
// out_%05d.png, or naming a folder (an existing one, or any name ending in
// '/'), makes a PNG picture per frame; in a folder the pictures are named
// frame_00001.png, frame_00002.png, ... (numbered from
// VideoWriterOptions::firstPictureNumber). Missing folders on the way to the
// output, or the picture folder itself, are made when the output is opened;
// when no frame is written, those made are removed again.
//
// Frame times: every frame may carry its time. MP4, MKV, MOV and the other
// containers with time stamps keep them as given, so a variable frame rate
// stays variable (to a tenth of a millisecond, to the millisecond in MKV).
// AVI files and raw streams hold frames at the fixed rate of the options:
// there a frame is repeated or left out to follow the times, and a note says
// so once. Picture sequences hold no times: every frame becomes one picture.
//
// Video codecs: H.264 (libx264 when present, else another H.264 encoder of the
// FFmpeg build), FFV1 (lossless; .mkv or .avi) and PNG (lossless). H.264 is
// coded as 4:2:0, which needs an even frame size: an odd width or height is
// padded by repeating the last column or row, so the stored frame is one pixel
// wider or higher. FFV1 and PNG keep every size and every byte.
//
// The frame size is fixed by the first frame. A later frame of another size is
// scaled to it (bilinear) and a note says so once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "image/dib_section.h"

namespace dioptrix {

// Anything that takes composed frames one after another.
class FrameWriter {
 public:
  virtual ~FrameWriter() = default;
  // Writes one frame. `seconds` is its time counted from the output's first
  // frame; a negative value puts it one frame period after the previous
  // frame. False, with the reason in error, when it could not be written;
  // the writer is then unusable.
  virtual bool WriteFrame(const cDIBSection& frame, double seconds, std::string* error) = 0;
  // Writes the last frame written once more (in place of a frame that could
  // not be had), at `seconds` as above. False, with the reason, when there is
  // none or it could not be written.
  virtual bool RepeatFrame(double seconds, std::string* error) = 0;
};

enum class VideoCodec {
  Auto,  // PNG for picture sequences, H.264 otherwise
  H264,
  FFV1,
  PNG,
};

// What became of a sound track of the source.
enum class AudioHandling {
  None,       // no source given, the source has none, or a picture sequence
  Copied,     // packets copied unchanged
  Reencoded,  // decoded and coded again as AAC (the container cannot hold it)
  Skipped,    // could not be carried; a note says why
};

struct VideoWriterOptions {
  VideoCodec codec = VideoCodec::Auto;
  // Frames per second as rate / scale (VideoFile::Rate() and Scale()).
  uint32_t rate = 25;
  uint32_t scale = 1;
  // Media file whose sound tracks go into the output; empty for none. Each
  // track keeps its language, title and flags (default, forced, ...).
  std::string audioSource;
  // Which sound tracks of the source are carried: -1 every one, n >= 0 only
  // the n-th (counted from 0 in the order of the source's streams; a number
  // the source does not have fails Open).
  int audioTrack = -1;
  // Seconds after the source's first video frame at which the first written
  // frame lies (a conversion that starts at frame n: n * scale / rate).
  double audioStart = 0;
  // Number of the first picture of a picture sequence (0 to INT32_MAX); the
  // later ones count up from it.
  int64_t firstPictureNumber = 1;
  // H.264 only: constant rate factor (lower is better) and libx264 preset.
  int crf = 20;
  std::string preset = "veryfast";
  // Receives remarks that are not failures: sound track re-encoded or left
  // out, frames rescaled, frame size padded, frames repeated or left out for
  // a fixed-rate container.
  std::function<void(const std::string&)> onNote;
};

class VideoWriter final : public FrameWriter {
 public:
  // Every check Open makes that needs neither the sound source nor a change
  // on disk: the name, the container, the codec and whether the container
  // holds it, the options, and whether the output's folder (or the nearest
  // one of it that exists) can be written. Makes, opens and changes nothing.
  // False with the reason in error, in the words Open would use.
  static bool CheckTarget(const std::string& path, const VideoWriterOptions& options,
                          std::string* error = nullptr);
  // Makes the checks of CheckTarget, makes missing folders, opens the output
  // file and prepares the sound tracks. On failure returns nothing and says
  // why in error. Nothing is encoded until the first frame.
  static std::unique_ptr<VideoWriter> Open(const std::string& path,
                                           const VideoWriterOptions& options,
                                           std::string* error = nullptr);
  // Without a successful Finish the output is closed as it stands.
  ~VideoWriter() override;
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  // Times count from the time given for the first frame, which lies at 0. A
  // time not after the previous frame's is moved just after it; times that
  // are not finite count as negative. A time more than 10^7 seconds after the
  // first frame, or further after the previous frame than the container can
  // hold (MP4: six hours or more; AVI: 2^20 frames), is refused; the writer
  // stays usable.
  bool WriteFrame(const cDIBSection& frame, double seconds, std::string* error) override;
  // Encodes the last frame's picture again, at `seconds`.
  bool RepeatFrame(double seconds, std::string* error) override;
  // Drains the encoders, writes the sound tracks up to the end of the last
  // frame and closes the file, which then plays whenever it is called after
  // the first frame. Fails when no frame was written (the empty file is
  // removed) or the file cannot be completed.
  bool Finish(std::string* error = nullptr);

  // Frames taken (written and repeated). A fixed-rate container may store
  // more or fewer of them to keep the timing.
  int64_t FramesWritten() const;
  // Size of the frames given, fixed by the first one (0 before it).
  int32_t Width() const;
  int32_t Height() const;
  // Size of the stored frames (even for H.264).
  int32_t CodedWidth() const;
  int32_t CodedHeight() const;
  bool PictureSequence() const;
  // The file written, or the pattern of the picture files.
  const std::string& Target() const;
  // Name of the video encoder (chosen on the first frame; empty before).
  std::string EncoderName() const;
  // What became of the first sound track carried; without one, Skipped when
  // a track or the source could not be carried, else None.
  AudioHandling Audio() const;
  // Number of sound tracks carried (copied or coded again).
  int AudioTracks() const;

 private:
  struct Impl;
  explicit VideoWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace dioptrix
