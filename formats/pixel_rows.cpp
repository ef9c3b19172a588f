#include "formats/pixel_rows.h"

#include <algorithm>
#include <cstring>

#include "platform/x86_intrinsics.h"

namespace dioptrix::pixel_rows {

namespace scalar {

void AnaGray(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  for (int32_t x = 0; x < n; ++x, left += 3, right += 3, out += 3) {
    const uint8_t greyRight = Mean3(right[0], right[1], right[2]);
    out[0] = greyRight;
    out[1] = greyRight;
    out[2] = Mean3(left[0], left[1], left[2]);
  }
}

void AnaColour(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  for (int32_t x = 0; x < n; ++x, left += 3, right += 3, out += 3) {
    out[0] = right[0];
    out[1] = right[1];
    out[2] = Luminance(left[0], left[1], left[2]);
  }
}

void AnaYellow(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  for (int32_t x = 0; x < n; ++x, left += 3, right += 3, out += 3) {
    out[0] = Luminance(right[0], right[1], right[2]);
    out[1] = left[1];
    out[2] = left[2];
  }
}

void SplitAnaglyphGray(const uint8_t* src, uint8_t* left, uint8_t* right, int32_t n) {
  for (int32_t x = 0; x < n; ++x, src += 3, left += 3, right += 3) {
    const uint8_t red = src[2];
    const auto cyan = static_cast<uint8_t>(RoundHalfEven(uint32_t{src[0]} + src[1], 2));
    left[0] = left[1] = left[2] = red;
    right[0] = right[1] = right[2] = cyan;
  }
}

void SplitAnaglyphColour(const uint8_t* src, uint8_t* left, uint8_t* right, int32_t n) {
  for (int32_t x = 0; x < n; ++x, src += 3, left += 3, right += 3) {
    left[0] = 0;
    left[1] = 0;
    left[2] = src[2];
    right[0] = src[0];
    right[1] = src[1];
    right[2] = 0;
  }
}

}  // namespace scalar

#ifdef DIOPTRIX_X86_KERNELS
namespace avx2 {

// Eight pixels per step, one pixel in each 32-bit lane as B | G << 8 | R << 16.
// A step reads and writes 32 bytes from the start of its 24 pixel bytes, so
// the vector loop runs while 11 pixels remain (33 bytes) and the plain
// version finishes the row; the 8 extra bytes written are rewritten by the
// next step.
constexpr int32_t kStep = 8;
constexpr int32_t kReach = 11;

#define DIOPTRIX_AVX2 __attribute__((target("avx2")))

DIOPTRIX_AVX2 inline __m256i Load8(const uint8_t* p) {
  const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  // Pixels 0-3 (bytes 0-11) to the low half, pixels 4-7 (bytes 12-23) to the high half.
  const __m256i halves =
      _mm256_permutevar8x32_epi32(raw, _mm256_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5));
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  return _mm256_shuffle_epi8(halves, spread);
}

DIOPTRIX_AVX2 inline void Store8(uint8_t* p, __m256i v) {
  const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i packed = _mm256_shuffle_epi8(v, pack);
  const __m256i joined =
      _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), joined);
}

DIOPTRIX_AVX2 inline __m256i Byte(__m256i px, int shift) {
  return _mm256_and_si256(_mm256_srli_epi32(px, shift), _mm256_set1_epi32(0xFF));
}

// Blue in the low and red in the high 16 bits of each lane.
DIOPTRIX_AVX2 inline __m256i BlueRed(__m256i px) {
  return _mm256_and_si256(px, _mm256_set1_epi32(0x00FF00FF));
}

// v * 0x010101: the value in all three channels.
DIOPTRIX_AVX2 inline __m256i Grey(__m256i v) {
  return _mm256_or_si256(_mm256_or_si256(v, _mm256_slli_epi32(v, 8)), _mm256_slli_epi32(v, 16));
}

