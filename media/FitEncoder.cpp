#include "media/FitEncoder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "media/FfmpegUtil.h"
#include "media/FitRect.h"
#include "media/VideoDecoder.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace media {

namespace {

// The format's name as its FOURCC spells it, without padding.
std::string FormatName(FourCC code) {
  std::string text = PrintableFourCC(code);
  while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
  return text.empty() ? "uncompressed" : text;
}

FourCC CompressionOf(const AviStream& stream) {
  BitmapInfoHeader header;
  if (BitmapInfoHeader::Parse(stream.format, header) && header.biCompression) return header.biCompression;
  return stream.info.fccHandler;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string RateText(uint32_t rate, uint32_t scale) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", scale ? static_cast<double>(rate) / scale : 0.0);
  return text;
}

std::string SizeText(const AviStream& stream) {
  return std::to_string(stream.info.rcFrame.right - stream.info.rcFrame.left) + "x" +
         std::to_string(stream.info.rcFrame.bottom - stream.info.rcFrame.top);
}

// A frame-rate pair as one exact ratio: a clip frame in reference frames.
struct Ratio {
  unsigned __int128 num = 1, den = 1;
};

Ratio FrameRatio(const AviStreamInfo& clip, const AviStreamInfo& reference) {
  // (clip scale / clip rate) / (reference scale / reference rate)
  Ratio r;
  r.num = static_cast<unsigned __int128>(clip.dwScale) * reference.dwRate;
  r.den = static_cast<unsigned __int128>(clip.dwRate) * reference.dwScale;
  if (r.den == 0) r = {};
  return r;
}

// The planes of frame starting at pixel (x, y); x and y are even.
void PlanesAt(const AVFrame& frame, int x, int y, uint8_t* planes[4]) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  for (int p = 0; p < 4 && frame.data[p]; ++p) {
    const bool chroma = p == 1 || p == 2;
    const int px = chroma ? x >> desc->log2_chroma_w : x;
    const int py = chroma ? y >> desc->log2_chroma_h : y;
    planes[p] = frame.data[p] + static_cast<ptrdiff_t>(py) * frame.linesize[p] + px;
  }
}

std::string Refusal(const std::string& format, const std::string& why) {
  return "the first clip's video is " + format + ", which cannot be written here (" + why +
         "): a clip that differs from it cannot be re-encoded to match; Recompress re-encodes every clip";
}

// An encoder that writes the target's format.
bool OpenFitEncoder(const FitTarget& target, CodecContextPtr& encoder, std::string& why) {
  const AVCodec* codec = avcodec_find_encoder_by_name(target.encoder.c_str());
  if (!codec) {
    why = "no encoder " + target.encoder + " in this FFmpeg";
    return false;
  }
  encoder.reset(avcodec_alloc_context3(codec));
  if (!encoder) {
    why = "out of memory for the encoder";
    return false;
  }
  AVCodecContext& c = *encoder.get();
  c.width = target.width;
  c.height = target.height;
  c.pix_fmt = static_cast<AVPixelFormat>(target.pixelFormat);
  c.color_range = target.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  int num = 1, den = 25;
  // MPEG-4 refuses time-base denominators past 16 bits.
  if (!av_reduce(&num, &den, target.scale, target.rate, 65535) || num <= 0 || den <= 0) num = 1, den = 25;
  c.time_base = AVRational{num, den};
  c.framerate = AVRational{den, num};
  c.sample_aspect_ratio = AVRational{1, 1};
  // One chunk per frame and no timestamps in AVI: decode order is display order.
  c.max_b_frames = 0;
  c.gop_size = std::clamp(den / num * 10, 12, 250);
  // Near the first clip's average; a floor on quality where the content needs more.
  c.bit_rate = std::max<int64_t>(target.bitRate, 64000);
  c.qmin = 2;
  c.qmax = target.encoder == "libx264" ? 36 : 10;
  c.thread_count = 0;
  AVDictionary* options = nullptr;
  if (target.encoder == "libx264") {
    av_dict_set(&options, "preset", "veryfast", 0);
    av_dict_set(&options, "profile", target.profile.c_str(), 0);
    // Headers repeated at every key frame (no global header), in Annex B.
    av_dict_set(&options, "x264-params", "log=-1:repeat-headers=1:annexb=1", 0);
    if (target.level > 0) c.level = target.level;
  }
  if (target.encoder == "mjpeg" && !target.fullRange) c.strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
  // No global header: MPEG-4 writes its VOL into every key frame.
  const int rc = avcodec_open2(encoder.get(), codec, &options);
  av_dict_free(&options);
  if (rc < 0) {
    why = FfmpegError("opening encoder " + target.encoder + " at " + std::to_string(target.width) + "x" +
                          std::to_string(target.height),
                      rc);
    return false;
  }
  return true;
}

}  // namespace

