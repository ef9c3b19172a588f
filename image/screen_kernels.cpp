#include "image/screen_kernels.h"

#include <algorithm>
#include <cstring>
#include <utility>

#ifdef DIOPTRIX_X86_KERNELS
#include <immintrin.h>
#endif

namespace dioptrix::screen_kernels {

// --- Plans ---------------------------------------------------------------------

NearestColumns MakeNearestColumns(std::vector<uint32_t> offsets, int64_t readable) {
  NearestColumns plan;
  plan.offsets = std::move(offsets);
  plan.readable = readable;
  const size_t blocks = plan.offsets.size() / 4;
  plan.blocks.resize(blocks);
  for (size_t b = 0; b < blocks; ++b) {
    NearestColumns::Block& block = plan.blocks[b];
    const uint32_t* picks = &plan.offsets[4 * b];
    const int64_t low = *std::min_element(picks, picks + 4);
    const int64_t high = *std::max_element(picks, picks + 4) + 3;  // one past the last byte
    // The 16 bytes read start at the lowest pick, or earlier near the row's end.
    const int64_t base = std::min(low, readable - 16);
    block.base = static_cast<uint32_t>(std::max<int64_t>(base, 0));
    std::fill(std::begin(block.shuffle), std::end(block.shuffle), uint8_t{0x80});
    if (base < 0 || high - base > 16) {
      block.shuffle[0] = NearestColumns::kNoShuffle;
      continue;
    }
    for (int j = 0; j < 4; ++j)
      for (int c = 0; c < 3; ++c)
        block.shuffle[4 * j + c] = static_cast<uint8_t>(picks[j] - base + c);
  }
  return plan;
}

AreaColumns MakeAreaColumns(const std::vector<uint32_t>& firsts,
                            const std::vector<uint32_t>& lasts) {
  AreaColumns plan;
  for (size_t k = 0; k < firsts.size(); ++k) {
    plan.starts.push_back(3 * firsts[k]);
    plan.counts.push_back(lasts[k] - firsts[k]);
  }
  plan.widths = plan.counts;
  std::sort(plan.widths.begin(), plan.widths.end());
  plan.widths.erase(std::unique(plan.widths.begin(), plan.widths.end()), plan.widths.end());
  for (const uint32_t count : plan.counts)
    plan.classes.push_back(static_cast<uint32_t>(
        std::lower_bound(plan.widths.begin(), plan.widths.end(), count) - plan.widths.begin()));
  plan.summedColumns = lasts.empty() ? 0 : static_cast<int32_t>(lasts.back());
  const size_t widest = plan.widths.empty() ? 0 : plan.widths.back();
  plan.sumsSize = 3 * (static_cast<size_t>(plan.summedColumns) + widest) + 1;
  return plan;
}

// --- Plain versions -------------------------------------------------------------

namespace plain {

void ExpandRow(const uint8_t* src, uint8_t* dst, int32_t n) {
  for (int32_t x = 0; x < n; ++x, src += 3, dst += 4) {
    dst[0] = src[0];
    dst[1] = src[1];
    dst[2] = src[2];
    dst[3] = 0xFF;
  }
}

void NearestRow(const uint8_t* srcRow, const NearestColumns& columns, uint8_t* dst) {
  for (const uint32_t offset : columns.offsets) {
    const uint8_t* p = srcRow + offset;
    dst[0] = p[0];
    dst[1] = p[1];
    dst[2] = p[2];
    dst[3] = 0xFF;
    dst += 4;
  }
}

void SumRows(const uint8_t* first, int64_t stride, int32_t rows, int32_t bytes, uint32_t* sums) {
  std::fill(sums, sums + std::max(bytes, 0), 0u);
  for (int32_t r = 0; r < rows; ++r) {
    const uint8_t* row = first + r * stride;
    for (int32_t i = 0; i < bytes; ++i) sums[i] += row[i];
  }
}

// Each channel: the sum over the pixel's columns and rows, divided by the
// number of pixels and rounded half up.
void AverageRow(const uint32_t* sums, const AreaColumns& columns, uint32_t rows, uint8_t* dst) {
  for (size_t k = 0; k < columns.counts.size(); ++k) {
    uint64_t sum[3] = {0, 0, 0};
    const uint32_t* column = sums + columns.starts[k];
    for (uint32_t x = 0; x < columns.counts[k]; ++x, column += 3)
      for (int c = 0; c < 3; ++c) sum[c] += column[c];
    const uint64_t n = uint64_t{columns.counts[k]} * rows;
    for (int c = 0; c < 3; ++c) dst[c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
    dst[3] = 0xFF;
    dst += 4;
  }
}

}  // namespace plain

#ifdef DIOPTRIX_X86_KERNELS

#define DIOPTRIX_SSSE3 __attribute__((target("ssse3")))
#define DIOPTRIX_AVX2 __attribute__((target("avx2")))

namespace {
constexpr int kOpaque = static_cast<int>(0xFF000000u);
}  // namespace

// --- SSSE3 versions -------------------------------------------------------------

namespace ssse3 {

namespace {

// Four 3-byte pixels (bytes 0-11 of v) to four 4-byte pixels with 0xFF.
DIOPTRIX_SSSE3 inline __m128i Spread4(__m128i v) {
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  return _mm_or_si128(_mm_shuffle_epi8(v, spread), _mm_set1_epi32(kOpaque));
}

// Sixteen pixels: reads exactly 48 bytes and writes exactly 64.
DIOPTRIX_SSSE3 inline void Expand16(const uint8_t* s, uint8_t* d) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
  auto* out = reinterpret_cast<__m128i*>(d);
  _mm_storeu_si128(out, Spread4(a));                              // bytes 0-11
  _mm_storeu_si128(out + 1, Spread4(_mm_alignr_epi8(b, a, 12)));  // bytes 12-23
  _mm_storeu_si128(out + 2, Spread4(_mm_alignr_epi8(c, b, 8)));   // bytes 24-35
  _mm_storeu_si128(out + 3, Spread4(_mm_srli_si128(c, 4)));       // bytes 36-47
}

// Destination pixels [k, end) one 4-byte word each. A pixel with a fourth
// readable byte after it moves as one word whose top byte is then set; the
// others move byte by byte.
inline void MovePixels(const uint8_t* srcRow, const NearestColumns& columns, uint8_t* dst, size_t k,
                       size_t end) {
  const uint32_t* offsets = columns.offsets.data();
  for (; k < end; ++k) {
    const uint8_t* p = srcRow + offsets[k];
    uint32_t px = 0;
    if (offsets[k] + int64_t{4} <= columns.readable) {
      std::memcpy(&px, p, 4);
    } else {
      px = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
    }
    px |= 0xFF000000u;
    std::memcpy(dst + 4 * k, &px, 4);
  }
}

}  // namespace

DIOPTRIX_SSSE3 void ExpandRow(const uint8_t* src, uint8_t* dst, int32_t n) {
  if (n < 16) return plain::ExpandRow(src, dst, n);
  int32_t x = 0;
  for (; x + 16 <= n; x += 16) Expand16(src + 3 * x, dst + 4 * x);
  // The last sixteen pixels of the row, again where they overlap done ones.
  if (x < n) Expand16(src + 3 * (n - 16), dst + 4 * (n - 16));
}

DIOPTRIX_SSSE3 void NearestRow(const uint8_t* srcRow, const NearestColumns& columns, uint8_t* dst) {
  size_t k = 0;
  for (const NearestColumns::Block& block : columns.blocks) {
    if (block.shuffle[0] == NearestColumns::kNoShuffle) {
      MovePixels(srcRow, columns, dst, k, k + 4);
    } else {
      const __m128i from = _mm_loadu_si128(reinterpret_cast<const __m128i*>(srcRow + block.base));
      const __m128i picks = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block.shuffle));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * k),
                       _mm_or_si128(_mm_shuffle_epi8(from, picks), _mm_set1_epi32(kOpaque)));
    }
    k += 4;
  }
  MovePixels(srcRow, columns, dst, k, columns.offsets.size());
}

