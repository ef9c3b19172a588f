#include "app/convert_cli.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "app/command_line.h"
#include "app/stereo_detection.h"
#include "display/frame_sink.h"
#include "platform/video/video_file.h"
#include "playback/play_request.h"
#include "playback/program.h"
#include "playback/vid_play.h"
#include "playback/video_sources.h"

namespace dioptrix {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = "dioptrix-convert";

// How a refusal of the depth map starts: the material makes no depth.
constexpr const char* kDepthMapNeeds2D =
    "-m depth-map writes the depth of 2D video converted to 3D, and ";

// The names of the depth-map output (any case).
bool IsDepthMapMethod(std::string_view text) {
  const std::string lower = Lower(text);
  return lower == "depth-map" || lower == "depth";
}

constexpr const char* kPresets[] = {"ultrafast", "superfast", "veryfast", "faster",  "fast",
                                    "medium",    "slow",      "slower",   "veryslow"};

// The progress bar: one line on a terminal, redrawn at most five times a
// second so that drawing never costs frames.
class ProgressBar {
 public:
  explicit ProgressBar(std::ostream& err) : err_(err) {}

  // Starts the bar for `total` frames; a bar that is not enabled draws nothing.
  void Begin(bool enabled, int64_t total) {
    enabled_ = enabled;
    total_ = std::max<int64_t>(total, 1);
    begun_ = Clock::now();
    drawn_ = false;
  }

  void Update(int64_t done) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(200) && done < total_) return;
    last_ = now;
    Draw(done, now);
  }
  // Removes the bar so that a message starts on a clean line.
  void Clear() {
    if (!enabled_ || !drawn_) return;
    err_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
    drawn_ = false;
  }
  void Finish(int64_t done) {
    if (!enabled_) return;
    Draw(done, Clock::now());
    err_ << '\n' << std::flush;
    drawn_ = false;
  }

 private:
  void Draw(int64_t done, Clock::time_point now) {
    constexpr int kCells = 30;
    const double part = std::clamp(static_cast<double>(done) / total_, 0.0, 1.0);
    const int filled = static_cast<int>(part * kCells);
    const double seconds = std::chrono::duration<double>(now - begun_).count();
    const double fps = seconds > 0 ? done / seconds : 0.0;
    char left[32] = "";
    if (fps > 0 && done < total_) {
      const auto rest = static_cast<long long>(std::ceil((total_ - done) / fps));
      std::snprintf(left, sizeof(left), "  %lld:%02lld left", rest / 60, rest % 60);
    }
    char tail[128];
    std::snprintf(tail, sizeof(tail), "] %3d%%  %lld/%lld frames  %.1f fps%s",
                  static_cast<int>(part * 100), static_cast<long long>(done),
                  static_cast<long long>(total_), fps, left);
    const std::string line =
        "[" + std::string(filled, '#') + std::string(kCells - filled, '-') + tail;
    err_ << '\r' << line;
    if (line.size() < width_) err_ << std::string(width_ - line.size(), ' ');
    err_ << std::flush;
    width_ = std::max(width_, line.size());
    drawn_ = true;
  }

  std::ostream& err_;
  bool enabled_ = false;
  int64_t total_ = 1;
  Clock::time_point begun_{};
  Clock::time_point last_{};
  size_t width_ = 0;
  bool drawn_ = false;
};

// The core's messages on the error stream, each text in full the first time
// and counted after that (a fault that repeats every frame would otherwise
// bury everything else).
class MessagePrinter {
 public:
  MessagePrinter(std::ostream& err, ProgressBar& bar) : err_(err), bar_(bar) {}

  void Show(const std::string& text, MessageStyle style) {
    if (style == MessageStyle::Error) ++errors_;
    if (++seen_[text] > 1) return;
    bar_.Clear();
    err_ << kProgram << ": " << text << '\n' << std::flush;
  }
  void Note(const std::string& text) {
    bar_.Clear();
    err_ << kProgram << ": note: " << text << '\n' << std::flush;
  }
  void SummariseRepeats() {
    for (const auto& [text, count] : seen_) {
      if (count > 1) {
        err_ << kProgram << ": the message \"" << text << "\" came " << count << " times\n";
      }
    }
  }
  int32_t Errors() const { return errors_; }

 private:
  std::ostream& err_;
  ProgressBar& bar_;
  std::map<std::string, int32_t> seen_;
  int32_t errors_ = 0;
};

