#include "blocks/make3d.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#ifdef DIOPTRIX_X86_KERNELS
#include <immintrin.h>
#endif

namespace dioptrix::blocks {
namespace {

// A shift larger than this many bytes puts a pixel off any picture the 32-bit
// calling frame can describe (lines are shorter than 2^31 bytes and the offset
// is below 2^31 in size), so such pixels are dropped without converting the
// product to an integer.
constexpr double kFarShift = 1099511627776.0;  // 2^40

// The byte layout of one call, checked before anything is touched.
struct Frame {
  int64_t w = 0;
  int64_t h = 0;
  int64_t stride = 0;      // bytes per picture line
  int64_t dmapStride = 0;  // bytes per depth-map line
  int channels = 3;        // bytes handled per pixel
};

// False when nothing may be touched: a null buffer, an empty picture, or a
// buffer whose byte count does not fit in 32 bits (the frame's addressing).
bool DescribeFrame(const uint8_t* out, const uint8_t* src, const uint8_t* dmap, int32_t w,
                   int32_t h, PixelBytes bytes, Frame& f) {
  if (out == nullptr || src == nullptr || dmap == nullptr || w < 1 || h < 1) return false;
  constexpr int64_t kLimit = std::numeric_limits<int32_t>::max();
  f.w = w;
  f.h = h;
  f.stride = (3 * f.w + 3) & ~int64_t{3};
  f.dmapStride = f.w + 1;
  // Compared by division: the products themselves may not fit in 64 bits.
  if (f.stride > kLimit / f.h || f.dmapStride > kLimit / (f.h + 1)) return false;
  f.channels = bytes == PixelBytes::All ? 3 : 1;
  return true;
}

// round(d * gain) for an inverted depth d = 0..255, or false when the product
// is not finite or lands off the picture whatever the pixel's position. The
// double product of an 8-bit integer and a float is exact, so the rounding
// (to nearest, ties to even) sees the true product.
bool ShiftBytes(int d, float gain, int64_t& shift) {
  const double product = d * static_cast<double>(gain);
  if (!(std::fabs(product) <= kFarShift)) return false;  // also catches NaN
  shift = static_cast<int64_t>(std::nearbyint(product));
  return true;
}

}  // namespace

void Make3DReference(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h,
                     float gain, int32_t offset, int32_t radius, PixelBytes bytes) {
  Frame f;
  if (!DescribeFrame(out, src, dmap, w, h, bytes, f)) return;
  const int64_t W = f.w;
  const int64_t H = f.h;
  auto O = [&](int64_t b, int64_t y) -> uint8_t& { return out[y * f.stride + b]; };
  auto S = [&](int64_t b, int64_t y) { return src[y * f.stride + b]; };
  auto D = [&](int64_t x, int64_t y) -> uint8_t& { return dmap[y * f.dmapStride + x]; };

  // 1. Extract the depth from the first byte of every pixel, then clear it.
  for (int64_t y = 0; y < H; ++y) {
    for (int64_t x = 0; x < W; ++x) {
      D(x, y) = O(3 * x, y);
      for (int c = 0; c < f.channels; ++c) O(3 * x + c, y) = 0;
    }
  }

  // 2. Shift every source pixel by its depth onto a target pixel and its right
  // neighbour; later sources overwrite earlier ones. The lowest bit of the
  // first byte marks a written pixel.
  for (int64_t y = 0; y < H; ++y) {
    for (int64_t b = 0; b <= 3 * (W - 1); b += 3) {
      const int d = 255 - D(b / 3, y);
      int64_t shift;
      if (!ShiftBytes(d, gain, shift)) continue;
      int64_t t = b + shift - offset;
      t -= t % 3;  // align toward zero to a pixel start
      if (!(0 < t && t < 3 * W - 6)) continue;
      O(t, y) = S(b, y) | 1;
      O(t + 3, y) = S(b, y) | 1;
      if (f.channels == 3) {
        O(t + 1, y) = O(t + 4, y) = S(b + 1, y);
        O(t + 2, y) = O(t + 5, y) = S(b + 2, y);
      }
    }
  }

  // 3. Fill each hole (first byte zero) with the average of the window of
  // radius pixels to its right on its own line and the lines above and below.
  // Right to left, so filled pixels feed holes further left.
  if (radius < 1) return;
  // Every window position counts, holes and positions beyond the picture too.
  const int64_t n = 3 * int64_t{radius};
  const double divisor = static_cast<double>(n | 1);
  for (int64_t b = 3 * W - 18; b >= 3; b -= 3) {
    for (int64_t y = 1; y <= H - 2; ++y) {
      if (O(b, y) != 0) continue;
      uint64_t s[3] = {0, 0, 0};
      // Positions beyond the line's last pixel add zero.
      const int64_t lastO = std::min(3 * int64_t{radius}, 3 * W - 3 - b);
      for (int64_t o = 3; o <= lastO; o += 3) {
        for (int64_t k = -1; k <= 1; ++k) {
          for (int c = 0; c < f.channels; ++c) s[c] += O(b + o + c, y + k);
        }
      }
      for (int c = 0; c < f.channels; ++c) {
        O(b + c, y) = static_cast<uint8_t>(std::nearbyint(static_cast<double>(s[c]) / divisor));
      }
    }
  }
}

namespace {

// Target pixel offsets of one call, by depth: a pixel x of depth v lands on
// pixel x + pixels[v]. Equivalent to the byte form: for b = 3x and
// D = round(d * gain) - offset, t = b + D aligned toward zero is positive
// exactly when b + D >= 3, and then equals 3 * (x + floor(D / 3)); negative
// targets stay negative. Dropped depths get a shift no picture reaches.
constexpr int64_t kDropped = int64_t{1} << 50;

struct ShiftTable {
  int64_t pixels[256];
  // The smallest and largest shift of the depths that are not dropped, and
  // whether any depth is dropped: pixels far enough from both ends of a line
  // land inside it whatever their depth.
  int64_t lowest = 0;
  int64_t highest = 0;
  bool dropsAny = false;
  // The same shifts in 16 bits, when no depth is dropped and all fit.
  bool compact = false;
  alignas(64) int16_t compactPixels[256];
};

void BuildShiftTable(float gain, int32_t offset, ShiftTable& table) {
  table.lowest = std::numeric_limits<int64_t>::max();
  table.highest = std::numeric_limits<int64_t>::min();
  table.dropsAny = false;
  for (int v = 0; v < 256; ++v) {
    int64_t shift;
    if (!ShiftBytes(255 - v, gain, shift)) {
      table.pixels[v] = kDropped;
      table.dropsAny = true;
      continue;
    }
    const int64_t bytes = shift - offset;
    const int64_t pixels = bytes / 3 - (bytes % 3 < 0 ? 1 : 0);  // floor division
    table.pixels[v] = pixels;
    table.lowest = std::min(table.lowest, pixels);
    table.highest = std::max(table.highest, pixels);
  }
  table.compact = !table.dropsAny && table.lowest >= std::numeric_limits<int16_t>::min() &&
                  table.highest <= std::numeric_limits<int16_t>::max();
  for (int v = 0; v < 256; ++v)
    table.compactPixels[v] = table.compact ? static_cast<int16_t>(table.pixels[v]) : 0;
}

// Pixels move as little-endian words rather than byte by byte.
static_assert(std::endian::native == std::endian::little, "word layout assumes little-endian");

uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
void Store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }

// The first bytes of four consecutive pixels (12 bytes at p), packed in a word.
uint32_t FirstBytesOf4(const uint8_t* p) {
  const uint32_t a = Load32(p), b = Load32(p + 4), c = Load32(p + 8);
  return (a & 0xFFu) | ((a >> 16) & 0xFF00u) | (b & 0xFF0000u) | ((c << 16) & 0xFF000000u);
}

bool HasZeroByte(uint32_t v) { return ((v - 0x01010101u) & ~v & 0x80808080u) != 0; }

// first[x] = p[3x] for x = from .. w-1.
void FirstBytesPlain(const uint8_t* p, int64_t from, int64_t w, uint8_t* first) {
  int64_t x = from;
  for (; x + 4 <= w; x += 4) Store32(first + x, FirstBytesOf4(p + 3 * x));
  for (; x < w; ++x) first[x] = p[3 * x];
}

// A run of holes (pixels whose first byte is zero after the shift) on one
// line: columns left .. right.
struct HoleRun {
  int32_t y, left, right;
};

// A run of holes during the fill: p is its pixel in the column being filled,
// last the pixel of its left end.
struct ActiveRun {
  uint8_t* p;
  const uint8_t* last;
  int64_t y;
};

// Memory one call works in, kept between calls of one thread so that a frame
// reuses the memory of the frame before instead of allocating per frame.
struct Scratch {
  // One line's depths with room before and after: vector kernels read one
  // byte before the first and up to 64 bytes past the last.
  static constexpr int64_t kPad = 64;
  std::vector<uint8_t> depthBytes;
  std::vector<int32_t> starts;  // where each run of source pixels of one line begins
  std::vector<HoleRun> runs, ordered;
  std::vector<ActiveRun> active;
  std::vector<int32_t> perColumn;

