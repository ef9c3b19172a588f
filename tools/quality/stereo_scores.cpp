#include "tools/quality/stereo_scores.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <system_error>

#include "platform/host.h"
#include "platform/libraries.h"
#include "platform/library_copy.h"
#include "playback/convert.h"
#include "playback/program.h"

namespace dioptrix::quality {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kBlocksFile = "libblocks.so";
// A block whose luma varies less than this (standard deviation, levels)
// gives the matcher nothing to hold on to.
constexpr double kMinBlockDeviation = 4;
// Border of the picture scores beyond the largest shift, pixels.
constexpr int32_t kScoreBorder = 8;
// Frames the cut recovery takes its reference from.
constexpr size_t kRecoveryReferenceFrames = 5;

// A copy of a view the conversion left, or nothing when it left none of the
// frame's size.
DibPtr KeepView(const DibPtr& view, int32_t w, int32_t h) {
  if (!view || view->Empty() || view->Width() != w || view->Height() != h) return nullptr;
  return view->CopyOf();
}

bool SamePictures(const cDIBSection& a, const cDIBSection& b) {
  if (a.Empty() || b.Empty() || a.Width() != b.Width() || a.Height() != b.Height()) return false;
  const auto bytes = 3 * static_cast<size_t>(a.Width());
  for (int32_t y = 0; y < a.Height(); ++y)
    if (std::memcmp(a.ScanLine(y), b.ScanLine(y), bytes) != 0) return false;
  return true;
}

bool SameSize(const cDIBSection* a, const cDIBSection* b) {
  return a && b && !a->Empty() && !b->Empty() && a->Width() == b->Width() &&
         a->Height() == b->Height();
}

bool Inside(const Region& r, const cDIBSection& picture) {
  return !r.Empty() && r.x0 >= 0 && r.y0 >= 0 && r.x1 <= picture.Width() &&
         r.y1 <= picture.Height();
}

// Luma 0..255 of a blue, green, red pixel (weights 0.114, 0.587, 0.299 in
// 256ths), in integers so that sums of it are exact.
int64_t Luma(const uint8_t* bgr) { return (29 * bgr[0] + 150 * bgr[1] + 77 * bgr[2] + 128) >> 8; }

// The standard deviation of the luma of a block.
double BlockDeviation(const cDIBSection& picture, int32_t x, int32_t scanLine) {
  double sum = 0, squares = 0;
  for (int32_t y = scanLine; y < scanLine + kBlockSize; ++y) {
    const uint8_t* p = picture.ScanLine(y) + 3 * static_cast<size_t>(x);
    for (int32_t i = 0; i < kBlockSize; ++i, p += 3) {
      const auto l = static_cast<double>(Luma(p));
      sum += l;
      squares += l * l;
    }
  }
  constexpr double n = kBlockSize * kBlockSize;
  const double mean = sum / n;
  return std::sqrt(std::max(0.0, squares / n - mean * mean));
}

// Whether every pixel of the block has the same true depth, and which.
bool SingleDepth(const std::vector<uint8_t>& depth, int32_t width, int32_t x, int32_t scanLine,
                 int& value) {
  const auto at = [&](int32_t xx, int32_t yy) {
    return depth[static_cast<size_t>(yy) * static_cast<size_t>(width) + static_cast<size_t>(xx)];
  };
  value = at(x, scanLine);
  for (int32_t y = scanLine; y < scanLine + kBlockSize; ++y)
    for (int32_t i = x; i < x + kBlockSize; ++i)
      if (at(i, y) != value) return false;
  return true;
}

// Whether the block, moved by the true shift of its depth, lies inside the
// right view and shows there with its own depth on every pixel it touches.
bool VisibleInRight(const Scene& scene, const TrueFrame& truth, int32_t x, int32_t scanLine,
                    int depth) {
  const double shift = scene.Mapping().Pixels(depth);
  const auto first = static_cast<int64_t>(std::floor(x + shift));
  const auto last = static_cast<int64_t>(std::ceil(x + kBlockSize - 1 + shift));
  if (first < 0 || last >= scene.Width()) return false;
  for (int32_t y = scanLine; y < scanLine + kBlockSize; ++y)
    for (int64_t i = first; i <= last; ++i)
      if (truth.rightDepth[static_cast<size_t>(y) * static_cast<size_t>(scene.Width()) +
                           static_cast<size_t>(i)] != depth)
        return false;
  return true;
}

// Counts of a set of ranks, with prefix sums (a Fenwick tree).
class RankCounts {
 public:
  explicit RankCounts(size_t n) : tree_(n + 1, 0) {}
  void Add(size_t rank) {
    for (size_t i = rank + 1; i < tree_.size(); i += i & (~i + 1)) ++tree_[i];
  }
  // How many added ranks are at most rank.
  int64_t UpTo(size_t rank) const {
    int64_t n = 0;
    for (size_t i = rank + 1; i > 0; i -= i & (~i + 1)) n += tree_[i];
    return n;
  }

