// The sound back-end on GStreamer.
//
// The pipeline: a bin "Decoder" holding uridecodebin, whose output pads it
// shows under names of their own ("Video Stream 00", "Audio Track 1"), and
// one renderer bin per rendered stream. Pictures are not decoded: the
// decoder hands them over as they are stored (a renderer that shows nothing
// needs no pixels), so the sound track costs no picture decoding. Sound is
// decoded, converted and played through the first sound output that can be
// reached (PulseAudio, then ALSA).
#include <gst/gst.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/sound/sound_backend.h"

namespace dioptrix {

namespace {

constexpr GstClockTime kOpenTimeout = 10 * GST_SECOND;
constexpr GstClockTime kStateTimeout = 5 * GST_SECOND;

// GStreamer starts once per process; the answer is kept.
bool StartGStreamer(std::string* error) {
  static std::once_flag once;
  static bool started = false;
  static std::string why;
  std::call_once(once, [] {
    GError* err = nullptr;
    started = gst_init_check(nullptr, nullptr, &err);
    if (!started) why = err ? err->message : "GStreamer could not start";
    if (err) g_error_free(err);
  });
  if (!started && error) *error = why;
  return started;
}

std::string Describe(GError* err, const char* fallback) {
  return err && err->message ? err->message : fallback;
}

// The first sound output that opens, named "Sound Output"; null (and the
// reason) when none does.
GstElement* OpenSoundOutput(std::string* why) {
  for (const char* factory : {"pulsesink", "alsasink"}) {
    GstElement* sink = gst_element_factory_make(factory, "Sound Output");
    if (!sink) continue;
    gst_object_ref_sink(sink);
    const GstStateChangeReturn r = gst_element_set_state(sink, GST_STATE_READY);
    gst_element_set_state(sink, GST_STATE_NULL);
    if (r != GST_STATE_CHANGE_FAILURE) return sink;
    gst_object_unref(sink);
  }
  if (why) *why = "no sound output can be reached (neither a PulseAudio server nor an ALSA device)";
  return nullptr;
}

// A bin named `name` holding the given chain, with a sink ghost pad named
// `padName` on its first element.
GstElement* RendererBin(const std::string& name, const std::string& padName,
                        std::initializer_list<GstElement*> chain) {
  GstElement* bin = gst_bin_new(name.c_str());
  GstElement* previous = nullptr;
  for (GstElement* e : chain) {
    gst_bin_add(GST_BIN(bin), e);
    if (previous) gst_element_link(previous, e);
    previous = e;
  }
  GstPad* target = gst_element_get_static_pad(*chain.begin(), "sink");
  gst_element_add_pad(bin, gst_ghost_pad_new(padName.c_str(), target));
  gst_object_unref(target);
  return bin;
}

// Drops every buffer that leaves a pad nobody renders, so the stream flows
// on (and the others with it) instead of stopping unlinked.
void Discard(GstPad* pad) {
  gst_pad_add_probe(
      pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
      [](GstPad*, GstPadProbeInfo*, gpointer) { return GST_PAD_PROBE_DROP; }, nullptr, nullptr);
}

class GstSound final : public SoundBackend {
 public:
  ~GstSound() override { Close(); }

  bool Open(const std::string& path, Streams streams, std::string* error) override;
  bool PlayFrom(double seconds, std::string* error) override;
  double Position() override;
  void Stop() override;
  void Close() override;
  bool HasSound() const override {
    std::lock_guard lock(mutex_);
    return soundTracks_ > 0;
  }
  std::vector<MediaElement> Elements() const override;
  bool Unlink(const std::string& element, const std::string& pad) override;

 private:
  static gboolean OnAutoplugContinue(GstElement*, GstPad*, GstCaps* caps, gpointer);
  static void OnPadAdded(GstElement*, GstPad* pad, gpointer self);
  void AddStream(GstPad* pad);
  // Waits for the pipeline to finish a state change (or for an error).
  bool WaitAsyncDone(GstClockTime timeout, std::string* error);
  bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
  }

