// Layout: RIFF 'AVI ' { LIST hdrl { avih, LIST strl { strh, strf, [strn],
// indx (reserved as JUNK until the first standard index exists) } per stream,
// LIST odml { dmlh } }, JUNK up to a 2048-byte boundary, LIST movi { chunks,
// ix## }, idx1 }, then RIFF 'AVIX' { LIST movi { chunks, ix## } } each time
// the current RIFF would pass Limits::riffBytes. Every RIFF's chunks are
// listed by ix## standard indexes (flushed every standardIndexEntries and at
// the end of the RIFF) that each stream's indx points to; idx1 covers the
// first RIFF only, as other OpenDML writers do. avih dwTotalFrames counts the
// first RIFF's video frames, dmlh all of them.
//
// strh dwLength: chunks for video and for streams with dwSampleSize 0 (one
// chunk is one sample: a VBR MP3 frame with dwScale 1152 and dwRate the
// sample rate gives ffprobe the exact duration); bytes / dwSampleSize
// otherwise (the byte-based MP3 header with dwScale 1, dwRate bytes per
// second and dwSampleSize 1 gives ffprobe packet times of bytes / dwRate).
#include "avi/AviWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "avi/RangeCopy.h"

namespace media {
namespace {

constexpr size_t kBufferSize = size_t{8} << 20;
constexpr size_t kWriteStep = size_t{1} << 20;
// A chunk must fit into a fresh RIFF next to its indexes, and its size into
// the 31 bits a standard index entry leaves for it.
constexpr uint32_t kMaxChunkSize = uint32_t{512} << 20;
constexpr size_t kMaxFormatSize = size_t{1} << 20;
constexpr uint64_t kMoviAlignment = 2048;  // first chunk on a sector-friendly boundary
constexpr size_t kMaxStreams = 100;        // chunk ids carry two decimal digits
constexpr uint32_t kAviifKeyframe = 0x10;
constexpr uint32_t kNotKeyFrameBit = 0x80000000u;
constexpr uint32_t kStrhSize = 56;
constexpr uint32_t kAvihSize = 56;
constexpr uint32_t kDmlhSize = 248;
constexpr uint32_t kIndexHeaderSize = 24;  // both 'indx' and 'ix##' headers after the chunk header
constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;

std::string ErrnoText(int error) {
  char buffer[256];
  // GNU strerror_r: returns the text, which may or may not live in buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

class FileSink final : public AviWriter::Sink {
 public:
  ~FileSink() override {
    if (fd_ >= 0) ::close(fd_);
  }

  bool Open(const std::string& path, std::string& error) override {
    path_ = path;
    // Never waits on a FIFO, nor writes over a folder, a socket or a disk
    // device: a regular file is emptied and written. A character device takes
    // the writes as they come (/dev/full is how a full disk is tried); the
    // names the window and the command line choose never are existing files.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    int why = errno;
    struct stat st {};
    bool usable = false, special = fd < 0 && why == ENXIO;  // ENXIO: a FIFO without a reader
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
      special = !S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode);
      // A new file is not truncated: on ext4 a truncation to nothing makes the
      // close write the whole file out (its guard for files rewritten in
      // place), which took as long as the join itself.
      usable = S_ISREG(st.st_mode)
                   ? st.st_size == 0 || ::ftruncate(fd, 0) == 0
                   : S_ISCHR(st.st_mode) && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
    }
    if (!usable) why = errno;
    if (usable) {
      fd_ = fd;
      return true;
    }
    if (fd >= 0) ::close(fd);
    error = "Cannot create \"" + path +
            "\": " + (special ? std::string("it is not a regular file") : ErrnoText(why));
    return false;
  }

  bool WriteAt(uint64_t offset, const void* data, size_t size, std::string& error) override {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
      // At most 1 MiB a call: measured here, single multi-megabyte writes into the
      // page cache now and then cost several times as much system time.
      ssize_t n = ::pwrite(fd_, p, std::min(size, kWriteStep), static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // A zero-byte write without errno means the device took nothing: report it as full.
        error = "Cannot write \"" + path_ + "\": " + ErrnoText(n < 0 ? errno : ENOSPC);
        return false;
      }
      p += n;
      size -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
    return true;
  }

  bool CopyFrom(int in, uint64_t inOffset, uint64_t offset, uint64_t size, std::string& error) override {
    if (copy_.Copy(in, inOffset, fd_, offset, size, error)) return true;
    error = "Cannot copy into \"" + path_ + "\": " + error;
    return false;
  }

  void SetKernelCopy(bool on) { copy_.SetKernelCopy(on); }

  bool Close(std::string& error) override {
    if (fd_ < 0) return true;
    int result = ::close(fd_);
    fd_ = -1;
    if (result == 0) return true;
    error = "Cannot close \"" + path_ + "\": " + ErrnoText(errno);
    return false;
  }

