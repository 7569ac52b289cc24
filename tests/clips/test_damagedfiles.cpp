// Damaged copies of a real ffmpeg clip, as a user meets them: cut short in
// its headers, cut short among its chunks, and a main header claiming 65,536
// streams. Each is told for what it is, in English and Russian: a damaged
// file that ends early (not a disk error), a damaged header naming the field
// (not a lack of memory); a clip cut among its chunks, or without an index
// and with a chunk size that stops the scan of its data, is added with a
// warning of how many of its frames it holds.
#include <gtest/gtest.h>

#include <cstdlib>

#include "clips/ClipAdmission.h"
#include "clips/ClipInfo.h"
#include "clips/ClipTexts.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "avi/AviReader.h"
#include "tests/support/AviBuilder.h"
#include "tests/support/DamagedCopy.h"
#include "tests/support/Fixtures.h"
#include "tests/support/InterfaceLanguage.h"

using namespace testsupport;

void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << QString(text).replace(QLatin1Char('\r'), QStringLiteral("\\r")).toStdString() << '"';
}

namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

struct Box {
  QString text, caption;
  unsigned icon;
};

// Records every message box instead of showing it.
class BoxRecorder {
 public:
  BoxRecorder() {
    previous_ =
        SetMessageBoxHandler([this](QObject*, const QString& text, const QString& caption, unsigned icon) {
          boxes.push_back({text, caption, icon});
          return IDOK;
        });
  }
  ~BoxRecorder() { SetMessageBoxHandler(previous_); }
  std::vector<Box> boxes;

 private:
  MessageBoxHandler previous_;
};

using testsupport::Language;

std::string Source() {
  return CachedClip("damaged-source.avi",
                    "-f lavfi -i testsrc=s=160x120:r=25:d=2 -f lavfi -i sine=d=2 -c:v mpeg4 -c:a pcm_s16le");
}

// Video packets ffprobe finds in the file: what it holds, read independently.
int ProbedFrames(const std::string& path) {
  return std::atoi(Ffprobe(path,
                           "-count_packets -select_streams v:0 -show_entries stream=nb_read_packets "
                           "-of csv=p=0")
                       .c_str());
}

// The one open-error box of opening path.
QString OpenErrorOf(const std::string& path) {
  BoxRecorder recorder;
  ClipInfo clip;
  EXPECT_FALSE(clip.Open(Q(path)));
  EXPECT_EQ(recorder.boxes.size(), 1u);
  if (recorder.boxes.empty()) return {};
  EXPECT_EQ(recorder.boxes[0].caption, LanguageText(1103, QStringLiteral("Error")));
  EXPECT_EQ(recorder.boxes[0].text, clip.OpenError());
  return recorder.boxes[0].text;
}

}  // namespace

TEST(DamagedFiles, CutHeadersAndAnImpossibleStreamCountAreToldInBothLanguages) {
  const std::string dir = TempDir("damaged-open");
  const std::string source = Source();
  ASSERT_FALSE(source.empty());
  std::string error;
  const auto [moviBegin, moviEnd] = MoviDataRange(source);
  ASSERT_GT(moviBegin, 200u);
  // Cut inside the header list, and just before the chunks begin.
  const std::string inHeaders = CutCopy(source, dir + "/in-headers.avi", 200, &error);
  const std::string beforeChunks = CutCopy(source, dir + "/before-chunks.avi", moviBegin - 16, &error);
  const std::string streams =
      MainHeaderPatchedCopy(source, dir + "/streams.avi", kAvihStreams, 65536, &error);
  ASSERT_EQ(error, "");

  for (int language : {kLanguageEnglish, kLanguageRussian}) {
    SCOPED_TRACE(language);
    Language use(language);
    const bool ru = language == kLanguageRussian;
    const QString cut = ru ? QStringLiteral(
                                 "Ошибка открытия. Файл поврежден: он обрывается раньше, чем указано в его "
                                 "заголовках.\r")
                           : QStringLiteral(
                                 "Unable to open file. \rThe file is damaged: it ends early, before the "
                                 "end its headers give.\r");
    EXPECT_EQ(OpenErrorOf(inHeaders), cut + Q(inHeaders));
    EXPECT_EQ(OpenErrorOf(beforeChunks), cut + Q(beforeChunks));
    EXPECT_EQ(
        OpenErrorOf(streams),
        (ru ? QStringLiteral("Ошибка открытия. Заголовок файла поврежден: число потоков (dwStreams) содержит "
                             "невозможное значение.\r")
            : QStringLiteral("Unable to open file. \rThe file's header is damaged: the stream count "
                             "(dwStreams) holds an impossible value.\r")) +
            Q(streams));
  }
}

