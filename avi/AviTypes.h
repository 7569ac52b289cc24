#pragma once
// The AVI structures our reader fills and our writer writes, with the field
// names of the Windows headers they mirror, and AVIFile's result codes.
#include <cstdint>
#include <string>
#include <vector>

namespace media {

using FourCC = uint32_t;

// First character in the low byte, as AVI stores it.
constexpr FourCC MakeFourCC(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

// The code with its letters in upper case ("xvid" and "XVID" name one codec).
constexpr FourCC UpperFourCC(FourCC code) {
  FourCC out = 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t c = static_cast<uint8_t>(code >> (8 * i));
    if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 'a' + 'A');
    out |= static_cast<FourCC>(c) << (8 * i);
  }
  return out;
}

// The video codecs this program tells apart by their compression code, each
// code read as FFmpeg reads it (upper or lower case alike).
enum class VideoCodec { Other, Mpeg4Part2, MsMpeg4V2, MsMpeg4V3, Mjpeg, H264, Ffv1, HuffYuv, FfvHuff };
VideoCodec VideoCodecOf(FourCC compression);

// The four characters of a code, low byte first, zero bytes kept as '\0'.
inline std::string FourCCString(FourCC code) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
  return s;
}

// The same with every unprintable byte shown as '.', for messages.
inline std::string PrintableFourCC(FourCC code) {
  std::string text = FourCCString(code);
  for (char& c : text)
    if (c < 0x20 || c >= 0x7F) c = '.';
  return text;
}

constexpr FourCC streamtypeVIDEO = MakeFourCC('v', 'i', 'd', 's');
constexpr FourCC streamtypeAUDIO = MakeFourCC('a', 'u', 'd', 's');
constexpr FourCC streamtypeTEXT = MakeFourCC('t', 'x', 't', 's');
constexpr FourCC streamtypeMIDI = MakeFourCC('m', 'i', 'd', 's');
// RIFF structure codes, Windows' names.
constexpr FourCC FOURCC_RIFF = MakeFourCC('R', 'I', 'F', 'F');
constexpr FourCC FOURCC_LIST = MakeFourCC('L', 'I', 'S', 'T');
constexpr FourCC ckidAVIPADDING = MakeFourCC('J', 'U', 'N', 'K');

// AVIFile result codes (HRESULT-style: negative is a failure).
using AviResult = int32_t;
constexpr AviResult AVIERR_OK = 0;
constexpr AviResult AVIERR_UNSUPPORTED = static_cast<int32_t>(0x80044065);
constexpr AviResult AVIERR_BADFORMAT = static_cast<int32_t>(0x80044066);
constexpr AviResult AVIERR_MEMORY = static_cast<int32_t>(0x80044067);
constexpr AviResult AVIERR_INTERNAL = static_cast<int32_t>(0x80044068);
constexpr AviResult AVIERR_BADFLAGS = static_cast<int32_t>(0x80044069);
constexpr AviResult AVIERR_BADPARAM = static_cast<int32_t>(0x8004406A);
constexpr AviResult AVIERR_BADSIZE = static_cast<int32_t>(0x8004406B);
constexpr AviResult AVIERR_BADHANDLE = static_cast<int32_t>(0x8004406C);
constexpr AviResult AVIERR_FILEREAD = static_cast<int32_t>(0x8004406D);
constexpr AviResult AVIERR_FILEWRITE = static_cast<int32_t>(0x8004406E);
constexpr AviResult AVIERR_FILEOPEN = static_cast<int32_t>(0x8004406F);
constexpr AviResult AVIERR_COMPRESSOR = static_cast<int32_t>(0x80044070);
constexpr AviResult AVIERR_NOCOMPRESSOR = static_cast<int32_t>(0x80044071);
constexpr AviResult AVIERR_READONLY = static_cast<int32_t>(0x80044072);
constexpr AviResult AVIERR_NODATA = static_cast<int32_t>(0x80044073);
constexpr AviResult AVIERR_BUFFERTOOSMALL = static_cast<int32_t>(0x80044074);
constexpr AviResult AVIERR_CANTCOMPRESS = static_cast<int32_t>(0x80044075);
constexpr AviResult AVIERR_USERABORT = static_cast<int32_t>(0x800440C6);
constexpr AviResult AVIERR_ERROR = static_cast<int32_t>(0x800440C7);
constexpr AviResult REGDB_E_CLASSNOTREG = static_cast<int32_t>(0x80040154);

struct AviRect {  // RECT
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  bool operator==(const AviRect&) const = default;
};

