#pragma once
// Our own RIFF/AVI writer, the twin of AviReader: streams from an
// AVISTREAMINFO-like header and a format block, chunks appended in the order
// written (empty chunks and key-frame flags kept), 'idx1' for the first RIFF,
// and past 1 GiB OpenDML (AVIX RIFFs, 'indx' super-indexes, 'ix##' standard
// indexes, 'dmlh'), so outputs of any size are valid. Writes go through a large
// buffer; no whole-file data is held in memory. After a failed write every
// further call fails with the same result.
#include <cstdint>
#include <string>
#include <vector>

#include "avi/AviTypes.h"

namespace media {

class AviWriter {
 public:
  AviWriter();
  ~AviWriter();  // closes (finishing the file) when still open
  AviWriter(const AviWriter&) = delete;
  AviWriter& operator=(const AviWriter&) = delete;

  // Creates (truncates) the file. AVIERR_FILEOPEN when it cannot be created.
  AviResult Create(const std::string& path);

  // Adds a stream before the first chunk is written. dwLength, dwSuggestedBufferSize
  // and the main header's totals are computed at Close from what was written;
  // every other field is written as given. streamIndex receives the number.
  AviResult AddStream(const AviStreamInfo& info, const std::vector<uint8_t>& format, int* streamIndex);

  // Replaces a stream's format block (before the first chunk of any stream).
  AviResult SetFormat(int stream, const std::vector<uint8_t>& format);

  // Appends one chunk to a stream. size 0 writes an empty chunk that still
  // counts as one frame (video) or block.
  AviResult WriteChunk(int stream, const void* data, uint32_t size, bool keyFrame);

  // A chunk of a source file, for CopyChunks. The chunks of one call lie back
  // to back in the source (each header right after the previous chunk's data
  // and pad byte).
  struct CopiedChunk {
    uint64_t offset = 0;  // of its 8-byte header in the source
    uint32_t size = 0;    // data bytes
    int stream = -1;      // the output stream; -1: left out, its id becomes 'JUNK'
    bool keyFrame = false;
    FourCC id = 0;        // the id the source gives it; rewritten when it is not the stream's
  };
  // Copies a run of source chunks as the source stores them, from the open
  // file sourceFd, instead of writing them one by one: a JUNK chunk first puts
  // the run at an offset with the source's remainder modulo 4096 (so a file
  // system with shared extents shares its blocks), ids that differ from the
  // output's are rewritten, and the kept chunks are indexed as WriteChunk
  // would. Takes the longest prefix that fits into the current RIFF and
  // standard indexes (at least one chunk; a new RIFF is begun when needed);
  // taken receives how many.
  AviResult CopyChunks(int sourceFd, const CopiedChunk* chunks, size_t count, size_t* taken);
  // Bytes of JUNK CopyChunks puts in front of a run from sourceOffset when
  // the file ends at position (0, or 8 to 4102).
  static uint64_t RunPadding(uint64_t position, uint64_t sourceOffset);
  // Copies by reading and writing instead of letting the kernel copy (before Create).
  void SetKernelCopy(bool on);
  // The id a stream's chunks get in the output.
  FourCC ChunkId(int stream) const;

  // Writes the indexes and the final headers and closes the file.
  AviResult Close();

  bool IsOpen() const;
  uint64_t BytesWritten() const;
  // Text of the last failure, with the errno text for a failed write.
  const std::string& LastError() const;

  // Where the file data goes; tests replace it to simulate a full disk.
  struct Sink {
    virtual ~Sink() = default;
    virtual bool Open(const std::string& path, std::string& error) = 0;
    virtual bool WriteAt(uint64_t offset, const void* data, size_t size, std::string& error) = 0;
    virtual bool Close(std::string& error) = 0;
    // Copies size bytes of the open file `in` from inOffset to offset. This
    // one reads and writes through WriteAt; the file sink lets the kernel copy.
    virtual bool CopyFrom(int in, uint64_t inOffset, uint64_t offset, uint64_t size, std::string& error);
  };
  void SetSinkForTesting(Sink* sink);  // not owned; before Create

  // Sizes that shape the OpenDML layout. Tests shrink them to reach several
  // RIFFs, index flushes and a full super index with small files.
  struct Limits {
    uint64_t riffBytes = uint64_t{1} << 30;  // a RIFF is closed before it would pass this
    uint32_t standardIndexEntries = 32768;   // an 'ix##' is written when it holds this many
    uint32_t superIndexEntries = 2048;       // room reserved in each stream's 'indx'
  };
  void SetLimitsForTesting(const Limits& limits);  // before Create

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace media
