// The media detector on clips made by the ffmpeg CLI: stream types and format
// blocks against ffprobe, lengths, and frames grabbed at media times, checked
// by the colour of clips whose pictures change colour at known times.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "media/MediaDetector.h"
#include "tests/support/Fixtures.h"

using namespace media;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kSecond = 10000000;  // 100-ns units

// A clip that shows each colour for `seconds` in turn, with the given size,
// rate and encoder arguments.
std::string ColourClip(const std::string& name, const std::vector<std::string>& colours, const std::string& size,
                       const std::string& rate, const std::string& codec, int seconds = 1,
                       const std::string& extraFilter = "", const std::string& sourceFilter = "") {
  std::ostringstream graph;
  for (size_t i = 0; i < colours.size(); ++i)
    graph << "color=" << colours[i] << ":s=" << size << ":r=" << rate << ":d=" << seconds << sourceFilter << "[c" << i << "];";
  for (size_t i = 0; i < colours.size(); ++i) graph << "[c" << i << "]";
  graph << "concat=n=" << colours.size() << ":v=1:a=0" << extraFilter;
  std::string args = "-f lavfi -i " + Quote(graph.str()) + " " + codec;
  return CachedClip(name, args);
}

struct Rgb {
  int r, g, b;
};

::testing::AssertionResult HasColour(const Dib& dib, int x, int y, Rgb want, int tolerance = 48) {
  const uint8_t* p = dib.Pixel(x, y);
  Rgb got{p[2], p[1], p[0]};
  if (std::abs(got.r - want.r) <= tolerance && std::abs(got.g - want.g) <= tolerance &&
      std::abs(got.b - want.b) <= tolerance)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pixel " << x << "," << y << " is " << got.r << "," << got.g << ","
                                       << got.b << ", expected about " << want.r << "," << want.g << "," << want.b;
}

// Every pixel of the picture, the padding of each row excluded, has the colour.
::testing::AssertionResult AllColour(const Dib& dib, Rgb want) {
  for (int y = 0; y < dib.Height(); ++y)
    for (int x = 0; x < dib.Width(); ++x) {
      auto r = HasColour(dib, x, y, want);
      if (!r) return r;
    }
  return ::testing::AssertionSuccess();
}

const Rgb kRed{255, 0, 0}, kLime{0, 255, 0}, kBlue{0, 0, 255};

double ProbeDouble(const std::string& path, const std::string& entries, const std::string& stream) {
  return std::atof(Ffprobe(path, "-select_streams " + stream + " -show_entries " + entries + " -of csv=p=0").c_str());
}

}  // namespace

TEST(MediaDetector, ListsStreamsInFileOrderWithFormatBlocks) {
  std::string clip = CachedClip(
      "md-streams.avi",
      "-f lavfi -i color=red:s=176x144:r=25:d=2 -f lavfi -i sine=f=440:r=44100:d=2 -f lavfi -i sine=r=22050:d=2 "
      "-map 0 -map 1 -map 2 -c:v mpeg4 -vtag DIVX -c:a:0 pcm_s16le -c:a:1 pcm_u8 -ac:a:1 2");
  ASSERT_FALSE(clip.empty());
  MediaDetector detector;
  ASSERT_TRUE(detector.Open(clip)) << detector.LastError();
  ASSERT_EQ(detector.OutputStreams(), 3);
  EXPECT_EQ(detector.FirstVideoStream(), 0);

  const MediaStreamType& video = detector.StreamMediaType(0);
  EXPECT_EQ(video.majorType, MajorType::Video);
  EXPECT_EQ(video.subtype, MakeFourCC('D', 'I', 'V', 'X'));
  BitmapInfoHeader bih;
  ASSERT_TRUE(BitmapInfoHeader::Parse(video.format, bih));
  EXPECT_EQ(bih.biWidth, 176);
  EXPECT_EQ(bih.biHeight, 144);
  EXPECT_EQ(bih.biCompression, MakeFourCC('D', 'I', 'V', 'X'));

  const MediaStreamType& pcm16 = detector.StreamMediaType(1);
  EXPECT_EQ(pcm16.majorType, MajorType::Audio);
  EXPECT_EQ(pcm16.subtype, WAVE_FORMAT_PCM);
  WaveFormatEx wfx;
  ASSERT_TRUE(WaveFormatEx::Parse(pcm16.format, wfx));
  EXPECT_EQ(wfx.nChannels, 1);
  EXPECT_EQ(wfx.nSamplesPerSec, 44100u);
  EXPECT_EQ(wfx.wBitsPerSample, 16);
  EXPECT_EQ(wfx.nBlockAlign, 2);

  const MediaStreamType& pcm8 = detector.StreamMediaType(2);
  ASSERT_TRUE(WaveFormatEx::Parse(pcm8.format, wfx));
  EXPECT_EQ(wfx.nChannels, 2);
  EXPECT_EQ(wfx.nSamplesPerSec, 22050u);
  EXPECT_EQ(wfx.wBitsPerSample, 8);

  for (int i = 0; i < 3; ++i) {
    double probed = ProbeDouble(clip, "stream=duration", std::to_string(i));
    EXPECT_NEAR(detector.StreamLength(i), probed, 0.001) << "stream " << i;
  }
  EXPECT_EQ(detector.Duration(0), 2 * kSecond);
}

