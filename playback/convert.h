// The per-frame 2D-to-3D conversion step. On entry StereoPair(0) holds the
// current frame; on return StereoPair(0) is the left view and StereoPair(1)
// the right view. The right view is synthesised from a depth image estimated
// from block motion, or, while the picture pans steadily, the previous frame
// is shown to one eye and the current frame to the other (frame shift).
#pragma once

#include <cstdint>

#include "platform/libraries.h"
#include "playback/program.h"

namespace dioptrix {

// Prefix of every message the conversion step shows.
inline constexpr const char* kConvertErrorPrefix = "An error occurred while processing. ";
inline constexpr const char* kInvalidFrameShift = "Invalid frameshift option.";

// The two library kernels the conversion step calls once per frame, with the
// arguments of the blocks exports (see blocks/blocks.h).
class ConversionKernels {
 public:
  virtual ~ConversionKernels() = default;
  virtual void CreateDepthMapFast(uint8_t* cur, const uint8_t* prev, double* change, int32_t mode,
                                  const uint8_t* dmap, int32_t w, int32_t h, double* motion,
                                  int32_t scale) = 0;
  virtual void Make3D(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h,
                      float gain, int32_t offset, int32_t radius) = 0;
  // Improved depth: the depth of cur into every byte of every pixel of out
  // (out may be null); stats receives four values (see blocks/blocks.h).
  virtual void CreateDepthMapScene(uint8_t* out, const uint8_t* cur, int32_t w, int32_t h,
                                   int32_t reset, double* stats) = 0;
};

// The kernels of libblocks.so, reached by name through the program's binding.
class LibraryConversionKernels final : public ConversionKernels {
 public:
  explicit LibraryConversionKernels(BlocksLibrary& blocks) : blocks_(blocks) {}
  void CreateDepthMapFast(uint8_t* cur, const uint8_t* prev, double* change, int32_t mode,
                          const uint8_t* dmap, int32_t w, int32_t h, double* motion,
                          int32_t scale) override {
    blocks_.CreateDepthMapFast_DLL(cur, prev, change, mode, dmap, w, h, motion, scale);
  }
  void Make3D(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h, float gain,
              int32_t offset, int32_t radius) override {
    blocks_.Make3D_DLL(out, src, dmap, w, h, gain, offset, radius);
  }
  void CreateDepthMapScene(uint8_t* out, const uint8_t* cur, int32_t w, int32_t h, int32_t reset,
                           double* stats) override {
    blocks_.CreateDepthMapScene_DLL(out, cur, w, h, reset, stats);
  }

 private:
  BlocksLibrary& blocks_;
};

// Converts the frame in StereoPair(0). continuing is false for the first frame
// of a playback (which sets the conversion up and shows a blank right view)
// and true afterwards. Failures are shown as kConvertErrorPrefix followed by
// the error's description; each failing step is skipped and the rest of the
// step runs, so the frame is still shown.
void ConvertFrame(ProgramContext& program, bool continuing);
// The same with the given kernels instead of the library's.
void ConvertFrame(ProgramContext& program, bool continuing, ConversionKernels& kernels);

// The timing averages after a conversion that took `seconds`: MeanFrameTime
// always; ShiftFrameTime and the DepthStep adaptation in frame shift.
void UpdateConversionTiming(ConversionState& state, float& meanFrameTime, double seconds);

}  // namespace dioptrix
