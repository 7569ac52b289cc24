// splicora-cli join --fit: clips whose video differs from the first clip's are
// re-encoded into its format, the others copied. Real clips from the ffmpeg
// CLI for each family the first clip may be in; the output checked by ffmpeg
// and ffprobe (packets, decoding, PSNR, audio) and by GStreamer's decodebin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "tests/support/Fixtures.h"

using namespace testsupport;

namespace {

// A test picture with a tone (or silence) as mono 16-bit PCM at 44.1 kHz.
std::string Clip(const std::string& name, const std::string& size, int rate, double seconds,
                 const std::string& video, bool silent = false) {
  std::ostringstream a;
  a << "-f lavfi -i testsrc=size=" << size << ":rate=" << rate << ":duration=" << seconds << " -f lavfi -i "
    << (silent ? "anullsrc=r=44100:cl=mono" : "sine=frequency=440:sample_rate=44100") << " -t " << seconds
    << " " << video << " -c:a pcm_s16le -ac 1";
  return CachedClip(name, a.str());
}

// Every error line ffmpeg prints decoding the whole file (both streams).
std::string FfmpegDecodeErrors(const std::string& path) {
  std::string text;
  Run("ffmpeg -nostdin -v error -i " + Quote(path) + " -f null - 2>&1", &text);
  return text;
}

// GStreamer's avidemux and decodebin on both streams (decodebin alone
// decodes whichever stream it links first); "" when it decoded without a word.
std::string GstreamerDecodeErrors(const std::string& path) {
  std::string text;
  const int status = Run("timeout 120 gst-launch-1.0 -q filesrc location=" + Quote(path) +
                             " ! avidemux name=m m.video_0 ! queue ! decodebin ! fakesink m.audio_0 ! queue ! "
                             "decodebin ! fakesink 2>&1",
                         &text);
  return status == 0 ? text : "exit " + std::to_string(status) + ": " + text;
}

// PSNR of output frames [first, first + count) against the source fitted the
// same way by ffmpeg's own filters (size w x h, aspect kept, rate 25).
double SegmentPsnr(const std::string& output, int first, int count, const std::string& source, int w, int h) {
  std::ostringstream f;
  f << "[0:v]trim=start_frame=" << first << ":end_frame=" << first + count << ",setpts=PTS-STARTPTS[a];"
    << "[1:v]fps=25,scale=" << w << ":" << h << ":force_original_aspect_ratio=decrease:flags=bicubic,pad=" << w
    << ":" << h << ":(ow-iw)/2:(oh-ih)/2,format=yuv420p,setpts=PTS-STARTPTS,trim=end_frame=" << count << "[b];"
    << "[a]format=yuv420p[c];[c][b]psnr";
  std::string text;
  Run("ffmpeg -nostdin -i " + Quote(output) + " -i " + Quote(source) + " -filter_complex " + Quote(f.str()) +
          " -f null - 2>&1 | grep -o 'average:[0-9.inf]*'",
      &text);
  if (text.find("inf") != std::string::npos) return 100;
  return text.size() > 8 ? std::atof(text.c_str() + 8) : 0;
}

// The md5 of every decoded video picture, in order.
std::vector<std::string> DecodedPictures(const std::string& path) {
  std::string text;
  Run("ffmpeg -nostdin -v error -i " + Quote(path) + " -map 0:v:0 -f framemd5 - 2>/dev/null", &text);
  std::vector<std::string> hashes;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] != '#') hashes.push_back(line.substr(line.rfind(',') + 1));
  return hashes;
}

// The longest run of exact zero samples: [start, end) in samples.
std::pair<size_t, size_t> LongestSilence(const std::vector<int16_t>& pcm) {
  std::pair<size_t, size_t> best{0, 0};
  for (size_t i = 0; i < pcm.size();) {
    if (pcm[i] != 0) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < pcm.size() && pcm[j] == 0) ++j;
    if (j - i > best.second - best.first) best = {i, j};
    i = j;
  }
  return best;
}