  GstElement* pipeline_ = nullptr;
  GstElement* decoder_ = nullptr;  // owned by pipeline_
  GstElement* output_ = nullptr;   // the sound output until a track takes it
  std::string outputProblem_;
  Streams streams_ = Streams::Every;
  mutable std::mutex mutex_;  // the stream counts, written by streaming threads
  int videoStreams_ = 0;
  int soundTracks_ = 0;
  bool soundWithoutOutput_ = false;
};

gboolean GstSound::OnAutoplugContinue(GstElement*, GstPad* pad, GstCaps* caps, gpointer) {
  // Pictures are shown by nobody: a picture stream leaves the demuxer (or
  // parser) undecoded. Containers, whose types also read "video/...", are
  // still opened.
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  if (!s || !g_str_has_prefix(gst_structure_get_name(s), "video/")) return TRUE;
  GstElement* parent = gst_pad_get_parent_element(pad);
  if (!parent) return TRUE;
  GstElementFactory* factory = gst_element_get_factory(parent);
  const gchar* klass =
      factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
  const bool elementary = klass && (strstr(klass, "Demux") || strstr(klass, "Parse"));
  gst_object_unref(parent);
  return !elementary;
}

void GstSound::OnPadAdded(GstElement*, GstPad* pad, gpointer self) {
  static_cast<GstSound*>(self)->AddStream(pad);
}

void GstSound::AddStream(GstPad* pad) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) caps = gst_pad_query_caps(pad, nullptr);
  const GstStructure* s = caps ? gst_caps_get_structure(caps, 0) : nullptr;
  const std::string kind = s ? gst_structure_get_name(s) : "";
  if (caps) gst_caps_unref(caps);
  const bool video = kind.rfind("video/", 0) == 0;
  const bool sound = kind.rfind("audio/", 0) == 0;
  if (!video && !sound) {
    Discard(pad);  // subtitles and the like are not rendered
    return;
  }

  std::lock_guard lock(mutex_);
  char name[32];
  if (video) {
    std::snprintf(name, sizeof(name), "Video Stream %02d", videoStreams_++);
  } else {
    std::snprintf(name, sizeof(name), "Audio Track %d", ++soundTracks_);
  }
  GstPad* shown = gst_ghost_pad_new(name, pad);
  gst_pad_set_active(shown, TRUE);
  gst_element_add_pad(decoder_, shown);

  GstElement* renderer = nullptr;
  if (video && streams_ == Streams::Every) {
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", TRUE, nullptr);
    renderer = RendererBin(
        videoStreams_ == 1 ? "Video Renderer" : "Video Renderer " + std::to_string(videoStreams_),
        "Video In", {gst_element_factory_make("queue", nullptr), sink});
  } else if (sound && soundTracks_ == 1 && output_) {
    renderer = RendererBin("Audio Renderer", "Audio In",
                           {gst_element_factory_make("queue", nullptr),
                            gst_element_factory_make("audioconvert", nullptr),
                            gst_element_factory_make("audioresample", nullptr), output_});
    output_ = nullptr;  // now the renderer's
  }
  if (!renderer) {
    if (sound && soundTracks_ == 1) soundWithoutOutput_ = true;
    Discard(shown);
    return;
  }
  gst_bin_add(GST_BIN(pipeline_), renderer);
  GstPad* in = gst_element_get_static_pad(renderer, video ? "Video In" : "Audio In");
  gst_pad_link(shown, in);
  gst_object_unref(in);
  gst_element_sync_state_with_parent(renderer);
}

