// The x86 vector versions of the depth-map kernels (blocks/depth_kernels.h).
#include "blocks/depth_kernels.h"

#ifdef DIOPTRIX_X86_KERNELS

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#define DIOPTRIX_SSSE3 __attribute__((target("ssse3")))
#define DIOPTRIX_SSSE3_INLINE __attribute__((target("ssse3"), always_inline)) inline
#define DIOPTRIX_AVX2 __attribute__((target("avx2")))
#define DIOPTRIX_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace dioptrix::blocks::depth_kernels {

namespace {

// --- Shared pieces ------------------------------------------------------------

DIOPTRIX_SSSE3 inline __m128i Load8(const uint8_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
DIOPTRIX_SSSE3 inline __m128i Load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
DIOPTRIX_SSSE3 inline __m128i TwoLines8(const uint8_t* p, size_t stride) {
  return _mm_unpacklo_epi64(Load8(p), Load8(p + stride));
}
// Adds the two 64-bit halves of a psadbw sum.
DIOPTRIX_SSSE3 inline uint32_t HorizontalSum(__m128i s) {
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(s, _mm_srli_si128(s, 8))));
}

// Grey block cost against a block whose four lines are already loaded.
DIOPTRIX_SSSE3 inline uint32_t GreyCostLoaded(__m128i lines01, __m128i lines23, const uint8_t* b,
                                              size_t stride) {
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

// The grey search of one block, arranged for speed: the same decisions as
// GreySearch. The first step allows every candidate (limit 20), so it picks
// the first candidate of lowest cost (the strict comparison keeps the earliest
// of equal costs, and a cost of 0, which stops the step, is the lowest),
// unless the centre costs less than 64; that takes no branch per candidate.
// Later steps visit only the candidates the limit allows, taking the allowed
// set anew from a table whenever the last move changes. A step that reaches
// cost 0 ends the search: no later candidate can cost less. Candidate
// addresses are fixed offsets from the centre, and the bounds test is made
// once per step when the whole pattern fits inside the frame.
class GreySearcher {
 public:
  explicit GreySearcher(const GreyBand& band)
      : before_(band.before),
        stride_(band.width),
        maxX_(band.width - band.block),
        maxY_(band.height - band.block),
        worst_(band.worst) {
    for (int i = 0; i < 9; ++i) offsets_[i] = kGreyPattern[i].dy * stride_ + kGreyPattern[i].dx;
  }

  // The block at (bx, by), whose four lines are in block01 and block23.
  DIOPTRIX_SSSE3 Match Search(int64_t bx, int64_t by, __m128i block01, __m128i block23) const {
    Match best{worst_, bx, by};
    int last = 0;  // index in the pattern of the last move; 0 is none
    if (Fits(bx, by)) {
      const uint8_t* centre = before_ + by * stride_ + bx;
      const int64_t centreCost = CostAt(block01, block23, centre);
      int64_t lowest = centreCost << 4;  // cost * 16 + index: the first lowest cost
      for (int i = 1; i < 9; ++i)
        lowest = std::min(lowest, (CostAt(block01, block23, centre + offsets_[i]) << 4) | i);
      if (centreCost < kNearMatch) return {0, bx, by};
      last = static_cast<int>(lowest & 15);
      best = {lowest >> 4, bx + kGreyPattern[last].dx, by + kGreyPattern[last].dy};
      if (last == 0 || best.cost == 0) return best;
    } else {
      // Near the edges: the first step in order, with the bounds test.
      int32_t kind = 0;
      for (int i = 0; i < 9; ++i) {
        const int64_t cx = bx + kGreyPattern[i].dx;
        const int64_t cy = by + kGreyPattern[i].dy;
        if (!Inside(cx, cy)) continue;
        const int64_t c = CostAt(block01, block23, before_ + cy * stride_ + cx);
        if (c < best.cost) {
          best = {c, cx, cy};
          kind = kGreyKind[i];
          last = i;
          if (i == 0 && best.cost < kNearMatch) best.cost = 0;
          if (c == 0) break;
        }
      }
      if (kind == 0 || best.cost == 0) return best;
    }
    return Continue(best, last, block01, block23);
  }

  // The steps after the first, from best, reached by the move with pattern
  // index last (not 0).
  DIOPTRIX_SSSE3_INLINE Match Continue(Match best, int last, __m128i block01,
                                       __m128i block23) const {
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
        if (!roomy && !Inside(centreX + kGreyPattern[i].dx, centreY + kGreyPattern[i].dy)) continue;
        const int64_t c = CostAt(block01, block23, centre + offsets_[i]);
        if (c < best.cost) {
          best = {c, centreX + kGreyPattern[i].dx, centreY + kGreyPattern[i].dy};
          moved = true;
          last = i;
          if (c == 0) return best;
          pending = allowed[i] & ~((2u << i) - 1);  // the later ones the new move allows
        }
      }
      if (!moved) return best;
    }
  }

  // The whole pattern around (x, y) lies inside.
  bool Fits(int64_t x, int64_t y) const {
    return x >= 2 && y >= 2 && x <= maxX_ - 2 && y <= maxY_ - 2;
  }

 private:
  DIOPTRIX_SSSE3_INLINE int64_t CostAt(__m128i block01, __m128i block23, const uint8_t* p) const {
    return GreyCostLoaded(block01, block23, p, static_cast<size_t>(stride_));
  }
  bool Inside(int64_t x, int64_t y) const { return x >= 0 && y >= 0 && x <= maxX_ && y <= maxY_; }

  const uint8_t* before_;
  int64_t stride_;
  int64_t maxX_;
  int64_t maxY_;
  int64_t worst_;
  int64_t offsets_[9];
};

