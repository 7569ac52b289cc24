#pragma once
#include <algorithm>
#include <cstdint>

namespace media {

// Where a width x height picture lands inside an outWidth x outHeight frame,
// aspect kept, as the conversion and the smart join place it; offsets and
// sizes even so subsampled chroma planes line up.
inline void FitRect(int width, int height, int outWidth, int outHeight, int& x, int& y, int& w, int& h) {
  if (static_cast<int64_t>(width) * outHeight > static_cast<int64_t>(outWidth) * height) {
    w = outWidth;
    h = static_cast<int>(static_cast<int64_t>(outWidth) * height / width);
  } else {
    h = outHeight;
    w = static_cast<int>(static_cast<int64_t>(outHeight) * width / height);
  }
  w = std::min(std::max(2, w & ~1), std::max(outWidth, 2));
  h = std::min(std::max(2, h & ~1), std::max(outHeight, 2));
  x = ((outWidth - w) / 2) & ~1;
  y = ((outHeight - h) / 2) & ~1;
}

}  // namespace media
