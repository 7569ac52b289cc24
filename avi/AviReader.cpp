#include "avi/AviReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace media {

namespace {

constexpr FourCC kRiff = MakeFourCC('R', 'I', 'F', 'F');
constexpr FourCC kList = MakeFourCC('L', 'I', 'S', 'T');
constexpr FourCC kAvi = MakeFourCC('A', 'V', 'I', ' ');
constexpr FourCC kAvix = MakeFourCC('A', 'V', 'I', 'X');
constexpr FourCC kHdrl = MakeFourCC('h', 'd', 'r', 'l');
constexpr FourCC kAvih = MakeFourCC('a', 'v', 'i', 'h');
constexpr FourCC kStrl = MakeFourCC('s', 't', 'r', 'l');
constexpr FourCC kStrh = MakeFourCC('s', 't', 'r', 'h');
constexpr FourCC kStrf = MakeFourCC('s', 't', 'r', 'f');
constexpr FourCC kStrn = MakeFourCC('s', 't', 'r', 'n');
constexpr FourCC kIndx = MakeFourCC('i', 'n', 'd', 'x');
constexpr FourCC kMovi = MakeFourCC('m', 'o', 'v', 'i');
constexpr FourCC kIdx1 = MakeFourCC('i', 'd', 'x', '1');
constexpr FourCC kRec = MakeFourCC('r', 'e', 'c', ' ');
constexpr uint16_t kPaletteChange = 'p' | ('c' << 8);
constexpr uint16_t kUncompressedVideo = 'd' | ('b' << 8);

// The header list of a real file is a few KiB (plus the OpenDML reserve);
// anything near this is a damaged size, refused before allocating.
constexpr uint64_t kMaxHeaderListBytes = 64ull << 20;
// Chunk ids carry the stream number in two decimal digits.
constexpr size_t kMaxStreams = 100;
// Two hours at 60 frames per second with audio is about a million chunks.
constexpr uint64_t kMaxChunks = 16ull << 20;
// Index entries whose chunk header is read back to confirm the index.
constexpr size_t kIndexProbes = 64;
constexpr uint8_t kIndexOfIndexes = 0x00;
constexpr uint8_t kIndexOfChunks = 0x01;
constexpr uint32_t kNotKeyFrameBit = 0x80000000u;

// Stream number of a chunk id "NNxx", or -1.
int StreamNumber(FourCC id) {
  unsigned a = id & 0xFF, b = (id >> 8) & 0xFF;
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return static_cast<int>((a - '0') * 10 + (b - '0'));
}

uint16_t TwoCC(FourCC id) { return static_cast<uint16_t>(id >> 16); }


bool IsUtf8(const uint8_t* p, size_t len) {
  for (size_t i = 0; i < len;) {
    uint8_t c = p[i];
    size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 4;
    if (extra == 4 || extra > len - i - 1) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

// 'strn' is an ANSI string; keep UTF-8 as it is, read anything else as Latin-1.
// AVISTREAMINFOW holds 64 wide characters, the last one the terminator.
std::string StreamName(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  const bool utf8 = IsUtf8(p, len);
  std::string out;
  size_t characters = 0;
  for (size_t i = 0; i < len && characters < 63; ++characters) {
    uint8_t c = p[i];
    if (utf8) {
      size_t step = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
      out.append(reinterpret_cast<const char*>(p + i), step);
      i += step;
    } else {
      ++i;
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
  }
  return out;
}

// The codec whose pictures tell whether they are key frames (KeyFrameFromData), or Other.
VideoCodec KeyFrameCodec(FourCC handler, FourCC compression) {
  for (FourCC code : {compression, handler}) {
    switch (const VideoCodec codec = VideoCodecOf(code)) {
      case VideoCodec::Mpeg4Part2:
      case VideoCodec::MsMpeg4V2:
      case VideoCodec::MsMpeg4V3:
      case VideoCodec::H264:
        return codec;
      default:
        break;
    }
  }
  return VideoCodec::Other;
}

// Whether a video chunk starts a key frame, judged from its first bytes. Used
// only when the index had to be rebuilt; unknown codecs count every frame.
bool KeyFrameFromData(VideoCodec codec, const uint8_t* p, size_t n) {
  switch (codec) {
    case VideoCodec::Mpeg4Part2:
      // The first VOP header: coding type 0 is an I-VOP.
      for (size_t i = 0; i + 4 < n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && p[i + 3] == 0xB6) return (p[i + 4] & 0xC0) == 0;
      }
      return true;
    case VideoCodec::MsMpeg4V2:
    case VideoCodec::MsMpeg4V3:
      // The picture header opens with the picture type minus one in two bits.
      return n > 0 && (p[0] & 0xC0) == 0;
    case VideoCodec::H264:
      // The first coded slice decides: IDR (5) or not (1).
      for (size_t i = 0; i + 3 < n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
          uint8_t type = p[i + 3] & 0x1F;
          if (type == 5) return true;
          if (type == 1) return false;
        }
      }
      return true;
    default:
      return true;
  }
}

}  // namespace

// The parse of one open: walks the RIFF structure, fills the reader's headers
// and builds every stream's chunk list.
class AviParser {
 public:
  explicit AviParser(AviReader& reader) : r_(reader) {}
  AviResult Run();