TEST(DamagedFiles, AClipCutAmongItsChunksIsAddedWithAWarningInBothLanguages) {
  const std::string dir = TempDir("damaged-movi");
  const std::string source = Source();
  ASSERT_FALSE(source.empty());
  std::string error;
  const std::string cut = CutInMoviCopy(source, dir + "/cut-in-movi.avi", &error);
  ASSERT_EQ(error, "");
  const int held = ProbedFrames(cut);
  const int whole = ProbedFrames(source);
  ASSERT_GT(held, 0);
  ASSERT_LT(held, whole);

  for (int language : {kLanguageEnglish, kLanguageRussian}) {
    SCOPED_TRACE(language);
    Language use(language);
    const QString warning =
        (language == kLanguageRussian
             ? QStringLiteral(
                   "Этот файл поврежден: он обрывается раньше времени, и в нем %1 из %2 кадров, указанных "
                   "в заголовках. Соединить можно только их:\r")
             : QStringLiteral(
                   "This file is damaged: it ends early and holds %1 of the %2 frames its headers give. "
                   "Only those can be joined:\r"))
            .arg(held)
            .arg(whole) +
        Q(cut);
    BoxRecorder recorder;
    ClipReference reference;
    const AdmissionResult result = AdmitClip(Q(cut), 0, reference, nullptr, {}, false);
    EXPECT_EQ(result.outcome, Admission::Added);
    EXPECT_EQ(result.damage, warning);
    EXPECT_EQ(result.message, QString());
    ASSERT_EQ(recorder.boxes.size(), 1u);
    EXPECT_EQ(recorder.boxes[0].text, warning);
    EXPECT_EQ(recorder.boxes[0].caption, ApplicationName());
    EXPECT_EQ(recorder.boxes[0].icon, static_cast<unsigned>(MB_ICONWARNING));
  }
  // The whole file warns of nothing.
  BoxRecorder recorder;
  ClipReference reference;
  EXPECT_EQ(AdmitClip(Q(source), 0, reference, nullptr, {}, false).damage, QString());
  EXPECT_TRUE(recorder.boxes.empty());
}

// Without an index, a chunk whose size no file can hold ends what the scan of
// the data finds: the frames after it are lost, and the clip says so as a
// clip cut short does, counting the frames it still gives.
TEST(DamagedFiles, BrokenChunkSizeWithoutIndexWarnsOfTheFramesLeft) {
  Bytes bytes = ReadFile(Source());
  const int64_t idx1 = FindChunk(bytes, "idx1");
  ASSERT_GT(idx1, 0);
  std::copy_n("JUNK", 4, bytes.begin() + idx1);
  ASSERT_EQ(BreakChunkSizes(bytes, 1000, 40), 1u);  // data chunk 40, among the first 25 frames
  const std::string dir = TempDir("damaged-size");
  const std::string path = dir + "/broken-size.avi";
  WriteFile(path, bytes);

  media::AviReader reader;
  ASSERT_EQ(reader.Open(path), media::AVIERR_OK);
  ASSERT_TRUE(reader.IndexRebuilt());
  EXPECT_TRUE(reader.CutShort());
  const size_t held = reader.Stream(0).chunks.size();
  EXPECT_GT(held, 5u);
  EXPECT_LT(held, 50u);  // the source has 50 frames

  Language use(kLanguageEnglish);
  BoxRecorder recorder;
  ClipReference reference;
  const AdmissionResult result = AdmitClip(Q(path), 0, reference, nullptr, {}, false);
  EXPECT_EQ(result.outcome, Admission::Added);
  EXPECT_EQ(result.damage, QStringLiteral("This file is damaged: it ends early and holds %1 of the 50 frames its headers "
                                          "give. Only those can be joined:\r")
                                   .arg(held) +
                               Q(path));
}
