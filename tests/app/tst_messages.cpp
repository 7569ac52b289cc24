// Every class of message the user reads, in English and in Russian, as the
// real message boxes show them (the GUI seam, not a recorder): open errors
// (missing file, folder, no read permission, not AVI), a join that failed and
// one that was cancelled; every box centred on the main window. Screenshots
// of the information line and of a refusal report with handler-0x01 audio.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include "app/GuiMessageBox.h"
#include "app/MainDialog.h"
#include "convert/dialogs/CFileDialogOpt.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "media/TimelineWriter.h"
#include "tests/support/Fixtures.h"
#include "tests/support/ReadDenied.h"

namespace {

struct SeenBox {
  QString text, title;
  QPoint offCentre;  // box centre minus main window centre
  QImage picture;
};

// Reads and closes every message box that opens, and answers the save
// dialog with a name, until it is destroyed.
class BoxWatcher {
 public:
  explicit BoxWatcher(QWidget* window, QString dir = {}, QString saveName = {})
      : window_(window), dir_(std::move(dir)), saveName_(std::move(saveName)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(10);
  }
  QList<SeenBox> boxes;

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* save = qobject_cast<CFileDialogOpt*>(modal)) {
      save->setDirectory(dir_);
      save->SetFileNameForTesting(saveName_);
      static_cast<QDialog*>(save)->accept();
      return;
    }
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box || !box->isVisible()) continue;
      boxes.append({box->text(), box->windowTitle(),
                    box->frameGeometry().center() - window_->frameGeometry().center(), box->grab().toImage()});
      box->accept();
    }
  }
  QWidget* window_;
  QString dir_, saveName_;
  QTimer timer_;
};

QString Clip(const char* name, const std::string& args) { return QString::fromStdString(testsupport::CachedClip(name, args)); }

}  // namespace

class TestMessages : public QObject {
  Q_OBJECT
  QString dir_;
  std::unique_ptr<MainDialog> dlg_;

  QString P(const char* name) const { return dir_ + QLatin1Char('/') + QLatin1String(name); }

  void UseLanguage(int language) {
    SetRussianAvailable(true);
    SetCurrentLanguage(language);
    dlg_ = std::make_unique<MainDialog>(QString());
    dlg_->move(180, 140);  // away from the screen's corner, where a misplaced box would sit
    dlg_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
    dlg_->SwitchLanguage(language);
  }

  static void ExpectCentred(const SeenBox& box) {
    QVERIFY2(std::abs(box.offCentre.x()) <= 2 && std::abs(box.offCentre.y()) <= 2,
             qPrintable(QStringLiteral("%1,%2").arg(box.offCentre.x()).arg(box.offCentre.y())));
  }

  static void SaveScreenshot(const QImage& image, const QString& name) {
    QDir().mkpath(QStringLiteral(SPLICORA_SCREENSHOT_DIR));
    QVERIFY(image.save(QStringLiteral(SPLICORA_SCREENSHOT_DIR "/") + name));
  }

