#include "tools/quality/quality_report.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "platform/library.h"
#include "tools/quality/stereo_scenes.h"

namespace dioptrix::quality {

namespace {

constexpr const char* kUsage =
    "usage: dioptrix-quality [--width W] [--height H] [--frames N] [--library-dir DIR]\n"
    "Converts synthetic scenes of known depth in the standard and the improved depth mode\n"
    "and prints how well the stereo pairs match the truth.\n";

// value in lo..hi, or false.
bool ParseInt(const std::string& text, int32_t lo, int32_t hi, int32_t& value) {
  int32_t v = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || ptr != end || v < lo || v > hi) return false;
  value = v;
  return true;
}

std::string Fixed(double v, int decimals) {
  if (!std::isfinite(v)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string Triple(const PictureScores& s, int decimals) {
  return Fixed(s.synthesised, decimals) + " / " + Fixed(s.rightIsLeft, decimals) + " / " +
         Fixed(s.rightIsPrevious, decimals);
}

std::string Recovery(const SceneScores& s) {
  if (!s.hasCut) return "-";
  if (!s.cutRecovery) return "not recovered";
  return std::to_string(*s.cutRecovery) + (*s.cutRecovery == 1 ? " frame" : " frames");
}

}  // namespace

bool ParseQualityArgs(const std::vector<std::string>& args, QualityOptions& options,
                      std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      options.help = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      error = a.rfind("--", 0) == 0 ? a + " needs a value" : "unknown argument " + a;
      return false;
    }
    const std::string& value = args[++i];
    bool ok = true;
    if (a == "--width") {
      ok = ParseInt(value, kMinSceneWidth, kMaxSceneWidth, options.width);
    } else if (a == "--height") {
      ok = ParseInt(value, kMinSceneHeight, kMaxSceneHeight, options.height);
    } else if (a == "--frames") {
      ok = ParseInt(value, kMinSceneFrames, kMaxSceneFrames, options.frames);
    } else if (a == "--library-dir") {
      options.libraryDir = value;
    } else {
      error = "unknown argument " + a;
      return false;
    }
    if (!ok) {
      error = "bad value for " + a + ": " + value;
      return false;
    }
  }
  return true;
}

std::string FormatTable(const std::vector<SceneScores>& rows) {
  std::ostringstream table;
  table << "| scene | mode | ordering | PSNR dB (synthesised / right=left / right=previous) "
           "| SSIM (synthesised / right=left / right=previous) | cut recovery |\n"
           "|---|---|---|---|---|---|\n";
  for (const SceneScores& s : rows) {
    table << "| " << s.scene << " | " << DepthModeName(s.mode) << " | " << Fixed(s.ordering, 3)
          << " | " << Triple(s.psnr, 2) << " | " << Triple(s.ssim, 3) << " | " << Recovery(s)
          << " |\n";
  }
  return table.str();
}

int QualityMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  QualityOptions options;
  std::string error;
  if (!ParseQualityArgs(args, options, error)) {
    err << "dioptrix-quality: " << error << "\n" << kUsage;
    return 2;
  }
  if (options.help) {
    out << kUsage;
    return 0;
  }
  std::vector<Scene> scenes;
  try {
    scenes = StandardScenes(options.width, options.height, options.frames);
  } catch (const std::invalid_argument& e) {
    err << "dioptrix-quality: " << e.what() << "\n";
    return 2;
  }
  if (options.libraryDir.empty()) options.libraryDir = ExecutableDir();
  if (!CanLoadBlocksLibrary(options.libraryDir, error)) {
    err << "dioptrix-quality: cannot load libblocks.so: " << error << "\n";
    return 1;
  }

  std::vector<SceneScores> rows;
  for (const Scene& scene : scenes) {
    for (SceneScores& s :
         MeasureScene(scene, {DepthMode::Standard, DepthMode::Improved}, options.libraryDir))
      rows.push_back(std::move(s));
  }
  out << FormatTable(rows);

  // Every message of the core, by scene and mode, each distinct text once.
  bool failed = false;
  for (const SceneScores& s : rows) {
    if (s.messages.empty() && s.missingViews == 0) continue;
    failed = true;
    err << s.scene << " (" << DepthModeName(s.mode) << "): " << s.messages.size()
        << " message(s) from the core, " << s.missingViews << " frame(s) without a view\n";
    std::map<std::string, int> counts;
    for (const std::string& m : s.messages) ++counts[m];
    for (const auto& [text, n] : counts) err << "  " << n << " x " << text << "\n";
  }
  return failed ? 1 : 0;
}

}  // namespace dioptrix::quality
