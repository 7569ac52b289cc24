#include "directjoin/TimelineJoiner.h"

#include <QFile>

#include "avi/AviReader.h"
#include "avi/SharedAviReaders.h"
#include "directjoin/TimelineWriter.h"

namespace {

constexpr int64_t kUnitsPerSecond = 10000000;

std::string Utf8(const QString& path) { return QFile::encodeName(path).toStdString(); }

// A stream's length in 100 ns: its chunks (frames or blocks) at its rate,
// truncated toward zero.
int64_t VideoLengthUnits(const media::AviStream& stream) {
  if (stream.info.dwRate == 0) return 0;
  long double seconds = static_cast<long double>(stream.chunks.size()) * stream.info.dwScale / stream.info.dwRate;
  return static_cast<int64_t>(seconds * kUnitsPerSecond);
}

}  // namespace

TimelineJoiner::TimelineJoiner() = default;

TimelineJoiner::~TimelineJoiner() {
  {
    std::lock_guard lock(eventsMutex);
    owner = nullptr;
  }
  ReleaseAll();
}

void TimelineJoiner::SetOwner(MessageTarget* target, UINT notify, UINT done) {
  std::lock_guard lock(eventsMutex);
  owner = target;
  notifyMessage = notify;
  doneMessage = done;
}

bool TimelineJoiner::BuildTimeline(const QString& firstPath) {
  if (building) return false;
  ReleaseAll();
  building = true;
  for (int slot = 0; slot < 3; ++slot) {
    cursor[slot] = 0;
    streamIndex[slot] = 0;
    groups[slot] = -1;
  }
  placed.clear();
  timeline = std::make_unique<media::TimelineWriter>();
  std::string why;
  const media::SharedAviReaders::Reader opened = media::SharedAviReaders::Open(Utf8(firstPath), nullptr, &why);
  if (!opened) {
    error = QStringLiteral("cannot read %1: %2").arg(firstPath, QString::fromStdString(why));
    return false;
  }
  const media::AviReader& reader = *opened;
  if (int video = reader.NthStream(media::streamtypeVIDEO, 0); video >= 0) {
    groups[0] = timeline->AddGroup(media::TimelineWriter::GroupKind::Video);
    streamIndex[0] = video;
  }
  // The first two audio streams, each a group of its own; further ones are ignored.
  for (int slot = 1; slot <= 2; ++slot)
    if (int audio = reader.NthStream(media::streamtypeAUDIO, slot - 1); audio >= 0) {
      groups[slot] = timeline->AddGroup(media::TimelineWriter::GroupKind::Audio);
      streamIndex[slot] = audio;
    }
  return true;
}

bool TimelineJoiner::AppendClip(const QString& path, bool fit) {
  if (!timeline) return false;
  std::string why;
  const media::SharedAviReaders::Reader opened = media::SharedAviReaders::Open(Utf8(path), nullptr, &why);
  if (!opened) {
    error = QStringLiteral("cannot read %1: %2").arg(path, QString::fromStdString(why));
    return false;
  }
  const media::AviReader& reader = *opened;
  int64_t videoStart = cursor[0];
  int64_t videoLength = -1;
  uint64_t frames = 0;
  if (groups[0] >= 0) {
    const int video = reader.NthStream(media::streamtypeVIDEO, 0);
    if (video < 0) {
      error = QStringLiteral("%1 has no video stream").arg(path);
      return false;
    }
    videoLength = VideoLengthUnits(reader.Stream(video));
    frames = reader.Stream(video).chunks.size();
    media::TimelineSource source{Utf8(path), video, 0, videoLength, videoStart, videoStart + videoLength, fit};
    timeline->AddSource(groups[0], source);
    cursor[0] += videoLength;
  }
  for (int slot = 1; slot <= 2; ++slot) AppendAudio(slot, reader, path, videoStart, videoLength);
  placed.push_back({Utf8(path), videoStart, videoLength, frames});
  return true;
}

// Each clip's audio takes exactly its video's place: it starts with its video,
// is cut at the video's end, and is filled with silence when short. A clip
// without audio gets silence of its length, so later clips stay in sync; the
// first clip with audio gives the output its audio stream, and the clips
// before it get silence too.
void TimelineJoiner::AppendAudio(int slot, const media::AviReader& reader, const QString& path, int64_t videoStart,
                                 int64_t videoLength) {
  const int audio = reader.NthStream(media::streamtypeAUDIO, slot - 1);
  if (groups[slot] < 0) {
    if (audio < 0 || (slot == 2 && groups[1] < 0)) return;
    groups[slot] = timeline->AddGroup(media::TimelineWriter::GroupKind::Audio);
    streamIndex[slot] = audio;
    for (const Placed& p : placed)
      timeline->AddSource(groups[slot], {p.path, -1, 0, std::max<int64_t>(p.length, 0), p.start,
                                         p.start + std::max<int64_t>(p.length, 0)});
  }
  int64_t length = videoLength;
  const int64_t start = videoLength >= 0 ? videoStart : cursor[slot];
  if (length < 0) {
    const auto& info = reader.Stream(std::max(audio, 0)).info;
    length = audio >= 0 && info.dwRate ? static_cast<int64_t>(static_cast<long double>(info.dwLength) *
                                                              info.dwScale / info.dwRate * kUnitsPerSecond)
                                       : 0;
  }
  timeline->AddSource(groups[slot], {Utf8(path), audio, 0, length, start, start + length});
  cursor[slot] = start + length;
}

