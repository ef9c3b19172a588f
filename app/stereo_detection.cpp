#include "app/stereo_detection.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "image/bitmap_header.h"

namespace dioptrix {

namespace {

constexpr int32_t kSamples = 7;
constexpr int32_t kGreyWidth = 320;  // samples are judged at about this width
constexpr float kFlatRange = 12;     // a bar's row or column varies less than this
constexpr double kDetail = 4;        // a half with less deviation shows no detail

// A frame in grey, top row first, reduced by averaging square blocks.
struct Grey {
  int32_t w = 0, h = 0;
  std::vector<float> v;
  float At(int32_t x, int32_t y) const { return v[static_cast<size_t>(y) * w + x]; }
};

Grey ToGrey(const uint8_t* packed, int32_t width, int32_t height) {
  const int32_t f = std::max(1, (width + kGreyWidth - 1) / kGreyWidth);
  Grey g;
  g.w = width / f;
  g.h = height / f;
  if (g.w <= 0 || g.h <= 0) return {};
  g.v.assign(static_cast<size_t>(g.w) * g.h, 0);
  const int64_t stride = BytesPerRow24(width);
  const uint8_t* bits = packed + sizeof(BitmapInfoHeader);
  for (int32_t y = 0; y < g.h; ++y) {
    for (int32_t x = 0; x < g.w; ++x) {
      float sum = 0;
      for (int32_t j = 0; j < f; ++j) {
        // Rows are stored bottom-up.
        const uint8_t* p = bits + (height - 1 - (y * f + j)) * stride + 3 * (x * f);
        for (int32_t i = 0; i < f; ++i, p += 3)
          sum += 0.114f * p[0] + 0.587f * p[1] + 0.299f * p[2];
      }
      g.v[static_cast<size_t>(y) * g.w + x] = sum / static_cast<float>(f * f);
    }
  }
  return g;
}

// Uniform bars at the four edges, in grey pixels, each at most a third of
// the picture.
struct Bars {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

Bars FindBars(const Grey& g) {
  auto flatRow = [&](int32_t y) {
    const auto row = g.v.begin() + static_cast<ptrdiff_t>(y) * g.w;
    const auto [lo, hi] = std::minmax_element(row, row + g.w);
    return *hi - *lo <= kFlatRange;
  };
  auto flatColumn = [&](int32_t x) {
    float lo = g.At(x, 0), hi = lo;
    for (int32_t y = 1; y < g.h; ++y) {
      lo = std::min(lo, g.At(x, y));
      hi = std::max(hi, g.At(x, y));
    }
    return hi - lo <= kFlatRange;
  };
  Bars b;
  while (b.top < g.h / 3 && flatRow(b.top)) ++b.top;
  while (b.bottom < g.h / 3 && flatRow(g.h - 1 - b.bottom)) ++b.bottom;
  while (b.left < g.w / 3 && flatColumn(b.left)) ++b.left;
  while (b.right < g.w / 3 && flatColumn(g.w - 1 - b.right)) ++b.right;
  return b;
}

// The best normalised correlation of two equal rectangles of g, the second
// moved by up to maxDx columns and maxDy rows against the first. Nothing (a
// value below -1) when either shows no detail.
double BestCorrelation(const Grey& g, int32_t ax, int32_t ay, int32_t bx, int32_t by, int32_t w,
                       int32_t h, int32_t maxDx, int32_t maxDy) {
  double best = -2;
  for (int32_t dy = -maxDy; dy <= maxDy; ++dy) {
    for (int32_t dx = -maxDx; dx <= maxDx; ++dx) {
      // The overlap of rectangle a and rectangle b moved by (dx, dy).
      const int32_t x0 = std::max(0, -dx), x1 = std::min(w, w - dx);
      const int32_t y0 = std::max(0, -dy), y1 = std::min(h, h - dy);
      if (x1 - x0 < 4 || y1 - y0 < 4) continue;
      double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
      for (int32_t y = y0; y < y1; ++y) {
        for (int32_t x = x0; x < x1; ++x) {
          const double a = g.At(ax + x, ay + y);
          const double b = g.At(bx + x + dx, by + y + dy);
          sa += a, sb += b, saa += a * a, sbb += b * b, sab += a * b;
        }
      }
      const double n = static_cast<double>(x1 - x0) * (y1 - y0);
      const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
      if (va < kDetail * kDetail * n || vb < kDetail * kDetail * n) return -2;
      best = std::max(best, (sab - sa * sb / n) / std::sqrt(va * vb));
    }
  }
  return best;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

}  // namespace

StereoGuess GuessStereoLayout(VideoFile& video) {
  StereoGuess guess;
  const int32_t width = video.Width(), height = video.Height(), length = video.Length();
  if (width <= 0 || height <= 0 || length <= 0) return guess;

  // Frames spread over the film, away from its ends.
  std::vector<Grey> samples;
  for (int32_t k = 1; k <= kSamples; ++k) {
    const auto n = static_cast<int32_t>(static_cast<int64_t>(length) * k / (kSamples + 1));
    const uint8_t* packed = video.GetFrame(std::min(n, length - 1));
    if (!packed) continue;
    Grey g = ToGrey(packed, width, height);
    if (g.w > 0) samples.push_back(std::move(g));
  }
  if (samples.empty()) return guess;

  // Bars are what every sample has at its edges.
  Bars bars = FindBars(samples[0]);
  for (const Grey& g : samples) {
    const Bars b = FindBars(g);
    bars.left = std::min(bars.left, b.left), bars.top = std::min(bars.top, b.top);
    bars.right = std::min(bars.right, b.right), bars.bottom = std::min(bars.bottom, b.bottom);
  }
  const Grey& first = samples[0];
  const int32_t cx = bars.left, cy = bars.top;
  const int32_t cw = first.w - bars.left - bars.right, ch = first.h - bars.top - bars.bottom;
  const double scale = static_cast<double>(width) / first.w;
  guess.left = static_cast<int32_t>(cx * scale);
  guess.top = static_cast<int32_t>(cy * scale);
  guess.width = static_cast<int32_t>(cw * scale);
  guess.height = static_cast<int32_t>(ch * scale);
  if (cw < 16 || ch < 16) return guess;

  // Each half against the other, allowing the sideways shift between the
  // eyes (and a little of the views' vertical misalignment above/below).
  const int32_t hw = cw / 2, hh = ch / 2;
  const int32_t maxDx = std::max(1, cw / 24), maxDy = std::max(1, ch / 40);
  std::vector<double> sbs, ab;
  for (const Grey& g : samples) {
    const double s = BestCorrelation(g, cx, cy, cx + hw, cy, hw, ch, maxDx, 0);
    const double a = BestCorrelation(g, cx, cy, cx, cy + hh, cw, hh, maxDx, maxDy);
    if (s < -1 || a < -1) continue;  // a plain frame tells nothing
    sbs.push_back(s);
    ab.push_back(a);
  }
  guess.samples = static_cast<int32_t>(sbs.size());
  if (sbs.empty()) return guess;
  guess.sideBySide = Median(sbs);
  guess.aboveBelow = Median(ab);
  constexpr double kMargin = 0.05;
  if (guess.sideBySide >= kSameSceneCorrelation && guess.sideBySide >= guess.aboveBelow + kMargin) {
    guess.layout = 5;
  } else if (guess.aboveBelow >= kSameSceneCorrelation &&
             guess.aboveBelow >= guess.sideBySide + kMargin) {
    guess.layout = 1;
  }
  return guess;
}

}  // namespace dioptrix
