#include "blocks/depthmap.h"

#include <emmintrin.h>
#include <tmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace dioptrix::blocks {
namespace {

// A candidate offset: pixels across, lines down.
struct Offset {
  int32_t dx;
  int32_t dy;
};

// The nine candidates of one diamond step, the centre first; and the four
// one-pixel moves that refine a colour search whose step kept its centre.
constexpr Offset kColourPattern[9] = {{0, 0}, {-2, 0},  {2, 0},  {-1, 1}, {1, 1},
                                      {0, 2}, {-1, -1}, {1, -1}, {0, -2}};
constexpr Offset kGreyPattern[9] = {{0, 0}, {0, -2}, {-1, -1}, {1, -1}, {-2, 0},
                                    {2, 0}, {-1, 1}, {1, 1},   {0, 2}};
constexpr Offset kRefinePattern[4] = {{-1, 0}, {1, 0}, {0, 1}, {0, -1}};

constexpr int64_t kColourBlock = 8;                      // pixels and lines
constexpr int64_t kColourBlockBytes = 3 * kColourBlock;  // bytes of one block line
constexpr int64_t kColourWorstCost = kColourBlock * kColourBlock * 3 * 255;
constexpr int64_t kGreyBlock = 8;  // pixels per block side at scale 1
// A centre candidate cheaper than this counts as a perfect match.
constexpr int64_t kNearMatch = 64;
// How far the first step may look when there is no previous move.
constexpr int32_t kOpenLimit = 20;

// The best candidate of a block: its cost and position (bytes or pixels
// across, lines down).
struct Match {
  int64_t cost;
  int64_t x;
  int64_t y;
};

int32_t StepLimit(Offset last) {
  if (last.dx == 0 && last.dy == 0) return kOpenLimit;
  return std::max(std::abs(last.dx), std::abs(last.dy));
}

bool WithinLimit(Offset candidate, Offset last, int32_t limit) {
  return std::abs(candidate.dx - last.dx) <= limit && std::abs(candidate.dy - last.dy) <= limit;
}

// A move's size: 2 for the long diamond arms, 1 for diagonals, 0 for staying.
int32_t Kind(Offset o) { return std::max(std::abs(o.dx), std::abs(o.dy)); }

// Diamond search of the colour kernel for the block at byte column bx, line by.
// Positions are in bytes across; a candidate is compared only when its block
// lies strictly inside the frame's left and top edges and leaves room for a
// whole block to its right and below. cost(cx, cy) is the match cost there.
template <class Cost>
Match ColourSearch(int64_t bx, int64_t by, int64_t lineBytes, int64_t lines, Cost&& cost) {
  auto valid = [&](int64_t cx, int64_t cy) {
    return cx > 0 && cy > 0 && cx < lineBytes - kColourBlockBytes && cy < lines - kColourBlock;
  };
  Match best{kColourWorstCost, bx, by};
  Offset last{0, 0};
  int first = 0;
  int64_t centreX = bx;
  int64_t centreY = by;
  for (;;) {
    int32_t kind = 0;
    const int32_t limit = StepLimit(last);
    for (int i = first; i < 9; ++i) {
      const Offset o = kColourPattern[i];
      if (!WithinLimit(o, last, limit)) continue;
      const int64_t cx = centreX + 3 * o.dx;
      const int64_t cy = centreY + o.dy;
      if (!valid(cx, cy)) continue;
      const int64_t c = cost(cx, cy);
      if (c < best.cost) {
        best = {c, cx, cy};
        kind = Kind(o);
        last = o;
        if (i == 0 && best.cost < kNearMatch) best.cost = 0;
        if (best.cost == 0) break;
      }
    }
    centreX = best.x;
    centreY = best.y;
    if (kind == 0) break;
    first = 1;
  }
  for (const Offset o : kRefinePattern) {
    const int64_t cx = centreX + 3 * o.dx;
    const int64_t cy = centreY + o.dy;
    if (!valid(cx, cy)) continue;
    const int64_t c = cost(cx, cy);
    if (c < best.cost) best = {c, cx, cy};
  }
  return best;
}

// Diamond search of the grey kernel for the block at pixel bx, line by.
// Candidates are valid while the whole block stays inside the frame
// (0..maxX, 0..maxY); the search ends with the first step that keeps its
// centre.
template <class Cost>
Match GreySearch(int64_t bx, int64_t by, int64_t maxX, int64_t maxY, int64_t worst, Cost&& cost) {
  Match best{worst, bx, by};
  Offset last{0, 0};
  int first = 0;
  int64_t centreX = bx;
  int64_t centreY = by;
  for (;;) {
    int32_t kind = 0;
    const int32_t limit = StepLimit(last);
    for (int i = first; i < 9; ++i) {
      const Offset o = kGreyPattern[i];
      if (!WithinLimit(o, last, limit)) continue;
      const int64_t cx = centreX + o.dx;
      const int64_t cy = centreY + o.dy;
      if (cx < 0 || cy < 0 || cx > maxX || cy > maxY) continue;
      const int64_t c = cost(cx, cy);
      if (c < best.cost) {
        best = {c, cx, cy};
        kind = Kind(o);
        last = o;
        if (i == 0 && best.cost < kNearMatch) best.cost = 0;
        if (c == 0) break;
      }
    }
    if (kind == 0) return best;
    centreX = best.x;
    centreY = best.y;
    first = 1;
  }
}

int64_t Distance(int64_t mx, int64_t my) {
  const double fx = static_cast<double>(mx);
  const double fy = static_cast<double>(my);
  return static_cast<int64_t>(std::nearbyint(std::sqrt(fx * fx + fy * fy)));
}

// dist * gain, at most 255 (and never below 0).
uint8_t DepthValue(int64_t dist, int32_t gain) {
  if (dist <= 0 || gain <= 0) return 0;
  if (dist >= 256 || gain >= 256) return 255;
  return static_cast<uint8_t>(std::min<int64_t>(dist * gain, 255));
}

// Mode 1: three quarters of the carried depth plus a quarter of the new one,
// each rounded on its own.
uint8_t Blend(uint8_t carried, uint8_t depth) {
  return static_cast<uint8_t>(std::nearbyint(0.75 * carried) + std::nearbyint(0.25 * depth));
}

// The same roundings in integers: round(3v / 4) and round(v / 4), halves to
// even.
constexpr int32_t ThreeQuarters(int32_t v) {
  const int32_t t = 3 * v;
  return (t + 1 + ((t >> 2) & 1)) >> 2;
}
constexpr int32_t Quarter(int32_t v) { return (v + 1 + ((v >> 2) & 1)) >> 2; }

bool WritesBlocks(int32_t mode, const uint8_t* dmap) {
  return mode == 0 || ((mode == 1 || mode == 2) && dmap != nullptr);
}

bool IsValidMode(int32_t mode) { return mode >= 0 && mode <= 2; }

// The frame sums behind the gain and the pan measure.
struct MotionSums {
  int64_t dist = 0;
  int64_t absMx = 0;
  int64_t absMy = 0;
  int64_t signMx = 0;

