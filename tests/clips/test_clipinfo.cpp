// ClipInfo on real clips from the ffmpeg CLI, GStreamer's avimux and
// MEncoder: stream summaries against the stream headers in the file and how
// each clip was made, durations against ffprobe, descriptions, thumbnails by
// pixel colour, and bad files with the open-error message the user reads.
#include <gtest/gtest.h>

#include <QDir>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "clips/ClipImage.h"
#include "clips/ClipInfo.h"
#include "clips/ClipTexts.h"
#include "clips/CompareStreams.h"
#include "tests/support/Fixtures.h"

using namespace media;
using namespace testsupport;

void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << QString(text).replace(QLatin1Char('\r'), QStringLiteral("\\r")).toStdString() << '"';
}

namespace {

QString Q(const std::string& path) { return QString::fromStdString(path); }

// Records every message box instead of printing it.
class MessageRecorder {
 public:
  MessageRecorder() {
    previous_ = SetMessageBoxHandler([this](QObject* owner, const QString& text, const QString& caption, unsigned icon) {
      EXPECT_EQ(owner, nullptr);
      EXPECT_EQ(caption, LanguageText(1103, QStringLiteral("Error")));
      EXPECT_EQ(icon, MB_ICONERROR);
      texts.push_back(text);
      return IDOK;
    });
  }
  ~MessageRecorder() { SetMessageBoxHandler(previous_); }
  std::vector<QString> texts;

 private:
  MessageBoxHandler previous_;
};

// The stream headers as the file stores them, found by a plain byte scan:
// an independent reading of what our AVI reader reports.
struct RawStreamHeader {
  FourCC type = 0, handler = 0;
  uint32_t scale = 0, rate = 0, start = 0, length = 0;
};
std::vector<RawStreamHeader> ScanStreamHeaders(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  bytes.resize(std::min<size_t>(bytes.size(), 1 << 16));
  std::vector<RawStreamHeader> headers;
  for (size_t i = 0; i + 8 + 36 <= bytes.size(); ++i) {
    if (std::memcmp(&bytes[i], "strh", 4) != 0) continue;
    const uint8_t* p = &bytes[i + 8];
    headers.push_back({ReadLE32(p), ReadLE32(p + 4), ReadLE32(p + 20), ReadLE32(p + 24), ReadLE32(p + 28),
                       ReadLE32(p + 32)});
  }
  return headers;
}

// A clip that is red for its first second and blue for its second.
std::string RedBlueFilter(const std::string& size, const std::string& rate) {
  return "color=red:s=" + size + ":r=" + rate + ":d=1[a];color=blue:s=" + size + ":r=" + rate +
         ":d=1[b];[a][b]concat=n=2:v=1:a=0";
}

struct Made {
  std::string name;
  std::string args;       // for the ffmpeg CLI
  FourCC handler;         // as the writer was told
  uint32_t rate, scale;   // of the video
  int width, height;
  bool audio;
};

bool IsColour(const QImage& image, int x, int y, QColor want, int tolerance = 60) {
  QColor got = image.pixelColor(x, y);
  return std::abs(got.red() - want.red()) <= tolerance && std::abs(got.green() - want.green()) <= tolerance &&
         std::abs(got.blue() - want.blue()) <= tolerance;
}

// The thumbnail shows the first frame (red) left and the last (blue) right,
// each filling the rectangle FitCell gives and black around it.
void ExpectRedBlueThumbnail(const QImage& thumb, const QRect& fitted, const std::string& name) {
  ASSERT_EQ(thumb.size(), QSize(256, 96));
  const QPoint centre = fitted.center();
  EXPECT_TRUE(IsColour(thumb, centre.x(), centre.y(), Qt::red)) << name << " left " << thumb.pixelColor(centre.x(), centre.y()).name().toStdString();
  EXPECT_TRUE(IsColour(thumb, centre.x() + 128, centre.y(), Qt::blue)) << name << " right " << thumb.pixelColor(centre.x() + 128, centre.y()).name().toStdString();
  // Corners of the picture: stretched, nothing left unpainted.
  EXPECT_TRUE(IsColour(thumb, fitted.left(), fitted.top(), Qt::red)) << name;
  EXPECT_TRUE(IsColour(thumb, fitted.right() + 128, fitted.bottom(), Qt::blue)) << name;
  if (fitted.top() > 0) {
    EXPECT_EQ(thumb.pixelColor(centre.x(), 0), QColor(Qt::black)) << name;
    EXPECT_EQ(thumb.pixelColor(centre.x() + 128, 95), QColor(Qt::black)) << name;
  }
  if (fitted.left() > 0) {
    EXPECT_EQ(thumb.pixelColor(0, 48), QColor(Qt::black)) << name;
  }
  std::filesystem::create_directories(SPLICORA_SCREENSHOT_DIR);
  thumb.save(QString::fromStdString(std::string(SPLICORA_SCREENSHOT_DIR) + "/thumb-" + name + ".png"));
}

}  // namespace

