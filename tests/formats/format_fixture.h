// A frame pipeline for the format tests: frame images, settings and a host
// that records its messages.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/format_context.h"
#include "tests/common/test_images.h"

namespace dioptrix::test {

struct Pipeline {
  FrameImages frames;
  Settings settings;
  Host host;
  MessageLog log;

  Pipeline() { log.Attach(host); }
  FormatContext Context() { return {frames, settings, host}; }
  std::vector<std::string> Messages() const { return log.Texts(); }

  // Another pipeline with copies of this one's images and settings.
  void CopyInto(Pipeline& other) const {
    auto copy = [](const DibPtr& p) { return p ? p->CopyOf() : DibPtr{}; };
    other.frames.SourceFrame = copy(frames.SourceFrame);
    other.frames.StereoPair[0] = copy(frames.StereoPair[0]);
    other.frames.StereoPair[1] = copy(frames.StereoPair[1]);
    other.frames.OutputFrame = copy(frames.OutputFrame);
    other.settings = settings;
    other.host.onDesktopSize = host.onDesktopSize;
  }
};

// Both images nothing, or both images with the same size and pixels.
inline ::testing::AssertionResult SameImage(const DibPtr& a, const DibPtr& b) {
  if (!a || !b) {
    if (!a && !b) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (a ? "second" : "first") << " image is nothing";
  }
  if (a->Width() != b->Width() || a->Height() != b->Height())
    return ::testing::AssertionFailure()
           << a->Width() << "x" << a->Height() << " vs " << b->Width() << "x" << b->Height();
  if (!SamePixels(*a, *b)) return ::testing::AssertionFailure() << "pixels differ";
  return ::testing::AssertionSuccess();
}

// Pixel (x, top) with the row counted from the top of the picture.
inline const uint8_t* TopPixel(const cDIBSection& img, int32_t x, int32_t top) {
  return PixelAt(img, x, img.Height() - 1 - top);
}

// The three bytes of a pixel as a number B | G << 8 | R << 16.
inline uint32_t Bgr(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16); }
constexpr uint32_t BgrOf(uint8_t b, uint8_t g, uint8_t r) { return b | (g << 8) | (r << 16); }

}  // namespace dioptrix::test
