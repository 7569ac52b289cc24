#include "convert/CompressorSettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSettings>
#include <QStandardPaths>

#include "core/MessageBox.h"

namespace {

QMutex fileMutex;
QString chosenFile;

}  // namespace

QString CompressorSettingsFile() {
  {
    QMutexLocker lock(&fileMutex);
    if (!chosenFile.isEmpty()) return chosenFile;
  }
  QString file = qEnvironmentVariable("SPLICORA_SETTINGS");
  if (!file.isEmpty()) return file;
  // The folder the application's own settings live in, whatever program asks.
  QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  const QString organisation = QCoreApplication::organizationName();
  if (!organisation.isEmpty()) folder += QLatin1Char('/') + organisation;
  return folder + QLatin1Char('/') + ApplicationName() + QStringLiteral("/splicora.ini");
}

void SetCompressorSettingsFile(const QString& path) {
  QMutexLocker lock(&fileMutex);
  chosenFile = path;
}

QString CompressorSettingsGroup(uint32_t handler) {
  QString text;
  for (int i = 0; i < 4; ++i) {
    const unsigned c = (handler >> (8 * i)) & 0xFF;
    // Printable characters as they are; others as two hex digits, so every
    // handler has a group name of its own.
    if (c > 0x20 && c < 0x7F && c != '%' && c != '/' && c != '\\')
      text += QChar(static_cast<char16_t>(c));
    else
      text += QStringLiteral("%%1").arg(c, 2, 16, QLatin1Char('0'));
  }
  return QStringLiteral("Compressor-") + text;
}

media::CompressorSettings LoadCompressorSettings(QSettings& settings, uint32_t handler) {
  const media::CompressorInfo* info = media::FindCompressor(handler);
  if (!info) return {};
  media::CompressorSettings stored;
  settings.beginGroup(CompressorSettingsGroup(handler));
  for (const media::CompressorSetting& setting : info->settings) {
    const QString key = QString::fromStdString(setting.key);
    if (settings.contains(key)) stored[setting.key] = settings.value(key).toString().trimmed().toStdString();
  }
  settings.endGroup();
  return media::NormalizeSettings(*info, stored);
}

void SaveCompressorSettings(QSettings& settings, uint32_t handler, const media::CompressorSettings& values) {
  const media::CompressorInfo* info = media::FindCompressor(handler);
  if (!info) return;
  const media::CompressorSettings normal = media::NormalizeSettings(*info, values);
  settings.beginGroup(CompressorSettingsGroup(handler));
  for (const auto& [key, value] : normal)
    settings.setValue(QString::fromStdString(key), QString::fromStdString(value));
  settings.endGroup();
}

media::CompressorSettings LoadCompressorSettings(uint32_t handler) {
  QSettings settings(CompressorSettingsFile(), QSettings::IniFormat);
  return LoadCompressorSettings(settings, handler);
}

bool SaveCompressorSettings(uint32_t handler, const media::CompressorSettings& values) {
  const QString file = CompressorSettingsFile();
  QDir().mkpath(QFileInfo(file).absolutePath());
  QSettings settings(file, QSettings::IniFormat);
  SaveCompressorSettings(settings, handler, values);
  settings.sync();
  return settings.status() == QSettings::NoError;
}
