// The AVI reader on real files from three writers (the ffmpeg CLI, GStreamer's
// avimux, MEncoder), checked against ffprobe and against how each clip was made;
// chunk lists rebuilt when the index is cut, damaged or gone; layouts built byte
// by byte that no writer at hand produces.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <numeric>
#include <sstream>

#include "avi/AviReader.h"
#include "tests/support/AviBuilder.h"
#include "tests/support/Fixtures.h"

using namespace media;
using namespace testsupport;

namespace {

struct ProbedChunk {
  double dts = 0;
  int64_t size = 0;
  int64_t pos = 0;
  bool key = false;
};

// ffprobe's packets of one stream (by index): size, data position, key flag.
std::vector<ProbedChunk> ProbeChunks(const std::string& path, size_t stream) {
  std::string text = Ffprobe(path, "-select_streams " + std::to_string(stream) +
                                       " -show_entries packet=dts_time,size,pos,flags -of csv=p=0");
  std::vector<ProbedChunk> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    ProbedChunk c;
    char flags[16] = {};
    long long size = 0, pos = 0;
    if (std::sscanf(line.c_str(), "%lf,%lld,%lld,%15s", &c.dts, &size, &pos, flags) != 4) continue;
    c.size = size;
    c.pos = pos;
    c.key = flags[0] == 'K';
    out.push_back(c);
  }
  return out;
}

// One stream's fields as ffprobe prints them (key=value).
std::map<std::string, std::string> ProbeStream(const std::string& path, size_t stream) {
  std::string text = Ffprobe(path, "-select_streams " + std::to_string(stream) +
                                       " -show_entries stream=codec_type,codec_tag,width,height,time_base,"
                                       "nb_frames,sample_rate,channels,start_time -of default=nw=1");
  return KeyValues(text);
}

size_t ProbeStreamCount(const std::string& path) {
  return static_cast<size_t>(std::atoi(Ffprobe(path, "-show_entries format=nb_streams -of csv=p=0").c_str()));
}

std::string Reduced(uint32_t num, uint32_t den) {
  uint32_t g = std::gcd(num, den);
  if (g == 0) return "0/0";
  return std::to_string(num / g) + "/" + std::to_string(den / g);
}

// Every field ffprobe shows of the same thing agrees with the reader, and the
// non-empty chunks are ffprobe's packets in order, size, position and key flag.
void ExpectAgreesWithFfprobe(const AviReader& reader, const std::string& path) {
  ASSERT_EQ(reader.StreamCount(), ProbeStreamCount(path));
  for (size_t s = 0; s < reader.StreamCount(); ++s) {
    SCOPED_TRACE("stream " + std::to_string(s));
    const AviStream& stream = reader.Stream(s);
    auto probe = ProbeStream(path, s);
    EXPECT_EQ(probe["time_base"], Reduced(stream.info.dwScale, stream.info.dwRate));
    EXPECT_EQ(probe["nb_frames"], std::to_string(stream.info.dwLength));
    if (stream.info.fccType == streamtypeVIDEO) {
      EXPECT_EQ(probe["codec_type"], "video");
      BitmapInfoHeader bih;
      ASSERT_TRUE(BitmapInfoHeader::Parse(stream.format, bih));
      EXPECT_EQ(probe["width"], std::to_string(bih.biWidth));
      EXPECT_EQ(probe["height"], std::to_string(bih.biHeight < 0 ? -bih.biHeight : bih.biHeight));
      EXPECT_EQ(std::strtoul(probe["codec_tag"].c_str(), nullptr, 16), bih.biCompression);
    } else {
      EXPECT_EQ(probe["codec_type"], "audio");
      WaveFormatEx wfx;
      ASSERT_TRUE(WaveFormatEx::Parse(stream.format, wfx));
      EXPECT_EQ(probe["sample_rate"], std::to_string(wfx.nSamplesPerSec));
      EXPECT_EQ(probe["channels"], std::to_string(wfx.nChannels));
      EXPECT_EQ(std::strtoul(probe["codec_tag"].c_str(), nullptr, 16), wfx.wFormatTag);
    }
    // Each packet's time is dwStart plus what the chunks before it hold: one
    // unit per video chunk (empty ones too), samples for a stream with a sample
    // size, blocks (rounded up) for other audio, as FFmpeg's demuxer counts.
    std::vector<ProbedChunk> packets = ProbeChunks(path, s);
    std::vector<AviChunk> nonEmpty;
    std::vector<double> times;
    uint64_t units = stream.info.dwStart;
    WaveFormatEx wfx;
    uint32_t block = WaveFormatEx::Parse(stream.format, wfx) ? wfx.nBlockAlign : 0;
    for (const AviChunk& c : stream.chunks) {
      if (c.size > 0) {
        nonEmpty.push_back(c);
        times.push_back(static_cast<double>(units) * stream.info.dwScale / stream.info.dwRate);
      }
      if (stream.info.dwSampleSize) units += c.size / stream.info.dwSampleSize;
      else if (stream.info.fccType == streamtypeAUDIO && block) units += (c.size + block - 1) / block;
      else units += 1;
    }
    ASSERT_EQ(nonEmpty.size(), packets.size());
    ASSERT_FALSE(packets.empty());
    for (size_t i = 0; i < packets.size(); ++i) {
      ASSERT_EQ(static_cast<int64_t>(nonEmpty[i].size), packets[i].size) << "chunk " << i;
      ASSERT_EQ(static_cast<int64_t>(nonEmpty[i].offset), packets[i].pos) << "chunk " << i;
      ASSERT_EQ(nonEmpty[i].keyFrame, packets[i].key) << "chunk " << i;
      ASSERT_NEAR(times[i], packets[i].dts, 2e-6) << "chunk " << i;
    }
  }
}

