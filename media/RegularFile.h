#pragma once
// Opening a path that should be a clip or an output. A FIFO without a writer
// blocks a plain open() for good, and a device reads without end, so a path
// is opened without waiting and kept only when it is a regular file.
#include <string>

struct AVFormatContext;

namespace media {

enum class PathKind {
  Regular,  // opened
  Missing,  // nothing of that name (or a link to nothing)
  Folder,
  NotRegular,    // a FIFO, a device, a socket
  NoPermission,  // EACCES / EPERM
  OtherError,    // any other errno
};

struct OpenedFile {
  int fd = -1;  // owned by the caller when kind is Regular
  PathKind kind = PathKind::OtherError;
  int error = 0;  // errno of the failed open
};

// Opens path with flags | O_NONBLOCK | O_CLOEXEC and keeps it only when it is
// a regular file (anything else is closed again, without having been read).
OpenedFile OpenRegularFile(const std::string& path, int flags);

// "PATH is a folder", "PATH is not a regular file", "PATH: <errno text>";
// empty for Regular.
std::string PathKindText(const OpenedFile& opened, const std::string& path);

// avformat_open_input() of a regular file only. What is not one is refused
// before FFmpeg sees it (refusal says why, *context is freed and null, the
// result is negative); FFmpeg then reads the very file that was checked,
// through /proc/self/fd, so nothing swapped in between can block it. With a
// negative result and an empty refusal, FFmpeg failed as usual.
int OpenFormatInput(AVFormatContext** context, const std::string& path, std::string& refusal);

}  // namespace media
