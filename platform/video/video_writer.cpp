#include "platform/video/video_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/video/ffmpeg_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace dioptrix {
namespace {

using namespace ffmpeg;

namespace fs = std::filesystem;

// Largest frame side the writer accepts.
constexpr int32_t kMaxSide = 32768;
// Rows of the staging picture start 64-byte aligned and carry spare bytes, so
// the vector code of the colour converter may read past a row's end.
constexpr int kRowAlign = 64;
constexpr int kRowSlack = 64;
// Name of the pictures written into a folder.
constexpr const char* kFolderPattern = "frame_%05d.png";
// Latest frame time taken, in seconds after the first frame.
constexpr double kMaxSeconds = 1e7;
// Most frames a fixed-rate output stores for one frame (11.6 hours at 25
// per second), so that a stray time cannot keep the encoder busy for days.
constexpr int64_t kMaxSlotsPerFrame = int64_t{1} << 20;

struct OutputCloser {
  void operator()(AVFormatContext* f) const {
    if (f->pb && !(f->oformat->flags & AVFMT_NOFILE)) avio_closep(&f->pb);
    avformat_free_context(f);
  }
};
struct ResamplerFreer {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FifoFreer {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

using OutputPtr = std::unique_ptr<AVFormatContext, OutputCloser>;

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

const char* CodecTitle(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::FFV1:
      return "FFV1";
    case VideoCodec::PNG:
      return "PNG";
    default:
      return "H.264";
  }
}

AVCodecID CodecId(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::FFV1:
      return AV_CODEC_ID_FFV1;
    case VideoCodec::PNG:
      return AV_CODEC_ID_PNG;
    default:
      return AV_CODEC_ID_H264;
  }
}

// Doubles every '%' so that a folder name survives as part of a pattern.
std::string EscapePercent(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

std::string FormatTitle(const AVOutputFormat* f) {
  std::string name = f->name;
  const size_t comma = name.find(',');
  if (comma != std::string::npos) name.resize(comma);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// The encoder's time base for frames that keep their times: 1/90000 s when
// that holds the frame period in whole ticks (24, 25, 30, 29.97, 50, 60, ...
// per second), else 1/(k * rate) s for the least k that makes a tick at most
// 1/10000 s (23.976 per second: 1/24000 s), so that a frame every period
// lies exactly on a tick either way. Rates whose ticks would be finer than
// 1/200000 s take 1/90000 s all the same: MP4 and MOV count a frame's
// duration in 31 bits of ticks, which must leave room for long stills.
AVRational FrameTimeBase(AVRational rate) {
  const int64_t num = rate.num, den = rate.den;
  if (den * 90000 % num == 0) return AVRational{1, 90000};
  const int64_t ticks = num * ((10000 + num - 1) / num);
  if (ticks > 200000) return AVRational{1, 90000};
  return AVRational{1, static_cast<int>(ticks)};
}

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.6g", seconds);
  return text;
}

bool EndsWithPng(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".png";
}

// The common extensions whose containers hold the codec, as "a, b or c".
std::string ExtensionsFor(VideoCodec codec) {
  std::vector<std::string> fit;
  for (const char* ext : {"mp4", "mkv", "mov", "avi"}) {
    const AVOutputFormat* f = av_guess_format(nullptr, (std::string("x.") + ext).c_str(), nullptr);
    if (f && avformat_query_codec(f, CodecId(codec), FF_COMPLIANCE_NORMAL) == 1) {
      fit.push_back(std::string(".") + ext);
    }
  }
  std::string text;
  for (size_t i = 0; i < fit.size(); ++i) {
    if (i > 0) text += i + 1 == fit.size() ? " or " : ", ";
    text += fit[i];
  }
  return text.empty() ? ".mkv" : text;
}

// The encoders to try for a codec, best first: libx264 for H.264, then every
// other encoder of the codec that does not need special hardware set up.
std::vector<const AVCodec*> EncoderCandidates(VideoCodec codec) {
  std::vector<const AVCodec*> list;
  const AVCodecID id = CodecId(codec);
  if (id == AV_CODEC_ID_H264) {
    if (const AVCodec* x264 = avcodec_find_encoder_by_name("libx264")) list.push_back(x264);
  }
  void* opaque = nullptr;
  while (const AVCodec* c = av_codec_iterate(&opaque)) {
    if (c->id != id || !av_codec_is_encoder(c)) continue;
    if (std::find(list.begin(), list.end(), c) != list.end()) continue;
    if (c->capabilities & (AV_CODEC_CAP_HARDWARE | AV_CODEC_CAP_EXPERIMENTAL)) continue;
    list.push_back(c);
  }
  return list;
}

// True when the encoder takes the pixel format (an encoder that lists none is
// taken to accept it).
bool TakesFormat(const AVCodec* c, AVPixelFormat format) {
  if (!c->pix_fmts) return true;
  for (const AVPixelFormat* p = c->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
    if (*p == format) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// The sound tracks: packets of the source's audio streams, copied or coded
// again, interleaved with the video as the frames come. Each track reads the
// source through a demuxer of its own, so that no track waits in memory for
// another one's packets further on in the file.

// Flags of a track that say what it is for a player.
constexpr int kTrackFlags = AV_DISPOSITION_DEFAULT | AV_DISPOSITION_DUB | AV_DISPOSITION_ORIGINAL |
                            AV_DISPOSITION_COMMENT | AV_DISPOSITION_LYRICS |
                            AV_DISPOSITION_KARAOKE | AV_DISPOSITION_FORCED |
                            AV_DISPOSITION_HEARING_IMPAIRED | AV_DISPOSITION_VISUAL_IMPAIRED |
                            AV_DISPOSITION_CLEAN_EFFECTS | AV_DISPOSITION_DESCRIPTIONS;

// Opens the sound source and reads its streams; nothing, with a note, when it
// cannot.
InputPtr OpenSoundSource(const std::string& source, std::string* note) {
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  AVFormatContext* opened = nullptr;
  int rc = avformat_open_input(&opened, ("file:" + source).c_str(), nullptr, &options);
  av_dict_free(&options);
  if (rc < 0) {
    *note = "The sound is left out: cannot open " + source + " (" + AvError(rc) + ").";
    return nullptr;
  }
  InputPtr in(opened);
  if (avformat_find_stream_info(opened, nullptr) < 0) {
    *note = "The sound is left out: cannot read the streams of " + source + ".";
    return nullptr;
  }
  return in;
}

// Indices of the source's audio streams, in their order.
std::vector<int> AudioStreams(const AVFormatContext* in) {
  std::vector<int> list;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      list.push_back(static_cast<int>(i));
    }
  }
  return list;
}

class SoundTrack {
 public:
  // Prepares the source's stream `index` (read from `in`, which the track
  // keeps) for the output. `name` names the track in notes ("the sound
  // track", "sound track 1 (fra)"). A track that cannot be carried leaves
  // Handling() Skipped and a note in `note`.
  SoundTrack(AVFormatContext* out, InputPtr in, int index, double start, const std::string& name,
             std::string* note);

  AudioHandling Handling() const { return handling_; }
  // Writes every packet of the track that lies before `until` seconds of the
  // output. False (and the track dropped, with a note) on a failure.
  bool Pump(AVFormatContext* out, double until, std::string* note);
  // Writes the rest up to `end` seconds and drains the encoder.
  bool Finish(AVFormatContext* out, double end, std::string* note);

 private:
  bool Fail(const std::string& what, int rc, std::string* note);
  // "The sound track is left out: " + why.
  void Skip(const std::string& why, std::string* note);
  // The source's language, title and flags of the track.
  void CopyTrackInfo();
  bool ReadPacket();
  bool HandlePacket(AVFormatContext* out, AVPacket* p, double end);
  bool Decoded(AVFormatContext* out, double end);
  bool EncodeFromFifo(AVFormatContext* out, bool flushAll, double end);
  bool DrainEncoder(AVFormatContext* out);
  double OutputTime(const AVPacket* p) const;

  AudioHandling handling_ = AudioHandling::None;
  std::string name_;
  InputPtr in_;
  AVStream* source_ = nullptr;
  AVStream* stream_ = nullptr;
  double origin_ = 0;  // source seconds at output time 0
  bool trimStart_ = false;
  PacketPtr pending_{av_packet_alloc()};
  bool havePending_ = false;
  bool ended_ = false;  // no more source packets
  bool done_ = false;   // nothing more is written

  // Coding again.
  CodecPtr decoder_;
  CodecPtr encoder_;
  std::unique_ptr<SwrContext, ResamplerFreer> resampler_;
  std::unique_ptr<AVAudioFifo, FifoFreer> fifo_;
  FramePtr decoded_{av_frame_alloc()};
  FramePtr chunk_{av_frame_alloc()};
  PacketPtr coded_{av_packet_alloc()};
  int64_t samplesOut_ = 0;    // samples handed to the encoder
  int64_t samplesTaken_ = 0;  // samples put into the fifo
  bool started_ = false;      // first decoded samples seen
};

SoundTrack::SoundTrack(AVFormatContext* out, InputPtr in, int index, double start,
                       const std::string& name, std::string* note)
    : name_(name), in_(std::move(in)) {
  AVFormatContext* opened = in_.get();
  if (index < 0 || static_cast<unsigned>(index) >= opened->nb_streams ||
      opened->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
    Skip("the source's streams changed while it was read.", note);
    return;
  }
  const int audio = index;
  int rc = 0;
  source_ = opened->streams[audio];
  for (unsigned i = 0; i < opened->nb_streams; ++i) {
    if (static_cast<int>(i) != audio) opened->streams[i]->discard = AVDISCARD_ALL;
  }

  // Output time 0 is `start` seconds after the first video frame.
  double videoStart = 0;
  const int video = av_find_best_stream(opened, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video >= 0 && opened->streams[video]->start_time != AV_NOPTS_VALUE) {
    videoStart = static_cast<double>(opened->streams[video]->start_time) *
                 av_q2d(opened->streams[video]->time_base);
  }
  const double from = std::isfinite(start) ? std::clamp(start, 0.0, kMaxSeconds) : 0.0;
  origin_ = videoStart + from;
  trimStart_ = from > 0;
  if (trimStart_) {
    const int64_t ts = static_cast<int64_t>(origin_ * AV_TIME_BASE);
    avformat_seek_file(opened, -1, INT64_MIN, ts, ts, 0);  // failing that, read from the start
  }

  const AVCodecParameters* par = source_->codecpar;
  const char* codecName = avcodec_get_name(par->codec_id);
  const std::string container = FormatTitle(out->oformat);
  if (avformat_query_codec(out->oformat, par->codec_id, FF_COMPLIANCE_NORMAL) == 1) {
    stream_ = avformat_new_stream(out, nullptr);
    if (!stream_ || avcodec_parameters_copy(stream_->codecpar, par) < 0) {
      Skip("out of memory.", note);
      return;
    }
    stream_->codecpar->codec_tag = 0;
    stream_->time_base = source_->time_base;
    CopyTrackInfo();
    handling_ = AudioHandling::Copied;
    return;
  }

  // The container cannot hold the codec: decode and code again as AAC.
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  const AVCodec* dec = avcodec_find_decoder(par->codec_id);
  if (!aac || avformat_query_codec(out->oformat, AV_CODEC_ID_AAC, FF_COMPLIANCE_NORMAL) != 1 ||
      !dec) {
    Skip(container + " files cannot hold " + codecName +
             " sound and it cannot be coded again as AAC.",
         note);
    return;
  }
  decoder_.reset(avcodec_alloc_context3(dec));
  encoder_.reset(avcodec_alloc_context3(aac));
  if (!decoder_ || !encoder_ || avcodec_parameters_to_context(decoder_.get(), par) < 0) {
    Skip("out of memory.", note);
    return;
  }
  decoder_->pkt_timebase = source_->time_base;
  if ((rc = avcodec_open2(decoder_.get(), dec, nullptr)) < 0 || decoder_->sample_rate <= 0) {
    Skip(std::string("cannot decode its ") + codecName + " sound.", note);
    return;
  }
  if (decoder_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || decoder_->ch_layout.nb_channels < 1) {
    const int channels = std::max(1, decoder_->ch_layout.nb_channels);
    av_channel_layout_uninit(&decoder_->ch_layout);
    av_channel_layout_default(&decoder_->ch_layout, channels);
  }

  // The encoder keeps the rate and channels where it can: otherwise the
  // nearest rate it takes, and stereo (mono stays mono).
  int sampleRate = decoder_->sample_rate;
  if (aac->supported_samplerates) {
    int best = 0;
    for (const int* r = aac->supported_samplerates; *r; ++r) {
      if (best == 0 || std::abs(*r - sampleRate) < std::abs(best - sampleRate)) best = *r;
    }
    sampleRate = best;
  }
  AVChannelLayout layout{};
  bool layoutTaken = !aac->ch_layouts;
  for (const AVChannelLayout* l = aac->ch_layouts; l && l->nb_channels; ++l) {
    if (av_channel_layout_compare(l, &decoder_->ch_layout) == 0) layoutTaken = true;
  }
  if (layoutTaken) {
    av_channel_layout_copy(&layout, &decoder_->ch_layout);
  } else {
    av_channel_layout_default(&layout, decoder_->ch_layout.nb_channels == 1 ? 1 : 2);
  }
  encoder_->sample_rate = sampleRate;
  av_channel_layout_copy(&encoder_->ch_layout, &layout);
  encoder_->sample_fmt = aac->sample_fmts ? aac->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
  encoder_->bit_rate =
      64000 * std::min(layout.nb_channels, 2) + 32000 * std::max(0, layout.nb_channels - 2);
  encoder_->time_base = AVRational{1, sampleRate};
  if (out->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  SwrContext* swr = nullptr;
  rc = swr_alloc_set_opts2(&swr, &encoder_->ch_layout, encoder_->sample_fmt, sampleRate,
                           &decoder_->ch_layout, decoder_->sample_fmt, decoder_->sample_rate, 0,
                           nullptr);
  resampler_.reset(swr);
  av_channel_layout_uninit(&layout);
  if (rc < 0 || !swr || swr_init(swr) < 0 ||
      (rc = avcodec_open2(encoder_.get(), aac, nullptr)) < 0) {
    Skip("cannot set up the AAC encoder.", note);
    return;
  }
  fifo_.reset(av_audio_fifo_alloc(encoder_->sample_fmt, encoder_->ch_layout.nb_channels,
                                  std::max(encoder_->frame_size, 1024) * 4));
  stream_ = avformat_new_stream(out, nullptr);
  if (!fifo_ || !stream_ || !decoded_ || !chunk_ || !coded_ ||
      avcodec_parameters_from_context(stream_->codecpar, encoder_.get()) < 0) {
    stream_ = nullptr;
    Skip("out of memory.", note);
    return;
  }
  stream_->time_base = encoder_->time_base;
  CopyTrackInfo();
  handling_ = AudioHandling::Reencoded;
  *note = container + " files cannot hold the " + codecName + " sound of " + name_ +
          "; it is coded again as AAC.";
}

void SoundTrack::Skip(const std::string& why, std::string* note) {
  handling_ = AudioHandling::Skipped;
  std::string title = name_;
  if (!title.empty())
    title[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(title[0])));
  *note = title + " is left out: " + why;
}

void SoundTrack::CopyTrackInfo() {
  for (const char* key : {"language", "title"}) {
    if (const AVDictionaryEntry* e = av_dict_get(source_->metadata, key, nullptr, 0)) {
      av_dict_set(&stream_->metadata, key, e->value, 0);
    }
  }
  stream_->disposition = source_->disposition & kTrackFlags;
}

bool SoundTrack::Fail(const std::string& what, int rc, std::string* note) {
  done_ = true;
  *note = "The rest of " + name_ + " is left out: " + what +
          (rc < 0 ? " (" + AvError(rc) + ")." : std::string("."));
  return false;
}

// Output seconds of a packet's first sample.
double SoundTrack::OutputTime(const AVPacket* p) const {
  const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
  if (ts == AV_NOPTS_VALUE) return 0;  // no stamp: taken as due now
  return static_cast<double>(ts) * av_q2d(source_->time_base) - origin_;
}

bool SoundTrack::ReadPacket() {
  while (!ended_) {
    const int rc = av_read_frame(in_.get(), pending_.get());
    if (rc < 0) {
      ended_ = true;
      return false;
    }
    if (pending_->stream_index == source_->index) {
      havePending_ = true;
      return true;
    }
    av_packet_unref(pending_.get());
  }
  return false;
}

bool SoundTrack::Pump(AVFormatContext* out, double until, std::string* note) {
  if (!stream_ || done_) return true;
  for (;;) {
    if (!havePending_ && !ReadPacket()) return true;
    if (OutputTime(pending_.get()) >= until) return true;
    havePending_ = false;
    const bool ok = HandlePacket(out, pending_.get(), until);
    av_packet_unref(pending_.get());
    if (!ok) return Fail("a sound packet could not be written", -1, note);
  }
}

bool SoundTrack::HandlePacket(AVFormatContext* out, AVPacket* p, double end) {
  if (handling_ == AudioHandling::Copied) {
    // From a later start, packets that end before it are left out; from the
    // first frame everything is kept (lead-in packets keep negative stamps).
    const double at = OutputTime(p);
    const double length = static_cast<double>(p->duration) * av_q2d(source_->time_base);
    if (trimStart_ && (length > 0 ? at + length <= 0 : at < 0)) return true;
    const int64_t shift = llrint(origin_ / av_q2d(source_->time_base));
    if (p->pts != AV_NOPTS_VALUE) p->pts -= shift;
    if (p->dts != AV_NOPTS_VALUE) p->dts -= shift;
    av_packet_rescale_ts(p, source_->time_base, stream_->time_base);
    p->stream_index = stream_->index;
    p->pos = -1;
    return av_interleaved_write_frame(out, p) >= 0;
  }
  if (avcodec_send_packet(decoder_.get(), p) < 0) return true;  // a damaged packet is skipped
  return Decoded(out, end);
}

// Moves every frame the decoder has into the fifo, dropping what lies before
// output time 0, and codes whole encoder frames from it.
bool SoundTrack::Decoded(AVFormatContext* out, double end) {
  for (;;) {
    const int rc = avcodec_receive_frame(decoder_.get(), decoded_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
    if (rc < 0) return true;  // a decoding error loses that packet only
    int64_t skip = 0;
    if (!started_) {
      started_ = true;
      const int64_t ts = decoded_->best_effort_timestamp;
      if (ts != AV_NOPTS_VALUE) {
        const double at = static_cast<double>(ts) * av_q2d(source_->time_base) - origin_;
        if (at < 0) skip = llrint(-at * encoder_->sample_rate);
      }
    }
    const int room = swr_get_out_samples(resampler_.get(), decoded_->nb_samples);
    if (room < 0) return false;
    uint8_t** planes = nullptr;
    if (av_samples_alloc_array_and_samples(&planes, nullptr, encoder_->ch_layout.nb_channels,
                                           std::max(room, 1), encoder_->sample_fmt, 0) < 0) {
      return false;
    }
    const int got =
        swr_convert(resampler_.get(), planes, room,
                    const_cast<const uint8_t**>(decoded_->extended_data), decoded_->nb_samples);
    bool ok = got >= 0;
    if (ok && got > skip) {
      // Skipping from the front: write from an offset into each plane.
      const int bytes = av_get_bytes_per_sample(encoder_->sample_fmt);
      const bool planar = av_sample_fmt_is_planar(encoder_->sample_fmt);
      const int channels = encoder_->ch_layout.nb_channels;
      std::vector<void*> from(static_cast<size_t>(planar ? channels : 1));
      for (size_t c = 0; c < from.size(); ++c) {
        from[c] = planes[c] + skip * bytes * (planar ? 1 : channels);
      }
      const int count = got - static_cast<int>(skip);
      ok = av_audio_fifo_write(fifo_.get(), from.data(), count) == count;
      samplesTaken_ += count;
    }
    av_freep(&planes[0]);
    av_freep(&planes);
    av_frame_unref(decoded_.get());
    if (!ok) return false;
    if (!EncodeFromFifo(out, false, end)) return false;
  }
  return true;
}

// Codes whole frames from the fifo (with flushAll also the last part frame),
// never beyond `end` seconds of output.
bool SoundTrack::EncodeFromFifo(AVFormatContext* out, bool flushAll, double end) {
  const int frameSize = encoder_->frame_size > 0 ? encoder_->frame_size : 1024;
  const int64_t limit = llrint(end * encoder_->sample_rate);
  for (;;) {
    int64_t count = std::min<int64_t>(av_audio_fifo_size(fifo_.get()), frameSize);
    count = std::min(count, limit - samplesOut_);
    if (count <= 0 || (count < frameSize && !flushAll)) return true;
    av_frame_unref(chunk_.get());
    chunk_->nb_samples = static_cast<int>(count);
    chunk_->format = encoder_->sample_fmt;
    chunk_->sample_rate = encoder_->sample_rate;
    if (av_channel_layout_copy(&chunk_->ch_layout, &encoder_->ch_layout) < 0 ||
        av_frame_get_buffer(chunk_.get(), 0) < 0 ||
        av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(chunk_->data),
                           static_cast<int>(count)) != count) {
      return false;
    }
    chunk_->pts = samplesOut_;
    samplesOut_ += count;
    if (avcodec_send_frame(encoder_.get(), chunk_.get()) < 0) return false;
    if (!DrainEncoder(out)) return false;
    if (count < frameSize) return true;  // a short frame can only be the last
  }
}

bool SoundTrack::DrainEncoder(AVFormatContext* out) {
  for (;;) {
    const int rc = avcodec_receive_packet(encoder_.get(), coded_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
    if (rc < 0) return false;
    av_packet_rescale_ts(coded_.get(), encoder_->time_base, stream_->time_base);
    coded_->stream_index = stream_->index;
    if (av_interleaved_write_frame(out, coded_.get()) < 0) return false;
  }
}

bool SoundTrack::Finish(AVFormatContext* out, double end, std::string* note) {
  if (!stream_ || done_) return true;
  if (!Pump(out, end, note)) return false;
  done_ = true;
  if (handling_ != AudioHandling::Reencoded) return true;
  // What the decoder and the resampler still hold, then the encoder's tail.
  if (ended_) {
    avcodec_send_packet(decoder_.get(), nullptr);
    if (!Decoded(out, end)) return Fail("the sound could not be coded", -1, note);
  }
  const int64_t limit = llrint(end * encoder_->sample_rate);
  if (samplesTaken_ < limit) {
    uint8_t** planes = nullptr;
    const int room = std::max(swr_get_out_samples(resampler_.get(), 0), 0);
    if (room > 0 &&
        av_samples_alloc_array_and_samples(&planes, nullptr, encoder_->ch_layout.nb_channels, room,
                                           encoder_->sample_fmt, 0) >= 0) {
      const int got = swr_convert(resampler_.get(), planes, room, nullptr, 0);
      if (got > 0) av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(planes), got);
      av_freep(&planes[0]);
      av_freep(&planes);
    }
  }
  if (!EncodeFromFifo(out, true, end)) return Fail("the sound could not be coded", -1, note);
  if (avcodec_send_frame(encoder_.get(), nullptr) < 0 || !DrainEncoder(out)) {
    return Fail("the sound could not be coded", -1, note);
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

// What an output name comes to.
struct TargetPlan {
  bool sequence = false;  // PNG pictures
  std::string target;     // the file, or the pattern of the pictures
  std::string folder;     // where the output goes; made when missing
  const AVOutputFormat* format = nullptr;
  VideoCodec codec = VideoCodec::H264;
};

// Works out the target and makes every check on it that needs no change on
// disk (looking at what exists is all). False with the reason in error.
bool PlanTarget(const std::string& path, const VideoWriterOptions& options, TargetPlan* plan,
                std::string* error) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    SetError(error, "No valid output file name given.");
    return false;
  }
  if (options.rate == 0 || options.scale == 0) {
    SetError(error, "The frame rate must be positive.");
    return false;
  }
  if (options.audioTrack < -1) {
    SetError(error, "No sound track " + std::to_string(options.audioTrack) +
                        ": give 0 or more, or -1 for every track.");
    return false;
  }
  if (options.firstPictureNumber < 0 || options.firstPictureNumber > INT32_MAX) {
    SetError(error,
             "The first picture number must lie between 0 and " + std::to_string(INT32_MAX) + ".");
    return false;
  }

  // A folder or a numbered pattern makes pictures; anything else a file whose
  // extension names the container.
  std::error_code ec;
  const bool folder = path.back() == '/' || fs::is_directory(path, ec);
  const bool pattern = !folder && av_filename_number_test(path.c_str());
  plan->sequence = folder || pattern;
  if (pattern && !EndsWithPng(path)) {
    SetError(error, "Numbered pictures are written as PNG: give them a name such as " +
                        std::string("frame_%05d.png."));
    return false;
  }
  if (plan->sequence) {
    if (options.codec != VideoCodec::Auto && options.codec != VideoCodec::PNG) {
      SetError(error, std::string("Numbered pictures are written as PNG only, not ") +
                          CodecTitle(options.codec) + ": give a video file name such as out.mkv.");
      return false;
    }
    plan->codec = VideoCodec::PNG;
    plan->format = av_guess_format("image2", nullptr, nullptr);
    if (folder) {
      plan->folder = path;
      std::string base = path;
      if (base.back() != '/') base += '/';
      plan->target = EscapePercent(base) + kFolderPattern;
    } else {
      plan->target = path;
    }
  } else {
    plan->target = path;
    plan->format = av_guess_format(nullptr, path.c_str(), nullptr);
    if (!plan->format) {
      SetError(error, "Cannot tell the kind of video file from the name " + path +
                          ": use a name ending in .mp4, .mkv, .avi or .mov, a numbered "
                          "picture name such as frame_%05d.png, or a folder.");
      return false;
    }
    if (plan->format->flags & AVFMT_NOFILE || plan->format->video_codec == AV_CODEC_ID_NONE) {
      SetError(error, path +
                          " names a single picture or a file without video: use a video file "
                          "name such as out.mp4, a numbered picture name such as "
                          "frame_%05d.png, or a folder.");
      return false;
    }
    plan->codec = options.codec == VideoCodec::Auto ? VideoCodec::H264 : options.codec;
    if (avformat_query_codec(plan->format, CodecId(plan->codec), FF_COMPLIANCE_NORMAL) == 0) {
      SetError(error, FormatTitle(plan->format) + " files cannot hold " + CodecTitle(plan->codec) +
                          " video: use a name ending in " + ExtensionsFor(plan->codec) + ".");
      return false;
    }
  }
  if (!plan->format || EncoderCandidates(plan->codec).empty()) {
    SetError(error, std::string("This FFmpeg has no ") + CodecTitle(plan->codec) + " encoder.");
    return false;
  }

  // The folder, or the nearest one of it that exists (where the missing ones
  // will be made), must be a folder that can be written into; a file that is
  // there already must be writable.
  if (!folder) plan->folder = fs::path(path).parent_path().string();
  if (plan->folder.empty()) plan->folder = ".";
  fs::path there = plan->folder;
  while (!fs::exists(there, ec)) {
    const fs::path up = there.parent_path();
    if (up.empty() || up == there) {
      there = up.empty() ? fs::path(".") : up;
      break;
    }
    there = up;
  }
  if (!fs::is_directory(there, ec)) {
    SetError(error,
             "Cannot write into " + plan->folder + ": " + there.string() + " is not a folder.");
    return false;
  }
  if (!plan->sequence && fs::exists(path, ec)) {
    if (access(path.c_str(), W_OK) != 0) {
      SetError(error, "Cannot write " + path + ": " + AvError(AVERROR(errno)));
      return false;
    }
  } else if (access(there.c_str(), W_OK | X_OK) != 0) {
    SetError(error, "Cannot write into the folder " + there.string() + ".");
    return false;
  }
  return true;
}

// How frame times reach the output.
enum class Timing {
  Kept,       // as time stamps (MP4, MKV, MOV, ...)
  FixedRate,  // by repeating or leaving out frames at the fixed rate (AVI, raw streams)
  Pictures,   // not at all: one picture per frame
};

struct VideoWriter::Impl {
  VideoWriterOptions options;
  std::string target;  // the file, or the pattern of the pictures
  bool sequence = false;
  AVRational rate{25, 1};
  Timing timing = Timing::Kept;
  AVRational timeBase{1, 25};  // the encoder's
  int64_t minGap = 1;          // least step between two frames, in timeBase
  VideoCodec codec = VideoCodec::H264;
  OutputPtr out;
  AVStream* stream = nullptr;
  std::vector<const AVCodec*> candidates;
  const AVCodec* encoderCodec = nullptr;
  CodecPtr encoder;
  AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
  FramePtr picture{av_frame_alloc()};
  PacketPtr packet{av_packet_alloc()};
  std::unique_ptr<SwsContext, ScalerFreer> scaler;
  std::unique_ptr<uint8_t, AvFreer> staging;
  int stagingStride = 0;
  std::vector<fs::path> madeFolders;               // made by Open, innermost first
  std::vector<std::unique_ptr<SoundTrack>> audio;  // the tracks carried
  bool soundSkipped = false;  // the source, or a track of it, could not be carried

  int32_t width = 0, height = 0;
  int32_t codedWidth = 0, codedHeight = 0;
  int64_t frames = 0;  // frames taken
  // Frame times, in timeBase (FixedRate: frame slots).
  double origin = 0;        // seconds given for the first frame
  int64_t anchor = 0;       // time of the last frame that was given one
  int64_t sinceAnchor = 0;  // frames taken since that one
  int64_t last = 0;         // time of the last frame taken
  // FixedRate: frames stored; `picture` holds the last frame taken, which is
  // stored once the next frame's time tells for how many slots.
  int64_t slots = 0;
  bool holding = false;
  bool fixedRateNoted = false;
  bool headerWritten = false;
  bool finished = false;
  bool broken = false;
  bool rescaleNoted = false;

  void Note(const std::string& text) const {
    if (options.onNote && !text.empty()) options.onNote(text);
  }
  double Seconds(int64_t ticks) const { return static_cast<double>(ticks) * av_q2d(timeBase); }
  double Period() const { return av_q2d(av_inv_q(rate)); }
  bool Start(const cDIBSection& first, std::string* error);
  bool OpenEncoder(std::string* error);
  bool Convert(const cDIBSection& frame);
  // Works out the time of the next frame, given `seconds`, into `at`; false
  // when it lies too far. Changes nothing.
  bool Place(double seconds, int64_t* at, std::string* error) const;
  // Before the next frame at `at`: for a fixed rate, stores the held frame
  // into the slots before it.
  bool MakeRoom(int64_t at, std::string* error);
  // Takes the frame in `picture` as the next one, at `at`: encodes it, or for
  // a fixed rate holds it.
  bool Take(double seconds, int64_t at, std::string* error);
  // FixedRate: stores the held frame into the slots up to `until`.
  bool StoreHeld(int64_t until, std::string* error);
  // Encodes `picture` at `pts`, with the sound up to `soundUntil` seconds.
  bool EncodePicture(int64_t pts, double soundUntil, std::string* error);
  bool Encode(AVFrame* f, std::string* error);
  bool PumpAudio(double until, std::string* error);
  // Prepares the sound tracks the options ask for; false when the source
  // lacks the track asked for.
  bool OpenSound(std::string* error);
  // Removes the file of an output that got no frame, and the folders made
  // for it.
  void RemoveEmptyOutput();
  void RemoveMadeFolders();
};

bool VideoWriter::Impl::OpenEncoder(std::string* error) {
  std::string why;
  for (const AVCodec* c : candidates) {
    AVPixelFormat format = AV_PIX_FMT_YUV420P;
    if (codec == VideoCodec::FFV1) format = AV_PIX_FMT_BGR0;
    if (codec == VideoCodec::PNG) format = AV_PIX_FMT_RGB24;
    if (!TakesFormat(c, format)) continue;
    const bool subsampled = format == AV_PIX_FMT_YUV420P;
    CodecPtr ctx(avcodec_alloc_context3(c));
    if (!ctx) break;
    codedWidth = subsampled ? width + (width & 1) : width;
    codedHeight = subsampled ? height + (height & 1) : height;
    ctx->width = codedWidth;
    ctx->height = codedHeight;
    ctx->pix_fmt = format;
    ctx->time_base = timeBase;
    ctx->framerate = rate;
    ctx->sample_aspect_ratio = AVRational{1, 1};
    ctx->thread_count = 0;
    if (out->oformat->flags & AVFMT_GLOBALHEADER) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* opts = nullptr;
    if (subsampled) {
      // The colour matrix the pictures are converted with, so players and
      // the program's own reader turn them back the same way.
      ctx->colorspace = AVCOL_SPC_BT470BG;
      ctx->color_primaries = AVCOL_PRI_BT470BG;
      ctx->color_trc = AVCOL_TRC_SMPTE170M;
      ctx->color_range = AVCOL_RANGE_MPEG;
      if (std::string(c->name) == "libx264") {
        av_dict_set(&opts, "preset", options.preset.c_str(), 0);
        av_dict_set_int(&opts, "crf", std::clamp(options.crf, 0, 51), 0);
      } else {
        const double fps = av_q2d(rate);
        ctx->bit_rate = std::max<int64_t>(
            1000000, static_cast<int64_t>(0.12 * codedWidth * codedHeight * std::min(fps, 120.0)));
      }
    }
    // Version 3 codes slices in parallel; its slices of tiny pictures decode
    // as black, so pictures under 16 pixels a side keep version 1.
    if (codec == VideoCodec::FFV1) ctx->level = width >= 16 && height >= 16 ? 3 : 1;
    const int rc = avcodec_open2(ctx.get(), c, &opts);
    av_dict_free(&opts);
    if (rc >= 0) {
      encoder = std::move(ctx);
      encoderCodec = c;
      pixelFormat = format;
      return true;
    }
    if (why.empty()) why = std::string(c->name) + ": " + AvError(rc);
  }
  SetError(error, std::string("Cannot open a ") + CodecTitle(codec) + " encoder for frames of " +
                      std::to_string(width) + " x " + std::to_string(height) +
                      (why.empty() ? "." : " (" + why + ")."));
  return false;
}

bool VideoWriter::Impl::Start(const cDIBSection& first, std::string* error) {
  width = first.Width();
  height = first.Height();
  if (width > kMaxSide || height > kMaxSide) {
    SetError(error, "The frames are too large to write: " + std::to_string(width) + " x " +
                        std::to_string(height) + ".");
    return false;
  }
  if (!OpenEncoder(error)) return false;
  if (codedWidth != width || codedHeight != height) {
    Note("H.264 frames need an even size: " + std::to_string(width) + " x " +
         std::to_string(height) + " is written as " + std::to_string(codedWidth) + " x " +
         std::to_string(codedHeight) + " (last column or row repeated).");
  }
  if (avcodec_parameters_from_context(stream->codecpar, encoder.get()) < 0) {
    SetError(error, "Out of memory.");
    return false;
  }
  stream->time_base = encoder->time_base;
  stream->avg_frame_rate = rate;
  stream->r_frame_rate = rate;

  picture->format = pixelFormat;
  picture->width = codedWidth;
  picture->height = codedHeight;
  if (av_frame_get_buffer(picture.get(), 0) < 0) {
    SetError(error, "Not enough memory for frames of " + std::to_string(width) + " x " +
                        std::to_string(height) + ".");
    return false;
  }
  if (pixelFormat == AV_PIX_FMT_YUV420P) {
    stagingStride = FFALIGN(codedWidth * 3, kRowAlign) + kRowSlack;
    staging.reset(static_cast<uint8_t*>(
        av_mallocz(static_cast<size_t>(stagingStride) * (static_cast<size_t>(codedHeight) + 1))));
    SwsContext* s = sws_alloc_context();
    if (s &&
        (av_opt_set_int(s, "srcw", codedWidth, 0) < 0 ||
         av_opt_set_int(s, "srch", codedHeight, 0) < 0 ||
         av_opt_set_int(s, "src_format", AV_PIX_FMT_BGR24, 0) < 0 ||
         av_opt_set_int(s, "dstw", codedWidth, 0) < 0 ||
         av_opt_set_int(s, "dsth", codedHeight, 0) < 0 ||
         av_opt_set_int(s, "dst_format", AV_PIX_FMT_YUV420P, 0) < 0 ||
         av_opt_set_int(s, "sws_flags", SWS_BICUBIC, 0) < 0 ||
         av_opt_set_int(s, "threads", 0, 0) < 0 || sws_init_context(s, nullptr, nullptr) < 0)) {
      sws_freeContext(s);
      s = nullptr;
    }
    scaler.reset(s);
    if (!staging || !scaler) {
      SetError(error, "Cannot set up the colour conversion for frames of " + std::to_string(width) +
                          " x " + std::to_string(height) + ".");
      return false;
    }
  }

  int rc = 0;
  if (!(out->oformat->flags & AVFMT_NOFILE) && !out->pb) {
    SetError(error, "The output file is not open.");
    return false;
  }
  AVDictionary* muxerOptions = nullptr;
  if (sequence) av_dict_set_int(&muxerOptions, "start_number", options.firstPictureNumber, 0);
  rc = avformat_write_header(out.get(), &muxerOptions);
  av_dict_free(&muxerOptions);
  if (rc < 0) {
    SetError(error, "Cannot start writing " + target + ": " + AvError(rc));
    return false;
  }
  headerWritten = true;
  // Two frames must stay apart once their times are rounded to the stream's
  // time base, which the muxer may have made coarser (MKV: milliseconds).
  if (timing == Timing::Kept) {
    minGap = std::max<int64_t>(1, av_rescale_q_rnd(1, stream->time_base, timeBase, AV_ROUND_UP));
  }
  return true;
}

// Puts the frame into `picture` in the encoder's pixel format, top row first.
bool VideoWriter::Impl::Convert(const cDIBSection& frame) {
  if (av_frame_make_writable(picture.get()) < 0) return false;
  const int32_t w = width, h = height;
  switch (pixelFormat) {
    case AV_PIX_FMT_BGR0:
      for (int32_t y = 0; y < h; ++y) {
        const uint8_t* src = frame.ScanLine(h - 1 - y);
        uint8_t* dst = picture->data[0] + static_cast<ptrdiff_t>(y) * picture->linesize[0];
        for (int32_t x = 0; x < w; ++x, src += 3, dst += 4) {
          dst[0] = src[0];
          dst[1] = src[1];
          dst[2] = src[2];
          dst[3] = 0;
        }
      }
      return true;
    case AV_PIX_FMT_RGB24:
      for (int32_t y = 0; y < h; ++y) {
        const uint8_t* src = frame.ScanLine(h - 1 - y);
        uint8_t* dst = picture->data[0] + static_cast<ptrdiff_t>(y) * picture->linesize[0];
        for (int32_t x = 0; x < w; ++x, src += 3, dst += 3) {
          dst[0] = src[2];
          dst[1] = src[1];
          dst[2] = src[0];
        }
      }
      return true;
    default: {
      // Rows top-down into the padded staging picture (the odd column and row
      // repeated), then one colour conversion.
      const size_t rowBytes = static_cast<size_t>(w) * 3;
      for (int32_t y = 0; y < h; ++y) {
        uint8_t* dst = staging.get() + static_cast<ptrdiff_t>(y) * stagingStride;
        std::memcpy(dst, frame.ScanLine(h - 1 - y), rowBytes);
        if (codedWidth > w) std::memcpy(dst + rowBytes, dst + rowBytes - 3, 3);
      }
      if (codedHeight > h) {
        std::memcpy(staging.get() + static_cast<ptrdiff_t>(h) * stagingStride,
                    staging.get() + static_cast<ptrdiff_t>(h - 1) * stagingStride,
                    static_cast<size_t>(codedWidth) * 3);
      }
      const uint8_t* src[4] = {staging.get(), nullptr, nullptr, nullptr};
      const int srcStride[4] = {stagingStride, 0, 0, 0};
      return sws_scale(scaler.get(), src, srcStride, 0, codedHeight, picture->data,
                       picture->linesize) == codedHeight;
    }
  }
}

bool VideoWriter::Impl::Place(double seconds, int64_t* at, std::string* error) const {
  if (timing == Timing::Pictures) {
    if (options.firstPictureNumber + frames > INT32_MAX) {
      SetError(error, "No more pictures can be numbered after " + std::to_string(INT32_MAX) + ".");
      return false;
    }
    *at = frames;
    return true;
  }
  const bool given = std::isfinite(seconds) && seconds >= 0;
  int64_t t = 0;
  if (frames == 0) {
    t = 0;
  } else if (given) {
    const double after = std::max(0.0, seconds - origin);
    if (after > kMaxSeconds) {
      SetError(error, "A frame time of " + SecondsText(seconds) +
                          " s lies too far after the first frame.");
      return false;
    }
    t = llrint(after / av_q2d(timeBase));
  } else {
    t = anchor + av_rescale_q(sinceAnchor + 1, av_inv_q(rate), timeBase);
    if (Seconds(t) > kMaxSeconds) {
      SetError(error, "The output has grown too long to time its frames.");
      return false;
    }
  }
  // Later than the previous frame: by a slot of its own where times are
  // kept; a fixed rate lets a frame take over its predecessor's slot.
  if (frames > 0) t = std::max(t, timing == Timing::FixedRate ? last : last + minGap);
  // Containers count the time from one frame to the next in 31 bits of
  // their ticks (MP4 at 1/90000 s: six hours); a fixed rate repeats a frame
  // a bounded number of times.
  const bool tooFar = timing == Timing::Kept
                          ? av_rescale_q(t - last, timeBase, stream->time_base) > INT32_MAX
                          : t - last > kMaxSlotsPerFrame;
  if (frames > 0 && tooFar) {
    SetError(error, "A frame time of " + SecondsText(seconds) + " s lies too far after the " +
                        "frame before it for " + FormatTitle(out->oformat) + " files.");
    return false;
  }
  *at = t;
  return true;
}

bool VideoWriter::Impl::MakeRoom(int64_t at, std::string* error) {
  if (timing != Timing::FixedRate || !holding) return true;
  if (at - slots != 1 && !fixedRateNoted) {
    fixedRateNoted = true;
    Note(FormatTitle(out->oformat) +
         " files hold a fixed frame rate: frames were repeated or left out to keep the timing.");
  }
  return StoreHeld(at, error);
}

bool VideoWriter::Impl::Take(double seconds, int64_t at, std::string* error) {
  switch (timing) {
    case Timing::Kept:
      if (!EncodePicture(at, Seconds(at) + Period(), error)) return false;
      break;
    case Timing::FixedRate:
      holding = true;
      break;
    case Timing::Pictures:
      if (!EncodePicture(frames, 0, error)) return false;
      break;
  }
  // A frame given a time is where later frames without one count from.
  const bool given = std::isfinite(seconds) && seconds >= 0;
  if (frames == 0) origin = given ? seconds : 0;
  if (frames == 0 || given) {
    anchor = at;
    sinceAnchor = 0;
  } else {
    ++sinceAnchor;
  }
  last = at;
  ++frames;
  return true;
}

bool VideoWriter::Impl::StoreHeld(int64_t until, std::string* error) {
  for (; slots < until; ++slots) {
    if (!EncodePicture(slots, Seconds(slots + 1), error)) return false;
  }
  return true;
}

bool VideoWriter::Impl::EncodePicture(int64_t pts, double soundUntil, std::string* error) {
  picture->pts = pts;
  if (!Encode(picture.get(), error) || !PumpAudio(soundUntil, error)) {
    broken = true;
    return false;
  }
  return true;
}

bool VideoWriter::Impl::Encode(AVFrame* f, std::string* error) {
  int rc = avcodec_send_frame(encoder.get(), f);
  if (rc < 0) {
    SetError(error, std::string("The ") + CodecTitle(codec) + " encoder failed: " + AvError(rc));
    return false;
  }
  for (;;) {
    rc = avcodec_receive_packet(encoder.get(), packet.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
    if (rc < 0) {
      SetError(error, std::string("The ") + CodecTitle(codec) + " encoder failed: " + AvError(rc));
      return false;
    }
    // An encoder that gives no duration: the frame period, which is what the
    // last frame of a file is shown for.
    if (packet->duration <= 0) packet->duration = av_rescale_q(1, av_inv_q(rate), timeBase);
    av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
    packet->stream_index = stream->index;
    rc = av_interleaved_write_frame(out.get(), packet.get());
    if (rc < 0) {
      SetError(error, "Cannot write to " + target + ": " + AvError(rc));
      return false;
    }
  }
}

bool VideoWriter::Impl::PumpAudio(double until, std::string* error) {
  for (const auto& track : audio) {
    std::string note;
    if (!track->Pump(out.get(), until, &note)) {
      // A failed write of sound is a failed write of the file.
      if (out->pb && out->pb->error < 0) {
        SetError(error, "Cannot write to " + target + ": " + AvError(out->pb->error));
        return false;
      }
      Note(note);
    }
  }
  return true;
}

bool VideoWriter::Impl::OpenSound(std::string* error) {
  std::string note;
  InputPtr first = OpenSoundSource(options.audioSource, &note);
  if (!first) {
    soundSkipped = true;
    Note(note);
    return true;
  }
  const std::vector<int> all = AudioStreams(first.get());
  std::vector<int> numbers;  // positions among the source's sound tracks
  if (options.audioTrack >= 0) {
    if (static_cast<size_t>(options.audioTrack) >= all.size()) {
      SetError(error, "The source has no sound track " + std::to_string(options.audioTrack) +
                          " (counted from 0): it has " +
                          (all.empty() ? std::string("none") : std::to_string(all.size())) + ".");
      return false;
    }
    numbers.push_back(options.audioTrack);
  } else {
    for (size_t i = 0; i < all.size(); ++i) numbers.push_back(static_cast<int>(i));
  }
  // Named in notes by number and language when the source has several.
  std::vector<std::string> names;
  for (const int n : numbers) {
    std::string name = "the sound track";
    if (all.size() > 1) {
      name = "sound track " + std::to_string(n);
      const AVStream* st = first->streams[all[static_cast<size_t>(n)]];
      const AVDictionaryEntry* language = av_dict_get(st->metadata, "language", nullptr, 0);
      if (language && *language->value) name += std::string(" (") + language->value + ")";
    }
    names.push_back(name);
  }
  // The first track reads through the demuxer opened here, each further one
  // through one of its own.
  for (size_t k = 0; k < numbers.size(); ++k) {
    const int n = numbers[k];
    const std::string& name = names[k];
    note.clear();
    InputPtr in = first ? std::move(first) : OpenSoundSource(options.audioSource, &note);
    if (!in) {
      soundSkipped = true;
      Note(note);
      continue;
    }
    auto track = std::make_unique<SoundTrack>(out.get(), std::move(in), all[static_cast<size_t>(n)],
                                              options.audioStart, name, &note);
    Note(note);
    if (track->Handling() == AudioHandling::Skipped) {
      soundSkipped = true;
    } else {
      audio.push_back(std::move(track));
    }
  }
  return true;
}

void VideoWriter::Impl::RemoveEmptyOutput() {
  if (!sequence && out) {
    if (out->pb) avio_closep(&out->pb);
    std::error_code ignored;
    fs::remove(target, ignored);
  }
  RemoveMadeFolders();
}

void VideoWriter::Impl::RemoveMadeFolders() {
  // Innermost first; a folder something else has been put into stays.
  std::error_code ignored;
  for (const fs::path& folder : madeFolders) fs::remove(folder, ignored);
  madeFolders.clear();
}

VideoWriter::VideoWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

VideoWriter::~VideoWriter() {
  if (!impl_ || !impl_->out || impl_->finished) return;
  if (!impl_->headerWritten) {
    impl_->RemoveEmptyOutput();  // nothing but an empty file was made
  } else if (!impl_->broken) {
    av_write_trailer(impl_->out.get());  // what was written stays readable
  }
}

bool VideoWriter::CheckTarget(const std::string& path, const VideoWriterOptions& options,
                              std::string* error) {
  SilenceLogging();
  TargetPlan plan;
  return PlanTarget(path, options, &plan, error);
}

std::unique_ptr<VideoWriter> VideoWriter::Open(const std::string& path,
                                               const VideoWriterOptions& options,
                                               std::string* error) {
  SilenceLogging();
  TargetPlan plan;
  if (!PlanTarget(path, options, &plan, error)) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->target = plan.target;
  impl->sequence = plan.sequence;
  impl->codec = plan.codec;
  impl->candidates = EncoderCandidates(plan.codec);
  av_reduce(&impl->rate.num, &impl->rate.den, options.rate, options.scale, INT32_MAX);
  if (!impl->picture || !impl->packet) {
    SetError(error, "Out of memory.");
    return nullptr;
  }
  const AVOutputFormat* format = plan.format;
  if (impl->sequence) {
    impl->timing = Timing::Pictures;
  } else if (std::strcmp(format->name, "avi") == 0 || (format->flags & AVFMT_NOTIMESTAMPS)) {
    impl->timing = Timing::FixedRate;
  }
  impl->timeBase = impl->timing == Timing::Kept ? FrameTimeBase(impl->rate) : av_inv_q(impl->rate);

  // "file:" keeps names with colons from being taken as protocols.
  const std::string url = "file:" + impl->target;
  AVFormatContext* ctx = nullptr;
  int rc = avformat_alloc_output_context2(&ctx, format, nullptr, url.c_str());
  if (rc < 0 || !ctx) {
    SetError(error, "Cannot set up the output " + path + ": " + AvError(rc));
    return nullptr;
  }
  impl->out.reset(ctx);
  impl->stream = avformat_new_stream(ctx, nullptr);
  if (!impl->stream) {
    SetError(error, "Out of memory.");
    return nullptr;
  }
  // The picture is the default video track, whatever the sound tracks say.
  impl->stream->disposition = AV_DISPOSITION_DEFAULT;

  if (!impl->sequence && !options.audioSource.empty() && !impl->OpenSound(error)) return nullptr;

  // Only now is anything made on disk: the missing folders, then the file.
  std::error_code ec;
  for (fs::path p = plan.folder; !p.empty() && !fs::exists(p, ec);) {
    impl->madeFolders.push_back(p);
    const fs::path up = p.parent_path();
    if (up == p) break;
    p = up;
  }
  std::error_code made;
  fs::create_directories(plan.folder, made);
  if (!fs::is_directory(plan.folder, ec)) {
    impl->RemoveMadeFolders();
    SetError(error, "Cannot make the folder " + plan.folder +
                        (made ? ": " + made.message() + "." : std::string(".")));
    return nullptr;
  }
  if (!(format->flags & AVFMT_NOFILE)) {
    rc = avio_open(&ctx->pb, url.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) {
      impl->RemoveMadeFolders();
      SetError(error, "Cannot write " + path + ": " + AvError(rc));
      return nullptr;
    }
  }
  return std::unique_ptr<VideoWriter>(new VideoWriter(std::move(impl)));
}

bool VideoWriter::WriteFrame(const cDIBSection& frame, double seconds, std::string* error) {
  Impl& m = *impl_;
  if (m.finished || m.broken) {
    SetError(error, "The output " + m.target + " is closed.");
    return false;
  }
  if (frame.Empty() || frame.Width() <= 0 || frame.Height() <= 0) {
    SetError(error, "There is no picture to write.");
    return false;
  }
  int64_t at = 0;
  if (!m.Place(seconds, &at, error)) return false;
  if (!m.headerWritten && !m.Start(frame, error)) {
    m.broken = true;
    return false;
  }
  if (!m.MakeRoom(at, error)) return false;
  const cDIBSection* source = &frame;
  DibPtr rescaled;
  if (frame.Width() != m.width || frame.Height() != m.height) {
    rescaled = frame.Resample(m.height, m.width, true);
    if (!rescaled) {
      SetError(error, "Not enough memory to scale a frame.");
      m.broken = true;
      return false;
    }
    if (!m.rescaleNoted) {
      m.rescaleNoted = true;
      m.Note("Frame " + std::to_string(m.frames) + " is " + std::to_string(frame.Width()) + " x " +
             std::to_string(frame.Height()) + "; it and any later frames of another size are " +
             "scaled to the first frame's " + std::to_string(m.width) + " x " +
             std::to_string(m.height) + ".");
    }
    source = rescaled.get();
  }
  if (!m.Convert(*source)) {
    SetError(error, "Cannot convert a frame for the encoder.");
    m.broken = true;
    return false;
  }
  return m.Take(seconds, at, error);
}

bool VideoWriter::RepeatFrame(double seconds, std::string* error) {
  Impl& m = *impl_;
  if (m.finished || m.broken) {
    SetError(error, "The output " + m.target + " is closed.");
    return false;
  }
  if (m.frames == 0) {
    SetError(error, "There is no earlier frame to write again.");
    return false;
  }
  int64_t at = 0;
  if (!m.Place(seconds, &at, error)) return false;
  return m.MakeRoom(at, error) && m.Take(seconds, at, error);
}

bool VideoWriter::Finish(std::string* error) {
  Impl& m = *impl_;
  if (m.finished) return true;
  if (m.broken) {
    SetError(error, "The output " + m.target + " could not be completed.");
    return false;
  }
  if (m.frames == 0) {
    m.broken = true;
    m.RemoveEmptyOutput();
    SetError(error, "No frames were written to " + m.target + ".");
    return false;
  }
  // The last frame lasts one frame period; the sound ends with it.
  double end = m.Seconds(m.last) + m.Period();
  if (m.timing == Timing::FixedRate) {
    if (m.holding && !m.StoreHeld(m.slots + 1, error)) return false;
    m.holding = false;
    end = m.Seconds(m.slots);
  }
  if (!m.Encode(nullptr, error)) {
    m.broken = true;
    return false;
  }
  for (const auto& track : m.audio) {
    std::string note;
    if (!track->Finish(m.out.get(), end, &note)) m.Note(note);
  }
  int rc = av_write_trailer(m.out.get());
  m.finished = true;
  if (rc >= 0 && m.out->pb) {
    avio_flush(m.out->pb);
    rc = m.out->pb->error;
    const int closed = avio_closep(&m.out->pb);
    if (rc >= 0) rc = closed;
  }
  if (rc < 0) {
    SetError(error, "Cannot complete " + m.target + ": " + AvError(rc));
    return false;
  }
  return true;
}

int64_t VideoWriter::FramesWritten() const { return impl_->frames; }
int32_t VideoWriter::Width() const { return impl_->width; }
int32_t VideoWriter::Height() const { return impl_->height; }
int32_t VideoWriter::CodedWidth() const { return impl_->codedWidth; }
int32_t VideoWriter::CodedHeight() const { return impl_->codedHeight; }
bool VideoWriter::PictureSequence() const { return impl_->sequence; }
const std::string& VideoWriter::Target() const { return impl_->target; }
std::string VideoWriter::EncoderName() const {
  return impl_->encoderCodec ? impl_->encoderCodec->name : "";
}
AudioHandling VideoWriter::Audio() const {
  if (!impl_->audio.empty()) return impl_->audio.front()->Handling();
  return impl_->soundSkipped ? AudioHandling::Skipped : AudioHandling::None;
}
int VideoWriter::AudioTracks() const { return static_cast<int>(impl_->audio.size()); }

}  // namespace dioptrix