namespace {

// Column sums of 16 bytes over all rows: 16-bit lanes for up to 257 rows at a
// time (257 * 255 = 65535), added into 32-bit sums after each run of rows.
DIOPTRIX_SSSE3 inline void SumChunk16(const uint8_t* first, int64_t stride, int32_t rows,
                                      uint32_t* sums) {
  const __m128i zero = _mm_setzero_si128();
  __m128i s0 = zero, s1 = zero, s2 = zero, s3 = zero;
  for (int32_t r = 0; r < rows;) {
    const int32_t end = rows - r > 257 ? r + 257 : rows;
    __m128i lo = zero, hi = zero;
    for (; r < end; ++r) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + r * stride));
      lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(v, zero));
      hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(v, zero));
    }
    s0 = _mm_add_epi32(s0, _mm_unpacklo_epi16(lo, zero));
    s1 = _mm_add_epi32(s1, _mm_unpackhi_epi16(lo, zero));
    s2 = _mm_add_epi32(s2, _mm_unpacklo_epi16(hi, zero));
    s3 = _mm_add_epi32(s3, _mm_unpackhi_epi16(hi, zero));
  }
  auto* out = reinterpret_cast<__m128i*>(sums);
  _mm_storeu_si128(out, s0);
  _mm_storeu_si128(out + 1, s1);
  _mm_storeu_si128(out + 2, s2);
  _mm_storeu_si128(out + 3, s3);
}

}  // namespace

