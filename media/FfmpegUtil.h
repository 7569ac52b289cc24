#pragma once
// RAII owners for FFmpeg objects and FFmpeg's error texts. One move-only
// template parameterised on the release function; every FFmpeg object the
// media code holds lives in one of these, so every path releases it.
#include <string>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace media {

// Owns one T*; Release(T*) frees it and must tolerate null. Move-only, no
// implicit conversion: use get() to lend the pointer and release() to hand it over.
template <typename T, void (*Release)(T*)>
class FfmpegOwner {
 public:
  FfmpegOwner() = default;
  explicit FfmpegOwner(T* object) : object_(object) {}
  ~FfmpegOwner() { reset(); }
  FfmpegOwner(const FfmpegOwner&) = delete;
  FfmpegOwner& operator=(const FfmpegOwner&) = delete;
  FfmpegOwner(FfmpegOwner&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  FfmpegOwner& operator=(FfmpegOwner&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  T* release() { return std::exchange(object_, nullptr); }
  void reset(T* object = nullptr) {
    T* old = std::exchange(object_, object);
    if (old) Release(old);
  }

 private:
  T* object_ = nullptr;
};

namespace ffmpeg_release {
// FFmpeg's own free functions take T** and clear it; these adapt them to T*.
inline void InputFormat(AVFormatContext* c) { avformat_close_input(&c); }
// An output context: closes its AVIOContext (when the muxer needs a file) and frees it.
inline void OutputFormat(AVFormatContext* c) {
  if (c->oformat && !(c->oformat->flags & AVFMT_NOFILE)) avio_closep(&c->pb);
  avformat_free_context(c);
}
inline void CodecContext(AVCodecContext* c) { avcodec_free_context(&c); }
inline void Frame(AVFrame* f) { av_frame_free(&f); }
inline void Packet(AVPacket* p) { av_packet_free(&p); }
inline void Sws(SwsContext* s) { sws_freeContext(s); }
inline void Swr(SwrContext* s) { swr_free(&s); }
}  // namespace ffmpeg_release

using InputFormatContext = FfmpegOwner<AVFormatContext, ffmpeg_release::InputFormat>;
using OutputFormatContext = FfmpegOwner<AVFormatContext, ffmpeg_release::OutputFormat>;
using CodecContextPtr = FfmpegOwner<AVCodecContext, ffmpeg_release::CodecContext>;
using FramePtr = FfmpegOwner<AVFrame, ffmpeg_release::Frame>;
using PacketPtr = FfmpegOwner<AVPacket, ffmpeg_release::Packet>;
using SwsContextPtr = FfmpegOwner<SwsContext, ffmpeg_release::Sws>;
using SwrContextPtr = FfmpegOwner<SwrContext, ffmpeg_release::Swr>;

// The JPEG pixel formats are the plain ones at full range; naming them so
// keeps swscale from warning on every picture. fullRange is set for them and
// for pictures marked full range.
inline AVPixelFormat PlainPixelFormat(AVPixelFormat format, AVColorRange range, bool& fullRange) {
  fullRange = range == AVCOL_RANGE_JPEG;
  switch (format) {
    case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: fullRange = true; return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: fullRange = true; return AV_PIX_FMT_YUV411P;
    default: return format;
  }
}

// Tells a scaler the source's range (the destination keeps its own).
inline void SetSourceRange(SwsContext* sws, bool fullRange, bool destinationFull) {
  const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
  sws_setColorspaceDetails(sws, coefficients, fullRange ? 1 : 0, coefficients, destinationFull ? 1 : 0, 0, 1 << 16,
                           1 << 16);
}

// A video decoder for one stream of an open input, as the media detector and
// the conversion both set it up. lowres: 0 for full size, n for 1/2^n.
// missing is set when no decoder exists here for the codec.
bool OpenVideoCodec(const AVStream& stream, int threads, int lowres, const std::string& path, CodecContextPtr& out,
                    std::string& error, bool* missing = nullptr);

// FFmpeg's text for an error code (av_strerror; av_err2str is C only).
inline std::string FfmpegErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) return "error " + std::to_string(code);
  return text;
}

// "operation: FFmpeg's text (file)", the form media errors are reported in.
inline std::string FfmpegError(const std::string& operation, int code, const std::string& path = {}) {
  std::string text = operation + ": " + FfmpegErrorText(code);
  if (!path.empty()) text += " (" + path + ")";
  return text;
}

}  // namespace media