// round((B + G + R) / 3) = floor((B + G + R + 1) / 3): a third never ends in
// one half. floor(n / 3) = (n * 21846) >> 16 for n up to 766 (the error
// n * 2 / 196608 stays below the 1/3 margin).
DIOPTRIX_AVX2 inline __m256i Mean3(__m256i px) {
  const __m256i sum =
      _mm256_add_epi32(_mm256_madd_epi16(BlueRed(px), _mm256_set1_epi32(0x00010001)), Byte(px, 8));
  return _mm256_mulhi_epu16(_mm256_add_epi32(sum, _mm256_set1_epi32(1)), _mm256_set1_epi32(21846));
}

// round((707 G + 222 R + 71 B) / 1000), ties to even. The sum t (below 2^18)
// is exact in single precision and the division is correctly rounded, so a
// tie (t = 1000 k + 500) gives exactly k + 0.5, and any other t lands at
// least 0.001 away from the nearest half, far beyond the division's error
// (below 2^-16 for quotients under 256). The conversion then rounds to
// nearest, ties to even, as the processor does by default.
DIOPTRIX_AVX2 inline __m256i Luminance(__m256i px) {
  const __m256i t =
      _mm256_add_epi32(_mm256_madd_epi16(BlueRed(px), _mm256_set1_epi32(71 | (222 << 16))),
                       _mm256_madd_epi16(Byte(px, 8), _mm256_set1_epi32(707)));
  return _mm256_cvtps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(t), _mm256_set1_ps(1000.0f)));
}

DIOPTRIX_AVX2 void AnaGray(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  int32_t x = 0;
  for (; x + kReach <= n; x += kStep) {
    const __m256i l = Mean3(Load8(left + 3 * x));
    const __m256i r = Mean3(Load8(right + 3 * x));
    Store8(out + 3 * x,
           _mm256_or_si256(_mm256_slli_epi32(l, 16), _mm256_or_si256(_mm256_slli_epi32(r, 8), r)));
  }
  scalar::AnaGray(left + 3 * x, right + 3 * x, out + 3 * x, n - x);
}

DIOPTRIX_AVX2 void AnaColour(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  int32_t x = 0;
  for (; x + kReach <= n; x += kStep) {
    const __m256i l = Luminance(Load8(left + 3 * x));
    const __m256i r = _mm256_and_si256(Load8(right + 3 * x), _mm256_set1_epi32(0xFFFF));
    Store8(out + 3 * x, _mm256_or_si256(_mm256_slli_epi32(l, 16), r));
  }
  scalar::AnaColour(left + 3 * x, right + 3 * x, out + 3 * x, n - x);
}

DIOPTRIX_AVX2 void AnaYellow(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  int32_t x = 0;
  for (; x + kReach <= n; x += kStep) {
    const __m256i l = _mm256_and_si256(Load8(left + 3 * x), _mm256_set1_epi32(0xFFFF00));
    const __m256i r = Luminance(Load8(right + 3 * x));
    Store8(out + 3 * x, _mm256_or_si256(l, r));
  }
  scalar::AnaYellow(left + 3 * x, right + 3 * x, out + 3 * x, n - x);
}

DIOPTRIX_AVX2 void SplitAnaglyphGray(const uint8_t* src, uint8_t* left, uint8_t* right, int32_t n) {
  int32_t x = 0;
  for (; x + kReach <= n; x += kStep) {
    const __m256i px = Load8(src + 3 * x);
    const __m256i sum = _mm256_add_epi32(Byte(px, 0), Byte(px, 8));
    // Half of an odd sum ends in one half: an odd floor goes up to the even.
    const __m256i half = _mm256_srli_epi32(sum, 1);
    const __m256i up = _mm256_and_si256(_mm256_and_si256(sum, half), _mm256_set1_epi32(1));
    Store8(left + 3 * x, Grey(Byte(px, 16)));
    Store8(right + 3 * x, Grey(_mm256_add_epi32(half, up)));
  }
  scalar::SplitAnaglyphGray(src + 3 * x, left + 3 * x, right + 3 * x, n - x);
}

