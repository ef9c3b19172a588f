// Depth-map creation methods of the engine: depth from block motion against
// the previous frame (a diamond search, in a plain and a fast form, and a ring
// search), and depth from the horizontal disparity of a stereo pair. Each
// writes every byte of a processed block's pixels with the block's depth.
//
// Positions across are byte columns (three per pixel) and positions down are
// scan lines; motion lengths are measured in those units.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/cpu.h"
#include "process/image_process.h"

#if defined(DIOPTRIX_X86_KERNELS) && defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dioptrix {

namespace {

// --- Diamond search (CreateDepthMap) --------------------------------------------

constexpr int64_t kMotionBlock = 10;                     // pixels and lines
constexpr int64_t kMotionBlockBytes = 3 * kMotionBlock;  // bytes of one block line
constexpr int64_t kMotionWorstCost = kMotionBlock * kMotionBlock * 3 * 255;  // 76500

// A candidate offset: pixels across, lines down.
struct Offset {
  int32_t dx;
  int32_t dy;
};

// The nine candidates of one diamond step, the centre first, and the four
// one-pixel moves that refine a search whose step kept its centre.
constexpr Offset kDiamond[9] = {{0, 0}, {-2, 0},  {2, 0},  {-1, 1}, {1, 1},
                                {0, 2}, {-1, -1}, {1, -1}, {0, -2}};
constexpr Offset kRefine[4] = {{-1, 0}, {1, 0}, {0, 1}, {0, -1}};

// The best candidate of a block: its cost and position (byte column, line).
struct Match {
  int64_t cost;
  int64_t x;
  int64_t y;
};

// A move's size: 2 for the long diamond arms, 1 for diagonals, 0 for staying.
int32_t Kind(Offset o) { return std::max(std::abs(o.dx), std::abs(o.dy)); }

// Diamond search for the block at byte column bx, line by of a frame of
// lineBytes (3W) bytes by lines (H). A candidate is compared only when its
// block starts at least one byte and one line inside the frame and leaves room
// for a whole block to its right and below. cost(cx, cy) is the match cost
// there. Every candidate is compared: a perfect match does not end a step.
template <class Cost>
Match DiamondSearch(int64_t bx, int64_t by, int64_t lineBytes, int64_t lines, Cost&& cost) {
  auto valid = [&](int64_t cx, int64_t cy) {
    return cx >= 1 && cy >= 1 && cx < lineBytes - kMotionBlockBytes && cy < lines - kMotionBlock;
  };
  Match best{kMotionWorstCost, bx, by};
  Offset last{0, 0};
  int first = 0;
  int64_t centreX = bx;
  int64_t centreY = by;
  for (;;) {
    // A step may move at most as far from the last move as that move was
    // long; the first step looks up to 20 pixels and lines either way.
    const int32_t limit =
        (last.dx == 0 && last.dy == 0) ? 20 : std::max(std::abs(last.dx), std::abs(last.dy));
    int32_t kind = 0;
    for (int i = first; i < 9; ++i) {
      const Offset o = kDiamond[i];
      if (std::abs(o.dx - last.dx) > limit || std::abs(o.dy - last.dy) > limit) continue;
      const int64_t cx = centreX + 3 * o.dx;
      const int64_t cy = centreY + o.dy;
      if (!valid(cx, cy)) continue;
      const int64_t c = cost(cx, cy);
      if (c < best.cost) {
        best = {c, cx, cy};
        kind = Kind(o);
        last = o;
      }
    }
    centreX = best.x;
    centreY = best.y;
    // Each further step needs a strictly lower cost, so the search ends.
    if (kind == 0) break;
    first = 1;
  }
  for (const Offset o : kRefine) {
    const int64_t cx = centreX + 3 * o.dx;
    const int64_t cy = centreY + o.dy;
    if (!valid(cx, cy)) continue;
    const int64_t c = cost(cx, cy);
    if (c < best.cost) best = {c, cx, cy};
  }
  return best;
}

// round(sqrt(mx^2 + my^2)), ties to even.
int64_t MotionLength(int64_t mx, int64_t my) {
  const double fx = static_cast<double>(mx);
  const double fy = static_cast<double>(my);
  return static_cast<int64_t>(std::nearbyint(std::sqrt(fx * fx + fy * fy)));
}

// The checks CreateDepthMap makes before it touches anything: a frame of at
// least one block, prev covering the picture's bytes, and for the modes that
// read it, dmap covering its pixels (the carried depth is read at pixels
// 0..W-1 and lines 0..H-1).
void CheckMotionFrame(const cDIBSection& pic, const Plane<int32_t>& prev, int32_t mode,
                      const Plane<uint8_t>& dmap) {
  // The clearing of the last block column and line would start left of or
  // below the picture.
  if (pic.Empty() || pic.Width() < kMotionBlock || pic.Height() < kMotionBlock)
    RaiseSubscriptOutOfRange();
  if (prev.Cols() < 3 * int64_t{pic.Width()} || prev.Rows() < pic.Height())
    RaiseSubscriptOutOfRange();
  if ((mode == 1 || mode == 2) && (dmap.Cols() < pic.Width() || dmap.Rows() < pic.Height()))
    RaiseSubscriptOutOfRange();
}

// Writes 0 into every pixel from the start of the last block column to the
// right edge on all lines, and into every pixel of the lines from the start of
// the last block line to the top.
void ClearLastBlocks(cDIBSection& pic) {
  const int64_t lineBytes = 3 * int64_t{pic.Width()};
  const int64_t lastColumn = kMotionBlockBytes * (pic.Width() / kMotionBlock - 1);
  const int64_t lastLine = kMotionBlock * (pic.Height() / kMotionBlock - 1);
  for (int32_t y = 0; y < pic.Height(); ++y) {
    const int64_t from = y >= lastLine ? 0 : lastColumn;
    std::memset(pic.ScanLine(y) + from, 0, static_cast<size_t>(lineBytes - from));
  }
}

// Mode 1: three quarters of the carried depth plus a quarter of the new one,
// each rounded (ties to even) on its own.
uint8_t BlendDepth(uint8_t carried, int64_t depth) {
  return static_cast<uint8_t>(std::nearbyint(0.75 * carried) +
                              std::nearbyint(0.25 * static_cast<double>(depth)));
}

// The same roundings in integers: round(3v / 4) and round(v / 4), halves to
// even, for v in 0..255.
constexpr int32_t ThreeQuarters(int32_t v) {
  const int32_t t = 3 * v;
  return (t + 1 + ((t >> 2) & 1)) >> 2;
}
constexpr int32_t Quarter(int32_t v) { return (v + 1 + ((v >> 2) & 1)) >> 2; }
static_assert(ThreeQuarters(2) == 2 && ThreeQuarters(6) == 4 && ThreeQuarters(255) == 191);
static_assert(Quarter(2) == 0 && Quarter(6) == 2 && Quarter(10) == 2 && Quarter(255) == 64);

// --- Fast block costs ----------------------------------------------------------

// The previous frame as bytes, 3W per line; empty when an element lies
// outside 0..255 (the fast form then hands the frame to the plain one).
std::vector<uint8_t> PreviousFrameBytes(const Plane<int32_t>& prev, int64_t lineBytes,
                                        int32_t lines) {
  std::vector<uint8_t> bytes(static_cast<size_t>(lineBytes) * static_cast<size_t>(lines));
  for (int32_t y = 0; y < lines; ++y) {
    const int32_t* from = prev.Row(y);
    uint8_t* to = bytes.data() + static_cast<size_t>(y) * static_cast<size_t>(lineBytes);
    uint32_t outside = 0;
    for (int64_t k = 0; k < lineBytes; ++k) {
      outside |= static_cast<uint32_t>(from[k]) >> 8;  // nonzero for values outside 0..255
      to[k] = static_cast<uint8_t>(from[k] & 0xFF);
    }
    if (outside) return {};
  }
  return bytes;
}

// Sum of absolute differences of one block (30 bytes by 10 lines) of the
// current frame against blocks of the previous frame. The block's lines are
// loaded once; each line is two 16-byte halves, bytes 0..15 and 14..29, with
// the two bytes the halves share cleared in the second.
class MotionBlockCost {
 public:
  MotionBlockCost(const uint8_t* block, size_t blockStride, const uint8_t* before,
                  size_t beforeStride)
      : before_(before), beforeStride_(beforeStride) {
#if defined(DIOPTRIX_X86_KERNELS) && defined(__SSE2__)
    overlap_ = _mm_set_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0);
    for (int j = 0; j < kMotionBlock; ++j) {
      const uint8_t* line = block + j * blockStride;
      low_[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line));
      high_[j] =
          _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 14)), overlap_);
    }
