// Replays the saved fuzz corpus (fuzz/corpus) through the AVI reader, from
// memory and from the file: the same answer both ways, and every accepted
// input gives chunk lists that lie inside it. Also runs under the sanitizers
// (avi_test_avireader_sanitized).
#include <gtest/gtest.h>

#include <filesystem>

#include "avi/AviReader.h"
#include "tests/support/Fixtures.h"

using namespace media;

TEST(AviReaderCorpus, EveryInputIsRefusedOrReadSoundly) {
  namespace fs = std::filesystem;
  const fs::path corpus = fs::path(SPLICORA_SOURCE_DIR) / "fuzz" / "corpus";
  ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
  size_t inputs = 0, accepted = 0, withChunks = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    const std::string path = entry.path().string();
    SCOPED_TRACE(path);
    std::vector<uint8_t> bytes = testsupport::ReadFile(path);
    ++inputs;
    AviReader fromMemory, fromFile;
    AviResult result = fromMemory.OpenMemory(bytes);
    ASSERT_EQ(fromFile.Open(path), result);
    if (result != AVIERR_OK) {
      ASSERT_TRUE(result == AVIERR_BADFORMAT || result == AVIERR_FILEREAD || result == AVIERR_MEMORY) << result;
      ASSERT_FALSE(fromMemory.IsOpen());
      ASSERT_FALSE(fromMemory.LastError().empty());
      continue;
    }
    ++accepted;
    ASSERT_EQ(fromFile.StreamCount(), fromMemory.StreamCount());
    ASSERT_GT(fromMemory.StreamCount(), 0u);
    ASSERT_EQ(fromFile.IndexRebuilt(), fromMemory.IndexRebuilt());
    std::vector<uint8_t> a, b;
    bool any = false;
    for (size_t s = 0; s < fromMemory.StreamCount(); ++s) {
      const auto& chunks = fromMemory.Stream(s).chunks;
      ASSERT_EQ(chunks.size(), fromFile.Stream(s).chunks.size());
      for (size_t i = 0; i < chunks.size(); ++i) {
        const AviChunk& c = chunks[i];
        ASSERT_LE(c.offset + c.size, bytes.size());
        ASSERT_EQ(c.offset, fromFile.Stream(s).chunks[i].offset);
        ASSERT_TRUE(fromMemory.ReadChunk(c, a));
        ASSERT_TRUE(fromFile.ReadChunk(c, b));
        ASSERT_EQ(a, b);
        any = true;
      }
    }
    if (any) ++withChunks;
  }
  // The corpus holds real files and damaged ones: both answers must be exercised.
  EXPECT_GE(inputs, 20u);
  EXPECT_GE(accepted, 5u);
  EXPECT_GE(withChunks, 5u);
  EXPECT_GT(inputs, accepted);
}
