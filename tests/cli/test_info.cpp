// splicora-cli info, run as the user runs it, on clips from the ffmpeg CLI:
// the JSON against ffprobe, the comparison with the first file, thumbnails
// written as PNG, open errors, exit status and usage.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "clips/ClipTexts.h"
#include "tests/support/Fixtures.h"

using namespace testsupport;

namespace {

std::string RedBlue(const std::string& size, const std::string& rate) {
  return "-f lavfi -i 'color=red:s=" + size + ":r=" + rate + ":d=1[a];color=blue:s=" + size + ":r=" + rate +
         ":d=1[b];[a][b]concat=n=2:v=1:a=0'";
}

// ffprobe's view of one stream: key=value lines.
std::map<std::string, std::string> Probe(const std::string& path, const std::string& stream) {
  return ProbeFields(path, "-count_packets -select_streams " + stream +
                               " -show_entries stream=codec_tag_string,width,height,r_frame_rate,"
                               "nb_frames,duration,sample_rate,codec_name,channels,bit_rate");
}

int ProbeStreamCount(const std::string& path) {
  return std::atoi(Ffprobe(path, "-show_entries format=nb_streams -of csv=p=0").c_str());
}

// Runs the command; stdout only (messages go to stderr).
int RunInfo(const std::string& arguments, QJsonArray* json = nullptr, std::string* out = nullptr) {
  std::string text;
  int status = Run(Quote(CliPath()) + " " + arguments + " 2>/dev/null", &text);
  if (json) {
    QJsonParseError error;
    QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    *json = doc.array();
  }
  if (out) *out = text;
  return status;
}

}  // namespace