#else
    block_ = block;
    blockStride_ = blockStride;
#endif
  }

  int64_t operator()(int64_t cx, int64_t cy) const {
    const uint8_t* p = before_ + static_cast<size_t>(cy) * beforeStride_ + static_cast<size_t>(cx);
#if defined(DIOPTRIX_X86_KERNELS) && defined(__SSE2__)
    __m128i sum = _mm_setzero_si128();
    for (int j = 0; j < kMotionBlock; ++j, p += beforeStride_) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i b =
          _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 14)), overlap_);
      sum = _mm_add_epi64(sum, _mm_add_epi64(_mm_sad_epu8(low_[j], a), _mm_sad_epu8(high_[j], b)));
    }
    return _mm_cvtsi128_si32(_mm_add_epi32(sum, _mm_srli_si128(sum, 8)));
#else
    int64_t sum = 0;
    const uint8_t* q = block_;
    for (int j = 0; j < kMotionBlock; ++j, p += beforeStride_, q += blockStride_)
      for (int k = 0; k < kMotionBlockBytes; ++k) sum += std::abs(int32_t{q[k]} - int32_t{p[k]});
    return sum;
#endif
  }

 private:
  const uint8_t* before_;
  size_t beforeStride_;
#if defined(DIOPTRIX_X86_KERNELS) && defined(__SSE2__)
  __m128i overlap_;
  __m128i low_[kMotionBlock];
  __m128i high_[kMotionBlock];
