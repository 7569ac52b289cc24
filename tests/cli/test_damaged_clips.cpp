// Damaged copies of ordinary clips from three writers (ffmpeg, GStreamer's
// avimux, MEncoder), one header value or the chunk codes damaged at a time,
// joined with an undamaged copy: through splicora-cli (direct join and
// conversion) and through the engines themselves (TimelineJoiner,
// ConvertWorker), which skip the admission. Each join either refuses, naming
// the file and the field, or writes an output of bounded size that holds
// every frame of its sources, as ffprobe counts them.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

#include "convert/ConvertWorker.h"
#include "directjoin/TimelineJoiner.h"
#include "media/FfmpegLog.h"
#include "tests/support/AviBuilder.h"
#include "tests/support/Fixtures.h"

using namespace testsupport;

namespace {

const media::FourCC kFfv1 = media::MakeFourCC('f', 'f', 'v', '1');

// The ffmpeg clip carries PCM (whose header describes every sample), the
// others CBR MP3.
std::string FfmpegClip() {
  return CachedClip("dmg-ffmpeg.avi",
                    "-f lavfi -i testsrc=size=64x48:rate=25:duration=0.4 -f lavfi -i sine=sample_rate=22050:duration=0.4 "
                    "-c:v mpeg4 -c:a pcm_s16le");
}

struct Writer {
  std::string name;
  std::string path;
};

std::vector<Writer> Writers() {
  std::vector<Writer> writers = {{"ffmpeg", FfmpegClip()}};
  if (HaveCommand("gst-launch-1.0"))
    writers.push_back({"gstreamer", CachedCommandClip("dmg-gst.avi", GstMjpegMp3Command(10, 18))});
  if (HaveCommand("mencoder"))
    writers.push_back({"mencoder", CachedCommandClip("dmg-mencoder.avi", "mencoder -really-quiet " + Quote(FfmpegClip()) +
                                                                             " -ovc copy -oac mp3lame -lameopts cbr:br=128 -o {out}")});
  return writers;
}

enum class Expect { Refused, Kept };

struct Damage {
  std::string name;
  std::function<bool(Bytes&)> apply;
  Expect expect;
  std::string field;  // named by a refusal
};

std::function<bool(Bytes&)> Set(const std::string& stream, const std::string& field, uint32_t value) {
  return [=](Bytes& file) { return SetHeaderField(file, stream, field, value); };
}

// The same field of both streams, or two fields of one header, at once.
std::function<bool(Bytes&)> Both(std::function<bool(Bytes&)> a, std::function<bool(Bytes&)> b) {
  return [=](Bytes& file) { return a(file) && b(file); };
}

std::vector<Damage> Damages() {
  return {
      {"video dwScale", Set("vids", "dwScale", 0xFFFFFFFF), Expect::Refused, "dwScale"},
      {"video dwRate", Set("vids", "dwRate", 0xFFFFFFFF), Expect::Refused, "dwRate"},
      {"chunk codes", [](Bytes& f) { return ZeroEverySecondChunkCode(f) > 4; }, Expect::Kept, ""},
      // The index still gives every chunk; a scan of the data could not get past the first.
      {"chunk sizes", [](Bytes& f) { return BreakChunkSizes(f, 7) > 1; }, Expect::Kept, ""},
      {"audio nChannels", Set("auds", "nChannels", 0xFFFF), Expect::Refused, "nChannels"},
      {"audio nSamplesPerSec", Set("auds", "nSamplesPerSec", 0), Expect::Refused, "nSamplesPerSec"},
      {"audio nBlockAlign", Set("auds", "nBlockAlign", 0xFFFF), Expect::Refused, "nBlockAlign"},
      {"audio wBitsPerSample", Set("auds", "wBitsPerSample", 0xFFFF), Expect::Refused, "wBitsPerSample"},
      {"audio dwScale", Set("auds", "dwScale", 0xFFFFFFFF), Expect::Refused, "dwScale"},
      {"video biWidth", Set("vids", "biWidth", 0x7FFFFFFF), Expect::Refused, "biWidth"},
      {"video biHeight", Set("vids", "biHeight", 0x7FFFFFFF), Expect::Refused, "biHeight"},
      {"video dwLength", Set("vids", "dwLength", 0xFFFFFFFF), Expect::Kept, ""},
      {"dwSuggestedBufferSize",
       Both(Set("vids", "dwSuggestedBufferSize", 0xFFFFFFFF), Set("auds", "dwSuggestedBufferSize", 0xFFFFFFFF)),
       Expect::Kept, ""},
      // Audio that claims to start 27 hours late: silence up to its clip's end, no further.
      {"audio dwStart", Set("auds", "dwStart", 0x7FFFFFFF), Expect::Kept, ""},
      {"avih", Both(Set("avih", "dwMicroSecPerFrame", 0xFFFFFFFF), Set("avih", "dwTotalFrames", 0xFFFFFFFF)),
       Expect::Kept, ""},
  };
}

struct Outcome {
  bool written = false;  // the join said it finished
  std::string message;   // what it said otherwise
};

Outcome Cli(const std::vector<std::string>& clips, const std::string& out, const std::string& options) {
  std::string command = Quote(CliPath()) + " join " + options + " -o " + Quote(out);
  for (const auto& c : clips) command += " " + Quote(c);
  const std::string err = out + ".err";
  std::string stdoutText;
  const int status = Run(command + " 2>" + Quote(err), &stdoutText);
  std::ifstream errStream(err);
  const std::string text((std::istreambuf_iterator<char>(errStream)), {});
  if (status == 0) {
    EXPECT_EQ(stdoutText, out + "\n");
    EXPECT_NE(text.find("Finished Successfully!"), std::string::npos) << text;
    return {true, text};
  }
  EXPECT_EQ(status, 1) << text;
  EXPECT_EQ(text.find("Finished Successfully!"), std::string::npos) << text;
  return {false, text};
}

// Stands in for the window: the direct join's events and its end.
class Owner : public MessageTarget {
 public:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM) override {
    if (message == wm::MSG_GRAPH_NOTIFY && joiner) {
      joiner->HandleGraphEvents();
    } else if (message == wm::MSG_JOIN_DONE) {
      done = static_cast<int>(wParam);
      loop.quit();
    }
    return 0;
  }
  TimelineJoiner* joiner = nullptr;
  int done = -1;
  QEventLoop loop;
};

