// cImageProcessDIB: the image-processing engine. The object holds only its
// filter settings; the large working arrays are the program-wide EngineArrays
// it is given, shared by all its methods and by the conversion step.
//
// Images are cDIBSection buffers addressed in place as (byte column, scan line)
// with scan line 0 the first line in memory (the bottom row); no method flips
// rows unless it says so. Methods raise RuntimeError for the faults their
// callers report (division by zero, overflow, a subscript out of range).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "image/dib_section.h"
#include "process/make3d.h"
#include "process/plane.h"

namespace dioptrix {

// Motion of one block: the matched byte column and line in the previous frame.
struct MotionVector {
  int32_t x = 0;
  int32_t y = 0;
};

// The engine's program-wide working arrays.
struct EngineArrays {
  // (byte column 0..3W, scan line 0..H-1); column 3W is a spare never written.
  Plane<int32_t> PixelArray;
  // Same shape; the depth image's bytes for the engine's view synthesis.
  Plane<int32_t> DepthImageArray;
  // One vector per 8x8 block, addressed (block column, block line).
  Plane<MotionVector> MotionArray;
  // One byte per pixel, (x 0..W, y 0..H): one spare column and one spare row.
  // Its element (0, 0) is the address the blocks kernels receive.
  Plane<uint8_t> DepthMap;
  // Packed red-green-blue rows for the OpenGL display, bottom row first;
  // W * H * 3 + 1 bytes after CopyToArrayOPENGL.
  std::vector<uint8_t> OpenGLPixels;
  // Work memory of Make3D, reused while the frame size stays the same.
  Make3DWorkspace Make3DWork;
};

// Receives the progress events of the engine's long methods, in the order
// InitProgress, Progress for each outer step, Complete.
class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  virtual void InitProgress(int32_t size) = 0;
  virtual void Progress(int32_t value) = 0;
  virtual void Complete(int32_t value) = 0;
};

// Source text of the engine's own numbered errors.
inline constexpr const char* kImageProcessSource = "dioptrix.cImageProcess";
inline constexpr int32_t kErrFilterSizeEven = kObjectErrorBase + 1305;  // 0x80040519
inline constexpr int32_t kErrFilterInvalid = kObjectErrorBase + 1306;   // 0x8004051A

class cImageProcessDIB {
 public:
  explicit cImageProcessDIB(EngineArrays& arrays, ProgressObserver* observer = nullptr);

  EngineArrays& Arrays() { return arrays_; }
  void SetObserver(ProgressObserver* observer) { observer_ = observer; }

  // --- Filter settings -------------------------------------------------------
  // Accepts 1..14; every kind but 14 loads its preset kernel and weight (kinds
  // 8 and 10..13 leave the kernel as it is).
  void SetFiltertype(int32_t kind);
  int32_t Filtertype() const { return filterType_; }
  // Odd sizes 3..9; re-creates an all-zero kernel.
  void SetFilterArraySize(int32_t size);
  int32_t FilterArraySize() const { return filterSize_; }
  // Kernel element (x, y), both in -half..+half.
  int32_t FilterValue(int32_t x, int32_t y) const;
  void SetFilterValue(int32_t x, int32_t y, int32_t value);
  int32_t FilterWeight() const { return filterWeight_; }
  void SetFilterWeight(int32_t weight) { filterWeight_ = weight; }
  // Applies the current filter kind to src (dst receives the filtered copy).
  void ProcessImage(cDIBSection& src, cDIBSection& dst);

  // --- Copies between images and arrays ---------------------------------------
  void CopyToArray(const cDIBSection& pic);
  void CopyToSpecifiedArray(const cDIBSection& pic, Plane<int32_t>& arr);
  // dmap := (W+1) x (H+1) zeros, then the blue byte of every pixel.
  void CopyToDepthMap(const cDIBSection& pic, Plane<uint8_t>& dmap);
  // Every pixel byte from the array; a value outside 0..255 raises Overflow.
  void CopyFromArray(cDIBSection& pic, const Plane<int32_t>& arr);
  // sum += the sum of absolute differences between arr and pic, each inner
  // byte counted up to three times.
  void Correlate(const cDIBSection& pic, const Plane<int32_t>& arr, int64_t& sum);
  // Blue and green of every pixel := the depth map's value; red unchanged.
  void CopyFromDepthMap(cDIBSection& pic, const Plane<uint8_t>& dmap);

