// The skinned main window as a user meets it: F1 help by language from any
// working directory, About from the title strip and the window's own system
// menu, clips given on the command line, Qt's Russian texts in the save
// dialog, and screenshots of each state that are checked for the key colour.
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>

#include "app/AboutDialog.h"
#include "app/JoinApp.h"
#include "app/MainDialog.h"
#include "convert/dialogs/CFileDialogOpt.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "tests/support/Fixtures.h"

namespace {

const QString kShots = QStringLiteral(SPLICORA_SCREENSHOT_DIR);

// Stands in for the desktop's URL opener.
class UrlRecorder : public QObject {
  Q_OBJECT
 public slots:
  void Open(const QUrl& url) { opened << url.toLocalFile(); }

 public:
  QStringList opened;
};

int CountColour(const QImage& image, QRgb colour) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) n += (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
  return n;
}

// Saves a screenshot after checking that no key colour reached the screen.
void Shoot(QWidget& widget, const QString& name) {
  const QImage image = widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
  QCOMPARE(CountColour(image, qRgb(66, 192, 255)), 0);
  QVERIFY(QDir().mkpath(kShots));
  QVERIFY(image.save(QDir(kShots).filePath(name)));
}

// Runs `step` on every event-loop turn until it returns true (for modal loops).
void WhileModal(const std::function<bool()>& step) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, step] {
    if (step()) timer->deleteLater();
  });
  timer->start(20);
}

// Chooses the menu item with that text once the pop-up menu is open.
void ChooseFromPopup(const QString& text) {
  WhileModal([text] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return false;
    for (QAction* action : menu->actions())
      if (action->text() == text) action->trigger();
    menu->close();
    return true;
  });
}

}  // namespace

