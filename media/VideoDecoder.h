#pragma once
// Decodes one video stream of an AVI file from its chunks, fed in file order,
// into exactly one picture per chunk, in display order: an empty ("drop")
// chunk, or a chunk the decoder could not use, repeats the picture before it,
// so a clip's frame count and timing stay those of its index. The pictures
// are libavcodec's own frames, lent to the sink for the call.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct AVFrame;

namespace media {

class VideoDecoder {
 public:
  using PictureSink = std::function<bool(const AVFrame* picture)>;

  VideoDecoder();
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // The decoder for stream number `stream` of the file, set up from the
  // codec parameters libavformat reads from its headers. threads: 0 for as
  // many as the decoder finds useful.
  bool Open(const std::string& path, int stream, int threads, std::string& error);

  // One chunk (size 0: a drop). Pictures that are ready go to sink; false,
  // with the reason, when the sink refused one or the decoder failed for good.
  bool Feed(const uint8_t* data, size_t size, const PictureSink& sink, std::string& error);
  // Drains the decoder; afterwards the sink has had one picture per chunk fed
  // (none at all when not one chunk could be decoded).
  bool Finish(const PictureSink& sink, std::string& error);

  int64_t ChunksFed() const;
  int64_t PicturesOut() const;
  // Chunks whose data the decoder refused (their place holds the picture before).
  int64_t Damaged() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Pictures as Windows DIBs: 24-bit BGR, bottom-up, rows padded to 4 bytes,
// at most maxWidth wide with the aspect kept (a preview, a thumbnail).
class PictureToDib {
 public:
  // scaleFlags: swscale's (SWS_FAST_BILINEAR, 1, when 0).
  explicit PictureToDib(int scaleFlags = 0);
  ~PictureToDib();
  PictureToDib(const PictureToDib&) = delete;
  PictureToDib& operator=(const PictureToDib&) = delete;

  bool Make(const AVFrame* picture, int maxWidth);
  const uint8_t* Bits() const;
  int Width() const;
  int Height() const;
  int Stride() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace media
