// The compressor list, the compressors' settings dialog and the save dialog
// with the conversion options, driven as a user would under the offscreen
// platform; message boxes recorded instead of shown.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "convert/CodecList.h"
#include "convert/CompressorSettingsStore.h"
#include "convert/dialogs/CFileDialogOpt.h"
#include "convert/dialogs/CompressorSettingsDialog.h"
#include "avi/AviWriter.h"
#include "media/VideoCompressor.h"
#include "tests/support/Fixtures.h"

namespace {

constexpr uint32_t Code(const char (&t)[5]) {
  return media::MakeFourCC(t[0], t[1], t[2], t[3]);
}
constexpr uint32_t kDivx = Code("divx");
const QString kSetupWarning =
    QStringLiteral("Codec dosn't support this format. \nPlease check codec settings...");
const QString kFilter = QStringLiteral("AVI Files (*.avi)|*.avi|All Files (*.*)|*.*||");
constexpr uint32_t kFlags = CFileDialogOpt::OFN_EXPLORER | CFileDialogOpt::OFN_HIDEREADONLY;

struct Box {
  QString text;
  QString caption;
  unsigned icon;
};

// Runs action on the next modal dialog once it shows (or with null when none
// shows within the time).
void WhenModal(std::function<void(QWidget*)> action, int triesLeft = 200) {
  QTimer::singleShot(10, [action, triesLeft] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && qobject_cast<CompressorSettingsDialog*>(modal))
      action(modal);
    else if (triesLeft > 0)
      WhenModal(action, triesLeft - 1);
    else
      action(nullptr);
  });
}

QAbstractButton* ButtonWithRole(QFileDialog& dialog, QDialogButtonBox::ButtonRole role) {
  auto* box = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
  if (!box) return nullptr;
  for (QAbstractButton* b : box->buttons())
    if (box->buttonRole(b) == role) return b;
  return nullptr;
}

// A click on a check box's own box: a wide box ignores clicks past its text.
void Click(QAbstractButton* button) {
  QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(6, button->height() / 2));
}

}  // namespace

class TestCodecDialogs : public QObject {
  Q_OBJECT

  QString dir_;
  QList<Box> boxes_;
  MessageBoxHandler oldHandler_;
  CodecList codecs_;

  std::unique_ptr<CFileDialogOpt> Dialog(const QString& name, const CodecList* list, bool mp3 = true,
                                         int w = 64, int h = 48) {
    auto d =
        std::make_unique<CFileDialogOpt>(mp3, name, list, false, QString(), QString(), kFlags, kFilter, w, h);
    d->setDirectory(dir_);
    return d;
  }

