#include "media/VideoCompressor.h"

#include <algorithm>
#include <array>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "avi/AviWriter.h"
#include "media/FfmpegUtil.h"
#include "media/FitRect.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace media {

namespace {

CompressorSetting Number(const char* key, const char* label, int minimum, int maximum, int defaultValue) {
  CompressorSetting setting;
  setting.key = key;
  setting.label = label;
  setting.kind = CompressorSetting::Kind::Number;
  setting.minimum = minimum;
  setting.maximum = maximum;
  setting.defaultValue = std::to_string(defaultValue);
  return setting;
}

// Shared declarations of the settings most compressors have.
CompressorSetting Quality(int defaultValue) {
  return Number("quality", "Quality (1 = smallest file, 100 = best picture)", 1, 100, defaultValue);
}

// libavcodec's MPEG-4 family takes key frames at most every 600 frames.
CompressorSetting KeyFrameInterval(int defaultValue, int maximum = 600) {
  return Number("keyint", "Key frame every (frames)", 1, maximum, defaultValue);
}

CompressorSetting Choice(const char* key, const char* label, std::vector<std::string> choices,
                         const char* byDefault) {
  return {key, label, CompressorSetting::Kind::Choice, 0, 0, std::move(choices), byDefault};
}

std::vector<CompressorInfo> MakeKnownCompressors() {
  std::vector<CompressorInfo> list;
  auto add = [&](FourCC handler, FourCC compression, const char* description, const char* encoder,
                 const char* pixelFormat, bool evenSize, std::vector<CompressorSetting> settings) {
    CompressorInfo info;
    info.handler = handler;
    info.compression = compression;
    info.description = description;
    info.encoder = encoder;
    info.pixelFormat = pixelFormat;
    info.evenSize = evenSize;
    info.settings = std::move(settings);
    list.push_back(std::move(info));
  };
  add(MakeFourCC('d', 'i', 'v', 'x'), MakeFourCC('D', 'I', 'V', 'X'), "MPEG-4 Part 2 (DivX compatible)",
      "mpeg4", "yuv420p", false, {Quality(85), KeyFrameInterval(250)});
  add(MakeFourCC('x', 'v', 'i', 'd'), MakeFourCC('X', 'V', 'I', 'D'), "Xvid MPEG-4 Part 2", "libxvid",
      "yuv420p", true, {Quality(85), KeyFrameInterval(250, 1000)});
  add(MakeFourCC('m', 'p', '4', '2'), MakeFourCC('M', 'P', '4', '2'), "Microsoft MPEG-4 version 2",
      "msmpeg4v2", "yuv420p", false, {Quality(85), KeyFrameInterval(250)});
  add(MakeFourCC('m', 'p', '4', '3'), MakeFourCC('M', 'P', '4', '3'), "Microsoft MPEG-4 version 3", "msmpeg4",
      "yuv420p", false, {Quality(85), KeyFrameInterval(250)});
  add(MakeFourCC('m', 'j', 'p', 'g'), MakeFourCC('M', 'J', 'P', 'G'), "Motion JPEG", "mjpeg", "yuvj420p",
      false, {Quality(85)});
  add(MakeFourCC('x', '2', '6', '4'), MakeFourCC('X', '2', '6', '4'), "H.264 / AVC (x264)", "libx264",
      "yuv420p", true,
      {Choice(
           "preset", "Preset",
           {"ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower", "veryslow"},
           "medium"),
       Number("crf", "Constant rate factor (0 = best picture, 51 = smallest file)", 0, 51, 23),
       KeyFrameInterval(250, 1000)});
  add(MakeFourCC('f', 'f', 'v', '1'), MakeFourCC('F', 'F', 'V', '1'), "FFV1 lossless", "ffv1", "bgr0", false,
      {Choice("coder", "Coder", {"rice", "range_def", "range_tab"}, "range_def"), KeyFrameInterval(1, 1000)});
  add(MakeFourCC('h', 'f', 'y', 'u'), MakeFourCC('H', 'F', 'Y', 'U'), "HuffYUV lossless RGB", "huffyuv",
      "rgb24", false, {Choice("pred", "Prediction", {"left", "plane"}, "left")});
  add(MakeFourCC('u', 'l', 'r', 'g'), MakeFourCC('U', 'L', 'R', 'G'), "Ut Video lossless RGB", "utvideo",
      "gbrp", false, {Choice("pred", "Prediction", {"none", "left", "median"}, "left")});
  add(MakeFourCC('D', 'I', 'B', ' '), 0, "Uncompressed RGB 24-bit", "", "bgr24", false, {});
  return list;
}

// libavutil's own limit on picture sizes, checked before it logs a refusal.
bool PictureSizeValid(int width, int height) {
  return static_cast<int64_t>(width + 128) * (height + 128) < INT_MAX / 8;
}

uint32_t DibRowBytes(int width) {
  return ((static_cast<uint32_t>(width) * 24 + 31) & ~31u) / 8;
}

// Past this an uncompressed frame no longer fits a chunk's 32-bit size.
bool RawSizeFits(int width, int height) {
  return static_cast<uint64_t>(DibRowBytes(width)) * static_cast<uint64_t>(height) < 0x7FFFFFF0ull;
}

// Quality 1..100 onto the MPEG quantiser 31..2.
int QuantiserForQuality(int quality) {
  return 2 + ((100 - quality) * 29 + 49) / 99;
}

AVRational EncoderTimeBase(uint32_t rate, uint32_t scale) {
  int num = 0;
  int den = 0;
  // MPEG-4 refuses time-base denominators past 16 bits.
  if (rate == 0 || scale == 0 || !av_reduce(&num, &den, scale, rate, 65535) || num <= 0 || den <= 0)
    return AVRational{1, 25};
  return AVRational{num, den};
}

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// threads: the encoder's own (0: as many as it finds useful).
bool OpenEncoder(const CompressorInfo& info, int width, int height, AVRational timeBase,
                 const CompressorSettings& settings, CodecContextPtr& out, std::string* error,
                 int threads = 0) {
  const AVCodec* codec = avcodec_find_encoder_by_name(info.encoder.c_str());
  if (!codec) {
    SetError(error, "no encoder " + info.encoder + " in this FFmpeg");
    return false;
  }
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) {
    SetError(error, "out of memory");
    return false;
  }
  context->width = width;
  context->height = height;
  context->pix_fmt = av_get_pix_fmt(info.pixelFormat.c_str());
  // JPEG's full-range YUV is yuv420p marked as full range (the yuvj formats are deprecated).
  if (context->pix_fmt == AV_PIX_FMT_YUVJ420P) {
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->color_range = AVCOL_RANGE_JPEG;
  }
  context->time_base = timeBase;
  context->thread_count = threads;
  context->framerate = AVRational{timeBase.den, timeBase.num};
  context->sample_aspect_ratio = AVRational{1, 1};
  // AVI holds one chunk per frame and no timestamps: keep decode order = display order.
  context->max_b_frames = 0;