  void Reserve(int64_t w) {
    const auto n = static_cast<size_t>(w);
    if (depthBytes.size() < n + 2 * kPad) depthBytes.resize(n + 2 * kPad);
    if (starts.size() < n + 32) starts.resize(n + 32);
    runs.clear();
  }
  uint8_t* Depths() { return depthBytes.data() + kPad; }
};

// Everything the line kernels need for one line.
struct LineJob {
  uint8_t* o;        // the line of out: depths in, synthesised view out
  const uint8_t* s;  // the line of src
  uint8_t* dm;       // the line of dmap
  int64_t w;         // pixels per line
  bool all;          // all three bytes of a pixel, or only the first
  const ShiftTable* table;
  uint8_t* depths;  // scratch: w bytes, one readable byte before, 64 after
  int32_t* starts;  // scratch: w + 32 entries
  // The next line of out and src, nullptr on the last line: its bytes are
  // fetched into the cache while this line is worked on.
  const uint8_t* nextO;
  const uint8_t* nextS;
  // Whether the holes among pixels firstCol .. lastCol of line y are wanted
  // for step 3.
  bool holes;
  int64_t y;
  int64_t firstCol, lastCol;
};

// The per-level part of the kernel: steps 1 and 2 on one line (no line
// depends on another): the depths go to dm, the line is cleared and every
// source pixel shifted; then, when job.holes, the runs of holes of the line
// are appended to sc.runs.
using LineKernel = void (*)(const LineJob& job, Scratch& sc);

// Clears what the shift writes: every byte of the line's pixels, or only the
// first byte of each.
void ClearLine(uint8_t* o, int64_t w, bool all) {
  if (all) {
    std::memset(o, 0, static_cast<size_t>(3 * w));
  } else {
    for (int64_t x = 0; x < w; ++x) o[3 * x] = 0;
  }
}

// Shifts pixels from .. to (of depths dm) one by one, in order: step 2 as
// the plain and SSSE3 levels do it.
template <int Channels>
void ShiftPixels(uint8_t* o, const uint8_t* s, const uint8_t* dm, int64_t w, int64_t from,
                 int64_t to, const int64_t* table) {
  const auto targets = static_cast<uint64_t>(w - 3);
  for (int64_t x = from; x <= to; ++x) {
    const int64_t tx = x + table[dm[x]];
    if (static_cast<uint64_t>(tx - 1) >= targets) continue;  // keeps 1 <= tx <= W-3
    uint8_t* t = o + 3 * tx;
    const uint8_t* p = s + 3 * x;
    if constexpr (Channels == 3) {
      // Blue (marked), green, red, then the same again: bytes t .. t+5.
      uint32_t px =
          x + 1 < w ? Load32(p) : uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
      px = (px & 0xFFFFFFu) | 1u;
      Store32(t, px | (px << 24));
      Store16(t + 4, static_cast<uint16_t>(px >> 8));
    } else {
      t[0] = t[3] = p[0] | 1;
    }
  }
}

void FindHoleRunsPlain(const uint8_t* o, int64_t y, int64_t first, int64_t last, Scratch& sc);

void ShiftLinePlain(const LineJob& job, Scratch& sc) {
  FirstBytesPlain(job.o, 0, job.w, job.dm);
  ClearLine(job.o, job.w, job.all);
  if (job.w < 4) return;  // no target pixel 1..W-3 exists
  if (job.all) {
    ShiftPixels<3>(job.o, job.s, job.dm, job.w, 0, job.w - 1, job.table->pixels);
  } else {
    ShiftPixels<1>(job.o, job.s, job.dm, job.w, 0, job.w - 1, job.table->pixels);
  }
  if (job.holes) FindHoleRunsPlain(job.o, job.y, job.firstCol, job.lastCol, sc);
}

// Closes and opens hole runs along a line from bit masks of 64 pixels each.
class RunTracker {
 public:
  RunTracker(int64_t y, std::vector<HoleRun>& runs) : y_(y), runs_(runs) {}
  // holes: bit i set when pixel x + i is a hole.
  void Add(int64_t x, uint64_t holes) {
    uint64_t edges = holes ^ ((holes << 1) | carry_);
    carry_ = holes >> 63;
    while (edges != 0) {
      Edge(x + std::countr_zero(edges));
      edges &= edges - 1;
    }
  }
  void Finish(int64_t last) {
    if (start_ >= 0) Close(last);
  }
  // Pixel at differs from the one before it in being a hole.
  void Edge(int64_t at) {
    if (start_ < 0) {
      start_ = at;
    } else {
      Close(at - 1);
    }
  }