// The search of column col of a band, block by block.
DIOPTRIX_SSSE3 inline Match SearchOne(const GreySearcher& searcher, const GreyBand& band,
                                      int64_t col) {
  const int64_t bx = col * band.block;
  const size_t stride = static_cast<size_t>(band.width);
  const uint8_t* a = band.now + band.y * band.width + bx;
  return searcher.Search(bx, band.y, TwoLines8(a, stride), TwoLines8(a + 2 * stride, stride));
}

}  // namespace

// --- SSSE3 --------------------------------------------------------------------

namespace ssse3 {

namespace {

// Writes n depth-map values as n grey pixels of three equal bytes, eight
// pixels at a time (n a multiple of 8); in a blend each value v becomes
// round(3v / 4) + addend.
template <bool kBlend>
DIOPTRIX_SSSE3 inline void Expand(const uint8_t* src, uint8_t* dst, int64_t n, __m128i addend) {
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

// The band line by line: the map pixels of every block are gathered into one
// line of carried values (and, once per band, the blend addends into
// another), which is then blended and spread to three bytes per pixel sixteen
// pixels at a time.
template <bool kBlend>
DIOPTRIX_SSSE3 void CarryLines(const CarriedBand& b) {
  const int64_t n = b.block * b.columns;
  uint8_t* carried = b.scratch;
  uint8_t* addends = b.scratch + n;
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
  auto threeQuarters = [&](__m128i d) DIOPTRIX_SSSE3 {
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
      Expand<kBlend>(carried + p, line + 3 * p, n - p, addend);
    }
  }
}

}  // namespace

DIOPTRIX_SSSE3 uint32_t GreyBlockCost(const uint8_t* a, const uint8_t* b, size_t stride) {
  return GreyCostLoaded(TwoLines8(a, stride), TwoLines8(a + 2 * stride, stride), b, stride);
}

DIOPTRIX_SSSE3 uint32_t BlockCost8(const uint8_t* a, const uint8_t* b, size_t stride) {
  __m128i sum = _mm_setzero_si128();
  for (size_t line = 0; line < 8; line += 2) {
    const size_t at = line * stride;
    sum = _mm_add_epi64(sum, _mm_sad_epu8(TwoLines8(a + at, stride), TwoLines8(b + at, stride)));
  }
  return HorizontalSum(sum);
}

DIOPTRIX_SSSE3 void SearchBand(const GreyBand& band, int64_t first, int64_t end, Match* matches) {
  const GreySearcher searcher(band);
  for (int64_t col = first; col < end; ++col) matches[col] = SearchOne(searcher, band, col);
}

// HalveLines: 16 pixels (48 bytes) of a line give 8 sums of two pixels. Byte
// shuffles gather, for every output, the pixel pair's bytes in three parts
// (blue and green of the first pixel, its red and the second's blue, the
// second's green and red), each from the three 16-byte loads it may lie in;
// multiply-adds weigh them 1 2, 1 1 and 2 1.
struct HalfMasks {
  alignas(16) uint8_t shuffle[3][3][16];  // [part][load][byte]
  alignas(16) int8_t weight[3][16];       // [part][byte]
};

constexpr HalfMasks MakeHalfMasks() {
  HalfMasks h{};
  for (int part = 0; part < 3; ++part) {
    for (int j = 0; j < 16; ++j) {
      const int pos = 6 * (j / 2) + 2 * part + j % 2;
      for (int load = 0; load < 3; ++load) {
        h.shuffle[part][load][j] = pos / 16 == load ? static_cast<uint8_t>(pos % 16) : 0x80;
      }
      const bool first = j % 2 == 0;
      h.weight[part][j] = part == 0 ? (first ? 1 : 2) : part == 1 ? 1 : (first ? 2 : 1);
    }
  }
  return h;
}

constexpr HalfMasks kHalfMasks = MakeHalfMasks();

DIOPTRIX_SSSE3_INLINE __m128i PairSums(const uint8_t* line) {
  const __m128i loads[3] = {Load16(line), Load16(line + 16), Load16(line + 32)};
  __m128i sum = _mm_setzero_si128();
  for (int part = 0; part < 3; ++part) {
    __m128i gathered = _mm_setzero_si128();
    for (int load = 0; load < 3; ++load) {
      const __m128i mask = Load16(kHalfMasks.shuffle[part][load]);
      gathered = _mm_or_si128(gathered, _mm_shuffle_epi8(loads[load], mask));
    }
    const __m128i weight = Load16(reinterpret_cast<const uint8_t*>(kHalfMasks.weight[part]));
    sum = _mm_add_epi16(sum, _mm_maddubs_epi16(gathered, weight));
  }
  return sum;
}

DIOPTRIX_SSSE3 void HalveLines(const uint8_t* a, const uint8_t* b, uint8_t* out, int64_t n) {
  const __m128i eight = _mm_set1_epi16(8);
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i sum = _mm_add_epi16(PairSums(a + 6 * i), PairSums(b + 6 * i));
    sum = _mm_srli_epi16(_mm_add_epi16(sum, eight), 4);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(sum, sum));
  }
  plain::HalveLines(a + 6 * i, b + 6 * i, out + i, n - i);
}

// DoubleLine: 16 depths become 32 pixels, 96 bytes, six shuffles of the one
// load: output byte j of store v is depth (16v + j) / 6.
struct DoubleMasks {
  alignas(16) uint8_t shuffle[6][16];
};