DIOPTRIX_AVX2 void SplitAnaglyphColour(const uint8_t* src, uint8_t* left, uint8_t* right,
                                       int32_t n) {
  int32_t x = 0;
  for (; x + kReach <= n; x += kStep) {
    const __m256i px = Load8(src + 3 * x);
    Store8(left + 3 * x, _mm256_and_si256(px, _mm256_set1_epi32(0xFF0000)));
    Store8(right + 3 * x, _mm256_and_si256(px, _mm256_set1_epi32(0xFFFF)));
  }
  scalar::SplitAnaglyphColour(src + 3 * x, left + 3 * x, right + 3 * x, n - x);
}

#undef DIOPTRIX_AVX2

}  // namespace avx2

namespace avx512 {

// Sixteen pixels per step, one in each 32-bit lane as in the AVX2 version.
// Loads and stores are masked to the step's pixel bytes, so a row's last
// pixels take the same path and nothing past them is read or written.
constexpr int32_t kStep = 16;

#define DIOPTRIX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

DIOPTRIX_AVX512 inline __mmask64 PixelBytes(int32_t pixels) {
  return pixels >= kStep ? __mmask64{0xFFFFFFFFFFFFull} : (__mmask64{1} << (3 * pixels)) - 1;
}

DIOPTRIX_AVX512 inline __m512i Load16(const uint8_t* p, __mmask64 bytes) {
  const __m512i raw = _mm512_maskz_loadu_epi8(bytes, p);
  // Pixels 4k .. 4k + 3 (bytes 12k .. 12k + 11) to 128-bit lane k.
  const __m512i lanes = _mm512_permutexvar_epi32(
      _mm512_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11), raw);
  const __m512i spread =
      _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1));
  return _mm512_shuffle_epi8(lanes, spread);
}

DIOPTRIX_AVX512 inline void Store16(uint8_t* p, __m512i v, __mmask64 bytes) {
  const __m512i pack =
      _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  const __m512i joined = _mm512_permutexvar_epi32(
      _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 15, 15, 15, 15),
      _mm512_shuffle_epi8(v, pack));
  _mm512_mask_storeu_epi8(p, bytes, joined);
}

DIOPTRIX_AVX512 inline __m512i Byte(__m512i px, int shift) {
  return _mm512_and_si512(_mm512_srli_epi32(px, shift), _mm512_set1_epi32(0xFF));
}

DIOPTRIX_AVX512 inline __m512i BlueRed(__m512i px) {
  return _mm512_and_si512(px, _mm512_set1_epi32(0x00FF00FF));
}

// As avx2::Mean3 and avx2::Luminance.
DIOPTRIX_AVX512 inline __m512i Mean3(__m512i px) {
  const __m512i sum =
      _mm512_add_epi32(_mm512_madd_epi16(BlueRed(px), _mm512_set1_epi32(0x00010001)), Byte(px, 8));
  return _mm512_mulhi_epu16(_mm512_add_epi32(sum, _mm512_set1_epi32(1)), _mm512_set1_epi32(21846));
}

DIOPTRIX_AVX512 inline __m512i Luminance(__m512i px) {
  const __m512i t =
      _mm512_add_epi32(_mm512_madd_epi16(BlueRed(px), _mm512_set1_epi32(71 | (222 << 16))),
                       _mm512_madd_epi16(Byte(px, 8), _mm512_set1_epi32(707)));
  return _mm512_cvtps_epi32(_mm512_div_ps(_mm512_cvtepi32_ps(t), _mm512_set1_ps(1000.0f)));
}

DIOPTRIX_AVX512 void AnaGray(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  for (int32_t x = 0; x < n; x += kStep) {
    const __mmask64 bytes = PixelBytes(n - x);
    const __m512i l = Mean3(Load16(left + 3 * x, bytes));
    const __m512i r = Mean3(Load16(right + 3 * x, bytes));
    Store16(out + 3 * x,
            _mm512_or_si512(_mm512_slli_epi32(l, 16), _mm512_or_si512(_mm512_slli_epi32(r, 8), r)),
            bytes);
  }
}

