#pragma once
// A plain RIFF walker for tests: the chunk tree of an AVI file read straight
// from its bytes, independent of media::AviReader, so the writer's output can
// be checked field by field and the chunks of files made by other writers can
// be taken as they are.
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct RiffNode {
  std::string id;        // "RIFF", "LIST", "00dc", ...
  std::string listType;  // "AVI ", "movi", ... for RIFF and LIST; empty otherwise
  uint64_t offset = 0;   // of the 8-byte chunk header
  uint32_t size = 0;     // as stored in the header
  std::vector<RiffNode> children;

  uint64_t DataOffset() const { return offset + 8; }
  // First child with that id (or "LIST:type" / "RIFF:type"); nullptr when none.
  const RiffNode* Child(const std::string& key) const;
  std::vector<const RiffNode*> Children(const std::string& key) const;
};

// The top-level chunks of a file. Stops (and says why in error) at the first
// header that does not fit; what was read before is kept.
std::vector<RiffNode> ParseRiffFile(const std::string& path, std::string* error = nullptr);

// size bytes of a file from offset (shorter when the file ends).
std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t size);
inline std::vector<uint8_t> ReadChunkData(const std::string& path, const RiffNode& node) {
  return ReadBytes(path, node.DataOffset(), node.size);
}

// One data chunk of a file made by some writer, in 'movi' order.
struct MoviChunk {
  std::string id;  // "00dc", "01wb", ...
  std::vector<uint8_t> data;
  bool keyFrame = false;  // from idx1 (false when the file has none)
};
// The data chunks of every movi list (AVIX included), ix##/JUNK/LIST left out.
std::vector<MoviChunk> ReadMoviChunks(const std::string& path);

// Checks the OpenDML structure of a file: RIFF sizes within riffLimit, idx1
// only in the first RIFF and matching its chunks, every data chunk listed
// once by the 'ix##' standard indexes that the streams' 'indx' super indexes
// point to (offsets, sizes, key flags), and dmlh / avih frame totals. Returns
// "" when sound, otherwise a description of the first fault. Counts go to
// the optional outputs.
struct OpenDmlSummary {
  size_t riffs = 0;
  std::vector<uint64_t> chunksPerStream;  // data chunks found by walking the movi lists
  std::vector<uint64_t> indexedPerStream; // entries reached through indx -> ix##
  uint32_t avihTotalFrames = 0;
  uint32_t dmlhTotalFrames = 0;
  uint64_t firstRiffVideoChunks = 0;
};
std::string CheckOpenDml(const std::string& path, uint64_t riffLimit, OpenDmlSummary* summary = nullptr);

// Adler-32 as ffmpeg's framecrc muxer prints it (which starts from 0, not 1).
uint32_t Adler32(const uint8_t* data, size_t size, uint32_t adler = 0);
// The Adler-32 (from 0) of A followed by B, from the two sums and B's length:
// lets packets that a demuxer split differently be compared as one stream.
uint32_t Adler32Combine(uint32_t first, uint32_t second, uint64_t secondLength);

}  // namespace testsupport
