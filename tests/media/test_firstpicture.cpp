// The first-picture check that needs no libavformat, against the detector
// that goes through it: clips of every family it knows, from the ffmpeg CLI
// and GStreamer, decode in both; what it does not know or cannot decode it
// leaves to the detector.
#include <gtest/gtest.h>

#include <algorithm>

#include "avi/AviReader.h"
#include "media/FfmpegLog.h"
#include "media/FirstPicture.h"
#include "media/MediaDetector.h"
#include "tests/support/Fixtures.h"

using namespace media;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

struct Verdicts {
  bool ours = false;
  bool detector = false;
};

Verdicts Check(const std::string& path) {
  Verdicts v;
  AviReader reader;
  if (reader.Open(path) != AVIERR_OK) return v;
  const int stream = reader.NthStream(streamtypeVIDEO);
  v.ours = stream >= 0 && FirstPictureDecodes(reader, static_cast<size_t>(stream), 2000ms);
  MediaDetector detector;
  Dib picture;
  v.detector = detector.Open(path) && detector.FirstVideoStream() >= 0 &&
               detector.GrabFrame(detector.FirstVideoStream(), 0, 2000ms, picture) == GrabResult::Ok;
  return v;
}

const char kSource[] = "-f lavfi -i testsrc=size=176x144:rate=25:duration=1 ";

}  // namespace

TEST(FirstPicture, DecodesEveryKnownFamilyAsTheDetectorDoes) {
  const std::vector<std::pair<std::string, std::string>> families = {
      {"fp-fmp4.avi", "-c:v mpeg4"},
      {"fp-xvid-bframes.avi", "-c:v mpeg4 -vtag xvid -bf 2"},  // the first picture after a B-frame delay
      {"fp-div3.avi", "-c:v msmpeg4"},
      {"fp-mp42.avi", "-c:v msmpeg4v2"},
      {"fp-mjpg.avi", "-c:v mjpeg"},
      {"fp-h264.avi", "-c:v libx264 -bf 3"},
      {"fp-ffv1.avi", "-c:v ffv1"},
      {"fp-hfyu.avi", "-c:v huffyuv"},
  };
  for (const auto& [name, codec] : families) {
    SCOPED_TRACE(name);
    const std::string clip = CachedClip(name, kSource + codec);
    ASSERT_FALSE(clip.empty());
    const Verdicts v = Check(clip);
    EXPECT_TRUE(v.ours);
    EXPECT_TRUE(v.detector);
  }
  if (HaveCommand("gst-launch-1.0")) {
    const std::string gst = CachedCommandClip("fp-gst-mjpeg.avi", GstMjpegMp3Command(25, 43));
    ASSERT_FALSE(gst.empty());
    EXPECT_TRUE(Check(gst).ours);
  }
}

// No answer without a picture: a code it does not know (raw RGB, which the
// detector decodes), and MPEG-4 whose every chunk is garbage (which neither does).
TEST(FirstPicture, LeavesTheRestToTheDetector) {
  SetFfmpegLogging(false);  // the garbage makes the decoder talk
  const std::string raw = CachedClip("fp-raw.avi", std::string(kSource) + "-c:v rawvideo -pix_fmt bgr24");
  Verdicts v = Check(raw);
  EXPECT_FALSE(v.ours);
  EXPECT_TRUE(v.detector);

  const std::string clip = CachedClip("fp-fmp4.avi", std::string(kSource) + "-c:v mpeg4");
  std::vector<uint8_t> bytes = ReadFile(clip);
  AviReader reader;
  ASSERT_EQ(reader.Open(clip), AVIERR_OK);
  const AviStream& video = reader.Stream(static_cast<size_t>(reader.NthStream(streamtypeVIDEO)));
  ASSERT_FALSE(video.chunks.empty());
  for (const AviChunk& chunk : video.chunks)
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(chunk.offset), chunk.size, uint8_t{0x5A});
  const std::string garbage = TempDir("fp-garbage") + "/garbage.avi";
  WriteFile(garbage, bytes);
  v = Check(garbage);
  EXPECT_FALSE(v.ours);
  EXPECT_FALSE(v.detector);
}
