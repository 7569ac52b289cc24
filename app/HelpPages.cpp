#include "app/HelpPages.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace {
const QString kDataFolder = QStringLiteral("splicora");
}

QStringList HelpFolders(const QString& startDirectory) {
  QStringList folders{startDirectory};
  const QString exeDir = QCoreApplication::applicationDirPath();
  folders << QDir::cleanPath(exeDir + QStringLiteral("/../share/") + kDataFolder);
  for (const QString& data : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
    folders << QDir(data).filePath(kDataFolder);
  folders << exeDir;
  folders.removeDuplicates();
  return folders;
}

QString FindHelpPage(const QString& startDirectory, const QString& fileName) {
  for (const QString& folder : HelpFolders(startDirectory)) {
    const QFileInfo page(QDir(folder), fileName);
    if (page.isFile()) return page.absoluteFilePath();
  }
  return {};
}

bool OpenHelpPage(const QString& path) {
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(path))) return true;
  // Debian's registered browser, for desktops without a URL opener.
  for (const QString& browser : {QStringLiteral("sensible-browser"), QStringLiteral("x-www-browser")})
    if (QProcess::startDetached(browser, {path})) return true;
  return false;
}
