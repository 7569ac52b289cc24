#include "media/HeaderCheck.h"

#include "avi/AviReader.h"

namespace media {

namespace {

constexpr uint16_t kWaveFormatIeeeFloat = 0x0003;
// One audio chunk (or block) lasts at least a microsecond and at most a minute;
// byte-timed audio moves at most a gigabyte a second.
constexpr double kMinUnitSeconds = 1e-6;
constexpr double kMaxUnitSeconds = 60;
constexpr double kMaxAudioBytesPerSecond = 1e9;
constexpr uint16_t kMaxCodedBlock = 16384;

HeaderFault Fault(int stream, bool video, const char* field, uint64_t value, const char* why) {
  return HeaderFault{stream, video, field, value, why};
}

std::optional<HeaderFault> VideoFault(int n, const AviStream& s) {
  const AviStreamInfo& info = s.info;
  if (info.dwScale == 0) return Fault(n, true, "dwScale", 0, "no frame rate");
  if (info.dwRate == 0) return Fault(n, true, "dwRate", 0, "no frame rate");
  const double fps = static_cast<double>(info.dwRate) / info.dwScale;
  // The field out of proportion with its partner is the damaged one.
  if (fps > kMaxFramesPerSecond) return Fault(n, true, "dwRate", info.dwRate, "no usable frame rate");
  if (fps < kMinFramesPerSecond) return Fault(n, true, "dwScale", info.dwScale, "no usable frame rate");
  // The format first: a frame rectangle the file leaves empty is taken from it.
  BitmapInfoHeader bih;
  if (BitmapInfoHeader::Parse(s.format, bih)) {
    const int64_t width = bih.biWidth, height = bih.biHeight;
    if (width > kMaxPictureEdge || width < 0)
      return Fault(n, true, "biWidth", static_cast<uint32_t>(bih.biWidth), "no usable picture width");
    if (height > kMaxPictureEdge || height < -kMaxPictureEdge)
      return Fault(n, true, "biHeight", static_cast<uint32_t>(bih.biHeight), "no usable picture height");
  }
  const int64_t frameWidth = static_cast<int64_t>(info.rcFrame.right) - info.rcFrame.left;
  const int64_t frameHeight = static_cast<int64_t>(info.rcFrame.bottom) - info.rcFrame.top;
  if (frameWidth > kMaxPictureEdge) return Fault(n, true, "rcFrame", static_cast<uint64_t>(frameWidth), "no usable picture width");
  if (frameHeight > kMaxPictureEdge)
    return Fault(n, true, "rcFrame", static_cast<uint64_t>(frameHeight), "no usable picture height");
  return std::nullopt;
}

std::optional<HeaderFault> AudioFault(int n, const AviStream& s) {
  const AviStreamInfo& info = s.info;
  WaveFormatEx wave;
  if (!WaveFormatEx::Parse(s.format, wave)) return std::nullopt;  // the engines refuse it as unreadable
  if (wave.nChannels == 0 || wave.nChannels > kMaxChannels)
    return Fault(n, false, "nChannels", wave.nChannels, "no usable channel count");
  if (wave.nSamplesPerSec == 0 || wave.nSamplesPerSec > kMaxSampleRate)
    return Fault(n, false, "nSamplesPerSec", wave.nSamplesPerSec, "no usable sample rate");
  const uint16_t tag = wave.EffectiveTag();
  if (tag == WAVE_FORMAT_PCM || tag == kWaveFormatIeeeFloat) {
    // PCM describes its samples exactly: any other block size misplaces every one.
    const uint16_t bits = wave.wBitsPerSample;
    const bool sampleSize = tag == WAVE_FORMAT_PCM ? bits == 8 || bits == 16 || bits == 24 || bits == 32
                                                   : bits == 32 || bits == 64;
    if (!sampleSize) return Fault(n, false, "wBitsPerSample", bits, "no PCM sample size");
    if (wave.nBlockAlign != wave.nChannels * (bits / 8))
      return Fault(n, false, "nBlockAlign", wave.nBlockAlign, "not the size of one sample of every channel");
  } else {
    // Coded audio: frames of DTS, the largest, take 16 KiB; no sample is wider than 64 bits.
    if (wave.nBlockAlign > kMaxCodedBlock) return Fault(n, false, "nBlockAlign", wave.nBlockAlign, "no usable block size");
    if (wave.wBitsPerSample > 64) return Fault(n, false, "wBitsPerSample", wave.wBitsPerSample, "no usable sample size");
  }
  if (info.dwScale == 0) return Fault(n, false, "dwScale", 0, "no usable rate");
  if (info.dwRate == 0) return Fault(n, false, "dwRate", 0, "no usable rate");
  const double unitSeconds = static_cast<double>(info.dwScale) / info.dwRate;
  if (info.dwSampleSize == 0) {
    // One chunk per block of dwScale / dwRate seconds.
    if (unitSeconds > kMaxUnitSeconds) return Fault(n, false, "dwScale", info.dwScale, "no usable rate");
    if (unitSeconds < kMinUnitSeconds) return Fault(n, false, "dwRate", info.dwRate, "no usable rate");
  } else {
    const double bytesPerSecond = static_cast<double>(info.dwSampleSize) / unitSeconds;
    if (bytesPerSecond > kMaxAudioBytesPerSecond)
      return Fault(n, false, info.dwSampleSize > info.dwRate ? "dwSampleSize" : "dwRate",
                   info.dwSampleSize > info.dwRate ? info.dwSampleSize : info.dwRate, "no usable rate");
    if (bytesPerSecond < 1) return Fault(n, false, "dwScale", info.dwScale, "no usable rate");
  }
  return std::nullopt;
}

}  // namespace

std::string HeaderFault::Text() const {
  return std::string(video ? "the video" : "the audio") + " stream's " + field + " is " + std::to_string(value) +
         ": " + why;
}

std::optional<HeaderFault> FindHeaderFault(const AviReader& reader) {
  for (size_t i = 0; i < reader.StreamCount(); ++i) {
    const AviStream& s = reader.Stream(i);
    const int n = static_cast<int>(i);
    std::optional<HeaderFault> fault;
    if (s.info.fccType == streamtypeVIDEO) fault = VideoFault(n, s);
    else if (s.info.fccType == streamtypeAUDIO) fault = AudioFault(n, s);
    if (fault) return fault;
  }
  return std::nullopt;
}

}  // namespace media
