// Audio as real writers make it, joined and converted by splicora-cli: MP3
// without a bit rate in its header (ffmpeg's libmp3lame default), VBR MP3 from
// ffmpeg, GStreamer and MEncoder, CBR MP3 of several rates, AAC from ffmpeg
// and GStreamer (AudioSpecificConfig) and in ADTS, and damaged copies. The
// output is read back by ffmpeg/ffprobe: it decodes without an error line,
// the copied frames are the sources' own (ffmpeg's CRC of each frame), and
// each clip's audio starts where its video starts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/support/AviBuilder.h"
#include "tests/support/AviBytes.h"
#include "tests/support/Fixtures.h"

using namespace testsupport;

namespace {

constexpr double kFrame = 1152.0 / 44100;  // one MPEG-1 layer III frame
constexpr double kFps = 25;

std::string Join(const std::string& options, const std::string& out, const std::vector<std::string>& clips) {
  std::string args = "join " + options + " -o " + Quote(out);
  for (const auto& c : clips) args += " " + Quote(c);
  return args;
}

// MJPEG 160 x 120 at 25 fps (what GStreamer's jpegenc makes too), a sine of
// audioSeconds in stereo coded by audio.
std::string FfClip(const std::string& name, double seconds, double audioSeconds, const std::string& audio) {
  std::ostringstream a;
  a << "-f lavfi -i testsrc=size=160x120:rate=25:duration=" << seconds
    << " -f lavfi -i sine=frequency=440:sample_rate=44100:duration=" << audioSeconds << " -ac 2 -c:v mjpeg "
    << audio;
  return CachedClip(name, a.str());
}

std::string GstClip(const std::string& name, const std::string& encoder) {
  return CachedCommandClip(name,
                           "gst-launch-1.0 -q videotestsrc num-buffers=50 ! video/x-raw,width=160,height=120,"
                           "framerate=25/1 ! jpegenc ! avimux name=m ! filesink location={out} audiotestsrc "
                           "num-buffers=86 samplesperbuffer=1024 ! audio/x-raw,rate=44100,channels=2 ! " +
                               encoder + " ! m.");
}

std::string MencoderClip(const std::string& name, const std::string& lameopts) {
  const std::string source = FfClip("ja-men-src.avi", 2, 2, "-c:a pcm_s16le");
  return CachedCommandClip(name, "mencoder -really-quiet " + Quote(source) +
                                     " -ovc copy -oac mp3lame -lameopts " + lameopts + " -o {out}");
}

// ffmpeg's own frames of the first audio stream: (size, CRC) each; of a
// fixture (made once per build tree) read once.
std::vector<std::pair<int64_t, uint32_t>> AudioFrames(const std::string& path) {
  static std::map<std::string, std::vector<std::pair<int64_t, uint32_t>>> fixtures;
  if (path.find("/test-fixtures/") == std::string::npos) return FrameCrcs(path)[1];
  auto [it, added] = fixtures.emplace(path, std::vector<std::pair<int64_t, uint32_t>>{});
  if (added) it->second = FrameCrcs(path)[1];
  return it->second;
}

// Video chunks, empty ones included: each is a frame's time on the output.
// Asked often of the same fixtures: read once each.
int VideoChunks(const std::string& path) {
  static std::map<std::string, int> known;
  auto [it, added] = known.emplace(path, 0);
  if (added) it->second = std::atoi(Ffprobe(path, "-select_streams v:0 -show_entries stream=nb_frames -of csv=p=0").c_str());
  return it->second;
}

double VideoSeconds(const std::vector<std::string>& clips) {
  double seconds = 0;
  for (const auto& c : clips) seconds += VideoChunks(c) / kFps;
  return seconds;
}

// The first audio stream decoded whole by ffmpeg: its error lines, and its
// length at 44.1 kHz.
struct Decoded {
  std::string errors;
  double seconds = 0;
};
Decoded DecodeAudio(const std::string& path) {
  const std::string err = TempDir("ja-decode") + "/err";
  std::string bytes;
  Run("ffmpeg -nostdin -v error -i " + Quote(path) + " -map 0:a:0 -ac 1 -ar 44100 -f s16le - 2>" + Quote(err) +
          " | wc -c",
      &bytes);
  std::ifstream in(err);
  Decoded d;
  d.errors.assign(std::istreambuf_iterator<char>(in), {});
  d.seconds = std::atof(bytes.c_str()) / 2 / 44100;
  return d;
}

// The output decodes without an error line, as long as its video within tolerance.
void ExpectDecodes(const std::string& path, double videoSeconds, double tolerance) {
  const Decoded d = DecodeAudio(path);
  EXPECT_EQ(d.errors, "") << path;
  EXPECT_NEAR(d.seconds, videoSeconds, tolerance) << path;
}

// The output's audio 'strh' and 'strf' (the second stream's).
struct AudioHeader {
  uint32_t scale = 0, rate = 0, sampleSize = 0;
  uint16_t tag = 0, blockAlign = 0;
  uint32_t avgBytes = 0;
  std::vector<uint8_t> strf;
};
AudioHeader ReadAudioHeader(const std::string& path) {
  const Bytes file = ReadFile(path);
  AudioHeader h;
  const int64_t strh = FindChunk(file, "strh", 1), strf = FindChunk(file, "strf", 1);
  if (strh < 0 || strf < 0) return h;
  h.scale = GetLe32(file, strh + 8 + 20);
  h.rate = GetLe32(file, strh + 8 + 24);
  h.sampleSize = GetLe32(file, strh + 8 + 44);
  h.tag = static_cast<uint16_t>(GetLe32(file, strf + 8) & 0xFFFF);
  h.avgBytes = GetLe32(file, strf + 8 + 8);
  h.blockAlign = static_cast<uint16_t>(GetLe32(file, strf + 8 + 12) & 0xFFFF);
  h.strf.assign(file.begin() + strf + 8, file.begin() + strf + 8 + GetLe32(file, strf + 4));
  return h;
}

// Where each clip's frames lie in the output: the first of them found at or
// after the previous clip's, then how many follow one for one. The output's
// frames at the first one's place must start within a frame of the clip's video.
struct Placed {
  size_t at = 0, run = 0;
};
std::vector<Placed> PlaceFrames(const std::vector<std::pair<int64_t, uint32_t>>& out,
                                const std::vector<std::vector<std::pair<int64_t, uint32_t>>>& sources) {
  std::vector<Placed> placed;
  size_t from = 0;
  for (const auto& s : sources) {
    Placed p{out.size(), 0};
    for (size_t at = from; !s.empty() && at < out.size(); ++at)
      if (out[at] == s[0]) {
        p.at = at;
        while (at + p.run < out.size() && p.run < s.size() && out[at + p.run] == s[p.run]) ++p.run;
        break;
      }
    placed.push_back(p);
    if (!s.empty()) from = p.at + p.run;
  }
  return placed;
}

// Copied clips: each starts within a frame of its video and keeps its frames up
// to the end of its audio or of its place, whichever comes first.
void ExpectFramesCopied(const std::string& out, const std::vector<std::string>& clips, const std::vector<bool>& copied,
                        double frameSeconds = kFrame) {
  std::vector<std::vector<std::pair<int64_t, uint32_t>>> sources;
  for (size_t i = 0; i < clips.size(); ++i)
    sources.push_back(copied[i] ? AudioFrames(clips[i]) : std::vector<std::pair<int64_t, uint32_t>>{});
  const auto placed = PlaceFrames(AudioFrames(out), sources);
  double start = 0;
  for (size_t i = 0; i < clips.size(); ++i) {
    const double seconds = VideoChunks(clips[i]) / kFps;
    if (copied[i]) {
      SCOPED_TRACE(clips[i]);
      EXPECT_NEAR(static_cast<double>(placed[i].at) * frameSeconds, start, frameSeconds);
      const double kept = std::min(static_cast<double>(sources[i].size()), seconds / frameSeconds);
      EXPECT_GE(static_cast<double>(placed[i].run), kept - 1.5);
    }
    start += seconds;
  }
}

// A copy of clip whose audio chunks from nth on (all of them when every) hold
// garbage of their own length.
std::string DamagedCopy(const std::string& clip, const std::string& name, int nth, bool every = false) {
  Bytes file = ReadFile(clip);
  uint32_t seed = 12345;
  for (int k = nth;; ++k) {
    const int64_t at = FindChunk(file, "01wb", k);
    if (at < 0) break;
    const uint32_t size = GetLe32(file, static_cast<size_t>(at) + 4);
    if (size == 0) continue;
    for (uint32_t b = 0; b < size; ++b) file[static_cast<size_t>(at) + 8 + b] = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    if (!every) break;
  }
  const std::string path = TempDir("ja-damaged") + "/" + name;
  WriteFile(path, file);
  return path;
}

}  // namespace

