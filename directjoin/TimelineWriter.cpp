#include "directjoin/TimelineWriter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "avi/AviReader.h"
#include "avi/AviWriter.h"
#include "avi/SharedAviReaders.h"
#include "media/AudioTrackWriter.h"
#include "media/AudioTranscoder.h"
#include "media/FitEncoder.h"
#include "media/HeaderCheck.h"
#include "media/RegularFile.h"

namespace media {

namespace {

constexpr int64_t kUnitsPerSecond = 10000000;
// One copy call moves at most this much: progress and Cancel stay within 250 ms.
constexpr uint64_t kCopyStep = uint64_t{64} << 20;
// A run is copied as the source stores it when the JUNK that aligns it costs
// at most this share of it; shorter runs are written chunk by chunk.
constexpr uint64_t kPaddingShare = 16;
// Holes between chunks of a run up to this size are walked for chunks to leave out.
constexpr uint64_t kMaxGap = uint64_t{1} << 20;
constexpr auto kProgressPeriod = std::chrono::milliseconds(200);

std::atomic<int> chunkDelayForTesting{0};

double Seconds(int64_t units) { return static_cast<double>(units) / kUnitsPerSecond; }

bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  auto ca = std::filesystem::weakly_canonical(a, ec);
  auto cb = std::filesystem::weakly_canonical(b, ec);
  return !ec && ca == cb;
}

struct Group {
  TimelineWriter::GroupKind kind;
  std::vector<TimelineSource> sources;
};

// What Prepare learned of one source.
struct SourcePlan {
  bool hasAudio = false;  // audio group: false for a clip without audio (silence)
  AviStreamInfo info;
  std::vector<uint8_t> format;
  AudioStreamFormat audio;
  bool transcode = false;
  double audioOffset = 0;  // source audio time 0 lies this far after the file's video start
  uint64_t firstFrame = 0, endFrame = 0;  // video
  uint64_t copyBytes = 0;                  // video: what its chunks take in the output
  uint64_t audioBytes = 0, audioChunks = 0;  // audio: what the source stream holds
  bool fit = false;                          // video: decoded and encoded into the first clip's format
  uint64_t fitFrames = 0;                    // its frames on the output
};

// Bytes free for us in the folder that will hold path; 0 when unknown.
uint64_t FreeBytesFor(const std::string& path) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  struct statvfs fs {};
  if (statvfs(folder.c_str(), &fs) != 0) return 0;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

// One chunk to copy in file order: which track it belongs to.
struct Item {
  uint64_t offset;
  uint32_t size;
  bool keyFrame;
  int track;         // -1 video, otherwise the audio group
  int sourceStream;  // its stream number in the source
};

using CopiedChunk = AviWriter::CopiedChunk;

uint64_t ChunkEnd(const CopiedChunk& c) { return c.offset + 8 + c.size + (c.size & 1); }

// The stream number in a chunk id ('01wb' is stream 1), or -1.
int StreamOfId(FourCC id) {
  const int tens = static_cast<int>(id & 0xFF) - '0', ones = static_cast<int>((id >> 8) & 0xFF) - '0';
  return tens >= 0 && tens <= 9 && ones >= 0 && ones <= 9 ? tens * 10 + ones : -1;
}

// Chunk headers as a source held them a moment ago: (offset, id | size << 32), by offset.
using HeaderTable = std::vector<std::pair<uint64_t, uint64_t>>;

// The bytes of one header window: every chunk header that lies whole in it,
// walked from its start (into LIST chunks, whose children follow their type).
void AddWindowHeaders(const uint8_t* window, uint64_t start, uint64_t length, HeaderTable& table) {
  for (uint64_t at = 0; at + 8 <= length;) {
    const FourCC id = ReadLE32(window + at);
    const uint32_t size = ReadLE32(window + at + 4);
    table.emplace_back(start + at, id | uint64_t{size} << 32);
    at += id == FOURCC_LIST ? 12 : 8 + uint64_t{size} + (size & 1);
  }
}

// A source opened for copying runs out of it and reading its chunk headers.
class SourceFile {
 public:
  // A window of this size brings the short chunk behind a header (audio
  // between video frames) and the next header along with one read.
  static constexpr size_t kWindow = 1024;

  SourceFile() = default;
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  ~SourceFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Open(const std::string& path) {
    const OpenedFile opened = OpenRegularFile(path, O_RDONLY);  // a FIFO swapped in since must not block
    fd_ = opened.fd;
    error_ = PathKindText(opened, path);
    return fd_ >= 0;
  }
  const std::string& OpenError() const { return error_; }
  int Fd() const { return fd_; }
  // Headers read ahead of the writer; what they miss is read here.
  void UseHeaders(std::shared_ptr<const HeaderTable> table) { table_ = std::move(table); }

  bool Header(uint64_t offset, FourCC& id, uint32_t& size) {
    if (table_) {
      // Headers are mostly asked for in file order: look a few entries on first.
      const HeaderTable& t = *table_;
      size_t at = cursor_;
      while (at < t.size() && at < cursor_ + 4 && t[at].first < offset) ++at;
      if (at >= t.size() || t[at].first < offset || (at > 0 && t[at - 1].first >= offset))
        at = static_cast<size_t>(std::lower_bound(t.begin(), t.end(), std::make_pair(offset, uint64_t{0})) - t.begin());
      cursor_ = at;
      if (at < t.size() && t[at].first == offset) {
        id = static_cast<FourCC>(t[at].second);
        size = static_cast<uint32_t>(t[at].second >> 32);
        return true;
      }
    }
    if (offset < windowStart_ || offset + 8 > windowStart_ + windowLength_) {
      const ssize_t n = ::pread(fd_, window_, sizeof window_, static_cast<off_t>(offset));
      windowStart_ = offset;
      windowLength_ = n > 0 ? static_cast<uint64_t>(n) : 0;
      if (windowLength_ < 8) return false;
    }
    const uint8_t* h = window_ + (offset - windowStart_);
    id = ReadLE32(h);
    size = ReadLE32(h + 4);
    return true;
  }

