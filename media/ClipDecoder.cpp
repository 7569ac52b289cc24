#include "media/ClipDecoder.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "media/AudioTrackWriter.h"
#include "media/FfmpegUtil.h"

namespace media {

bool ClipDecoder::Open(const std::string& path, int threads, std::string& error) {
  path_ = path;
  if (reader_.Open(path) != AVIERR_OK) {
    error = "cannot read " + path + ": " + reader_.LastError();
    return false;
  }
  video_ = reader_.NthStream(streamtypeVIDEO);
  audio_ = reader_.NthStream(streamtypeAUDIO);
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

namespace {

// At most this many pictures, audio chunks and chunk ends wait between the
// reading thread and the writing one: memory stays flat with clip length.
constexpr size_t kHandoffLimit = 8;

// What the reading thread hands to the writing thread, in file order.
struct Handoff {
  enum Kind { kPicture, kAudio, kChunkDone, kEnd } kind = kEnd;
  FramePtr picture;
  std::vector<uint8_t> audio;
  int64_t done = 0;  // chunks read (kChunkDone)
  bool ok = true;    // kEnd: the clip was read and decoded to its end
  std::string error;
};

Handoff EndOfClip(bool ok, std::string error = {}) {
  Handoff end;
  end.ok = ok;
  end.error = std::move(error);
  return end;
}

}  // namespace

class ClipDecoder::HandoffQueue {
 public:
  // False once the writing side has stopped taking.
  bool Push(Handoff item) {
    std::unique_lock lock(mutex_);
    notFull_.wait(lock, [this] { return items_.size() < kHandoffLimit || closed_; });
    if (closed_) return false;
    items_.push_back(std::move(item));
    notEmpty_.notify_one();
    return true;
  }
  Handoff Pop() {
    std::unique_lock lock(mutex_);
    notEmpty_.wait(lock, [this] { return !items_.empty(); });
    Handoff item = std::move(items_.front());
    items_.pop_front();
    // The reading thread refills half the queue at a time, not one item per wake-up.
    if (items_.size() <= kHandoffLimit / 2) notFull_.notify_one();
    return item;
  }
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    notFull_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable notFull_, notEmpty_;
  std::deque<Handoff> items_;
  bool closed_ = false;
};

// Both streams' chunks in file order: the file is read front to back once.
std::vector<ClipDecoder::Item> ClipDecoder::ChunksInFileOrder() const {
  std::vector<Item> items;
  for (const AviChunk& c : Video()->chunks) items.push_back({&c, true});
  if (Audio())
    for (const AviChunk& c : Audio()->chunks)
      if (c.size) items.push_back({&c, false});
  std::stable_sort(items.begin(), items.end(),
                   [](const Item& a, const Item& b) { return a.chunk->offset < b.chunk->offset; });
  return items;
}

// The reading thread: chunks read and pictures decoded ahead of the writing
// thread, which compresses meanwhile.
void ClipDecoder::ReadAndDecode(const std::vector<Item>& items, HandoffQueue& queue) {
  std::string error;
  auto handPicture = [&queue](const AVFrame* decoded) {
    Handoff item;
    item.kind = Handoff::kPicture;
    item.picture.reset(av_frame_clone(decoded));  // a reference, not a copy
    return item.picture && queue.Push(std::move(item));
  };
  std::vector<uint8_t> data;
  for (size_t i = 0; i < items.size(); ++i) {
    const AviChunk& chunk = *items[i].chunk;
    if (chunk.size && !reader_.ReadChunk(chunk, data)) {
      queue.Push(EndOfClip(false, "reading " + path_ + " failed: " + reader_.LastError()));
      return;
    }
    if (items[i].video) {
      if (!decoder_.Feed(chunk.size ? data.data() : nullptr, chunk.size, handPicture, error)) {
        queue.Push(EndOfClip(false, path_ + ": " + error));
        return;
      }
    } else {
      Handoff audio;
      audio.kind = Handoff::kAudio;
      audio.audio = data;
      if (!queue.Push(std::move(audio))) return;
    }
    Handoff done;
    done.kind = Handoff::kChunkDone;
    done.done = static_cast<int64_t>(i) + 1;
    if (!queue.Push(std::move(done))) return;
  }
  if (!decoder_.Finish(handPicture, error)) {
    queue.Push(EndOfClip(false, path_ + ": " + error));
    return;
  }
  queue.Push(EndOfClip(true));
}

bool ClipDecoder::Run(const VideoDecoder::PictureSink& pictures, const AudioChunkSink& audio, const Tick& tick,
                      std::string& error) {
  const std::vector<Item> items = ChunksInFileOrder();
  const int64_t total = static_cast<int64_t>(items.size());
  HandoffQueue queue;
  std::thread reading([&] { ReadAndDecode(items, queue); });
  bool ok = true;
  for (bool more = true; more;) {
    Handoff item = queue.Pop();
    switch (item.kind) {
      case Handoff::kPicture:
        if (!pictures(item.picture.get())) {
          error = path_ + ": " + (error.empty() ? "a picture could not be written" : error);
          ok = more = false;
        }
        break;
      case Handoff::kAudio:
        if (!audio(item.audio.data(), static_cast<uint32_t>(item.audio.size()))) {
          audioFailed_ = true;
          ok = more = false;
        }
        break;
      case Handoff::kChunkDone:
        if (!tick(item.done, total)) {
          stopped_ = true;
          more = false;
        }
        break;
      case Handoff::kEnd:
        if (!item.ok) error = item.error;
        ok = item.ok;
        more = false;
        break;
    }
  }
  queue.Close();  // the reading thread ends at its next hand-over
  reading.join();
  return ok;
}

}  // namespace media
