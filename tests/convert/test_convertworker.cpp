// The conversion end to end: clips from the ffmpeg CLI and GStreamer, converted
// by ConvertWorker on its thread, the output read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "convert/ConvertWorker.h"
#include "avi/AviTypes.h"
#include "tests/support/Fixtures.h"

using namespace testsupport;

namespace {

const media::FourCC kFfv1 = media::MakeFourCC('f', 'f', 'v', '1');
const media::FourCC kDivx = media::MakeFourCC('d', 'i', 'v', 'x');
constexpr double kMp3Frame = 1152.0 / 44100;

QCoreApplication& App() { return CoreApp(); }

// Stands in for the main dialog: counts the end messages.
class Owner : public MessageTarget {
 public:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM) override {
    if (message == wm::MSG_JOIN_DONE) codes.push_back(static_cast<int>(wParam));
    return 0;
  }
  std::vector<int> codes;
};

struct Outcome {
  int code = -1;
  bool cancelled = false;
  std::string error;
  std::vector<int> posted;
};

// Converts clips into out; progress may act on the run (true stops it).
Outcome Convert(const std::vector<std::string>& clips, const std::string& out, media::FourCC handler, bool mp3,
                ConvertWorker::Progress progress = {}) {
  App();
  Owner owner;
  ConvertWorker worker;
  ConvertRequest request{clips, out, handler, {}, mp3};
  EXPECT_TRUE(worker.Start(request, &owner, progress ? progress : [](int, int) { return false; }));
  EXPECT_TRUE(worker.Wait(120000));
  QCoreApplication::processEvents();  // the posted end message
  return {worker.Code(), worker.Cancelled(), worker.LastError(), owner.codes};
}

std::string Clip(const std::string& name, const std::string& video, double seconds, const std::string& audio,
                 const std::string& size = "160x120") {
  std::ostringstream a;
  a << "-f lavfi -i testsrc=size=" << size << ":rate=25:duration=" << seconds;
  if (!audio.empty()) a << " -f lavfi -i sine=frequency=440:sample_rate=44100:duration=" << seconds << " " << audio;
  a << " " << video;
  return CachedClip(name, a.str());
}

// Hashes of every decoded picture, one per frame time of the stream: a time
// with no picture (a drop chunk) repeats the one before.
std::vector<std::string> DecodedHashes(const std::string& path) {
  std::string text;
  Run("ffmpeg -v error -i " + Quote(path) + " -map 0:v -fps_mode passthrough -pix_fmt bgr24 -f framemd5 - 2>/dev/null",
      &text);
  std::vector<std::string> hashes;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string f; std::getline(parts, f, ',');) fields.push_back(f);
    const size_t pts = static_cast<size_t>(std::atoll(fields.at(2).c_str()));
    while (!hashes.empty() && hashes.size() < pts) hashes.push_back(hashes.back());
    hashes.push_back(fields.back());
  }
  return hashes;
}

double VideoSeconds(const std::string& path) {
  return std::atof(Ffprobe(path, "-select_streams v:0 -show_entries stream=duration -of csv=p=0").c_str());
}

int Chunks(const std::string& path) {
  return std::atoi(Ffprobe(path, "-select_streams v:0 -show_entries stream=nb_frames -of csv=p=0").c_str());
}

// Decoded audio as mono 16-bit samples at 44.1 kHz.
std::vector<int16_t> DecodedAudio(const std::string& path) { return DecodedPcm(path, "-ac 1 -ar 44100"); }

double AudioSeconds(const std::string& path) { return DecodedAudio(path).size() / 44100.0; }

// The farthest the audio and the video run apart, read in file order.
double InterleaveGap(const std::string& path) {
  std::istringstream lines(Ffprobe(path, "-show_entries packet=stream_index,dts_time,pos -of csv=p=0"));
  std::vector<std::tuple<int64_t, int, double>> packets;  // position, stream, time
  for (std::string line; std::getline(lines, line);) {
    int stream = 0;
    double time = 0;
    long long pos = 0;
    if (std::sscanf(line.c_str(), "%d,%lf,%lld", &stream, &time, &pos) == 3) packets.emplace_back(pos, stream, time);
  }
  std::sort(packets.begin(), packets.end());
  double video = -1, audio = -1, gap = 0;
  for (const auto& [pos, stream, time] : packets) {
    (stream == 0 ? video : audio) = time;
    if (video >= 0 && audio >= 0) gap = std::max(gap, std::abs(audio - video));
  }
  return gap;
}

// Whether [t0, t1) seconds of the samples hold sound.
bool Sounds(const std::vector<int16_t>& samples, double t0, double t1) {
  for (size_t i = static_cast<size_t>(std::max(0.0, t0) * 44100); i < samples.size() && i < t1 * 44100; ++i)
    if (std::abs(samples[i]) > 1000) return true;
  return false;
}

}  // namespace

