#include "media/VideoDecoder.h"

#include <algorithm>
#include <cstring>
#include <queue>
#include <vector>

#include "avi/AviTypes.h"
#include "media/FfmpegUtil.h"
#include "media/RegularFile.h"

namespace media {

namespace {
using ParametersPtr = FfmpegOwner<AVCodecParameters, [](AVCodecParameters* p) { avcodec_parameters_free(&p); }>;
}  // namespace

struct VideoDecoder::Impl {
  CodecContextPtr decoder;
  FramePtr frame;
  FramePtr last;     // the latest picture handed out, repeated for drops
  PacketPtr packet;
  // Slots (chunk numbers) fed to the decoder and not yet out: the n-th
  // picture out is shown at the n-th smallest (AVI stores decode order).
  std::priority_queue<int64_t, std::vector<int64_t>, std::greater<int64_t>> pending;
  int64_t fed = 0;
  int64_t nextOut = 0;  // the next slot to hand out
  int64_t damaged = 0;

  // Hands out pictures up to and including slot: the gap before it repeats the
  // picture before it (before the first picture, the first one stands in).
  bool Emit(AVFrame* picture, int64_t slot, const PictureSink& sink, std::string& error) {
    const int64_t gapEnd = picture ? slot : slot + 1;
    if (last->data[0] && !Repeat(gapEnd, sink, error)) return false;
    if (!picture) return true;
    av_frame_unref(last.get());
    av_frame_move_ref(last.get(), picture);
    return Repeat(slot + 1, sink, error);
  }

  // The last picture for every slot before end.
  bool Repeat(int64_t end, const PictureSink& sink, std::string& error) {
    for (; nextOut < end; ++nextOut)
      if (!sink(last.get())) {
        if (error.empty()) error = "a picture could not be written";
        return false;
      }
    return true;
  }

  bool Receive(const PictureSink& sink, std::string& error) {
    for (;;) {
      int rc = avcodec_receive_frame(decoder.get(), frame.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc == AVERROR_INVALIDDATA) continue;
      if (rc < 0) {
        error = FfmpegError("decoding video", rc);
        return false;
      }
      int64_t slot = nextOut;
      if (!pending.empty()) {
        slot = pending.top();
        pending.pop();
      }
      if (!Emit(frame.get(), std::max(slot, nextOut), sink, error)) return false;
    }
  }
};

VideoDecoder::VideoDecoder() : impl_(std::make_unique<Impl>()) {}
VideoDecoder::~VideoDecoder() = default;

bool VideoDecoder::Open(const std::string& path, int stream, int threads, std::string& error) {
  impl_ = std::make_unique<Impl>();
  Impl& d = *impl_;
  AVFormatContext* raw = nullptr;
  std::string refusal;
  int rc = OpenFormatInput(&raw, path, refusal);
  if (rc < 0) {
    error = refusal.empty() ? FfmpegError("opening the video", rc, path) : refusal;
    return false;
  }
  InputFormatContext format(raw);
  if (stream < 0 || static_cast<unsigned>(stream) >= raw->nb_streams ||
      raw->streams[stream]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
    error = "no video stream " + std::to_string(stream) + " in " + path;
    return false;
  }
  d.frame.reset(av_frame_alloc());
  d.last.reset(av_frame_alloc());
  d.packet.reset(av_packet_alloc());
  if (!d.frame || !d.last || !d.packet) {
    error = "out of memory for the video decoder";
    return false;
  }
  return OpenVideoCodec(*raw->streams[stream], threads, 0, path, d.decoder, error);
}

bool OpenVideoCodec(const AVStream& stream, int threads, int lowres, const std::string& path, CodecContextPtr& out,
                    std::string& error, bool* missing) {
  const AVCodecParameters* par = stream.codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (missing) *missing = !codec;
  if (!codec) {
    error = "No decoder for the video format '" + PrintableFourCC(par->codec_tag) + "' (" +
            avcodec_get_name(par->codec_id) + ") in " + path;
    return false;
  }
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) {
    error = "Out of memory for the decoder of " + path;
    return false;
  }
  int rc = avcodec_parameters_to_context(context.get(), par);
  if (rc < 0) {
    error = FfmpegError("Cannot set up the decoder", rc, path);
    return false;
  }
  context->pkt_timebase = stream.time_base;
  context->lowres = std::min(lowres, static_cast<int>(codec->max_lowres));
  context->thread_count = threads;
  context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  rc = avcodec_open2(context.get(), codec, nullptr);
  if (rc < 0) {
    error = FfmpegError(std::string("Cannot open the ") + codec->name + " decoder", rc, path);
    return false;
  }
  out = std::move(context);
  return true;
}