  void Add(int64_t mx, int64_t my, int64_t weightedDist) {
    dist += weightedDist;
    absMx += mx < 0 ? -mx : mx;
    absMy += my < 0 ? -my : my;
    signMx += (mx > 0) - (mx < 0);
  }
};

// Stores the frame's motion measure in the gain ring and writes the pan
// measure: positive when most blocks found their match to the right.
void FinishFrame(GainRing& ring, const MotionSums& sums, int32_t w, int32_t h, double* pan) {
  const double perByte = static_cast<double>(sums.dist) / (3.0 * w * h);
  ring.Add(static_cast<int32_t>(std::nearbyint(128.0 / (perByte + 1.0))));
  if (pan) {
    const double sign = (sums.signMx > 0) - (sums.signMx < 0);
    *pan = sign * static_cast<double>(sums.absMx) / (1.0 + static_cast<double>(sums.absMy));
  }
}

// Makes both grey buffers w x h and zeroed unless they already have that size.
// Returns false, leaving the state as it was, when memory runs out.
bool PrepareGreyBuffers(GreyDepthState& state, int32_t w, int32_t h) {
  const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
  if (state.width == w && state.height == h && state.grey[0].size() == n &&
      state.grey[1].size() == n) {
    return true;
  }
  try {
    std::vector<uint8_t> a(n);
    std::vector<uint8_t> b(n);
    state.grey[0].swap(a);
    state.grey[1].swap(b);
  } catch (const std::exception&) {
    return false;
  }
  state.width = w;
  state.height = h;
  return true;
}

// The largest initial cost that can matter: any value above every possible
// grey block cost behaves the same, so huge blocks need no wider type.
int64_t GreyWorstCost(int64_t block) {
  const int64_t side = std::min<int64_t>(block, int64_t{1} << 20);
  return side * side * 255;
}

// --- Vector helpers -----------------------------------------------------

inline __m128i Load8(const uint8_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
inline __m128i Load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline __m128i TwoLines8(const uint8_t* p, size_t stride) {
  return _mm_unpacklo_epi64(Load8(p), Load8(p + stride));
}
// Adds the two 64-bit halves of a psadbw sum.
inline uint32_t HorizontalSum(__m128i s) {
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(s, _mm_srli_si128(s, 8))));
}