// MP3 that ffmpeg writes without a bit rate (and with audio shorter than its
// video, so silence is needed), VBR MP3 from ffmpeg, GStreamer (in a byte-based
// header) and MEncoder, and CBR at another rate: the direct join copies every
// frame and writes the header that counts frames; CBR clips of one rate keep
// the first clip's header.
TEST(JoinAudio, DirectJoinCopiesMp3FramesWhateverTheirBitRate) {
  if (!HaveCommand("gst-launch-1.0") || !HaveCommand("mencoder")) GTEST_SKIP() << "gst-launch-1.0 or mencoder missing";
  const std::vector<std::string> clips = {
      FfClip("ja-ff-nobitrate.avi", 2, 1.4, "-c:a libmp3lame"),
      FfClip("ja-ff-vbr.avi", 1.6, 1.6, "-c:a libmp3lame -q:a 4"),
      GstClip("ja-gst-vbr.avi", "lamemp3enc target=quality quality=4"),
      MencoderClip("ja-men-vbr.avi", "vbr=2:q=4"),
      FfClip("ja-ff-192.avi", 1.2, 1.2, "-c:a libmp3lame -b:a 192k"),
  };
  for (const auto& c : clips) ASSERT_FALSE(c.empty());
  const std::string dir = TempDir("ja-direct");
  CliResult r = RunCli(Join("", dir + "/vbr.avi", clips));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("re-encoded"), std::string::npos) << r.err;
  const std::string out = dir + "/vbr.avi";
  const AudioHeader h = ReadAudioHeader(out);
  EXPECT_EQ(std::tuple(h.tag, h.blockAlign, h.scale, h.rate, h.sampleSize), std::tuple(0x55, 1152, 1152u, 44100u, 0u));
  ExpectDecodes(out, VideoSeconds(clips), kFrame);
  ExpectFramesCopied(out, clips, std::vector<bool>(clips.size(), true));

  // One bit rate throughout (ffmpeg's header without a bit rate, GStreamer's
  // and MEncoder's byte-based CBR): the first clip's header, every frame copied.
  const std::vector<std::string> cbr = {
      FfClip("ja-ff-nobitrate.avi", 2, 1.4, "-c:a libmp3lame"),
      GstClip("ja-gst-128.avi", "lamemp3enc target=bitrate bitrate=128 cbr=true"),
      MencoderClip("ja-men-128.avi", "cbr:br=128"),
  };
  r = RunCli(Join("", dir + "/cbr.avi", cbr));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("re-encoded"), std::string::npos) << r.err;
  ExpectDecodes(dir + "/cbr.avi", VideoSeconds(cbr), kFrame);
  EXPECT_EQ(ReadAudioHeader(dir + "/cbr.avi").strf, ReadAudioHeader(cbr[0]).strf);
  ExpectFramesCopied(dir + "/cbr.avi", cbr, {true, true, true});
}

