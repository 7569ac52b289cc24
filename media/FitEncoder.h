#pragma once
// Fitting a clip into a joined file whose first clip it does not match: its
// video decoded and encoded again in the first clip's format (codec, frame
// size with the aspect kept, frame rate, pixel format and range, a bit rate
// near the first clip's), so the joined video stays one stream. Every fitted
// segment starts with a key frame carrying its own in-band headers (MPEG-4
// VOL, H.264 SPS/PPS): a decoder meets the change of parameters where it
// expects one. Frames are taken onto the first clip's grid by time: dropped
// or repeated, so the clip keeps its length and its audio its place.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "avi/AviReader.h"

namespace media {

// What a fitted clip's video becomes, read from the first clip.
struct FitTarget {
  std::string encoder;          // libavcodec encoder name
  std::string format;           // the first clip's format as the user knows it: "XVID", "MJPG", "H264"
  int width = 0, height = 0;
  int pixelFormat = -1;         // AVPixelFormat the encoder is fed
  bool fullRange = false;
  uint32_t rate = 0, scale = 0;
  int64_t bitRate = 0;          // bits per second: the first clip's average
  std::string profile;          // H.264: the first clip's profile ("baseline", "main", "high")
  int level = -1;               // H.264: its level (31 for 3.1); -1 unknown
};

// Reads the first clip: path, its video stream's number and our reader's view
// of it. False, with a message naming its format and suggesting Recompress,
// when no encoder here writes that format.
bool FindFitTarget(const std::string& path, int stream, const AviStream& video, FitTarget& target,
                   std::string& error);

// Why a clip must be fitted, its differences from the first clip:
// "MJPG → XVID, 320x240 → 640x480, 30 → 25 fps".
std::string FitReason(const AviStream& reference, const AviStream& clip);

// The direct join copies b after a: the same codec (FOURCC, letter case
// ignored), frame size and frame rate.
bool SameVideoFormat(const AviStream& a, const AviStream& b);

// Whether a clip's first video chunk carries the headers its decoding needs
// (an MPEG-4 VOL, H.264 SPS and PPS), so that it can be copied after a fitted
// segment, whose own headers a decoder would otherwise keep using.
bool CarriesOwnHeaders(const FitTarget& target, const uint8_t* data, size_t size);

// The first clip's frames that cover count frames of a clip at its own rate.
uint64_t FittedFrameCount(uint64_t count, const AviStreamInfo& clip, const AviStreamInfo& reference);

// One clip's video fitted to a target: fed the clip's video chunks in stream
// order from a key frame, hands out one chunk per output frame, in order.
class FittedVideo {
 public:
  using ChunkSink = std::function<bool(const uint8_t* data, uint32_t size, bool keyFrame)>;

  FittedVideo();
  ~FittedVideo();
  FittedVideo(const FittedVideo&) = delete;
  FittedVideo& operator=(const FittedVideo&) = delete;

  // path, stream: the clip's video; info its header. The first skip pictures
  // are decoded only (they lead up to the clip's start); frames chunks are
  // written in all.
  bool Open(const std::string& path, int stream, const AviStreamInfo& info, const FitTarget& target, uint64_t skip,
            uint64_t frames, ChunkSink sink, std::string& error);
  // One video chunk (size 0: a drop).
  bool Feed(const uint8_t* data, size_t size, std::string& error);
  // Drains decoder and encoder; the last picture fills what is still missing.
  bool Finish(std::string& error);
  uint64_t ChunksOut() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace media
