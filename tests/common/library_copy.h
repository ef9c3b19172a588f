// A private copy of one of the program's shared libraries, taken from beside
// the test program (platform/library_copy.h): tests of a library that keeps
// state between calls start from a clean one.
#pragma once

#include <string>

#include "platform/library.h"
#include "platform/library_copy.h"

namespace dioptrix::test {

class LibraryCopy : public dioptrix::LibraryCopy {
 public:
  explicit LibraryCopy(const std::string& fileName = "libblocks.so")
      : dioptrix::LibraryCopy(ExecutableDir(), fileName) {}
};

}  // namespace dioptrix::test
