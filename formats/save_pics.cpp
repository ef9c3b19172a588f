#include "formats/save_pics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/format_support.h"
#include "formats/pixel_rows.h"
#include "formats/reference_pics.h"
#include "image/dib_operations.h"
#include "platform/error.h"

namespace dioptrix {

using formats::CheckedAdd;
using formats::ContinuingSteps;
using formats::CopyPixelsClearRest;
using formats::CreateIn;
using formats::Divide;
using formats::HasPixels;
using formats::MeasurePair;
using formats::PairSize;
using formats::ReuseOrCreate;
using formats::RoundToLong;

namespace {

bool BothViews(const FrameImages& f) {
  return HasPixels(f.StereoPair[0]) && HasPixels(f.StereoPair[1]);
}

PairSize PairOf(const FrameImages& f) {
  const cDIBSection &left = *f.StereoPair[0], &right = *f.StereoPair[1];
  return {std::max(left.Width(), right.Width()), std::max(left.Height(), right.Height())};
}

// Scan line of a view that lies on row `top` (counted from the top) of a
// picture whose top-left corner it shares; -1 when the view has no such row.
inline int32_t TopAlignedLine(const cDIBSection& view, int64_t top) {
  return top < view.Height() ? static_cast<int32_t>(view.Height() - 1 - top) : -1;
}

}  // namespace

// --- Side by side -------------------------------------------------------------

void SaveSideBySide(const FormatContext& ctx) {
  formats::TrapFrame(ctx.host, "SaveSideBySide", true, [&] {
    FrameImages& f = ctx.frames;
    if (!BothViews(f)) return reference::SaveSideBySide(ctx);
    const PairSize pair = PairOf(f);
    cDIBSection* out = pair.width <= INT32_MAX / 2
                           ? ReuseOrCreate(f.OutputFrame, 2 * pair.width, pair.height)
                           : nullptr;
    if (!out) return reference::SaveSideBySide(ctx);
    const cDIBSection &left = *f.StereoPair[0], &right = *f.StereoPair[1];
    const int64_t half = 3 * int64_t{pair.width}, stride = out->BytesPerScanLine();
    for (int32_t y = 0; y < pair.height; ++y) {  // bottom line first: ascending memory
      const int32_t top = pair.height - 1 - y;
      uint8_t* row = out->ScanLine(y);
      const int32_t l = TopAlignedLine(left, top), r = TopAlignedLine(right, top);
      CopyPixelsClearRest(row, l < 0 ? nullptr : left.ScanLine(l), l < 0 ? 0 : left.Width(), half);
      CopyPixelsClearRest(row + half, r < 0 ? nullptr : right.ScanLine(r),
                          r < 0 ? 0 : right.Width(), stride - half);
    }
  });
}

// --- Above and below -----------------------------------------------------------

namespace {

// Sizes of the above/below picture: ow x (oh + gap), each view stretched into
// ow x half, the right view from row half + gap.
struct AboveBelowLayout {
  int32_t gap = 0, ow = 0, oh = 0, height = 0, half = 0, rightTop = 0;
};

// The layout when every step of it succeeds and gives a picture; false
// otherwise (the step-by-step version then reports what fails).
bool LayoutAboveBelow(const PairSize& pair, const Settings& s, AboveBelowLayout& out) {
  try {
    AboveBelowLayout g;
    g.gap = RoundToLong(std::floor(Divide(s.ScreenHeight, s.VertFactor)));
    const double sx = Divide(s.ScreenWidth, pair.width);
    const double sy = Divide(static_cast<double>(s.ScreenHeight) - g.gap, pair.height);
    const double scale = sy < sx ? sy : sx;
    g.ow = RoundToLong(pair.width * scale);
    g.oh = RoundToLong(pair.height * scale);
    g.height = CheckedAdd(g.oh, g.gap);
    g.half = RoundToLong(g.oh / 2.0);
    g.rightTop = CheckedAdd(g.half, g.gap);
    out = g;
    return g.ow > 0 && g.height > 0;
  } catch (const RuntimeError&) {
    return false;
  }
}

// Source index under the centre of destination pixel i when n source pixels
// are stretched onto dn: the pick of the nearest stretch blit.
inline int64_t NearestPick(int64_t i, int64_t n, int64_t dn) { return (2 * i + 1) * n / (2 * dn); }

// The gather of one view's columns for an output row: the leading columns
// whose pick lies in the view (picks only grow; the rest stay black).
pixel_rows::RowGather PickColumns(int32_t ow, int32_t pairWidth, int32_t viewWidth) {
  std::vector<uint32_t> offsets;
  offsets.reserve(static_cast<size_t>(ow));
  for (int32_t i = 0; i < ow; ++i) {
    const int64_t x = NearestPick(i, pairWidth, ow);
    if (x >= viewWidth) break;
    offsets.push_back(static_cast<uint32_t>(3 * x));
  }
  return pixel_rows::RowGather(std::move(offsets), 3 * int64_t{viewWidth});
}

// Source row of a view stretched from the pair height onto `half` rows, for
// row j of its rectangle; -1 outside the rectangle or past the view.
int32_t PickRow(int64_t j, const AboveBelowLayout& g, int32_t pairHeight, const cDIBSection& view) {
  if (j < 0 || j >= g.half) return -1;
  return TopAlignedLine(view, NearestPick(j, pairHeight, g.half));
}

void StretchAboveBelow(const cDIBSection& left, const cDIBSection& right, const PairSize& pair,
                       const AboveBelowLayout& g, cDIBSection& out) {
  const pixel_rows::RowGather leftCols = PickColumns(g.ow, pair.width, left.Width());
  const pixel_rows::RowGather rightCols = PickColumns(g.ow, pair.width, right.Width());
  const size_t stride = static_cast<size_t>(out.BytesPerScanLine());
  const size_t pixels = 3 * static_cast<size_t>(g.ow);
  int32_t lastLeft = -2, lastRight = -2;
  const uint8_t* lastRow = nullptr;
  // Bottom scan line first: memory in ascending order.
  for (int32_t y = 0; y < g.height; ++y) {
    const int32_t top = g.height - 1 - y;
    uint8_t* row = out.ScanLine(y);
    const int32_t l = PickRow(top, g, pair.height, left);
    const int32_t r = PickRow(int64_t{top} - g.rightTop, g, pair.height, right);
    if (lastRow && l == lastLeft && r == lastRight) {
      std::memcpy(row, lastRow, stride);  // the same picks as the line below
    } else {
      // The right view is stretched after the left one and covers it where the
      // rectangles overlap (a negative gap).
      if (r < 0 || rightCols.Count() < g.ow) {
        const size_t covered = l < 0 ? 0 : 3 * static_cast<size_t>(leftCols.Count());
        if (l >= 0) leftCols.Run(row, left.ScanLine(l));
        std::memset(row + covered, 0, pixels - covered);
      }
      if (r >= 0) rightCols.Run(row, right.ScanLine(r));
      std::memset(row + pixels, 0, stride - pixels);
    }
    lastLeft = l;
    lastRight = r;
    lastRow = row;
  }
}

}  // namespace

void SaveAboveBelow(const FormatContext& ctx, bool quick) {
  formats::TrapFrame(ctx.host, "SaveAboveBelow", true, [&] {
    FrameImages& f = ctx.frames;
    AboveBelowLayout g;
    if (!quick || !BothViews(f)) return reference::SaveAboveBelow(ctx, quick);
    const PairSize pair = PairOf(f);
    cDIBSection* out = LayoutAboveBelow(pair, ctx.settings, g)
                           ? ReuseOrCreate(f.OutputFrame, g.ow, g.height)
                           : nullptr;
    if (!out) return reference::SaveAboveBelow(ctx, quick);
    StretchAboveBelow(*f.StereoPair[0], *f.StereoPair[1], pair, g, *out);
  });
}

// --- Anaglyphs -------------------------------------------------------------------

namespace {

// The picture has the left view's size; where the right view overlaps it
// (top-left aligned) both views contribute, elsewhere the left one alone.
void ComposeAnaglyphRows(const FormatContext& ctx, pixel_rows::AnaglyphRowFn compose,
                         void (*stepwise)(const FormatContext&)) {
  FrameImages& f = ctx.frames;
  if (!BothViews(f)) return stepwise(ctx);
  const cDIBSection &left = *f.StereoPair[0], &right = *f.StereoPair[1];
  const int32_t w = left.Width(), h = left.Height();
  cDIBSection* out = ReuseOrCreate(f.OutputFrame, w, h);
  if (!out) return stepwise(ctx);
  const int32_t both = std::min(w, right.Width());
  std::vector<uint8_t> black;  // a right row of black where the right view has none
  if (both < w || right.Height() < h) black.assign(3 * static_cast<size_t>(w), 0);
  const size_t pad = static_cast<size_t>(out->BytesPerScanLine() - 3 * w);
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* l = left.ScanLine(y);
    uint8_t* o = out->ScanLine(y);
    const int32_t ry = TopAlignedLine(right, h - 1 - y);
    if (ry < 0) {
      compose(l, black.data(), o, w);
    } else {
      compose(l, right.ScanLine(ry), o, both);
      if (both < w) compose(l + 3 * both, black.data(), o + 3 * both, w - both);
    }
    std::memset(o + 3 * w, 0, pad);
  }
}

void ComposeAnaglyph(const FormatContext& ctx, const char* routine,
                     pixel_rows::AnaglyphRowFn compose, void (*stepwise)(const FormatContext&)) {
  formats::TrapFrame(ctx.host, routine, true, [&] { ComposeAnaglyphRows(ctx, compose, stepwise); });
}

}  // namespace

