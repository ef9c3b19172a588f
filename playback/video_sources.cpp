#include "playback/video_sources.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "formats/format_context.h"
#include "formats/load_pics.h"
#include "image/dib_operations.h"
#include "image/packed_dib.h"
#include "platform/error.h"
#include "platform/library.h"
#include "playback/play_request.h"
#include "playback/program.h"
#include "process/image_process.h"

namespace dioptrix {

namespace fs = std::filesystem;

namespace {

constexpr char kSeparator = '/';
constexpr std::string_view kScriptOpen = "DirectShowSource(\"";
constexpr std::string_view kScriptClose = "\")";
// A script is one line naming one path; anything longer is not ours.
constexpr size_t kMaxScriptBytes = 64 * 1024;
// The file-access error of a script that cannot be written.
constexpr int32_t kErrPathFileAccess = 75;

}  // namespace

double FrameSource::FrameTime(int32_t n) const {
  return Rate() > 0 ? static_cast<double>(n) * Scale() / Rate() : 0.0;
}

bool FrameSource::GetFrameInto(int32_t n, uint8_t* bits, size_t stride) {
  const int64_t width = Width();
  const int64_t height = Height();
  if (!bits || width < 0 || height < 0 || stride < static_cast<size_t>(width) * 3) return false;
  const uint8_t* packed = GetFrame(n);
  if (!packed) return false;
  const size_t row = static_cast<size_t>(((width * 3 + 3) / 4) * 4);
  const size_t copy = std::min(stride, row);
  const uint8_t* from = packed + sizeof(BitmapInfoHeader);
  for (int64_t y = 0; y < height; ++y) {
    std::memcpy(bits + static_cast<size_t>(y) * stride, from + static_cast<size_t>(y) * row, copy);
  }
  return true;
}

namespace {

class VideoFileSource final : public FrameSource {
 public:
  explicit VideoFileSource(std::unique_ptr<VideoFile> file) : file_(std::move(file)) {}
  int32_t Start() const override { return file_->Start(); }
  int32_t Length() const override { return file_->Length(); }
  uint32_t Rate() const override { return file_->Rate(); }
  uint32_t Scale() const override { return file_->Scale(); }
  double FrameTime(int32_t n) const override { return file_->FrameTime(n); }
  int32_t Width() const override { return file_->Width(); }
  int32_t Height() const override { return file_->Height(); }
  const uint8_t* GetFrame(int32_t n) override { return file_->GetFrame(n); }
  bool GetFrameInto(int32_t n, uint8_t* bits, size_t stride) override {
    return file_->GetFrameInto(n, bits, stride);
  }

 private:
  std::unique_ptr<VideoFile> file_;
};

// A failure reported by a result rather than a run-time error: the routine's
// message then ends with an empty description.
[[noreturn]] void FailWithoutDescription() { throw RuntimeError(0, {}, {}); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool ContainsIgnoreCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return false;
  for (size_t at = 0; at + part.size() <= text.size(); ++at) {
    size_t i = 0;
    while (i < part.size() && Lower(text[at + i]) == Lower(part[i])) ++i;
    if (i == part.size()) return true;
  }
  return false;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsWritableFolder(const std::string& folder) {
  std::error_code ec;
  return !folder.empty() && fs::is_directory(folder, ec) && access(folder.c_str(), W_OK) == 0;
}

// $XDG_DATA_HOME/dioptrix, else ~/.local/share/dioptrix.
std::string UserDataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  fs::path base;
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = fs::path(home) / ".local" / "share";
  } else {
    throw RuntimeError(kErrPathFileAccess, {}, "No folder for user data");
  }
  const fs::path folder = base / "dioptrix";
  std::error_code ec;
  fs::create_directories(folder, ec);
  return folder.string();
}

// Opens the video at path, or the video a wrapper script at path names.
std::unique_ptr<FrameSource> OpenSource(const ProgramContext& ctx, const std::string& path,
                                        VideoOpenFailure& failure) {
  failure = VideoOpenFailure::None;
  std::string video = path;
  if (IsScriptPath(path)) {
    std::optional<std::string> named = ReadWrapperScript(path);
    if (!named) {
      failure = VideoOpenFailure::CannotOpen;
      return nullptr;
    }
    video = *named;
  }
  std::unique_ptr<FrameSource> source =
      ctx.video.Opener ? ctx.video.Opener(video, failure) : OpenVideoFile(video, failure);
  if (!source && failure == VideoOpenFailure::None) failure = VideoOpenFailure::CannotOpen;
  return source;
}

double FramesPerSecondOf(const FrameSource& source) {
  if (source.Scale() == 0) RaiseDivisionByZero();
  return static_cast<double>(source.Rate()) / source.Scale();
}

// Crops a view to lNewHeight x lNewWidth from (left, top); raises "object not
// set" when the view is nothing or the crop cannot be made.
void CropView(DibPtr& view, int32_t height, int32_t width, int32_t left, int32_t top) {
  CropDib(view, height, width, left, top);
  Need(view);
}

}  // namespace