 private:
  int fd_ = -1;
  std::string path_;
  RangeCopy copy_;
};

// Bytes of JUNK that put a run copied from source at the same remainder
// modulo the block size; a JUNK chunk needs its 8-byte header.
uint64_t AlignmentPadding(uint64_t position, uint64_t source) {
  if (source & 1) return 0;  // RIFF chunks start at even offsets; nothing to gain
  const uint64_t block = RangeCopy::kBlockSize;
  uint64_t d = (source % block + block - position % block) % block;
  if (d != 0 && d < 8) d += block;
  return d;
}

void AppendFourCC(std::vector<uint8_t>& v, FourCC code) { AppendLE32(v, code); }

void PutLE32(uint8_t* p, uint32_t x) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(x >> (8 * i));
}

uint32_t Clamp32(uint64_t x) {
  return x > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                  : static_cast<uint32_t>(x);
}

uint16_t ClampToInt16(int32_t x) {
  return static_cast<uint16_t>(static_cast<int16_t>(std::clamp<int32_t>(x, -32768, 32767)));
}

FourCC StreamChunkId(size_t stream, char a, char b) {
  return MakeFourCC(static_cast<char>('0' + stream / 10), static_cast<char>('0' + stream % 10), a, b);
}

// Chunk type letters as AVIFile writes them: 'db' for uncompressed DIBs.
FourCC ChunkIdFor(size_t stream, const AviStreamInfo& info, const std::vector<uint8_t>& format) {
  if (info.fccType == streamtypeVIDEO) {
    uint32_t compression = format.size() >= 20 ? ReadLE32(format.data() + 16) : 0;
    bool raw = compression == kBiRgb || compression == kBiBitfields;
    return StreamChunkId(stream, 'd', raw ? 'b' : 'c');
  }
  if (info.fccType == streamtypeAUDIO) return StreamChunkId(stream, 'w', 'b');
  return StreamChunkId(stream, 't', 'x');
}

}  // namespace

struct AviWriter::Impl {
  struct IndexEntry {  // one 'ix##' entry: offset from the base, size with the not-key bit
    uint32_t offset;
    uint32_t size;
  };
  struct SuperEntry {  // one 'indx' entry
    uint64_t offset;
    uint32_t size;
    uint32_t duration;
  };
  struct Idx1Entry {  // one 'idx1' entry of the first RIFF (12 bytes held per chunk)
    uint32_t offset;
    uint32_t size;
    uint16_t stream;
    bool keyFrame;
  };
  struct Stream {
    AviStreamInfo info;
    std::vector<uint8_t> format;
    FourCC chunkId = 0;
    FourCC indexId = 0;
    uint64_t chunks = 0;
    uint64_t bytes = 0;
    uint64_t firstRiffChunks = 0;
    uint32_t largest = 0;
    std::vector<IndexEntry> pending;  // entries of the 'ix##' not yet written
    uint64_t pendingBytes = 0;
    std::vector<SuperEntry> super;

    bool CountsBytes() const { return info.fccType != streamtypeVIDEO && info.dwSampleSize != 0; }
    // Stream ticks of a run of chunks: samples for fixed-size samples, chunks otherwise.
    uint64_t Ticks(uint64_t chunkCount, uint64_t byteCount) const {
      return CountsBytes() ? byteCount / info.dwSampleSize : chunkCount;
    }
  };

  Sink* testSink = nullptr;
  bool kernelCopy = true;
  std::unique_ptr<FileSink> fileSink;
  Sink* sink = nullptr;
  Limits limits;

  bool open = false;
  AviResult failure = AVIERR_OK;  // sticky once a write failed
  std::string lastError;

  std::vector<Stream> streams;
  bool headerWritten = false;
  uint64_t headerSize = 0;  // bytes up to and including the first 'movi' fourcc

  std::unique_ptr<uint8_t[]> buffer;
  size_t bufferLength = 0;
  uint64_t bufferStart = 0;  // file offset of buffer[0]

  int riffNumber = 0;  // 0 for 'AVI ', then the AVIX RIFFs
  uint64_t riffStart = 0;
  uint64_t moviListStart = 0;  // offset of the 'LIST' of the current movi
  uint64_t moviBase = 0;       // offset of the 'movi' fourcc: base of idx1 and ix## offsets
  bool riffHasChunks = false;
  uint32_t firstRiffSize = 0;
  uint32_t firstMoviSize = 0;
  std::vector<Idx1Entry> idx1;

  uint64_t Position() const { return bufferStart + bufferLength; }

  AviResult Fail(AviResult code, const std::string& text) {
    failure = code;
    lastError = text;
    return code;
  }

  bool WriteAt(uint64_t offset, const void* data, size_t size) {
    if (failure != AVIERR_OK) return false;
    std::string error;
    if (sink->WriteAt(offset, data, size, error)) return true;
    Fail(AVIERR_FILEWRITE, error.empty() ? "Write failed" : error);
    return false;
  }

  bool Flush() {
    if (bufferLength == 0) return failure == AVIERR_OK;
    if (!WriteAt(bufferStart, buffer.get(), bufferLength)) return false;
    bufferStart += bufferLength;
    bufferLength = 0;
    return true;
  }

