#include "platform/video/video_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/video/ffmpeg_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace dioptrix {
namespace {

// A request this many frames past the last decoded one is reached by decoding
// forward; farther ones seek unless the file's index shows the key frame
// before them has already been passed.
constexpr int64_t kForwardWindow = 16;
// Repositionings tried for one request before it gives up.
constexpr int kMaxSeekAttempts = 32;
// Decoder errors tolerated while waiting for one frame.
constexpr int kMaxDecodeErrors = 256;
// Largest frame size handed out, per side.
constexpr int32_t kMaxSide = 32768;
// Rows of the conversion buffer start 64-byte aligned and carry 128 spare
// bytes: swscale's vector code writes up to 45 bytes past the end of a row
// (yuv420p to 24-bit at small widths), and with the conversion split over
// threads a row's overrun must not reach the next row.
constexpr int kRowAlign = 64;
constexpr int kRowSlack = 128;

constexpr int64_t kNoIndex = INT64_MIN;

using namespace ffmpeg;

bool Positive(AVRational r) { return r.num > 0 && r.den > 0; }

// A plausible frame rate, as a fraction of positive 32-bit parts.
bool PlausibleRate(AVRational r) {
  if (!Positive(r)) return false;
  const double fps = av_q2d(r);
  return fps >= 1.0 / 1000 && fps <= 1000;
}

// Whether pictures of w x h pixels can be handed out: sides up to kMaxSide
// and the packed picture within 32-bit sizes.
bool Deliverable(int64_t w, int64_t h) {
  return w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide &&
         BytesPerRow24(w) * h <= INT32_MAX - 64 &&
         av_image_check_size(static_cast<unsigned>(w), static_cast<unsigned>(h), 0, nullptr) >= 0;
}

// A converter from decoded frames to 24-bit blue-green-red at the stream's
// frame size, with bicubic scaling where sizes differ, split over as many
// threads as the machine has (as FFmpeg's scale filter does; the result does
// not depend on the split).
SwsContext* MakeScaler(int srcWidth, int srcHeight, int srcFormat, int dstWidth, int dstHeight) {
  SwsContext* s = sws_alloc_context();
  if (!s) return nullptr;
  if (av_opt_set_int(s, "srcw", srcWidth, 0) < 0 || av_opt_set_int(s, "srch", srcHeight, 0) < 0 ||
      av_opt_set_int(s, "src_format", srcFormat, 0) < 0 ||
      av_opt_set_int(s, "dstw", dstWidth, 0) < 0 || av_opt_set_int(s, "dsth", dstHeight, 0) < 0 ||
      av_opt_set_int(s, "dst_format", AV_PIX_FMT_BGR24, 0) < 0 ||
      av_opt_set_int(s, "sws_flags", SWS_BICUBIC, 0) < 0 ||
      av_opt_set_int(s, "threads", 0, 0) < 0 || sws_init_context(s, nullptr, nullptr) < 0) {
    sws_freeContext(s);
    return nullptr;
  }
  return s;
}

// A converter to 24-bit pictures of one size, made again when the frames'
// size or format changes, with the colour set-up of the frames it converts.
struct Scaler {
  std::unique_ptr<SwsContext, ScalerFreer> context;
  int srcWidth = 0, srcHeight = 0, srcFormat = -1, dstWidth = 0, dstHeight = 0;
  int colorspace = -1, range = -1;

  // The converter for picture to toWidth x toHeight, with the colour matrix
  // and range the picture declares; nullptr when it cannot be made.
  SwsContext* For(const AVFrame* picture, int toWidth, int toHeight) {
    if (!context || picture->width != srcWidth || picture->height != srcHeight ||
        picture->format != srcFormat || toWidth != dstWidth || toHeight != dstHeight) {
      context.reset(
          MakeScaler(picture->width, picture->height, picture->format, toWidth, toHeight));
      srcWidth = picture->width;
      srcHeight = picture->height;
      srcFormat = picture->format;
      dstWidth = toWidth;
      dstHeight = toHeight;
      colorspace = range = -1;
      if (!context) return nullptr;
    }
    // Colour matrix and range as the frame declares them, the way FFmpeg's
    // own scale filter sets them up: an unknown matrix is taken as BT.601 and
    // an unknown range stays the one the pixel format implies.
    int space = picture->colorspace;
    if (space < 1 || space > 10 || space == AVCOL_SPC_YCGCO) space = AVCOL_SPC_BT470BG;
    if (space != colorspace || picture->color_range != range) {
      int* inverse = nullptr;
      int* table = nullptr;
      int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
      if (sws_getColorspaceDetails(context.get(), &inverse, &srcRange, &table, &dstRange,
                                   &brightness, &contrast, &saturation) >= 0) {
        if (picture->color_range != AVCOL_RANGE_UNSPECIFIED) {
          srcRange = picture->color_range == AVCOL_RANGE_JPEG;
        }
        const int* coefficients = sws_getCoefficients(space);
        sws_setColorspaceDetails(context.get(), coefficients, srcRange, coefficients, dstRange,
                                 brightness, contrast, saturation);
      }
      colorspace = space;
      range = picture->color_range;
    }
    return context.get();
  }
};

// How a stored picture is turned upright: transposed (its rows become
// columns), then mirrored left to right and top to bottom.
struct Orientation {
  bool transpose = false;
  bool mirrorX = false;
  bool mirrorY = false;
  bool Any() const { return transpose || mirrorX || mirrorY; }
};

// The turn the ffmpeg command makes by default for a display matrix: a
// quarter turn is a transposition with one mirroring (with none or both for a
// mirrored matrix), a half turn mirrors both ways, and a mirrored matrix
// without a turn flips top to bottom. Other angles are left as stored.
Orientation OrientationOf(const int32_t* m) {
  Orientation o;
  if (!m) return o;
  const double angle = av_display_rotation_get(m);
  if (std::isnan(angle)) return o;
  // Clockwise degrees, in [0, 360) but for a hair below 0.
  double theta = -std::round(angle);
  theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
  if (std::fabs(theta - 90) < 1) {
    o.transpose = true;
    o.mirrorX = !(m[3] > 0);
  } else if (std::fabs(theta - 180) < 1) {
    o.mirrorX = m[0] < 0;
    o.mirrorY = m[4] < 0;
  } else if (std::fabs(theta - 270) < 1) {
    o.transpose = true;
    o.mirrorX = m[3] < 0;
    o.mirrorY = true;
  } else if (std::fabs(theta) < 1) {
    o.mirrorY = m[4] < 0;
  }
  return o;
}

// Whether the turn can move a frame's pixels as they are in its own format:
// planar, semi-planar or packed without shared chroma (nor a colour mosaic),
// and for a transposition the same chroma subsampling both ways. Other
// formats are turned after conversion to 24-bit.
bool TurnsInPlace(const AVPixFmtDescriptor* d, Orientation o) {
  if (!d || (d->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM |
                         AV_PIX_FMT_FLAG_BAYER))) {
    return false;
  }
  if (d->log2_chroma_w && d->nb_components >= 2 && d->comp[0].plane == d->comp[1].plane)
    return false;
  return !o.transpose || d->log2_chroma_w == d->log2_chroma_h;
}

