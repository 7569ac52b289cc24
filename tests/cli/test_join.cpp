// splicora-cli join, run as the user runs it: real clips from the ffmpeg CLI,
// the exit status, the path on stdout, the texts on stderr, ffprobe on the result.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "avi/AviReader.h"
#include "tests/support/Fixtures.h"
#include "tests/support/ReadDenied.h"

using namespace testsupport;

namespace {

std::string Clip(const std::string& name, double seconds, const std::string& size = "160x120") {
  std::ostringstream a;
  a << "-f lavfi -i testsrc=size=" << size << ":rate=25:duration=" << seconds
    << " -f lavfi -i sine=frequency=440:duration=" << seconds << " -c:v mpeg4 -c:a libmp3lame -b:a 128k";
  return CachedClip(name, a.str());
}

int Frames(const std::string& path) {
  return std::atoi(Ffprobe(path, "-count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0").c_str());
}

}  // namespace

TEST(CliJoin, JoinsAndPrintsThePath) {
  std::string a = Clip("cli-a.avi", 2), b = Clip("cli-b.avi", 1.2);
  std::string dir = TempDir("cli-join");
  CliResult r = RunCli("join -o " + Quote(dir + "/movie") + " " + Quote(a) + " " + Quote(b) + " " + Quote(a));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir + "/movie.avi\n");
  EXPECT_NE(r.err.find("Finished Successfully!"), std::string::npos);
  EXPECT_EQ(Frames(dir + "/movie.avi"), 2 * Frames(a) + Frames(b));
  // The name is taken now: the next join writes movie[1].avi.
  r = RunCli("join -o " + Quote(dir + "/movie.avi") + " " + Quote(b));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir + "/movie[1].avi\n");
  EXPECT_EQ(Frames(dir + "/movie[1].avi"), Frames(b));
}

TEST(CliJoin, BadArgumentsExitTwo) {
  EXPECT_EQ(RunCli("join").status, 2);
  EXPECT_EQ(RunCli("join -o").status, 2);
  EXPECT_EQ(RunCli("join -o out.avi").status, 2);
  EXPECT_EQ(RunCli("join --frobnicate -o out.avi a.avi").status, 2);
  EXPECT_EQ(RunCli("join --recompress nope -o out.avi a.avi").status, 2);
  EXPECT_EQ(RunCli("join --mp3 -o out.avi a.avi").status, 2);
}

// --recompress converts with the compressor named as `codecs` lists it: every
// chunk of the sources a frame of the output, the audio encoded to MP3.
TEST(CliJoin, RecompressConverts) {
  std::string a = Clip("cli-a.avi", 2), b = Clip("cli-b.avi", 1.2);
  std::string dir = TempDir("cli-convert");
  CliResult r = RunCli("join --recompress ffv1 --mp3 -o " + Quote(dir + "/conv") + " " + Quote(a) + " " + Quote(b));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir + "/conv.avi\n");
  EXPECT_NE(r.err.find("Finished Successfully!"), std::string::npos);
  EXPECT_EQ(Ffprobe(dir + "/conv.avi", "-show_entries stream=codec_name -of csv=p=0"), "ffv1\nmp3\n");
  auto chunks = [](const std::string& path) {
    return std::atoi(Ffprobe(path, "-select_streams v:0 -show_entries stream=nb_frames -of csv=p=0").c_str());
  };
  EXPECT_EQ(Frames(dir + "/conv.avi"), chunks(a) + chunks(b));
}