  bool Append(const void* data, size_t size) {
    if (failure != AVIERR_OK) return false;
    if (bufferLength + size > kBufferSize) {
      if (!Flush()) return false;
      if (size >= kBufferSize) {  // a large chunk goes straight to the file, no copy
        if (!WriteAt(bufferStart, data, size)) return false;
        bufferStart += size;
        return true;
      }
    }
    if (size > 0) std::memcpy(buffer.get() + bufferLength, data, size);
    bufferLength += size;
    return true;
  }
  bool Append(const std::vector<uint8_t>& bytes) { return Append(bytes.data(), bytes.size()); }

  // Rewrites bytes already appended (a size field), in the buffer or in the file.
  bool Patch(uint64_t offset, const void* data, size_t size) {
    if (failure != AVIERR_OK) return false;
    if (offset >= bufferStart) {
      std::memcpy(buffer.get() + (offset - bufferStart), data, size);
      return true;
    }
    if (offset + size > bufferStart && !Flush()) return false;
    return WriteAt(offset, data, size);
  }
  bool PatchLE32(uint64_t offset, uint32_t value) {
    uint8_t bytes[4];
    PutLE32(bytes, value);
    return Patch(offset, bytes, 4);
  }

  uint32_t SuperIndexChunkSize() const { return kIndexHeaderSize + 16 * limits.superIndexEntries; }

  const Stream* FirstVideo() const {
    for (const Stream& s : streams)
      if (s.info.fccType == streamtypeVIDEO) return &s;
    return nullptr;
  }

  std::vector<uint8_t> BuildStrl(const Stream& s) const {
    std::vector<uint8_t> v;
    AppendFourCC(v, MakeFourCC('L', 'I', 'S', 'T'));
    AppendLE32(v, 0);  // patched below
    AppendFourCC(v, MakeFourCC('s', 't', 'r', 'l'));

    const AviStreamInfo& i = s.info;
    AppendFourCC(v, MakeFourCC('s', 't', 'r', 'h'));
    AppendLE32(v, kStrhSize);
    AppendFourCC(v, i.fccType);
    AppendFourCC(v, i.fccHandler);
    AppendLE32(v, i.dwFlags);
    AppendLE16(v, i.wPriority);
    AppendLE16(v, i.wLanguage);
    AppendLE32(v, i.dwInitialFrames);
    AppendLE32(v, i.dwScale);
    AppendLE32(v, i.dwRate);
    AppendLE32(v, i.dwStart);
    AppendLE32(v, Clamp32(s.Ticks(s.chunks, s.bytes)));
    AppendLE32(v, s.largest);
    AppendLE32(v, i.dwQuality);
    AppendLE32(v, i.dwSampleSize);
    AppendLE16(v, ClampToInt16(i.rcFrame.left));
    AppendLE16(v, ClampToInt16(i.rcFrame.top));
    AppendLE16(v, ClampToInt16(i.rcFrame.right));
    AppendLE16(v, ClampToInt16(i.rcFrame.bottom));

    AppendFourCC(v, MakeFourCC('s', 't', 'r', 'f'));
    AppendLE32(v, static_cast<uint32_t>(s.format.size()));
    v.insert(v.end(), s.format.begin(), s.format.end());
    if (s.format.size() & 1) v.push_back(0);

    if (!i.szName.empty()) {
      AppendFourCC(v, MakeFourCC('s', 't', 'r', 'n'));
      AppendLE32(v, static_cast<uint32_t>(i.szName.size() + 1));
      v.insert(v.end(), i.szName.begin(), i.szName.end());
      v.push_back(0);
      if ((i.szName.size() + 1) & 1) v.push_back(0);
    }

    // The super index, or its reserved room while the stream has no standard index.
    bool indexed = !s.super.empty() && s.super.size() <= limits.superIndexEntries;
    AppendFourCC(v, indexed ? MakeFourCC('i', 'n', 'd', 'x') : MakeFourCC('J', 'U', 'N', 'K'));
    AppendLE32(v, SuperIndexChunkSize());
    size_t body = v.size();
    v.resize(body + SuperIndexChunkSize(), 0);
    if (indexed) {
      std::vector<uint8_t> h;
      AppendLE16(h, 4);  // wLongsPerEntry
      h.push_back(0);    // bIndexSubType
      h.push_back(0);    // bIndexType: AVI_INDEX_OF_INDEXES
      AppendLE32(h, static_cast<uint32_t>(s.super.size()));
      AppendFourCC(h, s.chunkId);
      AppendLE32(h, 0);
      AppendLE32(h, 0);
      AppendLE32(h, 0);
      for (const SuperEntry& e : s.super) {
        AppendLE64(h, e.offset);
        AppendLE32(h, e.size);
        AppendLE32(h, e.duration);
      }
      std::copy(h.begin(), h.end(), v.begin() + static_cast<std::ptrdiff_t>(body));
    }
    PutLE32(v.data() + 4, static_cast<uint32_t>(v.size() - 8));
    return v;
  }