TEST(MediaDetector, FirstMiddleAndLastFrameOfMpeg4) {
  std::string clip = ColourClip("md-rgb.avi", {"red", "lime", "blue"}, "320x240", "25",
                                "-c:v mpeg4 -vtag XVID -g 12 -q:v 3");
  ASSERT_FALSE(clip.empty());
  MediaDetector detector;
  ASSERT_TRUE(detector.Open(clip)) << detector.LastError();
  const int64_t duration = detector.Duration(0);
  ASSERT_EQ(duration, 3 * kSecond);
  Dib dib;
  ASSERT_EQ(detector.GrabFrame(0, 0, 2000ms, dib), GrabResult::Ok) << detector.LastError();
  EXPECT_EQ(dib.Width(), 320);
  EXPECT_EQ(dib.Height(), 240);
  EXPECT_EQ(dib.header.biBitCount, 24);
  EXPECT_EQ(dib.bits.size(), 320u * 3 * 240);
  EXPECT_TRUE(AllColour(dib, kRed));
  ASSERT_EQ(detector.GrabFrame(0, duration / 2, 2000ms, dib), GrabResult::Ok) << detector.LastError();
  EXPECT_TRUE(AllColour(dib, kLime));
  ASSERT_EQ(detector.GrabFrame(0, duration - 1, 10000ms, dib), GrabResult::Ok) << detector.LastError();
  EXPECT_TRUE(AllColour(dib, kBlue));
  // Backwards again on the same open file.
  ASSERT_EQ(detector.GrabFrame(0, 0, 2000ms, dib), GrabResult::Ok);
  EXPECT_TRUE(AllColour(dib, kRed));
  // Past the end: the last frame.
  ASSERT_EQ(detector.GrabFrame(0, duration * 2, 10000ms, dib), GrabResult::Ok);
  EXPECT_TRUE(AllColour(dib, kBlue));
}

