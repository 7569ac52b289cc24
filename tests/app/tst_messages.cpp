// Every class of message, in English and Russian, as the real message boxes
// show them (the GUI seam, not a recorder), each centred on the main window:
// open errors (missing, folder, no read permission, not AVI, a FIFO, a link
// to a device, a file cut short, an impossible stream count), a failed and a
// cancelled join, a clip cut short that is added with a warning. Screenshots
// of the information line and of a refusal report with the handler-0x01
// audio the ffmpeg CLI writes.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "app/GuiMessageBox.h"
#include "app/MainDialog.h"
#include "convert/dialogs/CFileDialogOpt.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "directjoin/TimelineWriter.h"
#include "tests/support/DamagedCopy.h"
#include "tests/support/Fixtures.h"
#include "tests/support/ReadDenied.h"

namespace {

struct SeenBox {
  QString text, title;
  QPoint offCentre;  // from the main window's centre
  QImage picture;
};

// Reads and closes every message box that opens, and answers a save dialog
// with saveName, while it lives.
class BoxWatcher {
 public:
  BoxWatcher(QWidget* window, const QString& saveName = {}) {
    QObject::connect(&timer_, &QTimer::timeout, [this, window, saveName] {
      if (auto* save = qobject_cast<CFileDialogOpt*>(QApplication::activeModalWidget())) {
        save->SetFileNameForTesting(saveName);
        static_cast<QDialog*>(save)->accept();
      }
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
          boxes.append({box->text(), box->windowTitle(),
                        box->frameGeometry().center() - window->frameGeometry().center(),
                        box->grab().toImage()});
          box->accept();
        }
    });
    timer_.start(10);
  }
  QList<SeenBox> boxes;

 private:
  QTimer timer_;
};

QString Clip(const char* name, const std::string& audio) {
  return QString::fromStdString(testsupport::CachedClip(
      name, "-f lavfi -i testsrc=size=320x240:rate=25:duration=2 -f lavfi -i sine=d=2 -c:v mpeg4 " + audio));
}

}  // namespace

class TestMessages : public QObject {
  Q_OBJECT
  QString dir_;
  std::unique_ptr<MainDialog> dlg_;

  QString P(const QString& name) const { return dir_ + QLatin1Char('/') + name; }

  void Open(int language) {
    SetRussianAvailable(true);
    SetCurrentLanguage(language);
    dlg_ = std::make_unique<MainDialog>(QString());
    dlg_->move(180, 140);  // off the screen's corner, where a misplaced box sits
    dlg_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
    dlg_->SwitchLanguage(language);
  }

  static void ExpectCentred(const QList<SeenBox>& boxes) {
    for (const SeenBox& box : boxes)
      QVERIFY2(box.offCentre.manhattanLength() <= 3,
               qPrintable(QStringLiteral("%1,%2").arg(box.offCentre.x()).arg(box.offCentre.y())));
  }

  static void Screenshot(const QImage& image, const QString& name) {
    QDir().mkpath(QStringLiteral(SPLICORA_SCREENSHOT_DIR));
    QVERIFY(image.save(QStringLiteral(SPLICORA_SCREENSHOT_DIR "/") + name));
  }

