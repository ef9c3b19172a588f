// Depth-image clean-up methods of the engine: block smoothing, moving depth
// steps onto colour edges, dilation and the small clean-up helpers. The depth
// of a pixel is its first (blue) byte; most methods write the result into all
// three bytes so the depth image stays grey.
#include "process/depth_cleanup.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/x86_intrinsics.h"
#include "process/image_process.h"

namespace dioptrix {

namespace {

// Bytes per scan line, computed wide so no product overflows.
int64_t Stride(const cDIBSection& pic) { return BytesPerRow24(pic.Width()); }

uint8_t* Line(const cDIBSection& pic, int64_t y) {
  return pic.DIBSectionBitsPtr() + y * Stride(pic);
}

uint8_t Median3(uint8_t a, uint8_t b, uint8_t c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

void SetPixel(uint8_t* p, uint8_t v) { p[0] = p[1] = p[2] = v; }

// Half of a block size, rounded to nearest with ties to even (3 -> 2, 5 -> 2).
int64_t HalfBlock(int64_t s) { return static_cast<int64_t>(std::nearbyint(s / 2.0)); }

// Raises "Subscript out of range" unless arr has the byte columns 0..3W-1 and
// the lines 0..H-1 of the picture.
void RequireCovers(const Plane<int32_t>& arr, const cDIBSection& pic) {
  if (arr.Cols() < 3 * int64_t{pic.Width()} || arr.Rows() < pic.Height())
    RaiseSubscriptOutOfRange();
}

int32_t ElapsedMs(std::chrono::steady_clock::time_point start) {
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
}

// --- Fast smoothing helpers ---------------------------------------------------

// One line of a smoothing pass on grey planes (one byte per pixel):
// out[x] = median(partner, vertical partner, own value). mask[x] is 0xFF where
// the horizontal partner lies h pixels to the left, 0 where it lies h pixels
// to the right. Where that partner is off the line the pixel is its own
// partner, so the median reduces to the pixel's value or the vertical
// partner's; that only happens within h pixels of the line ends.
//
// The vector versions handle the middle stretch lo <= x < hi, where both
// partners lie on the line; Middle gives the plain version of that stretch,
// from a given x on, and Edges the two ends.
void SmoothMiddle(const uint8_t* row, const uint8_t* col, const uint8_t* mask, int64_t h, int64_t x,
                  int64_t hi, uint8_t* out) {
  for (; x < hi; ++x) {
    const uint8_t p = static_cast<uint8_t>((row[x - h] & mask[x]) | (row[x + h] & ~mask[x]));
    out[x] = Median3(p, col[x], row[x]);
  }
}

void SmoothEdges(const uint8_t* row, const uint8_t* col, const uint8_t* mask, int64_t h, int64_t w,
                 int64_t lo, int64_t hi, uint8_t* out) {
  auto edge = [&](int64_t x) {
    const int64_t px = mask[x] ? x - h : x + h;
    const uint8_t p = (px < 0 || px >= w) ? row[x] : row[px];
    out[x] = Median3(p, col[x], row[x]);
  };
  for (int64_t x = 0; x < lo; ++x) edge(x);
  for (int64_t x = std::max(hi, lo); x < w; ++x) edge(x);
}

void SmoothLine(const uint8_t* row, const uint8_t* col, const uint8_t* mask, int64_t h, int64_t w,
                uint8_t* out) {
  const int64_t lo = std::min(h, w);       // x < lo: no left partner
  const int64_t hi = std::max(lo, w - h);  // x >= hi: no right partner
  SmoothEdges(row, col, mask, h, w, lo, hi, out);
  SmoothMiddle(row, col, mask, h, lo, hi, out);
}

// Copies the first byte of every pixel of a line into a grey line.
void ExtractGreyLine(const uint8_t* line, int64_t w, uint8_t* g) {
  for (int64_t x = 0; x < w; ++x) g[x] = line[3 * x];
}

// Writes the grey value of every pixel into its three bytes.
void ExpandGreyLine(const uint8_t* v, int64_t w, uint8_t* line) {
  int64_t x = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Two pixels per 8-byte store; its last two bytes belong to pixel x + 2,
    // which the next store (or the tail) rewrites, so nothing past the
    // pixel bytes of the line is touched.
    for (; x + 2 < w; x += 2) {
      const uint64_t word = uint64_t{v[x]} * 0x010101u | (uint64_t{v[x + 1]} * 0x010101u) << 24;
      std::memcpy(line + 3 * x, &word, sizeof word);
    }
  }
  for (; x < w; ++x) SetPixel(line + 3 * x, v[x]);
}

#ifdef DIOPTRIX_X86_KERNELS
// The same two line conversions 16 pixels (48 bytes) at a time with byte
// shuffles; the remaining pixels go through the plain versions.
__attribute__((target("ssse3"))) void ExtractGreyLineSsse3(const uint8_t* line, int64_t w,
                                                           uint8_t* g) {
  const __m128i fromA = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i fromB = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
  const __m128i fromC = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
  int64_t x = 0;
  for (; x + 16 <= w; x += 16) {
    const uint8_t* p = line + 3 * x;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i v =
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, fromA), _mm_shuffle_epi8(b, fromB)),
                     _mm_shuffle_epi8(c, fromC));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(g + x), v);
  }
  ExtractGreyLine(line + 3 * x, w - x, g + x);
}

