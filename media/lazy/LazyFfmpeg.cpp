// FFmpeg loaded on its first use. A direct join copies chunks and decodes at
// most a frame or two, while loading libavformat and libavcodec with the
// hundred-odd libraries they bring costs more than copying a short clip; so
// the command line links these definitions instead of FFmpeg, and each one
// loads its library when first called. The signatures are FFmpeg's own: the
// headers below make the compiler check every one.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {

enum Library { kUtil, kCodec, kFormat, kScale, kResample, kLibraries };

#define SPLICORA_SONAME(name, major) "lib" name ".so." AV_STRINGIFY(major)
constexpr const char* kSonames[kLibraries] = {
    SPLICORA_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR), SPLICORA_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR),
    SPLICORA_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR), SPLICORA_SONAME("swscale", LIBSWSCALE_VERSION_MAJOR),
    SPLICORA_SONAME("swresample", LIBSWRESAMPLE_VERSION_MAJOR)};

std::mutex logLevelLock;
bool logLevelSet = false;
int logLevel = AV_LOG_INFO;

[[noreturn]] void Missing(const char* what) {
  // What the loader would have said at start-up, had FFmpeg been linked.
  std::fprintf(stderr, "splicora-cli: %s\n", what);
  std::_Exit(127);
}

// The level asked for, once libavutil is here (every FFmpeg library loads it).
void ApplyLogLevel() {
  std::lock_guard<std::mutex> hold(logLevelLock);
  if (!logLevelSet) return;
  if (void* util = dlopen(kSonames[kUtil], RTLD_NOW | RTLD_NOLOAD)) {
    reinterpret_cast<void (*)(int)>(dlsym(util, "av_log_set_level"))(logLevel);
    dlclose(util);
  }
}

void* Load(Library library) {
  static std::once_flag once[kLibraries];
  static void* handles[kLibraries] = {};
  std::call_once(once[library], [library] {
    handles[library] = dlopen(kSonames[library], RTLD_NOW | RTLD_GLOBAL);
    if (!handles[library]) Missing(dlerror());
    ApplyLogLevel();
  });
  return handles[library];
}

void* Symbol(Library library, const char* name) {
  void* handle = Load(library);
  dlerror();
  void* symbol = dlsym(handle, name);
  if (!symbol) Missing((std::string(name) + " is not in " + kSonames[library]).c_str());
  return symbol;
}

}  // namespace