TEST(ClipInfo, SummariesDurationsAndThumbnailsAcrossWriters) {
  const std::vector<Made> made = {
      {"xvid-pcm16.avi", "-f lavfi -i '" + RedBlueFilter("640x480", "25") + "' -f lavfi -i sine=r=44100:d=2 "
       "-c:v mpeg4 -vtag XVID -g 12 -c:a pcm_s16le", MakeFourCC('X', 'V', 'I', 'D'), 25, 1, 640, 480, true},
      {"divx-ntsc-pcm8.avi", "-f lavfi -i '" + RedBlueFilter("320x240", "30000/1001") + "' -f lavfi -i "
       "sine=r=22050:d=2 -c:v mpeg4 -vtag DIVX -c:a pcm_u8 -ac 2", MakeFourCC('D', 'I', 'V', 'X'), 30000, 1001, 320, 240, true},
      {"fmp4-2997-mp3.avi", "-f lavfi -i '" + RedBlueFilter("720x400", "2997/100") + "' -f lavfi -i sine=d=2 "
       "-r 2997/100 -c:v mpeg4 -vtag FMP4 -bf 2 -c:a libmp3lame", MakeFourCC('F', 'M', 'P', '4'), 2997, 100, 720, 400, true},
      {"mp43-ac3.avi", "-f lavfi -i '" + RedBlueFilter("352x288", "25") + "' -f lavfi -i sine=r=48000:d=2 "
       "-c:v msmpeg4v3 -c:a ac3", MakeFourCC('M', 'P', '4', '3'), 25, 1, 352, 288, true},
      {"mjpeg.avi", "-f lavfi -i '" + RedBlueFilter("200x200", "25") + "' -c:v mjpeg",
       MakeFourCC('M', 'J', 'P', 'G'), 25, 1, 200, 200, false},
      {"h264-bframes.avi", "-f lavfi -i '" + RedBlueFilter("320x240", "25") + "' -c:v libx264 -bf 3 -pix_fmt yuv420p",
       MakeFourCC('H', '2', '6', '4'), 25, 1, 320, 240, false},
      {"huffyuv.avi", "-f lavfi -i '" + RedBlueFilter("320x240", "25") + "' -c:v huffyuv",
       MakeFourCC('H', 'F', 'Y', 'U'), 25, 1, 320, 240, false},
      {"raw-odd.avi", "-f lavfi -i 'color=red:s=161x121:r=25:d=1,format=bgr24[a];color=blue:s=161x121:r=25:d=1,"
       "format=bgr24[b];[a][b]concat=n=2:v=1:a=0' -c:v rawvideo -pix_fmt bgr24", 0, 25, 1, 161, 121, false},
  };
  for (const Made& m : made) {
    SCOPED_TRACE(m.name);
    std::string path = CachedClip("ci-" + m.name, m.args);
    ASSERT_FALSE(path.empty());
    ClipInfo clip;
    ASSERT_TRUE(clip.Open(Q(path)));
    EXPECT_TRUE(clip.open);
    EXPECT_EQ(clip.videoIndex, 0);
    EXPECT_EQ(clip.audioIndex, m.audio ? 1 : -1);
    EXPECT_EQ(clip.StreamCount(), m.audio ? 2u : 1u);

    // Video: what the clip was made with.
    EXPECT_EQ(clip.video.handler, m.handler);
    EXPECT_EQ(clip.video.rate, m.rate);
    EXPECT_EQ(clip.video.scale, m.scale);
    EXPECT_EQ(clip.video.frame, (AviRect{0, 0, m.width, m.height}));
    EXPECT_EQ(clip.video.start, 0u);
    // Two seconds of frames at the rate (ffmpeg rounds the concat's end to a whole frame).
    const double fps = static_cast<double>(m.rate) / m.scale;
    EXPECT_NEAR(clip.video.length, 2 * fps, 1.0);
    EXPECT_EQ(clip.video.seconds, SummarySeconds(clip.video.length, m.rate, m.scale));

    // Both summaries against the stream headers in the file, and ffprobe.
    auto raw = ScanStreamHeaders(path);
    ASSERT_EQ(raw.size(), clip.StreamCount());
    EXPECT_EQ(raw[0].handler, clip.video.handler);
    EXPECT_EQ(raw[0].length, clip.video.length);
    const double probed = std::atof(Ffprobe(path, "-select_streams v:0 -show_entries stream=duration -of csv=p=0").c_str());
    EXPECT_EQ(clip.DurationSeconds(), static_cast<uint32_t>(std::floor(probed + 1e-9)));
    EXPECT_EQ(std::atoi(Ffprobe(path, "-select_streams v:0 -show_entries stream=nb_frames -of csv=p=0").c_str()),
              static_cast<int>(clip.video.length));
    if (m.audio) {
      EXPECT_EQ(clip.audio.handler, raw[1].handler);
      EXPECT_EQ(clip.audio.scale, raw[1].scale);
      EXPECT_EQ(clip.audio.rate, raw[1].rate);
      EXPECT_EQ(clip.audio.length, raw[1].length);
      EXPECT_EQ(clip.audio.frame, AviRect{});  // not written for audio
      EXPECT_EQ(clip.audio.seconds, SummarySeconds(raw[1].length, raw[1].rate, raw[1].scale));
    } else {
      const StreamSummary zero{};
      EXPECT_EQ(std::memcmp(&clip.audio, &zero, sizeof(StreamSummary)), 0);
    }

    ClipPicture thumb = ClipInfo::NewThumbnail();
    ASSERT_TRUE(clip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, Q(path))) << clip.ThumbnailError().toStdString();
    ExpectRedBlueThumbnail(ClipImage(thumb), ClipInfo::FitCell(clip.video.frame, ClipInfo::kThumbnailCell, QSize()), m.name);
    clip.Close();
    EXPECT_FALSE(clip.open);
    EXPECT_EQ(clip.videoIndex, -1);
  }
}

