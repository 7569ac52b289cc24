// The window as a user sees it, in English and Russian: the About box and
// both menus that open it, the compressor settings dialog, the open dialog's
// filter, where the About box and the window's own menu open, the language
// button's place, and F1 where nothing on the system can show a page.
// Screenshots of the Russian window, About box and settings dialog.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QTimer>

#include <optional>
#include <QtTest>

#include "app/AboutDialog.h"
#include "app/CFECFileDialog.h"
#include "app/JoinApp.h"
#include "app/MainDialog.h"
#include "convert/CodecList.h"
#include "convert/dialogs/CFileDialogOpt.h"
#include "convert/dialogs/CompressorSettingsDialog.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "media/VideoCompressor.h"
#include "tests/support/Fixtures.h"

namespace {

struct Box {
  QString text, caption;
};

void Screenshot(QWidget* widget, const QString& name) {
  QDir().mkpath(QStringLiteral(SPLICORA_SCREENSHOT_DIR));
  QVERIFY(widget->grab().save(QStringLiteral(SPLICORA_SCREENSHOT_DIR "/") + name));
}

// Runs `act` once the event loop runs again (a modal exec is entered), with
// the active modal widget or popup, which `act` must close.
void WhenShown(std::function<bool(QWidget*)> act) {
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [act, poll] {
    QWidget* shown = QApplication::activePopupWidget();
    if (!shown) shown = QApplication::activeModalWidget();
    if (!shown || !act(shown)) QTimer::singleShot(10, *poll);
  };
  QTimer::singleShot(0, *poll);
}

QStringList ActionTexts(const QMenu* menu) {
  QStringList texts;
  for (const QAction* a : menu->actions()) texts << a->text();
  return texts;
}

// A label shows its whole text: the height its wrapped text needs fits.
bool ShowsWholeText(const QLabel* label) {
  return label->heightForWidth(label->width()) <= label->height() &&
         label->geometry().right() < label->parentWidget()->width();
}

}  // namespace

class TestWindowLanguage : public QObject {
  Q_OBJECT
  std::unique_ptr<MainDialog> dlg_;
  QList<Box> boxes_;
  MessageBoxHandler oldHandler_;

  void Open(int language) {
    SetRussianAvailable(true);
    SetCurrentLanguage(language);
    dlg_ = std::make_unique<MainDialog>(QString());
    dlg_->move(180, 140);  // off the screen's corner, where a misplaced box sits
    dlg_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
    dlg_->SwitchLanguage(language);
  }

 private slots:
  void initTestCase() {
    oldHandler_ = SetMessageBoxHandler([this](QObject*, const QString& text, const QString& caption, unsigned) {
      boxes_.append({text, caption});
      return IDOK;
    });
  }
  void cleanupTestCase() { SetMessageBoxHandler(oldHandler_); }
  void init() { boxes_.clear(); }
  void cleanup() {
    dlg_.reset();
    SetCurrentLanguage(kLanguageEnglish);
    SetRussianAvailable(false);
  }

  void aboutBoxAndMenus_data() {
    QTest::addColumn<int>("language");
    QTest::newRow("en") << kLanguageEnglish;
    QTest::newRow("ru") << kLanguageRussian;
  }

