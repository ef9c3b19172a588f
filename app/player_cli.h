// dioptrix: the player's command line. `dioptrix` starts the player with its
// main window and control bar; `dioptrix FILE` also opens the video (its
// layout detected) and plays it for the glasses in the settings. The window
// stays open afterwards unless --quit-at-end asks the program to end with the
// playback.
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
  bool batch = false;      // messages to the error stream instead of message boxes
  bool quitAtEnd = false;  // the program ends when the playback ends
  // 2D converted to 3D: the right view made by the engine's synthesis.
  bool engineSynthesis = false;
  // 2D converted to 3D: the improved depth (true) or the depth from block
  // motion (false) for this run; nothing: as stored in the settings (the
  // Format menu's Improved depth entry).
  std::optional<bool> improvedDepth;
  bool help = false;
  bool version = false;
};

struct ParsedPlayerArguments {
  bool ok = false;
  std::string error;  // why not ok
  PlayerOptions options;
};

// Parses the arguments (without the program name).
ParsedPlayerArguments ParsePlayerArguments(const std::vector<std::string>& args);

// The --help and --version texts.
std::string PlayerUsage();
std::string PlayerVersion();

// The whole program: parse, check for a display, start the application, open
// and play the file given, run the windows until the user exits. argc and argv are handed to Qt
// (which takes its own options from them); messages of the command line go to err, the detected
// layout to out.
int PlayerMain(int& argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace dioptrix