 private:
  enum class IndexStatus { Ok, Unusable, TooLarge };
  struct MoviRange {
    uint64_t base;   // position of the 'movi' code: relative idx1 offsets count from here
    uint64_t begin;  // first chunk header
    uint64_t end;
  };

  AviResult Fail(AviResult code, const std::string& why);
  // The file ends before what its headers announce.
  AviResult CutShort(const std::string& why);
  // A header field holds a value no real file has.
  AviResult BadField(AviResult code, const char* field, const std::string& why);
  bool Read(uint64_t offset, void* buffer, size_t size) { return r_.ReadAt(offset, buffer, size); }
  bool ReadChunkHeader(uint64_t offset, FourCC& id, uint32_t& size);
  AviResult ReadFirstRiff();
  void ReadExtensionRiffs(uint64_t next);
  AviResult ParseHeaderList(const std::vector<uint8_t>& list);
  AviResult ParseStreamList(const uint8_t* p, size_t n);
  AviResult BuildChunkLists();
  AviResult LoadChunkLists();
  IndexStatus LoadOpenDml();
  IndexStatus LoadStandardIndex(size_t stream, const uint8_t* p, size_t n, std::vector<AviChunk>& out);
  IndexStatus LoadIdx1();
  bool FindIdx1Base(const uint8_t* entries, size_t count, uint64_t moviBase, uint64_t& base);
  IndexStatus ConfirmIndex();
  bool ProbeChunk(uint64_t dataOffset, int stream, uint32_t size);
  static bool HeaderAgrees(FourCC id, uint32_t stored, int stream, uint32_t size);
  void ScanMovi();
  bool NextIsChunk(uint64_t pos, uint64_t end);
  bool Add(std::vector<AviChunk>& list, const AviChunk& chunk);

