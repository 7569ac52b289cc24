// The compressors end to end: real RGB frames from the ffmpeg CLI's test
// source, encoded through our compressing stream into our AVI writer, then
// read back by ffprobe/ffmpeg and by our reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "avi/AviReader.h"
#include "avi/AviWriter.h"
#include "media/VideoCompressor.h"
#include "tests/support/Fixtures.h"

using namespace media;
using testsupport::Ffprobe;
using testsupport::Quote;
using testsupport::Run;

namespace {

// Frames of ffmpeg's testsrc as packed top-down BGR24, width x height each.
struct Frames {
  int width = 0;
  int height = 0;
  int count = 0;
  std::vector<uint8_t> bytes;
  const uint8_t* Frame(int i) const { return bytes.data() + static_cast<size_t>(i) * width * height * 3; }
};

Frames MakeFrames(int width, int height, int count) {
  Frames frames{width, height, count, {}};
  std::string path = testsupport::CachedClip(
      "frames-" + std::to_string(width) + "x" + std::to_string(height) + ".rgb",
      "-f lavfi -i testsrc=size=" + std::to_string(width) + "x" + std::to_string(height) +
          ":rate=25 -frames:v " + std::to_string(count) + " -pix_fmt bgr24 -f rawvideo");
  frames.bytes = testsupport::ReadFile(path);
  return frames;
}

uint32_t RowBytes(int width) {
  return ((width * 24 + 31) & ~31) / 8;
}

// One frame as the decoder hands it to the writer: bottom-up, rows padded to 4 bytes.
std::vector<uint8_t> Dib(const Frames& frames, int index) {
  const uint32_t row = RowBytes(frames.width);
  std::vector<uint8_t> dib(static_cast<size_t>(row) * frames.height, 0xEE);
  for (int y = 0; y < frames.height; ++y)
    std::memcpy(dib.data() + static_cast<size_t>(frames.height - 1 - y) * row,
                frames.Frame(index) + static_cast<size_t>(y) * frames.width * 3, frames.width * 3);
  return dib;
}

AviStreamInfo VideoInfo(int width, int height) {
  AviStreamInfo info;
  info.fccType = streamtypeVIDEO;
  info.dwScale = 1;
  info.dwRate = 25;
  info.rcFrame = AviRect{0, 0, width, height};
  info.dwQuality = 0xFFFFFFFF;
  return info;
}

BitmapInfoHeader Rgb24(int width, int height) {
  BitmapInfoHeader h;
  h.biWidth = width;
  h.biHeight = height;
  h.biBitCount = 24;
  h.biSizeImage = RowBytes(width) * height;
  return h;
}

// Encodes every frame into a new AVI; "" on success, else what failed.
std::string Encode(FourCC handler, const Frames& frames, const std::string& path,
                   const CompressorSettings& settings = {}) {
  AviWriter writer;
  if (writer.Create(path) != AVIERR_OK) return "create: " + writer.LastError();
  CompressedVideoStream stream;
  if (stream.Open(writer, VideoInfo(frames.width, frames.height), handler, Rgb24(frames.width, frames.height),
                  settings) != AVIERR_OK)
    return "open: " + stream.LastError();
  for (int i = 0; i < frames.count; ++i) {
    std::vector<uint8_t> dib = Dib(frames, i);
    if (stream.Write(dib.data(), static_cast<uint32_t>(dib.size())) != AVIERR_OK)
      return "frame " + std::to_string(i) + ": " + stream.LastError();
  }
  if (stream.Finish() != AVIERR_OK) return "finish: " + stream.LastError();
  if (stream.ChunksOut() != frames.count) return "chunks " + std::to_string(stream.ChunksOut());
  if (writer.Close() != AVIERR_OK) return "close: " + writer.LastError();
  return "";
}

std::map<std::string, std::string> ProbeVideo(const std::string& path) {
  return testsupport::ProbeFields(path,
                                  "-select_streams v:0 -count_frames -show_entries "
                                  "stream=codec_name,codec_tag_string,width,height,nb_read_frames");
}

// Every frame decoded by the ffmpeg CLI to packed top-down BGR24.
std::vector<uint8_t> DecodeBgr24(const std::string& path) {
  std::string out;
  Run("ffmpeg -nostdin -v error -i " + Quote(path) + " -f rawvideo -pix_fmt bgr24 - 2>/dev/null", &out);
  return std::vector<uint8_t>(out.begin(), out.end());
}

// Mean absolute difference between decoded frame i (w x h) and the source's
// top-left w x h.
double MeanDifference(const std::vector<uint8_t>& decoded, int w, int h, const Frames& source, int i) {
  const uint8_t* d = decoded.data() + static_cast<size_t>(i) * w * h * 3;
  uint64_t sum = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w * 3; ++x)
      sum += std::abs(int(d[y * w * 3 + x]) - int(source.Frame(i)[y * source.width * 3 + x]));
  return double(sum) / (double(w) * h * 3);
}