__attribute__((target("ssse3"))) void ExpandGreyLineSsse3(const uint8_t* v, int64_t w,
                                                          uint8_t* line) {
  const __m128i toA = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i toB = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m128i toC = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  int64_t x = 0;
  for (; x + 16 <= w; x += 16) {
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x));
    uint8_t* p = line + 3 * x;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(g, toA));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm_shuffle_epi8(g, toB));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32), _mm_shuffle_epi8(g, toC));
  }
  ExpandGreyLine(v + x, w - x, line + 3 * x);
}

// The smoothing line 16 (SSE2, part of the SSSE3 level) or 32 (AVX2) pixels
// at a time: the partner is picked by the mask, then the median of three is
// max(min(p, c), min(max(p, c), d)).
__attribute__((target("ssse3"))) void SmoothLineSsse3(const uint8_t* row, const uint8_t* col,
                                                      const uint8_t* mask, int64_t h, int64_t w,
                                                      uint8_t* out) {
  const int64_t lo = std::min(h, w);
  const int64_t hi = std::max(lo, w - h);
  SmoothEdges(row, col, mask, h, w, lo, hi, out);
  int64_t x = lo;
  for (; x + 16 <= hi; x += 16) {
    const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x - h));
    const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + h));
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + x));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(col + x));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
    const __m128i p = _mm_or_si128(_mm_and_si128(m, left), _mm_andnot_si128(m, right));
    const __m128i v = _mm_max_epu8(_mm_min_epu8(p, c), _mm_min_epu8(_mm_max_epu8(p, c), d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), v);
  }
  // The last pixels by one more step ending at hi, over pixels already made:
  // out is another line than row and col, so they come out the same.
  if (x < hi && hi - lo >= 16) {
    x = hi - 16;
    const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x - h));
    const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + h));
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + x));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(col + x));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
    const __m128i p = _mm_or_si128(_mm_and_si128(m, left), _mm_andnot_si128(m, right));
    const __m128i v = _mm_max_epu8(_mm_min_epu8(p, c), _mm_min_epu8(_mm_max_epu8(p, c), d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), v);
    x = hi;
  }
  SmoothMiddle(row, col, mask, h, x, hi, out);
}

__attribute__((target("avx2"))) void SmoothLineAvx2(const uint8_t* row, const uint8_t* col,
                                                    const uint8_t* mask, int64_t h, int64_t w,
                                                    uint8_t* out) {
  const int64_t lo = std::min(h, w);
  const int64_t hi = std::max(lo, w - h);
  SmoothEdges(row, col, mask, h, w, lo, hi, out);
  auto step = [&](int64_t x) __attribute__((target("avx2"))) {
    const __m256i left = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x - h));
    const __m256i right = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x + h));
    const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mask + x));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(col + x));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x));
    const __m256i p = _mm256_blendv_epi8(right, left, m);
    const __m256i v =
        _mm256_max_epu8(_mm256_min_epu8(p, c), _mm256_min_epu8(_mm256_max_epu8(p, c), d));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), v);
  };
  int64_t x = lo;
  for (; x + 32 <= hi; x += 32) step(x);
  // The last pixels by one more step ending at hi, as in the SSSE3 version.
  if (x < hi && hi - lo >= 32) {
    step(hi - 32);
    x = hi;
  }
  SmoothMiddle(row, col, mask, h, x, hi, out);
}