// Copies elements of kStep bytes: element (x, y) of the ow x oh result, rows
// dstStride bytes apart, comes from origin + x * dx + y * dy. Transpositions
// go in tiles, so that the rows read stay in the cache.
template <size_t kStep>
void CopyElements(const uint8_t* origin, ptrdiff_t dx, ptrdiff_t dy, int ow, int oh, uint8_t* dst,
                  ptrdiff_t dstStride, size_t step = kStep) {
  const size_t size = kStep ? kStep : step;
  if (dx == static_cast<ptrdiff_t>(size)) {
    for (int y = 0; y < oh; ++y) {
      std::memcpy(dst + y * dstStride, origin + y * dy, static_cast<size_t>(ow) * size);
    }
    return;
  }
  constexpr int kTile = 32;
  for (int y0 = 0; y0 < oh; y0 += kTile) {
    const int y1 = std::min(oh, y0 + kTile);
    for (int x0 = 0; x0 < ow; x0 += kTile) {
      const int x1 = std::min(ow, x0 + kTile);
      for (int y = y0; y < y1; ++y) {
        uint8_t* out =
            dst + y * dstStride + static_cast<ptrdiff_t>(x0) * static_cast<ptrdiff_t>(size);
        ptrdiff_t at = y * dy + x0 * dx;
        for (int x = x0; x < x1; ++x, out += size, at += dx) {
          std::memcpy(out, origin + at, kStep ? kStep : size);
        }
      }
    }
  }
}

// Turns one plane of w x h elements of step bytes, rows srcStride bytes
// apart, into dst (h x w elements when transposed).
void TurnPlane(const uint8_t* src, ptrdiff_t srcStride, int w, int h, int step, Orientation o,
               uint8_t* dst, ptrdiff_t dstStride) {
  const int ow = o.transpose ? h : w;
  const int oh = o.transpose ? w : h;
  // One element to the right in the result is one row down in a transposed
  // source, else one element right; one row down in the result likewise.
  ptrdiff_t dx = o.transpose ? srcStride : step;
  ptrdiff_t dy = o.transpose ? step : srcStride;
  ptrdiff_t start = 0;
  if (o.mirrorX) {
    start += (ow - 1) * dx;
    dx = -dx;
  }
  if (o.mirrorY) {
    start += (oh - 1) * dy;
    dy = -dy;
  }
  const uint8_t* origin = src + start;
  switch (step) {
    case 1:
      return CopyElements<1>(origin, dx, dy, ow, oh, dst, dstStride);
    case 2:
      return CopyElements<2>(origin, dx, dy, ow, oh, dst, dstStride);
    case 3:
      return CopyElements<3>(origin, dx, dy, ow, oh, dst, dstStride);
    case 4:
      return CopyElements<4>(origin, dx, dy, ow, oh, dst, dstStride);
    case 6:
      return CopyElements<6>(origin, dx, dy, ow, oh, dst, dstStride);
    case 8:
      return CopyElements<8>(origin, dx, dy, ow, oh, dst, dstStride);
    default:
      return CopyElements<0>(origin, dx, dy, ow, oh, dst, dstStride, static_cast<size_t>(step));
  }
}

// Gives frame buffers of the format and size, keeping the ones it has.
bool Fit(AVFrame* f, int format, int w, int h) {
  if (f->data[0] && f->format == format && f->width == w && f->height == h) return true;
  av_frame_unref(f);
  f->format = format;
  f->width = w;
  f->height = h;
  return av_frame_get_buffer(f, kRowAlign) >= 0;
}

// A decoded frame with the number it was given.
struct Slot {
  FramePtr frame{av_frame_alloc()};
  int64_t index = kNoIndex;
  bool valid = false;
};

void Take(Slot& to, Slot& from) {
  std::swap(to.frame, from.frame);
  to.index = from.index;
  to.valid = from.valid;
  from.valid = false;
  from.index = kNoIndex;
  av_frame_unref(from.frame.get());
}

void Clear(Slot& s) {
  s.valid = false;
  s.index = kNoIndex;
  av_frame_unref(s.frame.get());
}

// False for standard input ("-") and for what stat finds to be a FIFO, a
// socket or a character device: those can be read only once, and opening a
// FIFO would wait for a writer. A name stat cannot find is left to FFmpeg,
// which reports why.
bool Seekable(const std::string& path) {
  if (path == "-") return false;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return true;
  return !S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode) && !S_ISCHR(st.st_mode);
}

}  // namespace

struct VideoFile::Impl {
  enum class Scan { Found, Missing, Overshoot };
  enum class SeekMode { ToTime, StartByTime, StartByBytes };

  InputPtr format;
  CodecPtr decoder;
  PacketPtr packet{av_packet_alloc()};
  Scaler scaler;  // the turned frames to the packed picture
  AVStream* stream = nullptr;
  int streamIndex = -1;
  AVRational timeBase{1, 1};
  AVRational rate{25, 1};           // frames per second
  AVRational frameDuration{1, 25};  // seconds per frame

  // The frames as delivered: turned upright, then scaled to square pixels.
  Orientation orientation;
  FramePtr turned{av_frame_alloc()};  // a frame turned upright
  FramePtr flat{av_frame_alloc()};    // a frame in 24-bit, to turn it there
  Scaler flatScaler;
  int32_t width = 0;
  int32_t height = 0;
  int32_t rowBytes = 0;
  int32_t frameBytes = 0;
  int32_t length = 0;
  BitmapInfoHeader header;
  std::vector<uint8_t> picture;  // header + bottom-up pixels
  std::unique_ptr<uint8_t, AvFreer> rgb;
  int rgbStride = 0;

  // Frame numbering. Grid: frame n has time stamp origin + n frame
  // durations. Stream: frame n has time stamp stamps[n]. Without time stamps
  // (timestamped false) frames count in decoding order from the start.
  FrameNumbering numbering = FrameNumbering::Grid;
  bool timestamped = false;
  int64_t origin = 0;
  std::vector<int64_t> stamps;  // every frame's time stamp, in order
  bool variableRate = false;