void ExpectSameChunks(const AviReader& a, const AviReader& b) {
  ASSERT_EQ(a.StreamCount(), b.StreamCount());
  for (size_t s = 0; s < a.StreamCount(); ++s) {
    const auto& x = a.Stream(s).chunks;
    const auto& y = b.Stream(s).chunks;
    ASSERT_EQ(x.size(), y.size()) << "stream " << s;
    for (size_t i = 0; i < x.size(); ++i) {
      ASSERT_EQ(x[i].offset, y[i].offset) << "stream " << s << " chunk " << i;
      ASSERT_EQ(x[i].size, y[i].size) << "stream " << s << " chunk " << i;
      ASSERT_EQ(x[i].keyFrame, y[i].keyFrame) << "stream " << s << " chunk " << i;
    }
    EXPECT_EQ(a.Stream(s).chunkType, b.Stream(s).chunkType);
  }
}

std::string StreamHeaderOf(const Bytes& file, int stream) {
  int64_t at = FindChunk(file, "strh", stream);
  return at < 0 ? std::string() : std::string(file.begin() + at + 8, file.begin() + at + 64);
}

uint16_t TwoCC(const char* two) { return static_cast<uint16_t>(two[0] | (two[1] << 8)); }

struct FfmpegClip {
  const char* name;
  const char* args;  // ffmpeg arguments before the output
  const char* handler;
  uint32_t scale, rate;
  int width, height;
  std::vector<uint16_t> audioTags;  // each audio stream's format tag, in order
};

const std::vector<FfmpegClip>& FfmpegClips() {
  static const std::vector<FfmpegClip> clips = {
      {"xvid_mp3.avi",
       "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=r=44100 -t 2 -c:v mpeg4 -vtag XVID -g 10 "
       "-c:a libmp3lame -ac 2",
       "XVID", 1, 25, 320, 240, {WAVE_FORMAT_MPEGLAYER3}},
      {"divx_s16.avi",
       "-f lavfi -i testsrc=size=320x240:rate=30000/1001 -f lavfi -i sine=r=48000 -t 2 -c:v mpeg4 -vtag DIVX "
       "-c:a pcm_s16le",
       "DIVX", 1001, 30000, 320, 240, {WAVE_FORMAT_PCM}},
      {"fmp4_2997.avi", "-f lavfi -i testsrc=size=176x144:rate=25 -t 2 -r 2997/100 -c:v mpeg4", "FMP4", 100, 2997,
       176, 144, {}},
      {"msmpeg4v3_u8.avi",
       "-f lavfi -i testsrc=size=161x121:rate=25 -f lavfi -i sine=r=22050 -t 2 -c:v msmpeg4v3 -c:a pcm_u8 -ac 1",
       "MP43", 1, 25, 161, 121, {WAVE_FORMAT_PCM}},
      {"mjpeg_ac3.avi",
       "-f lavfi -i testsrc=size=161x121:rate=25 -f lavfi -i sine=r=48000 -t 2 -c:v mjpeg -c:a ac3 -ac 2",
       "MJPG", 1, 25, 161, 121, {WAVE_FORMAT_DOLBY_AC3}},
      {"h264_bframes.avi",
       "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=r=44100 -t 3 -c:v libx264 -bf 2 -g 20 "
       "-pix_fmt yuv420p -c:a libmp3lame",
       "H264", 1, 25, 320, 240, {WAVE_FORMAT_MPEGLAYER3}},
      {"huffyuv_two_audio.avi",
       "-f lavfi -i testsrc=size=161x121:rate=25 -f lavfi -i sine=r=44100 -f lavfi -i sine=f=880:r=22050 -t 1 "
       "-map 0 -map 1 -map 2 -c:v huffyuv -c:a:0 pcm_s16le -c:a:1 libmp3lame",
       "HFYU", 1, 25, 161, 121, {WAVE_FORMAT_PCM, WAVE_FORMAT_MPEGLAYER3}},
      {"raw_bgr24.avi",
       "-f lavfi -i testsrc=size=160x120:rate=30000/1001 -f lavfi -i sine=r=8000 -t 1 -c:v rawvideo "
       "-pix_fmt bgr24 -c:a pcm_s16le",
       "", 1001, 30000, 160, 120, {WAVE_FORMAT_PCM}},
  };
  return clips;
}