// What the encoder produced: the video chunks' bytes, as ffprobe reads them.
int64_t VideoBytes(const std::string& path) {
  int64_t total = 0;
  for (const auto& packet : testsupport::ProbePackets(path, "v:0")) total += packet.size;
  return total;
}

struct Expected {
  const char* handler;
  const char* codecName;  // ffprobe's name of the decoder
  const char* tag;        // ffprobe's codec_tag_string
  bool lossless;
};

const Expected kExpected[] = {
    {"divx", "mpeg4", "DIVX", false},     {"xvid", "mpeg4", "XVID", false},
    {"mp42", "msmpeg4v2", "MP42", false}, {"mp43", "msmpeg4v3", "MP43", false},
    {"mjpg", "mjpeg", "MJPG", false},     {"x264", "h264", "X264", false},
    {"ffv1", "ffv1", "FFV1", true},       {"hfyu", "huffyuv", "HFYU", true},
    {"ulrg", "utvideo", "ULRG", true},    {"DIB ", "rawvideo", "[0][0][0][0]", true},
};

FourCC Code(const char* text) {
  return MakeFourCC(text[0], text[1], text[2], text[3]);
}

}  // namespace

TEST(Compressors, ListCoversTheEncodersThisFfmpegHas) {
  std::string encoders;
  testsupport::Run("ffmpeg -hide_banner -encoders 2>/dev/null", &encoders);
  std::set<FourCC> available;
  for (const CompressorInfo& info : AvailableCompressors()) {
    available.insert(info.handler);
    EXPECT_LE(info.description.size(), 127u);
  }
  for (const CompressorInfo& info : KnownCompressors()) {
    if (info.encoder.empty()) continue;
    bool built = encoders.find(" " + info.encoder + " ") != std::string::npos;
    EXPECT_EQ(built, available.count(info.handler) == 1) << info.encoder;
  }
  EXPECT_TRUE(available.count(Code("DIB ")));
  // A stable order: the listing is the same every time and follows the known list.
  std::vector<FourCC> order;
  for (const CompressorInfo& info : AvailableCompressors()) order.push_back(info.handler);
  std::vector<FourCC> known;
  for (const CompressorInfo& info : KnownCompressors())
    if (available.count(info.handler)) known.push_back(info.handler);
  EXPECT_EQ(order, known);
}

