// The direct join end to end: real clips from the ffmpeg CLI (and other AVI
// writers), joined by TimelineJoiner on its streaming thread, the result read
// back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "directjoin/TimelineJoiner.h"
#include "tests/support/Fixtures.h"

using namespace testsupport;

namespace {

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

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
         bool cancelAtOnce = false) {
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
  if (!ok) return -1;
  QTimer::singleShot(120000, &owner.loop, &QEventLoop::quit);
  owner.loop.exec();
  if (error) *error = joiner.LastError();
  return owner.doneCodes.empty() ? -2 : owner.doneCodes.front();
}

double Number(const std::string& text) { return std::atof(text.c_str()); }

double StreamDuration(const std::string& path, const std::string& stream) {
  return Number(Ffprobe(path, "-select_streams " + stream + " -show_entries stream=duration -of csv=p=0"));
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
}