 private:
  int fd_ = -1;
  std::string error_;
  std::shared_ptr<const HeaderTable> table_;
  size_t cursor_ = 0;
  uint8_t window_[kWindow];
  uint64_t windowStart_ = 0, windowLength_ = 0;
};

// Opens the clips ahead of the writer and reads their chunk headers, on
// threads of their own. Where the file system shares extents a run's copy
// costs next to nothing and reading the headers is most of a join; elsewhere
// the reading moves off the copying thread. It starts with the preparation
// (which it overlaps) and reads at most kAhead clips ahead of the writer.
class HeaderPrefetch {
 public:
  struct Clip {
    SharedAviReaders::Reader reader;       // null when the clip could not be opened
    std::shared_ptr<const HeaderTable> headers;
  };

  explicit HeaderPrefetch(std::vector<std::string> paths) : paths_(std::move(paths)) {
    clips_.resize(paths_.size());
    ready_.assign(paths_.size(), false);
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 2u);
    for (unsigned t = 0; t < threads && t < paths_.size(); ++t) threads_.emplace_back([this] { Work(); });
  }
  ~HeaderPrefetch() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    for (auto& t : threads_) t.join();
  }

  // Clip i as read ahead (waiting for it); earlier clips are let go.
  Clip Take(size_t i) {
    std::unique_lock lock(mutex_);
    taken_ = i;
    changed_.notify_all();
    changed_.wait(lock, [&] { return ready_[i] || quit_ || threads_.empty(); });
    for (; released_ < i; ++released_) clips_[released_] = {};
    return ready_[i] ? std::move(clips_[i]) : Clip{};
  }

 private:
  static constexpr size_t kAhead = 3;

  void Work() {
    // Behind the copying thread: where copying is the work (no shared
    // extents), reading ahead must not take its processor.
    setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
    for (;;) {
      size_t i = 0;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return quit_ || (next_ < paths_.size() && next_ < taken_ + kAhead); });
        if (quit_) return;
        i = next_++;
      }
      Clip clip;
      try {
        clip = Read(paths_[i]);
      } catch (const std::bad_alloc&) {
        clip = {};  // the writer reads what it needs itself
      }
      {
        std::lock_guard lock(mutex_);
        clips_[i] = std::move(clip);
        ready_[i] = true;
      }
      changed_.notify_all();
    }
  }

  // Windows at every indexed chunk that no earlier window reached.
  Clip Read(const std::string& path) {
    Clip clip;
    clip.reader = SharedAviReaders::Open(path);
    if (!clip.reader) return {};
    const AviReader& reader = *clip.reader;
    SourceFile file;
    if (!file.Open(path)) return clip;
    std::vector<uint64_t> starts;  // each stream's chunks lie in file order: merged, not sorted
    for (size_t s = 0; s < reader.StreamCount(); ++s) {
      const auto middle = static_cast<std::ptrdiff_t>(starts.size());
      for (const AviChunk& c : reader.Stream(s).chunks)
        if (c.offset >= 8) starts.push_back(c.offset - 8);
      std::inplace_merge(starts.begin(), starts.begin() + middle, starts.end());
    }
    auto table = std::make_shared<HeaderTable>();
    uint8_t buffer[SourceFile::kWindow];
    uint64_t reached = 0;
    size_t window = 0;  // where the last window's headers begin in the table
    for (size_t k = 0; k < starts.size(); ++k) {
      if (starts[k] < reached &&
          std::binary_search(table->begin() + static_cast<std::ptrdiff_t>(window), table->end(),
                             std::make_pair(starts[k], uint64_t{0}),
                             [](const auto& a, const auto& b) { return a.first < b.first; }))
        continue;
      if (k % 256 == 0 && quit_) return clip;
      const ssize_t n = ::pread(file.Fd(), buffer, sizeof buffer, static_cast<off_t>(starts[k]));
      if (n < 8) continue;
      window = table->size();
      AddWindowHeaders(buffer, starts[k], static_cast<uint64_t>(n), *table);
      reached = starts[k] + static_cast<uint64_t>(n) - 7;
    }
    if (!std::is_sorted(table->begin(), table->end())) std::sort(table->begin(), table->end());
    table->erase(std::unique(table->begin(), table->end(),
                             [](const auto& a, const auto& b) { return a.first == b.first; }),
                 table->end());
    clip.headers = std::move(table);
    return clip;
  }

  std::vector<std::string> paths_;
  std::vector<Clip> clips_;
  std::vector<bool> ready_;
  size_t next_ = 0, taken_ = 0, released_ = 0;
  std::atomic<bool> quit_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> threads_;
};

// Source chunks lying back to back that go out as the source stores them:
// kept ones, and left-out ones (renamed JUNK) between them.
class ChunkRun {
 public:
  enum class Add { Added, Breaks, Unreadable };

  // Appends a chunk whose header must name sourceStream and its size. Whole
  // chunks in a hole between the run and it join the run as left out.
  Add Append(SourceFile& file, CopiedChunk chunk, int sourceStream) {
    uint32_t stored = 0;
    if (!file.Header(chunk.offset, chunk.id, stored) || stored != chunk.size || StreamOfId(chunk.id) != sourceStream)
      return Add::Unreadable;
    if (!chunks_.empty()) {
      const uint64_t end = ChunkEnd(chunks_.back());
      const size_t mark = chunks_.size();
      if (chunk.offset < end || chunk.offset - end > kMaxGap || !WalkHole(file, end, chunk.offset)) {
        chunks_.resize(mark);
        return Add::Breaks;
      }
    }
    chunks_.push_back(chunk);
    return Add::Added;
  }

  bool Empty() const { return chunks_.empty(); }
  uint64_t Bytes() const { return chunks_.empty() ? 0 : ChunkEnd(chunks_.back()) - chunks_.front().offset; }
  const std::vector<CopiedChunk>& Chunks() const { return chunks_; }
  void Clear() { chunks_.clear(); }

 private:
  // Plain chunks only: a LIST or RIFF would reach past the run.
  bool WalkHole(SourceFile& file, uint64_t from, uint64_t to) {
    for (uint64_t pos = from; pos < to;) {
      CopiedChunk c{pos, 0, -1, false, 0};
      if (!file.Header(pos, c.id, c.size) || c.id == FOURCC_LIST || c.id == FOURCC_RIFF || ChunkEnd(c) > to) return false;
      chunks_.push_back(c);
      pos = ChunkEnd(c);
    }
    return true;
  }

  std::vector<CopiedChunk> chunks_;
};

}  // namespace