  // Decoder position.
  Slot held;  // decoded but not yet passed: the next frame in order
  Slot prev;  // the last frame passed, kept for a request it covers
  Slot work;
  bool prevConverted = false;   // rgb holds the conversion of `prev`
  bool pictureCurrent = false;  // the packed picture holds the rows of rgb
  bool positionKnown = false;
  int64_t cursor = kNoIndex;       // number of the last frame passed
  int64_t lastDecoded = kNoIndex;  // number of the last frame decoded
  int64_t decodedSinceSeek = 0;
  bool drainSent = false;
  bool endOfStream = false;
  bool skipToKey = false;
  int64_t pictureIndex = -1;  // the frame the packed picture was returned for

  // Packet census while the file is read through once on open.
  bool counting = false;
  int64_t packetCount = 0;
  bool allPacketsTimed = true;
  int64_t maxPts = INT64_MIN;
  std::vector<int64_t> census;  // the packets' time stamps

  // Key frames seen in that pass, by time stamp, with their file positions:
  // the seek table of files that have no index of their own.
  struct KeyFrame {
    int64_t pts;
    int64_t pos;
  };
  std::vector<KeyFrame> keyFrames;
  // After a seek by the table, the key frame the first packet must be; a
  // demuxer that lands elsewhere, or gives other time stamps after a jump by
  // bytes, cannot use the table.
  const KeyFrame* expected = nullptr;

  VideoFileStats stats;

  // Decoding ahead. Once a request follows the one for the frame before it,
  // the worker prepares the frame after it into `rgb`, and for GetFrame into
  // `ready` (a packed picture like `picture`) too, by the very steps the
  // request would run. While the worker is busy it alone touches the
  // decoder's state, `rgb`, `ready` and `stats`; the caller's thread waits
  // for it (Settle) before touching them, and meanwhile touches only
  // `picture`, `pictureIndex` and `lastRequest`, which the worker never
  // touches.
  enum class Outcome { None, Ready, Missing, Failed };
  int64_t lastRequest = kNoIndex;  // the frame asked for last (caller's thread)
  std::vector<uint8_t> ready;      // header + bottom-up pixels of a frame prepared
  bool canPrepare = true;          // false once the worker could not be started
  std::thread worker;
  std::mutex mutex;
  std::condition_variable changed;
  // Under `mutex`: the frame being or last prepared, whether into `ready`
  // too, whether the worker is at it, how it ended, and the end of the
  // worker.
  int64_t task = kNoIndex;
  bool readyPacked = false;
  bool busy = false;
  Outcome outcome = Outcome::None;
  bool quit = false;
  // Asks the worker to stop before it converts and copies the frame it
  // prepares: the caller wants another one.
  std::atomic<bool> abandon{false};

  Impl() = default;
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  VideoOpenFailure Open(const std::string& path, const VideoOpenOptions& options,
                        std::string* text);
  void ListFrames();
  void JudgeSpacing();
  bool ChooseLength();
  int ReadPacket();
  bool DecodeNext(Slot& into);
  int64_t IndexOf(const AVFrame* f) const;
  int64_t TimeToIndex(int64_t ts) const;
  int64_t IndexToTime(int64_t n) const;
  const KeyFrame* KeyFrameBefore(int64_t ts) const;
  bool Reachable(int64_t n) const;
  Scan ScanTo(int64_t n);
  bool Seek(SeekMode mode, int64_t n);
  const uint8_t* Get(int64_t n, uint8_t* bits, size_t stride);
  bool Fetch(int64_t n);
  bool ConvertPrev();
  const uint8_t* Deliver(int64_t n, uint8_t* bits, size_t stride);
  void Prepare(int64_t n, bool packed);
  void Settle(bool keep);
  void Work();
  bool ChooseSize(AVFrame* first);
  const AVFrame* Upright(const AVFrame* f);
  bool Convert(const AVFrame* f);
  void CopyRows(const uint8_t* from, ptrdiff_t fromStride, uint8_t* bits, size_t stride) const;
  void CopyPacked(const std::vector<uint8_t>& packed, uint8_t* bits, size_t stride) const;
};

// The number of the frame with time stamp ts: by the grid, or the last frame
// of the list at or before ts (-1 before the first).
int64_t VideoFile::Impl::TimeToIndex(int64_t ts) const {
  if (!stamps.empty()) {
    return std::upper_bound(stamps.begin(), stamps.end(), ts) - stamps.begin() - 1;
  }
  int64_t offset = 0;
  if (__builtin_sub_overflow(ts, origin, &offset)) return kNoIndex;
  const int64_t n =
      av_rescale_q_rnd(offset, timeBase, frameDuration, static_cast<AVRounding>(AV_ROUND_NEAR_INF));
  return n == INT64_MIN ? kNoIndex : n;
}

int64_t VideoFile::Impl::IndexToTime(int64_t n) const {
  if (!stamps.empty()) {
    return stamps[static_cast<size_t>(std::clamp<int64_t>(n, 0, std::ssize(stamps) - 1))];
  }
  const int64_t offset = av_rescale_q(n, frameDuration, timeBase);
  int64_t ts = 0;
  if (__builtin_add_overflow(origin, offset, &ts)) return offset < 0 ? INT64_MIN + 1 : INT64_MAX;
  return ts;
}

// The number of a decoded frame: from its time stamp, or one past the frame
// before it when it has none; kNoIndex for a frame without a time stamp
// first after a seek into the stream.
int64_t VideoFile::Impl::IndexOf(const AVFrame* f) const {
  int64_t ts = f->best_effort_timestamp;
  if (ts == AV_NOPTS_VALUE) ts = f->pts;
  if (timestamped && ts != AV_NOPTS_VALUE) {
    const int64_t n = TimeToIndex(ts);
    if (n != kNoIndex) return n;
  }
  return lastDecoded == kNoIndex ? kNoIndex : lastDecoded + 1;
}

// Reads the next packet of the video stream into `packet`; returns a negative
// code at the end of the file or on a read error.
int VideoFile::Impl::ReadPacket() {
  AVPacket* p = packet.get();
  for (;;) {
    const int rc = av_read_frame(format.get(), p);
    if (rc < 0) {
      if (expected) keyFrames.clear();
      expected = nullptr;
      return rc;
    }
    if (p->stream_index != streamIndex) {
      av_packet_unref(p);
      continue;
    }
    if (expected) {
      if (p->pos != expected->pos || p->pts != expected->pts) keyFrames.clear();
      expected = nullptr;
    }
    if (counting && !(p->flags & AV_PKT_FLAG_DISCARD)) {
      ++packetCount;
      if (p->pts == AV_NOPTS_VALUE) {
        allPacketsTimed = false;
      } else {
        maxPts = std::max(maxPts, p->pts);
        census.push_back(p->pts);
        if ((p->flags & AV_PKT_FLAG_KEY) && p->pos >= 0) keyFrames.push_back({p->pts, p->pos});
      }
    }
    if (skipToKey && !(p->flags & AV_PKT_FLAG_KEY)) {
      av_packet_unref(p);
      continue;
    }
    skipToKey = false;
    return 0;
  }
}