 private:
  std::vector<int64_t> tree_;
};

// Which of the scene's frames the output's left view shows: in frame shift
// the conversion may show the previous frame to the left eye.
size_t FrameShownLeft(const std::vector<TrueFrame>& frames, size_t i, const cDIBSection& left) {
  if (frames[i].left && SamePictures(left, *frames[i].left)) return i;
  if (i > 0 && frames[i - 1].left && SamePictures(left, *frames[i - 1].left)) return i - 1;
  return i;
}

// Running mean of the finite values it is given.
class Mean {
 public:
  void Add(double v) {
    if (std::isfinite(v)) {
      sum_ += v;
      ++n_;
    }
  }
  double Value() const { return n_ > 0 ? sum_ / n_ : kNaN; }

 private:
  double sum_ = 0;
  int64_t n_ = 0;
};

struct PictureMeans {
  Mean synthesised, rightIsLeft, rightIsPrevious;
  PictureScores Values() const {
    return {synthesised.Value(), rightIsLeft.Value(), rightIsPrevious.Value()};
  }
};

}  // namespace

const char* DepthModeName(DepthMode mode) {
  return mode == DepthMode::Improved ? "improved" : "standard";
}

// --- Running the conversion --------------------------------------------------

bool CanLoadBlocksLibrary(const std::string& dir, std::string& why) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(std::filesystem::path(dir) / kBlocksFile, ec)) {
    why = std::string(kBlocksFile) + " not found in " + dir;
    return false;
  }
  try {
    BlocksLibrary library(nullptr, dir);
    library.Binding().Symbol("CreateDepthMapFast_DLL");
    library.Binding().Symbol("Make3D_DLL");
  } catch (const std::exception& e) {
    why = e.what();
    return false;
  }
  return true;
}

ConversionRun RunConversion(const std::vector<TrueFrame>& frames, DepthMode mode,
                            const std::string& dir) {
  ConversionRun run;
  const LibraryCopy library(dir, kBlocksFile);
  if (library.Dir().empty()) {
    run.messages.push_back(std::string(kBlocksFile) + " could not be copied from " + dir);
    return run;
  }
  ProgramContext ctx(library.Dir());
  MessageLog log;
  log.Attach(ctx.host);
  ctx.conversion.FlatFirstFrame = true;
  ctx.conversion.ImprovedDepth = mode == DepthMode::Improved;
  // Every step counts as instant: the switch to coarser depth blocks, made
  // when frame shift falls behind real time, never happens.
  ctx.TimerFrequency = 1e300;
  for (size_t i = 0; i < frames.size(); ++i) {
    const DibPtr& frame = frames[i].left;
    ctx.frames.StereoPair[0] = frame ? frame->CopyOf() : nullptr;
    ConvertFrame(ctx, i > 0);
    const int32_t w = frame ? frame->Width() : 0, h = frame ? frame->Height() : 0;
    run.left.push_back(KeepView(ctx.frames.StereoPair[0], w, h));
    run.right.push_back(KeepView(ctx.frames.StereoPair[1], w, h));
  }
  run.messages = log.Texts();
  return run;
}