struct TimelineWriter::Impl {
  std::vector<Group> groups;
  std::vector<std::vector<SourcePlan>> plans;  // per group, per source
  int videoGroup = -1;
  bool prepared = false;
  std::string preparedFor;

  AviStreamInfo videoInfo;
  std::vector<uint8_t> videoFormat;
  std::vector<AudioStreamFormat> audioFormats;  // per group (unused for video)
  std::vector<std::vector<std::vector<uint8_t>>> silence;
  std::vector<bool> formatTaken;         // per group: a clip with audio gave the format
  std::vector<SourcePlan> outputHeader;  // per group: that clip's header and format
  std::vector<std::string> notes;
  std::unique_ptr<FitTarget> fitTarget;  // set once a clip is to be fitted
  bool fitting = false;                  // a clip is to be fitted: so is every clip that differs
  std::vector<std::string> fitted;
  AviStream referenceVideo;              // the first clip's video, chunks left out

  // While writing.
  int videoStream = -1;
  std::map<int, std::unique_ptr<AudioTrackWriter>> tracks;  // by group
  std::map<int, int> trackStreams;                           // output stream by group
  bool kernelCopy = true;
  AviWriter::Limits writerLimits;
  uint64_t outFrames = 0;
  std::vector<uint8_t> buffer;  // one run of chunks, reused across clips
  std::unique_ptr<HeaderPrefetch> prefetch;

  std::thread thread;
  std::thread ticker;
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> running{false};
  std::atomic<int64_t> position{0};
  std::atomic<uint64_t> bytesWritten{0};
  std::atomic<uint64_t> framesDone{0};  // video frames in the closed file
  int64_t duration = 0;
  EventCallback callback;
  std::mutex mutex;
  std::condition_variable tickerCv;
  bool tickerStop = false;
  std::string error;

  void SetError(const std::string& text) {
    std::lock_guard lock(mutex);
    if (error.empty()) error = text;
  }

  bool Fail(const std::string& text) {
    SetError(text);
    return false;
  }

  void StartPrefetch() {
    prefetch.reset();
    if (videoGroup < 0) return;
    std::vector<std::string> paths;
    for (const TimelineSource& source : groups[videoGroup].sources) paths.push_back(source.path);
    prefetch = std::make_unique<HeaderPrefetch>(std::move(paths));
  }
  bool PrepareAll(const std::string& outputPath);
  bool FitsOnDisk(const std::string& outputPath);
  const AviStream* SourceStream(const TimelineSource& source, const AviReader& reader, FourCC type,
                                SourcePlan& plan);
  bool PrepareVideo(size_t index, const AviReader& reader);
  bool PrepareAudio(int group, size_t index, const AviReader& reader);
  bool PlanAudioCopies(int group);
  bool SilenceCovers(int group);
  void NoteDamagedAudio(size_t i);
  void Run(std::string outputPath);
  bool AddStreams(AviWriter& writer);
  bool WriteAll(AviWriter& writer);
  bool WriteClip(AviWriter& writer, size_t i, HeaderPrefetch& headers);
  bool BeginClipAudio(size_t i, double clipStart, double clipEnd, const AviReader& reader, std::vector<Item>& items);
  bool CopyItems(AviWriter& writer, const AviReader& reader, const std::string& path, const std::vector<Item>& items,
                 double frameSeconds, std::shared_ptr<const HeaderTable> headers);
  bool AppendToRun(AviWriter& writer, const AviReader& reader, SourceFile& file, ChunkRun& run,
                   const CopiedChunk& chunk, int sourceStream, double frameSeconds);
  bool WriteRun(AviWriter& writer, const AviReader& reader, SourceFile& file, ChunkRun& run, double frameSeconds);
  bool RewriteChunks(AviWriter& writer, const AviReader& reader, const std::vector<CopiedChunk>& chunks);
  bool FeedAudio(AviWriter& writer, const AviReader& reader, const std::string& path, const Item& item);
  void AdvanceFrames(uint64_t frames, double frameSeconds);
  bool WriteFailed(AviWriter& writer);
  bool PrepareFit(size_t index, const AviStream& stream, const std::string& why = {});
  bool WriteFitted(AviWriter& writer, const AviReader& reader, size_t i, uint64_t skip, const std::vector<Item>& items,
                   double frameSeconds);
};

bool TimelineWriter::Impl::PrepareAll(const std::string& outputPath) {
  {
    std::lock_guard lock(mutex);
    error.clear();
  }
  notes.clear();
  fitted.clear();
  fitting = std::any_of(groups.begin(), groups.end(), [](const Group& g) {
    return g.kind == GroupKind::Video &&
           std::any_of(g.sources.begin(), g.sources.end(), [](const TimelineSource& s) { return s.fit; });
  });
  StartPrefetch();
  plans.assign(groups.size(), {});
  audioFormats.assign(groups.size(), {});
  silence.assign(groups.size(), {});
  formatTaken.assign(groups.size(), false);
  outputHeader.assign(groups.size(), {});
  if (videoGroup < 0 || groups[videoGroup].sources.empty()) return Fail("the timeline has no video");
  std::set<std::string> checked;  // every group names the same files
  for (size_t g = 0; g < groups.size(); ++g)
    for (const auto& s : groups[g].sources)
      if (!outputPath.empty() && checked.insert(s.path).second && SameFile(s.path, outputPath))
        return Fail("the output file " + outputPath + " is one of the clips being joined");

  std::map<std::string, SharedAviReaders::Reader> readers;
  auto open = [&](const std::string& path) -> const AviReader* {
    auto& r = readers[path];
    if (!r) {
      std::string why;
      r = SharedAviReaders::Open(path, nullptr, &why);
      if (!r) {
        Fail("cannot read " + path + ": " + why);
        return nullptr;
      }
      if (const auto fault = FindHeaderFault(*r)) {
        Fail(path + ": " + fault->Text());
        return nullptr;
      }
    }
    return r.get();
  };
  for (size_t g = 0; g < groups.size(); ++g) {
    plans[g].resize(groups[g].sources.size());
    for (size_t i = 0; i < groups[g].sources.size(); ++i) {
      const AviReader* reader = open(groups[g].sources[i].path);
      if (!reader) return false;
      bool ok = groups[g].kind == GroupKind::Video ? PrepareVideo(i, *reader)
                                                   : PrepareAudio(static_cast<int>(g), i, *reader);
      if (!ok) return false;
    }
    // Readers of earlier files are not needed any more: keep few descriptors open.
    if (readers.size() > 8) readers.clear();
  }
  for (size_t g = 0; g < groups.size(); ++g)
    if (groups[g].kind == GroupKind::Audio && formatTaken[g] &&
        (!PlanAudioCopies(static_cast<int>(g)) || !SilenceCovers(static_cast<int>(g))))
      return false;
  const auto& last = groups[videoGroup].sources.back();
  duration = last.stop;
  for (auto& vs : groups[videoGroup].sources) duration = std::max(duration, vs.stop);
  return !outputPath.empty() ? FitsOnDisk(outputPath) : true;
}

