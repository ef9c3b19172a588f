// The command line of dioptrix-quality: every scene in both depth modes,
// printed as one markdown table.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/quality/stereo_scores.h"

namespace dioptrix::quality {

struct QualityOptions {
  int32_t width = 640;
  int32_t height = 360;
  int32_t frames = 30;
  // Where libblocks.so is; empty: beside the executable.
  std::string libraryDir;
  bool help = false;
};

// Reads --width W, --height H, --frames N, --library-dir DIR and --help;
// false with a reason for anything else or a value out of range.
bool ParseQualityArgs(const std::vector<std::string>& args, QualityOptions& options,
                      std::string& error);

// The table: scene, mode, ordering, PSNR and SSIM of the synthesised view
// and of the two stand-ins, and the cut recovery.
std::string FormatTable(const std::vector<SceneScores>& rows);

// Runs the tool: 0 when every scene was measured without a message from the
// core, 1 when libblocks.so cannot be loaded or the core reported errors (or
// left a frame without a view), 2 for a bad command line.
int QualityMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace dioptrix::quality