bool GstSound::WaitAsyncDone(GstClockTime timeout, std::string* error) {
  GstBus* bus = gst_element_get_bus(pipeline_);
  const GstClockTime start = gst_util_get_timestamp();
  bool ok = false;
  std::string why = "the media service did not answer in time";
  for (;;) {
    const GstClockTime spent = gst_util_get_timestamp() - start;
    if (spent >= timeout) break;
    GstMessage* msg = gst_bus_timed_pop_filtered(
        bus, timeout - spent,
        static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR));
    if (!msg) break;
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
      GError* err = nullptr;
      gst_message_parse_error(msg, &err, nullptr);
      why = Describe(err, "the media service failed");
      if (err) g_error_free(err);
      gst_message_unref(msg);
      break;
    }
    const bool fromPipeline = GST_MESSAGE_SRC(msg) == GST_OBJECT(pipeline_);
    gst_message_unref(msg);
    if (fromPipeline) {
      ok = true;
      break;
    }
  }
  gst_object_unref(bus);
  if (!ok && error) *error = why;
  return ok;
}

bool GstSound::Open(const std::string& path, Streams streams, std::string* error) {
  Close();
  if (!StartGStreamer(error)) return false;
  GError* err = nullptr;
  gchar* uri = gst_filename_to_uri(path.c_str(), &err);
  if (!uri) {
    const std::string why = Describe(err, "not a file name");
    if (err) g_error_free(err);
    return Fail(error, why);
  }
  streams_ = streams;
  videoStreams_ = soundTracks_ = 0;
  soundWithoutOutput_ = false;
  output_ = OpenSoundOutput(&outputProblem_);

  pipeline_ = gst_pipeline_new("Media Graph");
  decoder_ = gst_bin_new("Decoder");
  GstElement* source = gst_element_factory_make("uridecodebin", "Source");
  if (!pipeline_ || !decoder_ || !source) {
    g_free(uri);
    if (source) gst_object_unref(source);
    if (decoder_ && !pipeline_) gst_object_unref(decoder_);
    decoder_ = nullptr;
    Close();
    return Fail(error, "the media service lacks its decoder (GStreamer's base plug-ins)");
  }
  g_object_set(source, "uri", uri, nullptr);
  g_free(uri);
  g_signal_connect(source, "autoplug-continue", G_CALLBACK(OnAutoplugContinue), this);
  g_signal_connect(source, "pad-added", G_CALLBACK(OnPadAdded), this);
  gst_bin_add(GST_BIN(decoder_), source);
  gst_bin_add(GST_BIN(pipeline_), decoder_);

  std::string why;
  const bool started =
      gst_element_set_state(pipeline_, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE &&
      WaitAsyncDone(kOpenTimeout, &why);
  int video = 0, sound = 0;
  bool withoutOutput = false;
  {
    std::lock_guard lock(mutex_);
    video = videoStreams_;
    sound = soundTracks_;
    withoutOutput = soundWithoutOutput_;
  }
  if (withoutOutput && (streams == Streams::SoundOnly || started)) {
    why = outputProblem_;
  } else if (streams == Streams::SoundOnly && sound == 0) {
    why = "the file has no sound track";
  } else if (started && video == 0 && sound == 0) {
    why = "the file holds nothing to play";
  } else if (started) {
    return true;
  }
  if (why.empty()) why = "the media service could not open the file";
  Close();
  return Fail(error, why);
}

bool GstSound::PlayFrom(double seconds, std::string* error) {
  if (!pipeline_) return Fail(error, "no file is open");
  // Seeks go through the paused pipeline, which prerolls at the new place.
  if (gst_element_set_state(pipeline_, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE)
    return Fail(error, "the media service cannot pause");
  GstState state = GST_STATE_NULL;
  if (gst_element_get_state(pipeline_, &state, nullptr, kStateTimeout) != GST_STATE_CHANGE_SUCCESS)
    return Fail(error, "the media service did not pause in time");
  const gint64 at = static_cast<gint64>(std::max(seconds, 0.0) * GST_SECOND);
  if (!gst_element_seek_simple(
          pipeline_, GST_FORMAT_TIME,
          static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), at))
    return Fail(error, "the file cannot be played from " + std::to_string(seconds) + " s");
  std::string why;
  if (!WaitAsyncDone(kStateTimeout, &why)) return Fail(error, why);
  if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE ||
      gst_element_get_state(pipeline_, &state, nullptr, kStateTimeout) == GST_STATE_CHANGE_FAILURE)
    return Fail(error, "the media service cannot play");
  return true;
}

