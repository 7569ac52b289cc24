// Files the AVI reader must refuse with the right code, or read only as far as
// they hold, and never crash on. These tests also run in a build with
// AddressSanitizer and UBSan (avi_test_avireader_sanitized).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "avi/AviReader.h"
#include "tests/support/AviBuilder.h"
#include "tests/support/Fixtures.h"

using namespace media;
using namespace testsupport;
using namespace std::string_literals;

namespace {

std::string Write(const std::string& name, const Bytes& bytes) {
  std::string path = TempDir("avireader-bad") + "/" + name;
  WriteFile(path, bytes);
  return path;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// What an accepted file must satisfy, however damaged: every chunk inside the
// file and readable, and headers that a caller can use without more checks.
void ExpectSound(const AviReader& reader) {
  ASSERT_TRUE(reader.IsOpen());
  ASSERT_GT(reader.StreamCount(), 0u);
  ASSERT_LE(reader.StreamCount(), 100u);
  std::vector<uint8_t> buffer;
  for (const AviStream& s : reader.Streams()) {
    for (const AviChunk& c : s.chunks) {
      ASSERT_LE(c.offset + c.size, reader.FileSize());
      ASSERT_GE(c.offset, 8u);
    }
    if (!s.chunks.empty()) {
      ASSERT_TRUE(reader.ReadChunk(s.chunks.front(), buffer));
      ASSERT_TRUE(reader.ReadChunk(s.chunks.back(), buffer));
    }
  }
}

FileLayout SmallSpec() {
  FileLayout layout;
  StreamLayout video;
  video.format = BitmapInfo(32, 24, "MJPG");
  video.length = 4;
  StreamLayout audio;
  audio.type = "auds";
  audio.handler = "";
  audio.sampleSize = 2;
  audio.rate = 8000;
  audio.format = WaveFormat(WAVE_FORMAT_PCM, 1, 8000, 2, 16);
  layout.streams = {video, audio};
  for (int i = 0; i < 4; ++i) {
    layout.chunks.push_back({0, "dc", Bytes(30 + static_cast<size_t>(i), 0x11), i == 0});
    layout.chunks.push_back({1, "wb", Bytes(16, 0x22), true});
  }
  return layout;
}

// A real clip, small so that the cut and mutation loops stay cheap.
Bytes SmallClip() {
  std::string path = CachedClip("bad-source.avi",
                                "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=r=22050 -t 1 "
                                "-c:v mpeg4 -vtag XVID -c:a libmp3lame");
  EXPECT_FALSE(path.empty());
  return ReadFile(path);
}

}  // namespace

TEST(AviReaderBadFiles, WhatCannotBeOpenedAtAll) {
  AviReader reader;
  std::string dir = TempDir("avireader-open");
  EXPECT_EQ(reader.Open(dir + "/missing.avi"), AVIERR_FILEOPEN);
  EXPECT_NE(reader.LastError().find("missing.avi"), std::string::npos);
  EXPECT_FALSE(reader.IsOpen());
  // A folder is not a file the user can open: the same code as a missing file.
  ASSERT_EQ(::mkdir((dir + "/folder.avi").c_str(), 0755), 0);
  EXPECT_EQ(reader.Open(dir + "/folder.avi"), AVIERR_FILEOPEN);
  EXPECT_NE(reader.LastError().find("folder"), std::string::npos);
  // A FIFO with no writer must not block the open.
  ASSERT_EQ(::mkfifo((dir + "/pipe.avi").c_str(), 0644), 0);
  EXPECT_EQ(reader.Open(dir + "/pipe.avi"), AVIERR_FILEOPEN);
  EXPECT_FALSE(reader.IsOpen());
  if (::geteuid() != 0) {  // root reads any file
    std::string locked = Write("locked.avi", BuildAvi(SmallSpec()));
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(reader.Open(locked), AVIERR_FILEOPEN);
  }
}

TEST(AviReaderBadFiles, EmptyShortTextAndRandomFiles) {
  AviReader reader;
  EXPECT_EQ(reader.Open(Write("empty.avi", {})), AVIERR_FILEREAD);
  EXPECT_EQ(reader.Open(Write("riff-start.avi", Text("RIF"))), AVIERR_FILEREAD);
  EXPECT_EQ(reader.Open(Write("riff-header.avi", Text("RIFF\x10\0\0\0AV"s))), AVIERR_FILEREAD);
  EXPECT_EQ(reader.Open(Write("two.avi", Text("ab"))), AVIERR_BADFORMAT);
  EXPECT_EQ(reader.Open(Write("text.avi", Text("This is a text file, not a clip.\nSecond line.\n"))),
            AVIERR_BADFORMAT);
  EXPECT_EQ(reader.Open(Write("wave.avi", Text("RIFF\x24\0\0\0WAVEfmt "s))), AVIERR_BADFORMAT);
  EXPECT_FALSE(reader.IsOpen());
  std::mt19937 random(7);
  for (size_t size : {1u, 11u, 12u, 100u, 4096u, 65536u}) {
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    EXPECT_EQ(reader.Open(Write("random.avi", bytes)), AVIERR_BADFORMAT) << size;
    // The same noise behind a valid RIFF AVI header: refused or read soundly.
    Bytes riff = Text("RIFF");
    Append(riff, Le32(static_cast<uint32_t>(size + 4)));
    Append(riff, Text("AVI "));
    Append(riff, bytes);
    AviResult result = reader.OpenMemory(riff);
    EXPECT_TRUE(result == AVIERR_BADFORMAT || result == AVIERR_FILEREAD || result == AVIERR_MEMORY) << size;
  }
}

TEST(AviReaderBadFiles, TruncatedAtEveryCutInTheHeadersAndManyInTheData) {
  Bytes file = SmallClip();
  int64_t hdrl = FindChunk(file, "hdrl");
  int64_t movi = FindChunk(file, "movi");
  int64_t idx1 = FindChunk(file, "idx1");
  ASSERT_GT(hdrl, 0);
  ASSERT_GT(movi, hdrl);
  ASSERT_GT(idx1, movi);
  AviReader whole;
  ASSERT_EQ(whole.OpenMemory(file), AVIERR_OK);
  AviReader reader;
  for (size_t cut = 0; cut < file.size(); cut += cut < static_cast<size_t>(movi) + 64 ? 1 : 61) {
    Bytes part(file.begin(), file.begin() + static_cast<long>(cut));
    AviResult result = reader.OpenMemory(part);
    if (cut < static_cast<size_t>(movi) + 12) {
      // Cut inside the headers (or before the movi list begins): a read failure.
      ASSERT_EQ(result, AVIERR_FILEREAD) << "cut at " << cut;
      ASSERT_FALSE(reader.IsOpen());
    } else {
      ASSERT_EQ(result, AVIERR_OK) << "cut at " << cut << ": " << reader.LastError();
      ASSERT_TRUE(reader.IndexRebuilt()) << "cut at " << cut;
      ASSERT_EQ(reader.StreamCount(), whole.StreamCount());
      ExpectSound(reader);
      for (size_t s = 0; s < reader.StreamCount(); ++s)
        ASSERT_LE(reader.Stream(s).chunks.size(), whole.Stream(s).chunks.size());
    }
  }
  // Through a real file too, once in the headers and once in the data.
  EXPECT_EQ(reader.Open(Write("cut-headers.avi", Bytes(file.begin(), file.begin() + hdrl + 40))), AVIERR_FILEREAD);
  EXPECT_EQ(reader.Open(Write("cut-data.avi", Bytes(file.begin(), file.begin() + (movi + idx1) / 2))), AVIERR_OK);
}

TEST(AviReaderBadFiles, AbsurdCountsAndSizes) {
  AviReader reader;
  FileLayout layout = SmallSpec();
  {
    FileLayout absurd = layout;
    absurd.mainHeaderStreams = 0x7FFFFFFF;
    EXPECT_EQ(reader.OpenMemory(BuildAvi(absurd)), AVIERR_MEMORY);
    EXPECT_FALSE(reader.LastError().empty());
  }
  {
    FileLayout many = layout;  // more stream headers than chunk ids can number
    many.streams.assign(101, layout.streams[1]);
    many.mainHeaderStreams = 2;
    EXPECT_EQ(reader.OpenMemory(BuildAvi(many)), AVIERR_MEMORY);
  }
  const Bytes file = BuildAvi(layout);
  const size_t hdrl = static_cast<size_t>(FindChunk(file, "hdrl"));
  const size_t strf = static_cast<size_t>(FindChunk(file, "strf"));
  const size_t strh = static_cast<size_t>(FindChunk(file, "strh"));
  const size_t movi = static_cast<size_t>(FindChunk(file, "movi"));
  const size_t idx1 = static_cast<size_t>(FindChunk(file, "idx1"));
  auto with = [&](size_t at, uint32_t value) {
    Bytes b = file;
    PutLe32(b, at, value);
    return b;
  };
  EXPECT_EQ(reader.OpenMemory(with(hdrl + 4, 0xFFFFFFF0)), AVIERR_MEMORY);  // header list of 4 GiB
  EXPECT_EQ(reader.OpenMemory(with(hdrl + 4, static_cast<uint32_t>(file.size()))), AVIERR_FILEREAD);
  EXPECT_EQ(reader.OpenMemory(with(strf + 4, 0x7FFFFFFF)), AVIERR_BADFORMAT);  // overruns its list
  EXPECT_EQ(reader.OpenMemory(with(strh + 4, 20)), AVIERR_BADFORMAT);           // too short for the fields
  Bytes noMainHeader = file;
  std::copy_n("JUNK", 4, noMainHeader.begin() + static_cast<long>(FindChunk(file, "avih")));
  EXPECT_EQ(reader.OpenMemory(noMainHeader), AVIERR_BADFORMAT);
  Bytes noMovi = file;
  std::copy_n("junk", 4, noMovi.begin() + static_cast<long>(movi) + 8);
  EXPECT_EQ(reader.OpenMemory(noMovi), AVIERR_BADFORMAT);

  // Sizes in the data and the index: the file stays readable as far as it is sound.
  ASSERT_EQ(reader.OpenMemory(with(0 + 4, 0xFFFFFFF0)), AVIERR_OK);  // RIFF size
  EXPECT_EQ(reader.Stream(0).chunks.size(), 4u);
  ASSERT_EQ(reader.OpenMemory(with(idx1 + 4, 0xFFFFFFF0)), AVIERR_OK);
  EXPECT_TRUE(reader.IndexRebuilt());
  EXPECT_EQ(reader.Stream(0).chunks.size(), 4u);
  EXPECT_EQ(reader.Stream(1).chunks.size(), 4u);
  // The first audio chunk's size: the index, which lines up around it, still
  // gives every chunk; without the index the scan stops at the chunk that
  // cannot fit, and the file says that its data ends early.
  AviReader whole;
  ASSERT_EQ(whole.OpenMemory(file), AVIERR_OK);
  const Bytes badSize = with(movi + 12 + 8 + 30 + 4, 0xFFFFFFF0);
  ASSERT_EQ(reader.OpenMemory(badSize), AVIERR_OK);
  EXPECT_FALSE(reader.IndexRebuilt());
  EXPECT_FALSE(reader.CutShort());
  for (size_t s = 0; s < 2; ++s) {
    ASSERT_EQ(reader.Stream(s).chunks.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(reader.Stream(s).chunks[i].offset, whole.Stream(s).chunks[i].offset);
      EXPECT_EQ(reader.Stream(s).chunks[i].size, whole.Stream(s).chunks[i].size);
    }
  }
  ExpectSound(reader);
  Bytes badSizeNoIndex = badSize;
  std::copy_n("JUNK", 4, badSizeNoIndex.begin() + static_cast<long>(idx1));
  ASSERT_EQ(reader.OpenMemory(badSizeNoIndex), AVIERR_OK);
  EXPECT_TRUE(reader.IndexRebuilt());
  EXPECT_TRUE(reader.CutShort());
  EXPECT_EQ(reader.Stream(0).chunks.size(), 1u);
  EXPECT_EQ(reader.Stream(1).chunks.size(), 0u);
  ExpectSound(reader);
}

TEST(AviReaderBadFiles, DamagedOpenDmlIndexesFallBackOrRefuse) {
  FileLayout layout = SmallSpec();
  layout.openDml = true;
  const Bytes file = BuildAvi(layout);
  AviReader reader;
  ASSERT_EQ(reader.OpenMemory(file), AVIERR_OK) << reader.LastError();
  ASSERT_TRUE(reader.IsOpenDml());
  ASSERT_FALSE(reader.IndexRebuilt());
  const auto good = reader.Stream(0).chunks;
  const size_t indx = static_cast<size_t>(FindChunk(file, "indx"));
  const size_t ix = static_cast<size_t>(FindChunk(file, "ix00"));
  auto with = [&](size_t at, uint32_t value) {
    Bytes b = file;
    PutLe32(b, at, value);
    return b;
  };
  auto expectIdx1Chunks = [&](const Bytes& bytes) {
    ASSERT_EQ(reader.OpenMemory(bytes), AVIERR_OK) << reader.LastError();
    ExpectSound(reader);
    ASSERT_EQ(reader.Stream(0).chunks.size(), good.size());
    for (size_t i = 0; i < good.size(); ++i) EXPECT_EQ(reader.Stream(0).chunks[i].offset, good[i].offset);
  };
  expectIdx1Chunks(with(indx + 8 + 4, 0x10000000));  // super index entries beyond its chunk
  expectIdx1Chunks(with(indx + 8 + 24, 0xFFFFFF00));  // an ix offset outside the file
  expectIdx1Chunks(with(ix + 8 + 4, 0x10000000));     // standard index entries beyond its chunk
  expectIdx1Chunks(with(ix + 8 + 12, 0x7FFF0000));    // a base that puts the chunks outside
  expectIdx1Chunks(with(ix + 8 + 24, 3));             // an entry at the wrong offset: the probe sees it
  EXPECT_FALSE(reader.IndexRebuilt());
  // A super index that names the same 'ix##' 300 times: 180000 entries in a
  // file of a few KiB. The repeat breaks file order, so the index is not used.
  FileLayout repeated = layout;
  repeated.chunks.clear();
  for (int i = 0; i < 600; ++i) repeated.chunks.push_back({0, "dc", Bytes(1, 1), true});
  repeated.chunks.push_back({1, "wb", Bytes(2, 1), true});
  repeated.superIndexCopies = 300;
  ASSERT_EQ(reader.OpenMemory(BuildAvi(repeated)), AVIERR_OK) << reader.LastError();
  EXPECT_EQ(reader.Stream(0).chunks.size(), 600u);
  repeated.index = IndexKind::None;
  ASSERT_EQ(reader.OpenMemory(BuildAvi(repeated)), AVIERR_OK) << reader.LastError();
  EXPECT_TRUE(reader.IndexRebuilt());
  EXPECT_EQ(reader.Stream(0).chunks.size(), 600u);
}

TEST(AviReaderBadFiles, RandomDamageNeverCrashesAndAcceptedFilesAreSound) {
  std::vector<Bytes> seeds = {BuildAvi(SmallSpec()), SmallClip()};
  FileLayout dml = SmallSpec();
  dml.openDml = true;
  dml.recordLists = true;
  seeds.push_back(BuildAvi(dml));
  std::mt19937 random(12345);
  AviReader reader;
  size_t accepted = 0;
  for (int round = 0; round < 1500; ++round) {
    Bytes bytes = seeds[static_cast<size_t>(round) % seeds.size()];
    int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t at = random() % bytes.size();
      switch (random() % 4) {
        case 0: bytes[at] = static_cast<uint8_t>(random()); break;
        case 1:  // a size-like field: huge, zero or small
          if (at + 4 <= bytes.size()) {
            static const uint32_t values[] = {0, 1, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFF0, 0x10000, 3};
            PutLe32(bytes, at & ~size_t{3}, values[random() % 7]);
          }
          break;
        case 2: bytes.resize(at + 1); break;
        default: bytes[at] ^= static_cast<uint8_t>(1u << (random() % 8)); break;
      }
    }
    AviResult result = reader.OpenMemory(bytes);
    if (result == AVIERR_OK) {
      ++accepted;
      ExpectSound(reader);
    } else {
      ASSERT_TRUE(result == AVIERR_BADFORMAT || result == AVIERR_FILEREAD || result == AVIERR_MEMORY) << result;
      ASSERT_FALSE(reader.IsOpen());
    }
  }
  EXPECT_GT(accepted, 100u);  // damage in the data leaves most files readable
}

