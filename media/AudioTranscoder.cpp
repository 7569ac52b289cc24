#include "media/AudioTranscoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "media/FfmpegUtil.h"
#include "media/Mp3Encoder.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

namespace media {

namespace {

using ParserPtr = FfmpegOwner<AVCodecParserContext, av_parser_close>;
using FifoPtr = FfmpegOwner<AVAudioFifo, av_audio_fifo_free>;

constexpr uint16_t kWaveFormatIeeeFloat = 0x0003;
constexpr uint16_t kWaveFormatMpeg = 0x0050;

uint16_t EffectiveTag(const WaveFormatEx& wave) { return wave.EffectiveTag(); }

AVCodecID CodecIdOf(const WaveFormatEx& wave) {
  uint16_t tag = EffectiveTag(wave);
  if (tag == WAVE_FORMAT_PCM) {
    switch (wave.wBitsPerSample) {
      case 8: return AV_CODEC_ID_PCM_U8;
      case 16: return AV_CODEC_ID_PCM_S16LE;
      case 24: return AV_CODEC_ID_PCM_S24LE;
      case 32: return AV_CODEC_ID_PCM_S32LE;
      default: return AV_CODEC_ID_NONE;
    }
  }
  if (tag == kWaveFormatIeeeFloat)
    return wave.wBitsPerSample == 64 ? AV_CODEC_ID_PCM_F64LE : AV_CODEC_ID_PCM_F32LE;
  const AVCodecTag* tables[] = {avformat_get_riff_audio_tags(), nullptr};
  return av_codec_get_id(tables, tag);
}

// Packed sample format written for a PCM target, NONE when there is none.
AVSampleFormat PcmSampleFormat(const WaveFormatEx& wave) {
  uint16_t tag = EffectiveTag(wave);
  if (tag == kWaveFormatIeeeFloat) return wave.wBitsPerSample == 64 ? AV_SAMPLE_FMT_DBL : AV_SAMPLE_FMT_FLT;
  if (tag != WAVE_FORMAT_PCM) return AV_SAMPLE_FMT_NONE;
  switch (wave.wBitsPerSample) {
    case 8: return AV_SAMPLE_FMT_U8;
    case 16: return AV_SAMPLE_FMT_S16;
    case 32: return AV_SAMPLE_FMT_S32;
    default: return AV_SAMPLE_FMT_NONE;
  }
}

bool IsPcmTag(uint16_t tag) { return tag == WAVE_FORMAT_PCM || tag == kWaveFormatIeeeFloat; }

const AVCodec* FindEncoder(AVCodecID id) {
  // libmp3lame is the MP3 encoder of choice; others only when it is missing.
  if (id == AV_CODEC_ID_MP3)
    if (const AVCodec* lame = avcodec_find_encoder_by_name("libmp3lame")) return lame;
  return avcodec_find_encoder(id);
}

std::string CodecName(AVCodecID id) {
  const char* name = avcodec_get_name(id);
  return name ? name : "unknown";
}

}  // namespace

double AudioStreamFormat::ByteRate() const {
  if (measuredByteRate > 0) return measuredByteRate;
  if (IsPcm()) return static_cast<double>(wave.nBlockAlign) * wave.nSamplesPerSec;
  if (dwSampleSize && dwScale && dwRate) return static_cast<double>(dwRate) * dwSampleSize / dwScale;
  return wave.nAvgBytesPerSec;
}

bool AudioStreamFormat::RatesDisagree() const {
  if (!ByteTimed() || IsPcm() || measuredByteRate > 0 || !dwSampleSize || !dwScale || !dwRate) return false;
  const double header = static_cast<double>(dwRate) * dwSampleSize / dwScale;
  return std::abs(header - wave.nAvgBytesPerSec) > 0.02 * header;
}

double AudioStreamFormat::ChunkSeconds(uint32_t size) const {
  if (size == 0) return 0.0;
  if (ByteTimed()) {
    const double rate = ByteRate();
    return rate > 0 ? size / rate : 0.0;
  }
  return dwRate ? static_cast<double>(dwScale) / dwRate : 0.0;
}

bool AudioStreamFormat::Timeable() const {
  if (ByteTimed()) return ByteRate() > 0 && (!IsPcm() || (wave.nBlockAlign && wave.nSamplesPerSec));
  return dwRate != 0 && dwScale != 0;
}

bool CanSplitFrames(const WaveFormatEx& wave) {
  const uint16_t tag = EffectiveTag(wave);
  return tag == WAVE_FORMAT_MPEGLAYER3 || tag == kWaveFormatMpeg || tag == WAVE_FORMAT_DOLBY_AC3;
}

bool IsMp3(const WaveFormatEx& wave) { return EffectiveTag(wave) == WAVE_FORMAT_MPEGLAYER3; }

int Mp3EncodingKbps(const AudioStreamFormat& format) {
  const WaveFormatEx& w = format.wave;
  const double kbps = format.frameKbps ? format.frameKbps : w.nAvgBytesPerSec * 8.0 / 1000;
  return NearestMp3Kbps(kbps, w.nSamplesPerSec, w.nChannels);
}

namespace {

bool SameChunkTime(const AudioStreamFormat& s, const AudioStreamFormat& t) {
  return static_cast<uint64_t>(s.dwScale) * t.dwRate == static_cast<uint64_t>(t.dwScale) * s.dwRate;
}

// AAC as raw frames, one a chunk, described by the AudioSpecificConfig.
bool SameAacConfig(const AudioStreamFormat& s, const AudioStreamFormat& t) {
  return CodecIdOf(t.wave) == AV_CODEC_ID_AAC && !s.ByteTimed() && !t.ByteTimed() && SameChunkTime(s, t) &&
         s.wave.extra == t.wave.extra && !t.wave.extra.empty();
}

}  // namespace

bool CanCopyAudio(const AudioStreamFormat& s, const AudioStreamFormat& t) {
  if (!s.Timeable() || !t.Timeable()) return false;
  if (EffectiveTag(s.wave) != EffectiveTag(t.wave) || s.wave.nChannels != t.wave.nChannels ||
      s.wave.nSamplesPerSec != t.wave.nSamplesPerSec)
    return false;
  if (IsPcmTag(EffectiveTag(t.wave)))
    return s.wave.nBlockAlign == t.wave.nBlockAlign && s.wave.wBitsPerSample == t.wave.wBitsPerSample;
  // MP3 frames describe themselves: a target that counts frames takes any of
  // them (split one a chunk); one that counts bytes those of its bit rate.
  if (IsMp3(t.wave) && !t.ByteTimed()) return true;
  if (IsMp3(t.wave) && !s.variableFrames && !t.variableFrames && Mp3EncodingKbps(s) == Mp3EncodingKbps(t) &&
      (s.frameKbps || s.wave.nAvgBytesPerSec) && (t.frameKbps || t.wave.nAvgBytesPerSec))
    return true;
  if (SameAacConfig(s, t)) return true;
  // Block codecs (ADPCM) decode a block at a time: the same block, the same rate.
  const bool blocks = !CanSplitFrames(t.wave);
  if (blocks && s.wave.nBlockAlign != t.wave.nBlockAlign) return false;
  const bool sameRate = s.ByteTimed() && t.ByteTimed()
                            ? std::abs(s.ByteRate() - t.ByteRate()) <= 0.005 * t.ByteRate()
                            : s.wave.nAvgBytesPerSec == t.wave.nAvgBytesPerSec;
  if (!sameRate) return false;
  if (t.ByteTimed()) return true;
  // The target counts blocks: block-timed sources of the same block length, or
  // byte-timed ones whose frames can be found.
  if (s.ByteTimed()) return CanSplitFrames(s.wave);
  return static_cast<uint64_t>(s.dwScale) * t.dwRate == static_cast<uint64_t>(t.dwScale) * s.dwRate;
}

std::string DescribeAudio(const WaveFormatEx& wave) {
  std::string text = CodecName(CodecIdOf(wave));
  text += " " + std::to_string(wave.nSamplesPerSec) + " Hz " + std::to_string(wave.nChannels) + " ch";
  // A header without a bit rate (VBR MP3 among them) says nothing of it.
  if (!IsPcmTag(EffectiveTag(wave)) && wave.nAvgBytesPerSec)
    text += " " + std::to_string(wave.nAvgBytesPerSec * 8 / 1000) + " kbit/s";
  return text;
}

std::string ReencodedNote(const std::string& path, const WaveFormatEx& from, const WaveFormatEx& to) {
  return "audio of " + path + " re-encoded from " + DescribeAudio(from) + " to " + DescribeAudio(to);
}

std::string DamagedAudioNote(const std::string& path, int64_t packets) {
  return "audio of " + path + ": " + std::to_string(packets) +
         " damaged packets could not be decoded and were replaced by silence of their length";
}

struct AudioTranscoder::Impl {
  CodecContextPtr decoder;
  ParserPtr parser;
  CodecContextPtr encoder;
  std::unique_ptr<Mp3Encoder> lame;  // MP3 targets: our own LAME binding instead of an FFmpeg encoder
  SwrContextPtr resampler;
  bool resamplerReady = false;
  FifoPtr fifo;
  FramePtr decoded;
  FramePtr toEncode;
  PacketPtr packet;
  AVSampleFormat outFormat = AV_SAMPLE_FMT_NONE;
  AVChannelLayout outLayout{};
  int outRate = 0;
  int frameSize = 0;  // samples handed to the encoder at a time
  int64_t skip = 0;
  int64_t keep = -1;    // samples still taken from the source; -1: all
  int64_t queued = 0;   // samples put into the FIFO, silence included
  std::vector<uint8_t> pcmBytes;
  int wholePackets = 0;     // samples a source chunk holds when chunks are whole packets
  int lastSamples = 0;      // of the last packet decoded
  int64_t damaged = 0, decodedPackets = 0;
  std::string firstDamage;  // what the decoder said of the first damaged packet
  // MP3 whose chunks do not hold whole frames: found by their headers here,
  // so bytes that are no frame are counted as the frames they replace.
  bool walkMp3 = false;
  std::vector<uint8_t> mp3Bytes;
  size_t skippedBytes = 0;
  int lastFrameBytes = 0;
  bool adts = false;  // AAC target without a configuration
  std::vector<uint8_t> adtsFrame;

