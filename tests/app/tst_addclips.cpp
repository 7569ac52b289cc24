// Adding and removing clips in the main window, with real clips made by the
// ffmpeg CLI, the real open dialog driven through its file-name box, and the
// message boxes recorded as the user would see them.
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <QtTest>

#include <cmath>

#include "app/CFECFileDialog.h"
#include "app/MainDialog.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "controls/CListFiles.h"
#include "tests/support/Fixtures.h"

using testsupport::CachedClip;
using testsupport::Quote;

namespace {

struct Box {
  QString text;
  QString caption;
  unsigned icon;
  bool commandsEnabled;  // Add File at the moment the box showed
  bool waitCursor;
};

QString Time(int s) {
  return QString::asprintf(" %.2d:%.2d:%.2d", s / 3600, (s / 60) % 60, s % 60);
}

// A clip of `seconds` at 25 fps with mono 16-bit audio.
std::string ClipArgs(int seconds, const char* size = "320x240", int audioRate = 44100) {
  return "-f lavfi -i testsrc=size=" + std::string(size) + ":rate=25:duration=" +
         std::to_string(seconds) + " -f lavfi -i sine=r=" + std::to_string(audioRate) +
         ":d=" + std::to_string(seconds) + " -c:v mpeg4 -q:v 6 -c:a pcm_s16le";
}

}  // namespace

class TestAddClips : public QObject {
  Q_OBJECT
  QString dir_;
  QList<Box> boxes_;
  MessageBoxHandler oldHandler_;
  std::unique_ptr<MainDialog> dlg_;
  QString openLabel_, cancelLabel_;

  QString P(const QString& name) const { return dir_ + QLatin1Char('/') + name; }
  QString P(const char* name) const { return P(QLatin1String(name)); }

  void CopyClip(const std::string& source, const QString& name) {
    QVERIFY2(!source.empty(), "ffmpeg could not make the clip");
    QFile::remove(P(name));
    QVERIFY(QFile::copy(QString::fromStdString(source), P(name)));
  }

  // The next Add File picks these names (in this order) in the open dialog,
  // or presses Cancel when names is empty.
  void Choose(const QStringList& names) {
    CFECFileDialog::SetShowHook([this, names](CFECFileDialog* d) {
      auto* buttons = d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
      QPushButton* open = buttons->button(QDialogButtonBox::Open);
      QPushButton* cancel = buttons->button(QDialogButtonBox::Cancel);
      openLabel_ = open->text();
      cancelLabel_ = cancel->text();
      if (names.isEmpty()) {
        cancel->click();
        return;
      }
      d->setDirectory(dir_);
      QStringList quoted;
      for (const QString& n : names) quoted << QLatin1Char('"') + n + QLatin1Char('"');
      d->SetFileNameText(names.size() == 1 ? names.first() : quoted.join(QLatin1Char(' ')));
      open->click();
    });
  }

  void AddFile(const QStringList& names) {
    Choose(names);
    QTest::mouseClick(dlg_->addButton, Qt::LeftButton);
    CFECFileDialog::SetShowHook(nullptr);
  }

  QStringList Rows() const {
    QStringList rows;
    for (int i = 0; i < dlg_->clipList->GetItemCount(); ++i)
      rows << QFileInfo(dlg_->clipList->GetItemText(i, 1)).fileName();
    return rows;
  }
  QString Order() const { return Rows().join(QLatin1Char(',')); }

  QString Mismatch() const { return QStringLiteral("Files format is not equal. "); }

