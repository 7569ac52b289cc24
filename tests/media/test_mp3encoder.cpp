// The MP3 encoder over libmp3lame: a tone encoded into an AVI by our writer,
// read back and decoded by ffprobe/ffmpeg; the settings rule; a missing library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>

#include "avi/AviWriter.h"
#include "media/Mp3Encoder.h"
#include "tests/support/AviBuilder.h"
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
  } cases[] = {{22050, 1, 32000, 1, 64, 288},  {8000, 1, 32000, 1, 64, 288},   {32000, 2, 32000, 2, 128, 576},
               {44100, 2, 44100, 2, 128, 417}, {48000, 2, 48000, 2, 128, 384}, {96000, 1, 48000, 1, 64, 192},
               {48000, 6, 48000, 2, 128, 384}, {32001, 1, 44100, 1, 64, 208}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch");
    const Mp3Settings s = ChooseMp3Settings(c.rate, c.channels);
    EXPECT_EQ(std::tuple(s.inputRate, s.outputRate, s.channels, s.kbps),
              std::tuple(c.outRate, c.outRate, c.outChannels, c.kbps));

    const std::vector<uint8_t> block = Mp3FormatBlock(s);
    WaveFormatEx w;
    ASSERT_EQ(block.size(), 30u);
    ASSERT_TRUE(WaveFormatEx::Parse(block, w));
    using Fields = std::tuple<int, int, uint32_t, uint32_t, int, int, int>;
    EXPECT_EQ(Fields(w.wFormatTag, w.nChannels, w.nSamplesPerSec, w.nAvgBytesPerSec, w.nBlockAlign,
                     w.wBitsPerSample, w.cbSize),
              Fields(0x55, c.outChannels, c.outRate, c.kbps * 1000 / 8, 1, 0, 12));
    // wID 1, fdwFlags 2, nBlockSize, nFramesPerBlock 1, nCodecDelay 0.
    Bytes extra = Le16(1);
    for (const Bytes& field : {Le32(2), Le16(c.blockSize), Le16(1), Le16(0)}) Append(extra, field);
    EXPECT_EQ(w.extra, extra);

    const AviStreamInfo i = Mp3StreamInfo(s, 7);
    EXPECT_EQ(std::tuple(i.fccType, i.dwScale, i.dwRate, i.dwSampleSize, i.dwInitialFrames, i.dwQuality),
              std::tuple(streamtypeAUDIO, 1u, w.nAvgBytesPerSec, 1u, 7u, 0xFFFFFFFFu));
    EXPECT_EQ(i.fccHandler + i.dwStart + i.dwLength + i.dwFlags + i.dwSuggestedBufferSize, 0u);
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
  EXPECT_FALSE(unused.Encode(
      nullptr, 10, [](const uint8_t*, size_t) { return true; }, error));
}

struct ToneCase {
  uint32_t rate;
  int channels;
};  // the tone fed in

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
    s2 = std::exchange(s1, x + 2 * std::cos(w) * s1 - s2);
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
    return writer.WriteChunk(stream, data, static_cast<uint32_t>(size), true) == AVIERR_OK;
  };
  const std::vector<int16_t> pcm = Sine(c.rate, s.channels, inputFrames);
  // One large piece, then odd ones: frames span calls.
  for (int at = 0, step = 70000; at < inputFrames; at += step, step = 777)
    ASSERT_TRUE(encoder.Encode(pcm.data() + static_cast<size_t>(at) * s.channels,
                               std::min(step, inputFrames - at), sink, error))
        << error;
  ASSERT_TRUE(encoder.Finish(sink, error)) << error;
  ASSERT_EQ(writer.Close(), AVIERR_OK);

  // One stream (one line): MP3 at the output rate, channels and CBR bit rate.
  EXPECT_EQ(Ffprobe(path, "-show_entries stream=codec_name,sample_rate,channels,bit_rate -of csv=p=0"),
            "mp3," + std::to_string(s.outputRate) + "," + std::to_string(s.channels) + "," +
                std::to_string(s.kbps * 1000) + "\n");
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
  ToneMeasure(std::vector<int16_t>(decoded.begin() + delay, decoded.begin() + needed), s.outputRate, share,
              rms);
  EXPECT_GT(share, 0.95);
  EXPECT_NEAR(rms, kAmplitude / std::sqrt(2.0), 0.03);
}

