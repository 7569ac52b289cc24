#pragma once
// Stream header values that no real clip can have. The join engines use
// header fields as rates, lengths and sizes; a damaged one (a dwScale of
// 0xFFFFFFFF, 65535 channels) would make them write without limit or lose the
// file's frames, so such a file is refused by name and field before anything
// is written. No FFmpeg here: the fuzz target builds it with the reader.
#include <cstdint>
#include <optional>
#include <string>

namespace media {

class AviReader;

// Frame rates a clip can have: a frame at most a minute long, at least 0.1 ms.
constexpr double kMinFramesPerSecond = 1.0 / 60;
constexpr double kMaxFramesPerSecond = 10000;
// Pictures wider or taller than this are no video anybody joins here.
constexpr int64_t kMaxPictureEdge = 16384;
// Sample rates and channel counts of any audio FFmpeg decodes.
constexpr uint32_t kMaxSampleRate = 768000;
constexpr uint16_t kMaxChannels = 64;

struct HeaderFault {
  int stream = -1;
  bool video = true;
  std::string field;  // as the Windows headers name it: "dwScale", "nChannels", ...
  uint64_t value = 0;
  std::string why;    // "no usable frame rate"

  // "the video stream's dwScale is 4294967295: no usable frame rate"
  std::string Text() const;
};

// The first value of an opened file's video and audio stream headers that
// cannot describe a clip, or nothing when every one can.
std::optional<HeaderFault> FindHeaderFault(const AviReader& reader);

}  // namespace media
