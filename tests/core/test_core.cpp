// The widget-free shell pieces: interface texts in both languages, the
// message-box hook, the text-to-number conversion of the settings.
#include <gtest/gtest.h>

#include <QString>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "core/WideToInt.h"

namespace {

struct TextRow {
  int id;
  const char16_t* english;  // nullptr: the id has no English form
  const char16_t* russian;
};

// The interface texts as the product defines them, typed here independently
// of the string table shipped in res/.
const TextRow kTexts[] = {
    {135, u"Preview", u"Кадры"},
    {136, u"File name", u"Видеофайлы"},
    {137, u"  Cancel", u"  Отменить"},
    {138, u"Minimize", u"Опустить"},
    {139, u"Exit", u"Закрыть"},
    {140, u"  Add file", u"  Добавить"},
    {141, u"  Remove", u"  Удалить"},
    {142, nullptr, u"  Соединить"},
    {143, u"Please select video fragments into list...", u"Добавьте видеофрагменты в список..."},
    {144, u"\r Video: ", u"Видео "},
    {144, u"Video ", u"Видео "},
    {145, u" Audio: ", u"  Звук"},
    {145, u". Audio ", u"  Звук"},
    {146, u"Files format is not equal. ", u"Формат фрагментов не одинаков!\r "},
    {147, u"Merge is not possible...", u"Слияние невозможно..."},
    {148, u"Merge video files was canceled!", u"Объединение клипов было прервано!"},
    {149, u"Finished Successfully!", u"Объединение завершилось успешно!"},
    {150, u"No enough disc space available!", u"Недостаточно места на диске для сохранения файла."},
    {151, u"Error open file info for size checks...", u"Ошибка открытия файла для проверки его размера..."},
    {152, u"\rThe file couldn't be read, indicating a corrupt file or an unrecognized format.",
     u"Файл поврежден или имеет неправильный формат и не может быть открыт..."},
    {153, u"\rThe file could not be opened because of insufficient memory.",
     u"Недостаточно памяти для открытия файла..."},
    {154, u"\rA disk error occurred while reading the file.", u"Ошибка чтения диска..."},
    {154, u"\rA disk error occurred while opening the file.", u"Ошибка чтения диска..."},
    {155, u"\rAccording to the registry, the type of file \rspecified in AVI does not have a handler to process it.",
     u"Нет подходящего драйвера для чтения этого видеофайла."},
    {156, u"Unable to open file. ", u"Ошибка открытия. "},
    {157, u"Clips count exceed of maximal possible!", u"Количество фрагментов превысило максимальное значение!"},
    {158, u"  Save as...", u"   Сохранить в..."},
    {159, u"Convert audio to MP3", u"Преобразовать звук в MP3"},
    {160, u"Recompress", u"Пережать видео"},
    {161, u"Setup", u"Настроить"},
    {162, u"Video codec", u"Формат видео"},
    {163, u"Save", u"Сохранить"},
    {164, u"Cancel", u"Отмена"},
    {165, u"Open", u"Открыть"},
    {166, u"Error recompress video! Please check video settings.",
     u"Ошибка обработки видео. Проверьте пожалуйста настройки кодека."},
    {167, u"No video codec installed for format ", u"Нет подходящего кодека для декодирования формата "},
    {168, u"Error make audio track!", u"Ошибка создания звуковой дорожки."},
};

QString Q(const char16_t* text) { return text ? QString::fromUtf16(text) : QString(); }

class LanguageState : public ::testing::Test {
 protected:
  void TearDown() override {
    SetRussianAvailable(false);
    SetCurrentLanguage(kLanguageEnglish);
  }
};

}  // namespace

TEST_F(LanguageState, RussianTableHoldsEveryIdExactly) {
  for (int id = 135; id <= 168; ++id) {
    const auto row = std::find_if(std::begin(kTexts), std::end(kTexts), [&](const TextRow& r) { return r.id == id; });
    ASSERT_NE(row, std::end(kTexts)) << id;
    EXPECT_EQ(RussianTableText(id), Q(row->russian)) << "id " << id;
  }
  EXPECT_TRUE(RussianTableText(134).isNull());
  EXPECT_TRUE(RussianTableText(169).isNull());
}

TEST_F(LanguageState, EveryTextInBothLanguages) {
  for (const TextRow& row : kTexts) {
    const QString english = Q(row.english);
    SetRussianAvailable(true);
    SetCurrentLanguage(kLanguageRussian);
    EXPECT_EQ(LanguageText(row.id, english), Q(row.russian)) << "id " << row.id;
    SetCurrentLanguage(kLanguageEnglish);
    EXPECT_EQ(LanguageText(row.id, english), english) << "id " << row.id;
  }
}

TEST_F(LanguageState, RussianOnlyWhenAvailableAndExactlyOne) {
  const QString english = QStringLiteral("  Save as...");
  SetRussianAvailable(false);
  SetCurrentLanguage(kLanguageRussian);  // "Lang" 1 where Russian is not offered
  EXPECT_EQ(LanguageText(158, english), english);
  SetRussianAvailable(true);
  for (int language : {2, -1, 0}) {
    SetCurrentLanguage(language);
    EXPECT_EQ(LanguageText(158, english), english) << language;
  }
  SetCurrentLanguage(kLanguageRussian);
  EXPECT_EQ(LanguageText(158, english), QStringLiteral("   Сохранить в..."));
  // An id without a Russian entry keeps the English literal.
  EXPECT_EQ(LanguageText(500, QStringLiteral("x")), QStringLiteral("x"));
}

