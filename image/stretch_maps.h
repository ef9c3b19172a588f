// The source coordinates a stretch reads for each destination pixel, along
// one axis: shared by StretchBlt and the screen stretch so that both pick and
// average exactly the same source pixels.
#pragma once

#include <cstdint>
#include <vector>

namespace dioptrix::stretch_maps {

// For each destination offset i in [i0, i1) of a rectangle dn wide, the source
// offset under the centre of destination pixel i, or -1 when it falls outside
// [0, limit). Entry k stands for offset i0 + k. The offsets never decrease
// along i, so the entries inside [0, limit) form one run.
std::vector<int32_t> NearestMap(int64_t i0, int64_t i1, int32_t dn, int32_t s0, int32_t sn,
                                int32_t limit);

// For each destination offset in [i0, i1), the source span [first, last) it
// covers, clipped to [0, limit); empty ({0, 0}) when nothing of it lies
// inside. Both ends never decrease along i, so the non-empty spans form one
// run.
struct Span {
  int32_t first, last;
};
std::vector<Span> AreaMap(int64_t i0, int64_t i1, int32_t dn, int32_t s0, int32_t sn,
                          int32_t limit);

}  // namespace dioptrix::stretch_maps
