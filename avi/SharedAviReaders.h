#pragma once
// Clips read once per run. A command-line join checks every clip, lays out
// its timeline, plans the output and copies the chunks: each of these steps
// read the same file's headers and index again. With sharing on, Open hands
// out the reader already made for a file that has not changed since (same
// device, inode, size and modification time), and keeps readers only while
// their indexes fit the memory budget and their descriptors the process's
// limit; past either, a file is simply read anew, as with sharing off (the
// default).
#include <cstdint>
#include <memory>
#include <string>

#include "avi/AviReader.h"

namespace media {

class SharedAviReaders {
 public:
  using Reader = std::shared_ptr<const AviReader>;

  // The file's reader, or null when it cannot be opened: result (when given)
  // says why, and error the reader's text.
  static Reader Open(const std::string& path, AviResult* result = nullptr, std::string* error = nullptr);
  // Turns sharing on with a budget for the kept indexes (0 turns it off and
  // lets go of every kept reader).
  static void Enable(uint64_t budgetBytes);
  // Readers kept now (for tests).
  static size_t Kept();
};

}  // namespace media