 private:
  void Close(int64_t right) {
    runs_.push_back(
        {static_cast<int32_t>(y_), static_cast<int32_t>(start_), static_cast<int32_t>(right)});
    start_ = -1;
  }
  int64_t y_;
  std::vector<HoleRun>& runs_;
  uint64_t carry_ = 0;
  int64_t start_ = -1;
};

void FindHoleRunsPlain(const uint8_t* o, int64_t y, int64_t first, int64_t last, Scratch& sc) {
  std::vector<HoleRun>& runs = sc.runs;
  int64_t start = -1;
  for (int64_t x = first; x <= last; ++x) {
    // Four pixels at a time while none of them is a hole and no run is open.
    if (start < 0 && x + 3 <= last && !HasZeroByte(FirstBytesOf4(o + 3 * x))) {
      x += 3;
      continue;
    }
    const bool hole = o[3 * x] == 0;
    if (hole && start < 0) {
      start = x;
    } else if (!hole && start >= 0) {
      runs.push_back(
          {static_cast<int32_t>(y), static_cast<int32_t>(start), static_cast<int32_t>(x - 1)});
      start = -1;
    }
  }
  if (start >= 0) {
    runs.push_back(
        {static_cast<int32_t>(y), static_cast<int32_t>(start), static_cast<int32_t>(last)});
  }
}

#ifdef DIOPTRIX_X86_KERNELS

#define DIOPTRIX_SSSE3 __attribute__((target("ssse3")))
#define DIOPTRIX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

// The first bytes of sixteen pixels (48 bytes at p).
DIOPTRIX_SSSE3 inline __m128i FirstBytes16(const uint8_t* p) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  const __m128i pickA = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i pickB = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
  const __m128i pickC = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
  return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, pickA), _mm_shuffle_epi8(b, pickB)),
                      _mm_shuffle_epi8(c, pickC));
}

DIOPTRIX_SSSE3 void FirstBytesSsse3(const uint8_t* p, int64_t w, uint8_t* first) {
  int64_t x = 0;
  for (; x + 16 <= w; x += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(first + x), FirstBytes16(p + 3 * x));
  FirstBytesPlain(p, x, w, first);
}

// Holes among pixels first .. last (first < 64): their first bytes are
// gathered into scratch, which is readable 64 bytes past last.
DIOPTRIX_SSSE3 void FindHoleRunsSsse3(const uint8_t* o, int64_t y, int64_t first, int64_t last,
                                      Scratch& sc) {
  uint8_t* scratch = sc.Depths();
  FirstBytesSsse3(o, last + 1, scratch);
  RunTracker tracker(y, sc.runs);
  const __m128i zero = _mm_setzero_si128();
  for (int64_t x = 0; x <= last; x += 64) {
    uint64_t holes = 0;
    for (int i = 0; i < 64; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(scratch + x + i));
      holes |=
          static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))))
          << i;
    }
    if (last - x < 63) holes &= (uint64_t{2} << (last - x)) - 1;
    if (x < first) holes &= ~((uint64_t{1} << (first - x)) - 1);
    tracker.Add(x, holes);
  }
  tracker.Finish(last);
}

