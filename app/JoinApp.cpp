#include "app/JoinApp.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include "app/MainDialog.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "core/WideToInt.h"
#include "convert/CompressorSettingsStore.h"

namespace {

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

  settingsFile_ = settingsFile;
  if (settingsFile_.isEmpty()) settingsFile_ = qEnvironmentVariable("SPLICORA_SETTINGS");
  if (settingsFile_.isEmpty()) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    settingsFile_ = QDir(folder).filePath(QStringLiteral("splicora.ini"));
  }
  // The compressors keep their settings in the same file.
  SetCompressorSettingsFile(settingsFile_);
}

JoinApp::~JoinApp() = default;

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
  dialog->exec();
  // 8. Nothing to shut down in the media layer.
  // 9. Both settings, always.
  WriteSettings(CurrentLanguage(), dialog->codecName);
  // 10. The dialog's destructor stops a join still running.
  dialog.reset();
  // 11.
  return false;
}