  ~Impl() { av_channel_layout_uninit(&outLayout); }

  // An AAC stream without its configuration is ADTS: every frame carries
  // its own header, so the encoder's raw frames get one.
  bool SinkAdts(const PacketSink& sink) {
    static constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    int index = 0;
    while (index < 12 && kRates[index] != outRate) ++index;
    const int profile = encoder->profile >= 0 ? encoder->profile : FF_PROFILE_AAC_LOW;  // object type - 1
    const int channels = outLayout.nb_channels;
    const size_t length = static_cast<size_t>(packet->size) + 7;
    adtsFrame.assign({0xFF, 0xF1, static_cast<uint8_t>((profile & 3) << 6 | index << 2 | (channels >> 2 & 1)),
                      static_cast<uint8_t>((channels & 3) << 6 | (length >> 11 & 3)), static_cast<uint8_t>(length >> 3),
                      static_cast<uint8_t>((length & 7) << 5 | 0x1F), 0xFC});
    adtsFrame.insert(adtsFrame.end(), packet->data, packet->data + packet->size);
    return sink(adtsFrame.data(), adtsFrame.size());
  }

  bool Encode(AVFrame* frame, const PacketSink& sink, std::string& error) {
    int rc = avcodec_send_frame(encoder.get(), frame);
    if (rc < 0 && rc != AVERROR_EOF) {
      error = FfmpegError("audio encoding", rc);
      return false;
    }
    for (;;) {
      rc = avcodec_receive_packet(encoder.get(), packet.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc < 0) {
        error = FfmpegError("audio encoding", rc);
        return false;
      }
      bool ok = adts ? SinkAdts(sink) : sink(packet->data, static_cast<size_t>(packet->size));
      av_packet_unref(packet.get());
      if (!ok) {
        error = "the encoded audio could not be written";
        return false;
      }
    }
  }