void SaveAnaGray(const FormatContext& ctx) {
  ComposeAnaglyph(ctx, "SaveAnaGray", pixel_rows::AnaGray, reference::SaveAnaGray);
}

void SaveAnaColour(const FormatContext& ctx) {
  ComposeAnaglyph(ctx, "SaveAnaColour", pixel_rows::AnaColour, reference::SaveAnaColour);
}

void SaveAnaYellow(const FormatContext& ctx) {
  ComposeAnaglyph(ctx, "SaveAnaYellow", pixel_rows::AnaYellow, reference::SaveAnaYellow);
}

// --- Interlace ---------------------------------------------------------------------

namespace {

// Writes output scan line y from the source scan line `line` of a view. The
// line is clamped to the view and the copy to the view's width; whatever the
// view does not cover is black.
void CopyInterlacedLine(cDIBSection& out, int32_t y, const cDIBSection& view, double line) {
  uint8_t* to = out.ScanLine(y);
  const int64_t bytes = out.BytesPerScanLine();
  if (view.Empty()) {
    std::memset(to, 0, static_cast<size_t>(bytes));
    return;
  }
  const double top = view.Height() - 1;
  const auto s = static_cast<int32_t>(std::isnan(line) ? 0 : std::clamp(line, 0.0, top));
  if (view.Width() >= out.Width()) {
    std::memcpy(to, view.ScanLine(s), static_cast<size_t>(bytes));
  } else {
    CopyPixelsClearRest(to, view.ScanLine(s), view.Width(), bytes);
  }
}

// Scan lines y and y + 1 for y = 0, 2, 4, ...: of one view, from its source
// line floor(y / scale) + offset.
void InterlaceView(cDIBSection& out, const cDIBSection& view, int32_t first, double scale,
                   int32_t offset) {
  for (int32_t y = 0; y + 1 < out.Height(); y += 2)
    CopyInterlacedLine(out, y + first, view, std::floor(y / scale) + offset);
}

// Narrows every scan line to ow pixels, picking the column the software
// resampler picks (floor(x * (W - 1) / ow), single precision), and keeps every
// scan line at its place so the interleaving of the eyes survives.
DibPtr NarrowRows(const cDIBSection& img, int32_t ow) {
  auto narrow = std::make_unique<cDIBSection>();
  if (!narrow->Create(ow, img.Height())) return nullptr;
  const int32_t sw = img.Width();
  const float xr = static_cast<float>(sw - 1) / static_cast<float>(ow);
  std::vector<int32_t> picks(static_cast<size_t>(ow));
  for (int32_t x = 0; x < ow; ++x)
    picks[x] = std::min(static_cast<int32_t>(std::floor(static_cast<float>(x) * xr)), sw - 1);
  for (int32_t y = 0; y < img.Height(); ++y) {
    const uint8_t* from = img.ScanLine(y);
    uint8_t* to = narrow->ScanLine(y);
    for (int32_t x = 0; x < ow; ++x) std::memcpy(to + 3 * x, from + 3 * picks[x], 3);
  }
  return narrow;
}

}  // namespace