// With byte permutes across the whole register (VBMI), 64 pixels at a time:
// the first bytes of 192 picture bytes picked from three registers, and each
// grey byte spread over three. The line's last pixels go through masked
// loads and stores, so nothing past the line is touched.
#define DIOPTRIX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))

struct VbmiTables {
  alignas(64) uint8_t pickLow[64];   // pixels 0..42 from registers 0 and 1
  alignas(64) uint8_t pickHigh[64];  // pixels 43..63 from registers 1 and 2
  alignas(64) uint8_t spread[3][64];
};

constexpr VbmiTables MakeVbmiTables() {
  VbmiTables t{};
  for (int p = 0; p < 64; ++p) {
    const int byte = 3 * p;  // 0..189 over the three registers
    // The first permute picks from registers 0 and 1 (bytes 0..127); the
    // second from registers 1 and 2 (bytes 64..191) into the lanes it owns.
    t.pickLow[p] = static_cast<uint8_t>(byte < 128 ? byte : 0);
    t.pickHigh[p] = static_cast<uint8_t>(byte >= 128 ? byte - 64 : 0);
  }
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 64; ++i) t.spread[k][i] = static_cast<uint8_t>((64 * k + i) / 3);
  return t;
}
constexpr VbmiTables kVbmi = MakeVbmiTables();

// The mask of the first n bytes of a register (none for n <= 0).
DIOPTRIX_AVX512 inline __mmask64 LowBytes(int64_t n) {
  if (n <= 0) return 0;
  return n >= 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
}

DIOPTRIX_AVX512 void ExtractGreyLineAvx512(const uint8_t* line, int64_t w, uint8_t* g) {
  const __m512i pickLow = _mm512_load_si512(kVbmi.pickLow);
  const __m512i pickHigh = _mm512_load_si512(kVbmi.pickHigh);
  // Pixels 0..42 have their first byte below 128, pixels 43..63 at 128 or
  // above.
  constexpr __mmask64 kHighPixels = ~((__mmask64{1} << 43) - 1);
  for (int64_t x = 0; x < w; x += 64) {
    const int64_t bytes = 3 * std::min<int64_t>(64, w - x);
    const uint8_t* p = line + 3 * x;
    const __m512i a = _mm512_maskz_loadu_epi8(LowBytes(bytes), p);
    const __m512i b = _mm512_maskz_loadu_epi8(LowBytes(bytes - 64), p + 64);
    const __m512i c = _mm512_maskz_loadu_epi8(LowBytes(bytes - 128), p + 128);
    const __m512i low = _mm512_permutex2var_epi8(a, pickLow, b);
    const __m512i high = _mm512_permutex2var_epi8(b, pickHigh, c);
    _mm512_mask_storeu_epi8(g + x, LowBytes(w - x), _mm512_mask_blend_epi8(kHighPixels, low, high));
  }
}

DIOPTRIX_AVX512 void ExpandGreyLineAvx512(const uint8_t* v, int64_t w, uint8_t* line) {
  const __m512i spread0 = _mm512_load_si512(kVbmi.spread[0]);
  const __m512i spread1 = _mm512_load_si512(kVbmi.spread[1]);
  const __m512i spread2 = _mm512_load_si512(kVbmi.spread[2]);
  for (int64_t x = 0; x < w; x += 64) {
    const int64_t bytes = 3 * std::min<int64_t>(64, w - x);
    const __m512i g = _mm512_maskz_loadu_epi8(LowBytes(w - x), v + x);
    uint8_t* p = line + 3 * x;
    _mm512_mask_storeu_epi8(p, LowBytes(bytes), _mm512_permutexvar_epi8(spread0, g));
    _mm512_mask_storeu_epi8(p + 64, LowBytes(bytes - 64), _mm512_permutexvar_epi8(spread1, g));
    _mm512_mask_storeu_epi8(p + 128, LowBytes(bytes - 128), _mm512_permutexvar_epi8(spread2, g));
  }
}

#undef DIOPTRIX_AVX512
#endif

const DepthLineKernels kPlain = {CpuLevel::Plain, ExtractGreyLine, ExpandGreyLine, SmoothLine};
#ifdef DIOPTRIX_X86_KERNELS
const DepthLineKernels kSsse3 = {CpuLevel::Ssse3, ExtractGreyLineSsse3, ExpandGreyLineSsse3,
                                 SmoothLineSsse3};
const DepthLineKernels kAvx2 = {CpuLevel::Avx2, ExtractGreyLineSsse3, ExpandGreyLineSsse3,
                                SmoothLineAvx2};
