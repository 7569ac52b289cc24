// splicora-cli on paths that are no clip files and on damaged clips, run as
// the user runs it under a watchdog (`timeout`), so that a FIFO that blocks
// fails the test instead of hanging it: a FIFO, a folder and a link to a
// character device named like AVI files are refused at once by `info` and
// `join` with a message naming the file; a clip cut short joins with a
// warning; a direct join that fails says that joining failed, and why. The
// outputs are counted by ffprobe.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>

#include "tests/support/DamagedCopy.h"
#include "tests/support/Fixtures.h"

using namespace testsupport;

namespace {

// Runs the command line under a generous watchdog; stdout and stderr together.
int RunCli(const std::string& arguments, std::string& output) {
  return Run("timeout -s KILL 60 " + Quote(CliPath()) + " " + arguments + " 2>&1; echo \"status=$?\"", &output) ==
                 0
             ? std::atoi(output.substr(output.rfind("status=") + 7).c_str())
             : -1;
}

int Frames(const std::string& path) {
  return std::atoi(Ffprobe(path,
                           "-count_packets -select_streams v:0 -show_entries stream=nb_read_packets "
                           "-of csv=p=0")
                       .c_str());
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct SpecialFiles {
  std::string pipe, folder, zero;
};

SpecialFiles MakeSpecialFiles(const std::string& dir) {
  SpecialFiles files{dir + "/pipe.avi", dir + "/folder.avi", dir + "/zero.avi"};
  EXPECT_EQ(mkfifo(files.pipe.c_str(), 0644), 0);
  EXPECT_EQ(mkdir(files.folder.c_str(), 0755), 0);
  EXPECT_EQ(symlink("/dev/zero", files.zero.c_str()), 0);
  return files;
}

std::string Clip() {
  return CachedClip("special-good.avi",
                    "-f lavfi -i testsrc=s=160x120:r=25:d=1 -f lavfi -i sine=d=1 -c:v mpeg4 -c:a pcm_s16le");
}

}  // namespace

TEST(CliSpecialFiles, FifoFolderAndDeviceAreRefusedAtOnceByInfoAndJoin) {
  const std::string dir = TempDir("cli-special");
  const SpecialFiles special = MakeSpecialFiles(dir);
  const std::string good = Clip();
  ASSERT_FALSE(good.empty());
  const std::string notRegular =
      "This is not a regular file (a pipe, a device or a socket), so it cannot be a clip.";
  const std::string folder = "This is a folder, not a file.";

  for (const auto& [path, reason] : {std::pair{special.pipe, notRegular}, std::pair{special.zero, notRegular},
                                     std::pair{special.folder, folder}}) {
    SCOPED_TRACE(path);
    std::string out;
    EXPECT_EQ(RunCli("info " + Quote(path), out), 1) << out;
    EXPECT_TRUE(Has(out, "Unable to open file. \n" + reason + "\n" + path)) << out;
    EXPECT_EQ(RunCli("info --json " + Quote(path), out), 1) << out;
    EXPECT_TRUE(Has(out, "\"open\": false")) << out;
  }

  // A join with them is refused as a whole, each named with its reason;
  // nothing is written.
  std::string out;
  const std::string joined = dir + "/joined.avi";
  const std::string files =
      Quote(good) + " " + Quote(special.pipe) + " " + Quote(special.zero) + " " + Quote(special.folder);
  EXPECT_EQ(RunCli("join -o " + Quote(joined) + " " + files, out), 1) << out;
  for (const std::string& path : {special.pipe, special.zero, special.folder})
    EXPECT_TRUE(Has(out, path)) << out;
  EXPECT_TRUE(Has(out, notRegular)) << out;
  EXPECT_FALSE(std::filesystem::exists(joined));
  // Leaving them out joins the clip alone.
  EXPECT_EQ(RunCli("join --skip-refused -o " + Quote(joined) + " " + files, out), 0) << out;
  EXPECT_EQ(Frames(joined), Frames(good));
  // As the output a FIFO is never opened: the join writes beside it.
  EXPECT_EQ(RunCli("join -o " + Quote(special.pipe) + " " + Quote(good), out), 0) << out;
  EXPECT_EQ(Frames(dir + "/pipe[1].avi"), Frames(good));
}

TEST(CliSpecialFiles, DamagedClipsAndFailedJoinsAreToldTruthfully) {
  const std::string dir = TempDir("cli-damaged");
  const std::string good = Clip();
  ASSERT_FALSE(good.empty());
  std::string error;
  const std::string cut = CutInMoviCopy(good, dir + "/cut.avi", &error);
  const std::string streams = MainHeaderPatchedCopy(good, dir + "/streams.avi", kAvihStreams, 65536, &error);
  ASSERT_EQ(error, "");

  std::string out;
  EXPECT_EQ(RunCli("info " + Quote(streams), out), 1) << out;
  EXPECT_TRUE(Has(
      out,
      "The file's header is damaged: the stream count (dwStreams) holds an impossible value.\n" + streams))
      << out;
  EXPECT_FALSE(Has(out, "insufficient memory")) << out;

  // A clip cut among its chunks joins with what it holds, and says so.
  const int held = Frames(cut);
  EXPECT_EQ(RunCli("info " + Quote(cut), out), 0) << out;
  const std::string warning = "This file is damaged: it ends early and holds " + std::to_string(held) +
                              " of the " + std::to_string(Frames(good)) +
                              " frames its headers give. Only those can be joined:\n" + cut;
  EXPECT_TRUE(Has(out, warning)) << out;
  EXPECT_EQ(RunCli("join -o " + Quote(dir + "/with-cut.avi") + " " + Quote(good) + " " + Quote(cut), out), 0)
      << out;
  EXPECT_TRUE(Has(out, "Splicora: " + warning)) << out;  // a warning, not a refusal's caption
  EXPECT_EQ(Frames(dir + "/with-cut.avi"), Frames(good) + held);

  // A direct join that cannot create its output fails as a join, with the reason.
  const std::string tooLong = dir + "/" + std::string(300, 'n') + ".avi";
  EXPECT_EQ(RunCli("join -o " + Quote(tooLong) + " " + Quote(good), out), 1) << out;
  EXPECT_TRUE(Has(out, "Joining failed: ")) << out;
  EXPECT_TRUE(Has(out, "File name too long")) << out;
  EXPECT_FALSE(Has(out, "recompress")) << out;
}