TEST(CliInfo, JsonAgreesWithFfprobe) {
  const std::vector<std::string> clips = {
      CachedClip("info-xvid.avi", RedBlue("640x480", "25") + " -f lavfi -i sine=r=44100:d=2 -c:v mpeg4 -vtag XVID "
                                                            "-c:a pcm_s16le"),
      CachedClip("info-div3.avi", RedBlue("320x240", "30000/1001") + " -f lavfi -i sine=r=22050:d=2 -c:v msmpeg4v3 "
                                                                      "-vtag DIV3 -c:a pcm_u8"),
      CachedClip("info-mjpeg.avi", RedBlue("200x200", "25") + " -c:v mjpeg"),
      CachedClip("info-h264.avi", RedBlue("320x240", "25") + " -f lavfi -i sine=d=2 -c:v libx264 -bf 2 "
                                                            "-pix_fmt yuv420p -c:a libmp3lame"),
  };
  std::string args = "info --json";
  for (const auto& clip : clips) {
    ASSERT_FALSE(clip.empty());
    args += " " + Quote(clip);
  }
  QJsonArray json;
  ASSERT_EQ(RunInfo(args, &json), 0);
  ASSERT_EQ(json.size(), static_cast<qsizetype>(clips.size()));
  for (size_t i = 0; i < clips.size(); ++i) {
    SCOPED_TRACE(clips[i]);
    const QJsonObject entry = json[static_cast<qsizetype>(i)].toObject();
    EXPECT_EQ(entry[QStringLiteral("path")].toString().toStdString(), clips[i]);
    EXPECT_TRUE(entry[QStringLiteral("open")].toBool());
    EXPECT_TRUE(entry[QStringLiteral("error")].isNull());
    EXPECT_TRUE(entry[QStringLiteral("thumbnail")].toBool());
    EXPECT_EQ(entry[QStringLiteral("streams")].toInt(), ProbeStreamCount(clips[i]));

    const auto video = Probe(clips[i], "v:0");
    const QJsonObject v = entry[QStringLiteral("video")].toObject();
    EXPECT_EQ(v[QStringLiteral("handler")].toString().toStdString(), video.at("codec_tag_string"));
    const QJsonArray frame = v[QStringLiteral("frame")].toArray();
    ASSERT_EQ(frame.size(), 4);
    EXPECT_EQ(frame[0].toInt(), 0);
    EXPECT_EQ(frame[1].toInt(), 0);
    EXPECT_EQ(frame[2].toInt(), std::stoi(video.at("width")));
    EXPECT_EQ(frame[3].toInt(), std::stoi(video.at("height")));
    // ffprobe reduces the rate; ours is the header's, e.g. 30000/1001 both.
    const std::string probedRate = video.at("r_frame_rate");
    const double probedFps = std::stod(probedRate.substr(0, probedRate.find('/'))) /
                             std::stod(probedRate.substr(probedRate.find('/') + 1));
    EXPECT_DOUBLE_EQ(v[QStringLiteral("rate")].toDouble() / v[QStringLiteral("scale")].toDouble(), probedFps);
    EXPECT_EQ(v[QStringLiteral("length")].toInt(), std::stoi(video.at("nb_frames")));
    EXPECT_EQ(v[QStringLiteral("start")].toInt(), 0);
    EXPECT_EQ(entry[QStringLiteral("duration_seconds")].toInt(),
              static_cast<int>(std::floor(std::stod(video.at("duration")) + 1e-9)));

    const QJsonValue audio = entry[QStringLiteral("audio")];
    if (ProbeStreamCount(clips[i]) == 1) {
      EXPECT_TRUE(audio.isNull());
    } else {
      const auto probed = Probe(clips[i], "a:0");
      const QJsonObject a = audio.toObject();
      EXPECT_EQ(a[QStringLiteral("frame")].toArray(), (QJsonArray{0, 0, 0, 0}));
      if (i < 2) {  // PCM: samples per second over the header's scale
        EXPECT_EQ(a[QStringLiteral("rate")].toInt() / a[QStringLiteral("scale")].toInt(),
                  std::stoi(probed.at("sample_rate")));
      }
      EXPECT_GT(a[QStringLiteral("length")].toInt(), 0);
      // The real format: name, sample rate, channels and bit rate as ffprobe reads them.
      const std::string codec = probed.at("codec_name");
      EXPECT_EQ(a[QStringLiteral("format")].toString().toStdString(), codec == "mp3" ? "MP3" : "PCM") << codec;
      EXPECT_EQ(a[QStringLiteral("sample_rate")].toInt(), std::stoi(probed.at("sample_rate")));
      EXPECT_EQ(a[QStringLiteral("channels")].toInt(), std::stoi(probed.at("channels")));
      EXPECT_EQ(a[QStringLiteral("bit_rate_kbps")].toInt(), (std::stoi(probed.at("bit_rate")) + 500) / 1000);
    }
  }
  // The first file is the reference; the others are compared with it.
  EXPECT_FALSE(json[0].toObject().contains(QStringLiteral("compare")));
  const QJsonObject div3 = json[1].toObject()[QStringLiteral("compare")].toObject();
  EXPECT_FALSE(div3[QStringLiteral("video_ok")].toBool());
  EXPECT_FALSE(div3[QStringLiteral("audio_ok")].toBool());
  EXPECT_EQ(div3[QStringLiteral("report")].toString(),
            QStringLiteral("Files format is not equal. \r Video: \r Codec for 1st file -  XVID, new file -  DIV3"
                           "\r Frame rate of 1st file - 25, new file - 29.97"
                           "\r Dimensions of 1st file 640 x 480, new file 320 x 240"
                           "\rAudio: \r Sample rate of 1st file - 44100, new file - 22050"));
  EXPECT_EQ(json[0].toObject()[QStringLiteral("description")].toString(),
            QStringLiteral("Video  XVID, 25.00 Fps, 640 x 480. Audio  PCM 706 Kbps, "));
}