TEST(ClipInfo, DescriptionOfAnXvidClipWithPcm) {
  std::string path = CachedClip("ci-xvid-pcm16.avi", "-f lavfi -i '" + RedBlueFilter("640x480", "25") +
                                                         "' -f lavfi -i sine=r=44100:d=2 -c:v mpeg4 -vtag XVID -g 12 "
                                                         "-c:a pcm_s16le");
  ClipInfo clip;
  QString text = QStringLiteral("kept");
  clip.Describe(text);  // not open: unchanged
  EXPECT_EQ(text, QStringLiteral("kept"));
  ASSERT_TRUE(clip.Open(Q(path)));
  text.clear();
  clip.Describe(text);
  // ffmpeg names PCM audio by handler 1: the format names it, at 44100 x 16 bits mono.
  ASSERT_EQ(clip.audio.handler, 1u);
  EXPECT_EQ(text, QStringLiteral("Video  XVID, 25.00 Fps, 640 x 480. Audio  PCM 706 Kbps, "));

  SetRussianAvailable(true);
  SetCurrentLanguage(kLanguageRussian);
  text.clear();
  clip.Describe(text);
  SetCurrentLanguage(kLanguageEnglish);
  SetRussianAvailable(false);
  EXPECT_EQ(text, QString::fromUtf8("Видео  XVID, 25.00 кадр/с, 640 x 480  Звук PCM 706 Кбит/с, "));
}

