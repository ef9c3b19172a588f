// Running the 2D-to-3D conversion over a synthetic scene and scoring the
// stereo pairs it makes against the scene's truth:
//
// - ordering: the share of pairs of 8x8 blocks, of true depths at least
//   kOrderingDepthGap apart, whose disparities in the output (found by block
//   matching its left view against its right view) put the nearer block in
//   front: its disparity (x_right - x_left) strictly below the farther one's;
// - PSNR and SSIM of the output's right view against the true right view,
//   beside the same figures for two stand-ins: the right view replaced by the
//   left one, and by the previous frame;
// - cut recovery: how many frames after a cut the ordering needs to settle.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/dib_section.h"
#include "tools/quality/stereo_scenes.h"

namespace dioptrix::quality {

enum class DepthMode { Standard, Improved };
const char* DepthModeName(DepthMode mode);

// --- Running the conversion --------------------------------------------------

// The output of one conversion of a scene: its left and right views per
// frame (nothing where the conversion left no picture of the frame's size),
// and every message the core showed.
struct ConversionRun {
  std::vector<DibPtr> left;
  std::vector<DibPtr> right;
  std::vector<std::string> messages;
};

// Whether dir/libblocks.so exists and loads with the conversion's exports;
// why receives the reason when it does not.
bool CanLoadBlocksLibrary(const std::string& dir, std::string& why);

// Converts frames (the scene's, in order) as a playback does, frame 0 as the
// first frame and each later one continuing, with a fresh program context
// bound to a private copy of dir/libblocks.so (the library keeps state
// between calls, so each run starts from a clean one). The first frame shows
// the left view to both eyes; mode chooses the improved depth or the
// standard conversion. Time does not enter: the conversion's speed
// adaptation sees every step as instant, so the figures do not depend on
// how fast the machine is.
ConversionRun RunConversion(const std::vector<TrueFrame>& frames, DepthMode mode,
                            const std::string& dir);

// Renders every frame of a scene.
std::vector<TrueFrame> RenderScene(const Scene& scene);

// --- Scores ------------------------------------------------------------------

constexpr int32_t kBlockSize = 8;
constexpr int kOrderingDepthGap = 32;
// Frames at the start of a scene left out of its means while the
// conversion settles.
constexpr int32_t kWarmUpFrames = 3;
// PSNR of identical pictures.
constexpr double kPsnrCap = 100;

// A block of known depth and its measured disparity.
struct BlockSample {
  int depth = 0;
  double disparity = 0;
};

// The share of correctly ordered pairs among blocks whose depths differ by
// at least gap; NaN when there is no such pair.
double OrderedShare(const std::vector<BlockSample>& blocks, int gap = kOrderingDepthGap);

// The columns the block matcher searches on either side: the mapping's
// largest shift plus a margin for shifts the conversion gets wrong.
int32_t SearchRange(const Scene& scene);

// The disparity (x in right minus x in left) of the 8x8 block of left whose
// top-left pixel is (x, scanLine): the sum of absolute differences over the
// three bytes of each pixel, smallest over -range..range, refined to a
// fraction of a pixel between its neighbours unless the match is exact or
// at the end of the range. NaN when the search leaves the picture or the
// pictures differ in size.
double BlockDisparity(const cDIBSection& left, const cDIBSection& right, int32_t x,
                      int32_t scanLine, int32_t range);

// The ordering of one output pair (left, right) against the truth of the
// frame its left view shows. Only blocks of a single true depth that have
// texture and stay visible in the true right view count. NaN when no pair
// of blocks counts.
double FrameOrdering(const Scene& scene, const TrueFrame& truth, const cDIBSection& left,
                     const cDIBSection& right);

// The region the picture scores cover: the picture without the largest
// shift plus 8 pixels at the left and right and 8 lines at the top and
// bottom.
struct Region {
  int32_t x0 = 0, x1 = 0;  // columns x0 .. x1 - 1
  int32_t y0 = 0, y1 = 0;  // scan lines y0 .. y1 - 1
  bool Empty() const { return x1 <= x0 || y1 <= y0; }
};
Region ScoreRegion(const Scene& scene);

// PSNR over the region of the three bytes of every pixel (kPsnrCap for
// identical pictures), and mean SSIM of every 8x8 window inside the region,
// on luma with the usual constants ((0.01 * 255)^2, (0.03 * 255)^2). NaN
// when a picture is missing, the sizes differ or the region does not fit.
double Psnr(const cDIBSection* a, const cDIBSection* b, const Region& region);
double Ssim(const cDIBSection* a, const cDIBSection* b, const Region& region);

// Frames from the cut until the ordering comes within tolerance of the mean
// of the scene's last five frames and stays there; nothing when it never
// does (or the scene has no cut).
constexpr double kRecoveryTolerance = 0.05;
std::optional<int32_t> CutRecovery(const std::vector<double>& ordering, int32_t cut);

// Picture-score triples: the output's right view, right := left, right :=
// the previous frame.
struct PictureScores {
  double synthesised = 0;
  double rightIsLeft = 0;
  double rightIsPrevious = 0;
};

struct SceneScores {
  std::string scene;
  DepthMode mode = DepthMode::Standard;
  // Means over the frames after the warm-up (NaN frames left out).
  double ordering = 0;
  PictureScores psnr, ssim;
  // Per frame, every frame.
  std::vector<double> orderingPerFrame;
  std::optional<int32_t> cutRecovery;  // nothing: no cut, or not recovered
  bool hasCut = false;
  int32_t missingViews = 0;  // frames the conversion left without a view
  std::vector<std::string> messages;
};

SceneScores ScoreRun(const Scene& scene, const std::vector<TrueFrame>& frames,
                     const ConversionRun& run, DepthMode mode);

// Renders one scene, then converts and scores it in each of the modes.
std::vector<SceneScores> MeasureScene(const Scene& scene, const std::vector<DepthMode>& modes,
                                      const std::string& libraryDir);

}  // namespace dioptrix::quality
