// Frame-exact access to the video stream of a media file, decoded to packed
// 24-bit pictures: the 40-byte bitmap header followed by FrameBytes() bytes of
// blue-green-red pixels, rows bottom-up and padded to a multiple of 4 bytes.
//
// Frames are delivered as the viewer should see them, as the ffmpeg command
// shows them by default:
// - Upright. A stream whose display matrix turns it (phone clips flagged 90,
//   180 or 270 degrees) is turned: a quarter turn transposes the picture, so
//   Width() and Height() swap; a half turn flips it both ways; a mirrored
//   matrix mirrors it. Other angles are left as stored. The matrix of the
//   first frame counts, else the stream's.
// - With square pixels. Where the sample aspect ratio (the container's, else
//   the coded stream's) is not 1:1, the upright picture (whose ratio a
//   transposition inverts) is stretched, bicubic: pixels wider than high make
//   it round(width * ratio) wide at its height, narrower ones round(height /
//   ratio) high at its width, so no stored pixel is lost (the filter
//   scale='if(gt(sar,1),round(iw*sar),iw)':'if(lt(sar,1),round(ih/sar),ih)'
//   after the turn). A ratio that would make pictures too large to hand out
//   is ignored.
// Size, rotation and ratio are taken once, on open; later frames of another
// size are scaled to it.
//
// Frames are numbered from 0, the stream's first frame in presentation order,
// in one of two ways chosen on open (FrameNumbering). Either way, reading
// frames in order decodes every frame once; a request farther ahead or behind
// seeks to the key frame before it and decodes forward. A stream whose frames
// carry no time stamps is numbered in decoding order either way (requests
// behind then decode from the start).
//
// Decoding ahead: once a request follows the one for the frame before it
// (n - 1, then n), a worker thread of the object decodes and converts frame
// n + 1 while the caller works on frame n, so that a request for it finds it
// ready. A request for another frame stops that work (or waits for its end)
// and is served as if nothing had been prepared. Frames handed out are the
// same either way, and requests spread over the file prepare nothing. The
// object is used by one thread at a time; the worker ends with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "image/bitmap_header.h"

namespace dioptrix {

// Why a file could not be opened for frame access.
enum class VideoOpenFailure {
  None,
  CannotOpen,     // missing, unreadable or not a media file FFmpeg knows
  NoVideoStream,  // a media file without pictures (sound only, for example)
  NoDecoder,      // no decoder for the stream's compression
  BadFrameSize,   // no frame size, or pictures too large to hand out
  NoFrames,       // the stream holds no frame that can be decoded
  NotSeekable,    // a pipe, a device or standard input ("-"): frames are read more than once
};

// How frames are numbered.
enum class FrameNumbering {
  // Frame n is the one whose time stamp lies n frame durations (Scale()/Rate()
  // seconds each) after frame 0's (rounded to the nearest number; of two
  // frames on one number, the first), and where the stream lacks that frame,
  // the frame shown at that time (the one before the gap): a fixed rate, as
  // the player shows frames.
  Grid,
  // Frame n is the n-th frame the stream holds in presentation order: every
  // frame once, whatever the gaps between them. Opening reads the whole file
  // once (every packet, no decoding) to list the frames' time stamps. A
  // listed frame that cannot be decoded is missing: GetFrame gives nothing
  // for it, rather than the frame before. Where
  // packets lack time stamps or share them, frames are numbered in decoding
  // order from the start.
  Stream,
};

struct VideoOpenOptions {
  FrameNumbering numbering = FrameNumbering::Grid;
};

// Counts of the work done so far, to check that access patterns stay cheap.
// A frame prepared ahead counts as decoded and converted, whether it is asked
// for or not; Stats() waits for a preparation under way to end.
struct VideoFileStats {
  int64_t seeks = 0;            // repositionings of the file
  int64_t framesDecoded = 0;    // frames delivered by the decoder
  int64_t framesConverted = 0;  // frames converted into the packed picture
};

class VideoFile {
 public:
  // Opens the first video stream of the file at path (a plain file name; no
  // protocols). On failure returns nothing, and error and failure (when given)
  // say why; the error text does not repeat the path (callers name it). A
  // pipe, FIFO, socket, character device or "-" fails at once as NotSeekable,
  // without being opened.
  static std::unique_ptr<VideoFile> Open(const std::string& path, std::string* error = nullptr,
                                         VideoOpenFailure* failure = nullptr);
  static std::unique_ptr<VideoFile> Open(const std::string& path, const VideoOpenOptions& options,
                                         std::string* error = nullptr,
                                         VideoOpenFailure* failure = nullptr);
  ~VideoFile();
  VideoFile(const VideoFile&) = delete;
  VideoFile& operator=(const VideoFile&) = delete;

  // Number of the first frame: always 0.
  int32_t Start() const { return 0; }
  // Number of frames. Grid numbering: from the file's index where it lists
  // every frame, else counted over the stream's packets on open, and no more
  // than the grid holds up to the last time stamp. Stream numbering: the
  // frames listed on open.
  int32_t Length() const;
  FrameNumbering Numbering() const;
  // Frame rate as the fraction Rate() / Scale() frames per second: the
  // stream's base rate, or its average where the two disagree.
  uint32_t Rate() const;
  uint32_t Scale() const;
  // Seconds from frame 0 to frame n. Grid numbering: n * Scale() / Rate().
  // Stream numbering: the difference of the two frames' time stamps; before
  // frame 0 and past the last frame, whole frame durations on from there
  // (and n * Scale() / Rate() where frames are numbered in decoding order).
  double FrameTime(int32_t n) const;
  // True when the stream's frames are not evenly spaced in time: a gap
  // between successive frames' time stamps differs from the mean gap by a
  // whole unit of the stream's time base or more, or by more than a quarter
  // of it. Judged on open from the frames' time stamps (from the file's
  // index, in decoding order, where Grid numbering reads no others); false
  // where frames carry none.
  bool VariableRate() const;
  // The frame rectangle is (0, 0) - (Width(), Height()): the delivered size,
  // upright and in square pixels.
  int32_t Width() const;
  int32_t Height() const;
  // Pixel bytes of one packed picture: ((3 * Width() + 3) & ~3) * Height().
  int32_t FrameBytes() const;
  // The header every packed picture starts with.
  const BitmapInfoHeader& Header() const;

  // The packed picture of frame n, or nullptr when n is outside
  // [0, Length()) or the frame cannot be decoded. The address stays valid
  // until the next GetFrame call or the object's destruction.
  const uint8_t* GetFrame(int32_t n);
  // Frame n's pixels written straight into bits: Height() rows bottom-up,
  // stride bytes apart, each 3 * Width() bytes of the same pixels GetFrame
  // gives, then zeros up to the row's multiple of 4 bytes where stride has
  // room. bits must hold Height() rows of stride bytes. False (bits possibly
  // changed) when GetFrame would give nothing, or for a null bits or a
  // stride under 3 * Width(). Leaves an earlier GetFrame's picture valid.
  bool GetFrameInto(int32_t n, uint8_t* bits, size_t stride);

  VideoFileStats Stats() const;

 private:
  struct Impl;
  explicit VideoFile(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace dioptrix
