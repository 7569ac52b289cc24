#pragma once
// Free bytes of the volume that holds a folder, for the Join command's space
// check; tests replace the probe.
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

// False when the volume cannot be queried.
using FreeSpaceProbe = std::function<bool(const QString& folder, uint64_t& freeBytes)>;

// Installs a probe (an empty one restores the system's) and returns the one replaced.
FreeSpaceProbe SetFreeSpaceProbe(FreeSpaceProbe probe);

// The total free bytes (statvfs f_bfree × f_frsize, not the part left to
// unprivileged users), through the installed probe.
bool QueryFreeSpace(const QString& folder, uint64_t& freeBytes);
bool SystemFreeSpace(const QString& folder, uint64_t& freeBytes);

// The Join command's space rule, shared by the window and the command line.
// The folder of an output path: up to and including its last "/", or "."
// for a bare name.
QString OutputFolder(const QString& path);
// A file's size in megabytes (bytes × 2^-20). An unreadable file shows text
// 151 with its path as caption, counts 0 and gives false.
bool JoinFileSizeMegabytes(const QString& path, float& megabytes);
// The summed sizes of the clips plus one megabyte fit into the free space of
// the output's folder (0 free when it cannot be queried).
bool JoinCheckDiskSpace(const QString& outputPath, const QStringList& clips);
