#include "blocks/make3d.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
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
// pixel x + table[v]. Equivalent to the byte form: for b = 3x and
// D = round(d * gain) - offset, t = b + D aligned toward zero is positive
// exactly when b + D >= 3, and then equals 3 * (x + floor(D / 3)); negative
// targets stay negative. Dropped depths get a shift no picture reaches.
constexpr int64_t kDropped = int64_t{1} << 50;

void BuildShiftTable(float gain, int32_t offset, int64_t table[256]) {
  for (int v = 0; v < 256; ++v) {
    int64_t shift;
    if (!ShiftBytes(255 - v, gain, shift)) {
      table[v] = kDropped;
      continue;
    }
    const int64_t bytes = shift - offset;
    table[v] = bytes / 3 - (bytes % 3 < 0 ? 1 : 0);  // floor division
  }
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

// Steps 1 and 2 on one line (no line depends on another): extract and clear,
// then shift through the table.
template <int Channels>
void ShiftLine(uint8_t* o, const uint8_t* s, uint8_t* dm, int64_t W, const int64_t* table) {
  int64_t x = 0;
  for (; x + 4 <= W; x += 4) Store32(dm + x, FirstBytesOf4(o + 3 * x));
  for (; x < W; ++x) dm[x] = o[3 * x];
  if constexpr (Channels == 3) {
    std::memset(o, 0, static_cast<size_t>(static_cast<uint32_t>(3 * W)));
  } else {
    for (x = 0; x < W; ++x) o[3 * x] = 0;
  }
  if (W < 4) return;  // no target pixel 1..W-3 exists
  const auto targets = static_cast<uint64_t>(W - 3);
  for (x = 0; x < W; ++x) {
    const int64_t tx = x + table[dm[x]];
    if (static_cast<uint64_t>(tx - 1) >= targets) continue;  // keeps 1 <= tx <= W-3
    uint8_t* t = o + 3 * tx;
    const uint8_t* p = s + 3 * x;
    if constexpr (Channels == 3) {
      // Blue (marked), green, red, then the same again: bytes t .. t+5.
      uint32_t px =
          x + 1 < W ? Load32(p) : uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
      px = (px & 0xFFFFFFu) | 1u;
      Store32(t, px | (px << 24));
      Store16(t + 4, static_cast<uint16_t>(px >> 8));
    } else {
      t[0] = t[3] = p[0] | 1;
    }
  }
}

// The holes of one frame, found line by line, then ordered by column
// (rightmost first) for the fill. A hole's fill reads only pixels right of its
// column, so within a column any order gives the same bytes; the counting
// sort keeps the lines of a column in increasing order, which reads memory
// forward and lets the holes of one column proceed independently.
struct HoleLists {
  struct Hole {
    int32_t x, y;
  };
  std::vector<Hole> found;
  std::vector<int32_t> perColumn;  // holes per column, then where each column starts
  std::vector<int32_t> lines;      // lines of the holes, column by column

  void Start(int64_t w) {
    found.clear();
    perColumn.assign(static_cast<size_t>(w) + 1, 0);
  }
  void Add(int64_t x, int64_t y) {
    found.push_back({static_cast<int32_t>(x), static_cast<int32_t>(y)});
    ++perColumn[static_cast<size_t>(x)];
  }
  // Orders the holes of columns first..last: afterwards the lines of column x
  // are lines[Begin(x) .. End(x)).
  void Order(int64_t first, int64_t last) {
    int32_t next = 0;
    for (int64_t x = last; x >= first; --x) {
      const int32_t count = perColumn[static_cast<size_t>(x)];
      perColumn[static_cast<size_t>(x)] = next;
      next += count;
    }
    lines.resize(found.size());
    for (const Hole& h : found)
      lines[static_cast<size_t>(perColumn[static_cast<size_t>(h.x)]++)] = h.y;
    // perColumn[x] is now where column x ends, which is where column x - 1
    // begins.
  }
  size_t End(int64_t x) const { return static_cast<size_t>(perColumn[static_cast<size_t>(x)]); }
  size_t Begin(int64_t x, int64_t last) const {
    return x == last ? 0 : static_cast<size_t>(perColumn[static_cast<size_t>(x + 1)]);
  }
};

// Kept between calls of one thread so a frame's lists reuse the memory of the
// frame before instead of allocating (and faulting in) megabytes per frame.
HoleLists& ScratchHoleLists() {
  thread_local HoleLists lists;
  return lists;
}

// Records the holes (first byte zero) among pixels first..last of line y.
void FindHoles(const uint8_t* o, int64_t y, int64_t first, int64_t last, HoleLists& holes) {
  int64_t x = first;
#if defined(__SSE2__)
  // Sixteen pixels (48 bytes) at a time: a bit for every zero byte, of which
  // every third one is a pixel's first byte.
  constexpr uint64_t kFirstBytes = 0x249249249249ull;  // bits 0, 3, ..., 45
  const __m128i zero = _mm_setzero_si128();
  for (; x + 15 <= last; x += 16) {
    const uint8_t* p = o + 3 * x;
    const auto zeros = [&](int at) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
      return static_cast<uint64_t>(
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))));
    };
    uint64_t mask = (zeros(0) | zeros(16) << 16 | zeros(32) << 32) & kFirstBytes;
    while (mask != 0) {
      holes.Add(x + std::countr_zero(mask) / 3, y);
      mask &= mask - 1;
    }
  }