  // Everything before the first chunk: RIFF 'AVI ', hdrl, padding and the
  // movi list header. The same size whether built up front or at Close.
  std::vector<uint8_t> BuildHeader() const {
    const Stream* video = FirstVideo();
    uint64_t totalFrames = 0;
    uint64_t firstRiffFrames = 0;
    if (video) {
      totalFrames = video->chunks;
      firstRiffFrames = video->firstRiffChunks;
    } else {
      for (const Stream& s : streams) {
        totalFrames = std::max(totalFrames, s.chunks);
        firstRiffFrames = std::max(firstRiffFrames, s.firstRiffChunks);
      }
    }
    uint32_t largest = 0;
    double bytesPerSecond = 0;
    for (const Stream& s : streams) {
      largest = std::max(largest, s.largest);
      uint64_t ticks = s.Ticks(s.chunks, s.bytes);
      if (s.info.dwRate != 0 && s.info.dwScale != 0 && ticks != 0)
        bytesPerSecond += static_cast<double>(s.bytes) * s.info.dwRate /
                          (static_cast<double>(ticks) * s.info.dwScale);
    }

    std::vector<uint8_t> v;
    AppendFourCC(v, MakeFourCC('R', 'I', 'F', 'F'));
    AppendLE32(v, firstRiffSize);
    AppendFourCC(v, MakeFourCC('A', 'V', 'I', ' '));
    AppendFourCC(v, MakeFourCC('L', 'I', 'S', 'T'));
    AppendLE32(v, 0);  // patched below
    AppendFourCC(v, MakeFourCC('h', 'd', 'r', 'l'));

    AppendFourCC(v, MakeFourCC('a', 'v', 'i', 'h'));
    AppendLE32(v, kAvihSize);
    uint32_t microSecPerFrame = 0;
    if (video && video->info.dwRate != 0)
      microSecPerFrame = Clamp32((uint64_t{1000000} * video->info.dwScale + video->info.dwRate / 2) /
                                 video->info.dwRate);
    AppendLE32(v, microSecPerFrame);
    AppendLE32(v, bytesPerSecond >= 4294967295.0 ? 0xFFFFFFFFu
                                                 : static_cast<uint32_t>(bytesPerSecond + 0.999));
    AppendLE32(v, 0);  // dwPaddingGranularity
    AppendLE32(v, AVIF_HASINDEX | AVIF_ISINTERLEAVED | AVIF_TRUSTCKTYPE);
    AppendLE32(v, Clamp32(firstRiffFrames));
    AppendLE32(v, video ? video->info.dwInitialFrames : 0);
    AppendLE32(v, static_cast<uint32_t>(streams.size()));
    AppendLE32(v, largest);
    BitmapInfoHeader bih;
    if (video && BitmapInfoHeader::Parse(video->format, bih)) {
      AppendLE32(v, static_cast<uint32_t>(bih.biWidth));
      AppendLE32(v, static_cast<uint32_t>(bih.biHeight < 0 ? -static_cast<int64_t>(bih.biHeight)
                                                            : bih.biHeight));
    } else {
      AppendLE32(v, 0);
      AppendLE32(v, 0);
    }
    for (int i = 0; i < 4; ++i) AppendLE32(v, 0);  // dwReserved

    for (const Stream& s : streams) {
      std::vector<uint8_t> strl = BuildStrl(s);
      v.insert(v.end(), strl.begin(), strl.end());
    }

    AppendFourCC(v, MakeFourCC('L', 'I', 'S', 'T'));
    AppendLE32(v, 4 + 8 + kDmlhSize);
    AppendFourCC(v, MakeFourCC('o', 'd', 'm', 'l'));
    AppendFourCC(v, MakeFourCC('d', 'm', 'l', 'h'));
    AppendLE32(v, kDmlhSize);
    AppendLE32(v, Clamp32(totalFrames));
    v.resize(v.size() + kDmlhSize - 4, 0);
    PutLE32(v.data() + 16, static_cast<uint32_t>(v.size() - 20));  // hdrl size

    uint64_t used = v.size() + 8 + 12;  // JUNK header and the movi LIST header
    uint64_t padding = (kMoviAlignment - used % kMoviAlignment) % kMoviAlignment;
    AppendFourCC(v, MakeFourCC('J', 'U', 'N', 'K'));
    AppendLE32(v, static_cast<uint32_t>(padding));
    v.resize(v.size() + padding, 0);

    AppendFourCC(v, MakeFourCC('L', 'I', 'S', 'T'));
    AppendLE32(v, firstMoviSize);
    AppendFourCC(v, MakeFourCC('m', 'o', 'v', 'i'));
    return v;
  }

  bool WriteHeaderPlaceholder() {
    for (size_t i = 0; i < streams.size(); ++i) {
      Stream& s = streams[i];
      s.chunkId = ChunkIdFor(i, s.info, s.format);
      s.indexId = MakeFourCC('i', 'x', static_cast<char>('0' + i / 10), static_cast<char>('0' + i % 10));
    }
    std::vector<uint8_t> header = BuildHeader();
    headerSize = header.size();
    headerWritten = true;
    riffStart = 0;
    moviListStart = headerSize - 12;
    moviBase = headerSize - 4;
    return Append(header);
  }