std::vector<TrueFrame> RenderScene(const Scene& scene) {
  std::vector<TrueFrame> frames;
  frames.reserve(static_cast<size_t>(scene.Frames()));
  for (int32_t n = 0; n < scene.Frames(); ++n) frames.push_back(scene.Render(n));
  return frames;
}

// --- Scores ------------------------------------------------------------------

double OrderedShare(const std::vector<BlockSample>& blocks, int gap) {
  // Blocks by depth, farthest first; disparities by rank. Walking the blocks
  // from far to near, every block at least gap farther than the current one
  // is already counted, and the current one is ordered against each of them
  // whose disparity is larger than its own.
  std::vector<BlockSample> byDepth = blocks;
  std::sort(byDepth.begin(), byDepth.end(),
            [](const BlockSample& a, const BlockSample& b) { return a.depth < b.depth; });
  std::vector<double> values;
  for (const BlockSample& b : byDepth)
    if (!std::isnan(b.disparity)) values.push_back(b.disparity);
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  const auto rank = [&](double d) {
    return static_cast<size_t>(std::lower_bound(values.begin(), values.end(), d) - values.begin());
  };

  RankCounts farther(values.size());
  int64_t counted = 0, pairs = 0, ordered = 0;
  size_t next = 0;  // the first block of byDepth not yet counted as farther
  for (const BlockSample& b : byDepth) {
    if (std::isnan(b.disparity)) continue;
    while (next < byDepth.size() && byDepth[next].depth <= b.depth - gap) {
      if (!std::isnan(byDepth[next].disparity)) {
        farther.Add(rank(byDepth[next].disparity));
        ++counted;
      }
      ++next;
    }
    pairs += counted;
    ordered += counted - farther.UpTo(rank(b.disparity));
  }
  return pairs > 0 ? static_cast<double>(ordered) / static_cast<double>(pairs) : kNaN;
}

int32_t SearchRange(const Scene& scene) {
  const double margin = std::max(8.0, std::ceil(16.0 * scene.Width() / 640.0));
  return static_cast<int32_t>(std::ceil(scene.Mapping().Largest()) + margin);
}

double BlockDisparity(const cDIBSection& left, const cDIBSection& right, int32_t x,
                      int32_t scanLine, int32_t range) {
  if (!SameSize(&left, &right) || range < 0 || x < range || scanLine < 0 ||
      int64_t{x} + kBlockSize + range > left.Width() ||
      int64_t{scanLine} + kBlockSize > left.Height())
    return kNaN;
  std::vector<int64_t> sad(static_cast<size_t>(2 * range + 1), 0);
  for (int32_t dx = -range; dx <= range; ++dx) {
    int64_t sum = 0;
    for (int32_t y = scanLine; y < scanLine + kBlockSize; ++y) {
      const uint8_t* a = left.ScanLine(y) + 3 * static_cast<size_t>(x);
      const uint8_t* b = right.ScanLine(y) + 3 * static_cast<ptrdiff_t>(x + dx);
      for (int32_t i = 0; i < 3 * kBlockSize; ++i) sum += std::abs(int{a[i]} - int{b[i]});
    }
    sad[static_cast<size_t>(dx + range)] = sum;
  }
  // The smallest sum; of equal ones the smallest shift.
  int32_t best = 0;
  for (int32_t dx = -range; dx <= range; ++dx) {
    const int64_t s = sad[static_cast<size_t>(dx + range)];
    const int64_t b = sad[static_cast<size_t>(best + range)];
    if (s < b || (s == b && std::abs(dx) < std::abs(best))) best = dx;
  }
  const int64_t s0 = sad[static_cast<size_t>(best + range)];
  if (s0 == 0 || best == -range || best == range) return best;
  // The vertex of the parabola through the sums at best - 1, best, best + 1.
  const auto before = static_cast<double>(sad[static_cast<size_t>(best + range - 1)]);
  const auto after = static_cast<double>(sad[static_cast<size_t>(best + range + 1)]);
  const double curve = before - 2.0 * static_cast<double>(s0) + after;
  if (!(curve > 0)) return best;
  return best + std::clamp(0.5 * (before - after) / curve, -0.5, 0.5);
}

