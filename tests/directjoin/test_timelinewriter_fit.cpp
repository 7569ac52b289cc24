// The timeline writer fitting clips to the first clip's format when the list
// was reordered: the clip marked to be fitted is now the first, and the clips
// that differ from it are fitted though not marked, while one that matches
// it is copied. Read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include "directjoin/TimelineWriter.h"
#include "tests/support/Fixtures.h"

using namespace testsupport;
using media::TimelineSource;
using media::TimelineWriter;

namespace {

constexpr int64_t kSecond = 10000000;

TimelineSource Video(const std::string& path, int64_t start, int64_t length, bool fit) {
  return TimelineSource{path, 0, 0, length, start, start + length, fit};
}

}  // namespace

TEST(TimelineWriterFit, DifferingClipsAreFittedOnceAClipIsMarked) {
  const std::string odd = CachedClip("twfit-odd.avi", "-f lavfi -i testsrc=size=160x120:rate=50:duration=1 -c:v mjpeg -q:v 3");
  const std::string a = CachedClip("twfit-a.avi", "-f lavfi -i testsrc=size=320x240:rate=25:duration=1 -c:v mpeg4 -q:v 3");
  ASSERT_FALSE(odd.empty());
  ASSERT_FALSE(a.empty());
  const std::string out = TempDir("twfit") + "/out.avi";
  TimelineWriter timeline;
  const int video = timeline.AddGroup(TimelineWriter::GroupKind::Video);
  // The marked clip first: the reference. a differs from it, unmarked; odd again matches it.
  ASSERT_TRUE(timeline.AddSource(video, Video(odd, 0, kSecond, true)));
  ASSERT_TRUE(timeline.AddSource(video, Video(a, kSecond, kSecond, false)));
  ASSERT_TRUE(timeline.AddSource(video, Video(odd, 2 * kSecond, kSecond, false)));
  ASSERT_TRUE(timeline.Prepare(out)) << timeline.LastError();
  ASSERT_EQ(timeline.FittedClips().size(), 1u);
  EXPECT_EQ(timeline.FittedClips()[0], a + ": FMP4 → MJPG, 320x240 → 160x120, 25 → 50 fps");
  ASSERT_TRUE(timeline.Start(out, nullptr)) << timeline.LastError();
  timeline.Wait();
  EXPECT_EQ(timeline.LastError(), "");

  auto fields = ProbeFields(out, "-count_packets -select_streams v:0 -show_entries stream=codec_tag_string,width,nb_read_packets");
  EXPECT_EQ(fields["codec_tag_string"], "MJPG");
  EXPECT_EQ(fields["width"], "160");
  EXPECT_EQ(fields["nb_read_packets"], "150");  // 50 + a's second at 50 fps + 50
  auto source = FrameCrcs(odd);
  auto joined = FrameCrcs(out);
  ASSERT_EQ(joined[0].size(), 150u);
  EXPECT_TRUE(std::equal(source[0].begin(), source[0].end(), joined[0].begin()));
  EXPECT_TRUE(std::equal(source[0].begin(), source[0].end(), joined[0].begin() + 100));
  std::string errors;
  testsupport::Run("ffmpeg -nostdin -v error -i " + Quote(out) + " -f null - 2>&1", &errors);
  EXPECT_EQ(errors, "");
}