std::string Clip(const FfmpegClip& clip) { return CachedClip(clip.name, clip.args); }

}  // namespace

TEST(AviReaderFfmpeg, HeadersAndChunksOfEveryClipMatchHowItWasMadeAndFfprobe) {
  for (const FfmpegClip& clip : FfmpegClips()) {
    SCOPED_TRACE(clip.name);
    std::string path = Clip(clip);
    ASSERT_FALSE(path.empty());
    AviReader reader;
    ASSERT_EQ(reader.Open(path), AVIERR_OK) << reader.LastError();
    EXPECT_FALSE(reader.IndexRebuilt());
    EXPECT_FALSE(reader.IsOpenDml());
    ASSERT_EQ(reader.StreamCount(), 1 + clip.audioTags.size());
    EXPECT_EQ(reader.MainHeader().dwStreams, reader.StreamCount());

    const AviStreamInfo& video = reader.Stream(0).info;
    EXPECT_EQ(video.fccType, streamtypeVIDEO);
    std::string handler = FourCCString(video.fccHandler);
    EXPECT_EQ(handler.substr(0, handler.find('\0')), clip.handler);
    EXPECT_EQ(video.dwScale, clip.scale);
    EXPECT_EQ(video.dwRate, clip.rate);
    EXPECT_EQ(video.dwStart, 0u);
    EXPECT_EQ(video.rcFrame, (AviRect{0, 0, clip.width, clip.height}));
    EXPECT_EQ(video.dwLength, reader.Stream(0).chunks.size());
    EXPECT_EQ(reader.Stream(0).chunkType, TwoCC("dc"));

    for (size_t a = 0; a < clip.audioTags.size(); ++a) {
      const AviStream& audio = reader.Stream(1 + a);
      EXPECT_EQ(audio.info.fccType, streamtypeAUDIO);
      EXPECT_EQ(audio.chunkType, TwoCC("wb"));
      WaveFormatEx wfx;
      ASSERT_TRUE(WaveFormatEx::Parse(audio.format, wfx));
      EXPECT_EQ(wfx.wFormatTag, clip.audioTags[a]);
      if (wfx.wFormatTag == WAVE_FORMAT_PCM) {
        // PCM counts sample frames: rate ÷ scale is the sample rate.
        EXPECT_EQ(audio.info.dwRate / audio.info.dwScale, wfx.nSamplesPerSec);
        EXPECT_EQ(audio.info.dwRate % audio.info.dwScale, 0u);
        EXPECT_EQ(audio.info.dwSampleSize, wfx.nBlockAlign);
      }
      for (const AviChunk& c : audio.chunks) ASSERT_TRUE(c.keyFrame);
    }
    ExpectAgreesWithFfprobe(reader, path);
  }
}

TEST(AviReaderFfmpeg, BFramesKeepFileOrderAndKeyFramesAtTheGopStarts) {
  std::string path = Clip(FfmpegClips()[5]);
  AviReader reader;
  ASSERT_EQ(reader.Open(path), AVIERR_OK);
  const auto& chunks = reader.Stream(0).chunks;
  ASSERT_EQ(chunks.size(), 75u);
  size_t keys = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    ASSERT_GT(chunks[i].size, 0u);
    if (chunks[i].keyFrame) ++keys;
    if (i > 0) {
      ASSERT_GT(chunks[i].offset, chunks[i - 1].offset);
    }
  }
  EXPECT_TRUE(chunks[0].keyFrame);
  EXPECT_EQ(keys, 4u);  // 75 frames, a key frame every 20
}