// The audio is written for the whole length of the video, silence included.
// A damaged header can make a small clip claim years of video; the silence
// holding its audio in sync must not be allowed to fill the disk.
bool TimelineWriter::Impl::FitsOnDisk(const std::string& outputPath) {
  double need = 0;
  for (const SourcePlan& plan : plans[videoGroup]) need += static_cast<double>(plan.copyBytes);
  for (size_t g = 0; g < groups.size(); ++g)
    if (groups[g].kind == GroupKind::Audio && formatTaken[g])
      need += Seconds(duration) * audioFormats[g].wave.nAvgBytesPerSec;
  const uint64_t free = FreeBytesFor(outputPath);
  if (free == 0 || need <= static_cast<double>(free)) return true;
  char text[160];
  std::snprintf(text, sizeof text, "the joined file would need about %.0f MB for %.0f s of video, but only %.0f MB are free",
                need / 1048576.0, Seconds(duration), static_cast<double>(free) / 1048576.0);
  return Fail(std::string(text) + " where " + outputPath + " goes");
}

// The source's stream, which must be of the given type; its header and format go into the plan.
const AviStream* TimelineWriter::Impl::SourceStream(const TimelineSource& source, const AviReader& reader,
                                                    FourCC type, SourcePlan& plan) {
  if (source.stream < 0 || static_cast<size_t>(source.stream) >= reader.StreamCount() ||
      reader.Stream(source.stream).info.fccType != type) {
    Fail(source.path + " has no " + (type == streamtypeVIDEO ? "video" : "audio") + " stream at number " +
         std::to_string(source.stream));
    return nullptr;
  }
  const AviStream& stream = reader.Stream(source.stream);
  plan.info = stream.info;
  plan.format = stream.format;
  return &stream;
}

bool TimelineWriter::Impl::PrepareVideo(size_t index, const AviReader& reader) {
  const TimelineSource& source = groups[videoGroup].sources[index];
  SourcePlan& plan = plans[videoGroup][index];
  const AviStream* found = SourceStream(source, reader, streamtypeVIDEO, plan);
  if (!found) return false;
  const AviStream& stream = *found;
  if (stream.info.dwRate == 0 || stream.info.dwScale == 0) return Fail(source.path + ": the video has no frame rate");
  auto frameAt = [&](int64_t t) {
    double f = static_cast<double>(t) * stream.info.dwRate / (static_cast<double>(stream.info.dwScale) * kUnitsPerSecond);
    return static_cast<uint64_t>(std::max<int64_t>(0, std::llround(f)));
  };
  uint64_t count = stream.chunks.size();
  plan.firstFrame = std::min(frameAt(source.mediaStart), count);
  plan.endFrame = std::clamp(frameAt(source.mediaStop), plan.firstFrame, count);
  for (uint64_t f = plan.firstFrame; f < plan.endFrame; ++f) plan.copyBytes += stream.chunks[f].size + 8u + 16u;
  if (index == 0) {
    videoInfo = stream.info;
    videoInfo.dwStart = 0;
    videoFormat = stream.format;
    fitTarget.reset();
    referenceVideo = AviStream{};
    referenceVideo.info = stream.info;
    referenceVideo.format = stream.format;
  }
  // Once clips are fitted, every clip whose video differs is (the list's order may have changed).
  if (index > 0 && (source.fit || (fitting && !SameVideoFormat(referenceVideo, stream))))
    return PrepareFit(index, stream);
  // A clip copied after a fitted one must bring its own headers: without them
  // a decoder would read it with the fitted segment's. Such a clip is fitted too.
  if (index > 0 && plans[videoGroup][index - 1].fit && plan.endFrame > plan.firstFrame && fitTarget) {
    const AviChunk& first = stream.chunks[plan.firstFrame];
    std::vector<uint8_t> data;
    if (first.size && !reader.ReadChunk(first, data)) return Fail("reading " + source.path + " failed: " + reader.LastError());
    if (!CarriesOwnHeaders(*fitTarget, data.data(), data.size()))
      return PrepareFit(index, stream, "its stream headers lie only in its file header");
  }
  return true;
}

// A clip to be fitted: the first clip's format must be one written here; its
// frames on the output follow the first clip's rate.
bool TimelineWriter::Impl::PrepareFit(size_t index, const AviStream& stream, const std::string& why) {
  const TimelineSource& source = groups[videoGroup].sources[index];
  SourcePlan& plan = plans[videoGroup][index];
  if (!fitTarget) {
    const TimelineSource& first = groups[videoGroup].sources[0];
    AviReader reader;
    if (reader.Open(first.path) != AVIERR_OK) return Fail("cannot read " + first.path + ": " + reader.LastError());
    auto target = std::make_unique<FitTarget>();
    std::string refusal;
    if (!FindFitTarget(first.path, first.stream, reader.Stream(first.stream), *target, refusal)) return Fail(refusal);
    fitTarget = std::move(target);
  }
  plan.fit = true;
  plan.fitFrames = FittedFrameCount(plan.endFrame - plan.firstFrame, stream.info, videoInfo);
  // What it will take on the disk: the first clip's average rate.
  plan.copyBytes = plan.fitFrames * (static_cast<uint64_t>(fitTarget->bitRate / 8) * videoInfo.dwScale / videoInfo.dwRate + 24u);
  const std::string reason = why.empty() ? FitReason(referenceVideo, stream) : why;
  notes.push_back(source.path + " is re-encoded to match the first clip: " + reason);
  fitted.push_back(source.path + ": " + reason);
  return true;
}

