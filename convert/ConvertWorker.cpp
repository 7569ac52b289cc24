#include "convert/ConvertWorker.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

#include "media/AudioTrackWriter.h"
#include "media/AviOutputWriter.h"
#include "avi/AviReader.h"
#include "media/ClipDecoder.h"
#include "media/HeaderCheck.h"
#include "media/Mp3Encoder.h"

namespace {

using Clock = std::chrono::steady_clock;
// Progress goes out at least this often, so a stop request is seen in time.
constexpr auto kReportPeriod = std::chrono::milliseconds(200);

// The output's audio stream as the MP3 encoder makes it.
media::OutputAudio Mp3Output(const media::Mp3Settings& mp3, uint32_t initialFrames) {
  media::OutputAudio out;
  out.info = media::Mp3StreamInfo(mp3, initialFrames);
  out.format = media::Mp3FormatBlock(mp3);
  out.timing.wave = media::Mp3WaveFormat(mp3);
  out.timing.dwScale = out.info.dwScale;
  out.timing.dwRate = out.info.dwRate;
  out.timing.dwSampleSize = out.info.dwSampleSize;
  out.timing.frameKbps = static_cast<uint32_t>(mp3.kbps);
  return out;
}

}  // namespace

// One run of the conversion, on the worker thread.
struct ConvertWorker::Run {
  struct Clip {
    std::string path;
    int64_t chunks = 0;
  };

  Run(ConvertWorker& w, const ConvertRequest& r) : worker(w), request(r) {}

  ConvertWorker& worker;
  const ConvertRequest& request;
  std::vector<Clip> clips;
  media::AviStreamInfo videoTemplate;
  std::vector<media::AudioStreamFormat> audioSources;  // of the clips with readable audio, in list order
  int width = 0, height = 0;
  std::optional<media::OutputAudio> audio;
  media::AviOutputWriter writer;
  media::PictureToDib preview;
  double frameSeconds = 0;
  int64_t totalChunks = 0, doneChunks = 0;
  int lastPercent = -1;
  Clock::time_point lastReport;
  int failCode = kFinished;
  std::string error;

  bool Fail(int code, std::string text) {
    failCode = code;
    error = std::move(text);
    return false;
  }

  bool Plan();
  bool PlanAudio(const std::string& path, const media::AviReader& reader, size_t stream);
  bool PlanMp3(const std::vector<media::AudioStreamFormat>& sources, uint32_t initialFrames);
  bool ConvertClip(size_t index);
  bool Report(double withinClip, int64_t clipChunks, int clip);
  // Between the steps of a long fill: progress as it stands, and whether to stop.
  bool StopAsked();
  int currentClip = 0;
};

bool ConvertWorker::Run::Plan() {
  if (request.clips.empty()) return Fail(kVideoFailed, "there is no clip to join");
  // Every clip is looked at before anything is written: a clip that cannot be
  // read fails the run naming it, and the output's audio stream is known
  // before the first chunk.
  for (const std::string& path : request.clips) {
    media::AviReader reader;
    if (reader.Open(path) != media::AVIERR_OK) return Fail(kVideoFailed, "cannot read " + path + ": " + reader.LastError());
    if (const auto fault = media::FindHeaderFault(reader))
      return Fail(fault->video ? kVideoFailed : kAudioFailed, path + ": " + fault->Text());
    const int video = reader.NthStream(media::streamtypeVIDEO);
    const int audioStream = reader.NthStream(media::streamtypeAUDIO);
    if (video < 0) return Fail(kVideoFailed, path + " has no video stream");
    const media::AviStream& v = reader.Stream(video);
    const Clip clip{path, static_cast<int64_t>(v.chunks.size())};
    if (clips.empty()) {
      videoTemplate = v.info;
      // The reader fills a frame rectangle a writer left empty from the format.
      width = v.info.rcFrame.right - v.info.rcFrame.left;
      height = v.info.rcFrame.bottom - v.info.rcFrame.top;
      if (width <= 0 || height <= 0 || v.info.dwRate == 0 || v.info.dwScale == 0)
        return Fail(kVideoFailed, path + ": the video has no usable frame size or rate");
      frameSeconds = static_cast<double>(v.info.dwScale) / v.info.dwRate;
    }
    if (audioStream >= 0 && !audio && !PlanAudio(path, reader, static_cast<size_t>(audioStream))) return false;
    media::AudioStreamFormat format;
    std::string why;
    // An unreadable one fails when its clip's turn comes, as it always did.
    if (audioStream >= 0 && media::ReadAudioFormat(reader, static_cast<size_t>(audioStream), format, why))
      audioSources.push_back(format);
    totalChunks += clip.chunks;
    clips.push_back(clip);
  }
  if (!audio) return true;
  // MP3 frames are copied whatever their bit rates: the header counts frames where they differ.
  if (request.convertAudio) return PlanMp3(audioSources, audio->info.dwInitialFrames);
  std::vector<const media::AudioStreamFormat*> sources;
  for (const auto& f : audioSources) sources.push_back(&f);
  media::SettleMp3Output(sources, audio->timing, audio->info, audio->format);
  return true;
}