// The audio's codec, sample rate, channels and bit rate as the format and the
// data say, for what three writers produce; the bit rate against the packets
// ffprobe reads (bytes x 8 / seconds), since nAvgBytesPerSec lies for ADPCM
// from the ffmpeg CLI and for VBR MP3.
TEST(ClipInfo, AudioFormatOfEveryWriter) {
  const std::string video = "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v mpeg4 ";
  const std::string gst =
      "gst-launch-1.0 -q videotestsrc num-buffers=50 ! video/x-raw,width=160,height=120,framerate=25/1 ! jpegenc ! "
      "avimux name=m ! filesink location={out} audiotestsrc num-buffers=86 ! audio/x-raw,rate=44100,channels=2 ! ";
  const struct {
    const char* name;
    std::string path;
    const char* codec;
    uint32_t rate;
    uint16_t channels;
  } cases[] = {
      {"ffmpeg pcm16", CachedClip("af-pcm16.avi", video + "-f lavfi -i sine=d=2 -c:a pcm_s16le -ac 2"), " PCM", 44100, 2},
      {"ffmpeg pcm8", CachedClip("af-pcm8.avi", video + "-f lavfi -i sine=d=2 -c:a pcm_u8 -ar 22050"), " PCM", 22050, 1},
      {"ffmpeg mp3 cbr", CachedClip("af-mp3.avi", video + "-f lavfi -i sine=d=2 -c:a libmp3lame -b:a 128k -ac 2"), " MP3", 44100, 2},
      {"ffmpeg mp3 vbr", CachedClip("af-mp3vbr.avi", video + "-f lavfi -i sine=d=2 -c:a libmp3lame -q:a 4"), " MP3", 44100, 1},
      {"ffmpeg ima", CachedClip("af-ima.avi", video + "-f lavfi -i sine=d=2 -c:a adpcm_ima_wav -ac 2"), " ADPCM IMA", 44100, 2},
      {"ffmpeg ms", CachedClip("af-ms.avi", video + "-f lavfi -i sine=d=2 -c:a adpcm_ms"), " ADPCM MS", 44100, 1},
      {"ffmpeg ac3", CachedClip("af-ac3.avi", video + "-f lavfi -i sine=d=2 -c:a ac3 -b:a 192k -ar 48000 -ac 2"), " AC-3", 48000, 2},
      {"gstreamer mp3", CachedCommandClip("af-gst-mp3.avi", GstMjpegMp3Command(50, 86)), " MP3", 44100, 2},
      {"gstreamer pcm", CachedCommandClip("af-gst-pcm.avi", gst + "m."), " PCM", 44100, 2},
      {"mencoder mp3", CachedCommandClip("af-men-mp3.avi", "mencoder -really-quiet " +
                                                           Quote(CachedClip("af-pcm16.avi", video + "-f lavfi -i sine=d=2 -c:a pcm_s16le -ac 2")) +
                                                           " -ovc lavc -lavcopts vcodec=mpeg4 -oac mp3lame -o {out}"),
       " MP3", 44100, 2},
      {"ffmpeg aac", CachedClip("af-aac.avi", video + "-f lavfi -i sine=d=2 -c:a aac -ac 2"), " AAC", 44100, 2},
      {"gstreamer aac", CachedCommandClip("af-gst-aac.avi", gst + "avenc_aac ! m."), " AAC", 44100, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.path.empty()) << "the writer failed";
    ClipInfo clip;
    ASSERT_TRUE(clip.Open(Q(c.path)));
    ASSERT_TRUE(clip.audioFormat.present);
    EXPECT_EQ(AudioCodecText(clip.audioFormat), QString::fromLatin1(c.codec));
    EXPECT_EQ(clip.audioFormat.sampleRate, c.rate);
    EXPECT_EQ(clip.audioFormat.channels, c.channels);
    double bytes = 0, seconds = 0;
    std::istringstream packets(Ffprobe(c.path, "-select_streams a:0 -show_entries packet=duration_time,size -of csv=p=0"));
    for (std::string line; std::getline(packets, line);) {
      seconds += std::atof(line.c_str());
      bytes += std::atof(line.c_str() + line.find(',') + 1);
    }
    ASSERT_GT(seconds, 0);
    const double kbps = bytes * 8 / seconds / 1000;
    EXPECT_NEAR(AudioKbps(clip.audioFormat), kbps, kbps * 0.03 + 1);
    QString text;
    clip.Describe(text);
    EXPECT_TRUE(text.contains(QStringLiteral(". Audio ") + QString::fromLatin1(c.codec) + AudioRateText(clip.audioFormat) +
                              QStringLiteral(", ")))
        << text.toStdString();
  }
  // The same MP3 under a frame-based (ffmpeg CLI: 32/1225) and a byte-based
  // (avimux: 1/16000) header: the same audio, no report line.
  ClipInfo frames, bytes;
  ASSERT_TRUE(frames.Open(Q(cases[2].path)) && bytes.Open(Q(cases[7].path)));
  EXPECT_NE(frames.audio.rate / std::max(frames.audio.scale, 1u), bytes.audio.rate / std::max(bytes.audio.scale, 1u));
  QString report;
  EXPECT_TRUE(CompareAudio(frames.audioFormat, bytes.audioFormat, report));
  EXPECT_TRUE(report.isEmpty());
}

