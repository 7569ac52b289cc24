#include "media/Mp3Encoder.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <span>

namespace media {

namespace {

constexpr uint32_t kMonoKbps = 64;
constexpr uint32_t kStereoKbps = 128;
constexpr uint16_t kMpegLayer3IdMpeg = 1;
constexpr uint32_t kMpegLayer3FlagPaddingOff = 2;
constexpr uint16_t kMpegLayer3ExtraSize = 12;
constexpr uint32_t kLayer3SlotFactor = 144000;  // bytes of an MPEG-1 frame = factor * kbps / rate
constexpr int kLayer3Kbps[2][15] = {
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},  // MPEG-1 layer III
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};     // MPEG-2 and 2.5 layer III
constexpr uint32_t kMpeg1Rates[3] = {44100, 48000, 32000};              // halved for MPEG-2, quartered for 2.5

// LAME's own C interface, declared here: the library is bound at run time.
struct LameFlags;  // lame_global_flags, opaque
using LameHandle = LameFlags*;
constexpr int kLameJointStereo = 1;  // MPEG_mode JOINT_STEREO
constexpr int kLameMono = 3;         // MPEG_mode MONO
constexpr int kLameVbrOff = 0;       // vbr_mode vbr_off
constexpr int kLameQuality = 5;      // LAME's "good speed, reasonable quality"
// The layer III synthesis filter bank delays every decoder's output by this
// many samples on top of LAME's own delay.
constexpr int64_t kMp3DecoderDelay = 529;
constexpr size_t kLameOutputSlack = 7200;  // LAME's output may exceed 1.25 x samples by this much
constexpr int kMaxFramesPerCall = 65536;

struct LameApi {
  LameHandle (*init)();
  int (*close)(LameHandle);
  int (*setInSamplerate)(LameHandle, int);
  int (*setOutSamplerate)(LameHandle, int);
  int (*setNumChannels)(LameHandle, int);
  int (*setBrate)(LameHandle, int);
  int (*setMode)(LameHandle, int);
  int (*setVbr)(LameHandle, int);
  int (*setWriteVbrTag)(LameHandle, int);
  int (*setDisableReservoir)(LameHandle, int);
  int (*setQuality)(LameHandle, int);
  int (*initParams)(LameHandle);
  int (*encodeBuffer)(LameHandle, const short*, const short*, int, unsigned char*, int);
  int (*encodeInterleaved)(LameHandle, short*, int, unsigned char*, int);
  int (*encodeFlush)(LameHandle, unsigned char*, int);
  int (*getFramesize)(LameHandle);
  int (*getEncoderDelay)(LameHandle);
  int (*setWriteId3TagAutomatic)(LameHandle, int);  // optional: no tags inside the AVI stream
};

template <typename F>
bool Bind(void* library, const char* symbol, F& target) {
  target = reinterpret_cast<F>(dlsym(library, symbol));
  return target != nullptr;
}

bool BindAll(void* library, LameApi& api) {
  Bind(library, "lame_set_write_id3tag_automatic", api.setWriteId3TagAutomatic);
  return Bind(library, "lame_init", api.init) && Bind(library, "lame_close", api.close) &&
         Bind(library, "lame_set_in_samplerate", api.setInSamplerate) &&
         Bind(library, "lame_set_out_samplerate", api.setOutSamplerate) &&
         Bind(library, "lame_set_num_channels", api.setNumChannels) &&
         Bind(library, "lame_set_brate", api.setBrate) && Bind(library, "lame_set_mode", api.setMode) &&
         Bind(library, "lame_set_VBR", api.setVbr) &&
         Bind(library, "lame_set_bWriteVbrTag", api.setWriteVbrTag) &&
         Bind(library, "lame_set_disable_reservoir", api.setDisableReservoir) &&
         Bind(library, "lame_set_quality", api.setQuality) &&
         Bind(library, "lame_init_params", api.initParams) &&
         Bind(library, "lame_encode_buffer", api.encodeBuffer) &&
         Bind(library, "lame_encode_buffer_interleaved", api.encodeInterleaved) &&
         Bind(library, "lame_encode_flush", api.encodeFlush) &&
         Bind(library, "lame_get_framesize", api.getFramesize) &&
         Bind(library, "lame_get_encoder_delay", api.getEncoderDelay);
}

// The bound interface. A loaded library is never unloaded and its table never
// changes, so an encoder may keep the pointer without holding the lock.
std::mutex gLameLock;
const LameApi* gLameApi = nullptr;
std::string gLameName;

const LameApi* CurrentLameApi() {
  std::lock_guard<std::mutex> lock(gLameLock);
  return gLameApi;
}

}  // namespace