  bool DropOnList(const QStringList& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
    data.setUrls(urls);
    QWidget* vp = dlg_->clipList->viewport();
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(vp, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(vp, &drop);
    QCoreApplication::processEvents();  // the names are handled after the drop event
    return drop.isAccepted();
  }

 private slots:
  void initTestCase() {
    dir_ = QString::fromStdString(testsupport::TempDir("addclips"));
    CopyClip(CachedClip("add-2s.avi", ClipArgs(2)), QStringLiteral("A.avi"));
    CopyClip(CachedClip("add-3s.avi", ClipArgs(3)), QStringLiteral("B.avi"));
    CopyClip(CachedClip("add-4s.avi", ClipArgs(4)), QStringLiteral("C.avi"));
    CopyClip(CachedClip("add-5s.avi", ClipArgs(5)), QStringLiteral("D.avi"));
    CopyClip(CachedClip("add-small.avi", ClipArgs(2, "160x120")), QStringLiteral("small.avi"));
    CopyClip(CachedClip("add-22k.avi", ClipArgs(2, "320x240", 22050)), QStringLiteral("aud22k.avi"));
    CopyClip(CachedClip("add-1s.avi", ClipArgs(1)), QStringLiteral("bad.avi"));
    // No decoder for the picture: the format block names a codec nobody has,
    // while the stream header still says FMP4 like the other clips.
    QFile bad(P("bad.avi"));
    QVERIFY(bad.open(QIODevice::ReadWrite));
    QByteArray bytes = bad.readAll();
    const qsizetype strh = bytes.indexOf("FMP4");
    const qsizetype strf = bytes.indexOf("FMP4", strh + 4);
    QVERIFY(strh > 0 && strf > strh);
    bytes.replace(strf, 4, "ZZZZ");
    bad.seek(0);
    bad.write(bytes);
    bad.close();
    const std::string probe =
        testsupport::Ffprobe(P("bad.avi").toStdString(),
                             "-select_streams v:0 -show_entries stream=codec_name -of csv=p=0");
    QCOMPARE(QString::fromStdString(probe).trimmed(), QStringLiteral("unknown"));

    oldHandler_ = SetMessageBoxHandler(
        [this](QObject*, const QString& text, const QString& caption, unsigned icon) {
          const bool wait = QApplication::overrideCursor() &&
                            QApplication::overrideCursor()->shape() == Qt::WaitCursor;
          boxes_.append({text, caption, icon, dlg_ && dlg_->addButton->isEnabled(), wait});
          return IDOK;
        });
  }

  void cleanupTestCase() { SetMessageBoxHandler(oldHandler_); }

  void init() {
    boxes_.clear();
    SetCurrentLanguage(kLanguageEnglish);
    dlg_ = std::make_unique<MainDialog>(QString());
    dlg_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
  }

  void cleanup() {
    CFECFileDialog::SetShowHook(nullptr);
    dlg_.reset();
  }

  void openDialogFilterAndLabels() {
    QCOMPARE(CFECFileDialog::ToQtFilter(
                 QStringLiteral("AVI Files (*.avi)|*.avi|All Files (*.*)|*.*||")),
             QStringLiteral("AVI Files (*.avi);;All Files (*)"));
    Choose({});
    QTest::mouseClick(dlg_->addButton, Qt::LeftButton);
    QCOMPARE(openLabel_, QStringLiteral("Open"));
    QCOMPARE(cancelLabel_, QStringLiteral("Cancel"));
    QCOMPARE(dlg_->clipList->GetItemCount(), 0);
    QVERIFY(dlg_->addButton->isEnabled());
    QVERIFY(!dlg_->joinButton->isEnabled());
    QVERIFY(boxes_.isEmpty());
  }

  // The names come in the order the dialog yields them (its file-name box's order).
  void selectionAddsInTheDialogsOrder() {
    AddFile({QStringLiteral("A.avi"), QStringLiteral("B.avi"), QStringLiteral("C.avi")});
    QCOMPARE(Order(), QStringLiteral("A.avi,B.avi,C.avi"));
    QVERIFY(boxes_.isEmpty());
    QCOMPARE(dlg_->totalSeconds, 9);
    QCOMPARE(dlg_->clipList->GetItemData(0), 2);
    QCOMPARE(dlg_->clipList->GetItemData(2), 4);
    // A came to the empty list: its format describes the list.
    QCOMPARE(dlg_->referenceVideo.length, 50u);
    QVERIFY(dlg_->referenceDescription.contains(QStringLiteral("320 x 240")));
    QCOMPARE(dlg_->InfoLine(), dlg_->referenceDescription + Time(9));
    QCOMPARE(dlg_->clipList->GetSelectedRow(), 2);
    QVERIFY(dlg_->addButton->isEnabled() && dlg_->removeButton->isEnabled() &&
            dlg_->joinButton->isEnabled());
    QVERIFY(!QApplication::overrideCursor());
    // The preview panel takes the clip's 4:3 shape at its own width.
    const QRect preview = dlg_->previewPanel->geometry();
    QCOMPARE(preview.height(), static_cast<int>(std::trunc(preview.width() / (320.0 / 240.0))));
    // Every row shows its own thumbnail: the picture is not black.
    const QImage thumb = dlg_->clipList->GetRowImage(1);
    QCOMPARE(thumb.size(), QSize(256, 96));
    QVERIFY(thumb.pixelColor(64, 48) != QColor(Qt::black));
    QVERIFY(thumb.pixelColor(192, 48) != QColor(Qt::black));

    // The picture: the main window holding three clips.
    QApplication::processEvents();
    QDir().mkpath(QStringLiteral(SPLICORA_SCREENSHOT_DIR));
    QVERIFY(dlg_->grab().save(QStringLiteral(SPLICORA_SCREENSHOT_DIR "/main-window-three-clips.png")));
  }

  // A name with a blank at its start is a name of its own, not another file's.
  void nameWithBlanksIsTakenWhole() {
    CopyClip(CachedClip("add-3s.avi", ClipArgs(3)), QStringLiteral(" A.avi"));
    AddFile({QStringLiteral(" A.avi")});
    QCOMPARE(Rows(), QStringList{QStringLiteral(" A.avi")});
    QCOMPARE(dlg_->totalSeconds, 3);
    QVERIFY(boxes_.isEmpty());
  }

  void undecodableThirdFileEndsTheBatch() {
    AddFile({QStringLiteral("A.avi"), QStringLiteral("B.avi"), QStringLiteral("bad.avi"),
             QStringLiteral("D.avi")});
    QCOMPARE(Order(), QStringLiteral("A.avi,B.avi"));
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_[0].text, QStringLiteral("No video codec installed for format  FMP4."));
    QCOMPARE(boxes_[0].caption, QStringLiteral("Merge is not possible..."));
    QCOMPARE(boxes_[0].icon, MB_ICONWARNING);
    QVERIFY(!boxes_[0].commandsEnabled);
    QVERIFY(boxes_[0].waitCursor);
    // The refused clip's second is taken back.
    QCOMPARE(dlg_->totalSeconds, 5);
    QCOMPARE(dlg_->InfoLine(), dlg_->referenceDescription + Time(5));
    QVERIFY(dlg_->addButton->isEnabled() && dlg_->joinButton->isEnabled());
  }