  // Hands whole frames from the FIFO on; with flush also the remainder.
  bool Drain(bool flush, const PacketSink& sink, std::string& error) {
    for (;;) {
      int available = av_audio_fifo_size(fifo.get());
      if (available <= 0 || (!flush && available < frameSize)) return true;
      int n = std::min(available, frameSize);
      if (lame) {
        pcmBytes.resize(static_cast<size_t>(n) * 2 * outLayout.nb_channels);
        void* planes[1] = {pcmBytes.data()};
        if (av_audio_fifo_read(fifo.get(), planes, n) < n) {
          error = "audio buffer read failed";
          return false;
        }
        if (!lame->Encode(reinterpret_cast<const int16_t*>(pcmBytes.data()), n, sink, error)) return false;
        continue;
      }
      if (!encoder) {
        int bytes = av_samples_get_buffer_size(nullptr, outLayout.nb_channels, n, outFormat, 1);
        pcmBytes.resize(static_cast<size_t>(bytes));
        void* planes[1] = {pcmBytes.data()};
        av_audio_fifo_read(fifo.get(), planes, n);
        if (!sink(pcmBytes.data(), pcmBytes.size())) {
          error = "the audio could not be written";
          return false;
        }
        continue;
      }
      av_frame_unref(toEncode.get());
      toEncode->format = outFormat;
      toEncode->sample_rate = outRate;
      av_channel_layout_copy(&toEncode->ch_layout, &outLayout);
      bool variable = encoder->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE;
      toEncode->nb_samples = variable ? n : frameSize;
      int rc = av_frame_get_buffer(toEncode.get(), 0);
      if (rc < 0) {
        error = FfmpegError("audio frame", rc);
        return false;
      }
      // The last partial frame is padded with silence.
      av_samples_set_silence(toEncode->extended_data, 0, toEncode->nb_samples, outLayout.nb_channels, outFormat);
      av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(toEncode->extended_data), n);
      if (!Encode(toEncode.get(), sink, error)) return false;
    }
  }