// FFV1 is lossless: three clips (one with dropped frames, one from GStreamer)
// come out as exactly the pictures they decode to, every chunk a frame, and
// their PCM audio is kept as it is.
TEST(ConvertWorker, LosslessConversionKeepsEveryPicture) {
  const std::string pcm = "-c:a pcm_s16le";
  std::vector<std::string> clips = {
      Clip("cw-a.avi", "-c:v ffv1 -pix_fmt bgr0", 2.0, pcm),
      // Frames 10 to 12 left out with their times kept: the AVI holds three drop chunks.
      Clip("cw-drops.avi", "-c:v ffv1 -pix_fmt bgr0 -vf select='not(between(n\\,10\\,12))' -fps_mode passthrough", 1.6, pcm),
  };
  const std::string gst = CachedCommandClip(
      "cw-gst.avi", "gst-launch-1.0 -q videotestsrc num-buffers=30 pattern=ball ! "
                    "video/x-raw,format=BGR,width=160,height=120,framerate=25/1 ! avimux name=m ! filesink location={out} "
                    "audiotestsrc num-buffers=27 samplesperbuffer=2048 ! audio/x-raw,format=S16LE,rate=44100,channels=1 ! m.");
  if (!gst.empty()) clips.push_back(gst);
  for (const auto& c : clips) ASSERT_FALSE(c.empty());
  ASSERT_EQ(Chunks(clips[1]), 40);

  const std::string out = TempDir("cw-lossless") + "/out.avi";
  Outcome r = Convert(clips, out, kFfv1, false);
  ASSERT_EQ(r.code, 0) << r.error;
  EXPECT_EQ(r.posted, std::vector<int>{0});
  std::vector<std::string> expected;
  int chunks = 0;
  for (const auto& c : clips) {
    auto h = DecodedHashes(c);
    expected.insert(expected.end(), h.begin(), h.end());
    chunks += Chunks(c);
  }
  EXPECT_EQ(Ffprobe(out, "-show_entries stream=codec_name -of csv=p=0"), "ffv1\npcm_s16le\n");
  EXPECT_EQ(Chunks(out), chunks);
  EXPECT_EQ(DecodedHashes(out), expected);
  EXPECT_NEAR(AudioSeconds(out), VideoSeconds(out), 1.0 / 44100);
}

// With MP3: one CBR stream at one rate as long as the video; a clip without
// audio is silence of its length, the next clip sounds from its first picture;
// 48 kHz mono after 44.1 kHz stereo is converted; a clip of another size is
// fitted into the first clip's with black borders.
TEST(ConvertWorker, Mp3AudioKeepsEveryClipInPlace) {
  const std::string mp3 = "-ac 2 -c:a libmp3lame -b:a 128k";
  std::vector<std::string> clips = {
      Clip("cw-mp3.avi", "-c:v mpeg4", 2.0, mp3),
      Clip("cw-silent.avi", "-c:v mpeg4", 1.2, ""),
      CachedClip("cw-48k.avi", "-f lavfi -i testsrc=size=160x120:rate=25:duration=1.6 -f lavfi -i "
                               "sine=frequency=440:sample_rate=48000:duration=1.6 -c:v mpeg4 -c:a pcm_s16le"),
      Clip("cw-wide.avi", "-c:v mpeg4", 1.0, mp3, "320x90"),
  };
  const std::string out = TempDir("cw-mp3") + "/out.avi";
  Outcome r = Convert(clips, out, kDivx, true);
  ASSERT_EQ(r.code, 0) << r.error;
  EXPECT_EQ(Ffprobe(out, "-show_entries stream=codec_name,sample_rate,bit_rate,width,height -of csv=p=0"),
            "mpeg4,160,120,N/A\nmp3,44100,128000\n");
  EXPECT_NEAR(AudioSeconds(out), VideoSeconds(out), kMp3Frame);
  // Constant bit rate: every packet 417 or 418 bytes (padding).
  for (const auto& p : ProbePackets(out, "a:0")) EXPECT_TRUE(p.size == 417 || p.size == 418) << p.size;

  auto audio = DecodedAudio(out);
  // Each clip's place: its chunks at 25 a second (ffmpeg's MP3 files start with a drop chunk).
  const double t1 = Chunks(clips[0]) / 25.0, t2 = t1 + Chunks(clips[1]) / 25.0, t3 = t2 + Chunks(clips[2]) / 25.0;
  EXPECT_TRUE(Sounds(audio, t1 - 0.1, t1));
  EXPECT_FALSE(Sounds(audio, t1 + kMp3Frame, t2 - kMp3Frame));  // the silent clip
  EXPECT_TRUE(Sounds(audio, t2 + kMp3Frame, t2 + 2 * kMp3Frame));  // the 48 kHz clip from its start
  EXPECT_TRUE(Sounds(audio, t3 - 0.1, t3));

  // The 32:9 clip is letterboxed: black rows at the top, the picture in the middle.
  std::string gray;
  testsupport::Run("ffmpeg -v error -ss " + std::to_string(t3 + 0.5) + " -i " + Quote(out) +
          " -frames:v 1 -f rawvideo -pix_fmt gray - 2>/dev/null",
      &gray);
  ASSERT_EQ(gray.size(), 160u * 120u);
  auto row = [&](int y) {
    int sum = 0;
    for (int x = 0; x < 160; ++x) sum += static_cast<uint8_t>(gray[static_cast<size_t>(y) * 160 + x]);
    return sum / 160;
  };
  EXPECT_LT(row(5), 24);
  EXPECT_GT(row(60), 60);
}