constexpr DoubleMasks MakeDoubleMasks() {
  DoubleMasks d{};
  for (int v = 0; v < 6; ++v) {
    for (int j = 0; j < 16; ++j) d.shuffle[v][j] = static_cast<uint8_t>((16 * v + j) / 6);
  }
  return d;
}

constexpr DoubleMasks kDoubleMasks = MakeDoubleMasks();

DIOPTRIX_SSSE3 void DoubleLine(const uint8_t* depth, uint8_t* out, int64_t n) {
  int64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i values = Load16(depth + i);
    for (int v = 0; v < 6; ++v) {
      const __m128i mask = Load16(kDoubleMasks.shuffle[v]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 6 * i + 16 * v),
                       _mm_shuffle_epi8(values, mask));
    }
  }
  plain::DoubleLine(depth + i, out + 6 * i, n - i);
}

DIOPTRIX_SSSE3 void CopyBlue(const uint8_t* src, uint8_t* dst, int64_t n) {
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
  for (; x < n; ++x) dst[x] = src[3 * x];
}

DIOPTRIX_SSSE3 void CarryBand(const CarriedBand& band, bool blend) {
  if (blend) {
    CarryLines<true>(band);
  } else {
    CarryLines<false>(band);
  }
}

DIOPTRIX_SSSE3 void ExpandRow(const uint8_t* src, uint8_t* dst, int64_t n, bool blend,
                              uint8_t add) {
  const int64_t whole = n & ~int64_t{7};
  const __m128i addend = _mm_set1_epi16(add);
  if (blend) {
    Expand<true>(src, dst, whole, addend);
  } else {
    Expand<false>(src, dst, whole, addend);
  }
  plain::ExpandRow(src + whole, dst + 3 * whole, n - whole, blend, add);
}

DIOPTRIX_SSSE3 uint32_t ColourBlockCost(const uint8_t* a, const uint8_t* b, size_t stride) {
  __m128i sum = _mm_setzero_si128();
  for (size_t j = 0; j < 8; ++j) {
    const uint8_t* pa = a + j * stride;
    const uint8_t* pb = b + j * stride;
    sum = _mm_add_epi64(sum, _mm_sad_epu8(Load16(pa), Load16(pb)));
    sum = _mm_add_epi64(sum, _mm_sad_epu8(Load8(pa + 16), Load8(pb + 16)));
  }
  return HorizontalSum(sum);
}

DIOPTRIX_SSSE3 Match SearchColourBlock(const ColourFrames& frames, int64_t bx, int64_t by) {
  const uint8_t* block = frames.cur + by * frames.stride + bx;
  const auto stride = static_cast<size_t>(frames.stride);
  return ColourSearch(bx, by, frames.lineBytes, frames.lines, [&](int64_t cx, int64_t cy) {
    return int64_t{ColourBlockCost(block, frames.prev + cy * frames.stride + cx, stride)};
  });
}

}  // namespace ssse3

// --- AVX2 ---------------------------------------------------------------------

