// The direct join's copy path: runs of source chunks copied by the kernel
// (copy_file_range) against the same join read and written, on real clips.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>

#include "avi/AviReader.h"
#include "avi/AviWriter.h"
#include "directjoin/TimelineWriter.h"
#include "tests/support/AviBuilder.h"
#include "tests/support/Fixtures.h"
#include "tests/support/RawStreams.h"

using namespace testsupport;
using media::AviReader;
using media::AviWriter;
using media::TimelineEvent;
using media::TimelineSource;
using media::TimelineWriter;

namespace {

constexpr int64_t kSecond = 10000000;

std::string Mpeg4Clip(const std::string& name, const std::string& audio, double videoSeconds) {
  return CachedClip(name, "-f lavfi -i testsrc2=size=320x240:rate=25:duration=" + std::to_string(videoSeconds) +
                              " " + audio + " -c:v mpeg4 -q:v 2 -g 12");
}

// A copy of clip written by our writer with small OpenDML limits: AVIX RIFFs
// and ix## chunks amid the data.
std::string OpenDmlCopy(const std::string& clip) {
  const std::string path = TempDir("copy-odml") + "/odml.avi";
  AviReader reader;
  AviWriter writer;
  writer.SetLimitsForTesting({256 << 10, 8, 512});
  if (reader.Open(clip) != media::AVIERR_OK || writer.Create(path) != media::AVIERR_OK) return "";
  std::multimap<uint64_t, std::pair<int, media::AviChunk>> order;
  for (size_t s = 0; s < reader.StreamCount(); ++s) {
    writer.AddStream(reader.Stream(s).info, reader.Stream(s).format, nullptr);
    for (const auto& c : reader.Stream(s).chunks) order.insert({c.offset, {static_cast<int>(s), c}});
  }
  std::vector<uint8_t> data;
  for (const auto& [offset, chunk] : order)
    if (!reader.ReadChunk(chunk.second, data) ||
        writer.WriteChunk(chunk.first, data.data(), chunk.second.size, chunk.second.keyFrame) != media::AVIERR_OK)
      return "";
  return writer.Close() == media::AVIERR_OK ? path : "";
}

// Every clip whole, one after the other: its video, and its audio streams
// (the first audioGroups of them; silence where it has none).
void Place(TimelineWriter& timeline, const std::vector<std::string>& clips, int audioGroups) {
  timeline.AddGroup(TimelineWriter::GroupKind::Video);
  for (int g = 0; g < audioGroups; ++g) timeline.AddGroup(TimelineWriter::GroupKind::Audio);
  int64_t at = 0;
  for (const std::string& clip : clips) {
    AviReader reader;
    ASSERT_EQ(reader.Open(clip), media::AVIERR_OK) << clip;
    std::vector<int> video, audio;
    for (size_t s = 0; s < reader.StreamCount(); ++s)
      (reader.Stream(s).info.fccType == media::streamtypeVIDEO ? video : audio).push_back(static_cast<int>(s));
    const auto& info = reader.Stream(video[0]).info;
    const int64_t length = static_cast<int64_t>(reader.Stream(video[0]).chunks.size()) * info.dwScale * kSecond / info.dwRate;
    ASSERT_TRUE(timeline.AddSource(0, {clip, video[0], 0, length, at, at + length}));
    for (int g = 0; g < audioGroups; ++g)
      ASSERT_TRUE(timeline.AddSource(g + 1, {clip, g < static_cast<int>(audio.size()) ? audio[g] : -1, 0, length, at, at + length}));
    at += length;
  }
}

TimelineEvent Join(const std::vector<std::string>& clips, int audioGroups, const AviWriter::Limits& limits,
                   bool kernel, const std::string& out) {
  TimelineWriter timeline;
  Place(timeline, clips, audioGroups);
  timeline.SetKernelCopy(kernel);
  timeline.SetWriterLimitsForTesting(limits);
  TimelineEvent end = TimelineEvent::Progress;
  EXPECT_TRUE(timeline.Start(out, [&end](TimelineEvent e) {
    if (e != TimelineEvent::Progress) end = e;
  })) << timeline.LastError();
  timeline.Wait();
  return end;
}

// Data chunks per stream number met walking every movi list chunk by chunk;
// -1 counts anything that is neither data, an ix## index nor JUNK.
std::map<int, int> WalkMovi(const std::vector<uint8_t>& file) {
  std::map<int, int> counts;
  auto id = [&](size_t at) { return std::string(reinterpret_cast<const char*>(file.data() + at), 4); };
  auto size = [&](size_t at) { return static_cast<size_t>(GetLe32(file, at + 4)); };
  for (size_t riff = 0; riff + 12 <= file.size(); riff += 8 + size(riff) + (size(riff) & 1)) {
    size_t list = riff + 12;
    while (list + 12 <= file.size() && !(id(list) == "LIST" && id(list + 8) == "movi")) list += 8 + size(list) + (size(list) & 1);
    const size_t end = std::min(file.size(), list + 8 + size(list));
    for (size_t at = list + 12; at + 8 <= end; at += 8 + size(at) + (size(at) & 1)) {
      const std::string code = id(at);
      const bool data = std::isdigit(code[0]) && std::isdigit(code[1]);
      counts[data ? std::stoi(code.substr(0, 2)) : (code == "JUNK" || code.substr(0, 2) == "ix") ? 100 : -1]++;
    }
  }
  return counts;
}

struct CopyCase {
  const char* name;
  std::vector<std::string> clips;
  int audioGroups;
  AviWriter::Limits limits;
};

}  // namespace