void SaveInterlace(const FormatContext& ctx, bool fit) {
  FrameImages& f = ctx.frames;
  ContinuingSteps step(ctx.host, "SaveInterlace");
  PairSize pair;
  double scale = 1.0;
  int32_t ow = 0, oh = 0, leftOffset = 0, rightOffset = 0;
  step([&] { MeasurePair(f, pair); });
  if (fit) {
    const ScreenSize screen = ctx.settings.InterlaceViaOpenGL
                                  ? ScreenSize{ctx.settings.ScreenWidth, ctx.settings.ScreenHeight}
                                  : ctx.host.DesktopSize();
    double sx = 0, sy = 0;
    step([&] { sx = Divide(screen.width, pair.width); });
    step([&] { sy = Divide(screen.height, pair.height); });
    scale = sy < sx ? sy : sx;
  }
  step([&] { ow = RoundToLong(pair.width * scale); });
  step([&] {
    oh = RoundToLong(pair.height * scale);
    oh -= oh % 2;
  });
  step([&] {
    // Every byte is rewritten when both views are there: an image of the
    // right size can be kept.
    if (!BothViews(f) || !ReuseOrCreate(f.OutputFrame, pair.width, oh))
      CreateIn(f.OutputFrame, pair.width, oh);
  });
  step([&] {
    // Offsetting the taller view's lines skips its bottom rows, so that the
    // tops of the views line up.
    const int32_t d = Need(f.StereoPair[0]).Height() - Need(f.StereoPair[1]).Height();
    if (d < 1) {
      rightOffset = -d;
    } else {
      leftOffset = d;
    }
  });
  step([&] { InterlaceView(Need(f.OutputFrame), Need(f.StereoPair[0]), 1, scale, leftOffset); });
  step([&] { InterlaceView(Need(f.OutputFrame), Need(f.StereoPair[1]), 0, scale, rightOffset); });
  step([&] {
    const cDIBSection& out = Need(f.OutputFrame);
    if (!out.Empty() && out.Height() == oh && out.Width() == ow) return;  // already that size
    if (!out.Empty() && out.Height() == oh && ow > 0 && ow < out.Width()) {
      f.OutputFrame = NarrowRows(out, ow);
      return;
    }
    ResampleDib(f.OutputFrame, oh, ow, false);
  });
}

}  // namespace dioptrix