 private slots:
  void initTestCase() {
    InstallGuiMessageBox();
    dir_ = QString::fromStdString(testsupport::TempDir("messages"));
    QVERIFY(QDir().mkpath(P("folder.avi")));
    QFile text(P("notes.avi"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("Shopping list: milk, bread.\n") > 0);
    text.close();
    const QString clip = Clip("msg-pcm.avi", "-f lavfi -i testsrc=size=320x240:rate=25:duration=2 "
                                             "-f lavfi -i sine=d=2 -c:v mpeg4 -c:a pcm_s16le");
    QVERIFY(!clip.isEmpty());
    QFile::remove(P("locked.avi"));
    QVERIFY(QFile::copy(clip, P("locked.avi")));
  }

  void cleanup() {
    dlg_.reset();
    SetCurrentLanguage(kLanguageEnglish);
    SetRussianAvailable(false);
    media::TimelineWriter::SetChunkDelayForTesting(0);
  }

  void openErrors_data() {
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    const struct {
      const char* name;
      const char* english;
      const char* russian;
    } cases[] = {
        {"missing.avi", "The file does not exist.", "Файл не существует."},
        {"folder.avi", "This is a folder, not a file.", "Это папка, а не файл."},
        {"locked.avi", "You have no permission to read this file.", "Нет прав на чтение этого файла."},
        {"notes.avi", "This is not an AVI file.", "Это не AVI-файл."},
    };
    for (const auto& c : cases) {
      QTest::newRow(qPrintable(QStringLiteral("%1 en").arg(QLatin1String(c.name))))
          << kLanguageEnglish << QString::fromLatin1(c.name)
          << QStringLiteral("Unable to open file. \n") + QString::fromUtf8(c.english);
      QTest::newRow(qPrintable(QStringLiteral("%1 ru").arg(QLatin1String(c.name))))
          << kLanguageRussian << QString::fromLatin1(c.name)
          << QStringLiteral("Ошибка открытия. ") + QString::fromUtf8(c.russian);
    }
  }

  void openErrors() {
    QFETCH(int, language);
    QFETCH(QString, name);
    QFETCH(QString, reason);
    UseLanguage(language);
    const QString path = dir_ + QLatin1Char('/') + name;
    std::unique_ptr<testsupport::ReadDenied> denied;
    if (name == QStringLiteral("locked.avi")) {
      denied = std::make_unique<testsupport::ReadDenied>(path.toStdString());
      QVERIFY(denied->Denied());
    }
    BoxWatcher watcher(dlg_.get());
    QCOMPARE(dlg_->AddClip(path), 1);  // this file only: the batch goes on
    QTRY_COMPARE(watcher.boxes.size(), 1);
    const SeenBox& box = watcher.boxes.first();
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.text, reason + QLatin1Char('\n') + path);  // the path on a line of its own
    ExpectCentred(box);
    QCOMPARE(dlg_->ClipCount(), 0);
  }

  void failedAndCancelledJoins_data() {
    QTest::addColumn<int>("language");
    QTest::newRow("en") << kLanguageEnglish;
    QTest::newRow("ru") << kLanguageRussian;
  }

  void failedAndCancelledJoins() {
    QFETCH(int, language);
    UseLanguage(language);
    const QString clip = Clip("msg-join.avi", "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 "
                                              "-f lavfi -i sine=d=2 -c:v mpeg4 -c:a libmp3lame");
    QFile::remove(P("gone.avi"));
    QVERIFY(QFile::copy(clip, P("gone.avi")));
    QCOMPARE(dlg_->AddClip(clip), 1);
    QCOMPARE(dlg_->AddClip(P("gone.avi")), 1);
    dlg_->SetCommandsEnabled(true);
    QFile::remove(P("gone.avi"));

    const bool ru = language == kLanguageRussian;
    {  // A listed file vanished: the join fails, with its reason, and is not called cancelled.
      BoxWatcher watcher(dlg_.get(), dir_, QStringLiteral("failed.avi"));
      dlg_->joinButton->click();
      QTRY_VERIFY(!watcher.boxes.isEmpty() && watcher.boxes.last().title == ApplicationName());
      const QString text = watcher.boxes.last().text;
      QVERIFY2(text.startsWith(ru ? QStringLiteral("Ошибка обработки видео. Проверьте пожалуйста настройки кодека.\n\n")
                                  : QStringLiteral("Error recompress video! Please check video settings.\n\n")),
               qPrintable(text));
      QVERIFY2(text.contains(ru ? QStringLiteral("не удается прочитать ") + P("gone.avi")
                                : QStringLiteral("cannot read ") + P("gone.avi")),
               qPrintable(text));
      for (const SeenBox& box : watcher.boxes) ExpectCentred(box);
      if (ru) SaveScreenshot(watcher.boxes.last().picture, QStringLiteral("join-failed-ru.png"));
    }
    dlg_->OnRemove();  // the vanished row is the selected one
    QCOMPARE(dlg_->ClipCount(), 1);
    {  // Cancel pressed while the join runs.
      media::TimelineWriter::SetChunkDelayForTesting(20000);
      BoxWatcher watcher(dlg_.get(), dir_, QStringLiteral("cancelled.avi"));
      dlg_->joinButton->click();
      QTRY_VERIFY(dlg_->running && dlg_->cancelButton->isVisible());
      dlg_->cancelButton->click();
      QTRY_COMPARE(watcher.boxes.size(), 1);
      QCOMPARE(watcher.boxes.first().text,
               ru ? QStringLiteral("Объединения клипов было прервано!") : QStringLiteral("Merge video files was canceled!"));
      ExpectCentred(watcher.boxes.first());
    }
  }