// Cut audio, silence for a clip without audio and for short audio, an
// OpenDML source with its own ix## chunks and AVIX RIFFs (into an output of
// small RIFFs: runs split at their limit), two audio streams, a stream left
// out, and a source whose stream numbers differ from the output's.
TEST(TimelineWriterCopy, KernelCopyAndReadWriteGiveTheSameFile) {
  const std::string mp3 = "-c:a libmp3lame -b:a 64k";
  const std::string longAudio = Mpeg4Clip("copy-long.avi", "-f lavfi -i sine=r=44100:d=3.5 " + mp3 + " -map 0 -map 1", 3);
  const std::string noAudio = Mpeg4Clip("copy-silent.avi", "", 2);
  const std::string shortAudio = Mpeg4Clip("copy-short.avi", "-f lavfi -i sine=r=44100:d=1.5 " + mp3 + " -map 0 -map 1", 3);
  const std::string twoAudio = Mpeg4Clip("copy-two.avi",
      "-f lavfi -i sine=r=44100:d=3 -f lavfi -i sine=f=600:r=8000:d=3 -map 0 -map 1 -map 2 -c:a:0 libmp3lame -b:a:0 64k -c:a:1 pcm_s16le", 3);
  const std::string swapped = TempDir("copy-swap") + "/swapped.avi";
  ASSERT_EQ(MakeClip(swapped, "-i " + Quote(longAudio) + " -map 0:a -map 0:v -c copy"), "");
  const std::string odml = OpenDmlCopy(longAudio);
  ASSERT_FALSE(odml.empty());
  const std::vector<CopyCase> cases = {
      {"cut audio and silence", {longAudio, noAudio, shortAudio}, 1, {}},
      {"OpenDML source, small output RIFFs", {odml, odml}, 1, {512 << 10, 40, 256}},
      {"two audio streams", {twoAudio, twoAudio}, 2, {}},
      {"stream left out, streams renumbered", {twoAudio, swapped}, 1, {}},
  };
  for (const CopyCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = TempDir("copy-case");
    ASSERT_EQ(Join(c.clips, c.audioGroups, c.limits, true, dir + "/fast.avi"), TimelineEvent::Complete);
    ASSERT_EQ(Join(c.clips, c.audioGroups, c.limits, false, dir + "/slow.avi"), TimelineEvent::Complete);
    const std::vector<uint8_t> fast = ReadFile(dir + "/fast.avi");
    EXPECT_TRUE(fast == ReadFile(dir + "/slow.avi"));

    // Each video chunk sits at its source offset's remainder modulo 4096, and
    // is the source's, in order; ffprobe counts every packet and frame.
    AviReader out;
    ASSERT_EQ(out.Open(dir + "/fast.avi"), media::AVIERR_OK);
    std::vector<std::pair<int64_t, uint32_t>> sourcePackets;
    size_t k = 0;
    int inputFrames = 0;
    for (const std::string& clip : c.clips) {
      AviReader in;
      ASSERT_EQ(in.Open(clip), media::AVIERR_OK);
      const int v = in.Stream(0).info.fccType == media::streamtypeVIDEO ? 0 : 1;
      for (const auto& chunk : in.Stream(v).chunks) {
        ASSERT_LT(k, out.Stream(0).chunks.size());
        EXPECT_EQ((out.Stream(0).chunks[k++].offset - chunk.offset) % 4096, 0u) << clip << " chunk " << k;
      }
      const auto packets = FrameCrcs(clip)[v];
      sourcePackets.insert(sourcePackets.end(), packets.begin(), packets.end());
      inputFrames += std::stoi(Ffprobe(clip, "-v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0"));
    }
    EXPECT_EQ(k, out.Stream(0).chunks.size());
    EXPECT_TRUE(FrameCrcs(dir + "/fast.avi")[0] == sourcePackets);
    EXPECT_EQ(std::stoi(Ffprobe(dir + "/fast.avi", "-v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0")), inputFrames);
    for (int a = 0; a < c.audioGroups; ++a) {
      const std::string stream = "-v error -select_streams a:" + std::to_string(a);
      const auto fields = ProbeFields(dir + "/fast.avi", stream + " -count_frames -count_packets -show_entries stream=nb_read_frames,nb_read_packets,sample_rate");
      EXPECT_EQ(fields.at("nb_read_frames"), fields.at("nb_read_packets"));
      std::istringstream frames(Ffprobe(dir + "/fast.avi", stream + " -show_entries frame=nb_samples -of csv=p=0"));
      double samples = 0;
      for (std::string line; std::getline(frames, line);) samples += std::stod(line);
      EXPECT_NEAR(samples / std::stod(fields.at("sample_rate")), static_cast<double>(out.Stream(0).chunks.size()) / 25, 0.03);
    }
    // A walk through movi meets the indexed chunks and nothing else: the
    // chunks left out of runs carry JUNK.
    std::map<int, int> walked = WalkMovi(fast);
    EXPECT_EQ(walked.count(-1), 0u);
    for (size_t s = 0; s < out.StreamCount(); ++s) EXPECT_EQ(walked[static_cast<int>(s)], static_cast<int>(out.Stream(s).chunks.size())) << s;
    EXPECT_EQ(walked.size(), out.StreamCount() + 1);
  }
}

