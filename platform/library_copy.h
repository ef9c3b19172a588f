// A private copy of one of the program's shared libraries in a fresh
// temporary folder. The blocks library keeps its kernels' state for the life
// of the process; binding to a copy (BlocksLibrary(host, copy.Dir())) loads
// a separate instance with its own state, so a run that must start from a
// clean one (a test, a quality measurement) binds to a copy of its own.
#pragma once

#include <string>

namespace dioptrix {

class LibraryCopy {
 public:
  // Copies fromDir/fileName into a new temporary folder; Dir() is empty when
  // the copy cannot be made.
  LibraryCopy(const std::string& fromDir, const std::string& fileName);
  // Removes the folder (a library still loaded from it stays usable: its
  // file stays mapped).
  ~LibraryCopy();
  LibraryCopy(const LibraryCopy&) = delete;
  LibraryCopy& operator=(const LibraryCopy&) = delete;

  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace dioptrix
