#include "blocks/depthmap.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "blocks/depth_kernels.h"

namespace dioptrix::blocks {

using depth_kernels::ColourSearch;
using depth_kernels::GreySearch;
using depth_kernels::kColourBlock;
using depth_kernels::kColourBlockBytes;
using depth_kernels::kGreyBlock;
using depth_kernels::kNearMatch;
using depth_kernels::Match;
using depth_kernels::Offset;
using depth_kernels::Quarter;

namespace {

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

// The kernel versions of one processor level, one table per kernel.
struct LevelKernels {
  const depth_kernels::GreySearchKernels& search;
  const depth_kernels::BlueCopyKernels& blue;
  const depth_kernels::DepthWriteKernels& write;
  const depth_kernels::ColourCostKernels& colour;
};

LevelKernels KernelsOf(CpuLevel level) {
  return {depth_kernels::GreySearchKernelsFor(level), depth_kernels::BlueCopyKernelsFor(level),
          depth_kernels::DepthWriteKernelsFor(level), depth_kernels::ColourCostKernelsFor(level)};
}

// This processor's best kernels, looked up once.
const LevelKernels& Best() {
  static const LevelKernels best = KernelsOf(BestCpuLevel());
  return best;
}

// The blue bytes of picture lines first..end-1 into the grey frame.
void CopyBlueLines(const depth_kernels::BlueCopyKernels& blue, const uint8_t* cur, int64_t stride,
                   int32_t w, int64_t first, int64_t end, uint8_t* grey) {
  for (int64_t y = first; y < end; ++y) blue.copyBlue(cur + y * stride, grey + y * w, w);
}

void ColourDepthMapWith(const LevelKernels& kernels, ColourDepthState& state, uint8_t* cur,
                        const uint8_t* prev, double* cost, int32_t mode, const uint8_t* dmap,
                        int32_t w, int32_t h, double* pan) {
  if (!cur || !prev || !FrameSizeUsable(w, h)) return;
  const int64_t stride = PictureStride(w);
  const int64_t lineBytes = 3 * int64_t{w};
  const int64_t mapStride = int64_t{w} + 1;
  const int32_t gain = state.ring.gain;
  const bool writes = WritesBlocks(mode, dmap);
  const auto searchBlock = kernels.colour.searchBlock;
  const auto expandRow = kernels.write.expandRow;
  int64_t total = 0;
  MotionSums sums;

  // Blocks go column by column as in the reference: when cur and prev share
  // memory, a written block is what later blocks compare against.
  const int64_t lastX = kColourBlockBytes * (w / kColourBlock - 1);
  const int64_t lastY = kColourBlock * (h / kColourBlock - 1);
  for (int64_t bx = 0; bx <= lastX; bx += kColourBlockBytes) {
    for (int64_t by = 0; by <= lastY; by += kColourBlock) {
      uint8_t* block = cur + by * stride + bx;
      const Match m = searchBlock({cur, prev, stride, lineBytes, h}, bx, by);
      total += m.cost;
      const int64_t mx = m.x - bx;
      const int64_t my = m.y - by;
      const int64_t dist = Distance(mx, my);
      sums.Add(mx, my, dist);
      const uint8_t depth = DepthValue(dist, gain);
      if (!writes) continue;
      // Positions move in whole pixels from a pixel start, so the block's
      // depth-map pixels start at m.x / 3.
      const auto add = static_cast<uint8_t>(Quarter(depth));
      for (int64_t j = 0; j < kColourBlock; ++j) {
        uint8_t* line = block + j * stride;
        if (mode == 0) {
          std::memset(line, depth, kColourBlockBytes);
        } else {
          expandRow(dmap + (m.y + j) * mapStride + m.x / 3, line, kColourBlock, mode == 1, add);
        }
      }
    }
  }
  if (cost) *cost = static_cast<double>(total);
  FinishFrame(state.ring, sums, w, h, pan);
}

// round(sqrt(n)) of an integer n: the integer root k, plus one when n lies
// above k * k + k (sqrt(n) is never halfway between integers).
constexpr int64_t RoundedRoot(int64_t n) {
  int64_t k = 0;
  while ((k + 1) * (k + 1) <= n) ++k;
  return n - k * k > k ? k + 1 : k;
}

// Distance of the moves up to 15 pixels and lines each way.
struct DistanceTable {
  uint8_t value[16][16];
  constexpr DistanceTable() : value() {
    for (int64_t x = 0; x < 16; ++x)
      for (int64_t y = 0; y < 16; ++y)
        value[x][y] = static_cast<uint8_t>(RoundedRoot(x * x + y * y));
  }
};
constexpr DistanceTable kDistances;
static_assert(kDistances.value[1][1] == 1 && kDistances.value[3][1] == 3 &&
              kDistances.value[1][2] == 2 && kDistances.value[15][15] == 21);

// Distance without a library call: short moves from the table, others from
// the truncated root, rounded up when n lies above k * k + k. Exact where the
// squares and their sum stay below 2^53, as in Distance; larger moves take
// Distance itself.
int64_t FastDistance(int64_t mx, int64_t my) {
  const int64_t ax = mx < 0 ? -mx : mx;
  const int64_t ay = my < 0 ? -my : my;
  if (ax < 16 && ay < 16) return kDistances.value[ax][ay];
  constexpr int64_t kExact = int64_t{1} << 24;
  if (ax >= kExact || ay >= kExact) return Distance(mx, my);
  const int64_t n = ax * ax + ay * ay;
  const auto k = static_cast<int64_t>(std::sqrt(static_cast<double>(n)));
  return n - k * k > k ? k + 1 : k;
}

// The halved total of the previous cost and the block costs (whole numbers,
// at least 0), as the reference makes it: added one by one in order, each
// addition rounded. Most additions are exact: while the total is a whole
// number below 2^52, or stays within one binade (the values with one
// exponent, all multiples of one step of at most 1), a whole-number sum
// lands on a double. Runs of costs that keep the total so are added as one
// integer sum; a cost that leaves the range is added on its own, rounded.
double HalvedTotal(double start, const std::vector<int64_t>& costs) {
  constexpr double kWhole = 4503599627370496.0;  // 2^52
  double total = start;
  const size_t n = costs.size();
  size_t i = 0;
  while (i < n && total >= 0 && total < kWhole) {
    int64_t room;  // the largest sum that keeps the total exact
    if (std::nearbyint(total) == total) {
      room = static_cast<int64_t>(kWhole - total) - 1;
    } else {
      int exponent = 0;
      std::frexp(total, &exponent);  // total lies in [2^(exponent - 1), 2^exponent)
      room = static_cast<int64_t>(std::ceil(std::ldexp(1.0, exponent) - total)) - 1;
    }
    int64_t sum = 0;
    while (i < n && costs[i] <= room - sum) sum += costs[i++];
    total += static_cast<double>(sum);
    if (i < n) total += static_cast<double>(costs[i++]);
  }
  for (; i < n; ++i) total += static_cast<double>(costs[i]);
  return total / 2;
}

// Columns of blocks searched between two rounds of prefetching.
constexpr int64_t kChunkColumns = 32;

bool GreyDepthMapWith(const LevelKernels& kernels, GreyDepthState& state, uint8_t* cur,
                      double* cost, int32_t mode, const uint8_t* dmap, int32_t w, int32_t h,
                      double* pan, int32_t scale) {
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
    lineScratch.resize(static_cast<size_t>(2 * block * columns));
  } catch (const std::exception&) {
    return false;
  }
  if (!PrepareGreyBuffers(state, w, h)) return false;
  const int64_t stride = PictureStride(w);
  const int64_t mapStride = int64_t{w} + 1;