DIOPTRIX_AVX512 void AnaColour(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  for (int32_t x = 0; x < n; x += kStep) {
    const __mmask64 bytes = PixelBytes(n - x);
    const __m512i l = Luminance(Load16(left + 3 * x, bytes));
    const __m512i r = _mm512_and_si512(Load16(right + 3 * x, bytes), _mm512_set1_epi32(0xFFFF));
    Store16(out + 3 * x, _mm512_or_si512(_mm512_slli_epi32(l, 16), r), bytes);
  }
}

DIOPTRIX_AVX512 void AnaYellow(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  for (int32_t x = 0; x < n; x += kStep) {
    const __mmask64 bytes = PixelBytes(n - x);
    const __m512i l = _mm512_and_si512(Load16(left + 3 * x, bytes), _mm512_set1_epi32(0xFFFF00));
    const __m512i r = Luminance(Load16(right + 3 * x, bytes));
    Store16(out + 3 * x, _mm512_or_si512(l, r), bytes);
  }
}

#undef DIOPTRIX_AVX512

}  // namespace avx512
#endif

namespace {

const PixelRowKernels kPlain = {CpuLevel::Plain,
                                scalar::AnaGray,
                                scalar::AnaColour,
                                scalar::AnaYellow,
                                scalar::SplitAnaglyphGray,
                                scalar::SplitAnaglyphColour,
                                false};
#ifdef DIOPTRIX_X86_KERNELS
const PixelRowKernels kSsse3 = {CpuLevel::Ssse3,
                                scalar::AnaGray,
                                scalar::AnaColour,
                                scalar::AnaYellow,
                                scalar::SplitAnaglyphGray,
                                scalar::SplitAnaglyphColour,
                                true};
const PixelRowKernels kAvx2 = {CpuLevel::Avx2,
                               avx2::AnaGray,
                               avx2::AnaColour,
                               avx2::AnaYellow,
                               avx2::SplitAnaglyphGray,
                               avx2::SplitAnaglyphColour,
                               true};
const PixelRowKernels kAvx512 = {CpuLevel::Avx512,
                                 avx512::AnaGray,
                                 avx512::AnaColour,
                                 avx512::AnaYellow,
                                 avx2::SplitAnaglyphGray,
                                 avx2::SplitAnaglyphColour,
                                 true};
#endif

const PixelRowKernels& Best() {
  static const PixelRowKernels& best = PixelRowKernelsFor(BestCpuLevel());
  return best;
}

}  // namespace

const PixelRowKernels& PixelRowKernelsFor(CpuLevel level) {
  switch (CpuLevelAtMost(level)) {
#ifdef DIOPTRIX_X86_KERNELS
    case CpuLevel::Avx512:
      return kAvx512;
    case CpuLevel::Avx2:
      return kAvx2;
    case CpuLevel::Ssse3:
      return kSsse3;
#endif
    default:
      return kPlain;
  }
}

void AnaGray(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  Best().anaGray(left, right, out, n);
}
void AnaColour(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  Best().anaColour(left, right, out, n);
}
void AnaYellow(const uint8_t* left, const uint8_t* right, uint8_t* out, int32_t n) {
  Best().anaYellow(left, right, out, n);
}
void SplitAnaglyphGray(const uint8_t* src, uint8_t* left, uint8_t* right, int32_t n) {
  Best().splitAnaglyphGray(src, left, right, n);
}
void SplitAnaglyphColour(const uint8_t* src, uint8_t* left, uint8_t* right, int32_t n) {
  Best().splitAnaglyphColour(src, left, right, n);
}

// --- Row gather -----------------------------------------------------------------

