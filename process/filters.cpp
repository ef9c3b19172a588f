// The general per-pixel filters of the engine: grey conversions, channel
// masks, weighted blends of two images and the pasting of a small image with
// black as transparent. All work in place on the pixel bytes; padding bytes are
// never touched.
#include <algorithm>
#include <cmath>

#include "process/image_process.h"
#include "process/pixel_kernels.h"

#ifdef DIOPTRIX_X86_KERNELS
#include <immintrin.h>
#define DIOPTRIX_SSSE3 __attribute__((target("ssse3")))
#endif

namespace dioptrix {

namespace {

bool HasPixels(const cDIBSection& pic) {
  return !pic.Empty() && pic.Width() > 0 && pic.Height() > 0;
}

// 32-bit signed arithmetic that raises "Overflow" instead of wrapping.
int32_t Add32(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_add_overflow(a, b, &r)) RaiseOverflow();
  return r;
}
int32_t Mul32(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_mul_overflow(a, b, &r)) RaiseOverflow();
  return r;
}
uint8_t Clamp255(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

namespace pixel_kernels {

namespace {

// --- One pixel (p points at its blue byte) -------------------------------------

inline void GreyPixel(uint8_t* p, int32_t divisor) {
  const double v = std::nearbyint((p[0] + p[1] + p[2]) / static_cast<double>(divisor));
  if (v < 0 || v > 255) RaiseOverflow();
  p[0] = p[1] = p[2] = static_cast<uint8_t>(v);
}

inline void StandardGreyPixel(uint8_t* p) {
  const int32_t sum = 707 * p[1] + 222 * p[2] + 71 * p[0];
  p[0] = p[1] = p[2] = static_cast<uint8_t>(std::nearbyint(sum / 1000.0));
}

inline void MaskPixel(uint8_t* p, const uint8_t mask[3]) {
  for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(p[c] * mask[c]);
}

template <class PixelFn>
void ForEachPixel(cDIBSection& img, PixelFn pixel) {
  if (!HasPixels(img)) return;
  const int32_t w = img.Width();
  for (int32_t y = 0; y < img.Height(); ++y) {
    uint8_t* p = img.ScanLine(y);
    for (int32_t x = 0; x < w; ++x, p += 3) pixel(p);
  }
}

#ifdef DIOPTRIX_X86_KERNELS

// The fast forms take 16 pixels (48 bytes, three vectors) at a time, split
// them into a blue, a green and a red vector, compute 16 grey values and
// spread each back over its three bytes. Pixels left over at the end of a
// line go through the one-pixel forms above.
constexpr int32_t kBlockPixels = 16;
constexpr int32_t kBlockBytes = 3 * kBlockPixels;

struct ShuffleTables {
  // gather[c][v]: picks channel c of the pixels held in vector v of a block
  // into their lanes; -128 leaves a lane 0.
  int8_t gather[3][3][16];
  // spread[v]: byte k of vector v of a block takes grey value (16 v + k) / 3.
  int8_t spread[3][16];
};

constexpr ShuffleTables MakeShuffleTables() {
  ShuffleTables t{};
  for (auto& channel : t.gather)
    for (auto& vec : channel)
      for (auto& lane : vec) lane = -128;
  for (int c = 0; c < 3; ++c)
    for (int p = 0; p < kBlockPixels; ++p) {
      const int byte = 3 * p + c;
      t.gather[c][byte / 16][p] = static_cast<int8_t>(byte % 16);
    }
  for (int k = 0; k < kBlockBytes; ++k) t.spread[k / 16][k % 16] = static_cast<int8_t>(k / 3);
  return t;
}
alignas(16) constexpr ShuffleTables kShuffles = MakeShuffleTables();

DIOPTRIX_SSSE3 inline __m128i Shuffle(__m128i v, const int8_t (&table)[16]) {
  return _mm_shuffle_epi8(v, _mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

// Blue, green and red of the 16 pixels at p, one byte per lane.
DIOPTRIX_SSSE3 inline void LoadChannels(const uint8_t* p, __m128i channel[3]) {
  const __m128i in[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32))};
  for (int c = 0; c < 3; ++c)
    channel[c] = _mm_or_si128(_mm_or_si128(Shuffle(in[0], kShuffles.gather[c][0]),
                                           Shuffle(in[1], kShuffles.gather[c][1])),
                              Shuffle(in[2], kShuffles.gather[c][2]));
}

// Packs four vectors of 32-bit values 0..255 (pixels 0-3, 4-7, 8-11, 12-15)
// and writes each as blue, green and red of its pixel.
DIOPTRIX_SSSE3 inline void StoreGrey(uint8_t* p, const __m128i v[4]) {
  const __m128i grey = _mm_packus_epi16(_mm_packs_epi32(v[0], v[1]), _mm_packs_epi32(v[2], v[3]));
  for (int k = 0; k < 3; ++k)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * k), Shuffle(grey, kShuffles.spread[k]));
}

// The four 32-bit quarters of two vectors of eight 16-bit values.
DIOPTRIX_SSSE3 inline void Widen32(__m128i lo, __m128i hi, __m128i out[4]) {
  const __m128i zero = _mm_setzero_si128();
  out[0] = _mm_unpacklo_epi16(lo, zero);
  out[1] = _mm_unpackhi_epi16(lo, zero);
  out[2] = _mm_unpacklo_epi16(hi, zero);
  out[3] = _mm_unpackhi_epi16(hi, zero);
}

// Division of 32-bit sums in single precision, rounded half to even by the
// conversion (the default rounding mode). For sums of at most 3 * 255 and
// divisors up to 2^24 in magnitude this rounds exactly as the division in
// double precision: exact halves stay exact, and every other quotient lies
// further from a half than the single-precision error.
DIOPTRIX_SSSE3 void GrayScaleSsse3(cDIBSection& img, int32_t divisor) {
  const __m128 d = _mm_set1_ps(static_cast<float>(divisor));
  const __m128i zero = _mm_setzero_si128();
  const __m128i top = _mm_set1_epi32(255);
  const int32_t w = img.Width();
  for (int32_t y = 0; y < img.Height(); ++y) {
    uint8_t* p = img.ScanLine(y);
    int32_t x = 0;
    for (; x + kBlockPixels <= w; x += kBlockPixels, p += kBlockBytes) {
      __m128i c[3];
      LoadChannels(p, c);
      const __m128i sumLo =
          _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi8(c[0], zero), _mm_unpacklo_epi8(c[1], zero)),
                        _mm_unpacklo_epi8(c[2], zero));
      const __m128i sumHi =
          _mm_add_epi16(_mm_add_epi16(_mm_unpackhi_epi8(c[0], zero), _mm_unpackhi_epi8(c[1], zero)),
                        _mm_unpackhi_epi8(c[2], zero));
      __m128i v[4];
      Widen32(sumLo, sumHi, v);
      __m128i outOfRange = zero;
      for (__m128i& q : v) {
        q = _mm_cvtps_epi32(_mm_div_ps(_mm_cvtepi32_ps(q), d));
        outOfRange = _mm_or_si128(outOfRange,
                                  _mm_or_si128(_mm_cmpgt_epi32(q, top), _mm_cmplt_epi32(q, zero)));
      }
      if (_mm_movemask_epi8(outOfRange) != 0) {
        // Pixel by pixel, so the pixels before the faulty one are written
        // and the error is raised exactly where the plain form raises it.
        for (int32_t k = 0; k < kBlockPixels; ++k) GreyPixel(p + 3 * k, divisor);
        continue;
      }
      StoreGrey(p, v);
    }
    for (; x < w; ++x, p += 3) GreyPixel(p, divisor);
  }
}

