#include "media/AviOutputWriter.h"

namespace media {

namespace {
// Audio goes into the file at most this far ahead of the video written.
constexpr double kInterleaveSeconds = 0.5;
}  // namespace

AviOutputWriter::AviOutputWriter() = default;

AviOutputWriter::~AviOutputWriter() {
  std::string ignored;
  if (IsOpen()) CloseOutput(ignored);
}

bool AviOutputWriter::OpenOutput(const std::string& path, const AviStreamInfo& videoTemplate, int width, int height,
                                 FourCC handler, const CompressorSettings& settings, const OutputAudio* audio,
                                 std::string& error) {
  if (width <= 0 || height <= 0 || videoTemplate.dwRate == 0 || videoTemplate.dwScale == 0) {
    error = "the first clip's video has no usable size or frame rate";
    return false;
  }
  if (writer_.Create(path) != AVIERR_OK) {
    error = "cannot create " + path + ": " + writer_.LastError();
    return false;
  }
  AviStreamInfo info = videoTemplate;
  info.dwStart = 0;
  info.dwLength = 0;
  info.rcFrame = AviRect{0, 0, width, height};
  BitmapInfoHeader input;
  input.biWidth = width;
  input.biHeight = height;
  input.biBitCount = 24;
  input.biSizeImage = static_cast<uint32_t>(((width * 3 + 3) & ~3) * height);
  if (video_.Open(writer_, info, handler, input, settings) != AVIERR_OK) {
    error = "cannot start the compressor '" + FourCCString(handler) + "': " + video_.LastError();
    writer_.Close();
    return false;
  }
  frameSeconds_ = static_cast<double>(videoTemplate.dwScale) / videoTemplate.dwRate;
  // Each video chunk written lets the audio of its time follow it.
  video_.SetChunkObserver([this] {
    return FlushAudio(static_cast<double>(video_.ChunksOut()) * frameSeconds_ + kInterleaveSeconds);
  });
  if (audio) {
    AviStreamInfo header = audio->info;
    header.dwStart = 0;  // a delayed start is written as silence instead
    if (writer_.AddStream(header, audio->format, &audioStream_) != AVIERR_OK) {
      error = "cannot write the audio stream header: " + writer_.LastError();
      writer_.Close();
      return false;
    }
    audioTiming_ = audio->timing;
    audio_ = std::make_unique<AudioTrackWriter>(
        audio->timing, [this](const uint8_t* data, uint32_t size) { return QueueAudio(data, size); });
  }
  return true;
}

bool AviOutputWriter::QueueAudio(const uint8_t* data, uint32_t size) {
  if (audioFailed_) return false;
  queue_.push_back({std::vector<uint8_t>(data, data + size), audioQueued_});
  audioQueued_ += audioTiming_.ChunkSeconds(size);
  return FlushAudio(static_cast<double>(video_.ChunksOut()) * frameSeconds_ + kInterleaveSeconds);
}

bool AviOutputWriter::FlushAudio(double upTo) {
  while (!queue_.empty() && queue_.front().start <= upTo) {
    const auto& chunk = queue_.front().data;
    if (writer_.WriteChunk(audioStream_, chunk.data(), static_cast<uint32_t>(chunk.size()), false) != AVIERR_OK) {
      audioFailed_ = true;
      return false;
    }
    queue_.pop_front();
  }
  return true;
}

bool AviOutputWriter::WritePicture(const AVFrame* picture, std::string& error) {
  if (video_.WritePicture(picture) != AVIERR_OK) {
    error = "writing a frame failed: " + video_.LastError();
    return false;
  }
  return true;
}

bool AviOutputWriter::CloseOutput(std::string& error) {
  if (!IsOpen()) return true;
  bool ok = true;
  if (video_.Finish() != AVIERR_OK) {
    error = "finishing the compressed video failed: " + video_.LastError();
    ok = false;
  }
  std::string why;
  if (ok && audio_ && !audio_->EndTrack(why)) {
    error = "finishing the audio failed: " + why;
    ok = false;
  }
  if (ok && !audioFailed_ && !FlushAudio(1e300)) {
    error = "writing the audio failed: " + writer_.LastError();
    ok = false;
  }
  queue_.clear();
  if (writer_.Close() != AVIERR_OK && ok) {
    error = "finishing the output file failed: " + writer_.LastError();
    ok = false;
  }
  return ok;
}

}  // namespace media
