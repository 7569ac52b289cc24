// The description texts, the open-error message and the format check, in
// both interface languages, with the exact words the user reads.
#include <gtest/gtest.h>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "clips/ClipInfo.h"
#include "clips/ClipTexts.h"
#include "clips/CompareStreams.h"

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

// Switches the interface language for one test and back.
class Language {
 public:
  explicit Language(int language) {
    SetRussianAvailable(true);
    SetCurrentLanguage(language);
  }
  ~Language() {
    SetCurrentLanguage(kLanguageEnglish);
    SetRussianAvailable(false);
  }
};

const QString kFormatNotEqual = S("Files format is not equal. ");

}  // namespace

TEST(ClipTexts, HandlerText) {
  EXPECT_EQ(HandlerText(MakeFourCC('X', 'V', 'I', 'D')), S(" XVID"));
  EXPECT_EQ(HandlerText(0), S(" "));
  EXPECT_EQ(HandlerText(MakeFourCC('M', '\0', 'J', 'P')), S(" MJP"));  // zero bytes skipped, later ones kept
  EXPECT_EQ(HandlerText(MakeFourCC('d', 'i', 'v', '\0')), S(" div"));
  // Bytes from 0x80 are widened as signed: U+FF80 and up.
  QString high = HandlerText(MakeFourCC('\x80', 'A', '\xff', '\0'));
  ASSERT_EQ(high.size(), 4);
  EXPECT_EQ(high[1].unicode(), 0xFF80);
  EXPECT_EQ(high[2], QLatin1Char('A'));
  EXPECT_EQ(high[3].unicode(), 0xFFFF);
}

TEST(ClipTexts, RateSizeAudioAndTimeTexts) {
  EXPECT_EQ(FrameRateText(Video("XVID", 25, 1, {})), S(", 25.00 Fps"));
  EXPECT_EQ(FrameRateText(Video("XVID", 30000, 1001, {})), S(", 29.97 Fps"));
  EXPECT_EQ(FrameRateText(Video("XVID", 2997, 100, {})), S(", 29.97 Fps"));
  EXPECT_EQ(FrameSizeText(Video("XVID", 25, 1, {0, 0, 640, 480})), S(", 640 x 480"));
  EXPECT_EQ(FrameSizeText(Video("XVID", 25, 1, {8, 4, 648, 484})), S(", 640 x 480"));

  EXPECT_EQ(AudioRateText(Audio(0, 44100, 1)), S(" 441 Kbps"));
  EXPECT_EQ(AudioRateText(Audio(0x55, 44100, 1152)), S(" 441 Kbps"));  // q = 38, k = 0: rate / 100
  EXPECT_EQ(AudioRateText(Audio(0, 8000, 1)), S(" 80 Kbps"));
  EXPECT_EQ(AudioRateText(Audio(0x55, 16000, 1)), S(" 160 Kbps"));
  // No audio stream: a zeroed summary gives 0, not a division fault.
  EXPECT_EQ(AudioRateText(StreamSummary{}), S(" 0 Kbps"));

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
  const QString path = S("/clips/a.avi");
  EXPECT_EQ(OpenErrorText(AVIERR_BADFORMAT, path),
            S("Unable to open file. \rThe file couldn't be read, indicating a corrupt file or an unrecognized "
              "format./clips/a.avi"));
  EXPECT_EQ(OpenErrorText(AVIERR_MEMORY, path),
            S("Unable to open file. \rThe file could not be opened because of insufficient memory./clips/a.avi"));
  EXPECT_EQ(OpenErrorText(AVIERR_FILEREAD, path),
            S("Unable to open file. \rA disk error occurred while reading the file./clips/a.avi"));
  EXPECT_EQ(OpenErrorText(AVIERR_FILEOPEN, path),
            S("Unable to open file. \rA disk error occurred while opening the file./clips/a.avi"));
  EXPECT_EQ(OpenErrorText(REGDB_E_CLASSNOTREG, path),
            S("Unable to open file. \rAccording to the registry, the type of file \rspecified in AVI does not have "
              "a handler to process it./clips/a.avi"));
  EXPECT_EQ(OpenErrorText(AVIERR_UNSUPPORTED, path), S("Unable to open file. /clips/a.avi"));

  Language russian(kLanguageRussian);
  EXPECT_EQ(OpenErrorText(AVIERR_BADFORMAT, path),
            S("Ошибка открытия. Файл поврежден или имеет неправильный формат и не может быть открыт.../clips/a.avi"));
  EXPECT_EQ(OpenErrorText(AVIERR_MEMORY, path), S("Ошибка открытия. Недостаточно памяти для открытия файла.../clips/a.avi"));
  EXPECT_EQ(OpenErrorText(AVIERR_FILEREAD, path), S("Ошибка открытия. Ошибка чтения диска.../clips/a.avi"));
  EXPECT_EQ(OpenErrorText(AVIERR_FILEOPEN, path), S("Ошибка открытия. Ошибка чтения диска.../clips/a.avi"));
  EXPECT_EQ(OpenErrorText(REGDB_E_CLASSNOTREG, path),
            S("Ошибка открытия. Нет подходящего драйвера для чтения этого видеофайла./clips/a.avi"));
  EXPECT_EQ(OpenErrorText(0x1234, path), S("Ошибка открытия. /clips/a.avi"));

  // Shown without owner, caption "Error" in both languages, error icon.
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
  EXPECT_EQ(shown[0].caption, S("Error"));
  EXPECT_EQ(shown[0].icon, MB_ICONERROR);
  EXPECT_EQ(shown[0].text, S("Ошибка открытия. Ошибка чтения диска.../clips/a.avi"));
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
                      "\r Dimentions of 1-st file 640 x 480, new file 320 x 240"));
}