DIOPTRIX_SSSE3 void GrayScaleStandSsse3(cDIBSection& img) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i weightBG = _mm_set1_epi32((707 << 16) | 71);  // (blue, green) pairs
  const __m128i weightR = _mm_set1_epi32(222);                // (red, 0) pairs
  const __m128 thousand = _mm_set1_ps(1000.0f);
  const int32_t w = img.Width();
  for (int32_t y = 0; y < img.Height(); ++y) {
    uint8_t* p = img.ScanLine(y);
    int32_t x = 0;
    for (; x + kBlockPixels <= w; x += kBlockPixels, p += kBlockBytes) {
      __m128i c[3];
      LoadChannels(p, c);
      const __m128i b[2] = {_mm_unpacklo_epi8(c[0], zero), _mm_unpackhi_epi8(c[0], zero)};
      const __m128i g[2] = {_mm_unpacklo_epi8(c[1], zero), _mm_unpackhi_epi8(c[1], zero)};
      const __m128i r[2] = {_mm_unpacklo_epi8(c[2], zero), _mm_unpackhi_epi8(c[2], zero)};
      // 71 B + 707 G + 222 R in 32 bits, four pixels per vector.
      __m128i v[4];
      for (int half = 0; half < 2; ++half) {
        v[2 * half] = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(b[half], g[half]), weightBG),
                                    _mm_madd_epi16(_mm_unpacklo_epi16(r[half], zero), weightR));
        v[2 * half + 1] =
            _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(b[half], g[half]), weightBG),
                          _mm_madd_epi16(_mm_unpackhi_epi16(r[half], zero), weightR));
      }
      // The sums are below 2^18, so single precision holds them exactly and
      // its correctly rounded quotient rounds like the exact one: halves
      // (sums ending in 500) are exact, other quotients lie at least 0.001
      // from a half.
      for (__m128i& q : v) q = _mm_cvtps_epi32(_mm_div_ps(_mm_cvtepi32_ps(q), thousand));
      StoreGrey(p, v);
    }
    for (; x < w; ++x, p += 3) StandardGreyPixel(p);
  }
}

