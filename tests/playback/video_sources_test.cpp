#include "playback/video_sources.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "playback/program.h"
#include "tests/playback/playback_fakes.h"

namespace dioptrix {
namespace {

namespace fs = std::filesystem;
using test::FakeFrameSource;
using test::TempDir;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    had_ = std::getenv(name) != nullptr;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

struct VideoSourcesTest : ::testing::Test {
  ProgramContext ctx;
  MessageLog log;
  TempDir app;
  FakeFrameSource::Log requests;

  void SetUp() override {
    log.Attach(ctx.host);
    ctx.video.ApplicationFolder = app.Path();
  }
  // Streams of the given shape instead of files.
  void UseFakeStreams(int32_t width, int32_t height, int32_t length, uint32_t rate = 25,
                      uint32_t scale = 1) {
    ctx.video.Opener = [=, this](const std::string&, VideoOpenFailure&) {
      return std::make_unique<FakeFrameSource>(width, height, length, rate, scale, &requests);
    };
  }
};

TEST_F(VideoSourcesTest, ScriptsAreNamedLikeTheVideoAndNameIt) {
  const std::string walk = "/home/me/clips/walk.mpg";
  EXPECT_EQ(MakeAviSynthScript(ctx, walk), app / "walk.avs");
  EXPECT_EQ(ReadFile(app / "walk.avs"), "DirectShowSource(\"/home/me/clips/walk.mpg\")\n");

  // Four-letter extension: the dot stays in the base. The script is
  // overwritten by the next video of the same name.
  EXPECT_EQ(MakeAviSynthScript(ctx, "/home/me/clips/walk.mpeg"), app / "walk.avs");
  EXPECT_EQ(ReadFile(app / "walk.avs"), "DirectShowSource(\"/home/me/clips/walk.mpeg\")\n");

  // The extension search ignores case; the name keeps its own.
  EXPECT_EQ(MakeAviSynthScript(ctx, "/v/HOLIDAY.MOV"), app / "HOLIDAY.avs");
  EXPECT_EQ(MakeAviSynthScript(ctx, "/v/a.WmV"), app / "a.avs");
  // Backslash paths as well.
  EXPECT_EQ(MakeAviSynthScript(ctx, "C:\\clips\\walk.vob"), app / "walk.avs");
  EXPECT_EQ(ReadFile(app / "walk.avs"), "DirectShowSource(\"C:\\clips\\walk.vob\")\n");

  // No script for files read directly.
  EXPECT_EQ(MakeAviSynthScript(ctx, "/home/me/clips/walk.avi"), "");
  EXPECT_EQ(MakeAviSynthScript(ctx, "/home/me/clips/walk.mp4"), "");
  EXPECT_EQ(MakeAviSynthScript(ctx, "mpg"), "");
  EXPECT_TRUE(log.entries.empty());

  // Too short for an extension.
  EXPECT_EQ(MakeAviSynthScript(ctx, "ab"), "");
  EXPECT_EQ(MakeAviSynthScript(ctx, ""), "");
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{kNoValidExtension, kNoValidExtension}));
}

TEST_F(VideoSourcesTest, ScriptsOfAwkwardNamesStayInTheScriptFolder) {
  // Spaces and quotes go into the line as they are and come back out.
  const std::string odd = "/my clips/the \"best\" (cut).vob";
  const std::string script = MakeAviSynthScript(ctx, odd);
  EXPECT_EQ(script, app / "the \"best\" (cut).avs");
  EXPECT_EQ(ReadWrapperScript(script), odd);

  // A name FileTitle hands back whole (100 separators) still gives a script
  // inside the folder, not somewhere up the tree.
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "../";
  deep += "tmp/escape.mpg";
  EXPECT_EQ(MakeAviSynthScript(ctx, deep), app / "escape.avs");
  EXPECT_EQ(ReadWrapperScript(app / "escape.avs"), deep);

  // A name with a NUL in it is no file name.
  EXPECT_EQ(MakeAviSynthScript(ctx, std::string("/v/a\0b.mpg", 10)), "");
  EXPECT_EQ(log.Texts(), std::vector<std::string>{std::string(kMakeScriptError) +
                                                  "Invalid procedure call or argument"});
  EXPECT_FALSE(fs::exists(app / "a"));
}