namespace avx2 {

namespace {

DIOPTRIX_AVX2 inline __m256i Load32(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
DIOPTRIX_AVX2 inline void Store32(uint8_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// The first step of four neighbouring blocks of one band at once (scale 1,
// the whole pattern of every block inside the frame): each 8-byte group of a
// 32-byte line is one block's line, so one psadbw compares one line of all
// four. Per block (64-bit lane): the centre's cost, and cost * 16 + index of
// the first candidate of lowest cost.
struct FirstStep {
  __m256i centre;
  __m256i lowest;
};

DIOPTRIX_AVX2_INLINE FirstStep FirstStepFour(const GreyBand& band, int64_t col) {
  const int64_t w = band.width;
  const int64_t bx = col * kGreyBlock;
  const uint8_t* a = band.now + band.y * w + bx;
  const uint8_t* b = band.before + band.y * w + bx;
  const __m256i n0 = Load32(a);
  const __m256i n1 = Load32(a + w);
  const __m256i n2 = Load32(a + 2 * w);
  const __m256i n3 = Load32(a + 3 * w);
  auto cost = [&](int i) DIOPTRIX_AVX2 {
    const uint8_t* p = b + kGreyPattern[i].dy * w + kGreyPattern[i].dx;
    const __m256i s01 =
        _mm256_add_epi64(_mm256_sad_epu8(n0, Load32(p)), _mm256_sad_epu8(n1, Load32(p + w)));
    const __m256i s23 = _mm256_add_epi64(_mm256_sad_epu8(n2, Load32(p + 2 * w)),
                                         _mm256_sad_epu8(n3, Load32(p + 3 * w)));
    return _mm256_add_epi64(s01, s23);
  };
  // The keys fit the low 32 bits of each 64-bit lane, whose high half stays 0.
  const __m256i centre = cost(0);
  __m256i lowest = _mm256_slli_epi64(centre, 4);
  for (int i = 1; i < 9; ++i) {
    const __m256i key = _mm256_or_si256(_mm256_slli_epi64(cost(i), 4), _mm256_set1_epi64x(i));
    lowest = _mm256_min_epu32(lowest, key);
  }
  return {centre, lowest};
}

// Four blocks: the first step together, then each block on its own.
DIOPTRIX_AVX2 void SearchFour(const GreySearcher& searcher, const GreyBand& band, int64_t col,
                              Match* matches) {
  const FirstStep first = FirstStepFour(band, col);
  alignas(32) uint64_t centreCosts[4];
  alignas(32) uint64_t keys[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(centreCosts), first.centre);
  _mm256_store_si256(reinterpret_cast<__m256i*>(keys), first.lowest);
  const int64_t w = band.width;
  const size_t stride = static_cast<size_t>(w);
  for (int k = 0; k < 4; ++k) {
    const int64_t x = (col + k) * kGreyBlock;
    const int64_t c0 = static_cast<int64_t>(centreCosts[k]);
    const int last = static_cast<int>(keys[k] & 15);
    const Match best{static_cast<int64_t>(keys[k] >> 4), x + kGreyPattern[last].dx,
                     band.y + kGreyPattern[last].dy};
    if (c0 < kNearMatch) {
      matches[col + k] = {0, x, band.y};
    } else if (last == 0 || best.cost == 0) {
      matches[col + k] = best;
    } else {
      const uint8_t* block = band.now + band.y * w + x;
      matches[col + k] = searcher.Continue(best, last, TwoLines8(block, stride),
                                           TwoLines8(block + 2 * stride, stride));
    }
  }
}

// Asks for the previous frame's lines that the searches of the group two
// groups to the right of column col read (the band's lines and two more each
// side, where most matches lie; past the band's end, those at the start of
// the band below), and the same lines of the depth map when the band carries
// from one. The processor drops requests beyond the few it keeps in flight,
// so they go out a group at a time.
DIOPTRIX_AVX2_INLINE void AskAhead(const GreyBand& band, int64_t col) {
  int64_t x = (col + 16) * kGreyBlock;
  int64_t y = band.y;
  if (x >= band.width) {  // past the band's end: the start of the band below
    x -= band.width;
    y += kGreyBlock;
    if (x >= band.width) return;
  }
  const int64_t first = std::max<int64_t>(y - 2, 0);
  const int64_t end = std::min<int64_t>(y + kGreyBlock + 2, band.height);
  for (int64_t line = first; line < end; ++line) {
    __builtin_prefetch(band.before + line * band.width + x);
    // The map is read later, when the blocks are written: kept off the
    // first-level cache until then.
    if (band.map != nullptr) __builtin_prefetch(band.map + line * band.mapStride + x, 0, 1);
  }
}

// The eight blocks of a group of EightBlocks sit in the 16-bit lanes of one
// vector in this order (block col + kLaneBlock[lane]), as two packs of four
// 64-bit lanes leave them.
constexpr int kLaneBlock[8] = {0, 1, 4, 5, 2, 3, 6, 7};

// The 64-bit lanes of a (blocks 0..3) and b (blocks 4..7), each below 2^16,
// as 16-bit lanes in the order of kLaneBlock.
DIOPTRIX_AVX2_INLINE __m128i PackLanes(__m256i a, __m256i b) {
  const __m256i p = _mm256_packus_epi32(a, b);
  return _mm_packus_epi32(_mm256_castsi256_si128(p), _mm256_extracti128_si256(p, 1));
}

// The costs of the eight candidates around centre (pattern 1..8; the whole
// pattern inside the frame) of the block whose lines are rows01 (lines 0 and
// 1, each twice) and rows23, as 16-bit lanes in the order of kCostWord. The
// eight lines the candidates cover are read 16 bytes each from two pixels
// left of the centre, and paired so that one shuffle puts two candidates'
// lines side by side: one psadbw then compares two lines of two candidates.
// The words hold candidates 1, 2, 4, 6, 8, 3, 5, 7; kCostWord gives the word
// of each candidate.
constexpr int kCostWord[9] = {-1, 0, 1, 5, 2, 6, 3, 7, 4};

DIOPTRIX_AVX2_INLINE __m128i NeighbourCosts(const uint8_t* centre, int64_t w, __m256i rows01,
                                            __m256i rows23) {
  const uint8_t* left = centre - 2;
  auto line = [&](int64_t k) DIOPTRIX_AVX2 {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + k * w));
  };
  auto pair = [&](__m128i upper, __m128i lower) DIOPTRIX_AVX2 {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(upper), lower, 1);
  };
  const __m128i l0 = line(-2), l1 = line(-1), l2 = line(0), l3 = line(1);
  const __m128i l4 = line(2), l5 = line(3), l6 = line(4), l7 = line(5);
  // pairs[k]: lines k - 2 and k - 1 around the centre.
  const __m256i pairs[7] = {pair(l0, l1), pair(l1, l2), pair(l2, l3), pair(l3, l4),
                            pair(l4, l5), pair(l5, l6), pair(l6, l7)};
  // Two candidates' 8 bytes of one line: dx -1 and +1, -2 and +2, 0 and 0.
  const __m256i across1 = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 8, 3, 4, 5, 6, 7, 8, 9, 10,  //
                                           1, 2, 3, 4, 5, 6, 7, 8, 3, 4, 5, 6, 7, 8, 9, 10);
  const __m256i across2 = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 4, 5, 6, 7, 8, 9, 10, 11,  //
                                           0, 1, 2, 3, 4, 5, 6, 7, 4, 5, 6, 7, 8, 9, 10, 11);
  const __m256i middle = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 8, 9, 2, 3, 4, 5, 6, 7, 8, 9,  //
                                          2, 3, 4, 5, 6, 7, 8, 9, 2, 3, 4, 5, 6, 7, 8, 9);
  // Lines 0, 1 of both candidates from one pair, lines 2, 3 from the pair two
  // lines below: per candidate, the sums of lines 0 + 2 and of lines 1 + 3.
  auto costs = [&](__m256i top, __m256i bottom) DIOPTRIX_AVX2 {
    return _mm256_add_epi64(_mm256_sad_epu8(top, rows01), _mm256_sad_epu8(bottom, rows23));
  };
  auto shuffled = [&](int k, __m256i pick)
                      DIOPTRIX_AVX2 { return _mm256_shuffle_epi8(pairs[k], pick); };
  const __m256i c23 = costs(shuffled(1, across1), shuffled(3, across1));  // dy -1
  const __m256i c45 = costs(shuffled(2, across2), shuffled(4, across2));  // dy 0
  const __m256i c67 = costs(shuffled(3, across1), shuffled(5, across1));  // dy 1
  // (0, -2) beside (0, 2).
  const __m256i c18 = costs(_mm256_blend_epi32(shuffled(0, middle), shuffled(4, middle), 0xCC),
                            _mm256_blend_epi32(shuffled(2, middle), shuffled(6, middle), 0xCC));
  const __m256i words =
      _mm256_or_si256(_mm256_or_si256(c18, _mm256_slli_epi64(c23, 16)),
                      _mm256_or_si256(_mm256_slli_epi64(c45, 32), _mm256_slli_epi64(c67, 48)));
  return _mm_add_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
}