 private slots:
  void initTestCase() {
    InstallGuiMessageBox();
    dir_ = QString::fromStdString(testsupport::TempDir("messages"));
    QVERIFY(QDir().mkpath(P(QStringLiteral("folder.avi"))));
    QFile text(P(QStringLiteral("notes.avi")));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("milk, bread\n") > 0);
    text.close();
    QVERIFY(QFile::copy(Clip("msg-pcm.avi", "-c:a pcm_s16le"), P(QStringLiteral("locked.avi"))));
    QCOMPARE(mkfifo(QFile::encodeName(P(QStringLiteral("pipe.avi"))).constData(), 0644), 0);
    QCOMPARE(symlink("/dev/zero", QFile::encodeName(P(QStringLiteral("zero.avi"))).constData()), 0);
    const std::string source = Clip("msg-pcm.avi", "-c:a pcm_s16le").toStdString();
    std::string error;
    testsupport::CutCopy(source, P(QStringLiteral("cut.avi")).toStdString(), 300, &error);
    testsupport::MainHeaderPatchedCopy(source, P(QStringLiteral("streams.avi")).toStdString(),
                                       testsupport::kAvihStreams, 65536, &error);
    QVERIFY2(error.empty(), error.c_str());
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
    for (auto [name, en, ru] :
         {std::tuple{"missing.avi", "The file does not exist.", "Файл не существует."},
          {"folder.avi", "This is a folder, not a file.", "Это папка, а не файл."},
          {"locked.avi", "You have no permission to read this file.", "Нет прав на чтение этого файла."},
          {"notes.avi", "This is not an AVI file.", "Это не AVI-файл."},
          // Opened without waiting on the FIFO, and never reading the device.
          {"pipe.avi", "This is not a regular file (a pipe, a device or a socket), so it cannot be a clip.",
           "Это не обычный файл (канал, устройство или сокет), поэтому он не может быть клипом."},
          {"zero.avi", "This is not a regular file (a pipe, a device or a socket), so it cannot be a clip.",
           "Это не обычный файл (канал, устройство или сокет), поэтому он не может быть клипом."},
          {"cut.avi", "The file is damaged: it ends early, before the end its headers give.",
           "Файл поврежден: он обрывается раньше, чем указано в его заголовках."},
          {"streams.avi",
           "The file's header is damaged: the stream count (dwStreams) holds an impossible value.",
           "Заголовок файла поврежден: число потоков (dwStreams) содержит невозможное значение."}}) {
      QTest::addRow("%s en", name) << kLanguageEnglish << name
                                   << QStringLiteral("Unable to open file. \n") + QString::fromUtf8(en);
      QTest::addRow("%s ru", name) << kLanguageRussian << name
                                   << QStringLiteral("Ошибка открытия. ") + QString::fromUtf8(ru);
    }
  }

  void openErrors() {
    QFETCH(int, language);
    QFETCH(QString, name);
    QFETCH(QString, reason);
    Open(language);
    const QString path = P(name);
    std::optional<testsupport::ReadDenied> denied;
    if (name == QStringLiteral("locked.avi")) QVERIFY(denied.emplace(path.toStdString()).Denied());
    BoxWatcher watcher(dlg_.get());
    QCOMPARE(dlg_->AddClip(path), 1);  // only this file is skipped
    QTRY_COMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes[0].title, language == kLanguageRussian ? QStringLiteral("Ошибка") : QStringLiteral("Error"));
    QCOMPARE(watcher.boxes[0].text, reason + QLatin1Char('\n') + path);  // the path on a line of its own
    ExpectCentred(watcher.boxes);
  }

  void failedAndCancelledJoins_data() {
    QTest::addColumn<int>("language");
    QTest::newRow("en") << kLanguageEnglish;
    QTest::newRow("ru") << kLanguageRussian;
  }

  void failedAndCancelledJoins() {
    QFETCH(int, language);
    const bool ru = language == kLanguageRussian;
    Open(language);
    const QString clip = Clip("msg-mp3.avi", "-c:a libmp3lame"), gone = P(QStringLiteral("gone.avi"));
    QFile::remove(gone);
    QVERIFY(QFile::copy(clip, gone));
    QCOMPARE(dlg_->AddClip(clip) + dlg_->AddClip(gone), 2);
    dlg_->SetCommandsEnabled(true);
    QFile::remove(gone);
    {  // A listed file vanished: the join fails with its reason, and is not called cancelled.
      BoxWatcher watcher(dlg_.get(), P(QStringLiteral("failed.avi")));
      dlg_->joinButton->click();
      QTRY_VERIFY(!watcher.boxes.isEmpty() && watcher.boxes.last().title == ApplicationName());
      const QString text = watcher.boxes.last().text;
      QVERIFY2(text.startsWith(ru ? QStringLiteral("Соединение не удалось: не удается прочитать ")
                                  : QStringLiteral("Joining failed: cannot read ")),
               qPrintable(text));
      ExpectCentred(watcher.boxes);
    }
    dlg_->OnRemove();  // the vanished clip is the selected row
    {                  // Cancel pressed while the join runs.
      media::TimelineWriter::SetChunkDelayForTesting(20000);
      BoxWatcher watcher(dlg_.get(), P(QStringLiteral("cancelled.avi")));
      dlg_->joinButton->click();
      QTRY_VERIFY(dlg_->running && dlg_->cancelButton->isVisible());
      dlg_->cancelButton->click();
      QTRY_COMPARE(watcher.boxes.size(), 1);
      // The partial output is kept, and the message names it on a line of its own.
      const QStringList lines = watcher.boxes[0].text.split(QLatin1Char('\n'));
      QCOMPARE(lines.size(), 3);
      QCOMPARE(lines[0], ru ? QStringLiteral("Объединение клипов было прервано!")
                            : QStringLiteral("Merge video files was canceled!"));
      QCOMPARE(lines[1], ru ? QStringLiteral("Незаконченный файл остался на диске:")
                            : QStringLiteral("The unfinished output was kept:"));
      QVERIFY2(lines[2].startsWith(P(QStringLiteral("cancelled"))) && QFileInfo(lines[2]).size() > 0,
               qPrintable(lines[2]));
      ExpectCentred(watcher.boxes);
    }
  }

  // A clip cut among its chunks is listed, after a warning that names it and
  // says how much of it is there.
  void damagedClipIsAddedWithAWarning_data() { failedAndCancelledJoins_data(); }

  void damagedClipIsAddedWithAWarning() {
    QFETCH(int, language);
    const bool ru = language == kLanguageRussian;
    const QString cut = P(QStringLiteral("cut-in-movi.avi"));
    std::string error;
    testsupport::CutInMoviCopy(Clip("msg-pcm.avi", "-c:a pcm_s16le").toStdString(), cut.toStdString(),
                               &error);
    QVERIFY2(error.empty(), error.c_str());
    Open(language);
    BoxWatcher watcher(dlg_.get());
    QCOMPARE(dlg_->AddClip(cut), 1);
    QTRY_COMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes[0].title, ApplicationName());
    const QString text = watcher.boxes[0].text;
    QVERIFY2(
        text.startsWith(ru ? QStringLiteral("Этот файл поврежден: он обрывается раньше времени, и в нем ")
                           : QStringLiteral("This file is damaged: it ends early and holds ")),
        qPrintable(text));
    QVERIFY2(text.contains(ru ? QStringLiteral(" из 50 кадров") : QStringLiteral(" of the 50 frames")),
             qPrintable(text));
    QVERIFY2(text.endsWith(QLatin1Char('\n') + cut), qPrintable(text));
    QCOMPARE(dlg_->clipList->GetItemCount(), 1);
    ExpectCentred(watcher.boxes);
  }

  // The first clip's PCM has handler 0x01 (ffmpeg CLI); the refused one is
  // GStreamer's avimux with MP3.
  void informationLineAndReport_data() { failedAndCancelledJoins_data(); }

  void informationLineAndReport() {
    QFETCH(int, language);
    const bool ru = language == kLanguageRussian;
    const QString gst = QString::fromStdString(
        testsupport::CachedCommandClip("msg-gst-mp3.avi", testsupport::GstMjpegMp3Command(50, 86)));
    QVERIFY2(!gst.isEmpty(), "GStreamer could not make the clip");
    Open(language);
    BoxWatcher watcher(dlg_.get());
    QCOMPARE(dlg_->AddClip(Clip("msg-pcm.avi", "-c:a pcm_s16le")), 1);
    QCOMPARE(dlg_->InfoLine(),
             ru ? QStringLiteral("Видео  FMP4, 25.00 кадр/с, 320 x 240  Звук PCM 706 Кбит/с,  00:00:02")
                : QStringLiteral("Video  FMP4, 25.00 Fps, 320 x 240. Audio  PCM 706 Kbps,  00:00:02"));
    QApplication::processEvents();
    Screenshot(dlg_->grab().toImage(),
               ru ? QStringLiteral("info-line-ru.png") : QStringLiteral("info-line-en.png"));

    QCOMPARE(dlg_->AddClip(gst), 1);
    QTRY_COMPARE(watcher.boxes.size(), 1);
    // The report, then the offer to add the clip anyway to be re-encoded.
    QVERIFY(watcher.boxes[0].text.section(QStringLiteral("\n\n"), 1).startsWith(
        ru ? QStringLiteral("Добавить его все равно?") : QStringLiteral("Add it anyway?")));
    QCOMPARE(watcher.boxes[0].text.section(QStringLiteral("\n\n"), 0, 0).section(QLatin1Char('\n'), -3),
             ru ? QStringLiteral(" Звук\n Кодек 1-го файла -  PCM, нового файла -  MP3\n Каналов у 1-го "
                                 "файла - 1, у нового файла - 2")
                : QStringLiteral("Audio: \n Codec for 1st file -  PCM, new file -  MP3\n Channels of 1st "
                                 "file - 1, new file - 2"));
    ExpectCentred(watcher.boxes);
    Screenshot(watcher.boxes[0].picture,
               ru ? QStringLiteral("refusal-report-ru.png") : QStringLiteral("refusal-report-en.png"));
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TestMessages test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_messages.moc"
