#include "platform/library_copy.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace dioptrix {

LibraryCopy::LibraryCopy(const std::string& fromDir, const std::string& fileName) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::string folder = (fs::temp_directory_path(ec) / "dioptrix-lib-XXXXXX").string();
  if (ec || mkdtemp(folder.data()) == nullptr) return;
  fs::copy_file(fs::path(fromDir) / fileName, fs::path(folder) / fileName, ec);
  if (ec) {
    fs::remove_all(folder, ec);
    return;
  }
  dir_ = folder;
}

LibraryCopy::~LibraryCopy() {
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

}  // namespace dioptrix