  // Both menus name About in the interface language; the box opens centred
  // on the window with its texts in that language, none of them cut off.
  void aboutBoxAndMenus() {
    QFETCH(int, language);
    const bool ru = language == kLanguageRussian;
    Open(language);
    std::unique_ptr<QMenu> system(dlg_->NewSystemMenu());
    QCOMPARE(ActionTexts(system.get()),
             ru ? QStringList({QStringLiteral("&Свернуть"), QStringLiteral("&Закрыть"), QString(),
                               QStringLiteral("&О программе Splicora...")})
                : QStringList({QStringLiteral("Mi&nimize"), QStringLiteral("&Close"), QString(),
                               QStringLiteral("&About Splicora...")}));
    std::unique_ptr<QMenu> strip(dlg_->captionPanel->NewContextMenu());
    QCOMPARE(ActionTexts(strip.get()),
             QStringList(ru ? QStringLiteral("О программе...") : QStringLiteral("About...")));

    QString title, version, notice;
    QPoint offCentre(1000, 1000);
    bool whole = false;
    WhenShown([&](QWidget* shown) {
      auto* about = qobject_cast<AboutDialog*>(shown);
      if (!about) return false;
      title = about->windowTitle();
      const auto* versionLabel = about->findChild<QLabel*>(QStringLiteral("version"));
      const auto* noticeLabel = about->findChild<QLabel*>(QStringLiteral("notice"));
      version = versionLabel->text();
      notice = noticeLabel->text();
      whole = ShowsWholeText(versionLabel) && ShowsWholeText(noticeLabel);
      offCentre = about->frameGeometry().center() - dlg_->frameGeometry().center();
      if (ru) Screenshot(about, QStringLiteral("about-ru.png"));
      about->accept();
      return true;
    });
    // The title strip's item posts the system command, as the system menu's does.
    strip->actions().first()->trigger();
    QTRY_VERIFY(!title.isEmpty());
    QCOMPARE(title, ru ? QStringLiteral("О программе Splicora") : QStringLiteral("About Splicora"));
    QCOMPARE(version, ru ? QStringLiteral("Splicora - соединение AVI-файлов. Версия 1.061")
                         : QStringLiteral("Splicora - Join avi files. Version 1.061"));
    QVERIFY(notice.contains(ru ? QStringLiteral("Лицензия GPL") : QStringLiteral("GPL")));
    QVERIFY2(whole, "a line of the About box is cut off");
    QVERIFY2(offCentre.manhattanLength() <= 3, qPrintable(QStringLiteral("%1,%2").arg(offCentre.x()).arg(offCentre.y())));
  }

  // Alt+Space opens the window's own menu below the title strip's left end,
  // wherever the window is; the language button keeps its place.
  void systemMenuAndLanguageButtonPlaces() {
    Open(kLanguageEnglish);
    for (QPoint at : {QPoint(180, 140), QPoint(420, 260)}) {
      dlg_->move(at);
      dlg_->activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(dlg_.get()));
      std::optional<QPoint> menuAt;
      WhenShown([&](QWidget* shown) {
        auto* menu = qobject_cast<QMenu*>(shown);
        if (!menu) return false;
        menuAt = menu->geometry().topLeft();
        menu->close();
        return true;
      });
      QTest::keyClick(dlg_->clipList, Qt::Key_Space, Qt::AltModifier);
      QTRY_VERIFY(menuAt.has_value());
      const QRect window = dlg_->frameGeometry();
      const QPoint expected = window.topLeft() + dlg_->captionPanel->geometry().bottomLeft() + QPoint(1, 1);
      QCOMPARE(*menuAt, expected);
      QVERIFY(window.contains(*menuAt));
    }

    const QRect english = dlg_->englishButton->geometry();
    QVERIFY(dlg_->englishButton->isVisible() && !dlg_->russianButton->isVisible());
    dlg_->SwitchLanguage(kLanguageRussian);
    QVERIFY(dlg_->russianButton->isVisible() && !dlg_->englishButton->isVisible());
    QCOMPARE(dlg_->russianButton->geometry(), english);
    // Right of it the minimise and exit buttons, in a row without gaps.
    QCOMPARE(dlg_->minimizeButton->geometry().left() - english.right(),
             dlg_->exitButton->geometry().left() - dlg_->minimizeButton->geometry().right());