struct Case {
  const char* name;
  std::string referenceVideo;  // ffmpeg options of the first clip's video (320 x 240 at 25 fps)
  std::string referenceTag;    // its FOURCC in the output
  std::string oddSize;
  int oddRate;
  std::string oddVideo;
  std::string reason;  // what the report says of the odd clip
  bool samePicture;    // the odd clip's aspect is the reference's: PSNR against it
};

class FitJoin : public ::testing::TestWithParam<Case> {};

// A, odd, A: A's packets copied byte for byte, the odd clip re-encoded into
// A's format and rate, the whole read without an error by both decoders.
TEST_P(FitJoin, CopiesMatchingClipsAndReencodesTheOddOne) {
  const Case& c = GetParam();
  const std::string a = Clip(std::string("fit-ref-") + c.name + ".avi", "320x240", 25, 2, c.referenceVideo);
  const double oddSeconds = 1.2;
  const std::string odd =
      Clip(std::string("fit-odd-") + c.name + ".avi", c.oddSize, c.oddRate, oddSeconds, c.oddVideo, true);
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(odd.empty());
  const std::string dir = TempDir(std::string("cli-fit-") + c.name);
  const std::string out = dir + "/joined.avi";

  // Without --fit the odd clip is refused, as before.
  CliResult r = RunCli("join -o " + Quote(dir + "/refused.avi") + " " + Quote(a) + " " + Quote(odd) + " " + Quote(a));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/refused.avi"));

  r = RunCli("join --fit -o " + Quote(out) + " " + Quote(a) + " " + Quote(odd) + " " + Quote(a));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(odd + " is re-encoded to match the first clip: " + c.reason), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(a + " is re-encoded"), std::string::npos) << r.err;

  EXPECT_EQ(ProbeFields(out, "-select_streams v:0 -show_entries stream=codec_tag_string,width,height,r_frame_rate")
                ["codec_tag_string"],
            c.referenceTag);

  // Copied clips: every packet of both streams as in the source.
  auto source = FrameCrcs(a);
  auto joined = FrameCrcs(out);
  const size_t na = source[0].size();
  const auto& video = joined[0];
  const size_t oddFrames = video.size() - 2 * na;
  ASSERT_GT(video.size(), 2 * na);
  EXPECT_TRUE(std::equal(source[0].begin(), source[0].end(), video.begin()));
  EXPECT_TRUE(std::equal(source[0].begin(), source[0].end(), video.end() - static_cast<ptrdiff_t>(na)));
  ASSERT_FALSE(source[1].empty());
  EXPECT_TRUE(std::equal(source[1].begin(), source[1].end(), joined[1].begin()));

  // The odd clip's length on the first clip's grid, within a frame; it starts on a key frame.
  const std::vector<ProbePacket> packets = ProbePackets(out, "v:0");
  EXPECT_NEAR(static_cast<double>(oddFrames), oddSeconds * 25, 1.0);
  ASSERT_GT(packets.size(), na);
  EXPECT_TRUE(packets[na].key);

  EXPECT_EQ(FfmpegDecodeErrors(out), "");
  EXPECT_EQ(GstreamerDecodeErrors(out), "");
  // The clip copied after the fitted one decodes to its own pictures: its headers took over again.
  const std::vector<std::string> own = DecodedPictures(a), decoded = DecodedPictures(out);
  ASSERT_EQ(decoded.size(), video.size());
  EXPECT_TRUE(std::equal(own.begin(), own.end(), decoded.end() - static_cast<ptrdiff_t>(own.size())));

  if (c.samePicture) {
    EXPECT_GE(SegmentPsnr(out, static_cast<int>(na), static_cast<int>(oddFrames), odd, 320, 240), 30.0);
  }

  // The odd clip is the silence between two tones: it lies where its video lies, within an audio packet.
  const std::vector<int16_t> pcm = DecodedPcm(out);
  const auto [start, end] = LongestSilence(pcm);
  int64_t largest = 0;
  for (const ProbePacket& p : ProbePackets(out, "a:0")) largest = std::max(largest, p.size);
  const double packetSeconds = static_cast<double>(largest) / 2 / 44100;
  EXPECT_NEAR(start / 44100.0, na / 25.0, packetSeconds);
  EXPECT_NEAR(end / 44100.0, (na + oddFrames) / 25.0, packetSeconds);
  EXPECT_NEAR(pcm.size() / 44100.0, video.size() / 25.0, packetSeconds);
}