// Decodes the next frame in presentation order into `into`, draining the
// decoder at the end of the file. False when no frame is left.
bool VideoFile::Impl::DecodeNext(Slot& into) {
  AVCodecContext* dec = decoder.get();
  int errors = 0;
  for (;;) {
    int rc = avcodec_receive_frame(dec, into.frame.get());
    if (rc >= 0) {
      ++stats.framesDecoded;
      into.index = IndexOf(into.frame.get());
      // A frame that cannot be numbered is passed over.
      if (into.index == kNoIndex) continue;
      ++decodedSinceSeek;
      into.valid = true;
      lastDecoded = into.index;
      return true;
    }
    if (rc == AVERROR_EOF || drainSent) {
      endOfStream = true;
      return false;
    }
    if (rc != AVERROR(EAGAIN)) {
      if (++errors > kMaxDecodeErrors) return false;
      continue;
    }
    if (ReadPacket() < 0) {
      avcodec_send_packet(dec, nullptr);
      drainSent = true;
      continue;
    }
    rc = avcodec_send_packet(dec, packet.get());
    av_packet_unref(packet.get());
    // A packet the decoder rejects is skipped, as players do.
    if (rc < 0 && rc != AVERROR(EAGAIN) && ++errors > kMaxDecodeErrors) return false;
  }
}

// The last key frame of the seek table at or before time stamp ts, else the
// first one; nullptr without a table.
const VideoFile::Impl::KeyFrame* VideoFile::Impl::KeyFrameBefore(int64_t ts) const {
  if (keyFrames.empty()) return nullptr;
  auto after = std::upper_bound(keyFrames.begin(), keyFrames.end(), ts,
                                [](int64_t t, const KeyFrame& k) { return t < k.pts; });
  return after == keyFrames.begin() ? &keyFrames.front() : &*(after - 1);
}

// Whether decoding on from the current position is the quicker way to frame
// n: it lies a little ahead, or no key frame lies between here and there.
bool VideoFile::Impl::Reachable(int64_t n) const {
  if (!positionKnown || cursor == kNoIndex || n <= cursor) return false;
  if (n - cursor <= kForwardWindow || !timestamped) return true;
  const int64_t here = IndexToTime(cursor);
  if (const KeyFrame* key = KeyFrameBefore(IndexToTime(n))) return key->pts <= here;
  const int entry = av_index_search_timestamp(stream, IndexToTime(n), AVSEEK_FLAG_BACKWARD);
  if (entry < 0) return false;
  const AVIndexEntry* e = avformat_index_get_entry(stream, entry);
  return e && e->timestamp <= here;
}

// Passes decoded frames until frame n. Found: `prev` holds frame n, or the
// frame before a gap in the time stamps that covers n. Missing: the stream
// ended first. Overshoot: the first frame after a seek already lies past n.
VideoFile::Impl::Scan VideoFile::Impl::ScanTo(int64_t n) {
  for (;;) {
    Slot& next = held.valid ? held : work;
    if (!held.valid && !DecodeNext(work)) return Scan::Missing;
    if (next.index <= n) {
      Take(prev, next);
      prevConverted = false;
      cursor = prev.index;
      if (prev.index == n) return Scan::Found;
      continue;
    }
    if (&next == &work) Take(held, work);
    // Numbered by the stream, frame n is a frame the file lists: when it
    // cannot be decoded it is missing, not the frame before it.
    if (numbering == FrameNumbering::Stream && timestamped && prev.valid) return Scan::Missing;
    return prev.valid ? Scan::Found : Scan::Overshoot;
  }
}

// Repositions the file for a request of frame n and resets the decoder.
bool VideoFile::Impl::Seek(SeekMode mode, int64_t n) {
  ++stats.seeks;
  int rc = -1;
  AVFormatContext* f = format.get();
  const KeyFrame* key = KeyFrameBefore(mode == SeekMode::ToTime ? IndexToTime(n) : origin);
  switch (mode) {
    case SeekMode::ToTime:
    case SeekMode::StartByTime:
      if (key) {
        rc = av_seek_frame(f, -1, key->pos, AVSEEK_FLAG_BYTE);
        expected = key;
      } else if (mode == SeekMode::ToTime) {
        rc = av_seek_frame(f, streamIndex, IndexToTime(n), AVSEEK_FLAG_BACKWARD);
      } else {
        rc = av_seek_frame(f, streamIndex, timestamped ? origin : INT64_MIN + 1,
                           AVSEEK_FLAG_BACKWARD);
        if (rc < 0) rc = av_seek_frame(f, -1, INT64_MIN + 1, AVSEEK_FLAG_BACKWARD);
      }
      break;
    case SeekMode::StartByBytes:
      if (!(f->iformat->flags & AVFMT_NO_BYTE_SEEK)) rc = av_seek_frame(f, -1, 0, AVSEEK_FLAG_BYTE);
      break;
  }
  if (!key || mode == SeekMode::StartByBytes) expected = nullptr;
  avcodec_flush_buffers(decoder.get());
  Clear(held);
  Clear(prev);
  Clear(work);
  prevConverted = false;
  drainSent = false;
  endOfStream = false;
  cursor = kNoIndex;
  // From the start of the file, frames without time stamps count from 0.
  lastDecoded = mode == SeekMode::ToTime ? kNoIndex : -1;
  decodedSinceSeek = 0;
  // A seek into the stream may land on any packet; decoding starts at a key
  // frame.
  skipToKey = mode == SeekMode::ToTime || (key && mode == SeekMode::StartByTime);
  positionKnown = rc >= 0;
  return positionKnown;
}

// The frame turned upright into `turned`: in its own pixel format where the
// turn can move its pixels as they are, as FFmpeg's transpose and flip
// filters do, with the frame's colour matrix and range; else after
// conversion to 24-bit at its stored size.
const AVFrame* VideoFile::Impl::Upright(const AVFrame* f) {
  const AVFrame* from = f;
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  if (!TurnsInPlace(d, orientation)) {
    SwsContext* s = flatScaler.For(f, f->width, f->height);
    if (!s || !Fit(flat.get(), AV_PIX_FMT_BGR24, f->width, f->height) ||
        sws_scale(s, f->data, f->linesize, 0, f->height, flat->data, flat->linesize) != f->height) {
      return nullptr;
    }
    from = flat.get();
    d = av_pix_fmt_desc_get(AV_PIX_FMT_BGR24);
  }
  const int w = from->width, h = from->height;
  if (!Fit(turned.get(), from->format, orientation.transpose ? h : w,
           orientation.transpose ? w : h)) {
    return nullptr;
  }
  int steps[4] = {};
  av_image_fill_max_pixsteps(steps, nullptr, d);
  const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(from->format));
  for (int p = 0; p < planes && p < 4; ++p) {
    if (!from->data[p] || !turned->data[p]) return nullptr;
    // Planes 1 and 2 are the subsampled ones (chroma); an alpha plane is not.
    const bool chroma = p == 1 || p == 2;
    const int pw = chroma ? AV_CEIL_RSHIFT(w, d->log2_chroma_w) : w;
    const int ph = chroma ? AV_CEIL_RSHIFT(h, d->log2_chroma_h) : h;
    TurnPlane(from->data[p], from->linesize[p], pw, ph, steps[p], orientation, turned->data[p],
              turned->linesize[p]);
  }
  turned->colorspace = from->colorspace;
  turned->color_range = from->color_range;
  return turned.get();
}

