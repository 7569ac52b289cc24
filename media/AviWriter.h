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

#include "media/AviTypes.h"

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
