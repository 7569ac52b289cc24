#include "clips/ClipPicture.h"

#include <QByteArray>
#include <QFile>
#include <QRect>

#include <algorithm>
#include <array>

#include "media/MediaDetector.h"

ClipPicture::ClipPicture(int w, int h)
    : width(std::max(w, 0)), height(std::max(h, 0)),
      pixels(static_cast<size_t>(width) * height, 0xFF000000u) {}

void ClipPicture::Stretch(const media::Dib& dib, const QRect& target) {
  const int sw = dib.Width(), sh = dib.Height();
  if (sw <= 0 || sh <= 0 || target.width() <= 0 || target.height() <= 0) return;
  if (dib.bits.size() < static_cast<size_t>(dib.Stride()) * sh) return;
  const int x0 = std::max(target.left(), 0), x1 = std::min(target.left() + target.width(), width);
  const int y0 = std::max(target.top(), 0), y1 = std::min(target.top() + target.height(), height);
  std::vector<int> columns;  // source column of each target column
  for (int x = x0; x < x1; ++x)
    columns.push_back(static_cast<int>((2 * int64_t{x - target.left()} + 1) * sw / (2 * int64_t{target.width()})));
  for (int y = y0; y < y1; ++y) {
    const int sy = static_cast<int>((2 * int64_t{y - target.top()} + 1) * sh / (2 * int64_t{target.height()}));
    uint32_t* row = pixels.data() + static_cast<size_t>(y) * width;
    for (int x = x0; x < x1; ++x) {
      const uint8_t* p = dib.Pixel(columns[static_cast<size_t>(x - x0)], sy);
      row[x] = 0xFF000000u | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
    }
  }
}

namespace {

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void AppendBig32(QByteArray& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.append(static_cast<char>((v >> shift) & 0xFF));
}

void AppendPngChunk(QByteArray& out, const char type[4], const QByteArray& data) {
  AppendBig32(out, static_cast<uint32_t>(data.size()));
  QByteArray typed(type, 4);
  typed += data;
  out += typed;
  AppendBig32(out, Crc32(reinterpret_cast<const uint8_t*>(typed.constData()), static_cast<size_t>(typed.size())));
}

}  // namespace

bool ClipPicture::SavePng(const QString& path) const {
  if (IsNull()) return false;
  QByteArray header;
  AppendBig32(header, static_cast<uint32_t>(width));
  AppendBig32(header, static_cast<uint32_t>(height));
  header.append("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, deflate, no filters beyond "none", no interlace
  QByteArray raw;
  raw.reserve(static_cast<qsizetype>(height) * (1 + 3 * width));
  for (int y = 0; y < height; ++y) {
    raw.append('\0');  // filter type none
    for (int x = 0; x < width; ++x) {
      const uint32_t p = Pixel(x, y);
      const char rgb[3] = {static_cast<char>(p >> 16), static_cast<char>(p >> 8), static_cast<char>(p)};
      raw.append(rgb, 3);
    }
  }
  // qCompress gives a zlib stream behind a 4-byte length: the zlib stream is what IDAT holds.
  const QByteArray compressed = qCompress(raw, 9).mid(4);
  QByteArray png("\x89PNG\r\n\x1a\n", 8);
  AppendPngChunk(png, "IHDR", header);
  AppendPngChunk(png, "IDAT", compressed);
  AppendPngChunk(png, "IEND", QByteArray());
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(png) == png.size() && file.flush();
}
