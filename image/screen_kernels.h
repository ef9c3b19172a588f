// The inner kernels of image/screen_blit.h, one namespace per processor
// level, and the per-call column plans they work from.
//
// The plain versions read like the algorithm; the vector versions give the
// same bytes faster. A kernel never reads or writes outside the bytes its
// arguments describe, whatever the lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/cpu.h"

namespace dioptrix::screen_kernels {

// The columns of one row of a nearest stretch, prepared once per stretch:
// destination pixel k takes the source pixel at byte offsets[k] of the source
// row. Every row of the stretch reads the same offsets.
struct NearestColumns {
  std::vector<uint32_t> offsets;
  // Bytes that may be read from the start of a source row (its scan line
  // length); every offset lies at most readable - 3.
  int64_t readable = 0;
  // Destination pixels 4b .. 4b + 3 in one 16-byte shuffle: byte i of the
  // four 32-bit pixels is source byte base + shuffle[i] (0x80: zero, then the
  // fourth byte is set). A block whose pixels lie more than 16 bytes apart, or
  // too near a short row's end, has shuffle[0] == kNoShuffle and moves pixel
  // by pixel.
  struct Block {
    uint32_t base;
    uint8_t shuffle[16];
  };
  static constexpr uint8_t kNoShuffle = 0xFF;
  std::vector<Block> blocks;  // one per whole group of four pixels
};

// Plans the columns of a nearest stretch (offsets at most readable - 3).
NearestColumns MakeNearestColumns(std::vector<uint32_t> offsets, int64_t readable);

// The columns of one row of an area average, prepared once per stretch.
// Destination pixel k averages counts[k] source columns over the rows of its
// row span; the sums of its first column start at sums[starts[k]] (blue,
// green, red; 3 values a column).
struct AreaColumns {
  std::vector<uint32_t> starts;
  std::vector<uint32_t> counts;
  std::vector<uint32_t> classes;  // index of counts[k] in widths
  std::vector<uint32_t> widths;   // the distinct counts, smallest first
  // Source columns the sums cover: a sums array holds 3 * summedColumns
  // values (one per byte), then spares that kernels may read but never write
  // (they read up to the widest span's width past a span), sumsSize in all.
  int32_t summedColumns = 0;
  size_t sumsSize = 0;
};

// Plans the columns of an area average; spans are [first, last) pairs of
// source columns counted from the first one summed, never empty, with firsts
// and lasts never decreasing.
AreaColumns MakeAreaColumns(const std::vector<uint32_t>& firsts,
                            const std::vector<uint32_t>& lasts);

// Most rows a column sum may add: 255 times this still fits in 32 bits.
constexpr int64_t kMaxSummedRows = UINT32_MAX / 255;

namespace plain {
void ExpandRow(const uint8_t* src, uint8_t* dst, int32_t n);
void NearestRow(const uint8_t* srcRow, const NearestColumns& columns, uint8_t* dst);
void SumRows(const uint8_t* first, int64_t stride, int32_t rows, int32_t bytes, uint32_t* sums);
void AverageRow(const uint32_t* sums, const AreaColumns& columns, uint32_t rows, uint8_t* dst);
}  // namespace plain

#ifdef DIOPTRIX_X86_KERNELS
namespace ssse3 {
void ExpandRow(const uint8_t* src, uint8_t* dst, int32_t n);
void NearestRow(const uint8_t* srcRow, const NearestColumns& columns, uint8_t* dst);
void SumRows(const uint8_t* first, int64_t stride, int32_t rows, int32_t bytes, uint32_t* sums);
void AverageRow(const uint32_t* sums, const AreaColumns& columns, uint32_t rows, uint8_t* dst);
}  // namespace ssse3
namespace avx2 {
void ExpandRow(const uint8_t* src, uint8_t* dst, int32_t n);
void SumRows(const uint8_t* first, int64_t stride, int32_t rows, int32_t bytes, uint32_t* sums);
void AverageRow(const uint32_t* sums, const AreaColumns& columns, uint32_t rows, uint8_t* dst);
}  // namespace avx2
#endif

}  // namespace dioptrix::screen_kernels