TEST_F(VideoSourcesTest, ScriptsGoToTheUserFolderWhenTheApplicationFolderIsNotWritable) {
  TempDir data;
  const ScopedEnv xdg("XDG_DATA_HOME", data.Path());
  ctx.video.ApplicationFolder = app / "no such folder";
  EXPECT_EQ(ScriptFolder(ctx), data / "dioptrix");
  EXPECT_EQ(MakeAviSynthScript(ctx, "/v/walk.mpg"), data / "dioptrix/walk.avs");
  EXPECT_EQ(ReadFile(data / "dioptrix/walk.avs"), ScriptLine("/v/walk.mpg"));

  // Without XDG_DATA_HOME: ~/.local/share/dioptrix.
  const ScopedEnv noXdg("XDG_DATA_HOME", "");
  const ScopedEnv home("HOME", data / "home");
  EXPECT_EQ(ScriptFolder(ctx), data / "home/.local/share/dioptrix");

  // A folder that cannot be made: the routine's message, no script.
  WriteFile(data / "plain file", "x");
  const ScopedEnv blocked("XDG_DATA_HOME", data / "plain file");
  EXPECT_EQ(MakeAviSynthScript(ctx, "/v/walk.mpg"), "");
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].text.rfind(kMakeScriptError, 0), 0u) << log.entries[0].text;
}

TEST(VideoSourceRoutines, PathsAndFrameSizes) {
  EXPECT_EQ(AppendBackslash("/opt/dioptrix"), "/opt/dioptrix/");
  EXPECT_EQ(AppendBackslash("/opt/dioptrix/"), "/opt/dioptrix/");
  EXPECT_EQ(AppendBackslash(""), "/");

  EXPECT_EQ(FileTitle("/home/me/walk.avs"), "walk.avs");
  EXPECT_EQ(FileTitle("C:\\clips\\walk.avs"), "walk.avs");
  EXPECT_EQ(FileTitle("mixed\\dir/and\\walk.avs"), "walk.avs");
  EXPECT_EQ(FileTitle("walk.avs"), "walk.avs");
  EXPECT_EQ(FileTitle("/home/me/"), "");
  std::string ninetyNine, hundred;
  for (int i = 0; i < 99; ++i) ninetyNine += "d/";
  hundred = ninetyNine + "d/";
  EXPECT_EQ(FileTitle(ninetyNine + "x.avs"), "x.avs");
  EXPECT_EQ(FileTitle(hundred + "x.avs"), hundred + "x.avs");

  EXPECT_EQ(FrameBytesFor(320, 240), 960 * 240);
  EXPECT_EQ(FrameBytesFor(321, 240), 964 * 240);
  EXPECT_EQ(FrameBytesFor(1, 1), 4);
  EXPECT_THROW(FrameBytesFor(32768, 32768), RuntimeError);
}

TEST(VideoSourceRoutines, ScriptReaderAcceptsOnlyTheOneLine) {
  EXPECT_EQ(ScriptVideoPath("DirectShowSource(\"/v/a.mpg\")\n"), "/v/a.mpg");
  EXPECT_EQ(ScriptVideoPath("DirectShowSource(\"/v/a.mpg\")\r\n"), "/v/a.mpg");
  EXPECT_EQ(ScriptVideoPath("DirectShowSource(\"/v/a.mpg\")"), "/v/a.mpg");
  EXPECT_EQ(ScriptVideoPath("DirectShowSource(\"a \"b\")\")\n"), "a \"b\")");
  for (const std::string bad :
       {"", "\n", "DirectShowSource(\"\")\n", "DirectShowSource(\")\n", "DirectShowSource(\"",
        "DirectShowSource(\"/v/a.mpg\")\n\n", "DirectShowSource(\"/v/a.mpg\") \n",
        " DirectShowSource(\"/v/a.mpg\")\n", "directshowsource(\"/v/a.mpg\")\n",
        "AviSource(\"/v/a.avi\")\n"}) {
    EXPECT_FALSE(ScriptVideoPath(bad)) << bad;
  }
  EXPECT_FALSE(ScriptVideoPath(std::string("DirectShowSource(\"a\0b\")\n", 24)));
  for (const std::string path : {"/v/a.mpg", "x", "\"", "a\")", "line\nbreak", "ends\r"})
    EXPECT_EQ(ScriptVideoPath(ScriptLine(path)), path);

  EXPECT_TRUE(IsScriptPath("/v/walk.avs"));
  EXPECT_TRUE(IsScriptPath("/v/WALK.AVS"));
  EXPECT_FALSE(IsScriptPath("/v/walk.avi"));
  EXPECT_FALSE(IsScriptPath("avs"));
}

