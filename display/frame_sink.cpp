#include "display/frame_sink.h"

#include <algorithm>

#include "platform/flags.h"

namespace dioptrix {

bool NullFrameWriter::WriteFrame(const cDIBSection& frame, double, std::string* error) {
  if (frame.Empty()) {
    if (error) *error = "There is no picture to write.";
    return false;
  }
  ++frames_;
  return true;
}

bool NullFrameWriter::RepeatFrame(double, std::string* error) {
  if (frames_ == 0) {
    if (error) *error = "There is no earlier frame to write again.";
    return false;
  }
  ++frames_;
  return true;
}

FrameSink::FrameSink(const Host& host, FrameWriter& writer, int16_t& stopRequested)
    : host_(host), writer_(writer), stopRequested_(stopRequested) {}

bool FrameSink::OpenDisplay(bool, int32_t v_lngSrcX, int32_t v_lngSrcY, bool, bool,
                            const cDIBSection*, const cDIBSection*) {
  opened_ = true;
  ++opens_;
  ResizeSurface(v_lngSrcX, v_lngSrcY);
  return true;
}

void FrameSink::ResizeSurface(int32_t v_lngSrcX, int32_t v_lngSrcY) {
  width_ = v_lngSrcX;
  height_ = v_lngSrcY;
}

void FrameSink::FollowFrames(const int32_t* currentFrame, int64_t first, FrameTimes timeOf) {
  currentFrame_ = currentFrame;
  nextFrame_ = first;
  timeOf_ = std::move(timeOf);
  missing_.clear();
}

double FrameSink::TimeOf(int64_t frame) const { return timeOf_ ? timeOf_(frame) : -1; }

bool FrameSink::Fail(const std::string& error) {
  failed_ = true;
  stopRequested_ = kTrue;
  host_.Message(kWriteFrameError + error);
  return false;
}

bool FrameSink::Repeat(int64_t frame) {
  std::string error;
  if (!writer_.RepeatFrame(TimeOf(frame), &error)) return Fail(error);
  ++written_;
  if (onFrame) onFrame(written_);
  return true;
}

bool FrameSink::PutImage(const cDIBSection& v_cDib, bool, bool) {
  if (failed_) {
    stopRequested_ = kTrue;
    return false;
  }
  // Frames the playback skipped since the last write: from gap up to n.
  int64_t n = -1, gap = -1;
  if (currentFrame_) {
    n = *currentFrame_;
    gap = std::min(nextFrame_, n);
    for (int64_t k = nextFrame_; k < n; ++k) missing_.push_back(k);
    nextFrame_ = std::max(nextFrame_, n + 1);
  }
  const bool haveEarlier = written_ > 0;
  if (haveEarlier) {
    for (int64_t k = gap; k < n && !AtLimit(); ++k)
      if (!Repeat(k)) return false;
  }
  if (AtLimit()) {
    stopRequested_ = kTrue;
    return true;
  }
  // Frames missing before the first one delivered: it stands in for them,
  // from the first one's time on.
  std::string error;
  const cDIBSection& frame = replace_ ? replace_(v_cDib) : v_cDib;
  if (!writer_.WriteFrame(frame, TimeOf(haveEarlier ? n : gap), &error)) return Fail(error);
  ++written_;
  if (onFrame) onFrame(written_);
  if (!haveEarlier) {
    for (int64_t k = gap + 1; k <= n && !AtLimit(); ++k)
      if (!Repeat(k)) return false;
  }
  if (AtLimit()) stopRequested_ = kTrue;
  return true;
}

bool FrameSink::FillUpTo(int64_t end) {
  if (!currentFrame_ || failed_ || written_ == 0) return !failed_;
  for (; nextFrame_ < end && !AtLimit(); ++nextFrame_) {
    missing_.push_back(nextFrame_);
    if (!Repeat(nextFrame_)) return false;
  }
  return true;
}

bool FrameSink::CloseDisplay() {
  opened_ = false;
  return true;
}

}  // namespace dioptrix