#endif
  for (; x <= last; ++x) {
    // Four pixels at a time while none of them is a hole.
    if (x + 3 <= last && !HasZeroByte(FirstBytesOf4(o + 3 * x))) {
      x += 3;
      continue;
    }
    if (o[3 * x] != 0) continue;
    holes.Add(x, y);
  }
}

// Fills with radius 1: the rounded average of the pixel to the right on the
// hole's line and the lines above and below (a divisor of 3 has no ties).
template <int Channels>
void FillRadiusOne(uint8_t* out, int64_t stride, const HoleLists& holes, int64_t firstCol,
                   int64_t lastCol) {
  uint8_t quotient[3 * 255 + 1];
  for (int s = 0; s <= 3 * 255; ++s) quotient[s] = static_cast<uint8_t>((s + 1) / 3);
  for (int64_t x = lastCol; x >= firstCol; --x) {
    const size_t end = holes.End(x);
    for (size_t i = holes.Begin(x, lastCol); i < end; ++i) {
      uint8_t* p = out + holes.lines[i] * stride + 3 * x;
      const uint8_t* r = p + 3;
      for (int c = 0; c < Channels; ++c) p[c] = quotient[r[c - stride] + r[c] + r[c + stride]];
    }
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

}  // namespace

void Make3DFast(uint8_t* out, const uint8_t* src, uint8_t* dmap, int32_t w, int32_t h, float gain,
                int32_t offset, int32_t radius, PixelBytes bytes) {
  Frame f;
  if (!DescribeFrame(out, src, dmap, w, h, bytes, f)) return;
  int64_t table[256];
  BuildShiftTable(gain, offset, table);

  // Hole columns 1..W-6 on lines 1..H-2 are found while each line is still in
  // cache after its shift, then chained by column for the right-to-left fill.
  const bool fill = radius >= 1 && f.w >= 7 && f.h >= 3;
  const int64_t firstCol = 1;
  const int64_t lastCol = f.w - 6;
  HoleLists& holes = ScratchHoleLists();
  if (fill) holes.Start(f.w);

  for (int64_t y = 0; y < f.h; ++y) {
    uint8_t* o = out + y * f.stride;
    uint8_t* dm = dmap + y * f.dmapStride;
    if (f.channels == 3) {
      ShiftLine<3>(o, src + y * f.stride, dm, f.w, table);
    } else {
      ShiftLine<1>(o, src + y * f.stride, dm, f.w, table);
    }
    if (fill && y >= 1 && y <= f.h - 2) FindHoles(o, y, firstCol, lastCol, holes);
  }
  if (!fill || holes.found.empty()) return;
  holes.Order(firstCol, lastCol);

  // Columns right to left.
  if (radius == 1) {
    if (f.channels == 3) {
      FillRadiusOne<3>(out, f.stride, holes, firstCol, lastCol);
    } else {
      FillRadiusOne<1>(out, f.stride, holes, firstCol, lastCol);
    }
    return;
  }
  HoleFiller filler(out, f, radius);
  for (int64_t x = lastCol; x >= firstCol; --x) {
    const size_t end = holes.End(x);
    for (size_t i = holes.Begin(x, lastCol); i < end; ++i) filler.Fill(x, holes.lines[i]);
  }
}

}  // namespace dioptrix::blocks
