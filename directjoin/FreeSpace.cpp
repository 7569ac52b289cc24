#include "directjoin/FreeSpace.h"

#include <QFile>

#include <mutex>
#include <sys/statvfs.h>

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
