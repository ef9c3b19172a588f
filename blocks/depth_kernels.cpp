#include "blocks/depth_kernels.h"

#include <cstdlib>
#include <cstring>

namespace dioptrix::blocks::depth_kernels {

namespace plain {

uint32_t GreyBlockCost(const uint8_t* a, const uint8_t* b, size_t stride) {
  uint32_t sum = 0;
  for (size_t j = 0; j < 4; ++j) {
    for (size_t i = 0; i < 8; ++i) {
      sum += static_cast<uint32_t>(std::abs(a[j * stride + i] - b[j * stride + i]));
    }
  }
  return sum;
}

void SearchBand(const GreyBand& band, int64_t first, int64_t end, Match* matches) {
  const int64_t w = band.width;
  for (int64_t col = first; col < end; ++col) {
    const int64_t bx = col * band.block;
    const uint8_t* a = band.now + band.y * w + bx;
    matches[col] = GreySearch(
        bx, band.y, w - band.block, band.height - band.block, band.worst,
        [&](int64_t cx, int64_t cy) {
          return int64_t{GreyBlockCost(a, band.before + cy * w + cx, static_cast<size_t>(w))};
        });
  }
}

void CopyBlue(const uint8_t* src, uint8_t* dst, int64_t n) {
  for (int64_t x = 0; x < n; ++x) dst[x] = src[3 * x];
}

void HalveLines(const uint8_t* a, const uint8_t* b, uint8_t* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* p = a + 6 * i;
    const uint8_t* q = b + 6 * i;
    const uint32_t sum = p[0] + 2u * p[1] + p[2] + p[3] + 2u * p[4] + p[5] + q[0] + 2u * q[1] +
                         q[2] + q[3] + 2u * q[4] + q[5];
    out[i] = static_cast<uint8_t>((sum + 8) >> 4);
  }
}

uint32_t BlockCost8(const uint8_t* a, const uint8_t* b, size_t stride) {
  return GreyBlockCost(a, b, stride) + GreyBlockCost(a + 4 * stride, b + 4 * stride, stride);
}

void DoubleLine(const uint8_t* depth, uint8_t* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) std::memset(out + 6 * i, depth[i], 6);
}

void ExpandRow(const uint8_t* src, uint8_t* dst, int64_t n, bool blend, uint8_t add) {
  for (int64_t p = 0; p < n; ++p) {
    const uint8_t v = blend ? static_cast<uint8_t>(ThreeQuarters(src[p]) + add) : src[p];
    dst[3 * p] = v;
    dst[3 * p + 1] = v;
    dst[3 * p + 2] = v;
  }
}

void CarryBand(const CarriedBand& band, bool blend) {
  for (int64_t j = 0; j < band.block; ++j) {
    uint8_t* line = band.picture + j * band.stride;
    for (int64_t col = 0; col < band.columns; ++col) {
      const Match& m = band.matches[col];
      ExpandRow(band.map + (m.y + j) * band.mapStride + m.x, line + 3 * band.block * col,
                band.block, blend, static_cast<uint8_t>(Quarter(band.depths[col])));
    }
  }
}

uint32_t ColourBlockCost(const uint8_t* a, const uint8_t* b, size_t stride) {
  uint32_t sum = 0;
  for (size_t j = 0; j < 8; ++j) {
    for (size_t i = 0; i < 24; ++i) {
      sum += static_cast<uint32_t>(std::abs(a[j * stride + i] - b[j * stride + i]));
    }
  }
  return sum;
}

Match SearchColourBlock(const ColourFrames& frames, int64_t bx, int64_t by) {
  const uint8_t* block = frames.cur + by * frames.stride + bx;
  const auto stride = static_cast<size_t>(frames.stride);
  return ColourSearch(bx, by, frames.lineBytes, frames.lines, [&](int64_t cx, int64_t cy) {
    return int64_t{ColourBlockCost(block, frames.prev + cy * frames.stride + cx, stride)};
  });
}

}  // namespace plain

