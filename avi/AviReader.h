#pragma once
// Our own RIFF/AVI reader: the main header, every stream's header, format and
// name, and each stream's chunk list (from idx1, from the OpenDML indexes, or
// rebuilt by scanning 'movi' when the index is missing or damaged). It reads
// headers and indexes only; chunk data is read on demand. Every length and
// count taken from the file is bounds-checked: no input can crash it, hang it
// or make it allocate without limit.
#include <cstdint>
#include <string>
#include <vector>

#include "avi/AviTypes.h"

namespace media {

struct AviStream {
  AviStreamInfo info;           // rcFrame filled from the format when the file leaves it empty
  std::vector<uint8_t> format;  // the 'strf' block as stored (BITMAPINFOHEADER, WAVEFORMATEX, ...)
  // In file order, empty chunks included. Key flags come from the index;
  // audio (and any non-video) chunks are always key; in a list rebuilt by
  // scanning, a video chunk is key when its data starts an I-VOP (MPEG-4),
  // an I picture (MS-MPEG4) or an IDR slice (H.264), an empty one never, and
  // every chunk of other codecs is.
  std::vector<AviChunk> chunks;
  uint16_t chunkType = 0;       // the two letters after the stream number of its chunks ('dc', 'db', 'wb', ...)
};

class AviReader {
 public:
  AviReader() = default;
  ~AviReader();
  AviReader(const AviReader&) = delete;
  AviReader& operator=(const AviReader&) = delete;

  // AVIERR_OK, or AVIERR_FILEOPEN (cannot open), AVIERR_FILEREAD (read failure,
  // cut short inside the headers), AVIERR_BADFORMAT (not RIFF/AVI, inconsistent
  // headers), AVIERR_MEMORY (absurd sizes or counts).
  AviResult Open(const std::string& path);
  // The same over bytes held in memory (fuzzing, tests); the reader keeps them.
  AviResult OpenMemory(std::vector<uint8_t> bytes);
  void Close();
  bool IsOpen() const { return fd_ >= 0 || inMemory_; }

  const AviMainHeader& MainHeader() const { return mainHeader_; }
  size_t StreamCount() const { return streams_.size(); }
  const AviStream& Stream(size_t index) const { return streams_.at(index); }
  // The number of the n-th stream of that type (streamtypeVIDEO, ...), or -1.
  int NthStream(FourCC type, int n = 0) const {
    for (size_t i = 0; i < streams_.size(); ++i)
      if (streams_[i].info.fccType == type && n-- == 0) return static_cast<int>(i);
    return -1;
  }
  const std::vector<AviStream>& Streams() const { return streams_; }

  bool IsOpenDml() const { return openDml_; }          // had AVIX RIFFs or indx super-indexes
  bool IndexRebuilt() const { return indexRebuilt_; }  // chunk lists came from scanning 'movi'
  uint64_t FileSize() const { return fileSize_; }

  // Reads one chunk's data into buffer (resized to chunk.size). False on a
  // read failure or a chunk outside the file. Safe to call from one thread at
  // a time per reader.
  bool ReadChunk(const AviChunk& chunk, std::vector<uint8_t>& buffer) const;
  bool ReadChunk(const AviChunk& chunk, uint8_t* buffer) const;

  // Human text of the last failure (with errno text where there was one).
  const std::string& LastError() const { return lastError_; }
  // The file ends before the end its RIFF header gives (a file cut short:
  // opened with what it holds, or, when its headers are not whole, failed),
  // or, with no usable index, its chunks stop at one that cannot be whole (a
  // damaged size): opened with the chunks before it.
  bool CutShort() const { return cutShort_; }
  // The header field whose impossible value failed the last open, for the
  // user's message ("dwStreams", "hdrl", "indx", "idx1"); empty if none.
  const std::string& LastBadField() const { return badField_; }

 private:
  int fd_ = -1;
  uint64_t fileSize_ = 0;
  AviMainHeader mainHeader_;
  std::vector<AviStream> streams_;
  bool openDml_ = false;
  bool indexRebuilt_ = false;
  std::string lastError_;
  // The implementation may add private members and helpers.
  friend class AviParser;
  bool ReadAt(uint64_t offset, void* buffer, size_t size) const;
  std::vector<uint8_t> memory_;  // the bytes of an OpenMemory source
  bool inMemory_ = false;
  bool cutShort_ = false;
  std::string badField_;
};

}  // namespace media