    // The small buttons' corners show the title strip's gradient, not a flat
    // square: along a row, a corner pixel matches the strip left of the buttons.
    QApplication::processEvents();
    const QImage strip = dlg_->captionPanel->grab().toImage();
    for (CHoverButton* b : {dlg_->exitButton, dlg_->minimizeButton, dlg_->russianButton}) {
      const QPoint corner = b->geometry().topLeft();
      const QPoint besides(english.left() - 4, corner.y());
      for (int dy : {0, 24}) {
        const QColor a = strip.pixelColor(corner + QPoint(0, dy)), s = strip.pixelColor(besides + QPoint(0, dy));
        QVERIFY2(std::abs(a.red() - s.red()) + std::abs(a.green() - s.green()) + std::abs(a.blue() - s.blue()) <= 12,
                 qPrintable(a.name() + QLatin1Char(' ') + s.name()));
      }
    }
  }

  // The settings dialog labels every setting in the interface language; the
  // open dialog's filter names its file types in it too.
  void settingsDialogAndFilter() {
    Open(kLanguageRussian);
    const media::CompressorInfo* x264 = nullptr;
    for (const media::CompressorInfo& c : media::KnownCompressors())
      if (c.encoder == "libx264") x264 = &c;
    QVERIFY(x264);
    CompressorSettingsDialog dialog(*x264, dlg_.get());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* form = dialog.findChild<QFormLayout*>();
    QVERIFY(form);
    QStringList labels;
    for (const media::CompressorSetting& s : x264->settings)
      labels << qobject_cast<QLabel*>(form->labelForField(dialog.Editor(s.key)))->text();
    QCOMPARE(labels, QStringList({QStringLiteral("Набор настроек скорости"),
                                  QStringLiteral("Постоянный коэффициент качества (0 - лучшее изображение, 51 - "
                                                 "самый маленький файл)"),
                                  QStringLiteral("Ключевой кадр через каждые (кадров)")}));
    Screenshot(&dialog, QStringLiteral("settings-dialog-ru.png"));
    // Every compressor's settings have a Russian label.
    for (const media::CompressorInfo& c : media::KnownCompressors()) {
      CompressorSettingsDialog each(c);
      auto* eachForm = each.findChild<QFormLayout*>();
      for (const media::CompressorSetting& s : c.settings) {
        const QString label = qobject_cast<QLabel*>(eachForm->labelForField(each.Editor(s.key)))->text();
        QVERIFY2(label != QString::fromStdString(s.label), qPrintable(label));
      }
    }

    CFECFileDialog open(true, QString(), QString(), OFN_ALLOWMULTISELECT, CFECFileDialog::AviFilter());
    QCOMPARE(open.nameFilters(), QStringList({QStringLiteral("Файлы AVI (*.avi)"), QStringLiteral("Все файлы (*)")}));
    dlg_->SwitchLanguage(kLanguageEnglish);
    CFECFileDialog english(true, QString(), QString(), OFN_ALLOWMULTISELECT,
                           CFECFileDialog::AviFilter());
    QCOMPARE(english.nameFilters(), QStringList({QStringLiteral("AVI Files (*.avi)"), QStringLiteral("All Files (*)")}));
  }

  // The help pages describe the save dialog as it opens: Recompress and MP3
  // ticked on a first start (no compressor remembered yet), Recompress off
  // after a direct join (the remembered compressor is empty).
  void helpDescribesTheSaveDialog() {
    CodecList codecs;
    EnumerateCodecs(codecs);
    const auto ticks = [&](const QString& remembered) {
      CFileDialogOpt dialog(false, remembered, &codecs, false, QString(), QString(), 0, CFECFileDialog::AviFilter(), 320, 240);
      return std::pair{dialog.RecompressBox()->isChecked(), dialog.ConvertAudioBox()->isChecked()};
    };
    QCOMPARE(ticks(QStringLiteral("?")), std::pair(true, true));
    QCOMPARE(ticks(QString()).first, false);
    const auto pageText = [](const char* name) {
      QFile page(QStringLiteral(SPLICORA_SOURCE_DIR "/res/help/") + QLatin1String(name));
      if (!page.open(QIODevice::ReadOnly)) return QString();
      return QString::fromUtf8(page.readAll()).remove(QRegularExpression(QStringLiteral("<[^>]*>"))).simplified();
    };
    const QString en = pageText("HelpEN.htm"), ru = pageText("HelpRU.htm");
    QVERIFY(en.contains(QStringLiteral("The save dialog opens with Recompress and Convert audio to MP3 ticked; after a "
                                       "direct join it opens with Recompress off")));
    QVERIFY(ru.contains(QStringLiteral("Окно сохранения открывается с отмеченными пунктами Пережать видео и "
                                       "Преобразовать звук в MP3; после прямого соединения пункт Пережать видео снят")));
    QVERIFY(!en.contains(QStringLiteral("(the default)")) && !ru.contains(QStringLiteral("(по умолчанию)")));
  }

  // F1 where no browser and no URL opener can be started: a message in the
  // interface language says where the help page is.
  void helpWithoutBrowserSaysWhereThePageIs() {
    const QString empty = QString::fromStdString(testsupport::TempDir("no-programs"));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(empty));
    int argc = 1;
    char name[] = "splicora";
    char* argv[] = {name, nullptr};
    JoinApp app(argc, argv, QDir(empty).filePath(QStringLiteral("splicora.ini")));
    for (int language : {kLanguageEnglish, kLanguageRussian}) {
      boxes_.clear();
      Open(language);
      QTest::keyClick(dlg_.get(), Qt::Key_F1);
      QTRY_COMPARE(boxes_.size(), 1);
      const QString page = language == kLanguageRussian ? QStringLiteral("HelpRU.htm") : QStringLiteral("HelpEN.htm");
      const QString found = QFileInfo(boxes_[0].text.section(QLatin1Char('\r'), -1)).canonicalFilePath();
      QCOMPARE(found, QFileInfo(QStringLiteral(SPLICORA_BINARY_DIR "/share/splicora/") + page).canonicalFilePath());
      QCOMPARE(boxes_[0].caption, language == kLanguageRussian ? QStringLiteral("Справка") : QStringLiteral("Help"));
      QVERIFY(boxes_[0].text.startsWith(language == kLanguageRussian ? QStringLiteral("Не удалось открыть справку")
                                                                     : QStringLiteral("The help page could not be opened")));
      // With Shift held F1 is not help.
      QTest::keyClick(dlg_.get(), Qt::Key_F1, Qt::ShiftModifier);
      QApplication::processEvents();
      QCOMPARE(boxes_.size(), 1);
      dlg_.reset();
    }
    qputenv("PATH", path);
  }

  // The Russian window with clips listed, for the eye, and a clip without
  // video refused in Russian.
  void russianWindowAndAClipWithoutVideo() {
    Open(kLanguageRussian);
    for (int i = 0; i < 3; ++i) {
      const QString clip = QString::fromStdString(testsupport::CachedClip(
          "windowlang" + std::to_string(i) + ".avi",
          "-f lavfi -i testsrc=size=320x240:rate=25:duration=" + std::to_string(i + 1) +
              " -f lavfi -i sine=frequency=440:sample_rate=44100:duration=" + std::to_string(i + 1) +
              " -c:v mpeg4 -q:v 6 -c:a libmp3lame -b:a 128k"));
      QVERIFY(!clip.isEmpty());
      QCOMPARE(dlg_->AddClip(clip), 1);
    }
    dlg_->SetCommandsEnabled(true);
    QVERIFY(boxes_.isEmpty());
    QVERIFY2(dlg_->InfoLine().contains(QStringLiteral("кадр/с")) && dlg_->InfoLine().contains(QStringLiteral("Кбит/с")),
             qPrintable(dlg_->InfoLine()));
    QApplication::processEvents();
    Screenshot(dlg_.get(), QStringLiteral("main-window-ru.png"));

    // A file with sound only, first in a new list, is refused with its
    // reason in Russian.
    const QString audioOnly =
        QString::fromStdString(testsupport::CachedClip("windowlang-audio-only.avi", "-f lavfi -i sine=d=1 -c:a pcm_s16le"));
    QVERIFY(!audioOnly.isEmpty());
    Open(kLanguageRussian);
    dlg_->AddClip(audioOnly);
    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_[0].text.section(QLatin1Char('\r'), -1), QStringLiteral("В файле нет видеопотока: ") + audioOnly);
    QCOMPARE(dlg_->ClipCount(), 0);
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TestWindowLanguage test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_windowlanguage.moc"
