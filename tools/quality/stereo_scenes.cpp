#include "tools/quality/stereo_scenes.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

namespace dioptrix::quality {

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

// The conversion's depth scale (playback/convert.cpp): the gain is
// kDepthScale / 255 bytes per unit of inverted depth at 640 wide, the offset
// half of kDepthScale.
constexpr double kDepthScale = 30;
constexpr double kReferenceWidth = 640;

// A lattice value in [0, 1) for cell (i, j) of one noise field.
double LatticeValue(int64_t i, int64_t j, uint32_t seed) {
  uint32_t h = seed * 0x9E3779B9u;
  h ^= static_cast<uint32_t>(i) * 0x8DA6B343u;
  h ^= static_cast<uint32_t>(j) * 0xD8163841u;
  h = (h ^ (h >> 16)) * 0x7FEB352Du;
  h = (h ^ (h >> 15)) * 0x846CA68Bu;
  h ^= h >> 16;
  return h * (1.0 / 4294967296.0);
}

// 6t^5 - 15t^4 + 10t^3: smooth, with flat first and second derivatives at
// the lattice lines, so the noise has no visible grid.
double Smooth(double t) { return t * t * t * (t * (t * 6 - 15) + 10); }

// The largest integer not above v, for |v| below 2^62.
double Floor(double v) {
  const auto f = static_cast<double>(static_cast<int64_t>(v));
  return f > v ? f - 1 : f;
}

// Value noise of unit cells in [0, 1). Coordinates far beyond any picture
// are folded back to keep the cell numbers in range.
double ValueNoise(double u, double v, uint32_t seed) {
  constexpr double kFar = 1e9;
  if (!(std::fabs(u) < kFar)) u = 0;
  if (!(std::fabs(v) < kFar)) v = 0;
  const double fu = Floor(u), fv = Floor(v);
  const auto i = static_cast<int64_t>(fu), j = static_cast<int64_t>(fv);
  const double su = Smooth(u - fu), sv = Smooth(v - fv);
  const double a = LatticeValue(i, j, seed), b = LatticeValue(i + 1, j, seed);
  const double c = LatticeValue(i, j + 1, seed), d = LatticeValue(i + 1, j + 1, seed);
  const double top = a + su * (b - a), bottom = c + su * (d - c);
  return top + sv * (bottom - top);
}

// sin(2 pi t), to within 1e-6: the turn folded into a quarter, then the
// sine's series to the 11th power (the library sine is several times
// slower, and the textures need no more).
double SinTurns(double t) {
  constexpr double kFar = 1e9;
  if (!(std::fabs(t) < kFar)) return 0;
  t -= Floor(t + 0.5);  // -0.5 .. 0.5
  if (t > 0.25) t = 0.5 - t;
  if (t < -0.25) t = -0.5 - t;
  const double x = kTwoPi * t, x2 = x * x;
  return x * (1 + x2 * (-1.0 / 6 +
                        x2 * (1.0 / 120 +
                              x2 * (-1.0 / 5040 + x2 * (1.0 / 362880 + x2 * (-1.0 / 39916800))))));
}

// Octaves of value noise, each half the period and half the weight of the
// one before, in [0, 1).
double Octaves(double u, double v, double period, int octaves, uint32_t seed) {
  double sum = 0, weight = 1, total = 0;
  for (int o = 0; o < octaves; ++o) {
    sum += weight * ValueNoise(u / period, v / period, seed + 7919u * static_cast<uint32_t>(o));
    total += weight;
    weight *= 0.5;
    period *= 0.5;
  }
  return sum / total;
}

double Mix(double a, double b, double t) { return a + (b - a) * t; }

}  // namespace

double StereoMapping::Largest() const {
  return std::max(std::fabs(Pixels(0)), std::fabs(Pixels(255)));
}

StereoMapping MappingForWidth(int32_t width) {
  const double ratio = width / kReferenceWidth;
  // The conversion keeps the gain as a float; the truth uses the same value.
  const auto gain = static_cast<float>(kDepthScale / 255.0 * ratio);
  return {gain, std::nearbyint(ratio * (kDepthScale / 2))};
}

