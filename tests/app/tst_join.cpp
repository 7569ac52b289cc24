// The Join command in the main window: real clips from the ffmpeg CLI, the
// real save dialog driven through its file-name box, the direct join on its
// streaming thread, the messages recorded as the user would see them and the
// output checked by ffprobe.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QtTest>

#include "app/MainDialog.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "convert/dialogs/CFileDialogOpt.h"
#include "directjoin/FreeSpace.h"
#include "directjoin/TimelineWriter.h"
#include "tests/support/Fixtures.h"

namespace {

struct Box {
  QString text;
  QString caption;
  unsigned icon;
};

std::string ClipArgs(double seconds, int frequency) {
  return "-f lavfi -i testsrc=size=320x240:rate=25:duration=" + std::to_string(seconds) +
         " -f lavfi -i sine=frequency=" + std::to_string(frequency) + ":sample_rate=44100:duration=" +
         std::to_string(seconds) + " -c:v mpeg4 -q:v 6 -c:a libmp3lame -b:a 128k";
}

int FrameCount(const QString& path) {
  return std::atoi(testsupport::Ffprobe(path.toStdString(),
                                        "-count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0")
                       .c_str());
}

}  // namespace

class TestJoin : public QObject {
  Q_OBJECT
  QString dir_;
  QStringList clips_;
  QList<Box> boxes_;
  MessageBoxHandler oldHandler_;
  std::unique_ptr<MainDialog> dlg_;
  bool dialogSeen_ = false;
  QString dialogFlagsSeen_;

  QString P(const QString& name) const { return dir_ + QLatin1Char('/') + name; }

  // The next save dialog gets this name typed into it and OK (or Cancel when empty).
  void Answer(const QString& name, bool recompress = false) {
    dialogSeen_ = false;
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [this, name, recompress, poll] {
      auto* dialog = qobject_cast<CFileDialogOpt*>(QApplication::activeModalWidget());
      if (!dialog) {
        QTimer::singleShot(20, *poll);
        return;
      }
      dialogSeen_ = true;
      if (name.isEmpty()) {
        dialog->reject();
        return;
      }
      dialog->setDirectory(dir_);
      dialog->SetFileNameForTesting(name);
      if (recompress && dialog->RecompressBox()) dialog->RecompressBox()->setChecked(true);
      dialog->recompress = recompress;
      static_cast<QDialog*>(dialog)->accept();
    };
    QTimer::singleShot(0, *poll);
  }

  bool SawBox(int id, const QString& english) const {
    for (const Box& b : boxes_)
      if (b.text.startsWith(LanguageText(id, english))) return true;
    return false;
  }

  void AddClips() {
    for (const QString& c : clips_) QCOMPARE(dlg_->AddClip(c), 1);
    dlg_->SetCommandsEnabled(true);  // as the Add File command does at the end of its batch
    QCOMPARE(dlg_->ClipCount(), static_cast<int>(clips_.size()));
  }

  int SumFrames() const {
    int sum = 0;
    for (const QString& c : clips_) sum += FrameCount(c);
    return sum;
  }

 private slots:
  void initTestCase() {
    dir_ = QString::fromStdString(testsupport::TempDir("tst-join"));
    int n = 0;
    for (auto [seconds, frequency] : {std::pair{2.0, 440}, std::pair{3.0, 660}, std::pair{1.5, 880}}) {
      std::string made = testsupport::CachedClip("guijoin" + std::to_string(n) + ".avi", ClipArgs(seconds, frequency));
      QVERIFY2(!made.empty(), "ffmpeg could not make the clip");
      QString path = P(QStringLiteral("clip%1.avi").arg(n++));
      QVERIFY(QFile::copy(QString::fromStdString(made), path));
      clips_ << path;
    }
    oldHandler_ = SetMessageBoxHandler([this](QObject*, const QString& text, const QString& caption, unsigned icon) {
      boxes_.append({text, caption, icon});
      return IDOK;
    });
  }

  void cleanupTestCase() {
    SetMessageBoxHandler(oldHandler_);
    SetFreeSpaceProbe({});
  }