INSTANTIATE_TEST_SUITE_P(
    Families, FitJoin,
    ::testing::Values(
        Case{"mpeg4", "-c:v mpeg4 -vtag XVID -q:v 3", "XVID", "160x120", 50, "-c:v mjpeg -q:v 3",
             "MJPG → XVID, 160x120 → 320x240, 50 → 25 fps", true},
        Case{"xvid", "-c:v libxvid -q:v 3", "xvid", "160x120", 50, "-c:v mjpeg -q:v 3",
             "MJPG → XVID, 160x120 → 320x240, 50 → 25 fps", true},
        Case{"mpeg4aspect", "-c:v mpeg4 -vtag DX50 -q:v 3", "DX50", "320x180", 30,
             "-c:v libx264 -preset ultrafast -pix_fmt yuv420p", "H264 → DX50, 320x180 → 320x240, 30 → 25 fps",
             false},
        Case{"mjpeg", "-c:v mjpeg -q:v 3", "MJPG", "640x480", 50, "-c:v mpeg4 -vtag DIVX -q:v 3",
             "DIVX → MJPG, 640x480 → 320x240, 50 → 25 fps", true},
        Case{"h264", "-c:v libx264 -preset veryfast -profile:v main -pix_fmt yuv420p", "H264", "160x120", 50,
             "-c:v mpeg4 -vtag XVID -q:v 3", "XVID → H264, 160x120 → 320x240, 50 → 25 fps", true}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A first clip in a format no encoder here writes: the join is refused,
// naming the format and pointing at Recompress; nothing is written.
TEST(FitJoinRefusal, UnwritableReferenceFormat) {
  const std::string a = Clip("fit-ref-div3.avi", "320x240", 25, 1, "-c:v msmpeg4 -vtag DIV3 -q:v 3");
  const std::string odd = Clip("fit-odd-div3.avi", "160x120", 25, 1, "-c:v mjpeg -q:v 3", true);
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(odd.empty());
  const std::string dir = TempDir("cli-fit-refused");
  CliResult r = RunCli("join --fit -o " + Quote(dir + "/joined.avi") + " " + Quote(a) + " " + Quote(odd));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the first clip's video is DIV3"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Recompress"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/joined.avi"));
  // --fit and --recompress exclude each other.
  EXPECT_EQ(RunCli("join --fit --recompress divx -o " + Quote(dir + "/x.avi") + " " + Quote(a)).status, 2);
}

}  // namespace

// A first clip whose MPEG-4 headers lie only in its file header (a global
// VOL): copied after a fitted segment, it would be read with the segment's
// headers, so it is re-encoded too and says why; the output decodes cleanly.
TEST(FitJoinHeaders, ClipWithoutInBandHeadersAfterAFittedOneIsFitted) {
  const std::string a = Clip("fit-ref-global.avi", "320x240", 25, 1, "-c:v mpeg4 -vtag XVID -q:v 3 -flags +global_header");
  const std::string odd = Clip("fit-odd-global.avi", "160x120", 25, 1, "-c:v mjpeg -q:v 3", true);
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(odd.empty());
  const std::string dir = TempDir("cli-fit-global");
  const std::string out = dir + "/joined.avi";
  CliResult r = RunCli("join --fit -o " + Quote(out) + " " + Quote(a) + " " + Quote(odd) + " " + Quote(a));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(a + " is re-encoded to match the first clip: its stream headers lie only in its file header"),
            std::string::npos)
      << r.err;
  auto source = FrameCrcs(a);
  auto joined = FrameCrcs(out);
  ASSERT_EQ(joined[0].size(), 3 * source[0].size());
  EXPECT_TRUE(std::equal(source[0].begin(), source[0].end(), joined[0].begin()));  // the first one copied
  EXPECT_EQ(FfmpegDecodeErrors(out), "");
  EXPECT_EQ(GstreamerDecodeErrors(out), "");
}

