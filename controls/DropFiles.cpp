#include "controls/DropFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Desktop entries are small text files; a larger one is not a shortcut.
constexpr qint64 kMaxDesktopEntrySize = 64 * 1024;

QString DesktopEntryTarget(const QString& path) {
  if (!path.endsWith(QLatin1String(".desktop"), Qt::CaseInsensitive)) return QString();
  // Only a regular file is read, opened without waiting: a FIFO would wait for a writer.
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat status {};
  if (fd < 0) return QString();
  QFile file;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
    ::close(fd);
    return QString();
  }
  if (file.size() > kMaxDesktopEntrySize) return QString();
  const QString text = QString::fromUtf8(file.read(kMaxDesktopEntrySize));
  bool inEntry = false;
  QString type;
  QString url;
  for (QString line : text.split(QLatin1Char('\n'))) {
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
    if (line.startsWith(QLatin1Char('['))) {
      inEntry = line == QLatin1String("[Desktop Entry]");
      continue;
    }
    if (!inEntry) continue;
    const int eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0) continue;
    const QString key = line.left(eq).trimmed();
    const QString value = line.mid(eq + 1).trimmed();
    if (key == QLatin1String("Type"))
      type = value;
    else if (key == QLatin1String("URL") || key == QLatin1String("URL[$e]"))
      url = value;
  }
  if (type != QLatin1String("Link") || url.isEmpty()) return QString();
  if (url.startsWith(QLatin1Char('/'))) return url;
  const QUrl parsed(url);
  return parsed.isLocalFile() ? parsed.toLocalFile() : QString();
}

}  // namespace

QString ResolveShortcut(const QString& path) {
  if (path.isEmpty()) return QString();
  const QFileInfo info(path);
  // The stored target, not followed further: a target that has gone away
  // then fails the existence test.
  if (info.isSymLink()) return info.symLinkTarget();
  return DesktopEntryTarget(path);
}

QString PathFindExtension(const QString& path) {
  const int slash = static_cast<int>(path.lastIndexOf(QLatin1Char('/')));
  const int dot = static_cast<int>(path.lastIndexOf(QLatin1Char('.')));
  if (dot < 0 || dot < slash) return QString();
  return path.mid(dot);
}

bool IsAcceptedClipFile(const QString& path) {
  if (path.isEmpty() || path.contains(QLatin1Char('?')) || path.contains(QLatin1Char('*')))
    return false;
  struct stat status {};
  if (::stat(QFile::encodeName(path).constData(), &status) != 0) return false;
  if (!S_ISREG(status.st_mode)) return false;
  return PathFindExtension(path).compare(QLatin1String(".avi"), Qt::CaseInsensitive) == 0;
}