DIOPTRIX_SSSE3 void ShiftLineSsse3(const LineJob& job, Scratch& sc) {
  FirstBytesSsse3(job.o, job.w, job.dm);
  ClearLine(job.o, job.w, job.all);
  if (job.w < 4) return;
  if (job.all) {
    ShiftPixels<3>(job.o, job.s, job.dm, job.w, 0, job.w - 1, job.table->pixels);
  } else {
    ShiftPixels<1>(job.o, job.s, job.dm, job.w, 0, job.w - 1, job.table->pixels);
  }
  if (job.holes) FindHoleRunsSsse3(job.o, job.y, job.firstCol, job.lastCol, sc);
}

// 16 bytes at lo in the low lane, 16 at hi in the high lane.
DIOPTRIX_AVX512 inline __m256i Load2x128(const uint8_t* lo, const uint8_t* hi) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

// The first bytes of 32 pixels (96 bytes at p): each 128-bit lane gathers the
// 48 bytes of its sixteen pixels, then picks as FirstBytes16 does.
DIOPTRIX_AVX512 inline __m256i FirstBytes32(const uint8_t* p) {
  const __m256i a = Load2x128(p, p + 48);
  const __m256i b = Load2x128(p + 16, p + 64);
  const __m256i c = Load2x128(p + 32, p + 80);
  const __m256i pickA =
      _mm256_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12,
                       15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i pickB =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                       -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
  const __m256i pickC =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1,
                       -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
  return _mm256_ternarylogic_epi32(_mm256_shuffle_epi8(a, pickA), _mm256_shuffle_epi8(b, pickB),
                                   _mm256_shuffle_epi8(c, pickC), 0xFE);  // a | b | c
}

DIOPTRIX_AVX512 void FirstBytesAvx512(const uint8_t* p, int64_t w, uint8_t* first) {
  int64_t x = 0;
  for (; x + 32 <= w; x += 32)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(first + x), FirstBytes32(p + 3 * x));
  for (; x + 16 <= w; x += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(first + x), FirstBytes16(p + 3 * x));
  FirstBytesPlain(p, x, w, first);
}

// Runs of source pixels are cut at every change of shift (or of depth) and
// at every multiple of kRunCut, so that one run's bytes and the copy of its
// last pixel (3 * 20 + 3 bytes) fit one 64-byte vector.
constexpr int kRunCut = 20;

// Byte masks by run length n = 0 .. kRunCut: the run's 3n bytes, and the
// last 3 of them.
struct RunMasks {
  std::array<uint64_t, kRunCut + 1> body{}, last{};
  // cuts[r]: bit i set when (r + i) is a multiple of kRunCut.
  std::array<uint64_t, kRunCut> cuts{};
};

constexpr RunMasks MakeRunMasks() {
  RunMasks m;
  for (int n = 0; n <= kRunCut; ++n) {
    m.body[n] = (uint64_t{1} << (3 * n)) - 1;
    if (n > 0) m.last[n] = uint64_t{7} << (3 * n - 3);
  }
  for (int r = 0; r < kRunCut; ++r)
    for (int i = 0; i < 64; ++i)
      if ((r + i) % kRunCut == 0) m.cuts[r] |= uint64_t{1} << i;
  return m;
}
constexpr RunMasks kRunMasks = MakeRunMasks();
constexpr uint64_t kFirstByteBits = 0x9249249249249249ull;  // bits 0, 3, ..., 63

// Writes a run of n source pixels at p (1 <= n <= kRunCut) to the target t:
// its 3n bytes, then its last pixel once more, every pixel marked. Bytes
// outside the run are neither read nor written. The source pixel before p
// must exist.
DIOPTRIX_AVX512 inline void WriteRun(uint8_t* t, const uint8_t* p, int64_t n, uint64_t channels) {
  const uint64_t body = (uint64_t{1} << (3 * n)) - 1;
  const uint64_t after = uint64_t{7} << (3 * n);
  __m512i v = _mm512_maskz_loadu_epi8(body, p);
  v = _mm512_mask_loadu_epi8(v, after, p - 3);  // byte 3n + i from 3n - 3 + i
  v = _mm512_or_si512(v, _mm512_maskz_set1_epi8(kFirstByteBits, 1));
  _mm512_mask_storeu_epi8(t, (body | after) & channels, v);
}

// WriteRun for a run that may start at the line's first pixel: the copy of
// its last pixel is a second store of the same bytes, one pixel on.
DIOPTRIX_AVX512 inline void WriteRunAnywhere(uint8_t* t, const uint8_t* p, int64_t n,
                                             uint64_t channels) {
  __m512i v = _mm512_maskz_loadu_epi8(kRunMasks.body[n], p);
  v = _mm512_or_si512(v, _mm512_maskz_set1_epi8(kFirstByteBits, 1));
  _mm512_mask_storeu_epi8(t, kRunMasks.body[n] & channels, v);
  _mm512_mask_storeu_epi8(t + 3, kRunMasks.last[n] & channels, v);
}

// The 16-bit shifts of 32 depths: four lookups of 64 entries each, picked by
// the two high bits of the depth.
struct CompactLookup {
  __m512i part[8];
};

