#pragma once
// A thumbnail as plain pixels, so that inspecting clips needs no graphics
// library: 32-bit 0xffRRGGBB pixels in rows from the top (the layout of
// QImage::Format_RGB32, which the window wraps it in; see ClipImage.h).
#include <QString>

#include <cstdint>
#include <vector>

class QRect;

namespace media {
struct Dib;
}

struct ClipPicture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // width * height, row after row from the top

  ClipPicture() = default;
  // Black, as a fresh bitmap is.
  ClipPicture(int w, int h);
  bool IsNull() const { return pixels.empty(); }
  uint32_t Pixel(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }

  // Stretches a bottom-up 24-bit DIB onto target, nearest neighbour (as
  // StretchDIBits does in COLORONCOLOR mode); what falls outside is clipped.
  void Stretch(const media::Dib& dib, const QRect& target);
  // Writes the picture as a PNG file (8-bit RGB). False when it cannot be written.
  bool SavePng(const QString& path) const;
};
