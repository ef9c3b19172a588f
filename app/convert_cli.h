// dioptrix-convert: converts a video file into a stereo video file without a
// window. The frames run through the same playback driver as in the player,
// with the converter's frame sink as the display and no pacing, so the output
// holds exactly the frames the player would show.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "image/dib_section.h"
#include "platform/video/video_writer.h"
#include "process/plane.h"

namespace dioptrix {

// Exit statuses of the converter.
inline constexpr int kConvertOk = 0;
inline constexpr int kConvertFailed = 1;         // the conversion did not complete cleanly
inline constexpr int kConvertBadUsage = 2;       // bad arguments, refused before the input is read
inline constexpr int kConvertInterrupted = 130;  // stopped by SIGINT or SIGTERM

struct ConvertOptions {
  std::string input;
  std::string output;
  // InputLayout code; nothing: detected from the picture (plain 2D becomes
  // 2D converted to 3D).
  std::optional<int16_t> layout;
  int16_t method = 3;  // OutputMethod code: colour anaglyph
  int32_t start = 0;   // first frame, counted from the stream's first
  int64_t frames = 0;  // frames to write; 0: to the end
  VideoCodec codec = VideoCodec::Auto;
  int crf = 20;
  std::string preset = "veryfast";
  bool nullOutput = false;  // run the pipeline but write nothing
  bool progress = false;    // draw a progress bar on the error stream
  bool overwrite = false;   // replace an existing output
  int32_t audioTrack = -1;  // the only sound track to keep, from 0; -1 keeps every one
  // 2D converted to 3D: the right view made by the engine's synthesis instead
  // of the library kernel (slower, finer).
  bool engineSynthesis = false;
  // 2D converted to 3D: the improved depth, which follows the scene, instead
  // of the depth from block motion (ConversionState::ImprovedDepth).
  bool improvedDepth = false;
  // -m depth-map: every frame written is the depth picture the right view
  // was made from (MakeDepthPicture) instead of a composition of the two
  // views. Only 2D converted to 3D has one. method is then the composition
  // the playback runs underneath, one of a view's size.
  bool depthMap = false;
  bool help = false;
  // Set (to non-zero) when the conversion is to stop: the frames written so
  // far are completed into a playable file. May be set from a signal handler.
  const std::atomic<int>* interrupted = nullptr;
};

struct ParsedArguments {
  bool ok = false;
  std::string error;  // why not ok
  ConvertOptions options;
};

// Parses the arguments (without the program name). The progress flag is left
// for the caller to decide.
ParsedArguments ParseConvertArguments(const std::vector<std::string>& args);

std::optional<VideoCodec> ParseCodecName(std::string_view text);

// The --help text.
std::string ConvertUsage();

// Fills picture with the depth picture of a w x h view from the conversion's
// depth map ((w + 1) x (h + 1) bytes, row y for scan line y): every pixel
// grey (its three bytes equal) at its depth, nearer brighter. A map of
// another size gives a black picture. The picture is made again only when
// its size changes; an empty picture when it cannot be made.
void MakeDepthPicture(const Plane<uint8_t>& depth, int32_t w, int32_t h, cDIBSection& picture);

// What a conversion did.
struct ConvertReport {
  int16_t layout = 0;                  // the input layout used
  bool detected = false;               // the layout came from the picture
  int16_t detectedAs = 0;              // what the detection said
  int64_t frames = 0;                  // frames written
  int64_t missingFrames = 0;           // of them, stand-ins for frames that could not be read
  double seconds = 0;                  // time spent in the playback
  float stageTimes[4] = {0, 0, 0, 0};  // get frame, decode, encode, put (seconds)
  int32_t messages = 0;                // error messages shown by the core
  std::string target;                  // file or picture pattern written
};

// Runs one conversion. Messages, notes and the progress bar go to err; the
// detected layout and the closing summary to out. libraryDir, when not empty,
// is where libblocks.so is looked for. Returns an exit status.
int RunConvert(const ConvertOptions& options, std::ostream& out, std::ostream& err,
               ConvertReport* report = nullptr, const std::string& libraryDir = {});

// The whole program: parse, help, run. progress: whether the error stream is a
// terminal.
int ConvertMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool progress);

}  // namespace dioptrix