// MP3 audio is never re-encoded: the output's MP3 follows the first MP3 clip
// (its rate, channels and bit rate; a sensible CBR of its rate when it is
// VBR), whose like are copied frame for frame; other audio is encoded into it.
bool ConvertWorker::Run::PlanMp3(const std::vector<media::AudioStreamFormat>& sources, uint32_t initialFrames) {
  const media::AudioStreamFormat* first = nullptr;
  for (const auto& f : sources) {
    if (media::IsMp3(f.wave) && media::IsMp3SampleRate(f.wave.nSamplesPerSec) &&
        (f.wave.nChannels == 1 || f.wave.nChannels == 2)) {
      first = &f;
      break;
    }
  }
  if (!first) return true;  // no MP3 among the clips: the settings made of the first audio stand
  media::Mp3Settings mp3;
  mp3.inputRate = mp3.outputRate = first->wave.nSamplesPerSec;
  mp3.channels = first->wave.nChannels;
  mp3.kbps = first->variableFrames ? media::NearestMp3Kbps(0, mp3.outputRate, mp3.channels)
                                   : media::Mp3EncodingKbps(*first);
  media::OutputAudio out = Mp3Output(mp3, initialFrames);
  std::vector<const media::AudioStreamFormat*> copied;
  for (const auto& f : sources) copied.push_back(&f);
  media::SettleMp3Output(copied, out.timing, out.info, out.format);
  audio = std::move(out);
  return true;
}

// The first clip with audio gives the output its audio stream: MP3 made from
// its rate and channels, or its own format.
bool ConvertWorker::Run::PlanAudio(const std::string& path, const media::AviReader& reader, size_t stream) {
  media::AudioStreamFormat source;
  std::string why;
  if (!media::ReadAudioFormat(reader, stream, source, why)) return Fail(kAudioFailed, path + ": " + why);
  media::OutputAudio out;
  if (request.convertAudio) {
    if (!media::LoadLameLibrary(why)) return Fail(kAudioFailed, why);
    const media::Mp3Settings mp3 = media::ChooseMp3Settings(source.wave.nSamplesPerSec, source.wave.nChannels);
    out = Mp3Output(mp3, reader.Stream(stream).info.dwInitialFrames);
  } else {
    out.info = reader.Stream(stream).info;
    out.format = reader.Stream(stream).format;
    out.timing = source;
    if (!source.Timeable()) return Fail(kAudioFailed, path + ": the audio stream header gives no usable rate");
  }
  audio = std::move(out);
  return true;
}

bool ConvertWorker::Run::Report(double withinClip, int64_t clipChunks, int clip) {
  const double done = static_cast<double>(doneChunks) + withinClip * static_cast<double>(clipChunks);
  const int percent = totalChunks > 0 ? static_cast<int>(std::floor(done * 100.0 / totalChunks)) : 100;
  const auto now = Clock::now();
  if (percent > lastPercent || now - lastReport >= kReportPeriod) {
    lastPercent = std::max(lastPercent, percent);
    lastReport = now;
    if (worker.progress_ && worker.progress_(std::min(percent, 100), clip)) worker.stop_ = true;
  }
  return !worker.stop_;
}

bool ConvertWorker::Run::StopAsked() {
  const auto now = Clock::now();
  if (now - lastReport >= kReportPeriod) {
    lastReport = now;
    if (worker.progress_ && worker.progress_(std::clamp(lastPercent, 0, 100), currentClip)) worker.stop_ = true;
  }
  return worker.stop_;
}