TEST_F(VideoSourcesTest, DetectionSamplesTheQuartersOfTheStream) {
  UseFakeStreams(64, 48, 100, 30000, 1001);
  int16_t layout = 0;
  EXPECT_EQ(OpenAviForDetection(ctx, "/v/any.avi", layout), 100);
  EXPECT_EQ(requests.requested, (std::vector<int32_t>{25, 50, 75}));
  EXPECT_FLOAT_EQ(ctx.FramesPerSecond, 30000.0f / 1001.0f);
  // Uniform frames: both halves alike in either split, neither test fires.
  EXPECT_EQ(layout, kDetected2D);
  EXPECT_TRUE(log.entries.empty());

  // q rounds half to even: 10 frames give q = 2 (not 3).
  requests.requested.clear();
  UseFakeStreams(64, 48, 10);
  EXPECT_EQ(OpenAviForDetection(ctx, "/v/any.avi", layout), 10);
  EXPECT_EQ(requests.requested, (std::vector<int32_t>{2, 4, 6}));

  // Six frames: q = 2, the third sample (6) lies past the end and is left out.
  requests.requested.clear();
  UseFakeStreams(64, 48, 6);
  EXPECT_EQ(OpenAviForDetection(ctx, "/v/any.avi", layout), 6);
  EXPECT_EQ(requests.requested, (std::vector<int32_t>{2, 4, 6}));
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(VideoSourcesTest, DetectionFailuresGiveTheirMessages) {
  int16_t layout = 0;
  // No decoder for the stream.
  ctx.video.Opener = [](const std::string&, VideoOpenFailure& failure) {
    failure = VideoOpenFailure::NoDecoder;
    return std::unique_ptr<FrameSource>();
  };
  EXPECT_EQ(OpenAviForDetection(ctx, "/v/a.avi", layout), 0);
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[0].text, kNoDecompressor);
  EXPECT_EQ(log.entries[0].style, MessageStyle::Information);
  EXPECT_EQ(log.entries[1].text, kUnableToOpenAvi);

  // No frame can be delivered.
  log.entries.clear();
  ctx.video.Opener = [this](const std::string&, VideoOpenFailure&) {
    auto source = std::make_unique<FakeFrameSource>(64, 48, 8, 25, 1, &requests);
    for (int32_t n = 0; n < 8; ++n) source->missing.insert(n);
    return source;
  };
  EXPECT_EQ(OpenAviForDetection(ctx, "/v/a.avi", layout), 0);
  EXPECT_EQ(log.Texts(), std::vector<std::string>{kUnableToOpenAvi});

  // A zero time scale.
  log.entries.clear();
  UseFakeStreams(64, 48, 8, 25, 0);
  EXPECT_EQ(OpenAviForDetection(ctx, "/v/a.avi", layout), 0);
  EXPECT_EQ(log.Texts(), std::vector<std::string>{kUnableToOpenAvi});
}

