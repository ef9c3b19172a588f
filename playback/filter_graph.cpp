#include "playback/filter_graph.h"

#include <string>

#include "platform/error.h"
#include "playback/program.h"

namespace dioptrix {

namespace {

// Position of needle in text counted from 1; 0 when absent.
size_t Position1(const std::string& text, const char* needle) {
  const size_t at = text.find(needle);
  return at == std::string::npos ? 0 : at + 1;
}

std::string Lower(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return text;
}

[[noreturn]] void Raise(const std::string& why) {
  throw RuntimeError(kErrInvalidArgument, "Media", why);
}

}  // namespace

bool BuildAudioGraph(ProgramContext& ctx, const std::string& path) {
  AudioState& audio = ctx.audio;
  if (audio.graph) audio.graph->Close();
  audio.graph.reset();
  audio.GraphState = kGraphStopped;
  audio.graphPosition = 0;
  return TrapErrors(ctx.host, kGraphBuildError, [&] {
    if (!audio.makeSound) Raise("there is no media service");
    std::unique_ptr<SoundBackend> graph = audio.makeSound();
    if (!graph) Raise("the media service cannot start");
    std::string why;
    if (!graph->Open(path, SoundBackend::Streams::Every, &why)) Raise(why);
    audio.graph = std::move(graph);
  });
}

bool RemoveVideoPath(ProgramContext& ctx) {
  return TrapErrors(ctx.host, kGraphVideoError, [&] {
    bool found = false;
    if (SoundBackend* graph = ctx.audio.graph.get()) {
      for (const MediaElement& element : graph->Elements()) {
        const std::string elementName = Lower(element.name);
        for (const MediaPad& pad : element.pads) {
          const std::string padName = Lower(pad.name);
          const size_t k = Position1(padName, "video") + Position1(padName, "stream 00") +
                           Position1(padName, "raw video") + Position1(elementName, "video render");
          if (k == 0) continue;
          graph->Unlink(element.name, pad.name);
          if (elementName.find("video render") == std::string::npos) found = true;
        }
      }
    }
    if (!found) ctx.host.Message(kNoVideoFilter);
  });
}

bool RunGraphFrom(ProgramContext& ctx, double seconds) {
  return TrapErrors(ctx.host, kGraphStartError, [&] {
    AudioState& audio = ctx.audio;
    if (audio.graph) {
      std::string why;
      if (!audio.graph->PlayFrom(seconds, &why)) Raise(why);
      audio.graphPosition = seconds;
    }
    audio.GraphState = kGraphRunning;
  });
}

bool StopGraph(ProgramContext& ctx) {
  return TrapErrors(ctx.host, kGraphStopError, [&] {
    if (ctx.audio.graph) ctx.audio.graph->Stop();
    ctx.audio.GraphState = kGraphStopped;
  });
}

double GraphPosition(ProgramContext& ctx) {
  AudioState& audio = ctx.audio;
  if (!audio.graph) return 0;
  const double p = audio.graph->Position();
  if (p >= 0) audio.graphPosition = p;
  return audio.graphPosition;
}

bool GraphHasSound(const ProgramContext& ctx) {
  return ctx.audio.graph && ctx.audio.graph->HasSound();
}

}  // namespace dioptrix