std::unique_ptr<FrameSource> OpenVideoFile(const std::string& path, VideoOpenFailure& failure) {
  return VideoFileOpener({})(path, failure);
}

FrameSourceOpener VideoFileOpener(const VideoOpenOptions& options) {
  return [options](const std::string& path,
                   VideoOpenFailure& failure) -> std::unique_ptr<FrameSource> {
    std::unique_ptr<VideoFile> file = VideoFile::Open(path, options, nullptr, &failure);
    if (!file) return nullptr;
    return std::make_unique<VideoFileSource>(std::move(file));
  };
}

FrameSourceOpener VideoFileOpener(const VideoOpenOptions& options, const std::string& path,
                                  std::unique_ptr<VideoFile> file) {
  // Held in a shared pointer so the opener stays copyable.
  auto opened = std::make_shared<std::unique_ptr<VideoFile>>(std::move(file));
  return [options, path, opened](const std::string& asked,
                                 VideoOpenFailure& failure) -> std::unique_ptr<FrameSource> {
    if (*opened && asked == path) {
      failure = VideoOpenFailure::None;
      return std::make_unique<VideoFileSource>(std::move(*opened));
    }
    return VideoFileOpener(options)(asked, failure);
  };
}

// --- Small routines ------------------------------------------------------------

std::string AppendBackslash(const std::string& path) {
  if (!path.empty() && path.back() == kSeparator) return path;
  return path + kSeparator;
}

std::string FileTitle(const std::string& path) {
  size_t separators = 0;
  size_t last = std::string::npos;
  for (size_t i = 0; i < path.size(); ++i) {
    if (IsSeparator(path[i])) {
      ++separators;
      last = i;
    }
  }
  if (separators >= 100 || last == std::string::npos) return path;
  return path.substr(last + 1);
}

int32_t FrameBytesFor(int32_t width, int32_t height) {
  const int64_t bytes = BytesPerRow24(width) * int64_t{height};
  if (width < 0 || height < 0 || bytes > INT32_MAX) RaiseOverflow();
  return static_cast<int32_t>(bytes);
}

// --- Wrapper scripts ---------------------------------------------------------

std::string ScriptLine(const std::string& videoPath) {
  std::string line(kScriptOpen);
  line += videoPath;
  line += kScriptClose;
  line += '\n';
  return line;
}

std::optional<std::string> ScriptVideoPath(std::string_view content) {
  std::string_view line = content;
  if (line.ends_with("\r\n")) {
    line.remove_suffix(2);
  } else if (line.ends_with('\n')) {
    line.remove_suffix(1);
  }
  if (line.size() <= kScriptOpen.size() + kScriptClose.size() || !line.starts_with(kScriptOpen) ||
      !line.ends_with(kScriptClose)) {
    return std::nullopt;
  }
  line.remove_prefix(kScriptOpen.size());
  line.remove_suffix(kScriptClose.size());
  if (line.find('\0') != std::string_view::npos) return std::nullopt;
  return std::string(line);
}

bool IsScriptPath(std::string_view path) {
  constexpr std::string_view kExtension = ".avs";
  if (path.size() < kExtension.size()) return false;
  const std::string_view end = path.substr(path.size() - kExtension.size());
  for (size_t i = 0; i < end.size(); ++i)
    if (Lower(end[i]) != kExtension[i]) return false;
  return true;
}