bool TimelineWriter::Impl::PrepareAudio(int group, size_t index, const AviReader& reader) {
  const TimelineSource& source = groups[group].sources[index];
  SourcePlan& plan = plans[group][index];
  if (source.stream < 0) return true;  // a clip without audio: silence of its length
  const AviStream* found = SourceStream(source, reader, streamtypeAUDIO, plan);
  if (!found) return false;
  const AviStream& stream = *found;
  std::string why;
  if (!ReadAudioFormat(reader, static_cast<size_t>(source.stream), plan.audio, why))
    return Fail(source.path + ": " + why);
  plan.hasAudio = true;
  for (const auto& c : stream.chunks) {
    plan.audioBytes += c.size;
    plan.audioChunks += c.size != 0;
  }
  // The file's video start is where this source's media time 0 lies.
  const int video = reader.NthStream(streamtypeVIDEO);
  const double videoStart = video >= 0 ? StreamStartSeconds(reader.Stream(video).info) : 0;
  plan.audioOffset = StreamStartSeconds(stream.info) - videoStart;

  AudioStreamFormat& out = audioFormats[group];
  if (!formatTaken[group]) {
    // The first clip with audio gives the output its format.
    formatTaken[group] = true;
    out = plan.audio;
    outputHeader[group] = plan;
    if (!out.Timeable()) return Fail(source.path + ": the audio stream header gives no usable rate");
  }
  return true;
}

// Once every source is known: MP3 frames of one rate and channel count are
// copied whatever their bit rates (the output's header then counts frames);
// what cannot be copied must be convertible.
bool TimelineWriter::Impl::PlanAudioCopies(int group) {
  AudioStreamFormat& out = audioFormats[group];
  std::vector<const AudioStreamFormat*> sources;
  for (const SourcePlan& plan : plans[group])
    if (plan.hasAudio) sources.push_back(&plan.audio);
  SettleMp3Output(sources, out, outputHeader[group].info, outputHeader[group].format);
  for (size_t i = 0; i < plans[group].size(); ++i) {
    SourcePlan& plan = plans[group][i];
    if (!plan.hasAudio) continue;
    const std::string& path = groups[group].sources[i].path;
    plan.transcode = !CanCopyAudio(plan.audio, out);
    if (!plan.transcode) continue;
    AudioTranscoder probe;
    std::string why;
    if (!probe.Open(&plan.audio.wave, out, why))
      return Fail("the audio of " + path + " (" + DescribeAudio(plan.audio.wave) +
                  ") cannot be converted to the joined file's audio format (" + DescribeAudio(out.wave) + "): " + why);
    notes.push_back(ReencodedNote(path, plan.audio.wave, out.wave));
  }
  return true;
}

// Coded silence is needed wherever a clip's audio cannot cover its place; it
// is encoded only then (starting an encoder costs more than a fast join).
bool TimelineWriter::Impl::SilenceCovers(int group) {
  const AudioStreamFormat& out = audioFormats[group];
  if (out.IsPcm() || !silence[group].empty()) return true;
  const double frame = out.ChunkSeconds(std::max<uint32_t>(out.wave.nBlockAlign, 1));
  for (size_t i = 0; i < groups[group].sources.size(); ++i) {
    const TimelineSource& source = groups[group].sources[i];
    const SourcePlan& plan = plans[group][i];
    const double need = Seconds(source.stop - source.start);
    double have = 0;
    if (plan.hasAudio && plan.transcode) {
      have = plan.info.dwRate ? static_cast<double>(plan.info.dwLength) * plan.info.dwScale / plan.info.dwRate : 0;
    } else if (plan.hasAudio) {
      have = plan.audio.ByteTimed() ? static_cast<double>(plan.audioBytes) / plan.audio.ByteRate()
                                    : static_cast<double>(plan.audioChunks) * plan.audio.ChunkSeconds(1);
    }
    if (need <= frame / 2 || (plan.audioOffset <= frame / 2 && have + plan.audioOffset >= need - frame / 2)) continue;
    std::string why;
    if (MakeSilentPackets(out, silence[group], why)) return true;
    notes.push_back("no silence can be encoded for " + DescribeAudio(out.wave) + ": " + why);
    return Fail("the audio of " + source.path + " is shorter than its video, and no silence can be encoded in " +
                DescribeAudio(out.wave));
  }
  return true;
}

bool TimelineWriter::Impl::AddStreams(AviWriter& writer) {
  if (writer.AddStream(videoInfo, videoFormat, &videoStream) != AVIERR_OK)
    return Fail("cannot write the video stream header: " + writer.LastError());
  tracks.clear();
  for (size_t g = 0; g < groups.size(); ++g) {
    if (groups[g].kind != GroupKind::Audio || !formatTaken[g]) continue;
    AviStreamInfo info = outputHeader[g].info;
    info.dwStart = 0;  // a delayed start is written as silence instead
    int index = -1;
    if (writer.AddStream(info, outputHeader[g].format, &index) != AVIERR_OK)
      return Fail("cannot write the audio stream header: " + writer.LastError());
    trackStreams[static_cast<int>(g)] = index;
    auto track = std::make_unique<AudioTrackWriter>(audioFormats[g], [&writer, index](const uint8_t* data, uint32_t size) {
      return writer.WriteChunk(index, data, size, false) == AVIERR_OK;
    });
    track->UseSilence(silence[g]);
    track->SetStopCheck([this] { return stopRequested.load(); });
    tracks[static_cast<int>(g)] = std::move(track);
  }
  return true;
}

bool TimelineWriter::Impl::WriteAll(AviWriter& writer) {
  if (!AddStreams(writer)) return false;
  outFrames = 0;
  if (!prefetch) StartPrefetch();
  for (size_t i = 0; i < groups[videoGroup].sources.size(); ++i) {
    if (stopRequested) break;
    if (!WriteClip(writer, i, *prefetch)) return false;
  }
  for (auto& [g, track] : tracks) {
    std::string why;
    if (!track->EndTrack(why)) return Fail("finishing the audio: " + why);
  }
  return true;
}