Mp3Settings ChooseMp3Settings(uint32_t sourceRate, int sourceChannels) {
  Mp3Settings s;
  s.outputRate = sourceRate <= 32000 ? 32000 : sourceRate <= 44100 ? 44100 : 48000;
  s.inputRate = s.outputRate;
  s.channels = std::clamp(sourceChannels, 1, 2);
  s.kbps = static_cast<int>(s.channels == 1 ? kMonoKbps : kStereoKbps);
  return s;
}

WaveFormatEx Mp3WaveFormat(const Mp3Settings& settings) {
  const uint32_t kbps = static_cast<uint32_t>(std::max(settings.kbps, 0));
  const uint16_t frameSamples = static_cast<uint16_t>(Mp3FrameSamples(settings.outputRate));
  WaveFormatEx w;
  w.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  w.nChannels = static_cast<uint16_t>(settings.channels);
  w.nSamplesPerSec = settings.outputRate;
  w.nAvgBytesPerSec = kbps * 1000 / 8;
  w.nBlockAlign = settings.vbrHeader ? frameSamples : 1;
  w.wBitsPerSample = 0;
  w.cbSize = kMpegLayer3ExtraSize;
  AppendLE16(w.extra, kMpegLayer3IdMpeg);
  AppendLE32(w.extra, settings.vbrHeader ? 0 : kMpegLayer3FlagPaddingOff);
  // nBlockSize: a CBR frame's bytes; VBR frames have none, so as other VBR writers its samples.
  const uint32_t slot = frameSamples == 1152 ? kLayer3SlotFactor : kLayer3SlotFactor / 2;
  AppendLE16(w.extra, settings.vbrHeader ? frameSamples
                                         : static_cast<uint16_t>(settings.outputRate ? kbps * slot / settings.outputRate : 0));
  AppendLE16(w.extra, 1);  // nFramesPerBlock
  AppendLE16(w.extra, 0);  // nCodecDelay
  return w;
}

std::vector<uint8_t> Mp3FormatBlock(const Mp3Settings& settings) {
  return Mp3WaveFormat(settings).Serialize();
}

AviStreamInfo Mp3StreamInfo(const Mp3Settings& settings, uint32_t initialFrames) {
  const WaveFormatEx w = Mp3WaveFormat(settings);
  AviStreamInfo info;
  info.fccType = streamtypeAUDIO;
  info.dwScale = w.nBlockAlign;
  info.dwRate = settings.vbrHeader ? w.nSamplesPerSec : w.nAvgBytesPerSec;
  info.dwSampleSize = settings.vbrHeader ? 0 : w.nBlockAlign;
  info.dwInitialFrames = initialFrames;
  info.dwQuality = 0xFFFFFFFFu;
  return info;
}

