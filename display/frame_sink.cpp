#include "display/frame_sink.h"

#include "platform/flags.h"

namespace dioptrix {

bool NullFrameWriter::WriteFrame(const cDIBSection& frame, std::string* error) {
  if (frame.Empty()) {
    if (error) *error = "There is no picture to write.";
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

bool FrameSink::PutImage(const cDIBSection& v_cDib, bool, bool) {
  if (failed_) {
    stopRequested_ = kTrue;
    return false;
  }
  std::string error;
  if (!writer_.WriteFrame(v_cDib, &error)) {
    failed_ = true;
    stopRequested_ = kTrue;
    host_.Message(kWriteFrameError + error);
    return false;
  }
  ++written_;
  if (onFrame) onFrame(written_);
  if (limit_ > 0 && written_ >= limit_) stopRequested_ = kTrue;
  return true;
}

bool FrameSink::CloseDisplay() {
  opened_ = false;
  return true;
}

}  // namespace dioptrix
