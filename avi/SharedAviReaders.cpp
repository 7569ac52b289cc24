#include "avi/SharedAviReaders.h"

#include <mutex>
#include <unordered_map>

#include <sys/resource.h>
#include <sys/stat.h>

namespace media {

namespace {

struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modified = 0;  // ns
  bool operator==(const Identity&) const = default;
};

bool Identify(const std::string& path, Identity& id) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  id = {st.st_dev, st.st_ino, st.st_size, int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
  return true;
}

// What a kept reader holds: its chunk lists and format blocks, and a little for the rest.
uint64_t Footprint(const AviReader& reader) {
  uint64_t bytes = 4096;
  for (const AviStream& s : reader.Streams()) bytes += s.chunks.capacity() * sizeof(AviChunk) + s.format.capacity();
  return bytes;
}

// Kept readers each hold a descriptor: at most half of what the process may open, less a reserve.
size_t DescriptorBudget() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4096;
  return limit.rlim_cur > 256 ? static_cast<size_t>((limit.rlim_cur - 128) / 2) : 0;
}

struct Entry {
  Identity id;
  SharedAviReaders::Reader reader;
  uint64_t bytes = 0;
};

std::mutex mutex;
uint64_t budget = 0;
uint64_t used = 0;
std::unordered_map<std::string, Entry> kept;

}  // namespace

SharedAviReaders::Reader SharedAviReaders::Open(const std::string& path, AviResult* result, std::string* error) {
  Identity before;
  const bool known = Identify(path, before);
  {
    std::lock_guard lock(mutex);
    if (budget > 0 && known) {
      auto it = kept.find(path);
      if (it != kept.end() && it->second.id == before) {
        if (result) *result = AVIERR_OK;
        return it->second.reader;
      }
      if (it != kept.end()) {  // the file changed: its old reader goes
        used -= it->second.bytes;
        kept.erase(it);
      }
    }
  }
  auto reader = std::make_shared<AviReader>();
  const AviResult rc = reader->Open(path);
  if (result) *result = rc;
  if (rc != AVIERR_OK) {
    if (error) *error = reader->LastError();
    return nullptr;
  }
  Identity after;
  if (known && Identify(path, after) && after == before) {  // unchanged while it was read
    std::lock_guard lock(mutex);
    const uint64_t bytes = Footprint(*reader);
    if (budget > 0 && used + bytes <= budget && kept.size() < DescriptorBudget() && !kept.count(path)) {
      kept[path] = Entry{before, reader, bytes};
      used += bytes;
    }
  }
  return reader;
}

void SharedAviReaders::Enable(uint64_t budgetBytes) {
  std::lock_guard lock(mutex);
  budget = budgetBytes;
  if (budget == 0) {
    kept.clear();
    used = 0;
  }
}

size_t SharedAviReaders::Kept() {
  std::lock_guard lock(mutex);
  return kept.size();
}

}  // namespace media