TEST(ClipInfo, GStreamerAndMEncoderFiles) {
  std::string dir = TempDir("ci-writers");
  std::string raw = dir + "/redblue.yuv";
  ASSERT_EQ(MakeClip(raw, "-f lavfi -i '" + RedBlueFilter("320x240", "25") + "' -pix_fmt yuv420p -f rawvideo"), "");

  if (HaveCommand("gst-launch-1.0")) {
    // avimux leaves rcFrame empty and writes byte-based MP3 headers.
    std::string gst = dir + "/gst.avi";
    ASSERT_EQ(testsupport::Run("timeout 60 gst-launch-1.0 -q filesrc location=" + Quote(raw) +
                  " ! rawvideoparse width=320 height=240 format=i420 framerate=25/1 ! jpegenc ! avimux name=m ! "
                  "filesink location=" + Quote(gst) +
                  " audiotestsrc num-buffers=40 ! audio/x-raw,rate=44100,channels=2 ! lamemp3enc ! m. >/dev/null 2>&1"),
              0);
    ClipInfo clip;
    ASSERT_TRUE(clip.Open(Q(gst)));
    EXPECT_EQ(clip.video.handler, MakeFourCC('M', 'J', 'P', 'G'));
    EXPECT_EQ(clip.video.frame, (AviRect{0, 0, 320, 240}));  // filled from the format
    EXPECT_EQ(clip.video.length, 50u);
    EXPECT_EQ(clip.DurationSeconds(), 2u);
    EXPECT_EQ(clip.audioIndex, 1);
    EXPECT_EQ(clip.audio.length, ScanStreamHeaders(gst).at(1).length);
    ClipPicture thumb = ClipInfo::NewThumbnail();
    ASSERT_TRUE(clip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, Q(gst))) << clip.ThumbnailError().toStdString();
    ExpectRedBlueThumbnail(ClipImage(thumb), QRect(0, 0, 128, 96), "gstreamer");
  }
  if (HaveCommand("mencoder")) {
    std::string source = CachedClip("ci-xvid-pcm16.avi", "-f lavfi -i '" + RedBlueFilter("640x480", "25") +
                                                             "' -f lavfi -i sine=r=44100:d=2 -c:v mpeg4 -vtag XVID "
                                                             "-g 12 -c:a pcm_s16le");
    std::string men = dir + "/mencoder.avi";
    ASSERT_EQ(testsupport::Run("timeout 60 mencoder -really-quiet " + Quote(source) +
                  " -ovc lavc -lavcopts vcodec=mpeg4 -oac mp3lame -o " + Quote(men) + " >/dev/null 2>&1"),
              0);
    ClipInfo clip;
    ASSERT_TRUE(clip.Open(Q(men)));
    EXPECT_EQ(clip.video.handler, MakeFourCC('F', 'M', 'P', '4'));
    EXPECT_EQ(clip.video.frame, (AviRect{0, 0, 640, 480}));
    auto rawHeaders = ScanStreamHeaders(men);
    ASSERT_EQ(rawHeaders.size(), 2u);
    EXPECT_EQ(clip.audio.handler, rawHeaders[1].handler);
    EXPECT_EQ(clip.audio.scale, rawHeaders[1].scale);
    EXPECT_EQ(clip.audio.rate, rawHeaders[1].rate);
    EXPECT_EQ(clip.audio.start, rawHeaders[1].start);
    QString text;
    clip.Describe(text);
    EXPECT_TRUE(text.startsWith(QStringLiteral("Video  FMP4, 25.00 Fps, 640 x 480. Audio "))) << text.toStdString();
    ClipPicture thumb = ClipInfo::NewThumbnail();
    ASSERT_TRUE(clip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, Q(men))) << clip.ThumbnailError().toStdString();
    ExpectRedBlueThumbnail(ClipImage(thumb), QRect(0, 0, 128, 96), "mencoder");

    // A negative audio delay starts the video late (its dwStart): still decoded.
    std::string late = dir + "/mencoder-late-video.avi";
    ASSERT_EQ(testsupport::Run("timeout 60 mencoder -really-quiet " + Quote(source) +
                               " -ovc copy -oac mp3lame -audio-delay -0.3 -o " + Quote(late) + " >/dev/null 2>&1"),
              0);
    ASSERT_GT(ScanStreamHeaders(late).at(0).start, 0u);
    ClipInfo lateClip;
    ASSERT_TRUE(lateClip.Open(Q(late)));
    thumb = ClipInfo::NewThumbnail();
    ASSERT_TRUE(lateClip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, Q(late))) << lateClip.ThumbnailError().toStdString();
    ExpectRedBlueThumbnail(ClipImage(thumb), QRect(0, 0, 128, 96), "mencoder, late video");
  }
}

