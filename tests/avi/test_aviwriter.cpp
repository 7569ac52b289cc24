// The AVI writer, read back by ffprobe, by our reader and byte by byte.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "avi/AviReader.h"
#include "avi/AviWriter.h"
#include "tests/support/AviBytes.h"
#include "tests/support/Fixtures.h"
#include "tests/support/RawStreams.h"

using namespace media;
using namespace testsupport;

namespace {

// XVID video with a drop chunk near the start, and MP3 audio, as ffmpeg writes them.
std::string SourceClip() {
  return CachedClip("aviwriter-source.avi",
                    "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 "
                    "-t 2 -c:v mpeg4 -vtag XVID -g 5 -c:a libmp3lame -b:a 128k -ac 2");
}

struct SourceChunks {
  std::vector<MoviChunk> video, audio;
};
SourceChunks LoadSource() {
  SourceChunks s;
  for (MoviChunk& c : ReadMoviChunks(SourceClip()))
    (c.id == "00dc" ? s.video : s.audio).push_back(std::move(c));
  return s;
}

std::vector<uint8_t> SourceVideoFormat() {
  std::vector<RiffNode> top = ParseRiffFile(SourceClip());
  const RiffNode* strl = top.at(0).Child("LIST:hdrl")->Child("LIST:strl");
  return ReadChunkData(SourceClip(), *strl->Child("strf"));
}

AviStreamInfo VideoInfo() {
  AviStreamInfo i;
  i.fccType = streamtypeVIDEO;
  i.fccHandler = MakeFourCC('X', 'V', 'I', 'D');
  i.wPriority = 2;
  i.wLanguage = 0x0419;
  i.dwScale = 1;
  i.dwRate = 25;
  i.dwQuality = 7500;
  i.rcFrame = {0, 0, 64, 48};
  i.szName = "Video #1";
  return i;
}

// MPEGLAYER3WAVEFORMAT: WAVEFORMATEX with cbSize 12 and the layer-3 fields.
std::vector<uint8_t> Mp3Format(uint16_t channels, uint32_t rate, uint32_t bytesPerSecond, uint16_t blockSize) {
  WaveFormatEx w;
  w.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  w.nChannels = channels;
  w.nSamplesPerSec = rate;
  w.nAvgBytesPerSec = bytesPerSecond;
  w.nBlockAlign = 1;
  w.wBitsPerSample = 0;
  AppendLE16(w.extra, 1);  // wID: MPEGLAYER3_ID_MPEG
  AppendLE32(w.extra, 2);  // fdwFlags: MPEGLAYER3_FLAG_PADDING_OFF
  AppendLE16(w.extra, blockSize);
  AppendLE16(w.extra, 1);  // nFramesPerBlock
  AppendLE16(w.extra, 0);  // nCodecDelay
  return w.Serialize();
}

// One MP3 frame per chunk, each chunk one sample of 1152 PCM samples.
AviStreamInfo Mp3FrameInfo() {
  AviStreamInfo i;
  i.fccType = streamtypeAUDIO;
  i.dwScale = 1152;
  i.dwRate = 44100;
  i.dwSampleSize = 0;
  i.dwQuality = 0xFFFFFFFF;
  i.dwInitialFrames = 1;
  i.szName = "Audio";
  return i;
}

// The byte-based layout that GStreamer writes and our MP3 conversion uses.
AviStreamInfo Mp3ByteInfo(uint32_t bytesPerSecond) {
  AviStreamInfo i;
  i.fccType = streamtypeAUDIO;
  i.dwScale = 1;
  i.dwRate = bytesPerSecond;
  i.dwSampleSize = 1;
  i.dwQuality = 0xFFFFFFFF;
  return i;
}

// strh as the file must hold it: the given fields, the computed length and buffer size.
std::vector<uint8_t> ExpectedStrh(const AviStreamInfo& i, uint32_t length, uint32_t suggestedBuffer) {
  std::vector<uint8_t> v;
  AppendLE32(v, i.fccType);
  AppendLE32(v, i.fccHandler);
  AppendLE32(v, i.dwFlags);
  AppendLE16(v, i.wPriority);
  AppendLE16(v, i.wLanguage);
  AppendLE32(v, i.dwInitialFrames);
  AppendLE32(v, i.dwScale);
  AppendLE32(v, i.dwRate);
  AppendLE32(v, i.dwStart);
  AppendLE32(v, length);
  AppendLE32(v, suggestedBuffer);
  AppendLE32(v, i.dwQuality);
  AppendLE32(v, i.dwSampleSize);
  for (int32_t x : {i.rcFrame.left, i.rcFrame.top, i.rcFrame.right, i.rcFrame.bottom})
    AppendLE16(v, static_cast<uint16_t>(x));
  return v;
}

void ExpectSameInfo(const AviStreamInfo& want, const AviStreamInfo& got) {
  EXPECT_EQ(FourCCString(want.fccType), FourCCString(got.fccType));
  EXPECT_EQ(FourCCString(want.fccHandler), FourCCString(got.fccHandler));
  EXPECT_EQ(want.dwFlags, got.dwFlags);
  EXPECT_EQ(want.wPriority, got.wPriority);
  EXPECT_EQ(want.wLanguage, got.wLanguage);
  EXPECT_EQ(want.dwScale, got.dwScale);
  EXPECT_EQ(want.dwRate, got.dwRate);
  EXPECT_EQ(want.dwStart, got.dwStart);
  EXPECT_EQ(want.dwLength, got.dwLength);
  EXPECT_EQ(want.dwInitialFrames, got.dwInitialFrames);
  EXPECT_EQ(want.dwSuggestedBufferSize, got.dwSuggestedBufferSize);
  EXPECT_EQ(want.dwQuality, got.dwQuality);
  EXPECT_EQ(want.dwSampleSize, got.dwSampleSize);
  EXPECT_EQ(want.rcFrame, got.rcFrame);
  EXPECT_EQ(want.szName, got.szName);
}

// `ffprobe -show_entries stream` of one stream as key=value.
std::map<std::string, std::string> ProbeStream(const std::string& path, const std::string& stream) {
  return ProbeFields(path, "-select_streams " + stream + " -show_entries stream");
}

// The buffers GStreamer's avidemux delivers on its first video and audio pads
// ("v" and "a"), one file each through multifilesink, in order.
std::map<std::string, std::vector<std::vector<uint8_t>>> GstreamerBuffers(const std::string& path,
                                                                          const std::string& dir) {
  std::filesystem::create_directories(dir);
  std::string output;
  Run("gst-launch-1.0 -q filesrc location=" + Quote(path) + " ! avidemux name=d d.video_0 ! queue ! multifilesink location=" +
          Quote(dir + "/v%06d") + " next-file=buffer d.audio_0 ! queue ! multifilesink location=" +
          Quote(dir + "/a%06d") + " next-file=buffer 2>&1",
      &output);
  std::map<std::string, std::vector<std::vector<uint8_t>>> buffers;
  for (std::string pad : {"v", "a"}) {
    for (int i = 0;; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "/%s%06d", pad.c_str(), i);
      if (!std::filesystem::exists(dir + name)) break;
      buffers[pad].push_back(ReadFile(dir + name));
    }
  }
  return buffers;
}

