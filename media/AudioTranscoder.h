#pragma once
// Audio that cannot be copied into a joined file: decoding a clip's audio and
// encoding it into the output stream's format, and the silent packets that
// fill audio shorter than its video. Only libavcodec and libswresample.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "avi/AviTypes.h"

namespace media {

// One AVI audio stream: its format and how its chunks count time.
struct AudioStreamFormat {
  WaveFormatEx wave;
  uint32_t dwScale = 0;
  uint32_t dwRate = 0;
  uint32_t dwSampleSize = 0;
  // Bytes per second of a byte-timed stream when measured from its data
  // (header fields that disagree); 0: taken from the headers.
  double measuredByteRate = 0;
  // MP3: what its frames say, read from its data (headers give 0 or a stray
  // figure): the most frequent bit rate, and whether frames differ in it.
  uint32_t frameKbps = 0;
  bool variableFrames = false;

  bool IsPcm() const { return wave.wFormatTag == WAVE_FORMAT_PCM; }
  // dwSampleSize != 0: time = bytes / ByteRate(); otherwise each non-empty
  // chunk is one block of dwScale / dwRate seconds.
  bool ByteTimed() const { return dwSampleSize != 0; }
  // PCM: its own sample layout. Coded: dwRate / dwScale units of
  // dwSampleSize bytes, as the stream header says (writers put stray values
  // in nAvgBytesPerSec), unless measured.
  double ByteRate() const;
  // The stream header's and the format's byte rates disagree: the data must tell.
  bool RatesDisagree() const;
  double ChunkSeconds(uint32_t size) const;
  // Usable for timing at all (non-zero rates where they are needed).
  bool Timeable() const;
};

// True when source and target are the same audio as a decoder sees it (codec,
// rate, channels, sample layout or bit rate), so the source's chunks can be
// copied without re-encoding: as they are, or split into whole frames when the
// target counts one frame a chunk and the source counts bytes.
bool CanCopyAudio(const AudioStreamFormat& source, const AudioStreamFormat& target);

bool IsMp3(const WaveFormatEx& wave);
// The bit rate to encode frames of an MP3 format at: its frames' own, else its
// header's, else a usual one of its rate; always one the encoder can make.
int Mp3EncodingKbps(const AudioStreamFormat& format);

// "MP3 44100 Hz 2 ch 128 kbit/s", for messages.
std::string DescribeAudio(const WaveFormatEx& wave);
// The note a join gives for a clip whose audio it re-encodes.
std::string ReencodedNote(const std::string& path, const WaveFormatEx& from, const WaveFormatEx& to);
// The note for a clip whose audio packets that did not decode became silence.
std::string DamagedAudioNote(const std::string& path, int64_t packets);

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

  // A continuous output over several sources: decodes what the current
  // source still holds, then takes the next one (null: none, only silence)
  // without ending the encoder's stream.
  bool ChangeSource(const WaveFormatEx* source, const PacketSink& sink, std::string& error);
  // Of the current source's samples (target rate): skip the first, then keep
  // at most keep (-1: all).
  void SetSourceWindow(int64_t skip, int64_t keep);
  // Samples handed towards the encoder so far, silence included.
  int64_t SamplesQueued() const;
  // Samples of priming the encoder puts before the input (0 for PCM).
  int64_t EncoderDelay() const;
  // Samples per encoded packet (0 for PCM).
  int FrameSize() const;

  // Each chunk of the source holds whole packets of samples each (source
  // rate): they go to the decoder without a parser, and one that does not
  // decode is replaced by silence of its length. Before the first Feed.
  void SetWholePackets(int samples);
  // Of the current source: packets that did not decode (silence in their
  // place) and packets that did.
  int64_t DamagedPackets() const;
  int64_t DecodedPackets() const;
  const std::string& FirstDamage() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Bytes per second of coded audio as its data decodes (bytes over decoded
// duration); 0 when it cannot be decoded here.
double MeasureByteRate(const WaveFormatEx& wave, const std::vector<uint8_t>& data);

// Splits coded audio into whole frames, byte for byte, without decoding.
class AudioFrameSplitter {
 public:
  AudioFrameSplitter();
  ~AudioFrameSplitter();
  AudioFrameSplitter(const AudioFrameSplitter&) = delete;
  AudioFrameSplitter& operator=(const AudioFrameSplitter&) = delete;

  bool Open(const WaveFormatEx& wave, std::string& error);
  bool Feed(const uint8_t* data, size_t size, const PacketSink& sink, std::string& error);
  bool Finish(const PacketSink& sink, std::string& error);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether a format's frames can be found by AudioFrameSplitter.
bool CanSplitFrames(const WaveFormatEx& wave);

// A run of silent packets of a coded target format, steady-state frames of a
// fresh encoder. False with a reason when the format cannot be encoded here.
bool MakeSilentPackets(const AudioStreamFormat& target, std::vector<std::vector<uint8_t>>& packets,
                       std::string& error);

}  // namespace media