// Clips from other writers: a GStreamer avimux MJPEG + CBR MP3 first clip, an
// ffmpeg MPEG-4 + MP3 clip at another size and rate between two copies of it.
TEST(FitJoinWriters, GstreamerMjpegReferenceWithMp3) {
  const std::string a = CachedCommandClip("fit-gst-mjpeg.avi", GstMjpegMp3Command(50, 87));
  if (a.empty()) GTEST_SKIP() << "GStreamer could not make the clip";
  const std::string odd = CachedClip("fit-odd-mp3.avi",
                                     "-f lavfi -i testsrc=size=320x240:rate=30:duration=1.5 -f lavfi -i "
                                     "sine=frequency=660:sample_rate=44100:duration=1.5 -c:v mpeg4 -q:v 3 "
                                     "-c:a libmp3lame -b:a 128k -ac 2");
  ASSERT_FALSE(odd.empty());
  const std::string dir = TempDir("cli-fit-gst");
  const std::string out = dir + "/joined.avi";
  CliResult r = RunCli("join --fit -o " + Quote(out) + " " + Quote(a) + " " + Quote(odd) + " " + Quote(a));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(odd + " is re-encoded to match the first clip: FMP4 → MJPG, 320x240 → 160x120, 30 → 25 fps"),
            std::string::npos)
      << r.err;
  auto source = FrameCrcs(a);
  auto joined = FrameCrcs(out);
  const size_t na = source[0].size();
  ASSERT_GT(joined[0].size(), 2 * na);
  EXPECT_NEAR(static_cast<double>(joined[0].size() - 2 * na), 1.5 * 25, 1.0);
  EXPECT_TRUE(std::equal(source[0].begin(), source[0].end(), joined[0].begin()));
  EXPECT_TRUE(std::equal(source[0].begin(), source[0].end(), joined[0].end() - static_cast<ptrdiff_t>(na)));
  EXPECT_EQ(FfmpegDecodeErrors(out), "");
  EXPECT_EQ(GstreamerDecodeErrors(out), "");
  // Every fitted picture a JPEG of its own: every video packet a key frame.
  for (const ProbePacket& p : ProbePackets(out, "v:0")) ASSERT_TRUE(p.key);
}

// An MEncoder first clip (its own MPEG-4 encoder, FMP4, CBR MP3 audio) with an
// ffmpeg MJPEG clip of another size and rate between two copies of it.
TEST(FitJoinWriters, MencoderMpeg4ReferenceWithMp3) {
  if (!HaveCommand("mencoder")) GTEST_SKIP() << "mencoder not installed";
  const std::string source = Clip("fit-mencoder-src.avi", "320x240", 25, 2, "-c:v mpeg4 -q:v 2");
  ASSERT_FALSE(source.empty());
  const std::string a = CachedCommandClip("fit-mencoder.avi", "mencoder -really-quiet " + Quote(source) +
                                                                  " -ovc lavc -lavcopts vcodec=mpeg4:vbitrate=800 "
                                                                  "-oac mp3lame -lameopts cbr:br=128 -o {out}");
  ASSERT_FALSE(a.empty());
  const std::string odd = Clip("fit-odd-mencoder.avi", "160x120", 30, 1, "-c:v mjpeg -q:v 3");
  ASSERT_FALSE(odd.empty());
  const std::string out = TempDir("cli-fit-mencoder") + "/joined.avi";
  CliResult r = RunCli("join --fit -o " + Quote(out) + " " + Quote(a) + " " + Quote(odd) + " " + Quote(a));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(odd + " is re-encoded to match the first clip: MJPG → FMP4, 160x120 → 320x240, 30 → 25 fps"),
            std::string::npos)
      << r.err;
  auto clip = FrameCrcs(a);
  auto joined = FrameCrcs(out);
  const size_t na = clip[0].size();
  ASSERT_GT(joined[0].size(), 2 * na);
  EXPECT_NEAR(static_cast<double>(joined[0].size() - 2 * na), 25, 1.0);
  EXPECT_TRUE(std::equal(clip[0].begin(), clip[0].end(), joined[0].begin()));
  EXPECT_TRUE(std::equal(clip[0].begin(), clip[0].end(), joined[0].end() - static_cast<ptrdiff_t>(na)));
  EXPECT_EQ(FfmpegDecodeErrors(out), "");
  EXPECT_EQ(GstreamerDecodeErrors(out), "");
}
