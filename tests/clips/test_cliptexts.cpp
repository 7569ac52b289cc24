// The description texts, the open-error message and the format check, in
// both interface languages, with the exact words the user reads.
#include <gtest/gtest.h>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "clips/ClipInfo.h"
#include "clips/ClipTexts.h"
#include "clips/CompareStreams.h"
#include "tests/support/Fixtures.h"
#include "tests/support/InterfaceLanguage.h"

using namespace media;

// Readable failures: the text, with "\r" shown as such.
void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << QString(text).replace(QLatin1Char('\r'), QStringLiteral("\\r")).toStdString() << '"';
}

namespace {

QString S(const char* utf8) { return QString::fromUtf8(utf8); }

StreamSummary Video(const char* fourcc, uint32_t rate, uint32_t scale, AviRect frame) {
  StreamSummary s;
  s.handler = MakeFourCC(fourcc[0], fourcc[1], fourcc[2], fourcc[3]);
  s.rate = rate;
  s.scale = scale;
  s.frame = frame;
  return s;
}

StreamSummary Audio(uint32_t handler, uint32_t rate, uint32_t scale) {
  StreamSummary s;
  s.handler = handler;
  s.rate = rate;
  s.scale = scale;
  return s;
}

using testsupport::Language;

const QString kFormatNotEqual = S("Files format is not equal. ");

}  // namespace

TEST(ClipTexts, HandlerText) {
  EXPECT_EQ(HandlerText(MakeFourCC('X', 'V', 'I', 'D')), S(" XVID"));
  EXPECT_EQ(HandlerText(0), S(" "));
  EXPECT_EQ(HandlerText(MakeFourCC('M', '\0', 'J', 'P')), S(" MJP"));  // zero bytes skipped, later ones kept
  EXPECT_EQ(HandlerText(MakeFourCC('d', 'i', 'v', '\0')), S(" div"));
  // Control characters and bytes past ASCII are left out, printable ones kept.
  EXPECT_EQ(HandlerText(MakeFourCC('\x80', 'A', '\xff', '\0')), S(" A"));
  EXPECT_EQ(HandlerText(0x00000001), S(" "));
  EXPECT_EQ(HandlerText(MakeFourCC('\x1b', 'M', 'P', '3')), S(" MP3"));
}

TEST(ClipTexts, RateSizeAudioAndTimeTexts) {
  EXPECT_EQ(FrameRateText(Video("XVID", 25, 1, {})), S(", 25.00 Fps"));
  EXPECT_EQ(FrameRateText(Video("XVID", 30000, 1001, {})), S(", 29.97 Fps"));
  EXPECT_EQ(FrameRateText(Video("XVID", 2997, 100, {})), S(", 29.97 Fps"));
  EXPECT_EQ(FrameSizeText(Video("XVID", 25, 1, {0, 0, 640, 480})), S(", 640 x 480"));
  EXPECT_EQ(FrameSizeText(Video("XVID", 25, 1, {8, 4, 648, 484})), S(", 640 x 480"));

  // The real bit rate in kbit/s, rounded.
  AudioFormat audio;
  for (auto [bits, text] : {std::pair{1411200u, " 1411 Kbps"}, {128000u, " 128 Kbps"}, {127600u, " 128 Kbps"}, {0u, " 0 Kbps"}}) {
    audio.bitsPerSecond = bits;
    EXPECT_EQ(AudioRateText(audio), S(text));
  }
  // The codec by its format tag; the handler only where the tag has no name.
  audio.handler = 0x00000001;
  for (auto [tag, text] : {std::pair{0x0001, " PCM"}, {0x0055, " MP3"}, {0x2000, " AC-3"}, {0x0011, " ADPCM IMA"},
                           {0x0002, " ADPCM MS"}, {0x00FF, " AAC"}, {0x4143, " 0x4143"}}) {
    audio.formatTag = static_cast<uint16_t>(tag);
    EXPECT_EQ(AudioCodecText(audio), S(text));
  }
  audio.handler = MakeFourCC('a', 'b', 'c', '\x02');
  EXPECT_EQ(AudioCodecText(audio), S(" abc"));

  EXPECT_EQ(TimeText(3725), S(" 01:02:05"));
  EXPECT_EQ(TimeText(0), S(" 00:00:00"));
  EXPECT_EQ(TimeText(360000), S(" 100:00:00"));
  EXPECT_EQ(TimeText(86399), S(" 23:59:59"));
}

