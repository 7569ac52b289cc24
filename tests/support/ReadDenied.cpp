#include "tests/support/ReadDenied.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr unsigned kReadOverrides = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

// Sets or clears the two capabilities in the calling thread's effective set
// (they stay permitted, so they can be raised again).
bool SetReadOverride(bool on) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective = on ? (data[0].effective | kReadOverrides) : (data[0].effective & ~kReadOverrides);
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

ReadDenied::ReadDenied(const std::string& path) : path_(path) {
  chmod(path_.c_str(), 0);
  if (geteuid() == 0) dropped_ = SetReadOverride(false);
}

ReadDenied::~ReadDenied() {
  if (dropped_) SetReadOverride(true);
  chmod(path_.c_str(), 0644);
}

bool ReadDenied::Denied() const {
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd < 0;
}

std::string WithoutReadOverride() {
  return geteuid() == 0 ? "setpriv --bounding-set -dac_override,-dac_read_search " : "";
}

}  // namespace testsupport