// Lines 0 and 1 (or 2 and 3) of a block, each twice: [0, 0 | 1, 1].
DIOPTRIX_AVX2_INLINE __m256i BlockRows(const uint8_t* first, int64_t w) {
  return _mm256_blend_epi32(_mm256_broadcastq_epi64(Load8(first)),
                            _mm256_broadcastq_epi64(Load8(first + w)), 0xF0);
}

// Transposes eight vectors of eight 16-bit lanes.
DIOPTRIX_AVX2_INLINE void Transpose8x8(const __m128i in[8], __m128i out[8]) {
  const __m128i a0 = _mm_unpacklo_epi16(in[0], in[1]);
  const __m128i a1 = _mm_unpackhi_epi16(in[0], in[1]);
  const __m128i a2 = _mm_unpacklo_epi16(in[2], in[3]);
  const __m128i a3 = _mm_unpackhi_epi16(in[2], in[3]);
  const __m128i a4 = _mm_unpacklo_epi16(in[4], in[5]);
  const __m128i a5 = _mm_unpackhi_epi16(in[4], in[5]);
  const __m128i a6 = _mm_unpacklo_epi16(in[6], in[7]);
  const __m128i a7 = _mm_unpackhi_epi16(in[6], in[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2);
  const __m128i b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3);
  const __m128i b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6);
  const __m128i b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7);
  const __m128i b7 = _mm_unpackhi_epi32(a5, a7);
  out[0] = _mm_unpacklo_epi64(b0, b4);
  out[1] = _mm_unpackhi_epi64(b0, b4);
  out[2] = _mm_unpacklo_epi64(b1, b5);
  out[3] = _mm_unpackhi_epi64(b1, b5);
  out[4] = _mm_unpacklo_epi64(b2, b6);
  out[5] = _mm_unpackhi_epi64(b2, b6);
  out[6] = _mm_unpacklo_epi64(b3, b7);
  out[7] = _mm_unpackhi_epi64(b3, b7);
}

// The tables of the steps after the first, looked up by byte shuffles. A
// block's state is the byte e = (last - 1) + 8 * (limit - 1): its last move
// (pattern index 1..8) and the limit of the current step, set when the step
// starts.
struct StepTables {
  // allowed[i][e]: 0xFF when candidate i passes the limit test from state e.
  alignas(16) uint8_t allowed[9][16];
  // next[last - 1]: the state that starts the step after a move to last.
  alignas(16) uint8_t next[16];
  // The move of pattern index last: dx[last - 1] and dy[last - 1], then
  // their sign bytes in entries 8..15 (to widen them to 16 bits).
  alignas(16) uint8_t dx[16];
  alignas(16) uint8_t dy[16];
  constexpr StepTables() : allowed(), next(), dx(), dy() {
    for (int i = 1; i < 9; ++i) {
      for (int e = 0; e < 16; ++e) {
        const int limit = (e >> 3) + 1;
        const int last = (e & 7) + 1;
        if ((kGreyLimitMasks.mask[limit][last] >> i) & 1) allowed[i][e] = 0xFF;
      }
    }
    for (int j = 0; j < 8; ++j) {
      const Offset o = kGreyPattern[j + 1];
      next[j] = static_cast<uint8_t>(j + 8 * (kGreyKind[j + 1] - 1));
      dx[j] = static_cast<uint8_t>(o.dx);
      dy[j] = static_cast<uint8_t>(o.dy);
      dx[j + 8] = o.dx < 0 ? 0xFF : 0;
      dy[j + 8] = o.dy < 0 ? 0xFF : 0;
    }
  }
};
constexpr StepTables kStepTables;

DIOPTRIX_AVX2_INLINE __m128i Table(const uint8_t* t) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(t));
}