TEST(ClipTexts, SecondsAndDurationTruncate) {
  EXPECT_EQ(SummarySeconds(250, 25, 1), 10u);
  EXPECT_EQ(SummarySeconds(249, 25, 1), 9u);
  EXPECT_EQ(SummarySeconds(300, 30000, 1001), 10u);  // 10.01 s
  EXPECT_EQ(SummarySeconds(44100 * 3, 44100, 1), 3u);
  // 10 x length wraps in 32 bits: 500000000 x 10 = 705032704 (mod 2^32).
  EXPECT_EQ(SummarySeconds(500000000, 1, 1), 70503270u);
  // A zero rate or scale gives 0 rather than undefined arithmetic.
  EXPECT_EQ(SummarySeconds(100, 0, 1), 0u);
  EXPECT_EQ(SummarySeconds(100, 25, 0), 0u);
  EXPECT_EQ(SummarySeconds(0, 0, 0), 0u);

  ClipInfo clip;
  clip.video = Video("XVID", 25, 1, {0, 0, 320, 240});
  clip.video.length = 250;
  EXPECT_EQ(clip.DurationSeconds(), 10u);
  clip.video.length = 249;
  EXPECT_EQ(clip.DurationSeconds(), 9u);
  clip.video.rate = 0;
  EXPECT_EQ(clip.DurationSeconds(), 0u);
  EXPECT_EQ(TruncToU32(1e12), 4294967295u);
  EXPECT_EQ(TruncToU32(-3), 0u);
}

TEST(ClipTexts, FitCell) {
  const QSize cell(128, 96), none;
  EXPECT_EQ(ClipInfo::FitCell({0, 0, 320, 240}, cell, none), QRect(0, 0, 128, 96));
  EXPECT_EQ(ClipInfo::FitCell({0, 0, 720, 400}, cell, none), QRect(0, 12, 128, 71));
  EXPECT_EQ(ClipInfo::FitCell({0, 0, 200, 200}, cell, none), QRect(16, 0, 96, 96));
  EXPECT_EQ(ClipInfo::FitCell({0, 0, 161, 121}, cell, none), QRect(0, 0, 128, 96));  // trunc(128 / 1.3306) = 96
  EXPECT_EQ(ClipInfo::FitCell({0, 0, 96, 480}, cell, none), QRect(54, 0, 19, 96));
  // An empty rectangle takes the decoded picture's shape.
  EXPECT_EQ(ClipInfo::FitCell({0, 0, 0, 0}, cell, QSize(200, 200)), QRect(16, 0, 96, 96));
  EXPECT_EQ(ClipInfo::FitCell({0, 0, 0, 0}, cell, QSize()), QRect(0, 0, 128, 96));
}

TEST(ClipTexts, OpenErrorTextsInBothLanguages) {
  // The codes explain a file that is there, readable, and AVI by its first bytes.
  const std::string dir = testsupport::TempDir("open-error-texts");
  const std::string header("RIFF\x10\0\0\0AVI LIST", 16);
  testsupport::WriteFile(dir + "/a.avi", std::vector<uint8_t>(header.begin(), header.end()));
  const QString path = QString::fromStdString(dir + "/a.avi");
  const QString end = QLatin1Char('\r') + path;  // the path on a line of its own
  EXPECT_EQ(OpenErrorText(AVIERR_BADFORMAT, path),
            S("Unable to open file. \rThe file couldn't be read, indicating a corrupt file or an unrecognized "
              "format.") + end);
  EXPECT_EQ(OpenErrorText(AVIERR_MEMORY, path),
            S("Unable to open file. \rThe file could not be opened because of insufficient memory.") + end);
  EXPECT_EQ(OpenErrorText(AVIERR_FILEREAD, path), S("Unable to open file. \rA disk error occurred while reading the file.") + end);
  EXPECT_EQ(OpenErrorText(AVIERR_FILEOPEN, path), S("Unable to open file. \rA disk error occurred while opening the file.") + end);
  EXPECT_EQ(OpenErrorText(REGDB_E_CLASSNOTREG, path),
            S("Unable to open file. \rAccording to the registry, the type of file \rspecified in AVI does not have "
              "a handler to process it.") + end);
  EXPECT_EQ(OpenErrorText(AVIERR_UNSUPPORTED, path), S("Unable to open file. ") + end);
  // What is wrong with the path itself comes before any code.
  EXPECT_EQ(OpenErrorText(AVIERR_FILEOPEN, S("/no/such/clip.avi")),
            S("Unable to open file. \rThe file does not exist.\r/no/such/clip.avi"));

  Language russian(kLanguageRussian);
  EXPECT_EQ(OpenErrorText(AVIERR_BADFORMAT, path),
            S("Ошибка открытия. Файл поврежден или имеет неправильный формат и не может быть открыт...") + end);
  EXPECT_EQ(OpenErrorText(AVIERR_MEMORY, path), S("Ошибка открытия. Недостаточно памяти для открытия файла...") + end);
  EXPECT_EQ(OpenErrorText(AVIERR_FILEREAD, path), S("Ошибка открытия. Ошибка чтения диска...") + end);
  EXPECT_EQ(OpenErrorText(AVIERR_FILEOPEN, path), S("Ошибка открытия. Ошибка чтения диска...") + end);
  EXPECT_EQ(OpenErrorText(REGDB_E_CLASSNOTREG, path),
            S("Ошибка открытия. Нет подходящего драйвера для чтения этого видеофайла.") + end);
  EXPECT_EQ(OpenErrorText(0x1234, path), S("Ошибка открытия. ") + end);

  // Shown without owner, caption "Error" in the interface language, error icon.
  struct Shown {
    QObject* owner;
    QString text, caption;
    unsigned icon;
  };
  std::vector<Shown> shown;
  MessageBoxHandler previous = SetMessageBoxHandler([&](QObject* owner, const QString& text, const QString& caption,
                                                        unsigned icon) {
    shown.push_back({owner, text, caption, icon});
    return IDOK;
  });
  ShowOpenError(AVIERR_FILEREAD, path);
  SetMessageBoxHandler(previous);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].owner, nullptr);
  EXPECT_EQ(shown[0].caption, S("Ошибка"));
  EXPECT_EQ(shown[0].icon, MB_ICONERROR);
  EXPECT_EQ(shown[0].text, S("Ошибка открытия. Ошибка чтения диска...") + end);
}

