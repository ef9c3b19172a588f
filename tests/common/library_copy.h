// A private copy of one of the program's shared libraries in a fresh
// temporary folder. Binding to the copy (BlocksLibrary(host, copy.Dir()))
// loads a separate instance with its own state, so tests of a library that
// keeps state between calls start from a clean one.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/library.h"

namespace dioptrix::test {

// Copies ExecutableDir()/fileName into a new temporary folder and returns the
// folder, or an empty string when the copy fails.
inline std::string CopyLibraryToFreshDir(const std::string& fileName = "libblocks.so") {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "dioptrix-lib-XXXXXX").string();
  if (ec || mkdtemp(pattern.data()) == nullptr) return {};
  fs::copy_file(fs::path(ExecutableDir()) / fileName, fs::path(pattern) / fileName, ec);
  if (ec) {
    fs::remove_all(pattern, ec);
    return {};
  }
  return pattern;
}

// The copy's folder for the lifetime of this object; removed afterwards (a
// library still loaded from it stays usable: its file stays mapped).
class LibraryCopy {
 public:
  explicit LibraryCopy(const std::string& fileName = "libblocks.so")
      : dir_(CopyLibraryToFreshDir(fileName)) {}
  ~LibraryCopy() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  LibraryCopy(const LibraryCopy&) = delete;
  LibraryCopy& operator=(const LibraryCopy&) = delete;

  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace dioptrix::test