  // Bytes the current RIFF still needs for its indexes if one more chunk of
  // `stream` is added: every pending 'ix##', and idx1 in the first RIFF.
  uint64_t IndexReserve(size_t stream) const {
    uint64_t total = 0;
    for (size_t i = 0; i < streams.size(); ++i) {
      uint64_t n = streams[i].pending.size() + (i == stream ? 1 : 0);
      if (n) total += 8 + kIndexHeaderSize + 8 * n;
    }
    if (riffNumber == 0) total += 8 + 16 * (idx1.size() + 1);
    return total;
  }

  // Index entries of a chunk whose header was written at position.
  void Record(size_t index, uint64_t position, uint32_t size, bool keyFrame) {
    Stream& s = streams[index];
    s.pending.push_back({static_cast<uint32_t>(position + 8 - moviBase), size | (keyFrame ? 0 : kNotKeyFrameBit)});
    s.pendingBytes += size;
    if (riffNumber == 0) {
      idx1.push_back({static_cast<uint32_t>(position - moviBase), size, static_cast<uint16_t>(index), keyFrame});
      s.firstRiffChunks++;
    }
    s.chunks++;
    s.bytes += size;
    s.largest = std::max(s.largest, size);
    riffHasChunks = true;
  }

  bool FlushFullIndexes() {
    for (Stream& s : streams)
      if (s.pending.size() >= limits.standardIndexEntries && !FlushStandardIndex(s)) return false;
    return true;
  }

  // How many of the chunks (at least the first, which must be kept) fit into
  // the current RIFF with the JUNK in front and the index entries they add,
  // and into the standard indexes as they stand.
  size_t FittingRun(const CopiedChunk* chunks, size_t count) const {
    uint64_t indexBytes = riffNumber == 0 ? 8 + 16 * idx1.size() : 0;
    for (const Stream& s : streams)
      if (!s.pending.empty()) indexBytes += 8 + kIndexHeaderSize + 8 * s.pending.size();
    std::vector<uint64_t> added(streams.size(), 0);
    const uint64_t start = Position() + AlignmentPadding(Position(), chunks[0].offset);
    size_t fit = 0;
    for (size_t k = 0; k < count; ++k) {
      const CopiedChunk& c = chunks[k];
      if (c.stream >= 0) {
        const Stream& s = streams[static_cast<size_t>(c.stream)];
        const uint64_t n = s.pending.size() + ++added[static_cast<size_t>(c.stream)];
        if (n > limits.standardIndexEntries) break;
        indexBytes += n == 1 ? 8 + kIndexHeaderSize + 8 : 8;
        if (riffNumber == 0) indexBytes += 16;
      }
      const uint64_t end = start + (c.offset - chunks[0].offset) + 8 + c.size + (c.size & 1);
      if (end + indexBytes - riffStart > limits.riffBytes) break;
      fit = k + 1;
    }
    return fit;
  }

  // Every kept stream of the run keeps a super index slot for its standard
  // index (and one more for the pending one a new RIFF flushes), as WriteChunk counts.
  AviResult CheckSuperIndexRoom(const CopiedChunk* chunks, size_t count, bool newRiff) {
    for (size_t k = 0; k < count; ++k) {
      if (chunks[k].stream < 0) continue;
      const Stream& s = streams[static_cast<size_t>(chunks[k].stream)];
      if (s.super.size() + (s.pending.empty() ? 0 : 1) + ((newRiff || s.pending.empty()) ? 1 : 0) >
          limits.superIndexEntries) {
        lastError = "The OpenDML index of stream " + std::to_string(chunks[k].stream) + " is full";
        return AVIERR_BADSIZE;
      }
    }
    return AVIERR_OK;
  }

  // The copy itself: JUNK to the source's remainder, the bytes, then the ids.
  bool CopyRun(int sourceFd, const CopiedChunk* chunks, size_t count) {
    const uint64_t start = chunks[0].offset;
    const CopiedChunk& last = chunks[count - 1];
    const uint64_t bytes = last.offset + 8 + last.size + (last.size & 1) - start;
    if (const uint64_t padding = AlignmentPadding(Position(), start); padding != 0) {
      uint8_t header[8];
      PutLE32(header, ckidAVIPADDING);
      PutLE32(header + 4, static_cast<uint32_t>(padding - 8));
      static const uint8_t kZeros[RangeCopy::kBlockSize] = {};
      if (!Append(header, 8) || !Append(kZeros, padding - 8)) return false;
    }
    if (!Flush()) return false;
    const uint64_t base = Position();
    std::string error;
    if (!sink->CopyFrom(sourceFd, start, base, bytes, error)) {
      Fail(AVIERR_FILEWRITE, error.empty() ? "Copy failed" : error);
      return false;
    }
    bufferStart += bytes;
    for (size_t k = 0; k < count; ++k) {
      const CopiedChunk& c = chunks[k];
      const uint64_t at = base + (c.offset - start);
      const FourCC id = c.stream < 0 ? ckidAVIPADDING : streams[static_cast<size_t>(c.stream)].chunkId;
      if (id != c.id) {
        uint8_t code[4];
        PutLE32(code, id);
        if (!WriteAt(at, code, 4)) return false;
      }
      if (c.stream >= 0) Record(static_cast<size_t>(c.stream), at, c.size, c.keyFrame);
    }
    return true;
  }