Outcome EngineJoin(const std::vector<std::string>& clips, const std::string& out) {
  CoreApp();
  Owner owner;
  TimelineJoiner joiner;
  owner.joiner = &joiner;
  joiner.SetOwner(&owner, wm::MSG_GRAPH_NOTIFY, wm::MSG_JOIN_DONE);
  bool ok = joiner.BuildTimeline(QString::fromStdString(clips.front()));
  for (const auto& c : clips) ok = ok && joiner.AppendClip(QString::fromStdString(c));
  ok = ok && joiner.Render(QString::fromStdString(out));
  if (!ok) return {false, joiner.LastError().toStdString()};
  QTimer::singleShot(60000, &owner.loop, &QEventLoop::quit);
  owner.loop.exec();
  EXPECT_GE(owner.done, 0) << "the join did not end";
  return {owner.done == 0, joiner.LastError().toStdString()};
}

Outcome EngineConvert(const std::vector<std::string>& clips, const std::string& out) {
  CoreApp();
  ConvertWorker worker;
  EXPECT_TRUE(worker.Start(ConvertRequest{clips, out, kFfv1, {}, false}, nullptr, [](int, int) { return false; }));
  EXPECT_TRUE(worker.Wait(60000));
  return {worker.Code() == ConvertWorker::kFinished && !worker.Cancelled(), worker.LastError()};
}

int Frames(const std::string& path) {
  return std::atoi(
      Ffprobe(path, "-count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0").c_str());
}

}  // namespace

// The refusals' reason under each refused file, as the command line lists them.
std::string ReasonFor(const std::string& listing, const std::string& file) {
  const size_t at = listing.find("\n  " + file + "\n");
  if (at == std::string::npos) return "";
  const size_t next = listing.find("\n  /", at + file.size() + 3);
  return listing.substr(at, next == std::string::npos ? std::string::npos : next - at);
}