// Each file is checked as adding it to the list would be. One refused file
// refuses the whole join: exit 1, nothing written, every refused file named
// with its reason. --skip-refused joins the rest and lists what it left out.
TEST(CliJoin, RefusedFilesRefuseTheJoinUnlessSkipped) {
  std::string a = Clip("cli-a.avi", 2);
  std::string big = Clip("cli-big.avi", 1, "320x240");
  std::string dir = TempDir("cli-check");
  WriteFile(dir + "/text.avi", std::vector<uint8_t>(100, 'x'));
  WriteFile(dir + "/locked.avi", ReadFile(a));
  chmod((dir + "/locked.avi").c_str(), 0);
  const std::string files = Quote(a) + " " + Quote(big) + " " + Quote(dir + "/missing.avi") + " " +
                            Quote(dir + "/text.avi") + " " + Quote(dir + "/locked.avi") + " " + Quote(a);
  const struct {
    std::string file, reason;
  } refusals[] = {
      {big, "Dimensions of 1st file 160 x 120, new file 320 x 240"},
      {dir + "/missing.avi", "The file does not exist."},
      {dir + "/text.avi", "This is not an AVI file."},
      {dir + "/locked.avi", "You have no permission to read this file."},
  };
  // As root the unreadable file is unreadable only without the capabilities that override permissions.
  CliResult r = RunCli("join -o " + Quote(dir + "/out.avi") + " " + files, WithoutReadOverride());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.avi"));
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(r.err.find("Joined"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Refused, nothing joined:"), std::string::npos) << r.err;
  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.file);
    const size_t named = r.err.find("\n  " + refusal.file + "\n");
    ASSERT_NE(named, std::string::npos) << r.err;
    EXPECT_NE(r.err.find(refusal.reason, named), std::string::npos) << r.err;
  }

  r = RunCli("join --skip-refused -o " + Quote(dir + "/out.avi") + " " + files, WithoutReadOverride());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir + "/out.avi\n");
  EXPECT_NE(r.err.find("Left out of the join:"), std::string::npos) << r.err;
  for (const auto& refusal : refusals) EXPECT_NE(r.err.find("  " + refusal.file + "\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Joined 2 clips"), std::string::npos) << r.err;
  EXPECT_EQ(Frames(dir + "/out.avi"), 2 * Frames(a));
  // Nothing usable: failed.
  r = RunCli("join --skip-refused -o " + Quote(dir + "/none.avi") + " " + Quote(dir + "/missing.avi"));
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir + "/none.avi"));
}

// The first frames are decoded while the join copies. A clip whose frame does
// not decode throws that join away: the refusal and the warnings are said
// once, as when the clips are checked one by one, and no output is left; with
// --skip-refused the others are joined. --version loads no FFmpeg library, a
// join of MPEG-4 clips libavcodec but not libavformat.
TEST(CliJoin, FirstFramesDecodedAlongsideTheJoin) {
  const std::string a = Clip("cli-a.avi", 2);
  const std::string low = CachedClip("cli-22k.avi",
                                     "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 -f lavfi -i "
                                     "sine=frequency=440:duration=1 -c:v mpeg4 -c:a libmp3lame -ar 22050 -b:a 64k");
  const std::string dir = TempDir("cli-later");
  // Every picture garbage, and a format block of its own so that it is decoded.
  std::vector<uint8_t> bytes = ReadFile(a);
  media::AviReader reader;
  ASSERT_EQ(reader.Open(a), media::AVIERR_OK);
  for (const media::AviChunk& chunk : reader.Stream(static_cast<size_t>(reader.NthStream(media::streamtypeVIDEO))).chunks)
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(chunk.offset), chunk.size, uint8_t{0x5A});
  const std::string strf = "strf";
  auto at = std::search(bytes.begin(), bytes.end(), strf.begin(), strf.end());
  ASSERT_NE(at, bytes.end());
  at[8 + 24] ^= 1;  // biXPelsPerMeter
  const std::string garbled = dir + "/garbled.avi";
  WriteFile(garbled, bytes);
  const std::string files = Quote(a) + " " + Quote(low) + " " + Quote(garbled);
  const auto count = [](const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };

  CliResult r = RunCli("join -o " + Quote(dir + "/out.avi") + " " + files);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(count(r.err, "\n  " + garbled + "\n"), 1) << r.err;
  EXPECT_EQ(count(r.err, "The pictures of this file cannot be decoded"), 1) << r.err;
  EXPECT_EQ(count(r.err, "Files format is not equal"), 1) << r.err;
  EXPECT_EQ(r.err.find("Joined"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.avi"));
  // The clips come first: a missing output folder is not what is reported.
  r = RunCli("join -o " + Quote(dir + "/no/such/out.avi") + " " + files);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("cannot be decoded"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("does not exist"), std::string::npos) << r.err;

  r = RunCli("join --skip-refused -o " + Quote(dir + "/out.avi") + " " + files);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir + "/out.avi\n");
  EXPECT_EQ(count(r.err, "Files format is not equal"), 1) << r.err;
  EXPECT_EQ(Frames(dir + "/out.avi"), Frames(a) + Frames(low));
  EXPECT_FALSE(std::filesystem::exists(dir + "/out[1].avi"));

  // The loader's own account of the libraries it started.
  const auto started = [](const std::string& log, const std::string& library) {
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
      if (line.find("calling init:") != std::string::npos && line.find("/" + library) != std::string::npos) return true;
    return false;
  };
  CliResult version = RunCli("--version", "LD_DEBUG=files");
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(started(version.err, "libQt6Core.so"));
  EXPECT_FALSE(started(version.err, "libavutil.so"));
  CliResult join = RunCli("join -o " + Quote(dir + "/two.avi") + " " + Quote(a) + " " + Quote(a), "LD_DEBUG=files");
  ASSERT_EQ(join.status, 0) << join.err;
  EXPECT_TRUE(started(join.err, "libavcodec.so"));
  EXPECT_FALSE(started(join.err, "libavformat.so"));
  EXPECT_EQ(Frames(dir + "/two.avi"), 2 * Frames(a));
}

