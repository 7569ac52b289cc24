// The application's run: the language decided from "Lang" and the probe, the
// codec name handed to the main dialog, and both settings written at the end.
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include "app/JoinApp.h"
#include "convert/CompressorSettingsStore.h"
#include "app/MainDialog.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"

namespace {

// What the window looked like while the program ran.
struct Seen {
  int language = -99;
  QString codecName;
  QString addLabel;
  bool englishButton = false;
  bool russianButton = false;
};

}  // namespace

class TestJoinApp : public QObject {
  Q_OBJECT
 public:
  static void initMain() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  }

 private:
  QTemporaryDir dir;
  QString ini;

  void WriteIni(const QByteArray& body) {
    QFile f(ini);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(body);
  }

  QString ReadIni() {
    QFile f(ini);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
  }

  // Runs the whole program once; `during` sees the main dialog while it runs.
  Seen Run(bool russianOffered, const std::function<void(MainDialog&)>& during = {}) {
    SetRussianProbe([russianOffered] { return russianOffered; });
    Seen seen;
    QTimer::singleShot(0, [&] {
      MainDialog* d = MainDialog::Current();
      if (!d) return;
      seen.language = CurrentLanguage();
      seen.codecName = d->codecName;
      seen.addLabel = d->addButton->text();
      seen.englishButton = d->englishButton->isVisible();
      seen.russianButton = d->russianButton->isVisible();
      if (during) during(*d);
      d->close();
    });
    int argc = 1;
    char name[] = "splicora";
    char* argv[] = {name, nullptr};
    JoinApp app(argc, argv, ini);
    const bool result = app.InitInstance();
    [&] { QVERIFY(!result); }();
    return seen;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir.isValid());
    SetMessageBoxHandler([](QObject*, const QString&, const QString&, unsigned) { return IDOK; });
  }

  void init() {
    // A fresh file per case: QSettings caches what it read from a path, and
    // a file rewritten behind its back within a second may look unchanged.
    static int run = 0;
    ini = dir.filePath(QStringLiteral("cfg%1/splicora.ini").arg(++run));
    SetCurrentLanguage(kLanguageEnglish);
  }

  void firstStartWithoutRussian() {
    int argc = 1;
    char name[] = "splicora";
    char* argv[] = {name, nullptr};
    const JoinApp::Settings defaults = JoinApp(argc, argv, ini).ReadSettings();
    QCOMPARE(defaults.language, -1);
    QCOMPARE(defaults.codec, QStringLiteral("?"));

    const Seen seen = Run(false);
    QCOMPARE(seen.language, 0);
    QCOMPARE(seen.codecName, QStringLiteral("?"));
    QCOMPARE(seen.addLabel, QStringLiteral("  Add file"));
    QVERIFY(!seen.englishButton && !seen.russianButton);
    // Both keys written, in their section, Lang as a plain decimal.
    const QString text = ReadIni();
    QVERIFY2(text.contains(QStringLiteral("[Splicora]")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Lang=0\n")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Codec=?\n")), qPrintable(text));
  }

  void firstStartWithRussian() {
    const Seen seen = Run(true);
    QCOMPARE(seen.language, 1);
    QCOMPARE(seen.addLabel, QString::fromUtf16(u"  Добавить"));
    QVERIFY(seen.russianButton && !seen.englishButton);
    QVERIFY(ReadIni().contains(QStringLiteral("Lang=1\n")));
  }

  void storedLanguage_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<int>("language");
    QTest::addColumn<bool>("russianTexts");
    QTest::addColumn<bool>("russianButton");
    QTest::addColumn<bool>("englishButton");
    QTest::newRow("abc is 0, even with Russian") << QByteArray("abc") << true << 0 << false << false << true;
    QTest::newRow("1 without Russian stays 1") << QByteArray("1") << false << 1 << false << false << false;
    QTest::newRow("1 with Russian") << QByteArray("1") << true << 1 << true << true << false;
    QTest::newRow("2 shows the Russian button") << QByteArray("2") << true << 2 << false << true << false;
    QTest::newRow("negative picks Russian") << QByteArray("-5") << true << 1 << true << true << false;
    QTest::newRow("negative without Russian") << QByteArray("-1") << false << 0 << false << false << false;
    QTest::newRow("0 with Russian") << QByteArray("0") << true << 0 << false << false << true;
  }

  void storedLanguage() {
    QFETCH(QByteArray, stored);
    QFETCH(bool, offered);
    QFETCH(int, language);
    QFETCH(bool, russianTexts);
    QFETCH(bool, russianButton);
    QFETCH(bool, englishButton);
    QDir().mkpath(QFileInfo(ini).absolutePath());
    WriteIni("[Splicora]\nLang=" + stored + "\nCodec=Xvid MPEG-4 Codec\n");
    const Seen seen = Run(offered);
    QCOMPARE(seen.language, language);
    QCOMPARE(seen.addLabel, russianTexts ? QString::fromUtf16(u"  Добавить") : QStringLiteral("  Add file"));
    QCOMPARE(seen.russianButton, russianButton);
    QCOMPARE(seen.englishButton, englishButton);
    QCOMPARE(seen.codecName, QStringLiteral("Xvid MPEG-4 Codec"));
    const QString text = ReadIni();
    QVERIFY2(text.contains(QStringLiteral("Lang=%1\n").arg(language)), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Codec=Xvid MPEG-4 Codec\n")), qPrintable(text));
  }

  void languageSwitchedDuringTheRunIsWritten() {
    Run(true, [](MainDialog& d) { d.SwitchLanguage(0); });
    QVERIFY(ReadIni().contains(QStringLiteral("Lang=0\n")));
  }

  void longCodecIsCut() {
    QDir().mkpath(QFileInfo(ini).absolutePath());
    const QString longName = QStringLiteral("Codec") + QString(295, QLatin1Char('x'));
    WriteIni("[Splicora]\nCodec=" + longName.toUtf8() + "\n");
    const Seen seen = Run(false);
    QCOMPARE(seen.codecName, longName.left(127));
    int argc = 1;
    char name[] = "splicora";
    char* argv[] = {name, nullptr};
    QCOMPARE(JoinApp(argc, argv, ini).ReadSettings().codec, longName.left(127));
  }

  void codecWrittenAsTheDialogLeftIt() {
    // A direct join empties the name; the empty value is written.
    Run(false, [](MainDialog& d) { d.codecName.clear(); });
    QVERIFY(ReadIni().contains(QStringLiteral("Codec=\n")));
    int argc = 1;
    char name[] = "splicora";
    char* argv[] = {name, nullptr};
    QCOMPARE(JoinApp(argc, argv, ini).ReadSettings().codec, QString());
    // Names with commas, quotes and Cyrillic come back unchanged.
    const QString odd = QString::fromUtf16(u"MJPEG, \"fast\"; кодек=1");
    Run(false, [&](MainDialog& d) { d.codecName = odd; });
    const Seen seen = Run(false);
    QCOMPARE(seen.codecName, odd);
  }

  void closeWhileJoiningStillWritesSettings() {
    bool stayedOpen = false;
    Run(false, [&](MainDialog& d) {
      d.running = true;
      d.codecName = QStringLiteral("kept");
      stayedOpen = !d.close() && d.isVisible() && d.cancelRequested && d.closeRequested;
      // The join ends by itself; Run's own close then ends the dialog.
    });
    QVERIFY(stayedOpen);
    QVERIFY(ReadIni().contains(QStringLiteral("Codec=kept\n")));
  }

  void settingsLocation() {
    int argc = 1;
    char name[] = "splicora";
    char* argv[] = {name, nullptr};
    QStandardPaths::setTestModeEnabled(true);
    qunsetenv("SPLICORA_SETTINGS");
    const QString where = JoinApp(argc, argv).SettingsFile();
    QCOMPARE(QFileInfo(where).fileName(), QStringLiteral("splicora.ini"));
    QCOMPARE(QFileInfo(where).absolutePath(), QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
    QVERIFY(where.contains(QStringLiteral("Splicora")));
    qputenv("SPLICORA_SETTINGS", dir.filePath(QStringLiteral("env.ini")).toUtf8());
    QCOMPARE(JoinApp(argc, argv).SettingsFile(), dir.filePath(QStringLiteral("env.ini")));
    qunsetenv("SPLICORA_SETTINGS");
    QStandardPaths::setTestModeEnabled(false);
  }

  void compressorSettingsShareTheFile() {
    // A compressor's Setup choices must land in the file the application reads.
    int argc = 1;
    char name[] = "splicora";
    char* argv[] = {name, nullptr};
    const QString ini = dir.filePath(QStringLiteral("shared.ini"));
    JoinApp app(argc, argv, ini);
    QCOMPARE(CompressorSettingsFile(), ini);
  }
};

QTEST_MAIN(TestJoinApp)
#include "tst_joinapp.moc"
