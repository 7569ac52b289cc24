#include "media/MediaDetector.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <queue>

#include "media/FfmpegUtil.h"
#include "media/RegularFile.h"
#include "media/VideoDecoder.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace media {

namespace {

using Clock = std::chrono::steady_clock;

// Opening reads headers and the index only; this bounds a file that stalls.
constexpr std::chrono::milliseconds kOpenLimit{10000};

// Decoding more than one or two frames happens only for the last frame,
// where a whole group of pictures is decoded: two threads pay off there and
// cost little for the first frame.
constexpr int kDecoderThreads = 2;

std::vector<uint8_t> VideoFormatBlock(const AVCodecParameters& par) {
  BitmapInfoHeader bih;
  bih.biSize = 40 + static_cast<uint32_t>(std::max(par.extradata_size, 0));
  bih.biWidth = par.width;
  bih.biHeight = par.height;
  bih.biBitCount = static_cast<uint16_t>(par.bits_per_coded_sample > 0 ? par.bits_per_coded_sample : 24);
  bih.biCompression = par.codec_tag;
  bih.biSizeImage = static_cast<uint32_t>(
      static_cast<uint64_t>(std::max(par.width, 0)) * std::max(par.height, 0) * bih.biBitCount / 8);
  std::vector<uint8_t> block = bih.Serialize();
  if (par.extradata && par.extradata_size > 0) block.insert(block.end(), par.extradata, par.extradata + par.extradata_size);
  return block;
}

std::vector<uint8_t> AudioFormatBlock(const AVCodecParameters& par) {
  WaveFormatEx wfx;
  wfx.wFormatTag = static_cast<uint16_t>(par.codec_tag);
  wfx.nChannels = static_cast<uint16_t>(par.ch_layout.nb_channels);
  wfx.nSamplesPerSec = static_cast<uint32_t>(std::max(par.sample_rate, 0));
  wfx.nAvgBytesPerSec = static_cast<uint32_t>(std::max<int64_t>(par.bit_rate / 8, 0));
  wfx.nBlockAlign = static_cast<uint16_t>(std::max(par.block_align, 0));
  wfx.wBitsPerSample = static_cast<uint16_t>(std::max(par.bits_per_coded_sample, 0));
  if (par.extradata && par.extradata_size > 0 && par.extradata_size <= 0xFFFF)
    wfx.extra.assign(par.extradata, par.extradata + par.extradata_size);
  wfx.cbSize = static_cast<uint16_t>(wfx.extra.size());
  return wfx.Serialize();
}


}  // namespace

struct MediaDetector::State {
  InputFormatContext format;
  std::vector<MediaStreamType> types;
  CodecContextPtr decoder;
  int decoderStream = -1;
  int hintWidth = 0, hintHeight = 0;
  int threads = kDecoderThreads;
  PictureToDib dib{SWS_BILINEAR};
  std::string path;
  std::string lastError;
  bool decoderMissing = false;
  bool deadlineSet = false;
  Clock::time_point deadline;

  bool TimeUp() const { return deadlineSet && Clock::now() > deadline; }
  static int Interrupt(void* opaque) { return static_cast<State*>(opaque)->TimeUp() ? 1 : 0; }

  // Bounds a stretch of work by a time limit; the limit goes when it ends.
  struct Limit {
    State& state;
    Limit(State& s, std::chrono::milliseconds limit) : state(s) {
      state.deadline = Clock::now() + limit;
      state.deadlineSet = true;
    }
    ~Limit() { state.deadlineSet = false; }
  };

  bool Fail(std::string text) {
    lastError = std::move(text);
    return false;
  }
  bool OpenDecoder(int stream);
  bool ToDib(const AVFrame& frame, Dib& out);
};

MediaDetector::MediaDetector() : state_(std::make_unique<State>()) {}
MediaDetector::~MediaDetector() = default;