// Size of one view after the input layout splits a W x H frame.
void ViewSize(int16_t layout, int32_t w, int32_t h, int32_t* vw, int32_t* vh) {
  *vw = w;
  *vh = h;
  switch (layout) {
    case kLayoutAboveBelow:
      *vh = static_cast<int32_t>(std::nearbyint(h / 2.0));
      break;
    case kLayoutInterleaved:
      *vh = h - h % 2;
      break;
    case kLayoutSideBySide:
      *vw = static_cast<int32_t>(std::nearbyint(w / 2.0));
      break;
    default:
      break;
  }
  *vw = std::max(*vw, 1);
  *vh = std::max(*vh, 1);
}

// A running average of the playback (weight 29 to 1, starting from 0) after
// `updates` measurements, freed of the pull of its zero start.
double Unbiased(float average, int64_t updates) {
  if (updates <= 0) return average;
  const double weight = 1.0 - std::pow(29.0 / 30.0, static_cast<double>(updates));
  return weight > 0 ? average / weight : average;
}

std::string Milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f ms", seconds * 1000);
  return text;
}

const char* SoundSummary(AudioHandling audio) {
  switch (audio) {
    case AudioHandling::Copied:
      return ", sound copied";
    case AudioHandling::Reencoded:
      return ", sound coded as AAC";
    case AudioHandling::Skipped:
      return ", sound left out";
    default:
      return "";
  }
}

// The files a picture-sequence output already holds under its naming (a
// folder's frame_NNNNN.png, or the pictures of a %d pattern); for a video
// file, the file itself when it exists.
bool IsPictureFolder(const std::string& output) {
  std::error_code ec;
  return (!output.empty() && output.back() == '/') || fs::is_directory(output, ec);
}

bool IsPictureSequence(const std::string& output) {
  return IsPictureFolder(output) || output.find('%') != std::string::npos;
}

std::vector<fs::path> ExistingPictures(const std::string& output) {
  std::vector<fs::path> found;
  std::error_code ec;
  const bool folder = IsPictureFolder(output);
  std::string pattern;
  fs::path dir;
  if (folder) {
    dir = output;
    pattern = "frame_%05d.png";
  } else if (output.find('%') != std::string::npos) {
    dir = fs::path(output).parent_path();
    pattern = fs::path(output).filename().string();
  } else {
    if (fs::exists(output, ec)) found.push_back(output);
    return found;
  }
  if (dir.empty()) dir = ".";
  // The pattern's first %d (with any width) stands for one or more digits.
  std::string prefix = pattern, suffix;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') continue;
    size_t j = i + 1;
    while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j]))) ++j;
    if (j < pattern.size() && pattern[j] == 'd') {
      prefix = pattern.substr(0, i);
      suffix = pattern.substr(j + 1);
      break;
    }
  }
  auto matches = [&](const std::string& name) {
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix))
      return false;
    const std::string_view digits =
        std::string_view(name).substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return std::all_of(digits.begin(), digits.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
  };
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (matches(entry.path().filename().string())) found.push_back(entry.path());
  }
  return found;
}