DIOPTRIX_AVX512 inline __m512i LookUp32(const CompactLookup& t, __m256i depths) {
  const __m512i v = _mm512_cvtepu8_epi16(depths);
  const __m512i a = _mm512_permutex2var_epi16(t.part[0], v, t.part[1]);
  const __m512i b = _mm512_permutex2var_epi16(t.part[2], v, t.part[3]);
  const __m512i c = _mm512_permutex2var_epi16(t.part[4], v, t.part[5]);
  const __m512i e = _mm512_permutex2var_epi16(t.part[6], v, t.part[7]);
  const __mmask32 bit6 = _mm512_test_epi16_mask(v, _mm512_set1_epi16(64));
  const __mmask32 bit7 = _mm512_test_epi16_mask(v, _mm512_set1_epi16(128));
  return _mm512_mask_blend_epi16(bit7, _mm512_mask_blend_epi16(bit6, a, b),
                                 _mm512_mask_blend_epi16(bit6, c, e));
}

constexpr std::array<int16_t, 32> MakeOneBack() {
  std::array<int16_t, 32> lanes{};
  for (int i = 0; i < 32; ++i) lanes[static_cast<size_t>(i)] = static_cast<int16_t>(31 + i);
  return lanes;
}
constexpr std::array<int16_t, 32> kOneBack = MakeOneBack();

// Appends x + i for every bit i of bits to starts (16 entries of room past
// the end); returns the new count.
DIOPTRIX_AVX512 inline int64_t AppendStarts(int32_t* starts, int64_t count, int64_t x,
                                            uint64_t bits) {
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  for (int part = 0; part < 4; ++part) {
    const auto k = static_cast<__mmask16>(bits >> (16 * part));
    const __m512i at =
        _mm512_add_epi32(lanes, _mm512_set1_epi32(static_cast<int32_t>(x + 16 * part)));
    _mm512_storeu_si512(starts + count, _mm512_maskz_compress_epi32(k, at));
    count += std::popcount(static_cast<uint32_t>(k));
  }
  return count;
}

// Writes the runs starting[first .. last) of a line, each run's shift looked
// up by the depth of its first pixel; the runs lie far enough from both ends
// that every target is inside the line.
template <class Shift>
DIOPTRIX_AVX512 inline void WriteInnerRuns(uint8_t* o, const uint8_t* s, const uint8_t* d,
                                           const int32_t* starts, int64_t first, int64_t last,
                                           const Shift* shifts, uint64_t channels) {
  for (int64_t i = first; i < last; ++i) {
    const int64_t x0 = starts[i];
    WriteRun(o + 3 * (x0 + shifts[d[x0]]), s + 3 * x0, starts[i + 1] - x0, channels);
  }
}

// Holes among pixels first .. last of a line, from the zero bytes of each 64
// bytes from pixel first on: bit 3x - b of the 64 bytes at b stands for
// pixel x.
DIOPTRIX_AVX512 void FindHoleRunsAvx512(const uint8_t* o, int64_t y, int64_t first, int64_t last,
                                        Scratch& sc) {
  RunTracker tracker(y, sc.runs);
  const int64_t to = 3 * last;       // the first byte of the last pixel looked at
  uint64_t firsts = kFirstByteBits;  // first bytes of pixels among the 64 at b
  uint64_t before = 0;               // the hole bits of the 64 bytes before
  for (int64_t b = 3 * first; b <= to; b += 64) {
    const __mmask64 inside = to - b >= 63 ? ~uint64_t{0} : (uint64_t{2} << (to - b)) - 1;
    uint64_t holes = _mm512_mask_cmpeq_epu8_mask(inside, _mm512_maskz_loadu_epi8(inside, o + b),
                                                 _mm512_setzero_si512()) &
                     firsts;
    // A pixel's hole state against the pixel before it, three bytes back.
    uint64_t edges = holes ^ ((holes << 3) | (before >> 61));
    before = holes;
    while (edges != 0) {
      tracker.Edge((b + std::countr_zero(edges)) / 3);
      edges &= edges - 1;
    }
    firsts = firsts << 2 | firsts >> 1;  // the next 64 bytes start one byte later in a pixel
  }
  tracker.Finish(last);
}

