#include "formats/load_pics.h"

#include <cstring>

#include "formats/format_support.h"
#include "formats/pixel_rows.h"
#include "formats/reference_pics.h"
#include "platform/error.h"

namespace dioptrix {

using formats::CreateIn;
using formats::CropRows;
using formats::HasPixels;
using formats::LoaderMessage;
using formats::ReuseOrCreate;
using formats::RoundToLong;

namespace {

// Both views made w x h for a loader that writes every byte of them; false
// when one cannot be made.
bool PrepareViews(FrameImages& f, int32_t w, int32_t h, cDIBSection*& left, cDIBSection*& right) {
  left = ReuseOrCreate(f.StereoPair[0], w, h);
  right = left ? ReuseOrCreate(f.StereoPair[1], w, h) : nullptr;
  return right != nullptr;
}

// Crops of a source with pixels of at least 2 by 2; anything else takes the
// step-by-step path, which reports it or leaves the views nothing.
bool CanCrop(const DibPtr& src) {
  return HasPixels(src) && src->Width() >= 2 && src->Height() >= 2;
}

// Splits every scan line of src into the views with a row kernel and clears
// the views' padding.
template <class SplitRow>
void SplitRows(const cDIBSection& src, cDIBSection& left, cDIBSection& right, SplitRow split) {
  const int32_t w = src.Width();
  const size_t pad = static_cast<size_t>(left.BytesPerScanLine() - 3 * w);
  for (int32_t y = 0; y < src.Height(); ++y) {
    split(src.ScanLine(y), left.ScanLine(y), right.ScanLine(y), w);
    std::memset(left.ScanLine(y) + 3 * w, 0, pad);
    std::memset(right.ScanLine(y) + 3 * w, 0, pad);
  }
}

}  // namespace

void Load2D(const FormatContext& ctx) {
  formats::TrapFrame(ctx.host, "Load2D", false, [&] {
    FrameImages& f = ctx.frames;
    cDIBSection *left = nullptr, *right = nullptr;
    if (!HasPixels(f.SourceFrame) ||
        !PrepareViews(f, f.SourceFrame->Width(), f.SourceFrame->Height(), left, right))
      return reference::Load2D(ctx);
    // Line by line, so that each source line is read from memory once.
    const cDIBSection& src = *f.SourceFrame;
    const size_t line = static_cast<size_t>(src.BytesPerScanLine());
    for (int32_t y = 0; y < src.Height(); ++y) {
      std::memcpy(left->ScanLine(y), src.ScanLine(y), line);
      std::memcpy(right->ScanLine(y), src.ScanLine(y), line);
    }
  });
}

void LoadAboveBelow(const FormatContext& ctx) {
  formats::TrapFrame(ctx.host, "LoadAboveBelow", false, [&] {
    FrameImages& f = ctx.frames;
    if (!CanCrop(f.SourceFrame)) return reference::LoadAboveBelow(ctx);
    const cDIBSection& src = *f.SourceFrame;
    const int32_t half = RoundToLong(src.Height() / 2.0);
    cDIBSection *left = nullptr, *right = nullptr;
    if (!PrepareViews(f, src.Width(), half, left, right)) return reference::LoadAboveBelow(ctx);
    CropRows(src, *left, 0, 0);
    CropRows(src, *right, 0, half);
  });
}

void LoadJPS(const FormatContext& ctx) {
  formats::TrapFrame(ctx.host, "LoadJPS", false, [&] {
    FrameImages& f = ctx.frames;
    if (!CanCrop(f.SourceFrame)) return reference::LoadJPS(ctx);
    const cDIBSection& src = *f.SourceFrame;
    const int32_t half = RoundToLong(src.Width() / 2.0);
    cDIBSection *left = nullptr, *right = nullptr;
    if (!PrepareViews(f, half, src.Height(), left, right)) return reference::LoadJPS(ctx);
    CropRows(src, *left, 0, 0);
    CropRows(src, *right, half, 0);
  });
}

void LoadInterleaved(const FormatContext& ctx) {
  FrameImages& f = ctx.frames;
  TrapErrors(ctx.host, LoaderMessage("LoadInterleaved"), [&] {
    const cDIBSection& src = Need(f.SourceFrame);
    const int32_t w = src.Width(), h = src.Height();
    const int32_t even = h - h % 2;
    cDIBSection *left = nullptr, *right = nullptr;
    if (!PrepareViews(f, w, even, left, right)) {
      // A source of one row (or none) gives empty views; otherwise the views
      // could not be made and no line is copied into them.
      CreateIn(f.StereoPair[0], w, even);
      CreateIn(f.StereoPair[1], w, even);
      if (!HasPixels(f.StereoPair[0]) || !HasPixels(f.StereoPair[1])) {
        if (even > 0 && w > 0) throw RuntimeError(kErrOutOfMemory);
        return;
      }
      left = f.StereoPair[0].get();
      right = f.StereoPair[1].get();
    }
    // Views and source share the width, hence the scan line length.
    const size_t line = static_cast<size_t>(src.BytesPerScanLine());
    for (int32_t y = 0; y + 1 < even; y += 2) {
      std::memcpy(left->ScanLine(y), src.ScanLine(y), line);
      std::memcpy(left->ScanLine(y + 1), src.ScanLine(y), line);
      std::memcpy(right->ScanLine(y), src.ScanLine(y + 1), line);
      std::memcpy(right->ScanLine(y + 1), src.ScanLine(y + 1), line);
    }
  });
}

void LoadAnaglyph(const FormatContext& ctx) {
  formats::TrapFrame(ctx.host, "LoadAnaglyph", false, [&] {
    FrameImages& f = ctx.frames;
    cDIBSection *left = nullptr, *right = nullptr;
    if (!HasPixels(f.SourceFrame) ||
        !PrepareViews(f, f.SourceFrame->Width(), f.SourceFrame->Height(), left, right))
      return reference::LoadAnaglyph(ctx);
    SplitRows(*f.SourceFrame, *left, *right, pixel_rows::SplitAnaglyphGray);
  });
}

void LoadAnaglyphColour(const FormatContext& ctx) {
  formats::TrapFrame(ctx.host, "LoadAnaglyphColour", false, [&] {
    FrameImages& f = ctx.frames;
    cDIBSection *left = nullptr, *right = nullptr;
    if (!HasPixels(f.SourceFrame) ||
        !PrepareViews(f, f.SourceFrame->Width(), f.SourceFrame->Height(), left, right))
      return reference::LoadAnaglyphColour(ctx);
    SplitRows(*f.SourceFrame, *left, *right, pixel_rows::SplitAnaglyphColour);
  });
}

}  // namespace dioptrix
