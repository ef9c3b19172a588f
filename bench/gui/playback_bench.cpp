// Real-time playback in a window: a 1920x1080, 25 frames-per-second 2D film
// converted to 3D and shown as a colour anaglyph, for 20 seconds, paced
// against a sound track that runs on the wall clock. When the picture falls
// behind the sound, the playback drops frames to catch up, as it does with
// a real sound track. Counters: frames shown and dropped, the frames per
// second shown, and the mean stage times. The target: none dropped on a
// 2-core machine.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "bench/bench_clips.h"
#include "gui/application.h"
#include "gui/message_boxes.h"
#include "platform/sound/sound_backend.h"
#include "playback/audio.h"
#include "playback/vid_play.h"

namespace dioptrix {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double kSeconds = 20;

// A sound track that plays on the wall clock (the machine's sound output is
// not what is measured).
struct WallClockSound final : SoundBackend {
  Clock::time_point origin = Clock::now();
  bool Open(const std::string&, Streams, std::string*) override { return true; }
  bool PlayFrom(double seconds, std::string*) override {
    origin = Clock::now() -
             std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return true;
  }
  double Position() override {
    return std::chrono::duration<double>(Clock::now() - origin).count();
  }
  void Stop() override {}
  void Close() override {}
  bool HasSound() const override { return true; }
  std::vector<MediaElement> Elements() const override {
    return {{"Decoder", {{"Video Stream 00", true}, {"Audio Track 1", true}}}};
  }
  bool Unlink(const std::string&, const std::string&) override { return true; }
};

// A 1080p 2D clip of 25 frames per second, long enough for the run; made
// once in /tmp.
std::string Clip() {
  namespace fs = std::filesystem;
  const std::string folder = "/tmp/dioptrix-bench-1080p25";
  const std::string file = folder + "/sample-2d.mp4";
  if (!fs::exists(file)) {
    const std::string command =
        bench::ShellQuote(bench::ClipTool()) + " --size 1920x1080 --rate 25 --frames " +
        std::to_string(static_cast<int>(kSeconds * 25) + 10) + " --kinds 2d --no-audio " +
        bench::ShellQuote(folder) + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return {};
  }
  return fs::exists(file) ? file : std::string();
}

void BM_RealTimePlayback2DTo3D1080p25(benchmark::State& state) {
  const std::string clip = Clip();
  if (clip.empty()) {
    state.SkipWithError("cannot make the 1080p clip");
    return;
  }
  gui::MessageBoxes::SetHandler([](QWidget*, const std::string& text, MessageStyle) {
    std::fprintf(stderr, "message: %s\n", text.c_str());
  });
  int64_t shown = 0, dropped = 0;
  double seconds = 0;
  std::array<float, 4> stages{};
  for (auto _ : state) {
    gui::Application app(
        gui::Application::Options{{}, "/tmp/dioptrix-bench-1080p25/settings.ini", {}});
    ProgramContext& ctx = app.Context();
    ctx.audio.SetSoundFactory([] { return std::make_unique<WallClockSound>(); });
    app.Start();
    if (!app.Open_File(clip, false)) {
      state.SkipWithError("cannot open the clip");
      break;
    }
    app.SetInputLayout(kLayout2DTo3D);
    app.SetOutputMethod(kOutputAnaglyphColour);
    // Every shown frame is followed by one pass of the event pump with
    // CurrentFrame on it; the frames it jumped over were dropped.
    int32_t last = -1;
    const Clock::time_point start = Clock::now();
    auto pump = ctx.host.onPumpEvents;
    ctx.host.onPumpEvents = [&] {
      const int32_t now = ctx.CurrentFrame;
      if (now != last) {
        ++shown;
        if (now > last + 1) dropped += now - last - 1;
        last = now;
      }
      if (std::chrono::duration<double>(Clock::now() - start).count() >= kSeconds)
        ctx.StopRequested = kTrue;
      pump();
    };
    app.Video_Play(false);
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    stages = ctx.StageTimes;
  }
  gui::MessageBoxes::SetHandler(nullptr);
  state.counters["shown"] = static_cast<double>(shown);
  state.counters["dropped"] = static_cast<double>(dropped);
  state.counters["shown_fps"] = seconds > 0 ? shown / seconds : 0;
  state.counters["get_ms"] = stages[kStageGetFrame] * 1000;
  state.counters["decode_ms"] = stages[kStageDecode] * 1000;
  state.counters["encode_ms"] = stages[kStageEncode] * 1000;
  state.counters["put_ms"] = stages[kStagePut] * 1000;
}
BENCHMARK(BM_RealTimePlayback2DTo3D1080p25)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace dioptrix
