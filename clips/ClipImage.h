#pragma once
// The window's view of a thumbnail: a QImage copy of its pixels. Header only,
// so that the clip library itself needs no graphics library (the command
// line links none).
#include <QImage>

#include "clips/ClipPicture.h"

inline QImage ClipImage(const ClipPicture& picture) {
  if (picture.IsNull()) return QImage();
  return QImage(reinterpret_cast<const uchar*>(picture.pixels.data()), picture.width, picture.height,
                picture.width * 4, QImage::Format_RGB32)
      .copy();
}