bool TimelineJoiner::Plan(const QString& outputPath) {
  if (!timeline) return false;
  if (!timeline->Prepare(Utf8(outputPath))) {
    error = QString::fromStdString(timeline->LastError());
    return false;
  }
  return PlanKeepsAllFrames();
}

bool TimelineJoiner::Render(const QString& outputPath) {
  if (!timeline) return false;
  userAbort = errorAbort = false;
  expectedSeconds = std::max<int64_t>(cursor[0] / kUnitsPerSecond, 1);
  {
    std::lock_guard lock(eventsMutex);
    events.clear();
  }
  fitted.clear();
  if (!Plan(outputPath)) return false;
  // Kept past the join's end, for its finish message.
  for (const auto& clip : timeline->FittedClips()) fitted << QString::fromStdString(clip);
  bool ok = timeline->Start(Utf8(outputPath), [this](media::TimelineEvent event) {
    switch (event) {
      case media::TimelineEvent::Complete: OnEngineEvent(EC_COMPLETE); break;
      case media::TimelineEvent::UserAbort: OnEngineEvent(EC_USERABORT); break;
      case media::TimelineEvent::ErrorAbort: OnEngineEvent(EC_ERRORABORT); break;
      case media::TimelineEvent::Progress: OnEngineEvent(EC_PROGRESS); break;
    }
  });
  if (!ok) error = QString::fromStdString(timeline->LastError());
  started = ok;
  return ok;
}

void TimelineJoiner::OnEngineEvent(long code) {
  // Streaming thread: queue the event and tell the owner that events are pending.
  std::lock_guard lock(eventsMutex);
  events.push_back(code);
  if (owner) PostMessage(owner, notifyMessage, 0, reinterpret_cast<LPARAM>(this));
}

int64_t TimelineJoiner::ReadPosition() const { return timeline ? timeline->Position() : -1; }

int64_t TimelineJoiner::PositionUnits() const { return ReadPosition(); }

uint32_t TimelineJoiner::Poll() {
  int64_t position = ReadPosition();
  if (position < 0) return 1;
  int64_t seconds = position / kUnitsPerSecond;
  if (IsRunAway(seconds, expectedSeconds)) {
    StopJoin();
    if (owner) PostMessage(owner, doneMessage, 1, 0);
  }
  return static_cast<uint32_t>(seconds) + 1;
}

void TimelineJoiner::HandleGraphEvents() {
  if (!timeline || !started) return;
  bool ended = false;
  for (;;) {
    long code;
    {
      std::lock_guard lock(eventsMutex);
      if (events.empty()) break;
      code = events.front();
      events.pop_front();
    }
    if (code == EC_COMPLETE) ended = true;
    if (code == EC_USERABORT) userAbort = ended = true;
    if (code == EC_ERRORABORT) errorAbort = ended = true;
  }
  if (!ended) return;
  if (errorAbort) error = QString::fromStdString(timeline->LastError());
  if (!errorAbort && !userAbort && !OutputKeepsAllFrames()) errorAbort = true;
  StopJoin();
  if (owner) PostMessage(owner, doneMessage, (userAbort || errorAbort) ? 1 : 0, 0);
}

void TimelineJoiner::StopJoin() {
  if (timeline) timeline->Stop();
  ReleaseAll();
}

void TimelineJoiner::ReleaseAll() {
  if (timeline) {
    timeline->Stop();  // the streaming thread ends and the output is closed
    timeline.reset();
  }
  {
    std::lock_guard lock(eventsMutex);
    events.clear();
  }
  for (int& g : groups) g = -1;
  started = false;
  building = false;
}

bool TimelineJoiner::PlanKeepsAllFrames() {
  if (groups[0] < 0) return true;
  for (size_t i = 0; i < placed.size(); ++i) {
    const uint64_t planned = timeline->PlannedFrames(static_cast<int>(i));
    if (planned < placed[i].frames) {
      error = QStringLiteral("%1: %2 of its %3 frames would be left out of the joined file")
                  .arg(QFile::decodeName(placed[i].path.c_str()))
                  .arg(placed[i].frames - planned)
                  .arg(placed[i].frames);
      return false;
    }
  }
  return true;
}

bool TimelineJoiner::OutputKeepsAllFrames() {
  if (groups[0] < 0) return true;
  uint64_t frames = 0;
  for (size_t i = 0; i < placed.size(); ++i) frames += timeline->OutputFrames(static_cast<int>(i));
  const uint64_t written = timeline->FramesWritten();
  if (written >= frames) return true;
  error = QStringLiteral("the joined file holds %1 of the clips' %2 frames").arg(written).arg(frames);
  return false;
}

QString TimelineJoiner::LastError() const { return error; }

QStringList TimelineJoiner::Notes() const {
  QStringList notes;
  if (timeline)
    for (const auto& note : timeline->Notes()) notes << QString::fromStdString(note);
  return notes;
}

QStringList TimelineJoiner::FittedClips() const { return fitted; }