DIOPTRIX_SSSE3 void SumRows(const uint8_t* first, int64_t stride, int32_t rows, int32_t bytes,
                            uint32_t* sums) {
  if (bytes < 16) return plain::SumRows(first, stride, rows, bytes, sums);
  int32_t i = 0;
  for (; i + 16 <= bytes; i += 16) SumChunk16(first + i, stride, rows, sums + i);
  // The last 16 bytes, again where they overlap done ones (sums are stored,
  // not added, so the overlap gives the same values).
  if (i < bytes) SumChunk16(first + bytes - 16, stride, rows, sums + bytes - 16);
}

}  // namespace ssse3

// --- The fast area average -------------------------------------------------------
//
// The plain average with the three sums of a column added as one vector of
// four 32-bit lanes (the fourth unused) and the division replaced by a
// multiplication, in double precision for pixel counts n up to 2^23 (so that
// t = sum + n / 2 < 256 n fits a signed 32-bit lane).
//
// t / n is a multiple of 1/n, so floor(t / n) = trunc((t + 0.5) * (1 / n)):
// the half moves the quotient at least 1/(2n) >= 2^-24 away from every
// integer, while the two roundings of the multiplication move it by at most
// 256 * 2^-52.
//
// When no span is wider than kMaskedSpan columns, every pixel makes as many
// loads as the widest span and masks out those past its own: the widths vary
// from pixel to pixel when shrinking, and a branch on them would be
// mispredicted. Wider spans loop over their own columns.