TEST(ClipInfo, ManyStreamsAreReadWhole) {
  // One video and five audio streams: all read, the last audio summarised.
  std::string path = CachedClip(
      "ci-six-streams.avi",
      "-f lavfi -i color=red:s=160x120:r=25:d=1 -f lavfi -i sine=r=8000:d=1 -f lavfi -i sine=r=11025:d=1 "
      "-f lavfi -i sine=r=16000:d=1 -f lavfi -i sine=r=22050:d=1 -f lavfi -i sine=r=32000:d=1 "
      "-map 0 -map 1 -map 2 -map 3 -map 4 -map 5 -c:v mpeg4 -c:a pcm_s16le");
  ASSERT_FALSE(path.empty());
  ClipInfo clip;
  ASSERT_TRUE(clip.Open(Q(path)));
  EXPECT_EQ(clip.StreamCount(), 6u);
  EXPECT_EQ(clip.videoIndex, 0);
  EXPECT_EQ(clip.audioIndex, 5);
  EXPECT_EQ(clip.audio.rate / clip.audio.scale, 32000u);
  ClipPicture thumb = ClipInfo::NewThumbnail();
  EXPECT_TRUE(clip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, Q(path)));

  // Two audio streams: the second one is summarised.
  std::string two = CachedClip("ci-two-audio.avi",
                               "-f lavfi -i color=red:s=160x120:r=25:d=1 -f lavfi -i sine=r=44100:d=1 -f lavfi -i "
                               "sine=r=22050:d=1 -map 0 -map 1 -map 2 -c:v mpeg4 -c:a:0 pcm_s16le -c:a:1 libmp3lame");
  ASSERT_TRUE(clip.Open(Q(two)));  // reopening closes first
  EXPECT_EQ(clip.StreamCount(), 3u);
  EXPECT_EQ(clip.audioIndex, 2);
  EXPECT_EQ(clip.audio.handler, ScanStreamHeaders(two).at(2).handler);
  EXPECT_EQ(clip.audio.rate, ScanStreamHeaders(two).at(2).rate);
}