  bool FlushStandardIndex(Stream& s) {
    if (s.pending.empty()) return true;
    uint64_t position = Position();
    uint32_t n = static_cast<uint32_t>(s.pending.size());
    std::vector<uint8_t> v;
    v.reserve(8 + kIndexHeaderSize + 8 * size_t{n});
    AppendFourCC(v, s.indexId);
    AppendLE32(v, kIndexHeaderSize + 8 * n);
    AppendLE16(v, 2);  // wLongsPerEntry
    v.push_back(0);    // bIndexSubType
    v.push_back(1);    // bIndexType: AVI_INDEX_OF_CHUNKS
    AppendLE32(v, n);
    AppendFourCC(v, s.chunkId);
    AppendLE64(v, moviBase);
    AppendLE32(v, 0);
    const size_t entries = v.size();
    v.resize(entries + 8 * size_t{n});
    for (size_t k = 0; k < n; ++k) {
      PutLE32(v.data() + entries + 8 * k, s.pending[k].offset);
      PutLE32(v.data() + entries + 8 * k + 4, s.pending[k].size);
    }
    if (!Append(v)) return false;
    s.super.push_back({position, static_cast<uint32_t>(v.size()), Clamp32(s.Ticks(n, s.pendingBytes))});
    s.pending.clear();
    s.pendingBytes = 0;
    return true;
  }

  // Ends the movi list and the RIFF: pending standard indexes, idx1 for the
  // first RIFF, sizes.
  bool EndRiff() {
    for (Stream& s : streams)
      if (!FlushStandardIndex(s)) return false;
    uint32_t moviSize = static_cast<uint32_t>(Position() - moviListStart - 8);
    if (riffNumber == 0) {
      firstMoviSize = moviSize;
      // Built in place: a long join's index is a million entries.
      std::vector<uint8_t> v(8 + 16 * idx1.size());
      uint8_t* p = v.data();
      PutLE32(p, MakeFourCC('i', 'd', 'x', '1'));
      PutLE32(p + 4, static_cast<uint32_t>(16 * idx1.size()));
      p += 8;
      for (const Idx1Entry& e : idx1) {
        PutLE32(p, streams[e.stream].chunkId);
        PutLE32(p + 4, e.keyFrame ? kAviifKeyframe : 0);
        PutLE32(p + 8, e.offset);
        PutLE32(p + 12, e.size);
        p += 16;
      }
      if (!Append(v)) return false;
      std::vector<Idx1Entry>().swap(idx1);
      firstRiffSize = static_cast<uint32_t>(Position() - 8);
      return true;  // the first RIFF's sizes go out with the final header
    }
    return PatchLE32(moviListStart + 4, moviSize) &&
           PatchLE32(riffStart + 4, static_cast<uint32_t>(Position() - riffStart - 8));
  }

  bool StartAvix() {
    riffNumber++;
    riffStart = Position();
    moviListStart = riffStart + 12;
    moviBase = riffStart + 20;
    riffHasChunks = false;
    std::vector<uint8_t> v;
    AppendFourCC(v, MakeFourCC('R', 'I', 'F', 'F'));
    AppendLE32(v, 0);
    AppendFourCC(v, MakeFourCC('A', 'V', 'I', 'X'));
    AppendFourCC(v, MakeFourCC('L', 'I', 'S', 'T'));
    AppendLE32(v, 0);
    AppendFourCC(v, MakeFourCC('m', 'o', 'v', 'i'));
    return Append(v);
  }

  AviResult CheckFormat(const AviStreamInfo& info, const std::vector<uint8_t>& format) const {
    if (format.size() > kMaxFormatSize) return AVIERR_BADSIZE;
    if (info.fccType == 0) return AVIERR_BADFORMAT;
    if (info.fccType == streamtypeVIDEO && format.size() < 40) return AVIERR_BADFORMAT;
    if (info.fccType == streamtypeAUDIO) {
      if (format.size() < 16) return AVIERR_BADFORMAT;
      if (format.size() >= 18 && 18u + ReadLE16(format.data() + 16) > format.size()) return AVIERR_BADFORMAT;
    }
    return AVIERR_OK;
  }

  // The result every call gives on a writer that is closed or has failed.
  AviResult Unusable() const {
    if (failure != AVIERR_OK) return failure;
    return open ? AVIERR_OK : AVIERR_BADHANDLE;
  }
};

AviWriter::AviWriter() : impl_(new Impl) {}

AviWriter::~AviWriter() {
  if (impl_->open) Close();
  delete impl_;
}