namespace {

constexpr uint64_t kMaxFastArea = uint64_t{1} << 23;
constexpr size_t kMaxWidthClasses = 8;
constexpr uint32_t kMaskedSpan = 8;

// Per width class: n / 2 + 0.5 and 1 / n, for n = width * rows.
struct Divisors {
  double half[kMaxWidthClasses];
  double recip[kMaxWidthClasses];
};

// False when the fast path does not hold the counts of these columns.
bool FastDivisors(const AreaColumns& columns, uint32_t rows, Divisors& d) {
  const size_t classes = columns.widths.size();
  if (classes > kMaxWidthClasses || uint64_t{columns.widths.back()} * rows > kMaxFastArea)
    return false;
  for (size_t c = 0; c < classes; ++c) {
    const uint64_t n = uint64_t{columns.widths[c]} * rows;
    d.half[c] = static_cast<double>(n / 2) + 0.5;
    d.recip[c] = 1.0 / static_cast<double>(n);
  }
  return true;
}

// The masked width for these columns, or 0 when they loop.
uint32_t MaskedWidth(const AreaColumns& columns) {
  return columns.widths.back() <= kMaskedSpan ? columns.widths.back() : 0;
}

DIOPTRIX_SSSE3 inline __m128i LoadSums(const uint32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Lanes B, G, R of the sums of `count` columns from p, and one unused.
DIOPTRIX_SSSE3 inline __m128i SumSpan(const uint32_t* p, uint32_t count, uint32_t masked) {
  __m128i acc = LoadSums(p);
  if (masked) {
    const __m128i n = _mm_set1_epi32(static_cast<int>(count));
    __m128i x = _mm_set1_epi32(1);
    for (uint32_t i = 1; i < masked; ++i) {
      acc = _mm_add_epi32(acc, _mm_and_si128(LoadSums(p + 3 * i), _mm_cmpgt_epi32(n, x)));
      x = _mm_add_epi32(x, _mm_set1_epi32(1));
    }
  } else {
    for (uint32_t i = 1; i < count; ++i) acc = _mm_add_epi32(acc, LoadSums(p + 3 * i));
  }
  return acc;
}

// Byte 0 of lanes 0, 1, 2 to bytes 0, 1, 2, and 0xFF as byte 3.
DIOPTRIX_SSSE3 inline void StorePixel(uint8_t* dst, __m128i q) {
  const __m128i pick = _mm_setr_epi8(0, 4, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const int px = _mm_cvtsi128_si32(_mm_shuffle_epi8(q, pick)) | static_cast<int>(0xFF000000u);
  std::memcpy(dst, &px, 4);
}

}  // namespace

namespace ssse3 {

DIOPTRIX_SSSE3 void AverageRow(const uint32_t* sums, const AreaColumns& columns, uint32_t rows,
                               uint8_t* dst) {
  if (columns.widths.empty()) return;
  Divisors d;
  if (!FastDivisors(columns, rows, d)) return plain::AverageRow(sums, columns, rows, dst);
  const uint32_t masked = MaskedWidth(columns);
  for (size_t k = 0; k < columns.counts.size(); ++k, dst += 4) {
    const __m128i t = SumSpan(sums + columns.starts[k], columns.counts[k], masked);
    const __m128d h = _mm_set1_pd(d.half[columns.classes[k]]);
    const __m128d r = _mm_set1_pd(d.recip[columns.classes[k]]);
    const __m128i low = _mm_cvttpd_epi32(_mm_mul_pd(_mm_add_pd(_mm_cvtepi32_pd(t), h), r));
    const __m128i high =
        _mm_cvttpd_epi32(_mm_mul_pd(_mm_add_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(t, t)), h), r));
    StorePixel(dst, _mm_unpacklo_epi64(low, high));
  }
}

}  // namespace ssse3

// --- AVX2 versions --------------------------------------------------------------

namespace avx2 {

namespace {

DIOPTRIX_AVX2 inline __m256i Load2x16(const uint8_t* low, const uint8_t* high) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
}

// Thirty-two pixels: reads exactly 96 bytes and writes exactly 128. Each
// 128-bit half takes four pixels from its own 16-byte load; the last load
// starts 4 bytes early so that it ends at byte 96.
DIOPTRIX_AVX2 inline void Expand32(const uint8_t* s, uint8_t* d) {
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m256i spreadLast =
      _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                       4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
  const __m256i opaque = _mm256_set1_epi32(kOpaque);
  auto* out = reinterpret_cast<__m256i*>(d);
  _mm256_storeu_si256(out,
                      _mm256_or_si256(_mm256_shuffle_epi8(Load2x16(s, s + 12), spread), opaque));
  _mm256_storeu_si256(
      out + 1, _mm256_or_si256(_mm256_shuffle_epi8(Load2x16(s + 24, s + 36), spread), opaque));
  _mm256_storeu_si256(
      out + 2, _mm256_or_si256(_mm256_shuffle_epi8(Load2x16(s + 48, s + 60), spread), opaque));
  _mm256_storeu_si256(
      out + 3, _mm256_or_si256(_mm256_shuffle_epi8(Load2x16(s + 72, s + 80), spreadLast), opaque));
}

// Column sums of 32 bytes over all rows, as SumChunk16 of the SSSE3 version.
DIOPTRIX_AVX2 inline void SumChunk32(const uint8_t* first, int64_t stride, int32_t rows,
                                     uint32_t* sums) {
  __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0, s3 = s0;
  for (int32_t r = 0; r < rows;) {
    const int32_t end = rows - r > 257 ? r + 257 : rows;
    __m256i lo = _mm256_setzero_si256(), hi = lo;
    for (; r < end; ++r) {
      const uint8_t* row = first + r * stride;
      lo = _mm256_add_epi16(
          lo, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row))));
      hi = _mm256_add_epi16(
          hi, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16))));
    }
    s0 = _mm256_add_epi32(s0, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(lo)));
    s1 = _mm256_add_epi32(s1, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(lo, 1)));
    s2 = _mm256_add_epi32(s2, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(hi)));
    s3 = _mm256_add_epi32(s3, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(hi, 1)));
  }
  auto* out = reinterpret_cast<__m256i*>(sums);
  _mm256_storeu_si256(out, s0);
  _mm256_storeu_si256(out + 1, s1);
  _mm256_storeu_si256(out + 2, s2);
  _mm256_storeu_si256(out + 3, s3);
}

}  // namespace