  void init() {
    boxes_.clear();
    SetCurrentLanguage(kLanguageEnglish);
    media::TimelineWriter::SetChunkDelayForTesting(0);
    SetFreeSpaceProbe({});
    dlg_ = std::make_unique<MainDialog>(QStringLiteral("Some codec"));
    dlg_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
    AddClips();
    boxes_.clear();
  }

  void cleanup() {
    media::TimelineWriter::SetChunkDelayForTesting(0);
    dlg_.reset();
  }

  // Three clips, the name "movie" typed: movie.avi is written, whole.
  void joinFinishes() {
    QFile::remove(P(QStringLiteral("movie.avi")));
    Answer(QStringLiteral("movie"));
    dlg_->joinButton->click();
    QVERIFY(dialogSeen_);
    // The window is in its joining state while the streaming thread writes.
    QTRY_VERIFY_WITH_TIMEOUT(SawBox(149, QStringLiteral("Finished Successfully!")), 30000);
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_.first().caption, ApplicationName());
    QCOMPARE(boxes_.first().icon, MB_ICONINFORMATION);
    const QString out = P(QStringLiteral("movie.avi"));
    QVERIFY(QFileInfo::exists(out));
    QCOMPARE(FrameCount(out), SumFrames());
    // Back to idle; the codec name is cleared by a direct join.
    QVERIFY(!dlg_->running);
    QVERIFY(dlg_->joiner == nullptr);
    QVERIFY(dlg_->codecName.isEmpty());
    QVERIFY(dlg_->joinButton->isVisible());
    QVERIFY(!dlg_->cancelButton->isVisible());
    QVERIFY(!dlg_->progressBar->isVisible());
    QVERIFY(dlg_->joinButton->isEnabled() && dlg_->addButton->isEnabled() && dlg_->removeButton->isEnabled());
    // The rows were selected one by one: the last one stays selected.
    QCOMPARE(dlg_->clipList->GetSelectedRow(), static_cast<int>(clips_.size()) - 1);