TEST(Compressors, EveryCompressorWritesAnAviFfprobeDecodes) {
  std::string dir = testsupport::TempDir("compressor-each");
  Frames frames = MakeFrames(64, 48, 6);
  ASSERT_EQ(frames.bytes.size(), 64u * 48 * 3 * 6);
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(e.handler);
    ASSERT_NE(FindCompressor(Code(e.handler)), nullptr);
    std::string path = dir + "/" + std::string(e.codecName) + "-" + e.tag + ".avi";
    path.erase(std::remove(path.begin(), path.end(), '['), path.end());
    ASSERT_EQ(Encode(Code(e.handler), frames, path), "");

    auto probe = ProbeVideo(path);
    EXPECT_EQ(probe["codec_name"], e.codecName);
    EXPECT_EQ(probe["codec_tag_string"], e.tag);
    EXPECT_EQ(probe["width"], "64");
    EXPECT_EQ(probe["height"], "48");
    EXPECT_EQ(probe["nb_read_frames"], "6");

    AviReader reader;
    ASSERT_EQ(reader.Open(path), AVIERR_OK);
    ASSERT_EQ(reader.StreamCount(), 1u);
    EXPECT_EQ(reader.Stream(0).info.fccHandler, Code(e.handler));
    EXPECT_EQ(reader.Stream(0).info.dwLength, 6u);
    ASSERT_EQ(reader.Stream(0).chunks.size(), 6u);
    EXPECT_TRUE(reader.Stream(0).chunks[0].keyFrame);

    std::vector<uint8_t> decoded = DecodeBgr24(path);
    ASSERT_EQ(decoded.size(), frames.bytes.size());
    if (e.lossless) {
      EXPECT_TRUE(decoded == frames.bytes) << "pixels changed";
    } else {
      for (int i = 0; i < frames.count; ++i) EXPECT_LT(MeanDifference(decoded, 64, 48, frames, i), 12.0) << i;
    }
  }
}

// Rows of 966 and 984 bytes: one padded, one not, neither a multiple of 16 pixels.
TEST(Compressors, Widths322And328ComeOutRight) {
  std::string dir = testsupport::TempDir("compressor-widths");
  for (int width : {322, 328}) {
    Frames frames = MakeFrames(width, 240, 3);
    ASSERT_EQ(frames.bytes.size(), size_t(width) * 240 * 3 * 3);
    for (const Expected& e : kExpected) {
      SCOPED_TRACE(std::string(e.handler) + " " + std::to_string(width));
      std::string path = dir + "/" + std::to_string(width) + "-" + e.codecName + ".avi";
      ASSERT_EQ(Encode(Code(e.handler), frames, path), "");
      auto probe = ProbeVideo(path);
      EXPECT_EQ(probe["width"], std::to_string(width));
      EXPECT_EQ(probe["height"], "240");
      EXPECT_EQ(probe["nb_read_frames"], "3");
      std::vector<uint8_t> decoded = DecodeBgr24(path);
      ASSERT_EQ(decoded.size(), frames.bytes.size());
      if (e.lossless)
        EXPECT_TRUE(decoded == frames.bytes);
      else
        for (int i = 0; i < 3; ++i) EXPECT_LT(MeanDifference(decoded, width, 240, frames, i), 12.0);
    }
  }
}

TEST(Compressors, OddSizesAreKeptOrCroppedAsTheFormatQuerySays) {
  std::string dir = testsupport::TempDir("compressor-odd");
  Frames frames = MakeFrames(65, 49, 3);
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(e.handler);
    const CompressorInfo* info = LocateCompressor(Code(e.handler), 65, 49);
    ASSERT_NE(info, nullptr);
    CompressedFormat format;
    ASSERT_TRUE(GetCompressedFormat(*info, 65, 49, {}, format));
    std::string path = dir + "/" + std::string(e.codecName) + ".avi";
    ASSERT_EQ(Encode(Code(e.handler), frames, path), "");
    auto probe = ProbeVideo(path);
    EXPECT_EQ(probe["width"], std::to_string(format.header.biWidth));
    EXPECT_EQ(probe["height"], std::to_string(format.header.biHeight));
    AviReader reader;
    ASSERT_EQ(reader.Open(path), AVIERR_OK);
    EXPECT_EQ(reader.Stream(0).info.rcFrame, (AviRect{0, 0, format.header.biWidth, format.header.biHeight}));
    std::vector<uint8_t> decoded = DecodeBgr24(path);
    const int w = format.header.biWidth;
    const int h = format.header.biHeight;
    ASSERT_EQ(decoded.size(), size_t(w) * h * 3 * 3);
    // Saturated colour bars at odd sizes lose more to 4:2:0 chroma; a frame
    // shifted by a row or column would differ far more.
    for (int i = 0; i < 3; ++i)
      EXPECT_LT(MeanDifference(decoded, w, h, frames, i), e.lossless ? 0.001 : 25.0);
  }
  // x264 and Xvid take even sizes only: the query says so.
  CompressedFormat format;
  ASSERT_TRUE(GetCompressedFormat(*FindCompressor(Code("x264")), 65, 49, {}, format));
  EXPECT_EQ(format.header.biWidth, 64);
  EXPECT_EQ(format.header.biHeight, 48);
  ASSERT_TRUE(GetCompressedFormat(*FindCompressor(Code("divx")), 65, 49, {}, format));
  EXPECT_EQ(format.header.biWidth, 65);
}