void Texture::Sample(double u, double v, uint8_t bgr[3]) const {
  // Broad shapes, a second field that shifts the hue, fine grain for the
  // block matcher, and two slanted waves whose wavelengths are no multiple
  // of the noise cells.
  const double broad = Octaves(u, v, period, 3, seed);
  const double hue = Octaves(u + 131.7, v - 57.3, period * 1.7, 1, seed + 101u);
  const double grain = ValueNoise(u / 3.1, v / 3.1, seed + 211u) - 0.5;
  const double phase = LatticeValue(seed, 3, 17);
  const double wave = 0.5 + 0.25 * SinTurns(u / (period * 1.93) + v / 89.0 + phase) +
                      0.25 * SinTurns(v / (period * 1.31) - u / 71.0 + 2 * phase);
  const double t = std::clamp(0.65 * broad + 0.35 * wave, 0.0, 1.0);
  for (int c = 0; c < 3; ++c) {
    double value = Mix(palette[0][c], palette[1][c], t);
    value = Mix(value, palette[2][c], 0.6 * hue) + 70 * grain;
    bgr[c] = static_cast<uint8_t>(std::nearbyint(std::clamp(value, 0.0, 255.0)));
  }
}

bool Outline::Covers(double u, double v) const {
  switch (kind) {
    case Kind::Plane:
      return true;
    case Kind::Band: {
      const double at = edge + amplitude * (SinTurns(u / wavelength) +
                                            0.5 * SinTurns(u / (0.37 * wavelength) + 0.2));
      return above ? v <= at : v >= at;
    }
    case Kind::Objects: {
      if (!(halfWidth > 0 && halfHeight > 0)) return false;
      if (period > 0) u -= period * std::nearbyint(u / period);
      const double a = u / halfWidth, b = v / halfHeight;
      // A rounded rectangle: |a|^4 + |b|^4 <= 1.
      return a * a * a * a + b * b * b * b <= 1;
    }
  }
  return false;
}

Scene::Scene(std::string name, int32_t width, int32_t height, int32_t frames,
             std::vector<Shot> shots)
    : name_(std::move(name)),
      width_(width),
      height_(height),
      frames_(frames),
      shots_(std::move(shots)),
      mapping_(MappingForWidth(width)) {
  if (width < 1 || height < 1 || frames < 1 || width > kMaxSceneWidth || height > kMaxSceneHeight ||
      frames > kMaxSceneFrames)
    throw std::invalid_argument("scene size out of range");
  if (shots_.empty() || shots_.front().firstFrame != 0)
    throw std::invalid_argument("a scene starts with a shot at frame 0");
  for (size_t i = 1; i < shots_.size(); ++i)
    if (shots_[i].firstFrame <= shots_[i - 1].firstFrame)
      throw std::invalid_argument("shots out of order");
}

int32_t Scene::CutFrame() const {
  return shots_.size() > 1 && shots_[1].firstFrame < frames_ ? shots_[1].firstFrame : -1;
}

const Shot& Scene::ShotOf(int32_t frame) const {
  size_t s = 0;
  while (s + 1 < shots_.size() && shots_[s + 1].firstFrame <= frame) ++s;
  return shots_[s];
}

bool Scene::SampleLayer(int32_t frame, size_t layer, double x, double row, uint8_t bgr[3]) const {
  const Shot& shot = ShotOf(frame);
  if (layer >= shot.layers.size()) return false;
  const Layer& l = shot.layers[layer];
  const double n = frame - shot.firstFrame;
  const double u = x - l.x0 - l.vx * n, v = row - l.y0 - l.vy * n;
  if (!l.outline.Covers(u, v)) return false;
  l.texture.Sample(u, v, bgr);
  return true;
}

template <class Shift>
void Scene::RenderView(int32_t frame, cDIBSection& view, std::vector<uint8_t>& depth,
                       Shift shift) const {
  const Shot& shot = ShotOf(frame);
  depth.assign(static_cast<size_t>(width_) * static_cast<size_t>(height_), 0);
  for (int32_t line = 0; line < height_; ++line) {
    const double row = height_ - 1 - line;  // scan line 0 is the bottom row
    uint8_t* out = view.ScanLine(line);
    for (int32_t x = 0; x < width_; ++x) {
      uint8_t* pixel = out + 3 * static_cast<size_t>(x);
      pixel[0] = pixel[1] = pixel[2] = 0;
      for (size_t k = shot.layers.size(); k-- > 0;) {
        const int d = shot.layers[k].depth;
        if (SampleLayer(frame, k, x - shift(d), row, pixel)) {
          depth[static_cast<size_t>(line) * static_cast<size_t>(width_) + static_cast<size_t>(x)] =
              static_cast<uint8_t>(d);
          break;
        }
      }
    }
  }
}

