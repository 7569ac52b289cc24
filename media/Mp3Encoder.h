#pragma once
// Constant-bit-rate MP3 for the conversion's audio, through libmp3lame loaded
// at run time (nothing of LAME is linked at build time), and the MPEG layer-3
// format block and stream header the AVI writer puts in front of it.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "avi/AviTypes.h"

namespace media {

// The text every failure to load the encoder library reports, exactly.
inline constexpr const char* kLameInterfacesError = "Unable to get LAME interfaces";
inline constexpr const char* kLameLibraryName = "libmp3lame.so.0";

struct Mp3Settings {
  uint32_t inputRate = 0;   // rate the PCM is fed at; LAME resamples when it differs from outputRate
  uint32_t outputRate = 0;  // 32000, 44100 or 48000
  int channels = 0;         // 1 (mono) or 2 (joint stereo)
  int kbps = 0;             // 64 mono, 128 stereo
  // Frames of differing bit rates: the header counts frames (nBlockAlign 1152
  // for MPEG-1, 576 for MPEG-2/2.5; strh dwScale samples a frame, dwRate the
  // sample rate, dwSampleSize 0), one frame a chunk, as players expect of VBR.
  bool vbrHeader = false;
};

// Output rate 32000 up to a 32000 source, 44100 up to 44100, else 48000; at
// most two channels (more are downmixed before the encoder); 64 kbit/s mono,
// 128 stereo. inputRate = outputRate: the caller resamples.
Mp3Settings ChooseMp3Settings(uint32_t sourceRate, int sourceChannels);

// MPEGLAYER3WAVEFORMAT of the output stream, parsed and as its 30 bytes.
WaveFormatEx Mp3WaveFormat(const Mp3Settings& settings);
std::vector<uint8_t> Mp3FormatBlock(const Mp3Settings& settings);

// The byte-timed stream header of that stream ('auds', dwScale 1, dwRate the
// format's bytes per second, dwSampleSize 1, dwQuality -1).
AviStreamInfo Mp3StreamInfo(const Mp3Settings& settings, uint32_t initialFrames);

// Length in bytes (padding included) of the MPEG audio layer III frame whose
// header starts at p, or 0 when the four bytes there are no such header.
int Mp3FrameLength(const uint8_t* p, size_t available);

// What the header of a layer III frame says.
struct Mp3FrameHeader {
  uint32_t sampleRate = 0;
  int channels = 0;
  int kbps = 0;
  int samples = 0;  // per channel: 1152 for MPEG-1, 576 for MPEG-2 and 2.5
  int length = 0;   // bytes, padding included
};
bool ParseMp3FrameHeader(const uint8_t* p, size_t available, Mp3FrameHeader& header);

// Whether layer III has that sample rate (MPEG-1, 2 or 2.5).
bool IsMp3SampleRate(uint32_t rate);

// Samples per frame and channel of layer III at that sample rate.
int Mp3FrameSamples(uint32_t sampleRate);

// The layer III bit rate of that sample rate's table nearest kbps; a rate of
// 64 kbit/s a channel (MPEG-1) or 32 (MPEG-2/2.5) when kbps is 0.
int NearestMp3Kbps(double kbps, uint32_t sampleRate, int channels);

// What the frames at the start of an MP3 stream say, read from its data.
struct Mp3FrameSurvey {
  int frames = 0;
  int kbps = 0;              // the most frequent bit rate
  bool variable = false;     // frames of more than one bit rate
  double averageKbps = 0;
};
Mp3FrameSurvey SurveyMp3Frames(const uint8_t* data, size_t size);

// Loads the library once per process (guarded by a lock). On failure error is
// kLameInterfacesError exactly, nothing is kept, and a later call tries again.
// name: another library name, for tests of a missing one.
bool LoadLameLibrary(std::string& error, const char* name = kLameLibraryName);

// Receives one whole MP3 frame.
using Mp3FrameSink = std::function<bool(const uint8_t* data, size_t size)>;

// One MP3 stream: CBR, no VBR/Xing tag, bit reservoir off (every frame stands
// alone, so a joined file can be cut at any frame). Not thread-safe; one
// thread at a time.
class Mp3Encoder {
 public:
  Mp3Encoder();
  ~Mp3Encoder();  // closes the LAME stream
  Mp3Encoder(Mp3Encoder&&) noexcept;
  Mp3Encoder& operator=(Mp3Encoder&&) noexcept;
  Mp3Encoder(const Mp3Encoder&) = delete;
  Mp3Encoder& operator=(const Mp3Encoder&) = delete;

  // Loads the library when needed and opens a stream; a started stream is
  // closed first (without flushing).
  bool Start(const Mp3Settings& settings, std::string& error);
  // Interleaved 16-bit samples, frames per channel. Each complete MP3 frame
  // goes to sink as one packet; a false from sink stops and fails.
  bool Encode(const int16_t* interleaved, int frames, const Mp3FrameSink& sink, std::string& error);
  // Flushes LAME and delivers the remaining frames; the stream then takes no more input.
  bool Finish(const Mp3FrameSink& sink, std::string& error);

  bool Started() const;
  int FrameSize() const;  // samples per frame and channel (1152 for MPEG-1), 0 before Start
  // Samples a decoder outputs before the first input sample (LAME's delay plus
  // the decoder's 529, as FFmpeg counts initial padding), 0 before Start.
  int64_t EncoderDelay() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace media
