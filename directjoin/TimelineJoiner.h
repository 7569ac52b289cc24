#pragma once
// The engine of one direct join: a timeline of one video group and up to two
// audio groups shaped after the first clip, every listed clip appended to
// each group's track, rendered by a streaming thread into the output AVI.
// Events reach the owner as posted notify messages; the join's end as a
// posted done message.
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/WindowMessages.h"

namespace media {
class AviReader;
class TimelineWriter;
}

class TimelineJoiner {
 public:
  // Graph event codes kept by HandleGraphEvents.
  static constexpr long EC_COMPLETE = 1;
  static constexpr long EC_USERABORT = 2;
  static constexpr long EC_ERRORABORT = 3;
  static constexpr long EC_PROGRESS = 0x5501;  // our own: the stream is alive; ignored

  TimelineJoiner();
  virtual ~TimelineJoiner();
  TimelineJoiner(const TimelineJoiner&) = delete;
  TimelineJoiner& operator=(const TimelineJoiner&) = delete;

  void SetOwner(MessageTarget* owner, UINT notifyMessage, UINT doneMessage);
  bool BuildTimeline(const QString& firstPath);
  // fit: the clip's video differs from the first clip's and is re-encoded to match it.
  bool AppendClip(const QString& path, bool fit = false);
  // Opens every clip and plans the output, writing nothing: false, with
  // LastError(), when the join must be refused. Render plans first.
  bool Plan(const QString& outputPath);
  bool Render(const QString& outputPath);
  uint32_t Poll();
  uint32_t ExpectedSeconds() const { return static_cast<uint32_t>(expectedSeconds); }
  void HandleGraphEvents();
  void StopJoin();
  void ReleaseAll();

  // What the join does beyond copying (clips whose audio is re-encoded).
  QStringList Notes() const;
  // The clips re-encoded to match the first clip, each "path: why".
  QStringList FittedClips() const;
  // Why the last BuildTimeline, AppendClip or Render failed, or why the join
  // ended with an error; empty otherwise.
  QString LastError() const;
  bool Building() const { return building; }
  // The join ended through an error event (LastError() says what).
  bool ErrorAborted() const { return errorAbort; }
  bool Rendering() const { return timeline != nullptr && started; }
  // Output time written so far, 100 ns.
  int64_t PositionUnits() const;
  // The cursor of each group's track (0 video, 1 and 2 audio), 100 ns.
  int64_t Cursor(int slot) const { return cursor[slot]; }
  int StreamIndex(int slot) const { return streamIndex[slot]; }
  bool HasGroup(int slot) const { return groups[slot] >= 0; }

  // Poll's rule on its own: the position past twice the expected length is
  // a run-away render.
  static bool IsRunAway(int64_t positionSeconds, int64_t expected) { return positionSeconds > 2 * expected; }

 protected:
  // Seam for tests of the progress rule: the output position in 100 ns.
  virtual int64_t ReadPosition() const;

 private:
  void OnEngineEvent(long code);
  // Every frame of every clip has its place in the plan; otherwise the reason.
  bool PlanKeepsAllFrames();
  // The file written holds every frame of the clips; otherwise the reason.
  bool OutputKeepsAllFrames();
  void AppendAudio(int slot, const media::AviReader& reader, const QString& path, int64_t videoStart,
                   int64_t videoLength);

  // Where each appended clip's video went: silence for an audio group that starts later.
  struct Placed {
    std::string path;
    int64_t start, length;
    uint64_t frames;  // video chunks the clip holds
  };
  std::vector<Placed> placed;

  MessageTarget* owner = nullptr;  // read by the streaming thread under eventsMutex
  UINT notifyMessage = 0;
  UINT doneMessage = 0;
  std::unique_ptr<media::TimelineWriter> timeline;
  bool started = false;
  bool userAbort = false;
  bool errorAbort = false;
  bool building = false;
  int64_t expectedSeconds = 1;
  int groups[3] = {-1, -1, -1};  // the engine's group of each slot
  int streamIndex[3] = {0, 0, 0};
  int64_t cursor[3] = {0, 0, 0};

  mutable std::mutex eventsMutex;
  std::deque<long> events;  // queued by the streaming thread
  QString error;
  QStringList fitted;  // of the last Render
};