// Grey block cost against a block whose four lines are already loaded.
inline uint32_t GreyCostLoaded(__m128i lines01, __m128i lines23, const uint8_t* b, size_t stride) {
  const __m128i s01 = _mm_sad_epu8(lines01, TwoLines8(b, stride));
  const __m128i s23 = _mm_sad_epu8(lines23, TwoLines8(b + 2 * stride, stride));
  return HorizontalSum(_mm_add_epi64(s01, s23));
}

// Which candidates of the grey pattern pass the limit test, as a bit mask by
// candidate index, for each step limit (1, 2) and each last move (by its index
// in the pattern). A step whose limit is 20 allows every candidate.
struct GreyLimitMasks {
  uint16_t mask[3][9];
  constexpr GreyLimitMasks() : mask() {
    for (int32_t limit = 1; limit <= 2; ++limit) {
      for (int j = 0; j < 9; ++j) {
        for (int i = 0; i < 9; ++i) {
          const Offset o = kGreyPattern[i];
          const Offset last = kGreyPattern[j];
          const int32_t ax = o.dx > last.dx ? o.dx - last.dx : last.dx - o.dx;
          const int32_t ay = o.dy > last.dy ? o.dy - last.dy : last.dy - o.dy;
          if (ax <= limit && ay <= limit) mask[limit][j] |= static_cast<uint16_t>(1u << i);
        }
      }
    }
    for (int j = 0; j < 9; ++j) mask[0][j] = 0x1FF;
  }
};
constexpr GreyLimitMasks kGreyLimitMasks;

// Move sizes of the grey pattern by candidate index.
constexpr int32_t kGreyKind[9] = {0, 2, 1, 1, 2, 2, 1, 1, 2};

// The grey search for the fast kernel: the same decisions as GreySearch,
// arranged for speed. The first step allows every candidate (limit 20), so it
// picks the first candidate of lowest cost (the strict comparison keeps the
// earliest of equal costs, and a cost of 0, which stops the step, is the
// lowest), unless the centre costs less than 64; that takes no branch per
// candidate. Later steps visit only the candidates the limit allows, taking
// the allowed set anew from a table whenever the last move changes.
// Candidate addresses are fixed offsets from the centre, and the bounds test
// is made once per step when the whole pattern fits inside the frame.
class GreySearcher {
 public:
  // before: the previous grey frame, line stride stride; maxX, maxY: the
  // largest block position; worst: the initial best cost.
  GreySearcher(const uint8_t* before, int64_t stride, int64_t maxX, int64_t maxY, int64_t worst)
      : before_(before), stride_(stride), maxX_(maxX), maxY_(maxY), worst_(worst) {
    for (int i = 0; i < 9; ++i) offsets_[i] = kGreyPattern[i].dy * stride + kGreyPattern[i].dx;
  }

  // The block at (bx, by), whose four lines are in block01 and block23.
  Match Search(int64_t bx, int64_t by, __m128i block01, __m128i block23) const {
    const size_t stride = static_cast<size_t>(stride_);
    auto costAt = [&](const uint8_t* p) {
      return static_cast<int64_t>(GreyCostLoaded(block01, block23, p, stride));
    };
    Match best{worst_, bx, by};
    int last = 0;  // index in the pattern of the last move; 0 is none
    if (Fits(bx, by)) {
      const uint8_t* centre = before_ + by * stride_ + bx;
      const int64_t centreCost = costAt(centre);
      int64_t lowest = centreCost << 4;  // cost * 16 + index: the first lowest cost
      for (int i = 1; i < 9; ++i)
        lowest = std::min(lowest, (costAt(centre + offsets_[i]) << 4) | i);
      if (centreCost < kNearMatch) return {0, bx, by};
      last = static_cast<int>(lowest & 15);
      best = {lowest >> 4, bx + kGreyPattern[last].dx, by + kGreyPattern[last].dy};
      if (last == 0) return best;
    } else {
      // Near the edges: the first step in order, with the bounds test.
      int32_t kind = 0;
      for (int i = 0; i < 9; ++i) {
        const int64_t cx = bx + kGreyPattern[i].dx;
        const int64_t cy = by + kGreyPattern[i].dy;
        if (!Inside(cx, cy)) continue;
        const int64_t c = costAt(before_ + cy * stride_ + cx);
        if (c < best.cost) {
          best = {c, cx, cy};
          kind = kGreyKind[i];
          last = i;
          if (i == 0 && best.cost < kNearMatch) best.cost = 0;
          if (c == 0) break;
        }
      }
      if (kind == 0) return best;
    }

    for (;;) {
      const int64_t centreX = best.x;
      const int64_t centreY = best.y;
      const uint16_t* allowed = kGreyLimitMasks.mask[kGreyKind[last]];
      const bool roomy = Fits(centreX, centreY);
      const uint8_t* centre = before_ + centreY * stride_ + centreX;
      bool moved = false;
      uint32_t pending = allowed[last] & 0x1FEu;  // candidates 1..8 still to visit
      while (pending != 0) {
        const int i = __builtin_ctz(pending);
        pending &= pending - 1;
        const int64_t cx = centreX + kGreyPattern[i].dx;
        const int64_t cy = centreY + kGreyPattern[i].dy;
        if (!roomy && !Inside(cx, cy)) continue;
        const int64_t c = costAt(centre + offsets_[i]);
        if (c < best.cost) {
          best = {c, cx, cy};
          moved = true;
          last = i;
          if (c == 0) break;
          pending = allowed[i] & ~((2u << i) - 1);  // the later ones the new move allows
        }
      }
      if (!moved) return best;
    }
  }