std::optional<std::string> ReadWrapperScript(const std::string& scriptPath) {
  std::error_code ec;
  // Only regular files: a pipe or device of that name must not block or
  // stream forever.
  if (scriptPath.find('\0') != std::string::npos || !fs::is_regular_file(scriptPath, ec))
    return std::nullopt;
  std::ifstream in(scriptPath, std::ios::binary);
  if (!in) return std::nullopt;
  std::string content(kMaxScriptBytes + 1, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  const auto got = static_cast<size_t>(in.gcount());
  if (in.bad() || got > kMaxScriptBytes) return std::nullopt;
  content.resize(got);
  return ScriptVideoPath(content);
}

std::string ScriptFolder(const ProgramContext& ctx) {
  const std::string app =
      ctx.video.ApplicationFolder.empty() ? ExecutableDir() : ctx.video.ApplicationFolder;
  return IsWritableFolder(app) ? app : UserDataFolder();
}

std::string MakeAviSynthScript(ProgramContext& ctx, const std::string& fileName) {
  if (fileName.size() < 3) {
    ctx.host.Message(kNoValidExtension);
    return {};
  }
  // Three characters leave no room for a dot and an extension.
  if (fileName.size() < 4) return {};
  const std::string ext = fileName.substr(fileName.size() - 4);
  if (!ContainsIgnoreCase(kAviSynthExtensions, ext)) return {};
  // A three-letter extension keeps its dot in the base; a four-letter one
  // ("mpeg") leaves the dot before it.
  const std::string base = fileName.substr(0, fileName.size() - (ext[0] == '.' ? 3 : 4));
  std::string name = FileTitle(base + "avs");
  // The script always lands in the script folder, even for a name that
  // FileTitle hands back whole.
  if (const size_t slash = name.find_last_of(kSeparator); slash != std::string::npos)
    name = name.substr(slash + 1);

  std::string path;
  const bool written = TrapErrors(ctx.host, kMakeScriptError, [&] {
    // No file name holds a NUL; the name would be cut short at it.
    if (fileName.find('\0') != std::string::npos) throw RuntimeError(kErrInvalidArgument);
    path = AppendBackslash(ScriptFolder(ctx)) + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string line = ScriptLine(fileName);
    if (out) out.write(line.data(), static_cast<std::streamsize>(line.size()));
    if (out) out.close();
    if (!out) {
      const int err = errno;
      throw RuntimeError(kErrPathFileAccess, {},
                         "Path/File access error" +
                             (err != 0 ? std::string(": ") + std::strerror(err) : std::string()));
    }
  });
  return written ? path : std::string();
}

// --- Detection ---------------------------------------------------------------

namespace {

void DetectLayout(ProgramContext& ctx, const std::string& fileName, int16_t& layout,
                  int32_t& length) {
  cImageProcessDIB engine(ctx.arrays);
  VideoOpenFailure failure = VideoOpenFailure::None;
  std::unique_ptr<FrameSource> source = OpenSource(ctx, fileName, failure);
  if (!source) {
    if (failure == VideoOpenFailure::NoDecoder)
      ctx.host.Message(kNoDecompressor, MessageStyle::Information);
    FailWithoutDescription();
  }
  const int32_t start = source->Start();
  if (start == -1) FailWithoutDescription();
  length = source->Length();
  ctx.FramesPerSecond = static_cast<float>(FramesPerSecondOf(*source));
  const int32_t frameBytes = FrameBytesFor(source->Width(), source->Height());

  const int64_t q = static_cast<int64_t>(std::nearbyint((int64_t{length} - start) / 4.0));
  layout = kDetected2D;

  FrameImages& frames = ctx.frames;
  const FormatContext fc{frames, ctx.settings, ctx.host};
  DibPtr& left = frames.StereoPair[0];
  DibPtr& right = frames.StereoPair[1];
  cDib builder(ctx.host);
  int sampled = 0;
  for (int k = 1; k <= 3; ++k) {
    const int64_t index = start + k * q;
    // A sample the stream cannot deliver (past the end of a very short
    // stream, or undecodable) takes no part in the guess.
    const uint8_t* packed = (index >= INT32_MIN && index <= INT32_MAX)
                                ? source->GetFrame(static_cast<int32_t>(index))
                                : nullptr;
    if (!packed) continue;
    auto picture = std::make_unique<cDIBSection>();
    if (!builder.CreateDIBSectionFromPackedDIBPointer(
            packed, *picture, sizeof(BitmapInfoHeader) + static_cast<size_t>(frameBytes)))
      continue;
    frames.SourceFrame = std::move(picture);
    ++sampled;

    // Side by side: left half against right half.
    LoadJPS(fc);
    engine.CopyToArray(Need(left));
    int64_t sideBySide = 0;
    engine.Correlate(Need(right), ctx.arrays.PixelArray, sideBySide);

    // Above/below: top half against bottom half, also with either half
    // moved up by 5 % of its height.
    for (const int d : {-5, 0, 5}) {
      LoadAboveBelow(fc);
      if (d != 0) {
        const auto s =
            static_cast<int32_t>(std::floor(d * static_cast<double>(Need(left).Height()) / 100));
        DibPtr& cut = s >= 0 ? right : left;
        const int32_t rows = std::abs(s);
        CropView(cut, Need(cut).Height() - rows, Need(cut).Width(), 0, rows);
        const int32_t h = std::min(Need(left).Height(), Need(right).Height());
        const int32_t w = std::min(Need(left).Width(), Need(right).Width());
        CropView(left, h, w, 0, 0);
        CropView(right, h, w, 0, 0);
      }
      engine.CopyToArray(Need(left));
      int64_t aboveBelow = 0;
      engine.Correlate(Need(right), ctx.arrays.PixelArray, aboveBelow);
      // The last test that fires decides.
      const double S = static_cast<double>(sideBySide);
      const double A = static_cast<double>(aboveBelow);
      if (S * 1.3 < A && d == 0) {
        layout = kDetectedSideBySide;
      } else if (A * 1.3 < S) {
        layout = kDetectedAboveBelow;
      }
    }
  }
  if (sampled == 0) FailWithoutDescription();
}

}  // namespace

int32_t OpenAviForDetection(ProgramContext& ctx, const std::string& fileName, int16_t& layout) {
  int32_t length = 0;
  // Every failure, a run-time error included, ends in the one message below.
  const bool ok = [&] {
    try {
      DetectLayout(ctx, fileName, layout, length);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }();
  if (!ok) {
    ctx.host.Message(kUnableToOpenAvi);
    return 0;
  }
  return length;
}

// --- Stream routines -------------------------------------------------------------

bool OpenVideo(ProgramContext& ctx, PlayRequest& request) {
  VideoSourceState& video = ctx.video;
  video.Stream.reset();  // one stream at a time
  return TrapErrors(ctx.host, kOpenVideoError, [&] {
    VideoOpenFailure failure = VideoOpenFailure::None;
    std::unique_ptr<FrameSource> stream = OpenSource(ctx, request.OpenPath, failure);
    if (stream && (stream->Width() <= 0 || stream->Height() <= 0)) {
      stream.reset();
      failure = VideoOpenFailure::NoDecoder;  // no 24-bit picture of that size
    }
    if (!stream) {
      if (failure == VideoOpenFailure::NoDecoder)
        ctx.host.Message(kUnableToDecompress, MessageStyle::Information);
      FailWithoutDescription();
    }
    const int32_t start = stream->Start();
    const int32_t length = stream->Length();
    if (start == -1 || length == -1) FailWithoutDescription();

    StreamInfo info;
    info.Scale = stream->Scale();
    info.Rate = stream->Rate();
    info.Start = start;
    info.Length = length;
    info.Frame = {0, 0, stream->Width(), stream->Height()};
    if (request.UseStreamRate == 1) request.FrameRate = FramesPerSecondOf(*stream);

    BitmapInfoHeader header;
    header.biWidth = info.Frame.right - info.Frame.left;
    header.biHeight = info.Frame.bottom - info.Frame.top;
    const int32_t frameBytes = FrameBytesFor(header.biWidth, header.biHeight);
    header.biSizeImage = static_cast<uint32_t>(frameBytes);

    video.StreamStart = start;
    video.StreamLength = length;
    video.Info = info;
    video.FrameHeader = header;
    video.FrameBytes = frameBytes;
    video.Stream = std::move(stream);
  });
}

const uint8_t* GetFrame(ProgramContext& ctx, int32_t n) {
  return ctx.video.Stream ? ctx.video.Stream->GetFrame(n) : nullptr;
}

bool GetFrameInto(ProgramContext& ctx, int32_t n, uint8_t* bits, size_t stride) {
  return ctx.video.Stream ? ctx.video.Stream->GetFrameInto(n, bits, stride) : false;
}

void CloseVideo(ProgramContext& ctx) {
  TrapErrors(ctx.host, kCloseVideoError, [&] { ctx.video.Stream.reset(); });
}

}  // namespace dioptrix
