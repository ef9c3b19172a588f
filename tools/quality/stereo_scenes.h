// Synthetic stereo scenes for measuring the 2D-to-3D conversion: textured
// layers of known depth, moving frame by frame, rendered as the left view the
// conversion is given and as the right view it should make.
//
// Depth runs 0..255, 255 nearest. A point at x with depth d shows in the right
// view at x + StereoMapping::Pixels(d), the shift the conversion's own view
// synthesis gives that depth at the frame's width. Textures are functions of
// continuous coordinates, so a layer shifted by a fraction of a pixel renders
// exactly; nearer layers hide farther ones in both views.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "image/dib_section.h"

namespace dioptrix::quality {

// The depth-to-shift mapping of the conversion at one frame width. The first
// frame of a playback (ConvertStep::FirstFrame in playback/convert.cpp) sets
// the gain to (30 / 255) * (W / 640) bytes per unit of inverted depth and the
// offset to round(W / 640 * 15) bytes; the view synthesis (Make3DReference
// in blocks/make3d.cpp) moves the pixel at byte 3x with depth d to byte
// 3x + round((255 - d) * gain) - offset, then to the start of that pixel.
// Taken without the roundings, a point moves by ((255 - d) * gain - offset)
// / 3 pixels: to the right when far, to the left when near.
struct StereoMapping {
  double gain = 0;    // bytes per unit of (255 - depth)
  double offset = 0;  // bytes

  // The right view's x minus the left view's x for a point of this depth.
  double Pixels(int depth) const { return ((255 - depth) * gain - offset) / 3.0; }
  // The largest shift in either direction over all depths.
  double Largest() const;
};

StereoMapping MappingForWidth(int32_t width);

// A procedural texture: value noise in a few octaves plus sinusoids, coloured
// by a palette of three colours. Any real (u, v) gives a colour.
struct Texture {
  uint32_t seed = 1;
  double period = 24;  // pixels, of the coarsest noise octave
  // Blue, green, red of the three palette colours.
  std::array<std::array<double, 3>, 3> palette{};

  // The colour at (u, v), bytes blue, green, red.
  void Sample(double u, double v, uint8_t bgr[3]) const;
};

// Where a layer is, in its own coordinates (u, v) (v counted downwards).
struct Outline {
  enum class Kind {
    Plane,    // everywhere
    Band,     // below (or above) a wavy edge at v = edge + waves
    Objects,  // rounded rectangles centred on u = 0 (and every period), v = 0
  };
  Kind kind = Kind::Plane;
  // Band: the edge's mean height, whether the band lies above it, and the
  // amplitude and wavelength of its two waves.
  double edge = 0;
  bool above = false;
  double amplitude = 0;
  double wavelength = 1;
  // Objects: half width and half height, and the distance between copies
  // along u (0: one object only).
  double halfWidth = 0;
  double halfHeight = 0;
  double period = 0;

  bool Covers(double u, double v) const;
};

struct Layer {
  uint8_t depth = 0;
  Texture texture;
  Outline outline;
  // Position at the shot's first frame and motion per frame, pixels: the
  // layer's (u, v) = (x - x0 - vx * n, row - y0 - vy * n) on frame n of the
  // shot, rows counted from the top of the picture.
  double x0 = 0, y0 = 0;
  double vx = 0, vy = 0;
};

// A run of frames showing one set of layers (far to near).
struct Shot {
  int32_t firstFrame = 0;
  std::vector<Layer> layers;
};

// One frame of a scene and its truth. Depths hold one byte per pixel, index
// scanLine * width + x (scan lines as in the pictures: 0 is the bottom row).
struct TrueFrame {
  DibPtr left;
  DibPtr right;
  std::vector<uint8_t> leftDepth;
  std::vector<uint8_t> rightDepth;
};

class Scene {
 public:
  Scene(std::string name, int32_t width, int32_t height, int32_t frames, std::vector<Shot> shots);

  const std::string& Name() const { return name_; }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  int32_t Frames() const { return frames_; }
  const StereoMapping& Mapping() const { return mapping_; }
  const std::vector<Shot>& Shots() const { return shots_; }
  // The first frame of the second shot, or -1 when the scene has one shot.
  int32_t CutFrame() const;

  // The shot frame n belongs to.
  const Shot& ShotOf(int32_t frame) const;
  // The colour a layer of frame n's shot gives the left-view point (x, row),
  // rows from the top; a layer that does not cover the point gives false.
  bool SampleLayer(int32_t frame, size_t layer, double x, double row, uint8_t bgr[3]) const;
  // Frame n (0 <= n < Frames()). The pictures are nothing when they cannot
  // be made (memory).
  TrueFrame Render(int32_t frame) const;

 private:
  // The nearest layer covering the point of the view that sees layer depth
  // d at x + shift(d); writes its colour and depth.
  template <class Shift>
  void RenderView(int32_t frame, cDIBSection& view, std::vector<uint8_t>& depth, Shift shift) const;

  std::string name_;
  int32_t width_, height_, frames_;
  std::vector<Shot> shots_;
  StereoMapping mapping_;
};

// The camera of the pan scenes moves sideways by speed pixels a frame (at
// 640 wide, scaled with the width): a layer of depth d moves by
// speed * (0.25 + 0.75 * d / 255) pixels a frame.
double PanMotion(double speed, int depth, int32_t width);

// The scenes the harness measures, at the given size. Every frame of a scene
// and of its conversion is kept, so the size is bounded: sides below
// kMinSceneWidth x kMinSceneHeight or above kMaxSceneWidth x kMaxSceneHeight,
// fewer than kMinSceneFrames or more than kMaxSceneFrames frames, or more
// pixels in all the frames than kMaxScenePixels raise std::invalid_argument.
constexpr int32_t kMinSceneWidth = 128;
constexpr int32_t kMinSceneHeight = 72;
constexpr int32_t kMaxSceneWidth = 1920;
constexpr int32_t kMaxSceneHeight = 1080;
constexpr int32_t kMinSceneFrames = 10;
constexpr int32_t kMaxSceneFrames = 300;
constexpr int64_t kMaxScenePixels = int64_t{1920} * 1080 * 30;
std::vector<Scene> StandardScenes(int32_t width, int32_t height, int32_t frames);

}  // namespace dioptrix::quality
