#pragma once
// The output of a conversion: one AVI (OpenDML past 1 GiB) with one video
// stream compressed by the chosen compressor and at most one audio stream.
// Audio chunks wait in a short queue and go into the file next to the video
// of the same time, so a player reading front to back never has to seek.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "media/AudioTrackWriter.h"
#include "avi/AviTypes.h"
#include "avi/AviWriter.h"
#include "media/VideoCompressor.h"

struct AVFrame;

namespace media {

// The audio stream of an output: the header and format written, and how its
// chunks count time (what the track writer produces).
struct OutputAudio {
  AviStreamInfo info;
  std::vector<uint8_t> format;
  AudioStreamFormat timing;
};

class AviOutputWriter {
 public:
  AviOutputWriter();
  virtual ~AviOutputWriter();  // closes an open output
  AviOutputWriter(const AviOutputWriter&) = delete;
  AviOutputWriter& operator=(const AviOutputWriter&) = delete;

  // Creates the file: the video stream from the first clip's header (its rate
  // and frame; handler := the compressor's) for width x height pictures, and
  // the audio stream when audio is given. False, with the reason, on failure.
  bool OpenOutput(const std::string& path, const AviStreamInfo& videoTemplate, int width, int height,
                  FourCC handler, const CompressorSettings& settings, const OutputAudio* audio, std::string& error);

  // One picture, any format or size (fitted into the output's size).
  bool WritePicture(const AVFrame* picture, std::string& error);
  // The audio track (null when the output has no audio): clips begin, feed
  // and end their audio through it.
  AudioTrackWriter* Audio() { return audio_.get(); }

  // Drains the compressor, writes the queued audio and closes the file; the
  // file is complete and readable afterwards, also after an earlier failure.
  bool CloseOutput(std::string& error);

  bool IsOpen() const { return writer_.IsOpen(); }
  int64_t FramesWritten() const { return video_.FramesIn(); }
  double FrameSeconds() const { return frameSeconds_; }
  uint64_t BytesWritten() const { return writer_.BytesWritten(); }

  // Tests: a replacement for the file's data sink (a full disk); before OpenOutput.
  void SetSinkForTesting(AviWriter::Sink* sink) { writer_.SetSinkForTesting(sink); }

 private:
  struct QueuedChunk {
    std::vector<uint8_t> data;
    double start;
  };
  bool QueueAudio(const uint8_t* data, uint32_t size);
  bool FlushAudio(double upTo);

  AviWriter writer_;
  CompressedVideoStream video_;
  std::unique_ptr<AudioTrackWriter> audio_;
  AudioStreamFormat audioTiming_;
  int audioStream_ = -1;
  double frameSeconds_ = 0;
  double audioQueued_ = 0;  // output time at the end of the queue
  std::deque<QueuedChunk> queue_;
  bool audioFailed_ = false;
};

}  // namespace media