// What frames say of themselves: LAME's frames at 22.05 kHz mono (MPEG-2,
// 576 samples) and 44.1 kHz stereo (MPEG-1, 1152) read back by header; one
// stream is one bit rate, two joined are variable. The frame-counting header
// of each, written by our writer, times every frame for ffprobe.
TEST(Mp3Frames, HeadersSurveyAndTheFrameCountingHeader) {
  struct Case {
    uint32_t rate;
    int channels, kbps, samples;
  } cases[] = {{22050, 1, 32, 576}, {44100, 2, 192, 1152}};
  std::vector<uint8_t> both;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    Mp3Settings s;
    s.inputRate = s.outputRate = c.rate;
    s.channels = c.channels;
    s.kbps = c.kbps;
    Mp3Encoder encoder;
    std::string error;
    ASSERT_TRUE(encoder.Start(s, error)) << error;
    std::vector<std::vector<uint8_t>> frames;
    auto keep = [&](const uint8_t* data, size_t size) {
      frames.emplace_back(data, data + size);
      return true;
    };
    const std::vector<int16_t> pcm = Sine(c.rate, c.channels, static_cast<int>(c.rate));
    ASSERT_TRUE(encoder.Encode(pcm.data(), static_cast<int>(c.rate), keep, error) && encoder.Finish(keep, error)) << error;
    ASSERT_GT(frames.size(), 10u);
    Mp3FrameHeader h;
    ASSERT_TRUE(ParseMp3FrameHeader(frames[5].data(), frames[5].size(), h));
    EXPECT_EQ(std::tuple(h.sampleRate, h.channels, h.kbps, h.samples, h.length),
              std::tuple(c.rate, c.channels, c.kbps, c.samples, static_cast<int>(frames[5].size())));
    std::vector<uint8_t> stream;
    for (const auto& f : frames) stream.insert(stream.end(), f.begin(), f.end());
    const Mp3FrameSurvey survey = SurveyMp3Frames(stream.data(), stream.size());
    EXPECT_EQ(std::tuple(survey.frames, survey.kbps, survey.variable),
              std::tuple(static_cast<int>(frames.size()), c.kbps, false));
    EXPECT_NEAR(survey.averageKbps, c.kbps, 1);
    EXPECT_EQ(NearestMp3Kbps(c.kbps + 3, c.rate, c.channels), c.kbps);
    if (c.rate == 44100) both.insert(both.end(), stream.begin(), stream.end());

    s.vbrHeader = true;
    const WaveFormatEx w = Mp3WaveFormat(s);
    const AviStreamInfo info = Mp3StreamInfo(s, 0);
    EXPECT_EQ(std::tuple(w.nBlockAlign, info.dwScale, info.dwRate, info.dwSampleSize),
              std::tuple(static_cast<uint16_t>(c.samples), static_cast<uint32_t>(c.samples), c.rate, 0u));
    const std::string path = TempDir("mp3frames") + "/vbr.avi";
    AviWriter writer;
    int index = -1;
    ASSERT_EQ(writer.Create(path), AVIERR_OK);
    ASSERT_EQ(writer.AddStream(info, Mp3FormatBlock(s), &index), AVIERR_OK);
    for (const auto& f : frames)
      ASSERT_EQ(writer.WriteChunk(index, f.data(), static_cast<uint32_t>(f.size()), true), AVIERR_OK);
    ASSERT_EQ(writer.Close(), AVIERR_OK);
    const std::vector<ProbePacket> packets = ProbePackets(path, "a:0");
    ASSERT_EQ(packets.size(), frames.size());
    EXPECT_NEAR(std::stod(packets.back().ptsTime), (frames.size() - 1) * c.samples / static_cast<double>(c.rate), 1e-3);
  }
  // 192 kbit/s frames after 128 kbit/s ones: variable.
  Mp3Settings s = ChooseMp3Settings(44100, 2);
  Mp3Encoder encoder;
  std::string error;
  ASSERT_TRUE(encoder.Start(s, error)) << error;
  std::vector<uint8_t> first;
  auto keep = [&](const uint8_t* data, size_t size) {
    first.insert(first.end(), data, data + size);
    return true;
  };
  const std::vector<int16_t> pcm = Sine(44100, 2, 44100);
  ASSERT_TRUE(encoder.Encode(pcm.data(), 44100, keep, error) && encoder.Finish(keep, error)) << error;
  first.insert(first.end(), both.begin(), both.end());
  const Mp3FrameSurvey mixed = SurveyMp3Frames(first.data(), first.size());
  EXPECT_TRUE(mixed.variable);
  EXPECT_GT(mixed.averageKbps, 128);
  EXPECT_LT(mixed.averageKbps, 192);
}

INSTANTIATE_TEST_SUITE_P(Rates, Mp3Tone,
                         ::testing::Values(ToneCase{22050, 1}, ToneCase{44100, 2}, ToneCase{48000, 2},
                                           ToneCase{8000, 1}),
                         [](const auto& info) {
                           return std::to_string(info.param.rate) + "Hz" +
                                  std::to_string(info.param.channels) + "ch";
                         });

}  // namespace