// The engines, which skip the admission, join each damaged copy with the
// undamaged one; the command line takes all copies of a writer's clip at
// once: without --skip-refused it refuses the join, with it it joins what it
// admits and lists the rest, each with the field at fault.
TEST(DamagedClips, RefusedByFieldOrJoinedWithEveryFrame) {
  media::SetFfmpegLogging(false);
  const struct {
    const char* name;
    std::function<Outcome(const std::vector<std::string>&, const std::string&)> join;
  } engines[] = {{"TimelineJoiner", EngineJoin}, {"ConvertWorker", EngineConvert}};
  for (const Writer& writer : Writers()) {
    SCOPED_TRACE(writer.name);
    ASSERT_FALSE(writer.path.empty());
    const int sourceFrames = Frames(writer.path);
    ASSERT_GT(sourceFrames, 5);
    const uint64_t sourceBytes = std::filesystem::file_size(writer.path);
    const std::string dir = TempDir("damaged-" + writer.name);
    std::vector<std::pair<Damage, std::string>> refused;
    std::vector<std::string> all = {writer.path};
    int kept = 1;
    auto expectKept = [&](const Outcome& outcome, const std::string& out, int clips) {
      ASSERT_TRUE(outcome.written) << outcome.message;
      EXPECT_EQ(Frames(out), clips * sourceFrames);
      EXPECT_LT(std::filesystem::file_size(out), 10 * clips * sourceBytes + (1u << 20));
    };
    for (const Damage& damage : Damages()) {
      SCOPED_TRACE(damage.name);
      Bytes bytes = ReadFile(writer.path);
      ASSERT_TRUE(damage.apply(bytes));
      std::string damaged = dir + "/" + damage.name + ".avi";
      std::replace(damaged.begin() + static_cast<std::ptrdiff_t>(dir.size()), damaged.end(), ' ', '-');
      WriteFile(damaged, bytes);
      all.push_back(damaged);
      if (damage.expect == Expect::Refused) refused.emplace_back(damage, damaged);
      else ++kept;
      for (const auto& engine : engines) {
        SCOPED_TRACE(engine.name);
        const std::string out = damaged.substr(0, damaged.size() - 4) + "-" + engine.name + ".avi";
        const Outcome outcome = engine.join({damaged, writer.path}, out);
        if (damage.expect == Expect::Kept) {
          expectKept(outcome, out, 2);
          continue;
        }
        EXPECT_FALSE(outcome.written);
        EXPECT_NE(outcome.message.find(damaged + ": "), std::string::npos) << outcome.message;
        EXPECT_NE(outcome.message.find(damage.field), std::string::npos) << outcome.message;
      }
    }
    auto expectListed = [&](const std::string& listing) {
      for (const auto& [damage, file] : refused) {
        SCOPED_TRACE(damage.name);
        EXPECT_NE(ReasonFor(listing, file).find(damage.field), std::string::npos) << listing;
      }
    };
    const Outcome refusedJoin = Cli(all, dir + "/refused.avi", "");
    EXPECT_FALSE(refusedJoin.written);
    EXPECT_FALSE(std::filesystem::exists(dir + "/refused.avi"));
    expectListed(refusedJoin.message);
    for (const char* options : {"--skip-refused", "--skip-refused --recompress ffv1"}) {
      SCOPED_TRACE(options);
      const std::string out = dir + "/" + (std::string(options).size() > 15 ? "converted" : "joined") + ".avi";
      const Outcome joined = Cli(all, out, options);
      expectKept(joined, out, kept);
      EXPECT_NE(joined.message.find("Left out of the join:"), std::string::npos) << joined.message;
      expectListed(joined.message);
    }
  }
}

// A clip whose frames last 50 s each (a damaged but possible dwScale): its
// conversion to MP3 encodes more than an hour of silence. Ctrl-C ends it as
// it ends any run: the cancel text, exit 3, and a closed file far smaller
// than the whole run would write.
TEST(DamagedClips, InterruptEndsALongSilence) {
  Bytes bytes = ReadFile(CachedClip("dmg-slow.avi",
                                    "-f lavfi -i testsrc=size=64x48:rate=25:duration=4 -f lavfi -i "
                                    "sine=sample_rate=22050:duration=4 -c:v mpeg4 -c:a pcm_s16le"));
  ASSERT_TRUE(SetHeaderField(bytes, "vids", "dwScale", 1250));
  const std::string dir = TempDir("damaged-int");
  const std::string clip = dir + "/slow.avi", out = dir + "/out.avi";
  WriteFile(clip, bytes);
  std::vector<std::string> args = {CliPath(), "join", "--recompress", "ffv1", "--mp3", "-o", out, clip};
  const pid_t pid = StartProcess(args, dir);
  ASSERT_GE(pid, 0);
  for (int i = 0; i < 500 && !std::filesystem::exists(out); ++i) usleep(20000);
  usleep(300000);
  kill(pid, SIGINT);
  int status = 0;
  // A generous watchdog: a run that ignores the request is killed and fails here.
  for (int i = 0; i < 300 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(100000);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the conversion went on after Ctrl-C";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  std::ifstream err(dir + "/err");
  const std::string text((std::istreambuf_iterator<char>(err)), {});
  EXPECT_NE(text.find("Merge video files was canceled!"), std::string::npos) << text;
  // 100 frames of 50 s: 5000 s of 64 kbit/s MP3 would be 40 MB.
  EXPECT_LT(std::filesystem::file_size(out), 20u << 20);
  EXPECT_EQ(testsupport::Run("ffprobe -v error -show_streams " + Quote(out) + " >/dev/null 2>&1"), 0);
}
