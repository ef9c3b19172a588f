#include "app/convert_cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/player_cli.h"
#include "platform/library.h"
#include "platform/video/video_writer.h"
#include "playback/play_request.h"
#include "tests/common/test_images.h"
#include "tests/convert/convert_support.h"

extern char** environ;

namespace dioptrix {
namespace {

namespace fs = std::filesystem;
using test::Clip;
using test::FrameTimes;
using test::MakeClip;
using test::ReadFrames;
using test::SamePixels;
using test::TempFolder;

std::string Scratch(const std::string& name) { return TempFolder() + "/" + name; }

ParsedArguments Parse(std::vector<std::string> args) { return ParseConvertArguments(args); }

TEST(ConvertArguments, NamesAndCodesOfLayoutsMethodsAndCodecs) {
  struct Named {
    const char* text;
    int16_t code;
  };
  for (const Named& n : std::vector<Named>{{"2d", 3},
                                           {"2D", 3},
                                           {"2d-to-3d", 4},
                                           {"convert", 4},
                                           {"side-by-side", 5},
                                           {"Parallel", 5},
                                           {"above-below", 1},
                                           {"interleaved", 2},
                                           {"anaglyph", 6},
                                           {"anaglyph-colour", 7},
                                           {"1", 1},
                                           {"7", 7},
                                           {"+4", 4}}) {
    EXPECT_EQ(ParseInputLayout(n.text), std::optional<int16_t>(n.code)) << n.text;
  }
  for (const char* bad : {"", "0", "8", "-1", "3d", "side by side", "5x", "99999999999999999999"}) {
    EXPECT_FALSE(ParseInputLayout(bad)) << bad;
  }
  for (const Named& n : std::vector<Named>{{"anaglyph", 3},
                                           {"anaglyph-colour", 3},
                                           {"anaglyph-grey", 2},
                                           {"ANAGLYPH-GRAY", 2},
                                           {"anaglyph-yellow", 4},
                                           {"interlaced", 5},
                                           {"side-by-side", 6},
                                           {"above-below", 7},
                                           {"1", 1},
                                           {"8", 8}}) {
    EXPECT_EQ(ParseOutputMethod(n.text), std::optional<int16_t>(n.code)) << n.text;
  }
  for (const char* bad : {"", "0", "9", "anaglyph-red", " 3"}) {
    EXPECT_FALSE(ParseOutputMethod(bad)) << bad;
  }
  EXPECT_EQ(ParseCodecName("H264"), VideoCodec::H264);
  EXPECT_EQ(ParseCodecName("ffv1"), VideoCodec::FFV1);
  EXPECT_EQ(ParseCodecName("png"), VideoCodec::PNG);
  EXPECT_FALSE(ParseCodecName("vp9"));
  // Every name a report prints reads back as its code.
  for (int16_t code = 1; code <= 7; ++code) {
    EXPECT_EQ(ParseInputLayout(InputLayoutName(code)), code);
  }
}

TEST(ConvertArguments, OptionsAndTheirMistakes) {
  ParsedArguments p =
      Parse({"in put.mp4", "-o", "out.mkv", "--layout", "sbs", "-m", "interlaced", "--start", "12",
             "--frames=30", "--codec", "ffv1", "--crf", "18", "--preset", "Fast"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.input, "in put.mp4");
  EXPECT_EQ(p.options.output, "out.mkv");
  EXPECT_EQ(p.options.layout, std::optional<int16_t>(5));
  EXPECT_EQ(p.options.method, 5);
  EXPECT_EQ(p.options.start, 12);
  EXPECT_EQ(p.options.frames, 30);
  EXPECT_EQ(p.options.codec, VideoCodec::FFV1);
  EXPECT_EQ(p.options.crf, 18);
  EXPECT_EQ(p.options.preset, "fast");

  // Defaults: layout detected, colour anaglyph, all frames, codec by name.
  p = Parse({"--output=o.mp4", "--", "-odd name.mp4"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.input, "-odd name.mp4");
  EXPECT_FALSE(p.options.layout);
  EXPECT_EQ(p.options.method, kOutputAnaglyphColour);
  EXPECT_EQ(p.options.start, 0);
  EXPECT_EQ(p.options.frames, 0);
  EXPECT_EQ(p.options.codec, VideoCodec::Auto);

  p = Parse({"in.mp4", "--null"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_TRUE(p.options.nullOutput);
  EXPECT_FALSE(p.options.engineSynthesis);
  p = Parse({"in.mp4", "--null", "--synthesis", "Engine"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_TRUE(p.options.engineSynthesis);
  p = Parse({"in.mp4", "--null", "--synthesis", "engine", "--synthesis=library"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_FALSE(p.options.engineSynthesis);
  EXPECT_TRUE(Parse({"--help"}).options.help);

  struct Bad {
    std::vector<std::string> args;
    const char* expect;
  };
  const std::vector<Bad> bad = {
      {{}, "no input"},
      {{"-o", "x.mp4"}, "no input"},
      {{"in.mp4"}, "no output"},
      {{"a.mp4", "b.mp4", "-o", "x.mp4"}, "more than one input"},
      {{"in.mp4", "-o"}, "needs a file name"},
      {{"in.mp4", "-o", "a.mp4", "-o", "b.mp4"}, "more than one output"},
      {{"in.mp4", "-o", "x.mp4", "--layout", "3d"}, "unknown input layout '3d'"},
      {{"in.mp4", "-o", "x.mp4", "--layout"}, "needs a layout"},
      {{"in.mp4", "-o", "x.mp4", "-m", "0"}, "unknown output method '0'"},
      {{"in.mp4", "-o", "x.mp4", "--start", "-1"}, "--start needs a frame number"},
      {{"in.mp4", "-o", "x.mp4", "--start", "ten"}, "--start needs a frame number"},
      {{"in.mp4", "-o", "x.mp4", "--frames", "0"}, "--frames needs a count"},
      {{"in.mp4", "-o", "x.mp4", "--frames", "4294967296"}, "--frames needs a count"},
      {{"in.mp4", "-o", "x.mp4", "--codec", "mpeg2"}, "unknown codec 'mpeg2'"},
      {{"in.mp4", "-o", "x.mp4", "--crf", "52"}, "--crf needs a number from 0 to 51"},
      {{"in.mp4", "-o", "x.mp4", "--preset", "warp"}, "unknown preset"},
      {{"in.mp4", "-o", "x.mp4", "--fast"}, "unknown option --fast"},
      {{"in.mp4", "-o", "x.mp4", "--null"}, "--null writes nothing"},
      {{"in.mp4", "--null=yes"}, "takes no value"},
      {{"in.mp4", "--null", "--synthesis", "dll"}, "unknown synthesis 'dll' (library or engine)"},
      {{"in.mp4", "--null", "--synthesis"}, "--synthesis needs library or engine"},
  };
  for (const Bad& b : bad) {
    p = Parse(b.args);
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find(b.expect), std::string::npos) << p.error;
  }

  // The whole program: usage errors exit with 2 and point to --help.
  std::ostringstream out, err;
  EXPECT_EQ(ConvertMain({"in.mp4"}, out, err, false), kConvertBadUsage);
  EXPECT_NE(err.str().find("--help"), std::string::npos);
  EXPECT_EQ(ConvertMain({"in.mp4", "--null", "--synthesis", "fast"}, out, err, false),
            kConvertBadUsage);
  std::ostringstream helpOut, helpErr;
  EXPECT_EQ(ConvertMain({"--help"}, helpOut, helpErr, false), kConvertOk);
  EXPECT_EQ(helpOut.str(), ConvertUsage());
  EXPECT_TRUE(helpErr.str().empty());
}

// --depth picks the depth of 2D converted to 3D; -m depth-map (or depth)
// writes that depth instead of a composition of the views, over the
// colour anaglyph's single-view frames. The last choice of each holds.
TEST(ConvertArguments, TheDepthKindAndTheDepthMapMethod) {
  EXPECT_EQ(ParseImprovedDepth("Improved"), std::optional<bool>(true));
  EXPECT_EQ(ParseImprovedDepth("MOTION"), std::optional<bool>(false));
  for (const char* bad : {"", "improve", "better", " motion"})
    EXPECT_FALSE(ParseImprovedDepth(bad));

  ParsedArguments p;
  for (const auto& [args, improved] : std::vector<std::pair<std::vector<std::string>, bool>>{
           {{"in.mp4", "--null"}, false},
           {{"in.mp4", "--null", "--depth", "improved"}, true},
           {{"in.mp4", "--null", "--depth=improved", "--depth", "Motion"}, false}}) {
    p = Parse(args);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.improvedDepth, improved) << args.back();
    EXPECT_FALSE(p.options.depthMap);
  }

  for (const char* name : {"depth-map", "depth", "Depth-Map", "DEPTH"}) {
    p = Parse({"in.mp4", "-o", "d/", "-m", name});
    ASSERT_TRUE(p.ok) << name << ": " << p.error;
    EXPECT_TRUE(p.options.depthMap) << name;
    EXPECT_EQ(p.options.method, kOutputAnaglyphColour) << name;
  }
  p = Parse({"in.mp4", "-o", "d/", "--method=depth-map", "-m", "side-by-side"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_FALSE(p.options.depthMap);
  EXPECT_EQ(p.options.method, kOutputStereoDriver);

  struct Bad {
    std::vector<std::string> args;
    const char* expect;
  };
  for (const Bad& b : std::vector<Bad>{
           {{"in.mp4", "--null", "--depth"}, "--depth needs motion or improved"},
           {{"in.mp4", "--null", "--depth", "deep"}, "unknown depth 'deep' (motion or improved)"},
           {{"in.mp4", "--null", "--depth="}, "unknown depth '' (motion or improved)"},
           {{"in.mp4", "-o", "x.mp4", "-m", "depth-maps"},
            "unknown output method 'depth-maps' (depth-map, anaglyph,"},
       }) {
    p = Parse(b.args);
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find(b.expect), std::string::npos) << p.error;
  }
  std::ostringstream out, err;
  EXPECT_EQ(ConvertMain({"in.mp4", "--null", "--depth", "fast"}, out, err, false),
            kConvertBadUsage);
  EXPECT_NE(err.str().find("unknown depth 'fast'"), std::string::npos) << err.str();
  for (const char* line : {"--depth KIND", "depth-map, depth"})
    EXPECT_NE(ConvertUsage().find(line), std::string::npos) << line;
}

// The player takes the same --synthesis and --depth choices (for any video
// it plays); without --depth the stored setting holds.
TEST(ConvertArguments, ThePlayerTakesTheSameSynthesisAndDepthChoices) {
  EXPECT_EQ(ParseEngineSynthesis("ENGINE"), std::optional<bool>(true));
  EXPECT_EQ(ParseEngineSynthesis("library"), std::optional<bool>(false));
  EXPECT_FALSE(ParseEngineSynthesis("dll"));
  ParsedPlayerArguments p = ParsePlayerArguments({"--synthesis=engine"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_TRUE(p.options.engineSynthesis);
  EXPECT_FALSE(ParsePlayerArguments({"clip.mp4"}).options.engineSynthesis);
  EXPECT_FALSE(ParsePlayerArguments({"clip.mp4"}).options.improvedDepth);
  p = ParsePlayerArguments({"--depth", "improved"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.improvedDepth, std::optional<bool>(true));
  p = ParsePlayerArguments({"clip.mp4", "--depth=improved", "--depth=motion"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.improvedDepth, std::optional<bool>(false));
  EXPECT_NE(PlayerUsage().find("--depth KIND"), std::string::npos);

  for (const auto& [args, expect] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--synthesis", "gpu", "clip.mp4"}, "unknown synthesis 'gpu'"},
           {{"clip.mp4", "--synthesis"}, "--synthesis needs library or engine"},
           {{"--depth", "stereo", "clip.mp4"}, "unknown depth 'stereo' (motion or improved)"},
           {{"clip.mp4", "--depth"}, "--depth needs motion or improved"},
           // The depth map is the converter's alone.
           {{"clip.mp4", "-m", "depth-map"}, "unknown output method 'depth-map'"},
       }) {
    p = ParsePlayerArguments(args);
    EXPECT_FALSE(p.ok) << expect;
    EXPECT_NE(p.error.find(expect), std::string::npos) << p.error;
  }
}

struct Result {
  int status = -1;
  std::string out, err;
  ConvertReport report;
};

Result Convert(ConvertOptions options) {
  Result r;
  std::ostringstream out, err;
  r.status = RunConvert(options, out, err, &r.report);
  r.out = out.str();
  r.err = err.str();
  return r;
}

ConvertOptions Options(const std::string& input, const std::string& output) {
  ConvertOptions o;
  o.input = input;
  o.output = output;
  return o;
}

TEST(Converter, SideBySidePassThroughKeepsEveryFrameByteForByte) {
  for (const int32_t width : {160, 161}) {  // odd widths stay odd with FFV1
    SCOPED_TRACE(width);
    Clip clip;
    clip.kind = "sbs";
    clip.width = width;
    clip.height = 91;
    const std::string input = MakeClip(clip);
    ASSERT_FALSE(input.empty());
    const std::vector<DibPtr> source = ReadFrames(input);
    ASSERT_EQ(source.size(), 12u);

    ConvertOptions o = Options(input, Scratch("sbs-" + std::to_string(width) + ".mkv"));
    o.layout = kLayoutSideBySide;
    o.method = kOutputStereoDriver;
    o.codec = VideoCodec::FFV1;
    const Result r = Convert(o);
    ASSERT_EQ(r.status, kConvertOk) << r.err;
    EXPECT_EQ(r.report.frames, 12);
    EXPECT_EQ(r.report.messages, 0);
    EXPECT_NE(r.out.find("Wrote 12 frames"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Unpack: skipped"), std::string::npos) << r.out;
    for (const char* stage : {"Fetch: ", "Pack: ", "Put: ", "Frames per second: "}) {
      EXPECT_NE(r.out.find(stage), std::string::npos) << stage;
    }
    const std::vector<DibPtr> written = ReadFrames(o.output);
    ASSERT_EQ(written.size(), source.size());
    for (size_t i = 0; i < written.size(); ++i) {
      EXPECT_TRUE(SamePixels(*written[i], *source[i])) << "frame " << i;
    }
    // The sound track came along, copied.
    EXPECT_EQ(test::StreamCodecs(o.output, "audio"), std::vector<std::string>{"aac"});
  }
}

// The colour anaglyph of a plain 2D frame (both eyes the same picture): red
// is the left eye's luminance, green and blue the right eye's own.
bool IsColourAnaglyphOf(const cDIBSection& out, const cDIBSection& in) {
  if (out.Width() != in.Width() || out.Height() != in.Height()) return false;
  for (int32_t y = 0; y < in.Height(); ++y) {
    for (int32_t x = 0; x < in.Width(); ++x) {
      const uint8_t* p = in.ScanLine(y) + 3 * x;
      const uint8_t* q = out.ScanLine(y) + 3 * x;
      const double grey = (707.0 * p[1] + 222.0 * p[2] + 71.0 * p[0]) / 1000;
      if (q[0] != p[0] || q[1] != p[1] || q[2] != std::nearbyint(grey)) return false;
    }
  }
  return true;
}

TEST(Converter, FramesAreTheComposedFramesFromTheStartFrameOn) {
  Clip clip;
  clip.width = 97;  // odd sizes all through
  clip.height = 55;
  clip.frames = 24;
  const std::string input = MakeClip(clip);
  ASSERT_FALSE(input.empty());
  const std::vector<DibPtr> source = ReadFrames(input);
  ASSERT_EQ(source.size(), 24u);

  // Plain 2D composed as a colour anaglyph, frames 3 to 7, as numbered
  // pictures in a folder whose name has spaces and quotes.
  ConvertOptions o = Options(input, Scratch("it's a \"folder\"/"));
  o.layout = kLayout2D;
  o.method = kOutputAnaglyphColour;
  o.start = 3;
  o.frames = 5;
  Result r = Convert(o);
  ASSERT_EQ(r.status, kConvertOk) << r.err;
  EXPECT_EQ(r.report.frames, 5);
  const std::vector<DibPtr> pictures = ReadFrames(Scratch("it's a \"folder\"/frame_%05d.png"));
  ASSERT_EQ(pictures.size(), 5u);
  for (size_t i = 0; i < pictures.size(); ++i) {
    EXPECT_TRUE(IsColourAnaglyphOf(*pictures[i], *source[3 + i])) << "picture " << i;
  }

  // Frames 9 to 14 into a video file, with the quarter second of sound that
  // belongs to them.
  o = Options(input, Scratch("middle.mkv"));
  o.layout = kLayout2D;
  o.codec = VideoCodec::FFV1;
  o.start = 9;
  o.frames = 6;
  r = Convert(o);
  ASSERT_EQ(r.status, kConvertOk) << r.err;
  const std::vector<DibPtr> middle = ReadFrames(o.output);
  ASSERT_EQ(middle.size(), 6u);
  for (size_t i = 0; i < middle.size(); ++i) {
    EXPECT_TRUE(IsColourAnaglyphOf(*middle[i], *source[9 + i])) << "frame " << i;
  }
  EXPECT_NEAR(test::StreamDuration(o.output, "audio"), 0.25, 0.03);

  // A count past the end stops at the last frame.
  o.output = Scratch("tail.mkv");
  o.start = 21;
  o.frames = 100;
  r = Convert(o);
  ASSERT_EQ(r.status, kConvertOk) << r.err;
  const std::vector<DibPtr> tail = ReadFrames(o.output);
  ASSERT_EQ(tail.size(), 3u);
  EXPECT_TRUE(IsColourAnaglyphOf(*tail[2], *source[23]));
}

TEST(Converter, TwoDToThreeDAndOtherCompositionsGiveTheirSizes) {
  Clip clip;
  clip.width = 101;
  clip.height = 61;
  const std::string input = MakeClip(clip);
  ASSERT_FALSE(input.empty());
  struct Case {
    int16_t layout, method;
    const char* output;
    int32_t width, height;  // of the stored frames
  };
  const std::vector<Case> cases = {
      // H.264 pads the odd size to even.
      {kLayout2DTo3D, kOutputAnaglyphColour, "3d.mp4", 102, 62},
      {kLayout2DTo3D, kOutputStereoDriver, "3d-sbs.mkv", 202, 61},
      // Two views squeezed into one view's height, no gap.
      {kLayout2DTo3D, kOutputShutterED, "3d-ab.mkv", 101, 61},
      {kLayout2DTo3D, kOutputInterlaced, "3d-rows.mkv", 101, 60},
      {kLayoutAnaglyphColour, kOutputAnaglyphGrey, "grey.mkv", 101, 61},
      {kLayoutAnaglyph, kOutputAnaglyphYellow, "yellow.mkv", 101, 61},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    ConvertOptions o = Options(input, Scratch(c.output));
    o.layout = c.layout;
    o.method = c.method;
    if (std::string(c.output).find(".mkv") != std::string::npos) o.codec = VideoCodec::FFV1;
    const Result r = Convert(o);
    ASSERT_EQ(r.status, kConvertOk) << r.err;
    EXPECT_EQ(r.report.frames, 12);
    const std::vector<DibPtr> written = ReadFrames(o.output);
    ASSERT_EQ(written.size(), 12u);
    EXPECT_EQ(written[0]->Width(), c.width);
    EXPECT_EQ(written[0]->Height(), c.height);
    EXPECT_FALSE(test::StreamCodecs(o.output, "audio").empty());
  }
  // The converted right view differs from the left one once motion is
  // known: the anaglyph is not the plain 2D one on later frames.
  const std::vector<DibPtr> flat = [&] {
    ConvertOptions o = Options(input, Scratch("flat.mkv"));
    o.layout = kLayout2D;
    o.codec = VideoCodec::FFV1;
    EXPECT_EQ(Convert(o).status, kConvertOk);
    return ReadFrames(o.output);
  }();
  ConvertOptions o = Options(input, Scratch("deep.mkv"));
  o.layout = kLayout2DTo3D;
  o.codec = VideoCodec::FFV1;
  ASSERT_EQ(Convert(o).status, kConvertOk);
  const std::vector<DibPtr> deep = ReadFrames(o.output);
  ASSERT_EQ(flat.size(), 12u);
  ASSERT_EQ(deep.size(), 12u);
  EXPECT_FALSE(SamePixels(*flat[11], *deep[11]));
}

// One half of a side-by-side picture: the left view (half 0) or the right.
std::vector<uint8_t> Half(const cDIBSection& pair, int half) {
  const int32_t w = pair.Width() / 2;
  std::vector<uint8_t> bytes;
  for (int32_t y = 0; y < pair.Height(); ++y) {
    const uint8_t* line = pair.ScanLine(y) + 3 * static_cast<size_t>(w) * half;
    bytes.insert(bytes.end(), line, line + 3 * static_cast<size_t>(w));
  }
  return bytes;
}

// --synthesis engine makes the right views with the engine's synthesis: the
// left views are the library path's, the right ones differ once there is
// depth (the first frame is flat either way).
TEST(Converter, EngineSynthesisChangesOnlyTheRightView) {
  Clip clip;
  clip.width = 97;
  clip.height = 55;
  clip.frames = 6;
  clip.audio = false;
  const std::string input = MakeClip(clip);
  ASSERT_FALSE(input.empty());
  std::vector<DibPtr> written[2];
  for (const bool engine : {false, true}) {
    ConvertOptions o = Options(input, Scratch(engine ? "engine.mkv" : "library.mkv"));
    o.layout = kLayout2DTo3D;
    o.method = kOutputStereoDriver;
    o.codec = VideoCodec::FFV1;
    o.engineSynthesis = engine;
    const Result r = Convert(o);
    ASSERT_EQ(r.status, kConvertOk) << r.err;
    written[engine] = ReadFrames(o.output);
    ASSERT_EQ(written[engine].size(), 6u);
    ASSERT_EQ(written[engine][0]->Width(), 2 * 97);
  }
  EXPECT_EQ(Half(*written[0][0], 1), Half(*written[1][0], 1));
  int differing = 0;
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(Half(*written[0][i], 0), Half(*written[1][i], 0)) << "frame " << i;
    differing += Half(*written[0][i], 1) != Half(*written[1][i], 1);
  }
  EXPECT_EQ(differing, 5);
}

// The depth picture: the map's element (x, y) becomes grey pixel x of scan
// line y, in one picture made again only for another size; a map that does
// not fit the view gives a black picture of the view's size.
TEST(DepthPicture, MapRowsBecomeGreyScanLinesAndAMapThatDoesNotFitGivesBlack) {
  auto filled = [](int32_t cols, int32_t rows, int base) {
    Plane<uint8_t> map;
    map.Redim(cols, rows);
    for (int32_t y = 0; y < rows; ++y)
      for (int32_t x = 0; x < cols; ++x) map(x, y) = static_cast<uint8_t>(base + x + 10 * y);
    return map;
  };
  auto shows = [](const cDIBSection& picture, const Plane<uint8_t>& map) {
    for (int32_t y = 0; y < picture.Height(); ++y) {
      for (int32_t x = 0; x < picture.Width(); ++x) {
        const uint8_t* p = picture.ScanLine(y) + 3 * x;
        if (p[0] != map(x, y) || p[1] != map(x, y) || p[2] != map(x, y)) return false;
      }
    }
    return true;
  };
  cDIBSection picture;
  Plane<uint8_t> map = filled(6, 4, 1);  // a 5 x 3 view's map
  MakeDepthPicture(map, 5, 3, picture);
  ASSERT_EQ(picture.Width(), 5);
  ASSERT_EQ(picture.Height(), 3);
  EXPECT_TRUE(shows(picture, map));
  const uint8_t* const bits = picture.DIBSectionBitsPtr();
  map = filled(6, 4, 100);
  MakeDepthPicture(map, 5, 3, picture);
  EXPECT_EQ(picture.DIBSectionBitsPtr(), bits);
  EXPECT_TRUE(shows(picture, map));

  for (const auto& [cols, rows] : std::vector<std::pair<int32_t, int32_t>>{
           {0, 0}, {5, 3}, {6, 3}, {5, 4}, {7, 4}, {6, 5}, {4000, 1}}) {
    SCOPED_TRACE(std::to_string(cols) + " x " + std::to_string(rows));
    MakeDepthPicture(filled(cols, rows, 200), 5, 3, picture);
    ASSERT_EQ(picture.Width(), 5);
    ASSERT_EQ(picture.Height(), 3);
    EXPECT_TRUE(SamePixels(picture, *test::SolidImage(5, 3, 0, 0, 0)));
  }
  map = filled(3, 3, 7);
  MakeDepthPicture(map, 2, 2, picture);
  ASSERT_EQ(picture.Width(), 2);
  EXPECT_TRUE(shows(picture, map));
  MakeDepthPicture(map, 0, 2, picture);
  EXPECT_TRUE(picture.Empty());
}

// A 2D clip, losslessly coded by the program's own writer: a textured box
// 32 pixels square moving 3 pixels right and 2 down a frame over a still
// textured background. In frame f its top-left corner is at BoxAt(f),
// counted from the picture's top left.
constexpr int32_t kBoxWidth = 160, kBoxHeight = 96, kBoxFrames = 20, kBoxSide = 32;
std::pair<int32_t, int32_t> BoxAt(int32_t frame) { return {20 + 3 * frame, 8 + 2 * frame}; }

std::string MovingBoxClip() {
  const std::string path = Scratch("moving-box.mkv");
  if (fs::exists(path)) return path;
  const DibPtr background = test::RandomImage(kBoxWidth, kBoxHeight, 11);
  const DibPtr box = test::RandomImage(kBoxSide, kBoxSide, 12);
  VideoWriterOptions w;
  w.codec = VideoCodec::FFV1;
  w.rate = 24;
  std::string error;
  auto writer = VideoWriter::Open(path, w, &error);
  if (!writer) return {};
  for (int32_t f = 0; f < kBoxFrames; ++f) {
    const DibPtr frame = background->CopyOf();
    const auto [left, top] = BoxAt(f);
    for (int32_t y = 0; y < kBoxSide; ++y) {
      std::memcpy(frame->ScanLine(kBoxHeight - 1 - (top + y)) + 3 * left,
                  box->ScanLine(kBoxSide - 1 - y), 3 * kBoxSide);
    }
    if (!writer->WriteFrame(*frame, -1, &error)) return {};
  }
  return writer->Finish(&error) ? path : std::string();
}

// Mean of the first byte over a rectangle given from the picture's top left.
double MeanOver(const cDIBSection& picture, int32_t left, int32_t top, int32_t w, int32_t h) {
  double sum = 0;
  for (int32_t y = top; y < top + h; ++y) {
    const uint8_t* line = picture.ScanLine(picture.Height() - 1 - y);
    for (int32_t x = left; x < left + w; ++x) sum += line[3 * x];
  }
  return sum / (static_cast<double>(w) * h);
}

bool IsGrey(const cDIBSection& picture) {
  for (int32_t y = 0; y < picture.Height(); ++y) {
    const uint8_t* p = picture.ScanLine(y);
    for (int32_t x = 0; x < picture.Width(); ++x, p += 3)
      if (p[0] != p[1] || p[1] != p[2]) return false;
  }
  return true;
}

// -m depth-map writes the depth each right view was made from, one view in
// size: grey, the moving box nearer (brighter) than the still background
// once motion has been seen, where the box is in the frame.
TEST(Converter, ADepthMapShowsTheMovingBoxNearerThanTheStillBackground) {
  const std::string input = MovingBoxClip();
  ASSERT_FALSE(input.empty());
  ConvertOptions o = Options(input, Scratch("depth map/"));
  o.depthMap = true;
  const Result r = Convert(o);
  ASSERT_EQ(r.status, kConvertOk) << r.err;
  EXPECT_EQ(r.report.detectedAs, kLayout2D);
  EXPECT_EQ(r.report.frames, kBoxFrames);
  EXPECT_NE(r.out.find("(depth map, png, 160 x 96)"), std::string::npos) << r.out;
  const std::vector<DibPtr> pictures = ReadFrames(Scratch("depth map/frame_%05d.png"));
  ASSERT_EQ(pictures.size(), static_cast<size_t>(kBoxFrames));
  for (int32_t f = 0; f < kBoxFrames; ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    const cDIBSection& depth = *pictures[f];
    ASSERT_EQ(depth.Width(), kBoxWidth);
    ASSERT_EQ(depth.Height(), kBoxHeight);
    EXPECT_TRUE(IsGrey(depth));
    if (f < 10) continue;  // the depth gain grows with the frames seen
    // The box's middle, clear of its edges, against the still right side
    // of the picture the box never reaches.
    const auto [left, top] = BoxAt(f);
    const double box = MeanOver(depth, left + 8, top + 8, kBoxSide - 16, kBoxSide - 16);
    const double still = MeanOver(depth, 112, 0, kBoxWidth - 112, kBoxHeight);
    EXPECT_GT(box, still + 12) << "box " << box << ", background " << still;
  }
}

// A depth map needs 2D converted to 3D: an explicit other layout is refused
// before the input is read, stereo material found by the detection fails
// before anything is written.
TEST(Converter, ADepthMapIsRefusedForStereoMaterial) {
  const std::string input = MovingBoxClip();
  ASSERT_FALSE(input.empty());
  const std::string refused = Scratch("refused/");
  for (const int16_t layout : {kLayout2D, kLayoutSideBySide, kLayoutAboveBelow, kLayoutInterleaved,
                               kLayoutAnaglyph, kLayoutAnaglyphColour}) {
    SCOPED_TRACE(layout);
    ConvertOptions o = Options(input, refused);
    o.depthMap = true;
    o.layout = layout;
    const Result r = Convert(o);
    EXPECT_EQ(r.status, kConvertBadUsage);
    EXPECT_EQ(r.out, "");  // nothing was read
    EXPECT_NE(r.err.find("-m depth-map writes the depth of 2D video converted to 3D, and -l " +
                         InputLayoutName(layout) + " makes none"),
              std::string::npos)
        << r.err;
  }
  ConvertOptions o = Options(input, Scratch("converted/"));
  o.depthMap = true;
  o.layout = kLayout2DTo3D;
  o.frames = 2;
  EXPECT_EQ(Convert(o).status, kConvertOk);

  Clip clip;
  clip.kind = "sbs";
  clip.width = 320;
  clip.height = 180;
  clip.audio = false;
  o = Options(MakeClip(clip), refused);
  o.depthMap = true;
  const Result r = Convert(o);
  EXPECT_EQ(r.status, kConvertFailed);
  EXPECT_EQ(r.report.detectedAs, kLayoutSideBySide);
  EXPECT_NE(r.err.find("looks like side-by-side stereo material, which makes none; nothing was "
                       "written"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(refused));
}

// --depth improved converts a whole clip cleanly, composed or as a depth map.
TEST(Converter, ImprovedDepthConvertsCleanly) {
  const std::string input = MovingBoxClip();
  ASSERT_FALSE(input.empty());
  for (const bool depthMap : {false, true}) {
    SCOPED_TRACE(depthMap ? "depth map" : "anaglyph");
    ConvertOptions o = Options(input, Scratch(depthMap ? "improved/" : "improved.mkv"));
    o.layout = kLayout2DTo3D;
    o.codec = depthMap ? VideoCodec::Auto : VideoCodec::FFV1;
    o.improvedDepth = true;
    o.depthMap = depthMap;
    const Result r = Convert(o);
    ASSERT_EQ(r.status, kConvertOk) << r.err;
    EXPECT_EQ(r.report.messages, 0);
    EXPECT_EQ(r.err, "");
    const std::vector<DibPtr> written =
        ReadFrames(depthMap ? o.output + "frame_%05d.png" : o.output);
    ASSERT_EQ(written.size(), static_cast<size_t>(kBoxFrames));
    EXPECT_EQ(written.back()->Width(), kBoxWidth);
    EXPECT_EQ(written.back()->Height(), kBoxHeight);
    if (depthMap) {
      EXPECT_TRUE(IsGrey(*written.back()));
    }
  }
}

// Detection looks inside uniform bars and names a stereo layout only when
// the halves show the same scene: bordered 2D stays 2D, bordered stereo
// material keeps its layout, and the hint to override is always given.
TEST(Converter, TheLayoutIsDetectedAlsoOnBorderedMaterial) {
  struct Case {
    const char* name;
    const char* kind;
    int32_t width, height;
    const char* filter;  // borders added by the ffmpeg command; "" for none
    int16_t detected;
  };
  const std::vector<Case> cases = {
      {"2d", "2d", 320, 180, "", kLayout2D},
      {"small 2d", "2d", 160, 90, "", kLayout2D},
      {"sbs", "sbs", 320, 180, "", kLayoutSideBySide},
      {"ab", "ab", 320, 180, "", kLayoutAboveBelow},
      {"pillarboxed 2d", "2d", 240, 180, "pad=320:180:40:0", kLayout2D},
      {"letterboxed 2d", "2d", 320, 136, "pad=320:180:0:22", kLayout2D},
      {"sbs with a black edge", "sbs", 320, 180, "drawbox=x=0:y=0:w=4:h=ih:color=black:t=fill",
       kLayoutSideBySide},
      {"ab with a black edge", "ab", 320, 180, "drawbox=x=0:y=0:w=iw:h=3:color=black:t=fill",
       kLayoutAboveBelow},
      {"pillarboxed sbs", "sbs", 240, 180, "pad=320:180:40:0", kLayoutSideBySide},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clip clip;
    clip.kind = c.kind;
    clip.width = c.width;
    clip.height = c.height;
    clip.frames = 16;
    clip.audio = false;
    std::string input = MakeClip(clip);
    ASSERT_FALSE(input.empty());
    if (*c.filter) {
      const std::string bordered = Scratch(std::string(c.name) + ".mp4");
      ASSERT_EQ(test::RunProgram({"ffmpeg", "-v", "error", "-y", "-i", input, "-vf", c.filter,
                                  "-c:v", "libx264", "-crf", "18", bordered}),
                0);
      input = bordered;
    }
    ConvertOptions o = Options(input, "");
    o.nullOutput = true;
    o.frames = 2;
    const Result r = Convert(o);
    ASSERT_EQ(r.status, kConvertOk) << r.err;
    EXPECT_TRUE(r.report.detected);
    EXPECT_EQ(r.report.detectedAs, c.detected);
    EXPECT_EQ(r.report.layout, c.detected == kLayout2D ? int16_t{kLayout2DTo3D} : c.detected);
    EXPECT_NE(r.out.find("Input layout: " + InputLayoutName(c.detected) + " (detected)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("If that is wrong, give the layout with -l"), std::string::npos) << r.out;
  }
}

// A converted file never shows a black eye: the first frame, which has no
// depth to synthesise from yet, shows the left view to both eyes. So it is
// for one-frame and two-frame clips, longer ones, and from a later start.
TEST(Converter, TheFirstFrameOfAConversionIsNeverHalfBlack) {
  for (const int32_t frames : {1, 2, 12}) {
    for (const int32_t start : {0, 1}) {
      if (start >= frames) continue;
      SCOPED_TRACE("frames " + std::to_string(frames) + ", start " + std::to_string(start));
      Clip clip;
      clip.frames = frames;
      clip.audio = false;
      const std::string input = MakeClip(clip);
      ASSERT_FALSE(input.empty());
      ConvertOptions o = Options(
          input, Scratch("first-" + std::to_string(frames) + "-" + std::to_string(start) + ".mkv"));
      o.layout = kLayout2DTo3D;
      o.codec = VideoCodec::FFV1;
      o.start = start;
      const Result r = Convert(o);
      ASSERT_EQ(r.status, kConvertOk) << r.err;
      const std::vector<DibPtr> source = ReadFrames(input), written = ReadFrames(o.output);
      ASSERT_FALSE(written.empty());
      ASSERT_GT(source.size(), static_cast<size_t>(start));
      EXPECT_TRUE(IsColourAnaglyphOf(*written[0], *source[start]));
    }
  }
}

TEST(Converter, BadInputsAndOutputsEndWithAMessageAndAFailure) {
  Clip clip;
  const std::string input = MakeClip(clip);
  ASSERT_FALSE(input.empty());
  // Garbage and empty files, a folder, a file that is not there.
  const std::string garbage = Scratch("garbage.mp4");
  {
    std::ofstream f(garbage, std::ios::binary);
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) f.put(static_cast<char>(rng()));
  }
  const std::string empty = Scratch("empty.avi");
  std::ofstream(empty).close();
  struct Case {
    std::string input, output;
    const char* expect;
    int status;  // outputs that cannot be are refused before the input is read
  };
  const std::vector<Case> cases = {
      {Scratch("not there.mp4"), Scratch("x.mp4"), "cannot read", kConvertFailed},
      {garbage, Scratch("x.mp4"), "cannot read", kConvertFailed},
      {empty, Scratch("x.mp4"), "cannot read", kConvertFailed},
      {TempFolder(), Scratch("x.mp4"), "cannot read", kConvertFailed},
      {input, garbage + "/x.mp4", "is not a folder", kConvertBadUsage},
      {input, Scratch("x.txt"), "Cannot tell the kind", kConvertBadUsage},
      {input, Scratch("ffv1.mp4"), "MP4 files cannot hold FFV1 video", kConvertBadUsage},
      {input, "/proc/x.mkv", "Cannot write", kConvertFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + " -> " + c.output);
    ConvertOptions o = Options(c.input, c.output);
    if (c.output.ends_with("ffv1.mp4")) o.codec = VideoCodec::FFV1;
    const Result r = Convert(o);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("dioptrix-convert: ", 0), 0u) << r.err;
  }
  EXPECT_TRUE(fs::exists(input));  // never overwritten

  // A start past the last frame.
  ConvertOptions o = Options(input, Scratch("late.mp4"));
  o.start = 12;
  Result r = Convert(o);
  EXPECT_EQ(r.status, kConvertFailed);
  EXPECT_NE(r.err.find("past the last frame"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Scratch("late.mp4")));

  // A device that fills up: the playback stops at the failed frame.
  if (fs::exists("/dev/full")) {
    const std::string full = Scratch("full-converter.mkv");
    fs::create_symlink("/dev/full", full);
    Clip big;
    big.width = 320;
    big.height = 180;
    big.frames = 48;
    o = Options(MakeClip(big), full);
    o.overwrite = true;  // the name exists: it is the device
    o.codec = VideoCodec::FFV1;
    o.layout = kLayout2D;
    r = Convert(o);
    EXPECT_EQ(r.status, kConvertFailed);
    EXPECT_NE(r.err.find("No space left"), std::string::npos) << r.err;
    EXPECT_LT(r.report.frames, 48);
  }
}

// A damaged film: a frame that cannot be read is replaced by its neighbour,
// so the picture keeps in step with the sound; the frame is named and the
// conversion reports a failure.
TEST(Converter, DamagedFramesAreReplacedNamedAndFailTheConversion) {
  Clip clip;
  clip.format = "avi";  // MJPEG: each frame coded on its own
  clip.width = 320;
  clip.height = 180;
  clip.frames = 48;
  const std::string input = MakeClip(clip);
  ASSERT_FALSE(input.empty());
  std::string bytes;
  {
    std::ifstream f(input, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  // The pictures of two frames overwritten: the frames are there, but cannot
  // be decoded.
  size_t chunk = 0;
  for (int k = 0; k <= 21; ++k) {
    chunk = bytes.find("00dc", chunk + 1);
    ASSERT_NE(chunk, std::string::npos);
    if (k < 20) continue;
    const auto* size = reinterpret_cast<const unsigned char*>(bytes.data() + chunk + 4);
    const size_t length = size[0] | size[1] << 8 | size[2] << 16 | size[3] << 24;
    ASSERT_LE(chunk + 8 + length, bytes.size());
    bytes.replace(chunk + 8, length, std::string(length, '\x55'));
  }
  const std::string damaged = Scratch("damaged.avi");
  std::ofstream(damaged, std::ios::binary) << bytes;

  ConvertOptions o = Options(damaged, Scratch("damaged-3d.mkv"));
  o.codec = VideoCodec::FFV1;
  const Result r = Convert(o);
  EXPECT_EQ(r.status, kConvertFailed);
  EXPECT_EQ(r.report.missingFrames, 2);
  EXPECT_EQ(r.report.frames, 48);  // one output frame per source frame
  const std::vector<DibPtr> written = ReadFrames(o.output);
  ASSERT_EQ(written.size(), 48u);
  // Each is named, and shows the frame before the two.
  const std::string named = " could not be read: a neighbouring frame was written";
  std::vector<int> frames;
  for (size_t at = r.err.find(named); at != std::string::npos; at = r.err.find(named, at + 1)) {
    const size_t number = r.err.rfind("frame ", at) + 6;
    frames.push_back(std::stoi(r.err.substr(number, at - number)));
  }
  ASSERT_EQ(frames.size(), 2u) << r.err;
  EXPECT_EQ(frames[1], frames[0] + 1);
  ASSERT_GT(frames[0], 0);
  for (int f : frames) EXPECT_TRUE(SamePixels(*written[f], *written[frames[0] - 1])) << f;
  EXPECT_NE(r.err.find("did not complete cleanly"), std::string::npos) << r.err;
}

// A film's timing and sound come through a conversion: a variable frame rate
// stays variable, every sound track is kept, and --audio-track keeps one.
TEST(Converter, FramesKeepTheirTimesAndEverySoundTrackIsKept) {
  Clip clip;
  clip.frames = 48;
  clip.audio = false;
  const std::string even = MakeClip(clip);
  ASSERT_FALSE(even.empty());
  // Frames left out and one moved off the grid, and two sound tracks.
  const std::string uneven = Scratch("uneven.mkv");
  ASSERT_EQ(test::RunProgram({"ffmpeg",
                              "-v",
                              "error",
                              "-y",
                              "-i",
                              even,
                              "-f",
                              "lavfi",
                              "-i",
                              "sine=frequency=440:sample_rate=48000:duration=2",
                              "-f",
                              "lavfi",
                              "-i",
                              "sine=frequency=880:sample_rate=48000:duration=2",
                              "-map",
                              "0:v",
                              "-map",
                              "1:a",
                              "-map",
                              "2:a",
                              "-vf",
                              "select='not(eq(mod(n,7),3))*not(between(n,20,22))',"
                              "setpts='PTS+eq(N,5)*0.01/TB'",
                              "-fps_mode",
                              "passthrough",
                              "-c:v",
                              "libx264",
                              "-c:a",
                              "aac",
                              "-metadata:s:a:0",
                              "language=eng",
                              "-metadata:s:a:1",
                              "language=fra",
                              uneven}),
            0);
  const std::vector<double> source = FrameTimes(uneven);
  ASSERT_GT(source.size(), 30u);

  ConvertOptions o = Options(uneven, Scratch("uneven-3d.mkv"));
  o.layout = kLayout2DTo3D;
  o.codec = VideoCodec::FFV1;
  Result r = Convert(o);
  ASSERT_EQ(r.status, kConvertOk) << r.err;
  EXPECT_EQ(r.report.frames, static_cast<int64_t>(source.size()));
  const std::vector<double> written = FrameTimes(o.output);
  ASSERT_EQ(written.size(), source.size());
  for (size_t i = 0; i < source.size(); ++i)
    EXPECT_NEAR(written[i] - written[0], source[i] - source[0], 0.0015) << "frame " << i;
  EXPECT_EQ(test::StreamCodecs(o.output, "audio"), (std::vector<std::string>{"aac", "aac"}));

  o = Options(uneven, Scratch("second-track.mkv"));
  o.layout = kLayout2DTo3D;
  o.audioTrack = 1;
  r = Convert(o);
  ASSERT_EQ(r.status, kConvertOk) << r.err;
  EXPECT_EQ(test::StreamCodecs(o.output, "audio"), std::vector<std::string>{"aac"});
  o.audioTrack = 2;
  o.overwrite = true;
  r = Convert(o);
  EXPECT_EQ(r.status, kConvertFailed);
}

// Bad arguments are refused before the input is read (nothing is detected
// or decoded), with exit status 2: a pipe, a FIFO or the standard input as
// input, the input as output, an output that exists without -y.
TEST(Converter, ArgumentsAreRefusedBeforeTheInputIsRead) {
  Clip clip;
  clip.audio = false;
  const std::string input = MakeClip(clip);
  ASSERT_FALSE(input.empty());
  const std::string fifo = Scratch("film.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string existing = Scratch("existing.mp4");
  std::ofstream(existing) << "earlier output";
  struct Case {
    std::string input, output;
    const char* expect;
  };
  for (const Case& c :
       std::vector<Case>{{"-", Scratch("a.mp4"), "the standard input needs to be a seekable file"},
                         {fifo, Scratch("a.mp4"), "needs to be a seekable file"},
                         {"/dev/zero", Scratch("a.mp4"), "needs to be a seekable file"},
                         {input, input, "is the input file"},
                         {input, existing, "exists already; give -y to replace it"}}) {
    SCOPED_TRACE(c.input + " -> " + c.output);
    const Result r = Convert(Options(c.input, c.output));
    EXPECT_EQ(r.status, kConvertBadUsage);
    EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");  // nothing was read
  }
  // -y replaces the file; for pictures it also removes the earlier ones, so
  // none is left behind the new ones.
  ConvertOptions o = Options(input, existing);
  o.overwrite = true;
  o.frames = 2;
  EXPECT_EQ(Convert(o).status, kConvertOk);
  EXPECT_EQ(ReadFrames(existing).size(), 2u);
  const std::string folder = Scratch("pictures/");
  fs::create_directories(folder);
  for (const char* name : {"frame_00001.png", "frame_00099.png", "frame_123456.png"})
    std::ofstream(folder + name) << "stale";
  std::ofstream(folder + "notes.txt") << "kept";
  o = Options(input, folder);
  o.frames = 2;
  Result r = Convert(o);
  EXPECT_EQ(r.status, kConvertBadUsage);
  EXPECT_NE(r.err.find("holds 3 pictures already"), std::string::npos) << r.err;
  o.overwrite = true;
  r = Convert(o);
  ASSERT_EQ(r.status, kConvertOk) << r.err;
  EXPECT_FALSE(fs::exists(folder + "frame_00099.png"));
  EXPECT_FALSE(fs::exists(folder + "frame_123456.png"));
  EXPECT_TRUE(fs::exists(folder + "notes.txt"));
}

// SIGINT (and SIGTERM) stop a conversion with exit status 130; what was
// written so far is a complete file that plays.
TEST(Converter, AStopSignalLeavesAPlayableFile) {
  const std::string program = ExecutableDir() + "/dioptrix-convert";
  if (!fs::exists(program)) GTEST_SKIP() << "dioptrix-convert is not built";
  Clip clip;
  clip.width = 640;
  clip.height = 360;
  clip.frames = 600;
  const std::string input = MakeClip(clip);
  ASSERT_FALSE(input.empty());
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const std::string output = Scratch("stopped-" + std::to_string(signal) + ".mp4");
    const std::string log = Scratch("stopped-" + std::to_string(signal) + ".log");
    std::vector<std::string> argv = {program, input, "-o", output};
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Once frames are being written, stop it.
    std::error_code ec;
    for (int i = 0; i < 300 && !(fs::exists(output, ec) && fs::file_size(output, ec) > 0); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(pid, signal);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kConvertInterrupted);
    std::ifstream f(log);
    const std::string err((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_NE(err.find("stopped at frame "), std::string::npos) << err;
    const size_t frames = ReadFrames(output).size();
    EXPECT_GT(frames, 0u);
    EXPECT_LT(frames, 600u);
  }
}

TEST(Converter, ProgressBarAndTheProgramItself) {
  Clip clip;
  const std::string input = MakeClip(clip);
  ASSERT_FALSE(input.empty());
  ConvertOptions o = Options(input, "");
  o.nullOutput = true;
  o.layout = kLayout2DTo3D;
  o.progress = true;
  const Result r = Convert(o);
  ASSERT_EQ(r.status, kConvertOk) << r.err;
  EXPECT_NE(r.err.find("100%  12/12 frames"), std::string::npos) << r.err;

  // The executable, where the build put it beside the tests.
  const std::string program = ExecutableDir() + "/dioptrix-convert";
  if (!fs::exists(program)) GTEST_SKIP() << "dioptrix-convert is not built";
  std::string out, err;
  EXPECT_EQ(test::RunProgram({program, "--help"}, &out, &err), kConvertOk);
  EXPECT_NE(out.find("Usage: dioptrix-convert"), std::string::npos);
  out.clear();
  err.clear();
  EXPECT_EQ(test::RunProgram({program, "--bogus"}, &out, &err), kConvertBadUsage);
  EXPECT_NE(err.find("unknown option --bogus"), std::string::npos) << err;
  // Quotes and spaces reach the program unchanged (no shell in between).
  const std::string odd = Scratch("a \"quoted\" name's clip.mp4");
  fs::copy_file(input, odd, fs::copy_options::overwrite_existing);
  const std::string output = Scratch("out \"3d\" file's.mp4");
  out.clear();
  err.clear();
  EXPECT_EQ(test::RunProgram({program, odd, "-o", output, "--frames", "4"}, &out, &err), kConvertOk)
      << err;
  EXPECT_NE(out.find("Wrote 4 frames"), std::string::npos) << out;
  EXPECT_EQ(ReadFrames(output).size(), 4u);
  EXPECT_EQ(err.find('\r'), std::string::npos);  // no bar when not on a terminal
  out.clear();
  err.clear();
  EXPECT_EQ(test::RunProgram({program, Scratch("missing.mp4"), "-y", "-o", output}, &out, &err),
            kConvertFailed);
  EXPECT_NE(err.find("cannot read"), std::string::npos) << err;
}

}  // namespace
}  // namespace dioptrix