AviResult AviWriter::Create(const std::string& path) {
  Impl& m = *impl_;
  if (m.open) {
    if (m.failure != AVIERR_OK) return m.failure;
    m.lastError = "A file is already open: close it first";
    return AVIERR_BADPARAM;
  }
  Limits limits = m.limits;
  Sink* testSink = m.testSink;
  const bool kernelCopy = m.kernelCopy;
  std::unique_ptr<uint8_t[]> buffer = std::move(m.buffer);
  *impl_ = Impl();
  m.limits = limits;
  m.testSink = testSink;
  m.kernelCopy = kernelCopy;
  if (!buffer) buffer.reset(new (std::nothrow) uint8_t[kBufferSize]);
  if (!buffer) {
    m.lastError = "Out of memory for the write buffer of \"" + path + "\"";
    return AVIERR_MEMORY;
  }
  m.buffer = std::move(buffer);
  if (testSink) {
    m.sink = testSink;
  } else {
    m.fileSink = std::make_unique<FileSink>();
    m.fileSink->SetKernelCopy(kernelCopy);
    m.sink = m.fileSink.get();
  }
  std::string error;
  if (!m.sink->Open(path, error)) {
    m.lastError = error.empty() ? "Cannot create \"" + path + "\"" : error;
    return AVIERR_FILEOPEN;
  }
  m.open = true;
  return AVIERR_OK;
}

AviResult AviWriter::AddStream(const AviStreamInfo& info, const std::vector<uint8_t>& format,
                               int* streamIndex) {
  Impl& m = *impl_;
  if (AviResult r = m.Unusable(); r != AVIERR_OK) return r;
  if (m.headerWritten) {
    m.lastError = "Streams must be added before the first chunk is written";
    return AVIERR_BADPARAM;
  }
  if (m.streams.size() >= kMaxStreams) {
    m.lastError = "Too many streams";
    return AVIERR_BADPARAM;
  }
  if (AviResult r = m.CheckFormat(info, format); r != AVIERR_OK) {
    m.lastError = "Unusable stream format";
    return r;
  }
  Impl::Stream s;
  s.info = info;
  s.format = format;
  m.streams.push_back(std::move(s));
  if (streamIndex) *streamIndex = static_cast<int>(m.streams.size() - 1);
  return AVIERR_OK;
}

AviResult AviWriter::SetFormat(int stream, const std::vector<uint8_t>& format) {
  Impl& m = *impl_;
  if (AviResult r = m.Unusable(); r != AVIERR_OK) return r;
  if (stream < 0 || static_cast<size_t>(stream) >= m.streams.size()) {
    m.lastError = "No stream " + std::to_string(stream);
    return AVIERR_BADPARAM;
  }
  if (m.headerWritten) {
    m.lastError = "The format cannot change after the first chunk";
    return AVIERR_BADPARAM;
  }
  Impl::Stream& s = m.streams[static_cast<size_t>(stream)];
  if (AviResult r = m.CheckFormat(s.info, format); r != AVIERR_OK) {
    m.lastError = "Unusable stream format";
    return r;
  }
  s.format = format;
  return AVIERR_OK;
}

AviResult AviWriter::WriteChunk(int stream, const void* data, uint32_t size, bool keyFrame) {
  Impl& m = *impl_;
  if (AviResult r = m.Unusable(); r != AVIERR_OK) return r;
  if (stream < 0 || static_cast<size_t>(stream) >= m.streams.size()) {
    m.lastError = "No stream " + std::to_string(stream);
    return AVIERR_BADPARAM;
  }
  if (!data && size != 0) {
    m.lastError = "No data for a chunk of " + std::to_string(size) + " bytes";
    return AVIERR_BADPARAM;
  }
  if (size > kMaxChunkSize) {
    m.lastError = "A chunk of " + std::to_string(size) + " bytes is too large for AVI";
    return AVIERR_BADSIZE;
  }
  if (!m.headerWritten && !m.WriteHeaderPlaceholder()) return m.failure;

  auto index = static_cast<size_t>(stream);
  Impl::Stream& s = m.streams[index];
  uint64_t padded = uint64_t{size} + (size & 1);
  bool newRiff = m.riffHasChunks &&
                 m.Position() + 8 + padded + m.IndexReserve(index) - m.riffStart > m.limits.riffBytes;
  // Super index room: the pending index takes its slot, a new one needs another.
  size_t slots = s.super.size() + (s.pending.empty() ? 0 : 1) + ((newRiff || s.pending.empty()) ? 1 : 0);
  if (slots > m.limits.superIndexEntries) {
    m.lastError = "The OpenDML index of stream " + std::to_string(stream) + " is full";
    return AVIERR_BADSIZE;
  }
  if (newRiff && !(m.EndRiff() && m.StartAvix())) return m.failure;

  uint64_t position = m.Position();
  uint8_t header[8];
  PutLE32(header, s.chunkId);
  PutLE32(header + 4, size);
  static const uint8_t kZero = 0;
  if (!m.Append(header, 8) || !m.Append(data, size) || ((size & 1) && !m.Append(&kZero, 1)))
    return m.failure;
  m.Record(index, position, size, keyFrame);
  if (s.pending.size() >= m.limits.standardIndexEntries && !m.FlushStandardIndex(s)) return m.failure;
  return AVIERR_OK;
}