// Step 2 by runs of pixels with one shift: a run of n pixels with shift k
// lands on n consecutive target pixels, and its last pixel once more on the
// pixel after them (later pixels overwrite the copies of earlier ones, so
// only the last copy of a run stays). Each run is one masked 64-byte load
// and store: bytes outside the run are neither read nor written, and runs
// are written in source order as the pixels are.
DIOPTRIX_AVX512 void ShiftLineAvx512(const LineJob& job, Scratch& sc) {
  const int64_t w = job.w;
  uint8_t* o = job.o;
  const uint8_t* s = job.s;
  uint8_t* d = job.depths;
  const ShiftTable& table = *job.table;
  FirstBytesAvx512(o, w, d);
  std::memcpy(job.dm, d, static_cast<size_t>(w));
  ClearLine(o, w, job.all);
  if (w < 4) return;  // no target pixel 1..W-3 exists, and no hole column

  // Where runs begin: a shift (or, without the compact table, a depth)
  // differing from the one before, or a cut. A cut falls on pixel 0.
  int32_t* starts = job.starts;
  int64_t count = 0;
  int r = 0;  // x % kRunCut
  CompactLookup lookup;
  if (table.compact) {
    for (int i = 0; i < 8; ++i) lookup.part[i] = _mm512_load_si512(table.compactPixels + 32 * i);
  }
  // Lane 0 from the last lane of before, lanes 1..31 from lanes 0..30 of now.
  const __m512i oneBack = _mm512_loadu_si512(kOneBack.data());
  __m512i before = _mm512_setzero_si512();
  for (int64_t x = 0; x < w; x += 64) {
    if (job.nextO != nullptr) {
      for (int64_t b = 3 * x; b < std::min(3 * x + 192, 3 * w); b += 64) {
        __builtin_prefetch(job.nextO + b);
        __builtin_prefetch(job.nextS + b);
      }
    }
    uint64_t bits;
    if (table.compact) {
      const __m512i lo =
          LookUp32(lookup, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + x)));
      const __m512i hi =
          LookUp32(lookup, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + x + 32)));
      const uint64_t changeLo =
          _mm512_cmpneq_epi16_mask(lo, _mm512_permutex2var_epi16(before, oneBack, lo));
      const uint64_t changeHi =
          _mm512_cmpneq_epi16_mask(hi, _mm512_permutex2var_epi16(lo, oneBack, hi));
      before = hi;
      bits = changeLo | changeHi << 32;
    } else {
      bits = _mm512_cmpneq_epu8_mask(_mm512_loadu_si512(d + x), _mm512_loadu_si512(d + x - 1));
    }
    bits |= kRunMasks.cuts[r];
    if (w - x < 64) bits &= (uint64_t{1} << (w - x)) - 1;
    r += 64 % kRunCut;
    if (r >= kRunCut) r -= kRunCut;
    count = AppendStarts(starts, count, x, bits);
  }
  starts[count] = static_cast<int32_t>(w);

  const uint64_t channels = job.all ? ~uint64_t{0} : kFirstByteBits;
  // Runs far enough from both ends land inside the line whatever their
  // shift: first >= 1 - lowest and last <= W-3 - highest. Others are
  // clipped to the pixels whose target lies in 1 .. W-3.
  int64_t inner = count, innerEnd = count;
  if (!table.dropsAny) {
    const int64_t lowX = std::max<int64_t>(1, 1 - table.lowest);  // WriteRun reads pixel x0 - 1
    const int64_t highX = w - 3 - table.highest;
    inner = 0;
    while (inner < count && starts[inner] < lowX) ++inner;
    innerEnd = count;
    while (innerEnd > inner && starts[innerEnd] - 1 > highX) --innerEnd;
  }
  const auto clipped = [&](int64_t i) {
    const int64_t x0 = starts[i];
    const int64_t k = table.pixels[d[x0]];
    const int64_t lo = std::max(x0, 1 - k);
    const int64_t hi = std::min(int64_t{starts[i + 1]} - 1, w - 3 - k);
    if (lo <= hi) WriteRunAnywhere(o + 3 * (lo + k), s + 3 * lo, hi - lo + 1, channels);
  };
  for (int64_t i = 0; i < inner; ++i) clipped(i);
  if (table.compact) {
    WriteInnerRuns(o, s, d, starts, inner, innerEnd, table.compactPixels, channels);
  } else {
    WriteInnerRuns(o, s, d, starts, inner, innerEnd, table.pixels, channels);
  }
  for (int64_t i = std::max(inner, innerEnd); i < count; ++i) clipped(i);

  if (job.holes) FindHoleRunsAvx512(o, job.y, job.firstCol, job.lastCol, sc);
}

#endif  // DIOPTRIX_X86_KERNELS

// Step 3 with radius 1: the rounded average of the pixel to the right on the
// hole's line and the lines above and below (a divisor of 3 has no ties).
constexpr std::array<uint8_t, 3 * 255 + 1> MakeThirds() {
  std::array<uint8_t, 3 * 255 + 1> q{};
  for (int s = 0; s <= 3 * 255; ++s) q[static_cast<size_t>(s)] = static_cast<uint8_t>((s + 1) / 3);
  return q;
}
constexpr std::array<uint8_t, 3 * 255 + 1> kThirds = MakeThirds();

uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Pixels are read and written as a 2-byte and a 1-byte piece: a filled pixel
// is read again by the holes to its left, and loads that match the earlier
// stores exactly take their bytes straight from them.
template <int Channels>
void FillRadiusOne(uint8_t* p, int64_t stride) {
  const uint8_t* r = p + 3;
  if constexpr (Channels == 3) {
    const uint32_t a = Load16(r - stride), b = Load16(r), c = Load16(r + stride);
    const uint32_t blue = (a & 0xFF) + (b & 0xFF) + (c & 0xFF);
    const uint32_t green = (a >> 8) + (b >> 8) + (c >> 8);
    const uint32_t red = uint32_t{r[2 - stride]} + r[2] + r[2 + stride];
    Store16(p, static_cast<uint16_t>(kThirds[blue] | kThirds[green] << 8));
    p[2] = kThirds[red];
  } else {
    p[0] = kThirds[static_cast<size_t>(r[-stride] + r[0] + r[stride])];
  }
}

// The sum over one line of the window to the right of a hole column, moved
// lazily: each hole column asks the lines it needs to move their window to it.
// Columns are visited right to left and every pixel right of the current
// column is final, so sums built from them stay exact.
struct LineWindow {
  int64_t x = -1;  // hole column the sum belongs to; -1 before first use
  uint64_t sum[3] = {0, 0, 0};
};

class HoleFiller {
 public:
  HoleFiller(uint8_t* out, const Frame& f, int32_t radius)
      : out_(out), f_(f), radius_(radius), windows_(static_cast<size_t>(f.h)) {
    const int64_t n = (3 * radius_) | 1;
    half_ = static_cast<uint64_t>(n / 2);
    divisor_ = static_cast<uint64_t>(n);
    // Three lines of at most min(radius, W) pixels of 255: a small table holds
    // every rounded quotient.
    const int64_t maxSum = 3 * 255 * std::min(radius_, f.w);
    if (maxSum <= 65535) {
      quotient_.resize(static_cast<size_t>(maxSum) + 1);
      for (size_t s = 0; s < quotient_.size(); ++s)
        quotient_[s] = static_cast<uint8_t>((s + half_) / divisor_);
    }
  }