    // The same name again: movie[1].avi, the first file untouched.
    const qint64 firstSize = QFileInfo(out).size();
    boxes_.clear();
    Answer(QStringLiteral("movie.avi"));
    dlg_->joinButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(SawBox(149, QStringLiteral("Finished Successfully!")), 30000);
    QVERIFY(QFileInfo::exists(P(QStringLiteral("movie[1].avi"))));
    QCOMPARE(QFileInfo(out).size(), firstSize);
  }

  void cancelledDialogChangesNothing() {
    const bool removeOn = dlg_->removeButton->isEnabled();
    Answer(QString());
    dlg_->joinButton->click();
    QVERIFY(dialogSeen_);
    QVERIFY(boxes_.isEmpty());
    QVERIFY(!dlg_->running);
    QCOMPARE(dlg_->removeButton->isEnabled(), removeOn);
    QVERIFY(dlg_->joinButton->isEnabled());
    QCOMPARE(dlg_->codecName, QStringLiteral("Some codec"));
  }

  // Cancel while the join runs: the cancel message, and what was written is a
  // closed file that ffprobe reads.
  void cancelMidJoin() {
    media::TimelineWriter::SetChunkDelayForTesting(20000);  // 20 ms a frame: about 3 s in all
    const QString out = P(QStringLiteral("cancelled.avi"));
    QFile::remove(out);
    Answer(QStringLiteral("cancelled.avi"));
    dlg_->joinButton->click();
    QVERIFY(dlg_->running);
    QVERIFY(dlg_->cancelButton->isVisible() && dlg_->cancelButton->isEnabled());
    QVERIFY(!dlg_->joinButton->isVisible());
    QCOMPARE(dlg_->progressBar->value(), 1);  // a direct join starts at 1
    // The progress timer (id 7, once a second) moves the bar from the output position.
    QTRY_VERIFY_WITH_TIMEOUT(dlg_->progressBar->value() > 1, 3000);
    dlg_->cancelButton->click();
    QVERIFY(!dlg_->cancelButton->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(SawBox(148, QStringLiteral("Merge video files was canceled!")), 10000);
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_[0].text, QStringLiteral("Merge video files was canceled!\rThe unfinished output was kept:\r") + out);
    QVERIFY(!dlg_->running);
    QVERIFY(!dlg_->cancelRequested);
    QVERIFY(QFileInfo::exists(out));
    int frames = FrameCount(out);
    QVERIFY2(frames > 0 && frames < SumFrames(), qPrintable(QString::number(frames)));
    QCOMPARE(testsupport::Run("ffprobe -v error -show_streams " + testsupport::Quote(out.toStdString()) + " >/dev/null"), 0);
  }

  // Closing the window during a join cancels the join and keeps the window.
  void closeDuringJoinKeepsWindow() {
    media::TimelineWriter::SetChunkDelayForTesting(20000);
    QFile::remove(P(QStringLiteral("closed.avi")));
    Answer(QStringLiteral("closed.avi"));
    dlg_->joinButton->click();
    QVERIFY(dlg_->running);
    dlg_->close();
    QVERIFY(dlg_->closeRequested);
    QTRY_VERIFY_WITH_TIMEOUT(SawBox(148, QStringLiteral("Merge video files was canceled!")), 10000);
    QVERIFY(dlg_->isVisible());
    QVERIFY(dlg_->joiner == nullptr);
  }

  // The summed sizes plus one megabyte do not fit: text 150, nothing created.
  void notEnoughSpace() {
    float need = 1.0f;
    for (const QString& c : clips_) need += static_cast<float>(QFileInfo(c).size() / 1048576.0);
    uint64_t offered = static_cast<uint64_t>((need - 0.01f) * 1048576.0);
    QString asked;
    SetFreeSpaceProbe([&](const QString& folder, uint64_t& freeBytes) {
      asked = folder;
      freeBytes = offered;
      return true;
    });
    const QString out = P(QStringLiteral("nospace.avi"));
    QFile::remove(out);
    Answer(QStringLiteral("nospace.avi"));
    dlg_->joinButton->click();
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_.first().text, LanguageText(150, QStringLiteral("No enough disc space available!")));
    QCOMPARE(asked, dir_ + QLatin1Char('/'));
    QVERIFY(!QFileInfo::exists(out));
    QVERIFY(!dlg_->running);
    QVERIFY(dlg_->joiner == nullptr);
    QVERIFY(!dlg_->progressBar->isVisible());
    // Enough by a hair: the join runs.
    offered = static_cast<uint64_t>((need + 0.01f) * 1048576.0);
    boxes_.clear();
    Answer(QStringLiteral("nospace.avi"));
    dlg_->joinButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(SawBox(149, QStringLiteral("Finished Successfully!")), 30000);
    QVERIFY(QFileInfo::exists(out));
  }

  // A listed file that vanished: its size warning (text 151, its path as
  // caption), it counts 0, and the join goes on and fails on the missing clip.
  void vanishedClipIsReported() {
    const QString gone = P(QStringLiteral("gone.avi"));
    QVERIFY(QFile::copy(clips_.first(), gone));
    QCOMPARE(dlg_->AddClip(gone), 1);
    dlg_->SetCommandsEnabled(true);
    QFile::remove(gone);
    boxes_.clear();
    float m = -1;
    QVERIFY(!dlg_->FileSizeMegabytes(gone, m));
    QCOMPARE(m, 0.0f);
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_.first().caption, gone);
    QCOMPARE(boxes_.first().icon, MB_ICONWARNING);
    QCOMPARE(boxes_.first().text, LanguageText(151, QStringLiteral("Error open file info for size checks...")));
    boxes_.clear();
    Answer(QStringLiteral("withgone.avi"));
    dlg_->joinButton->click();
    // Not started: a failure of the join, not a cancel, with the reason, and
    // the window idle at once.
    QVERIFY(SawBox(151, QStringLiteral("Error open file info for size checks...")));
    QVERIFY(!SawBox(148, QStringLiteral("Merge video files was canceled!")));
    QVERIFY(!SawBox(166, QStringLiteral("Error recompress video! Please check video settings.")));
    const Box& last = boxes_.last();
    QVERIFY2(last.text.startsWith(QStringLiteral("Joining failed: ")), qPrintable(last.text));
    QVERIFY2(last.text.contains(gone), qPrintable(last.text));
    QCOMPARE(last.icon, MB_ICONWARNING);
    QVERIFY(!dlg_->running);
  }

  // Join with Recompress through the real save dialog: the conversion runs on
  // its own thread with the preview showing the frames written and the bar
  // moving, ends with the success text, and the output holds every frame.
  void recompressJoinFinishes() {
    const QString out = P(QStringLiteral("recompressed.avi"));
    QFile::remove(out);
    dlg_->convertDelayForTesting = 15000;  // 15 ms a picture: the run is seen while it goes
    Answer(QStringLiteral("recompressed.avi"), true);
    dlg_->joinButton->click();
    QVERIFY(dialogSeen_);
    QVERIFY(dlg_->running);
    QVERIFY(dlg_->previewPanel->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(dlg_->progressBar->value() >= 20, 20000);
    // The preview shows a picture (testsrc's colour bars), not its black background.
    QImage preview;
    QTRY_VERIFY_WITH_TIMEOUT((preview = dlg_->previewPanel->grab().toImage(),
                              preview.pixelColor(preview.width() / 2, preview.height() / 2).value() > 40),
                             5000);
    QDir().mkpath(QStringLiteral(SPLICORA_SCREENSHOT_DIR));
    dlg_->grab().save(QStringLiteral(SPLICORA_SCREENSHOT_DIR "/conversion-running.png"));
    QTRY_VERIFY_WITH_TIMEOUT(SawBox(149, QStringLiteral("Finished Successfully!")), 60000);
    QCOMPARE(boxes_.size(), 1);
    QVERIFY(!dlg_->running);
    QVERIFY(!dlg_->workerThread);
    QVERIFY(!dlg_->previewPanel->isVisible());
    // Every chunk of the sources is a frame of the output, drops included.
    int chunks = 0;
    for (const QString& c : clips_)
      chunks += std::atoi(testsupport::Ffprobe(c.toStdString(), "-select_streams v:0 -show_entries stream=nb_frames -of csv=p=0").c_str());
    QCOMPARE(FrameCount(out), chunks);
    QCOMPARE(testsupport::Ffprobe(out.toStdString(), "-select_streams v:0 -show_entries stream=codec_name -of csv=p=0"),
             std::string("mpeg4\n"));
    QCOMPARE(dlg_->outputPath, out);
    QVERIFY(!dlg_->codecName.isEmpty());
  }

  // Cancel during a conversion: the cancel text, and a closed file ffprobe reads.
  void cancelMidConversion() {
    const QString out = P(QStringLiteral("conversion-cancelled.avi"));
    QFile::remove(out);
    dlg_->convertDelayForTesting = 30000;
    Answer(QStringLiteral("conversion-cancelled.avi"), true);
    dlg_->joinButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(dlg_->progressBar->value() >= 5, 20000);
    const QString lineBefore = dlg_->InfoLine();
    dlg_->cancelButton->click();
    // Cancel returns at once; the strip says what is happening while the
    // worker drains, and the window goes on answering until its end message.
    QCOMPARE(dlg_->InfoLine(), QStringLiteral("Stopping…"));
    QVERIFY(dlg_->running);
    QTRY_VERIFY_WITH_TIMEOUT(SawBox(148, QStringLiteral("Merge video files was canceled!")), 5000);
    QCOMPARE(boxes_.size(), 1);
    QVERIFY2(boxes_[0].text.endsWith(QStringLiteral("\r") + out), qPrintable(boxes_[0].text));
    QCOMPARE(dlg_->InfoLine(), lineBefore);
    const int frames = FrameCount(out);
    QVERIFY(frames > 0 && frames < SumFrames());
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TestJoin test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_join.moc"