TEST(AviReaderFfmpeg, ReadChunkReturnsTheBytesAtTheListedOffset) {
  std::string path = Clip(FfmpegClips()[0]);
  Bytes file = ReadFile(path);
  AviReader reader;
  ASSERT_EQ(reader.Open(path), AVIERR_OK);
  std::vector<uint8_t> buffer;
  for (size_t s = 0; s < reader.StreamCount(); ++s) {
    for (const AviChunk& c : reader.Stream(s).chunks) {
      ASSERT_TRUE(reader.ReadChunk(c, buffer));
      ASSERT_EQ(buffer.size(), c.size);
      ASSERT_TRUE(std::equal(buffer.begin(), buffer.end(), file.begin() + static_cast<long>(c.offset)));
      // The header in front names the stream and the size.
      ASSERT_EQ(file[c.offset - 8] - '0', static_cast<int>(s / 10));
      ASSERT_EQ(file[c.offset - 7] - '0', static_cast<int>(s % 10));
      ASSERT_EQ(GetLe32(file, c.offset - 4), c.size);
    }
  }
  AviChunk outside{file.size() - 4, 8, true};
  EXPECT_FALSE(reader.ReadChunk(outside, buffer));
  std::vector<uint8_t> raw(8);
  EXPECT_FALSE(reader.ReadChunk(outside, raw.data()));
  AviChunk first = reader.Stream(0).chunks.front();
  reader.Close();
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_FALSE(reader.ReadChunk(first, buffer));
}

TEST(AviReaderFfmpeg, MemoryOpenReadsTheSameAsTheFile) {
  std::string path = Clip(FfmpegClips()[6]);
  AviReader fromFile, fromMemory;
  ASSERT_EQ(fromFile.Open(path), AVIERR_OK);
  ASSERT_EQ(fromMemory.OpenMemory(ReadFile(path)), AVIERR_OK);
  EXPECT_TRUE(fromMemory.IsOpen());
  EXPECT_EQ(fromMemory.FileSize(), fromFile.FileSize());
  ExpectSameChunks(fromFile, fromMemory);
  std::vector<uint8_t> a, b;
  const AviChunk& last = fromFile.Stream(2).chunks.back();
  ASSERT_TRUE(fromFile.ReadChunk(last, a));
  ASSERT_TRUE(fromMemory.ReadChunk(last, b));
  EXPECT_EQ(a, b);
}