  const int32_t previous = state.latest == 1 ? 1 : 0;
  const int32_t fresh = 1 - previous;
  uint8_t* now = state.grey[fresh].data();
  const uint8_t* before = state.grey[previous].data();
  state.latest = fresh;

  const int32_t gain = state.ring.gain;
  const bool writes = WritesBlocks(mode, dmap);
  const bool mapped = writes && mode != 0;
  const depth_kernels::GreyBand bandTemplate{
      now, before, w, h, 0, block, GreyWorstCost(block), mapped ? dmap : nullptr, mapStride};
  MotionSums sums;

  // Band by band, and within a band chunk by chunk: a chunk's searches (the
  // vector ones ask ahead for the previous frame's and the map's lines around
  // the band), its blocks' statistics, then the writing of the previous
  // chunk's blocks, whose map lines have had time to arrive. After a band,
  // the next band's lines are copied into the grey frame, whole lines in
  // order, which the processor's own prefetching follows best (a search
  // reads only its own band's lines of the new frame).
  if (rows > 0) CopyBlueLines(kernels.blue, cur, stride, w, 0, block, now);
  int64_t dist = 0, absMx = 0, absMy = 0, signMx = 0;
  for (int64_t row = 0; row < rows; ++row) {
    const int64_t by = row * block;
    depth_kernels::GreyBand band = bandTemplate;
    band.y = by;
    uint8_t* bandPicture = cur + by * stride;
    auto writeBlocks = [&](int64_t first, int64_t end) {
      if (!writes || first >= end) return;
      uint8_t* at = bandPicture + 3 * first * block;
      if (mode == 0) {
        for (int64_t col = first; col < end; ++col) {
          std::memset(at + 3 * block * (col - first), rowDepth[static_cast<size_t>(col)],
                      static_cast<size_t>(3 * block));
        }
        const auto bytes = static_cast<size_t>(3 * block * (end - first));
        for (int64_t j = 1; j < block; ++j) std::memcpy(at + j * stride, at, bytes);
        return;
      }
      kernels.write.carryBand({at, stride, dmap, mapStride, rowMatch.data() + first,
                               rowDepth.data() + first, end - first, block, lineScratch.data()},
                              mode == 1);
    };
    int64_t written = 0;  // columns before this one are written
    // Chunks start one column in, where the vector searches start their
    // groups (the first column's pattern crosses the frame's left edge).
    for (int64_t col = 0, end = 0; col < columns; col = end) {
      end = std::min((col == 0 ? 1 : col) + kChunkColumns, columns);
      kernels.search.searchBand(band, col, end, rowMatch.data());
      for (int64_t c = col; c < end; ++c) {
        const Match& m = rowMatch[static_cast<size_t>(c)];
        blockCost[static_cast<size_t>(c * rows + row)] = scale * m.cost;
        const int64_t mx = m.x - c * block;
        const int64_t my = m.y - by;
        const int64_t d = FastDistance(mx, my);
        dist += scale * d;
        absMx += mx < 0 ? -mx : mx;
        absMy += my < 0 ? -my : my;
        signMx += (mx > 0) - (mx < 0);
        rowDepth[static_cast<size_t>(c)] = DepthValue(d, gain);
      }
      // Whole groups of four blocks (the vector writers' unit) up to the
      // columns searched before this chunk: the searches asked for their map
      // lines a while ago.
      const int64_t ready = col & ~int64_t{3};
      writeBlocks(written, ready);
      written = std::max(written, ready);
    }
    writeBlocks(written, columns);
    if (row + 1 < rows)
      CopyBlueLines(kernels.blue, cur, stride, w, by + block, by + 2 * block, now);
  }
  sums.dist = dist;
  sums.absMx = absMx;
  sums.absMy = absMy;
  sums.signMx = signMx;