  CompressorSettings values = NormalizeSettings(info, settings);
  AVDictionary* options = nullptr;
  for (const auto& [key, value] : values) {
    if (key == "quality") {
      context->flags |= AV_CODEC_FLAG_QSCALE;
      context->global_quality = FF_QP2LAMBDA * QuantiserForQuality(std::atoi(value.c_str()));
    } else if (key == "keyint") {
      context->gop_size = std::atoi(value.c_str());
    } else {
      av_dict_set(&options, key.c_str(), value.c_str(), 0);
    }
  }
  // x264 reports its progress at info level; keep its errors only.
  if (info.encoder == "libx264") av_dict_set(&options, "x264-params", "log=0", 0);
  int rc = avcodec_open2(context.get(), codec, &options);
  av_dict_free(&options);
  if (rc < 0) {
    SetError(error, FfmpegError("opening encoder " + info.encoder + " at " + std::to_string(width) + "x" +
                                    std::to_string(height),
                                rc));
    return false;
  }
  out = std::move(context);
  return true;
}

CompressedFormat FormatOf(const CompressorInfo& info, int width, int height, const AVCodecContext* encoder) {
  CompressedFormat format;
  format.header.biWidth = width;
  format.header.biHeight = height;
  format.header.biPlanes = 1;
  if (!encoder) {
    format.header.biBitCount = 24;
    format.header.biCompression = 0;
    format.header.biSizeImage = DibRowBytes(width) * static_cast<uint32_t>(height);
  } else {
    int bits = encoder->bits_per_coded_sample > 0 ? encoder->bits_per_coded_sample : 24;
    format.header.biBitCount = static_cast<uint16_t>(bits);
    format.header.biCompression = info.compression;
    format.header.biSizeImage =
        static_cast<uint32_t>((static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * bits + 7) / 8);
    if (encoder->extradata && encoder->extradata_size > 0)
      format.extra.assign(encoder->extradata, encoder->extradata + encoder->extradata_size);
  }
  format.header.biSize = static_cast<uint32_t>(40 + format.extra.size());
  return format;
}

}  // namespace

