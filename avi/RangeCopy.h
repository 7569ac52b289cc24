#pragma once
// Copies a byte range from one file into another at a given offset. The
// kernel moves the bytes (copy_file_range) where it can: no pass through user
// space, and on file systems with shared extents (XFS, btrfs) no copy at all
// for whole blocks at offsets of equal remainder modulo the block size. Where
// the kernel refuses (no such call, another file system on older kernels, a
// pipe or a special file) the same bytes go through pread and pwrite.
#include <cstdint>
#include <string>
#include <vector>

namespace media {

class RangeCopy {
 public:
  // The block size that extent sharing needs offsets to agree on.
  static constexpr uint64_t kBlockSize = 4096;

  // Off: every copy reads and writes (for comparison, or to avoid the kernel's path).
  void SetKernelCopy(bool on) { kernel_ = on; }
  // Still in use: on, and the kernel has not refused.
  bool KernelCopy() const { return kernel_; }

  // Copies size bytes from in at inOffset to out at outOffset. False with the
  // reason (errno text, or a source that ended early).
  bool Copy(int in, uint64_t inOffset, int out, uint64_t outOffset, uint64_t size, std::string& error);

 private:
  enum class Step { Done, Refused, Failed };
  Step KernelStep(int in, uint64_t& inOffset, int out, uint64_t& outOffset, uint64_t& size, std::string& error);
  bool ReadWrite(int in, uint64_t inOffset, int out, uint64_t outOffset, uint64_t size, std::string& error);

  bool kernel_ = true;
  bool checked_ = false;  // the output's kind was looked at
  std::vector<uint8_t> buffer_;
};

}  // namespace media