// What is wrong with the arguments, found without reading the input; empty
// when nothing is.
std::string ArgumentProblem(const ConvertOptions& options) {
  if (options.depthMap && options.layout && *options.layout != kLayout2DTo3D) {
    return std::string(kDepthMapNeeds2D) + "-l " + InputLayoutName(*options.layout) +
           " makes none (give -l 2d-to-3d, or leave -l out for 2D video)";
  }
  const std::string& input = options.input;
  struct stat st {};
  const bool streamed = input == "-" || (stat(input.c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
                                         !S_ISDIR(st.st_mode));
  if (streamed) {
    return (input == "-" ? std::string("the standard input") : input) +
           " needs to be a seekable file: the layout is guessed from frames across the film and "
           "frames are read more than once (save the film to a file first)";
  }
  if (options.nullOutput) return {};
  VideoWriterOptions target;
  target.codec = options.codec;
  if (std::string why; !VideoWriter::CheckTarget(options.output, target, &why)) return why;
  std::error_code ec;
  if (fs::exists(options.output, ec) && fs::equivalent(input, options.output, ec))
    return "the output " + options.output + " is the input file";
  if (!options.overwrite) {
    const std::vector<fs::path> existing = ExistingPictures(options.output);
    if (existing.size() == 1 && existing[0] == fs::path(options.output))
      return options.output + " exists already; give -y to replace it";
    if (!existing.empty()) {
      return options.output + " holds " + std::to_string(existing.size()) +
             " pictures already; give -y to replace them";
    }
  }
  return {};
}

// Names the frames that could not be read, ten at most, then counts the rest.
void ReportMissingFrames(std::ostream& err, const std::vector<int64_t>& missing) {
  constexpr size_t kNamed = 10;
  for (size_t i = 0; i < missing.size() && i < kNamed; ++i) {
    err << kProgram << ": frame " << missing[i]
        << " could not be read: a neighbouring frame was written in its place\n";
  }
  if (missing.size() > kNamed) {
    err << kProgram << ": " << missing.size() - kNamed << " more frames could not be read ("
        << missing.size() << " in all, the last one frame " << missing.back()
        << "), each replaced the same way\n";
  }
}

int Run(const ConvertOptions& options, std::ostream& out, std::ostream& err, ConvertReport& report,
        const std::string& libraryDir) {
  ProgressBar bar(err);
  MessagePrinter printer(err, bar);

  // Everything about the arguments is checked before the input is read.
  if (const std::string problem = ArgumentProblem(options); !problem.empty()) {
    err << kProgram << ": " << problem << '\n';
    return kConvertBadUsage;
  }

  // The input, read once for its frame count, size and rate.
  std::string error;
  // Frames are numbered by the stream, each at its own time, so that a
  // variable frame rate stays variable.
  const VideoOpenOptions numbering{FrameNumbering::Stream};
  auto info = VideoFile::Open(options.input, numbering, &error);
  if (!info) {
    err << kProgram << ": cannot read " << options.input << ": " << error << '\n';
    return kConvertFailed;
  }
  const int32_t length = info->Length();
  const uint32_t rate = info->Rate(), scale = info->Scale();
  const int32_t width = info->Width(), height = info->Height();
  const double startTime = options.start < length ? info->FrameTime(options.start) : 0;
  if (options.start >= length) {
    err << kProgram << ": --start " << options.start << " is past the last frame (" << options.input
        << " has " << length << " frame" << (length == 1 ? "" : "s") << ", numbered from 0)\n";
    return kConvertFailed;
  }
  const int64_t available = int64_t{length} - options.start;
  const int64_t wanted = options.frames > 0 ? std::min(options.frames, available) : available;

  // The stereo layout: given, or guessed from the picture (in doubt, 2D).
  int16_t layout = 0;
  if (options.layout) {
    layout = *options.layout;
  } else {
    const StereoGuess guess = GuessStereoLayout(*info);
    const int16_t detected = guess.layout;
    report.detected = true;
    report.detectedAs = detected;
    layout = detected == kDetected2D ? int16_t{kLayout2DTo3D} : detected;
    out << "Input layout: " << InputLayoutName(detected) << " (detected)";
    if (layout != detected) out << ", converted with " << InputLayoutName(layout);
    out << ". If that is wrong, give the layout with -l (" << kLayoutChoices << ").\n"
        << std::flush;
    if (options.depthMap && layout != kLayout2DTo3D) {
      err << kProgram << ": " << kDepthMapNeeds2D << options.input << " looks like "
          << InputLayoutName(detected)
          << " stereo material, which makes none; nothing was written (give -l 2d-to-3d if it "
             "is 2D video)\n";
      return kConvertFailed;
    }
  }

  ProgramContext ctx(libraryDir);
  ctx.host.onMessage = [&](const std::string& text, MessageStyle style) {
    printer.Show(text, style);
  };
  // A converted file never shows a black eye: the first frame, which has no
  // depth yet, is flat.
  ctx.conversion.FlatFirstFrame = true;
  ctx.conversion.EngineSynthesis = options.engineSynthesis;
  ctx.conversion.ImprovedDepth = options.improvedDepth;
  report.layout = layout;

  // The above/below composition fits the two views, without a gap, into
  // the size of one view: the common half-height top/bottom format.
  int32_t viewWidth = 0, viewHeight = 0;
  ViewSize(layout, width, height, &viewWidth, &viewHeight);
  ctx.settings.ScreenWidth = viewWidth;
  ctx.settings.ScreenHeight = viewHeight;
  ctx.settings.VertFactor = INT32_MAX;

  // The writer, opened before any decoding so that a bad output name fails
  // at once.
  NullFrameWriter nullWriter;
  std::unique_ptr<VideoWriter> writer;
  if (!options.nullOutput) {
    // Earlier pictures of a sequence would stay behind the new ones; a video
    // file is written over in place.
    if (options.overwrite && IsPictureSequence(options.output)) {
      std::error_code ec;
      for (const fs::path& picture : ExistingPictures(options.output)) fs::remove(picture, ec);
    }
    VideoWriterOptions w;
    w.codec = options.codec;
    w.audioTrack = options.audioTrack;
    // Pictures are numbered by the source frame they show.
    w.firstPictureNumber = options.start;
    w.rate = rate;
    w.scale = scale;
    w.audioSource = options.input;
    w.audioStart = startTime;
    w.crf = options.crf;
    w.preset = options.preset;
    w.onNote = [&](const std::string& text) { printer.Note(text); };
    writer = VideoWriter::Open(options.output, w, &error);
    if (!writer) {
      err << kProgram << ": " << error << '\n';
      return kConvertFailed;
    }
    report.target = writer->Target();
  }
  FrameWriter& frameWriter = writer ? static_cast<FrameWriter&>(*writer) : nullWriter;

  FrameSink sink(ctx.host, frameWriter, ctx.StopRequested);
  sink.SetFrameLimit(wanted);
  // A depth map: the composed frame, of one view's size, gives way to the
  // depth the conversion step has just made the right view from.
  cDIBSection depthPicture;
  if (options.depthMap) {
    sink.ReplaceFrames([&ctx, &depthPicture](const cDIBSection& composed) -> const cDIBSection& {
      MakeDepthPicture(ctx.arrays.DepthMap, composed.Width(), composed.Height(), depthPicture);
      return depthPicture;
    });
  }
  // Frames the source cannot deliver are replaced, so that the picture stays
  // in step with the sound track.
  // The playback reads the file already open: opening it again would read
  // all of it once more to number its frames.
  ctx.video.Opener = VideoFileOpener(numbering, options.input, std::move(info));
  sink.FollowFrames(&ctx.CurrentFrame, options.start, [&ctx, startTime](int64_t frame) {
    const FrameSource* stream = ctx.video.Stream.get();
    if (!stream || frame < INT32_MIN || frame > INT32_MAX) return -1.0;
    return stream->FrameTime(static_cast<int32_t>(frame)) - startTime;
  });
  bar.Begin(options.progress, wanted);
  sink.onFrame = [&](int64_t written) { bar.Update(written); };
  ctx.Displays = DisplayDevices{&sink, &sink, &sink};

  PlayRequest request;
  request.OpenPath = options.input;
  request.AudioMethod = kAudioClock;
  request.AudioSync = 0;  // no pacing: as fast as the machine goes
  request.UseStreamRate = 1;
  request.StartFrame = options.start;
  request.InputLayout = layout;
  request.OutputMethod = options.method;
  request.Fullscreen = kFalse;
  request.Loop = 0;

  // A stop signal ends the playback after the frame being written.
  ctx.host.onPumpEvents = [&] {
    if (options.interrupted && options.interrupted->load() != 0) ctx.StopRequested = kTrue;
  };

  const Clock::time_point begun = Clock::now();
  PlayVideo(ctx, request);
  const bool interrupted = options.interrupted && options.interrupted->load() != 0;
  if (sink.FramesWritten() > 0 && !interrupted) sink.FillUpTo(int64_t{options.start} + wanted);
  report.seconds = std::chrono::duration<double>(Clock::now() - begun).count();
  report.frames = sink.FramesWritten();
  report.missingFrames = static_cast<int64_t>(sink.MissingFrames().size());
  if (report.frames > 0) bar.Finish(report.frames);
  bar.Clear();

  bool ok = !sink.Failed() && report.frames > 0;
  if (writer) {
    if (!sink.Failed() && !writer->Finish(&error)) {
      err << kProgram << ": " << error << '\n';
      ok = false;
    }
  }
  if (report.frames == 0 && !sink.Failed()) {
    err << kProgram << ": no frame came through the playback\n";
  }
  if (report.frames > 0 && report.missingFrames > 0) {
    ReportMissingFrames(err, sink.MissingFrames());
    ok = false;
  }
  printer.SummariseRepeats();
  report.messages = printer.Errors();
  for (int i = 0; i < 4; ++i) report.stageTimes[i] = ctx.StageTimes[i];
  if (report.messages > 0) ok = false;

  if (report.frames > 0) {
    if (writer) {
      out << "Wrote " << report.frames << " frame" << (report.frames == 1 ? "" : "s") << " to "
          << writer->Target() << " ("
          << (options.depthMap ? std::string("depth map") : OutputMethodName(options.method))
          << ", " << writer->EncoderName() << ", " << writer->CodedWidth() << " x "
          << writer->CodedHeight() << SoundSummary(writer->Audio()) << ")\n";
    } else {
      out << "Ran " << report.frames << " frame" << (report.frames == 1 ? "" : "s")
          << " through the pipeline without writing them\n";
    }
    char fps[64];
    std::snprintf(fps, sizeof(fps), "%.1f",
                  report.seconds > 0 ? report.frames / report.seconds : 0);
    out << "Frames per second: " << fps << '\n';
    const bool passThrough = IsPassThrough(request);
    const int64_t n = report.frames;
    out << "Fetch: " << Milliseconds(Unbiased(ctx.StageTimes[kStageGetFrame], n)) << "  Unpack: "
        << (passThrough ? "skipped" : Milliseconds(Unbiased(ctx.StageTimes[kStageDecode], n)))
        << "  Pack: "
        << (passThrough ? "skipped" : Milliseconds(Unbiased(ctx.StageTimes[kStageEncode], n)))
        << "  Put: " << Milliseconds(Unbiased(ctx.StageTimes[kStagePut], n)) << '\n';
  }
  if (interrupted) {
    err << kProgram << ": stopped at frame " << ctx.CurrentFrame << "; "
        << (report.frames > 0 && ok ? "the frames written so far make a complete file"
                                    : "nothing usable was written")
        << '\n';
    return kConvertInterrupted;
  }
  if (!ok) err << kProgram << ": the conversion did not complete cleanly\n";
  return ok ? kConvertOk : kConvertFailed;
}

}  // namespace