  void Fill(int64_t x, int64_t y) {
    uint64_t total[3] = {0, 0, 0};
    for (int64_t r = y - 1; r <= y + 1; ++r) {
      const LineWindow& w = Move(r, x);
      for (int c = 0; c < f_.channels; ++c) total[c] += w.sum[c];
    }
    uint8_t* p = out_ + y * f_.stride + 3 * x;
    for (int c = 0; c < f_.channels; ++c) p[c] = Quotient(total[c]);
  }

 private:
  uint8_t Quotient(uint64_t s) const {
    if (s < quotient_.size()) return quotient_[s];
    return static_cast<uint8_t>((s + half_) / divisor_);
  }

  const LineWindow& Move(int64_t r, int64_t x) {
    LineWindow& w = windows_[static_cast<size_t>(r)];
    if (w.x == x) return w;
    const uint8_t* line = out_ + r * f_.stride;
    const int64_t span = std::min(radius_, f_.w - 1 - x);  // pixels inside the picture
    const int64_t steps = w.x < 0 ? std::numeric_limits<int64_t>::max() : w.x - x;
    // Sums in locals: stores through the picture's bytes may not alias them.
    uint64_t sum[3] = {w.sum[0], w.sum[1], w.sum[2]};
    if (steps > span / 2) {
      // Summing afresh is cheaper than sliding step by step.
      sum[0] = sum[1] = sum[2] = 0;
      for (int64_t p = x + 1; p <= x + span; ++p) {
        for (int c = 0; c < f_.channels; ++c) sum[c] += line[3 * p + c];
      }
    } else {
      // Window of column q covers q+1 .. q+radius; moving it to q-1 takes in
      // pixel q and lets go of q+radius.
      for (int64_t q = w.x; q > x; --q) {
        for (int c = 0; c < f_.channels; ++c) sum[c] += line[3 * q + c];
        if (q + radius_ <= f_.w - 1) {
          for (int c = 0; c < f_.channels; ++c) sum[c] -= line[3 * (q + radius_) + c];
        }
      }
    }
    for (int c = 0; c < 3; ++c) w.sum[c] = sum[c];
    w.x = x;
    return w;
  }

  uint8_t* out_;
  const Frame& f_;
  int64_t radius_;
  uint64_t half_ = 0;
  uint64_t divisor_ = 1;
  std::vector<uint8_t> quotient_;
  std::vector<LineWindow> windows_;
};

// Fills the pixels p of runs[0 .. n) of one column (radius 1).
using ColumnFill = void (*)(ActiveRun* runs, size_t n, int64_t stride);

template <int Channels>
void FillColumnPlain(ActiveRun* runs, size_t n, int64_t stride) {
  for (size_t i = 0; i < n; ++i) FillRadiusOne<Channels>(runs[i].p, stride);
}

#ifdef DIOPTRIX_X86_KERNELS
// FillRadiusOne<3> for the runs of a column, sixteen at a time: the pixels
// right of them on three lines are all read first, then the sixteen filled
// pixels written as 4-byte words (the fourth byte, the first byte of the
// pixel to the right, written back as read). A load that overlaps a
// just-made store without matching it waits for the store, so no store of a
// batch comes before a load.
void FillColumnSse(ActiveRun* runs, size_t n, int64_t stride) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi16(1);
  const __m128i third = _mm_set1_epi16(static_cast<int16_t>(0xAAAB));  // (s + 1) / 3 for s <= 765
  for (size_t i = 0; i < n; i += 16) {
    const size_t m = std::min<size_t>(16, n - i);
    uint32_t filled[16];
    for (size_t j = 0; j < m; ++j) {
      const uint8_t* r = runs[i + j].p + 3;
      const uint32_t here = Load32(r);
      const __m128i sum = _mm_add_epi16(
          _mm_add_epi16(
              _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int32_t>(Load32(r - stride))), zero),
              _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int32_t>(here)), zero)),
          _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int32_t>(Load32(r + stride))), zero));
      const __m128i q = _mm_srli_epi16(_mm_mulhi_epu16(_mm_add_epi16(sum, one), third), 1);
      filled[j] = (static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(q, q))) & 0xFFFFFFu) |
                  here << 24;
    }
    for (size_t j = 0; j < m; ++j) Store32(runs[i + j].p, filled[j]);
  }
}
#endif

// Sorts the runs of holes by their right ends, rightmost first.
void OrderRuns(Scratch& sc, int64_t firstCol, int64_t lastCol) {
  std::vector<HoleRun>& runs = sc.runs;
  std::vector<int32_t>& perColumn = sc.perColumn;
  perColumn.assign(static_cast<size_t>(lastCol) + 1, 0);
  for (const HoleRun& run : runs) ++perColumn[static_cast<size_t>(run.right)];
  int32_t next = 0;
  for (int64_t x = lastCol; x >= firstCol; --x) {
    const int32_t n = perColumn[static_cast<size_t>(x)];
    perColumn[static_cast<size_t>(x)] = next;
    next += n;
  }
  sc.ordered.resize(runs.size());
  for (const HoleRun& run : runs)
    sc.ordered[static_cast<size_t>(perColumn[static_cast<size_t>(run.right)]++)] = run;
}