#else
  const uint8_t* block_;
  size_t blockStride_;
#endif
};

// --- Ring search (CreateDepthMapEx) ---------------------------------------------

constexpr int64_t kRingBlock = 6;                    // pixels and lines
constexpr int64_t kRingBlockBytes = 3 * kRingBlock;  // 18
constexpr int32_t kLastRing = 50;
// Costs below this (1 per byte) end the search after a complete ring.
constexpr int64_t kRingGoodEnough = kRingBlock * kRingBlock * 3;  // 108
// Costs from this (20 per byte) on mean no trustworthy match: depth 0.
constexpr int64_t kRingNoMatch = kRingBlock * kRingBlock * 3 * 20;  // 2160

// Sum of absolute differences between the w x h bytes of pic at (bx, by) and
// of arr at (ax, ay).
int64_t BlockSad(const cDIBSection& pic, int64_t bx, int64_t by, const Plane<int32_t>& arr,
                 int64_t ax, int64_t ay, int64_t w, int64_t h) {
  int64_t sum = 0;
  for (int64_t j = 0; j < h; ++j) {
    const uint8_t* p = pic.ScanLine(static_cast<int32_t>(by + j)) + bx;
    const int32_t* a = arr.Row(static_cast<int32_t>(ay + j)) + ax;
    for (int64_t i = 0; i < w; ++i) sum += std::abs(int64_t{p[i]} - a[i]);
  }
  return sum;
}

void FillBlock(cDIBSection& pic, int64_t bx, int64_t by, int64_t w, int64_t h, uint8_t v) {
  for (int64_t j = 0; j < h; ++j)
    std::memset(pic.ScanLine(static_cast<int32_t>(by + j)) + bx, v, static_cast<size_t>(w));
}

// --- Disparity search (CreateDepthMapFromStereo) --------------------------------

constexpr int64_t kStereoBlock = 16;                     // pixels and lines
constexpr int64_t kStereoBlockBytes = 3 * kStereoBlock;  // 48

void RequireCovers(const Plane<int32_t>& arr, const cDIBSection& pic) {
  if (arr.Cols() < 3 * int64_t{pic.Width()} || arr.Rows() < pic.Height())
    RaiseSubscriptOutOfRange();
}

}  // namespace

// --- CreateDepthMap --------------------------------------------------------------

void cImageProcessDIB::CreateDepthMap(cDIBSection& pic, const Plane<int32_t>& prev, double& cost,
                                      int32_t mode, const Plane<uint8_t>& dmap) {
  CreateDepthMapFast(pic, prev, cost, mode, dmap);
}

