#pragma once
// The engine of a direct join: a timeline of groups (one video, up to two
// audio), each one track of sources placed by media times and output times,
// written into one AVI by copying the sources' chunks as their indexes list
// them. Video chunks go through byte for byte with their key-frame flags (empty
// "drop" chunks included). Each audio source is held to its own place on the
// output: longer audio is cut where its source stops, shorter or missing audio
// is filled with silence, and audio of another format is re-encoded into the
// output stream's format, so the file never holds audio its header misdescribes.
// The writing runs on a streaming thread of its own.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "avi/AviWriter.h"

namespace media {

enum class TimelineEvent {
  Progress,    // posted at least every 250 ms while the stream runs
  Complete,    // the whole timeline was written and the file closed
  UserAbort,   // Stop() ended the stream; the file is closed and readable
  ErrorAbort,  // a read or write failed; LastError() says what
};

struct TimelineSource {
  std::string path;
  int stream = -1;          // stream number in the file
  int64_t mediaStart = 0;   // 100 ns, from the file's video start
  int64_t mediaStop = 0;
  int64_t start = 0;        // 100 ns on the output
  int64_t stop = 0;
  // Video: the clip differs from the first and is decoded and encoded into
  // its format instead of copied.
  bool fit = false;
};

class TimelineWriter {
 public:
  enum class GroupKind { Video, Audio };
  using EventCallback = std::function<void(TimelineEvent)>;

  TimelineWriter();
  virtual ~TimelineWriter();  // stops a running stream
  TimelineWriter(const TimelineWriter&) = delete;
  TimelineWriter& operator=(const TimelineWriter&) = delete;

  // At most one video and two audio groups; -1 when refused.
  int AddGroup(GroupKind kind);
  bool AddSource(int group, const TimelineSource& source);
  int GroupCount() const;
  int SourceCount(int group) const;

  // Opens every source and plans the output. False, with LastError(), when
  // the join has to be refused; nothing has been written then.
  bool Prepare(const std::string& outputPath);
  // Prepares when not yet done, creates the output and starts the stream.
  bool Start(const std::string& outputPath, EventCallback callback);
  // Asks the stream to end, waits for it, and closes the output.
  void Stop();
  // Waits for the stream to end by itself.
  void Wait();

  bool Running() const;
  int64_t Position() const;  // output time written so far, 100 ns (video)
  int64_t Duration() const;  // end of the video track, 100 ns
  uint64_t BytesWritten() const;
  std::string LastError() const;
  // After Prepare: the frames of video source `source` that the plan writes.
  uint64_t PlannedFrames(int source) const;
  // After Prepare: the frames source `source` gives the output (a re-encoded
  // clip's at the first clip's rate).
  uint64_t OutputFrames(int source) const;
  // Once the stream has ended: the video frames in the file (gaps included).
  uint64_t FramesWritten() const;
  // What the engine did beyond copying (clips re-encoded), one line each.
  std::vector<std::string> Notes() const;
  // The clips whose video was re-encoded to match the first clip's, each
  // "path: why" ("MJPG → XVID, 320x240 → 640x480").
  std::vector<std::string> FittedClips() const;

  // Runs of chunks that go out unchanged are copied by the kernel
  // (copy_file_range, sharing blocks where the file system can) when on, the
  // default; off, the same bytes are read and written. Before Start.
  void SetKernelCopy(bool on);

  // Tests that need several RIFFs and standard indexes from small outputs.
  void SetWriterLimitsForTesting(const AviWriter::Limits& limits);

  // Tests that need a join still running when they act: a pause after every
  // video chunk written (0, the default, for none).
  static void SetChunkDelayForTesting(int microseconds);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace media