bool VideoFile::Impl::Convert(const AVFrame* f) {
  if (f->width <= 0 || f->height <= 0 || f->format < 0 || !f->data[0]) return false;
  const AVFrame* from = orientation.Any() ? Upright(f) : f;
  if (!from) return false;
  SwsContext* s = scaler.For(from, width, height);
  if (!s) return false;
  uint8_t* dst[4] = {rgb.get(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {rgbStride, 0, 0, 0};
  pictureCurrent = false;
  if (sws_scale(s, from->data, from->linesize, 0, from->height, dst, dstStride) != height) {
    return false;
  }
  ++stats.framesConverted;
  return true;
}

// Copies the Height() rows starting at `from`, top row first and fromStride
// bytes apart, into the bottom-up rows of bits, stride bytes apart; the
// padding of each row up to its multiple of 4 bytes (within stride) is zero.
void VideoFile::Impl::CopyRows(const uint8_t* from, ptrdiff_t fromStride, uint8_t* bits,
                               size_t stride) const {
  const size_t used = static_cast<size_t>(width) * 3;
  const size_t padded = std::min(stride, static_cast<size_t>(rowBytes));
  for (int32_t y = height - 1; y >= 0; --y, from += fromStride) {
    uint8_t* to = bits + static_cast<size_t>(y) * stride;
    std::memcpy(to, from, used);
    if (padded > used) std::memset(to + used, 0, padded - used);
  }
}

// Copies a packed picture's pixels (bottom-up rows, their padding zero) into
// bits as CopyRows does.
void VideoFile::Impl::CopyPacked(const std::vector<uint8_t>& packed, uint8_t* bits,
                                 size_t stride) const {
  const uint8_t* pixels = packed.data() + sizeof(BitmapInfoHeader);
  const size_t row = static_cast<size_t>(rowBytes);
  if (stride == row) {
    std::memcpy(bits, pixels, static_cast<size_t>(frameBytes));
    return;
  }
  const size_t copied = std::min(stride, row);
  for (int32_t y = 0; y < height; ++y) {
    std::memcpy(bits + static_cast<size_t>(y) * stride, pixels + static_cast<size_t>(y) * row,
                copied);
  }
}

// Converts the frame in `prev` into `rgb` unless that is done. False when the
// conversion fails, or for a preparation the caller abandoned (which leaves
// `prev` unconverted).
bool VideoFile::Impl::ConvertPrev() {
  if (prevConverted) return true;
  if (abandon.load(std::memory_order_relaxed) || !Convert(prev.frame.get())) return false;
  prevConverted = true;
  return true;
}

// Hands out the frame converted into `rgb` as the picture of request n: into
// bits when given (returning bits), else as the packed picture.
const uint8_t* VideoFile::Impl::Deliver(int64_t n, uint8_t* bits, size_t stride) {
  if (bits) {
    CopyRows(rgb.get(), rgbStride, bits, stride);
    return bits;
  }
  if (!pictureCurrent) {
    pictureIndex = -1;
    uint8_t* pixels = picture.data() + sizeof(BitmapInfoHeader);
    const uint8_t* row = rgb.get();
    for (int32_t y = height - 1; y >= 0; --y, row += rgbStride) {
      std::memcpy(pixels + static_cast<size_t>(y) * rowBytes, row, static_cast<size_t>(width) * 3);
    }
    pictureCurrent = true;
  }
  pictureIndex = n;
  return picture.data();
}

// A request, on the caller's thread: the packed picture again, the frame the
// worker prepared, or the frame fetched here. A request following the one
// for the frame before it has the worker prepare the frame after it.
const uint8_t* VideoFile::Impl::Get(int64_t n, uint8_t* bits, size_t stride) {
  if (n < 0 || n >= length) {
    lastRequest = kNoIndex;
    return nullptr;
  }
  const bool inOrder = lastRequest != kNoIndex && n == lastRequest + 1;
  lastRequest = n;
  const uint8_t* result = nullptr;
  if (n == pictureIndex) {
    // The worker touches neither the packed picture nor its number.
    if (!bits) {
      result = picture.data();
    } else {
      CopyPacked(picture, bits, stride);
      result = bits;
    }
  } else {
    Outcome prepared = Outcome::None;
    bool packed = false;
    if (worker.joinable()) {
      bool wanted = false;
      {
        std::lock_guard<std::mutex> hold(mutex);
        wanted = task == n;
      }
      Settle(wanted);
      std::lock_guard<std::mutex> hold(mutex);
      if (wanted) prepared = outcome;
      packed = readyPacked;
      task = kNoIndex;
      outcome = Outcome::None;
    }
    switch (prepared) {
      case Outcome::Ready:
        if (!packed) {
          result = Deliver(n, bits, stride);
        } else if (bits) {
          CopyPacked(ready, bits, stride);
          result = bits;
        } else {
          // The prepared picture becomes the packed picture; the buffer of
          // the one before takes the next preparation.
          std::swap(picture, ready);
          pictureIndex = n;
          pictureCurrent = true;
          result = picture.data();
        }
        break;
      case Outcome::Missing:
        result = nullptr;
        break;
      case Outcome::None:
      case Outcome::Failed:
        result = Fetch(n) ? Deliver(n, bits, stride) : nullptr;
        break;
    }
  }
  if (inOrder) Prepare(n + 1, !bits);
  return result;
}

// Has the worker prepare frame n, unless it is at hand already or cannot be
// prepared; the worker is started on the first call. For a caller of
// GetFrame (packed) the worker also lays the frame out as a packed picture,
// which is then handed out without a copy; for GetFrameInto it leaves the
// frame in `rgb`, from where the request copies it into the caller's rows:
// one copy either way.
void VideoFile::Impl::Prepare(int64_t n, bool packed) {
  if (!canPrepare || n >= length || n == pictureIndex) return;
  Settle(false);
  if (packed && ready.empty()) {
    try {
      ready.assign(picture.size(), 0);
      std::memcpy(ready.data(), &header, sizeof(header));
    } catch (const std::bad_alloc&) {
      packed = false;  // then handed out from `rgb`
    }
  }
  if (!worker.joinable()) {
    try {
      worker = std::thread([this] { Work(); });
    } catch (const std::system_error&) {
      canPrepare = false;
      return;
    } catch (const std::bad_alloc&) {
      canPrepare = false;
      return;
    }
  }
  {
    std::lock_guard<std::mutex> hold(mutex);
    task = n;
    readyPacked = packed;
    outcome = Outcome::None;
    busy = true;
  }
  changed.notify_all();
}

// Waits until the worker has no frame in hand: with keep, for the frame it
// prepares to be finished; without, asking it to stop before the conversion
// where it has not got that far.
void VideoFile::Impl::Settle(bool keep) {
  if (!worker.joinable()) return;
  std::unique_lock<std::mutex> hold(mutex);
  if (busy && !keep) abandon.store(true, std::memory_order_relaxed);
  changed.wait(hold, [this] { return !busy; });
  abandon.store(false, std::memory_order_relaxed);
}

// The worker: prepares each frame asked of it by the steps a request runs,
// into `rgb` and where asked into `ready`, until the file is closed.
void VideoFile::Impl::Work() {
  std::unique_lock<std::mutex> hold(mutex);
  for (;;) {
    changed.wait(hold, [this] { return quit || busy; });
    if (quit) return;
    const int64_t n = task;
    const bool packed = readyPacked;
    hold.unlock();
    Outcome result = Outcome::Failed;
    try {
      result = Fetch(n) ? Outcome::Ready : Outcome::Missing;
      if (result == Outcome::Ready && packed) {
        CopyRows(rgb.get(), rgbStride, ready.data() + sizeof(BitmapInfoHeader),
                 static_cast<size_t>(rowBytes));
      }
    } catch (...) {
      // Out of memory midway: the request itself fetches the frame again,
      // from a fresh position.
      positionKnown = false;
    }
    hold.lock();
    // An abandoned frame may be half done; nobody asks for it.
    outcome = abandon.load(std::memory_order_relaxed) ? Outcome::Failed : result;
    busy = false;
    changed.notify_all();
  }
}

VideoFile::Impl::~Impl() {
  if (!worker.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(mutex);
    quit = true;
    abandon.store(true, std::memory_order_relaxed);
  }
  changed.notify_all();
  worker.join();
}

// Frame n by the decoder into `prev`, converted into `rgb`: decoded on from
// the current position where that is the quicker way, else after a seek.
// False when the stream does not give it. Runs on the caller's thread or the
// worker, never on both at once.
bool VideoFile::Impl::Fetch(int64_t n) {
  if (Reachable(n)) {
    const Scan scan = ScanTo(n);
    if (scan == Scan::Found) return ConvertPrev();
    if (scan == Scan::Missing) return false;
  }

  // Seek to the key frame before n; where that lands past n (time-stamp
  // searches in files without an index can), aim further back, and at last
  // start over from the beginning of the file.
  const double fps = av_q2d(rate);
  int64_t backOff = 0;
  bool fromStart = !timestamped;
  bool byBytes = false;
  for (int attempt = 0; attempt < kMaxSeekAttempts; ++attempt) {
    const int64_t target = n - backOff;
    SeekMode mode = SeekMode::ToTime;
    if (byBytes) {
      mode = SeekMode::StartByBytes;
    } else if (fromStart || target <= 0) {
      mode = SeekMode::StartByTime;
      fromStart = true;
    }
    const bool byTable = !keyFrames.empty() && mode != SeekMode::StartByBytes;
    const bool moved = Seek(mode, target);
    if (moved) {
      const Scan scan = ScanTo(n);
      if (scan == Scan::Found) return ConvertPrev();
      // The seek table proved useless for this file: the same again without.
      if (byTable && keyFrames.empty()) continue;
      // Frames came, all before n, then the end: n is not in the stream.
      if (scan == Scan::Missing && decodedSinceSeek > 0) return false;
    }
    if (mode == SeekMode::StartByBytes) break;
    if (mode == SeekMode::StartByTime) {
      byBytes = true;
    } else if (!moved) {
      fromStart = true;
    } else {
      backOff = backOff == 0 ? std::max<int64_t>(kForwardWindow, std::llround(fps)) : backOff * 2;
    }
  }
  positionKnown = false;
  return false;
}

// The size frames are delivered at, from the stream and its first frame:
// turned upright by the display matrix (the frame's, else the stream's), then
// stretched to square pixels by the sample aspect ratio (the stream's, else
// the frame's), which a transposition inverts. False when turned pictures
// would be too large to hand out.
bool VideoFile::Impl::ChooseSize(AVFrame* first) {
  const int32_t* matrix = nullptr;
  const AVFrameSideData* side = av_frame_get_side_data(first, AV_FRAME_DATA_DISPLAYMATRIX);
  if (side && side->size >= 9 * sizeof(int32_t)) {
    matrix = reinterpret_cast<const int32_t*>(side->data);
  } else {
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (data && size >= 9 * sizeof(int32_t)) matrix = reinterpret_cast<const int32_t*>(data);
  }
  orientation = OrientationOf(matrix);

  const AVCodecParameters* par = stream->codecpar;
  width = orientation.transpose ? par->height : par->width;
  height = orientation.transpose ? par->width : par->height;
  AVRational sar = av_guess_sample_aspect_ratio(format.get(), stream, first);
  if (Positive(sar) && sar.num != sar.den) {
    if (orientation.transpose) sar = av_inv_q(sar);
    // Pixels wider than high widen the picture, narrower ones make it taller:
    // no stored pixel is lost. A ratio that would make pictures too large to
    // hand out is taken for a damaged one and left out.
    int64_t w = width, h = height;
    if (sar.num > sar.den) {
      w = av_rescale_rnd(width, sar.num, sar.den, AV_ROUND_NEAR_INF);
    } else {
      h = av_rescale_rnd(height, sar.den, sar.num, AV_ROUND_NEAR_INF);
    }
    if (Deliverable(w, h)) {
      width = static_cast<int32_t>(w);
      height = static_cast<int32_t>(h);
    }
  }
  if (!Deliverable(width, height)) return false;
  rowBytes = static_cast<int32_t>(BytesPerRow24(width));
  frameBytes = static_cast<int32_t>(BytesPerRow24(width) * height);
  return true;
}

// The list of frames for numbering by the stream: the packets' time stamps in
// order, from the first frame decoded (frames before it, which the decoder
// cannot show, are not part of the stream as seen). Where packets lack time
// stamps or share them, or the first frame's is not among them, frames are
// counted in decoding order from the start instead.
void VideoFile::Impl::ListFrames() {
  std::sort(census.begin(), census.end());
  bool listed = timestamped && allPacketsTimed &&
                std::adjacent_find(census.begin(), census.end()) == census.end();
  const auto first = std::lower_bound(census.begin(), census.end(), origin);
  listed = listed && first != census.end() && *first == origin;
  if (listed) {
    stamps.assign(first, census.end());
  } else {
    timestamped = false;
    origin = 0;
  }
}

// Whether frames are spaced unevenly: a gap between successive time stamps
// differs from their mean gap by a whole time-base unit or more (more than the
// rounding of even times to units), or by more than a quarter of the mean
// (units as coarse as frames). The stamps come from the list of frames, else
// the packets read on open, else the file's index (decoding times, spaced as
// the frames are).
void VideoFile::Impl::JudgeSpacing() {
  std::vector<int64_t> times;
  if (!stamps.empty()) {
    times = stamps;
  } else if (!census.empty()) {
    if (!allPacketsTimed) return;
    times = census;
  } else if (timestamped) {
    const int entries = avformat_index_get_entries_count(stream);
    for (int i = 0; i < entries; ++i) {
      const AVIndexEntry* e = avformat_index_get_entry(stream, i);
      if (e && !(e->flags & AVINDEX_DISCARD_FRAME)) times.push_back(e->timestamp);
    }
  }
  std::sort(times.begin(), times.end());
  if (times.size() < 3) return;
  const double mean = (static_cast<double>(times.back()) - static_cast<double>(times.front())) /
                      static_cast<double>(times.size() - 1);
  for (size_t i = 1; i < times.size(); ++i) {
    const double gap = static_cast<double>(times[i]) - static_cast<double>(times[i - 1]);
    const double off = std::fabs(gap - mean);
    if (off >= 1 || off > mean / 4) {
      variableRate = true;
      return;
    }
  }
}

// The number of frames: as listed for numbering by the stream, else from the
// file's index when it lists every frame, else from one pass over the
// stream's packets (the first frame is decoded by then). With time stamps on
// every packet, the last stamp decides, unless there are fewer packets than
// that (a gap in the stamps).
bool VideoFile::Impl::ChooseLength() {
  int64_t frames = 0;
  if (!stamps.empty()) {
    frames = std::ssize(stamps);
  } else if (counting) {
    frames = packetCount;
    if (timestamped && allPacketsTimed && packetCount > 0) {
      const int64_t last = TimeToIndex(maxPts);
      if (last != kNoIndex && last >= 0) frames = std::min(frames, last + 1);
    }
  } else {
    const int entries = avformat_index_get_entries_count(stream);
    for (int i = 0; i < entries; ++i) {
      const AVIndexEntry* e = avformat_index_get_entry(stream, i);
      if (e && !(e->flags & AVINDEX_DISCARD_FRAME)) ++frames;
    }
  }
  length = static_cast<int32_t>(std::clamp<int64_t>(frames, 0, INT32_MAX));
  return length > 0;
}

VideoOpenFailure VideoFile::Impl::Open(const std::string& path, const VideoOpenOptions& options,
                                       std::string* text) {
  numbering = options.numbering;
  // Only plain files: "file:" keeps names with colons from being taken as
  // protocols, and the white list keeps playlists from opening other files.
  AVDictionary* protocols = nullptr;
  av_dict_set(&protocols, "protocol_whitelist", "file", 0);
  AVFormatContext* opened = nullptr;
  int rc = avformat_open_input(&opened, ("file:" + path).c_str(), nullptr, &protocols);
  av_dict_free(&protocols);
  if (rc < 0) {
    *text = "Cannot open the file: " + AvError(rc);
    return VideoOpenFailure::CannotOpen;
  }
  format.reset(opened);
  rc = avformat_find_stream_info(opened, nullptr);
  if (rc < 0) {
    *text = "Cannot read the file's streams: " + AvError(rc);
    return VideoOpenFailure::CannotOpen;
  }

  for (unsigned i = 0; i < opened->nb_streams; ++i) {
    const AVStream* s = opened->streams[i];
    if (streamIndex < 0 && s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      streamIndex = static_cast<int>(i);
    }
  }
  if (streamIndex < 0) {
    *text = "The file holds no video stream.";
    return VideoOpenFailure::NoVideoStream;
  }
  for (unsigned i = 0; i < opened->nb_streams; ++i) {
    if (static_cast<int>(i) != streamIndex) opened->streams[i]->discard = AVDISCARD_ALL;
  }
  stream = opened->streams[streamIndex];
  if (Positive(stream->time_base)) timeBase = stream->time_base;

  const AVCodecParameters* par = stream->codecpar;
  if (par->width <= 0 || par->height <= 0) {
    *text = "The video stream has no frame size.";
    return VideoOpenFailure::BadFrameSize;
  }
  if (!Deliverable(par->width, par->height)) {
    *text = "The video frames are too large: " + std::to_string(par->width) + " x " +
            std::to_string(par->height) + ".";
    return VideoOpenFailure::BadFrameSize;
  }

  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) {
    *text =
        "No decoder for the video stream (" + std::string(avcodec_get_name(par->codec_id)) + ").";
    return VideoOpenFailure::NoDecoder;
  }
  decoder.reset(avcodec_alloc_context3(codec));
  if (!decoder || avcodec_parameters_to_context(decoder.get(), par) < 0) {
    *text = "Cannot set up the decoder for the video stream.";
    return VideoOpenFailure::NoDecoder;
  }
  decoder->pkt_timebase = timeBase;
  // FFmpeg picks the number of decoding threads; its threaded decoders give
  // the same pictures as single-threaded decoding.
  decoder->thread_count = 0;
  rc = avcodec_open2(decoder.get(), codec, nullptr);
  if (rc < 0) {
    *text = "Cannot open the decoder for the video stream (" + std::string(codec->name) +
            "): " + AvError(rc);
    return VideoOpenFailure::NoDecoder;
  }

  // Frames are numbered on the grid of the stream's base rate when it agrees
  // with the average rate (the average runs low where frames are missing);
  // otherwise the average decides (the base rate of interlaced streams is
  // often the field rate).
  const AVRational average = stream->avg_frame_rate;
  const AVRational base = stream->r_frame_rate;
  AVRational r = average;
  if (PlausibleRate(average) && PlausibleRate(base)) {
    const double ratio = av_q2d(base) / av_q2d(average);
    if (ratio > 0.95 && ratio < 1.05) r = base;
  }
  if (!PlausibleRate(r)) r = base;
  if (!PlausibleRate(r)) r = decoder->framerate;
  if (!PlausibleRate(r)) r = AVRational{25, 1};
  av_reduce(&rate.num, &rate.den, r.num, r.den, INT32_MAX);
  frameDuration = av_inv_q(rate);

  if (!packet || !held.frame || !prev.frame || !work.frame || !turned || !flat) {
    *text = "Out of memory.";
    return VideoOpenFailure::BadFrameSize;
  }

  // The index of an MP4 or AVI file lists every frame; without one (MPEG-TS,
  // Matroska and others) the packets are counted in one pass. Numbering by
  // the stream needs the frames' time stamps, which only that pass lists.
  counting =
      numbering == FrameNumbering::Stream ||
      !(stream->nb_frames > 0 && avformat_index_get_entries_count(stream) == stream->nb_frames);

  // The first frame decoded from the start of the file is frame 0.
  positionKnown = true;
  lastDecoded = -1;
  if (!DecodeNext(work)) {
    *text = "The video stream holds no frame that can be decoded.";
    return VideoOpenFailure::NoFrames;
  }
  int64_t ts = work.frame->best_effort_timestamp;
  if (ts == AV_NOPTS_VALUE) ts = work.frame->pts;
  timestamped = ts != AV_NOPTS_VALUE;
  origin = timestamped ? ts : 0;
  work.index = lastDecoded = 0;
  if (!ChooseSize(work.frame.get())) {
    *text = "The video frames are too large when turned upright: " + std::to_string(width) + " x " +
            std::to_string(height) + ".";
    return VideoOpenFailure::BadFrameSize;
  }
  Take(held, work);
  cursor = -1;

  if (counting) {
    while (ReadPacket() >= 0) av_packet_unref(packet.get());
    positionKnown = false;  // at the end of the file now
    Clear(held);
    // Key frames in time order form the seek table, where the file can be
    // repositioned by byte offset.
    if (format->iformat->flags & AVFMT_NO_BYTE_SEEK) keyFrames.clear();
    std::stable_sort(keyFrames.begin(), keyFrames.end(),
                     [](const KeyFrame& a, const KeyFrame& b) { return a.pts < b.pts; });
  }
  if (numbering == FrameNumbering::Stream) ListFrames();
  JudgeSpacing();
  census = {};
  const bool someFrames = ChooseLength();
  counting = false;
  if (!someFrames) {
    *text = "The video stream holds no frames.";
    return VideoOpenFailure::NoFrames;
  }

  // The packed picture, and the conversion buffer whose rows are aligned and
  // padded, with spare rows below, so the converter's wide stores stay inside.
  header.biWidth = width;
  header.biHeight = height;
  header.biSizeImage = static_cast<uint32_t>(frameBytes);
  try {
    picture.assign(sizeof(BitmapInfoHeader) + static_cast<size_t>(frameBytes), 0);
  } catch (const std::bad_alloc&) {
    picture.clear();
  }
  rgbStride = FFALIGN(width * 3, kRowAlign) + kRowSlack;
  const size_t rgbSize = static_cast<size_t>(rgbStride) * (static_cast<size_t>(height) + 2);
  rgb.reset(static_cast<uint8_t*>(av_mallocz(rgbSize)));
  if (picture.empty() || !rgb) {
    *text = "Not enough memory for frames of " + std::to_string(width) + " x " +
            std::to_string(height) + ".";
    return VideoOpenFailure::BadFrameSize;
  }
  std::memcpy(picture.data(), &header, sizeof(header));
  return VideoOpenFailure::None;
}

std::unique_ptr<VideoFile> VideoFile::Open(const std::string& path, std::string* error,
                                           VideoOpenFailure* failure) {
  return Open(path, VideoOpenOptions{}, error, failure);
}

std::unique_ptr<VideoFile> VideoFile::Open(const std::string& path, const VideoOpenOptions& options,
                                           std::string* error, VideoOpenFailure* failure) {
  SilenceLogging();
  std::string text;
  VideoOpenFailure kind = VideoOpenFailure::None;
  std::unique_ptr<Impl> impl;
  if (path.empty() || path.find('\0') != std::string::npos) {
    text = "No valid file name given.";
    kind = VideoOpenFailure::CannotOpen;
  } else if (!Seekable(path)) {
    text =
        "Needs a seekable file, not a pipe or a device (detection and frame-exact access read the "
        "file more than once).";
    kind = VideoOpenFailure::NotSeekable;
  } else {
    try {
      impl = std::make_unique<Impl>();
      kind = impl->Open(path, options, &text);
    } catch (const std::bad_alloc&) {
      text = "Out of memory while opening the file.";
      kind = VideoOpenFailure::BadFrameSize;
    }
  }
  if (failure) *failure = kind;
  if (error) *error = kind == VideoOpenFailure::None ? std::string() : text;
  if (kind != VideoOpenFailure::None) return nullptr;
  return std::unique_ptr<VideoFile>(new VideoFile(std::move(impl)));
}

VideoFile::VideoFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VideoFile::~VideoFile() = default;

int32_t VideoFile::Length() const { return impl_->length; }
FrameNumbering VideoFile::Numbering() const { return impl_->numbering; }
bool VideoFile::VariableRate() const { return impl_->variableRate; }

double VideoFile::FrameTime(int32_t n) const {
  const Impl& d = *impl_;
  const double duration = av_q2d(d.frameDuration);
  const std::vector<int64_t>& stamps = d.stamps;
  if (stamps.empty()) return n * duration;
  // Past the listed frames, whole frame durations on from the nearest end.
  const int32_t last = static_cast<int32_t>(stamps.size() - 1);
  const int32_t at = std::clamp(n, 0, last);
  int64_t ticks = 0;
  double seconds = 0;
  if (__builtin_sub_overflow(stamps[static_cast<size_t>(at)], stamps.front(), &ticks)) {
    seconds = (static_cast<double>(stamps[static_cast<size_t>(at)]) -
               static_cast<double>(stamps.front())) *
              av_q2d(d.timeBase);
  } else {
    seconds = static_cast<double>(ticks) * av_q2d(d.timeBase);
  }
  return seconds + (static_cast<double>(n) - at) * duration;
}
uint32_t VideoFile::Rate() const { return static_cast<uint32_t>(impl_->rate.num); }
uint32_t VideoFile::Scale() const { return static_cast<uint32_t>(impl_->rate.den); }
int32_t VideoFile::Width() const { return impl_->width; }
int32_t VideoFile::Height() const { return impl_->height; }
int32_t VideoFile::FrameBytes() const { return impl_->frameBytes; }
const BitmapInfoHeader& VideoFile::Header() const { return impl_->header; }
const uint8_t* VideoFile::GetFrame(int32_t n) { return impl_->Get(n, nullptr, 0); }
bool VideoFile::GetFrameInto(int32_t n, uint8_t* bits, size_t stride) {
  if (!bits || stride < static_cast<size_t>(impl_->width) * 3) return false;
  return impl_->Get(n, bits, stride) != nullptr;
}
VideoFileStats VideoFile::Stats() const {
  impl_->Settle(true);
  return impl_->stats;
}

}  // namespace dioptrix