bool ParseMp3FrameHeader(const uint8_t* p, size_t available, Mp3FrameHeader& header) {
  header = Mp3FrameHeader{};
  if (available < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  const int version = (p[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  const int layer = (p[1] >> 1) & 3;    // 1 layer III
  const int bitrateIndex = p[2] >> 4;
  const int rateIndex = (p[2] >> 2) & 3;
  if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return false;
  const bool mpeg1 = version == 3;
  header.sampleRate = kMpeg1Rates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  header.kbps = kLayer3Kbps[mpeg1 ? 0 : 1][bitrateIndex];
  header.channels = (p[3] >> 6) == 3 ? 1 : 2;
  header.samples = mpeg1 ? 1152 : 576;
  const int padding = (p[2] >> 1) & 1;
  header.length = static_cast<int>((mpeg1 ? kLayer3SlotFactor : kLayer3SlotFactor / 2) * header.kbps /
                                   header.sampleRate) + padding;
  return true;
}

int Mp3FrameLength(const uint8_t* p, size_t available) {
  Mp3FrameHeader header;
  return ParseMp3FrameHeader(p, available, header) ? header.length : 0;
}

bool IsMp3SampleRate(uint32_t rate) {
  for (uint32_t mpeg1 : kMpeg1Rates)
    if (rate == mpeg1 || rate == mpeg1 / 2 || rate == mpeg1 / 4) return true;
  return false;
}

int Mp3FrameSamples(uint32_t sampleRate) { return sampleRate >= 32000 ? 1152 : 576; }

int NearestMp3Kbps(double kbps, uint32_t sampleRate, int channels) {
  const bool mpeg1 = Mp3FrameSamples(sampleRate) == 1152;
  if (!(kbps > 0)) kbps = (mpeg1 ? 64.0 : 32.0) * std::clamp(channels, 1, 2);
  const auto rates = std::span<const int>(kLayer3Kbps[mpeg1 ? 0 : 1]).subspan(1);  // index 0 is "free"
  int best = rates.front();
  for (int candidate : rates)
    if (std::abs(candidate - kbps) < std::abs(best - kbps)) best = candidate;
  return best;
}

Mp3FrameSurvey SurveyMp3Frames(const uint8_t* data, size_t size) {
  Mp3FrameSurvey survey;
  std::map<int, int> counts;
  uint64_t bytes = 0, samples = 0;
  uint32_t rate = 0;
  for (size_t at = 0; at + 4 <= size;) {
    Mp3FrameHeader h;
    if (!ParseMp3FrameHeader(data + at, size - at, h) || at + static_cast<size_t>(h.length) > size) {
      ++at;  // no frame here: look for the next one
      continue;
    }
    ++counts[h.kbps];
    ++survey.frames;
    bytes += static_cast<uint64_t>(h.length);
    samples += static_cast<uint64_t>(h.samples);
    rate = h.sampleRate;
    at += static_cast<size_t>(h.length);
  }
  int most = 0;
  for (const auto& [kbps, count] : counts)
    if (count > most) {
      most = count;
      survey.kbps = kbps;
    }
  survey.variable = counts.size() > 1;
  if (samples && rate) survey.averageKbps = static_cast<double>(bytes) * 8 * rate / static_cast<double>(samples) / 1000;
  return survey;
}

bool LoadLameLibrary(std::string& error, const char* name) {
  if (!name) name = kLameLibraryName;
  std::lock_guard<std::mutex> lock(gLameLock);
  if (gLameApi && gLameName == name) return true;
  void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  auto api = std::make_unique<LameApi>();
  if (!library || !BindAll(library, *api)) {
    if (library) dlclose(library);
    error = kLameInterfacesError;
    return false;
  }
  // Tables of earlier loads stay valid for encoders that still use them.
  gLameApi = api.release();
  gLameName = name;
  return true;
}

// ---------------------------------------------------------------------------

struct Mp3Encoder::Impl {
  const LameApi* api = nullptr;
  LameHandle lame = nullptr;
  bool finished = false;
  std::vector<unsigned char> output;  // LAME's output buffer, reused
  std::vector<uint8_t> pending;       // encoded bytes not yet a whole frame
  int channels = 0;

  ~Impl() { Close(); }
  void Close() {
    if (lame) api->close(lame);
    lame = nullptr;
    pending.clear();
    finished = false;
  }
  bool Configure(const Mp3Settings& s);
  bool Deliver(size_t produced, const Mp3FrameSink& sink, std::string& error);
};

bool Mp3Encoder::Impl::Configure(const Mp3Settings& s) {
  if (api->setWriteId3TagAutomatic) api->setWriteId3TagAutomatic(lame, 0);
  return api->setInSamplerate(lame, static_cast<int>(s.inputRate)) >= 0 &&
         api->setOutSamplerate(lame, static_cast<int>(s.outputRate)) >= 0 &&
         api->setNumChannels(lame, s.channels) >= 0 &&
         api->setMode(lame, s.channels == 1 ? kLameMono : kLameJointStereo) >= 0 &&
         api->setVbr(lame, kLameVbrOff) >= 0 && api->setBrate(lame, s.kbps) >= 0 &&
         api->setWriteVbrTag(lame, 0) >= 0 && api->setDisableReservoir(lame, 1) >= 0 &&
         api->setQuality(lame, kLameQuality) >= 0 && api->initParams(lame) >= 0;
}

// Appends what LAME produced and hands every whole frame to sink. Bytes that
// are no frame header (LAME writes none when its tags are off) are skipped.
bool Mp3Encoder::Impl::Deliver(size_t produced, const Mp3FrameSink& sink, std::string& error) {
  pending.insert(pending.end(), output.begin(), output.begin() + static_cast<std::ptrdiff_t>(produced));
  size_t at = 0;
  while (pending.size() - at >= 4) {
    const int length = Mp3FrameLength(pending.data() + at, pending.size() - at);
    if (length == 0) {
      ++at;
      continue;
    }
    if (pending.size() - at < static_cast<size_t>(length)) break;
    if (!sink(pending.data() + at, static_cast<size_t>(length))) {
      error = "Writing an MP3 frame failed";
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
      return false;
    }
    at += static_cast<size_t>(length);
  }
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
  return true;
}

Mp3Encoder::Mp3Encoder() : impl_(std::make_unique<Impl>()) {}
Mp3Encoder::~Mp3Encoder() = default;
Mp3Encoder::Mp3Encoder(Mp3Encoder&&) noexcept = default;
Mp3Encoder& Mp3Encoder::operator=(Mp3Encoder&&) noexcept = default;

bool Mp3Encoder::Start(const Mp3Settings& settings, std::string& error) {
  if (!impl_) impl_ = std::make_unique<Impl>();
  impl_->Close();
  if (!LoadLameLibrary(error)) return false;
  if (settings.channels < 1 || settings.channels > 2 || settings.kbps <= 0 || settings.inputRate == 0 ||
      settings.outputRate == 0) {
    error = "MP3 encoder: unsupported settings (" + std::to_string(settings.channels) + " channels, " +
            std::to_string(settings.inputRate) + " Hz)";
    return false;
  }
  impl_->api = CurrentLameApi();
  impl_->lame = impl_->api->init();
  if (!impl_->lame) {
    error = "MP3 encoder: lame_init failed";
    return false;
  }
  if (!impl_->Configure(settings)) {
    impl_->Close();
    error = "MP3 encoder: LAME refused " + std::to_string(settings.outputRate) + " Hz, " +
            std::to_string(settings.channels) + " channels, " + std::to_string(settings.kbps) + " kbit/s";
    return false;
  }
  impl_->channels = settings.channels;
  return true;
}

bool Mp3Encoder::Encode(const int16_t* interleaved, int frames, const Mp3FrameSink& sink,
                        std::string& error) {
  if (!Started() || impl_->finished) {
    error = "MP3 encoder: not started";
    return false;
  }
  if (frames > 0 && !interleaved) {
    error = "MP3 encoder: no samples";
    return false;
  }
  Impl& d = *impl_;
  // Pieces of bounded size keep LAME's output buffer small however much comes in.
  for (int at = 0; at < frames; at += kMaxFramesPerCall) {
    const int count = std::min(kMaxFramesPerCall, frames - at);
    const int16_t* piece = interleaved + static_cast<size_t>(at) * static_cast<size_t>(d.channels);
    d.output.resize(static_cast<size_t>(count) * 5 / 4 + kLameOutputSlack);  // LAME's documented worst case
    const int size = static_cast<int>(d.output.size());
    // The interleaved entry point always reads two channels; mono goes through the planar one.
    const int produced =
        d.channels == 1
            ? d.api->encodeBuffer(d.lame, piece, piece, count, d.output.data(), size)
            : d.api->encodeInterleaved(d.lame, const_cast<short*>(piece), count, d.output.data(), size);
    if (produced < 0) {
      error = "MP3 encoder: lame_encode_buffer failed (" + std::to_string(produced) + ")";
      return false;
    }
    if (!d.Deliver(static_cast<size_t>(produced), sink, error)) return false;
  }
  return true;
}

bool Mp3Encoder::Finish(const Mp3FrameSink& sink, std::string& error) {
  if (!Started() || impl_->finished) {
    error = "MP3 encoder: not started";
    return false;
  }
  Impl& d = *impl_;
  d.finished = true;
  d.output.resize(std::max<size_t>(d.output.size(), kLameOutputSlack));
  const int produced = d.api->encodeFlush(d.lame, d.output.data(), static_cast<int>(d.output.size()));
  if (produced < 0) {
    error = "MP3 encoder: lame_encode_flush failed (" + std::to_string(produced) + ")";
    return false;
  }
  if (!d.Deliver(static_cast<size_t>(produced), sink, error)) return false;
  d.pending.clear();  // a cut frame after the flush is no frame
  return true;
}

bool Mp3Encoder::Started() const {
  return impl_ && impl_->lame;
}

int Mp3Encoder::FrameSize() const {
  return Started() ? impl_->api->getFramesize(impl_->lame) : 0;
}

int64_t Mp3Encoder::EncoderDelay() const {
  return Started() ? impl_->api->getEncoderDelay(impl_->lame) + kMp3DecoderDelay : 0;
}

}  // namespace media