  // The information line and a refusal report where the first clip's PCM
  // audio has the handler 0x01 the ffmpeg CLI writes, and the new clip comes
  // from GStreamer's avimux with MP3.
  void informationLineAndReportScreenshots_data() { failedAndCancelledJoins_data(); }

  void informationLineAndReportScreenshots() {
    QFETCH(int, language);
    if (!testsupport::HaveCommand("gst-launch-1.0")) QSKIP("gst-launch-1.0 missing");
    UseLanguage(language);
    const QString pcm = Clip("msg-pcm.avi", "-f lavfi -i testsrc=size=320x240:rate=25:duration=2 "
                                            "-f lavfi -i sine=d=2 -c:v mpeg4 -c:a pcm_s16le");
    const QString gst = QString::fromStdString(testsupport::CachedCommandClip(
        "msg-gst-mp3.avi",
        "gst-launch-1.0 -q videotestsrc num-buffers=50 ! video/x-raw,width=160,height=120,framerate=25/1 ! jpegenc ! "
        "avimux name=m ! filesink location={out} audiotestsrc num-buffers=86 ! audio/x-raw,rate=44100,channels=2 ! "
        "lamemp3enc target=bitrate bitrate=128 cbr=true ! m."));
    QVERIFY(!gst.isEmpty());
    const bool ru = language == kLanguageRussian;
    BoxWatcher watcher(dlg_.get());
    QCOMPARE(dlg_->AddClip(pcm), 1);
    QVERIFY(watcher.boxes.isEmpty());
    const QString line = dlg_->InfoLine();
    QCOMPARE(line, ru ? QStringLiteral("Видео  FMP4, 25.00 Fps, 320 x 240  Звук PCM 706 Kbps,  00:00:02")
                      : QStringLiteral("Video  FMP4, 25.00 Fps, 320 x 240. Audio  PCM 706 Kbps,  00:00:02"));
    QApplication::processEvents();
    SaveScreenshot(dlg_->grab().toImage(), ru ? QStringLiteral("info-line-ru.png") : QStringLiteral("info-line-en.png"));

    QCOMPARE(dlg_->AddClip(gst), 1);
    QTRY_COMPARE(watcher.boxes.size(), 1);
    const SeenBox& box = watcher.boxes.first();
    QCOMPARE(box.text,
             ru ? QStringLiteral("Формат фрагментов не одинаков!\n Видео \n Кодек 1-го файла -  FMP4, нового файла -  MJPG"
                                 "\n Размер кадра 1-го файла 320 x 240, нового файла 160 x 120"
                                 "\n Звук\n Кодек 1-го файла -  PCM, нового файла -  MP3"
                                 "\n Каналов у 1-го файла - 1, у нового файла - 2")
                : QStringLiteral("Files format is not equal. \n Video: \n Codec for 1st file -  FMP4, new file -  MJPG"
                                 "\n Dimensions of 1st file 320 x 240, new file 160 x 120"
                                 "\nAudio: \n Codec for 1st file -  PCM, new file -  MP3"
                                 "\n Channels of 1st file - 1, new file - 2"));
    ExpectCentred(box);
    SaveScreenshot(box.picture, ru ? QStringLiteral("refusal-report-ru.png") : QStringLiteral("refusal-report-en.png"));
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TestMessages test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_messages.moc"