  void refusedThumbnailOnEmptyListLeavesItEmpty() {
    AddFile({QStringLiteral("bad.avi")});
    QCOMPARE(dlg_->clipList->GetItemCount(), 0);
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(dlg_->InfoLine(), dlg_->hintText);
    QCOMPARE(dlg_->totalSeconds, 0);
    QVERIFY(!dlg_->joinButton->isEnabled() && !dlg_->removeButton->isEnabled());
    // The refused file's format stays as the reference until the next first clip.
    QCOMPARE(dlg_->referenceVideo.length, 25u);
    AddFile({QStringLiteral("A.avi")});
    QCOMPARE(dlg_->referenceVideo.length, 50u);
    QCOMPARE(dlg_->InfoLine(), dlg_->referenceDescription + Time(2));
  }

  void videoMismatchIsRefusedWithReport() {
    AddFile({QStringLiteral("A.avi"), QStringLiteral("B.avi"), QStringLiteral("small.avi")});
    QCOMPARE(Order(), QStringLiteral("A.avi,B.avi"));
    QCOMPARE(boxes_.size(), 1);
    // The refusal offers to add the clip anyway, to be re-encoded; not answered yes, it is left out.
    QCOMPARE(boxes_[0].text,
             Mismatch() + QStringLiteral("\r Video: \r Dimensions of 1st file 320 x 240, new file 160 x 120") +
                 QStringLiteral("\r\rAdd it anyway? Its video will be re-encoded to match the first clip "
                                "(the other clips are still copied as they are)."));
    QCOMPARE(boxes_[0].caption, QStringLiteral("Merge is not possible..."));
    QCOMPARE(boxes_[0].icon, MB_ICONQUESTION | MB_YESNO);
    QVERIFY(!boxes_[0].commandsEnabled);
    QCOMPARE(dlg_->totalSeconds, 5);
  }

