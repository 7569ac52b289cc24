#include "media/ClipDecoder.h"

#include <algorithm>
#include <vector>

#include "media/AudioTrackWriter.h"

namespace media {

bool ClipDecoder::Open(const std::string& path, int threads, std::string& error) {
  path_ = path;
  if (reader_.Open(path) != AVIERR_OK) {
    error = "cannot read " + path + ": " + reader_.LastError();
    return false;
  }
  for (size_t i = 0; i < reader_.StreamCount(); ++i) {
    const FourCC type = reader_.Stream(i).info.fccType;
    if (type == streamtypeVIDEO && video_ < 0) video_ = static_cast<int>(i);
    if (type == streamtypeAUDIO && audio_ < 0) audio_ = static_cast<int>(i);
  }
  if (video_ < 0) {
    error = path + " has no video stream";
    return false;
  }
  if (!decoder_.Open(path, video_, threads, error)) return false;
  if (audio_ >= 0) {
    if (!ReadAudioFormat(reader_, static_cast<size_t>(audio_), audioFormat_, error)) {
      error = path + ": " + error;
      audioFailed_ = true;
      return false;
    }
    audioOffset_ = StreamStartSeconds(Audio()->info) - StreamStartSeconds(Video()->info);
  }
  return true;
}

bool ClipDecoder::Run(const VideoDecoder::PictureSink& pictures, const AudioChunkSink& audio, const Tick& tick,
                      std::string& error) {
  // Both streams' chunks in file order: the file is read front to back once.
  struct Item {
    const AviChunk* chunk;
    bool video;
  };
  std::vector<Item> items;
  for (const AviChunk& c : Video()->chunks) items.push_back({&c, true});
  if (Audio())
    for (const AviChunk& c : Audio()->chunks)
      if (c.size) items.push_back({&c, false});
  std::stable_sort(items.begin(), items.end(),
                   [](const Item& a, const Item& b) { return a.chunk->offset < b.chunk->offset; });
  std::vector<uint8_t> data;
  const int64_t total = static_cast<int64_t>(items.size());
  for (int64_t i = 0; i < total; ++i) {
    const Item& item = items[static_cast<size_t>(i)];
    if (item.chunk->size && !reader_.ReadChunk(*item.chunk, data)) {
      error = "reading " + path_ + " failed: " + reader_.LastError();
      return false;
    }
    const uint8_t* bytes = item.chunk->size ? data.data() : nullptr;
    if (item.video) {
      if (!decoder_.Feed(bytes, item.chunk->size, pictures, error)) {
        error = path_ + ": " + error;
        return false;
      }
    } else if (!audio(bytes, item.chunk->size)) {
      audioFailed_ = true;
      return false;
    }
    if (!tick(i + 1, total)) {
      stopped_ = true;
      return true;
    }
  }
  if (!decoder_.Finish(pictures, error)) {
    error = path_ + ": " + error;
    return false;
  }
  return true;
}

}  // namespace media