bool VideoDecoder::Feed(const uint8_t* data, size_t size, const PictureSink& sink, std::string& error) {
  Impl& d = *impl_;
  const int64_t slot = d.fed++;
  if (size == 0) return true;  // a drop: its slot is filled by the next picture's gap
  int rc = av_new_packet(d.packet.get(), static_cast<int>(size));
  if (rc < 0) {
    error = "out of memory for a video chunk";
    return false;
  }
  std::memcpy(d.packet->data, data, size);
  d.packet->pts = d.packet->dts = slot;
  // A full decoder first gives up what is ready, then takes the packet.
  while ((rc = avcodec_send_packet(d.decoder.get(), d.packet.get())) == AVERROR(EAGAIN))
    if (!d.Receive(sink, error)) return false;
  av_packet_unref(d.packet.get());
  if (rc < 0) {
    ++d.damaged;  // a damaged chunk holds the picture before it
    return d.Receive(sink, error);
  }
  d.pending.push(slot);
  return d.Receive(sink, error);
}

bool VideoDecoder::Finish(const PictureSink& sink, std::string& error) {
  Impl& d = *impl_;
  int rc = avcodec_send_packet(d.decoder.get(), nullptr);
  if (rc < 0 && rc != AVERROR_EOF) {
    error = FfmpegError("draining the video decoder", rc);
    return false;
  }
  if (!d.Receive(sink, error)) return false;
  return d.Emit(nullptr, d.fed - 1, sink, error);
}

int64_t VideoDecoder::ChunksFed() const { return impl_->fed; }
int64_t VideoDecoder::PicturesOut() const { return impl_->nextOut; }
int64_t VideoDecoder::Damaged() const { return impl_->damaged; }

struct PictureToDib::Impl {
  SwsContextPtr scaler;
  FramePtr rgb;
  std::vector<uint8_t> bits;
  int width = 0, height = 0, stride = 0;
  int flags = SWS_FAST_BILINEAR;
};

PictureToDib::~PictureToDib() = default;

PictureToDib::PictureToDib(int scaleFlags) : impl_(std::make_unique<Impl>()) {
  if (scaleFlags) impl_->flags = scaleFlags;
}

bool PictureToDib::Make(const AVFrame* picture, int maxWidth) {
  Impl& d = *impl_;
  if (!picture || picture->width <= 0 || picture->height <= 0 || maxWidth <= 0) return false;
  const int width = std::min(maxWidth, picture->width);
  const int height = std::max(1, static_cast<int>(static_cast<int64_t>(picture->height) * width / picture->width));
  bool fullRange = false;
  const AVPixelFormat source =
      PlainPixelFormat(static_cast<AVPixelFormat>(picture->format), picture->color_range, fullRange);
  d.scaler.reset(sws_getCachedContext(d.scaler.release(), picture->width, picture->height, source, width, height,
                                      AV_PIX_FMT_BGR24, d.flags, nullptr, nullptr, nullptr));
  if (!d.scaler) return false;
  SetSourceRange(d.scaler.get(), fullRange, true);
  if (!d.rgb || d.rgb->width != width || d.rgb->height != height) {
    d.rgb.reset(av_frame_alloc());
    if (!d.rgb) return false;
    d.rgb->format = AV_PIX_FMT_BGR24;
    d.rgb->width = width;
    d.rgb->height = height;
    // Its own aligned buffer: swscale must not write into padded DIB rows.
    if (av_frame_get_buffer(d.rgb.get(), 64) < 0) return false;
  }
  if (sws_scale(d.scaler.get(), picture->data, picture->linesize, 0, picture->height, d.rgb->data,
                d.rgb->linesize) < 0)
    return false;
  d.width = width;
  d.height = height;
  d.stride = (width * 3 + 3) & ~3;
  d.bits.resize(static_cast<size_t>(d.stride) * height);
  for (int y = 0; y < height; ++y)
    std::memcpy(d.bits.data() + static_cast<size_t>(d.stride) * (height - 1 - y),
                d.rgb->data[0] + static_cast<size_t>(d.rgb->linesize[0]) * y, static_cast<size_t>(width) * 3);
  return true;
}

const uint8_t* PictureToDib::Bits() const { return impl_->bits.data(); }
int PictureToDib::Width() const { return impl_->width; }
int PictureToDib::Height() const { return impl_->height; }
int PictureToDib::Stride() const { return impl_->stride; }

}  // namespace media
