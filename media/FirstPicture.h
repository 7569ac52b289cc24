#pragma once
// Whether the first picture of a clip's video decodes, proved with libavcodec
// alone: the chunks come from our own AVI reader and the decoder is chosen by
// the format block's compression code, so libavformat (and the forty-odd
// libraries it brings) need not be loaded for a direct join's clip check.
// Only "yes" is an answer: a code this does not know, or no picture, is for
// MediaDetector to judge and to explain in its own words.
#include <chrono>
#include <cstddef>

namespace media {

class AviReader;

bool FirstPictureDecodes(const AviReader& file, size_t stream, std::chrono::milliseconds limit);

}  // namespace media