  AviReader& r_;
  std::vector<std::vector<uint8_t>> indx_;  // each stream's 'indx' body
  std::vector<MoviRange> movi_;
  bool riffCutShort_ = false;
  bool haveIdx1_ = false;
  bool idx1Whole_ = false;
  uint64_t idx1Offset_ = 0;
  uint32_t idx1Size_ = 0;
  uint64_t chunkCount_ = 0;
  uint64_t chunkBudget_ = 0;
};

AviResult AviParser::Fail(AviResult code, const std::string& why) {
  r_.lastError_ = why;
  return code;
}

AviResult AviParser::CutShort(const std::string& why) {
  r_.cutShort_ = true;
  return Fail(AVIERR_FILEREAD, why);
}

AviResult AviParser::BadField(AviResult code, const char* field, const std::string& why) {
  r_.badField_ = field;
  return Fail(code, why);
}

bool AviParser::ReadChunkHeader(uint64_t offset, FourCC& id, uint32_t& size) {
  uint8_t h[8];
  if (!Read(offset, h, 8)) return false;
  id = ReadLE32(h);
  size = ReadLE32(h + 4);
  return true;
}

AviResult AviParser::Run() {
  chunkBudget_ = std::min<uint64_t>(r_.fileSize_ / 8 + 16, kMaxChunks);
  AviResult result = ReadFirstRiff();
  if (result != AVIERR_OK) return result;
  return BuildChunkLists();
}

AviResult AviParser::ReadFirstRiff() {
  const uint64_t fileSize = r_.fileSize_;
  uint8_t head[12] = {};
  size_t got = static_cast<size_t>(std::min<uint64_t>(fileSize, 12));
  if (got > 0 && !Read(0, head, got)) return Fail(AVIERR_FILEREAD, "cannot read the file header");
  if (got < 12) {
    // Empty, or the start of a RIFF header cut short, is a read problem; other bytes are not AVI.
    static const uint8_t riff[4] = {'R', 'I', 'F', 'F'};
    if (std::memcmp(head, riff, std::min<size_t>(got, 4)) == 0)
      return CutShort("the file ends inside its RIFF header");
    return Fail(AVIERR_BADFORMAT, "not a RIFF AVI file");
  }
  if (ReadLE32(head) != kRiff || ReadLE32(head + 8) != kAvi) return Fail(AVIERR_BADFORMAT, "not a RIFF AVI file");
  uint32_t riffSize = ReadLE32(head + 4);
  uint64_t declaredEnd = 8 + static_cast<uint64_t>(riffSize);
  // Writers that could not seek back leave the size at 0; read to the end of the file then.
  if (riffSize < 4) declaredEnd = fileSize;
  riffCutShort_ = declaredEnd > fileSize;
  r_.cutShort_ = riffCutShort_;
  const uint64_t riffEnd = std::min(declaredEnd, fileSize);

  bool sawHeaders = false;
  for (uint64_t pos = 12; pos + 8 <= riffEnd;) {
    FourCC id;
    uint32_t size;
    if (!ReadChunkHeader(pos, id, size)) return Fail(AVIERR_FILEREAD, "read failure in the headers");
    const uint64_t dataEnd = pos + 8 + size;
    if (id == kList) {
      uint8_t typeBytes[4];
      if (size < 4) {
        if (!sawHeaders) return Fail(AVIERR_BADFORMAT, "a LIST without a type before the stream headers");
        break;
      }
      if (!Read(pos + 8, typeBytes, 4)) return CutShort("the file ends inside its headers");
      FourCC type = ReadLE32(typeBytes);
      if (type == kHdrl && !sawHeaders) {
        if (size > kMaxHeaderListBytes)
          return BadField(AVIERR_MEMORY, "hdrl", "the header list claims an absurd size");
        if (dataEnd > fileSize) return CutShort("the file ends inside its header list");
        std::vector<uint8_t> list(size - 4);
        if (!list.empty() && !Read(pos + 12, list.data(), list.size()))
          return Fail(AVIERR_FILEREAD, "read failure in the header list");
        AviResult result = ParseHeaderList(list);
        if (result != AVIERR_OK) return result;
        sawHeaders = true;
      } else if (type == kMovi) {
        if (!sawHeaders) return Fail(AVIERR_BADFORMAT, "'movi' comes before the stream headers");
        movi_.push_back({pos + 8, pos + 12, std::min(dataEnd, riffEnd)});
      }
    } else if (id == kIdx1 && sawHeaders && !movi_.empty()) {
      haveIdx1_ = true;
      idx1Offset_ = pos + 8;
      idx1Size_ = size;
      idx1Whole_ = dataEnd <= fileSize;
    }
    if (dataEnd >= riffEnd) break;
    pos = dataEnd + (size & 1);
  }
  if (!sawHeaders) {
    if (riffCutShort_) return CutShort("the file ends before its stream headers");
    return Fail(AVIERR_BADFORMAT, "no header list ('hdrl')");
  }
  if (movi_.empty()) {
    if (riffCutShort_) return CutShort("the file ends before its 'movi' list");
    return Fail(AVIERR_BADFORMAT, "no 'movi' list");
  }
  if (!riffCutShort_) ReadExtensionRiffs(declaredEnd + (declaredEnd & 1));
  return AVIERR_OK;
}

// OpenDML: 'AVIX' RIFFs follow the first one, each with its own 'movi'.
void AviParser::ReadExtensionRiffs(uint64_t next) {
  const uint64_t fileSize = r_.fileSize_;
  while (next + 12 <= fileSize) {
    uint8_t head[12];
    if (!Read(next, head, 12) || ReadLE32(head) != kRiff || ReadLE32(head + 8) != kAvix) return;
    r_.openDml_ = true;
    uint32_t size = ReadLE32(head + 4);
    uint64_t end = size < 4 ? fileSize : std::min<uint64_t>(next + 8 + size, fileSize);
    for (uint64_t pos = next + 12; pos + 12 <= end;) {
      FourCC id;
      uint32_t childSize;
      uint8_t typeBytes[4];
      if (!ReadChunkHeader(pos, id, childSize) || !Read(pos + 8, typeBytes, 4)) return;
      uint64_t childEnd = pos + 8 + static_cast<uint64_t>(childSize);
      if (id == kList && childSize >= 4 && ReadLE32(typeBytes) == kMovi) {
        movi_.push_back({pos + 8, pos + 12, std::min(childEnd, end)});
      }
      pos = childEnd + (childSize & 1);
    }
    if (size < 4) return;
    next = next + 8 + size + (size & 1);
  }
}

AviResult AviParser::ParseHeaderList(const std::vector<uint8_t>& list) {
  const uint8_t* p = list.data();
  const size_t n = list.size();
  bool sawMainHeader = false;
  for (size_t pos = 0; pos + 8 <= n;) {
    FourCC id = ReadLE32(p + pos);
    uint32_t size = ReadLE32(p + pos + 4);
    bool fits = size <= n - pos - 8;
    if (id == kAvih) {
      if (!fits || size < 56) return Fail(AVIERR_BADFORMAT, "the main header ('avih') is damaged");
      const uint8_t* h = p + pos + 8;
      AviMainHeader& m = r_.mainHeader_;
      m.dwMicroSecPerFrame = ReadLE32(h);
      m.dwMaxBytesPerSec = ReadLE32(h + 4);
      m.dwPaddingGranularity = ReadLE32(h + 8);
      m.dwFlags = ReadLE32(h + 12);
      m.dwTotalFrames = ReadLE32(h + 16);
      m.dwInitialFrames = ReadLE32(h + 20);
      m.dwStreams = ReadLE32(h + 24);
      m.dwSuggestedBufferSize = ReadLE32(h + 28);
      m.dwWidth = ReadLE32(h + 32);
      m.dwHeight = ReadLE32(h + 36);
      if (m.dwStreams > kMaxStreams)
        return BadField(AVIERR_MEMORY, "dwStreams", "the main header claims an absurd stream count");
      sawMainHeader = true;
    } else if (id == kList) {
      if (!fits || size < 4) return Fail(AVIERR_BADFORMAT, "a list in the header list overruns it");
      if (ReadLE32(p + pos + 8) == kStrl) {
        if (r_.streams_.size() >= kMaxStreams)
          return BadField(AVIERR_MEMORY, "dwStreams", "too many stream headers");
        AviResult result = ParseStreamList(p + pos + 12, size - 4);
        if (result != AVIERR_OK) return result;
      }
    } else if (!fits) {
      break;  // trailing padding cut short; what came before is whole
    }
    pos += 8 + static_cast<size_t>(size) + (size & 1);
  }
  if (!sawMainHeader) return Fail(AVIERR_BADFORMAT, "no main header ('avih')");
  if (r_.streams_.empty()) return Fail(AVIERR_BADFORMAT, "no stream headers ('strl')");
  return AVIERR_OK;
}

AviResult AviParser::ParseStreamList(const uint8_t* p, size_t n) {
  AviStream stream;
  std::vector<uint8_t> indx;
  bool sawHeader = false;
  for (size_t pos = 0; pos + 8 <= n;) {
    FourCC id = ReadLE32(p + pos);
    uint32_t size = ReadLE32(p + pos + 4);
    if (size > n - pos - 8) {
      if (id == kStrh || id == kStrf) return Fail(AVIERR_BADFORMAT, "a stream header overruns its list");
      break;
    }
    const uint8_t* d = p + pos + 8;
    if (id == kStrh && !sawHeader) {
      if (size < 48) return Fail(AVIERR_BADFORMAT, "a stream header ('strh') is too short");
      AviStreamInfo& info = stream.info;
      info.fccType = ReadLE32(d);
      info.fccHandler = ReadLE32(d + 4);
      info.dwFlags = ReadLE32(d + 8);
      info.wPriority = ReadLE16(d + 12);
      info.wLanguage = ReadLE16(d + 14);
      info.dwInitialFrames = ReadLE32(d + 16);
      info.dwScale = ReadLE32(d + 20);
      info.dwRate = ReadLE32(d + 24);
      info.dwStart = ReadLE32(d + 28);
      info.dwLength = ReadLE32(d + 32);
      info.dwSuggestedBufferSize = ReadLE32(d + 36);
      info.dwQuality = ReadLE32(d + 40);
      info.dwSampleSize = ReadLE32(d + 44);
      info.dwCaps = AVIFILECAPS_CANREAD;
      if (size >= 56) {  // four 16-bit coordinates in the file
        info.rcFrame.left = static_cast<int16_t>(ReadLE16(d + 48));
        info.rcFrame.top = static_cast<int16_t>(ReadLE16(d + 50));
        info.rcFrame.right = static_cast<int16_t>(ReadLE16(d + 52));
        info.rcFrame.bottom = static_cast<int16_t>(ReadLE16(d + 54));
      }
      sawHeader = true;
    } else if (id == kStrf && stream.format.empty()) {
      stream.format.assign(d, d + size);
    } else if (id == kStrn) {
      stream.info.szName = StreamName(d, size);
    } else if (id == kIndx) {
      indx.assign(d, d + size);
    }
    pos += 8 + static_cast<size_t>(size) + (size & 1);
  }
  if (!sawHeader) return Fail(AVIERR_BADFORMAT, "a stream list without a stream header");
  BitmapInfoHeader bih;
  if (stream.info.fccType == streamtypeVIDEO && stream.info.rcFrame == AviRect{} &&
      BitmapInfoHeader::Parse(stream.format, bih)) {
    // As the platform reader does: an empty frame rectangle is the picture's size.
    stream.info.rcFrame.right = bih.biWidth;
    int64_t height = bih.biHeight;
    stream.info.rcFrame.bottom = static_cast<int32_t>(std::min<int64_t>(height < 0 ? -height : height, INT32_MAX));
  }
  if (stream.info.fccType == streamtypeVIDEO) stream.chunkType = 'd' | ('c' << 8);
  else if (stream.info.fccType == streamtypeAUDIO) stream.chunkType = 'w' | ('b' << 8);
  else if (stream.info.fccType == streamtypeTEXT) stream.chunkType = 't' | ('x' << 8);
  r_.streams_.push_back(std::move(stream));
  indx_.push_back(std::move(indx));
  return AVIERR_OK;
}

bool AviParser::Add(std::vector<AviChunk>& list, const AviChunk& chunk) {
  if (chunkCount_ >= chunkBudget_) return false;
  ++chunkCount_;
  list.push_back(chunk);
  return true;
}

AviResult AviParser::BuildChunkLists() {
  AviResult result = LoadChunkLists();
  // Every audio (and other non-video) chunk is a point to start decoding,
  // whatever flags the writer gave it: AVIFile and FFmpeg's demuxer agree.
  for (AviStream& s : r_.streams_) {
    if (s.info.fccType == streamtypeVIDEO) continue;
    for (AviChunk& c : s.chunks) c.keyFrame = true;
  }
  return result;
}

AviResult AviParser::LoadChunkLists() {
  auto clear = [this] {
    for (AviStream& s : r_.streams_) s.chunks.clear();
    chunkCount_ = 0;
  };
  bool haveSuperIndex = std::any_of(indx_.begin(), indx_.end(), [](const auto& v) { return !v.empty(); });
  if (haveSuperIndex) {
    IndexStatus status = LoadOpenDml();
    if (status == IndexStatus::Ok) return AVIERR_OK;
    if (status == IndexStatus::TooLarge)
      return BadField(AVIERR_MEMORY, "indx", "the OpenDML index claims an absurd chunk count");
    clear();
  }
  // 'idx1' covers the first RIFF only; with 'AVIX' RIFFs and no usable OpenDML index, scan.
  if (haveIdx1_ && idx1Whole_ && movi_.size() == 1) {
    IndexStatus status = LoadIdx1();
    if (status == IndexStatus::Ok) return AVIERR_OK;
    if (status == IndexStatus::TooLarge)
      return BadField(AVIERR_MEMORY, "idx1", "the index claims an absurd chunk count");
    clear();
  }
  ScanMovi();
  r_.indexRebuilt_ = true;
  return AVIERR_OK;
}

// Reads the chunk header before a data offset back: it must give the size and
// name the stream, or name none at all. A damaged code (zeroed, say) leaves
// the index the only guide to the data; ffmpeg's demuxer follows it too.
bool AviParser::ProbeChunk(uint64_t dataOffset, int stream, uint32_t size) {
  FourCC id;
  uint32_t stored;
  return dataOffset >= 8 && ReadChunkHeader(dataOffset - 8, id, stored) && HeaderAgrees(id, stored, stream, size);
}

bool AviParser::HeaderAgrees(FourCC id, uint32_t stored, int stream, uint32_t size) {
  const int named = StreamNumber(id);
  return stored == size && (named == stream || (named < 0 && id != kList && id != kRiff));
}

AviParser::IndexStatus AviParser::LoadOpenDml() {
  const uint64_t fileSize = r_.fileSize_;
  for (size_t s = 0; s < r_.streams_.size(); ++s) {
    const std::vector<uint8_t>& indx = indx_[s];
    if (indx.size() < 24) return IndexStatus::Unusable;
    uint16_t longsPerEntry = ReadLE16(indx.data());
    uint8_t indexType = indx[3];
    uint32_t entries = ReadLE32(indx.data() + 4);
    std::vector<AviChunk>& chunks = r_.streams_[s].chunks;
    if (indexType == kIndexOfChunks) {
      IndexStatus status = LoadStandardIndex(s, indx.data(), indx.size(), chunks);
      if (status != IndexStatus::Ok) return status;
      continue;
    }
    if (indexType != kIndexOfIndexes || longsPerEntry != 4) return IndexStatus::Unusable;
    if (entries > (indx.size() - 24) / 16) return IndexStatus::Unusable;
    r_.openDml_ = true;
    for (uint32_t e = 0; e < entries; ++e) {
      const uint8_t* entry = indx.data() + 24 + 16 * static_cast<size_t>(e);
      uint64_t offset = ReadLE64(entry);
      FourCC id;
      uint32_t size;
      if (offset > fileSize || !ReadChunkHeader(offset, id, size)) return IndexStatus::Unusable;
      if (size < 24 || size > fileSize - offset - 8) return IndexStatus::Unusable;
      // Only the entries in use are read: a chunk padded far beyond them, named
      // by many super index entries, must not cost its whole size each time.
      uint8_t head[24];
      if (!Read(offset + 8, head, sizeof head)) return IndexStatus::Unusable;
      uint64_t used = static_cast<uint64_t>(ReadLE32(head + 4)) * 4u * ReadLE16(head);
      if (used > size - 24) return IndexStatus::Unusable;
      if (ReadLE32(head + 4) > chunkBudget_ - chunkCount_) return IndexStatus::TooLarge;
      std::vector<uint8_t> body(24 + used);
      if (!Read(offset + 8, body.data(), body.size())) return IndexStatus::Unusable;
      IndexStatus status = LoadStandardIndex(s, body.data(), body.size(), chunks);
      if (status != IndexStatus::Ok) return status;
    }
  }
  return ConfirmIndex();
}

// An 'ix##' body (or a standard index kept in 'indx'): entries of offset
// (from the base, to the data) and size (bit 31 set for a non-key frame).
AviParser::IndexStatus AviParser::LoadStandardIndex(size_t stream, const uint8_t* p, size_t n,
                                                    std::vector<AviChunk>& out) {
  if (n < 24) return IndexStatus::Unusable;
  uint16_t longsPerEntry = ReadLE16(p);
  uint8_t indexType = p[3];
  uint32_t entries = ReadLE32(p + 4);
  FourCC chunkId = ReadLE32(p + 8);
  uint64_t base = ReadLE64(p + 12);
  if (indexType != kIndexOfChunks || (longsPerEntry != 2 && longsPerEntry != 3)) return IndexStatus::Unusable;
  if (StreamNumber(chunkId) != static_cast<int>(stream)) return IndexStatus::Unusable;
  const size_t entryBytes = 4u * longsPerEntry;
  if (entries > (n - 24) / entryBytes) return IndexStatus::Unusable;
  if (entries > chunkBudget_ - chunkCount_) return IndexStatus::TooLarge;
  if (r_.streams_[stream].chunks.empty()) r_.streams_[stream].chunkType = TwoCC(chunkId);
  out.reserve(out.size() + entries);
  for (uint32_t e = 0; e < entries; ++e) {
    const uint8_t* entry = p + 24 + entryBytes * e;
    uint32_t rawSize = ReadLE32(entry + 4);
    AviChunk chunk;
    chunk.offset = base + ReadLE32(entry);
    chunk.size = rawSize & ~kNotKeyFrameBit;
    chunk.keyFrame = (rawSize & kNotKeyFrameBit) == 0;
    if (chunk.offset < base || chunk.offset < 8 || chunk.offset > r_.fileSize_ ||
        chunk.size > r_.fileSize_ - chunk.offset)
      return IndexStatus::Unusable;
    if (!out.empty() && chunk.offset <= out.back().offset) return IndexStatus::Unusable;
    if (!Add(out, chunk)) return IndexStatus::TooLarge;
  }
  return IndexStatus::Ok;
}

AviParser::IndexStatus AviParser::LoadIdx1() {
  const uint64_t fileSize = r_.fileSize_;
  const uint64_t count = idx1Size_ / 16;
  if (count == 0) return IndexStatus::Unusable;
  if (count > chunkBudget_) return IndexStatus::TooLarge;
  constexpr size_t kBlockEntries = 4096;
  std::vector<uint8_t> block(std::min<uint64_t>(count, kBlockEntries) * 16);
  bool baseKnown = false;
  uint64_t base = 0;
  const MoviRange& movi = movi_.front();
  for (uint64_t first = 0; first < count; first += kBlockEntries) {
    size_t inBlock = static_cast<size_t>(std::min<uint64_t>(kBlockEntries, count - first));
    if (!Read(idx1Offset_ + first * 16, block.data(), inBlock * 16)) return IndexStatus::Unusable;
    for (size_t k = 0; k < inBlock; ++k) {
      const uint8_t* entry = block.data() + 16 * k;
      FourCC id = ReadLE32(entry);
      uint32_t flags = ReadLE32(entry + 4);
      uint32_t offset = ReadLE32(entry + 8);
      uint32_t size = ReadLE32(entry + 12);
      int stream = StreamNumber(id);
      if ((flags & AVIIF_LIST) || id == kRec || stream < 0 || TwoCC(id) == kPaletteChange) continue;
      if (static_cast<size_t>(stream) >= r_.streams_.size()) return IndexStatus::Unusable;
      if (!baseKnown) {
        if (!FindIdx1Base(entry, inBlock - k, movi.base, base)) return IndexStatus::Unusable;
        baseKnown = true;
      }
      AviChunk chunk;
      chunk.offset = base + offset + 8;
      chunk.size = size;
      chunk.keyFrame = (flags & AVIIF_KEYFRAME) != 0;
      if (chunk.offset < movi.begin + 8 || chunk.offset > fileSize || size > fileSize - chunk.offset)
        return IndexStatus::Unusable;
      AviStream& target = r_.streams_[static_cast<size_t>(stream)];
      // A stream's chunks lie in file order; anything else is a damaged (or repeated) index.
      if (!target.chunks.empty() && chunk.offset <= target.chunks.back().offset) return IndexStatus::Unusable;
      if (target.chunks.empty()) target.chunkType = TwoCC(id);
      if (!Add(target.chunks, chunk)) return IndexStatus::TooLarge;
    }
  }
  if (!baseKnown && chunkCount_ == 0) return IndexStatus::Unusable;
  return ConfirmIndex();
}

// Offsets count from the 'movi' code or from the file start: the first
// entries whose chunk headers are sound tell which (the very first chunk's
// header may be the damaged one).
bool AviParser::FindIdx1Base(const uint8_t* entries, size_t count, uint64_t moviBase, uint64_t& base) {
  constexpr size_t kBaseProbes = 16;
  size_t tried = 0;
  for (size_t k = 0; k < count && tried < kBaseProbes; ++k) {
    const uint8_t* entry = entries + 16 * k;
    const FourCC id = ReadLE32(entry);
    const uint32_t offset = ReadLE32(entry + 8);
    const uint32_t size = ReadLE32(entry + 12);
    const int stream = StreamNumber(id);
    if ((ReadLE32(entry + 4) & AVIIF_LIST) || id == kRec || stream < 0 || TwoCC(id) == kPaletteChange ||
        static_cast<size_t>(stream) >= r_.streams_.size())
      continue;
    ++tried;
    if (ProbeChunk(moviBase + offset + 8, stream, size)) {
      base = moviBase;
      return true;
    }
    if (ProbeChunk(static_cast<uint64_t>(offset) + 8, stream, size)) {
      base = 0;
      return true;
    }
  }
  return false;
}

// The loaded index against the chunk headers it points at. Spread-out probes
// that all agree settle it. Otherwise every entry is looked at in file order,
// since one damaged header must not cost the whole index (and, with it,
// everything a scan of 'movi' cannot get past):
//   - a header whose size or code alone is damaged, at an entry that lines up
//     with its neighbours, leaves the entry as it is (ffmpeg's demuxer follows
//     the index too, and the join writes such a header anew);
//   - an entry whose own size is damaged takes the header's size, where that
//     size and not the entry's reaches the next chunk;
//   - an entry whose header names another of the file's streams, or that
//     nothing confirms, makes the index unusable, as any failed probe did
//     before.
AviParser::IndexStatus AviParser::ConfirmIndex() {
  bool agreed = true;
  for (size_t s = 0; s < r_.streams_.size() && agreed; ++s) {
    const std::vector<AviChunk>& chunks = r_.streams_[s].chunks;
    const size_t step = std::max<size_t>(1, chunks.size() / kIndexProbes);
    for (size_t i = 0; i < chunks.size() && agreed; i += step)
      agreed = ProbeChunk(chunks[i].offset, static_cast<int>(s), chunks[i].size);
    if (agreed && !chunks.empty()) agreed = ProbeChunk(chunks.back().offset, static_cast<int>(s), chunks.back().size);
  }
  if (agreed) return IndexStatus::Ok;

  std::vector<std::pair<AviChunk*, int>> all;  // every entry and its stream, in file order
  all.reserve(chunkCount_);
  for (size_t s = 0; s < r_.streams_.size(); ++s)
    for (AviChunk& c : r_.streams_[s].chunks) all.emplace_back(&c, static_cast<int>(s));
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first->offset < b.first->offset; });
  auto next = [](const AviChunk& c, uint64_t size) { return c.offset + size + (size & 1) + 8; };
  for (size_t i = 0; i < all.size(); ++i) {
    AviChunk& chunk = *all[i].first;
    const int stream = all[i].second;
    FourCC id;
    uint32_t stored;
    if (chunk.offset < 8 || !ReadChunkHeader(chunk.offset - 8, id, stored)) return IndexStatus::Unusable;
    if (HeaderAgrees(id, stored, stream, chunk.size)) continue;
    const int named = StreamNumber(id);
    const bool otherStream = named >= 0 && named != stream && static_cast<size_t>(named) < r_.streams_.size();
    if (otherStream || id == kList || id == kRiff) return IndexStatus::Unusable;
    const bool afterPrevious = i > 0 && next(*all[i - 1].first, all[i - 1].first->size) == chunk.offset;
    auto reachesNext = [&](uint64_t size) { return i + 1 < all.size() && next(chunk, size) == all[i + 1].first->offset; };
    if (reachesNext(stored) && !reachesNext(chunk.size) && stored <= r_.fileSize_ - chunk.offset)
      chunk.size = stored;
    else if (!afterPrevious && !reachesNext(chunk.size))
      return IndexStatus::Unusable;
  }
  return IndexStatus::Ok;
}