void cImageProcessDIB::CreateDepthMapPlain(cDIBSection& pic, const Plane<int32_t>& prev,
                                           double& cost, int32_t mode, const Plane<uint8_t>& dmap) {
  CheckMotionFrame(pic, prev, mode, dmap);
  const int64_t w = pic.Width(), h = pic.Height();
  cost = 0;
  for (int64_t bx = 0; bx <= kMotionBlockBytes * (w / kMotionBlock - 1); bx += kMotionBlockBytes) {
    for (int64_t by = 0; by <= kMotionBlock * (h / kMotionBlock - 1); by += kMotionBlock) {
      const auto sad = [&](int64_t cx, int64_t cy) {
        int64_t c = 0;
        for (int64_t j = 0; j < kMotionBlock; ++j) {
          const uint8_t* line = pic.ScanLine(static_cast<int32_t>(by + j));
          for (int64_t i = 0; i < kMotionBlockBytes; ++i)
            c += std::abs(int64_t{line[bx + i]} -
                          prev(static_cast<int32_t>(cx + i), static_cast<int32_t>(cy + j)));
        }
        return c;
      };
      const Match best = DiamondSearch(bx, by, 3 * w, h, sad);
      cost += static_cast<double>(best.cost);
      const int64_t depth = std::min<int64_t>(MotionLength(best.x - bx, best.y - by), 255);

      for (int64_t j = 0; j < kMotionBlock; ++j) {
        uint8_t* line = pic.ScanLine(static_cast<int32_t>(by + j));
        for (int64_t i = 0; i < kMotionBlockBytes; ++i) {
          // The previous depth where this byte's match lies.
          const auto carried = [&] {
            return dmap(static_cast<int32_t>((best.x + i) / 3), static_cast<int32_t>(best.y + j));
          };
          if (mode == 0)
            line[bx + i] = static_cast<uint8_t>(depth);
          else if (mode == 1)
            line[bx + i] = BlendDepth(carried(), depth);
          else if (mode == 2)
            line[bx + i] = carried();
        }
      }
    }
  }
  ClearLastBlocks(pic);
}

void cImageProcessDIB::CreateDepthMapFast(cDIBSection& pic, const Plane<int32_t>& prev,
                                          double& cost, int32_t mode, const Plane<uint8_t>& dmap) {
  CheckMotionFrame(pic, prev, mode, dmap);
  const int64_t w = pic.Width(), h = pic.Height();
  const int64_t lineBytes = 3 * w;
  const std::vector<uint8_t> before = PreviousFrameBytes(prev, lineBytes, pic.Height());
  if (before.empty()) {
    // Elements outside byte range: the byte-wise costs would differ.
    CreateDepthMapPlain(pic, prev, cost, mode, dmap);
    return;
  }
  const size_t stride = static_cast<size_t>(pic.BytesPerScanLine());
  const size_t beforeStride = static_cast<size_t>(lineBytes);
  uint8_t* bits = pic.DIBSectionBitsPtr();

  int64_t total = 0;
  for (int64_t bx = 0; bx <= kMotionBlockBytes * (w / kMotionBlock - 1); bx += kMotionBlockBytes) {
    for (int64_t by = 0; by <= kMotionBlock * (h / kMotionBlock - 1); by += kMotionBlock) {
      uint8_t* block = bits + static_cast<size_t>(by) * stride + static_cast<size_t>(bx);
      const MotionBlockCost sad(block, stride, before.data(), beforeStride);
      const Match best = DiamondSearch(bx, by, lineBytes, h, sad);
      total += best.cost;
      const int64_t depth = std::min<int64_t>(MotionLength(best.x - bx, best.y - by), 255);

      if (mode == 0) {
        for (int64_t j = 0; j < kMotionBlock; ++j)
          std::memset(block + j * stride, static_cast<int>(depth), kMotionBlockBytes);
      } else if (mode == 1 || mode == 2) {
        const int32_t quarter = Quarter(static_cast<int32_t>(depth));
        for (int64_t j = 0; j < kMotionBlock; ++j) {
          const uint8_t* carried = dmap.Row(static_cast<int32_t>(best.y + j));
          uint8_t* line = block + j * stride;
          for (int64_t i = 0; i < kMotionBlockBytes; ++i) {
            const uint8_t v = carried[(best.x + i) / 3];
            line[i] = mode == 2 ? v : static_cast<uint8_t>(ThreeQuarters(v) + quarter);
          }
        }
      }
    }
  }
  cost = static_cast<double>(total);
  ClearLastBlocks(pic);
}