namespace {

const GreySearchKernels kGreySearchPlain = {CpuLevel::Plain, plain::GreyBlockCost,
                                            plain::SearchBand};
const BlueCopyKernels kBlueCopyPlain = {CpuLevel::Plain, plain::CopyBlue};
const HalfSizeKernels kHalfSizePlain = {CpuLevel::Plain, plain::HalveLines, plain::DoubleLine,
                                        plain::BlockCost8};
const DepthWriteKernels kDepthWritePlain = {CpuLevel::Plain, plain::CarryBand, plain::ExpandRow};
const ColourCostKernels kColourCostPlain = {CpuLevel::Plain, plain::ColourBlockCost,
                                            plain::SearchColourBlock};

#ifdef DIOPTRIX_X86_KERNELS
const GreySearchKernels kGreySearchSsse3 = {CpuLevel::Ssse3, ssse3::GreyBlockCost,
                                            ssse3::SearchBand};
const GreySearchKernels kGreySearchAvx2 = {CpuLevel::Avx2, ssse3::GreyBlockCost, avx2::SearchBand};
const BlueCopyKernels kBlueCopySsse3 = {CpuLevel::Ssse3, ssse3::CopyBlue};
const BlueCopyKernels kBlueCopyAvx2 = {CpuLevel::Avx2, avx2::CopyBlue};
const HalfSizeKernels kHalfSizeSsse3 = {CpuLevel::Ssse3, ssse3::HalveLines, ssse3::DoubleLine,
                                        ssse3::BlockCost8};
const DepthWriteKernels kDepthWriteSsse3 = {CpuLevel::Ssse3, ssse3::CarryBand, ssse3::ExpandRow};
const DepthWriteKernels kDepthWriteAvx2 = {CpuLevel::Avx2, avx2::CarryBand, ssse3::ExpandRow};
const ColourCostKernels kColourCostSsse3 = {CpuLevel::Ssse3, ssse3::ColourBlockCost,
                                            ssse3::SearchColourBlock};
#endif

}  // namespace

const GreySearchKernels& GreySearchKernelsFor(CpuLevel level) {
  switch (CpuLevelAtMost(level)) {
#ifdef DIOPTRIX_X86_KERNELS
    case CpuLevel::Avx512:
    case CpuLevel::Avx2:
      return kGreySearchAvx2;
    case CpuLevel::Ssse3:
      return kGreySearchSsse3;
#endif
    default:
      return kGreySearchPlain;
  }
}

const BlueCopyKernels& BlueCopyKernelsFor(CpuLevel level) {
  switch (CpuLevelAtMost(level)) {
#ifdef DIOPTRIX_X86_KERNELS
    case CpuLevel::Avx512:
    case CpuLevel::Avx2:
      return kBlueCopyAvx2;
    case CpuLevel::Ssse3:
      return kBlueCopySsse3;
#endif
    default:
      return kBlueCopyPlain;
  }
}

const HalfSizeKernels& HalfSizeKernelsFor(CpuLevel level) {
  switch (CpuLevelAtMost(level)) {
#ifdef DIOPTRIX_X86_KERNELS
    case CpuLevel::Avx512:
    case CpuLevel::Avx2:
    case CpuLevel::Ssse3:
      return kHalfSizeSsse3;
#endif
    default:
      return kHalfSizePlain;
  }
}

const DepthWriteKernels& DepthWriteKernelsFor(CpuLevel level) {
  switch (CpuLevelAtMost(level)) {
#ifdef DIOPTRIX_X86_KERNELS
    case CpuLevel::Avx512:
    case CpuLevel::Avx2:
      return kDepthWriteAvx2;
    case CpuLevel::Ssse3:
      return kDepthWriteSsse3;
#endif
    default:
      return kDepthWritePlain;
  }
}

const ColourCostKernels& ColourCostKernelsFor(CpuLevel level) {
  switch (CpuLevelAtMost(level)) {
#ifdef DIOPTRIX_X86_KERNELS
    case CpuLevel::Avx512:
    case CpuLevel::Avx2:
    case CpuLevel::Ssse3:
      return kColourCostSsse3;
#endif
    default:
      return kColourCostPlain;
  }
}

}  // namespace dioptrix::blocks::depth_kernels