  CopyBlueLines(kernels.blue, cur, stride, w, rows * block, h, now);  // below the last band

  // The total cost adds the blocks in the reference's column order, so that
  // the carried half of the previous total rounds the same way.
  if (cost) *cost = HalvedTotal(*cost, blockCost);
  FinishFrame(state.ring, sums, w, h, pan);
  return !IsValidMode(mode) && columns > 0 && rows > 0;
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
  return depth_kernels::plain::GreyBlockCost(a, b, stride);
}

uint32_t GreyBlockCost(const uint8_t* a, const uint8_t* b, size_t stride) {
  return Best().search.blockCost(a, b, stride);
}

uint32_t ColourBlockCostReference(const uint8_t* a, const uint8_t* b, size_t stride) {
  return depth_kernels::plain::ColourBlockCost(a, b, stride);
}

uint32_t ColourBlockCost(const uint8_t* a, const uint8_t* b, size_t stride) {
  return Best().colour.blockCost(a, b, stride);
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
  ColourDepthMapWith(Best(), state, cur, prev, cost, mode, dmap, w, h, pan);
}

void ColourDepthMap(ColourDepthState& state, uint8_t* cur, const uint8_t* prev, double* cost,
                    int32_t mode, const uint8_t* dmap, int32_t w, int32_t h, double* pan,
                    CpuLevel level) {
  ColourDepthMapWith(KernelsOf(level), state, cur, prev, cost, mode, dmap, w, h, pan);
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
  return GreyDepthMapWith(Best(), state, cur, cost, mode, dmap, w, h, pan, scale);
}

bool GreyDepthMap(GreyDepthState& state, uint8_t* cur, double* cost, int32_t mode,
                  const uint8_t* dmap, int32_t w, int32_t h, double* pan, int32_t scale,
                  CpuLevel level) {
  return GreyDepthMapWith(KernelsOf(level), state, cur, cost, mode, dmap, w, h, pan, scale);
}

}  // namespace dioptrix::blocks