TrueFrame Scene::Render(int32_t frame) const {
  TrueFrame t;
  t.left = std::make_unique<cDIBSection>();
  t.right = std::make_unique<cDIBSection>();
  if (frame < 0 || frame >= frames_ || !t.left->Create(width_, height_) ||
      !t.right->Create(width_, height_))
    return {};
  RenderView(frame, *t.left, t.leftDepth, [](int) { return 0.0; });
  RenderView(frame, *t.right, t.rightDepth, [&](int d) { return mapping_.Pixels(d); });
  return t;
}

double PanMotion(double speed, int depth, int32_t width) {
  return speed * (width / kReferenceWidth) * (0.25 + 0.75 * depth / 255.0);
}

namespace {

using Palette = std::array<std::array<double, 3>, 3>;

Texture MakeTexture(uint32_t seed, double period, const Palette& palette) {
  Texture t;
  t.seed = seed;
  t.period = period;
  t.palette = palette;
  return t;
}

// Depths of the pan scenes' layers.
constexpr uint8_t kFarDepth = 20;
constexpr uint8_t kMidDepth = 128;
constexpr uint8_t kNearDepth = 235;

// Two arrangements of a pan: (a) ground in the lower half, near objects
// standing across the horizon; (b) a canopy across the top, near objects low.
struct PanLayout {
  uint32_t seed;
  bool midAbove;
  double midEdge;    // fraction of the height
  double nearRow;    // fraction of the height
  double nearStart;  // fraction of the width
  double nearPeriod;
  Palette far, mid, near;
};

const PanLayout kLayoutA = {
    1000,
    false,
    0.58,
    0.42,
    0.3,
    0.55,
    {{{205, 165, 120}, {150, 140, 95}, {235, 225, 215}}},
    {{{45, 125, 60}, {35, 80, 135}, {95, 175, 150}}},
    {{{45, 60, 205}, {30, 150, 235}, {125, 40, 145}}},
};

const PanLayout kLayoutB = {
    2000,
    true,
    0.36,
    0.68,
    0.6,
    0.7,
    {{{70, 95, 105}, {40, 60, 50}, {150, 170, 160}}},
    {{{165, 95, 160}, {110, 60, 90}, {210, 150, 200}}},
    {{{200, 195, 60}, {120, 230, 120}, {230, 120, 40}}},
};

Shot PanShot(int32_t firstFrame, int32_t width, int32_t height, double speed,
             const PanLayout& layout) {
  Shot shot;
  shot.firstFrame = firstFrame;

  Layer far;
  far.depth = kFarDepth;
  far.texture = MakeTexture(layout.seed + 1, 26, layout.far);
  far.vx = PanMotion(speed, far.depth, width);
  shot.layers.push_back(far);

  Layer mid;
  mid.depth = kMidDepth;
  mid.texture = MakeTexture(layout.seed + 2, 20, layout.mid);
  mid.outline.kind = Outline::Kind::Band;
  mid.outline.edge = layout.midEdge * height;
  mid.outline.above = layout.midAbove;
  mid.outline.amplitude = 0.04 * height;
  mid.outline.wavelength = 0.4 * width;
  mid.vx = PanMotion(speed, mid.depth, width);
  shot.layers.push_back(mid);

  Layer near;
  near.depth = kNearDepth;
  near.texture = MakeTexture(layout.seed + 3, 16, layout.near);
  near.outline.kind = Outline::Kind::Objects;
  near.outline.halfWidth = 0.09 * width;
  near.outline.halfHeight = 0.17 * height;
  near.outline.period = layout.nearPeriod * width;
  near.x0 = layout.nearStart * width;
  near.y0 = layout.nearRow * height;
  near.vx = PanMotion(speed, near.depth, width);
  shot.layers.push_back(near);
  return shot;
}

Scene PanScene(std::string name, int32_t width, int32_t height, int32_t frames, double speed) {
  return Scene(std::move(name), width, height, frames,
               {PanShot(0, width, height, speed, kLayoutA)});
}

// A static background with three objects of different depths moving in
// different directions; each object is at its given place on the middle
// frame, so that a scene of any length keeps them in view for long.
Scene ObjectsScene(int32_t width, int32_t height, int32_t frames) {
  struct Mover {
    uint8_t depth;
    double x, y;    // place on the middle frame, fractions of the picture
    double vx, vy;  // pixels a frame at 640 wide
    Palette palette;
  };
  const Mover movers[] = {
      {210, 0.28, 0.3, 2.5, 0, {{{40, 200, 230}, {20, 120, 200}, {150, 240, 250}}}},
      {225, 0.68, 0.35, -3.5, 2.0, {{{210, 200, 40}, {160, 110, 20}, {250, 240, 170}}}},
      {240, 0.5, 0.6, 1.5, -5.3, {{{190, 60, 200}, {90, 30, 150}, {230, 160, 240}}}},
  };
  const double scale = width / kReferenceWidth;
  const double middle = frames / 2;

  Shot shot;
  Layer background;
  background.depth = 30;
  background.texture = MakeTexture(3001, 24, {{{150, 150, 145}, {95, 105, 120}, {205, 200, 185}}});
  shot.layers.push_back(background);
  uint32_t seed = 3002;
  for (const Mover& m : movers) {
    Layer object;
    object.depth = m.depth;
    object.texture = MakeTexture(seed++, 14, m.palette);
    object.outline.kind = Outline::Kind::Objects;
    object.outline.halfWidth = 0.08 * width;
    object.outline.halfHeight = 0.14 * height;
    object.vx = m.vx * scale;
    object.vy = m.vy * scale;
    object.x0 = m.x * width - object.vx * middle;
    object.y0 = m.y * height - object.vy * middle;
    shot.layers.push_back(object);
  }
  // Far to near: the nearest object is drawn last.
  std::sort(shot.layers.begin(), shot.layers.end(),
            [](const Layer& a, const Layer& b) { return a.depth < b.depth; });
  return Scene("objects", width, height, frames, {std::move(shot)});
}

// A pan one way, then from the middle frame a different pan the other way.
Scene CutScene(int32_t width, int32_t height, int32_t frames) {
  return Scene(
      "cut", width, height, frames,
      {PanShot(0, width, height, 6, kLayoutA), PanShot(frames / 2, width, height, -10, kLayoutB)});
}

}  // namespace