 private:
  bool Inside(int64_t x, int64_t y) const { return x >= 0 && y >= 0 && x <= maxX_ && y <= maxY_; }
  // The whole pattern around (x, y) lies inside.
  bool Fits(int64_t x, int64_t y) const {
    return x >= 2 && y >= 2 && x <= maxX_ - 2 && y <= maxY_ - 2;
  }

  const uint8_t* before_;
  int64_t stride_;
  int64_t maxX_;
  int64_t maxY_;
  int64_t worst_;
  int64_t offsets_[9];
};

// A band's searches read many grey lines side by side, more streams than the
// hardware prefetcher follows: ask for the lines around the band (two more
// each side, where most matches lie) at column x, ahead of the search.
void PrefetchBand(const uint8_t* now, const uint8_t* before, int64_t w, int64_t h, int64_t x,
                  int64_t by, int64_t block) {
  if (x >= w) return;
  const int64_t first = std::max<int64_t>(by - 2, 0);
  const int64_t end = std::min<int64_t>(by + block + 2, h);
  for (int64_t y = first; y < end; ++y) {
    __builtin_prefetch(before + y * w + x);
    __builtin_prefetch(now + y * w + x);
  }
}

// The depth-map lines a band's blocks may carry from (two more each side),
// at column x, asked for while the band's searches run: the map has usually
// left the cache since the previous frame wrote it.
void PrefetchMapBand(const uint8_t* map, int64_t mapStride, int64_t h, int64_t x, int64_t by,
                     int64_t block) {
  const int64_t first = std::max<int64_t>(by - 2, 0);
  const int64_t end = std::min<int64_t>(by + block + 2, h);
  for (int64_t y = first; y < end; ++y) __builtin_prefetch(map + y * mapStride + x);
}

bool HasSsse3() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") != 0;
  }();
  return has;
}

// Blue byte of each of n pixels into dst.
void CopyBlueScalar(const uint8_t* src, uint8_t* dst, int64_t n) {
  for (int64_t x = 0; x < n; ++x) dst[x] = src[3 * x];
}

__attribute__((target("ssse3"))) void CopyBlueSsse3(const uint8_t* src, uint8_t* dst, int64_t n) {
  const __m128i pick0 = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i pick1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
  const __m128i pick2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
  int64_t x = 0;
  for (; x + 16 <= n; x += 16) {
    const uint8_t* s = src + 3 * x;
    const __m128i a = _mm_shuffle_epi8(Load16(s), pick0);
    const __m128i b = _mm_shuffle_epi8(Load16(s + 16), pick1);
    const __m128i c = _mm_shuffle_epi8(Load16(s + 32), pick2);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm_or_si128(_mm_or_si128(a, b), c));
  }
  CopyBlueScalar(src + 3 * x, dst + x, n - x);
}

// The blue bytes of picture lines first..end-1 into the grey frame.
void CopyBlueLines(const uint8_t* cur, int64_t stride, int32_t w, int64_t first, int64_t end,
                   uint8_t* grey) {
  const bool ssse3 = HasSsse3();
  for (int64_t y = first; y < end; ++y) {
    const uint8_t* src = cur + y * stride;
    uint8_t* dst = grey + y * w;
    if (ssse3) {
      CopyBlueSsse3(src, dst, w);
    } else {
      CopyBlueScalar(src, dst, w);
    }
  }
}

// Table of round(3v / 4) for the mode-1 blend.
struct ThreeQuarterTable {
  uint8_t value[256];
  constexpr ThreeQuarterTable() : value() {
    for (int32_t v = 0; v < 256; ++v) value[v] = static_cast<uint8_t>(ThreeQuarters(v));
  }
};
constexpr ThreeQuarterTable kThreeQuarters;

// Writes n depth-map values, mapped by mode (1: blend with add, 2: as they
// are), as n grey pixels of three equal bytes.
void ExpandScalar(const uint8_t* src, uint8_t* dst, int64_t n, int32_t mode, int32_t add) {
  for (int64_t p = 0; p < n; ++p) {
    const uint8_t v = mode == 1 ? static_cast<uint8_t>(kThreeQuarters.value[src[p]] + add) : src[p];
    dst[3 * p] = v;
    dst[3 * p + 1] = v;
    dst[3 * p + 2] = v;
  }
}

