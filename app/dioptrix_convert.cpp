// dioptrix-convert: the headless converter (see app/convert_cli.h).
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/convert_cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return dioptrix::ConvertMain(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