TEST(ClipInfo, ClipsWithoutAPictureFailTheThumbnail) {
  std::string dir = TempDir("ci-nopicture");
  ClipPicture thumb = ClipInfo::NewThumbnail();
  ClipInfo clip;

  // Audio only: opens, no video stream, no thumbnail.
  std::string audioOnly = CachedClip("ci-audio-only.avi", "-f lavfi -i sine=d=1 -c:a pcm_s16le");
  ASSERT_TRUE(clip.Open(Q(audioOnly)));
  EXPECT_EQ(clip.videoIndex, -1);
  EXPECT_EQ(clip.audioIndex, 0);
  EXPECT_FALSE(clip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, Q(audioOnly)));
  EXPECT_FALSE(clip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, QString()));

  // A codec nobody decodes: the headers read, the picture does not.
  std::string xvid = CachedClip("ci-xvid-small.avi", "-f lavfi -i color=red:s=160x120:r=25:d=1 -c:v mpeg4 -vtag XVID");
  std::vector<uint8_t> bytes = ReadFile(xvid);
  for (size_t i = 0; i + 4 <= bytes.size() && i < 8192; ++i)
    if (std::memcmp(&bytes[i], "XVID", 4) == 0 || std::memcmp(&bytes[i], "xvid", 4) == 0) std::memcpy(&bytes[i], "QZQZ", 4);
  std::string unknown = dir + "/unknown.avi";
  WriteFile(unknown, bytes);
  ASSERT_TRUE(clip.Open(Q(unknown)));
  EXPECT_EQ(HandlerText(clip.video.handler), QStringLiteral(" QZQZ"));
  thumb = ClipInfo::NewThumbnail();
  EXPECT_FALSE(clip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, Q(unknown)));
  EXPECT_TRUE(clip.ThumbnailError().contains(QStringLiteral("QZQZ"))) << clip.ThumbnailError().toStdString();
  EXPECT_EQ(ClipImage(thumb).pixelColor(64, 48), QColor(Qt::black));  // nothing drawn
}

TEST(ClipInfo, BadFilesShowTheOpenError) {
  std::string dir = TempDir("ci-bad");
  std::string good = CachedClip("ci-xvid-small.avi", "-f lavfi -i color=red:s=160x120:r=25:d=1 -c:v mpeg4 -vtag XVID");
  std::vector<uint8_t> avi = ReadFile(good);
  ASSERT_GT(avi.size(), 400u);

  WriteFile(dir + "/empty.avi", {});
  std::vector<uint8_t> noise(5000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  WriteFile(dir + "/noise.avi", noise);
  std::string text = "This is not a video.\n";
  WriteFile(dir + "/text.avi", std::vector<uint8_t>(text.begin(), text.end()));
  WriteFile(dir + "/cut.avi", std::vector<uint8_t>(avi.begin(), avi.begin() + 200));
  std::vector<uint8_t> absurd = avi;
  for (size_t i = 0; i + 8 + 28 <= absurd.size(); ++i)
    if (std::memcmp(&absurd[i], "avih", 4) == 0) {
      absurd[i + 8 + 24] = absurd[i + 8 + 25] = absurd[i + 8 + 26] = absurd[i + 8 + 27] = 0xFF;  // dwStreams
      break;
    }
  WriteFile(dir + "/absurd.avi", absurd);
  QDir().mkpath(Q(dir + "/folder.avi"));

  const struct {
    const char* name;
    AviResult code;
  } cases[] = {
      {"empty.avi", AVIERR_FILEREAD},  {"noise.avi", AVIERR_BADFORMAT},   {"text.avi", AVIERR_BADFORMAT},
      {"cut.avi", AVIERR_FILEREAD},    {"absurd.avi", AVIERR_MEMORY},     {"folder.avi", AVIERR_FILEOPEN},
      {"missing.avi", AVIERR_FILEOPEN},
  };
  for (int language : {kLanguageEnglish, kLanguageRussian}) {
    SetRussianAvailable(true);
    SetCurrentLanguage(language);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      const QString path = Q(dir + "/" + c.name);
      MessageRecorder recorder;
      ClipInfo clip;
      EXPECT_FALSE(clip.Open(path));
      EXPECT_FALSE(clip.open);
      ASSERT_EQ(recorder.texts.size(), 1u);
      // A file cut short and an impossible stream count are told from what
      // the reader found (test_damagedfiles), not by the code's text.
      if (c.name == std::string("cut.avi") || c.name == std::string("absurd.avi"))
        EXPECT_NE(recorder.texts[0], OpenErrorText(c.code, path));
      else
        EXPECT_EQ(recorder.texts[0], OpenErrorText(c.code, path));
      EXPECT_TRUE(recorder.texts[0].endsWith(path));
      EXPECT_TRUE(recorder.texts[0].startsWith(language == kLanguageRussian ? QString::fromUtf8("Ошибка открытия. ")
                                                                            : QStringLiteral("Unable to open file. ")));
      // No thumbnail of a file that is not a clip either (FFmpeg reads past a
      // stream count it does not need, so that file is left out here).
      ClipPicture thumb = ClipInfo::NewThumbnail();
      if (c.code != AVIERR_MEMORY) {
        EXPECT_FALSE(clip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, path));
      }
    }
  }
  SetCurrentLanguage(kLanguageEnglish);
  SetRussianAvailable(false);
  // A failed open after a good one leaves nothing of the good one behind.
  MessageRecorder recorder;
  ClipInfo clip;
  ASSERT_TRUE(clip.Open(Q(good)));
  EXPECT_FALSE(clip.Open(Q(dir + "/noise.avi")));
  EXPECT_EQ(clip.videoIndex, -1);
  EXPECT_EQ(clip.video.handler, 0u);
}