TEST_F(VideoSourcesTest, OpenVideoReadsTheStreamFormat) {
  PlayRequest request;
  request.OpenPath = "/v/any.avi";
  request.FrameRate = 24.0;
  request.UseStreamRate = 0;
  UseFakeStreams(320, 10, 40, 30000, 1001);
  ASSERT_TRUE(OpenVideo(ctx, request));
  EXPECT_EQ(request.FrameRate, 24.0);  // kept without UseStreamRate = 1
  EXPECT_EQ(ctx.video.FrameBytes, 960 * 10);
  const BitmapInfoHeader& h = ctx.video.FrameHeader;
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biWidth, 320);
  EXPECT_EQ(h.biHeight, 10);
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biCompression, 0u);
  EXPECT_EQ(h.biSizeImage, 9600u);
  EXPECT_EQ(ctx.video.StreamStart, 0);
  EXPECT_EQ(ctx.video.StreamLength, 40);
  EXPECT_EQ(ctx.video.Info.Rate, 30000u);
  EXPECT_EQ(ctx.video.Info.Scale, 1001u);
  ASSERT_NE(GetFrame(ctx, 7), nullptr);
  EXPECT_EQ(GetFrame(ctx, 7)[40], 7);
  EXPECT_EQ(GetFrame(ctx, 40), nullptr);

  request.UseStreamRate = 1;
  UseFakeStreams(321, 10, 40, 30000, 1001);
  ASSERT_TRUE(OpenVideo(ctx, request));
  EXPECT_DOUBLE_EQ(request.FrameRate, 30000.0 / 1001.0);
  EXPECT_EQ(ctx.video.FrameBytes, 964 * 10);

  CloseVideo(ctx);
  EXPECT_EQ(ctx.video.Stream, nullptr);
  EXPECT_EQ(GetFrame(ctx, 0), nullptr);
  CloseVideo(ctx);  // twice is harmless
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(VideoSourcesTest, OpenVideoFailuresGiveTheirMessages) {
  PlayRequest request;
  request.OpenPath = "/v/any.avi";
  ctx.video.Opener = [](const std::string&, VideoOpenFailure& failure) {
    failure = VideoOpenFailure::NoDecoder;
    return std::unique_ptr<FrameSource>();
  };
  EXPECT_FALSE(OpenVideo(ctx, request));
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[0].text, kUnableToDecompress);
  EXPECT_EQ(log.entries[0].style, MessageStyle::Information);
  EXPECT_EQ(log.entries[1].text, kOpenVideoError);

  // A run-time error on the way appends its description.
  log.entries.clear();
  UseFakeStreams(64, 48, 10, 25, 0);
  EXPECT_FALSE(OpenVideo(ctx, request));
  EXPECT_EQ(log.Texts(),
            std::vector<std::string>{std::string(kOpenVideoError) + "Division by zero"});
  EXPECT_EQ(ctx.video.Stream, nullptr);

  // Nothing to open.
  log.entries.clear();
  ctx.video.Opener = nullptr;
  request.OpenPath = app / "missing.avi";
  EXPECT_FALSE(OpenVideo(ctx, request));
  EXPECT_EQ(log.Texts(), std::vector<std::string>{kOpenVideoError});
}

// Real files through the FFmpeg library.
struct VideoFilesTest : VideoSourcesTest {
  static std::string sbs, ab, twoD;
  static void SetUpTestSuite() {
    sbs = test::MakeClip("sbs", 160, 120, 24);
    ab = test::MakeClip("ab", 160, 120, 24);
    twoD = test::MakeClip("2d", 160, 120, 24);
  }
};
std::string VideoFilesTest::sbs, VideoFilesTest::ab, VideoFilesTest::twoD;

TEST_F(VideoFilesTest, DetectionRecognisesTheLayouts) {
  ASSERT_FALSE(sbs.empty() || ab.empty() || twoD.empty()) << "sample clips could not be made";
  int16_t layout = 0;
  EXPECT_EQ(OpenAviForDetection(ctx, sbs, layout), 24);
  EXPECT_EQ(layout, kDetectedSideBySide);
  EXPECT_FLOAT_EQ(ctx.FramesPerSecond, 25.0f);
  EXPECT_EQ(OpenAviForDetection(ctx, ab, layout), 24);
  EXPECT_EQ(layout, kDetectedAboveBelow);
  EXPECT_EQ(OpenAviForDetection(ctx, twoD, layout), 24);
  EXPECT_EQ(layout, kDetected2D);
  EXPECT_TRUE(log.entries.empty()) << log.entries[0].text;
}

