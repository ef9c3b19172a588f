#include "formats/reference_pics.h"

#include <cmath>

#include "formats/format_support.h"
#include "image/blit.h"
#include "image/dib_operations.h"
#include "process/image_process.h"

namespace dioptrix::reference {

using formats::CheckedAdd;
using formats::CheckedMul;
using formats::ContinuingSteps;
using formats::CreateIn;
using formats::Divide;
using formats::LoaderMessage;
using formats::MeasurePair;
using formats::PairSize;
using formats::RoundToLong;

namespace {

// A fresh engine for the pixel operations of one routine; the filters use
// none of its arrays.
struct Engine {
  EngineArrays arrays;
  cImageProcessDIB ip{arrays};
};

}  // namespace

void Load2D(const FormatContext& ctx) {
  FrameImages& f = ctx.frames;
  TrapErrors(ctx.host, LoaderMessage("Load2D"), [&] {
    CopyDib(f.SourceFrame, f.StereoPair[0]);
    CopyDib(f.SourceFrame, f.StereoPair[1]);
  });
}

void LoadAboveBelow(const FormatContext& ctx) {
  FrameImages& f = ctx.frames;
  TrapErrors(ctx.host, LoaderMessage("LoadAboveBelow"), [&] {
    const cDIBSection& src = Need(f.SourceFrame);
    const int32_t half = RoundToLong(src.Height() / 2.0);
    CropDibTo(f.SourceFrame, f.StereoPair[0], half, src.Width(), 0, 0);
    CropDibTo(f.SourceFrame, f.StereoPair[1], half, src.Width(), 0, half);
  });
}

void LoadJPS(const FormatContext& ctx) {
  FrameImages& f = ctx.frames;
  TrapErrors(ctx.host, LoaderMessage("LoadJPS"), [&] {
    const cDIBSection& src = Need(f.SourceFrame);
    const int32_t half = RoundToLong(src.Width() / 2.0);
    CropDibTo(f.SourceFrame, f.StereoPair[0], src.Height(), half, 0, 0);
    CropDibTo(f.SourceFrame, f.StereoPair[1], src.Height(), half, half, 0);
  });
}

namespace {

// Left view: red only; right view: green and blue only.
void SplitChannels(FrameImages& f, cImageProcessDIB& ip) {
  CopyDib(f.SourceFrame, f.StereoPair[0]);
  CopyDib(f.StereoPair[0], f.StereoPair[1]);
  ip.ColourMask(Need(f.StereoPair[0]), 0, 0, 1);
  ip.ColourMask(Need(f.StereoPair[1]), 1, 1, 0);
}

}  // namespace

void LoadAnaglyphColour(const FormatContext& ctx) {
  FrameImages& f = ctx.frames;
  Engine engine;
  TrapErrors(ctx.host, LoaderMessage("LoadAnaglyphColour"), [&] { SplitChannels(f, engine.ip); });
}

void LoadAnaglyph(const FormatContext& ctx) {
  FrameImages& f = ctx.frames;
  Engine engine;
  TrapErrors(ctx.host, LoaderMessage("LoadAnaglyph"), [&] {
    SplitChannels(f, engine.ip);
    // Only red is left in the left view and the right view has no red, so
    // these are the red value and the mean of green and blue.
    engine.ip.GrayScale(Need(f.StereoPair[0]), 1);
    engine.ip.GrayScale(Need(f.StereoPair[1]), 2);
  });
}

void SaveSideBySide(const FormatContext& ctx) {
  FrameImages& f = ctx.frames;
  ContinuingSteps step(ctx.host, "SaveSideBySide");
  PairSize pair;
  step([&] { MeasurePair(f, pair); });
  step([&] { CreateIn(f.OutputFrame, CheckedMul(2, pair.width), pair.height); });
  step([&] {
    BitBlt(Need(f.OutputFrame), 0, 0, pair.width, pair.height, Need(f.StereoPair[0]), 0, 0,
           kSrcCopy);
  });
  step([&] {
    BitBlt(Need(f.OutputFrame), pair.width, 0, pair.width, pair.height, Need(f.StereoPair[1]), 0, 0,
           kSrcCopy);
  });
}

void SaveAboveBelow(const FormatContext& ctx, bool quick) {
  FrameImages& f = ctx.frames;
  const Settings& s = ctx.settings;
  ContinuingSteps step(ctx.host, "SaveAboveBelow");
  PairSize pair;
  int32_t gap = 0, ow = 0, oh = 0, half = 0;
  double sx = 0, sy = 0, scale = 0;
  step([&] { MeasurePair(f, pair); });
  step([&] { gap = RoundToLong(std::floor(Divide(s.ScreenHeight, s.VertFactor))); });
  step([&] { sx = Divide(s.ScreenWidth, pair.width); });
  step([&] { sy = Divide(static_cast<double>(s.ScreenHeight) - gap, pair.height); });
  scale = sy < sx ? sy : sx;
  step([&] { ow = RoundToLong(pair.width * scale); });
  step([&] { oh = RoundToLong(pair.height * scale); });
  step([&] { CreateIn(f.OutputFrame, ow, CheckedAdd(oh, gap)); });
  step([&] { half = RoundToLong(oh / 2.0); });
  const StretchMode mode = quick ? kColorOnColor : kHalftone;
  step([&] {
    StretchBlt(Need(f.OutputFrame), 0, 0, ow, half, Need(f.StereoPair[0]), 0, 0, pair.width,
               pair.height, mode);
  });
  step([&] {
    StretchBlt(Need(f.OutputFrame), 0, CheckedAdd(half, gap), ow, half, Need(f.StereoPair[1]), 0, 0,
               pair.width, pair.height, mode);
  });
}

namespace {

// The anaglyph compositions: the left view copied into the output and
// prepared there, the right view copied into a temporary image and prepared,
// then the two merged by an OR blit over the pair's size.
template <class PrepareLeft, class PrepareRight>
void ComposeAnaglyph(const FormatContext& ctx, const char* routine, PrepareLeft prepareLeft,
                     PrepareRight prepareRight) {
  FrameImages& f = ctx.frames;
  Engine engine;
  cImageProcessDIB& ip = engine.ip;
  ContinuingSteps step(ctx.host, routine);
  PairSize pair;
  step([&] { MeasurePair(f, pair); });
  step([&] { CopyDib(f.StereoPair[0], f.OutputFrame); });
  prepareLeft(step, ip, f.OutputFrame);
  DibPtr temp;
  step([&] { CopyDib(f.StereoPair[1], temp); });
  prepareRight(step, ip, temp);
  step([&] {
    BitBlt(Need(f.OutputFrame), 0, 0, pair.width, pair.height, Need(temp), 0, 0, kSrcPaint);
  });
}

}  // namespace

void SaveAnaGray(const FormatContext& ctx) {
  ComposeAnaglyph(
      ctx, "SaveAnaGray",
      [](ContinuingSteps& step, cImageProcessDIB& ip, DibPtr& out) {
        step([&] { ip.GrayScale(Need(out), 3); });
        step([&] { ip.ColourMask(Need(out), 0, 0, 1); });
      },
      [](ContinuingSteps& step, cImageProcessDIB& ip, DibPtr& temp) {
        step([&] { ip.GrayScale(Need(temp), 3); });
        step([&] { ip.ColourMask(Need(temp), 1, 1, 0); });
      });
}

void SaveAnaColour(const FormatContext& ctx) {
  ComposeAnaglyph(
      ctx, "SaveAnaColour",
      [](ContinuingSteps& step, cImageProcessDIB& ip, DibPtr& out) {
        step([&] { ip.GrayScale_stand(Need(out)); });
        step([&] { ip.ColourMask(Need(out), 0, 0, 1); });
      },
      [](ContinuingSteps& step, cImageProcessDIB& ip, DibPtr& temp) {
        step([&] { ip.ColourMask(Need(temp), 1, 1, 0); });
      });
}

void SaveAnaYellow(const FormatContext& ctx) {
  ComposeAnaglyph(
      ctx, "SaveAnaYellow",
      [](ContinuingSteps& step, cImageProcessDIB& ip, DibPtr& out) {
        step([&] { ip.ColourMask(Need(out), 0, 1, 1); });
      },
      [](ContinuingSteps& step, cImageProcessDIB& ip, DibPtr& temp) {
        step([&] { ip.GrayScale_stand(Need(temp)); });
        step([&] { ip.ColourMask(Need(temp), 1, 0, 0); });
      });
}

}  // namespace dioptrix::reference