TEST(MediaDetector, LastFrameIsExactAcrossCodecsAndRates) {
  // The last frame alone is blue: one frame off shows red.
  struct Case {
    const char* name;
    const char* rate;
    const char* codec;
  } cases[] = {
      {"md-h264-bframes.avi", "25", "-c:v libx264 -bf 3 -g 30 -pix_fmt yuv420p"},
      {"md-h264-ntsc.avi", "30000/1001", "-c:v libx264 -bf 2 -pix_fmt yuv420p"},
      {"md-mpeg4-bframes.avi", "25", "-c:v mpeg4 -bf 2 -g 15"},
      {"md-msmpeg4.avi", "2997/100", "-c:v msmpeg4v3 -g 10"},
      {"md-mjpeg.avi", "25", "-c:v mjpeg -q:v 3"},
      {"md-huffyuv.avi", "25", "-c:v huffyuv"},
      {"md-rawbgr.avi", "25", "-c:v rawvideo -pix_fmt bgr24"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string clip = ColourClip(c.name, {"red", "blue"}, "320x240", c.rate, c.codec, 1,
                                  ",select='lt(n\\,25)+eq(n\\,49)',setpts=N/FRAME_RATE/TB");
    ASSERT_FALSE(clip.empty());
    MediaDetector detector;
    ASSERT_TRUE(detector.Open(clip)) << detector.LastError();
    int frames = std::atoi(Ffprobe(clip, "-count_packets -select_streams v -show_entries stream=nb_read_packets "
                                         "-of csv=p=0").c_str());
    ASSERT_EQ(frames, 26);
    Dib dib;
    ASSERT_EQ(detector.GrabFrame(0, 0, 2000ms, dib), GrabResult::Ok) << detector.LastError();
    EXPECT_TRUE(AllColour(dib, kRed));
    ASSERT_EQ(detector.GrabFrame(0, detector.Duration(0) - 1, 10000ms, dib), GrabResult::Ok) << detector.LastError();
    EXPECT_TRUE(AllColour(dib, kBlue));
    // One frame earlier is still red (MPEG-4 with B-frames: the seek lands
    // on an open group of pictures whose leading B-frames cannot be decoded).
    int64_t frameTime = detector.Duration(0) / frames;
    ASSERT_EQ(detector.GrabFrame(0, detector.Duration(0) - 1 - frameTime, 10000ms, dib), GrabResult::Ok);
    EXPECT_TRUE(AllColour(dib, kRed));
  }
}

TEST(MediaDetector, EveryFrameTimeAcrossGroupsOfPictures) {
  // Red up to a frame, blue after: every slot grabbed after a seek, including
  // seeks into open groups of pictures, whose leading B-frames need the group
  // before (the change at frame 14 falls on such a B-frame of the key frame 15).
  struct Case {
    const char* name;
    const char* codec;
    int redFrames;
  } cases[] = {
      {"md-every-mpeg4-b20.avi", "-c:v mpeg4 -bf 2 -g 15 -sc_threshold 1000000000", 20},
      {"md-every-mpeg4-b14.avi", "-c:v mpeg4 -bf 2 -g 15 -sc_threshold 1000000000", 14},
      {"md-every-mpeg4-b13.avi", "-c:v mpeg4 -bf 2 -g 15 -sc_threshold 1000000000", 13},
      {"md-every-h264-b20.avi", "-c:v libx264 -bf 3 -g 15 -x264-params scenecut=0 -pix_fmt yuv420p", 20},
      {"md-every-mpeg4-g7.avi", "-c:v mpeg4 -g 7", 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The red second cut to its first redFrames frames, then a blue second.
    const int frames = c.redFrames + 25;
    std::string clip = ColourClip(c.name, {"red", "blue"}, "160x120", "25", c.codec, 1,
                                  ",select='not(between(n\\," + std::to_string(c.redFrames) +
                                      "\\,24))',setpts=N/FRAME_RATE/TB");
    ASSERT_FALSE(clip.empty());
    MediaDetector detector;
    ASSERT_TRUE(detector.Open(clip)) << detector.LastError();
    ASSERT_EQ(detector.Duration(0), frames * kSecond / 25);
    for (int slot = frames - 1; slot >= 0; --slot) {
      Dib dib;
      ASSERT_EQ(detector.GrabFrame(0, slot * kSecond / 25 + kSecond / 50, 2000ms, dib), GrabResult::Ok) << slot;
      EXPECT_TRUE(AllColour(dib, slot < c.redFrames ? kRed : kBlue)) << "slot " << slot;
    }
  }
}

TEST(MediaDetector, EmptyChunksAdvanceTheClock) {
  // Frames 20 to 29 dropped: the writer leaves empty chunks, and the picture
  // of frame 19 (red) stays on screen until frame 30 (blue) at 1.2 s.
  std::string clip = ColourClip("md-drop.avi", {"red", "blue"}, "160x120", "25", "-fps_mode passthrough -c:v mpeg4 -g 12",
                                1, ",select='not(between(n\\,20\\,29))'");
  ASSERT_FALSE(clip.empty());
  ASSERT_EQ(ProbePackets(clip, "v:0").size(), 40u);
  MediaDetector detector;
  ASSERT_TRUE(detector.Open(clip)) << detector.LastError();
  ASSERT_EQ(detector.Duration(0), 2 * kSecond);
  Dib dib;
  ASSERT_EQ(detector.GrabFrame(0, 11 * kSecond / 10, 2000ms, dib), GrabResult::Ok);
  EXPECT_TRUE(AllColour(dib, kRed));  // counting packets would land on blue
  ASSERT_EQ(detector.GrabFrame(0, 12 * kSecond / 10, 2000ms, dib), GrabResult::Ok);
  EXPECT_TRUE(AllColour(dib, kBlue));
  ASSERT_EQ(detector.GrabFrame(0, detector.Duration(0) - 1, 10000ms, dib), GrabResult::Ok);
  EXPECT_TRUE(AllColour(dib, kBlue));
}

TEST(MediaDetector, OddWidthsFillEveryPixelOfThePaddedRows) {
  // Widths that are not multiples of 16 (nor of 4: rows need padding).
  for (const char* size : {"161x121", "175x97", "33x17"}) {
    SCOPED_TRACE(size);
    std::string clip = ColourClip(std::string("md-odd-") + size + ".avi", {"lime", "blue"}, size, "25",
                                  "-c:v rawvideo -pix_fmt bgr24", 1, "", ",format=bgr24");
    ASSERT_FALSE(clip.empty());
    MediaDetector detector;
    ASSERT_TRUE(detector.Open(clip)) << detector.LastError();
    Dib dib;
    ASSERT_EQ(detector.GrabFrame(0, 0, 2000ms, dib), GrabResult::Ok) << detector.LastError();
    int w = std::atoi(size), h = std::atoi(std::strchr(size, 'x') + 1);
    EXPECT_EQ(dib.Width(), w);
    EXPECT_EQ(dib.Height(), h);
    EXPECT_EQ(dib.Stride() % 4, 0);
    EXPECT_EQ(dib.bits.size(), static_cast<size_t>(dib.Stride()) * h);
    EXPECT_TRUE(AllColour(dib, kLime));
    ASSERT_EQ(detector.GrabFrame(0, detector.Duration(0) - 1, 10000ms, dib), GrabResult::Ok);
    EXPECT_TRUE(AllColour(dib, kBlue));
  }
}

TEST(MediaDetector, SizeHintDecodesSmallerWhereTheDecoderCan) {
  struct Case {
    const char* name;
    const char* codec;
    int width, height;  // of the picture grabbed with a 128 x 96 hint
  } cases[] = {
      {"md-hint-mpeg4.avi", "-c:v mpeg4 -g 30", 160, 120},
      {"md-hint-mjpeg.avi", "-c:v mjpeg", 160, 120},
      {"md-hint-h264.avi", "-c:v libx264 -pix_fmt yuv420p", 640, 480},  // no reduced decoding
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string clip = ColourClip(c.name, {"red", "blue"}, "640x480", "25", c.codec);
    ASSERT_FALSE(clip.empty());
    MediaDetector detector;
    detector.SetPictureSizeHint(128, 96);
    ASSERT_TRUE(detector.Open(clip)) << detector.LastError();
    Dib dib;
    ASSERT_EQ(detector.GrabFrame(0, 0, 2000ms, dib), GrabResult::Ok) << detector.LastError();
    EXPECT_EQ(dib.Width(), c.width);
    EXPECT_EQ(dib.Height(), c.height);
    EXPECT_TRUE(AllColour(dib, kRed));
    ASSERT_EQ(detector.GrabFrame(0, detector.Duration(0) - 1, 10000ms, dib), GrabResult::Ok);
    EXPECT_TRUE(AllColour(dib, kBlue));
    // Back to full size.
    detector.SetPictureSizeHint(0, 0);
    ASSERT_EQ(detector.GrabFrame(0, 0, 2000ms, dib), GrabResult::Ok);
    EXPECT_EQ(dib.Width(), 640);
  }
}

TEST(MediaDetector, FailuresCarryAReason) {
  std::string dir = TempDir("md-fail");
  MediaDetector detector;
  Dib dib;
  EXPECT_EQ(detector.GrabFrame(0, 0, 2000ms, dib), GrabResult::Failed);

  EXPECT_FALSE(detector.Open(dir));  // a folder
  EXPECT_FALSE(detector.Open(dir + "/missing.avi"));
  EXPECT_NE(detector.LastError().find("missing.avi"), std::string::npos) << detector.LastError();
  WriteFile(dir + "/text.avi", std::vector<uint8_t>(300, 'a'));
  EXPECT_FALSE(detector.Open(dir + "/text.avi"));
  EXPECT_FALSE(detector.LastError().empty());
  EXPECT_FALSE(detector.IsOpen());

  // A codec FFmpeg does not know: the streams list, no picture.
  std::string clip = CachedClip("md-xvid.avi", "-f lavfi -i color=red:s=160x120:r=25:d=1 -c:v mpeg4 -vtag XVID");
  ASSERT_FALSE(clip.empty());
  std::vector<uint8_t> bytes = ReadFile(clip);
  for (size_t i = 0; i + 4 <= bytes.size() && i < 8192; ++i)
    if (std::memcmp(&bytes[i], "XVID", 4) == 0 || std::memcmp(&bytes[i], "xvid", 4) == 0)
      std::memcpy(&bytes[i], "QZQZ", 4);
  WriteFile(dir + "/unknown.avi", bytes);
  ASSERT_TRUE(detector.Open(dir + "/unknown.avi")) << detector.LastError();
  EXPECT_EQ(detector.StreamMediaType(0).subtype, MakeFourCC('Q', 'Z', 'Q', 'Z'));
  EXPECT_EQ(detector.GrabFrame(0, 0, 2000ms, dib), GrabResult::Failed);
  EXPECT_NE(detector.LastError().find("QZQZ"), std::string::npos) << detector.LastError();

  // A limit already spent fails; an audio stream has no pictures.
  std::string withAudio = CachedClip("md-av.avi", "-f lavfi -i color=red:s=160x120:r=25:d=1 -f lavfi -i "
                                                  "sine=d=1 -c:v mpeg4 -c:a pcm_s16le");
  ASSERT_TRUE(detector.Open(withAudio)) << detector.LastError();
  EXPECT_EQ(detector.GrabFrame(0, 0, 0ms, dib), GrabResult::Failed);
  EXPECT_NE(detector.LastError().find("longer"), std::string::npos) << detector.LastError();
  EXPECT_EQ(detector.GrabFrame(1, 0, 2000ms, dib), GrabResult::Failed);
  EXPECT_EQ(detector.GrabFrame(7, 0, 2000ms, dib), GrabResult::Failed);
  EXPECT_EQ(detector.GrabFrame(0, 0, 2000ms, dib), GrabResult::Ok) << detector.LastError();

  // A file cut in half still gives its first picture and, at the end, some picture.
  std::vector<uint8_t> half = ReadFile(ColourClip("md-cut.avi", {"red", "blue"}, "160x120", "25", "-c:v mpeg4"));
  ASSERT_GT(half.size(), 1000u);
  half.resize(half.size() / 2);
  WriteFile(dir + "/cut.avi", half);
  if (detector.Open(dir + "/cut.avi")) {
    ASSERT_EQ(detector.GrabFrame(0, 0, 2000ms, dib), GrabResult::Ok) << detector.LastError();
    EXPECT_TRUE(AllColour(dib, kRed));
    GrabResult last = detector.GrabFrame(0, detector.Duration(0) - 1, 10000ms, dib);
    EXPECT_NE(last, GrabResult::Failed) << detector.LastError();
  }
}
