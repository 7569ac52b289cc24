// libFuzzer entry for the AVI header reader: any bytes either are refused with
// one of the open errors or give chunk lists that lie inside the input.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "avi/AviReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  media::AviReader reader;
  media::AviResult result = reader.OpenMemory(std::vector<uint8_t>(data, data + size));
  if (result != media::AVIERR_OK) {
    if (result != media::AVIERR_BADFORMAT && result != media::AVIERR_FILEREAD && result != media::AVIERR_MEMORY)
      std::abort();
    if (reader.IsOpen()) std::abort();
    return 0;
  }
  if (reader.StreamCount() == 0 || reader.StreamCount() > 100) std::abort();
  std::vector<uint8_t> buffer;
  for (const media::AviStream& stream : reader.Streams()) {
    for (const media::AviChunk& chunk : stream.chunks) {
      if (chunk.offset < 8 || chunk.offset > size || chunk.size > size - chunk.offset) std::abort();
    }
    if (!stream.chunks.empty() && !reader.ReadChunk(stream.chunks.back(), buffer)) std::abort();
  }
  return 0;
}
