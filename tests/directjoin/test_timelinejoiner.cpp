// The direct join end to end: real clips from the ffmpeg CLI (and other AVI
// writers), joined by TimelineJoiner on its streaming thread, the result read
// back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "directjoin/TimelineJoiner.h"
#include "tests/support/Fixtures.h"

using namespace testsupport;

namespace {

QCoreApplication& App() { return CoreApp(); }

// Stands in for the main dialog: handles graph events and records the end.
class Owner : public MessageTarget {
 public:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM) override {
    if (message == wm::MSG_GRAPH_NOTIFY) {
      ++notifications;
      if (joiner) joiner->HandleGraphEvents();
      if (cancel && joiner) {
        joiner->StopJoin();
        PostMessage(this, wm::MSG_JOIN_DONE, 0, 0);
      }
    } else if (message == wm::MSG_JOIN_DONE) {
      doneCodes.push_back(static_cast<int>(wParam));
      loop.quit();
    }
    return 0;
  }
  TimelineJoiner* joiner = nullptr;
  bool cancel = false;
  int notifications = 0;
  std::vector<int> doneCodes;
  QEventLoop loop;
};

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Joins clips into out; returns the done code (-1: did not start).
int Join(const std::vector<std::string>& clips, const std::string& out, QString* error = nullptr,
         bool cancelAtOnce = false, QStringList* notes = nullptr) {
  App();
  Owner owner;
  TimelineJoiner joiner;
  owner.joiner = &joiner;
  owner.cancel = cancelAtOnce;
  joiner.SetOwner(&owner, wm::MSG_GRAPH_NOTIFY, wm::MSG_JOIN_DONE);
  bool ok = joiner.BuildTimeline(Q(clips.front()));
  for (const auto& c : clips) ok = ok && joiner.AppendClip(Q(c));
  ok = ok && joiner.Render(Q(out));
  if (error) *error = joiner.LastError();
  if (notes) *notes = joiner.Notes();
  if (!ok) return -1;
  QTimer::singleShot(120000, &owner.loop, &QEventLoop::quit);
  owner.loop.exec();
  if (error) *error = joiner.LastError();
  return owner.doneCodes.empty() ? -2 : owner.doneCodes.front();
}

double Number(const std::string& text) { return std::atof(text.c_str()); }

// A stream's length in seconds as ffprobe reads it; for PCM, whose AVI
// length ffprobe gives only as a sample count, samples over the rate; for
// byte-timed MP3, which it leaves without a length, the decoded samples.
double StreamDuration(const std::string& path, const std::string& stream) {
  std::string text = Ffprobe(path, "-select_streams " + stream +
                                       " -show_entries stream=codec_name,sample_rate,nb_frames,duration -of default=nw=1");
  std::map<std::string, std::string> fields = KeyValues(text);
  if (fields["duration"] != "N/A" && !fields["duration"].empty()) return Number(fields["duration"]);
  double rate = Number(fields["sample_rate"]);
  if (fields["codec_name"].rfind("pcm", 0) == 0 && rate > 0) return Number(fields["nb_frames"]) / rate;
  std::string raw;
  std::string index = stream.substr(stream.find(':') + 1);
  testsupport::Run("ffmpeg -v error -i " + Quote(path) + " -map 0:a:" + index + " -f s16le -ac 1 - 2>/dev/null", &raw);
  return rate > 0 ? static_cast<double>(raw.size() / 2) / rate : 0;
}

int FrameCount(const std::string& path) {
  return std::atoi(Ffprobe(path, "-count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0").c_str());
}

// Video packet hashes in order, as ffmpeg's framemd5 prints them.
std::vector<std::string> VideoHashes(const std::string& path) {
  std::string text;
  Run("ffmpeg -v error -i " + Quote(path) + " -map 0:v -c copy -f framemd5 - 2>/dev/null", &text);
  std::vector<std::string> hashes;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    auto comma = line.rfind(',');
    auto sizeComma = line.rfind(',', comma - 1);
    hashes.push_back(line.substr(sizeComma + 1));  // size and hash
  }
  return hashes;
}