// The same, eight pixels at a time; n is a multiple of 8.
template <bool kBlend>
__attribute__((target("ssse3"), always_inline)) inline void ExpandSsse3(const uint8_t* src,
                                                                        uint8_t* dst, int64_t n,
                                                                        __m128i addend) {
  const __m128i spread0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i spread1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi16(1);
  for (int64_t p = 0; p < n; p += 8) {
    __m128i v = Load8(src + p);
    if (kBlend) {
      // round(3v / 4), halves to even, in 16-bit lanes.
      const __m128i d = _mm_unpacklo_epi8(v, zero);
      const __m128i t = _mm_add_epi16(d, _mm_add_epi16(d, d));
      const __m128i odd = _mm_and_si128(_mm_srli_epi16(t, 2), one);
      const __m128i r = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(t, one), odd), 2);
      v = _mm_packus_epi16(_mm_add_epi16(r, addend), zero);
    }
    uint8_t* out = dst + 3 * p;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(v, spread0));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm_shuffle_epi8(v, spread1));
  }
}

__attribute__((target("ssse3"))) void ExpandLineSsse3(const uint8_t* src, uint8_t* dst, int64_t n,
                                                      int32_t mode, int32_t add) {
  const __m128i addend = _mm_set1_epi16(static_cast<int16_t>(add));
  if (mode == 1) {
    ExpandSsse3<true>(src, dst, n, addend);
  } else {
    ExpandSsse3<false>(src, dst, n, addend);
  }
}

void ExpandDepth(const uint8_t* src, uint8_t* dst, int64_t n, int32_t mode, int32_t add) {
  if (n % 8 == 0 && HasSsse3()) {
    ExpandLineSsse3(src, dst, n, mode, add);
  } else {
    ExpandScalar(src, dst, n, mode, add);
  }
}

// One band of blocks in mode 1 or 2, line by line: block col carries the map
// from its match matches[col], blended with depths[col] in mode 1.
struct Band {
  uint8_t* picture;  // first line of the band
  int64_t stride;
  const uint8_t* map;
  int64_t mapStride;
  const Match* matches;
  const uint8_t* depths;
  int64_t columns;
  int64_t block;
};

// The band line by line: the map pixels of every block are gathered into one
// line of carried values (and, once per band, the blend addends into
// another), which is then blended and spread to three bytes per pixel sixteen
// pixels at a time. scratch holds 2 * columns * block + 16 bytes.
template <bool kBlend>
__attribute__((target("ssse3"))) void WriteCarriedBandSsse3(const Band& b, uint8_t* scratch) {
  const int64_t n = b.block * b.columns;
  uint8_t* carried = scratch;
  uint8_t* addends = scratch + n;
  if (kBlend) {
    for (int64_t col = 0; col < b.columns; ++col) {
      std::memset(addends + col * b.block, Quarter(b.depths[col]), static_cast<size_t>(b.block));
    }
  }
  const __m128i spread0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i spread1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m128i spread2 =
      _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi16(1);
  // round(3v / 4), halves to even, in 16-bit lanes.
  auto threeQuarters = [&](__m128i d) {
    const __m128i t = _mm_add_epi16(d, _mm_add_epi16(d, d));
    const __m128i odd = _mm_and_si128(_mm_srli_epi16(t, 2), one);
    return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(t, one), odd), 2);
  };
  for (int64_t j = 0; j < b.block; ++j) {
    for (int64_t col = 0; col < b.columns; ++col) {
      const Match& m = b.matches[col];
      const uint8_t* from = b.map + (m.y + j) * b.mapStride + m.x;
      uint8_t* to = carried + col * b.block;
      for (int64_t k = 0; k < b.block; k += 8) std::memcpy(to + k, from + k, 8);
    }
    uint8_t* line = b.picture + j * b.stride;
    int64_t p = 0;
    for (; p + 16 <= n; p += 16) {
      __m128i v = Load16(carried + p);
      if (kBlend) {
        const __m128i add = Load16(addends + p);
        const __m128i lo =
            _mm_add_epi16(threeQuarters(_mm_unpacklo_epi8(v, zero)), _mm_unpacklo_epi8(add, zero));
        const __m128i hi =
            _mm_add_epi16(threeQuarters(_mm_unpackhi_epi8(v, zero)), _mm_unpackhi_epi8(add, zero));
        v = _mm_packus_epi16(lo, hi);
      }
      uint8_t* out = line + 3 * p;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(v, spread0));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_shuffle_epi8(v, spread1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_shuffle_epi8(v, spread2));
    }
    if (p < n) {  // the last 8 pixels
      const __m128i addend = _mm_set1_epi16(kBlend ? addends[p] : 0);
      ExpandSsse3<kBlend>(carried + p, line + 3 * p, n - p, addend);
    }
  }
}