TEST(AviReaderOtherWriters, GStreamerAvimuxEmptyFrameRectAndByteBasedMp3) {
  if (!HaveCommand("gst-launch-1.0")) GTEST_SKIP() << "gst-launch-1.0 not installed";
  std::string dir = TempDir("avireader-gst");
  std::string path = dir + "/gst.avi";
  std::string command =
      "gst-launch-1.0 -q videotestsrc num-buffers=50 ! video/x-raw,width=320,height=240,framerate=25/1 ! "
      "jpegenc ! avimux name=m ! filesink location=" + Quote(path) +
      " audiotestsrc num-buffers=40 ! audioconvert ! lamemp3enc ! m. 2>&1";
  std::string output;
  ASSERT_EQ(testsupport::Run(command, &output), 0) << output;
  Bytes file = ReadFile(path);
  // The writer leaves rcFrame empty; the reader fills it from the bitmap header.
  EXPECT_EQ(StreamHeaderOf(file, 0).substr(48, 8), std::string(8, '\0'));
  AviReader reader;
  ASSERT_EQ(reader.Open(path), AVIERR_OK) << reader.LastError();
  ASSERT_EQ(reader.StreamCount(), 2u);
  EXPECT_EQ(reader.Stream(0).info.rcFrame, (AviRect{0, 0, 320, 240}));
  EXPECT_EQ(FourCCString(reader.Stream(0).info.fccHandler), "MJPG");
  EXPECT_EQ(reader.Stream(0).info.dwLength, 50u);
  EXPECT_EQ(reader.Stream(0).chunkType, TwoCC("db"));
  const AviStreamInfo& audio = reader.Stream(1).info;
  WaveFormatEx wfx;
  ASSERT_TRUE(WaveFormatEx::Parse(reader.Stream(1).format, wfx));
  EXPECT_EQ(wfx.wFormatTag, WAVE_FORMAT_MPEGLAYER3);
  // Byte-based: one byte per sample, the rate in bytes per second.
  EXPECT_EQ(audio.dwScale, 1u);
  EXPECT_EQ(audio.dwSampleSize, 1u);
  EXPECT_EQ(audio.dwRate, wfx.nAvgBytesPerSec);
  ExpectAgreesWithFfprobe(reader, path);

  // Plain PCM at an NTSC rate through the same writer.
  std::string pcm = dir + "/gst-pcm.avi";
  command = "gst-launch-1.0 -q videotestsrc num-buffers=30 ! video/x-raw,width=160,height=120,framerate=30000/1001 ! "
            "jpegenc ! avimux name=m ! filesink location=" + Quote(pcm) +
            " audiotestsrc num-buffers=20 ! audio/x-raw,format=S16LE,rate=22050,channels=2 ! m. 2>&1";
  ASSERT_EQ(testsupport::Run(command, &output), 0) << output;
  ASSERT_EQ(reader.Open(pcm), AVIERR_OK) << reader.LastError();
  EXPECT_EQ(reader.Stream(0).info.rcFrame, (AviRect{0, 0, 160, 120}));
  EXPECT_EQ(reader.Stream(0).info.dwScale, 1001u);
  EXPECT_EQ(reader.Stream(0).info.dwRate, 30000u);
  ASSERT_TRUE(WaveFormatEx::Parse(reader.Stream(1).format, wfx));
  EXPECT_EQ(wfx.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(wfx.nChannels, 2);
  EXPECT_EQ(reader.Stream(1).info.dwSampleSize, 4u);
  EXPECT_EQ(reader.Stream(1).info.dwRate / reader.Stream(1).info.dwScale, 22050u);
  ExpectAgreesWithFfprobe(reader, pcm);
}

TEST(AviReaderOtherWriters, MEncoderClipWithMp3) {
  if (!HaveCommand("mencoder")) GTEST_SKIP() << "mencoder not installed";
  std::string source = Clip(FfmpegClips()[1]);
  std::string dir = TempDir("avireader-mencoder");
  std::string path = dir + "/mencoder.avi";
  std::string output;
  ASSERT_EQ(testsupport::Run("mencoder " + Quote(source) + " -really-quiet -ovc lavc -lavcopts vcodec=mpeg4 -oac mp3lame "
                "-audio-delay 0.2 -o " + Quote(path) + " 2>&1", &output), 0) << output;
  AviReader reader;
  ASSERT_EQ(reader.Open(path), AVIERR_OK) << reader.LastError();
  ASSERT_EQ(reader.StreamCount(), 2u);
  EXPECT_EQ(reader.Stream(0).info.dwScale, 1001u);
  EXPECT_EQ(reader.Stream(0).info.dwRate, 30000u);
  EXPECT_EQ(reader.Stream(0).info.rcFrame, (AviRect{0, 0, 320, 240}));
  WaveFormatEx wfx;
  ASSERT_TRUE(WaveFormatEx::Parse(reader.Stream(1).format, wfx));
  EXPECT_EQ(wfx.wFormatTag, WAVE_FORMAT_MPEGLAYER3);
  // MEncoder delays the audio through dwStart: 0.2 s to within one MP3 frame.
  const AviStreamInfo& audio = reader.Stream(1).info;
  EXPECT_EQ(audio.dwScale, 1152u);
  EXPECT_NEAR(static_cast<double>(audio.dwStart) * audio.dwScale / audio.dwRate, 0.2, 0.025);
  EXPECT_GT(audio.dwStart, 0u);
  ExpectAgreesWithFfprobe(reader, path);
}

// ---- Index cut, damaged or missing: the chunk lists come from 'movi'.

namespace {

Bytes ReadClip(size_t which) { return ReadFile(Clip(FfmpegClips()[which])); }

void OpenBytes(AviReader& reader, const Bytes& bytes, const std::string& name, AviResult expected = AVIERR_OK) {
  std::string path = TempDir("avireader-bytes") + "/" + name;
  WriteFile(path, bytes);
  ASSERT_EQ(reader.Open(path), expected) << reader.LastError();
}

}  // namespace

TEST(AviReaderRebuild, CutOrDamagedIdx1GivesTheSameChunks) {
  for (size_t which : {0u, 1u, 6u}) {
    SCOPED_TRACE(FfmpegClips()[which].name);
    Bytes file = ReadClip(which);
    AviReader original;
    OpenBytes(original, file, "original.avi");
    ASSERT_FALSE(original.IndexRebuilt());
    int64_t idx1 = FindChunk(file, "idx1");
    ASSERT_GT(idx1, 0);

    Bytes cut(file.begin(), file.begin() + idx1 + 8 + 16 * 5 + 7);
    AviReader fromCut;
    OpenBytes(fromCut, cut, "cut.avi");
    EXPECT_TRUE(fromCut.IndexRebuilt());
    ExpectSameChunks(original, fromCut);

    Bytes shifted = file;
    for (size_t at = static_cast<size_t>(idx1) + 8 + 8; at + 8 <= shifted.size(); at += 16)
      PutLe32(shifted, at, GetLe32(shifted, at) + 4096);
    AviReader fromShifted;
    OpenBytes(fromShifted, shifted, "shifted.avi");
    EXPECT_TRUE(fromShifted.IndexRebuilt());
    ExpectSameChunks(original, fromShifted);

    Bytes wrongIds = file;  // every entry names stream 0: the audio entries point at audio chunks
    for (size_t at = static_cast<size_t>(idx1) + 8; at + 16 <= wrongIds.size(); at += 16) wrongIds[at + 1] = '0';
    AviReader fromWrongIds;
    OpenBytes(fromWrongIds, wrongIds, "wrong-ids.avi");
    EXPECT_TRUE(fromWrongIds.IndexRebuilt());
    ExpectSameChunks(original, fromWrongIds);

    Bytes swapped = file;  // two entries of one stream out of file order, each still naming its chunk
    const size_t first = static_cast<size_t>(idx1) + 8;
    size_t same = first + 16;
    while (!std::equal(swapped.begin() + first, swapped.begin() + first + 4, swapped.begin() + same)) same += 16;
    std::swap_ranges(swapped.begin() + first + 8, swapped.begin() + first + 16, swapped.begin() + same + 8);
    AviReader fromSwapped;
    OpenBytes(fromSwapped, swapped, "swapped.avi");
    EXPECT_TRUE(fromSwapped.IndexRebuilt());
    ExpectSameChunks(original, fromSwapped);

    // The first entry's size off by two, the chunk header sound: the header's
    // size is the one that reaches the next chunk, and the index stays.
    Bytes entrySize = file;
    const size_t firstSize = static_cast<size_t>(idx1) + 8 + 12;
    PutLe32(entrySize, firstSize, GetLe32(entrySize, firstSize) + 2);
    AviReader fromEntrySize;
    OpenBytes(fromEntrySize, entrySize, "entry-size.avi");
    EXPECT_FALSE(fromEntrySize.IndexRebuilt());
    ExpectSameChunks(original, fromEntrySize);

    Bytes outside = file;  // one entry far past the end of the file
    PutLe32(outside, static_cast<size_t>(idx1) + 8 + 16 * 3 + 8, 0x7FFFFFF0);
    AviReader fromOutside;
    OpenBytes(fromOutside, outside, "outside.avi");
    EXPECT_TRUE(fromOutside.IndexRebuilt());
    ExpectSameChunks(original, fromOutside);
  }
}

TEST(AviReaderRebuild, MissingIndexJudgesKeyFramesFromTheVideoData) {
  // MPEG-4 (VOP type), MS-MPEG4v3 (picture type), H.264 (IDR), MJPEG and HuffYUV (all key).
  for (size_t which : {0u, 3u, 4u, 5u, 6u, 7u}) {
    SCOPED_TRACE(FfmpegClips()[which].name);
    Bytes file = ReadClip(which);
    AviReader original;
    OpenBytes(original, file, "original.avi");
    int64_t idx1 = FindChunk(file, "idx1");
    ASSERT_GT(idx1, 0);
    std::copy_n("JUNK", 4, file.begin() + idx1);
    AviReader rebuilt;
    OpenBytes(rebuilt, file, "no-index.avi");
    EXPECT_TRUE(rebuilt.IndexRebuilt());
    ExpectSameChunks(original, rebuilt);
  }
  // DIV4 is MS-MPEG4 v3 too (as FFmpeg reads it), not MPEG-4 Part 2.
  Bytes file = ReadClip(3);
  const std::string mp43 = "MP43";  // ffmpeg's code for it, in the stream header and the format
  for (auto at = file.begin(); (at = std::search(at, file.begin() + 4096, mp43.begin(), mp43.end())) != file.begin() + 4096;)
    at = std::copy_n("DIV4", 4, at);
  AviReader original;
  OpenBytes(original, file, "div4.avi");
  ASSERT_EQ(original.Stream(0).info.fccHandler, MakeFourCC('D', 'I', 'V', '4'));
  std::copy_n("JUNK", 4, file.begin() + FindChunk(file, "idx1"));
  AviReader rebuilt;
  OpenBytes(rebuilt, file, "div4-no-index.avi");
  EXPECT_TRUE(rebuilt.IndexRebuilt());
  ExpectSameChunks(original, rebuilt);
}

TEST(AviReaderRebuild, FileCutInsideMoviKeepsEveryWholeChunk) {
  Bytes file = ReadClip(1);
  AviReader original;
  OpenBytes(original, file, "original.avi");
  int64_t movi = FindChunk(file, "movi");
  int64_t idx1 = FindChunk(file, "idx1");
  for (int64_t cut : {movi + 12, movi + 12 + 5, (movi + idx1) / 2, idx1 - 3}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    Bytes part(file.begin(), file.begin() + cut);
    AviReader reader;
    OpenBytes(reader, part, "cut.avi");
    EXPECT_TRUE(reader.IndexRebuilt());
    for (size_t s = 0; s < reader.StreamCount(); ++s) {
      const auto& all = original.Stream(s).chunks;
      const auto& kept = reader.Stream(s).chunks;
      size_t whole = 0;
      while (whole < all.size() && all[whole].offset + all[whole].size <= static_cast<uint64_t>(cut)) ++whole;
      ASSERT_EQ(kept.size(), whole) << "stream " << s;
      for (size_t i = 0; i < whole; ++i) {
        ASSERT_EQ(kept[i].offset, all[i].offset);
        ASSERT_EQ(kept[i].size, all[i].size);
      }
    }
  }
}

TEST(AviReaderRebuild, StreamedFileWithoutSizesOrIndex) {
  // Written to a pipe, ffmpeg can fill in no sizes: RIFF and 'movi' say 0xFFFFFFFF and there is no idx1.
  std::string path = TempDir("avireader-pipe") + "/piped.avi";
  std::string output;
  ASSERT_EQ(testsupport::Run("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine "
                             "-t 0.6 -c:v mjpeg -c:a pcm_s16le -f avi - > " + Quote(path) + " 2>&1", &output), 0)
      << output;
  AviReader reader;
  ASSERT_EQ(reader.Open(path), AVIERR_OK) << reader.LastError();
  EXPECT_TRUE(reader.IndexRebuilt());
  ASSERT_EQ(reader.StreamCount(), 2u);
  for (size_t s = 0; s < 2; ++s) {
    std::vector<ProbedChunk> packets = ProbeChunks(path, s);
    const auto& chunks = reader.Stream(s).chunks;
    ASSERT_EQ(chunks.size(), packets.size()) << s;
    for (size_t i = 0; i < chunks.size(); ++i) {
      ASSERT_EQ(static_cast<int64_t>(chunks[i].size), packets[i].size);
      ASSERT_EQ(static_cast<int64_t>(chunks[i].offset), packets[i].pos);
      ASSERT_TRUE(chunks[i].keyFrame);
    }
  }
}

// ---- Layouts built byte by byte.

namespace {

StreamLayout Video(int width, int height, const std::string& handler = "MJPG") {
  StreamLayout s;
  s.handler = handler;
  s.format = BitmapInfo(width, height, handler);
  return s;
}

StreamLayout Audio() {
  StreamLayout s;
  s.type = "auds";
  s.handler = "";
  s.scale = 2;
  s.rate = 16000;
  s.sampleSize = 2;
  s.format = WaveFormat(WAVE_FORMAT_PCM, 1, 8000, 2, 16);
  return s;
}

Bytes Data(size_t size, uint8_t fill) { return Bytes(size, fill); }

FileLayout TwoStreamSpec() {
  FileLayout layout;
  layout.streams = {Video(64, 48), Audio()};
  layout.streams[0].length = 3;
  layout.chunks = {{0, "dc", Data(11, 1), true},  {1, "wb", Data(7, 2), true}, {0, "dc", Data(0, 0), false},
                 {1, "wb", Data(3, 3), true},   {0, "dc", Data(5, 4), false}, {1, "wb", Data(0, 0), true}};
  return layout;
}

void ExpectTwoStreamChunks(const AviReader& reader, const Bytes& file) {
  ASSERT_EQ(reader.StreamCount(), 2u);
  const auto& v = reader.Stream(0).chunks;
  const auto& a = reader.Stream(1).chunks;
  ASSERT_EQ(v.size(), 3u);
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(v[0].size, 11u);
  EXPECT_EQ(v[1].size, 0u);  // empty chunks stay in the list
  EXPECT_EQ(v[2].size, 5u);
  EXPECT_EQ(a[0].size, 7u);
  EXPECT_EQ(a[1].size, 3u);
  EXPECT_EQ(a[2].size, 0u);
  // Odd sizes are padded: every offset lands on the chunk's bytes.
  for (const auto* list : {&v, &a}) {
    for (const AviChunk& c : *list) {
      ASSERT_EQ(GetLe32(file, c.offset - 4), c.size);
      for (uint32_t i = 0; i < c.size; ++i) ASSERT_NE(file[c.offset + i], 0);
    }
  }
}

}  // namespace

TEST(AviReaderLayouts, RelativeAbsoluteAndMissingIndexesWithOddSizesAndRecordLists) {
  for (bool records : {false, true}) {
    for (IndexKind kind : {IndexKind::Relative, IndexKind::Absolute, IndexKind::None}) {
      SCOPED_TRACE(std::string(records ? "rec lists, " : "") + "index kind " + std::to_string(static_cast<int>(kind)));
      FileLayout layout = TwoStreamSpec();
      layout.index = kind;
      layout.recordLists = records;
      Bytes file = BuildAvi(layout);
      AviReader reader;
      ASSERT_EQ(reader.OpenMemory(file), AVIERR_OK) << reader.LastError();
      EXPECT_EQ(reader.IndexRebuilt(), kind == IndexKind::None);
      ExpectTwoStreamChunks(reader, file);
      if (kind != IndexKind::None) {
        // Key flags come from the index as written.
        EXPECT_TRUE(reader.Stream(0).chunks[0].keyFrame);
        EXPECT_FALSE(reader.Stream(0).chunks[1].keyFrame);
        EXPECT_FALSE(reader.Stream(0).chunks[2].keyFrame);
      }
      for (const AviChunk& c : reader.Stream(1).chunks) EXPECT_TRUE(c.keyFrame);
    }
  }
}

TEST(AviReaderLayouts, FrameRectangleNamesAndManyStreams) {
  FileLayout layout;
  layout.streams.push_back(Video(320, -240));  // top-down bitmap: the height is negative
  StreamLayout framed = Video(720, 576, "DIVX");
  framed.frame[0] = -2;
  framed.frame[1] = 4;
  framed.frame[2] = 704;
  framed.frame[3] = 480;
  framed.name = "Caf\xe9 video";  // an ANSI name
  layout.streams.push_back(framed);
  for (int i = 0; i < 4; ++i) {
    StreamLayout audio = Audio();
    audio.name = i == 0 ? std::string(80, 'n') : "\xd0\x97\xd0\xb2\xd1\x83\xd0\xba";  // UTF-8 kept as it is
    layout.streams.push_back(audio);
  }
  for (int s = 0; s < 6; ++s) layout.chunks.push_back({s, s < 2 ? "dc" : "wb", Data(4 + s, 9), true});
  AviReader reader;
  ASSERT_EQ(reader.OpenMemory(BuildAvi(layout)), AVIERR_OK) << reader.LastError();
  // More than four streams are all kept, each with its chunks.
  ASSERT_EQ(reader.StreamCount(), 6u);
  for (size_t s = 0; s < 6; ++s) {
    ASSERT_EQ(reader.Stream(s).chunks.size(), 1u);
    EXPECT_EQ(reader.Stream(s).chunks[0].size, 4 + s);
  }
  EXPECT_EQ(reader.Stream(0).info.rcFrame, (AviRect{0, 0, 320, 240}));
  EXPECT_EQ(reader.Stream(1).info.rcFrame, (AviRect{-2, 4, 704, 480}));
  EXPECT_EQ(reader.Stream(1).info.szName, "Caf\xc3\xa9 video");
  EXPECT_EQ(reader.Stream(2).info.szName, std::string(63, 'n'));
  EXPECT_EQ(reader.Stream(3).info.szName, "\xd0\x97\xd0\xb2\xd1\x83\xd0\xba");
  EXPECT_EQ(reader.Stream(0).info.szName, "");
  EXPECT_EQ(reader.Stream(2).info.rcFrame, AviRect{});  // audio keeps what the file says
  EXPECT_EQ(reader.Stream(2).info.dwSampleSize, 2u);
  EXPECT_EQ(reader.Stream(2).info.dwCaps, AVIFILECAPS_CANREAD);
}

TEST(AviReaderLayouts, OpenDmlStandardIndexesGiveTheChunksAndTheirKeyFlags) {
  for (bool records : {false, true}) {
    FileLayout layout = TwoStreamSpec();
    layout.openDml = true;
    layout.recordLists = records;
    layout.index = IndexKind::None;  // only the OpenDML indexes
    Bytes file = BuildAvi(layout);
    AviReader reader;
    ASSERT_EQ(reader.OpenMemory(file), AVIERR_OK) << reader.LastError();
    EXPECT_TRUE(reader.IsOpenDml());
    EXPECT_FALSE(reader.IndexRebuilt());
    ExpectTwoStreamChunks(reader, file);
    EXPECT_TRUE(reader.Stream(0).chunks[0].keyFrame);
    EXPECT_FALSE(reader.Stream(0).chunks[2].keyFrame);
    // The same file read by scanning: the 'ix##' chunks inside 'movi' are not data.
    std::copy_n("JUNK", 4, file.begin() + FindChunk(file, "indx", 0));
    std::copy_n("JUNK", 4, file.begin() + FindChunk(file, "indx", 0));
    AviReader scanned;
    ASSERT_EQ(scanned.OpenMemory(file), AVIERR_OK);
    EXPECT_TRUE(scanned.IndexRebuilt());
    ExpectTwoStreamChunks(scanned, file);
  }
}