// Eight neighbouring blocks of one band (scale 1, the whole first-step
// pattern of each inside the frame), searched side by side. The first step
// runs as in FirstStepFour; the later steps compute the eight candidates'
// costs of every block still searching, then make each step's decisions for
// all eight blocks at once in 16-bit lanes, with no branch per candidate. A
// block whose next centre lies too near the frame's edge for the whole
// pattern goes on alone with GreySearcher.
class EightBlocks {
 public:
  // The first step of the blocks in columns col..col + 7.
  DIOPTRIX_AVX2_INLINE void Start(const GreyBand& band, int64_t col) {
    col_ = col;
    AskAhead(band, col);
    const FirstStep a = FirstStepFour(band, col);
    const FirstStep b = FirstStepFour(band, col + 4);
    const __m256i fifteen = _mm256_set1_epi64x(15);
    const __m128i centre = PackLanes(a.centre, b.centre);
    const __m128i lowest =
        PackLanes(_mm256_srli_epi64(a.lowest, 4), _mm256_srli_epi64(b.lowest, 4));
    const __m128i index =
        PackLanes(_mm256_and_si256(a.lowest, fifteen), _mm256_and_si256(b.lowest, fifteen));
    const __m128i near = _mm_cmpgt_epi16(_mm_set1_epi16(kNearMatch), centre);
    best_ = _mm_andnot_si128(near, lowest);
    relX_ = _mm_setzero_si128();
    relY_ = _mm_setzero_si128();
    const __m128i stays = _mm_or_si128(near, _mm_cmpeq_epi16(index, _mm_setzero_si128()));
    const __m128i moved = _mm_andnot_si128(stays, _mm_set1_epi16(-1));
    const __m128i j = _mm_sub_epi16(index, _mm_set1_epi16(1));  // last - 1 where moved
    FinishStep(moved, _mm_or_si128(j, _mm_slli_epi16(j, 8)));
    for (__m128i& c : costs_) c = _mm_setzero_si128();
  }

  bool Searching() const { return searching_ != 0; }

  // One later step of the blocks still searching.
  DIOPTRIX_AVX2_INLINE void Step(const GreySearcher& searcher, const GreyBand& band) {
    const int64_t w = band.width;
    const int64_t by = band.y;
    alignas(16) int16_t xs[8];
    alignas(16) int16_t ys[8];
    alignas(16) uint16_t states[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(xs), relX_);
    _mm_store_si128(reinterpret_cast<__m128i*>(ys), relY_);
    _mm_store_si128(reinterpret_cast<__m128i*>(states), e_);
    unsigned leaving = 0;
    for (unsigned lanes = searching_; lanes != 0; lanes &= lanes - 1) {
      const int lane = __builtin_ctz(lanes);
      const int64_t bx = (col_ + kLaneBlock[lane]) * kGreyBlock;
      const int64_t x = bx + xs[lane];
      const int64_t y = by + ys[lane];
      if (!searcher.Fits(x, y)) {
        leaving |= 1u << lane;
        aloneLast_[lane] = static_cast<uint8_t>((states[lane] & 7) + 1);
        continue;
      }
      const uint8_t* block = band.now + by * w + bx;
      costs_[lane] = NeighbourCosts(band.before + y * w + x, w, BlockRows(block, w),
                                    BlockRows(block + 2 * w, w));
    }
    if (leaving != 0) {
      alone_ |= leaving;
      const __m128i bits = _mm_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128);
      const __m128i gone =
          _mm_cmpeq_epi16(_mm_and_si128(_mm_set1_epi16(static_cast<int16_t>(leaving)), bits), bits);
      e_ = _mm_blendv_epi8(e_, None(), gone);
    }
    __m128i candidate[8];
    Transpose8x8(costs_, candidate);
    // One step for every block: the candidates in pattern order, each taken
    // when the limit allows it from the block's current last move and it
    // costs less than the best so far. A block moved when its best cost fell
    // (a take always lowers it).
    const __m128i limitBits = _mm_and_si128(e_, _mm_set1_epi16(0x0808));
    const __m128i bestBefore = best_;
    auto consider = [&](int i, __m128i c) DIOPTRIX_AVX2 {
      const __m128i allowed = _mm_shuffle_epi8(Table(kStepTables.allowed[i]), e_);
      const __m128i take = _mm_and_si128(allowed, _mm_cmpgt_epi16(best_, c));
      best_ = _mm_blendv_epi8(best_, c, take);
      const __m128i state =
          _mm_or_si128(_mm_set1_epi16(static_cast<int16_t>((i - 1) * 0x0101)), limitBits);
      e_ = _mm_blendv_epi8(e_, state, take);
    };
    consider(1, candidate[kCostWord[1]]);
    consider(2, candidate[kCostWord[2]]);
    consider(3, candidate[kCostWord[3]]);
    consider(4, candidate[kCostWord[4]]);
    consider(5, candidate[kCostWord[5]]);
    consider(6, candidate[kCostWord[6]]);
    consider(7, candidate[kCostWord[7]]);
    consider(8, candidate[kCostWord[8]]);
    FinishStep(_mm_cmpgt_epi16(bestBefore, best_), e_);
  }

  // The matches of the eight blocks, those that went on alone finished.
  DIOPTRIX_AVX2_INLINE void Finish(const GreySearcher& searcher, const GreyBand& band,
                                   Match* matches) const {
    const int64_t w = band.width;
    alignas(16) int16_t bests[8];
    alignas(16) int16_t xs[8];
    alignas(16) int16_t ys[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(bests), best_);
    _mm_store_si128(reinterpret_cast<__m128i*>(xs), relX_);
    _mm_store_si128(reinterpret_cast<__m128i*>(ys), relY_);
    for (int lane = 0; lane < 8; ++lane) {
      const int64_t k = col_ + kLaneBlock[lane];
      const Match m{bests[lane], k * kGreyBlock + xs[lane], band.y + ys[lane]};
      if ((alone_ >> lane) & 1) {
        const uint8_t* block = band.now + band.y * w + k * kGreyBlock;
        const auto stride = static_cast<size_t>(w);
        matches[k] = searcher.Continue(m, aloneLast_[lane], TwoLines8(block, stride),
                                       TwoLines8(block + 2 * stride, stride));
      } else {
        matches[k] = m;
      }
    }
  }

 private:
  // The state of a finished block.
  DIOPTRIX_AVX2_INLINE static __m128i None() {
    return _mm_set1_epi16(static_cast<int16_t>(0x8080));
  }

  // After each step (the first one too): the moved blocks take their move,
  // and those that moved to a cost above 0 start another step.
  DIOPTRIX_AVX2_INLINE void FinishStep(__m128i moved, __m128i lastPair) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i j = _mm_and_si128(lastPair, _mm_set1_epi16(0x0707));
    const __m128i signed8 = _mm_add_epi16(j, _mm_set1_epi16(0x0800));
    relX_ = _mm_add_epi16(relX_,
                          _mm_and_si128(_mm_shuffle_epi8(Table(kStepTables.dx), signed8), moved));
    relY_ = _mm_add_epi16(relY_,
                          _mm_and_si128(_mm_shuffle_epi8(Table(kStepTables.dy), signed8), moved));
    const __m128i active = _mm_andnot_si128(_mm_cmpeq_epi16(best_, zero), moved);
    e_ = _mm_blendv_epi8(None(), _mm_shuffle_epi8(Table(kStepTables.next), j), active);
    searching_ = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(active, zero)));
  }

  int64_t col_ = 0;
  __m128i best_;               // each block's best cost so far
  __m128i relX_, relY_;        // its best position, relative to the block
  __m128i e_;                  // its state: last move and limit, or None()
  unsigned searching_ = 0;     // the blocks that start another step
  unsigned alone_ = 0;         // the blocks that go on with GreySearcher
  uint8_t aloneLast_[8] = {};  // their last moves
  __m128i costs_[8];           // the candidates' costs of each block
};