const DepthLineKernels kAvx512 = {CpuLevel::Avx512, ExtractGreyLineAvx512, ExpandGreyLineAvx512,
                                  SmoothLineAvx2};
#endif

}  // namespace

const DepthLineKernels& DepthLineKernelsFor(CpuLevel level) {
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

// --- SmoothDMAP ------------------------------------------------------------------

void SmoothDepthReference(cDIBSection& pic, int32_t blockSize) {
  if (pic.Empty() || blockSize < 1) return;
  const int64_t w = pic.Width(), h = pic.Height(), stride = Stride(pic);
  std::vector<uint8_t> t(static_cast<size_t>(stride * h));
  auto first = [&](int64_t b, int64_t y) { return t[static_cast<size_t>(y * stride + b)]; };
  int64_t s = blockSize;
  for (;;) {
    std::memcpy(t.data(), pic.DIBSectionBitsPtr(), t.size());
    const int64_t half = HalfBlock(s);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        const int64_t b = 3 * x;
        int64_t bx = (x % s < half) ? b - 3 * half : b + 3 * half;
        if (bx < 0 || bx > 3 * w - 3) bx = b;
        int64_t yy = (y % s < half) ? y - half : y + half;
        if (yy < 0 || yy > h - 1) yy = y;
        SetPixel(Line(pic, y) + b, Median3(first(bx, y), first(b, yy), first(b, y)));
      }
    }
    s = half;
    if (s <= 1) break;
  }
}

// The same passes on a compact grey copy of the first bytes: only the first
// byte of a pixel is ever read and every pass rewrites every pixel, so the
// passes can run grey plane to grey plane and the three bytes are written
// once, after the last pass.
void SmoothDepthFast(cDIBSection& pic, int32_t blockSize) {
  static const DepthLineKernels& best = DepthLineKernelsFor(BestCpuLevel());
  SmoothDepthFast(pic, blockSize, best);
}

void SmoothDepthFast(cDIBSection& pic, int32_t blockSize, const DepthLineKernels& ops) {
  if (pic.Empty() || blockSize < 1) return;
  const int64_t w = pic.Width(), h = pic.Height();
  const size_t n = static_cast<size_t>(w * h);
  // Two grey planes, kept from call to call of this thread: a frame's planes
  // would otherwise be fresh pages, faulted in on every call.
  thread_local std::vector<uint8_t> planes;
  if (planes.size() < 2 * n) {
    planes.clear();
    planes.shrink_to_fit();
    planes.resize(2 * n);
  }
  uint8_t* src = planes.data();
  uint8_t* dst = planes.data() + n;
  std::vector<uint8_t> mask(static_cast<size_t>(w));
  // The first pass extracts the picture's lines just before it needs them,
  // and the last one expands each line into the picture as soon as it is
  // made, so those lines are still in cache. A pass reads lines no farther
  // than half its block below the one it makes; the last pass writes picture
  // line y only after every line the first pass reads has been extracted.
  int64_t extracted = 0;
  bool first = true;
  int64_t s = blockSize;
  for (;;) {
    const int64_t half = HalfBlock(s);
    const bool last = half <= 1;
    for (int64_t x = 0; x < w; ++x) mask[static_cast<size_t>(x)] = (x % s < half) ? 0xFF : 0;
    for (int64_t y = 0; y < h; ++y) {
      int64_t yy = (y % s < half) ? y - half : y + half;
      if (yy < 0 || yy > h - 1) yy = y;
      if (first) {
        for (const int64_t need = std::max(y, yy); extracted <= need; ++extracted)
          ops.extract(Line(pic, extracted), w, src + extracted * w);
      }
      ops.smooth(src + y * w, src + yy * w, mask.data(), half, w, dst + y * w);
      if (last) ops.expand(dst + y * w, w, Line(pic, y));
    }
    std::swap(src, dst);
    first = false;
    s = half;
    if (last) break;
  }
}

int16_t cImageProcessDIB::SmoothDMAP(cDIBSection& pic, int32_t blockSize) {
  SmoothDepthFast(pic, blockSize);
  return 0;
}

// --- MatchDepthMap ---------------------------------------------------------------