// Step 3 column by column, right to left: a hole's fill reads only pixels
// right of its column, so within a column any order gives the same bytes.
// A run joins the active set at its right end and leaves it after its left
// end; fillColumn(x, active, n) fills the active runs' pixels of column x.
template <class FillColumn>
void FillByColumns(Scratch& sc, uint8_t* out, int64_t stride, int64_t firstCol, int64_t lastCol,
                   FillColumn fillColumn) {
  OrderRuns(sc, firstCol, lastCol);
  sc.active.resize(sc.runs.size());
  const HoleRun* ordered = sc.ordered.data();
  const size_t total = sc.ordered.size();
  ActiveRun* active = sc.active.data();
  size_t taken = 0, activeCount = 0;
  for (int64_t x = lastCol; x >= firstCol; --x) {
    while (taken < total && ordered[taken].right == x) {
      // The pixels the run a little further on starts from have mostly left
      // the cache since their line was shifted: ask for them ahead.
      constexpr size_t kAhead = 24;
      if (taken + kAhead < total) {
        const HoleRun& later = ordered[taken + kAhead];
        const uint8_t* p = out + later.y * stride + 3 * (later.right + 1);
        __builtin_prefetch(p - stride);
        __builtin_prefetch(p);
        __builtin_prefetch(p + stride);
      }
      const HoleRun& run = ordered[taken++];
      uint8_t* line = out + run.y * stride;
      active[activeCount++] = {line + 3 * run.right, line + 3 * run.left, run.y};
    }
    if (activeCount == 0) {
      if (taken == total) break;
      x = ordered[taken].right + 1;  // the next column with holes
      continue;
    }
    fillColumn(x, active, activeCount);
    size_t kept = 0;
    for (size_t i = 0; i < activeCount; ++i) {
      ActiveRun run = active[i];
      const bool more = run.p != run.last;
      run.p -= 3;  // the left end is at least pixel 1
      active[kept] = run;
      kept += more ? 1 : 0;
    }
    activeCount = kept;
  }
}

void Make3DWith(LineKernel kernel, ColumnFill fillColumn3, uint8_t* out, const uint8_t* src,
                uint8_t* dmap, int32_t w, int32_t h, float gain, int32_t offset, int32_t radius,
                PixelBytes bytes) {
  Frame f;
  if (!DescribeFrame(out, src, dmap, w, h, bytes, f)) return;
  ShiftTable table;
  BuildShiftTable(gain, offset, table);

  thread_local Scratch scratch;
  Scratch& sc = scratch;
  sc.Reserve(f.w);

  // Hole columns 1..W-6 on lines 1..H-2 are found while each line is still in
  // cache after its shift.
  const bool fill = radius >= 1 && f.w >= 7 && f.h >= 3;
  const int64_t firstCol = 1;
  const int64_t lastCol = f.w - 6;

  LineJob job;
  job.w = f.w;
  job.all = f.channels == 3;
  job.table = &table;
  job.depths = sc.Depths();
  job.starts = sc.starts.data();
  job.firstCol = firstCol;
  job.lastCol = lastCol;
  for (int64_t y = 0; y < f.h; ++y) {
    job.o = out + y * f.stride;
    job.s = src + y * f.stride;
    job.dm = dmap + y * f.dmapStride;
    job.nextO = y + 1 < f.h ? job.o + f.stride : nullptr;
    job.nextS = y + 1 < f.h ? job.s + f.stride : nullptr;
    job.y = y;
    job.holes = fill && y >= 1 && y <= f.h - 2;
    kernel(job, sc);
  }
  if (!fill || sc.runs.empty()) return;

  const int64_t stride = f.stride;
  if (radius == 1) {
    const ColumnFill column = f.channels == 3 ? fillColumn3 : FillColumnPlain<1>;
    FillByColumns(sc, out, stride, firstCol, lastCol,
                  [&](int64_t, ActiveRun* runs, size_t n) { column(runs, n, stride); });
    return;
  }
  HoleFiller filler(out, f, radius);
  FillByColumns(sc, out, stride, firstCol, lastCol, [&](int64_t x, ActiveRun* runs, size_t n) {
    for (size_t i = 0; i < n; ++i) filler.Fill(x, runs[i].y);
  });
}

void Make3DPlain(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h, float gain,
                 int32_t offset, int32_t radius, PixelBytes bytes) {
  Make3DWith(ShiftLinePlain, FillColumnPlain<3>, out, src, dmap, w, h, gain, offset, radius, bytes);
}
const Make3DKernels kPlain = {CpuLevel::Plain, Make3DPlain};

#ifdef DIOPTRIX_X86_KERNELS

void Make3DSsse3(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h, float gain,
                 int32_t offset, int32_t radius, PixelBytes bytes) {
  Make3DWith(ShiftLineSsse3, FillColumnSse, out, src, dmap, w, h, gain, offset, radius, bytes);
}
const Make3DKernels kSsse3 = {CpuLevel::Ssse3, Make3DSsse3};

void Make3DAvx512(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h, float gain,
                  int32_t offset, int32_t radius, PixelBytes bytes) {
  Make3DWith(ShiftLineAvx512, FillColumnSse, out, src, dmap, w, h, gain, offset, radius, bytes);
}
const Make3DKernels kAvx512 = {CpuLevel::Avx512, Make3DAvx512};
#endif

const Make3DKernels& Table(CpuLevel level) {
  switch (level) {
#ifdef DIOPTRIX_X86_KERNELS
    case CpuLevel::Avx512:
      return kAvx512;
    case CpuLevel::Avx2:
    case CpuLevel::Ssse3:
      return kSsse3;
#endif
    default:
      return kPlain;
  }
}

}  // namespace

const Make3DKernels& Make3DKernelsFor(CpuLevel level) { return Table(CpuLevelAtMost(level)); }

void Make3DFast(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h, float gain,
                int32_t offset, int32_t radius, PixelBytes bytes) {
  static const Make3DKernels& best = Make3DKernelsFor(BestCpuLevel());
  best.make3d(out, src, dmap, w, h, gain, offset, radius, bytes);
}

}  // namespace dioptrix::blocks
