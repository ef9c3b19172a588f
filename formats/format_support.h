// Helpers shared by the stereo loaders and compositions: their error traps,
// the pair size, checked arithmetic that raises the program's run-time errors,
// and the acquisition and row copies of the images they write.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "formats/frame_images.h"
#include "image/dib_section.h"
#include "platform/host.h"

namespace dioptrix::formats {

// "An error occurred in <routine>. "
std::string LoaderMessage(std::string_view routine);
// "An error occurred in <routine>. Attempting to continue. "
std::string CompositionMessage(std::string_view routine);

// Runs the statements of a composition one by one, each under its own trap:
// a statement that fails is reported with the routine's message and the next
// one runs, so a frame is still produced where possible.
class ContinuingSteps {
 public:
  ContinuingSteps(const Host& host, std::string_view routine)
      : host_(host), prefix_(CompositionMessage(routine)) {}
  template <class F>
  void operator()(F&& statement) {
    TrapErrors(host_, prefix_, statement);
  }

 private:
  const Host& host_;
  std::string prefix_;
};

// Runs the single-pass version of a routine; an error escaping it (memory
// running out) is reported with the routine's message, as the loaders
// (continuing false) or the compositions (continuing true) report theirs.
template <class F>
void TrapFrame(const Host& host, std::string_view routine, bool continuing, F&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    ReportException(host, continuing ? CompositionMessage(routine) : LoaderMessage(routine), e);
  }
}

// The larger width and the larger height of the two views of a pair.
struct PairSize {
  int32_t width = 0;
  int32_t height = 0;
};
// Sets size from the views that exist (a missing view counts as 0 by 0), then
// raises "object not set" when a view is missing.
void MeasurePair(const FrameImages& frames, PairSize& size);

// num / den; raises "Division by zero" when den is 0.
double Divide(double num, double den);
// The nearest 32-bit integer, ties to even; raises "Overflow" outside the
// 32-bit range.
int32_t RoundToLong(double v);
// a + b and a * b; raise "Overflow" outside the 32-bit range.
int32_t CheckedAdd(int32_t a, int32_t b);
int32_t CheckedMul(int32_t a, int32_t b);

// Makes image a w x h picture whose every byte the caller is about to write.
// An image of that size already held is kept (its bytes are stale), otherwise
// a new image replaces it. Null, with image untouched, when no image of that
// size can be made.
cDIBSection* ReuseOrCreate(DibPtr& image, int32_t w, int32_t h);
// Makes image an object (a new empty one when it is nothing) and creates a
// black w x h picture in it; false (the object left empty) when that fails.
bool CreateIn(DibPtr& image, int32_t w, int32_t h);

// True when the reference holds a picture with at least one pixel.
inline bool HasPixels(const DibPtr& image) { return image && !image->Empty(); }

// Writes every byte of dest (pixels and padding) with the w x h rectangle of
// src whose top-left corner is (left, top); the part of the rectangle off src
// is black. The same bytes as a fresh crop of that rectangle.
void CropRows(const cDIBSection& src, cDIBSection& dest, int32_t left, int32_t top);

// Copies n pixels (3 n bytes; from may be null when n is 0) and clears the
// rest of the row up to `bytes` bytes (pixels and padding).
void CopyPixelsClearRest(uint8_t* to, const uint8_t* from, int64_t n, int64_t bytes);

}  // namespace dioptrix::formats