  // Puts decoded samples into the FIFO, past the ones to skip and up to the
  // ones to keep.
  bool Store(uint8_t** data, int samples, std::string& error) {
    const int dropped = static_cast<int>(std::min<int64_t>(skip, samples));
    skip -= dropped;
    int n = samples - dropped;
    if (keep >= 0) {
      n = static_cast<int>(std::min<int64_t>(n, keep));
      keep -= n;
    }
    if (n <= 0) return true;
    // Move past the dropped samples plane by plane.
    const int planes = av_sample_fmt_is_planar(outFormat) ? outLayout.nb_channels : 1;
    const int step = av_get_bytes_per_sample(outFormat) * (planes == 1 ? outLayout.nb_channels : 1);
    uint8_t* shifted[64];
    for (int p = 0; p < planes && p < 64; ++p) shifted[p] = data[p] + static_cast<size_t>(dropped) * step;
    if (av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(shifted), n) < 0) {
      error = "out of memory for audio";
      return false;
    }
    queued += n;
    return true;
  }

  bool Resample(const AVFrame* frame, std::string& error) {
    if (!resamplerReady) {
      SwrContext* swr = nullptr;
      AVChannelLayout inLayout{};
      if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_default(&inLayout, frame->ch_layout.nb_channels);
      else av_channel_layout_copy(&inLayout, &frame->ch_layout);
      int rc = swr_alloc_set_opts2(&swr, &outLayout, outFormat, outRate, &inLayout,
                                   static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
      av_channel_layout_uninit(&inLayout);
      resampler.reset(swr);
      if (rc >= 0) rc = swr_init(resampler.get());
      if (rc < 0) {
        error = FfmpegError("audio resampling", rc);
        return false;
      }
      resamplerReady = true;
    }
    int room = swr_get_out_samples(resampler.get(), frame ? frame->nb_samples : 0);
    if (room <= 0) return true;
    uint8_t** out = nullptr;
    int lineSize = 0;
    if (av_samples_alloc_array_and_samples(&out, &lineSize, outLayout.nb_channels, room, outFormat, 0) < 0) {
      error = "out of memory for audio";
      return false;
    }
    int got = swr_convert(resampler.get(), out, room, frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr,
                          frame ? frame->nb_samples : 0);
    bool ok = got >= 0;
    if (!ok) error = FfmpegError("audio resampling", got);
    if (ok && got > 0) ok = Store(out, got, error);
    av_freep(&out[0]);
    av_freep(&out);
    return ok;
  }

  bool OpenDecoder(const WaveFormatEx& source, std::string& error) {
    lastSamples = 0;
    damaged = decodedPackets = 0;
    AVCodecID id = CodecIdOf(source);
    const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
    if (!codec || source.nChannels == 0 || source.nSamplesPerSec == 0) {
      error = "no decoder for the audio format (" + DescribeAudio(source) + ")";
      return false;
    }
    decoder.reset(avcodec_alloc_context3(codec));
    if (!decoder) {
      error = "out of memory for audio";
      return false;
    }
    AVCodecContext* c = decoder.get();
    c->sample_rate = static_cast<int>(source.nSamplesPerSec);
    av_channel_layout_default(&c->ch_layout, source.nChannels);
    c->block_align = source.nBlockAlign;
    c->bit_rate = static_cast<int64_t>(source.nAvgBytesPerSec) * 8;
    c->bits_per_coded_sample = source.wBitsPerSample;
    // The codec's own setup (AAC's AudioSpecificConfig) follows the format;
    // an extensible format's follows its 22 bytes of channel mask and GUID.
    const size_t skip = source.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? std::min<size_t>(22, source.extra.size()) : 0;
    const size_t extraSize = source.extra.size() - skip;
    if (extraSize > 0) {
      c->extradata = static_cast<uint8_t*>(av_mallocz(extraSize + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!c->extradata) {
        error = "out of memory for audio";
        return false;
      }
      std::memcpy(c->extradata, source.extra.data() + skip, extraSize);
      c->extradata_size = static_cast<int>(extraSize);
    }
    int rc = avcodec_open2(c, codec, nullptr);
    if (rc < 0) {
      error = FfmpegError("the audio decoder refuses " + DescribeAudio(source), rc);
      return false;
    }
    // Chunks of coded audio need not hold whole frames: a parser finds them.
    // Raw AAC frames (the setup given above) have no marks a parser can find:
    // each chunk is one. ADTS (no setup) carries its own.
    const bool rawAac = id == AV_CODEC_ID_AAC && extraSize > 0;
    walkMp3 = id == AV_CODEC_ID_MP3 && wholePackets == 0;
    mp3Bytes.clear();
    skippedBytes = 0;
    lastFrameBytes = 0;
    if (!IsPcmTag(EffectiveTag(source)) && !rawAac && !walkMp3 && wholePackets == 0) parser.reset(av_parser_init(id));
    return true;
  }

  // Decodes what the decoder and resampler still hold into the FIFO.
  bool DecodeBytes(const uint8_t* data, size_t size, const PacketSink& sink, std::string& error) {
    PacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(size)) < 0) {
      error = "out of memory for audio";
      return false;
    }
    std::memcpy(packet->data, data, size);
    return Decode(packet.get(), sink, error);
  }

  // A frame counts when it follows the last one, or when the next one's
  // header follows it (or the data ends there); bytes between frames stand
  // for as many frames as they would hold.
  bool WalkMp3(const uint8_t* data, size_t size, bool last, const PacketSink& sink, std::string& error) {
    mp3Bytes.insert(mp3Bytes.end(), data, data + size);
    const uint8_t* p = mp3Bytes.data();
    const size_t n = mp3Bytes.size();
    size_t at = 0;
    while (n - at >= 4) {
      const int length = Mp3FrameLength(p + at, n - at);
      const size_t end = at + static_cast<size_t>(length);
      const bool inStep = skippedBytes == 0 && lastFrameBytes > 0;
      if (length > 0 && end + 4 > n && !last && !inStep) break;  // whether the next header follows is not known yet
      if (length > 0 && end > n && !last) break;                  // the rest of the frame comes with the next chunk
      if (length == 0 || end > n || (!inStep && end + 4 <= n && Mp3FrameLength(p + end, n - end) == 0)) {
        ++at;
        ++skippedBytes;
        continue;
      }
      if (skippedBytes > 0) {
        Mp3FrameHeader header;
        if (lastSamples == 0 && ParseMp3FrameHeader(p + at, n - at, header)) lastSamples = header.samples;
        const int per = lastFrameBytes ? lastFrameBytes : length;
        for (int64_t k = std::llround(static_cast<double>(skippedBytes) / per); k > 0; --k)
          if (!Damaged(AVERROR_INVALIDDATA, sink, error)) return false;
        skippedBytes = 0;
      }
      lastFrameBytes = length;
      if (!DecodeBytes(p + at, static_cast<size_t>(length), sink, error)) return false;
      at = end;
    }
    if (last) {
      // Nothing but bytes that are no frames: all of it damaged.
      if (skippedBytes + (n - at) > 0 && decodedPackets == 0 && damaged == 0 && !Damaged(AVERROR_INVALIDDATA, sink, error))
        return false;
      at = n;
    }
    mp3Bytes.erase(mp3Bytes.begin(), mp3Bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
  }

  bool DrainDecoder(const PacketSink& sink, std::string& error) {
    if (!decoder) return true;
    if (walkMp3 && !WalkMp3(nullptr, 0, true, sink, error)) return false;
    if (parser) {
      uint8_t* frame = nullptr;
      int frameSize = 0;
      av_parser_parse2(parser.get(), decoder.get(), &frame, &frameSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (frameSize > 0) {
        PacketPtr last(av_packet_alloc());
        if (last && av_new_packet(last.get(), frameSize) >= 0) {
          std::memcpy(last->data, frame, static_cast<size_t>(frameSize));
          if (!Decode(last.get(), sink, error)) return false;
        }
      }
    }
    if (!Decode(nullptr, sink, error)) return false;
    return !resamplerReady || Resample(nullptr, error);
  }

  // A packet that does not decode keeps its time: silence of its length.
  bool Damaged(int rc, const PacketSink& sink, std::string& error) {
    if (damaged++ == 0) firstDamage = FfmpegError("audio decoding", rc);
    int samples = lastSamples ? lastSamples : decoder->frame_size ? decoder->frame_size : wholePackets;
    if (samples <= 0 || decoder->sample_rate <= 0) return true;
    const int64_t n = av_rescale(samples, outRate, decoder->sample_rate);
    uint8_t** data = nullptr;
    if (av_samples_alloc_array_and_samples(&data, nullptr, outLayout.nb_channels, static_cast<int>(n), outFormat, 0) < 0) {
      error = "out of memory for audio";
      return false;
    }
    av_samples_set_silence(data, 0, static_cast<int>(n), outLayout.nb_channels, outFormat);
    bool ok = Store(data, static_cast<int>(n), error);
    av_freep(&data[0]);
    av_freep(&data);
    return ok && Drain(false, sink, error);
  }

  bool Decode(const AVPacket* source, const PacketSink& sink, std::string& error) {
    int rc = avcodec_send_packet(decoder.get(), source);
    if (rc < 0 && rc != AVERROR_EOF) {
      if (rc == AVERROR(ENOMEM) || !source) return error = FfmpegError("audio decoding", rc), false;
      return Damaged(rc, sink, error);
    }
    // An MP3 frame whose bit reservoir was lost with a damaged one before it
    // may decode to nothing and no error: its time is silence too.
    const bool frameDue = source && decoder->codec_id == AV_CODEC_ID_MP3 && (walkMp3 || wholePackets > 0);
    for (int frames = 0;; ++frames) {
      rc = avcodec_receive_frame(decoder.get(), decoded.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return frames > 0 || !frameDue || Damaged(AVERROR_INVALIDDATA, sink, error);
      if (rc == AVERROR(ENOMEM)) {
        error = FfmpegError("audio decoding", rc);
        return false;
      }
      if (rc < 0) return Damaged(rc, sink, error);
      ++decodedPackets;
      lastSamples = decoded->nb_samples;
      bool ok = Resample(decoded.get(), error);
      av_frame_unref(decoded.get());
      if (!ok || !Drain(false, sink, error)) return false;
    }
  }
};

AudioTranscoder::AudioTranscoder() : impl_(std::make_unique<Impl>()) {}
AudioTranscoder::~AudioTranscoder() = default;

bool AudioTranscoder::Open(const WaveFormatEx* source, const AudioStreamFormat& target, std::string& error) {
  impl_ = std::make_unique<Impl>();
  Impl& d = *impl_;
  d.decoded.reset(av_frame_alloc());
  d.toEncode.reset(av_frame_alloc());
  d.packet.reset(av_packet_alloc());
  if (!d.decoded || !d.toEncode || !d.packet) {
    error = "out of memory for audio";
    return false;
  }
  const WaveFormatEx& out = target.wave;
  if (out.nChannels == 0 || out.nSamplesPerSec == 0) {
    error = "the output audio format has no channels or no sample rate";
    return false;
  }
  av_channel_layout_default(&d.outLayout, out.nChannels);
  d.outRate = static_cast<int>(out.nSamplesPerSec);

  if (IsPcmTag(EffectiveTag(out))) {
    d.outFormat = PcmSampleFormat(out);
    if (d.outFormat == AV_SAMPLE_FMT_NONE) {
      error = "cannot write PCM audio of " + std::to_string(out.wBitsPerSample) + " bits";
      return false;
    }
    d.frameSize = 4096;
  } else if (EffectiveTag(out) == WAVE_FORMAT_MPEGLAYER3) {
    Mp3Settings settings;
    settings.inputRate = settings.outputRate = out.nSamplesPerSec;
    settings.channels = out.nChannels;
    settings.kbps = Mp3EncodingKbps(target);
    d.lame = std::make_unique<Mp3Encoder>();
    if (!d.lame->Start(settings, error)) return false;
    d.outFormat = AV_SAMPLE_FMT_S16;
    d.frameSize = d.lame->FrameSize();
  } else {
    AVCodecID id = CodecIdOf(out);
    const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : FindEncoder(id);
    if (!codec) {
      error = "no encoder for the output audio format (" + DescribeAudio(out) + ")";
      return false;
    }
    d.encoder.reset(avcodec_alloc_context3(codec));
    if (!d.encoder) {
      error = "out of memory for audio";
      return false;
    }
    AVCodecContext* e = d.encoder.get();
    e->sample_rate = d.outRate;
    av_channel_layout_copy(&e->ch_layout, &d.outLayout);
    e->bit_rate = static_cast<int64_t>(out.nAvgBytesPerSec) * 8;
    e->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    e->time_base = AVRational{1, d.outRate};
    if (e->priv_data && std::strcmp(codec->name, "libmp3lame") == 0)
      av_opt_set_int(e->priv_data, "reservoir", 0, 0);  // every frame decodable on its own
    int rc = avcodec_open2(e, codec, nullptr);
    if (rc < 0) {
      error = FfmpegError("the " + std::string(codec->name) + " encoder refuses " + DescribeAudio(out), rc);
      return false;
    }
    d.outFormat = e->sample_fmt;
    d.frameSize = e->frame_size > 0 ? e->frame_size : 1152;
    d.adts = id == AV_CODEC_ID_AAC && (out.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? out.extra.size() <= 22 : out.extra.empty());
  }
  d.fifo.reset(av_audio_fifo_alloc(d.outFormat, d.outLayout.nb_channels, d.frameSize * 2));
  if (!d.fifo) {
    error = "out of memory for audio";
    return false;
  }

  return !source || d.OpenDecoder(*source, error);
}

bool AudioTranscoder::Feed(const uint8_t* data, size_t size, const PacketSink& sink, std::string& error) {
  Impl& d = *impl_;
  if (!d.decoder || size == 0) return true;
  if (d.walkMp3) return d.WalkMp3(data, size, false, sink, error);
  if (!d.parser) {
    PacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(size)) < 0) {
      error = "out of memory for audio";
      return false;
    }
    std::memcpy(packet->data, data, size);
    return d.Decode(packet.get(), sink, error);
  }
  while (size > 0) {
    uint8_t* frame = nullptr;
    int frameSize = 0;
    int used = av_parser_parse2(d.parser.get(), d.decoder.get(), &frame, &frameSize, data, static_cast<int>(size),
                                AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) {
      error = FfmpegError("audio parsing", used);
      return false;
    }
    data += used;
    size -= static_cast<size_t>(used);
    if (frameSize > 0) {
      PacketPtr packet(av_packet_alloc());
      if (!packet || av_new_packet(packet.get(), frameSize) < 0) {
        error = "out of memory for audio";
        return false;
      }
      std::memcpy(packet->data, frame, static_cast<size_t>(frameSize));
      if (!d.Decode(packet.get(), sink, error)) return false;
    }
    if (used == 0 && frameSize == 0) break;
  }
  return true;
}