AviResult AviWriter::CopyChunks(int sourceFd, const CopiedChunk* chunks, size_t count, size_t* taken) {
  Impl& m = *impl_;
  if (taken) *taken = 0;
  if (AviResult r = m.Unusable(); r != AVIERR_OK) return r;
  for (size_t k = 0; k < count; ++k) {
    if (chunks[k].stream >= static_cast<int>(m.streams.size())) {
      m.lastError = "No stream " + std::to_string(chunks[k].stream);
      return AVIERR_BADPARAM;
    }
    if (chunks[k].size > kMaxChunkSize) {
      m.lastError = "A chunk of " + std::to_string(chunks[k].size) + " bytes is too large for AVI";
      return AVIERR_BADSIZE;
    }
  }
  // Left-out chunks at either end are passed over, not copied.
  size_t skipped = 0;
  while (skipped < count && chunks[skipped].stream < 0) ++skipped;
  if (skipped == count) {
    if (taken) *taken = count;
    return AVIERR_OK;
  }
  chunks += skipped;
  count -= skipped;
  if (!m.headerWritten && !m.WriteHeaderPlaceholder()) return m.failure;
  if (!m.FlushFullIndexes()) return m.failure;
  size_t n = m.FittingRun(chunks, count);
  if (n == 0 && m.riffHasChunks) {
    if (AviResult r = m.CheckSuperIndexRoom(chunks, 1, true); r != AVIERR_OK) return r;
    if (!(m.EndRiff() && m.StartAvix())) return m.failure;
    n = m.FittingRun(chunks, count);
  }
  n = std::max<size_t>(n, 1);  // a fresh RIFF takes its first chunk whatever its size, as WriteChunk does
  size_t copied = n;
  while (chunks[copied - 1].stream < 0) --copied;
  if (AviResult r = m.CheckSuperIndexRoom(chunks, copied, false); r != AVIERR_OK) return r;
  if (!m.CopyRun(sourceFd, chunks, copied) || !m.FlushFullIndexes()) return m.failure;
  if (taken) *taken = skipped + n;
  return AVIERR_OK;
}

AviResult AviWriter::Close() {
  Impl& m = *impl_;
  if (!m.open) return m.failure != AVIERR_OK ? m.failure : AVIERR_BADHANDLE;
  if (m.failure == AVIERR_OK) {
    if ((m.headerWritten || m.WriteHeaderPlaceholder()) && m.EndRiff() && m.Flush()) {
      std::vector<uint8_t> header = m.BuildHeader();
      if (header.size() != m.headerSize)  // would overwrite the first chunks
        m.Fail(AVIERR_INTERNAL, "The AVI header changed size while writing");
      else
        m.WriteAt(0, header.data(), header.size());
    }
  }
  std::string error;
  bool closed = m.sink->Close(error);
  m.open = false;
  m.buffer.reset();
  if (m.failure != AVIERR_OK) return m.failure;
  if (!closed) return m.Fail(AVIERR_FILEWRITE, error.empty() ? "Closing the file failed" : error);
  return AVIERR_OK;
}

bool AviWriter::IsOpen() const { return impl_->open; }

uint64_t AviWriter::BytesWritten() const { return impl_->Position(); }

const std::string& AviWriter::LastError() const { return impl_->lastError; }

void AviWriter::SetSinkForTesting(Sink* sink) { impl_->testSink = sink; }

void AviWriter::SetKernelCopy(bool on) { impl_->kernelCopy = on; }

uint64_t AviWriter::RunPadding(uint64_t position, uint64_t sourceOffset) {
  return AlignmentPadding(position, sourceOffset);
}

FourCC AviWriter::ChunkId(int stream) const {
  if (stream < 0 || static_cast<size_t>(stream) >= impl_->streams.size()) return 0;
  const Impl::Stream& s = impl_->streams[static_cast<size_t>(stream)];
  return ChunkIdFor(static_cast<size_t>(stream), s.info, s.format);
}

bool AviWriter::Sink::CopyFrom(int in, uint64_t inOffset, uint64_t offset, uint64_t size, std::string& error) {
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size, kWriteStep)));
  while (size > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, buffer.size()));
    ssize_t got = ::pread(in, buffer.data(), want, static_cast<off_t>(inOffset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error = got < 0 ? "Cannot read the source: " + ErrnoText(errno) : "The source file ended early";
      return false;
    }
    if (!WriteAt(offset, buffer.data(), static_cast<size_t>(got), error)) return false;
    inOffset += static_cast<uint64_t>(got);
    offset += static_cast<uint64_t>(got);
    size -= static_cast<uint64_t>(got);
  }
  return true;
}

void AviWriter::SetLimitsForTesting(const Limits& limits) { impl_->limits = limits; }

}  // namespace media
