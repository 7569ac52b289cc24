#pragma once
// A join with recompression, on a thread of its own: every clip of the list
// decoded once, front to back, its pictures compressed by the chosen
// compressor and its audio held to its video (copied, converted into the
// first audio clip's format, or encoded to MP3), into one AVI. Progress goes
// to a callback that may ask it to stop; the end is posted once as
// MSG_JOIN_DONE (0 finished or cancelled, 1 video or output failure, 2 audio
// failure), after the output file has been closed.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/WindowMessages.h"
#include "media/VideoCompressor.h"

struct ConvertRequest {
  std::vector<std::string> clips;  // in list order
  std::string outputPath;
  media::FourCC handler = 0;
  media::CompressorSettings settings;
  bool convertAudio = false;  // MP3
};

// Where the frames being written are shown; both called on the worker thread.
struct ConvertPreview {
  std::function<bool()> wantsFrame;
  std::function<void(const uint8_t* bottomUpBgr24, int width, int height, int stride)> present;
  int maxWidth = 320;
};

class ConvertWorker {
 public:
  enum DoneCode { kFinished = 0, kVideoFailed = 1, kAudioFailed = 2 };
  // Percent of the whole run and the clip being converted; true asks the run to stop.
  using Progress = std::function<bool(int percent, int clip)>;

  ConvertWorker();
  virtual ~ConvertWorker();  // asks a running conversion to stop and waits for it
  ConvertWorker(const ConvertWorker&) = delete;
  ConvertWorker& operator=(const ConvertWorker&) = delete;

  // Starts the thread. owner receives MSG_JOIN_DONE (may be null).
  bool Start(ConvertRequest request, MessageTarget* owner, Progress progress, ConvertPreview preview = {});
  void RequestStop();
  // Waits up to timeoutMs (negative: for good); true once the thread has ended.
  bool Wait(int timeoutMs);
  bool Finished() const { return finished_; }
  // Nobody is told of the end any more (the owner is going away).
  void Detach();

  int Code() const { return code_; }
  bool Cancelled() const { return cancelled_; }
  // What failed: which clip, which operation, the library's or system's text.
  std::string LastError() const;
  // Clips whose audio was re-encoded into the output's format, one line each.
  std::vector<std::string> Notes() const;

  // Tests that need a run still going when they act: a pause after every picture.
  void SetPictureDelayForTesting(int microseconds) { pictureDelayUs_ = microseconds; }

 private:
  struct Run;
  void Main();
  void End(int code, const std::string& error);

  ConvertRequest request_;
  Progress progress_;
  ConvertPreview preview_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::atomic<int> code_{kFinished};
  std::atomic<bool> cancelled_{false};
  std::atomic<int> pictureDelayUs_{0};
  mutable std::mutex mutex_;
  MessageTarget* owner_ = nullptr;
  std::string error_;
  std::vector<std::string> notes_;
};