bool FindFitTarget(const std::string& path, int stream, const AviStream& video, FitTarget& target,
                   std::string& error) {
  target = FitTarget{};
  target.format = FormatName(CompressionOf(video));
  BitmapInfoHeader header;
  if (!BitmapInfoHeader::Parse(video.format, header) || header.biWidth <= 0 || header.biHeight == 0) {
    error = path + ": the video format gives no frame size";
    return false;
  }
  target.width = header.biWidth;
  target.height = std::abs(header.biHeight);
  target.rate = video.info.dwRate;
  target.scale = video.info.dwScale;
  if (!target.rate || !target.scale) {
    error = path + ": the video has no frame rate";
    return false;
  }
  uint64_t bytes = 0;
  for (const AviChunk& c : video.chunks) bytes += c.size;
  const double seconds = static_cast<double>(video.chunks.size()) * target.scale / target.rate;
  target.bitRate = seconds > 0 ? static_cast<int64_t>(static_cast<double>(bytes) * 8 / seconds) : 0;

  AVFormatContext* raw = nullptr;
  int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (rc < 0) {
    error = FfmpegError("opening the video", rc, path);
    return false;
  }
  InputFormatContext input(raw);
  if (stream < 0 || static_cast<unsigned>(stream) >= raw->nb_streams) {
    error = "no video stream " + std::to_string(stream) + " in " + path;
    return false;
  }
  // The decoded pixel format, profile and level are known once a few pictures were looked at.
  raw->probesize = 8 << 20;
  avformat_find_stream_info(raw, nullptr);
  const AVCodecParameters* par = raw->streams[stream]->codecpar;
  const auto pixels = static_cast<AVPixelFormat>(par->format);
  bool fullRange = false;
  const AVPixelFormat plain = PlainPixelFormat(pixels, par->color_range, fullRange);
  switch (par->codec_id) {
    case AV_CODEC_ID_MPEG4:
      target.encoder = "mpeg4";
      target.pixelFormat = AV_PIX_FMT_YUV420P;
      break;
    case AV_CODEC_ID_MJPEG:
      target.encoder = "mjpeg";
      target.pixelFormat = plain == AV_PIX_FMT_YUV422P || plain == AV_PIX_FMT_YUV444P ? plain : AV_PIX_FMT_YUV420P;
      target.fullRange = pixels == AV_PIX_FMT_NONE || fullRange;
      break;
    case AV_CODEC_ID_H264: {
      // Length-prefixed pictures (an avcC header) cannot be followed by in-band headers.
      if (par->extradata_size > 0 && par->extradata[0] == 1) {
        error = Refusal(target.format, "H.264 with out-of-band headers");
        return false;
      }
      if (plain != AV_PIX_FMT_YUV420P && pixels != AV_PIX_FMT_NONE) {
        error = Refusal(target.format, std::string("H.264 in ") + av_get_pix_fmt_name(pixels));
        return false;
      }
      target.encoder = "libx264";
      target.pixelFormat = AV_PIX_FMT_YUV420P;
      switch (par->profile & ~FF_PROFILE_H264_CONSTRAINED) {
        case FF_PROFILE_H264_BASELINE:
        case FF_PROFILE_H264_EXTENDED: target.profile = "baseline"; break;
        case FF_PROFILE_H264_MAIN: target.profile = "main"; break;
        case FF_PROFILE_H264_HIGH: target.profile = "high"; break;
        default:
          error = Refusal(target.format, "H.264 profile " + std::to_string(par->profile));
          return false;
      }
      target.level = par->level > 0 ? par->level : -1;
      break;
    }
    default:
      error = Refusal(target.format, avcodec_get_name(par->codec_id));
      return false;
  }
  // Tried once here, so that a size or format it refuses refuses the join before anything is written.
  CodecContextPtr trial;
  std::string why;
  if (!OpenFitEncoder(target, trial, why)) {
    error = Refusal(target.format, why);
    return false;
  }
  return true;
}

