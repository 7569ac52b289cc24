#pragma once
// The summary of one stream of a clip: ten 32-bit fields copied as a block.
// The main dialog keeps the first clip's video and audio summaries as the
// reference every later clip is compared with.
#include <cstdint>

#include "avi/AviTypes.h"

struct StreamSummary {
  uint32_t handler = 0;  // fccHandler: the codec's FOURCC, first character in the low byte
  uint32_t scale = 0;    // dwScale
  uint32_t rate = 0;     // dwRate; rate / scale is frames (video) or samples or blocks (audio) per second
  media::AviRect frame;  // rcFrame of a video stream; zero for audio
  uint32_t start = 0;    // dwStart
  uint32_t length = 0;   // dwLength, in stream units
  uint32_t seconds = 0;  // whole seconds of the stream (see SummarySeconds)
};
static_assert(sizeof(StreamSummary) == 40, "ten 32-bit fields");
