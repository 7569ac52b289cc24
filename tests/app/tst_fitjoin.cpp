// The window's smart join: a clip whose video differs is offered to be added
// anyway (both languages), its row marked; Join without Recompress then copies
// the matching clips and re-encodes the marked one, and the finish message
// lists it. Real clips from the ffmpeg CLI, the real save dialog, the output
// checked by ffprobe and ffmpeg.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QtTest>

#include "app/FitRows.h"
#include "app/MainDialog.h"
#include "convert/dialogs/CFileDialogOpt.h"
#include "directjoin/TimelineJoiner.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "directjoin/TimelineWriter.h"
#include "tests/support/Fixtures.h"

namespace {

struct Box {
  QString text;
  unsigned icon;
};

int FrameCount(const QString& path) {
  return std::atoi(testsupport::Ffprobe(path.toStdString(),
                                        "-count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0")
                       .c_str());
}

QString Made(const std::string& name, const std::string& args) {
  return QString::fromStdString(testsupport::CachedClip(name, args));
}

}  // namespace

class TestFitJoin : public QObject {
  Q_OBJECT
  QString dir_, reference_, odd_;
  QList<Box> boxes_;
  int answer_ = IDNO;  // to the question boxes
  MessageBoxHandler oldHandler_;
  std::unique_ptr<MainDialog> dlg_;

  void Answer(const QString& name) {
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [this, name, poll] {
      auto* dialog = qobject_cast<CFileDialogOpt*>(QApplication::activeModalWidget());
      if (!dialog) {
        QTimer::singleShot(20, *poll);
        return;
      }
      dialog->setDirectory(dir_);
      dialog->SetFileNameForTesting(name);
      dialog->recompress = false;
      static_cast<QDialog*>(dialog)->accept();
    };
    QTimer::singleShot(0, *poll);
  }

  const Box* LastBox() const { return boxes_.isEmpty() ? nullptr : &boxes_.last(); }

  // The reference, the odd clip (answered yes) and the reference again.
  void AddList() {
    answer_ = IDYES;
    QCOMPARE(dlg_->AddClip(reference_), 1);
    QCOMPARE(dlg_->AddClip(odd_), 1);
    QCOMPARE(dlg_->AddClip(reference_), 1);
    dlg_->SetCommandsEnabled(true);
    QCOMPARE(dlg_->ClipCount(), 3);
    boxes_.clear();
  }

 private slots:
  void initTestCase() {
    dir_ = QString::fromStdString(testsupport::TempDir("tst-fitjoin"));
    reference_ = Made("guifit-ref.avi",
                      "-f lavfi -i testsrc=size=320x240:rate=25:duration=2 -f lavfi -i sine=frequency=440:duration=2 "
                      "-c:v mpeg4 -vtag XVID -q:v 4 -c:a libmp3lame -b:a 128k");
    odd_ = Made("guifit-odd.avi",
                "-f lavfi -i testsrc=size=160x120:rate=30:duration=4 -f lavfi -i sine=frequency=660:duration=4 "
                "-c:v mjpeg -q:v 4 -c:a libmp3lame -b:a 128k");
    QVERIFY(!reference_.isEmpty() && !odd_.isEmpty());
    oldHandler_ = SetMessageBoxHandler([this](QObject*, const QString& text, const QString&, unsigned icon) {
      boxes_.append({text, icon});
      return (icon & 0x0F) == MB_YESNO ? answer_ : IDOK;
    });
  }

  void cleanupTestCase() { SetMessageBoxHandler(oldHandler_); }

  void init() {
    boxes_.clear();
    SetCurrentLanguage(kLanguageEnglish);
    media::TimelineWriter::SetChunkDelayForTesting(0);
    dlg_ = std::make_unique<MainDialog>(QStringLiteral("Some codec"));
    dlg_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
  }

  void cleanup() {
    media::TimelineWriter::SetChunkDelayForTesting(0);
    dlg_.reset();
  }