namespace {

constexpr int32_t kBlock = 4;         // output pixels per shuffle
constexpr uint8_t kNoShuffle = 0xFF;  // a block moved pixel by pixel

#ifdef DIOPTRIX_X86_KERNELS
// Four pixels by one shuffle of 16 source bytes; the 16-byte store writes 4
// bytes into the next pixels, which later moves rewrite.
__attribute__((target("ssse3"))) inline void ShuffleBlock(uint8_t* to, const uint8_t* from,
                                                          const uint8_t* shuffle) {
  const __m128i src = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
  const __m128i picks = _mm_loadu_si128(reinterpret_cast<const __m128i*>(shuffle));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_shuffle_epi8(src, picks));
}
#endif

}  // namespace

RowGather::RowGather(std::vector<uint32_t> offsets, int64_t rowBytes)
    : offsets_(std::move(offsets)) {
  const int32_t count = Count();
  while (wide_ + 1 < count && offsets_[wide_] + 4 <= rowBytes) ++wide_;
  // Blocks whose 16-byte store ends inside the row: 12 b + 16 <= 3 count.
  const int32_t blocks = count >= 6 ? (3 * count - 16) / 12 + 1 : 0;
  blocks_.resize(static_cast<size_t>(blocks));
  for (int32_t b = 0; b < blocks; ++b) {
    Block& block = blocks_[b];
    const uint32_t* picks = &offsets_[kBlock * b];
    const uint32_t low = *std::min_element(picks, picks + kBlock);
    const uint32_t high = *std::max_element(picks, picks + kBlock) + 3;
    block.base = low;
    std::fill(std::begin(block.shuffle), std::end(block.shuffle), uint8_t{0x80});
    if (high - low > 16 || low + 16 > rowBytes) {
      block.shuffle[0] = kNoShuffle;
      continue;
    }
    for (int32_t j = 0; j < kBlock; ++j)
      for (int32_t c = 0; c < 3; ++c)
        block.shuffle[3 * j + c] = static_cast<uint8_t>(picks[j] - low + c);
  }
}

void RowGather::RunPlain(uint8_t* to, const uint8_t* from) const {
  for (const uint32_t offset : offsets_) {
    const uint8_t* px = from + offset;
    to[0] = px[0];
    to[1] = px[1];
    to[2] = px[2];
    to += 3;
  }
}

// Pixels [first, end): 4-byte words where allowed, each writing one byte into
// the next pixel, which the next move rewrites; 3 bytes for the rest.
void RowGather::MoveWords(uint8_t* to, const uint8_t* from, int32_t first, int32_t end) const {
  const uint32_t* offsets = offsets_.data();
  const int32_t words = std::min(end, wide_);
  int32_t k = first;
  for (; k < words; ++k) {
    uint32_t px;
    std::memcpy(&px, from + offsets[k], 4);
    std::memcpy(to + 3 * k, &px, 4);
  }
  for (; k < end; ++k) std::memcpy(to + 3 * k, from + offsets[k], 3);
}

#ifdef DIOPTRIX_X86_KERNELS
__attribute__((target("ssse3"))) int32_t RowGather::RunBlocks(uint8_t* to,
                                                              const uint8_t* from) const {
  int32_t done = 0;
  for (const Block& block : blocks_) {
    if (block.shuffle[0] == kNoShuffle) {
      MoveWords(to, from, done, done + kBlock);
    } else {
      ShuffleBlock(to + 3 * done, from + block.base, block.shuffle);
    }
    done += kBlock;
  }
  return done;
}
#else
int32_t RowGather::RunBlocks(uint8_t*, const uint8_t*) const { return 0; }
#endif

void RowGather::Run(uint8_t* to, const uint8_t* from) const { Run(to, from, BestCpuLevel()); }

void RowGather::Run(uint8_t* to, const uint8_t* from, CpuLevel level) const {
  const int32_t done = PixelRowKernelsFor(level).shuffleGather ? RunBlocks(to, from) : 0;
  MoveWords(to, from, done, Count());
}

}  // namespace dioptrix::pixel_rows