std::optional<VideoCodec> ParseCodecName(std::string_view text) {
  const std::string lower = Lower(text);
  if (lower == "h264" || lower == "h.264" || lower == "avc") return VideoCodec::H264;
  if (lower == "ffv1") return VideoCodec::FFV1;
  if (lower == "png") return VideoCodec::PNG;
  return std::nullopt;
}

void MakeDepthPicture(const Plane<uint8_t>& depth, int32_t w, int32_t h, cDIBSection& picture) {
  if (w < 1 || h < 1) {
    picture.ClearUp();
    return;
  }
  if ((picture.Width() != w || picture.Height() != h || picture.Empty()) && !picture.Create(w, h))
    return;
  const bool fits = depth.Cols() == int64_t{w} + 1 && depth.Rows() == int64_t{h} + 1;
  if (!fits) {
    std::memset(picture.DIBSectionBitsPtr(), 0, picture.ImageSize());
    return;
  }
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* row = depth.Row(y);
    uint8_t* line = picture.ScanLine(y);
    for (int32_t x = 0; x < w; ++x, line += 3) line[0] = line[1] = line[2] = row[x];
  }
}

std::string ConvertUsage() {
  return R"(Usage: dioptrix-convert [options] INPUT -o OUTPUT

Converts a video into a stereoscopic 3D video with the same frame pipeline
the player uses, without a window and as fast as the machine goes.

Options:
  -o, --output PATH     what to write. The container follows the extension
                        (.mp4, .mkv, .avi, .mov, ...). A name with a frame
                        number pattern (frames_%05d.png) or a folder (a name
                        ending in /) gets one PNG picture per frame, numbered
                        by the source frame it shows. Missing folders are
                        made. An existing output is replaced only with -y.
  -l, --layout LAYOUT   stereo layout of the input, by name or code:
                          2d                      3  plain 2D, both eyes alike
                          2d-to-3d, convert       4  2D converted to 3D
                          side-by-side, parallel  5  left view in the left half
                          above-below             1  left view in the top half
                          interleaved             2  rows alternate
                          anaglyph                6  red/cyan, grey views
                          anaglyph-colour         7  red/cyan, colour views
                        Default: detected from the picture as the player
                        does on opening. Side-by-side and above-below
                        material keep their layout; everything else counts as
                        2D and is converted to 3D (4), since plain 2D (3)
                        would give both eyes the same picture.
  -m, --method METHOD   output composition, by name or code:
                          anaglyph, anaglyph-colour  3  red/cyan (default)
                          anaglyph-grey              2  red/cyan, grey
                          anaglyph-yellow            4  blue/yellow
                          interlaced                 5  rows alternate
                          side-by-side               6  views side by side
                          above-below                7  left view on top
                          depth-map, depth              the depth of 2D
                                                        converted to 3D
                        (1 composes as 7 and 8 as 6.) Side by side keeps
                        both views whole; above-below squeezes both into the
                        height of one view, without a gap. A depth map shows,
                        for every frame, the depth the right view was made
                        from: grey, nearer brighter, the size of one view.
                        It is only for 2D input converted to 3D.
      --start N         first frame, counted from 0 (default 0)
      --frames N        frames to write (default: all to the end)
      --codec CODEC     h264 (default for video files; odd sizes are padded
                        to even), ffv1 (lossless; .mkv or .avi) or png
      --crf N           H.264 quality, 0 to 51, lower is better (default 20)
      --preset NAME     libx264 speed preset (default veryfast)
      --null            run the frames through the pipeline and write
                        nothing (to measure speed); no -o then
  -y, --overwrite       replace an existing output (for pictures: remove
                        the earlier pictures of the same name pattern)
      --audio-track N   keep only the N-th sound track (from 0); by default
                        every sound track is kept
      --synthesis KIND  how 2D converted to 3D gets its second view:
                          library  the fast kernel the player uses (default)
                          engine   sub-pixel shifts, holes filled from the
                                   nearer side, depth edges smoothed; slower,
                                   about 120 ms a 1080p frame (library: 4 ms),
                                   for conversions that need not run in real
                                   time
      --depth KIND      how 2D converted to 3D gets its depth:
                          motion    from block motion between frames
                                    (default)
                          improved  depth that follows the scene: a gain
                                    that adapts to the motion present,
                                    depth refined below the block and
                                    snapped to picture edges, smoothing over
                                    time that restarts at cuts, parallax
                                    depth on pans in either direction;
                                    about 1.5 times the cost of motion
  -h, --help            this text

Every sound track of the input goes into the output with its language and
flags: copied when the container holds its codec, coded again as AAC when
not; pictures get none. Frames keep their times (a variable frame rate stays
variable) where the container can hold them. A progress
bar is drawn on a terminal; at the end the frames per second and the mean
times of the four stages are printed: fetch (reading and decoding the video
frame), unpack (splitting a stereo frame into its two views, or making the
second view of a 2D frame), pack (composing the views for the output) and put
(writing the frame).

Exit status: 0 done, 1 the conversion failed or reported errors, 2 bad
arguments (refused before the input is read), 130 stopped by Ctrl-C or
SIGTERM (the frames written so far make a complete file).
)";
}