TEST(Compressors, LocateRefusesInputsNoEncoderTakes) {
  EXPECT_EQ(LocateCompressor(Code("divx"), 0, 48), nullptr);
  EXPECT_EQ(LocateCompressor(Code("divx"), 64, -1), nullptr);
  EXPECT_EQ(LocateCompressor(Code("x264"), 1, 1), nullptr);       // nothing left once made even
  EXPECT_EQ(LocateCompressor(Code("divx"), 16384, 16), nullptr);  // past MPEG-4's limit
  EXPECT_NE(LocateCompressor(Code("mp42"), 16384, 16), nullptr);
  EXPECT_EQ(LocateCompressor(Code("DIVX"), 64, 48), nullptr);  // handlers are case-sensitive
  EXPECT_EQ(LocateCompressor(Code("zzzz"), 64, 48), nullptr);
  EXPECT_EQ(LocateCompressor(Code("ffv1"), 70000, 70000), nullptr);
}

TEST(Compressors, ExtradataFollowsTheHeaderWhereTheCodecHasIt) {
  for (const char* handler : {"hfyu", "ulrg"}) {
    CompressedFormat format;
    ASSERT_TRUE(GetCompressedFormat(*FindCompressor(Code(handler)), 64, 48, {}, format));
    EXPECT_FALSE(format.extra.empty()) << handler;
    EXPECT_EQ(format.header.biSize, 40 + format.extra.size());
    EXPECT_EQ(format.FormatBlock().size(), 40 + format.extra.size());
  }
  CompressedFormat raw;
  ASSERT_TRUE(GetCompressedFormat(*FindCompressor(Code("DIB ")), 10, 2, {}, raw));
  EXPECT_EQ(raw.header.biCompression, 0u);
  EXPECT_EQ(raw.header.biSizeImage, 64u);  // rows of 30 bytes padded to 32
}