TEST(ClipInfo, DamagedAndVanishedFilesNeverCrash) {
  std::string dir = TempDir("ci-damaged");
  std::string good = CachedClip("ci-damage-source.avi", "-f lavfi -i '" + RedBlueFilter("320x240", "25") +
                                                            "' -f lavfi -i sine=d=2 -c:v mpeg4 -bf 2 -c:a libmp3lame");
  ASSERT_FALSE(good.empty());
  const std::vector<uint8_t> bytes = ReadFile(good);
  MessageRecorder recorder;  // open errors are expected here
  int thumbnails = 0;
  for (int part = 1; part <= 12; ++part) {
    // Cut short at twelve points, and the same with a stretch of the data overwritten.
    for (bool scrambled : {false, true}) {
      std::vector<uint8_t> damaged(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() * part / 12));
      if (scrambled)
        for (size_t i = damaged.size() / 3; i < damaged.size() / 3 + 2000 && i < damaged.size(); ++i)
          damaged[i] = static_cast<uint8_t>(i * 7919);
      const std::string path = dir + "/damaged.avi";
      WriteFile(path, damaged);
      ClipInfo clip;
      if (!clip.Open(Q(path))) continue;
      ClipPicture thumb = ClipInfo::NewThumbnail();
      if (clip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, Q(path))) {
        ++thumbnails;
        // Whatever the damage, the first frame is the red one when it decodes.
        if (!scrambled) {
          EXPECT_TRUE(IsColour(ClipImage(thumb), 64, 48, Qt::red)) << part;
        }
      }
    }
  }
  EXPECT_GE(thumbnails, 6);  // from half the file on, the start is intact

  // The file goes away between the headers and the thumbnail.
  const std::string vanishing = dir + "/vanishing.avi";
  WriteFile(vanishing, bytes);
  ClipInfo clip;
  ASSERT_TRUE(clip.Open(Q(vanishing)));
  std::filesystem::remove(vanishing);
  ClipPicture thumb = ClipInfo::NewThumbnail();
  EXPECT_FALSE(clip.DrawThumbnail(thumb, ClipInfo::kThumbnailCell, Q(vanishing)));
  EXPECT_FALSE(clip.ThumbnailError().isEmpty());
}