// No usable index: walk every 'movi' chunk by chunk, as far as the file holds whole chunks.
void AviParser::ScanMovi() {
  const uint64_t fileSize = r_.fileSize_;
  std::vector<VideoCodec> families;
  for (const AviStream& s : r_.streams_) {
    BitmapInfoHeader bih;
    FourCC compression = BitmapInfoHeader::Parse(s.format, bih) ? bih.biCompression : 0;
    families.push_back(s.info.fccType == streamtypeVIDEO ? KeyFrameCodec(s.info.fccHandler, compression)
                                                         : VideoCodec::Other);
  }
  std::vector<bool> typed(r_.streams_.size(), false);
  std::vector<uint8_t> probe(4096);
  for (const MoviRange& range : movi_) {
    const uint64_t end = std::min(range.end, fileSize);
    for (uint64_t pos = range.begin; pos + 8 <= end;) {
      FourCC id;
      uint32_t size;
      if (!ReadChunkHeader(pos, id, size)) return;
      if (id == kList) {
        uint8_t typeBytes[4];
        if (size >= 4 && Read(pos + 8, typeBytes, 4) && ReadLE32(typeBytes) == kRec) {
          pos += 12;  // step into the record and read its chunks
          continue;
        }
      } else {
        int stream = StreamNumber(id);
        bool isData = stream >= 0 && static_cast<size_t>(stream) < r_.streams_.size() &&
                      TwoCC(id) != kPaletteChange;
        if (isData) {
          if (size > fileSize - pos - 8) {  // the last chunk is cut short, or its size is damaged
            r_.cutShort_ = true;                // either way the data ends here
            break;
          }
          AviStream& target = r_.streams_[static_cast<size_t>(stream)];
          AviChunk chunk;
          chunk.offset = pos + 8;
          chunk.size = size;
          chunk.keyFrame = true;
          if (target.info.fccType == streamtypeVIDEO) {
            if (size == 0) {
              chunk.keyFrame = false;
            } else if (TwoCC(id) != kUncompressedVideo && families[static_cast<size_t>(stream)] != VideoCodec::Other) {
              size_t n = std::min<size_t>(size, probe.size());
              chunk.keyFrame = Read(chunk.offset, probe.data(), n) && KeyFrameFromData(families[static_cast<size_t>(stream)], probe.data(), n);
            }
          }
          if (!typed[stream]) {
            target.chunkType = TwoCC(id);
            typed[stream] = true;
          }
          if (!Add(target.chunks, chunk)) return;
        } else {
          // Anything else must at least look like a chunk code, or be a chunk
          // whose code alone is damaged: its size leads to the next chunk of a
          // stream (or to the end), so only its own data is lost. Past
          // anything else the data is lost.
          bool printable = true;
          for (int i = 0; i < 4; ++i) {
            uint8_t c = static_cast<uint8_t>(id >> (8 * i));
            if (c < 0x20 || c > 0x7E) printable = false;
          }
          if (!printable && !NextIsChunk(pos + 8 + static_cast<uint64_t>(size) + (size & 1), end)) {
            r_.cutShort_ = true;
            break;
          }
        }
      }
      pos += 8 + static_cast<uint64_t>(size) + (size & 1);
    }
  }
}