bool AudioTranscoder::FeedSilence(int64_t samples, const PacketSink& sink, std::string& error) {
  Impl& d = *impl_;
  std::vector<uint8_t*> planes(static_cast<size_t>(d.outLayout.nb_channels));
  while (samples > 0) {
    int n = static_cast<int>(std::min<int64_t>(samples, d.frameSize));
    uint8_t** data = nullptr;
    if (av_samples_alloc_array_and_samples(&data, nullptr, d.outLayout.nb_channels, n, d.outFormat, 0) < 0) {
      error = "out of memory for audio";
      return false;
    }
    av_samples_set_silence(data, 0, n, d.outLayout.nb_channels, d.outFormat);
    bool ok = av_audio_fifo_write(d.fifo.get(), reinterpret_cast<void**>(data), n) >= 0;
    d.queued += n;
    av_freep(&data[0]);
    av_freep(&data);
    if (!ok) {
      error = "out of memory for audio";
      return false;
    }
    samples -= n;
    if (!d.Drain(false, sink, error)) return false;
  }
  return true;
}

bool AudioTranscoder::Finish(const PacketSink& sink, std::string& error) {
  Impl& d = *impl_;
  if (!d.DrainDecoder(sink, error)) return false;
  if (!d.Drain(true, sink, error)) return false;
  if (d.encoder && !d.Encode(nullptr, sink, error)) return false;
  if (d.lame && !d.lame->Finish(sink, error)) return false;
  return true;
}