std::string FitReason(const AviStream& reference, const AviStream& clip) {
  std::string reason;
  auto add = [&reason](const std::string& from, const std::string& to) {
    if (!reason.empty()) reason += ", ";
    reason += from + " → " + to;
  };
  const std::string from = Upper(FormatName(CompressionOf(clip))), to = Upper(FormatName(CompressionOf(reference)));
  if (from != to) add(from, to);
  if (SizeText(clip) != SizeText(reference)) add(SizeText(clip), SizeText(reference));
  const std::string fromRate = RateText(clip.info.dwRate, clip.info.dwScale);
  const std::string toRate = RateText(reference.info.dwRate, reference.info.dwScale);
  if (static_cast<uint64_t>(clip.info.dwRate) * reference.info.dwScale !=
      static_cast<uint64_t>(reference.info.dwRate) * clip.info.dwScale)
    add(fromRate, toRate + " fps");
  return reason.empty() ? "another encoding of " + to : reason;
}

bool CarriesOwnHeaders(const FitTarget& target, const uint8_t* data, size_t size) {
  bool vol = false, sps = false, pps = false;
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t code = data[i + 3];
    vol = vol || (code >= 0x20 && code <= 0x2F);
    sps = sps || (code & 0x1F) == 7;
    pps = pps || (code & 0x1F) == 8;
  }
  if (target.encoder == "mpeg4") return vol;
  if (target.encoder == "libx264") return sps && pps;
  return true;  // every JPEG picture stands alone
}

bool SameVideoFormat(const AviStream& a, const AviStream& b) {
  return Upper(FormatName(CompressionOf(a))) == Upper(FormatName(CompressionOf(b))) && SizeText(a) == SizeText(b) &&
         static_cast<uint64_t>(a.info.dwRate) * b.info.dwScale == static_cast<uint64_t>(b.info.dwRate) * a.info.dwScale;
}

uint64_t FittedFrameCount(uint64_t count, const AviStreamInfo& clip, const AviStreamInfo& reference) {
  const Ratio r = FrameRatio(clip, reference);
  return static_cast<uint64_t>((count * r.num + r.den / 2) / r.den);
}

struct FittedVideo::Impl {
  FitTarget target;
  ChunkSink sink;
  VideoDecoder decoder;
  CodecContextPtr encoder;
  PacketPtr packet;
  SwsContextPtr scaler;
  std::array<int, 4> scalerKey{};
  FramePtr last;  // the latest fitted picture
  Ratio ratio;
  uint64_t skip = 0, frames = 0;
  uint64_t pictures = 0;  // pictures decoded
  uint64_t queued = 0;    // output frames handed to the encoder
  uint64_t chunks = 0;    // chunks written
  std::string error;

  // The picture in the target's format and size, borders black.
  bool Fit(const AVFrame* in, std::string& why) {
    FramePtr out(av_frame_alloc());
    if (!out) {
      why = "out of memory for a picture";
      return false;
    }
    out->format = target.pixelFormat;
    out->width = target.width;
    out->height = target.height;
    out->color_range = target.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(out.get(), 64) < 0) {
      why = "out of memory for a picture";
      return false;
    }
    int x = 0, y = 0, w = target.width, h = target.height;
    if (in->width != target.width || in->height != target.height) {
      FitRect(in->width, in->height, target.width, target.height, x, y, w, h);
      const ptrdiff_t lines[4] = {out->linesize[0], out->linesize[1], out->linesize[2], out->linesize[3]};
      av_image_fill_black(out->data, lines, static_cast<AVPixelFormat>(target.pixelFormat), out->color_range,
                          target.width, target.height);
    }
    bool fullRange = false;
    const AVPixelFormat format = PlainPixelFormat(static_cast<AVPixelFormat>(in->format), in->color_range, fullRange);
    const std::array<int, 4> key = {in->width, in->height, format, fullRange};
    if (!scaler || key != scalerKey) {
      scaler.reset(sws_alloc_context());
      if (SwsContext* sws = scaler.get()) {
        av_opt_set_int(sws, "srcw", in->width, 0);
        av_opt_set_int(sws, "srch", in->height, 0);
        av_opt_set_int(sws, "src_format", format, 0);
        av_opt_set_int(sws, "dstw", w, 0);
        av_opt_set_int(sws, "dsth", h, 0);
        av_opt_set_int(sws, "dst_format", target.pixelFormat, 0);
        av_opt_set_int(sws, "sws_flags", SWS_BICUBIC, 0);
        av_opt_set_int(sws, "src_range", fullRange ? 1 : 0, 0);
        av_opt_set_int(sws, "dst_range", target.fullRange ? 1 : 0, 0);
        if (sws_init_context(sws, nullptr, nullptr) < 0) scaler.reset();
      }
      scalerKey = key;
    }
    if (!scaler) {
      why = "no conversion of the pictures into " + target.format;
      return false;
    }
    uint8_t* planes[4] = {};
    PlanesAt(*out.get(), x, y, planes);
    const int rc = sws_scale(scaler.get(), in->data, in->linesize, 0, in->height, planes, out->linesize);
    if (rc < 0) {
      why = FfmpegError("converting a picture", rc);
      return false;
    }
    last = std::move(out);
    return true;
  }

  bool Drain(std::string& why) {
    for (;;) {
      const int rc = avcodec_receive_packet(encoder.get(), packet.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc < 0) {
        why = FfmpegError("encoding with " + target.encoder, rc);
        return false;
      }
      // Never more chunks than frames: the clip's place on the output is fixed.
      const bool ok = chunks >= frames ||
                      sink(packet->data, static_cast<uint32_t>(packet->size), (packet->flags & AV_PKT_FLAG_KEY) != 0);
      av_packet_unref(packet.get());
      if (!ok) {
        why = "the video could not be written";
        return false;
      }
      ++chunks;
    }
  }

  // The last fitted picture for every output frame before end.
  bool Send(uint64_t end, std::string& why) {
    for (; queued < end; ++queued) {
      FramePtr frame(av_frame_clone(last.get()));
      if (!frame) {
        why = "out of memory for a picture";
        return false;
      }
      frame->pts = static_cast<int64_t>(queued);
      frame->pict_type = queued == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
      const int rc = avcodec_send_frame(encoder.get(), frame.get());
      if (rc < 0) {
        why = FfmpegError("encoding with " + target.encoder, rc);
        return false;
      }
      if (!Drain(why)) return false;
    }
    return true;
  }

  // Picture k of the clip shows on every output frame that starts before picture k + 1.
  bool Take(const AVFrame* picture, std::string& why) {
    const uint64_t k = pictures++;
    if (k < skip) return true;
    const unsigned __int128 next = static_cast<unsigned __int128>(k - skip + 1) * ratio.num;
    const uint64_t end = std::min<uint64_t>(frames, static_cast<uint64_t>((next + ratio.den - 1) / ratio.den));
    if (end <= queued) return true;  // dropped: the grid has no frame for it
    return Fit(picture, why) && Send(end, why);
  }
};

