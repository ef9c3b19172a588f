// Video sources: decoded frames out of video files.
//
// Every video is read through a FrameSource (the FFmpeg video file library in
// the program). Files the main window hands over with one of the extensions
// of kAviSynthExtensions get a one-line wrapper script, named like the video
// with the extension "avs", whose line names the video:
//     DirectShowSource("<full path of the video>")
// Opening a script (a path ending in ".avs") reads that line and opens the
// video it names.
//
// Three groups of routines: the wrapper-script writer, the open-and-detect
// routine run when a file is opened, and the stream routines of the playback
// driver. Pictures are packed: the 40-byte header, then 24-bit bottom-up rows
// padded to a multiple of 4 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "image/bitmap_header.h"
#include "platform/video/video_file.h"
#include "playback/play_request.h"

namespace dioptrix {

struct ProgramContext;

inline constexpr const char* kAviSynthExtensions = "*.mpg;*.mpeg;*.asf;*.wmv;*.dat;*.mov;*.vob";

// Messages of the video sources.
inline constexpr const char* kNoValidExtension = "Filename does not contain a valid extension.";
inline constexpr const char* kUnableToDecompress = "Unable to decompress this video stream.";
inline constexpr const char* kOpenVideoError = "An error occurred in OpenVideo. ";
inline constexpr const char* kCloseVideoError = "An error occurred in CloseVideo. ";
inline constexpr const char* kNoDecompressor =
    "No suitable decompressor found for this video stream!";
inline constexpr const char* kUnableToOpenAvi = "Unable to open AVI file.";
inline constexpr const char* kMakeScriptError = "An error occurred in MakeAviSynthScript. ";

// The detection's answers (the InputLayout codes of the play request).
inline constexpr int16_t kDetected2D = 3;
inline constexpr int16_t kDetectedSideBySide = 5;
inline constexpr int16_t kDetectedAboveBelow = 1;

// One video stream opened for frame access.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Number of the first frame and number of frames.
  virtual int32_t Start() const = 0;
  virtual int32_t Length() const = 0;
  // Frames per second as Rate() / Scale().
  virtual uint32_t Rate() const = 0;
  virtual uint32_t Scale() const = 0;
  // Seconds from the first frame to frame n; this version n * Scale() / Rate()
  // (0 without a rate). Sources whose frames keep their own times say them.
  virtual double FrameTime(int32_t n) const;
  // The frame rectangle is (0, 0) - (Width(), Height()).
  virtual int32_t Width() const = 0;
  virtual int32_t Height() const = 0;
  // The packed picture of frame n (40-byte header, then the pixel bytes of a
  // Width() x Height() 24-bit picture), or null when the frame cannot be
  // delivered. Valid until the next GetFrame or the source's destruction.
  virtual const uint8_t* GetFrame(int32_t n) = 0;
  // Frame n's pixels written into bits: Height() rows bottom-up, stride
  // bytes apart, each the row of the packed picture (3 * Width() pixel bytes
  // and its padding to a multiple of 4, as far as stride has room). bits must
  // hold Height() rows of stride bytes. False when GetFrame would give
  // nothing or stride is under 3 * Width(). This version copies out of
  // GetFrame's picture; sources that can decode straight into bits do so.
  virtual bool GetFrameInto(int32_t n, uint8_t* bits, size_t stride);
};

// Opens the video at path; on failure returns nothing and sets failure.
using FrameSourceOpener =
    std::function<std::unique_ptr<FrameSource>(const std::string& path, VideoOpenFailure& failure)>;

// The program's opener: VideoFile on FFmpeg, frames on the fixed-rate grid.
std::unique_ptr<FrameSource> OpenVideoFile(const std::string& path, VideoOpenFailure& failure);
// VideoFile with the given numbering (the converter numbers frames by the
// stream, each with its own time).
FrameSourceOpener VideoFileOpener(const VideoOpenOptions& options);
// As VideoFileOpener, but the first request for `path` is served by `file`,
// a VideoFile already opened on it with those options (a caller that read
// the file's size and rate need not open and read it again); later requests,
// and requests for other paths, open the file anew.
FrameSourceOpener VideoFileOpener(const VideoOpenOptions& options, const std::string& path,
                                  std::unique_ptr<VideoFile> file);