const std::vector<CompressorInfo>& KnownCompressors() {
  static const std::vector<CompressorInfo> list = MakeKnownCompressors();
  return list;
}

std::vector<CompressorInfo> AvailableCompressors() {
  // Probed once per run: encoders do not appear while the program runs.
  static std::once_flag once;
  static std::vector<CompressorInfo> available;
  std::call_once(once, [] {
    for (const CompressorInfo& info : KnownCompressors()) {
      if (info.encoder.empty()) {
        available.push_back(info);
        continue;
      }
      CodecContextPtr context;
      if (OpenEncoder(info, 64, 48, AVRational{1, 25}, {}, context, nullptr)) available.push_back(info);
    }
  });
  return available;
}

const CompressorInfo* FindCompressor(FourCC handler) {
  for (const CompressorInfo& info : KnownCompressors())
    if (info.handler == handler) return &info;
  return nullptr;
}

CompressorSettings NormalizeSettings(const CompressorInfo& info, const CompressorSettings& values) {
  CompressorSettings result;
  for (const CompressorSetting& setting : info.settings) {
    std::string value = setting.defaultValue;
    auto it = values.find(setting.key);
    if (it != values.end()) {
      const std::string& given = it->second;
      if (setting.kind == CompressorSetting::Kind::Number) {
        char* end = nullptr;
        long number = std::strtol(given.c_str(), &end, 10);
        if (!given.empty() && end && *end == '\0' && number >= setting.minimum && number <= setting.maximum)
          value = std::to_string(number);
      } else {
        for (const std::string& choice : setting.choices)
          if (choice == given) value = given;
      }
    }
    result[setting.key] = value;
  }
  return result;
}

std::string SettingsText(const CompressorInfo& info, const CompressorSettings& values) {
  CompressorSettings normal = NormalizeSettings(info, values);
  std::string text;
  for (const CompressorSetting& setting : info.settings) {
    if (!text.empty()) text += ' ';
    text += setting.key + "=" + normal[setting.key];
  }
  return text;
}

std::vector<uint8_t> CompressedFormat::FormatBlock() const {
  std::vector<uint8_t> block = header.Serialize();
  block.insert(block.end(), extra.begin(), extra.end());
  return block;
}

void CompressedSize(const CompressorInfo& info, int width, int height, int& outWidth, int& outHeight) {
  outWidth = info.evenSize ? width & ~1 : width;
  outHeight = info.evenSize ? height & ~1 : height;
}

bool GetCompressedFormat(const CompressorInfo& info, int width, int height,
                         const CompressorSettings& settings, CompressedFormat& format, std::string* error) {
  int w = 0;
  int h = 0;
  CompressedSize(info, width, height, w, h);
  if (width <= 0 || height <= 0 || w <= 0 || h <= 0 || !PictureSizeValid(w, h)) {
    SetError(error,
             "frame size " + std::to_string(width) + "x" + std::to_string(height) + " is not supported");
    return false;
  }
  if (info.encoder.empty()) {
    if (!RawSizeFits(w, h)) {
      SetError(error, "frame too large for uncompressed RGB");
      return false;
    }
    format = FormatOf(info, w, h, nullptr);
    return true;
  }
  CodecContextPtr encoder;
  if (!OpenEncoder(info, w, h, AVRational{1, 25}, settings, encoder, error)) return false;
  format = FormatOf(info, w, h, encoder.get());
  return true;
}

const CompressorInfo* LocateCompressor(FourCC handler, int width, int height) {
  for (const CompressorInfo& info : AvailableCompressors()) {
    if (info.handler != handler) continue;
    CompressedFormat format;
    if (!GetCompressedFormat(info, width, height, {}, format)) return nullptr;
    return FindCompressor(handler);
  }
  return nullptr;
}

