#include "platform/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "platform/error.h"

namespace dioptrix {

std::string ExecutableDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return ".";
  std::string dir(path, static_cast<size_t>(n));
  auto slash = dir.rfind('/');
  return slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
}

LibraryBinding::LibraryBinding(std::string name, std::string searchDir)
    : fileName_("lib" + name + ".so"), searchDir_(std::move(searchDir)) {}

LibraryBinding::~LibraryBinding() {
  if (handle_) dlclose(handle_);
}

void LibraryBinding::Load() {
  const std::string dir = searchDir_.empty() ? ExecutableDir() : searchDir_;
  handle_ = dlopen((dir + "/" + fileName_).c_str(), RTLD_NOW | RTLD_LOCAL);
#ifdef DIOPTRIX_INSTALLED_LIBDIR
  // Installed: the libraries have a folder of their own beside bin/. Looked
  // up here by path, since a sanitizer's dlopen does not search the
  // program's run path.
  if (!handle_ && searchDir_.empty()) {
    const std::string installed = dir + "/../" DIOPTRIX_INSTALLED_LIBDIR "/" + fileName_;
    handle_ = dlopen(installed.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
#endif
  if (!handle_) handle_ = dlopen(fileName_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    throw RuntimeError(kErrFileNotFound, fileName_,
                       ErrorDescription(kErrFileNotFound) + ": " + fileName_);
  }
}

void* LibraryBinding::Symbol(const char* exportName) {
  std::lock_guard lock(mutex_);
  if (!handle_) Load();
  void* address = dlsym(handle_, exportName);
  if (!address) {
    throw RuntimeError(kErrEntryPointNotFound, fileName_,
                       "Can't find entry point " + std::string(exportName) + " in " + fileName_);
  }
  return address;
}

}  // namespace dioptrix