FittedVideo::FittedVideo() : impl_(std::make_unique<Impl>()) {}
FittedVideo::~FittedVideo() = default;

bool FittedVideo::Open(const std::string& path, int stream, const AviStreamInfo& info, const FitTarget& target,
                       uint64_t skip, uint64_t frames, ChunkSink sink, std::string& error) {
  impl_ = std::make_unique<Impl>();
  Impl& d = *impl_;
  d.target = target;
  d.sink = std::move(sink);
  d.skip = skip;
  d.frames = frames;
  AviStreamInfo reference;
  reference.dwRate = target.rate;
  reference.dwScale = target.scale;
  d.ratio = FrameRatio(info, reference);
  if (!d.decoder.Open(path, stream, 0, error)) return false;
  d.packet.reset(av_packet_alloc());
  std::string why;
  if (!d.packet) {
    error = "out of memory for the encoder";
    return false;
  }
  if (!OpenFitEncoder(d.target, d.encoder, why)) {
    error = "re-encoding " + path + " into " + target.format + ": " + why;
    return false;
  }
  return true;
}

bool FittedVideo::Feed(const uint8_t* data, size_t size, std::string& error) {
  Impl& d = *impl_;
  std::string why;
  const bool ok = d.decoder.Feed(data, size, [&d, &why](const AVFrame* picture) { return d.Take(picture, why); }, error);
  if (!ok && !why.empty()) error = why;
  return ok;
}

bool FittedVideo::Finish(std::string& error) {
  Impl& d = *impl_;
  std::string why;
  if (!d.decoder.Finish([&d, &why](const AVFrame* picture) { return d.Take(picture, why); }, error)) {
    if (!why.empty()) error = why;
    return false;
  }
  if (!d.last && d.frames > 0) {
    error = "not one picture could be decoded";
    return false;
  }
  if (d.last && !d.Send(d.frames, error)) return false;
  const int rc = avcodec_send_frame(d.encoder.get(), nullptr);
  if (rc < 0 && rc != AVERROR_EOF) {
    error = FfmpegError("flushing " + d.target.encoder, rc);
    return false;
  }
  if (!d.Drain(error)) return false;
  // A frame the encoder swallowed still takes its place in time.
  for (; d.chunks < d.frames; ++d.chunks)
    if (!d.sink(nullptr, 0, false)) {
      error = "the video could not be written";
      return false;
    }
  return true;
}

uint64_t FittedVideo::ChunksOut() const { return impl_->chunks; }

}  // namespace media
