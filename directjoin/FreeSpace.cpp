#include "directjoin/FreeSpace.h"

#include <QFile>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "media/RegularFile.h"

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {
std::mutex probeMutex;
FreeSpaceProbe& Probe() {
  static FreeSpaceProbe probe;
  return probe;
}
}  // namespace

FreeSpaceProbe SetFreeSpaceProbe(FreeSpaceProbe probe) {
  std::lock_guard lock(probeMutex);
  FreeSpaceProbe old = std::move(Probe());
  Probe() = std::move(probe);
  return old;
}

bool SystemFreeSpace(const QString& folder, uint64_t& freeBytes) {
  freeBytes = 0;
  struct statvfs info {};
  if (statvfs(QFile::encodeName(folder).constData(), &info) != 0) return false;
  freeBytes = static_cast<uint64_t>(info.f_bfree) * info.f_frsize;
  return true;
}

bool QueryFreeSpace(const QString& folder, uint64_t& freeBytes) {
  FreeSpaceProbe probe;
  {
    std::lock_guard lock(probeMutex);
    probe = Probe();
  }
  return probe ? probe(folder, freeBytes) : SystemFreeSpace(folder, freeBytes);
}

QString OutputFolder(const QString& path) {
  qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
  return slash >= 0 ? path.left(slash + 1) : QStringLiteral(".");
}

bool JoinFileSizeMegabytes(const QString& path, float& megabytes) {
  megabytes = 0;
  // Opened without waiting: a listed clip replaced by a FIFO must not hang the check.
  const media::OpenedFile opened = media::OpenRegularFile(QFile::encodeName(path).toStdString(), O_RDONLY);
  struct stat status {};
  const bool sized = opened.fd >= 0 && ::fstat(opened.fd, &status) == 0;
  if (opened.fd >= 0) ::close(opened.fd);
  if (!sized) {
    ShowMessageBox(nullptr, LanguageText(151, QStringLiteral("Error open file info for size checks...")), path,
                   MB_ICONWARNING);
    return false;
  }
  megabytes = static_cast<float>(static_cast<double>(status.st_size) / 1048576.0);
  return true;
}

bool JoinCheckDiskSpace(const QString& outputPath, const QStringList& clips) {
  if (outputPath.isNull()) return false;
  uint64_t freeBytes = 0;
  float freeMegabytes = QueryFreeSpace(OutputFolder(outputPath), freeBytes)
                            ? static_cast<float>(static_cast<double>(freeBytes) / 1048576.0)
                            : 0.0f;
  float sum = 0;
  for (const QString& clip : clips) {
    float m = 0;
    JoinFileSizeMegabytes(clip, m);
    sum += m;
  }
  return sum + 1.0f <= freeMegabytes;
}
