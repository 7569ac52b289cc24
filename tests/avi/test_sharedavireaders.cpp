// Readers shared along a run: one reader per unchanged file while sharing is
// on and within its budget, a fresh read of a file that changed, of a file
// past the budget, and of every file with sharing off; what each hands out
// agrees with ffprobe.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "avi/SharedAviReaders.h"
#include "tests/support/Fixtures.h"

using namespace media;
using namespace testsupport;

namespace {

size_t ProbedPackets(const std::string& path) {
  return static_cast<size_t>(std::stoul(
      Ffprobe(path, "-count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0")));
}

struct SharingOff {
  ~SharingOff() { SharedAviReaders::Enable(0); }
};

}  // namespace

TEST(SharedAviReaders, OneReaderPerUnchangedFileWithinTheBudget) {
  const std::string a = CachedClip("shared-a.avi", "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 "
                                                   "-f lavfi -i sine=d=1 -c:v mpeg4 -c:a pcm_s16le");
  const std::string b = CachedClip("shared-b.avi", "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v mpeg4");
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  SharingOff off;
  const std::string dir = TempDir("shared-readers");
  const std::string clip = dir + "/clip.avi";
  std::filesystem::copy_file(a, clip);

  // Off: every open reads the file anew.
  SharedAviReaders::Enable(0);
  auto first = SharedAviReaders::Open(clip), second = SharedAviReaders::Open(clip);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
  EXPECT_EQ(SharedAviReaders::Kept(), 0u);

  // On: the same reader for the same file, from any thread.
  SharedAviReaders::Enable(uint64_t{16} << 20);
  first = SharedAviReaders::Open(clip);
  SharedAviReaders::Reader other;
  std::thread([&] { other = SharedAviReaders::Open(clip); }).join();
  EXPECT_EQ(first, other);
  ASSERT_EQ(first->StreamCount(), 2u);
  EXPECT_EQ(first->Stream(0).chunks.size(), ProbedPackets(clip));

  // The file replaced by another clip: read again, and what it now holds.
  std::filesystem::remove(clip);
  std::filesystem::copy_file(b, clip);
  auto replaced = SharedAviReaders::Open(clip);
  ASSERT_TRUE(replaced);
  EXPECT_NE(replaced, first);
  EXPECT_EQ(replaced->StreamCount(), 1u);
  EXPECT_EQ(replaced->Stream(0).chunks.size(), ProbedPackets(b));
  EXPECT_EQ(SharedAviReaders::Kept(), 1u);

  // A failure is reported, and never kept.
  AviResult result = AVIERR_OK;
  std::string why;
  EXPECT_FALSE(SharedAviReaders::Open(dir + "/missing.avi", &result, &why));
  EXPECT_EQ(result, AVIERR_FILEOPEN);
  EXPECT_NE(why.find("missing.avi"), std::string::npos) << why;
  EXPECT_EQ(SharedAviReaders::Kept(), 1u);

  // A budget smaller than one index keeps nothing: every open reads anew.
  SharedAviReaders::Enable(0);
  SharedAviReaders::Enable(1024);
  first = SharedAviReaders::Open(clip);
  second = SharedAviReaders::Open(clip);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
  EXPECT_EQ(SharedAviReaders::Kept(), 0u);
}