// Low 8 bits of each byte of x times the byte of m in the same lane.
DIOPTRIX_SSSE3 inline __m128i MultiplyBytes(__m128i x, __m128i m) {
  const __m128i even = _mm_and_si128(_mm_mullo_epi16(x, m), _mm_set1_epi16(0x00FF));
  const __m128i odd =
      _mm_slli_epi16(_mm_mullo_epi16(_mm_srli_epi16(x, 8), _mm_srli_epi16(m, 8)), 8);
  return _mm_or_si128(even, odd);
}

DIOPTRIX_SSSE3 void ColourMaskSsse3(cDIBSection& img, const uint8_t mask[3]) {
  // The masks repeat every three bytes; a block of 48 bytes holds 16 whole
  // repetitions, so three vectors of the pattern cover every block.
  alignas(16) uint8_t pattern[kBlockBytes];
  for (int k = 0; k < kBlockBytes; ++k) pattern[k] = mask[k % 3];
  const __m128i m[3] = {_mm_load_si128(reinterpret_cast<const __m128i*>(pattern)),
                        _mm_load_si128(reinterpret_cast<const __m128i*>(pattern + 16)),
                        _mm_load_si128(reinterpret_cast<const __m128i*>(pattern + 32))};
  const int32_t w = img.Width();
  for (int32_t y = 0; y < img.Height(); ++y) {
    uint8_t* p = img.ScanLine(y);
    int32_t x = 0;
    for (; x + kBlockPixels <= w; x += kBlockPixels, p += kBlockBytes) {
      for (int k = 0; k < 3; ++k) {
        __m128i* at = reinterpret_cast<__m128i*>(p + 16 * k);
        _mm_storeu_si128(at, MultiplyBytes(_mm_loadu_si128(at), m[k]));
      }
    }
    for (; x < w; ++x, p += 3) MaskPixel(p, mask);
  }
}

#endif  // DIOPTRIX_X86_KERNELS

}  // namespace

