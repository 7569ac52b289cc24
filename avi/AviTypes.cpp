#include "avi/AviTypes.h"

namespace media {

VideoCodec VideoCodecOf(FourCC compression) {
  switch (UpperFourCC(compression)) {
    case MakeFourCC('X', 'V', 'I', 'D'): case MakeFourCC('D', 'I', 'V', 'X'):
    case MakeFourCC('D', 'X', '5', '0'): case MakeFourCC('F', 'M', 'P', '4'):
    case MakeFourCC('M', 'P', '4', 'V'): case MakeFourCC('M', '4', 'S', '2'):
    case MakeFourCC('M', 'P', '4', 'S'): case MakeFourCC('3', 'I', 'V', '2'):
    case MakeFourCC('B', 'L', 'Z', '0'):
      return VideoCodec::Mpeg4Part2;
    case MakeFourCC('D', 'I', 'V', '3'): case MakeFourCC('M', 'P', '4', '3'):
    case MakeFourCC('M', 'P', 'G', '3'): case MakeFourCC('D', 'I', 'V', '4'):
    case MakeFourCC('D', 'I', 'V', '5'): case MakeFourCC('D', 'I', 'V', '6'):
    case MakeFourCC('A', 'P', '4', '1'): case MakeFourCC('C', 'O', 'L', '1'):
      return VideoCodec::MsMpeg4V3;
    case MakeFourCC('M', 'P', '4', '2'): case MakeFourCC('D', 'I', 'V', '2'):
      return VideoCodec::MsMpeg4V2;
    case MakeFourCC('M', 'J', 'P', 'G'):
      return VideoCodec::Mjpeg;
    case MakeFourCC('H', '2', '6', '4'): case MakeFourCC('X', '2', '6', '4'):
    case MakeFourCC('A', 'V', 'C', '1'): case MakeFourCC('D', 'A', 'V', 'C'):
    case MakeFourCC('V', 'S', 'S', 'H'):
      return VideoCodec::H264;
    case MakeFourCC('F', 'F', 'V', '1'):
      return VideoCodec::Ffv1;
    case MakeFourCC('H', 'F', 'Y', 'U'):
      return VideoCodec::HuffYuv;
    case MakeFourCC('F', 'F', 'V', 'H'):
      return VideoCodec::FfvHuff;
    default:
      return VideoCodec::Other;
  }
}

bool BitmapInfoHeader::Parse(const std::vector<uint8_t>& format, BitmapInfoHeader& out) {
  if (format.size() < 40) return false;
  const uint8_t* p = format.data();
  out.biSize = ReadLE32(p);
  out.biWidth = static_cast<int32_t>(ReadLE32(p + 4));
  out.biHeight = static_cast<int32_t>(ReadLE32(p + 8));
  out.biPlanes = ReadLE16(p + 12);
  out.biBitCount = ReadLE16(p + 14);
  out.biCompression = ReadLE32(p + 16);
  out.biSizeImage = ReadLE32(p + 20);
  out.biXPelsPerMeter = static_cast<int32_t>(ReadLE32(p + 24));
  out.biYPelsPerMeter = static_cast<int32_t>(ReadLE32(p + 28));
  out.biClrUsed = ReadLE32(p + 32);
  out.biClrImportant = ReadLE32(p + 36);
  return true;
}

std::vector<uint8_t> BitmapInfoHeader::Serialize() const {
  std::vector<uint8_t> v;
  v.reserve(40);
  AppendLE32(v, biSize);
  AppendLE32(v, static_cast<uint32_t>(biWidth));
  AppendLE32(v, static_cast<uint32_t>(biHeight));
  AppendLE16(v, biPlanes);
  AppendLE16(v, biBitCount);
  AppendLE32(v, biCompression);
  AppendLE32(v, biSizeImage);
  AppendLE32(v, static_cast<uint32_t>(biXPelsPerMeter));
  AppendLE32(v, static_cast<uint32_t>(biYPelsPerMeter));
  AppendLE32(v, biClrUsed);
  AppendLE32(v, biClrImportant);
  return v;
}

bool WaveFormatEx::Parse(const std::vector<uint8_t>& format, WaveFormatEx& out) {
  if (format.size() < 16) return false;
  const uint8_t* p = format.data();
  out.wFormatTag = ReadLE16(p);
  out.nChannels = ReadLE16(p + 2);
  out.nSamplesPerSec = ReadLE32(p + 4);
  out.nAvgBytesPerSec = ReadLE32(p + 8);
  out.nBlockAlign = ReadLE16(p + 12);
  out.wBitsPerSample = ReadLE16(p + 14);
  out.cbSize = 0;
  out.extra.clear();
  if (format.size() >= 18) {
    out.cbSize = ReadLE16(p + 16);
    // Writers that claim more extra bytes than the chunk holds are trimmed to what is there.
    size_t available = format.size() - 18;
    size_t take = out.cbSize < available ? out.cbSize : available;
    out.extra.assign(p + 18, p + 18 + take);
    out.cbSize = static_cast<uint16_t>(take);
  }
  return true;
}

std::vector<uint8_t> WaveFormatEx::Serialize() const {
  std::vector<uint8_t> v;
  AppendLE16(v, wFormatTag);
  AppendLE16(v, nChannels);
  AppendLE32(v, nSamplesPerSec);
  AppendLE32(v, nAvgBytesPerSec);
  AppendLE16(v, nBlockAlign);
  AppendLE16(v, wBitsPerSample);
  AppendLE16(v, static_cast<uint16_t>(extra.size()));
  v.insert(v.end(), extra.begin(), extra.end());
  return v;
}

}  // namespace media