void cImageProcessDIB::MatchDepthMap(cDIBSection& pic, const Plane<int32_t>& colours) {
  if (pic.Empty()) return;
  RequireCovers(colours, pic);
  constexpr int32_t kThreshold = 20;
  constexpr int32_t kRange = 10;
  const int64_t w = pic.Width(), h = pic.Height();
  for (int64_t y = 2; y <= h - 3; ++y) {
    uint8_t* line = Line(pic, y);
    int64_t x3 = 6;
    while (x3 <= 3 * (w - 2)) {
      const uint8_t a = line[x3 - 6];
      const uint8_t b = line[x3];
      if (std::abs(int32_t{b} - int32_t{a}) <= kThreshold) {
        x3 += 3;
        continue;
      }
      // The strongest colour step near the depth step, weighted by distance.
      float bestScore = 0;
      int64_t bestK = 0;
      for (int64_t k = -kRange; k <= kRange; ++k) {
        const int64_t right = x3 + 3 * k;
        if (!(right - 3 > 0 && right < 3 * (w - 1))) continue;
        int64_t cost = 0;
        for (int64_t j = -2; j <= 2; ++j) {
          const int32_t* row = colours.Row(static_cast<int32_t>(y + j));
          for (int64_t c = 0; c < 3; ++c)
            cost += std::llabs(int64_t{row[right - 3 + c]} - int64_t{row[right + c]});
        }
        const float score = k == 0 ? static_cast<float>(cost)
                                   : static_cast<float>(cost) / static_cast<float>(std::llabs(k));
        if (score > bestScore) {
          bestScore = score;
          bestK = k;
        }
      }
      if (bestK < 0) {
        for (int64_t m = 0; m >= bestK; --m) SetPixel(line + x3 + 3 * m, b);
        x3 += 3;
      } else if (bestK > 0) {
        if (a < b) bestK = std::max<int64_t>(bestK - 2, 0);
        for (int64_t m = 0; m <= bestK; ++m) SetPixel(line + x3 + 3 * m, a);
        x3 += 3 * (bestK + 1) + 9;
      } else {
        x3 += 3;
      }
    }
  }
  Complete(MillisecondClock());
}

// --- Dilate --------------------------------------------------------------------------

void cImageProcessDIB::Dilate(cDIBSection& pic) {
  const auto start = std::chrono::steady_clock::now();
  InitProgress(pic.Width() - 1);
  if (!pic.Empty()) {
    const int64_t w = pic.Width(), h = pic.Height();
    // Maxima are taken from an untouched copy, so each byte sees the original
    // neighbourhood.
    std::vector<uint8_t> t(pic.DIBSectionBitsPtr(), pic.DIBSectionBitsPtr() + Stride(pic) * h);
    auto src = [&](int64_t b, int64_t y) { return t[static_cast<size_t>(y * Stride(pic) + b)]; };
    for (int64_t y = 1; y <= h - 2; ++y) {
      uint8_t* line = Line(pic, y);
      for (int64_t b = 3; b <= 3 * w - 6; ++b) {
        uint8_t v = 0;
        for (int64_t j = -1; j <= 1; ++j)
          for (int64_t i = -1; i <= 1; ++i) v = std::max(v, src(b + 3 * i, y + j));
        line[b] = v;
      }
    }
  }
  Complete(ElapsedMs(start));
}

// --- DepthMapClean -----------------------------------------------------------------

void cImageProcessDIB::DepthMapClean(cDIBSection& pic) {
  if (pic.Empty()) return;
  const int64_t w = pic.Width(), h = pic.Height();
  // Right to left, so a near value pushed into a pixel can travel on.
  for (int64_t b = 3 * w - 12; b >= 0; b -= 3) {
    for (int64_t y = 0; y < h; ++y) {
      uint8_t* p = Line(pic, y) + b;
      if (p[0] <= p[3]) continue;
      for (int64_t k = 1; k <= 3; ++k) {
        uint8_t* q = p + 3 * k;
        if (q[0] < p[0]) std::memcpy(q, p, 3);
      }
    }
  }
}

// --- RemoveFlecs ----------------------------------------------------------------------