 public:
  static void initMain() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  }

 private slots:
  void initTestCase() {
    dir_ = QString::fromStdString(testsupport::TempDir("codec-dialogs"));
    SetCompressorSettingsFile(dir_ + QStringLiteral("/splicora.ini"));
    oldHandler_ =
        SetMessageBoxHandler([this](QObject*, const QString& text, const QString& caption, unsigned icon) {
          boxes_.append({text, caption, icon});
          return IDOK;
        });
    EnumerateCodecs(codecs_);
  }
  void cleanupTestCase() { SetMessageBoxHandler(oldHandler_); }
  void init() {
    boxes_.clear();
    QFile::remove(dir_ + QStringLiteral("/splicora.ini"));
    SetRussianAvailable(false);
    SetCurrentLanguage(kLanguageEnglish);
  }

  void enumerateListsTheUsableCompressorsInOrder() {
    CodecList list{{QStringLiteral("stale"), 1}};
    EnumerateCodecs(list);
    const auto available = media::AvailableCompressors();
    QCOMPARE(list.size(), available.size());
    for (size_t i = 0; i < list.size(); ++i) {
      QCOMPARE(list[i].handler, available[i].handler);
      QCOMPARE(list[i].description, QString::fromStdString(available[i].description));
      QVERIFY(list[i].description.size() <= 127);
    }
    QCOMPARE(list.front().handler, kDivx);
  }

  void settingsAreKeptPerHandlerInTheSettingsFile() {
    QVERIFY(SaveCompressorSettings(Code("x264"), {{"crf", "30"}, {"preset", "fast"}}));
    QVERIFY(SaveCompressorSettings(kDivx, {{"quality", "40"}}));
    {
      QSettings file(CompressorSettingsFile(), QSettings::IniFormat);
      QCOMPARE(file.value(QStringLiteral("Compressor-x264/crf")).toString(), QStringLiteral("30"));
      QCOMPARE(file.value(QStringLiteral("Compressor-divx/quality")).toString(), QStringLiteral("40"));
      // A hand-edited value out of range falls back to the default.
      file.setValue(QStringLiteral("Compressor-x264/keyint"), QStringLiteral("-5"));
    }
    media::CompressorSettings x264 = LoadCompressorSettings(Code("x264"));
    QCOMPARE(x264, (media::CompressorSettings{{"crf", "30"}, {"preset", "fast"}, {"keyint", "250"}}));
    QCOMPARE(LoadCompressorSettings(kDivx).at("quality"), std::string("40"));
    QCOMPARE(LoadCompressorSettings(Code("mjpg")).at("quality"), std::string("85"));  // never stored
    QVERIFY(LoadCompressorSettings(Code("zzzz")).empty());
    QCOMPARE(CompressorSettingsGroup(Code("DIB ")), QStringLiteral("Compressor-DIB%20"));
  }

  void opensWithRecompressOffWithoutARememberedCodec() {
    auto d = Dialog(QString(), &codecs_);
    QCOMPARE(d->codecHandler, kDivx);
    QVERIFY(d->codecName.isEmpty());
    QVERIFY(!d->recompress);
    QVERIFY(!d->codecsListed);
    QVERIFY(d->convertAudio);
    QVERIFY(!d->RecompressBox()->isChecked());
    QVERIFY(d->RecompressBox()->isEnabled());
    QVERIFY(d->ConvertAudioBox()->isChecked());
    QVERIFY(!d->ConvertAudioBox()->isEnabled());
    QVERIFY(!d->CodecCombo()->isEnabled());
    QVERIFY(!d->SetupButton()->isEnabled());
    QCOMPARE(d->CodecCombo()->count(), 0);
    QCOMPARE(d->GetDlgItem(2000), d->RecompressBox());
    QCOMPARE(d->GetDlgItem(2001), d->CodecCombo());
    QCOMPARE(d->GetDlgItem(2003), d->SetupButton());
    QCOMPARE(d->GetDlgItem(2004), d->ConvertAudioBox());
    QCOMPARE(d->RecompressBox()->text(), QStringLiteral("Recompress"));
    QCOMPARE(d->CodecLabel()->text(), QStringLiteral("Video codec"));
    QCOMPARE(d->SetupButton()->text(), QStringLiteral("Setup"));
    QCOMPARE(d->ConvertAudioBox()->text(), QStringLiteral("Convert audio to MP3"));
    QCOMPARE(ButtonWithRole(*d, QDialogButtonBox::AcceptRole)->text(), QStringLiteral("Save"));
    QCOMPARE(ButtonWithRole(*d, QDialogButtonBox::RejectRole)->text(), QStringLiteral("Cancel"));
    QCOMPARE(d->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(d->nameFilters(),
             QStringList({QStringLiteral("AVI Files (*.avi)"), QStringLiteral("All Files (*.*)")}));

    auto quiet = Dialog(QString(), &codecs_, false);
    QVERIFY(!quiet->ConvertAudioBox()->isChecked());
    QVERIFY(!quiet->convertAudio);
  }

  void recompressClicksSwitchTheCodecControls() {
    auto d = Dialog(QString(), &codecs_, false);
    d->show();
    QVERIFY(QTest::qWaitForWindowExposed(d.get()));
    Click(d->RecompressBox());
    QVERIFY(d->recompress);
    QVERIFY(d->codecsListed);
    QCOMPARE(size_t(d->CodecCombo()->count()), codecs_.size());
    QCOMPARE(d->CodecCombo()->currentData().toUInt(), kDivx);  // the 'divx' compressor is offered
    QCOMPARE(d->codecName, codecs_.front().description);
    QVERIFY(d->CodecCombo()->isEnabled() && d->SetupButton()->isEnabled() &&
            d->ConvertAudioBox()->isEnabled());
    QVERIFY(d->ConvertAudioBox()->isChecked());
    QVERIFY(d->convertAudio);

    Click(d->ConvertAudioBox());
    QVERIFY(!d->convertAudio);
    QTest::keyClick(d->CodecCombo(), Qt::Key_Down);  // the user picks the next compressor
    QCOMPARE(d->codecHandler, codecs_[1].handler);
    QCOMPARE(d->codecName, codecs_[1].description);

    // Off: the codec controls are disabled and MP3 is checked again, disabled.
    Click(d->RecompressBox());
    QVERIFY(!d->recompress);
    QVERIFY(!d->CodecCombo()->isEnabled() && !d->SetupButton()->isEnabled());
    QVERIFY(!d->ConvertAudioBox()->isEnabled());
    QVERIFY(d->ConvertAudioBox()->isChecked());
    QVERIFY(d->convertAudio);
    QCOMPARE(d->codecHandler, codecs_[1].handler);

    // On again: the list is not filled twice.
    d->CodecCombo()->addItem(QStringLiteral("marker"));
    Click(d->RecompressBox());
    QCOMPARE(size_t(d->CodecCombo()->count()), codecs_.size() + 1);
    QVERIFY(d->ConvertAudioBox()->isEnabled() && d->ConvertAudioBox()->isChecked());
  }

  void aRememberedCodecOpensWithRecompressOnAndItSelected() {
    const CodecEntry& ffv1 = *std::find_if(codecs_.begin(), codecs_.end(),
                                           [](const CodecEntry& e) { return e.handler == Code("ffv1"); });
    auto d = Dialog(ffv1.description, &codecs_, false);
    QVERIFY(d->recompress && d->RecompressBox()->isChecked());
    QVERIFY(d->codecsListed);
    QCOMPARE(d->CodecCombo()->currentText(), ffv1.description);
    QCOMPARE(d->codecHandler, Code("ffv1"));
    QVERIFY(d->ConvertAudioBox()->isChecked() && d->ConvertAudioBox()->isEnabled());
    QVERIFY(d->convertAudio);
  }

  void fillCodecComboMatchingRules() {
    const CodecList twoDivx{{QStringLiteral("Alpha"), Code("xvid")},
                            {QStringLiteral("DivX one"), kDivx},
                            {QStringLiteral("Upper DIVX"), Code("DIVX")},
                            {QStringLiteral("DivX two"), kDivx}};
    {  // No remembered name: the last 'divx' wins; 'DIVX' is another code.
      auto d = Dialog(QString(), &twoDivx);
      d->FillCodecCombo();
      QCOMPARE(d->CodecCombo()->currentIndex(), 3);
      QCOMPARE(d->codecName, QStringLiteral("DivX two"));
      QCOMPARE(d->codecHandler, kDivx);
    }
    {  // A name match sets the handler, and a later entry with that handler then wins.
      auto d = Dialog(QStringLiteral("DivX one"), &twoDivx);
      QCOMPARE(d->CodecCombo()->currentIndex(), 3);
      QCOMPARE(d->codecName, QStringLiteral("DivX two"));
      QCOMPARE(d->codecHandler, kDivx);
    }
    {  // Names compare exactly: "alpha" matches nothing, and the entry shown is taken.
      auto d = Dialog(QStringLiteral("alpha"), &twoDivx);
      QCOMPARE(d->CodecCombo()->currentIndex(), 0);
      QCOMPARE(d->codecName, QStringLiteral("Alpha"));
      auto exact = Dialog(QStringLiteral("Alpha"), &twoDivx);
      QCOMPARE(exact->codecHandler, Code("xvid"));
    }
    {  // An unknown remembered name: the first entry shows, and it is the one taken.
      auto d = Dialog(QStringLiteral("Gone codec"), &twoDivx);
      QCOMPARE(d->CodecCombo()->currentIndex(), 0);
      QCOMPARE(d->codecHandler, Code("xvid"));
      QCOMPARE(d->codecName, QStringLiteral("Alpha"));
    }
    {  // No remembered name and no 'divx' (a fresh settings file): the first shows and is taken.
      const CodecList noDivx{{QStringLiteral("First"), Code("mjpg")},
                             {QStringLiteral("Second"), Code("x264")}};
      auto d = Dialog(QString(), &noDivx);
      d->show();
      Click(d->RecompressBox());
      QCOMPARE(d->CodecCombo()->currentIndex(), 0);
      QCOMPARE(d->codecHandler, Code("mjpg"));
      QCOMPARE(d->codecName, QStringLiteral("First"));
      QTest::keyClick(d->CodecCombo(), Qt::Key_Down);
      QCOMPARE(d->codecHandler, Code("x264"));
      QCOMPARE(d->codecName, QStringLiteral("Second"));
    }
    {  // Without a list nothing is filled.
      auto d = Dialog(QString(), nullptr);
      d->FillCodecCombo();
      QCOMPARE(d->CodecCombo()->count(), 0);
      QVERIFY(!d->codecsListed);
    }
  }

  // Setup on a compressor that changes the frame size warns after OK.
  void setupWarnsWhenTheCompressorChangesTheSize() {
    auto d = Dialog(QStringLiteral("H.264 / AVC (x264)"), &codecs_, true, 65, 49);
    QCOMPARE(d->codecHandler, Code("x264"));
    bool seen = false;
    WhenModal([&](QWidget* w) {
      auto* settings = qobject_cast<CompressorSettingsDialog*>(w);
      QVERIFY(settings);
      seen = true;
      qobject_cast<QSpinBox*>(settings->Editor("crf"))->setValue(31);
      settings->accept();
    });
    QTest::mouseClick(d->SetupButton(), Qt::LeftButton);
    QVERIFY(seen);
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_[0].text, kSetupWarning);
    QCOMPARE(boxes_[0].caption, QStringLiteral("Video codec"));
    QCOMPARE(boxes_[0].icon, MB_ICONWARNING);
    QCOMPARE(LoadCompressorSettings(Code("x264")).at("crf"), std::string("31"));

    // The same compressor at an even size: no warning.
    boxes_.clear();
    d->videoWidth = 64;
    d->videoHeight = 48;
    WhenModal([](QWidget* w) { static_cast<QDialog*>(w)->accept(); });
    QTest::mouseClick(d->SetupButton(), Qt::LeftButton);
    QVERIFY(boxes_.isEmpty());
  }

  void setupCancelledChecksNothingAndKeepsTheSettings() {
    auto d = Dialog(QStringLiteral("H.264 / AVC (x264)"), &codecs_, true, 65, 49);
    bool seen = false;
    WhenModal([&](QWidget* w) {
      seen = w != nullptr;
      if (!w) return;
      qobject_cast<QSpinBox*>(static_cast<CompressorSettingsDialog*>(w)->Editor("crf"))->setValue(40);
      static_cast<QDialog*>(w)->reject();
    });
    QTest::mouseClick(d->SetupButton(), Qt::LeftButton);
    QVERIFY(seen);
    QVERIFY(boxes_.isEmpty());
    QCOMPARE(LoadCompressorSettings(Code("x264")).at("crf"), std::string("23"));
  }

  void setupDoesNothingVisibleWithoutSettingsOrCompressor() {
    // (An unknown remembered name takes the compressor shown, whose Setup works.)
    for (const QString& name : {QStringLiteral("Uncompressed RGB 24-bit")}) {
      auto d = Dialog(name, &codecs_, true, 64, 48);
      bool dialogShown = false;
      WhenModal(
          [&](QWidget* w) {
            dialogShown = w != nullptr;
            if (w) static_cast<QDialog*>(w)->reject();
          },
          5);
      d->CheckCodecSetup();
      QTest::qWait(120);
      QVERIFY(!dialogShown);
      QVERIFY(boxes_.isEmpty());
    }
  }

  // What the settings dialog stores is what the compressing stream uses.
  void dialogSettingsReachTheEncoder() {
    auto encodedBytes = [this](const QString& name) -> int64_t {
      const std::string path = (dir_ + QLatin1Char('/') + name).toStdString();
      media::AviWriter writer;
      if (writer.Create(path) != media::AVIERR_OK) return -1;
      media::AviStreamInfo info;
      info.dwScale = 1;
      info.dwRate = 25;
      media::BitmapInfoHeader input;
      input.biWidth = 160;
      input.biHeight = 120;
      input.biBitCount = 24;
      media::CompressedVideoStream stream;
      if (stream.Open(writer, info, kDivx, input, LoadCompressorSettings(kDivx)) != media::AVIERR_OK)
        return -1;
      std::vector<uint8_t> frame(160 * 3 * 120);
      for (int i = 0; i < 4; ++i) {
        for (size_t p = 0; p < frame.size(); ++p)
          frame[p] = static_cast<uint8_t>((p * 31 + p / 480 * 17 + i * 9) & 0xFF);
        if (stream.Write(frame.data(), static_cast<uint32_t>(frame.size())) != media::AVIERR_OK) return -1;
      }
      if (stream.Finish() != media::AVIERR_OK || writer.Close() != media::AVIERR_OK) return -1;
      int64_t total = 0;
      for (const auto& p : testsupport::ProbePackets(path, "v:0")) total += p.size;
      return total;
    };
    auto setQuality = [this](int quality) {
      auto d = Dialog(QString(), &codecs_);
      d->show();
      Click(d->RecompressBox());
      QCOMPARE(d->codecHandler, kDivx);
      WhenModal([quality](QWidget* w) {
        auto* settings = static_cast<CompressorSettingsDialog*>(w);
        qobject_cast<QSpinBox*>(settings->Editor("quality"))->setValue(quality);
        QPushButton* ok = settings->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        QTest::mouseClick(ok, Qt::LeftButton);
      });
      QTest::mouseClick(d->SetupButton(), Qt::LeftButton);
    };
    setQuality(100);
    const int64_t best = encodedBytes(QStringLiteral("best.avi"));
    setQuality(3);
    const int64_t smallest = encodedBytes(QStringLiteral("smallest.avi"));
    QVERIFY2(best > 0 && smallest > 0, "encoding failed");
    QVERIFY2(smallest * 2 < best, qPrintable(QStringLiteral("%1 vs %2").arg(smallest).arg(best)));
    QVERIFY(boxes_.isEmpty());
  }

  void okReturnsTheResults() {
    auto d = Dialog(QString(), &codecs_);
    d->show();
    QVERIFY(QTest::qWaitForWindowExposed(d.get()));
    Click(d->RecompressBox());
    Click(d->ConvertAudioBox());
    const QString path = dir_ + QStringLiteral("/joined.avi");
    d->SetFileNameForTesting(path);
    d->accept();
    QCOMPARE(d->result(), int(QDialog::Accepted));
    QCOMPARE(d->GetPathName(), path);
    QVERIFY(d->recompress);
    QVERIFY(!d->convertAudio);
    QCOMPARE(d->codecHandler, kDivx);
    QCOMPARE(d->codecName, codecs_.front().description);

    auto cancelled = Dialog(QString(), &codecs_);
    cancelled->show();
    QTest::mouseClick(ButtonWithRole(*cancelled, QDialogButtonBox::RejectRole), Qt::LeftButton);
    QCOMPARE(cancelled->result(), int(QDialog::Rejected));
  }

  void russianTexts() {
    SetRussianAvailable(true);
    SetCurrentLanguage(kLanguageRussian);
    auto d = Dialog(QString(), &codecs_);
    QCOMPARE(d->RecompressBox()->text(), QStringLiteral("Пережать видео"));
    QCOMPARE(d->CodecLabel()->text(), QStringLiteral("Формат видео"));
    QCOMPARE(d->SetupButton()->text(), QStringLiteral("Настроить"));
    QCOMPARE(d->ConvertAudioBox()->text(), QStringLiteral("Преобразовать звук в MP3"));
    QCOMPARE(ButtonWithRole(*d, QDialogButtonBox::AcceptRole)->text(), QStringLiteral("Сохранить"));
    QCOMPARE(ButtonWithRole(*d, QDialogButtonBox::RejectRole)->text(), QStringLiteral("Отмена"));
  }

  // The added strip sits below the file-name and file-type rows, lined up with them.
  void controlsArePlacedBelowTheFileRows() {
    auto d = Dialog(QString(), &codecs_);
    d->resize(640, 480);
    d->show();
    QVERIFY(QTest::qWaitForWindowExposed(d.get()));
    auto* typeCombo = d->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    auto* nameLabel = d->findChild<QLabel*>(QStringLiteral("fileNameLabel"));
    QVERIFY(typeCombo && nameLabel);
    auto rect = [&](QWidget* w) { return QRect(w->mapTo(d.get(), QPoint(0, 0)), w->size()); };
    const QRect type = rect(typeCombo);
    QVERIFY(rect(d->RecompressBox()).top() >= type.bottom());
    QCOMPARE(rect(d->RecompressBox()).left(), type.left());
    QCOMPARE(rect(d->ConvertAudioBox()).top(), rect(d->RecompressBox()).top());
    QVERIFY(rect(d->ConvertAudioBox()).right() < type.left());
    QVERIFY(rect(d->CodecLabel()).top() >= rect(d->RecompressBox()).bottom() + nameLabel->height() / 2);
    QCOMPARE(rect(d->CodecCombo()).left(), type.left());
    QCOMPARE(rect(d->CodecCombo()).width(), type.width());
    QVERIFY(rect(d->CodecCombo()).top() > rect(d->CodecLabel()).top());
    QVERIFY(rect(d->SetupButton()).left() > type.right());
    QVERIFY(qAbs(rect(d->SetupButton()).center().y() - rect(d->CodecCombo()).center().y()) < 6);
    QVERIFY(rect(d->SetupButton()).bottom() <= d->height());
  }

  void pictures() {
    const QString folder = QStringLiteral(SPLICORA_SCREENSHOT_DIR);
    QDir().mkpath(folder);
    // A folder with a few clips, as a user joining them would see it.
    const std::string clips = testsupport::TempDir("Holiday clips");
    for (const char* name : {"beach.avi", "harbour.avi", "sunset.avi"})
      QCOMPARE(testsupport::MakeClip(clips + "/" + name,
                                     "-f lavfi -i testsrc=size=64x48:rate=25:duration=1 -c:v mpeg4"),
               std::string());
    for (int language : {kLanguageEnglish, kLanguageRussian}) {
      SetRussianAvailable(language == kLanguageRussian);
      SetCurrentLanguage(language);
      auto d = Dialog(QString(), &codecs_);
      d->setDirectory(QString::fromStdString(clips));
      d->resize(720, 520);
      d->show();
      QVERIFY(QTest::qWaitForWindowExposed(d.get()));
      d->SetFileNameForTesting(QStringLiteral("joined.avi"));
      Click(d->RecompressBox());
      QTest::qWait(50);
      const QString file = folder + (language == kLanguageEnglish ? QStringLiteral("/save-dialog-en.png")
                                                                  : QStringLiteral("/save-dialog-ru.png"));
      QVERIFY(d->grab().save(file));
    }
  }
};

QTEST_MAIN(TestCodecDialogs)
#include "tst_codecdialogs.moc"
