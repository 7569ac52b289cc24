#include "avi/RangeCopy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace media {

namespace {

constexpr size_t kReadWriteStep = size_t{1} << 20;

std::string ErrnoText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

bool RegularFile(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Errors that say the kernel cannot copy between these two files, not that the copy failed.
bool KernelRefusal(int error) {
  return error == ENOSYS || error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOTSUP ||
         error == EBADF || error == ETXTBSY;
}

}  // namespace

bool RangeCopy::Copy(int in, uint64_t inOffset, int out, uint64_t outOffset, uint64_t size, std::string& error) {
  if (kernel_ && !checked_) {
    checked_ = true;
    kernel_ = RegularFile(out);
  }
  if (kernel_ && !RegularFile(in)) return ReadWrite(in, inOffset, out, outOffset, size, error);
  if (kernel_) {
    switch (KernelStep(in, inOffset, out, outOffset, size, error)) {
      case Step::Done: return true;
      case Step::Failed: return false;
      case Step::Refused: kernel_ = false; break;  // the rest, and every later copy, the other way
    }
  }
  return ReadWrite(in, inOffset, out, outOffset, size, error);
}

// Advances the offsets past what was copied, so a refusal midway leaves the rest.
RangeCopy::Step RangeCopy::KernelStep(int in, uint64_t& inOffset, int out, uint64_t& outOffset, uint64_t& size,
                                      std::string& error) {
  while (size > 0) {
    // A head up to the next block boundary on its own: the file system can
    // then share every whole block of the rest, where one unaligned call
    // would make it copy everything.
    uint64_t want = size;
    if (const uint64_t head = (kBlockSize - inOffset % kBlockSize) % kBlockSize; head != 0) want = std::min(size, head);
    auto inPos = static_cast<off_t>(inOffset);
    auto outPos = static_cast<off_t>(outOffset);
    ssize_t n = copy_file_range(in, &inPos, out, &outPos, static_cast<size_t>(want), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && KernelRefusal(errno)) return Step::Refused;
    if (n < 0) {
      error = ErrnoText(errno);
      return Step::Failed;
    }
    if (n == 0) {
      error = "the source file ended early";
      return Step::Failed;
    }
    inOffset += static_cast<uint64_t>(n);
    outOffset += static_cast<uint64_t>(n);
    size -= static_cast<uint64_t>(n);
  }
  return Step::Done;
}

bool RangeCopy::ReadWrite(int in, uint64_t inOffset, int out, uint64_t outOffset, uint64_t size, std::string& error) {
  buffer_.resize(static_cast<size_t>(std::min<uint64_t>(size, kReadWriteStep)));
  while (size > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, buffer_.size()));
    ssize_t got = pread(in, buffer_.data(), want, static_cast<off_t>(inOffset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error = got < 0 ? ErrnoText(errno) : "the source file ended early";
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t n = pwrite(out, buffer_.data() + done, static_cast<size_t>(got - done), static_cast<off_t>(outOffset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = ErrnoText(n < 0 ? errno : ENOSPC);
        return false;
      }
      done += n;
      outOffset += static_cast<uint64_t>(n);
    }
    inOffset += static_cast<uint64_t>(got);
    size -= static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace media