// The join engine's English texts reach a Russian user in Russian: whole
// texts, inner reasons filled in (and translated in their turn), line by
// line; unknown texts and the English interface stay as they are.
TEST_F(LanguageState, EnginePhrasesInRussian) {
  const struct {
    const char* english;
    const char* russian;
  } rows[] = {
      {"cannot read /v/a.avi: /v/a.avi: No such file or directory",
       "не удается прочитать /v/a.avi: /v/a.avi: файл не существует"},
      {"the output file /v/o.avi is one of the clips being joined", "выходной файл /v/o.avi - один из соединяемых клипов"},
      {"audio of /v/b.avi re-encoded from MP3 48000 Hz 2 ch 128 kbit/s to MP3 44100 Hz 2 ch 128 kbit/s",
       "звук файла /v/b.avi перекодирован из MP3 48000 Hz 2 ch 128 kbit/s в MP3 44100 Hz 2 ch 128 kbit/s"},
      {"the joined file would need about 900 MB for 60 s of video, but only 12 MB are free where /v/o.avi goes",
       "соединенному файлу нужно около 900 МБ на 60 с видео, а там, где должен быть /v/o.avi, свободно только 12 МБ"},
      {"writing the joined file failed: %1 %2: No space left on device",
       "ошибка записи соединенного файла: %1 %2: на диске нет места"},
      {"first line\rcannot read x: not a RIFF AVI file", "first line\rне удается прочитать x: это не файл RIFF AVI"},
      {"something nobody wrote", "something nobody wrote"},
      {"No video stream in /v/s.avi", "В файле нет видеопотока: /v/s.avi"},
      {"No duration of the video of /v/s.avi", "У видео нет длительности: /v/s.avi"},
  };
  SetRussianAvailable(true);
  for (const auto& row : rows) {
    SetCurrentLanguage(kLanguageRussian);
    EXPECT_EQ(LanguagePhrase(QString::fromUtf8(row.english)), QString::fromUtf8(row.russian)) << row.english;
    SetCurrentLanguage(kLanguageEnglish);
    EXPECT_EQ(LanguagePhrase(QString::fromUtf8(row.english)), QString::fromUtf8(row.english));
  }
}

TEST_F(LanguageState, ProbeDecidesAvailabilityAndCanBeReplaced) {
  RussianProbe previous = SetRussianProbe([] { return true; });
  EXPECT_TRUE(DetectRussianAvailable());
  EXPECT_TRUE(RussianAvailable());
  SetRussianProbe([] { return false; });
  EXPECT_FALSE(DetectRussianAvailable());
  EXPECT_FALSE(RussianAvailable());
  SetRussianProbe(nullptr);
  EXPECT_FALSE(DetectRussianAvailable());
  SetRussianProbe(previous);
}

TEST(MessageBoxHook, RecorderSeesOwnerTextCaptionAndIcon) {
  struct Shown {
    QObject* owner;
    QString text, caption;
    unsigned icon;
  };
  std::vector<Shown> shown;
  MessageBoxHandler previous = SetMessageBoxHandler([&](QObject* o, const QString& t, const QString& c, unsigned i) {
    shown.push_back({o, t, c, i});
    return IDCANCEL;
  });
  EXPECT_EQ(ShowMessageBox(nullptr, QStringLiteral("a\rb"), ApplicationName(), MB_ICONWARNING), IDCANCEL);
  SetMessageBoxHandler(previous);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].owner, nullptr);
  EXPECT_EQ(shown[0].text, QStringLiteral("a\rb"));
  EXPECT_EQ(shown[0].caption, QStringLiteral("Splicora"));
  EXPECT_EQ(shown[0].icon, MB_ICONWARNING);
}

TEST(MessageBoxHook, CarriageReturnIsALineBreak) {
  EXPECT_EQ(MessageBoxDisplayText(QStringLiteral("Files format is not equal. \r Video: x")),
            QStringLiteral("Files format is not equal. \n Video: x"));
  EXPECT_EQ(MessageBoxDisplayText(QStringLiteral("a\r\nb\rc")), QStringLiteral("a\nb\nc"));
}

TEST(WideToInt, ReadsLikeTheRuntimeConversion) {
  EXPECT_EQ(WideToInt(QStringLiteral("1")), 1);
  EXPECT_EQ(WideToInt(QStringLiteral("-1")), -1);
  EXPECT_EQ(WideToInt(QStringLiteral("  +42")), 42);
  EXPECT_EQ(WideToInt(QStringLiteral("\t-7x")), -7);
  EXPECT_EQ(WideToInt(QStringLiteral("12abc")), 12);
  EXPECT_EQ(WideToInt(QStringLiteral("abc")), 0);
  EXPECT_EQ(WideToInt(QStringLiteral("")), 0);
  EXPECT_EQ(WideToInt(QStringLiteral("-")), 0);
  EXPECT_EQ(WideToInt(QStringLiteral("x1")), 0);
  EXPECT_EQ(WideToInt(QStringLiteral("99999999999999999999")), INT_MAX);
  EXPECT_EQ(WideToInt(QStringLiteral("-99999999999999999999")), INT_MIN);
  EXPECT_EQ(WideToInt(QStringLiteral("-2147483648")), INT_MIN);
}