double FrameOrdering(const Scene& scene, const TrueFrame& truth, const cDIBSection& left,
                     const cDIBSection& right) {
  const int32_t w = scene.Width(), h = scene.Height();
  const auto pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  if (!SameSize(&left, &right) || left.Width() != w || left.Height() != h ||
      truth.leftDepth.size() != pixels || truth.rightDepth.size() != pixels)
    return kNaN;
  const int32_t range = SearchRange(scene);
  std::vector<BlockSample> blocks;
  for (int32_t y = 0; y + kBlockSize <= h; y += kBlockSize) {
    for (int32_t x = range; x + kBlockSize + range <= w; x += kBlockSize) {
      int depth = 0;
      if (!SingleDepth(truth.leftDepth, w, x, y, depth) ||
          !VisibleInRight(scene, truth, x, y, depth) ||
          BlockDeviation(left, x, y) < kMinBlockDeviation)
        continue;
      blocks.push_back({depth, BlockDisparity(left, right, x, y, range)});
    }
  }
  return OrderedShare(blocks);
}

Region ScoreRegion(const Scene& scene) {
  const auto side = static_cast<int32_t>(std::ceil(scene.Mapping().Largest())) + kScoreBorder;
  return {side, scene.Width() - side, kScoreBorder, scene.Height() - kScoreBorder};
}

double Psnr(const cDIBSection* a, const cDIBSection* b, const Region& region) {
  if (!SameSize(a, b) || !Inside(region, *a)) return kNaN;
  double squares = 0;
  for (int32_t y = region.y0; y < region.y1; ++y) {
    const uint8_t* p = a->ScanLine(y);
    const uint8_t* q = b->ScanLine(y);
    for (int32_t i = 3 * region.x0; i < 3 * region.x1; ++i) {
      const double d = int{p[i]} - int{q[i]};
      squares += d * d;
    }
  }
  const double count = 3.0 * (region.x1 - region.x0) * (region.y1 - region.y0);
  const double mse = squares / count;
  if (mse == 0) return kPsnrCap;
  return std::min(kPsnrCap, 10 * std::log10(255.0 * 255.0 / mse));
}

double Ssim(const cDIBSection* a, const cDIBSection* b, const Region& region) {
  if (!SameSize(a, b) || !Inside(region, *a) || region.x1 - region.x0 < kBlockSize ||
      region.y1 - region.y0 < kBlockSize)
    return kNaN;
  // Sums of a, b, a^2, b^2 and ab over 8 lines of each column of the
  // region, moved down a line at a time; each window's sums slide along them.
  enum { kA, kB, kAA, kBB, kAB, kSums };
  const auto cols = static_cast<size_t>(region.x1 - region.x0);
  std::vector<int64_t> column(kSums * cols, 0);
  const auto addLine = [&](int32_t y, int64_t sign) {
    const uint8_t* p = a->ScanLine(y) + 3 * static_cast<size_t>(region.x0);
    const uint8_t* q = b->ScanLine(y) + 3 * static_cast<size_t>(region.x0);
    for (size_t c = 0; c < cols; ++c) {
      const int64_t la = Luma(p + 3 * c), lb = Luma(q + 3 * c);
      column[kA * cols + c] += sign * la;
      column[kB * cols + c] += sign * lb;
      column[kAA * cols + c] += sign * la * la;
      column[kBB * cols + c] += sign * lb * lb;
      column[kAB * cols + c] += sign * la * lb;
    }
  };
  constexpr double c1 = (0.01 * 255) * (0.01 * 255);
  constexpr double c2 = (0.03 * 255) * (0.03 * 255);
  constexpr double n = kBlockSize * kBlockSize;
  const size_t side = kBlockSize;
  double total = 0;
  int64_t windows = 0;
  for (int32_t y = region.y0; y < region.y0 + kBlockSize - 1; ++y) addLine(y, 1);
  for (int32_t top = region.y0; top + kBlockSize <= region.y1; ++top) {
    addLine(top + kBlockSize - 1, 1);
    int64_t sum[kSums] = {};
    for (size_t c = 0; c < cols; ++c) {
      for (size_t k = 0; k < kSums; ++k) {
        sum[k] += column[k * cols + c];
        if (c >= side) sum[k] -= column[k * cols + c - side];
      }
      if (c + 1 < side) continue;
      const double ma = static_cast<double>(sum[kA]) / n, mb = static_cast<double>(sum[kB]) / n;
      const double va = static_cast<double>(sum[kAA]) / n - ma * ma;
      const double vb = static_cast<double>(sum[kBB]) / n - mb * mb;
      const double cov = static_cast<double>(sum[kAB]) / n - ma * mb;
      total += ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
      ++windows;
    }
    addLine(top, -1);
  }
  return total / static_cast<double>(windows);
}

