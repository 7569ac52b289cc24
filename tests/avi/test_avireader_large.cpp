// An OpenDML file past 1 GiB made by the ffmpeg CLI (raw video, looped by
// stream copy so it is quick to make): every chunk, in the first RIFF and in
// the 'AVIX' ones, is listed as ffprobe lists its packets and is readable; with
// the OpenDML indexes gone, the scan over every 'movi' finds the same chunks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <unistd.h>

#include "avi/AviReader.h"
#include "tests/support/AviBuilder.h"
#include "tests/support/Fixtures.h"

using namespace media;
using namespace testsupport;

namespace {

struct Packet {
  int64_t size = 0;
  int64_t pos = 0;
  bool key = false;
};

std::vector<Packet> ProbeAll(const std::string& path, size_t stream) {
  std::string text = Ffprobe(path, "-select_streams " + std::to_string(stream) +
                                       " -show_entries packet=size,pos,flags -of csv=p=0");
  std::vector<Packet> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    Packet p;
    char flags[16] = {};
    long long size = 0, pos = 0;
    if (std::sscanf(line.c_str(), "%lld,%lld,%15s", &size, &pos, flags) != 3) continue;
    p.size = size;
    p.pos = pos;
    p.key = flags[0] == 'K';
    out.push_back(p);
  }
  return out;
}

class AviReaderLarge : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = TempDir("avireader-large"); }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);  // a gigabyte is not left behind
  }
  std::string dir_;
};

void ExpectEveryChunkReachable(const AviReader& reader) {
  std::vector<uint8_t> header;
  for (size_t s = 0; s < reader.StreamCount(); ++s) {
    for (const AviChunk& c : reader.Stream(s).chunks) {
      // The 8 bytes in front of the data are the chunk's own header.
      ASSERT_TRUE(reader.ReadChunk(AviChunk{c.offset - 8, 8, false}, header));
      ASSERT_EQ(header[0] - '0', static_cast<int>(s / 10));
      ASSERT_EQ(header[1] - '0', static_cast<int>(s % 10));
      ASSERT_EQ(GetLe32(header, 4), c.size);
    }
    std::vector<uint8_t> data;
    ASSERT_TRUE(reader.ReadChunk(reader.Stream(s).chunks.back(), data));
    ASSERT_EQ(data.size(), reader.Stream(s).chunks.back().size);
  }
}

}  // namespace

TEST_F(AviReaderLarge, OpenDmlPastOneGibibyte) {
  const std::string small = dir_ + "/second.avi";
  const std::string big = dir_ + "/big.avi";
  ASSERT_EQ(MakeClip(small, "-f lavfi -i testsrc=size=1280x720:rate=25 -f lavfi -i sine=r=48000 -t 1 "
                            "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le"), "");
  ASSERT_EQ(MakeClip(big, "-stream_loop 16 -i " + Quote(small) + " -map 0 -c copy"), "");
  std::filesystem::remove(small);
  ASSERT_GT(std::filesystem::file_size(big), 1ull << 30);

  AviReader reader;
  ASSERT_EQ(reader.Open(big), AVIERR_OK) << reader.LastError();
  EXPECT_TRUE(reader.IsOpenDml());
  EXPECT_FALSE(reader.IndexRebuilt());
  ASSERT_EQ(reader.StreamCount(), 2u);
  EXPECT_EQ(reader.Stream(0).info.rcFrame, (AviRect{0, 0, 1280, 720}));
  EXPECT_EQ(reader.Stream(0).info.dwLength, reader.Stream(0).chunks.size());
  for (size_t s = 0; s < 2; ++s) {
    SCOPED_TRACE("stream " + std::to_string(s));
    std::vector<Packet> packets = ProbeAll(big, s);
    const auto& chunks = reader.Stream(s).chunks;
    ASSERT_EQ(chunks.size(), packets.size());  // no empty chunks in this file
    for (size_t i = 0; i < chunks.size(); ++i) {
      ASSERT_EQ(static_cast<int64_t>(chunks[i].size), packets[i].size) << i;
      ASSERT_EQ(static_cast<int64_t>(chunks[i].offset), packets[i].pos) << i;
      ASSERT_EQ(chunks[i].keyFrame, packets[i].key) << i;
    }
    EXPECT_GT(chunks.back().offset, 1ull << 30);  // reached through an 'AVIX' RIFF
  }
  ExpectEveryChunkReachable(reader);

  // Without the super indexes (idx1 covers only the first RIFF) the chunks come from scanning.
  const std::vector<AviStream> indexed = reader.Streams();
  reader.Close();
  Bytes head(64 * 1024);
  int fd = ::open(big.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pread(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
  for (int n = 0; n < 2; ++n) {
    int64_t indx = FindChunk(head, "indx", 0);
    ASSERT_GT(indx, 0) << n;
    std::copy_n("JUNK", 4, head.begin() + indx);
    ASSERT_EQ(::pwrite(fd, "JUNK", 4, indx), 4);
  }
  ::close(fd);
  ASSERT_EQ(reader.Open(big), AVIERR_OK) << reader.LastError();
  EXPECT_TRUE(reader.IndexRebuilt());
  EXPECT_TRUE(reader.IsOpenDml());
  for (size_t s = 0; s < 2; ++s) {
    const auto& scanned = reader.Stream(s).chunks;
    ASSERT_EQ(scanned.size(), indexed[s].chunks.size()) << s;
    for (size_t i = 0; i < scanned.size(); ++i) {
      ASSERT_EQ(scanned[i].offset, indexed[s].chunks[i].offset);
      ASSERT_EQ(scanned[i].size, indexed[s].chunks[i].size);
      ASSERT_EQ(scanned[i].keyFrame, indexed[s].chunks[i].keyFrame);
    }
  }
}