TEST(CliInfo, SameFormatAndThumbnailFiles) {
  std::string a = CachedClip("info-same-a.avi", RedBlue("320x240", "25") + " -c:v mpeg4 -vtag xvid");
  std::string b = CachedClip("info-same-b.avi", RedBlue("320x240", "25") + " -c:v mpeg4 -vtag XVID -q:v 8");
  std::string dir = TempDir("info-thumbs");
  QJsonArray json;
  ASSERT_EQ(RunInfo("info --json --thumbnails " + Quote(dir + "/out") + " " + Quote(a) + " " + Quote(b) + " " + Quote(a),
                   &json),
            0);
  ASSERT_EQ(json.size(), 3);
  const QJsonObject compare = json[1].toObject()[QStringLiteral("compare")].toObject();
  EXPECT_TRUE(compare[QStringLiteral("video_ok")].toBool());  // xvid and XVID are the same codec
  EXPECT_TRUE(compare[QStringLiteral("audio_ok")].toBool());
  EXPECT_EQ(compare[QStringLiteral("report")].toString(), QStringLiteral("Files format is not equal. "));

  // One PNG per file, the same name twice made unique.
  QStringList pngs = QDir(QString::fromStdString(dir + "/out")).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name);
  ASSERT_EQ(pngs.size(), 3) << pngs.join(QLatin1Char(' ')).toStdString();
  for (const QString& name : pngs) {
    QImage png(QString::fromStdString(dir + "/out/") + name);
    ASSERT_EQ(png.size(), QSize(256, 96)) << name.toStdString();
    QColor left = png.pixelColor(64, 48), right = png.pixelColor(192, 48);
    EXPECT_GT(left.red(), 200);
    EXPECT_LT(left.blue(), 60);
    EXPECT_GT(right.blue(), 200);
    EXPECT_LT(right.red(), 60);
  }
}

TEST(CliInfo, OpenErrorsExitStatusAndUsage) {
  std::string dir = TempDir("info-bad");
  std::string good = CachedClip("info-same-a.avi", RedBlue("320x240", "25") + " -c:v mpeg4 -vtag xvid");
  WriteFile(dir + "/text.avi", std::vector<uint8_t>(64, 'x'));
  QDir().mkpath(QString::fromStdString(dir + "/folder.avi"));
  const std::string missing = dir + "/missing.avi";

  QJsonArray json;
  std::string out;
  ASSERT_EQ(RunInfo("info --json " + Quote(dir + "/text.avi") + " " + Quote(good) + " " + Quote(dir + "/folder.avi") +
                       " " + Quote(missing),
                   &json, &out),
            1);
  ASSERT_EQ(json.size(), 4);
  const QJsonObject text = json[0].toObject();
  EXPECT_FALSE(text[QStringLiteral("open")].toBool());
  EXPECT_EQ(text[QStringLiteral("error")].toString(),
            OpenErrorText(media::AVIERR_BADFORMAT, QString::fromStdString(dir + "/text.avi")));
  EXPECT_TRUE(text[QStringLiteral("video")].isNull());
  EXPECT_FALSE(text[QStringLiteral("thumbnail")].toBool());
  // A file that did not open is not the reference: the good clip is.
  EXPECT_FALSE(json[1].toObject().contains(QStringLiteral("compare")));
  EXPECT_TRUE(json[1].toObject()[QStringLiteral("open")].toBool());
  EXPECT_EQ(json[2].toObject()[QStringLiteral("error")].toString(),
            OpenErrorText(media::AVIERR_FILEOPEN, QString::fromStdString(dir + "/folder.avi")));
  EXPECT_TRUE(json[3].toObject()[QStringLiteral("compare")].isNull());
  EXPECT_EQ(json[3].toObject()[QStringLiteral("error")].toString(),
            OpenErrorText(media::AVIERR_FILEOPEN, QString::fromStdString(missing)));

  // The message itself goes to stderr, never into the JSON on stdout.
  std::string err;
  testsupport::Run(Quote(CliPath()) + " info --json " + Quote(dir + "/text.avi") + " 2>&1 >/dev/null", &err);
  EXPECT_NE(err.find("Error: Unable to open file. \nThis is not an AVI file.\n" + dir + "/text.avi"), std::string::npos) << err;

  // Text mode and all files good.
  ASSERT_EQ(RunInfo("info " + Quote(good), nullptr, &out), 0);
  EXPECT_NE(out.find("Video  xvid, 25.00 Fps, 320 x 240. No audio,  00:00:02"), std::string::npos) << out;

  EXPECT_EQ(RunInfo("info"), 2);
  EXPECT_EQ(RunInfo("info --bogus " + Quote(good)), 2);
  EXPECT_EQ(RunInfo("info --thumbnails"), 2);
}
