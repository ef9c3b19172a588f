// The program's 16-bit booleans (fields of the playback request, the stop
// flag, the display flags): true is -1, all bits set, and false is 0. Tests of
// such a flag compare with kFalse, so any other value counts as true.
#pragma once

#include <cstdint>

namespace dioptrix {

inline constexpr int16_t kTrue = -1;
inline constexpr int16_t kFalse = 0;

}  // namespace dioptrix