  // --- Stereo pair synthesis -----------------------------------------------------
  // Writes the second view into pic from the colours in PixelArray and the
  // depth image in DepthImageArray (first byte of each pixel): each source
  // pixel moves by round(((x3 - offset) + d * gain) / ((x3 - d) * perspective
  // + 1)) bytes, d = 255 - depth, with sub-pixel weights; holeMode 0 leaves
  // unreached pixels black, another value fills them, above 0 also smooths
  // depth edges. A source pixel whose divisor is 0 is dropped. See
  // process/make3d.h for the errors.
  void Make3D(cDIBSection& pic, double gain, double perspective, int16_t offset, int32_t holeMode);

  // --- Motion estimation (block matching) ----------------------------------------
  // Blocks are 8 pixels (24 byte columns) x 8 lines; only whole blocks of the
  // picture take part, so a picture narrower or lower than 8 has none.
  //
  // One motion vector per block between the previous frame (PixelArray) and
  // pic, by a three-step search (steps 7, 5, 3, 1 lines, three times as many
  // byte columns) that stops once a block's cost drops below 400. MotionArray
  // is re-created with Int(W/8) x Int(H/8) vectors holding the absolute
  // position of each block's best match; total := the sum of the best costs
  // (sums of absolute differences over 22 bytes x 8 lines). Raises Complete
  // with the millisecond clock (no InitProgress or Progress) at the end.
  // PixelArray not covering pic raises "Subscript out of range"; a total
  // beyond 32 bits raises "Overflow".
  void GetBlockMove(const cDIBSection& pic, int32_t& total);
  // Predicts a frame: every block of pic := the 24 x 8 bytes of PixelArray at
  // the block's matched position. A MotionArray without a vector for every
  // block of pic, or a position whose bytes lie outside PixelArray, raises
  // "Subscript out of range"; an element outside 0..255 raises "Overflow".
  void UpdateDepth(cDIBSection& pic);
  // A depth image from MotionArray: the brighter a block, the further its
  // motion is from the most common (background) motion. blend >= 3 mixes it
  // into pic's present bytes; otherwise it replaces them, each byte limited
  // to 255 (motions of 300 pixels or more would otherwise go past it). A
  // MotionArray without a vector for every block of pic raises "Subscript
  // out of range"; a motion length beyond 32 bits raises "Overflow".
  void GetMotionDepthMap(cDIBSection& pic, int16_t blend);

  // --- Depth-map tracking and clean-up -----------------------------------------
  int16_t SmoothDMAP(cDIBSection& pic, int32_t blockSize);
  void MatchDepthMap(cDIBSection& pic, const Plane<int32_t>& colours);
  void Dilate(cDIBSection& pic);
  void DepthMapClean(cDIBSection& pic);
  void RemoveFlecs(cDIBSection& pic, int32_t key);
  void CreateMask(cDIBSection& pic, const Plane<int32_t>& a, const Plane<int32_t>& b);
  void MatchAreas(cDIBSection& pic);

