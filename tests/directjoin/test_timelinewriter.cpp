// The timeline writer on its own: sources placed by media times and output
// times, read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sstream>

#include "media/AudioTrackWriter.h"
#include "avi/AviReader.h"
#include "directjoin/TimelineWriter.h"
#include "tests/support/Fixtures.h"

using namespace testsupport;
using media::TimelineEvent;
using media::TimelineSource;
using media::TimelineWriter;

namespace {

constexpr int64_t kSecond = 10000000;

// Runs the timeline into out and waits for its end event.
TimelineEvent Write(TimelineWriter& timeline, const std::string& out, int* progressEvents = nullptr) {
  std::mutex m;
  std::condition_variable cv;
  bool ended = false;
  TimelineEvent result = TimelineEvent::Progress;
  int progress = 0;
  bool started = timeline.Start(out, [&](TimelineEvent e) {
    std::lock_guard lock(m);
    if (e == TimelineEvent::Progress) {
      ++progress;
      return;
    }
    result = e;
    ended = true;
    cv.notify_all();
  });
  EXPECT_TRUE(started) << timeline.LastError();
  if (!started) return TimelineEvent::ErrorAbort;
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return ended; });
  if (progressEvents) *progressEvents = progress;
  return result;
}

std::vector<std::string> PacketHashes(const std::string& path, const std::string& map) {
  std::string text;
  Run("ffmpeg -v error -i " + Quote(path) + " -map " + map + " -c copy -f framemd5 - 2>/dev/null", &text);
  std::vector<std::string> hashes;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty() && line[0] != '#') hashes.push_back(line.substr(line.rfind(',') + 1));
  return hashes;
}

std::string PcmClip() {
  return CachedClip("tw-pcm.avi",
                    "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -f lavfi -i "
                    "sine=frequency=300:sample_rate=8000:duration=2 -c:v mpeg4 -g 5 -c:a pcm_s16le");
}

}  // namespace

// Part of a clip (0.4 s to 1.2 s), then a gap, then the whole clip: the gap
// holds empty video chunks and silent audio, every piece where it was placed.
TEST(TimelineWriter, SourcesLandAtTheirOutputTimes) {
  std::string clip = PcmClip();
  ASSERT_FALSE(clip.empty());
  TimelineWriter timeline;
  int video = timeline.AddGroup(TimelineWriter::GroupKind::Video);
  int audio = timeline.AddGroup(TimelineWriter::GroupKind::Audio);
  ASSERT_GE(video, 0);
  ASSERT_GE(audio, 0);
  TimelineSource part{clip, 0, 4 * kSecond / 10, 12 * kSecond / 10, 0, 8 * kSecond / 10};
  TimelineSource whole{clip, 0, 0, 2 * kSecond, 2 * kSecond, 4 * kSecond};
  ASSERT_TRUE(timeline.AddSource(video, part));
  ASSERT_TRUE(timeline.AddSource(video, whole));
  part.stream = whole.stream = 1;
  ASSERT_TRUE(timeline.AddSource(audio, part));
  ASSERT_TRUE(timeline.AddSource(audio, whole));
  std::string out = TempDir("timeline") + "/out.avi";
  int progress = 0;
  ASSERT_EQ(Write(timeline, out, &progress), TimelineEvent::Complete) << timeline.LastError();
  EXPECT_EQ(timeline.Position(), 4 * kSecond);

  auto in = PacketHashes(clip, "0:v");
  auto got = PacketHashes(out, "0:v");
  ASSERT_EQ(got.size(), 20u + in.size());  // empty chunks are not packets
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 20), std::vector<std::string>(in.begin() + 10, in.begin() + 30));
  EXPECT_EQ(std::vector<std::string>(got.begin() + 20, got.end()), in);
  EXPECT_EQ(Ffprobe(out, "-select_streams v:0 -show_entries stream=duration -of csv=p=0"), "4.000000\n");

  // Audio: 0.8 s from 0.4 s on, 1.2 s of silence, then the whole clip's sound.
  auto source = DecodedPcm(clip);
  auto joined = DecodedPcm(out);
  ASSERT_EQ(joined.size(), 4u * 8000);
  EXPECT_TRUE(std::equal(joined.begin(), joined.begin() + 6400, source.begin() + 3200));
  EXPECT_TRUE(std::all_of(joined.begin() + 6400, joined.begin() + 16000, [](int16_t s) { return s == 0; }));
  EXPECT_TRUE(std::equal(joined.begin() + 16000, joined.end(), source.begin()));
}

// While the stream runs the owner hears from it at least every 250 ms.
TEST(TimelineWriter, ProgressArrivesWhileTheStreamRuns) {
  std::string clip = PcmClip();
  TimelineWriter timeline;
  timeline.AddGroup(TimelineWriter::GroupKind::Video);
  ASSERT_TRUE(timeline.AddSource(0, {clip, 0, 0, 2 * kSecond, 0, 2 * kSecond}));
  TimelineWriter::SetChunkDelayForTesting(20000);  // 50 frames: about 1 s
  auto started = std::chrono::steady_clock::now();
  int progress = 0;
  EXPECT_EQ(Write(timeline, TempDir("timeline-progress") + "/out.avi", &progress), TimelineEvent::Complete);
  TimelineWriter::SetChunkDelayForTesting(0);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(progress, static_cast<int>(ms / 250)) << ms << " ms";
}

