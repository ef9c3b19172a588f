// Writes 24-bit frames (cDIBSection: blue-green-red, rows bottom-up) to a video
// file or to a numbered sequence of PNG pictures with FFmpeg, and carries the
// sound track of a source file into the output where the container allows.
//
// The container follows the file name's extension (.mp4, .mkv, .avi, .mov and
// whatever else FFmpeg writes). A name holding a frame-number pattern such as
// out_%05d.png, or naming a folder (an existing one, or any name ending in
// '/'), makes a PNG picture per frame; in a folder the pictures are named
// frame_00001.png, frame_00002.png, ...
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
  // Writes one frame. False, with the reason in error, when it could not be
  // written; the writer is then unusable.
  virtual bool WriteFrame(const cDIBSection& frame, std::string* error) = 0;
  // Writes the last frame written once more (in place of a frame that could
  // not be had). False, with the reason, when there is none or it could not
  // be written.
  virtual bool RepeatFrame(std::string* error) = 0;
};

enum class VideoCodec {
  Auto,  // PNG for picture sequences, H.264 otherwise
  H264,
  FFV1,
  PNG,
};

// What became of the source's sound track.
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
  // Media file whose first sound track goes into the output; empty for none.
  std::string audioSource;
  // Seconds after the source's first video frame at which the first written
  // frame lies (a conversion that starts at frame n: n * scale / rate).
  double audioStart = 0;
  // H.264 only: constant rate factor (lower is better) and libx264 preset.
  int crf = 20;
  std::string preset = "veryfast";
  // Receives remarks that are not failures: sound track re-encoded or left
  // out, frames rescaled, frame size padded.
  std::function<void(const std::string&)> onNote;
};

class VideoWriter final : public FrameWriter {
 public:
  // Checks the name, container and codec, opens the output file (or checks the
  // picture folder) and prepares the sound track. On failure returns nothing
  // and says why in error. Nothing is encoded until the first frame.
  static std::unique_ptr<VideoWriter> Open(const std::string& path,
                                           const VideoWriterOptions& options,
                                           std::string* error = nullptr);
  // Without a successful Finish the output is closed as it stands.
  ~VideoWriter() override;
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  bool WriteFrame(const cDIBSection& frame, std::string* error) override;
  // Encodes the last frame's picture again, at the next frame's time.
  bool RepeatFrame(std::string* error) override;
  // Drains the encoders, writes the rest of the sound track and closes the
  // file. Fails when no frame was written (the empty file is removed) or the
  // file cannot be completed.
  bool Finish(std::string* error = nullptr);

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
  AudioHandling Audio() const;

 private:
  struct Impl;
  explicit VideoWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace dioptrix