TEST_F(VideoFilesTest, AScriptOpensTheVideoItNames) {
  ASSERT_FALSE(sbs.empty());
  // A video in a folder with spaces and quotes, reached through its script.
  const std::string folder = app / "my \"odd\" clips";
  fs::create_directories(folder);
  const std::string video = folder + "/side by side.mpg";
  fs::copy_file(sbs, video);
  const std::string script = MakeAviSynthScript(ctx, video);
  ASSERT_EQ(script, app / "side by side.avs");

  PlayRequest request;
  request.OpenPath = script;
  ASSERT_TRUE(OpenVideo(ctx, request));
  EXPECT_EQ(ctx.video.StreamLength, 24);
  EXPECT_EQ(ctx.video.FrameHeader.biWidth, 160);
  EXPECT_DOUBLE_EQ(request.FrameRate, 25.0);
  EXPECT_NE(GetFrame(ctx, 23), nullptr);
  CloseVideo(ctx);

  int16_t layout = 0;
  EXPECT_EQ(OpenAviForDetection(ctx, script, layout), 24);
  EXPECT_EQ(layout, kDetectedSideBySide);
  EXPECT_TRUE(log.entries.empty());

  // A script with anything else in it, or naming a script, opens nothing
  // (and never loops).
  WriteFile(app / "bad.avs", "DirectShowSource(\"" + video + "\")\nTrim(0, 10)\n");
  WriteFile(app / "self.avs", ScriptLine(app / "self.avs"));
  for (const std::string& path : {app / "bad.avs", app / "self.avs", app / "absent.avs"}) {
    log.entries.clear();
    request.OpenPath = path;
    EXPECT_FALSE(OpenVideo(ctx, request)) << path;
    EXPECT_EQ(log.Texts(), std::vector<std::string>{kOpenVideoError});
    log.entries.clear();
    EXPECT_EQ(OpenAviForDetection(ctx, path, layout), 0);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{kUnableToOpenAvi});
  }
}

// An opener handed a file already open serves the first request for its
// path with it, and opens anything after that anew: here the path names no
// file, so only the first request succeeds.
TEST_F(VideoFilesTest, AnOpenerHandedAnOpenFileUsesItOnce) {
  ASSERT_FALSE(sbs.empty());
  const VideoOpenOptions options{FrameNumbering::Stream};
  std::unique_ptr<VideoFile> file = VideoFile::Open(sbs, options);
  ASSERT_TRUE(file);
  const std::string name = app / "already-open.mp4";
  FrameSourceOpener opener = VideoFileOpener(options, name, std::move(file));
  VideoOpenFailure failure = VideoOpenFailure::CannotOpen;
  const std::unique_ptr<FrameSource> first = opener(name, failure);
  ASSERT_TRUE(first);
  EXPECT_EQ(failure, VideoOpenFailure::None);
  EXPECT_EQ(first->Width(), 160);
  EXPECT_NE(first->GetFrame(23), nullptr);
  EXPECT_FALSE(opener(name, failure));
  EXPECT_EQ(failure, VideoOpenFailure::CannotOpen);
  const std::unique_ptr<FrameSource> other = opener(ab, failure);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->Length(), 24);
}

TEST_F(VideoFilesTest, BadFilesGiveTheirMessages) {
  WriteFile(app / "empty.avi", "");
  WriteFile(app / "text.avi", "This is not a video file, only some text.\n");
  WriteFile(app / "trunc.mp4", ReadFile(twoD).substr(0, 700));
  const std::string audio = test::MakeClip("audio", 64, 48, 10);
  const std::string tiny = test::MakeClip("2d", 1, 1, 5);
  ASSERT_FALSE(audio.empty() || tiny.empty());
  fs::create_directories(app / "a folder.avi");
  for (const std::string& path :
       {app / "missing.avi", app / "empty.avi", app / "text.avi", app / "trunc.mp4", audio,
        app / "a folder.avi", std::string("/dev/null"), app / "it's \"quoted\" here.avi"}) {
    log.entries.clear();
    int16_t layout = 0;
    EXPECT_EQ(OpenAviForDetection(ctx, path, layout), 0) << path;
    EXPECT_EQ(log.Texts(), std::vector<std::string>{kUnableToOpenAvi}) << path;
    log.entries.clear();
    PlayRequest request;
    request.OpenPath = path;
    EXPECT_FALSE(OpenVideo(ctx, request)) << path;
    ASSERT_FALSE(log.entries.empty()) << path;
    EXPECT_EQ(log.entries.back().text, kOpenVideoError) << path;
  }

  // A 1x1 video opens for playing; its halves are too small to compare.
  log.entries.clear();
  PlayRequest request;
  request.OpenPath = tiny;
  EXPECT_TRUE(OpenVideo(ctx, request));
  EXPECT_EQ(ctx.video.FrameBytes, 4);
  int16_t layout = 0;
  EXPECT_EQ(OpenAviForDetection(ctx, tiny, layout), 0);
  EXPECT_EQ(log.entries.back().text, kUnableToOpenAvi);
}

}  // namespace
}  // namespace dioptrix
