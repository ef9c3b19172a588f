// The converter's display back-end: every frame the playback shows is handed
// to a frame writer instead of a window, at the source frame's own time when
// the sink follows the frames (FollowFrames), else one frame period after the
// one before. Nothing is paced or scaled; line codes, the fullscreen wish and
// the back-end's mode flag have no meaning here and are ignored. Installed as
// all three back-ends of DisplayDevices, so every output method ends up here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "display/display_backend.h"
#include "platform/host.h"
#include "platform/video/video_writer.h"

namespace dioptrix {

// Prefix of the message shown when a frame cannot be written.
inline constexpr const char* kWriteFrameError = "An error occurred while writing the video. ";

// Takes frames and keeps nothing: for measuring the pipeline without encoding.
class NullFrameWriter final : public FrameWriter {
 public:
  bool WriteFrame(const cDIBSection& frame, double seconds, std::string* error) override;
  bool RepeatFrame(double seconds, std::string* error) override;
  int64_t Frames() const { return frames_; }

 private:
  int64_t frames_ = 0;
};

class FrameSink final : public DisplayBackend {
 public:
  // stopRequested is the playback loop's stop flag (true = -1). The sink sets
  // it when a frame cannot be written (the result of PutImage is not looked
  // at for every output method) and when the frame limit is reached.
  FrameSink(const Host& host, FrameWriter& writer, int16_t& stopRequested);

  // Stops the playback after `frames` frames have been written (0: no limit).
  void SetFrameLimit(int64_t frames) { limit_ = frames; }
  // Keeps the output in step with the source: currentFrame is the playback's
  // CurrentFrame, first the source frame the output starts with. A frame the
  // playback skipped (the source could not deliver it) is replaced by the
  // frame written before it; frames missing before the first one delivered
  // are replaced by that one. The numbers of the missing frames are kept.
  // timeOf gives the time of a source frame counted from the output's first
  // frame (frame `first`); the writer keeps those times. Without it frames
  // follow one another at the fixed rate.
  using FrameTimes = std::function<double(int64_t frame)>;
  void FollowFrames(const int32_t* currentFrame, int64_t first, FrameTimes timeOf = {});
  // Replaces the frames missing at the end, up to (not including) source
  // frame `end`, by the last frame written. False when one cannot be written.
  bool FillUpTo(int64_t end);
  const std::vector<int64_t>& MissingFrames() const { return missing_; }
  // Called after every written frame with the number written so far.
  std::function<void(int64_t written)> onFrame;
  // Writes another picture in place of each composed frame (the converter's
  // depth map): the function gets the composed frame and returns the picture
  // to write instead, which stays its own (it may fill the same picture
  // every time) and need only last until the next call. A frame standing in
  // for a missing one repeats the last picture written. Unset: frames are
  // written as composed.
  using FrameReplacement = std::function<const cDIBSection&(const cDIBSection& composed)>;
  void ReplaceFrames(FrameReplacement replace) { replace_ = std::move(replace); }

  // Records the frame size; always succeeds.
  bool OpenDisplay(bool v_blnFullscreen, int32_t v_lngSrcX, int32_t v_lngSrcY, bool modeFlag,
                   bool v_blnUseLinecode, const cDIBSection* v_dibLineCodeStart,
                   const cDIBSection* v_dibLineCodeEnd) override;
  void ResizeSurface(int32_t v_lngSrcX, int32_t v_lngSrcY) override;
  // Writes the frame as it is. False (after a message, with the stop flag
  // set) when it cannot be written; every later call is false at once.
  bool PutImage(const cDIBSection& v_cDib, bool v_blnResize, bool v_blnQuick) override;
  // Only marks the sink closed: the writer is completed by its owner once the
  // playback has returned.
  bool CloseDisplay() override;

  bool Opened() const { return opened_; }

  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  int64_t FramesWritten() const { return written_; }
  bool Failed() const { return failed_; }
  // Number of OpenDisplay calls (one per playback run).
  int32_t Opens() const { return opens_; }

 private:
  const Host& host_;
  FrameWriter& writer_;
  int16_t& stopRequested_;
  // Writes the last frame again, standing for source frame `frame`; false
  // (and failed) when it cannot.
  bool Repeat(int64_t frame);
  double TimeOf(int64_t frame) const;
  bool AtLimit() const { return limit_ > 0 && written_ >= limit_; }
  bool Fail(const std::string& error);

  int64_t limit_ = 0;
  int64_t written_ = 0;
  const int32_t* currentFrame_ = nullptr;
  int64_t nextFrame_ = 0;  // the source frame the next write stands for
  FrameTimes timeOf_;
  FrameReplacement replace_;
  std::vector<int64_t> missing_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t opens_ = 0;
  bool opened_ = false;
  bool failed_ = false;
};

}  // namespace dioptrix