void GrayScalePlain(cDIBSection& img, int32_t divisor) {
  if (!HasPixels(img)) return;
  if (divisor == 0) RaiseDivisionByZero();
  ForEachPixel(img, [divisor](uint8_t* p) { GreyPixel(p, divisor); });
}

void GrayScaleStandPlain(cDIBSection& img) { ForEachPixel(img, StandardGreyPixel); }

void ColourMaskPlain(cDIBSection& img, uint8_t blue, uint8_t green, uint8_t red) {
  const uint8_t mask[3] = {blue, green, red};
  ForEachPixel(img, [&mask](uint8_t* p) { MaskPixel(p, mask); });
}

namespace {

#ifdef DIOPTRIX_X86_KERNELS
// The vector forms behind the table, with the plain form where the vectors
// cannot give the same bytes.
void GrayScaleVector(cDIBSection& img, int32_t divisor) {
  if (!HasPixels(img)) return;
  if (divisor == 0) RaiseDivisionByZero();
  // Divisors beyond 2^24 are not exact in single precision (and make every
  // value 0 anyway); they take the plain form.
  constexpr int64_t kExactDivisor = int64_t{1} << 24;
  if (std::abs(int64_t{divisor}) <= kExactDivisor) {
    GrayScaleSsse3(img, divisor);
    return;
  }
  GrayScalePlain(img, divisor);
}

void GrayScaleStandVector(cDIBSection& img) {
  if (HasPixels(img)) GrayScaleStandSsse3(img);
}

void ColourMaskVector(cDIBSection& img, uint8_t blue, uint8_t green, uint8_t red) {
  if (!HasPixels(img)) return;
  const uint8_t mask[3] = {blue, green, red};
  ColourMaskSsse3(img, mask);
}
#endif

const PixelKernels kPlain = {CpuLevel::Plain, GrayScalePlain, GrayScaleStandPlain, ColourMaskPlain};
#ifdef DIOPTRIX_X86_KERNELS
const PixelKernels kSsse3 = {CpuLevel::Ssse3, GrayScaleVector, GrayScaleStandVector,
                             ColourMaskVector};
#endif

const PixelKernels& Best() {
  static const PixelKernels& best = PixelKernelsFor(BestCpuLevel());
  return best;
}

}  // namespace

const PixelKernels& PixelKernelsFor(CpuLevel level) {
#ifdef DIOPTRIX_X86_KERNELS
  if (CpuLevelAtMost(level) >= CpuLevel::Ssse3) return kSsse3;
#endif
  (void)level;
  return kPlain;
}

void GrayScaleFast(cDIBSection& img, int32_t divisor) { Best().grayScale(img, divisor); }
void GrayScaleStandFast(cDIBSection& img) { Best().grayScaleStand(img); }
void ColourMaskFast(cDIBSection& img, uint8_t blue, uint8_t green, uint8_t red) {
  Best().colourMask(img, blue, green, red);
}

}  // namespace pixel_kernels

// --- The engine's filter methods -------------------------------------------------------

void cImageProcessDIB::GrayScale(cDIBSection& cTo, int32_t v_lngDivisor) {
  pixel_kernels::GrayScaleFast(cTo, v_lngDivisor);
}

void cImageProcessDIB::GrayScale_stand(cDIBSection& cTo) { pixel_kernels::GrayScaleStandFast(cTo); }

void cImageProcessDIB::ColourMask(cDIBSection& cTo, uint8_t v_bytBlueMask, uint8_t v_bytGreenMask,
                                  uint8_t v_bytRedMask) {
  pixel_kernels::ColourMaskFast(cTo, v_bytBlueMask, v_bytGreenMask, v_bytRedMask);
}