// Whether each frame the opened encoder makes depends on that frame alone, so
// that several encoders may take turns and still give the bytes one would:
// FFV1 at one key frame per frame starts every frame from fresh context
// states (its held-back output is two-pass statistics, never asked for here).
// The other intra-only encoders here spread frames over threads themselves.
bool FramesStandAlone(const AVCodecContext& encoder) {
  if (encoder.codec->capabilities & AV_CODEC_CAP_FRAME_THREADS) return false;
  return encoder.codec_id == AV_CODEC_ID_FFV1 && encoder.gop_size == 1 &&
         !(encoder.flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2));
}

// One of the encoders that take turns: encodes the frames it is given on a
// thread of its own, one at a time.
struct EncoderLane {
  CodecContextPtr own;
  AVCodecContext* encoder = nullptr;  // its own, or the stream's for the first lane
  FramePtr frame;
  PacketPtr packet;
  bool given = false;  // a frame went in whose packet has not been taken (the stream's thread only)
  std::mutex mutex;
  std::condition_variable wake;
  bool busy = false;
  bool quit = false;
  int result = 0;
  std::thread thread;

  EncoderLane() : thread([this] { Loop(); }) {}
  ~EncoderLane() {
    {
      std::lock_guard lock(mutex);
      quit = true;
    }
    wake.notify_all();
    thread.join();
  }

  void Give() {
    given = true;
    {
      std::lock_guard lock(mutex);
      busy = true;
    }
    wake.notify_all();
  }

  int Wait() {
    std::unique_lock lock(mutex);
    wake.wait(lock, [this] { return !busy; });
    given = false;
    return result;
  }

  void Loop() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return busy || quit; });
      if (quit) return;
      lock.unlock();
      const int rc = Encode();
      lock.lock();
      result = rc;
      busy = false;
      wake.notify_all();
    }
  }

  int Encode() {
    int rc = avcodec_send_frame(encoder, frame.get());
    av_frame_unref(frame.get());
    if (rc < 0) return rc;
    rc = avcodec_receive_packet(encoder, packet.get());
    return rc == AVERROR(EAGAIN) ? 0 : rc;  // a frame it swallowed is filled in at the end
  }
};

// At most this many encoders take turns: an FFV1 encoder holds about 50 MB
// of its own at 640 x 480.
constexpr unsigned kMaxLanes = 2;
// What the encoders taking turns may hold together. An FFV1 encoder's own
// memory grows with the picture (about 170 bytes a pixel: some 340 MB at
// 1920 x 1080), so large pictures get one encoder, which then spreads its
// slices over threads itself (FFV1 cuts pictures larger than 720 x 576 into
// slices on its own), as the ffmpeg CLI does.
constexpr uint64_t kLaneMemoryBudget = uint64_t{192} << 20;
constexpr uint64_t kEncoderBytesPerPixel = 170;

// How many encoders fit the budget at this picture size (at least one).
unsigned LanesWithinBudget(int width, int height, unsigned wanted) {
  const uint64_t perEncoder = static_cast<uint64_t>(std::max(width, 1)) * std::max(height, 1) * kEncoderBytesPerPixel;
  return static_cast<unsigned>(std::clamp<uint64_t>(kLaneMemoryBudget / perEncoder, 1, wanted));
}

// ---------------------------------------------------------------------------

struct CompressedVideoStream::Impl {
  AviWriter* writer = nullptr;
  int stream = -1;
  const CompressorInfo* info = nullptr;
  CompressorSettings settings;
  AVRational timeBase{1, 25};
  int inWidth = 0;
  int inHeight = 0;
  uint32_t inRowBytes = 0;
  int outWidth = 0;
  int outHeight = 0;
  CodecContextPtr encoder;
  FramePtr source;   // the DIB's rows, top-down
  SwsContextPtr fitter;  // pictures into the encoder's format and size
  std::array<int, 7> fitterKey{};  // what fitter was set up for
  FramePtr fitted;
  std::vector<uint8_t> dib;  // uncompressed output
  std::function<bool()> observer;
  PacketPtr packet;
  // Encoders taking turns, one per core, where frames stand alone.
  std::vector<std::unique_ptr<EncoderLane>> lanes;
  size_t nextLane = 0;
  CompressedFormat format;
  int64_t framesIn = 0;
  int64_t chunksOut = 0;
  bool formatSet = false;
  bool finished = false;
  bool failed = false;
  std::string error;

  AviResult Fail(AviResult code, const std::string& text) {
    failed = true;
    error = text;
    return code;
  }

