// The engine's stereo view synthesis: forward placement of every source pixel
// with sub-pixel weights, then hole filling weighted by depth, then smoothing
// of depth edges.
#include "process/make3d.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/error.h"
#include "process/image_process.h"

namespace dioptrix {

namespace {

// Added to every divisor of a weighted average so that an empty one gives 0.
constexpr double kTiny = 1e-7;
// Smoothing weights of the 3x3 window that starts at the pixel itself.
constexpr float kSmooth[3][3] = {{0.05f, 0.1f, 0.05f}, {0.1f, 0.4f, 0.1f}, {0.05f, 0.1f, 0.05f}};
// A jump of the average inverted depth (the square root of the depth plane)
// between neighbouring pixels above this is a depth edge.
constexpr double kEdgeStep = 10;
// Widest picture taken: byte columns and search reaches stay far inside
// 32-bit integers.
constexpr int32_t kMaxWidth = 1 << 26;

void CheckInputs(const cDIBSection& pic, const Plane<int32_t>& colours,
                 const Plane<int32_t>& depth) {
  if (pic.Empty()) RaiseObjectNotSet();
  const int32_t w = pic.Width(), h = pic.Height();
  if (w < 3 || h < 3) throw RuntimeError(kErrInvalidArgument);
  if (w > kMaxWidth) RaiseOverflow();
  for (const Plane<int32_t>* arr : {&colours, &depth}) {
    if (arr->Cols() < 3 * int64_t{w} || arr->Rows() < h) RaiseSubscriptOutOfRange();
  }
}

// A result rounded to nearest (ties to even) as a byte; "Overflow" when it is
// none.
uint8_t ToByte(double v) {
  const double r = std::nearbyint(v);
  if (!(r >= 0 && r <= 255)) RaiseOverflow();
  return static_cast<uint8_t>(r);
}

// std::nearbyint in the default rounding mode (to nearest, ties to even)
// without a library call: adding and taking away 1.5 * 2^52 leaves no
// fraction bits; larger magnitudes are whole numbers already.
double RoundEven(double v) {
  constexpr double kShifter = 6755399441055744.0;                            // 1.5 * 2^52
  return std::fabs(v) < 2251799813685248.0 ? (v + kShifter) - kShifter : v;  // 2^51
}

// ToByte with RoundEven.
uint8_t ToByteFast(double v) {
  const double r = RoundEven(v);
  if (!(r >= 0 && r <= 255)) RaiseOverflow();
  return static_cast<uint8_t>(r);
}

// Inverted depth of a depth array value, wide enough for any value.
int64_t InvertedDepth(int32_t value) { return 255 - int64_t{value}; }

// Shift of a source pixel in bytes before rounding: the numerator of the
// target position and its divisor.
double Numerator(int32_t x3, int64_t d, double gain, int16_t offset) {
  return static_cast<double>(x3 - offset) + static_cast<double>(d) * gain;
}
double Divisor(int32_t x3, int64_t d, double perspective) {
  return static_cast<double>(x3 - d) * perspective + 1;
}

// Distance weight of a hole sample dx pixels across and dy lines away.
double Distance(int32_t dx, int32_t dy) {
  return std::sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy + 0.1);
}

// The distance divisors of the hole samples at search distance r: offset
// (dx, dy) = (-R + (kx + 1) * step, -R + (ky + 1) * step) at kx * K + ky, for
// kx and ky in 0..K-1 with K = 2R / step + 1 (so the last offset may pass R).
const std::vector<double>& DistanceTable(Make3DWorkspace& work, int32_t r) {
  if (work.distances.size() <= static_cast<size_t>(r)) work.distances.resize(r + 1);
  std::vector<double>& table = work.distances[r];
  if (table.empty()) {
    const int32_t step = r / 5 + 1, reach = r + step;
    const int32_t offsets = (2 * reach) / step + 1;
    table.resize(static_cast<size_t>(offsets) * offsets);
    for (int32_t kx = 0; kx < offsets; ++kx)
      for (int32_t ky = 0; ky < offsets; ++ky)
        table[static_cast<size_t>(kx) * offsets + ky] =
            Distance(-reach + (kx + 1) * step, -reach + (ky + 1) * step);
  }
  return table;
}

}  // namespace