DIOPTRIX_AVX2 void ExpandRow(const uint8_t* src, uint8_t* dst, int32_t n) {
  if (n < 32) return ssse3::ExpandRow(src, dst, n);
  int32_t x = 0;
  for (; x + 32 <= n; x += 32) Expand32(src + 3 * x, dst + 4 * x);
  if (x < n) Expand32(src + 3 * (n - 32), dst + 4 * (n - 32));
}

DIOPTRIX_AVX2 void SumRows(const uint8_t* first, int64_t stride, int32_t rows, int32_t bytes,
                           uint32_t* sums) {
  if (bytes < 32) return ssse3::SumRows(first, stride, rows, bytes, sums);
  int32_t i = 0;
  for (; i + 32 <= bytes; i += 32) SumChunk32(first + i, stride, rows, sums + i);
  if (i < bytes) SumChunk32(first + bytes - 32, stride, rows, sums + bytes - 32);
}

namespace {

// floor(t / n) for lanes B, G, R of t, all four lanes converted and divided
// as one 256-bit vector of doubles.
DIOPTRIX_AVX2 inline __m128i Divide(__m128i t, const Divisors& d, uint32_t widthClass) {
  const __m256d x = _mm256_add_pd(_mm256_cvtepi32_pd(t), _mm256_set1_pd(d.half[widthClass]));
  return _mm256_cvttpd_epi32(_mm256_mul_pd(x, _mm256_set1_pd(d.recip[widthClass])));
}

// Short spans over few rows, the usual shrinks and enlargements: pixels of
// at most 181 source pixels, each span at most W columns wide. Two pixels go
// in the two halves of a 256-bit vector, and the division is a 32-bit
// multiplication: floor(t / n) = (t * ceil(2^23 / n)) >> 23 for every
// t < 256 n, as t * (ceil(2^23 / n) * n - 2^23) < 256 n (n - 1) < 2^23; the
// product stays below 2^32.
constexpr uint32_t kMaxShortArea = 181;
static_assert(256 * kMaxShortArea * (kMaxShortArea - 1) < (1u << 23));
constexpr int kShortShift = 23;

template <uint32_t W>
DIOPTRIX_AVX2 void AverageShortSpans(const uint32_t* sums, const AreaColumns& columns,
                                     uint32_t rows, uint8_t* dst) {
  // Lane c - 1 of each table: n / 2 and the multiplier for a span of c columns.
  alignas(32) uint32_t halfTable[8], multTable[8];
  for (uint32_t c = 1; c <= 8; ++c) {
    const uint32_t n = c * rows;
    halfTable[c - 1] = n / 2;
    multTable[c - 1] = static_cast<uint32_t>(((uint64_t{1} << kShortShift) + n - 1) / n);
  }
  const __m256i halves = _mm256_load_si256(reinterpret_cast<const __m256i*>(halfTable));
  const __m256i mults = _mm256_load_si256(reinterpret_cast<const __m256i*>(multTable));
  const __m256i one = _mm256_set1_epi32(1);
  const uint32_t* starts = columns.starts.data();
  const uint32_t* counts = columns.counts.data();
  const size_t size = columns.counts.size();
  size_t k = 0;
  for (; k + 2 <= size; k += 2, dst += 8) {
    // Each half: its pixel's count in all four lanes.
    const __m256i count = _mm256_permutevar8x32_epi32(
        _mm256_castsi128_si256(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(counts + k))),
        _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1));
    const uint32_t* p0 = sums + starts[k];
    const uint32_t* p1 = sums + starts[k + 1];
    __m256i acc = _mm256_inserti128_si256(_mm256_castsi128_si256(LoadSums(p0)), LoadSums(p1), 1);
    for (uint32_t i = 1; i < W; ++i) {
      const __m256i more = _mm256_inserti128_si256(_mm256_castsi128_si256(LoadSums(p0 + 3 * i)),
                                                   LoadSums(p1 + 3 * i), 1);
      const __m256i use = _mm256_cmpgt_epi32(count, _mm256_set1_epi32(static_cast<int>(i)));
      acc = _mm256_add_epi32(acc, _mm256_and_si256(more, use));
    }
    const __m256i slot = _mm256_sub_epi32(count, one);
    const __m256i t = _mm256_add_epi32(acc, _mm256_permutevar8x32_epi32(halves, slot));
    const __m256i q = _mm256_srli_epi32(
        _mm256_mullo_epi32(t, _mm256_permutevar8x32_epi32(mults, slot)), kShortShift);
    // Lanes to bytes (the unused lane becomes 0xFF).
    const __m128i words =
        _mm_packs_epi32(_mm256_castsi256_si128(q), _mm256_extracti128_si256(q, 1));
    const __m128i bytes = _mm_or_si128(_mm_packus_epi16(words, words), _mm_set1_epi32(kOpaque));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), bytes);
  }
  if (k < size) {
    const uint32_t n = counts[k] * rows;
    const __m128i t = _mm_add_epi32(SumSpan(sums + starts[k], counts[k], W),
                                    _mm_set1_epi32(static_cast<int>(n / 2)));
    StorePixel(dst,
               _mm_srli_epi32(
                   _mm_mullo_epi32(t, _mm_set1_epi32(static_cast<int>(multTable[counts[k] - 1]))),
                   kShortShift));
  }
}

}  // namespace