// Groups of eight neighbouring blocks whose steps take turns, so that one
// group's decisions run beside the others' cost sums.
template <int kGroups>
DIOPTRIX_AVX2 void SearchGroups(const GreySearcher& searcher, const GreyBand& band, int64_t col,
                                Match* matches) {
  EightBlocks groups[kGroups];
  for (int g = 0; g < kGroups; ++g) groups[g].Start(band, col + 8 * g);
  for (;;) {
    bool any = false;
    for (int g = 0; g < kGroups; ++g) {
      if (groups[g].Searching()) {
        groups[g].Step(searcher, band);
        any = true;
      }
    }
    if (!any) break;
  }
  for (int g = 0; g < kGroups; ++g) groups[g].Finish(searcher, band, matches);
}

// round(3v / 4), halves to even, of each byte: 12 * (v >> 4) plus the
// rounding of the low four bits, each from a table.
DIOPTRIX_AVX2 inline __m256i ThreeQuartersBytes(__m256i v) {
  const __m256i high =
      _mm256_setr_epi8(0, 12, 24, 36, 48, 60, 72, 84, 96, 108, 120, -124, -112, -100, -88, -76, 0,
                       12, 24, 36, 48, 60, 72, 84, 96, 108, 120, -124, -112, -100, -88, -76);
  const __m256i low = _mm256_setr_epi8(0, 1, 2, 2, 3, 4, 4, 5, 6, 7, 8, 8, 9, 10, 10, 11, 0, 1, 2,
                                       2, 3, 4, 4, 5, 6, 7, 8, 8, 9, 10, 10, 11);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
  const __m256i lo = _mm256_and_si256(v, nibble);
  return _mm256_add_epi8(_mm256_shuffle_epi8(high, hi), _mm256_shuffle_epi8(low, lo));
}

// 32 grey values to 32 pixels of three equal bytes (96 bytes at out).
DIOPTRIX_AVX2 inline void Spread32(__m256i v, uint8_t* out) {
  // Output bytes 0..31 come from values 0..10, 32..63 from 10..21, 64..95
  // from 21..31; each 16-byte half of a shuffle reads its own half of the
  // source, so the halves are arranged first.
  const __m256i spread01 = _mm256_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5,  //
                                            5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m256i spread20 =
      _mm256_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15,  //
                       0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m256i spread12 =
      _mm256_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10,  //
                       10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  const __m256i lowTwice = _mm256_permute4x64_epi64(v, 0x44);
  const __m256i highTwice = _mm256_permute4x64_epi64(v, 0xEE);
  Store32(out, _mm256_shuffle_epi8(lowTwice, spread01));
  Store32(out + 32, _mm256_shuffle_epi8(v, spread20));
  Store32(out + 64, _mm256_shuffle_epi8(highTwice, spread12));
}

// Scale 1, four blocks at a time: their map lines go straight into one
// vector, line by line down the four blocks.
template <bool kBlend>
DIOPTRIX_AVX2 void CarryEights(const CarriedBand& b) {
  // The fields in locals: stores into the picture could otherwise alias them.
  const uint8_t* const map = b.map;
  const int64_t mapStride = b.mapStride;
  const Match* const matches = b.matches;
  const uint8_t* const depths = b.depths;
  uint8_t* const picture = b.picture;
  const int64_t stride = b.stride;
  const int64_t columns = b.columns;
  const int64_t whole = columns & ~int64_t{3};
  auto source = [&](int64_t col) { return map + matches[col].y * mapStride + matches[col].x; };
  auto addend = [&](int64_t col) {
    return static_cast<int64_t>(Quarter(depths[col]) * 0x0101010101010101u);
  };
  for (int64_t col = 0; col < whole; col += 4) {
    const uint8_t* s0 = source(col);
    const uint8_t* s1 = source(col + 1);
    const uint8_t* s2 = source(col + 2);
    const uint8_t* s3 = source(col + 3);
    const __m256i add =
        kBlend ? _mm256_setr_epi64x(addend(col), addend(col + 1), addend(col + 2), addend(col + 3))
               : _mm256_setzero_si256();
    uint8_t* out = picture + 3 * kGreyBlock * col;
    for (int64_t j = 0; j < kGreyBlock; ++j) {
      const __m128i lo = _mm_unpacklo_epi64(Load8(s0), Load8(s1));
      const __m128i hi = _mm_unpacklo_epi64(Load8(s2), Load8(s3));
      __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
      if (kBlend) v = _mm256_add_epi8(ThreeQuartersBytes(v), add);
      Spread32(v, out);
      s0 += mapStride;
      s1 += mapStride;
      s2 += mapStride;
      s3 += mapStride;
      out += stride;
    }
  }
  for (int64_t col = whole; col < columns; ++col) {
    const auto add = static_cast<uint8_t>(kBlend ? Quarter(depths[col]) : 0);
    for (int64_t j = 0; j < kGreyBlock; ++j) {
      ssse3::ExpandRow(source(col) + j * mapStride, picture + j * stride + 3 * kGreyBlock * col,
                       kGreyBlock, kBlend, add);
    }
  }
}