  // --- Depth-map creation ----------------------------------------------------------
  // Depth from motion, 10 x 10-pixel blocks: each block of pic is matched
  // against prev (the previous frame's bytes, PixelArray layout) by a diamond
  // search; the block becomes the length of its motion (mode 0), a blend with
  // the previous depth map dmap along the motion (mode 1) or that depth
  // carried forward (mode 2); other modes write no block. The last block
  // column and line end up 0. cost := the sum of the blocks' best costs.
  // Raises "Subscript out of range" for a frame smaller than one block and
  // for prev (or, in modes 1 and 2, dmap) not covering the picture.
  void CreateDepthMap(cDIBSection& pic, const Plane<int32_t>& prev, double& cost, int32_t mode,
                      const Plane<uint8_t>& dmap);
  // The two forms of CreateDepthMap, leaving the same bytes and cost: one
  // that follows the algorithm step by step, and the one the method runs.
  static void CreateDepthMapPlain(cDIBSection& pic, const Plane<int32_t>& prev, double& cost,
                                  int32_t mode, const Plane<uint8_t>& dmap);
  static void CreateDepthMapFast(cDIBSection& pic, const Plane<int32_t>& prev, double& cost,
                                 int32_t mode, const Plane<uint8_t>& dmap);
  // Depth from motion by a ring search of 6 x 6-pixel blocks against
  // PixelArray (the previous frame), up to 50 pixels and lines away. n is
  // not used. A frame smaller than one block is left as it is; otherwise
  // PixelArray must cover the picture ("Subscript out of range").
  void CreateDepthMapEx(cDIBSection& pic, int32_t n);
  // Depth from the horizontal disparity between pic (one view) and
  // PixelArray (the other view), 16 x 16-pixel blocks: 128 minus the
  // disparity in bytes, limited to 0..255. Bytes off the block grid keep
  // their values. PixelArray must cover the picture when a block fits.
  void CreateDepthMapFromStereo(cDIBSection& pic);

  // --- Display preparation -------------------------------------------------------
  void Flip(cDIBSection& cTo);
  void CopyToArrayOPENGL(const cDIBSection& cTo);

  // --- General filters -----------------------------------------------------------
  void GrayScale(cDIBSection& cTo, int32_t v_lngDivisor);
  void GrayScale_stand(cDIBSection& cTo);
  void ColourMask(cDIBSection& cTo, uint8_t v_bytBlueMask, uint8_t v_bytGreenMask,
                  uint8_t v_bytRedMask);
  void AddImages(const cDIBSection& cFrom, cDIBSection& cTo, int32_t lFromMultiplier,
                 int32_t lFromOffsetR, int32_t lFromOffsetG, int32_t lFromOffsetB,
                 int32_t lToMultiplier, int32_t lToOffsetR, int32_t lToOffsetG, int32_t lToOffsetB);
  void AddImagesChannel(const cDIBSection& cFrom, cDIBSection& cTo, int32_t lFromMultR,
                        int32_t lFromMultG, int32_t lFromMultB, int32_t lToMultR, int32_t lToMultG,
                        int32_t lToMultB);
  void AddSmallImage(const cDIBSection& cFrom, cDIBSection& cTo, int32_t lFromMultiplier,
                     int32_t lFromOffsetR, int32_t lFromOffsetG, int32_t lFromOffsetB,
                     int32_t lToMultiplier, int32_t lToOffsetR, int32_t lToOffsetG,
                     int32_t lToOffsetB, int32_t VOffset);

 private:
  void InitProgress(int32_t v) {
    if (observer_) observer_->InitProgress(v);
  }
  void Progress(int32_t v) {
    if (observer_) observer_->Progress(v);
  }
  void Complete(int32_t v) {
    if (observer_) observer_->Complete(v);
  }
  void LoadPreset(int32_t kind);
  void Convolve(const cDIBSection& src, cDIBSection& dst) const;
  // Offset of kernel element (x, y); raises "Subscript out of range" outside
  // -half..+half.
  size_t KernelIndex(int32_t x, int32_t y) const;
  // Sets the size and half size and makes an all-zero kernel.
  void ResizeKernel(int32_t size);
  // Runs one filter pass of ProcessImage between its progress events.
  template <class Pass>
  void FilterPass(const cDIBSection& src, cDIBSection& dst, Pass pass);

  EngineArrays& arrays_;
  ProgressObserver* observer_;

  // Filter settings: the kernel's size and half-size, its weights, the sum
  // they are divided by and the filter type, set together by the setters.
  int32_t filterSize_ = 3;
  int32_t filterHalf_ = 1;
  std::vector<int32_t> kernel_ = std::vector<int32_t>(9, 0);  // (i + half) + (j + half) * size
  int32_t filterWeight_ = 1;
  int32_t filterType_ = 1;
};

}  // namespace dioptrix