TEST(TimelineWriter, GroupsAndSourcesAreChecked) {
  TimelineWriter timeline;
  EXPECT_EQ(timeline.AddGroup(TimelineWriter::GroupKind::Video), 0);
  EXPECT_EQ(timeline.AddGroup(TimelineWriter::GroupKind::Video), -1);
  EXPECT_EQ(timeline.AddGroup(TimelineWriter::GroupKind::Audio), 1);
  EXPECT_EQ(timeline.AddGroup(TimelineWriter::GroupKind::Audio), 2);
  EXPECT_EQ(timeline.AddGroup(TimelineWriter::GroupKind::Audio), -1);
  EXPECT_FALSE(timeline.AddSource(3, {"x.avi", 0, 0, 1, 0, 1}));
  EXPECT_FALSE(timeline.AddSource(0, {"x.avi", 0, 0, 1, 5, 1}));  // stop before start
  // Nothing to read: refused with the reason, nothing created.
  std::string dir = TempDir("timeline-bad");
  ASSERT_TRUE(timeline.AddSource(0, {dir + "/missing.avi", 0, 0, kSecond, 0, kSecond}));
  EXPECT_FALSE(timeline.Prepare(dir + "/out.avi"));
  EXPECT_NE(timeline.LastError().find("missing.avi"), std::string::npos) << timeline.LastError();
  // A file that is not AVI.
  WriteFile(dir + "/text.avi", std::vector<uint8_t>(4096, 'a'));
  TimelineWriter other;
  other.AddGroup(TimelineWriter::GroupKind::Video);
  ASSERT_TRUE(other.AddSource(0, {dir + "/text.avi", 0, 0, kSecond, 0, kSecond}));
  EXPECT_FALSE(other.Start(dir + "/out.avi", nullptr));
  EXPECT_NE(other.LastError().find("text.avi"), std::string::npos);
  EXPECT_TRUE(ReadFile(dir + "/out.avi").empty());
}

// A file cut short while it is read: the join ends as an error, and what
// was written is still a closed file.
TEST(TimelineWriter, SourceCutShortDuringTheJoinIsAnError) {
  std::string clip = PcmClip();
  std::string dir = TempDir("timeline-cut");
  std::string copy = dir + "/clip.avi";
  auto bytes = ReadFile(clip);
  WriteFile(copy, bytes);
  TimelineWriter timeline;
  timeline.AddGroup(TimelineWriter::GroupKind::Video);
  ASSERT_TRUE(timeline.AddSource(0, {copy, 0, 0, 2 * kSecond, 0, 2 * kSecond}));
  ASSERT_TRUE(timeline.Prepare(dir + "/out.avi"));
  // Truncated between planning and writing.
  bytes.resize(bytes.size() / 3);
  WriteFile(copy, bytes);
  EXPECT_EQ(Write(timeline, dir + "/out.avi"), TimelineEvent::ErrorAbort);
  EXPECT_FALSE(timeline.LastError().empty());
  EXPECT_EQ(testsupport::Run("ffprobe -v error -show_streams " + Quote(dir + "/out.avi") + " >/dev/null 2>&1"), 0);
}

// A coded track handed no silence encodes its own when a clip without audio
// first needs it: one second of MP3 frames that ffmpeg decodes to silence.
TEST(TimelineWriter, CodedTrackEncodesSilenceWhenFirstNeeded) {
  const std::string clip = CachedClip("tw-mp3.avi",
                                      "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 -f lavfi -i "
                                      "sine=frequency=300:sample_rate=44100:duration=1 -c:v mpeg4 -c:a libmp3lame -b:a 128k");
  media::AviReader reader;
  ASSERT_EQ(reader.Open(clip), media::AVIERR_OK);
  media::AudioStreamFormat format;
  std::string why;
  ASSERT_TRUE(media::ReadAudioFormat(reader, static_cast<size_t>(reader.NthStream(media::streamtypeAUDIO)), format, why)) << why;
  std::vector<uint8_t> stream;
  int packets = 0;
  media::AudioTrackWriter track(format, [&](const uint8_t* data, uint32_t size) {
    stream.insert(stream.end(), data, data + size);
    ++packets;
    return true;
  });
  ASSERT_TRUE(track.BeginClip(nullptr, 0, 1.0, 0, why)) << why;
  ASSERT_TRUE(track.EndClip(why)) << why;
  EXPECT_NEAR(packets * 1152.0 / 44100, 1.0, 1152.0 / 44100);
  const std::string mp3 = TempDir("tw-silence") + "/silence.mp3";
  WriteFile(mp3, stream);
  std::string text;
  testsupport::Run("ffmpeg -v info -i " + Quote(mp3) + " -af volumedetect -f null - 2>&1", &text);
  EXPECT_NE(text.find("max_volume: -91"), std::string::npos) << text;
}