bool AudioTranscoder::ChangeSource(const WaveFormatEx* source, const PacketSink& sink, std::string& error) {
  Impl& d = *impl_;
  if (!d.DrainDecoder(sink, error)) return false;
  d.parser.reset();
  d.walkMp3 = false;
  d.decoder.reset();
  d.resampler.reset();
  d.resamplerReady = false;
  d.skip = 0;
  d.keep = -1;
  d.wholePackets = 0;
  return !source || d.OpenDecoder(*source, error);
}

void AudioTranscoder::SetWholePackets(int samples) {
  impl_->wholePackets = std::max(samples, 0);
  if (samples > 0) {
    impl_->parser.reset();
    impl_->walkMp3 = false;
  }
}

int64_t AudioTranscoder::DamagedPackets() const { return impl_->damaged; }
int64_t AudioTranscoder::DecodedPackets() const { return impl_->decodedPackets; }
const std::string& AudioTranscoder::FirstDamage() const { return impl_->firstDamage; }

void AudioTranscoder::SetSourceWindow(int64_t skip, int64_t keep) {
  impl_->skip = std::max<int64_t>(0, skip);
  impl_->keep = keep;
}

int64_t AudioTranscoder::SamplesQueued() const { return impl_->queued; }

int64_t AudioTranscoder::EncoderDelay() const {
  if (impl_->lame) return impl_->lame->EncoderDelay();
  return impl_->encoder ? impl_->encoder->initial_padding : 0;
}