TEST(CompareStreams, TheExampleReport) {
  // An XVID 640 x 480 list, then a DIV3 320 x 240 clip with the same audio.
  StreamSummary refVideo = Video("XVID", 25, 1, {0, 0, 640, 480});
  StreamSummary newVideo = Video("DIV3", 25, 1, {0, 0, 320, 240});
  StreamSummary pcm = Audio(0, 44100, 1);
  QString report = LanguageText(146, kFormatNotEqual);
  EXPECT_FALSE(CompareStreams(true, refVideo, newVideo, report));
  EXPECT_TRUE(CompareStreams(false, pcm, pcm, report));
  EXPECT_EQ(report, S("Files format is not equal. \r Video: \r Codec for 1st file -  XVID, new file -  DIV3"
                      "\r Dimensions of 1st file 640 x 480, new file 320 x 240"));
}

TEST(CompareStreams, CodecRateAndFrameRules) {
  QString report;
  // Letter case alone is no difference.
  EXPECT_TRUE(CompareStreams(true, Video("xvid", 25, 1, {0, 0, 64, 48}), Video("XVID", 25, 1, {0, 0, 64, 48}), report));
  EXPECT_EQ(report, S(""));  // a heading only above lines of its own

  report.clear();
  EXPECT_FALSE(CompareStreams(true, Video("XVID", 25, 1, {0, 0, 64, 48}), Video("XVID", 2997, 100, {0, 0, 64, 48}), report));
  EXPECT_EQ(report, S("\r Video: \r Frame rate of 1st file - 25, new file - 29.97"));
  report.clear();  // a frame rate reads as frames per second, in both languages
  EXPECT_FALSE(CompareStreams(true, Video("XVID", 30000, 1001, {0, 0, 64, 48}), Video("XVID", 50, 1, {0, 0, 64, 48}), report));
  EXPECT_EQ(report, S("\r Video: \r Frame rate of 1st file - 29.97, new file - 50"));
  SetRussianAvailable(true);
  SetCurrentLanguage(kLanguageRussian);
  report.clear();
  EXPECT_FALSE(CompareStreams(true, Video("XVID", 25, 1, {0, 0, 64, 48}), Video("XVID", 24000, 1001, {0, 0, 64, 48}), report));
  EXPECT_EQ(report, S("Видео \r Частота кадров 1-го файла - 25, нового файла - 23.98"));
  EXPECT_EQ(FrameRateText(Video("XVID", 25, 1, {})), S(", 25.00 кадр/с"));
  SetCurrentLanguage(kLanguageEnglish);
  SetRussianAvailable(false);

  report.clear();  // 30000/1001 and 2997/100 are both 29 whole frames
  EXPECT_TRUE(CompareStreams(true, Video("XVID", 30000, 1001, {0, 0, 64, 48}), Video("XVID", 2997, 100, {0, 0, 64, 48}), report));

  report.clear();  // a zero scale skips the rate test
  EXPECT_TRUE(CompareStreams(true, Video("XVID", 25, 0, {0, 0, 64, 48}), Video("XVID", 30, 1, {0, 0, 64, 48}), report));

  report.clear();  // same width, shifted rectangle
  EXPECT_FALSE(CompareStreams(true, Video("XVID", 25, 1, {0, 0, 640, 480}), Video("XVID", 25, 1, {8, 0, 648, 480}), report));
  EXPECT_EQ(report, S("\r Video: \r Dimensions of 1st file 640 x 480, new file 648 x 480"));
}