  AviResult Append(const void* data, uint32_t size, bool key) {
    AviResult rc = writer->WriteChunk(stream, data, size, key);
    if (rc != AVIERR_OK) return Fail(rc, writer->LastError());
    ++chunksOut;
    if (observer && !observer()) return Fail(AVIERR_FILEWRITE, writer->LastError());
    return AVIERR_OK;
  }

  // Writes every packet the encoder has ready.
  AviResult Drain() {
    for (;;) {
      int rc = avcodec_receive_packet(encoder.get(), packet.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return AVIERR_OK;
      if (rc < 0) return Fail(AVIERR_COMPRESSOR, FfmpegError("encoding with " + info->encoder, rc));
      AviResult written =
          Append(packet->data, static_cast<uint32_t>(packet->size), (packet->flags & AV_PKT_FLAG_KEY) != 0);
      av_packet_unref(packet.get());
      if (written != AVIERR_OK) return written;
    }
  }

  // One frame to the encoder; packets go out in frame order.
  AviResult Encode(const AVFrame* frame) {
    if (lanes.empty()) {
      int rc = avcodec_send_frame(encoder.get(), frame);
      if (rc < 0) return Fail(AVIERR_COMPRESSOR, FfmpegError("encoding with " + info->encoder, rc));
      return Drain();
    }
    EncoderLane& lane = *lanes[nextLane];
    nextLane = (nextLane + 1) % lanes.size();
    // The lane's previous frame came just before all the frames now in the other lanes.
    AviResult collected = Collect(lane);
    if (collected != AVIERR_OK) return collected;
    if (av_frame_ref(lane.frame.get(), frame) < 0) return Fail(AVIERR_MEMORY, "out of memory for a picture");
    lane.Give();
    return AVIERR_OK;
  }

  // Writes the packet of the frame a lane was given last.
  AviResult Collect(EncoderLane& lane) {
    if (!lane.given) return AVIERR_OK;
    int rc = lane.Wait();
    if (rc < 0 && rc != AVERROR_EOF)
      return Fail(AVIERR_COMPRESSOR, FfmpegError("encoding with " + info->encoder, rc));
    if (!lane.packet->data) return AVIERR_OK;
    AviResult written = Append(lane.packet->data, static_cast<uint32_t>(lane.packet->size),
                               (lane.packet->flags & AV_PKT_FLAG_KEY) != 0);
    av_packet_unref(lane.packet.get());
    return written;
  }

  AviResult CollectAllLanes() {
    for (size_t i = 0; i < lanes.size(); ++i) {
      AviResult rc = Collect(*lanes[(nextLane + i) % lanes.size()]);
      if (rc != AVIERR_OK) return rc;
    }
    return AVIERR_OK;
  }

  // A single-threaded encoder of stand-alone frames: one encoder per core, the
  // stream's own the first.
  void OpenLanes() {
    const unsigned cores =
        LanesWithinBudget(outWidth, outHeight, std::min(std::thread::hardware_concurrency(), kMaxLanes));
    if (cores < 2 || !encoder || !FramesStandAlone(*encoder.get())) return;
    for (unsigned i = 0; i < cores; ++i) {
      auto lane = std::make_unique<EncoderLane>();
      lane->frame.reset(av_frame_alloc());
      lane->packet.reset(av_packet_alloc());
      // Any lane that cannot be had: the one encoder does it all.
      if (!lane->frame || !lane->packet ||
          (i > 0 && !OpenEncoder(*info, outWidth, outHeight, timeBase, settings, lane->own, nullptr, 1))) {
        lanes.clear();
        return;
      }
      lane->encoder = i > 0 ? lane->own.get() : encoder.get();
      lanes.push_back(std::move(lane));
    }
  }

  AviResult OpenConversion() {
    source.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    if (!source || !packet) return Fail(AVIERR_MEMORY, "out of memory");
    source->format = AV_PIX_FMT_BGR24;
    source->width = inWidth;
    source->height = inHeight;
    source->color_range = AVCOL_RANGE_JPEG;  // RGB is full range
    // Aligned buffers: libswscale must not read or write the padded DIB rows itself.
    if (av_frame_get_buffer(source.get(), 64) < 0) return Fail(AVIERR_MEMORY, "out of memory for frame buffers");
    return AVIERR_OK;
  }

  AviResult EncodeFrom(const AVFrame* in);
};

CompressedVideoStream::CompressedVideoStream() : impl_(std::make_unique<Impl>()) {}
CompressedVideoStream::~CompressedVideoStream() = default;

AviResult CompressedVideoStream::Make(AviWriter& writer, int stream, FourCC handler,
                                      const CompressorSettings& settings) {
  Impl& d = *impl_;
  d.lanes.clear();  // they may borrow the encoder that goes next
  d = Impl{};
  for (const CompressorInfo& info : AvailableCompressors())
    if (info.handler == handler) d.info = FindCompressor(handler);
  if (!d.info) {
    d.error = "no compressor '" + FourCCString(handler) + "' here";
    return AVIERR_NOCOMPRESSOR;
  }
  d.writer = &writer;
  d.stream = stream;
  d.settings = NormalizeSettings(*d.info, settings);
  return AVIERR_OK;
}

AviResult CompressedVideoStream::SetFormat(const BitmapInfoHeader& input) {
  Impl& d = *impl_;
  if (!d.writer) return AVIERR_BADHANDLE;
  if (d.failed) return AVIERR_ERROR;
  if (d.framesIn > 0 || d.finished) return d.Fail(AVIERR_UNSUPPORTED, "format change after the first frame");
  if (input.biBitCount != 24 || input.biCompression != 0 || input.biWidth <= 0 || input.biHeight <= 0) {
    d.error = "the compressor takes bottom-up 24-bit RGB frames only";
    return AVIERR_BADFORMAT;
  }
  d.inWidth = input.biWidth;
  d.inHeight = input.biHeight;
  d.inRowBytes = DibRowBytes(d.inWidth);
  CompressedSize(*d.info, d.inWidth, d.inHeight, d.outWidth, d.outHeight);
  d.lanes.clear();
  d.nextLane = 0;
  d.encoder.reset();
  if (d.info->encoder.empty()) {
    if (!RawSizeFits(d.inWidth, d.inHeight)) {
      d.error = "frame too large for uncompressed RGB";
      return AVIERR_BADFORMAT;
    }
    d.format = FormatOf(*d.info, d.outWidth, d.outHeight, nullptr);
  } else {
    if (d.outWidth <= 0 || d.outHeight <= 0 ||
        !OpenEncoder(*d.info, d.outWidth, d.outHeight, d.timeBase, d.settings, d.encoder, &d.error))
      return AVIERR_COMPRESSOR;
    d.format = FormatOf(*d.info, d.outWidth, d.outHeight, d.encoder.get());
    AviResult rc = d.OpenConversion();
    if (rc != AVIERR_OK) return rc;
    d.OpenLanes();
  }
  AviResult rc = d.writer->SetFormat(d.stream, d.format.FormatBlock());
  if (rc != AVIERR_OK) return d.Fail(rc, d.writer->LastError());
  d.formatSet = true;
  return AVIERR_OK;
}

AviResult CompressedVideoStream::Open(AviWriter& writer, const AviStreamInfo& info, FourCC handler,
                                      const BitmapInfoHeader& input, const CompressorSettings& settings) {
  AviStreamInfo header = info;
  header.fccType = streamtypeVIDEO;
  header.fccHandler = handler;
  // An encoder that crops to even sizes: the frame rectangle follows the picture.
  if (const CompressorInfo* compressor = FindCompressor(handler);
      compressor && input.biWidth > 0 && input.biHeight > 0) {
    int w = 0;
    int h = 0;
    CompressedSize(*compressor, input.biWidth, input.biHeight, w, h);
    if (w != input.biWidth || h != input.biHeight) {
      header.rcFrame.right = header.rcFrame.left + w;
      header.rcFrame.bottom = header.rcFrame.top + h;
    }
  }
  int stream = -1;
  AviResult rc = writer.AddStream(header, input.Serialize(), &stream);
  if (rc != AVIERR_OK) {
    impl_->error = writer.LastError();
    return rc;
  }
  rc = Make(writer, stream, handler, settings);
  if (rc != AVIERR_OK) return rc;
  impl_->timeBase = EncoderTimeBase(info.dwRate, info.dwScale);
  return SetFormat(input);
}

AviResult CompressedVideoStream::Write(const void* bits, uint32_t length) {
  Impl& d = *impl_;
  if (!d.writer) return AVIERR_BADHANDLE;
  if (d.failed || d.finished || !d.formatSet) return AVIERR_ERROR;
  const uint64_t imageBytes = static_cast<uint64_t>(d.inRowBytes) * static_cast<uint64_t>(d.inHeight);
  if (!bits || length < imageBytes) {
    d.error = "a frame of " + std::to_string(length) + " bytes is shorter than the image";
    return AVIERR_BADPARAM;
  }
  ++d.framesIn;
  if (!d.encoder) return d.Append(bits, static_cast<uint32_t>(imageBytes), true);

  const uint8_t* dib = static_cast<const uint8_t*>(bits);
  const size_t rowBytes = static_cast<size_t>(d.inWidth) * 3;
  for (int y = 0; y < d.inHeight; ++y)
    std::memcpy(d.source->data[0] + static_cast<size_t>(y) * d.source->linesize[0],
                dib + static_cast<size_t>(d.inHeight - 1 - y) * d.inRowBytes, rowBytes);
  return d.EncodeFrom(d.source.get());
}

namespace {

// The planes of frame starting at pixel (x, y).
void FramePlanesAt(const AVFrame& frame, AVPixelFormat format, int x, int y, uint8_t* planes[4]) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  for (int p = 0; p < 4 && frame.data[p]; ++p) {
    int step = 1;
    for (int c = 0; desc && c < desc->nb_components; ++c)
      if (desc->comp[c].plane == p) step = desc->comp[c].step;
    const bool subsampled = desc && (p == 1 || p == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
    const int px = subsampled ? x >> desc->log2_chroma_w : x;
    const int py = subsampled ? y >> desc->log2_chroma_h : y;
    planes[p] = frame.data[p] + static_cast<ptrdiff_t>(py) * frame.linesize[p] + static_cast<ptrdiff_t>(px) * step;
  }
}

}  // namespace

AviResult CompressedVideoStream::WritePicture(const AVFrame* in) {
  Impl& d = *impl_;
  if (!d.writer) return AVIERR_BADHANDLE;
  if (d.failed || d.finished || !d.formatSet) return AVIERR_ERROR;
  if (!in || in->width <= 0 || in->height <= 0) return AVIERR_BADPARAM;
  ++d.framesIn;
  return d.EncodeFrom(in);
}

// One picture into the encoder: as it is when it is already what the encoder
// takes; a picture of the stream's input size converted, cropped to the
// encoder's size like the DIB frames; any other size fitted with black borders.
AviResult CompressedVideoStream::Impl::EncodeFrom(const AVFrame* in) {
  const AVPixelFormat target = encoder ? encoder->pix_fmt : AV_PIX_FMT_BGR24;
  bool fullRange = false;
  const AVPixelFormat format = PlainPixelFormat(static_cast<AVPixelFormat>(in->format), in->color_range, fullRange);
  const bool encoderFull = encoder && encoder->color_range == AVCOL_RANGE_JPEG;
  const bool native = in->width == inWidth && in->height == inHeight;
  if (native && in->width == outWidth && in->height == outHeight && encoder && fullRange == encoderFull &&
      static_cast<AVPixelFormat>(in->format) == target) {
    FramePtr ref(av_frame_alloc());
    if (!ref || av_frame_ref(ref.get(), in) < 0) return Fail(AVIERR_MEMORY, "out of memory for a picture");
    ref->pts = framesIn - 1;
    ref->pict_type = AV_PICTURE_TYPE_NONE;
    ref->quality = encoder->global_quality;  // a fixed quantiser is read from each picture
    return Encode(ref.get());
  }
  if (!fitted) {
    fitted.reset(av_frame_alloc());
    if (!fitted) return Fail(AVIERR_MEMORY, "out of memory for a picture");
    fitted->format = target;
    fitted->width = outWidth;
    fitted->height = outHeight;
    if (av_frame_get_buffer(fitted.get(), 64) < 0) return Fail(AVIERR_MEMORY, "out of memory for a picture");
  }
  // The encoder may still hold the previous picture.
  int rc = av_frame_make_writable(fitted.get());
  if (rc < 0) return Fail(AVIERR_MEMORY, FfmpegError("frame buffer", rc));
  int x = 0, y = 0, w = outWidth, h = outHeight;
  int sourceWidth = std::min(in->width, outWidth), sourceHeight = std::min(in->height, outHeight);
  if (!native) {
    FitRect(in->width, in->height, outWidth, outHeight, x, y, w, h);
    sourceWidth = in->width;
    sourceHeight = in->height;
    const ptrdiff_t lines[4] = {fitted->linesize[0], fitted->linesize[1], fitted->linesize[2], fitted->linesize[3]};
    av_image_fill_black(fitted->data, lines, target, encoder ? encoder->color_range : AVCOL_RANGE_JPEG, outWidth,
                        outHeight);
  }
  const std::array<int, 7> key = {sourceWidth, sourceHeight, format, w, h, fullRange, encoderFull};
  if (!fitter || key != fitterKey) {
    // Ranges given before the scaler is set up: set afterwards, RGB to full-range YUV is not honoured.
    fitter.reset(sws_alloc_context());
    SwsContext* sws = fitter.get();
    if (sws) {
      av_opt_set_int(sws, "srcw", sourceWidth, 0);
      av_opt_set_int(sws, "srch", sourceHeight, 0);
      av_opt_set_int(sws, "src_format", format, 0);
      av_opt_set_int(sws, "dstw", w, 0);
      av_opt_set_int(sws, "dsth", h, 0);
      av_opt_set_int(sws, "dst_format", target, 0);
      av_opt_set_int(sws, "sws_flags", SWS_BICUBIC, 0);
      av_opt_set_int(sws, "src_range", fullRange ? 1 : 0, 0);
      av_opt_set_int(sws, "dst_range", !encoder || encoderFull ? 1 : 0, 0);
      if (sws_init_context(sws, nullptr, nullptr) < 0) fitter.reset();
    }
    fitterKey = key;
  }
  if (!fitter) return Fail(AVIERR_COMPRESSOR, "no conversion of the pictures for " + info->description);
  uint8_t* planes[4] = {};
  FramePlanesAt(*fitted.get(), target, x, y, planes);
  rc = sws_scale(fitter.get(), in->data, in->linesize, 0, sourceHeight, planes, fitted->linesize);
  if (rc < 0) return Fail(AVIERR_COMPRESSOR, FfmpegError("converting a picture", rc));
  if (!encoder) {
    // Uncompressed: the bottom-up rows of a DIB.
    const size_t row = DibRowBytes(outWidth);
    dib.assign(row * outHeight, 0);
    for (int r = 0; r < outHeight; ++r)
      std::memcpy(dib.data() + row * (outHeight - 1 - r), fitted->data[0] + static_cast<size_t>(r) * fitted->linesize[0],
                  static_cast<size_t>(outWidth) * 3);
    return Append(dib.data(), static_cast<uint32_t>(dib.size()), true);
  }
  fitted->pts = framesIn - 1;
  fitted->quality = encoder->global_quality;
  fitted->color_range = encoder->color_range;
  return Encode(fitted.get());
}

AviResult CompressedVideoStream::Finish() {
  Impl& d = *impl_;
  if (!d.writer) return AVIERR_BADHANDLE;
  if (d.finished) return d.failed ? AVIERR_ERROR : AVIERR_OK;
  d.finished = true;
  if (d.failed) return AVIERR_ERROR;
  if (d.encoder && d.formatSet) {
    AviResult collected = d.CollectAllLanes();
    if (collected != AVIERR_OK) return collected;
    int rc = avcodec_send_frame(d.encoder.get(), nullptr);
    if (rc < 0 && rc != AVERROR_EOF)
      return d.Fail(AVIERR_COMPRESSOR, FfmpegError("flushing " + d.info->encoder, rc));
    AviResult drained = d.Drain();
    if (drained != AVIERR_OK) return drained;
  }
  // A frame the encoder swallowed still takes its place in time.
  while (d.chunksOut < d.framesIn) {
    AviResult rc = d.Append(nullptr, 0, false);
    if (rc != AVIERR_OK) return rc;
  }
  d.lanes.clear();
  d.encoder.reset();
  return AVIERR_OK;
}

void CompressedVideoStream::SetChunkObserver(std::function<bool()> observer) { impl_->observer = std::move(observer); }

int CompressedVideoStream::Stream() const {
  return impl_->stream;
}
int64_t CompressedVideoStream::FramesIn() const {
  return impl_->framesIn;
}
int64_t CompressedVideoStream::ChunksOut() const {
  return impl_->chunksOut;
}
const CompressedFormat& CompressedVideoStream::OutputFormat() const {
  return impl_->format;
}
const std::string& CompressedVideoStream::LastError() const {
  return impl_->error;
}

}  // namespace media