// Places every audio track's source of clip i on the output and lists its chunks.
bool TimelineWriter::Impl::BeginClipAudio(size_t i, double clipStart, double clipEnd, const AviReader& reader,
                                          std::vector<Item>& items) {
  const TimelineSource& vs = groups[videoGroup].sources[i];
  for (auto& [g, track] : tracks) {
    if (i >= groups[g].sources.size()) continue;
    const TimelineSource& as = groups[g].sources[i];
    const SourcePlan& plan = plans[g][i];
    double start = clipStart, stop = clipEnd;  // held to the frames actually written
    if (as.start != vs.start || as.stop != vs.stop) {
      const double shift = clipStart - Seconds(vs.start);
      start = Seconds(as.start) + shift;
      stop = Seconds(as.stop) + shift;
    }
    if (plan.hasAudio && !SameFile(as.path, vs.path))
      return Fail("an audio source from another file than its video is not supported");
    const double zero = start + plan.audioOffset - Seconds(as.mediaStart);
    std::string why;
    if (!track->BeginClip(plan.hasAudio ? &plan.audio : nullptr, start, stop, zero, why))
      return Fail("placing the audio of " + as.path + ": " + why);
    if (!plan.hasAudio) continue;
    // Each stream's chunks lie in file order: merged into the list, which stays in file order.
    const auto middle = static_cast<std::ptrdiff_t>(items.size());
    for (const auto& c : reader.Stream(as.stream).chunks)
      if (c.size) items.push_back({c.offset, c.size, c.keyFrame, g, as.stream});
    std::inplace_merge(items.begin(), items.begin() + middle, items.end(),
                       [](const Item& a, const Item& b) { return a.offset < b.offset; });
  }
  return true;
}

bool TimelineWriter::Impl::WriteClip(AviWriter& writer, size_t i, HeaderPrefetch& headers) {
  const TimelineSource& vs = groups[videoGroup].sources[i];
  const SourcePlan& vp = plans[videoGroup][i];
  const double frameSeconds = static_cast<double>(videoInfo.dwScale) / videoInfo.dwRate;
  // A gap on the video track holds the last frame: empty chunks.
  const uint64_t startFrame =
      static_cast<uint64_t>(std::max<int64_t>(0, std::llround(Seconds(vs.start) / frameSeconds)));
  while (outFrames < startFrame) {
    if (writer.WriteChunk(videoStream, nullptr, 0, false) != AVIERR_OK) return WriteFailed(writer);
    ++outFrames;
  }
  const double clipStart = outFrames * frameSeconds;
  const uint64_t planned = vp.fit ? vp.fitFrames : vp.endFrame - vp.firstFrame;
  const double clipEnd = (outFrames + planned) * frameSeconds;
  const uint64_t clipFirstFrame = outFrames;

  HeaderPrefetch::Clip ahead = headers.Take(i);
  if (!ahead.reader) {
    std::string why;
    ahead.reader = SharedAviReaders::Open(vs.path, nullptr, &why);
    if (!ahead.reader) return Fail("cannot read " + vs.path + ": " + why);
  }
  const AviReader& reader = *ahead.reader;
  std::vector<Item> items;
  const auto& vchunks = reader.Stream(vs.stream).chunks;
  if (vp.endFrame > vchunks.size()) return Fail(vs.path + " changed while it was joined");
  // A fitted clip is decoded from the key frame its first frame needs.
  uint64_t from = vp.firstFrame;
  while (vp.fit && from > 0 && from < vchunks.size() && !vchunks[from].keyFrame) --from;
  for (uint64_t f = from; f < vp.endFrame; ++f)
    items.push_back({vchunks[f].offset, vchunks[f].size, vchunks[f].keyFrame, -1, vs.stream});
  if (!BeginClipAudio(i, clipStart, clipEnd, reader, items)) return false;
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.offset < b.offset; });
  if (vp.fit ? !WriteFitted(writer, reader, i, vp.firstFrame - from, items, frameSeconds)
             : !CopyItems(writer, reader, vs.path, items, frameSeconds, std::move(ahead.headers)))
    return false;
  if (stopRequested) return true;
  // Every frame planned for the clip is in the file, or the join has failed.
  if (const uint64_t written = outFrames - clipFirstFrame; written != planned)
    return Fail(vs.path + ": " + std::to_string(written) + " of its " + std::to_string(planned) +
                " frames were written");
  // The clip's audio ends where its place ends: silence for what is missing.
  for (auto& [g, track] : tracks) {
    if (i >= groups[g].sources.size()) continue;
    std::string why;
    if (!track->EndClip(why)) return Fail("placing the audio of " + groups[g].sources[i].path + ": " + why);
  }
  NoteDamagedAudio(i);
  return true;
}

void TimelineWriter::Impl::NoteDamagedAudio(size_t i) {
  for (auto& [g, track] : tracks)
    if (i < groups[g].sources.size() && track->DamagedPackets() > 0) {
      std::lock_guard lock(mutex);
      notes.push_back(DamagedAudioNote(groups[g].sources[i].path, track->DamagedPackets()));
    }
}

// Runs of source chunks that go out as they are, copied by the kernel where
// it can; audio that is cut, moved or re-encoded on the way goes through its
// track writer between runs. Only the chunk headers are read ahead on other
// threads: on a busy machine, handing single chunks between threads costs
// more in waiting than the overlap saves.
bool TimelineWriter::Impl::CopyItems(AviWriter& writer, const AviReader& reader, const std::string& path,
                                     const std::vector<Item>& items, double frameSeconds,
                                     std::shared_ptr<const HeaderTable> headers) {
  SourceFile file;
  if (!file.Open(path)) return Fail("reading " + path + " failed: " + file.OpenError());
  file.UseHeaders(std::move(headers));
  ChunkRun run;
  for (const Item& it : items) {
    if (stopRequested) return true;
    int stream = videoStream;
    if (it.track >= 0) {
      const AudioTrackWriter::Pass pass = tracks[it.track]->PassThrough(it.size);
      if (pass == AudioTrackWriter::Pass::Changed) {
        if (!WriteRun(writer, reader, file, run, frameSeconds) || !FeedAudio(writer, reader, path, it)) return false;
        continue;
      }
      stream = pass == AudioTrackWriter::Pass::Unchanged ? trackStreams[it.track] : -1;
    }
    if (it.offset < 8) return Fail(path + " lists a chunk outside its data");
    const CopiedChunk chunk{it.offset - 8, it.size, stream, it.keyFrame, 0};
    if (!AppendToRun(writer, reader, file, run, chunk, it.sourceStream, frameSeconds)) return false;
    if (run.Bytes() >= kCopyStep && !WriteRun(writer, reader, file, run, frameSeconds)) return false;
  }
  return WriteRun(writer, reader, file, run, frameSeconds);
}

