#pragma once
// Free bytes of the volume that holds a folder, for the Join command's space
// check; tests replace the probe.
#include <QString>

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
