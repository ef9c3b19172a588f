#include "app/player_cli.h"

#include "app/command_line.h"

namespace dioptrix {

std::string PlayerUsage() {
  return R"(Usage: dioptrix [options] [FILE]

Plays a video in stereoscopic 3D: 2D video is converted to 3D as it plays,
stereo video (side by side, above/below) is shown as it is, composed for the
3D glasses chosen in File > Settings (anaglyph glasses on the first run).
With FILE, the video is opened and played at once; the window stays open
afterwards. Any key or mouse click on the picture stops the playback.

Keys: Ctrl+O open, Space play/stop, F or F11 fullscreen, Esc stop,
Ctrl+Q exit, F1 the user guide.

Options:
  -l, --layout LAYOUT   stereo layout of FILE, by name or code (default:
                        detected from the picture; plain 2D is converted
                        to 3D):
                          2d-to-3d, convert       4  2D converted to 3D
                          2d                      3  plain 2D, both eyes alike
                          side-by-side, parallel  5  left view in the left half
                          above-below             1  left view in the top half
                          interleaved             2  rows alternate
                          anaglyph                6  red/cyan, grey views
                          anaglyph-colour         7  red/cyan, colour views
  -m, --method METHOD   how the pair is shown, by name or code (default:
                        from the glasses in the settings):
                          anaglyph, anaglyph-colour  3  red/cyan
                          anaglyph-grey              2  red/cyan, grey
                          anaglyph-yellow            4  blue/yellow
                          interlaced                 5  rows alternate
      --synthesis KIND  how 2D converted to 3D gets its second view:
                        library (default) or engine (finer, but about
                        120 ms a 1080p frame: too slow to play in real
                        time beyond small videos)
      --depth KIND      how 2D converted to 3D gets its depth, for this run
                        (default: as Format > Improved depth was left):
                          motion    from block motion between frames
                          improved  depth that follows the scene, at about
                                    1.5 times the cost (see
                                    dioptrix-convert --help)
  -f, --fullscreen      play FILE fullscreen
  -q, --quit-at-end     end the program when the playback of FILE ends
      --batch           no message boxes: messages go to the error stream
                        (for scripts; nothing waits for a person)
  -h, --help            this text
  -V, --version         the version

Exit status: 0 played, 1 the video could not be played or errors were
reported, 2 bad arguments.
)";
}

std::string PlayerVersion() { return std::string("dioptrix ") + DIOPTRIX_VERSION + "\n"; }

ParsedPlayerArguments ParsePlayerArguments(const std::vector<std::string>& args) {
  ParsedPlayerArguments parsed;
  PlayerOptions& o = parsed.options;
  auto fail = [&](std::string text) {
    parsed.ok = false;
    parsed.error = std::move(text);
    return parsed;
  };
  ArgumentReader reader(args);
  std::string value, why;
  while (reader.NextOption()) {
    const std::string& arg = reader.Option();
    auto takeValue = [&] { return reader.TakeValue(value); };
    auto noValue = [&] { return !reader.HasInlineValue(); };

    if (arg == "-h" || arg == "--help") {
      if (!noValue()) return fail(arg + " takes no value");
      o.help = true;
    } else if (arg == "-V" || arg == "--version") {
      if (!noValue()) return fail(arg + " takes no value");
      o.version = true;
    } else if (arg == "-q" || arg == "--quit-at-end") {
      if (!noValue()) return fail(arg + " takes no value");
      o.quitAtEnd = true;
    } else if (arg == "-f" || arg == "--fullscreen") {
      if (!noValue()) return fail(arg + " takes no value");
      o.fullscreen = true;
    } else if (arg == "--batch") {
      if (!noValue()) return fail(arg + " takes no value");
      o.batch = true;
    } else if (arg == kSynthesisOption.option) {
      const auto engine = TakeTwoWay(reader, kSynthesisOption, &why);
      if (!engine) return fail(why);
      o.engineSynthesis = *engine;
    } else if (arg == kDepthOption.option) {
      o.improvedDepth = TakeTwoWay(reader, kDepthOption, &why);
      if (!o.improvedDepth) return fail(why);
    } else if (arg == "-l" || arg == "--layout") {
      if (!takeValue()) return fail(arg + " needs a layout");
      o.layout = ParseInputLayout(value);
      if (!o.layout) return fail("unknown input layout '" + value + "' (" + kLayoutChoices + ")");
    } else if (arg == "-m" || arg == "--method") {
      if (!takeValue()) return fail(arg + " needs an output method");
      o.method = ParseOutputMethod(value);
      if (!o.method) return fail("unknown output method '" + value + "' (" + kMethodChoices + ")");
    } else {
      return fail("unknown option " + arg);
    }
  }
  if (o.help || o.version) {
    parsed.ok = true;
    return parsed;
  }
  const std::vector<std::string>& positional = reader.Positional();
  if (positional.size() > 1) return fail("more than one video given: " + positional[1]);
  if (!positional.empty()) o.file = positional[0];
  if (o.file.empty() && (o.layout || o.method || o.fullscreen || o.quitAtEnd))
    return fail("--layout, --method, --fullscreen and --quit-at-end need a video file");
  parsed.ok = true;
  return parsed;
}

}  // namespace dioptrix