std::string Clip(const std::string& name, double seconds, const std::string& audio, int rate = 44100,
                 double audioSeconds = -1, const std::string& extra = "") {
  std::ostringstream args;
  args << "-f lavfi -i testsrc=size=160x120:rate=25:duration=" << seconds;
  if (!audio.empty())
    args << " -f lavfi -i sine=frequency=440:sample_rate=" << rate
         << ":duration=" << (audioSeconds < 0 ? seconds : audioSeconds);
  args << " -c:v mpeg4 -g 12";
  if (!audio.empty()) args << " " << audio;
  args << " " << extra;
  return CachedClip(name, args.str());
}

const std::string kMp3 = "-c:a libmp3lame -b:a 128k";
const std::string kPcm = "-c:a pcm_s16le";

}  // namespace

TEST(TimelineJoiner, ThreeClipsKeepEveryFrameByteForByte) {
  std::vector<std::string> clips = {Clip("j3a.avi", 2.0, kMp3), Clip("j3b.avi", 1.48, kMp3), Clip("j3c.avi", 3.0, kMp3)};
  for (auto& c : clips) ASSERT_FALSE(c.empty());
  std::string out = TempDir("three") + "/out.avi";
  QString error;
  ASSERT_EQ(Join(clips, out, &error), 0) << error.toStdString();

  int sum = 0;
  std::vector<std::string> expected;
  for (auto& c : clips) {
    sum += FrameCount(c);
    auto h = VideoHashes(c);
    expected.insert(expected.end(), h.begin(), h.end());
  }
  EXPECT_EQ(FrameCount(out), sum);
  EXPECT_EQ(VideoHashes(out), expected);
  // Key-frame flags come through with the frames.
  std::vector<bool> keys;
  for (auto& c : clips)
    for (auto& p : ProbePackets(c, "v:0")) keys.push_back(p.key);
  auto outPackets = ProbePackets(out, "v:0");
  ASSERT_EQ(outPackets.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(outPackets[i].key, keys[i]) << i;
  // The audio runs as long as the video, within one MP3 frame.
  double video = StreamDuration(out, "v:0");
  double inputs = 0;
  for (auto& c : clips) inputs += StreamDuration(c, "v:0");
  EXPECT_NEAR(video, inputs, 0.001);
  EXPECT_NEAR(StreamDuration(out, "a:0"), video, 1152.0 / 44100);
  // Other readers take it too: GStreamer's demuxer through both streams.
  if (HaveCommand("gst-launch-1.0")) {
    EXPECT_EQ(testsupport::Run("gst-launch-1.0 -q filesrc location=" + Quote(out) +
                               " ! avidemux name=d d.video_0 ! queue ! fakesink d.audio_0 ! queue ! fakesink >/dev/null 2>&1"),
              0);
  }
}

namespace {

// Decoded audio of one stream as mono 16-bit samples at 44.1 kHz.
std::vector<int16_t> DecodedAudio(const std::string& path, const std::string& stream = "0:a:0") {
  std::string raw;
  Run("ffmpeg -v error -i " + Quote(path) + " -map " + stream + " -ac 1 -ar 44100 -f s16le - 2>/dev/null", &raw);
  std::vector<int16_t> samples(raw.size() / 2);
  std::memcpy(samples.data(), raw.data(), samples.size() * 2);
  return samples;
}

// Time of the first clearly audible sample at or after t0.
double FirstSoundAfter(const std::vector<int16_t>& samples, double t0) {
  for (size_t i = static_cast<size_t>(t0 * 44100); i < samples.size(); ++i)
    if (std::abs(samples[i]) > 1000) return static_cast<double>(i) / 44100;
  return -1;
}

// Time of the last audible sample before t1.
double LastSoundBefore(const std::vector<int16_t>& samples, double t1) {
  for (size_t i = std::min(samples.size(), static_cast<size_t>(t1 * 44100)); i-- > 0;)
    if (std::abs(samples[i]) > 1000) return static_cast<double>(i) / 44100;
  return -1;
}

constexpr double kMp3Frame = 1152.0 / 44100;

}  // namespace

// A clip whose audio stops 0.5 s before its video: the gap is silence, and the
// next clip's sound starts with the next clip's pictures, not 0.5 s early.
TEST(TimelineJoiner, ShortAudioIsFilledAndTheNextClipStaysInSync) {
  for (const std::string& codec : {kPcm, kMp3}) {
    SCOPED_TRACE(codec);
    std::string tag = codec == kPcm ? "pcm" : "mp3";
    std::vector<std::string> clips = {Clip("short-" + tag + ".avi", 2.0, codec, 44100, 1.5),
                                      Clip("full-" + tag + ".avi", 2.0, codec)};
    std::string out = TempDir("short-" + tag) + "/out.avi";
    QString error;
    ASSERT_EQ(Join(clips, out, &error), 0) << error.toStdString();
    double firstVideo = StreamDuration(clips[0], "v:0");
    double lead = FirstSoundAfter(DecodedAudio(clips[1]), 0);  // the decoder's own delay
    auto joined = DecodedAudio(out);
    double tail = LastSoundBefore(joined, firstVideo - 0.05);
    EXPECT_NEAR(tail, 1.5 + lead, kMp3Frame);  // the first clip's sound ends where it did
    double onset = FirstSoundAfter(joined, tail + 0.1);
    double tolerance = codec == kPcm ? 2.0 / 44100 : kMp3Frame;
    EXPECT_NEAR(onset, firstVideo + lead, tolerance);
    EXPECT_NEAR(StreamDuration(out, "a:0"), StreamDuration(out, "v:0"), tolerance);
  }
}

// PCM longer than its video is cut on the very sample where the video ends.
TEST(TimelineJoiner, LongPcmIsCutSampleExactly) {
  std::vector<std::string> clips = {Clip("long-pcm.avi", 2.0, kPcm, 44100, 2.3), Clip("long-pcm2.avi", 1.0, kPcm, 44100, 1.7)};
  std::string out = TempDir("longpcm") + "/out.avi";
  ASSERT_EQ(Join(clips, out), 0);
  double video = StreamDuration(out, "v:0");
  std::string samples = Ffprobe(out, "-select_streams a:0 -show_entries stream=nb_frames -of csv=p=0");
  EXPECT_EQ(std::atoll(samples.c_str()), std::llround(video * 44100));
}

// A 48 kHz clip after a 44.1 kHz first clip is re-encoded into the output's
// format, so it plays at its speed and the audio keeps the video's length.
TEST(TimelineJoiner, OtherSampleRateIsConvertedIntoTheOutputFormat) {
  std::vector<std::string> clips = {Clip("rate441.avi", 2.0, kMp3, 44100), Clip("rate48.avi", 3.0, kMp3, 48000),
                                    Clip("rate441b.avi", 1.0, kMp3, 44100)};
  std::string out = TempDir("rates") + "/out.avi";
  QString error;
  ASSERT_EQ(Join(clips, out, &error), 0) << error.toStdString();
  EXPECT_EQ(Ffprobe(out, "-select_streams a:0 -show_entries stream=sample_rate -of csv=p=0"), "44100\n");
  EXPECT_NEAR(StreamDuration(out, "a:0"), StreamDuration(out, "v:0"), kMp3Frame);
  // The third clip's sound still starts with its pictures.
  double start3 = StreamDuration(clips[0], "v:0") + StreamDuration(clips[1], "v:0");
  auto joined = DecodedAudio(out);
  double lead = FirstSoundAfter(DecodedAudio(clips[2]), 0);
  // Sine to sine: find where the third clip's tone restarts by its phase reset is
  // not observable; check the converted part holds sound right up to that point.
  EXPECT_GT(LastSoundBefore(joined, start3), start3 - 2 * kMp3Frame - lead);
  EXPECT_EQ(VideoHashes(out).size(), static_cast<size_t>(FrameCount(out)));
}

TEST(TimelineJoiner, TwoAudioStreamsComeThroughAsTwo) {
  auto two = [](const std::string& name, double seconds) {
    std::ostringstream a;
    a << "-f lavfi -i testsrc=size=160x120:rate=25:duration=" << seconds << " -f lavfi -i sine=frequency=440:duration="
      << seconds << " -f lavfi -i sine=frequency=880:sample_rate=22050:duration=" << seconds - 0.4
      << " -map 0 -map 1 -map 2 -c:v mpeg4 -c:a:0 libmp3lame -b:a:0 128k -c:a:1 pcm_s16le";
    return CachedClip(name, a.str());
  };
  std::vector<std::string> clips = {two("two1.avi", 2.0), two("two2.avi", 1.6)};
  std::string out = TempDir("twoaudio") + "/out.avi";
  QString error;
  ASSERT_EQ(Join(clips, out, &error), 0) << error.toStdString();
  EXPECT_EQ(Ffprobe(out, "-show_entries stream=codec_type -of csv=p=0"), "video\naudio\naudio\n");
  double video = StreamDuration(out, "v:0");
  EXPECT_NEAR(StreamDuration(out, "a:0"), video, kMp3Frame);
  EXPECT_NEAR(StreamDuration(out, "a:1"), video, 1.0 / 22050);
  EXPECT_EQ(Ffprobe(out, "-select_streams a:1 -show_entries stream=sample_rate -of csv=p=0"), "22050\n");
}

// Files from GStreamer (byte-timed MP3 header, empty rcFrame) and MEncoder
// (audio delayed through dwStart) join with ffmpeg's.
TEST(TimelineJoiner, ClipsFromOtherWritersJoinInSync) {
  if (!HaveCommand("gst-launch-1.0") || !HaveCommand("mencoder")) GTEST_SKIP() << "gst-launch-1.0 or mencoder missing";
  std::string dir = TempDir("writers");
  const std::string gst = testsupport::CachedCommandClip("tj-gst.avi", testsupport::GstMjpegMp3Command(50, 86));
  const std::string gst2 = testsupport::CachedCommandClip("tj-gst2.avi", testsupport::GstMjpegMp3Command(25, 43));
  ASSERT_FALSE(gst.empty() || gst2.empty()) << "GStreamer could not make the clips";
  // GStreamer first: a byte-timed output, ffmpeg's block-timed MP3 copied into it.
  std::string ff = Clip("writers-ff.avi", 2.0, kMp3);
  std::string out = dir + "/gst-out.avi";
  QString error;
  ASSERT_EQ(Join({gst, Clip("writers-mjpeg.avi", 1.0, kMp3, 44100, -1, "-c:v mjpeg -s 160x120"), gst2}, out, &error), 0)
      << error.toStdString();
  EXPECT_EQ(FrameCount(out), 50 + 25 + 25);
  EXPECT_NEAR(StreamDuration(out, "a:0"), StreamDuration(out, "v:0"), kMp3Frame);

  // MEncoder delays its audio by 0.3 s through dwStart: silence first.
  std::string men = dir + "/men.avi";
  ASSERT_EQ(testsupport::Run("mencoder -really-quiet " + Quote(ff) + " -ovc copy -oac mp3lame -lameopts cbr:br=128 -audio-delay 0.3 -o " +
                Quote(men) + " >/dev/null 2>&1"),
            0);
  std::string out2 = dir + "/men-out.avi";
  ASSERT_EQ(Join({ff, men}, out2, &error), 0) << error.toStdString();
  double firstVideo = StreamDuration(ff, "v:0");
  auto joined = DecodedAudio(out2);
  double lead = FirstSoundAfter(DecodedAudio(ff), 0);
  EXPECT_LT(LastSoundBefore(joined, firstVideo + 0.25), firstVideo + kMp3Frame);  // silent while delayed
  EXPECT_NEAR(FirstSoundAfter(joined, firstVideo + 0.02), firstVideo + 0.3 + lead, 2 * kMp3Frame);
  EXPECT_NEAR(StreamDuration(out2, "a:0"), StreamDuration(out2, "v:0"), kMp3Frame);
}

// Wherever a clip without audio stands, the output has audio, the silent clip
// holds silence of its own length and every other clip's sound starts with its
// pictures. Block-aligned ADPCM is timed by its stream header (ffmpeg's
// nAvgBytesPerSec is wrong), and the same MP3 under a frame-based and a
// byte-based header is copied byte for byte, never re-encoded.
TEST(TimelineJoiner, AudioOfEveryKindKeepsItsPlace) {
  const std::string none;
  struct Case {
    std::string name;
    std::vector<std::string> audio;  // per clip: codec arguments, "" for no audio
  };
  const std::vector<Case> cases = {
      {"missing-middle", {kMp3, none, kPcm}},
      {"missing-first", {none, kPcm, kPcm}},
      {"missing-last", {kPcm, kMp3, none}},
      {"adpcm-ima", {"-c:a adpcm_ima_wav", "-c:a adpcm_ima_wav"}},
      {"adpcm-ms", {"-c:a adpcm_ms", "-c:a adpcm_ms"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> clips;
    for (size_t i = 0; i < c.audio.size(); ++i)
      clips.push_back(Clip(c.name + std::to_string(i) + ".avi", 2.0 - 0.4 * i, c.audio[i]));
    std::string out = TempDir("kinds-" + c.name) + "/out.avi";
    QString error;
    ASSERT_EQ(Join(clips, out, &error), 0) << error.toStdString();
    const double video = StreamDuration(out, "v:0");
    const std::string first = c.audio[0].empty() ? c.audio[1] : c.audio[0];
    const double frame = first == kPcm ? 2.0 / 44100 : first == kMp3 ? kMp3Frame : 1024.0 / 44100;
    EXPECT_NEAR(StreamDuration(out, "a:0"), video, frame);
    // Each clip with audio sounds from its own first picture; a silent clip stays silent.
    auto joined = DecodedAudio(out);
    double start = 0;
    for (size_t i = 0; i < clips.size(); ++i) {
      const double length = StreamDuration(clips[i], "v:0");
      if (c.audio[i].empty()) {
        EXPECT_LT(LastSoundBefore(joined, start + length - frame), start + frame) << "clip " << i;
      } else {
        const double lead = FirstSoundAfter(DecodedAudio(clips[i]), 0);
        EXPECT_NEAR(FirstSoundAfter(joined, start + (i ? 0.02 : 0)), start + lead, frame + 0.02) << "clip " << i;
      }
      start += length;
    }
  }
}

TEST(TimelineJoiner, SameMp3UnderBothHeaderLayoutsIsCopied) {
  if (!HaveCommand("gst-launch-1.0")) GTEST_SKIP() << "gst-launch-1.0 missing";
  std::string dir = TempDir("mp3layouts");
  const std::string gst = testsupport::CachedCommandClip("tj-gst.avi", testsupport::GstMjpegMp3Command(50, 86));
  ASSERT_FALSE(gst.empty()) << "GStreamer could not make the clip";
  auto payload = [](const std::string& path) {
    std::string bytes;
    testsupport::Run("ffmpeg -v error -i " + Quote(path) + " -map 0:a:0 -c copy -f data - 2>/dev/null", &bytes);
    return bytes;
  };
  for (bool gstFirst : {false, true}) {
    SCOPED_TRACE(gstFirst ? "byte-based first" : "frame-based first");
    std::string ff = Clip("layout-ff.avi", 2.0, kMp3, 44100, -1, "-c:v mjpeg -ac 2");
    std::vector<std::string> clips = gstFirst ? std::vector<std::string>{gst, ff} : std::vector<std::string>{ff, gst};
    std::string out = dir + (gstFirst ? "/out-gst.avi" : "/out-ff.avi");
    QString error;
    QStringList notes;
    ASSERT_EQ(Join(clips, out, &error, false, &notes), 0) << error.toStdString();
    EXPECT_TRUE(notes.isEmpty()) << notes.join(QStringLiteral(" ")).toStdString();
    const std::string joined = payload(out);
    for (const auto& clip : clips) EXPECT_NE(joined.find(payload(clip).substr(0, 20000)), std::string::npos);
    EXPECT_NEAR(StreamDuration(out, "a:0"), StreamDuration(out, "v:0"), kMp3Frame);
  }
}

TEST(TimelineJoiner, RefusesBeforeWritingAnything) {
  std::string a = Clip("refuse-a.avi", 1.0, kMp3);
  std::string dir = TempDir("refuse");
  // The output is one of the clips.
  std::string copy = dir + "/clip.avi";
  std::filesystem::copy_file(a, copy);
  auto before = ReadFile(copy);
  QString error;
  EXPECT_EQ(Join({a, copy}, copy, &error), -1);
  EXPECT_TRUE(error.contains(QStringLiteral("one of the clips"))) << error.toStdString();
  EXPECT_EQ(ReadFile(copy), before);
  std::string out = dir + "/out.avi";
  // Audio that cannot be brought into the output's format (24-bit PCM cannot be written).
  std::string deep = Clip("refuse-s24.avi", 1.0, "-c:a pcm_s24le");
  std::string other = Clip("refuse-s16.avi", 1.0, kPcm, 22050);
  EXPECT_EQ(Join({deep, other}, out, &error), -1);
  EXPECT_TRUE(error.contains(QStringLiteral("cannot be converted"))) << error.toStdString();
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(TimelineJoiner, StoppedJoinLeavesAReadableFile) {
  std::vector<std::string> clips(6, Clip("stop.avi", 4.0, kMp3));
  std::string out = TempDir("stop") + "/out.avi";
  EXPECT_EQ(Join(clips, out, nullptr, true), 0);
  ASSERT_TRUE(std::filesystem::exists(out));

  EXPECT_EQ(testsupport::Run("ffprobe -v error -show_streams " + Quote(out) + " >/dev/null 2>&1"), 0);
  EXPECT_LE(FrameCount(out), 6 * 100);
}

// A full disk: the join ends as failed with the system's reason, never as finished.
TEST(TimelineJoiner, FullDiskEndsAsFailedWithItsReason) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::vector<std::string> clips(2, Clip("full.avi", 2.0, kMp3));
  QString error;
  EXPECT_EQ(Join(clips, "/dev/full", &error), 1);
  EXPECT_TRUE(error.contains(QStringLiteral("No space left on device"))) << error.toStdString();
}

namespace {
class FakePosition : public TimelineJoiner {
 public:
  int64_t position = -1;
 protected:
  int64_t ReadPosition() const override { return position; }
};
}  // namespace

TEST(TimelineJoiner, PollCountsWholeSecondsPlusOneAndStopsARunAway) {
  App();
  Owner owner;
  FakePosition joiner;
  joiner.SetOwner(&owner, wm::MSG_GRAPH_NOTIFY, wm::MSG_JOIN_DONE);
  EXPECT_EQ(joiner.ExpectedSeconds(), 1u);
  EXPECT_EQ(joiner.Poll(), 1u);  // nothing rendering
  joiner.position = 0;
  EXPECT_EQ(joiner.Poll(), 1u);
  joiner.position = 29'900'000;  // 2.99 s: twice the expected second is not yet a run-away
  EXPECT_EQ(joiner.Poll(), 3u);
  QCoreApplication::processEvents();
  EXPECT_TRUE(owner.doneCodes.empty());
  joiner.position = 30'000'000;
  EXPECT_EQ(joiner.Poll(), 4u);
  QCoreApplication::processEvents();
  EXPECT_EQ(owner.doneCodes, std::vector<int>{1});
  EXPECT_TRUE(TimelineJoiner::IsRunAway(121, 60));
  EXPECT_FALSE(TimelineJoiner::IsRunAway(120, 60));
}

TEST(TimelineJoiner, TimelineShapeFollowsTheFirstClip) {
  App();
  TimelineJoiner joiner;
  std::string a = Clip("shape-a.avi", 2.0, kMp3);
  ASSERT_TRUE(joiner.BuildTimeline(Q(a)));
  EXPECT_FALSE(joiner.BuildTimeline(Q(a)));  // a second build needs ReleaseAll first
  EXPECT_TRUE(joiner.HasGroup(0));
  EXPECT_TRUE(joiner.HasGroup(1));
  EXPECT_FALSE(joiner.HasGroup(2));
  EXPECT_EQ(joiner.StreamIndex(0), 0);
  EXPECT_EQ(joiner.StreamIndex(1), 1);
  ASSERT_TRUE(joiner.AppendClip(Q(a)));
  ASSERT_TRUE(joiner.AppendClip(Q(a)));
  // Back to back, and each clip's audio placed on its video.
  EXPECT_EQ(joiner.Cursor(0), joiner.Cursor(1));
  EXPECT_NEAR(joiner.Cursor(0) / 1e7, 2 * StreamDuration(a, "v:0"), 1e-6);
  joiner.ReleaseAll();
  joiner.ReleaseAll();
  EXPECT_FALSE(joiner.Building());
  EXPECT_TRUE(joiner.BuildTimeline(Q(a)));
}