// A source whose chunk headers disagree with its index (a video chunk's size,
// an audio chunk's stream number): those chunks go out as the index has them,
// read ahead or not, copied by the kernel or not; everything else as copied.
TEST(TimelineWriterCopy, HeadersThatDisagreeWithTheIndexAreWrittenAnew) {
  const std::string clip = Mpeg4Clip("copy-long.avi", "-f lavfi -i sine=r=44100:d=3.5 -c:a libmp3lame -b:a 64k -map 0 -map 1", 3);
  AviReader in;
  ASSERT_EQ(in.Open(clip), media::AVIERR_OK);
  // Chunks the reader's own spot checks of the index pass over (every step-th entry).
  std::vector<std::pair<uint64_t, int>> order;
  for (int s = 0; s < 2; ++s)
    for (const auto& c : in.Stream(s).chunks) order.push_back({c.offset, s});
  std::sort(order.begin(), order.end());
  const size_t step = std::max<size_t>(1, order.size() / 64);
  uint64_t header[2] = {0, 0};  // video, audio
  for (size_t r = 20; r + 1 < order.size(); ++r)
    if (r % step != 0 && !header[order[r].second]) header[order[r].second] = order[r].first - 8;
  const uint64_t video = header[0], audio = header[1];
  ASSERT_TRUE(video && audio);
  std::vector<uint8_t> bytes = ReadFile(clip);
  PutLe32(bytes, video + 4, GetLe32(bytes, video + 4) + 2);
  bytes[audio + 1] = '9';  // 01wb: 09wb
  const std::string dir = TempDir("copy-damaged");
  const std::string damaged = dir + "/damaged.avi";
  WriteFile(damaged, bytes);
  AviReader check;
  ASSERT_EQ(check.Open(damaged), media::AVIERR_OK);
  ASSERT_FALSE(check.IndexRebuilt());

  const std::vector<std::string> clips = {damaged, clip, damaged};
  ASSERT_EQ(Join(clips, 1, {}, true, dir + "/fast.avi"), TimelineEvent::Complete);
  ASSERT_EQ(Join(clips, 1, {}, false, dir + "/slow.avi"), TimelineEvent::Complete);
  const std::vector<uint8_t> fast = ReadFile(dir + "/fast.avi");
  EXPECT_TRUE(fast == ReadFile(dir + "/slow.avi"));
  auto packets = FrameCrcs(clip);
  std::vector<std::pair<int64_t, uint32_t>> expected;
  for (int k = 0; k < 3; ++k) expected.insert(expected.end(), packets[0].begin(), packets[0].end());
  EXPECT_TRUE(FrameCrcs(dir + "/fast.avi")[0] == expected);
  AviReader out;
  ASSERT_EQ(out.Open(dir + "/fast.avi"), media::AVIERR_OK);
  const std::map<int, int> walked = WalkMovi(fast);
  EXPECT_EQ(walked.count(-1), 0u);
  for (size_t s = 0; s < out.StreamCount(); ++s) EXPECT_EQ(walked.at(static_cast<int>(s)), static_cast<int>(out.Stream(s).chunks.size())) << s;
  const auto audioRead = ProbeFields(dir + "/fast.avi", "-v error -select_streams a:0 -count_frames -count_packets -show_entries stream=nb_read_frames,nb_read_packets");
  EXPECT_EQ(audioRead.at("nb_read_frames"), audioRead.at("nb_read_packets"));
  EXPECT_EQ(std::stoul(audioRead.at("nb_read_packets")), out.Stream(1).chunks.size());
}