std::vector<Scene> StandardScenes(int32_t width, int32_t height, int32_t frames) {
  if (width < kMinSceneWidth || width > kMaxSceneWidth || height < kMinSceneHeight ||
      height > kMaxSceneHeight)
    throw std::invalid_argument(
        "the picture size is out of range (" + std::to_string(kMinSceneWidth) + "x" +
        std::to_string(kMinSceneHeight) + " to " + std::to_string(kMaxSceneWidth) + "x" +
        std::to_string(kMaxSceneHeight) + ")");
  if (frames < kMinSceneFrames || frames > kMaxSceneFrames)
    throw std::invalid_argument("the frame count is out of range (" +
                                std::to_string(kMinSceneFrames) + " to " +
                                std::to_string(kMaxSceneFrames) + ")");
  if (int64_t{width} * height * frames > kMaxScenePixels)
    throw std::invalid_argument("too many pixels in all the frames (at most " +
                                std::to_string(kMaxScenePixels) + ")");
  std::vector<Scene> scenes;
  scenes.push_back(PanScene("pan slow", width, height, frames, 2));
  scenes.push_back(PanScene("pan medium", width, height, frames, 6));
  scenes.push_back(PanScene("pan fast", width, height, frames, 14));
  scenes.push_back(PanScene("pan reversed", width, height, frames, -6));
  scenes.push_back(ObjectsScene(width, height, frames));
  scenes.push_back(CutScene(width, height, frames));
  return scenes;
}

}  // namespace dioptrix::quality