// --- Plain version: the eight planes of the algorithm, step by step ----------

void Make3DPlain(cDIBSection& pic, const Plane<int32_t>& colours, const Plane<int32_t>& depth,
                 double gain, double perspective, int16_t offset, int32_t holeMode) {
  CheckInputs(pic, colours, depth);
  const int32_t w = pic.Width(), h = pic.Height();
  const auto& src = colours;

  // Colour planes: byte columns 0..3(W-1)+2; pixel planes: pixels 0..W-1.
  Plane<float> A, B, C, D, I, J, E, F;
  for (Plane<float>* plane : {&A, &B, &C, &D, &I, &J}) plane->Redim(3 * w, h);
  E.Redim(w, h);
  F.Redim(w, h);

  // 1. Forward placement of pixels 0..W-2.
  for (int32_t x3 = 0; x3 <= 3 * w - 4; x3 += 3) {
    for (int32_t y = 0; y < h; ++y) {
      const int64_t d = InvertedDepth(depth(x3, y));
      const double n = std::nearbyint(Numerator(x3, d, gain, offset) / Divisor(x3, d, perspective));
      const double p = n / 3;
      // Off the picture, or no number at all (a divisor of 0): dropped.
      if (!(p > 0 && p < w - 2)) continue;
      const auto ip = static_cast<int32_t>(std::floor(p));
      const auto f = static_cast<float>(p - ip);
      const auto wt = static_cast<float>(1.0 - f);
      const int32_t tb = 3 * ip, tb1 = 3 * (ip + 1);
      for (int32_t c = 0; c < 3; ++c) {
        const int32_t m = c == 2 ? 1 : 0;
        const double v = src(x3 + c, y) | m;
        const double vn = src(x3 + 3 + c, y) | m;
        A(tb + c, y) = static_cast<float>(v * wt);
        B(tb + c, y) = wt;
        if (D(tb + c, y) == 0 && D(tb1 + c, y) == 0) {
          C(tb + c, y) = static_cast<float>(v * wt);
          D(tb + c, y) = wt;
          C(tb1 + c, y) = static_cast<float>(vn * f);
          D(tb1 + c, y) = f;
          E(ip, y) = static_cast<float>(wt * static_cast<double>(d));
          F(ip, y) = wt;
          E(ip + 1, y) = static_cast<float>(f * static_cast<double>(d));
          F(ip + 1, y) = f;
        }
        if (holeMode != 0) {
          const double marked = src(x3 + 3 + c, y) | 1;
          A(tb1 + c, y) = static_cast<float>(A(tb1 + c, y) + marked * f);
          B(tb1 + c, y) = static_cast<float>(static_cast<double>(B(tb1 + c, y)) + f);
        } else {
          A(tb1 + c, y) = static_cast<float>(vn * f);
          B(tb1 + c, y) = f;
        }
      }
    }
  }

  // 2. Depth normalisation: the square of the average inverted depth.
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const double q = E(x, y) / (static_cast<double>(F(x, y)) + kTiny);
      E(x, y) = static_cast<float>(q * q);
    }
  }

  // 3. Resolve: covered pixels keep their sums, holes gather from around.
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      if (holeMode == 0 || B(3 * x, y) != 0) {
        for (int32_t c = 0; c < 3; ++c) {
          I(3 * x + c, y) = A(3 * x + c, y);
          J(3 * x + c, y) = B(3 * x + c, y);
        }
        continue;
      }
      // Search distance: covered pixels on both sides, or on the right only
      // once the left side runs off the picture.
      int32_t r = 0;
      bool leftFound = false;
      for (r = 0; r <= w - 3 - x; ++r) {
        if (x - r < 0) {
          if (B(3 * (x + r), y) > 0) break;
        } else {
          if (B(3 * (x - r), y) > 0) leftFound = true;
          if (B(3 * (x + r), y) > 0 && leftFound) break;
        }
      }
      const int32_t step = r / 5 + 1;
      const int32_t reach = r + step;
      for (int32_t dx = -reach + step; dx - step <= reach; dx += step) {
        for (int32_t dy = -reach + step; dy - step <= reach; dy += step) {
          const int32_t xx = x + dx, yy = y + dy, b = 3 * xx;
          if (!(b > 0 && b < 3 * (w - 1) && yy >= 1 && yy < h - 1)) continue;
          if (!(B(b, yy) > 0)) continue;
          const double wt = E(xx, yy) / Distance(dx, dy);
          for (int32_t c = 0; c < 3; ++c) {
            I(3 * x + c, y) = static_cast<float>(
                I(3 * x + c, y) +
                wt * (C(b + c, yy) / (static_cast<double>(D(b + c, yy)) + kTiny)));
            J(3 * x + c, y) = static_cast<float>(J(3 * x + c, y) + wt);
          }
        }
      }
    }
  }

  // 4. Output, up to the first byte of the last pixel.
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* line = pic.ScanLine(y);
    for (int32_t b = 0; b <= 3 * (w - 1); ++b)
      line[b] = ToByte(I(b, y) / (static_cast<double>(J(b, y)) + kTiny));
  }

  // 5. Edge smoothing from a copy of the output.
  if (holeMode > 0) {
    Plane<uint8_t> G;
    G.Redim(3 * (w - 1) + 1, h);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t b = 0; b <= 3 * (w - 1); ++b) G(b, y) = pic.ScanLine(y)[b];
    for (int32_t x = 0; x <= w - 7; ++x) {
      for (int32_t y = 0; y <= h - 3; ++y) {
        const double step =
            std::sqrt(static_cast<double>(E(x + 1, y))) - std::sqrt(static_cast<double>(E(x, y)));
        if (!(std::fabs(step) > kEdgeStep)) continue;
        for (int32_t c = 0; c < 3; ++c) {
          double sum = 0;
          for (int32_t i = 0; i < 3; ++i)
            for (int32_t j = 0; j < 3; ++j)
              sum += G(3 * (x + i) + c, y + j) * static_cast<double>(kSmooth[i][j]);
          pic.ScanLine(y)[3 * x + c] = ToByte(sum);
        }
      }
    }
  }
}