namespace {

// Writes what is not zero: a large source made in moments, read back as zeros.
class SparseSink final : public AviWriter::Sink {
 public:
  bool Open(const std::string& path, std::string&) override {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return fd_ >= 0;
  }
  bool WriteAt(uint64_t offset, const void* data, size_t size, std::string&) override {
    static const uint8_t kZeros[4096] = {};
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < size; done += 4096) {
      const size_t n = std::min<size_t>(4096, size - done);
      if (std::memcmp(p + done, kZeros, n) != 0 && ::pwrite(fd_, p + done, n, static_cast<off_t>(offset + done)) != static_cast<ssize_t>(n)) return false;
    }
    end_ = std::max(end_, offset + size);
    return true;
  }
  bool Close(std::string&) override { return ::ftruncate(fd_, static_cast<off_t>(end_)) == 0 && ::close(fd_) == 0; }

 private:
  int fd_ = -1;
  uint64_t end_ = 0;
};

}  // namespace

// Stop while gigabytes are being copied: the copy ends at its next bounded
// call, and the file is closed and readable with what was copied.
TEST(TimelineWriterCopy, StopDuringALargeCopyEndsSoon) {
  const std::string dir = TempDir("copy-stop");
  const std::string source = dir + "/large.avi";
  constexpr int kFrames = 2400;  // 768 KiB each: 1.8 GB
  {
    SparseSink sink;
    AviWriter writer;
    writer.SetSinkForTesting(&sink);
    ASSERT_EQ(writer.Create(source), media::AVIERR_OK);
    int video = -1, audio = -1;
    ASSERT_EQ(AddRawVideoAndPcm(writer, 512, 512, 1536, 1, 25, 8000, &video, &audio), media::AVIERR_OK);
    const std::vector<uint8_t> frame(1536 * 512, 0);
    for (int f = 0; f < kFrames; ++f) ASSERT_EQ(writer.WriteChunk(video, frame.data(), static_cast<uint32_t>(frame.size()), true), media::AVIERR_OK);
    ASSERT_EQ(writer.Close(), media::AVIERR_OK);
  }
  TimelineWriter timeline;
  timeline.AddGroup(TimelineWriter::GroupKind::Video);
  ASSERT_TRUE(timeline.AddSource(0, {source, 0, 0, kFrames * kSecond / 25, 0, kFrames * kSecond / 25}));
  TimelineEvent end = TimelineEvent::Progress;
  ASSERT_TRUE(timeline.Start(dir + "/out.avi", [&end](TimelineEvent e) {
    if (e != TimelineEvent::Progress) end = e;
  }));
  while (timeline.Running() && timeline.BytesWritten() < (uint64_t{64} << 20)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto asked = std::chrono::steady_clock::now();
  timeline.Stop();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count();
  std::printf("Stop during the copy took %lld ms\n", static_cast<long long>(ms));
  EXPECT_EQ(end, TimelineEvent::UserAbort);
  EXPECT_LT(ms, 1000);  // 250 ms by design; the margin is for a loaded machine
  const int frames = std::stoi(Ffprobe(dir + "/out.avi", "-v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0"));
  EXPECT_GT(frames, 0);
  EXPECT_LT(frames, kFrames);
  EXPECT_NEAR(static_cast<double>(frames) * kSecond / 25, static_cast<double>(timeline.Position()), 2.0);
}