  // The refusal asks, in the interface language; no leaves the list as it
  // was, yes adds the clip with its mark.
  void differingClipIsOffered() {
    QCOMPARE(dlg_->AddClip(reference_), 1);
    SetRussianAvailable(true);
    for (int language : {kLanguageEnglish, kLanguageRussian}) {
      SetCurrentLanguage(language);
      boxes_.clear();
      answer_ = IDNO;
      QCOMPARE(dlg_->AddClip(odd_), 1);  // the batch goes on
      QCOMPARE(dlg_->ClipCount(), 1);
      QCOMPARE(boxes_.size(), 1);
      QCOMPARE(boxes_[0].icon, MB_ICONQUESTION | MB_YESNO);
      QVERIFY(boxes_[0].text.contains(LanguageText(1013, QStringLiteral("\r Dimensions of 1st file %1 x %2, new file %3 x %4"))
                                          .arg(320).arg(240).arg(160).arg(120)));
      const QString question = LanguageText(
          1200, QStringLiteral("Add it anyway? Its video will be re-encoded to match the first clip "
                               "(the other clips are still copied as they are)."));
      QVERIFY2(boxes_[0].text.endsWith(question), qPrintable(boxes_[0].text));
    }
    QVERIFY(boxes_[0].text.contains(QStringLiteral("будет перекодировано под формат первого клипа")));
    SetCurrentLanguage(kLanguageEnglish);
    SetRussianAvailable(false);
    answer_ = IDYES;
    QCOMPARE(dlg_->AddClip(odd_), 1);
    QCOMPARE(dlg_->ClipCount(), 2);
    QVERIFY(!fitrows::Marked(dlg_->clipList, 0));
    QVERIFY(fitrows::Marked(dlg_->clipList, 1));
    QTreeWidgetItem* row = dlg_->clipList->topLevelItem(1);
    QVERIFY(row->font(1).italic());
    QVERIFY(row->toolTip(1).contains(QStringLiteral("Re-encoded to match the first clip")));
    QCOMPARE(dlg_->clipList->GetItemText(1, 1), odd_);  // the path itself is unchanged
  }

  // Join without Recompress: the matching clips copied, the marked one
  // re-encoded; the finish message names it and why.
  void smartJoinFinishes() {
    AddList();
    const QString out = dir_ + QStringLiteral("/smart.avi");
    QFile::remove(out);
    Answer(QStringLiteral("smart.avi"));
    dlg_->joinButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(!dlg_->running, 60000);
    QVERIFY(LastBox());
    const QString text = LastBox()->text;
    QVERIFY2(text.startsWith(LanguageText(149, QStringLiteral("Finished Successfully!"))), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Re-encoded to match the first clip:")), qPrintable(text));
    QVERIFY2(text.contains(odd_ + QStringLiteral(": MJPG → XVID, 160x120 → 320x240, 30 → 25 fps")), qPrintable(text));
    const int frames = FrameCount(out);
    QVERIFY2(std::abs(frames - (2 * FrameCount(reference_) + 100)) <= 1, qPrintable(QString::number(frames)));
    std::string errors;
    testsupport::Run("ffmpeg -nostdin -v error -i " + testsupport::Quote(out.toStdString()) + " -f null - 2>&1", &errors);
    QCOMPARE(QString::fromStdString(errors), QString());
  }

  // Cancel while the odd clip is being re-encoded: the cancel message soon
  // after, and the file written so far is closed and readable.
  void cancelDuringEncode() {
    AddList();
    media::TimelineWriter::SetChunkDelayForTesting(40000);  // 40 ms a frame: several seconds in all
    const QString out = dir_ + QStringLiteral("/cancelled.avi");
    QFile::remove(out);
    Answer(QStringLiteral("cancelled.avi"));
    dlg_->joinButton->click();
    QVERIFY(dlg_->running);
    // Into the odd clip: past the first clip's 2 seconds.
    QTRY_VERIFY_WITH_TIMEOUT(dlg_->joiner && dlg_->joiner->PositionUnits() > 25000000, 20000);
    dlg_->cancelButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(!dlg_->running, 5000);
    QVERIFY(LastBox());
    QVERIFY(LastBox()->text.startsWith(LanguageText(148, QStringLiteral("Merge video files was canceled!"))));
    const int frames = FrameCount(out);
    QVERIFY2(frames > 50 && frames < 2 * 50 + 100, qPrintable(QString::number(frames)));
  }
};

QTEST_MAIN(TestFitJoin)
#include "tst_fitjoin.moc"
