#pragma once
// A file this process really cannot read. Tests run as root, which reads
// every file whatever its mode: while a ReadDenied lives, the calling thread
// runs without the two capabilities that override read permissions, so the
// file's mode 000 takes effect. Without root nothing needs dropping.
#include <string>

namespace testsupport {

class ReadDenied {
 public:
  // Makes path (an existing file) unreadable for this thread.
  explicit ReadDenied(const std::string& path);
  ~ReadDenied();
  ReadDenied(const ReadDenied&) = delete;
  ReadDenied& operator=(const ReadDenied&) = delete;

  // The file cannot be opened for reading now (checked, not assumed).
  bool Denied() const;

 private:
  std::string path_;
  bool dropped_ = false;
};

// The command's prefix that runs a child process without those capabilities
// ("setpriv --bounding-set ..." as root, nothing otherwise).
std::string WithoutReadOverride();

}  // namespace testsupport