ParsedArguments ParseConvertArguments(const std::vector<std::string>& args) {
  ParsedArguments parsed;
  ConvertOptions& o = parsed.options;
  auto fail = [&](std::string text) {
    parsed.ok = false;
    parsed.error = std::move(text);
    return parsed;
  };
  bool haveOutput = false;
  ArgumentReader reader(args);
  std::string value, why;
  while (reader.NextOption()) {
    const std::string& arg = reader.Option();
    auto takeValue = [&] { return reader.TakeValue(value); };
    auto flag = [&] { return !reader.HasInlineValue(); };

    if (arg == "-h" || arg == "--help") {
      if (!flag()) return fail(arg + " takes no value");
      o.help = true;
    } else if (arg == "--null") {
      if (!flag()) return fail(arg + " takes no value");
      o.nullOutput = true;
    } else if (arg == "-y" || arg == "--overwrite") {
      if (!flag()) return fail(arg + " takes no value");
      o.overwrite = true;
    } else if (arg == "--audio-track") {
      if (!takeValue()) return fail("--audio-track needs a track number");
      const auto n = ParseNumber(value, 0, 1000);
      if (!n) return fail("--audio-track needs a track number from 0 up, not '" + value + "'");
      o.audioTrack = static_cast<int32_t>(*n);
    } else if (arg == kSynthesisOption.option) {
      const auto engine = TakeTwoWay(reader, kSynthesisOption, &why);
      if (!engine) return fail(why);
      o.engineSynthesis = *engine;
    } else if (arg == kDepthOption.option) {
      const auto improved = TakeTwoWay(reader, kDepthOption, &why);
      if (!improved) return fail(why);
      o.improvedDepth = *improved;
    } else if (arg == "-o" || arg == "--output") {
      if (!takeValue() || value.empty()) return fail(arg + " needs a file name");
      if (haveOutput) return fail("more than one output given");
      o.output = value;
      haveOutput = true;
    } else if (arg == "-l" || arg == "--layout" || arg == "--input-layout") {
      if (!takeValue()) return fail(arg + " needs a layout");
      o.layout = ParseInputLayout(value);
      if (!o.layout) {
        return fail("unknown input layout '" + value + "' (" + kLayoutChoices + ")");
      }
    } else if (arg == "-m" || arg == "--method" || arg == "--output-method") {
      if (!takeValue()) return fail(arg + " needs an output method");
      o.depthMap = IsDepthMapMethod(value);
      // The depth picture replaces a composition of one view's size.
      const auto method =
          o.depthMap ? std::optional<int16_t>(kOutputAnaglyphColour) : ParseOutputMethod(value);
      if (!method) {
        return fail("unknown output method '" + value + "' (depth-map, " + kMethodChoices + ")");
      }
      o.method = *method;
    } else if (arg == "--start") {
      if (!takeValue()) return fail("--start needs a frame number");
      const auto n = ParseNumber(value, 0, INT32_MAX);
      if (!n) return fail("--start needs a frame number from 0 up, not '" + value + "'");
      o.start = static_cast<int32_t>(*n);
    } else if (arg == "--frames") {
      if (!takeValue()) return fail("--frames needs a count");
      const auto n = ParseNumber(value, 1, INT32_MAX);
      if (!n) return fail("--frames needs a count from 1 up, not '" + value + "'");
      o.frames = *n;
    } else if (arg == "--codec") {
      if (!takeValue()) return fail("--codec needs a codec name");
      const auto codec = ParseCodecName(value);
      if (!codec) return fail("unknown codec '" + value + "' (h264, ffv1 or png)");
      o.codec = *codec;
    } else if (arg == "--crf") {
      if (!takeValue()) return fail("--crf needs a number");
      const auto n = ParseNumber(value, 0, 51);
      if (!n) return fail("--crf needs a number from 0 to 51, not '" + value + "'");
      o.crf = static_cast<int>(*n);
    } else if (arg == "--preset") {
      if (!takeValue()) return fail("--preset needs a name");
      const std::string lower = Lower(value);
      if (std::find(std::begin(kPresets), std::end(kPresets), lower) == std::end(kPresets)) {
        return fail("unknown preset '" + value + "' (ultrafast ... veryslow)");
      }
      o.preset = lower;
    } else {
      return fail("unknown option " + arg);
    }
  }
  if (o.help) {
    parsed.ok = true;
    return parsed;
  }
  const std::vector<std::string>& positional = reader.Positional();
  if (positional.empty()) return fail("no input video given");
  if (positional.size() > 1) return fail("more than one input given: " + positional[1]);
  o.input = positional[0];
  if (o.nullOutput && haveOutput) return fail("--null writes nothing: leave out -o");
  if (!o.nullOutput && !haveOutput) return fail("no output given (-o PATH)");
  parsed.ok = true;
  return parsed;
}