// The offsets named R act on byte 0 (blue in this layout) and those named B
// on byte 2 (red): the byte positions, not the names, decide.
void cImageProcessDIB::AddImages(const cDIBSection& cFrom, cDIBSection& cTo,
                                 int32_t lFromMultiplier, int32_t lFromOffsetR,
                                 int32_t lFromOffsetG, int32_t lFromOffsetB, int32_t lToMultiplier,
                                 int32_t lToOffsetR, int32_t lToOffsetG, int32_t lToOffsetB) {
  if (!HasPixels(cTo)) return;
  const int32_t w = cTo.Width(), h = cTo.Height();
  if (!HasPixels(cFrom) || cFrom.Width() < w || cFrom.Height() < h) RaiseSubscriptOutOfRange();
  const int32_t fromOffset[3] = {lFromOffsetR, lFromOffsetG, lFromOffsetB};
  const int32_t toOffset[3] = {lToOffsetR, lToOffsetG, lToOffsetB};
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* f = cFrom.ScanLine(y);
    uint8_t* t = cTo.ScanLine(y);
    for (int32_t k = 0; k < 3 * w; k += 3) {
      for (int c = 0; c < 3; ++c) {
        const int32_t from = Mul32(Add32(f[k + c], fromOffset[c]), lFromMultiplier);
        const int32_t to = Mul32(Add32(t[k + c], toOffset[c]), lToMultiplier);
        t[k + c] = Clamp255(Add32(from, to));
      }
    }
  }
}

// The weights named R act on byte 0 and those named B on byte 2.
void cImageProcessDIB::AddImagesChannel(const cDIBSection& cFrom, cDIBSection& cTo,
                                        int32_t lFromMultR, int32_t lFromMultG, int32_t lFromMultB,
                                        int32_t lToMultR, int32_t lToMultG, int32_t lToMultB) {
  if (!HasPixels(cTo)) return;
  const int32_t w = cTo.Width(), h = cTo.Height();
  if (!HasPixels(cFrom) || cFrom.Width() < w || cFrom.Height() < h) RaiseSubscriptOutOfRange();
  const int32_t fromMult[3] = {lFromMultR, lFromMultG, lFromMultB};
  const int32_t toMult[3] = {lToMultR, lToMultG, lToMultB};
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* f = cFrom.ScanLine(y);
    uint8_t* t = cTo.ScanLine(y);
    for (int32_t k = 0; k < 3 * w; k += 3) {
      for (int c = 0; c < 3; ++c)
        t[k + c] = Clamp255(Add32(Mul32(t[k + c], toMult[c]), Mul32(f[k + c], fromMult[c])));
    }
  }
}

// Pastes cFrom into cTo from scan line VOffset up; black pixels of cFrom are
// transparent, and green and red of a pasted pixel are raised by 1 and 2
// (saturating) so that it is never pure black. The multipliers and offsets
// have no effect.
void cImageProcessDIB::AddSmallImage(const cDIBSection& cFrom, cDIBSection& cTo,
                                     int32_t /*lFromMultiplier*/, int32_t /*lFromOffsetR*/,
                                     int32_t /*lFromOffsetG*/, int32_t /*lFromOffsetB*/,
                                     int32_t /*lToMultiplier*/, int32_t /*lToOffsetR*/,
                                     int32_t /*lToOffsetG*/, int32_t /*lToOffsetB*/,
                                     int32_t VOffset) {
  if (!HasPixels(cFrom)) return;
  const int32_t w = cFrom.Width(), h = cFrom.Height();
  if (!HasPixels(cTo) || cTo.Width() < w || VOffset < 0 ||
      int64_t{VOffset} + h > int64_t{cTo.Height()})
    RaiseSubscriptOutOfRange();
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* f = cFrom.ScanLine(y);
    uint8_t* t = cTo.ScanLine(VOffset + y);
    for (int32_t k = 0; k < 3 * w; k += 3) {
      if (f[k] == 0 && f[k + 1] == 0 && f[k + 2] == 0) continue;
      t[k] = f[k];
      t[k + 1] = static_cast<uint8_t>(std::min(f[k + 1] + 1, 255));
      t[k + 2] = static_cast<uint8_t>(std::min(f[k + 2] + 2, 255));
    }
  }
}

}  // namespace dioptrix
