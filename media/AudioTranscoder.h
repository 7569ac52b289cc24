#pragma once
// Audio that cannot be copied into a joined file: decoding a clip's audio and
// encoding it into the output stream's format, and the silent packets that
// fill audio shorter than its video. Only libavcodec and libswresample.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/AviTypes.h"

namespace media {

// One AVI audio stream: its format and how its chunks count time.
struct AudioStreamFormat {
  WaveFormatEx wave;
  uint32_t dwScale = 0;
  uint32_t dwRate = 0;
  uint32_t dwSampleSize = 0;

  bool IsPcm() const { return wave.wFormatTag == WAVE_FORMAT_PCM; }
  // dwSampleSize != 0: time = bytes / nAvgBytesPerSec; otherwise each
  // non-empty chunk is one block of dwScale / dwRate seconds.
  bool ByteTimed() const { return dwSampleSize != 0; }
  double ChunkSeconds(uint32_t size) const;
  // Usable for timing at all (non-zero rates where they are needed).
  bool Timeable() const;
};

// True when chunks of source, copied as they are into a stream described by
// target, are decoded as the same kind of audio and keep their time.
bool CanCopyAudio(const AudioStreamFormat& source, const AudioStreamFormat& target);

// "MP3 44100 Hz 2 ch 128 kbit/s", for messages.
std::string DescribeAudio(const WaveFormatEx& wave);

// Receives one encoded packet (for PCM: a run of whole samples).
using PacketSink = std::function<bool(const uint8_t* data, size_t size)>;

// Decodes one source format (or takes silence) and encodes into the target
// stream's format at its rate, channels and bit rate.
class AudioTranscoder {
 public:
  AudioTranscoder();
  ~AudioTranscoder();
  AudioTranscoder(const AudioTranscoder&) = delete;
  AudioTranscoder& operator=(const AudioTranscoder&) = delete;

  // source null: only FeedSilence is used. False with a reason when either
  // side has no codec here or the parameters are refused.
  bool Open(const WaveFormatEx* source, const AudioStreamFormat& target, std::string& error);

  // One chunk of source data (any split: a parser finds the frames).
  bool Feed(const uint8_t* data, size_t size, const PacketSink& sink, std::string& error);
  // samples of silence at the target rate.
  bool FeedSilence(int64_t samples, const PacketSink& sink, std::string& error);
  // Drains the decoder, resampler and encoder; the last partial frame is padded.
  bool Finish(const PacketSink& sink, std::string& error);

  // Drops the first n samples (target rate) of what the decoder delivers.
  void SkipSamples(int64_t n);
  // Samples of priming the encoder puts before the input (0 for PCM).
  int64_t EncoderDelay() const;
  // Samples per encoded packet (0 for PCM).
  int FrameSize() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A run of silent packets of a coded target format, steady-state frames of a
// fresh encoder. False with a reason when the format cannot be encoded here.
bool MakeSilentPackets(const AudioStreamFormat& target, std::vector<std::vector<uint8_t>>& packets,
                       std::string& error);

}  // namespace media