// AVIMAINHEADER ('avih') without the chunk header.
struct AviMainHeader {
  uint32_t dwMicroSecPerFrame = 0;
  uint32_t dwMaxBytesPerSec = 0;
  uint32_t dwPaddingGranularity = 0;
  uint32_t dwFlags = 0;
  uint32_t dwTotalFrames = 0;
  uint32_t dwInitialFrames = 0;
  uint32_t dwStreams = 0;
  uint32_t dwSuggestedBufferSize = 0;
  uint32_t dwWidth = 0;
  uint32_t dwHeight = 0;
};
constexpr uint32_t AVIF_HASINDEX = 0x10;
constexpr uint32_t AVIF_MUSTUSEINDEX = 0x20;
constexpr uint32_t AVIF_ISINTERLEAVED = 0x100;
constexpr uint32_t AVIF_TRUSTCKTYPE = 0x800;

// AVISTREAMINFOW: what AVIStreamInfoW reports of a stream ('strh' plus 'strn').
struct AviStreamInfo {
  FourCC fccType = 0;
  FourCC fccHandler = 0;
  uint32_t dwFlags = 0;
  uint32_t dwCaps = 0;
  uint16_t wPriority = 0;
  uint16_t wLanguage = 0;
  uint32_t dwScale = 0;
  uint32_t dwRate = 0;
  uint32_t dwStart = 0;
  uint32_t dwLength = 0;
  uint32_t dwInitialFrames = 0;
  uint32_t dwSuggestedBufferSize = 0;
  uint32_t dwQuality = 0;
  uint32_t dwSampleSize = 0;
  AviRect rcFrame;
  uint32_t dwEditCount = 0;
  uint32_t dwFormatChangeCount = 0;
  std::string szName;  // from 'strn', UTF-8
};

// Start of a stream in seconds: its dwStart in its own units.
inline double StreamStartSeconds(const AviStreamInfo& info) {
  return info.dwRate ? static_cast<double>(info.dwStart) * info.dwScale / info.dwRate : 0.0;
}

// 'idx1' entry flags and the stream capability AVIStreamInfoW reports for a file opened to read.
constexpr uint32_t AVIIF_LIST = 0x01;
constexpr uint32_t AVIIF_KEYFRAME = 0x10;
constexpr uint32_t AVIFILECAPS_CANREAD = 0x01;

// One chunk of a stream's data in the file, as an index lists it.
struct AviChunk {
  uint64_t offset = 0;  // file offset of the chunk's data (past its 8-byte header)
  uint32_t size = 0;    // bytes of data; 0 for an empty ("drop") chunk
  bool keyFrame = false;
};

// BITMAPINFOHEADER (40 bytes, little-endian in the file).
struct BitmapInfoHeader {
  uint32_t biSize = 40;
  int32_t biWidth = 0;
  int32_t biHeight = 0;
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 0;
  uint32_t biCompression = 0;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;

  // Parses the first 40 bytes of a format block; false when it is shorter.
  static bool Parse(const std::vector<uint8_t>& format, BitmapInfoHeader& out);
  // The 40 bytes as stored in a 'strf' chunk.
  std::vector<uint8_t> Serialize() const;
};

// WAVEFORMATEX (18 bytes plus cbSize extra bytes; a bare 16-byte
// PCMWAVEFORMAT is accepted on reading with cbSize 0).
struct WaveFormatEx {
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
  std::vector<uint8_t> extra;  // cbSize bytes that follow

  static bool Parse(const std::vector<uint8_t>& format, WaveFormatEx& out);
  std::vector<uint8_t> Serialize() const;
  // The tag that decides the codec: an extensible header's sub-format names
  // it in the first two bytes of its GUID.
  uint16_t EffectiveTag() const;
};
constexpr uint16_t WAVE_FORMAT_PCM = 0x0001;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;
constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x0055;
constexpr uint16_t WAVE_FORMAT_DOLBY_AC3 = 0x2000;

// Little-endian helpers shared by the reader and the writer.
inline uint16_t ReadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint16_t WaveFormatEx::EffectiveTag() const {
  return wFormatTag == WAVE_FORMAT_EXTENSIBLE && extra.size() >= 8 ? ReadLE16(extra.data() + 6) : wFormatTag;
}
inline uint32_t ReadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t ReadLE64(const uint8_t* p) {
  return static_cast<uint64_t>(ReadLE32(p)) | (static_cast<uint64_t>(ReadLE32(p + 4)) << 32);
}
// One insert per value: indexes of a long join are millions of these.
template <size_t N, typename T>
inline void AppendLE(std::vector<uint8_t>& v, T x) {
  uint8_t bytes[N];
  for (size_t i = 0; i < N; ++i) bytes[i] = static_cast<uint8_t>(x >> (8 * i));
  v.insert(v.end(), bytes, bytes + N);
}
inline void AppendLE16(std::vector<uint8_t>& v, uint16_t x) { AppendLE<2>(v, x); }
inline void AppendLE32(std::vector<uint8_t>& v, uint32_t x) { AppendLE<4>(v, x); }
inline void AppendLE64(std::vector<uint8_t>& v, uint64_t x) { AppendLE<8>(v, x); }

}  // namespace media