TEST(CompareStreams, AudioHeaderOnlyWithADifference) {
  QString report = S("start");
  // Two handlers of 0: equal texts, no codec line; matching audio leaves no trace.
  EXPECT_TRUE(CompareStreams(false, Audio(0, 44100, 1), Audio(0, 44100, 1), report));
  EXPECT_EQ(report, S("start"));

  EXPECT_FALSE(CompareStreams(false, Audio(0, 44100, 1), Audio(0x55, 22050, 1), report));
  // The codec line shows the handler texts (0x55 is the letter U).
  EXPECT_EQ(report, S("start\rAudio: \r Codec for 1st file -  , new file -  U\r Sample rate of 1st file - 44100, "
                      "new file - 22050"));

  // A clip without audio after one with audio: zeroed summary, scale 0 skips the rate.
  report.clear();
  EXPECT_TRUE(CompareStreams(false, Audio(0, 44100, 1), StreamSummary{}, report));
  EXPECT_EQ(report, QString());
  report.clear();
  EXPECT_FALSE(CompareStreams(false, Audio(0x55, 48000, 1152), StreamSummary{}, report));
  EXPECT_EQ(report, S("\rAudio: \r Codec for 1st file -  U, new file -  "));

  // An audio-only difference after matching video: no empty video heading, the audio header, its line.
  report = LanguageText(146, kFormatNotEqual);
  StreamSummary v = Video("XVID", 25, 1, {0, 0, 64, 48});
  EXPECT_TRUE(CompareStreams(true, v, v, report));
  EXPECT_FALSE(CompareStreams(false, Audio(0, 44100, 1), Audio(0, 48000, 1), report));
  EXPECT_EQ(report, S("Files format is not equal. \rAudio: \r Sample rate of 1st file - 44100, new file - 48000"));
}

TEST(CompareAudio, RealValuesAndMissingAudioInWords) {
  auto format = [](uint16_t tag, uint32_t rate, uint16_t channels, uint32_t handler = 1) {
    AudioFormat a;
    a.present = true;
    a.formatTag = tag;
    a.sampleRate = rate;
    a.channels = channels;
    a.handler = handler;
    a.bitsPerSecond = 128000;
    return a;
  };
  const AudioFormat mp3 = format(0x55, 44100, 2);
  const struct {
    const char* name;
    AudioFormat reference, candidate;
    const char* english;
    const char* russian;
  } cases[] = {
      // Same MP3 under another handler (0x01 from the ffmpeg CLI, 'U' from GStreamer): no difference.
      {"same", mp3, format(0x55, 44100, 2, 'U'), "", ""},
      {"rate", mp3, format(0x55, 48000, 2), "\rAudio: \r Sample rate of 1st file - 44100, new file - 48000",
       "\r Звук\r Частота 1-го файла - 44100, нового файла - 48000"},
      {"codec and channels", mp3, format(0x01, 44100, 1),
       "\rAudio: \r Codec for 1st file -  MP3, new file -  PCM\r Channels of 1st file - 2, new file - 1",
       "\r Звук\r Кодек 1-го файла -  MP3, нового файла -  PCM\r Каналов у 1-го файла - 2, у нового файла - 1"},
      {"new without", mp3, AudioFormat{}, "\rAudio: \r The new file has no audio", "\r Звук\r У нового файла нет звука"},
      {"first without", AudioFormat{}, mp3, "\rAudio: \r The 1st file has no audio, the new file has",
       "\r Звук\r У 1-го файла нет звука, у нового есть"},
      {"neither", AudioFormat{}, AudioFormat{}, "", ""},
  };
  for (int language : {kLanguageEnglish, kLanguageRussian}) {
    Language chosen(language);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (language ? " ru" : " en"));
      QString report = S("start");
      const QString expected = S(language ? c.russian : c.english);
      EXPECT_EQ(CompareAudio(c.reference, c.candidate, report), expected.isEmpty());
      EXPECT_EQ(report, S("start") + expected);
    }
  }
}

TEST(CompareStreams, RussianHeaders) {
  Language russian(kLanguageRussian);
  QString report = LanguageText(146, kFormatNotEqual);
  EXPECT_FALSE(CompareStreams(true, Video("XVID", 25, 1, {0, 0, 640, 480}), Video("XVID", 25, 1, {0, 0, 320, 240}), report));
  EXPECT_FALSE(CompareStreams(false, Audio(0, 44100, 1), Audio(0, 22050, 1), report));
  EXPECT_EQ(report, S("Формат фрагментов не одинаков!\r Видео \r Размер кадра 1-го файла 640 x 480, нового файла 320 x 240"
                      "\r Звук\r Частота 1-го файла - 44100, нового файла - 22050"));
}
