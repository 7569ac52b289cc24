#pragma once
// The media detector: a file's streams in file order with their major type,
// subtype and format block, each stream's length, and bitmap grabbing (a video
// frame at a media time decoded to a 24-bit bottom-up DIB). Built on
// libavformat, libavcodec and libswscale; no FFmpeg type shows in this header.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "avi/AviTypes.h"

namespace media {

enum class MajorType { Video, Audio, Other };

struct MediaStreamType {
  MajorType majorType = MajorType::Other;
  // Video: the BITMAPINFOHEADER's biCompression (0 for uncompressed RGB);
  // audio: the WAVEFORMATEX's wFormatTag.
  uint32_t subtype = 0;
  // BITMAPINFOHEADER or WAVEFORMATEX (with its cbSize extra bytes) as stored
  // in a file; empty for other streams.
  std::vector<uint8_t> format;
  std::string codecName;  // FFmpeg's short name of the codec, for messages
};

// A Windows DIB: 24-bit BGR, bottom-up (first row in memory is the picture's
// last), each row padded to a multiple of 4 bytes.
struct Dib {
  BitmapInfoHeader header;  // biBitCount 24, biCompression 0, positive biHeight
  std::vector<uint8_t> bits;
  int Width() const { return header.biWidth; }
  int Height() const { return header.biHeight; }
  int Stride() const { return (header.biWidth * 3 + 3) & ~3; }
  // Pixel of picture row y (0 = top) as B, G, R.
  const uint8_t* Pixel(int x, int y) const {
    return bits.data() + static_cast<size_t>(header.biHeight - 1 - y) * Stride() + 3 * x;
  }
};

enum class GrabResult {
  Ok,       // the frame shown at the time asked
  Partial,  // the time limit ran out: the latest frame decoded before the time
  Failed,   // no frame (see LastError)
};

class MediaDetector {
 public:
  MediaDetector();
  ~MediaDetector();
  MediaDetector(const MediaDetector&) = delete;
  MediaDetector& operator=(const MediaDetector&) = delete;

  // Opens the file and lists its streams. False with LastError on failure.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const;

  int OutputStreams() const;
  // Valid for 0 <= stream < OutputStreams().
  const MediaStreamType& StreamMediaType(int stream) const;
  // Length of a stream in seconds (0 when unknown).
  double StreamLength(int stream) const;
  // The first video stream, or -1.
  int FirstVideoStream() const;

  // Duration of a stream in 100-ns units (0 when unknown).
  int64_t Duration(int stream) const;

  // Decodes the frame shown at media time `time` (100-ns units from the
  // stream's start) of a video stream: seeks to the key frame at or before it
  // and decodes forward, timing frames by the stream's own clock (empty
  // chunks advance it). A time past the end gives the last frame. Decoding
  // that runs longer than `limit` stops: Partial when an earlier frame was
  // decoded and `acceptPartial`, Failed otherwise.
  GrabResult GrabFrame(int stream, int64_t time, std::chrono::milliseconds limit, Dib& out,
                       bool acceptPartial = false);

  // Grabbed pictures are only shown at about this size or smaller: decoders
  // that can (MPEG-4 Part 2, MS-MPEG4, MJPEG, ...) then decode at 1/2, 1/4 or
  // 1/8 of the size, never below the hint. 0 x 0 (the default) is full size.
  void SetPictureSizeHint(int width, int height);
  // Decoder threads for the next grabs (2 by default). One is quickest when
  // only the first frame is wanted: no threads to start and join.
  void SetDecoderThreads(int threads);

  // The failure of the last operation, with FFmpeg's text where it gave one.
  const std::string& LastError() const;
  // The last failure was that no decoder exists here for the video's codec.
  bool DecoderMissing() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace media