#define SPLICORA_LAZY(library, result, name, params, args)                                     \
  extern "C" __attribute__((visibility("hidden"))) result name params {                        \
    static const auto real = reinterpret_cast<decltype(&name)>(Symbol(library, #name));       \
    return real args;                                                                          \
  }

// The log level is remembered until libavutil is loaded for real work:
// setting it must not load FFmpeg.
extern "C" __attribute__((visibility("hidden"))) void av_log_set_level(int level) {
  {
    std::lock_guard<std::mutex> hold(logLevelLock);
    logLevelSet = true;
    logLevel = level;
  }
  ApplyLogLevel();
}

SPLICORA_LAZY(kUtil, AVAudioFifo*, av_audio_fifo_alloc, (enum AVSampleFormat f, int c, int n), (f, c, n))
SPLICORA_LAZY(kUtil, void, av_audio_fifo_free, (AVAudioFifo * a), (a))
SPLICORA_LAZY(kUtil, int, av_audio_fifo_read, (AVAudioFifo * a, void** d, int n), (a, d, n))
SPLICORA_LAZY(kUtil, int, av_audio_fifo_size, (AVAudioFifo * a), (a))
SPLICORA_LAZY(kUtil, int, av_audio_fifo_write, (AVAudioFifo * a, void** d, int n), (a, d, n))
SPLICORA_LAZY(kUtil, int, av_channel_layout_copy, (AVChannelLayout * d, const AVChannelLayout* s), (d, s))
SPLICORA_LAZY(kUtil, void, av_channel_layout_default, (AVChannelLayout * l, int n), (l, n))
SPLICORA_LAZY(kUtil, void, av_channel_layout_uninit, (AVChannelLayout * l), (l))
SPLICORA_LAZY(kUtil, void, av_dict_free, (AVDictionary * *m), (m))
SPLICORA_LAZY(kUtil, int, av_dict_set, (AVDictionary * *m, const char* k, const char* v, int f), (m, k, v, f))
SPLICORA_LAZY(kUtil, AVFrame*, av_frame_alloc, (void), ())
SPLICORA_LAZY(kUtil, AVFrame*, av_frame_clone, (const AVFrame* s), (s))
SPLICORA_LAZY(kUtil, void, av_frame_free, (AVFrame * *f), (f))
SPLICORA_LAZY(kUtil, int, av_frame_get_buffer, (AVFrame * f, int a), (f, a))
SPLICORA_LAZY(kUtil, int, av_frame_make_writable, (AVFrame * f), (f))
SPLICORA_LAZY(kUtil, void, av_frame_move_ref, (AVFrame * d, AVFrame* s), (d, s))
SPLICORA_LAZY(kUtil, int, av_frame_ref, (AVFrame * d, const AVFrame* s), (d, s))
SPLICORA_LAZY(kUtil, void, av_frame_unref, (AVFrame * f), (f))
SPLICORA_LAZY(kUtil, void, av_freep, (void* p), (p))
SPLICORA_LAZY(kUtil, int, av_get_bytes_per_sample, (enum AVSampleFormat f), (f))
SPLICORA_LAZY(kUtil, enum AVPixelFormat, av_get_pix_fmt, (const char* n), (n))
SPLICORA_LAZY(kUtil, const char*, av_get_pix_fmt_name, (enum AVPixelFormat f), (f))
SPLICORA_LAZY(kUtil, int, av_image_fill_black,
              (uint8_t * d[4], const ptrdiff_t l[4], enum AVPixelFormat f, enum AVColorRange r, int w, int h),
              (d, l, f, r, w, h))
SPLICORA_LAZY(kUtil, void*, av_mallocz, (size_t s), (s))
SPLICORA_LAZY(kUtil, int, av_opt_set_int, (void* o, const char* n, int64_t v, int f), (o, n, v, f))
SPLICORA_LAZY(kUtil, const AVPixFmtDescriptor*, av_pix_fmt_desc_get, (enum AVPixelFormat f), (f))
SPLICORA_LAZY(kUtil, int, av_reduce, (int* n, int* d, int64_t num, int64_t den, int64_t max), (n, d, num, den, max))
SPLICORA_LAZY(kUtil, int64_t, av_rescale, (int64_t a, int64_t b, int64_t c), (a, b, c))
SPLICORA_LAZY(kUtil, int64_t, av_rescale_q, (int64_t a, AVRational b, AVRational c), (a, b, c))
SPLICORA_LAZY(kUtil, int64_t, av_rescale_rnd, (int64_t a, int64_t b, int64_t c, enum AVRounding r), (a, b, c, r))
SPLICORA_LAZY(kUtil, int, av_sample_fmt_is_planar, (enum AVSampleFormat f), (f))
SPLICORA_LAZY(kUtil, int, av_samples_alloc_array_and_samples,
              (uint8_t * **d, int* l, int c, int n, enum AVSampleFormat f, int a), (d, l, c, n, f, a))
SPLICORA_LAZY(kUtil, int, av_samples_get_buffer_size, (int* l, int c, int n, enum AVSampleFormat f, int a),
              (l, c, n, f, a))
SPLICORA_LAZY(kUtil, int, av_samples_set_silence, (uint8_t * *d, int o, int n, int c, enum AVSampleFormat f),
              (d, o, n, c, f))
SPLICORA_LAZY(kUtil, int, av_strerror, (int e, char* b, size_t s), (e, b, s))

SPLICORA_LAZY(kCodec, int, av_new_packet, (AVPacket * p, int s), (p, s))
SPLICORA_LAZY(kCodec, AVPacket*, av_packet_alloc, (void), ())
SPLICORA_LAZY(kCodec, void, av_packet_free, (AVPacket * *p), (p))
SPLICORA_LAZY(kCodec, void, av_packet_unref, (AVPacket * p), (p))
SPLICORA_LAZY(kCodec, void, av_parser_close, (AVCodecParserContext * s), (s))
SPLICORA_LAZY(kCodec, AVCodecParserContext*, av_parser_init, (int id), (id))
SPLICORA_LAZY(kCodec, int, av_parser_parse2,
              (AVCodecParserContext * s, AVCodecContext* c, uint8_t** o, int* os, const uint8_t* b, int bs,
               int64_t pts, int64_t dts, int64_t pos),
              (s, c, o, os, b, bs, pts, dts, pos))
SPLICORA_LAZY(kCodec, AVCodecContext*, avcodec_alloc_context3, (const AVCodec* c), (c))
SPLICORA_LAZY(kCodec, const AVCodec*, avcodec_find_decoder, (enum AVCodecID id), (id))
SPLICORA_LAZY(kCodec, const AVCodec*, avcodec_find_encoder, (enum AVCodecID id), (id))
SPLICORA_LAZY(kCodec, const AVCodec*, avcodec_find_encoder_by_name, (const char* n), (n))
SPLICORA_LAZY(kCodec, void, avcodec_flush_buffers, (AVCodecContext * c), (c))
SPLICORA_LAZY(kCodec, void, avcodec_free_context, (AVCodecContext * *c), (c))
SPLICORA_LAZY(kCodec, const char*, avcodec_get_name, (enum AVCodecID id), (id))
SPLICORA_LAZY(kCodec, int, avcodec_open2, (AVCodecContext * c, const AVCodec* k, AVDictionary** o), (c, k, o))
SPLICORA_LAZY(kCodec, int, avcodec_parameters_to_context, (AVCodecContext * c, const AVCodecParameters* p), (c, p))
SPLICORA_LAZY(kCodec, int, avcodec_receive_frame, (AVCodecContext * c, AVFrame* f), (c, f))
SPLICORA_LAZY(kCodec, int, avcodec_receive_packet, (AVCodecContext * c, AVPacket* p), (c, p))
SPLICORA_LAZY(kCodec, int, avcodec_send_frame, (AVCodecContext * c, const AVFrame* f), (c, f))
SPLICORA_LAZY(kCodec, int, avcodec_send_packet, (AVCodecContext * c, const AVPacket* p), (c, p))

SPLICORA_LAZY(kFormat, enum AVCodecID, av_codec_get_id, (const struct AVCodecTag* const* t, unsigned int tag),
              (t, tag))
SPLICORA_LAZY(kFormat, int, av_read_frame, (AVFormatContext * s, AVPacket* p), (s, p))
SPLICORA_LAZY(kFormat, int, av_seek_frame, (AVFormatContext * s, int i, int64_t t, int f), (s, i, t, f))
SPLICORA_LAZY(kFormat, AVFormatContext*, avformat_alloc_context, (void), ())
SPLICORA_LAZY(kFormat, void, avformat_close_input, (AVFormatContext * *s), (s))
SPLICORA_LAZY(kFormat, int, avformat_find_stream_info, (AVFormatContext * s, AVDictionary** o), (s, o))
SPLICORA_LAZY(kFormat, void, avformat_free_context, (AVFormatContext * s), (s))
SPLICORA_LAZY(kFormat, const struct AVCodecTag*, avformat_get_riff_audio_tags, (void), ())
SPLICORA_LAZY(kFormat, const AVIndexEntry*, avformat_index_get_entry, (AVStream * s, int i), (s, i))
SPLICORA_LAZY(kFormat, int, avformat_open_input,
              (AVFormatContext * *s, const char* u, const AVInputFormat* f, AVDictionary** o), (s, u, f, o))
SPLICORA_LAZY(kFormat, int, avformat_seek_file,
              (AVFormatContext * s, int i, int64_t lo, int64_t t, int64_t hi, int f), (s, i, lo, t, hi, f))

SPLICORA_LAZY(kScale, struct SwsContext*, sws_alloc_context, (void), ())
SPLICORA_LAZY(kScale, void, sws_freeContext, (struct SwsContext * c), (c))
SPLICORA_LAZY(kScale, struct SwsContext*, sws_getCachedContext,
              (struct SwsContext * c, int sw, int sh, enum AVPixelFormat sf, int dw, int dh, enum AVPixelFormat df,
               int f, SwsFilter* a, SwsFilter* b, const double* p),
              (c, sw, sh, sf, dw, dh, df, f, a, b, p))
SPLICORA_LAZY(kScale, const int*, sws_getCoefficients, (int c), (c))
SPLICORA_LAZY(kScale, int, sws_init_context, (struct SwsContext * c, SwsFilter* a, SwsFilter* b), (c, a, b))
SPLICORA_LAZY(kScale, int, sws_scale,
              (struct SwsContext * c, const uint8_t* const s[], const int ss[], int y, int h, uint8_t* const d[],
               const int ds[]),
              (c, s, ss, y, h, d, ds))
SPLICORA_LAZY(kScale, int, sws_setColorspaceDetails,
              (struct SwsContext * c, const int i[4], int sr, const int t[4], int dr, int b, int k, int s),
              (c, i, sr, t, dr, b, k, s))

SPLICORA_LAZY(kResample, int, swr_alloc_set_opts2,
              (struct SwrContext * *s, AVChannelLayout* ol, enum AVSampleFormat of, int orate, AVChannelLayout* il,
               enum AVSampleFormat inf, int irate, int lo, void* lc),
              (s, ol, of, orate, il, inf, irate, lo, lc))
SPLICORA_LAZY(kResample, int, swr_convert, (struct SwrContext * s, uint8_t** o, int oc, const uint8_t** i, int ic),
              (s, o, oc, i, ic))
SPLICORA_LAZY(kResample, void, swr_free, (struct SwrContext * *s), (s))
SPLICORA_LAZY(kResample, int, swr_get_out_samples, (struct SwrContext * s, int n), (s, n))
SPLICORA_LAZY(kResample, int, swr_init, (struct SwrContext * s), (s))