bool MediaDetector::Open(const std::string& path) {
  Close();
  State& s = *state_;
  s.path = path;
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return s.Fail("Out of memory opening " + path);
  raw->interrupt_callback.callback = &State::Interrupt;
  raw->interrupt_callback.opaque = &s;
  State::Limit limit(s, kOpenLimit);
  // A FIFO or a device could block the open for good; only files are media.
  std::string refusal;
  int ret = OpenFormatInput(&raw, path, refusal);  // frees raw on failure
  if (!refusal.empty()) return s.Fail(refusal);
  if (ret < 0) return s.Fail(FfmpegError("Cannot open", ret, path));
  s.format.reset(raw);
  // AVI headers give every codec parameter we need; probing by decoding
  // would cost more than the whole thumbnail. Other containers are probed.
  if (std::strcmp(raw->iformat->name, "avi") != 0) {
    ret = avformat_find_stream_info(raw, nullptr);
    if (ret < 0) {
      s.format.reset();
      return s.Fail(FfmpegError("Cannot read the streams", ret, path));
    }
  }
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    const AVCodecParameters& par = *raw->streams[i]->codecpar;
    MediaStreamType type;
    type.codecName = avcodec_get_name(par.codec_id);
    if (par.codec_type == AVMEDIA_TYPE_VIDEO) {
      type.majorType = MajorType::Video;
      type.subtype = par.codec_tag;
      type.format = VideoFormatBlock(par);
    } else if (par.codec_type == AVMEDIA_TYPE_AUDIO) {
      type.majorType = MajorType::Audio;
      type.subtype = par.codec_tag;
      type.format = AudioFormatBlock(par);
    }
    s.types.push_back(std::move(type));
    raw->streams[i]->discard = AVDISCARD_ALL;  // read only what a grab asks for
  }
  return true;
}

void MediaDetector::Close() {
  State& s = *state_;
  s.decoder.reset();
  s.decoderStream = -1;
  s.format.reset();
  s.types.clear();
  s.lastError.clear();
}

bool MediaDetector::IsOpen() const { return static_cast<bool>(state_->format); }

int MediaDetector::OutputStreams() const { return static_cast<int>(state_->types.size()); }

const MediaStreamType& MediaDetector::StreamMediaType(int stream) const { return state_->types.at(stream); }

int MediaDetector::FirstVideoStream() const {
  for (size_t i = 0; i < state_->types.size(); ++i)
    if (state_->types[i].majorType == MajorType::Video) return static_cast<int>(i);
  return -1;
}

int64_t MediaDetector::Duration(int stream) const {
  const State& s = *state_;
  if (!s.format || stream < 0 || stream >= OutputStreams()) return 0;
  const AVStream* st = s.format->streams[stream];
  if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
    return av_rescale_q(st->duration, st->time_base, AVRational{1, 10000000});
  if (s.format->duration != AV_NOPTS_VALUE && s.format->duration > 0)
    return av_rescale_q(s.format->duration, AVRational{1, AV_TIME_BASE}, AVRational{1, 10000000});
  return 0;
}

double MediaDetector::StreamLength(int stream) const { return static_cast<double>(Duration(stream)) / 1e7; }

void MediaDetector::SetPictureSizeHint(int width, int height) {
  State& s = *state_;
  if (s.hintWidth == width && s.hintHeight == height) return;
  s.hintWidth = width;
  s.hintHeight = height;
  s.decoder.reset();  // the next grab opens the decoder at the new size
  s.decoderStream = -1;
}

void MediaDetector::SetDecoderThreads(int threads) {
  State& s = *state_;
  if (s.threads == threads) return;
  s.threads = threads;
  s.decoder.reset();
  s.decoderStream = -1;
}

const std::string& MediaDetector::LastError() const { return state_->lastError; }

bool MediaDetector::DecoderMissing() const { return state_->decoderMissing && !state_->lastError.empty(); }

bool MediaDetector::State::OpenDecoder(int stream) {
  if (decoder && decoderStream == stream) {
    avcodec_flush_buffers(decoder.get());
    return true;
  }
  decoder.reset();
  decoderStream = -1;
  const AVStream* st = format->streams[stream];
  const AVCodecParameters* par = st->codecpar;
  // Reduced-size decoding skips most of the inverse transform work: several
  // times faster for a thumbnail, and the same frames.
  int lowres = 0;
  if (hintWidth > 0 && hintHeight > 0 && par->width > 0 && par->height > 0)
    while (lowres < 3 && AV_CEIL_RSHIFT(par->width, lowres + 1) >= hintWidth &&
           AV_CEIL_RSHIFT(par->height, lowres + 1) >= hintHeight)
      ++lowres;
  std::string why;
  if (!OpenVideoCodec(*st, threads, lowres, path, decoder, why, &decoderMissing)) return Fail(why);
  decoderStream = stream;
  return true;
}

