// The MP3 encoder over libmp3lame: a tone encoded into an AVI by our writer,
// read back and decoded by ffprobe/ffmpeg; the settings rule; a missing library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "media/AviWriter.h"
#include "media/Mp3Encoder.h"
#include "tests/support/Fixtures.h"

using namespace media;
using namespace testsupport;

namespace {

constexpr double kTone = 1000.0;
constexpr double kAmplitude = 0.5;

TEST(Mp3Settings, FollowTheSourceRateAndChannels) {
  struct Case {
    uint32_t rate;
    int channels;
    uint32_t outRate;
    int outChannels, kbps;
    uint16_t blockSize;
  } cases[] = {{22050, 1, 32000, 1, 64, 288},  {8000, 1, 32000, 1, 64, 288},     {32000, 2, 32000, 2, 128, 576},
               {44100, 2, 44100, 2, 128, 417}, {48000, 2, 48000, 2, 128, 384},   {96000, 1, 48000, 1, 64, 192},
               {48000, 6, 48000, 2, 128, 384}, {32001, 1, 44100, 1, 64, 208}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch");
    const Mp3Settings s = ChooseMp3Settings(c.rate, c.channels);
    EXPECT_EQ(s.outputRate, c.outRate);
    EXPECT_EQ(s.inputRate, c.outRate);
    EXPECT_EQ(s.channels, c.outChannels);
    EXPECT_EQ(s.kbps, c.kbps);

    const std::vector<uint8_t> block = Mp3FormatBlock(s);
    ASSERT_EQ(block.size(), 30u);
    WaveFormatEx w;
    ASSERT_TRUE(WaveFormatEx::Parse(block, w));
    EXPECT_EQ(w.wFormatTag, WAVE_FORMAT_MPEGLAYER3);
    EXPECT_EQ(w.nChannels, c.outChannels);
    EXPECT_EQ(w.nSamplesPerSec, c.outRate);
    EXPECT_EQ(w.nAvgBytesPerSec, static_cast<uint32_t>(c.kbps * 125));
    EXPECT_EQ(w.nBlockAlign, 1);
    EXPECT_EQ(w.wBitsPerSample, 0);
    ASSERT_EQ(w.cbSize, 12);
    EXPECT_EQ(ReadLE16(&w.extra[0]), 1);           // wID
    EXPECT_EQ(ReadLE32(&w.extra[2]), 2u);          // fdwFlags
    EXPECT_EQ(ReadLE16(&w.extra[6]), c.blockSize);  // nBlockSize
    EXPECT_EQ(ReadLE16(&w.extra[8]), 1);           // nFramesPerBlock
    EXPECT_EQ(ReadLE16(&w.extra[10]), 0);          // nCodecDelay

    const AviStreamInfo info = Mp3StreamInfo(s, 7);
    EXPECT_EQ(info.fccType, streamtypeAUDIO);
    EXPECT_EQ(info.fccHandler, 0u);
    EXPECT_EQ(info.dwScale, 1u);
    EXPECT_EQ(info.dwRate, w.nAvgBytesPerSec);
    EXPECT_EQ(info.dwSampleSize, 1u);
    EXPECT_EQ(info.dwInitialFrames, 7u);
    EXPECT_EQ(info.dwQuality, 0xFFFFFFFFu);
    EXPECT_EQ(info.dwStart + info.dwLength + info.dwFlags + info.dwSuggestedBufferSize, 0u);
  }
}

TEST(Mp3Library, MissingOrIncompleteFailsWithTheTextAndALaterCallTriesAgain) {
  for (const char* name : {"libsplicora-no-such-lame.so.0", "libm.so.6"}) {
    SCOPED_TRACE(name);
    std::string error;
    EXPECT_FALSE(LoadLameLibrary(error, name));
    EXPECT_EQ(error, "Unable to get LAME interfaces");
  }
  std::string error;
  EXPECT_TRUE(LoadLameLibrary(error)) << error;
  Mp3Encoder unused;
  EXPECT_FALSE(unused.Encode(nullptr, 10, [](const uint8_t*, size_t) { return true; }, error));
}

struct ToneCase {
  uint32_t rate;  // rate of the tone fed in
  int channels;
};

class Mp3Tone : public ::testing::TestWithParam<ToneCase> {};

std::vector<int16_t> Sine(uint32_t rate, int channels, int frames) {
  std::vector<int16_t> pcm(static_cast<size_t>(frames) * channels);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      pcm[static_cast<size_t>(i) * channels + c] =
          static_cast<int16_t>(std::lround(kAmplitude * 32767 * std::sin(2 * M_PI * kTone * i / rate)));
  return pcm;
}

// Share of the signal's power at the tone's frequency (Goertzel), and its RMS.
void ToneMeasure(const std::vector<int16_t>& mono, uint32_t rate, double& share, double& rms) {
  const double w = 2 * M_PI * kTone / rate;
  double s1 = 0, s2 = 0, power = 0;
  for (int16_t v : mono) {
    const double x = v / 32768.0;
    const double s0 = x + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s0;
    power += x * x;
  }
  const double n = static_cast<double>(mono.size());
  const double tonePower = (s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2) * 2 / (n * n);
  rms = std::sqrt(power / n);
  share = tonePower / (power / n);
}

TEST_P(Mp3Tone, EncodesWholeCbrFramesThatDecodeToTheTone) {
  const ToneCase c = GetParam();
  Mp3Settings s = ChooseMp3Settings(c.rate, c.channels);
  s.inputRate = c.rate;  // 8000 Hz: LAME resamples itself
  const int inputFrames = static_cast<int>(c.rate) * 5 / 2;
  const std::string path = TempDir("mp3tone") + "/tone.avi";

  AviWriter writer;
  int stream = -1;
  ASSERT_EQ(writer.Create(path), AVIERR_OK);
  ASSERT_EQ(writer.AddStream(Mp3StreamInfo(s, 0), Mp3FormatBlock(s), &stream), AVIERR_OK);
  Mp3Encoder encoder;
  std::string error;
  ASSERT_TRUE(encoder.Start(s, error)) << error;
  EXPECT_EQ(encoder.FrameSize(), 1152);
  const int blockSize = s.kbps * 144000 / static_cast<int>(s.outputRate);
  int frames = 0;
  auto sink = [&](const uint8_t* data, size_t size) {
    ++frames;
    EXPECT_EQ(Mp3FrameLength(data, size), static_cast<int>(size));
    EXPECT_TRUE(size == static_cast<size_t>(blockSize) || size == static_cast<size_t>(blockSize) + 1) << size;
    return writer.WriteChunk(stream, data, static_cast<uint32_t>(size), true) == AVIERR_OK;
  };
  const std::vector<int16_t> pcm = Sine(c.rate, s.channels, inputFrames);
  // One large piece, then odd ones: frames span calls.
  for (int at = 0, step = 70000; at < inputFrames; at += step, step = 777)
    ASSERT_TRUE(encoder.Encode(pcm.data() + static_cast<size_t>(at) * s.channels,
                               std::min(step, inputFrames - at), sink, error)) << error;
  ASSERT_TRUE(encoder.Finish(sink, error)) << error;
  ASSERT_EQ(writer.Close(), AVIERR_OK);

  const auto stream0 = ProbeFields(path, "-show_entries stream=codec_name,sample_rate,channels,bit_rate");
  EXPECT_EQ(Ffprobe(path, "-show_entries stream=index -of csv=p=0"), "0\n");
  EXPECT_EQ(stream0.at("codec_name"), "mp3");
  EXPECT_EQ(stream0.at("sample_rate"), std::to_string(s.outputRate));
  EXPECT_EQ(stream0.at("channels"), std::to_string(s.channels));
  EXPECT_EQ(stream0.at("bit_rate"), std::to_string(s.kbps * 1000));
  // Every packet a whole CBR frame, timed by the header's bytes per second.
  const double frameSeconds = 1152.0 / s.outputRate;
  const std::vector<ProbePacket> packets = ProbePackets(path, "a:0");
  ASSERT_EQ(static_cast<int>(packets.size()), frames);
  for (const ProbePacket& p : packets) EXPECT_TRUE(p.size == blockSize || p.size == blockSize + 1) << p.size;
  EXPECT_NEAR(std::stod(packets.back().ptsTime), (frames - 1) * frameSeconds, 0.001);

  // Decoded: the priming, the whole input, then less than one frame more.
  std::string raw;
  ASSERT_EQ(testsupport::Run("ffmpeg -nostdin -v error -i " + Quote(path) + " -ac 1 -f s16le -", &raw), 0);
  std::vector<int16_t> decoded(raw.size() / 2);
  std::memcpy(decoded.data(), raw.data(), decoded.size() * 2);
  const int64_t delay = encoder.EncoderDelay();
  const int64_t needed = delay + static_cast<int64_t>(inputFrames) * s.outputRate / c.rate;
  EXPECT_EQ(static_cast<int64_t>(decoded.size()), int64_t{frames} * 1152);
  EXPECT_GE(static_cast<int64_t>(decoded.size()), needed);
  EXPECT_LT(static_cast<int64_t>(decoded.size()), needed + 1152);
  // The tone's first half-amplitude sample (pre-echo stays well below it).
  const auto onset = std::find_if(decoded.begin(), decoded.end(),
                                  [](int16_t v) { return std::abs(v) > kAmplitude * 32767 / 2; });
  EXPECT_NEAR(static_cast<double>(onset - decoded.begin()), static_cast<double>(delay), 16);
  double share = 0, rms = 0;
  ToneMeasure(std::vector<int16_t>(decoded.begin() + delay, decoded.begin() + needed), s.outputRate, share, rms);
  EXPECT_GT(share, 0.95);
  EXPECT_NEAR(rms, kAmplitude / std::sqrt(2.0), 0.03);
}

INSTANTIATE_TEST_SUITE_P(Rates, Mp3Tone,
                         ::testing::Values(ToneCase{22050, 1}, ToneCase{44100, 2}, ToneCase{48000, 2},
                                           ToneCase{8000, 1}),
                         [](const auto& info) {
                           return std::to_string(info.param.rate) + "Hz" + std::to_string(info.param.channels) + "ch";
                         });

}  // namespace