std::optional<int32_t> CutRecovery(const std::vector<double>& ordering, int32_t cut) {
  if (cut < 0 || static_cast<size_t>(cut) >= ordering.size()) return std::nullopt;
  Mean last;
  for (size_t i = ordering.size() - std::min(ordering.size(), kRecoveryReferenceFrames);
       i < ordering.size(); ++i)
    last.Add(ordering[i]);
  const double reference = last.Value();
  if (std::isnan(reference)) return std::nullopt;
  // Walking back from the last frame: the earliest frame from which every
  // frame is within the tolerance.
  size_t settled = ordering.size();
  while (settled > static_cast<size_t>(cut) &&
         std::fabs(ordering[settled - 1] - reference) <= kRecoveryTolerance)
    --settled;
  if (settled == ordering.size()) return std::nullopt;
  return static_cast<int32_t>(settled) - cut;
}

SceneScores ScoreRun(const Scene& scene, const std::vector<TrueFrame>& frames,
                     const ConversionRun& run, DepthMode mode) {
  SceneScores scores;
  scores.scene = scene.Name();
  scores.mode = mode;
  scores.messages = run.messages;
  scores.hasCut = scene.CutFrame() >= 0;
  const Region region = ScoreRegion(scene);
  Mean ordering;
  PictureMeans psnr, ssim;
  for (size_t i = 0; i < frames.size(); ++i) {
    const TrueFrame& truth = frames[i];
    const cDIBSection* left = i < run.left.size() ? run.left[i].get() : nullptr;
    const cDIBSection* right = i < run.right.size() ? run.right[i].get() : nullptr;
    if (!left || !right) ++scores.missingViews;
    const double frameOrdering =
        left && right
            ? FrameOrdering(scene, frames[FrameShownLeft(frames, i, *left)], *left, *right)
            : kNaN;
    scores.orderingPerFrame.push_back(frameOrdering);
    if (i < static_cast<size_t>(kWarmUpFrames)) continue;
    ordering.Add(frameOrdering);
    const cDIBSection* previous = frames[i - 1].left.get();
    psnr.synthesised.Add(Psnr(right, truth.right.get(), region));
    psnr.rightIsLeft.Add(Psnr(truth.left.get(), truth.right.get(), region));
    psnr.rightIsPrevious.Add(Psnr(previous, truth.right.get(), region));
    ssim.synthesised.Add(Ssim(right, truth.right.get(), region));
    ssim.rightIsLeft.Add(Ssim(truth.left.get(), truth.right.get(), region));
    ssim.rightIsPrevious.Add(Ssim(previous, truth.right.get(), region));
  }
  scores.ordering = ordering.Value();
  scores.psnr = psnr.Values();
  scores.ssim = ssim.Values();
  scores.cutRecovery = CutRecovery(scores.orderingPerFrame, scene.CutFrame());
  return scores;
}

std::vector<SceneScores> MeasureScene(const Scene& scene, const std::vector<DepthMode>& modes,
                                      const std::string& libraryDir) {
  const std::vector<TrueFrame> frames = RenderScene(scene);
  std::vector<SceneScores> scores;
  for (DepthMode mode : modes)
    scores.push_back(ScoreRun(scene, frames, RunConversion(frames, mode, libraryDir), mode));
  return scores;
}

}  // namespace dioptrix::quality
