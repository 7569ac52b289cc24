#include "clips/AudioFormat.h"

#include <algorithm>
#include <cmath>

namespace {

// Far above any real audio (32 channels of 384 kHz 32-bit PCM is 49 MB/s),
// and its bit count still fits 32 bits.
constexpr double kMaxBytesPerSecond = 5e8;

struct NamedTag {
  uint16_t tag;
  const char* name;
};

constexpr NamedTag kFormatNames[] = {
    {0x0001, "PCM"},    {0x0002, "ADPCM MS"},  {0x0003, "PCM float"}, {0x0006, "A-law"},
    {0x0007, "mu-law"}, {0x0011, "ADPCM IMA"}, {0x0031, "GSM 6.10"},  {0x0050, "MPEG audio"},
    {0x0055, "MP3"},    {0x00FF, "AAC"},       {0x0161, "WMA"},       {0x0162, "WMA Pro"},
    {0x1610, "AAC"},    {0x2000, "AC-3"},      {0x2001, "DTS"},       {0x674F, "Vorbis"},
    {0x706D, "AAC"},    {0xF1AC, "FLAC"},
};

bool IsPcmLike(uint16_t tag) {
  return tag == 0x0001 || tag == 0x0003 || tag == 0x0006 || tag == 0x0007;
}

// Bytes per second that the stream header and the chunks give; 0 when they cannot.
double MeasuredBytesPerSecond(const media::AviStream& stream) {
  const media::AviStreamInfo& info = stream.info;
  if (info.dwRate == 0 || info.dwScale == 0) return 0;
  const double unitsPerSecond = static_cast<double>(info.dwRate) / info.dwScale;
  if (info.dwSampleSize > 0) return unitsPerSecond * info.dwSampleSize;
  // One packet per unit; empty chunks carry no packet.
  uint64_t bytes = 0, packets = 0;
  for (const media::AviChunk& chunk : stream.chunks)
    if (chunk.size > 0) {
      bytes += chunk.size;
      ++packets;
    }
  return packets ? unitsPerSecond * static_cast<double>(bytes) / static_cast<double>(packets) : 0;
}

}  // namespace

AudioFormat InspectAudioFormat(const media::AviStream& stream) {
  AudioFormat audio;
  audio.present = true;
  audio.handler = stream.info.fccHandler;
  media::WaveFormatEx wave;
  if (!media::WaveFormatEx::Parse(stream.format, wave)) return audio;
  audio.formatTag = wave.EffectiveTag();
  audio.channels = wave.nChannels;
  audio.sampleRate = wave.nSamplesPerSec;
  double bytesPerSecond = 0;
  if (IsPcmLike(audio.formatTag)) {
    const uint32_t block =
        wave.nBlockAlign ? wave.nBlockAlign : wave.nChannels * ((wave.wBitsPerSample + 7) / 8);
    bytesPerSecond = static_cast<double>(wave.nSamplesPerSec) * block;
  } else {
    bytesPerSecond = MeasuredBytesPerSecond(stream);
  }
  // A damaged header gives no figure or an absurd one: the format block's then.
  if (!(bytesPerSecond > 0) || bytesPerSecond > kMaxBytesPerSecond) bytesPerSecond = wave.nAvgBytesPerSec;
  audio.bitsPerSecond = static_cast<uint32_t>(std::llround(std::min(bytesPerSecond, kMaxBytesPerSecond) * 8));
  return audio;
}

QString AudioFormatName(uint16_t formatTag) {
  for (const NamedTag& named : kFormatNames)
    if (named.tag == formatTag) return QString::fromLatin1(named.name);
  return QString();
}

QString AudioCodecText(const AudioFormat& audio) {
  const QString name = AudioFormatName(audio.formatTag);
  if (!name.isEmpty()) return QLatin1Char(' ') + name;
  QString handler;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((audio.handler >> (8 * i)) & 0xFF);
    if (c >= 0x21 && c <= 0x7E) handler += QLatin1Char(c);
  }
  if (!handler.isEmpty()) return QLatin1Char(' ') + handler;
  return QStringLiteral(" 0x") +
         QString::number(audio.formatTag, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

uint32_t AudioKbps(const AudioFormat& audio) {
  return (audio.bitsPerSecond + 500) / 1000;
}