double GstSound::Position() {
  if (!pipeline_) return -1;
  // Messages nobody waits for are dropped, so the bus never grows.
  GstBus* bus = gst_element_get_bus(pipeline_);
  while (GstMessage* msg = gst_bus_pop(bus)) gst_message_unref(msg);
  gst_object_unref(bus);
  gint64 position = 0;
  if (!gst_element_query_position(pipeline_, GST_FORMAT_TIME, &position) || position < 0) return -1;
  return static_cast<double>(position) / GST_SECOND;
}

void GstSound::Stop() {
  if (!pipeline_) return;
  gst_element_set_state(pipeline_, GST_STATE_PAUSED);
  gst_element_get_state(pipeline_, nullptr, nullptr, kStateTimeout);
}

void GstSound::Close() {
  if (pipeline_) {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(pipeline_);
  }
  pipeline_ = nullptr;
  decoder_ = nullptr;
  if (output_) gst_object_unref(output_);
  output_ = nullptr;
}

std::vector<MediaElement> GstSound::Elements() const {
  std::vector<MediaElement> elements;
  if (!pipeline_) return elements;
  GstIterator* it = gst_bin_iterate_elements(GST_BIN(pipeline_));
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    auto* element = GST_ELEMENT(g_value_get_object(&item));
    MediaElement e;
    gchar* name = gst_element_get_name(element);
    e.name = name;
    g_free(name);
    GstIterator* pads = gst_element_iterate_pads(element);
    GValue padItem = G_VALUE_INIT;
    while (gst_iterator_next(pads, &padItem) == GST_ITERATOR_OK) {
      auto* pad = GST_PAD(g_value_get_object(&padItem));
      gchar* padName = gst_pad_get_name(pad);
      e.pads.push_back({padName, gst_pad_is_linked(pad) != FALSE});
      g_free(padName);
      g_value_reset(&padItem);
    }
    g_value_unset(&padItem);
    gst_iterator_free(pads);
    elements.push_back(std::move(e));
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  // The iteration runs from the last added; show them in the order made.
  std::reverse(elements.begin(), elements.end());
  return elements;
}

bool GstSound::Unlink(const std::string& elementName, const std::string& padName) {
  if (!pipeline_) return false;
  GstElement* element = gst_bin_get_by_name(GST_BIN(pipeline_), elementName.c_str());
  if (!element) return false;
  GstPad* pad = gst_element_get_static_pad(element, padName.c_str());
  gst_object_unref(element);
  if (!pad) return false;
  GstPad* peer = gst_pad_get_peer(pad);
  if (!peer) {
    gst_object_unref(pad);
    return false;
  }
  const bool outgoing = GST_PAD_IS_SRC(pad);
  const bool unlinked = outgoing ? gst_pad_unlink(pad, peer) : gst_pad_unlink(peer, pad);
  if (unlinked) Discard(outgoing ? pad : peer);
  // The element on the receiving side, as the pipeline holds it.
  GstElement* receiver = gst_pad_get_parent_element(outgoing ? peer : pad);
  gst_object_unref(peer);
  gst_object_unref(pad);
  if (receiver && GST_OBJECT_PARENT(receiver) == GST_OBJECT(pipeline_)) {
    bool fed = false;
    GstIterator* sinks = gst_element_iterate_sink_pads(receiver);
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(sinks, &item) == GST_ITERATOR_OK) {
      fed = fed || gst_pad_is_linked(GST_PAD(g_value_get_object(&item)));
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(sinks);
    if (!fed && receiver != decoder_) {
      gst_element_set_state(receiver, GST_STATE_NULL);
      gst_bin_remove(GST_BIN(pipeline_), receiver);
    }
  }
  if (receiver) gst_object_unref(receiver);
  return unlinked;
}

}  // namespace

std::unique_ptr<SoundBackend> MakeGStreamerSound(std::string* error) {
  if (!StartGStreamer(error)) return nullptr;
  return std::make_unique<GstSound>();
}

}  // namespace dioptrix