int AudioTranscoder::FrameSize() const { return impl_->encoder || impl_->lame ? impl_->frameSize : 0; }

bool MakeSilentPackets(const AudioStreamFormat& target, std::vector<std::vector<uint8_t>>& packets,
                       std::string& error) {
  packets.clear();
  AudioTranscoder encoder;
  if (!encoder.Open(nullptr, target, error)) return false;
  int frame = std::max(encoder.FrameSize(), 1);
  std::vector<std::vector<uint8_t>> all;
  PacketSink collect = [&](const uint8_t* data, size_t size) {
    all.emplace_back(data, data + size);
    return true;
  };
  if (!encoder.FeedSilence(static_cast<int64_t>(frame) * 64, collect, error) || !encoder.Finish(collect, error))
    return false;
  // Frames from the middle: past the encoder's start-up, before its flush.
  if (all.size() < 16) {
    error = "the encoder gave too few silent frames";
    return false;
  }
  packets.assign(all.begin() + 8, all.end() - 8);
  return true;
}

double MeasureByteRate(const WaveFormatEx& wave, const std::vector<uint8_t>& data) {
  if (data.empty() || wave.nChannels == 0 || wave.nSamplesPerSec == 0) return 0;
  AudioStreamFormat pcm;
  pcm.wave.wFormatTag = WAVE_FORMAT_PCM;
  pcm.wave.nChannels = wave.nChannels;
  pcm.wave.nSamplesPerSec = wave.nSamplesPerSec;
  pcm.wave.wBitsPerSample = 16;
  pcm.wave.nBlockAlign = static_cast<uint16_t>(2 * wave.nChannels);
  pcm.wave.nAvgBytesPerSec = pcm.wave.nBlockAlign * wave.nSamplesPerSec;
  AudioTranscoder decoder;
  std::string error;
  if (!decoder.Open(&wave, pcm, error)) return 0;
  uint64_t bytes = 0;
  PacketSink count = [&bytes](const uint8_t*, size_t n) {
    bytes += n;
    return true;
  };
  if (!decoder.Feed(data.data(), data.size(), count, error) || !decoder.Finish(count, error) || bytes == 0) return 0;
  const double seconds = static_cast<double>(bytes) / pcm.wave.nAvgBytesPerSec;
  return static_cast<double>(data.size()) / seconds;
}

