#pragma once
// The compressors the user can choose for recompression, listed once at
// start-up by the main dialog and read by every save dialog.
#include <QString>

#include <cstdint>
#include <vector>

struct CodecEntry {
  QString description;   // at most 127 characters
  uint32_t handler = 0;  // FOURCC, first character in the low byte
};

using CodecList = std::vector<CodecEntry>;

constexpr int kCodecDescriptionMax = 127;

// Refills list with every compressor whose encoder opens here, in a stable order.
void EnumerateCodecs(CodecList& list);
