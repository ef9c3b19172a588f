// The window tests run inside one Qt application, on the X server the test
// harness started (tests/common/with-xvfb).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <QApplication>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Mesa unloads its GL driver when the X connection closes, after which what
// the driver keeps for the whole process shows in leak reports without a
// module name. Kept loaded, its stacks name it and tests/common/lsan.supp
// recognises them.
void KeepGlDriversLoaded() {
  std::vector<std::string> drivers;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* found) {
        const std::string_view name = info->dlpi_name ? info->dlpi_name : "";
        if (name.ends_with("_dri.so"))
          static_cast<std::vector<std::string>*>(found)->emplace_back(name);
        return 0;
      },
      &drivers);
  for (const std::string& driver : drivers)
    dlopen(driver.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  KeepGlDriversLoaded();
  return result;
}
