#include "platform/library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/libraries.h"
#include "tests/common/library_copy.h"

#if defined(__SANITIZE_ADDRESS__)
#define DIOPTRIX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define DIOPTRIX_SANITIZED 1
#endif
#endif
#ifndef DIOPTRIX_SANITIZED
#define DIOPTRIX_SANITIZED 0
#endif

namespace dioptrix {
namespace {

// The file a loaded symbol comes from, as the loader names it.
std::string FileOf(void* symbol) {
  Dl_info info{};
  if (symbol == nullptr || dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

TEST(LibraryBinding, MissingLibraryRaisesFromTheFirstCall) {
  LibraryBinding binding("nosuchlib");
  EXPECT_EQ(binding.FileName(), "libnosuchlib.so");
  EXPECT_FALSE(binding.Loaded());  // nothing is loaded before the first call
  for (int call = 0; call < 2; ++call) {
    try {
      binding.Symbol("Anything");
      ADD_FAILURE() << "no error raised";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), kErrFileNotFound);
      EXPECT_EQ(e.Description(), "File not found: libnosuchlib.so");
    }
  }
  EXPECT_FALSE(binding.Loaded());

  // The calling routine reports it with its own message.
  Host host;
  MessageLog log;
  log.Attach(host);
  EXPECT_FALSE(TrapErrors(host, "An error occurred while processing. ",
                          [&] { binding.Function<int()>("Process")(); }));
  EXPECT_EQ(log.Texts(),
            std::vector<std::string>{
                "An error occurred while processing. File not found: libnosuchlib.so"});
}

TEST(LibraryBinding, MissingExportRaisesEntryPointNotFound) {
  BlocksLibrary library;
  try {
    library.Binding().Symbol("NoSuchExport_DLL");
    ADD_FAILURE() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrEntryPointNotFound);
    EXPECT_EQ(e.Description(), "Can't find entry point NoSuchExport_DLL in libblocks.so");
  }
  EXPECT_TRUE(library.Binding().Loaded());  // the library itself was found
  EXPECT_NE(library.Binding().Symbol("Make3D_DLL"), nullptr);
}

TEST(LibraryBinding, LibrariesAreFoundBesideTheExecutableOrInTheGivenFolder) {
  BlocksLibrary beside;
  EXPECT_EQ(beside.Make3D_DLL(nullptr, nullptr, nullptr, 0, 0, 0.0f, 0, 0), 0);
  void* besideSymbol = beside.Binding().Symbol("Make3D_DLL");
  EXPECT_EQ(FileOf(besideSymbol), ExecutableDir() + "/libblocks.so");

  TagstampLibrary tagstamp;
  EXPECT_EQ(FileOf(tagstamp.Binding().Symbol("MAKE_STEREO")), ExecutableDir() + "/libtagstamp.so");

  // A copy in another folder loads as a separate instance with its own state.
  test::LibraryCopy copy;
  ASSERT_FALSE(copy.Dir().empty());
  BlocksLibrary fresh(nullptr, copy.Dir());
  EXPECT_EQ(fresh.Make3D_DLL(nullptr, nullptr, nullptr, 0, 0, 0.0f, 0, 0), 0);
  void* freshSymbol = fresh.Binding().Symbol("Make3D_DLL");
  EXPECT_EQ(FileOf(freshSymbol), copy.Dir() + "/libblocks.so");
  EXPECT_NE(freshSymbol, besideSymbol);
}

// The dynamic symbols a shared library defines, as `nm -D --defined-only`
// lists them.
std::set<std::string> DefinedSymbols(const std::string& path) {
  std::set<std::string> names;
  const std::string command = "nm -D --defined-only '" + path + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return names;
  char line[1024];
  while (fgets(line, sizeof(line), pipe.get()) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  return names;
}

TEST(LibraryExports, OnlyTheListedExportsAreDefined) {
  const std::set<std::string> blocksExports = {"Make3D_DLL",
                                               "Make3DGrey_DLL",
                                               "CreateDepthMap_DLL",
                                               "CreateDepthMapFast_DLL",
                                               "MatchDepthMap_DLL",
                                               "SetDiagnosticHandler_DLL",
                                               "CreateDepthMapScene_DLL"};
  const std::set<std::string> tagstampExports = {"MAKE_STEREO"};
  struct Library {
    std::string file;
    const std::set<std::string>& allowed;
    std::set<std::string> required;
  };
  const Library libraries[] = {
      {"libblocks.so", blocksExports, {"Make3D_DLL", "Make3DGrey_DLL"}},
      {"libtagstamp.so", tagstampExports, {"MAKE_STEREO"}},
  };
  for (const Library& lib : libraries) {
    const std::set<std::string> defined = DefinedSymbols(ExecutableDir() + "/" + lib.file);
    ASSERT_FALSE(defined.empty()) << "nm listed nothing for " << lib.file;
    std::set<std::string> extra;
    for (const std::string& name : defined)
      if (!lib.allowed.count(name)) extra.insert(name);
    if (!extra.empty() && DIOPTRIX_SANITIZED) {
      GTEST_SKIP() << "the sanitizer runtime adds symbols such as " << *extra.begin();
    }
    EXPECT_TRUE(extra.empty()) << lib.file << " also defines " << *extra.begin();
    for (const std::string& name : lib.required) EXPECT_TRUE(defined.count(name)) << name;
  }
}

}  // namespace
}  // namespace dioptrix
