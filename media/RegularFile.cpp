#include "media/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "media/FfmpegUtil.h"

namespace media {

OpenedFile OpenRegularFile(const std::string& path, int flags) {
  OpenedFile opened;
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    opened.error = errno;
    struct stat st {};
    // A FIFO opened for writing without a reader fails with ENXIO instead.
    if (opened.error == ENXIO && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      opened.kind = PathKind::NotRegular;
    else if (opened.error == ENOENT)
      opened.kind = PathKind::Missing;
    else if (opened.error == EISDIR)
      opened.kind = PathKind::Folder;
    else if (opened.error == EACCES || opened.error == EPERM)
      opened.kind = PathKind::NoPermission;
    return opened;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    opened.error = errno;
    ::close(fd);
    return opened;
  }
  if (!S_ISREG(st.st_mode)) {
    opened.kind = S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::NotRegular;
    ::close(fd);
    return opened;
  }
  opened.fd = fd;
  opened.kind = PathKind::Regular;
  return opened;
}

std::string PathKindText(const OpenedFile& opened, const std::string& path) {
  switch (opened.kind) {
    case PathKind::Regular:
      return {};
    case PathKind::Folder:
      return path + " is a folder";
    case PathKind::NotRegular:
      return path + " is not a regular file";
    default:
      return path + ": " + std::strerror(opened.error);
  }
}

int OpenFormatInput(AVFormatContext** context, const std::string& path, std::string& refusal) {
  refusal.clear();
  const OpenedFile opened = OpenRegularFile(path, O_RDONLY);
  if (opened.kind != PathKind::Regular) {
    refusal = PathKindText(opened, path);
    avformat_free_context(*context);
    *context = nullptr;
    return AVERROR(opened.error ? opened.error : EINVAL);
  }
  const std::string self = "/proc/self/fd/" + std::to_string(opened.fd);
  const std::string url = ::access(self.c_str(), R_OK) == 0 ? "file:" + self : path;
  const int result = avformat_open_input(context, url.c_str(), nullptr, nullptr);
  ::close(opened.fd);
  return result;
}

}  // namespace media