bool MediaDetector::State::ToDib(const AVFrame& frame, Dib& out) {
  if (frame.width <= 0 || frame.height <= 0 || frame.format < 0)
    return Fail("The decoder gave an empty picture for " + path);
  if (!dib.Make(&frame, frame.width)) return Fail("Cannot convert the decoder's pictures to RGB for " + path);
  out.header = BitmapInfoHeader{};
  out.header.biWidth = dib.Width();
  out.header.biHeight = dib.Height();
  out.header.biBitCount = 24;
  out.header.biSizeImage = static_cast<uint32_t>(dib.Stride()) * static_cast<uint32_t>(dib.Height());
  out.bits.assign(dib.Bits(), dib.Bits() + out.header.biSizeImage);
  return true;
}

GrabResult MediaDetector::GrabFrame(int stream, int64_t time, std::chrono::milliseconds limit, Dib& out,
                                    bool acceptPartial) {
  State& s = *state_;
  s.lastError.clear();
  s.decoderMissing = false;
  if (!s.format) {
    s.Fail("No file is open");
    return GrabResult::Failed;
  }
  if (stream < 0 || stream >= OutputStreams() || s.types[stream].majorType != MajorType::Video) {
    s.Fail("Stream " + std::to_string(stream) + " of " + s.path + " is not a video stream");
    return GrabResult::Failed;
  }
  State::Limit timeLimit(s, limit);
  if (!s.OpenDecoder(stream)) return GrabResult::Failed;
  AVFormatContext* fmt = s.format.get();
  AVStream* st = fmt->streams[stream];
  AVCodecContext* dec = s.decoder.get();
  for (unsigned i = 0; i < fmt->nb_streams; ++i)
    fmt->streams[i]->discard = static_cast<int>(i) == stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;

  // The time in the stream's own units: AVI numbers frames, empty chunks included.
  // A stream that starts late (dwStart) has its first chunk at that slot.
  int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  if (const AVIndexEntry* entry = avformat_index_get_entry(st, 0); entry && entry->timestamp > start)
    start = entry->timestamp;
  const int64_t target =
      start + av_rescale_rnd(std::max<int64_t>(time, 0), st->time_base.den,
                             static_cast<int64_t>(st->time_base.num) * 10000000, AV_ROUND_DOWN);

  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  FramePtr best(av_frame_alloc());
  FramePtr held(av_frame_alloc());
  if (!packet || !frame || !best || !held) {
    s.Fail("Out of memory decoding " + s.path);
    return GrabResult::Failed;
  }
  // Decoded frames leave in display order; the AVI demuxer gives each packet
  // its slot on the stream's clock (decode order, gaps for empty chunks). The
  // n-th frame out is shown at the n-th smallest slot fed.
  std::priority_queue<int64_t, std::vector<int64_t>, std::greater<int64_t>> slots;
  int64_t firstSlot = AV_NOPTS_VALUE, lastSlot = AV_NOPTS_VALUE, lastShown = AV_NOPTS_VALUE;
  bool haveBest = false, done = false, timedOut = false, tooLate = false;
  std::string problem;

  // Places one decoded frame on the clock; true once the frame for the target is known.
  auto place = [&](AVFrame* decoded) {
    int64_t shown;
    if (!slots.empty()) {
      shown = slots.top();
      slots.pop();
    } else {
      shown = lastShown == AV_NOPTS_VALUE ? target : lastShown + 1;
    }
    const bool first = lastShown == AV_NOPTS_VALUE;
    lastShown = shown;
    if (shown > target && haveBest) {
      av_frame_unref(decoded);
      return true;
    }
    if (first && shown > target && firstSlot > start) {
      // The frame for the target precedes the first one decodable from this
      // key frame (a leading B-frame): start from an earlier key frame.
      tooLate = true;
      av_frame_unref(decoded);
      return true;
    }
    av_frame_unref(best.get());
    av_frame_move_ref(best.get(), decoded);
    haveBest = true;
    return shown >= target;
  };

  // After a seek into the middle of the stream, an open group of pictures
  // loses the B-frames shown before its key frame: the decoder cannot make
  // them. The frame that follows the key frame out of the decoder tells how
  // many were lost (each frame carries its packet's slot as pts), so the key
  // frame waits for it before it takes its place on the clock. Only MPEG-1,
  // MPEG-2 and MPEG-4 Part 2 work so, and their B-frames are never references,
  // which the count relies on (H.264's pyramids are).
  const AVCodecID codecId = st->codecpar->codec_id;
  const bool dropsLeadingFrames =
      codecId == AV_CODEC_ID_MPEG4 || codecId == AV_CODEC_ID_MPEG1VIDEO || codecId == AV_CODEC_ID_MPEG2VIDEO;
  bool awaitingSecond = false, holding = false;
  auto releaseHeld = [&](const AVFrame* second) {
    awaitingSecond = false;
    if (!holding) return false;
    holding = false;
    if (second && held->pts != AV_NOPTS_VALUE && second->pts != AV_NOPTS_VALUE) {
      int64_t lost = second->pts - held->pts - (second->pict_type == AV_PICTURE_TYPE_B ? 2 : 1);
      for (; lost > 0 && slots.size() > 1; --lost) slots.pop();
    }
    return place(held.get());
  };

  // Takes the frames the decoder has ready; true once the frame for the target is known.
  auto takeFrames = [&]() {
    for (;;) {
      int r = avcodec_receive_frame(dec, frame.get());
      if (r == AVERROR_EOF) return releaseHeld(nullptr);
      if (r == AVERROR(EAGAIN)) return false;
      if (r < 0) {
        problem = FfmpegError("Cannot decode", r, s.path);
        return false;
      }
      if (awaitingSecond && !holding) {
        av_frame_move_ref(held.get(), frame.get());
        holding = true;
        continue;
      }
      if (awaitingSecond && releaseHeld(frame.get())) {
        av_frame_unref(frame.get());
        return true;
      }
      if (place(frame.get())) return true;
    }
  };

  int64_t seekTo = target;
  for (int attempt = 0;; ++attempt) {
    // To the key frame at or before the time; failing that, to the first
    // frame, decoding the whole stream up to the time.
    int ret = av_seek_frame(fmt, stream, seekTo, AVSEEK_FLAG_BACKWARD);
    if (ret < 0) ret = av_seek_frame(fmt, stream, INT64_MIN, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
    if (ret < 0) ret = avformat_seek_file(fmt, -1, INT64_MIN, 0, 0, AVSEEK_FLAG_BYTE);
    if (ret < 0) {
      s.Fail(FfmpegError("Cannot seek", ret, s.path));
      return GrabResult::Failed;
    }
    if (attempt > 0) avcodec_flush_buffers(dec);
    slots = {};
    firstSlot = lastSlot = lastShown = AV_NOPTS_VALUE;
    haveBest = done = timedOut = tooLate = awaitingSecond = holding = false;
    av_frame_unref(best.get());
    av_frame_unref(held.get());

    bool flushed = false;
    while (!done) {
      if (s.TimeUp()) {
        timedOut = true;
        break;
      }
      if (flushed) {
        takeFrames();
        break;
      }
      int r = av_read_frame(fmt, packet.get());
      if (r < 0) {
        if (r == AVERROR_EXIT || s.TimeUp()) {
          timedOut = true;
          break;
        }
        if (r != AVERROR_EOF) problem = FfmpegError("Cannot read", r, s.path);
        avcodec_send_packet(dec, nullptr);  // drain what the decoder holds
        flushed = true;
        continue;
      }
      // An empty packet would read as "drain"; empty chunks only advance the clock.
      if (packet->stream_index != stream || packet->size <= 0) {
        av_packet_unref(packet.get());
        continue;
      }
      int64_t slot = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
      if (slot == AV_NOPTS_VALUE) slot = lastSlot == AV_NOPTS_VALUE ? start : lastSlot + 1;
      if (firstSlot == AV_NOPTS_VALUE) {
        firstSlot = slot;
        awaitingSecond = slot > start && dropsLeadingFrames;
      }
      packet->pts = slot;  // comes back on the frame made from this packet
      r = avcodec_send_packet(dec, packet.get());
      av_packet_unref(packet.get());
      if (r < 0 && r != AVERROR(EAGAIN)) {
        problem = FfmpegError("Cannot decode", r, s.path);
        continue;  // a damaged packet: the next key frame recovers
      }
      slots.push(slot);
      lastSlot = slot;
      done = takeFrames();
    }
    if (holding) releaseHeld(nullptr);
    if (!tooLate || timedOut || attempt >= 3) break;
    seekTo = firstSlot - 1;
  }
  if (timedOut && !(haveBest && acceptPartial)) {
    s.Fail("Decoding " + s.path + " took longer than " + std::to_string(limit.count()) + " ms");
    return GrabResult::Failed;
  }
  if (!haveBest) {
    s.Fail(problem.empty() ? "No picture could be decoded from " + s.path : problem);
    return GrabResult::Failed;
  }
  if (!s.ToDib(*best.get(), out)) return GrabResult::Failed;
  return timedOut ? GrabResult::Partial : GrabResult::Ok;
}

}  // namespace media
