// Every opener of a clip or an output on paths that are no regular files: a
// FIFO without a writer (which a plain open() waits on for good), a folder,
// and a link to a character device. Each reader refuses at once, naming the
// file, and so does the writer for a FIFO or a folder; a watchdog alarm fails
// the test instead of letting a blocked open hang it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "avi/AviReader.h"
#include "avi/AviWriter.h"
#include "media/MediaDetector.h"
#include "media/RegularFile.h"
#include "media/VideoDecoder.h"
#include "tests/support/Fixtures.h"

extern "C" {
#include <libavformat/avformat.h>
}

using namespace media;
using namespace testsupport;

namespace {

// Ends the test program when an open blocks (SIGALRM's default action).
class Watchdog {
 public:
  Watchdog() { alarm(60); }
  ~Watchdog() { alarm(0); }
};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(RegularFile, SpecialFilesAreRefusedWithoutWaitingByEveryOpener) {
  Watchdog watchdog;
  const std::string dir = TempDir("regular-file");
  const std::string pipe = dir + "/pipe.avi", folder = dir + "/folder.avi", zero = dir + "/zero.avi";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  const std::string good = CachedClip("regular-good.avi", "-f lavfi -i testsrc=s=64x48:r=25:d=1 -c:v mpeg4");
  ASSERT_FALSE(good.empty());

  for (const auto& [path, kind, text] :
       {std::tuple{pipe, PathKind::NotRegular, pipe + " is not a regular file"},
        std::tuple{zero, PathKind::NotRegular, zero + " is not a regular file"},
        std::tuple{folder, PathKind::Folder, folder + " is a folder"}}) {
    SCOPED_TRACE(path);
    const OpenedFile opened = OpenRegularFile(path, O_RDONLY);
    EXPECT_EQ(opened.kind, kind);
    EXPECT_EQ(opened.fd, -1);
    EXPECT_EQ(PathKindText(opened, path), text);

    AviReader reader;
    EXPECT_EQ(reader.Open(path), AVIERR_FILEOPEN);
    EXPECT_EQ(reader.LastError(), text);

    MediaDetector detector;
    EXPECT_FALSE(detector.Open(path));
    EXPECT_EQ(detector.LastError(), text);

    VideoDecoder decoder;
    std::string error;
    EXPECT_FALSE(decoder.Open(path, 0, 1, error));
    EXPECT_EQ(error, text);

    AVFormatContext* context = avformat_alloc_context();
    std::string refusal;
    EXPECT_LT(OpenFormatInput(&context, path, refusal), 0);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(refusal, text);
  }

  // An output is never a FIFO (no waiting for a reader) nor a folder; a
  // character device takes the writes (a full disk is tried on /dev/full)
  // and stays what it is.
  for (const std::string& path : {pipe, folder}) {
    SCOPED_TRACE(path);
    AviWriter writer;
    EXPECT_EQ(writer.Create(path), AVIERR_FILEOPEN);
    EXPECT_TRUE(Has(writer.LastError(), path)) << writer.LastError();
  }
  {
    AviWriter writer;
    EXPECT_EQ(writer.Create(pipe), AVIERR_FILEOPEN);
    EXPECT_TRUE(Has(writer.LastError(), "it is not a regular file")) << writer.LastError();
    AviWriter device;
    EXPECT_EQ(device.Create(zero), AVIERR_OK) << device.LastError();
  }
  EXPECT_TRUE(std::filesystem::is_fifo(pipe));
  EXPECT_TRUE(std::filesystem::is_character_file(zero));

  // A regular file goes through all of them as before.
  AviReader reader;
  EXPECT_EQ(reader.Open(good), AVIERR_OK) << reader.LastError();
  MediaDetector detector;
  EXPECT_TRUE(detector.Open(good)) << detector.LastError();
  EXPECT_EQ(detector.FirstVideoStream(), 0);
  VideoDecoder decoder;
  std::string error;
  EXPECT_TRUE(decoder.Open(good, 0, 1, error)) << error;
  AviWriter writer;
  const std::string written = dir + "/written.avi";
  WriteFile(written, std::vector<uint8_t>(5000, 0xAB));  // emptied first, as a new output is
  ASSERT_EQ(writer.Create(written), AVIERR_OK) << writer.LastError();
  EXPECT_LT(std::filesystem::file_size(written), 5000u);
}
