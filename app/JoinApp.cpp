#include "app/JoinApp.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include "app/HelpPages.h"
#include "app/MainDialog.h"
#include "app/QtTranslations.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "core/WideToInt.h"
#include "convert/CompressorSettingsStore.h"

namespace {

JoinApp* theApp = nullptr;

const QString kSection = QStringLiteral("Splicora");
const QString kLangKey = QStringLiteral("Lang");
const QString kCodecKey = QStringLiteral("Codec");

// The stored text of a key. An unquoted value with commas reads back as a
// list; it is one text to us.
QString StoredText(const QSettings& settings, const QString& key, const QString& fallback) {
  const QVariant v = settings.value(key, fallback);
  if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(QLatin1Char(','));
  return v.toString();
}

}  // namespace

JoinApp::JoinApp(int& argc, char** argv, const QString& settingsFile) {
  startDirectory = QDir::currentPath();
  if (!QCoreApplication::instance()) ownedApp_ = std::make_unique<QApplication>(argc, argv);
  QCoreApplication::setApplicationName(ApplicationName());
  QGuiApplication::setDesktopFileName(QStringLiteral("org.splicora.Splicora"));
  // What QApplication left of the arguments are the files to add.
  for (int i = 1; i < argc; ++i) {
    const QString arg = QString::fromLocal8Bit(argv[i]);
    const QUrl url(arg);
    const QString path = url.isLocalFile() ? url.toLocalFile() : arg;
    if (!path.isEmpty()) commandLineFiles << QFileInfo(QDir(startDirectory), path).absoluteFilePath();
  }
  theApp = this;

  settingsFile_ = settingsFile;
  if (settingsFile_.isEmpty()) settingsFile_ = qEnvironmentVariable("SPLICORA_SETTINGS");
  if (settingsFile_.isEmpty()) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    settingsFile_ = QDir(folder).filePath(QStringLiteral("splicora.ini"));
  }
  // The compressors keep their settings in the same file.
  SetCompressorSettingsFile(settingsFile_);
}

JoinApp::~JoinApp() {
  if (theApp == this) theApp = nullptr;
}

JoinApp* JoinApp::Instance() { return theApp; }

void JoinApp::ShowHelp() {
  if (helpBusy) return;
  helpBusy = true;
  const bool russian = RussianAvailable() && CurrentLanguage() == kLanguageRussian;
  const QString name = russian ? QStringLiteral("HelpRU.htm") : QStringLiteral("HelpEN.htm");
  const QString page = FindHelpPage(startDirectory, name);
  // Where nothing can show the page, the user is told where it is rather
  // than left with a key that does nothing.
  QString problem;
  if (page.isEmpty())
    problem = LanguageText(1120, QStringLiteral("The help page %1 was not found. It is looked for in:\r%2"))
                  .arg(name, HelpFolders(startDirectory).join(QLatin1Char('\r')));
  else if (!OpenHelpPage(page))
    problem = LanguageText(1119, QStringLiteral("The help page could not be opened: there is no browser or URL "
                                                "opener on this system.\rOpen the help file yourself:\r%1"))
                  .arg(QDir::toNativeSeparators(page));
  if (!problem.isEmpty())
    ShowMessageBox(MainDialog::Current(), problem, LanguageText(1123, QStringLiteral("Help")), MB_ICONINFORMATION);
  helpBusy = false;
}

JoinApp::Settings JoinApp::ReadSettings() const {
  QSettings settings(settingsFile_, QSettings::IniFormat);
  settings.beginGroup(kSection);
  Settings result;
  result.language = WideToInt(StoredText(settings, kLangKey, QStringLiteral("-1")));
  result.codec = StoredText(settings, kCodecKey, QStringLiteral("?"));
  return result;
}

void JoinApp::WriteSettings(int language, const QString& codec) const {
  // A folder that does not exist yet is made; a file that cannot be written
  // is not reported.
  QDir().mkpath(QFileInfo(settingsFile_).absolutePath());
  QSettings settings(settingsFile_, QSettings::IniFormat);
  settings.beginGroup(kSection);
  settings.setValue(kLangKey, QString::asprintf("%d", language));
  settings.setValue(kCodecKey, codec);
  settings.endGroup();
  settings.sync();
}

int JoinApp::LanguageFromSetting(int stored, bool russianAvailable) {
  if (stored < 0) return russianAvailable ? kLanguageRussian : kLanguageEnglish;
  return stored;
}

bool JoinApp::InitInstance() {
  // 1. Qt needs no common-control or ActiveX set-up.
  // 2. Can Russian be offered?
  SetRussianAvailable(false);
  DetectRussianAvailable();
  // 3, 4. The media layer needs no process-wide start-up (FFmpeg 5.1
  //       registers its formats itself).
  // 5, 6.
  const Settings settings = ReadSettings();
  SetCurrentLanguage(LanguageFromSetting(settings.language, RussianAvailable()));
  // 7. The program's run is the modal run of the main dialog.
  auto dialog = std::make_unique<MainDialog>(settings.codec);
  if (!commandLineFiles.isEmpty())
    QTimer::singleShot(0, dialog.get(), [this, &dialog] { dialog->AddFiles(commandLineFiles); });
  dialog->exec();
  // 8. Nothing to shut down in the media layer.
  // 9. Both settings, always.
  WriteSettings(CurrentLanguage(), dialog->codecName);
  // 10. The dialog's destructor stops a join still running.
  dialog.reset();
  UseQtTranslations(false);
  // 11.
  return false;
}
