// Binding to a shared library by name, made at the first call of one of its
// exports. The library is looked for beside the running executable first, then
// on the usual search path. A library or export that cannot be found raises a
// RuntimeError; the routine that made the call reports it with its own message.
#pragma once

#include <mutex>
#include <string>

namespace dioptrix {

class LibraryBinding {
 public:
  // name: the library's short name, "blocks" for libblocks.so. searchDir, when
  // not empty, replaces the executable's folder as the first place to look.
  explicit LibraryBinding(std::string name, std::string searchDir = {});
  ~LibraryBinding();
  LibraryBinding(const LibraryBinding&) = delete;
  LibraryBinding& operator=(const LibraryBinding&) = delete;

  // The address of an export; loads the library on first use. Raises
  // kErrFileNotFound when the library cannot be loaded and
  // kErrEntryPointNotFound when it lacks the export.
  void* Symbol(const char* exportName);

  // Typed form of Symbol for a function export.
  template <class Fn>
  Fn* Function(const char* exportName) {
    return reinterpret_cast<Fn*>(Symbol(exportName));
  }

  const std::string& FileName() const { return fileName_; }
  bool Loaded() const { return handle_ != nullptr; }

 private:
  void Load();

  std::string fileName_;
  std::string searchDir_;
  void* handle_ = nullptr;
  std::mutex mutex_;
};

// Folder of the running executable, without a trailing slash.
std::string ExecutableDir();

}  // namespace dioptrix