// A fitted clip: its video chunks decoded and encoded into the first clip's
// format, its audio placed as a copied clip's is; both in the clip's file order.
bool TimelineWriter::Impl::WriteFitted(AviWriter& writer, const AviReader& reader, size_t i, uint64_t skip,
                                       const std::vector<Item>& items, double frameSeconds) {
  const TimelineSource& vs = groups[videoGroup].sources[i];
  const SourcePlan& vp = plans[videoGroup][i];
  FittedVideo video;
  std::string why;
  auto sink = [&](const uint8_t* data, uint32_t size, bool keyFrame) {
    if (writer.WriteChunk(videoStream, data, size, keyFrame) != AVIERR_OK) return false;
    AdvanceFrames(1, frameSeconds);
    bytesWritten.store(writer.BytesWritten());
    return true;
  };
  auto failed = [&] {
    if (!writer.LastError().empty()) return WriteFailed(writer);
    return Fail("re-encoding the video of " + vs.path + ": " + why);
  };
  if (!video.Open(vs.path, vs.stream, vp.info, *fitTarget, skip, vp.fitFrames, sink, why)) return Fail(why);
  for (const Item& it : items) {
    if (stopRequested) return true;
    if (it.track < 0) {
      if (it.size && !reader.ReadChunk(AviChunk{it.offset, it.size, it.keyFrame}, buffer))
        return Fail("reading " + vs.path + " failed: " + reader.LastError());
      if (!video.Feed(it.size ? buffer.data() : nullptr, it.size, why)) return failed();
      continue;
    }
    const AudioTrackWriter::Pass pass = tracks[it.track]->PassThrough(it.size);
    if (pass == AudioTrackWriter::Pass::Changed) {
      if (!FeedAudio(writer, reader, vs.path, it)) return false;
    } else if (pass == AudioTrackWriter::Pass::Unchanged) {
      if (!reader.ReadChunk(AviChunk{it.offset, it.size, false}, buffer))
        return Fail("reading " + vs.path + " failed: " + reader.LastError());
      if (writer.WriteChunk(trackStreams[it.track], buffer.data(), it.size, false) != AVIERR_OK)
        return WriteFailed(writer);
    }
  }
  if (!video.Finish(why)) return failed();
  return true;
}

bool TimelineWriter::Impl::AppendToRun(AviWriter& writer, const AviReader& reader, SourceFile& file,
                                       ChunkRun& run, const CopiedChunk& chunk, int sourceStream,
                                       double frameSeconds) {
  if (chunk.stream < 0 && run.Empty()) return true;  // nothing to write, nothing to carry a run over
  ChunkRun::Add added = run.Append(file, chunk, sourceStream);
  if (added == ChunkRun::Add::Breaks) {
    if (!WriteRun(writer, reader, file, run, frameSeconds)) return false;
    if (chunk.stream < 0) return true;
    added = run.Append(file, chunk, sourceStream);
  }
  if (added != ChunkRun::Add::Unreadable || chunk.stream < 0) return true;
  // A header that disagrees with the index: the chunk as the index has it, written anew.
  if (!WriteRun(writer, reader, file, run, frameSeconds) || !RewriteChunks(writer, reader, {chunk})) return false;
  AdvanceFrames(chunk.stream == videoStream ? 1 : 0, frameSeconds);
  return true;
}

bool TimelineWriter::Impl::WriteRun(AviWriter& writer, const AviReader& reader, SourceFile& file,
                                    ChunkRun& run, double frameSeconds) {
  if (run.Empty()) return true;
  const std::vector<CopiedChunk>& chunks = run.Chunks();
  if (run.Bytes() >= kPaddingShare * AviWriter::RunPadding(writer.BytesWritten(), chunks.front().offset)) {
    for (size_t k = 0, taken = 0; k < chunks.size(); k += taken)
      if (writer.CopyChunks(file.Fd(), chunks.data() + k, chunks.size() - k, &taken) != AVIERR_OK)
        return WriteFailed(writer);
  } else if (!RewriteChunks(writer, reader, chunks)) {
    return false;
  }
  const auto frames = std::count_if(chunks.begin(), chunks.end(), [this](const CopiedChunk& c) { return c.stream == videoStream; });
  run.Clear();
  AdvanceFrames(static_cast<uint64_t>(frames), frameSeconds);
  bytesWritten.store(writer.BytesWritten());
  return true;
}

// The kept chunks of a short run (or one odd chunk) through the writer's buffer, one read for all.
bool TimelineWriter::Impl::RewriteChunks(AviWriter& writer, const AviReader& reader,
                                         const std::vector<CopiedChunk>& chunks) {
  const uint64_t first = chunks.front().offset + 8;
  const uint64_t span = chunks.back().offset + 8 + chunks.back().size - first;
  buffer.resize(span);
  if (!reader.ReadChunk(AviChunk{first, static_cast<uint32_t>(span), false}, buffer.data()))
    return Fail("reading the clip failed: " + reader.LastError());
  for (const CopiedChunk& c : chunks) {
    if (c.stream < 0) continue;
    const uint8_t* data = c.size ? buffer.data() + (c.offset + 8 - first) : nullptr;
    if (writer.WriteChunk(c.stream, data, c.size, c.keyFrame) != AVIERR_OK) return WriteFailed(writer);
  }
  return true;
}

bool TimelineWriter::Impl::FeedAudio(AviWriter& writer, const AviReader& reader, const std::string& path,
                                     const Item& item) {
  buffer.resize(item.size);
  if (!reader.ReadChunk(AviChunk{item.offset, item.size, false}, buffer.data()))
    return Fail("reading " + path + " failed: " + reader.LastError());
  std::string why;
  if (tracks[item.track]->Feed(buffer.data(), item.size, why)) return true;
  if (!writer.LastError().empty()) return WriteFailed(writer);
  return Fail("converting the audio of " + path + ": " + why);
}