int RunConvert(const ConvertOptions& options, std::ostream& out, std::ostream& err,
               ConvertReport* report, const std::string& libraryDir) {
  ConvertReport local;
  ConvertReport& r = report ? *report : local;
  try {
    return Run(options, out, err, r, libraryDir);
  } catch (const std::bad_alloc&) {
    err << kProgram << ": out of memory\n";
  } catch (const std::exception& e) {
    err << kProgram << ": " << e.what() << '\n';
  }
  return kConvertFailed;
}

namespace {

// Set by SIGINT and SIGTERM: the conversion completes what it has written.
std::atomic<int> stopSignal{0};

extern "C" void OnStopSignal(int) { stopSignal.store(1); }

// The first SIGINT or SIGTERM asks the conversion to stop cleanly; the
// handler then falls back to the default, so a second one ends the program.
void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int ConvertMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool progress) {
  ParsedArguments parsed = ParseConvertArguments(args);
  if (!parsed.ok) {
    err << kProgram << ": " << parsed.error << "\nTry '" << kProgram << " --help'.\n";
    return kConvertBadUsage;
  }
  if (parsed.options.help) {
    out << ConvertUsage();
    return kConvertOk;
  }
  parsed.options.progress = progress;
  static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
  CatchStopSignals();
  parsed.options.interrupted = &stopSignal;
  return RunConvert(parsed.options, out, err);
}

}  // namespace dioptrix