// The conversion with MP3 follows the first MP3 clip: its CBR rate (192 kbit/s
// here) for everything, its like copied, PCM encoded at that rate; after a VBR
// first clip the header counts frames and other audio is encoded at 128 kbit/s.
TEST(JoinAudio, ConversionKeepsMp3AndFollowsTheFirstMp3Clip) {
  if (!HaveCommand("mencoder")) GTEST_SKIP() << "mencoder missing";
  const std::string pcm = FfClip("ja-pcm.avi", 1.2, 1.2, "-c:a pcm_s16le");
  const std::vector<std::string> cbr = {pcm, FfClip("ja-ff-192.avi", 1.2, 1.2, "-c:a libmp3lame -b:a 192k"),
                                        MencoderClip("ja-men-192.avi", "cbr:br=192")};
  for (const auto& c : cbr) ASSERT_FALSE(c.empty());
  const std::string dir = TempDir("ja-convert");
  CliResult r = RunCli(Join("--recompress ffv1 --mp3", dir + "/cbr.avi", cbr));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("audio of " + pcm + " re-encoded"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("audio of " + cbr[1] + " re-encoded"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("audio of " + cbr[2] + " re-encoded"), std::string::npos) << r.err;
  const std::string out = dir + "/cbr.avi";
  AudioHeader h = ReadAudioHeader(out);
  EXPECT_EQ(std::tuple(h.tag, h.blockAlign, h.scale, h.rate, h.sampleSize, h.avgBytes),
            std::tuple(0x55, 1, 1u, 24000u, 1u, 24000u));
  for (const auto& p : ProbePackets(out, "a:0")) EXPECT_TRUE(p.size == 626 || p.size == 627) << p.size;
  ExpectFramesCopied(out, cbr, {false, true, true});
  ExpectDecodes(out, VideoSeconds(cbr), kFrame);

  const std::vector<std::string> vbr = {FfClip("ja-ff-vbr.avi", 1.6, 1.6, "-c:a libmp3lame -q:a 4"), pcm,
                                        FfClip("ja-ff-128.avi", 1.2, 1.2, "-c:a libmp3lame -b:a 128k")};
  r = RunCli(Join("--recompress ffv1 --mp3", dir + "/vbr.avi", vbr));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("audio of " + vbr[0] + " re-encoded"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("audio of " + vbr[2] + " re-encoded"), std::string::npos) << r.err;
  h = ReadAudioHeader(dir + "/vbr.avi");
  EXPECT_EQ(std::tuple(h.tag, h.blockAlign, h.scale, h.rate, h.sampleSize), std::tuple(0x55, 1152, 1152u, 44100u, 0u));
  ExpectFramesCopied(dir + "/vbr.avi", vbr, {true, false, true});
  // The PCM clip's place holds 128 kbit/s frames.
  const auto packets = ProbePackets(dir + "/vbr.avi", "a:0");
  const double pcmStart = VideoChunks(vbr[0]) / kFps, pcmEnd = pcmStart + VideoChunks(pcm) / kFps;
  for (size_t k = static_cast<size_t>(pcmStart / kFrame) + 2; k + 2 < static_cast<size_t>(pcmEnd / kFrame) && k < packets.size(); ++k)
    EXPECT_TRUE(packets[k].size == 417 || packets[k].size == 418) << k << ": " << packets[k].size;
  ExpectDecodes(dir + "/vbr.avi", VideoSeconds(vbr), kFrame);
}

// AAC with its AudioSpecificConfig (ffmpeg, GStreamer) and in ADTS decodes:
// converted to MP3 and to the first clip's AAC; the direct join copies the
// frames of AAC of one configuration and re-encodes the ADTS clip.
TEST(JoinAudio, AacFromFfmpegAndGStreamerJoinsAndConverts) {
  const std::string gstAac = GstClip("ja-gst-aac.avi", "avenc_aac");
  if (gstAac.empty()) GTEST_SKIP() << "GStreamer's avenc_aac missing";
  const std::string ffAac = FfClip("ja-ff-aac.avi", 1.6, 1.6, "-c:a aac");
  const std::string adtsDir = TempDir("ja-adts");
  ASSERT_EQ(MakeClip(adtsDir + "/x.aac", "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1.2 -ac 2 -c:a aac -f adts"), "");
  // ffmpeg copies ADTS into AVI as it is: tag 0x00FF without a configuration.
  const std::string adts = CachedClip("ja-adts.avi", "-f lavfi -i testsrc=size=160x120:rate=25:duration=1.2 -i " +
                                                         Quote(adtsDir + "/x.aac") + " -c:v mjpeg -c:a copy");
  ASSERT_FALSE(ffAac.empty());
  ASSERT_FALSE(adts.empty());
  EXPECT_TRUE(ReadAudioHeader(adts).strf.size() <= 18);
  const std::vector<std::string> clips = {ffAac, gstAac, adts};
  const double video = VideoSeconds(clips);
  const std::string dir = TempDir("ja-aac");
  for (const std::string options : {"--recompress ffv1 --mp3", "--recompress ffv1", ""}) {
    SCOPED_TRACE(options);
    const std::string out = dir + "/out.avi";
    std::filesystem::remove(out);
    CliResult r = RunCli(Join(options, out, clips));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Not yet implemented"), std::string::npos) << r.err;
    ExpectDecodes(out, video, 1024.0 / 44100 + 1e-3);
    EXPECT_EQ(Ffprobe(out, "-select_streams a:0 -show_entries stream=codec_name -of csv=p=0"),
              options.find("mp3") != std::string::npos ? "mp3\n" : "aac\n");
    if (options.find("mp3") != std::string::npos) continue;
    // AAC of the first clip's configuration is copied, the ADTS clip re-encoded.
    EXPECT_EQ(r.err.find("audio of " + gstAac + " re-encoded"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("audio of " + adts + " re-encoded"), std::string::npos) << r.err;
    ExpectFramesCopied(out, clips, {true, true, false}, 1024.0 / 44100);
  }
  // ADTS first: what is encoded into it carries ADTS headers too.
  CliResult r = RunCli(Join("", dir + "/adts.avi", {adts, ffAac}));
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectDecodes(dir + "/adts.avi", VideoSeconds({adts, ffAac}), 1024.0 / 44100 + 1e-3);
  // The same AAC in a WAVE_FORMAT_EXTENSIBLE wrapper (AAC's sub-format GUID,
  // the configuration after the wrapper's 22 bytes) converts too.
  const std::vector<uint8_t> plain = ReadAudioHeader(ffAac).strf;
  ASSERT_GE(plain.size(), 20u);
  Bytes wrapped(plain.begin(), plain.begin() + 16);
  const Bytes config(plain.begin() + 18, plain.end());
  PutLe32(wrapped, 0, 0xFFFEu | (GetLe32(wrapped, 0) & 0xFFFF0000u));
  Append(wrapped, Le16(static_cast<uint16_t>(22 + config.size())));
  for (const Bytes& field : {Le16(16), Le32(3), Le32(0x000000FF), Le32(0x00100000), Le32(0xAA000080), Le32(0x719B3800)})
    Append(wrapped, field);
  Append(wrapped, config);
  FileLayout layout;
  StreamLayout pictures;
  pictures.format = BitmapInfo(160, 120, "MJPG");
  StreamLayout audio;
  audio.type = "auds";
  audio.handler = "";
  audio.scale = 1024;
  audio.rate = 44100;
  audio.format = wrapped;
  layout.streams = {pictures, audio};
  for (const MoviChunk& c : ReadMoviChunks(ffAac)) {
    layout.chunks.push_back({c.id[1] - '0', c.id.substr(2), c.data, c.keyFrame});
    if (c.id[1] == '0') ++layout.streams[0].length;
    else ++layout.streams[1].length;
  }
  const std::string extensible = dir + "/extensible.avi";
  WriteFile(extensible, BuildAvi(layout));
  r = RunCli(Join("--recompress ffv1 --mp3", dir + "/extensible-out.avi", {extensible}));
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectDecodes(dir + "/extensible-out.avi", VideoSeconds({ffAac}), kFrame);
  // The clip inspection names it.
  CliResult info = RunCli("info --json " + Quote(gstAac));
  EXPECT_NE(info.out.find("AAC"), std::string::npos) << info.out;
}

// One packet of garbage in an MP3 (frame-based and byte-based) or AAC clip
// becomes silence of its length, the clip stays in sync, and a note
// names the file; a clip none of whose audio decodes fails the run naming it.
TEST(JoinAudio, DamagedAudioPacketBecomesSilenceAndIsNamed) {
  const std::string pcm = FfClip("ja-pcm.avi", 1.2, 1.2, "-c:a pcm_s16le");
  std::vector<std::string> sound = {FfClip("ja-ff-vbr.avi", 1.6, 1.6, "-c:a libmp3lame -q:a 4"),
                                    FfClip("ja-ff-aac.avi", 1.6, 1.6, "-c:a aac")};
  // Byte-based MP3 chunks: the frames are found by their headers.
  if (HaveCommand("gst-launch-1.0")) sound.push_back(GstClip("ja-gst-128.avi", "lamemp3enc target=bitrate bitrate=128 cbr=true"));
  for (const std::string& clip : sound) {
    SCOPED_TRACE(clip);
    const std::string dir = TempDir("ja-damage");
    ASSERT_FALSE(clip.empty());
    const std::string damaged = DamagedCopy(clip, "damaged.avi", 30);
    CliResult r = RunCli(Join("--recompress ffv1", dir + "/good.avi", {pcm, clip}));
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunCli(Join("--recompress ffv1", dir + "/bad.avi", {pcm, damaged}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("audio of " + damaged + ": 1 damaged packets"), std::string::npos) << r.err;
    ExpectDecodes(dir + "/bad.avi", VideoSeconds({pcm, clip}), kFrame);
    // PCM output: the two decode alike except near the damaged packet.
    const auto good = DecodedPcm(dir + "/good.avi"), bad = DecodedPcm(dir + "/bad.avi");
    ASSERT_EQ(good.size(), bad.size());
    size_t first = good.size(), last = 0;
    for (size_t k = 0; k < good.size(); ++k)
      if (std::abs(good[k] - bad[k]) > 64) {
        first = std::min(first, k);
        last = k;
      }
    ASSERT_LT(first, good.size()) << "the garbage changed nothing";
    // Stereo samples: the difference ends a few frames after it began.
    EXPECT_LT((last - first) / 2, 16 * 1152u);
    // None of it decodes: the run fails naming the file.
    const std::string dead = DamagedCopy(clip, "dead.avi", 0, true);
    r = RunCli(Join("--recompress ffv1", dir + "/dead.avi", {pcm, dead}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dead), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("none of its"), std::string::npos) << r.err;
  }
}