// Whether a stream's chunk header (or the end of the list) lies at pos.
bool AviParser::NextIsChunk(uint64_t pos, uint64_t end) {
  if (pos == end || pos == end + 1) return true;
  FourCC id;
  uint32_t size;
  if (pos + 8 > end || !ReadChunkHeader(pos, id, size)) return false;
  const int stream = StreamNumber(id);
  return (stream >= 0 && static_cast<size_t>(stream) < r_.streams_.size() && size <= end - pos - 8) || id == kList;
}

AviReader::~AviReader() { Close(); }

void AviReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  memory_.clear();
  memory_.shrink_to_fit();
  inMemory_ = false;
  fileSize_ = 0;
  mainHeader_ = AviMainHeader{};
  streams_.clear();
  openDml_ = false;
  indexRebuilt_ = false;
}

AviResult AviReader::Open(const std::string& path) {
  Close();
  lastError_.clear();
  cutShort_ = false;
  badField_.clear();
  // Non-blocking so that a FIFO cannot stall the open; only regular files are read.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    lastError_ = path + ": " + std::strerror(errno);
    return AVIERR_FILEOPEN;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // A folder (or a device, a FIFO) is not a file the user can open as a clip;
    // worded as media/RegularFile.h words it.
    lastError_ = path + (S_ISDIR(st.st_mode) ? " is a folder" : " is not a regular file");
    ::close(fd);
    return AVIERR_FILEOPEN;
  }
  fd_ = fd;
  fileSize_ = static_cast<uint64_t>(st.st_size);
  AviParser parser(*this);
  AviResult result = parser.Run();
  if (result != AVIERR_OK) {
    std::string why = lastError_;
    Close();
    lastError_ = path + ": " + why;
  }
  return result;
}

