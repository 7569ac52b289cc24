#include "media/VideoDecoder.h"

#include <cstring>
#include <queue>
#include <vector>

#include "media/FfmpegUtil.h"

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

  // Hands out pictures up to and including slot, repeating the last one for gaps.
  bool Emit(AVFrame* picture, int64_t slot, const PictureSink& sink, std::string& error) {
    if (picture) {
      av_frame_unref(last.get());
      av_frame_move_ref(last.get(), picture);
    }
    if (!last->data[0]) return true;  // nothing decoded yet: the first picture covers what is owed
    for (; nextOut <= slot; ++nextOut)
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
  int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (rc < 0) {
    error = FfmpegError("opening the video", rc, path);
    return false;
  }
  InputFormatContext format(raw);
  if (stream < 0 || static_cast<unsigned>(stream) >= raw->nb_streams ||
      raw->streams[stream]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
    error = "no video stream " + std::to_string(stream) + " in " + path;
    return false;
  }
  const AVCodecParameters* par = raw->streams[stream]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) {
    error = std::string("no decoder for the video format ") + avcodec_get_name(par->codec_id) + " of " + path;
    return false;
  }
  d.decoder.reset(avcodec_alloc_context3(codec));
  d.frame.reset(av_frame_alloc());
  d.last.reset(av_frame_alloc());
  d.packet.reset(av_packet_alloc());
  if (!d.decoder || !d.frame || !d.last || !d.packet) {
    error = "out of memory for the video decoder";
    return false;
  }
  rc = avcodec_parameters_to_context(d.decoder.get(), par);
  if (rc >= 0) {
    d.decoder->pkt_timebase = raw->streams[stream]->time_base;
    d.decoder->thread_count = threads;
    d.decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    rc = avcodec_open2(d.decoder.get(), codec, nullptr);
  }
  if (rc < 0) {
    error = FfmpegError(std::string("opening the ") + codec->name + " decoder", rc, path);
    return false;
  }
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

}  // namespace media