bool ConvertWorker::Run::ConvertClip(size_t index) {
  const Clip& clip = clips[index];
  currentClip = static_cast<int>(index);
  media::ClipDecoder decoder;
  std::string why;
  if (!decoder.Open(clip.path, 0, why)) return Fail(decoder.AudioFailed() ? kAudioFailed : kVideoFailed, why);
  media::AudioTrackWriter* track = writer.Audio();
  const double start = static_cast<double>(writer.FramesWritten()) * frameSeconds;
  const double stop = start + static_cast<double>(decoder.VideoChunks()) * frameSeconds;
  if (track) {
    const bool has = decoder.Audio() != nullptr;
    if (!track->BeginClip(has ? &decoder.AudioFormat() : nullptr, start, stop, start + decoder.AudioOffset(), why))
      return Fail(kAudioFailed, "the audio of " + clip.path + ": " + why);
    if (track->Transcoding()) {
      std::lock_guard lock(worker.mutex_);
      worker.notes_.push_back(media::ReencodedNote(clip.path, decoder.AudioFormat().wave, track->Format().wave));
    }
  }
  std::string audioError;
  auto pictures = [&](const AVFrame* picture) {
    if (worker.preview_.wantsFrame && worker.preview_.present && worker.preview_.wantsFrame() &&
        preview.Make(picture, worker.preview_.maxWidth))
      worker.preview_.present(preview.Bits(), preview.Width(), preview.Height(), preview.Stride());
    if (int delay = worker.pictureDelayUs_.load()) std::this_thread::sleep_for(std::chrono::microseconds(delay));
    return writer.WritePicture(picture, why);
  };
  auto audioChunks = [&](const uint8_t* data, uint32_t size) {
    return !track || track->Feed(data, size, audioError);
  };
  auto tick = [&](int64_t done, int64_t total) {
    return Report(total ? static_cast<double>(done) / total : 1.0, clip.chunks, static_cast<int>(index));
  };
  Report(0, clip.chunks, static_cast<int>(index));
  const int64_t framesBefore = writer.FramesWritten();
  if (!decoder.Run(pictures, audioChunks, tick, why)) {
    if (decoder.AudioFailed()) return Fail(kAudioFailed, "the audio of " + clip.path + ": " + audioError);
    return Fail(kVideoFailed, why.find(clip.path) == std::string::npos ? clip.path + ": " + why : why);
  }
  if (decoder.Stopped()) return true;
  // One picture per chunk, or the output would hold less than the clip.
  if (const int64_t written = writer.FramesWritten() - framesBefore; written != clip.chunks)
    return Fail(kVideoFailed, clip.path + ": " + std::to_string(written) + " of its " + std::to_string(clip.chunks) +
                                  " frames could be decoded");
  if (track && !track->EndClip(why)) return Fail(kAudioFailed, "the audio of " + clip.path + ": " + why);
  if (track && track->DamagedPackets() > 0) {
    std::lock_guard lock(worker.mutex_);
    worker.notes_.push_back(media::DamagedAudioNote(clip.path, track->DamagedPackets()));
  }
  doneChunks += clip.chunks;
  return true;
}

ConvertWorker::ConvertWorker() = default;

ConvertWorker::~ConvertWorker() {
  Detach();
  RequestStop();
  Wait(-1);
}

bool ConvertWorker::Start(ConvertRequest request, MessageTarget* owner, Progress progress, ConvertPreview preview) {
  if (thread_.joinable()) return false;
  request_ = std::move(request);
  progress_ = std::move(progress);
  preview_ = std::move(preview);
  {
    std::lock_guard lock(mutex_);
    owner_ = owner;
    error_.clear();
    notes_.clear();
  }
  stop_ = false;
  finished_ = false;
  cancelled_ = false;
  code_ = kFinished;
  thread_ = std::thread([this] { Main(); });
  return true;
}

void ConvertWorker::Main() {
  Run run(*this, request_);
  bool ok = run.Plan();
  if (ok) {
    std::string why;
    ok = run.writer.OpenOutput(request_.outputPath, run.videoTemplate, run.width, run.height, request_.handler,
                               request_.settings, run.audio ? &*run.audio : nullptr, why);
    if (!ok) run.Fail(kVideoFailed, why);
    if (ok && run.writer.Audio()) run.writer.Audio()->SetStopCheck([&run] { return run.StopAsked(); });
    if (ok && run.writer.Audio() && !run.writer.Audio()->PrepareSilence(why)) {
      std::lock_guard lock(mutex_);
      notes_.push_back("no silence can be encoded for the audio: " + why);
    }
  }
  for (size_t i = 0; ok && i < run.clips.size() && !stop_; ++i) ok = run.ConvertClip(i);
  // The output is complete on disk before anybody is told the run has ended.
  std::string closing;
  if (!run.writer.CloseOutput(closing) && ok) {
    ok = false;
    run.Fail(kVideoFailed, closing);
  }
  if (ok && run.lastPercent < 100 && !stop_ && progress_) progress_(100, static_cast<int>(run.clips.size()) - 1);
  cancelled_ = ok && stop_;
  End(ok ? kFinished : run.failCode, run.error);
}

void ConvertWorker::End(int code, const std::string& error) {
  code_ = code;
  std::lock_guard lock(mutex_);
  error_ = error;
  if (owner_) PostMessage(owner_, wm::MSG_JOIN_DONE, static_cast<WPARAM>(code), 0);
  finished_ = true;
}

void ConvertWorker::RequestStop() { stop_ = true; }

bool ConvertWorker::Wait(int timeoutMs) {
  if (!thread_.joinable()) return true;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!finished_) {
    if (timeoutMs >= 0 && Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (thread_.joinable()) thread_.join();
  return true;
}

void ConvertWorker::Detach() {
  std::lock_guard lock(mutex_);
  owner_ = nullptr;
}

std::string ConvertWorker::LastError() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::vector<std::string> ConvertWorker::Notes() const {
  std::lock_guard lock(mutex_);
  return notes_;
}