void cImageProcessDIB::RemoveFlecs(cDIBSection& pic, int32_t key) {
  if (pic.Empty()) return;
  const int64_t w = pic.Width(), h = pic.Height();
  auto isFleck = [key](const uint8_t* p) {
    const int32_t sum = p[0] + p[1] + p[2];
    return sum == key || sum == 0;
  };
  for (int64_t b = 6; b <= 3 * w - 9; b += 3) {
    for (int64_t y = 2; y <= h - 3; ++y) {
      uint8_t* p = Line(pic, y) + b;
      if (!isFleck(p)) continue;
      int64_t sums[3] = {0, 0, 0};
      int64_t count = 0;
      for (int64_t j = -2; j <= 2; ++j) {
        const uint8_t* row = Line(pic, y + j);
        for (int64_t o = -6; o <= 6; o += 3) {
          const uint8_t* q = row + b + o;
          if (isFleck(q)) continue;
          for (int c = 0; c < 3; ++c) sums[c] += q[c];
          ++count;
        }
      }
      if (count > 12) {
        for (int c = 0; c < 3; ++c)
          p[c] = static_cast<uint8_t>(
              std::nearbyint(static_cast<double>(sums[c]) / static_cast<double>(count)));
      }
    }
  }
}

// --- CreateMask -------------------------------------------------------------------------

// A pixel that is not white is part of the object (255). A white pixel is
// background (0) only where both other pictures are white as well; where
// either holds something, it stays in the mask (255).
void cImageProcessDIB::CreateMask(cDIBSection& pic, const Plane<int32_t>& a,
                                  const Plane<int32_t>& b) {
  if (pic.Empty()) return;
  RequireCovers(a, pic);
  RequireCovers(b, pic);
  constexpr int64_t kWhite = 765;
  const int64_t w = pic.Width(), h = pic.Height();
  auto arrayWhite = [](const Plane<int32_t>& arr, int64_t b3, int64_t y) {
    const int32_t* p = arr.Row(static_cast<int32_t>(y)) + b3;
    return int64_t{p[0]} + p[1] + p[2] == kWhite;
  };
  for (int64_t y = 0; y < h; ++y) {
    uint8_t* line = Line(pic, y);
    for (int64_t x = 0; x < w; ++x) {
      uint8_t* p = line + 3 * x;
      const bool white = p[0] + p[1] + p[2] == kWhite;
      const bool background = white && arrayWhite(a, 3 * x, y) && arrayWhite(b, 3 * x, y);
      SetPixel(p, background ? 0 : 255);
    }
  }
}

// --- MatchAreas -------------------------------------------------------------------------

// Blocks are taken where the whole 8 x 8 block and the column to its right
// (the far side of its last colour step) lie inside the picture.
void cImageProcessDIB::MatchAreas(cDIBSection& pic) {
  if (pic.Empty()) return;
  const Plane<int32_t>& colours = arrays_.PixelArray;
  RequireCovers(colours, pic);
  constexpr int64_t kBlock = 8;
  const int64_t w = pic.Width(), h = pic.Height();
  for (int64_t by = 0; by + kBlock <= h; by += kBlock) {
    for (int64_t bx = 0; bx + kBlock < w; bx += kBlock) {
      int64_t edge[kBlock];
      for (int64_t j = 0; j < kBlock; ++j) {
        const int32_t* row = colours.Row(static_cast<int32_t>(by + j));
        int64_t bestStep = -1;
        for (int64_t i = 0; i < kBlock; ++i) {
          int64_t step = 0;
          for (int64_t c = 0; c < 3; ++c)
            step += std::llabs(int64_t{row[3 * (bx + i + 1) + c]} - int64_t{row[3 * (bx + i) + c]});
          if (step >= bestStep) {
            bestStep = step;
            edge[j] = i;
          }
        }
      }
      int64_t leftSum = 0, leftCount = 0, rightSum = 0, rightCount = 0;
      for (int64_t j = 0; j < kBlock; ++j) {
        const uint8_t* line = Line(pic, by + j);
        for (int64_t i = 0; i < kBlock; ++i) {
          const uint8_t d = line[3 * (bx + i)];
          if (i <= edge[j]) {
            leftSum += d;
            ++leftCount;
          } else {
            rightSum += d;
            ++rightCount;
          }
        }
      }
      auto average = [](int64_t sum, int64_t count) {
        return static_cast<uint8_t>(
            std::nearbyint(static_cast<double>(sum) / static_cast<double>(count | 1)));
      };
      const uint8_t left = average(leftSum, leftCount);
      const uint8_t right = average(rightSum, rightCount);
      for (int64_t j = 0; j < kBlock; ++j) {
        uint8_t* line = Line(pic, by + j);
        for (int64_t i = 0; i < kBlock; ++i) line[3 * (bx + i)] = i <= edge[j] ? left : right;
      }
    }
  }
}

}  // namespace dioptrix