void WriteCarriedBand(const Band& b, int32_t mode, uint8_t* scratch) {
  if (b.block % 8 == 0 && HasSsse3()) {
    if (mode == 1) {
      WriteCarriedBandSsse3<true>(b, scratch);
    } else {
      WriteCarriedBandSsse3<false>(b, scratch);
    }
    return;
  }
  for (int64_t j = 0; j < b.block; ++j) {
    for (int64_t col = 0; col < b.columns; ++col) {
      const Match& m = b.matches[col];
      ExpandScalar(b.map + (m.y + j) * b.mapStride + m.x,
                   b.picture + j * b.stride + 3 * b.block * col, b.block, mode,
                   Quarter(b.depths[col]));
    }
  }
}

}  // namespace

void GainRing::Add(int32_t measure) {
  if (writeIndex < 0 || writeIndex >= kSlots) writeIndex = 0;
  slots[writeIndex] = measure;
  writeIndex = writeIndex == kSlots - 1 ? 0 : writeIndex + 1;
  int64_t sum = 0;
  for (int32_t i = 0; i < kAveraged; ++i) sum += slots[i];
  gain = static_cast<int32_t>(std::nearbyint(static_cast<double>(sum) / kAveraged));
}

// --- Block costs ----------------------------------------------------------

uint32_t GreyBlockCostReference(const uint8_t* a, const uint8_t* b, size_t stride) {
  uint32_t sum = 0;
  for (size_t j = 0; j < 4; ++j) {
    for (size_t i = 0; i < 8; ++i) {
      sum += static_cast<uint32_t>(std::abs(a[j * stride + i] - b[j * stride + i]));
    }
  }
  return sum;
}

uint32_t GreyBlockCost(const uint8_t* a, const uint8_t* b, size_t stride) {
  return GreyCostLoaded(TwoLines8(a, stride), TwoLines8(a + 2 * stride, stride), b, stride);
}

uint32_t ColourBlockCostReference(const uint8_t* a, const uint8_t* b, size_t stride) {
  uint32_t sum = 0;
  for (size_t j = 0; j < 8; ++j) {
    for (size_t i = 0; i < 24; ++i) {
      sum += static_cast<uint32_t>(std::abs(a[j * stride + i] - b[j * stride + i]));
    }
  }
  return sum;
}

uint32_t ColourBlockCost(const uint8_t* a, const uint8_t* b, size_t stride) {
  __m128i sum = _mm_setzero_si128();
  for (size_t j = 0; j < 8; ++j) {
    const uint8_t* pa = a + j * stride;
    const uint8_t* pb = b + j * stride;
    sum = _mm_add_epi64(sum, _mm_sad_epu8(Load16(pa), Load16(pb)));
    sum = _mm_add_epi64(sum, _mm_sad_epu8(Load8(pa + 16), Load8(pb + 16)));
  }
  return HorizontalSum(sum);
}

// --- Colour kernel --------------------------------------------------------

void ColourDepthMapReference(ColourDepthState& state, uint8_t* cur, const uint8_t* prev,
                             double* cost, int32_t mode, const uint8_t* dmap, int32_t w, int32_t h,
                             double* pan) {
  if (!cur || !prev || !FrameSizeUsable(w, h)) return;
  const int64_t stride = PictureStride(w);
  const int64_t lineBytes = 3 * int64_t{w};
  const int64_t mapStride = int64_t{w} + 1;
  const int32_t gain = state.ring.gain;
  const bool writes = WritesBlocks(mode, dmap);
  int64_t total = 0;
  MotionSums sums;

  const int64_t lastX = kColourBlockBytes * (w / kColourBlock - 1);
  const int64_t lastY = kColourBlock * (h / kColourBlock - 1);
  for (int64_t bx = 0; bx <= lastX; bx += kColourBlockBytes) {
    for (int64_t by = 0; by <= lastY; by += kColourBlock) {
      const uint8_t* block = cur + by * stride + bx;
      const Match m = ColourSearch(bx, by, lineBytes, h, [&](int64_t cx, int64_t cy) {
        return int64_t{ColourBlockCostReference(block, prev + cy * stride + cx, stride)};
      });
      total += m.cost;
      const int64_t mx = m.x - bx;
      const int64_t my = m.y - by;
      const int64_t dist = Distance(mx, my);
      sums.Add(mx, my, dist);
      const uint8_t depth = DepthValue(dist, gain);
      if (!writes) continue;
      for (int64_t j = 0; j < kColourBlock; ++j) {
        uint8_t* line = cur + (by + j) * stride + bx;
        const uint8_t* mapLine = dmap ? dmap + (m.y + j) * mapStride : nullptr;
        for (int64_t i = 0; i < kColourBlockBytes; ++i) {
          if (mode == 0) {
            line[i] = depth;
          } else {
            const uint8_t carried = mapLine[(m.x + i) / 3];
            line[i] = mode == 1 ? Blend(carried, depth) : carried;
          }
        }
      }
    }
  }
  if (cost) *cost = static_cast<double>(total);
  FinishFrame(state.ring, sums, w, h, pan);
}