// The published stream information the program uses.
struct StreamInfo {
  uint32_t Scale = 0;
  uint32_t Rate = 0;
  int32_t Start = 0;
  int32_t Length = 0;
  struct Rect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
  } Frame;
};

// The video side of the program context: the stream the playback driver
// reads (owned by OpenVideo / CloseVideo) and where wrapper scripts go.
struct VideoSourceState {
  // How videos are opened; empty for OpenVideoFile.
  FrameSourceOpener Opener;
  // The application's folder; empty for the executable's folder. Scripts are
  // written there when it is writable, else to the per-user data folder.
  std::string ApplicationFolder;

  std::unique_ptr<FrameSource> Stream;  // nothing when no stream is open
  int32_t StreamStart = 0;
  int32_t StreamLength = 0;
  StreamInfo Info;
  // The 24-bit picture format frames are delivered in.
  BitmapInfoHeader FrameHeader;
  // Pixel bytes of one frame: rows of 3 * width padded to 4, times height.
  int32_t FrameBytes = 0;
};

// --- Wrapper scripts ---------------------------------------------------------

// Writes the wrapper script for fileName and returns its path; "" when the
// file needs none (or the script could not be written, with a message).
std::string MakeAviSynthScript(ProgramContext& ctx, const std::string& fileName);
// The folder scripts are written to (created when missing).
std::string ScriptFolder(const ProgramContext& ctx);
// The content of the script for videoPath: the one line and its line break.
std::string ScriptLine(const std::string& videoPath);
// The video a script's content names: the content must be the line
// DirectShowSource("<path>"), with or without a final line break; the path
// is everything between the opening and the closing text (so names with
// quotes, or even line breaks, come back whole) and must not be empty or
// hold a NUL. Nothing for anything else. Extra lines after the first make a
// path no file has, which then cannot be opened.
std::optional<std::string> ScriptVideoPath(std::string_view content);
// True when path names a wrapper script (ends in ".avs", any case).
bool IsScriptPath(std::string_view path);
// The video a script file names; nothing when the file cannot be read or is
// not a wrapper script.
std::optional<std::string> ReadWrapperScript(const std::string& scriptPath);

// path with the path separator appended unless it already ends with one.
std::string AppendBackslash(const std::string& path);
// The text after the last separator ('/' or '\\'); the whole path when it has
// 100 or more separators.
std::string FileTitle(const std::string& path);
// Pixel bytes of a 24-bit picture; raises Overflow beyond 32 bits.
int32_t FrameBytesFor(int32_t width, int32_t height);

// --- Detection ---------------------------------------------------------------

// Opens fileName, sets ctx.FramesPerSecond and guesses the stereo layout from
// three sample frames: 5 side by side, 1 above/below, else 3 (plain 2D).
// Returns the stream's frame count; 0 on failure, with the message shown.
int32_t OpenAviForDetection(ProgramContext& ctx, const std::string& fileName, int16_t& layout);

// --- Stream routines of the playback driver ------------------------------------

// Opens request.OpenPath for frame access; with UseStreamRate = 1 sets
// request.FrameRate to the stream's rate. False (with the message shown) when
// it cannot be opened.
bool OpenVideo(ProgramContext& ctx, PlayRequest& request);
// The packed picture of stream frame n; null when it cannot be delivered or
// no stream is open.
const uint8_t* GetFrame(ProgramContext& ctx, int32_t n);
// Stream frame n written into bits (see FrameSource::GetFrameInto); false
// when it cannot be delivered or no stream is open.
bool GetFrameInto(ProgramContext& ctx, int32_t n, uint8_t* bits, size_t stride);
// Releases the stream.
void CloseVideo(ProgramContext& ctx);

}  // namespace dioptrix