TEST(CompareStreams, CodecRateAndFrameRules) {
  QString report;
  // Letter case alone is no difference.
  EXPECT_TRUE(CompareStreams(true, Video("xvid", 25, 1, {0, 0, 64, 48}), Video("XVID", 25, 1, {0, 0, 64, 48}), report));
  EXPECT_EQ(report, S("\r Video: "));  // the video header stays

  report.clear();
  EXPECT_FALSE(CompareStreams(true, Video("XVID", 25, 1, {0, 0, 64, 48}), Video("XVID", 2997, 100, {0, 0, 64, 48}), report));
  EXPECT_EQ(report, S("\r Video: \r Samples rate of 1st file - 25, new file - 2997"));

  report.clear();  // 30000/1001 and 2997/100 are both 29 whole frames
  EXPECT_TRUE(CompareStreams(true, Video("XVID", 30000, 1001, {0, 0, 64, 48}), Video("XVID", 2997, 100, {0, 0, 64, 48}), report));

  report.clear();  // a zero scale skips the rate test
  EXPECT_TRUE(CompareStreams(true, Video("XVID", 25, 0, {0, 0, 64, 48}), Video("XVID", 30, 1, {0, 0, 64, 48}), report));

  report.clear();  // same width, shifted rectangle
  EXPECT_FALSE(CompareStreams(true, Video("XVID", 25, 1, {0, 0, 640, 480}), Video("XVID", 25, 1, {8, 0, 648, 480}), report));
  EXPECT_EQ(report, S("\r Video: \r Dimentions of 1-st file 640 x 480, new file 648 x 480"));
}

TEST(CompareStreams, AudioHeaderOnlyWithADifference) {
  QString report = S("start");
  // Two handlers of 0: equal texts, no codec line; matching audio leaves no trace.
  EXPECT_TRUE(CompareStreams(false, Audio(0, 44100, 1), Audio(0, 44100, 1), report));
  EXPECT_EQ(report, S("start"));

  EXPECT_FALSE(CompareStreams(false, Audio(0, 44100, 1), Audio(0x55, 22050, 1), report));
  // The codec line shows the handler texts (0x55 is the letter U).
  EXPECT_EQ(report, S("start\rAudio: \r Codec for 1st file -  , new file -  U\r Samples rate of 1st file - 44100, "
                      "new file - 22050"));

  // A clip without audio after one with audio: zeroed summary, scale 0 skips the rate.
  report.clear();
  EXPECT_TRUE(CompareStreams(false, Audio(0, 44100, 1), StreamSummary{}, report));
  EXPECT_EQ(report, QString());
  report.clear();
  EXPECT_FALSE(CompareStreams(false, Audio(0x55, 48000, 1152), StreamSummary{}, report));
  EXPECT_EQ(report, S("\rAudio: \r Codec for 1st file -  U, new file -  "));

  // An audio-only difference after matching video: video header, audio header, audio line.
  report = LanguageText(146, kFormatNotEqual);
  StreamSummary v = Video("XVID", 25, 1, {0, 0, 64, 48});
  EXPECT_TRUE(CompareStreams(true, v, v, report));
  EXPECT_FALSE(CompareStreams(false, Audio(0, 44100, 1), Audio(0, 48000, 1), report));
  EXPECT_EQ(report, S("Files format is not equal. \r Video: \rAudio: \r Samples rate of 1st file - 44100, new file - 48000"));
}

TEST(CompareStreams, RussianHeaders) {
  Language russian(kLanguageRussian);
  QString report = LanguageText(146, kFormatNotEqual);
  EXPECT_FALSE(CompareStreams(true, Video("XVID", 25, 1, {0, 0, 640, 480}), Video("XVID", 25, 1, {0, 0, 320, 240}), report));
  EXPECT_FALSE(CompareStreams(false, Audio(0, 44100, 1), Audio(0, 22050, 1), report));
  EXPECT_EQ(report, S("Формат фрагментов не одинаков!\r Видео \r Dimentions of 1-st file 640 x 480, new file 320 x 240"
                      "\r Звук\r Samples rate of 1st file - 44100, new file - 22050"));
}
