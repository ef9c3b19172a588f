// Fuzz target: the wrapper-script reader. Any content either names a video
// or is refused; a named video written back into a script reads the same,
// and any path without a NUL survives the trip through a script.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "playback/video_sources.h"

using namespace dioptrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);

  if (const std::optional<std::string> path = ScriptVideoPath(content)) {
    if (path->empty() || path->find('\0') != std::string::npos) std::abort();
    if (ScriptVideoPath(ScriptLine(*path)) != path) std::abort();
  }

  // The same bytes taken as a video's path.
  const std::string asPath(content);
  const std::optional<std::string> back = ScriptVideoPath(ScriptLine(asPath));
  const bool writable = !asPath.empty() && asPath.find('\0') == std::string::npos;
  if (writable ? back != asPath : back.has_value()) std::abort();

  // The name helpers on the same text.
  (void)FileTitle(asPath);
  (void)IsScriptPath(asPath);
  (void)AppendBackslash(asPath);
  return 0;
}
