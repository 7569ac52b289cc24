#include "directjoin/TimelineJoiner.h"

#include <QFile>

#include "media/AviReader.h"
#include "media/TimelineWriter.h"

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
  timeline = std::make_unique<media::TimelineWriter>();
  media::AviReader reader;
  if (reader.Open(Utf8(firstPath)) != media::AVIERR_OK) {
    error = QStringLiteral("cannot read %1: %2").arg(firstPath, QString::fromStdString(reader.LastError()));
    return false;
  }
  for (size_t i = 0; i < reader.StreamCount(); ++i)
    if (reader.Stream(i).info.fccType == media::streamtypeVIDEO) {
      groups[0] = timeline->AddGroup(media::TimelineWriter::GroupKind::Video);
      streamIndex[0] = static_cast<int>(i);
      break;
    }
  // The first two audio streams, each a group of its own; further ones are ignored.
  int slot = 1;
  for (size_t i = 0; i < reader.StreamCount() && slot <= 2; ++i)
    if (reader.Stream(i).info.fccType == media::streamtypeAUDIO) {
      groups[slot] = timeline->AddGroup(media::TimelineWriter::GroupKind::Audio);
      streamIndex[slot] = static_cast<int>(i);
      ++slot;
    }
  return true;
}

bool TimelineJoiner::AppendClip(const QString& path) {
  if (!timeline) return false;
  media::AviReader reader;
  if (reader.Open(Utf8(path)) != media::AVIERR_OK) {
    error = QStringLiteral("cannot read %1: %2").arg(path, QString::fromStdString(reader.LastError()));
    return false;
  }
  auto streamOf = [&](int slot, media::FourCC type) -> const media::AviStream* {
    if (reader.StreamCount() < static_cast<size_t>(streamIndex[slot]) + 1) return nullptr;
    const media::AviStream& s = reader.Stream(streamIndex[slot]);
    return s.info.fccType == type ? &s : nullptr;
  };
  int64_t videoStart = cursor[0];
  int64_t videoLength = -1;
  if (groups[0] >= 0) {
    const media::AviStream* video = streamOf(0, media::streamtypeVIDEO);
    if (!video) {
      error = QStringLiteral("%1 has no video stream at number %2").arg(path).arg(streamIndex[0]);
      return false;
    }
    videoLength = VideoLengthUnits(*video);
    media::TimelineSource source{Utf8(path), streamIndex[0], 0, videoLength, videoStart, videoStart + videoLength};
    timeline->AddSource(groups[0], source);
    cursor[0] += videoLength;
  }
  for (int slot = 1; slot <= 2; ++slot) {
    if (groups[slot] < 0) continue;
    const media::AviStream* audio = streamOf(slot, media::streamtypeAUDIO);
    if (!audio) {
      error = QStringLiteral("%1 has no audio stream at number %2").arg(path).arg(streamIndex[slot]);
      return false;
    }
    // Each clip's audio takes exactly its video's place: it starts with its
    // video, is cut at the video's end, and is filled with silence when short.
    int64_t length = videoLength;
    int64_t start = videoLength >= 0 ? videoStart : cursor[slot];
    if (length < 0) {
      const auto& info = audio->info;
      length = info.dwRate ? static_cast<int64_t>(static_cast<long double>(info.dwLength) * info.dwScale /
                                                  info.dwRate * kUnitsPerSecond)
                           : 0;
    }
    media::TimelineSource source{Utf8(path), streamIndex[slot], 0, length, start, start + length};
    timeline->AddSource(groups[slot], source);
    cursor[slot] = start + length;
  }
  return true;
}

bool TimelineJoiner::Render(const QString& outputPath) {
  if (!timeline) return false;
  userAbort = errorAbort = false;
  expectedSeconds = std::max<int64_t>(cursor[0] / kUnitsPerSecond, 1);
  {
    std::lock_guard lock(eventsMutex);
    events.clear();
  }
  if (!timeline->Prepare(Utf8(outputPath))) {
    error = QString::fromStdString(timeline->LastError());
    return false;
  }
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

QString TimelineJoiner::LastError() const { return error; }

QStringList TimelineJoiner::Notes() const {
  QStringList notes;
  if (timeline)
    for (const auto& note : timeline->Notes()) notes << QString::fromStdString(note);
  return notes;
}