  void audioOnlyDifferenceWarnsAndAdds() {
    AddFile({QStringLiteral("A.avi"), QStringLiteral("B.avi"), QStringLiteral("aud22k.avi")});
    QCOMPARE(Order(), QStringLiteral("A.avi,B.avi,aud22k.avi"));
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_[0].text,
             Mismatch() + QStringLiteral("\rAudio: \r Sample rate of 1st file - 44100, new file - 22050"));
    QCOMPARE(boxes_[0].caption, QStringLiteral("Merge is not possible..."));
    QCOMPARE(dlg_->totalSeconds, 7);
    QCOMPARE(dlg_->InfoLine(), dlg_->referenceDescription + Time(7));
  }

  void hundredAndSecondFileIsRefused() {
    QStringList names;
    for (int i = 0; i <= 102; ++i) {
      const QString name = QStringLiteral("many%1.avi").arg(i, 3, 10, QLatin1Char('0'));
      if (!QFile::exists(P(name))) QVERIFY(QFile::copy(P("A.avi"), P(name)));
      names << name;
    }
    // Added as yielded: many000 .. many100, then many101 is refused.
    AddFile(names);
    QCOMPARE(dlg_->clipList->GetItemCount(), 101);
    QCOMPARE(QFileInfo(dlg_->clipList->GetItemText(0, 1)).fileName(), QStringLiteral("many000.avi"));
    QCOMPARE(QFileInfo(dlg_->clipList->GetItemText(100, 1)).fileName(), QStringLiteral("many100.avi"));
    QVERIFY(!Rows().contains(QStringLiteral("many101.avi")));
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_[0].text, QStringLiteral("Clips count exceed of maximal possible!"));
    QCOMPARE(boxes_[0].caption, ApplicationName());
    QCOMPARE(boxes_[0].icon, MB_ICONWARNING);
    QCOMPARE(dlg_->totalSeconds, 202);
    // A full list takes no more, and the refusal stops a drop too.
    QCOMPARE(dlg_->AddClip(P("B.avi")), 0);
    QVERIFY(DropOnList({P("B.avi"), P("C.avi")}));
    QCOMPARE(boxes_.size(), 3);
    QCOMPARE(dlg_->clipList->GetItemCount(), 101);
  }

  void removeFirstMiddleLast() {
    AddFile({QStringLiteral("B.avi"), QStringLiteral("C.avi"), QStringLiteral("D.avi"),
             QStringLiteral("A.avi")});
    QCOMPARE(Order(), QStringLiteral("B.avi,C.avi,D.avi,A.avi"));
    QCOMPARE(dlg_->totalSeconds, 14);
    const QString description = dlg_->referenceDescription;
    CListFiles* list = dlg_->clipList;

    list->setCurrentItem(list->topLevelItem(0));
    QTest::mouseClick(dlg_->removeButton, Qt::LeftButton);
    QCOMPARE(Order(), QStringLiteral("C.avi,D.avi,A.avi"));
    QCOMPARE(dlg_->totalSeconds, 11);
    QCOMPARE(dlg_->InfoLine(), description + Time(11));  // B's description stays
    QCOMPARE(list->GetSelectedRow(), 0);

    list->setCurrentItem(list->topLevelItem(1));
    QTest::mouseClick(dlg_->removeButton, Qt::LeftButton);
    QCOMPARE(Order(), QStringLiteral("C.avi,A.avi"));
    QCOMPARE(dlg_->totalSeconds, 6);
    QCOMPARE(list->GetSelectedRow(), 1);  // A moved into the removed row's place

    QTest::mouseClick(dlg_->removeButton, Qt::LeftButton);  // A, the last row
    QCOMPARE(Order(), QStringLiteral("C.avi"));
    QCOMPARE(dlg_->totalSeconds, 4);
    QCOMPARE(dlg_->InfoLine(), description + Time(4));
    QCOMPARE(list->GetSelectedRow(), 0);

    list->clearSelection();
    QTest::mouseClick(dlg_->removeButton, Qt::LeftButton);
    QCOMPARE(Order(), QStringLiteral("C.avi"));
    QCOMPARE(dlg_->totalSeconds, 4);

    list->setCurrentItem(list->topLevelItem(0));
    QTest::mouseClick(dlg_->removeButton, Qt::LeftButton);
    QCOMPARE(list->GetItemCount(), 0);
    QCOMPARE(dlg_->totalSeconds, 0);
    QCOMPARE(dlg_->InfoLine(), dlg_->hintText);
    QVERIFY(!dlg_->removeButton->isEnabled() && !dlg_->joinButton->isEnabled());
    QVERIFY(dlg_->addButton->isEnabled());
    QVERIFY(boxes_.isEmpty());
  }

  void dropsAddThroughTheSameRoutine() {
    QFile::remove(P("c.AVI"));
    QVERIFY(QFile::copy(P("C.avi"), P("c.AVI")));
    QFile::remove(P("b.txt"));
    QVERIFY(QFile::copy(P("B.avi"), P("b.txt")));
    QFile::remove(P("link.avi"));
    QVERIFY(QFile::link(P("D.avi"), P("link.avi")));
    QVERIFY(DropOnList({P("A.avi"), P("b.txt"), P("small.avi"), P("c.AVI"), P("link.avi")}));
    QCOMPARE(Order(), QStringLiteral("A.avi,c.AVI,D.avi"));
    QCOMPARE(dlg_->totalSeconds, 11);
    QCOMPARE(boxes_.size(), 1);  // the small clip's report, shown during the drop
    QVERIFY(!boxes_[0].commandsEnabled);
    QVERIFY(dlg_->addButton->isEnabled() && dlg_->removeButton->isEnabled());
    QVERIFY(!QApplication::overrideCursor());

    // While a join runs the list takes no drops.
    dlg_->EnterJoiningLayout();
    QVERIFY(!DropOnList({P("B.avi")}));
    dlg_->RestoreIdleLayout();
    QVERIFY(DropOnList({P("B.avi")}));
    QCOMPARE(Order(), QStringLiteral("A.avi,c.AVI,D.avi,B.avi"));
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TestAddClips test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_addclips.moc"
