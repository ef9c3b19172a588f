// dioptrix: the player's command line. `dioptrix FILE` opens the video,
// detects its layout as opening a file does, plays it in a window for the
// glasses in the settings, and ends when the video ends or a key or a click
// on the picture stops it.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace dioptrix {

// Exit statuses of the player.
inline constexpr int kPlayerOk = 0;
inline constexpr int kPlayerFailed = 1;    // nothing to show, or errors were reported
inline constexpr int kPlayerBadUsage = 2;  // bad arguments

struct PlayerOptions {
  std::string file;
  std::optional<int16_t> layout;  // InputLayout code; nothing: as detected
  std::optional<int16_t> method;  // OutputMethod code; nothing: from the glasses
  bool fullscreen = false;
  bool batch = false;  // messages to the error stream instead of message boxes
  bool help = false;
};

struct ParsedPlayerArguments {
  bool ok = false;
  std::string error;  // why not ok
  PlayerOptions options;
};

// Parses the arguments (without the program name).
ParsedPlayerArguments ParsePlayerArguments(const std::vector<std::string>& args);

// The --help text.
std::string PlayerUsage();

// The whole program: parse, check for a display, start the application, open,
// play. argc and argv are handed to Qt (which takes its own options from
// them); messages of the command line go to err, the detected layout to out.
int PlayerMain(int& argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace dioptrix