// Chunk codes zeroed in 'movi', sizes and data intact: an index still leads
// to every chunk (ffmpeg's demuxer reads such files by it too); without one,
// the scan steps over each damaged chunk whose size leads to the next, losing
// only that chunk.
TEST(AviReaderBadFiles, DamagedChunkCodesKeepWhatTheFileStillGives) {
  AviReader reader;
  for (IndexKind index : {IndexKind::Relative, IndexKind::Absolute, IndexKind::None}) {
    SCOPED_TRACE(static_cast<int>(index));
    FileLayout layout = SmallSpec();
    layout.index = index;
    Bytes file = BuildAvi(layout);
    ASSERT_EQ(ZeroEverySecondChunkCode(file), 4u);  // the chunks alternate: every audio chunk
    ASSERT_EQ(reader.OpenMemory(file), AVIERR_OK) << reader.LastError();
    ExpectSound(reader);
    EXPECT_EQ(reader.IndexRebuilt(), index == IndexKind::None);
    EXPECT_EQ(reader.Stream(0).chunks.size(), 4u);
    EXPECT_EQ(reader.Stream(1).chunks.size(), index == IndexKind::None ? 0u : 4u);
  }
  // A damaged code whose size leads nowhere still ends the scan there.
  FileLayout layout = SmallSpec();
  layout.index = IndexKind::None;
  Bytes file = BuildAvi(layout);
  const size_t movi = static_cast<size_t>(FindChunk(file, "movi"));
  ZeroEverySecondChunkCode(file);
  PutLe32(file, movi + 12 + 8 + 30 + 4, 7);  // the first audio chunk's size
  ASSERT_EQ(reader.OpenMemory(file), AVIERR_OK);
  EXPECT_EQ(reader.Stream(0).chunks.size(), 1u);
}