class TestSkinWindow : public QObject {
  Q_OBJECT
 public:
  static void initMain() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  }

 private:
  UrlRecorder urls;
  QTemporaryDir dir;
  int argc = 1;
  char name[9] = "splicora";
  char* argv[2] = {name, nullptr};

  void SetLanguage(bool available, int language) {
    SetRussianAvailable(available);
    SetCurrentLanguage(language);
  }

  // Waits for the About box, checks and photographs it, and closes it.
  void ExpectAbout(int& seen, const QString& shot) {
    WhileModal([&seen, shot] {
      auto* about = qobject_cast<AboutDialog*>(QApplication::activeModalWidget());
      if (!about) return false;
      const bool ok = about->windowTitle() == QStringLiteral("About Splicora") &&
                      about->findChild<QLabel*>(QStringLiteral("version"))->text() ==
                          QStringLiteral("Splicora - Join avi files. Version 1.061") &&
                      !about->findChild<QLabel*>(QStringLiteral("icon"))->pixmap().isNull();
      if (ok) ++seen;
      if (!shot.isEmpty()) about->grab().save(QDir(kShots).filePath(shot));
      about->accept();
      return true;
    });
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir.isValid());
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &urls, "Open");
    SetMessageBoxHandler([](QObject*, const QString&, const QString&, unsigned) { return IDOK; });
    qputenv("SPLICORA_SETTINGS", dir.filePath(QStringLiteral("splicora.ini")).toLocal8Bit());
  }

  void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

  void init() {
    urls.opened.clear();
    SetLanguage(true, kLanguageEnglish);
  }

  void f1OpensThePageOfTheLanguageFromAnyDirectory() {
    JoinApp app(argc, argv);
    const QString installed = QDir::cleanPath(QStringLiteral(SPLICORA_BINARY_DIR "/share/splicora"));
    QDir start(dir.filePath(QStringLiteral("start")));
    QVERIFY(start.mkpath(QStringLiteral(".")));
    app.startDirectory = start.path();
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QDir::tempPath()));  // started from somewhere else
    MainDialog d(QStringLiteral("?"));
    d.show();
    const struct {
      bool available;
      int language;
      const char* page;
    } cases[] = {{true, 0, "HelpEN.htm"}, {true, 1, "HelpRU.htm"}, {false, 1, "HelpEN.htm"}};
    for (const auto& c : cases) {
      SetLanguage(c.available, c.language);
      urls.opened.clear();
      QTest::keyClick(d.clipList, Qt::Key_F1);
      QCOMPARE(urls.opened, QStringList{installed + QLatin1Char('/') + QLatin1String(c.page)});
      QVERIFY(QFileInfo(urls.opened[0]).size() > 1000);
      QVERIFY(!app.helpBusy);
    }
    // A page in the start directory comes first.
    QVERIFY(QFile::copy(installed + QStringLiteral("/HelpRU.htm"), start.filePath(QStringLiteral("HelpRU.htm"))));
    SetLanguage(true, kLanguageRussian);
    urls.opened.clear();
    QTest::keyClick(d.clipList, Qt::Key_F1);
    QCOMPARE(urls.opened, QStringList{start.filePath(QStringLiteral("HelpRU.htm"))});
    // With Shift, Ctrl or Alt, F1 does nothing; neither while help is starting.
    urls.opened.clear();
    for (Qt::KeyboardModifier m : {Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier})
      QTest::keyClick(d.clipList, Qt::Key_F1, m);
    app.helpBusy = true;
    QTest::keyClick(d.clipList, Qt::Key_F1);
    QCOMPARE(urls.opened, QStringList{});
    QDir::setCurrent(previous);
  }

  void aboutFromTheTitleStripAndTheSystemMenu() {
    MainDialog d(QStringLiteral("?"));
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    int seen = 0;
    // A right click on the title strip: "About...".
    ChooseFromPopup(QStringLiteral("About..."));
    ExpectAbout(seen, QStringLiteral("about.png"));
    QTest::mouseClick(d.captionPanel, Qt::RightButton, {}, QPoint(300, 30));
    QTRY_COMPARE(seen, 1);
    // Alt+Space: the window's own system menu.
    std::unique_ptr<QMenu> menu(d.NewSystemMenu());
    QStringList items;
    for (QAction* a : menu->actions()) items << a->text();
    QVERIFY(items.contains(QStringLiteral("&About Splicora...")));
    ChooseFromPopup(QStringLiteral("&About Splicora..."));
    ExpectAbout(seen, QString());
    d.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&d));
    QTest::keyClick(d.clipList, Qt::Key_Space, Qt::AltModifier);
    QTRY_COMPARE(seen, 2);
    QVERIFY(d.isVisible());
  }

  void commandLineClipsAndScreenshots() {
    QStringList clips;
    for (const char* colour : {"red", "green", "blue"}) {
      const std::string path = testsupport::CachedClip(
          std::string("skin-") + colour + ".avi",
          std::string("-f lavfi -i color=c=") + colour + ":s=160x120:d=2:r=25 -c:v mjpeg");
      QVERIFY(!path.empty());
      clips << QString::fromStdString(path);
    }
    for (int language : {kLanguageEnglish, kLanguageRussian}) {
      SetLanguage(true, language);
      const QString suffix = language == kLanguageEnglish ? QStringLiteral("-en.png") : QStringLiteral("-ru.png");
      std::vector<QByteArray> args{QByteArray("splicora")};
      for (const QString& clip : clips) args.push_back(clip.toLocal8Bit());
      std::vector<char*> argvClips;
      for (QByteArray& a : args) argvClips.push_back(a.data());
      argvClips.push_back(nullptr);
      int count = static_cast<int>(args.size());
      const QString ini = dir.filePath(QStringLiteral("lang%1.ini").arg(language));
      QFile settings(ini);
      QVERIFY(settings.open(QIODevice::WriteOnly));
      settings.write(QStringLiteral("[Splicora]\nLang=%1\n").arg(language).toLatin1());
      settings.close();
      SetRussianProbe([] { return true; });
      JoinApp app(count, argvClips.data(), ini);
      QCOMPARE(app.commandLineFiles, clips);
      QStringList rows;
      QString barText;
      int hoverFrame = -1;
      WhileModal([&] {
        MainDialog* d = MainDialog::Current();
        if (!d || d->ClipCount() < 3) return false;
        for (int row = 0; row < d->ClipCount(); ++row) rows << d->clipList->GetItemText(row, 1);
        Shoot(*d, QStringLiteral("window-clips") + suffix);
        d->EnterJoiningLayout();
        d->progressBar->SetPos(42);
        barText = d->progressBar->text();
        Shoot(*d, QStringLiteral("window-joining") + suffix);
        d->RestoreIdleLayout();
        QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), QPointF(3, 3));
        QApplication::sendEvent(d->exitButton, &enter);
        hoverFrame = d->exitButton->Frame();
        Shoot(*d, QStringLiteral("window-hover-exit") + suffix);
        d->addButton->setDown(true);
        Shoot(*d, QStringLiteral("window-pressed-add") + suffix);
        d->addButton->setDown(false);
        d->close();
        return true;
      });
      QVERIFY(!app.InitInstance());
      QCOMPARE(rows, clips);  // added in the order given
      QCOMPARE(barText, QStringLiteral("42%"));
      QCOMPARE(hoverFrame, 1);
    }
  }

  void idleScreenshots() {
    for (int language : {kLanguageEnglish, kLanguageRussian}) {
      SetLanguage(true, language);
      MainDialog d(QStringLiteral("?"));
      d.show();
      QVERIFY(QTest::qWaitForWindowExposed(&d));
      Shoot(d, language == kLanguageEnglish ? QStringLiteral("window-idle-en.png")
                                            : QStringLiteral("window-idle-ru.png"));
    }
  }

  void saveDialogSpeaksTheInterfaceLanguage() {
    for (int language : {kLanguageRussian, kLanguageEnglish}) {
      SetLanguage(true, language);
      MainDialog d(QStringLiteral("?"));  // the language switch sets Qt's own texts
      CFileDialogOpt save(false, QString(), &d.CodecList, false, QString(), QString(),
                          CFileDialogOpt::OFN_EXPLORER | CFileDialogOpt::OFN_HIDEREADONLY,
                          QStringLiteral("AVI Files (*.avi)|*.avi||"), 320, 240);
      save.show();
      QVERIFY(QTest::qWaitForWindowExposed(&save));
      const struct {
        const char* label;
        const char* english;
      } labels[] = {{"lookInLabel", "Look in:"}, {"fileNameLabel", "File &name:"}, {"fileTypeLabel", "Files of type:"}};
      for (const auto& l : labels) {
        const QString text = save.findChild<QLabel*>(QLatin1String(l.label))->text();
        const bool cyrillic =
            std::any_of(text.begin(), text.end(), [](QChar c) { return c.script() == QChar::Script_Cyrillic; });
        QVERIFY2(cyrillic == (language == kLanguageRussian), qPrintable(text));
        if (language == kLanguageEnglish) QCOMPARE(text, QLatin1String(l.english));
      }
      if (language == kLanguageRussian) Shoot(save, QStringLiteral("save-dialog-ru.png"));
    }
  }
};

QTEST_MAIN(TestSkinWindow)
#include "tst_skinwindow.moc"
