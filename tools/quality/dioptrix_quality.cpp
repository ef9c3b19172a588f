// dioptrix-quality: measures the 2D-to-3D conversion on synthetic scenes of
// known depth (tools/quality/quality_report.h).
#include <iostream>
#include <string>
#include <vector>

#include "tools/quality/quality_report.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argc > 0 ? argv + 1 : argv, argv + argc);
  return dioptrix::quality::QualityMain(args, std::cout, std::cerr);
}
