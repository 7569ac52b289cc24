// How far an audio track fills with silence: never past its clip's place,
// whatever a header says of where the audio starts, and no further than a
// stop request lets it. For PCM output, MP3 output filled with silent frames,
// and MP3 output whose encoder is fed silence.
#include <gtest/gtest.h>

#include "media/AudioTrackWriter.h"
#include "media/Mp3Encoder.h"

using media::AudioStreamFormat;
using media::AudioTrackWriter;

namespace {

AudioStreamFormat Pcm() {
  AudioStreamFormat f;
  f.wave.wFormatTag = media::WAVE_FORMAT_PCM;
  f.wave.nChannels = 2;
  f.wave.nSamplesPerSec = 44100;
  f.wave.wBitsPerSample = 16;
  f.wave.nBlockAlign = 4;
  f.wave.nAvgBytesPerSec = 176400;
  f.dwScale = 4;
  f.dwRate = 176400;
  f.dwSampleSize = 4;
  return f;
}

AudioStreamFormat Mp3() {
  const media::Mp3Settings mp3 = media::ChooseMp3Settings(44100, 2);
  const media::AviStreamInfo info = media::Mp3StreamInfo(mp3, 0);
  AudioStreamFormat f;
  f.wave = media::Mp3WaveFormat(mp3);
  f.dwScale = info.dwScale;
  f.dwRate = info.dwRate;
  f.dwSampleSize = info.dwSampleSize;
  return f;
}

struct Case {
  const char* name;
  AudioStreamFormat output;
  bool pcmSource;  // a PCM source into MP3 output runs the encoder; none fills with silent frames
};

std::vector<Case> Cases() {
  std::string why;
  if (!media::LoadLameLibrary(why)) return {{"pcm", Pcm(), true}};
  return {{"pcm", Pcm(), true}, {"mp3 silent frames", Mp3(), false}, {"mp3 encoder", Mp3(), true}};
}

}  // namespace

TEST(AudioFill, SilenceStaysInsideTheClip) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    uint64_t bytes = 0;
    AudioTrackWriter track(c.output, [&](const uint8_t*, uint32_t size) {
      bytes += size;
      return true;
    });
    const AudioStreamFormat source = Pcm();
    std::string why;
    // The audio claims to start a day after its one-second clip.
    ASSERT_TRUE(track.BeginClip(c.pcmSource ? &source : nullptr, 0, 1.0, 86400, why)) << why;
    const std::vector<uint8_t> second(176400, 0);
    ASSERT_TRUE(track.Feed(second.data(), static_cast<uint32_t>(second.size()), why)) << why;
    ASSERT_TRUE(track.EndClip(why)) << why;
    ASSERT_TRUE(track.EndTrack(why)) << why;
    EXPECT_NEAR(track.Time(), 1.0, 0.1);
    EXPECT_LT(bytes, 2 * c.output.ByteRate());
  }
}

TEST(AudioFill, AStopRequestEndsALongFill) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    uint64_t bytes = 0;
    AudioTrackWriter track(c.output, [&](const uint8_t*, uint32_t size) {
      bytes += size;
      return true;
    });
    int asked = 0;
    track.SetStopCheck([&asked] { return ++asked > 3; });
    const AudioStreamFormat source = Pcm();
    std::string why;
    // A clip of a day with no audio data: without the stop, gigabytes of silence.
    ASSERT_TRUE(track.BeginClip(c.pcmSource ? &source : nullptr, 0, 86400, 0, why)) << why;
    ASSERT_TRUE(track.EndClip(why)) << why;
    EXPECT_GT(asked, 3);
    EXPECT_LT(track.Time(), 60.0);
    EXPECT_LT(bytes, 60 * c.output.ByteRate());
  }
}