void ColourDepthMap(ColourDepthState& state, uint8_t* cur, const uint8_t* prev, double* cost,
                    int32_t mode, const uint8_t* dmap, int32_t w, int32_t h, double* pan) {
  if (!cur || !prev || !FrameSizeUsable(w, h)) return;
  const int64_t stride = PictureStride(w);
  const size_t ustride = static_cast<size_t>(stride);
  const int64_t lineBytes = 3 * int64_t{w};
  const int64_t mapStride = int64_t{w} + 1;
  const int32_t gain = state.ring.gain;
  const bool writes = WritesBlocks(mode, dmap);
  int64_t total = 0;
  MotionSums sums;

  // Blocks go column by column as in the reference: when cur and prev share
  // memory, a written block is what later blocks compare against.
  const int64_t lastX = kColourBlockBytes * (w / kColourBlock - 1);
  const int64_t lastY = kColourBlock * (h / kColourBlock - 1);
  for (int64_t bx = 0; bx <= lastX; bx += kColourBlockBytes) {
    for (int64_t by = 0; by <= lastY; by += kColourBlock) {
      uint8_t* block = cur + by * stride + bx;
      const Match m = ColourSearch(bx, by, lineBytes, h, [&](int64_t cx, int64_t cy) {
        return int64_t{ColourBlockCost(block, prev + cy * stride + cx, ustride)};
      });
      total += m.cost;
      const int64_t mx = m.x - bx;
      const int64_t my = m.y - by;
      const int64_t dist = Distance(mx, my);
      sums.Add(mx, my, dist);
      const uint8_t depth = DepthValue(dist, gain);
      if (!writes) continue;
      // Positions move in whole pixels from a pixel start, so the block's
      // depth-map pixels start at m.x / 3.
      const int32_t add = Quarter(depth);
      for (int64_t j = 0; j < kColourBlock; ++j) {
        uint8_t* line = block + j * stride;
        if (mode == 0) {
          std::memset(line, depth, kColourBlockBytes);
        } else {
          ExpandDepth(dmap + (m.y + j) * mapStride + m.x / 3, line, kColourBlock, mode, add);
        }
      }
    }
  }
  if (cost) *cost = static_cast<double>(total);
  FinishFrame(state.ring, sums, w, h, pan);
}

// --- Grey kernel ----------------------------------------------------------

bool GreyDepthMapReference(GreyDepthState& state, uint8_t* cur, double* cost, int32_t mode,
                           const uint8_t* dmap, int32_t w, int32_t h, double* pan, int32_t scale) {
  if (!cur || !FrameSizeUsable(w, h) || scale < 1) return false;
  if (!PrepareGreyBuffers(state, w, h)) return false;
  const int64_t stride = PictureStride(w);
  const int64_t mapStride = int64_t{w} + 1;

  // The new frame goes into the buffer the last call did not fill.
  const int32_t previous = state.latest == 1 ? 1 : 0;
  const int32_t fresh = 1 - previous;
  uint8_t* now = state.grey[fresh].data();
  const uint8_t* before = state.grey[previous].data();
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) now[y * w + x] = cur[y * stride + 3 * x];
  }
  state.latest = fresh;

  const int64_t block = kGreyBlock * scale;
  const int64_t worst = GreyWorstCost(block);
  const int32_t gain = state.ring.gain;
  const bool writes = WritesBlocks(mode, dmap);
  bool invalid = false;
  double total = cost ? *cost : 0.0;
  MotionSums sums;

  for (int64_t bx = 0; bx <= w - block; bx += block) {
    for (int64_t by = 0; by <= h - block; by += block) {
      const uint8_t* a = now + by * w + bx;
      const Match m = GreySearch(bx, by, w - block, h - block, worst, [&](int64_t cx, int64_t cy) {
        return int64_t{GreyBlockCostReference(a, before + cy * w + cx, static_cast<size_t>(w))};
      });
      total += static_cast<double>(scale * m.cost);
      const int64_t mx = m.x - bx;
      const int64_t my = m.y - by;
      const int64_t dist = Distance(mx, my);
      sums.Add(mx, my, scale * dist);
      const uint8_t depth = DepthValue(dist, gain);
      if (!IsValidMode(mode)) invalid = true;
      if (!writes) continue;
      for (int64_t j = 0; j < block; ++j) {
        uint8_t* line = cur + (by + j) * stride + 3 * bx;
        const uint8_t* mapLine = dmap ? dmap + (m.y + j) * mapStride + m.x : nullptr;
        for (int64_t i = 0; i < 3 * block; ++i) {
          if (mode == 0) {
            line[i] = depth;
          } else {
            const uint8_t carried = mapLine[i / 3];
            line[i] = mode == 1 ? Blend(carried, depth) : carried;
          }
        }
      }
    }
  }
  if (cost) *cost = total / 2;
  FinishFrame(state.ring, sums, w, h, pan);
  return invalid;
}