TEST(Compressors, SettingsReachTheEncoder) {
  std::string dir = testsupport::TempDir("compressor-settings");
  Frames frames = MakeFrames(322, 240, 3);
  struct Case {
    const char* handler;
    CompressorSettings low, high;
  } cases[] = {
      {"divx", {{"quality", "5"}}, {{"quality", "100"}}},
      {"mjpg", {{"quality", "5"}}, {{"quality", "100"}}},
      {"x264", {{"crf", "45"}, {"preset", "ultrafast"}}, {{"crf", "10"}, {"preset", "ultrafast"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.handler);
    std::string low = dir + "/" + c.handler + "-low.avi";
    std::string high = dir + "/" + c.handler + "-high.avi";
    ASSERT_EQ(Encode(Code(c.handler), frames, low, c.low), "");
    ASSERT_EQ(Encode(Code(c.handler), frames, high, c.high), "");
    EXPECT_LT(VideoBytes(low) * 2, VideoBytes(high));
  }
  // A key frame every 2 frames against one only at the start.
  Frames six = MakeFrames(64, 48, 6);
  std::string every2 = dir + "/keyint2.avi";
  ASSERT_EQ(Encode(Code("divx"), six, every2, {{"keyint", "2"}}), "");
  auto packets = testsupport::ProbePackets(every2, "v:0");
  ASSERT_EQ(packets.size(), 6u);
  for (size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(packets[i].key, i % 2 == 0) << i;
}

TEST(Compressors, SettingsAreNormalisedToWhatTheCompressorDeclares) {
  const CompressorInfo& x264 = *FindCompressor(Code("x264"));
  CompressorSettings values =
      NormalizeSettings(x264, {{"crf", "99"}, {"preset", "slow"}, {"keyint", "12x"}, {"bogus", "1"}});
  EXPECT_EQ(values, (CompressorSettings{{"crf", "23"}, {"preset", "slow"}, {"keyint", "250"}}));
  EXPECT_EQ(SettingsText(x264, {{"crf", "30"}}), "preset=medium crf=30 keyint=250");
  EXPECT_FALSE(FindCompressor(Code("DIB "))->Configurable());
  EXPECT_TRUE(FindCompressor(Code("hfyu"))->Configurable());
}

TEST(Compressors, BadCallsAreRefused) {
  std::string dir = testsupport::TempDir("compressor-bad");
  AviWriter writer;
  ASSERT_EQ(writer.Create(dir + "/bad.avi"), AVIERR_OK);
  CompressedVideoStream stream;
  EXPECT_EQ(stream.Write("x", 1), AVIERR_BADHANDLE);
  EXPECT_EQ(stream.Open(writer, VideoInfo(64, 48), Code("zzzz"), Rgb24(64, 48), {}), AVIERR_NOCOMPRESSOR);

  CompressedVideoStream wrongFormat;
  BitmapInfoHeader rgb32 = Rgb24(64, 48);
  rgb32.biBitCount = 32;
  EXPECT_EQ(wrongFormat.Open(writer, VideoInfo(64, 48), Code("divx"), rgb32, {}), AVIERR_BADFORMAT);

  CompressedVideoStream good;
  ASSERT_EQ(good.Open(writer, VideoInfo(64, 48), Code("divx"), Rgb24(64, 48), {}), AVIERR_OK);
  std::vector<uint8_t> shortFrame(RowBytes(64) * 48 - 1);
  EXPECT_EQ(good.Write(shortFrame.data(), static_cast<uint32_t>(shortFrame.size())), AVIERR_BADPARAM);
  EXPECT_EQ(good.Write(nullptr, 9216), AVIERR_BADPARAM);
  EXPECT_EQ(good.FramesIn(), 0);
  EXPECT_EQ(good.Finish(), AVIERR_OK);
  std::vector<uint8_t> frame(RowBytes(64) * 48);
  EXPECT_EQ(good.Write(frame.data(), static_cast<uint32_t>(frame.size())), AVIERR_ERROR);  // after Finish
}

namespace {

// A disk that fills up after a given number of bytes.
struct FullDisk : AviWriter::Sink {
  uint64_t room = 0;
  int writesAfterFailure = 0;
  bool failed = false;
  bool Open(const std::string&, std::string&) override { return true; }
  bool WriteAt(uint64_t offset, const void*, size_t size, std::string& error) override {
    if (failed) ++writesAfterFailure;
    if (offset + size > room) {
      failed = true;
      error = std::strerror(ENOSPC);
      return false;
    }
    return true;
  }
  bool Close(std::string&) override { return true; }
};

}  // namespace

TEST(Compressors, AFailedWriteIsReportedAndNothingIsWrittenAfterIt) {
  for (const char* handler : {"DIB ", "ffv1"}) {
    SCOPED_TRACE(handler);
    FullDisk disk;
    disk.room = 3 << 20;
    AviWriter writer;
    writer.SetSinkForTesting(&disk);
    ASSERT_EQ(writer.Create("/nonexistent/full.avi"), AVIERR_OK);
    CompressedVideoStream stream;
    ASSERT_EQ(stream.Open(writer, VideoInfo(1024, 768), Code(handler), Rgb24(1024, 768), {}), AVIERR_OK);
    std::vector<uint8_t> frame(RowBytes(1024) * 768);
    uint32_t noise = 2463534242u;  // xorshift: nothing for the encoder to squeeze
    for (uint8_t& byte : frame) {
      noise ^= noise << 13;
      noise ^= noise >> 17;
      noise ^= noise << 5;
      byte = static_cast<uint8_t>(noise);
    }
    AviResult rc = AVIERR_OK;
    int written = 0;
    while (rc == AVIERR_OK && written < 40) {
      rc = stream.Write(frame.data(), static_cast<uint32_t>(frame.size()));
      ++written;
    }
    ASSERT_NE(rc, AVIERR_OK) << "the disk never filled";
    EXPECT_NE(stream.LastError().find(std::strerror(ENOSPC)), std::string::npos) << stream.LastError();
    const int writesSoFar = disk.writesAfterFailure;
    EXPECT_EQ(stream.Write(frame.data(), static_cast<uint32_t>(frame.size())), AVIERR_ERROR);
    EXPECT_EQ(stream.Finish(), AVIERR_ERROR);
    EXPECT_EQ(disk.writesAfterFailure, writesSoFar);
  }
}

// The packets' checksums as the ffmpeg CLI lists them (framemd5), one a line.
std::string PacketSums(const std::string& input, const std::string& arguments) {
  std::string out;
  Run("ffmpeg -nostdin -v error " + input + " " + arguments +
          " -f framemd5 - 2>/dev/null | grep -v '^#' | awk -F, '{print $NF}'",
      &out);
  return out;
}

// FFV1 at one key frame per frame is encoded by several encoders in turn (one
// per core) while their memory stays within a budget; a large picture gets
// one encoder, which cuts it into slices of its own (as the ffmpeg CLI's
// does). Either way the chunks must be, in order, the packets one FFV1
// encoder makes of these frames.
TEST(Compressors, Ffv1EncodedInTurnsGivesTheOneEncoderPackets) {
  const struct {
    int width, height, count;  // an odd count: the last turn is short
  } sizes[] = {{64, 48, 13}, {1280, 720, 5}};
  for (const auto& size : sizes) {
    const std::string name = std::to_string(size.width) + "x" + std::to_string(size.height);
    SCOPED_TRACE(name);
    Frames frames = MakeFrames(size.width, size.height, size.count);
    const std::string raw = testsupport::CachedClip(
        "frames-" + name + ".rgb", "-f lavfi -i testsrc=size=" + name + ":rate=25 -frames:v " +
                                       std::to_string(size.count) + " -pix_fmt bgr24 -f rawvideo");
    const std::string path = testsupport::TempDir("compressor-ffv1-turns") + "/ffv1.avi";
    ASSERT_EQ(Encode(Code("ffv1"), frames, path), "");
    const std::string ours = PacketSums("-i " + Quote(path), "-map 0:v -c copy");
    const std::string reference =
        PacketSums("-f rawvideo -pix_fmt bgr24 -s " + name + " -r 25 -i " + Quote(raw),
                   "-frames:v " + std::to_string(size.count) + " -c:v ffv1 -pix_fmt bgr0 -coder range_def -g 1");
    EXPECT_EQ(std::count(ours.begin(), ours.end(), '\n'), size.count);
    EXPECT_EQ(ours, reference);
  }
}

// The settings dialog offers only what the encoder takes: every choice and
// both ends of every range open the encoder.
TEST(Compressors, EveryDeclaredSettingValueOpensTheEncoder) {
  for (const CompressorInfo& info : AvailableCompressors()) {
    for (const CompressorSetting& setting : info.settings) {
      std::vector<std::string> values = setting.choices;
      if (setting.kind == CompressorSetting::Kind::Number)
        values = {std::to_string(setting.minimum), std::to_string(setting.maximum)};
      for (const std::string& value : values) {
        CompressedFormat format;
        std::string error;
        EXPECT_TRUE(GetCompressedFormat(info, 64, 48, {{setting.key, value}}, format, &error))
            << FourCCString(info.handler) << " " << setting.key << "=" << value << ": " << error;
      }
    }
  }
}