// Larger blocks: each line's carried values are gathered into a scratch line
// first.
template <bool kBlend>
DIOPTRIX_AVX2 void CarryLines(const CarriedBand& b) {
  const int64_t n = b.block * b.columns;
  uint8_t* carried = b.scratch;
  uint8_t* addends = b.scratch + n;
  if (kBlend) {
    for (int64_t col = 0; col < b.columns; ++col) {
      std::memset(addends + col * b.block, Quarter(b.depths[col]), static_cast<size_t>(b.block));
    }
  }
  const int64_t whole = n & ~int64_t{31};
  for (int64_t j = 0; j < b.block; ++j) {
    for (int64_t col = 0; col < b.columns; ++col) {
      const Match& m = b.matches[col];
      std::memcpy(carried + col * b.block, b.map + (m.y + j) * b.mapStride + m.x,
                  static_cast<size_t>(b.block));
    }
    uint8_t* line = b.picture + j * b.stride;
    for (int64_t p = 0; p < whole; p += 32) {
      __m256i v = Load32(carried + p);
      if (kBlend) v = _mm256_add_epi8(ThreeQuartersBytes(v), Load32(addends + p));
      Spread32(v, line + 3 * p);
    }
    for (int64_t p = whole; p < n; p += 8) {
      ssse3::ExpandRow(carried + p, line + 3 * p, 8, kBlend,
                       static_cast<uint8_t>(kBlend ? addends[p] : 0));
    }
  }
}

}  // namespace

DIOPTRIX_AVX2 void SearchBand(const GreyBand& band, int64_t first, int64_t end, Match* matches) {
  const GreySearcher searcher(band);
  // Columns whose blocks have the whole pattern inside the frame across:
  // bx >= 2 and bx <= width - block - 2.
  const bool bandFits = band.block == kGreyBlock && searcher.Fits(2, band.y);
  const int64_t lastFitting = (band.width - kGreyBlock - 2) / kGreyBlock;
  // The last column a group may hold.
  const int64_t last = std::min(end - 1, lastFitting);
  int64_t col = first;
  while (col < end) {
    const int64_t room = bandFits && col >= 1 ? last - col + 1 : 0;  // columns that fit from col
    if (room >= 32) {
      SearchGroups<4>(searcher, band, col, matches);
      col += 32;
    } else if (room >= 16) {
      SearchGroups<2>(searcher, band, col, matches);
      col += 16;
    } else if (room >= 8) {
      SearchGroups<1>(searcher, band, col, matches);
      col += 8;
    } else if (room > 0 && last >= 8) {
      // The last few: a group of eight ending at the last column that fits,
      // searching again some columns before col (their matches come out the
      // same).
      SearchGroups<1>(searcher, band, last - 7, matches);
      col = last + 1;
    } else if (room >= 4) {
      SearchFour(searcher, band, col, matches);
      col += 4;
    } else {
      matches[col] = SearchOne(searcher, band, col);
      ++col;
    }
  }
}

DIOPTRIX_AVX2 void CopyBlue(const uint8_t* src, uint8_t* dst, int64_t n) {
  // Each 16-byte half gathers 16 pixels from 48 bytes: the halves read bytes
  // 0..47 and 48..95 of the 32 pixels.
  const __m256i pick0 =
      _mm256_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12,
                       15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i pick1 =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                       -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
  const __m256i pick2 =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1,
                       -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
  int64_t x = 0;
  for (; x + 32 <= n; x += 32) {
    const uint8_t* s = src + 3 * x;
    const __m256i a = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(s + 48),
                                          reinterpret_cast<const __m128i*>(s));
    const __m256i b = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(s + 64),
                                          reinterpret_cast<const __m128i*>(s + 16));
    const __m256i c = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(s + 80),
                                          reinterpret_cast<const __m128i*>(s + 32));
    const __m256i grey = _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(a, pick0), _mm256_shuffle_epi8(b, pick1)),
        _mm256_shuffle_epi8(c, pick2));
    Store32(dst + x, grey);
  }
  ssse3::CopyBlue(src + 3 * x, dst + x, n - x);
}

DIOPTRIX_AVX2 void CarryBand(const CarriedBand& band, bool blend) {
  if (band.block == kGreyBlock) {
    if (blend) {
      CarryEights<true>(band);
    } else {
      CarryEights<false>(band);
    }
  } else if (blend) {
    CarryLines<true>(band);
  } else {
    CarryLines<false>(band);
  }
}

}  // namespace avx2

}  // namespace dioptrix::blocks::depth_kernels

#endif  // DIOPTRIX_X86_KERNELS