uint32_t Le32At(const std::vector<uint8_t>& v, size_t at) { return ReadLE32(v.data() + at); }

// A sink that keeps the file in memory and reports a full disk after a budget.
struct FullDiskSink : AviWriter::Sink {
  uint64_t budget;
  uint64_t written = 0;
  int writeCalls = 0;
  int callsAfterFailure = 0;
  bool failed = false;
  bool closed = false;
  explicit FullDiskSink(uint64_t bytes) : budget(bytes) {}
  bool Open(const std::string&, std::string&) override { return true; }
  bool WriteAt(uint64_t, const void*, size_t size, std::string& error) override {
    ++writeCalls;
    if (failed) ++callsAfterFailure;
    if (written + size > budget) {
      failed = true;
      error = "Cannot write \"memory\": " + std::string(std::strerror(ENOSPC));
      return false;
    }
    written += size;
    return true;
  }
  bool Close(std::string&) override {
    closed = true;
    return true;
  }
};

class AviWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(SourceClip().empty()) << "ffmpeg could not make the source clip";
    dir_ = TempDir(std::string("aviwriter-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override {
    if (!HasFailure()) std::filesystem::remove_all(dir_);  // kept for a look when a test fails
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

// Video then audio, as a conversion writes them: headers exactly as given,
// chunks in order with their sizes and key flags, drop chunk kept, readable
// by ffprobe and by our reader.
TEST_F(AviWriterTest, XvidAndLayer3StreamsReadBackAsGiven) {
  SourceChunks src = LoadSource();
  ASSERT_EQ(src.video.size(), 51u);
  ASSERT_EQ(src.video[1].data.size(), 0u) << "ffmpeg's clip starts with a drop chunk";
  std::string out = Path("xvid-mp3.avi");

  AviWriter w;
  ASSERT_EQ(w.Create(out), AVIERR_OK) << w.LastError();
  int v = -1, a = -1;
  std::vector<uint8_t> videoFormat = SourceVideoFormat();
  std::vector<uint8_t> audioFormat = Mp3Format(2, 44100, 16000, 417);
  ASSERT_EQ(audioFormat.size(), 30u);
  ASSERT_EQ(w.AddStream(VideoInfo(), videoFormat, &v), AVIERR_OK);
  ASSERT_EQ(w.AddStream(Mp3FrameInfo(), audioFormat, &a), AVIERR_OK);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(a, 1);
  uint32_t largestVideo = 0, largestAudio = 0;
  for (const MoviChunk& c : src.video) {
    ASSERT_EQ(w.WriteChunk(v, c.data.data(), static_cast<uint32_t>(c.data.size()), c.keyFrame), AVIERR_OK);
    largestVideo = std::max<uint32_t>(largestVideo, static_cast<uint32_t>(c.data.size()));
  }
  for (const MoviChunk& c : src.audio) {
    ASSERT_EQ(w.WriteChunk(a, c.data.data(), static_cast<uint32_t>(c.data.size()), true), AVIERR_OK);
    largestAudio = std::max<uint32_t>(largestAudio, static_cast<uint32_t>(c.data.size()));
  }
  ASSERT_EQ(w.Close(), AVIERR_OK) << w.LastError();
  EXPECT_FALSE(w.IsOpen());
  EXPECT_EQ(w.BytesWritten(), std::filesystem::file_size(out));

  // Bytes: strh and strf exactly, avih totals.
  std::vector<RiffNode> top = ParseRiffFile(out);
  ASSERT_EQ(top.size(), 1u);
  const RiffNode* hdrl = top[0].Child("LIST:hdrl");
  ASSERT_TRUE(hdrl);
  std::vector<const RiffNode*> strls = hdrl->Children("LIST:strl");
  ASSERT_EQ(strls.size(), 2u);
  EXPECT_EQ(ReadChunkData(out, *strls[0]->Child("strh")), ExpectedStrh(VideoInfo(), 51, largestVideo));
  EXPECT_EQ(ReadChunkData(out, *strls[1]->Child("strh")),
            ExpectedStrh(Mp3FrameInfo(), static_cast<uint32_t>(src.audio.size()), largestAudio));
  EXPECT_EQ(ReadChunkData(out, *strls[0]->Child("strf")), videoFormat);
  EXPECT_EQ(ReadChunkData(out, *strls[1]->Child("strf")), audioFormat);
  std::vector<uint8_t> name = ReadChunkData(out, *strls[0]->Child("strn"));
  EXPECT_EQ(std::string(name.begin(), name.end()), std::string("Video #1\0", 9));
  std::vector<uint8_t> avih = ReadChunkData(out, *hdrl->Child("avih"));
  EXPECT_EQ(Le32At(avih, 0), 40000u);  // 1/25 s
  EXPECT_EQ(Le32At(avih, 12), AVIF_HASINDEX | AVIF_ISINTERLEAVED | AVIF_TRUSTCKTYPE);
  EXPECT_EQ(Le32At(avih, 16), 51u);
  EXPECT_EQ(Le32At(avih, 24), 2u);
  EXPECT_EQ(Le32At(avih, 28), std::max(largestVideo, largestAudio));
  EXPECT_EQ(Le32At(avih, 32), 64u);
  EXPECT_EQ(Le32At(avih, 36), 48u);
  // dwMaxBytesPerSec: both streams' average rates, rounded up.
  uint64_t videoBytes = 0, audioBytes = 0;
  for (const MoviChunk& c : src.video) videoBytes += c.data.size();
  for (const MoviChunk& c : src.audio) audioBytes += c.data.size();
  double rate = videoBytes / (51 / 25.0) + audioBytes / (src.audio.size() * 1152 / 44100.0);
  EXPECT_NEAR(Le32At(avih, 4), rate, 1.0);
  const RiffNode* movi = top[0].Child("LIST:movi");
  ASSERT_TRUE(movi);
  EXPECT_EQ((movi->offset + 12) % 2048, 0u) << "first chunk aligned";
  OpenDmlSummary summary;
  EXPECT_EQ(CheckOpenDml(out, uint64_t{1} << 30, &summary), "");
  EXPECT_EQ(summary.dmlhTotalFrames, 51u);

  // Our reader: every field as given, lengths computed, every chunk in order.
  AviReader r;
  ASSERT_EQ(r.Open(out), AVIERR_OK) << r.LastError();
  ASSERT_EQ(r.StreamCount(), 2u);
  AviStreamInfo wantVideo = VideoInfo();
  wantVideo.dwLength = 51;
  wantVideo.dwSuggestedBufferSize = largestVideo;
  ExpectSameInfo(wantVideo, r.Stream(0).info);
  AviStreamInfo wantAudio = Mp3FrameInfo();
  wantAudio.dwLength = static_cast<uint32_t>(src.audio.size());
  wantAudio.dwSuggestedBufferSize = largestAudio;
  ExpectSameInfo(wantAudio, r.Stream(1).info);
  EXPECT_EQ(r.Stream(0).format, videoFormat);
  EXPECT_EQ(r.Stream(1).format, audioFormat);
  EXPECT_EQ(r.Stream(0).chunkType, MakeFourCC('d', 'c', 0, 0) & 0xFFFF);
  ASSERT_EQ(r.Stream(0).chunks.size(), src.video.size());
  ASSERT_EQ(r.Stream(1).chunks.size(), src.audio.size());
  std::vector<uint8_t> data;
  for (size_t i = 0; i < src.video.size(); ++i) {
    const AviChunk& c = r.Stream(0).chunks[i];
    EXPECT_EQ(c.keyFrame, src.video[i].keyFrame) << i;
    ASSERT_TRUE(r.ReadChunk(c, data));
    EXPECT_EQ(data, src.video[i].data) << "video chunk " << i;
  }
  for (size_t i = 0; i < src.audio.size(); ++i) {
    ASSERT_TRUE(r.ReadChunk(r.Stream(1).chunks[i], data));
    EXPECT_EQ(data, src.audio[i].data) << "audio chunk " << i;
  }
  // Video first, then audio: the file order is the write order.
  EXPECT_LT(r.Stream(0).chunks.back().offset, r.Stream(1).chunks.front().offset);

  // ffprobe: tags, counts, durations, rates.
  auto pv = ProbeStream(out, "v:0");
  EXPECT_EQ(pv["codec_name"], "mpeg4");
  EXPECT_EQ(pv["codec_tag_string"], "XVID");
  EXPECT_EQ(pv["width"], "64");
  EXPECT_EQ(pv["nb_frames"], "51");
  EXPECT_NEAR(std::stod(pv["duration"]), 51 / 25.0, 1e-6);
  auto pa = ProbeStream(out, "a:0");
  EXPECT_EQ(pa["codec_name"], "mp3");
  EXPECT_EQ(pa["codec_tag"], "0x0055");
  EXPECT_EQ(pa["sample_rate"], "44100");
  EXPECT_EQ(pa["channels"], "2");
  EXPECT_NEAR(std::stod(pa["duration"]), src.audio.size() * 1152 / 44100.0, 0.03);

  // Packets: sizes, key flags and contents in write order; the drop chunk
  // leaves a gap of one frame in the timestamps.
  std::vector<ProbePacket> packets = ProbePackets(out, "v:0");
  ASSERT_EQ(packets.size(), 50u);
  EXPECT_EQ(packets[0].ptsTime, "0.000000");
  EXPECT_EQ(packets[1].ptsTime, "0.080000");
  auto crcs = FrameCrcs(out);
  ASSERT_EQ(crcs[0].size(), 50u);
  ASSERT_EQ(crcs[1].size(), src.audio.size());
  size_t p = 0;
  for (const MoviChunk& c : src.video) {
    if (c.data.empty()) continue;
    EXPECT_EQ(packets[p].size, static_cast<int64_t>(c.data.size()));
    EXPECT_EQ(packets[p].key, c.keyFrame) << p;
    EXPECT_EQ(crcs[0][p].second, Adler32(c.data.data(), c.data.size())) << p;
    ++p;
  }
  for (size_t i = 0; i < src.audio.size(); ++i)
    EXPECT_EQ(crcs[1][i].second, Adler32(src.audio[i].data.data(), src.audio[i].data.size())) << i;
}

// The byte-based MP3 header (dwSampleSize 1): the length is in bytes and
// ffprobe times the packets by bytes per second; dwStart shifts them. (For
// such a stream ffprobe's stream duration is a bit-rate estimate from the
// file size and its start_time ignores dwStart, so the packets are checked.)
TEST_F(AviWriterTest, ByteBasedLayer3HeaderCountsBytes) {
  SourceChunks src = LoadSource();
  for (uint32_t start : {0u, 8000u}) {
    SCOPED_TRACE("dwStart " + std::to_string(start));
    std::string out = Path("mp3-bytes-" + std::to_string(start) + ".avi");
    AviWriter w;
    ASSERT_EQ(w.Create(out), AVIERR_OK);
    AviStreamInfo info = Mp3ByteInfo(16000);
    info.dwStart = start;  // 8000: half a second of bytes, as MEncoder delays audio
    int a = -1;
    ASSERT_EQ(w.AddStream(info, Mp3Format(2, 44100, 16000, 417), &a), AVIERR_OK);
    uint64_t bytes = 0;
    for (const MoviChunk& c : src.audio) {
      ASSERT_EQ(w.WriteChunk(a, c.data.data(), static_cast<uint32_t>(c.data.size()), true), AVIERR_OK);
      bytes += c.data.size();
    }
    ASSERT_EQ(w.Close(), AVIERR_OK);

    AviReader r;
    ASSERT_EQ(r.Open(out), AVIERR_OK) << r.LastError();
    info.dwLength = static_cast<uint32_t>(bytes);
    info.dwSuggestedBufferSize = 418;
    ExpectSameInfo(info, r.Stream(0).info);
    EXPECT_EQ(r.Stream(0).chunks.size(), src.audio.size());

    auto pa = ProbeStream(out, "a:0");
    EXPECT_EQ(pa["codec_name"], "mp3");
    EXPECT_EQ(pa["sample_rate"], "44100");
    EXPECT_EQ(pa["nb_frames"], std::to_string(bytes));
    std::vector<ProbePacket> packets = ProbePackets(out, "a:0");
    ASSERT_EQ(packets.size(), src.audio.size());
    EXPECT_NEAR(std::stod(packets[0].ptsTime), start / 16000.0, 1e-6);
    EXPECT_NEAR(std::stod(packets[1].ptsTime), (start + 417) / 16000.0, 1e-6);
    EXPECT_NEAR(std::stod(packets.back().ptsTime), (start + bytes - packets.back().size) / 16000.0, 1e-6);
  }
}

// Uncompressed video goes into '##db' chunks, PCM into '##wb' with a length
// in samples; ffmpeg decodes the very bytes written (a bottom-up DIB).
TEST_F(AviWriterTest, UncompressedVideoAndPcm) {
  const int width = 10, height = 4, stride = 32;  // 30 bytes a row, padded to 32
  std::string out = Path("raw.avi");
  testsupport::WriteFile(out, std::vector<uint8_t>(1 << 20, 0xEE));  // written over: nothing of it may stay
  AviWriter w;
  ASSERT_EQ(w.Create(out), AVIERR_OK);
  int v = -1, a = -1;
  ASSERT_EQ(testsupport::AddRawVideoAndPcm(w, width, height, stride, 1001, 30000, 22050, &v, &a), AVIERR_OK);
  std::vector<std::vector<uint8_t>> frames;
  for (int f = 0; f < 3; ++f) {
    std::vector<uint8_t> dib(stride * height, 0);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width * 3; ++x) dib[y * stride + x] = static_cast<uint8_t>(f * 70 + y * 20 + x);
    frames.push_back(dib);
    ASSERT_EQ(w.WriteChunk(v, dib.data(), static_cast<uint32_t>(dib.size()), true), AVIERR_OK);
  }
  std::vector<uint8_t> samples(2205 * 4 + 2, 7);  // odd-sized last chunk gets a pad byte
  ASSERT_EQ(w.WriteChunk(a, samples.data(), 2205 * 4, true), AVIERR_OK);
  ASSERT_EQ(w.WriteChunk(a, samples.data(), 2205 * 4 + 2, true), AVIERR_OK);
  ASSERT_EQ(w.Close(), AVIERR_OK);
  const std::vector<uint8_t> bytes = testsupport::ReadFile(out);
  ASSERT_GT(bytes.size(), 8u);
  EXPECT_EQ(bytes.size(), 8u + (bytes[4] | bytes[5] << 8 | bytes[6] << 16 | uint32_t{bytes[7]} << 24));

  std::vector<RiffNode> top = ParseRiffFile(out);
  const RiffNode* movi = top.at(0).Child("LIST:movi");
  ASSERT_TRUE(movi);
  EXPECT_EQ(movi->Children("00db").size(), 3u);
  EXPECT_EQ(movi->Children("01wb").size(), 2u);
  EXPECT_EQ(CheckOpenDml(out, uint64_t{1} << 30), "");

  AviReader r;
  ASSERT_EQ(r.Open(out), AVIERR_OK) << r.LastError();
  EXPECT_EQ(r.Stream(0).info.dwLength, 3u);
  EXPECT_EQ(r.Stream(1).info.dwLength, (2205u * 4 * 2 + 2) / 4);
  EXPECT_EQ(r.Stream(0).chunkType, MakeFourCC('d', 'b', 0, 0) & 0xFFFF);

  auto pa = ProbeStream(out, "a:0");
  EXPECT_EQ(pa["codec_name"], "pcm_s16le");
  EXPECT_EQ(pa["sample_rate"], "22050");
  auto pv = ProbeStream(out, "v:0");
  EXPECT_EQ(pv["codec_name"], "rawvideo");
  EXPECT_EQ(pv["r_frame_rate"], "30000/1001");

  // ffmpeg's decoded BGR24, top row first, against our rows read bottom-up.
  std::string decoded;
  ASSERT_EQ(testsupport::Run("ffmpeg -nostdin -v error -i " + Quote(out) + " -map 0:v -f rawvideo -pix_fmt bgr24 -", &decoded), 0);
  ASSERT_EQ(decoded.size(), static_cast<size_t>(3 * width * height * 3));
  for (int f = 0; f < 3; ++f)
    for (int y = 0; y < height; ++y)
      EXPECT_EQ(0, std::memcmp(decoded.data() + (f * height + y) * width * 3,
                               frames[f].data() + (height - 1 - y) * stride, width * 3))
          << "frame " << f << " row " << y;
}

// Small limits give several AVIX RIFFs, standard indexes flushed inside a
// RIFF and at its end, odd and empty chunks: every chunk is reachable by
// ffprobe and by our reader, with its contents.
TEST_F(AviWriterTest, OpenDmlRiffsAndIndexesWithSmallLimits) {
  std::string out = Path("odml.avi");
  AviWriter w;
  AviWriter::Limits limits;
  limits.riffBytes = 64 * 1024;
  limits.standardIndexEntries = 7;
  limits.superIndexEntries = 256;
  w.SetLimitsForTesting(limits);
  ASSERT_EQ(w.Create(out), AVIERR_OK);
  SourceChunks src = LoadSource();
  int v = -1, a = -1;
  ASSERT_EQ(w.AddStream(VideoInfo(), SourceVideoFormat(), &v), AVIERR_OK);
  ASSERT_EQ(w.AddStream(Mp3FrameInfo(), Mp3Format(2, 44100, 16000, 417), &a), AVIERR_OK);
  // Interleaved as the source: every chunk of ffmpeg's file, five times over.
  std::vector<MoviChunk> all = ReadMoviChunks(SourceClip());
  std::vector<std::vector<uint8_t>> written[2];
  std::vector<bool> keys;
  for (int round = 0; round < 5; ++round)
    for (const MoviChunk& c : all) {
      int s = c.id == "00dc" ? v : a;
      ASSERT_EQ(w.WriteChunk(s, c.data.data(), static_cast<uint32_t>(c.data.size()), c.keyFrame), AVIERR_OK)
          << w.LastError();
      written[s].push_back(c.data);
      if (s == v) keys.push_back(c.keyFrame);
    }
  ASSERT_EQ(w.Close(), AVIERR_OK) << w.LastError();

  OpenDmlSummary summary;
  ASSERT_EQ(CheckOpenDml(out, limits.riffBytes, &summary), "");
  EXPECT_GE(summary.riffs, 4u);
  EXPECT_EQ(summary.indexedPerStream[0], written[0].size());
  EXPECT_EQ(summary.indexedPerStream[1], written[1].size());
  EXPECT_EQ(summary.dmlhTotalFrames, written[0].size());
  EXPECT_LT(summary.avihTotalFrames, summary.dmlhTotalFrames);

  AviReader r;
  ASSERT_EQ(r.Open(out), AVIERR_OK) << r.LastError();
  EXPECT_TRUE(r.IsOpenDml());
  EXPECT_FALSE(r.IndexRebuilt());
  std::vector<uint8_t> data;
  for (int s = 0; s < 2; ++s) {
    ASSERT_EQ(r.Stream(s).chunks.size(), written[s].size());
    for (size_t i = 0; i < written[s].size(); ++i) {
      ASSERT_TRUE(r.ReadChunk(r.Stream(s).chunks[i], data));
      ASSERT_EQ(data, written[s][i]) << "stream " << s << " chunk " << i;
      if (s == 0) {
        ASSERT_EQ(r.Stream(s).chunks[i].keyFrame, keys[i]) << i;
      }
    }
  }
  EXPECT_EQ(r.Stream(0).info.dwLength, written[0].size());

  auto crcs = FrameCrcs(out);
  for (int s = 0; s < 2; ++s) {
    std::vector<uint32_t> want;
    for (const auto& d : written[s])
      if (!d.empty()) want.push_back(Adler32(d.data(), d.size()));
    ASSERT_EQ(crcs[s].size(), want.size()) << "stream " << s;
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(crcs[s][i].second, want[i]) << s << ":" << i;
  }
  // GStreamer's demuxer, a second independent reader of the OpenDML indexes.
  if (HaveCommand("gst-launch-1.0")) {
    auto buffers = GstreamerBuffers(out, Path("gstreamer"));
    for (int s = 0; s < 2; ++s) {
      std::vector<std::vector<uint8_t>> want;
      for (const auto& d : written[s])
        if (!d.empty()) want.push_back(d);
      EXPECT_TRUE(buffers[s == 0 ? "v" : "a"] == want) << "GStreamer, stream " << s << ": "
                                                       << buffers[s == 0 ? "v" : "a"].size() << " buffers for "
                                                       << want.size() << " chunks";
    }
  }

  std::vector<ProbePacket> packets = ProbePackets(out, "v:0");
  ASSERT_FALSE(packets.empty());
  char last[32];
  std::snprintf(last, sizeof last, "%.6f", (written[0].size() - 1) / 25.0);
  EXPECT_EQ(packets.back().ptsTime, last);
}

// A stream whose super index is full refuses more chunks, and the file closed
// afterwards is still whole.
TEST_F(AviWriterTest, FullSuperIndexRefusesChunksAndKeepsFileValid) {
  std::string out = Path("full-index.avi");
  AviWriter w;
  AviWriter::Limits limits;
  limits.standardIndexEntries = 4;
  limits.superIndexEntries = 3;
  w.SetLimitsForTesting(limits);
  ASSERT_EQ(w.Create(out), AVIERR_OK);
  SourceChunks src = LoadSource();
  int v = -1;
  ASSERT_EQ(w.AddStream(VideoInfo(), SourceVideoFormat(), &v), AVIERR_OK);
  size_t accepted = 0;
  AviResult result = AVIERR_OK;
  for (const MoviChunk& c : src.video) {
    result = w.WriteChunk(v, c.data.data(), static_cast<uint32_t>(c.data.size()), c.keyFrame);
    if (result != AVIERR_OK) break;
    ++accepted;
  }
  EXPECT_EQ(result, AVIERR_BADSIZE);
  EXPECT_EQ(accepted, 12u);
  EXPECT_NE(w.LastError().find("index"), std::string::npos);
  ASSERT_EQ(w.Close(), AVIERR_OK) << w.LastError();
  EXPECT_EQ(CheckOpenDml(out, limits.riffBytes), "");
  EXPECT_EQ(ProbeStream(out, "v:0")["nb_frames"], "12");
}

TEST_F(AviWriterTest, BadCallsAreRefused) {
  AviWriter w;
  std::vector<uint8_t> bih = BitmapInfoHeader{}.Serialize();
  EXPECT_EQ(w.AddStream(VideoInfo(), bih, nullptr), AVIERR_BADHANDLE);
  EXPECT_EQ(w.WriteChunk(0, "x", 1, true), AVIERR_BADHANDLE);
  EXPECT_EQ(w.Close(), AVIERR_BADHANDLE);

  EXPECT_EQ(w.Create(Path("no-such-folder/x.avi")), AVIERR_FILEOPEN);
  EXPECT_NE(w.LastError().find("No such file or directory"), std::string::npos) << w.LastError();
  EXPECT_NE(w.LastError().find("no-such-folder/x.avi"), std::string::npos) << w.LastError();
  EXPECT_FALSE(w.IsOpen());

  std::string out = Path("bad-calls.avi");
  ASSERT_EQ(w.Create(out), AVIERR_OK);
  EXPECT_EQ(w.Create(out), AVIERR_BADPARAM);
  EXPECT_EQ(w.AddStream(VideoInfo(), std::vector<uint8_t>(39), nullptr), AVIERR_BADFORMAT);
  std::vector<uint8_t> shortWave = Mp3Format(2, 44100, 16000, 417);
  shortWave.resize(29);  // cbSize 12 but only 11 extra bytes
  EXPECT_EQ(w.AddStream(Mp3FrameInfo(), shortWave, nullptr), AVIERR_BADFORMAT);
  int v = -1;
  ASSERT_EQ(w.AddStream(VideoInfo(), bih, &v), AVIERR_OK);
  EXPECT_EQ(w.SetFormat(1, bih), AVIERR_BADPARAM);
  EXPECT_EQ(w.SetFormat(v, std::vector<uint8_t>(10)), AVIERR_BADFORMAT);
  BitmapInfoHeader changed;
  changed.biWidth = 64;
  changed.biHeight = 48;
  changed.biCompression = MakeFourCC('X', 'V', 'I', 'D');
  EXPECT_EQ(w.SetFormat(v, changed.Serialize()), AVIERR_OK);
  EXPECT_EQ(w.WriteChunk(1, "x", 1, true), AVIERR_BADPARAM);
  EXPECT_EQ(w.WriteChunk(-1, "x", 1, true), AVIERR_BADPARAM);
  EXPECT_EQ(w.WriteChunk(v, nullptr, 5, true), AVIERR_BADPARAM);
  EXPECT_EQ(w.WriteChunk(v, "x", (512u << 20) + 1, true), AVIERR_BADSIZE);  // refused before reading data
  EXPECT_EQ(w.WriteChunk(v, nullptr, 0, false), AVIERR_OK);  // a drop frame needs no data
  EXPECT_EQ(w.AddStream(Mp3FrameInfo(), Mp3Format(2, 44100, 16000, 417), nullptr), AVIERR_BADPARAM);
  EXPECT_EQ(w.SetFormat(v, bih), AVIERR_BADPARAM);
  EXPECT_EQ(w.WriteChunk(v, "abc", 3, true), AVIERR_OK);  // refusals left the writer usable
  ASSERT_EQ(w.Close(), AVIERR_OK);
  EXPECT_EQ(w.WriteChunk(v, "abc", 3, true), AVIERR_BADHANDLE);

  AviReader r;
  ASSERT_EQ(r.Open(out), AVIERR_OK) << r.LastError();
  ASSERT_EQ(r.StreamCount(), 1u);
  EXPECT_EQ(r.Stream(0).format, changed.Serialize());
  ASSERT_EQ(r.Stream(0).chunks.size(), 2u);
  EXPECT_EQ(r.Stream(0).chunks[0].size, 0u);
  EXPECT_EQ(r.Stream(0).info.dwLength, 2u);

  // Chunk ids have two digits: a hundred streams at most.
  ASSERT_EQ(w.Create(Path("many.avi")), AVIERR_OK);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(w.AddStream(Mp3FrameInfo(), Mp3Format(2, 44100, 16000, 417), &v), AVIERR_OK);
  EXPECT_EQ(v, 99);
  EXPECT_EQ(w.AddStream(Mp3FrameInfo(), Mp3Format(2, 44100, 16000, 417), &v), AVIERR_BADPARAM);
  EXPECT_EQ(w.WriteChunk(99, "abcd", 4, true), AVIERR_OK);
  ASSERT_EQ(w.Close(), AVIERR_OK);
  std::vector<RiffNode> many = ParseRiffFile(Path("many.avi"));
  ASSERT_FALSE(many.empty());
  EXPECT_TRUE(many[0].Child("LIST:movi")->Child("99wb"));

  // A writer reused after Close makes a fresh file; one closed with no chunk is valid.
  std::string empty = Path("empty.avi");
  ASSERT_EQ(w.Create(empty), AVIERR_OK);
  ASSERT_EQ(w.AddStream(VideoInfo(), SourceVideoFormat(), nullptr), AVIERR_OK);
  ASSERT_EQ(w.Close(), AVIERR_OK);
  AviReader e;
  ASSERT_EQ(e.Open(empty), AVIERR_OK) << e.LastError();
  EXPECT_EQ(e.Stream(0).chunks.size(), 0u);
  EXPECT_EQ(ProbeStream(empty, "v:0")["codec_type"], "video");
}

// A full disk: the failure carries the errno text, every later call returns
// the same result, and nothing more reaches the sink or the file.
TEST_F(AviWriterTest, FullDiskIsReportedAndStopsAllWriting) {
  std::vector<uint8_t> frame(100000, 0x5A);
  {
    FullDiskSink sink(20u << 20);
    AviWriter w;
    w.SetSinkForTesting(&sink);
    ASSERT_EQ(w.Create("memory"), AVIERR_OK);
    int v = -1;
    ASSERT_EQ(w.AddStream(VideoInfo(), SourceVideoFormat(), &v), AVIERR_OK);
    AviResult result = AVIERR_OK;
    int written = 0;
    while (written < 1000 && (result = w.WriteChunk(v, frame.data(), 100000, true)) == AVIERR_OK) ++written;
    EXPECT_EQ(result, AVIERR_FILEWRITE);
    EXPECT_GT(written, 100);  // the buffer took frames before the disk filled
    EXPECT_NE(w.LastError().find(std::strerror(ENOSPC)), std::string::npos) << w.LastError();
    int calls = sink.writeCalls;
    EXPECT_EQ(w.WriteChunk(v, frame.data(), 10, true), AVIERR_FILEWRITE);
    EXPECT_EQ(w.WriteChunk(v, nullptr, 0, true), AVIERR_FILEWRITE);
    EXPECT_EQ(w.AddStream(VideoInfo(), SourceVideoFormat(), nullptr), AVIERR_FILEWRITE);
    EXPECT_EQ(w.SetFormat(v, SourceVideoFormat()), AVIERR_FILEWRITE);
    EXPECT_EQ(w.Create("again"), AVIERR_FILEWRITE);
    EXPECT_EQ(w.Close(), AVIERR_FILEWRITE);
    EXPECT_EQ(sink.writeCalls, calls);
    EXPECT_EQ(sink.callsAfterFailure, 0);
    EXPECT_TRUE(sink.closed);
    EXPECT_FALSE(w.IsOpen());
  }

  // The real file sink on a device that is always full.
  {
    AviWriter w;
    ASSERT_EQ(w.Create("/dev/full"), AVIERR_OK) << w.LastError();
    int v = -1;
    ASSERT_EQ(w.AddStream(VideoInfo(), SourceVideoFormat(), &v), AVIERR_OK);
    AviResult result = AVIERR_OK;
    for (int i = 0; i < 200 && result == AVIERR_OK; ++i) result = w.WriteChunk(v, frame.data(), 100000, true);
    EXPECT_EQ(result, AVIERR_FILEWRITE);
    EXPECT_EQ(w.LastError(), "Cannot write \"/dev/full\": " + std::string(std::strerror(ENOSPC)));
    EXPECT_EQ(w.Close(), AVIERR_FILEWRITE);
  }

  // A small tmpfs where mounting is allowed (root): the file stops growing at the failure.
  std::string mountPoint = Path("tiny");
  std::filesystem::create_directories(mountPoint);
  if (geteuid() != 0 || mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "no tmpfs mount here; the sink and /dev/full cases ran";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mountPoint};
  std::string out = mountPoint + "/out.avi";
  AviWriter w;
  ASSERT_EQ(w.Create(out), AVIERR_OK);
  int v = -1;
  ASSERT_EQ(w.AddStream(VideoInfo(), SourceVideoFormat(), &v), AVIERR_OK);
  AviResult result = AVIERR_OK;
  for (int i = 0; i < 200 && result == AVIERR_OK; ++i) result = w.WriteChunk(v, frame.data(), 100000, true);
  EXPECT_EQ(result, AVIERR_FILEWRITE);
  EXPECT_EQ(w.LastError(), "Cannot write \"" + out + "\": " + std::string(std::strerror(ENOSPC)));
  auto size = std::filesystem::file_size(out);
  EXPECT_LE(size, 2u << 20);
  EXPECT_EQ(w.WriteChunk(v, frame.data(), 100000, true), AVIERR_FILEWRITE);
  EXPECT_EQ(w.Close(), AVIERR_FILEWRITE);
  EXPECT_EQ(std::filesystem::file_size(out), size);
}

}  // namespace
