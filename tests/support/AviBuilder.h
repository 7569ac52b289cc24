#pragma once
// Byte-level AVI pieces for tests: files built chunk by chunk (for layouts no
// writer at hand produces, and for damaged ones), and a small RIFF walker that
// finds where a chunk sits in a real file so a test can cut or alter it.
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

Bytes Le16(uint16_t value);
Bytes Le32(uint32_t value);
void PutLe32(Bytes& bytes, size_t at, uint32_t value);
uint32_t GetLe32(const Bytes& bytes, size_t at);
void Append(Bytes& to, const Bytes& more);

// A chunk: code, size, data and the pad byte of an odd size.
Bytes Chunk(const std::string& code, const Bytes& data);
// "LIST" or "RIFF" with its type and children.
Bytes List(const std::string& kind, const std::string& type, const std::vector<Bytes>& children);

Bytes BitmapInfo(int32_t width, int32_t height, const std::string& compression, uint16_t bitCount = 24);
Bytes WaveFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockAlign, uint16_t bits);

struct StreamLayout {
  std::string type = "vids";
  std::string handler = "MJPG";
  uint32_t scale = 1;
  uint32_t rate = 25;
  uint32_t start = 0;
  uint32_t length = 0;
  uint32_t sampleSize = 0;
  int16_t frame[4] = {0, 0, 0, 0};  // rcFrame as the file stores it
  Bytes format;                      // 'strf' data
  std::string name;                  // 'strn' when not empty
};

struct ChunkLayout {
  int stream = 0;
  std::string kind = "dc";  // the two letters after the stream number
  Bytes data;
  bool key = true;
};

enum class IndexKind { Relative, Absolute, None };

struct FileLayout {
  std::vector<StreamLayout> streams;
  std::vector<ChunkLayout> chunks;
  IndexKind index = IndexKind::Relative;
  bool recordLists = false;       // wrap each chunk in LIST 'rec '
  int64_t mainHeaderStreams = -1;  // dwStreams of 'avih'; -1 for the real count
  bool openDml = false;            // an 'indx' super index per stream, one 'ix##' each at the end of 'movi'
  int superIndexCopies = 1;        // how often each super index lists its 'ix##' (damage when above 1)
};

// A whole RIFF AVI file laid out as described.
Bytes BuildAvi(const FileLayout& layout);

// Offset of the header of the nth chunk with that code ("idx1", "strh"), or of
// the nth LIST/RIFF with that type ("hdrl", "movi", "AVIX"), walking the RIFF
// tree of a file; -1 when there is none.
int64_t FindChunk(const Bytes& file, const std::string& code, int nth = 0);

// Damage as users' files have it, on a copy of a real file.
// Puts value into one header field: of 'avih' (stream "avih"), or of the
// first stream of that type ("vids", "auds"): its 'strh' or its 'strf'
// (BITMAPINFOHEADER, WAVEFORMATEX), each field by its Windows name. 16-bit
// fields take the low half. False when the file has no such stream or field.
bool SetHeaderField(Bytes& file, const std::string& stream, const std::string& field, uint32_t value);
// Zeroes the code of every second data chunk of the first 'movi' (the second,
// the fourth, ...), leaving sizes, data and indexes alone; returns how many.
size_t ZeroEverySecondChunkCode(Bytes& file);
// Sets the size of every nth data chunk of the first 'movi', from data chunk
// first on, to one no file can hold, leaving codes, data and indexes alone;
// returns how many.
size_t BreakChunkSizes(Bytes& file, size_t every, size_t first = 0);

}  // namespace testsupport