// The command line has no list to fill: any number of clips is joined (the
// window's list keeps its row limit). Clips stored as the first one is are
// not decoded again; a clip whose video format block differs is, and is
// refused when its pictures cannot be decoded.
TEST(CliJoin, AnyNumberOfClips) {
  const std::string a = Clip("cli-tiny.avi", 0.2);
  const std::string dir = TempDir("cli-many");
  std::string files;
  for (int i = 0; i < 500; ++i) {
    const std::string copy = dir + "/clip" + std::to_string(i) + ".avi";
    std::filesystem::copy_file(a, copy);
    files += " " + Quote(copy);
  }
  CliResult r = RunCli("join -o " + Quote(dir + "/all.avi") + files);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Joined 500 clips"), std::string::npos) << r.err;
  EXPECT_EQ(Frames(dir + "/all.avi"), 500 * Frames(a));
  const auto audio = [](const std::string& path) {
    return std::atoi(Ffprobe(path, "-count_packets -select_streams a:0 -show_entries stream=nb_read_packets -of csv=p=0").c_str());
  };
  // Each clip's sound stays on its pictures: the audio ends with the video (MP3 frames of 1152 samples).
  const double seconds = std::atof(Ffprobe(dir + "/all.avi", "-select_streams v:0 -show_entries stream=duration -of csv=p=0").c_str());
  EXPECT_NEAR(seconds, 500 * std::atof(Ffprobe(a, "-select_streams v:0 -show_entries stream=duration -of csv=p=0").c_str()), 0.01);
  EXPECT_NEAR(audio(dir + "/all.avi") * 1152.0 / 44100, seconds, 1152.0 / 44100);

  // The same codec named in the stream header, another in the format block: decoded, and refused.
  std::vector<uint8_t> bytes = ReadFile(a);
  const std::string strf = "strf";
  auto at = std::search(bytes.begin(), bytes.end(), strf.begin(), strf.end());  // the video's comes first
  ASSERT_NE(at, bytes.end());
  std::copy_n("QZQZ", 4, at + 8 + 16);  // biCompression
  WriteFile(dir + "/other.avi", bytes);
  r = RunCli("join -o " + Quote(dir + "/mixed.avi") + " " + Quote(a) + " " + Quote(dir + "/other.avi") + " " + Quote(a));
  EXPECT_EQ(r.status, 1) << r.err;
  const size_t named = r.err.find("\n  " + dir + "/other.avi\n");
  ASSERT_NE(named, std::string::npos) << r.err;
  EXPECT_NE(r.err.find("No video codec installed for format", named), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/mixed.avi"));
}

// --help and -h print the usage on stdout and succeed, also after a command;
// --version prints the version; FFmpeg's own lines appear only with --verbose.
TEST(CliJoin, HelpVersionAndFfmpegLines) {
  for (const char* args : {"--help", "-h", "join --help", "join -o x.avi -h", "info --help"}) {
    SCOPED_TRACE(args);
    CliResult r = RunCli(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage:", 0), 0u) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
  }
  EXPECT_NE(RunCli("join --help").out.find("--skip-refused"), std::string::npos);
  CliResult version = RunCli("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("splicora-cli ", 0), 0u) << version.out;
  EXPECT_EQ(RunCli("").status, 2);

  // A clip whose first video frame is damaged: FFmpeg's decoder complains.
  std::vector<uint8_t> bytes = ReadFile(Clip("cli-a.avi", 2));
  const std::string movi = "movi", chunk = "00dc";
  auto at = std::search(std::search(bytes.begin(), bytes.end(), movi.begin(), movi.end()), bytes.end(), chunk.begin(), chunk.end());
  ASSERT_NE(at, bytes.end());
  for (int i = 40; i < 400; ++i) at[i] = static_cast<uint8_t>(i * 7919);
  std::string dir = TempDir("cli-ffmpeg-lines");
  WriteFile(dir + "/damaged.avi", bytes);
  CliResult quiet = RunCli("info " + Quote(dir + "/damaged.avi"));
  CliResult verbose = RunCli("--verbose info " + Quote(dir + "/damaged.avi"));
  EXPECT_EQ(quiet.err.find("[mpeg4 @"), std::string::npos) << quiet.err;
  EXPECT_NE(verbose.err.find("[mpeg4 @"), std::string::npos) << verbose.err;
  EXPECT_EQ(quiet.out, verbose.out);
}

// An output folder that is not there (or is a file) fails with that reason,
// not as a full disk, and writes nothing.
TEST(CliJoin, MissingOutputFolderIsNamedNotAFullDisk) {
  std::string a = Clip("cli-a.avi", 2);
  std::string dir = TempDir("cli-nofolder");
  for (const std::string& folder : {dir + "/nowhere", a}) {
    CliResult r = RunCli("join -o " + Quote(folder + "/out.avi") + " " + Quote(a));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("the folder " + folder + " does not exist"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("No enough disc space available!"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/nowhere"));
}

// A damaged video header that makes each frame last ~136 years: holding the
// audio in sync would mean writing terabytes of silence. The join is refused
// before anything is written, naming the file and the field, instead of
// filling the disk.
TEST(CliJoin, AbsurdVideoLengthIsRefusedBeforeWriting) {
  std::vector<uint8_t> bytes = ReadFile(Clip("cli-a.avi", 2));
  const std::string strh = "strh";
  auto at = std::search(bytes.begin(), bytes.end(), strh.begin(), strh.end());  // the video's comes first
  ASSERT_NE(at, bytes.end());
  ASSERT_EQ(std::string(at + 8, at + 12), "vids");
  size_t scale = static_cast<size_t>(at - bytes.begin()) + 8 + 20;  // dwScale in the stream header
  for (int i = 0; i < 4; ++i) bytes[scale + i] = 0xFF;
  std::string dir = TempDir("cli-absurd");
  WriteFile(dir + "/damaged.avi", bytes);
  CliResult r = RunCli("join -o " + Quote(dir + "/out.avi") + " " + Quote(dir + "/damaged.avi"));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find(dir + "/damaged.avi\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("dwScale is 4294967295"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.avi"));
}

// Ctrl-C while joining: the cancel text, exit 3, and a closed, readable file.
TEST(CliJoin, InterruptCancelsCleanly) {
  std::string a = Clip("cli-a.avi", 2);
  for (bool recompress : {false, true}) {
    SCOPED_TRACE(recompress ? "conversion" : "direct join");
    std::string dir = TempDir("cli-int");
    std::string out = dir + "/out.avi";
    std::vector<std::string> args = {CliPath(), "join"};
    if (recompress) args.insert(args.end(), {"--recompress", "divx", "--mp3"});
    args.insert(args.end(), {"-o", out, a, a, a, a});
    const pid_t pid = StartProcess(args, dir, {{"SPLICORA_TEST_CHUNK_DELAY_US", "20000"}});
    ASSERT_GE(pid, 0);
    // Wait until the output exists (the join runs), then interrupt.
    for (int i = 0; i < 200 && !std::filesystem::exists(out); ++i) usleep(20000);
    usleep(400000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    std::ifstream err(dir + "/err");
    std::string text((std::istreambuf_iterator<char>(err)), {});
    EXPECT_NE(text.find("Merge video files was canceled!"), std::string::npos) << text;
    EXPECT_TRUE(ReadFile(dir + "/stdout").empty());
    int frames = Frames(out);
    EXPECT_GT(frames, 0);
    EXPECT_LT(frames, 4 * Frames(a));
    EXPECT_EQ(testsupport::Run("ffprobe -v error -show_streams " + Quote(out) + " >/dev/null 2>&1"), 0);
  }
}