AviResult AviReader::OpenMemory(std::vector<uint8_t> bytes) {
  Close();
  lastError_.clear();
  cutShort_ = false;
  badField_.clear();
  memory_ = std::move(bytes);
  inMemory_ = true;
  fileSize_ = memory_.size();
  AviParser parser(*this);
  AviResult result = parser.Run();
  if (result != AVIERR_OK) {
    std::string why = lastError_;
    Close();
    lastError_ = why;
  }
  return result;
}

bool AviReader::ReadAt(uint64_t offset, void* buffer, size_t size) const {
  if (offset > fileSize_ || size > fileSize_ - offset) return false;
  if (inMemory_) {
    if (size > 0) std::memcpy(buffer, memory_.data() + offset, size);
    return true;
  }
  if (fd_ < 0) return false;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    ssize_t n = ::pread(fd_, out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool AviReader::ReadChunk(const AviChunk& chunk, std::vector<uint8_t>& buffer) const {
  if (!IsOpen() || chunk.offset > fileSize_ || chunk.size > fileSize_ - chunk.offset) return false;
  buffer.resize(chunk.size);
  return ReadAt(chunk.offset, buffer.data(), chunk.size);
}

bool AviReader::ReadChunk(const AviChunk& chunk, uint8_t* buffer) const {
  if (!IsOpen() || chunk.offset > fileSize_ || chunk.size > fileSize_ - chunk.offset) return false;
  return ReadAt(chunk.offset, buffer, chunk.size);
}

}  // namespace media