bool GreyDepthMap(GreyDepthState& state, uint8_t* cur, double* cost, int32_t mode,
                  const uint8_t* dmap, int32_t w, int32_t h, double* pan, int32_t scale) {
  if (!cur || !FrameSizeUsable(w, h) || scale < 1) return false;
  const int64_t block = kGreyBlock * scale;
  const int64_t columns = block <= w && block <= h ? w / block : 0;
  const int64_t rows = columns > 0 ? h / block : 0;

  // Work arrays first, so that running out of memory leaves the state alone.
  std::vector<int64_t> blockCost;
  std::vector<Match> rowMatch;
  std::vector<uint8_t> rowDepth;
  std::vector<uint8_t> lineScratch;
  try {
    blockCost.resize(static_cast<size_t>(columns * rows));
    rowMatch.resize(static_cast<size_t>(columns));
    rowDepth.resize(static_cast<size_t>(columns));
    lineScratch.resize(static_cast<size_t>(2 * block * columns) + 16);
  } catch (const std::exception&) {
    return false;
  }
  if (!PrepareGreyBuffers(state, w, h)) return false;
  const int64_t stride = PictureStride(w);
  const size_t greyStride = static_cast<size_t>(w);
  const int64_t mapStride = int64_t{w} + 1;

  const int32_t previous = state.latest == 1 ? 1 : 0;
  const int32_t fresh = 1 - previous;
  uint8_t* now = state.grey[fresh].data();
  const uint8_t* before = state.grey[previous].data();
  state.latest = fresh;

  const int64_t worst = GreyWorstCost(block);
  const int32_t gain = state.ring.gain;
  const bool writes = WritesBlocks(mode, dmap);
  const int64_t rowBytes = 3 * block * columns;
  const bool mapped = writes && mode != 0;
  const GreySearcher searcher(before, w, w - block, h - block, worst);
  MotionSums sums;

  // Band by band: a band's lines are copied into the grey frame just before
  // its blocks are searched (a search reads only its own block's lines of the
  // new frame) and written while they are still in cache.
  for (int64_t row = 0; row < rows; ++row) {
    const int64_t by = row * block;
    CopyBlueLines(cur, stride, w, by, by + block, now);
    for (int64_t col = 0; col < columns; ++col) {
      const int64_t bx = col * block;
      const uint8_t* a = now + by * w + bx;
      const __m128i lines01 = TwoLines8(a, greyStride);
      const __m128i lines23 = TwoLines8(a + 2 * greyStride, greyStride);
      if ((bx & 63) < block) {
        PrefetchBand(now, before, w, h, bx + 128, by, block);
        if (mapped) PrefetchMapBand(dmap, mapStride, h, bx, by, block);
      }
      const Match m = searcher.Search(bx, by, lines01, lines23);
      blockCost[static_cast<size_t>(col * rows + row)] = scale * m.cost;
      const int64_t mx = m.x - bx;
      const int64_t my = m.y - by;
      const int64_t dist = Distance(mx, my);
      sums.Add(mx, my, scale * dist);
      rowMatch[static_cast<size_t>(col)] = m;
      rowDepth[static_cast<size_t>(col)] = DepthValue(dist, gain);
    }
    if (!writes) continue;
    uint8_t* band = cur + by * stride;
    if (mode == 0) {
      for (int64_t col = 0; col < columns; ++col) {
        std::memset(band + 3 * block * col, rowDepth[static_cast<size_t>(col)],
                    static_cast<size_t>(3 * block));
      }
      for (int64_t j = 1; j < block; ++j) {
        std::memcpy(band + j * stride, band, static_cast<size_t>(rowBytes));
      }
      continue;
    }
    WriteCarriedBand(
        {band, stride, dmap, mapStride, rowMatch.data(), rowDepth.data(), columns, block}, mode,
        lineScratch.data());
  }

  CopyBlueLines(cur, stride, w, rows * block, h, now);  // the lines below the last band

  // The total cost adds the blocks in the reference's column order, so that
  // the carried half of the previous total rounds the same way.
  if (cost) {
    double total = *cost;
    for (const int64_t c : blockCost) total += static_cast<double>(c);
    *cost = total / 2;
  }
  FinishFrame(state.ring, sums, w, h, pan);
  return !IsValidMode(mode) && columns > 0 && rows > 0;
}

}  // namespace dioptrix::blocks