struct AudioFrameSplitter::Impl {
  CodecContextPtr context;  // the parser's companion; never opened
  ParserPtr parser;
};

AudioFrameSplitter::AudioFrameSplitter() : impl_(std::make_unique<Impl>()) {}
AudioFrameSplitter::~AudioFrameSplitter() = default;

bool AudioFrameSplitter::Open(const WaveFormatEx& wave, std::string& error) {
  const AVCodecID id = CodecIdOf(wave);
  const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
  impl_->parser.reset(codec ? av_parser_init(id) : nullptr);
  impl_->context.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
  if (!impl_->parser || !impl_->context) {
    error = "no frame parser for " + DescribeAudio(wave);
    return false;
  }
  return true;
}

bool AudioFrameSplitter::Feed(const uint8_t* data, size_t size, const PacketSink& sink, std::string& error) {
  Impl& d = *impl_;
  while (size > 0) {
    uint8_t* frame = nullptr;
    int frameSize = 0;
    const int used = av_parser_parse2(d.parser.get(), d.context.get(), &frame, &frameSize, data,
                                      static_cast<int>(std::min<size_t>(size, INT32_MAX)), AV_NOPTS_VALUE,
                                      AV_NOPTS_VALUE, 0);
    if (used < 0) {
      error = FfmpegError("audio parsing", used);
      return false;
    }
    data += used;
    size -= static_cast<size_t>(used);
    if (frameSize > 0 && !sink(frame, static_cast<size_t>(frameSize))) {
      error = "the audio could not be written";
      return false;
    }
    if (used == 0 && frameSize == 0) break;
  }
  return true;
}

bool AudioFrameSplitter::Finish(const PacketSink& sink, std::string& error) {
  uint8_t* frame = nullptr;
  int frameSize = 0;
  av_parser_parse2(impl_->parser.get(), impl_->context.get(), &frame, &frameSize, nullptr, 0, AV_NOPTS_VALUE,
                   AV_NOPTS_VALUE, 0);
  if (frameSize > 0 && !sink(frame, static_cast<size_t>(frameSize))) {
    error = "the audio could not be written";
    return false;
  }
  return true;
}

}  // namespace media