// Failures end with their code and reason, never as finished: a full disk, a
// clip removed while the run goes, a compressor that does not exist; a stop
// request ends as cancelled with a closed file ffprobe reads. Exactly one end
// message each time.
TEST(ConvertWorker, FailuresAndStopsEndOnce) {
  const std::string a = Clip("cw-fail-a.avi", "-c:v mpeg4", 2.0, "-c:a pcm_s16le");
  const std::string dir = TempDir("cw-fail");
  const std::string b = dir + "/b.avi";
  std::filesystem::copy_file(a, b);

  if (std::filesystem::exists("/dev/full")) {
    Outcome full = Convert({a, a}, "/dev/full", kDivx, false);
    EXPECT_EQ(full.code, ConvertWorker::kVideoFailed);
    EXPECT_NE(full.error.find("No space"), std::string::npos) << full.error;
    EXPECT_EQ(full.posted.size(), 1u);
  }

  // The second clip goes once the first is being converted.
  Outcome gone = Convert({a, b}, dir + "/gone.avi", kDivx, false, [&](int, int clip) {
    if (clip == 0) std::filesystem::remove(b);
    return false;
  });
  EXPECT_EQ(gone.code, ConvertWorker::kVideoFailed);
  EXPECT_NE(gone.error.find(b), std::string::npos) << gone.error;
  EXPECT_EQ(gone.posted, std::vector<int>{1});

  Outcome none = Convert({a}, dir + "/none.avi", media::MakeFourCC('n', 'o', 'n', 'e'), false);
  EXPECT_EQ(none.code, ConvertWorker::kVideoFailed);
  EXPECT_NE(none.error.find("none"), std::string::npos) << none.error;

  const std::string stopped = dir + "/stopped.avi";
  Outcome stop = Convert({a, a, a}, stopped, kDivx, true, [](int percent, int) { return percent >= 40; });
  EXPECT_EQ(stop.code, 0);
  EXPECT_TRUE(stop.cancelled);
  EXPECT_EQ(stop.posted, std::vector<int>{0});
  const int frames = Chunks(stopped);
  EXPECT_GT(frames, 0);
  EXPECT_LT(frames, 3 * Chunks(a));
  EXPECT_NEAR(AudioSeconds(stopped), VideoSeconds(stopped), 0.5);
}

// Clips from MEncoder (video starting late through its dwStart), GStreamer
// (byte-based MP3, empty rcFrame) and ffmpeg (IMA ADPCM whose nAvgBytesPerSec
// is wrong) convert in sync: every chunk a frame, the audio as long as the video
// and written next to it.
TEST(ConvertWorker, ClipsFromOtherWritersConvertInSync) {
  if (!HaveCommand("mencoder") || !HaveCommand("gst-launch-1.0")) GTEST_SKIP() << "mencoder or gst-launch-1.0 missing";
  const std::string source = Clip("cw-src.avi", "-c:v mpeg4", 2.0, "-ac 2 -c:a libmp3lame -b:a 128k");
  const std::vector<std::string> clips = {
      CachedCommandClip("cw-men-late.avi", "mencoder -really-quiet " + Quote(source) +
                                               " -ovc copy -oac mp3lame -audio-delay -0.3 -o {out}"),
      CachedCommandClip("cw-gst-mp3.avi", GstMjpegMp3Command(40, 70)),
      Clip("cw-adpcm.avi", "-c:v mpeg4", 1.4, "-c:a adpcm_ima_wav"),
  };
  for (const auto& c : clips) ASSERT_FALSE(c.empty());
  int chunks = 0;
  for (const auto& c : clips) chunks += Chunks(c);
  for (bool mp3 : {false, true}) {
    SCOPED_TRACE(mp3 ? "mp3" : "first clip's audio format");
    const std::string out = TempDir("cw-writers") + "/out.avi";
    // x264 holds pictures back (look-ahead): the audio still goes next to its video.
    Outcome r = Convert(clips, out, mp3 ? media::MakeFourCC('x', '2', '6', '4') : kDivx, mp3);
    ASSERT_EQ(r.code, 0) << r.error;
    EXPECT_EQ(Chunks(out), chunks);
    EXPECT_NEAR(AudioSeconds(out), VideoSeconds(out), kMp3Frame);
    EXPECT_LT(InterleaveGap(out), 1.0);
  }
}