// Frames count as written once their run is; tests that need a join still
// running pace them.
void TimelineWriter::Impl::AdvanceFrames(uint64_t frames, double frameSeconds) {
  const int delay = chunkDelayForTesting.load();
  for (uint64_t f = 0; f < frames; ++f) {
    ++outFrames;
    if (delay == 0 || stopRequested) continue;
    position.store(static_cast<int64_t>(outFrames * frameSeconds * kUnitsPerSecond));
    std::this_thread::sleep_for(std::chrono::microseconds(delay));
  }
  position.store(static_cast<int64_t>(outFrames * frameSeconds * kUnitsPerSecond));
}

bool TimelineWriter::Impl::WriteFailed(AviWriter& writer) {
  return Fail("writing the joined file failed: " + writer.LastError());
}

void TimelineWriter::Impl::Run(std::string outputPath) {
  AviWriter writer;
  writer.SetKernelCopy(kernelCopy);
  writer.SetLimitsForTesting(writerLimits);
  TimelineEvent result = TimelineEvent::Complete;
  if (writer.Create(outputPath) != AVIERR_OK) {
    SetError("cannot create " + outputPath + ": " + writer.LastError());
    result = TimelineEvent::ErrorAbort;
  } else {
    bool ok = WriteAll(writer);
    if (writer.IsOpen() && writer.Close() != AVIERR_OK && ok) {
      SetError("finishing the joined file failed: " + writer.LastError());
      ok = false;
    }
    bytesWritten.store(writer.BytesWritten());
    framesDone.store(outFrames);
    if (!ok) result = TimelineEvent::ErrorAbort;
    else if (stopRequested) result = TimelineEvent::UserAbort;
  }
  prefetch.reset();
  {
    std::lock_guard lock(mutex);
    tickerStop = true;
  }
  tickerCv.notify_all();
  if (ticker.joinable()) ticker.join();
  running = false;
  if (callback) callback(result);
}

void TimelineWriter::SetChunkDelayForTesting(int microseconds) { chunkDelayForTesting = microseconds; }

void TimelineWriter::SetKernelCopy(bool on) { impl_->kernelCopy = on; }

void TimelineWriter::SetWriterLimitsForTesting(const AviWriter::Limits& limits) { impl_->writerLimits = limits; }

TimelineWriter::TimelineWriter() : impl_(std::make_unique<Impl>()) {}

TimelineWriter::~TimelineWriter() { Stop(); }

int TimelineWriter::AddGroup(GroupKind kind) {
  if (impl_->running) return -1;
  int audio = 0;
  for (const auto& g : impl_->groups) audio += g.kind == GroupKind::Audio;
  if (kind == GroupKind::Video && impl_->videoGroup >= 0) return -1;
  if (kind == GroupKind::Audio && audio >= 2) return -1;
  impl_->groups.push_back({kind, {}});
  impl_->prepared = false;
  int index = static_cast<int>(impl_->groups.size()) - 1;
  if (kind == GroupKind::Video) impl_->videoGroup = index;
  return index;
}

bool TimelineWriter::AddSource(int group, const TimelineSource& source) {
  if (impl_->running || group < 0 || group >= GroupCount()) return false;
  if (source.stop < source.start || source.mediaStop < source.mediaStart) return false;
  impl_->groups[group].sources.push_back(source);
  impl_->prepared = false;
  return true;
}

int TimelineWriter::GroupCount() const { return static_cast<int>(impl_->groups.size()); }

int TimelineWriter::SourceCount(int group) const {
  return group >= 0 && group < GroupCount() ? static_cast<int>(impl_->groups[group].sources.size()) : 0;
}

bool TimelineWriter::Prepare(const std::string& outputPath) {
  if (impl_->running) return false;
  impl_->prepared = impl_->PrepareAll(outputPath);
  impl_->preparedFor = outputPath;
  if (!impl_->prepared) impl_->prefetch.reset();  // nothing will be written
  return impl_->prepared;
}

bool TimelineWriter::Start(const std::string& outputPath, EventCallback callback) {
  if (impl_->running || impl_->thread.joinable()) return false;
  if ((!impl_->prepared || impl_->preparedFor != outputPath) && !Prepare(outputPath)) return false;
  Impl& d = *impl_;
  d.callback = std::move(callback);
  d.stopRequested = false;
  d.position = 0;
  d.framesDone = 0;
  d.tickerStop = false;
  d.running = true;
  d.ticker = std::thread([&d] {
    std::unique_lock lock(d.mutex);
    while (!d.tickerCv.wait_for(lock, kProgressPeriod, [&d] { return d.tickerStop; })) {
      lock.unlock();
      if (d.callback) d.callback(TimelineEvent::Progress);
      lock.lock();
    }
  });
  d.thread = std::thread([&d, outputPath] { d.Run(outputPath); });
  return true;
}

void TimelineWriter::Stop() {
  impl_->stopRequested = true;
  Wait();
}

void TimelineWriter::Wait() {
  if (impl_->thread.joinable()) impl_->thread.join();
}

bool TimelineWriter::Running() const { return impl_->running; }
int64_t TimelineWriter::Position() const { return impl_->position.load(); }
int64_t TimelineWriter::Duration() const { return impl_->duration; }
uint64_t TimelineWriter::BytesWritten() const { return impl_->bytesWritten.load(); }

std::string TimelineWriter::LastError() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->error;
}

std::vector<std::string> TimelineWriter::Notes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->notes;
}

uint64_t TimelineWriter::PlannedFrames(int source) const {
  const Impl& d = *impl_;
  if (!d.prepared || d.videoGroup < 0 || source < 0 || static_cast<size_t>(source) >= d.plans[d.videoGroup].size())
    return 0;
  const SourcePlan& plan = d.plans[d.videoGroup][static_cast<size_t>(source)];
  return plan.endFrame - plan.firstFrame;
}

uint64_t TimelineWriter::OutputFrames(int source) const {
  const Impl& d = *impl_;
  if (!d.prepared || d.videoGroup < 0 || source < 0 || static_cast<size_t>(source) >= d.plans[d.videoGroup].size())
    return 0;
  const SourcePlan& plan = d.plans[d.videoGroup][static_cast<size_t>(source)];
  return plan.fit ? plan.fitFrames : plan.endFrame - plan.firstFrame;
}

uint64_t TimelineWriter::FramesWritten() const { return impl_->framesDone.load(); }

std::vector<std::string> TimelineWriter::FittedClips() const { return impl_->fitted; }

}  // namespace media