// --- CreateDepthMapEx --------------------------------------------------------------

void cImageProcessDIB::CreateDepthMapEx(cDIBSection& pic, int32_t /*n*/) {
  if (pic.Empty() || pic.Width() < kRingBlock || pic.Height() < kRingBlock) return;
  const Plane<int32_t>& before = arrays_.PixelArray;
  RequireCovers(before, pic);
  const int64_t lineBytes = 3 * int64_t{pic.Width()};
  const int64_t lines = pic.Height();
  auto valid = [&](int64_t cx, int64_t cy) {
    return cx >= 1 && cy >= 1 && cx < lineBytes - kRingBlockBytes && cy < lines - kRingBlock;
  };

  for (int64_t bx = 0; bx <= kRingBlockBytes * (pic.Width() / kRingBlock - 1);
       bx += kRingBlockBytes) {
    for (int64_t by = 0; by <= kRingBlock * (lines / kRingBlock - 1); by += kRingBlock) {
      // The block's own place first, whether or not it is a valid candidate.
      int64_t best = BlockSad(pic, bx, by, before, bx, by, kRingBlockBytes, kRingBlock);
      int64_t bestX = bx, bestY = by;
      auto visit = [&](int64_t dx, int64_t dy) {
        const int64_t cx = bx + 3 * dx;
        const int64_t cy = by + dy;
        if (!valid(cx, cy)) return;
        const int64_t c = BlockSad(pic, bx, by, before, cx, cy, kRingBlockBytes, kRingBlock);
        if (c < best) {
          best = c;
          bestX = cx;
          bestY = cy;
        }
      };
      // Rings around the block's place: left side, right side, top, bottom.
      for (int64_t r = 0; r <= kLastRing; ++r) {
        for (int64_t d = -r; d <= r; ++d) visit(-r, d);
        for (int64_t d = -r; d <= r; ++d) visit(r, d);
        for (int64_t d = -r; d <= r; ++d) visit(d, -r);
        for (int64_t d = -r; d <= r; ++d) visit(d, r);
        if (best < kRingGoodEnough) break;
      }
      const int64_t dist = best < kRingNoMatch ? MotionLength(bestX - bx, bestY - by) : 0;
      // The low 8 bits of round(1.5 dist). Matches lie at most 150 bytes and
      // 50 lines away, so dist <= 158 and the value stays within 0..237.
      const int64_t scaled = static_cast<int64_t>(std::nearbyint(1.5 * static_cast<double>(dist)));
      FillBlock(pic, bx, by, kRingBlockBytes, kRingBlock, static_cast<uint8_t>(scaled & 0xFF));
    }
  }
}

// --- CreateDepthMapFromStereo ---------------------------------------------------------

void cImageProcessDIB::CreateDepthMapFromStereo(cDIBSection& pic) {
  if (pic.Empty() || pic.Width() < kStereoBlock || pic.Height() < kStereoBlock) return;
  const Plane<int32_t>& other = arrays_.PixelArray;
  RequireCovers(other, pic);
  const int64_t w = pic.Width();
  const int64_t lineBytes = 3 * w;

  for (int64_t bx = 0; bx <= kStereoBlockBytes * (w / kStereoBlock - 1); bx += kStereoBlockBytes) {
    for (int64_t by = 0; by <= kStereoBlock * (pic.Height() / kStereoBlock - 1);
         by += kStereoBlock) {
      int64_t best = BlockSad(pic, bx, by, other, bx, by, kStereoBlockBytes, kStereoBlock);
      int64_t bestX = bx;
      // Every shift of whole pixels whose block lies inside the other view;
      // the first of equal costs wins, so zero disparity keeps a tie.
      for (int64_t k = -w; k <= w; ++k) {
        const int64_t p = bx + 3 * k;
        if (p <= 0 || p >= lineBytes - kStereoBlockBytes) continue;
        const int64_t c = BlockSad(pic, bx, by, other, p, by, kStereoBlockBytes, kStereoBlock);
        if (c < best) {
          best = c;
          bestX = p;
        }
      }
      const int64_t depth = std::clamp<int64_t>(bx - bestX + 128, 0, 255);
      FillBlock(pic, bx, by, kStereoBlockBytes, kStereoBlock, static_cast<uint8_t>(depth));
    }
  }
}

}  // namespace dioptrix