DIOPTRIX_AVX2 void AverageRow(const uint32_t* sums, const AreaColumns& columns, uint32_t rows,
                              uint8_t* dst) {
  if (columns.widths.empty()) return;
  const uint32_t widest = columns.widths.back();
  if (widest <= 8 && uint64_t{widest} * rows <= kMaxShortArea) {
    switch (widest) {
      case 1:
        return AverageShortSpans<1>(sums, columns, rows, dst);
      case 2:
        return AverageShortSpans<2>(sums, columns, rows, dst);
      case 3:
        return AverageShortSpans<3>(sums, columns, rows, dst);
      case 4:
        return AverageShortSpans<4>(sums, columns, rows, dst);
      case 5:
        return AverageShortSpans<5>(sums, columns, rows, dst);
      case 6:
        return AverageShortSpans<6>(sums, columns, rows, dst);
      case 7:
        return AverageShortSpans<7>(sums, columns, rows, dst);
      default:
        return AverageShortSpans<8>(sums, columns, rows, dst);
    }
  }
  Divisors d;
  if (!FastDivisors(columns, rows, d)) return plain::AverageRow(sums, columns, rows, dst);
  const uint32_t masked = MaskedWidth(columns);
  for (size_t k = 0; k < columns.counts.size(); ++k, dst += 4)
    StorePixel(dst, Divide(SumSpan(sums + columns.starts[k], columns.counts[k], masked), d,
                           columns.classes[k]));
}

}  // namespace avx2

#undef DIOPTRIX_SSSE3
#undef DIOPTRIX_AVX2

#endif  // DIOPTRIX_X86_KERNELS

}  // namespace dioptrix::screen_kernels
