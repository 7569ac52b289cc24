#pragma once
// One clip of a conversion, read once from front to back: its video chunks
// decoded into pictures (one per chunk, drops repeated) and its first audio
// stream's chunks handed on as they are, both in the order the file holds
// them, so one reading of the file feeds the video and the audio.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "media/AudioTranscoder.h"
#include "avi/AviReader.h"
#include "media/VideoDecoder.h"

namespace media {

class ClipDecoder {
 public:
  using AudioChunkSink = std::function<bool(const uint8_t* data, uint32_t size)>;
  // After each chunk: chunks done and in all; false stops the clip.
  using Tick = std::function<bool(int64_t done, int64_t total)>;

  // Opens the clip and a decoder for its first video stream. threads: the
  // decoder's (0: as many as it finds useful).
  bool Open(const std::string& path, int threads, std::string& error);

  const AviReader& Reader() const { return reader_; }
  const AviStream* Video() const { return video_ < 0 ? nullptr : &reader_.Stream(video_); }
  // The first audio stream, its format, and how far after the video's start
  // its time 0 lies (seconds; negative when the video starts late).
  const AviStream* Audio() const { return audio_ < 0 ? nullptr : &reader_.Stream(audio_); }
  const AudioStreamFormat& AudioFormat() const { return audioFormat_; }
  double AudioOffset() const { return audioOffset_; }
  int64_t VideoChunks() const { return Video() ? static_cast<int64_t>(Video()->chunks.size()) : 0; }

  // Decodes the whole clip. Returns false with the reason; which side failed
  // is told by AudioFailed(). A tick that returns false ends it early (true).
  // The file is read and decoded on a thread of its own, a few chunks ahead;
  // the sinks and the tick are called on the caller's thread, in file order.
  bool Run(const VideoDecoder::PictureSink& pictures, const AudioChunkSink& audio, const Tick& tick,
           std::string& error);
  bool AudioFailed() const { return audioFailed_; }
  bool Stopped() const { return stopped_; }

 private:
  class HandoffQueue;
  struct Item {
    const AviChunk* chunk;
    bool video;
  };
  std::vector<Item> ChunksInFileOrder() const;
  void ReadAndDecode(const std::vector<Item>& items, HandoffQueue& queue);

  std::string path_;
  AviReader reader_;
  VideoDecoder decoder_;
  int video_ = -1;
  int audio_ = -1;
  AudioStreamFormat audioFormat_;
  double audioOffset_ = 0;
  bool audioFailed_ = false;
  bool stopped_ = false;
};

}  // namespace media