// --- Fast version ----------------------------------------------------------------
//
// The same arithmetic in the same order, arranged by scan line. A line's own
// sums and weights live in line buffers; only what the hole fill reads across
// lines is kept for the whole frame, in memory reused between calls: the
// coverage, the depth plane and each covered byte's sample colour C / (D +
// 1e-7), worked out once instead of at every sample. The distance divisors of
// the samples come from tables per search distance, and the search itself
// from the nearest covered pixels on either side instead of a walk. The
// output is written as soon as it is known: covered pixels during placement,
// holes in a second pass, and the smoothing works in place, which is safe
// because its window never reaches back to a pixel it has already rewritten.

void Make3DFast(cDIBSection& pic, const Plane<int32_t>& colours, const Plane<int32_t>& depth,
                double gain, double perspective, int16_t offset, int32_t holeMode,
                Make3DWorkspace& work) {
  CheckInputs(pic, colours, depth);
  const int32_t w = pic.Width(), h = pic.Height();
  const size_t cols = 3 * static_cast<size_t>(w);
  const auto pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  const bool fillHoles = holeMode != 0;
  // Perspective 0 divides by exactly 1: the division is left out.
  const bool linear = perspective == 0;

  work.rowColour.resize(cols);
  work.rowWeight.resize(cols);
  if (fillHoles) {
    work.sampleColour.resize(cols * h);
    work.rowFirstColour.resize(cols);
    work.rowFirstWeight.resize(cols);
    work.depth.resize(pixels);
    work.covered.resize(pixels);
    work.rowDepthWeight.resize(w);
    work.nextCovered.resize(static_cast<size_t>(w) + 1);
  }
  float* const A = work.rowColour.data();
  float* const B = work.rowWeight.data();
  float* const F = work.rowDepthWeight.data();

  // Placement, line by line; covered pixels are written at once.
  for (int32_t y = 0; y < h; ++y) {
    std::fill_n(A, cols, 0.0f);
    std::fill_n(B, cols, 0.0f);
    float* C = nullptr;
    float* D = nullptr;
    float* E = nullptr;
    if (fillHoles) {
      C = work.rowFirstColour.data();
      D = work.rowFirstWeight.data();
      E = work.depth.data() + static_cast<size_t>(w) * y;
      std::fill_n(C, cols, 0.0f);
      std::fill_n(D, cols, 0.0f);
      std::fill_n(E, w, 0.0f);
      std::fill_n(F, w, 0.0f);
    }
    const int32_t* src = colours.Row(y);
    const int32_t* dep = depth.Row(y);
    for (int32_t x3 = 0; x3 <= 3 * w - 4; x3 += 3) {
      const int64_t d = InvertedDepth(dep[x3]);
      const double num = Numerator(x3, d, gain, offset);
      const double n = RoundEven(linear ? num : num / Divisor(x3, d, perspective));
      const double p = n / 3;
      if (!(p > 0 && p < w - 2)) continue;
      const auto ip = static_cast<int32_t>(p);  // p > 0: truncation is the floor
      const auto f = static_cast<float>(p - ip);
      const auto wt = static_cast<float>(1.0 - f);
      const int32_t tb = 3 * ip, tb1 = tb + 3;
      for (int32_t c = 0; c < 3; ++c) {
        const int32_t m = c == 2 ? 1 : 0;
        const double v = src[x3 + c] | m;
        const double vn = src[x3 + 3 + c] | m;
        A[tb + c] = static_cast<float>(v * wt);
        B[tb + c] = wt;
        if (fillHoles) {
          if (D[tb + c] == 0 && D[tb1 + c] == 0) {
            C[tb + c] = static_cast<float>(v * wt);
            D[tb + c] = wt;
            C[tb1 + c] = static_cast<float>(vn * f);
            D[tb1 + c] = f;
            E[ip] = static_cast<float>(wt * static_cast<double>(d));
            F[ip] = wt;
            E[ip + 1] = static_cast<float>(f * static_cast<double>(d));
            F[ip + 1] = f;
          }
          const double marked = src[x3 + 3 + c] | 1;
          A[tb1 + c] = static_cast<float>(A[tb1 + c] + marked * f);
          B[tb1 + c] = static_cast<float>(static_cast<double>(B[tb1 + c]) + f);
        } else {
          A[tb1 + c] = static_cast<float>(vn * f);
          B[tb1 + c] = f;
        }
      }
    }

    uint8_t* out = pic.ScanLine(y);
    if (fillHoles) {
      uint8_t* cov = work.covered.data() + static_cast<size_t>(w) * y;
      double* sample = work.sampleColour.data() + cols * y;
      for (int32_t x = 0; x < w; ++x) {
        const double q = E[x] / (static_cast<double>(F[x]) + kTiny);
        E[x] = static_cast<float>(q * q);
        cov[x] = B[3 * x] != 0;
        if (!cov[x]) continue;
        for (int32_t b = 3 * x; b < 3 * x + 3; ++b)
          sample[b] = C[b] / (static_cast<double>(D[b]) + kTiny);
      }
    }
    for (int32_t x = 0; x < w; ++x) {
      if (fillHoles && B[3 * x] == 0) continue;  // a hole: the second pass
      const int32_t bytes = x == w - 1 ? 1 : 3;
      for (int32_t c = 0; c < bytes; ++c)
        out[3 * x + c] = ToByteFast(A[3 * x + c] / (static_cast<double>(B[3 * x + c]) + kTiny));
    }
  }
  if (!fillHoles) return;

  // Holes. The search distance comes from the nearest covered pixels: on the
  // left at distance L (or none), the stop is the first covered pixel on the
  // right at a distance of at least L (at least x + 1 without one on the
  // left), if it lies within the searched W - 3 - x.
  const float* const depthPlane = work.depth.data();
  const uint8_t* const covered = work.covered.data();
  int32_t* const next = work.nextCovered.data();
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* cov = covered + static_cast<size_t>(w) * y;
    next[w] = w;
    for (int32_t x = w - 1; x >= 0; --x) next[x] = cov[x] ? x : next[x + 1];
    uint8_t* out = pic.ScanLine(y);
    int32_t previous = -1;  // the last covered pixel left of x
    for (int32_t x = 0; x < w; ++x) {
      if (cov[x]) {
        previous = x;
        continue;
      }
      const int32_t last = w - 3 - x;
      int32_t r = 0;
      if (last >= 0) {
        const int32_t from = previous >= 0 ? x - previous : x + 1;
        const int32_t right = x + from < w ? next[x + from] : w;
        r = right < w && right - x <= last ? right - x : last + 1;
      }
      const int32_t step = r / 5 + 1;
      const int32_t reach = r + step;
      const std::vector<double>& distance = DistanceTable(work, r);
      const int32_t offsets = (2 * reach) / step + 1;  // per axis
      float I[3] = {0, 0, 0};
      float J = 0;
      for (int32_t kx = 0; kx < offsets; ++kx) {
        const int32_t xx = x - reach + (kx + 1) * step;
        if (xx <= 0 || xx >= w - 1) continue;
        for (int32_t ky = 0; ky < offsets; ++ky) {
          const int32_t yy = y - reach + (ky + 1) * step;
          if (yy < 1 || yy >= h - 1) continue;
          const size_t at = static_cast<size_t>(w) * yy + xx;
          if (!covered[at]) continue;
          const double wt = depthPlane[at] / distance[static_cast<size_t>(kx) * offsets + ky];
          const double* colour = work.sampleColour.data() + 3 * at;
          for (int32_t c = 0; c < 3; ++c) I[c] = static_cast<float>(I[c] + wt * colour[c]);
          J = static_cast<float>(J + wt);
        }
      }
      const int32_t bytes = x == w - 1 ? 1 : 3;
      for (int32_t c = 0; c < bytes; ++c)
        out[3 * x + c] = ToByteFast(I[c] / (static_cast<double>(J) + kTiny));
    }
  }
  if (holeMode < 0) return;

  // Edge smoothing in place, lines and pixels in increasing order.
  for (int32_t y = 0; y <= h - 3; ++y) {
    const float* E = depthPlane + static_cast<size_t>(w) * y;
    const uint8_t* lines[3] = {pic.ScanLine(y), pic.ScanLine(y + 1), pic.ScanLine(y + 2)};
    uint8_t* out = pic.ScanLine(y);
    double here = std::sqrt(static_cast<double>(E[0]));
    for (int32_t x = 0; x <= w - 7; ++x) {
      const double right = std::sqrt(static_cast<double>(E[x + 1]));
      const double jump = right - here;
      here = right;
      if (!(std::fabs(jump) > kEdgeStep)) continue;
      for (int32_t c = 0; c < 3; ++c) {
        double sum = 0;
        for (int32_t i = 0; i < 3; ++i)
          for (int32_t j = 0; j < 3; ++j)
            sum += lines[j][3 * (x + i) + c] * static_cast<double>(kSmooth[i][j]);
        out[3 * x + c] = ToByteFast(sum);
      }
    }
  }
}

// --- The engine method -------------------------------------------------------------

void cImageProcessDIB::Make3D(cDIBSection& pic, double gain, double perspective, int16_t offset,
                              int32_t holeMode) {
  Make3DFast(pic, arrays_.PixelArray, arrays_.DepthImageArray, gain, perspective, offset, holeMode,
             arrays_.Make3DWork);
}

}  // namespace dioptrix
