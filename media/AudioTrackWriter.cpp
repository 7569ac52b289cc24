#include "media/AudioTrackWriter.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "avi/AviReader.h"
#include "media/Mp3Encoder.h"

namespace media {

namespace {

// Enough data to time a stream whose headers disagree.
constexpr size_t kMeasureBytes = 256 * 1024;
// Enough MP3 frames (a few seconds) to tell one bit rate from several.
constexpr size_t kSurveyBytes = 64 * 1024;

// The stream's first non-empty chunks, about limit bytes of them.
std::vector<uint8_t> FirstBytes(const AviReader& reader, const AviStream& s, size_t limit) {
  std::vector<uint8_t> data, chunk;
  for (const AviChunk& c : s.chunks) {
    if (data.size() >= limit) break;
    if (c.size == 0) continue;
    if (!reader.ReadChunk(c, chunk)) break;
    data.insert(data.end(), chunk.begin(), chunk.end());
  }
  return data;
}

// MP3 headers give a bit rate of 0 (ffmpeg's libmp3lame without one, VBR)
// or one the frames do not keep: the first frames tell.
void SurveyMp3(const AviReader& reader, const AviStream& s, AudioStreamFormat& format) {
  const std::vector<uint8_t> data = FirstBytes(reader, s, kSurveyBytes);
  const Mp3FrameSurvey survey = SurveyMp3Frames(data.data(), data.size());
  if (survey.frames == 0) return;
  format.frameKbps = static_cast<uint32_t>(survey.kbps);
  format.variableFrames = survey.variable;
}

}  // namespace

bool ReadAudioFormat(const AviReader& reader, size_t stream, AudioStreamFormat& format, std::string& error) {
  const AviStream& s = reader.Stream(stream);
  format = AudioStreamFormat{};
  if (!WaveFormatEx::Parse(s.format, format.wave)) {
    error = "unreadable audio format";
    return false;
  }
  format.dwScale = s.info.dwScale;
  format.dwRate = s.info.dwRate;
  format.dwSampleSize = s.info.dwSampleSize;
  if (IsMp3(format.wave)) SurveyMp3(reader, s, format);
  if (!format.RatesDisagree()) return true;
  const std::vector<uint8_t> data = FirstBytes(reader, s, kMeasureBytes);
  const double measured = MeasureByteRate(format.wave, data);
  if (measured > 0) format.measuredByteRate = measured;
  return true;
}

bool SettleMp3Output(const std::vector<const AudioStreamFormat*>& sources, AudioStreamFormat& out,
                     AviStreamInfo& info, std::vector<uint8_t>& format) {
  if (!IsMp3(out.wave)) return false;
  bool differ = out.variableFrames;
  for (const AudioStreamFormat* s : sources)
    if (IsMp3(s->wave) && s->wave.nSamplesPerSec == out.wave.nSamplesPerSec && s->wave.nChannels == out.wave.nChannels)
      differ = differ || s->variableFrames || Mp3EncodingKbps(*s) != Mp3EncodingKbps(out);
  if (!differ) return false;
  Mp3Settings settings;
  settings.inputRate = settings.outputRate = out.wave.nSamplesPerSec;
  settings.channels = std::clamp<int>(out.wave.nChannels, 1, 2);
  settings.kbps = Mp3EncodingKbps(out);
  settings.vbrHeader = true;
  const WaveFormatEx wave = Mp3WaveFormat(settings);
  AviStreamInfo header = Mp3StreamInfo(settings, 0);
  if (wave.Serialize() == format && header.dwScale == info.dwScale && header.dwRate == info.dwRate &&
      info.dwSampleSize == 0)
    return false;
  header.fccHandler = info.fccHandler;
  header.dwFlags = info.dwFlags;
  header.wPriority = info.wPriority;
  header.wLanguage = info.wLanguage;
  header.szName = info.szName;
  info = header;
  format = wave.Serialize();
  out.wave = wave;
  out.dwScale = header.dwScale;
  out.dwRate = header.dwRate;
  out.dwSampleSize = 0;
  out.measuredByteRate = 0;
  out.frameKbps = static_cast<uint32_t>(settings.kbps);
  out.variableFrames = true;
  return true;
}


AudioTrackWriter::AudioTrackWriter(const AudioStreamFormat& output, ChunkSink sink)
    : format_(output), sink_(std::move(sink)) {}

AudioTrackWriter::~AudioTrackWriter() = default;

bool AudioTrackWriter::PrepareSilence(std::string& error) {
  if (format_.IsPcm()) return true;
  return MakeSilentPackets(format_, silence_, error);
}

bool AudioTrackWriter::CanMakeSilence() const { return format_.IsPcm() || !silence_.empty(); }

double AudioTrackWriter::Time() const {
  if (format_.IsPcm()) return static_cast<double>(samples_) / format_.wave.nSamplesPerSec;
  return time_;
}

int64_t AudioTrackWriter::SampleAt(double t) const { return std::llround(t * format_.wave.nSamplesPerSec); }

bool AudioTrackWriter::Write(const uint8_t* data, uint32_t size, double seconds, std::string& error) {
  if (!sink_(data, size)) {
    error = "the audio could not be written";
    return false;
  }
  time_ += seconds;
  return true;
}

// PCM of the output's format, cut sample-exactly at the clip's end.
bool AudioTrackWriter::WritePcm(const uint8_t* data, size_t size, std::string& error) {
  const uint32_t align = std::max<uint32_t>(format_.wave.nBlockAlign, 1);
  const int64_t room = SampleAt(stop_) - samples_;
  const int64_t have = static_cast<int64_t>(size / align);
  const int64_t n = std::clamp<int64_t>(have, 0, std::max<int64_t>(room, 0));
  done_ = n < have;
  if (n <= 0) return true;
  if (!Write(data, static_cast<uint32_t>(n * align), 0, error)) return false;
  samples_ += n;
  return true;
}

// A coded packet is written when that keeps the running time nearest to the clip's end.
bool AudioTrackWriter::OfferCoded(const uint8_t* data, uint32_t size, std::string& error) {
  const double d = format_.ChunkSeconds(size);
  if (time_ + d / 2 > stop_ + 1e-9) {
    done_ = true;
    return true;
  }
  return Write(data, size, d, error);
}

// Silence never reaches past the clip's own place, whatever a header says of
// where its audio starts.
bool AudioTrackWriter::FillTo(double t, std::string& error) {
  t = std::min(t, stop_);
  if (format_.IsPcm()) {
    const uint32_t align = std::max<uint32_t>(format_.wave.nBlockAlign, 1);
    const uint8_t fill = format_.wave.wBitsPerSample == 8 ? 0x80 : 0x00;
    for (int64_t missing = SampleAt(t) - samples_; missing > 0;) {
      if (Stopped()) return true;
      const int64_t n = std::min<int64_t>(missing, std::max<uint32_t>(format_.wave.nSamplesPerSec / 4, 1));
      zeros_.assign(static_cast<size_t>(n * align), fill);
      if (!Write(zeros_.data(), static_cast<uint32_t>(zeros_.size()), 0, error)) return false;
      samples_ += n;
      missing -= n;
    }
    return true;
  }
  if (silence_.empty()) {
    const double frame = format_.ChunkSeconds(std::max<uint32_t>(format_.wave.nBlockAlign, 1));
    if (t - time_ < frame / 2) return true;
    // Made when first needed: most joins of like clips never need it.
    std::string why;
    if (silenceTried_ || (silenceTried_ = true, !MakeSilentPackets(format_, silence_, why))) {
      error = "no silence can be encoded in " + DescribeAudio(format_.wave) + (why.empty() ? "" : ": " + why);
      return false;
    }
  }
  for (uint64_t written = 0;; ++written) {
    if (written % 16 == 15 && Stopped()) return true;
    const auto& packet = silence_[nextSilence_ % silence_.size()];
    const double d = format_.ChunkSeconds(static_cast<uint32_t>(packet.size()));
    if (d <= 0 || time_ + d / 2 > t) return true;
    if (!Write(packet.data(), static_cast<uint32_t>(packet.size()), d, error)) return false;
    ++nextSilence_;
  }
}

bool AudioTrackWriter::BeginClip(const AudioStreamFormat* source, double start, double stop, double zero,
                                 std::string& error) {
  transcoder_.reset();
  splitter_.reset();
  encoding_ = false;
  hasSource_ = source != nullptr;
  stop_ = stop;
  zero_ = zero;
  sourceTime_ = 0;
  done_ = false;
  damaged_ = 0;
  if (source) source_ = *source;
  const bool copy = source && CanCopyAudio(source_, format_);
  if (!format_.IsPcm() && !copy && (source || encoder_)) return BeginEncoded(source, start, stop, zero, error);
  if (!FinishEncoder(start, error) || !FillTo(start, error)) return false;
  if (!source) return true;
  if (!copy) {
    // PCM output: a converter per clip, cut sample-exactly.
    transcoder_ = std::make_unique<AudioTranscoder>();
    if (!transcoder_->Open(&source_.wave, format_, error)) return false;
    UseWholePackets(*transcoder_);
    double late = Time() - zero;
    if (late < 0) {
      if (!FillTo(zero, error)) return false;
      late = std::max(0.0, Time() - zero);
    }
    transcoder_->SetSourceWindow(SampleAt(late), -1);
    return true;
  }
  // The same audio under a header that counts one frame a chunk: whole frames.
  const bool otherChunks = IsMp3(format_.wave) && static_cast<uint64_t>(source_.dwScale) * format_.dwRate !=
                                                      static_cast<uint64_t>(format_.dwScale) * source_.dwRate;
  if (!format_.ByteTimed() && (source_.ByteTimed() || otherChunks) && !format_.IsPcm()) {
    splitter_ = std::make_unique<AudioFrameSplitter>();
    if (!splitter_->Open(source_.wave, error)) return false;
  }
  return true;
}

// Which of the running encoder's input samples plays at output time t: a
// decoder puts its start-up delay before the first one.
int64_t AudioTrackWriter::EncoderSampleAt(double t) const {
  return std::llround((t - encoderStart_) * format_.wave.nSamplesPerSec) - encoder_->EncoderDelay();
}

PacketSink AudioTrackWriter::EncodedSink(std::string& error) {
  return [this, &error](const uint8_t* p, size_t n) {
    return Write(p, static_cast<uint32_t>(n), format_.ChunkSeconds(static_cast<uint32_t>(n)), error);
  };
}

bool AudioTrackWriter::BeginEncoded(const AudioStreamFormat* source, double start, double stop, double zero,
                                    std::string& error) {
  if (!encoder_) {
    encoder_ = std::make_unique<AudioTranscoder>();
    if (!encoder_->Open(nullptr, format_, error)) return false;
    encoderStart_ = time_;
  }
  encoding_ = true;
  if (!encoder_->ChangeSource(source ? &source_.wave : nullptr, EncodedSink(error), error)) return false;
  if (source) UseWholePackets(*encoder_);
  // Silence up to where the clip (or its audio, when that starts later) begins.
  endSample_ = std::max(EncoderSampleAt(stop), encoder_->SamplesQueued());
  const int64_t zeroSample = EncoderSampleAt(zero);
  const int64_t target = std::min(std::max(EncoderSampleAt(start), zeroSample), endSample_);
  const int64_t queued = encoder_->SamplesQueued();
  if (queued < target && !FeedEncoderSilence(target - queued, error)) return false;
  const int64_t now = encoder_->SamplesQueued();
  encoder_->SetSourceWindow(now - zeroSample, endSample_ - now);
  return true;
}

// In steps of a quarter of a second, so that a stop is seen in time.
bool AudioTrackWriter::FeedEncoderSilence(int64_t samples, std::string& error) {
  const int64_t step = std::max<int64_t>(format_.wave.nSamplesPerSec / 4, 1);
  for (int64_t done = 0; done < samples; done += step) {
    if (done > 0 && Stopped()) return true;
    if (!encoder_->FeedSilence(std::min(step, samples - done), EncodedSink(error), error)) return false;
  }
  return true;
}

bool AudioTrackWriter::FinishEncoder(double end, std::string& error) {
  if (!encoder_) return true;
  // The flush pads the last frame and adds the encoder's tail: frames that
  // would start nearer after the end than before it are left out.
  const bool ok = encoder_->Finish(
      [this, end, &error](const uint8_t* p, size_t n) {
        const double d = format_.ChunkSeconds(static_cast<uint32_t>(n));
        return time_ + d / 2 > end + 1e-9 || Write(p, static_cast<uint32_t>(n), d, error);
      },
      error);
  encoder_.reset();
  return ok;
}

bool AudioTrackWriter::PlaceCopied(const uint8_t* data, uint32_t size, std::string& error) {
  const double d = source_.ChunkSeconds(size);
  const double due = zero_ + sourceTime_;  // where this chunk belongs on the output
  sourceTime_ += d;
  if (format_.IsPcm()) {
    const uint32_t align = std::max<uint32_t>(format_.wave.nBlockAlign, 1);
    const int64_t dueSample = SampleAt(due);
    if (dueSample > samples_ && !FillTo(due, error)) return false;
    const uint64_t skipBytes = static_cast<uint64_t>(std::max<int64_t>(0, samples_ - dueSample)) * align;
    if (skipBytes >= size) return true;
    return WritePcm(data + skipBytes, size - skipBytes, error);
  }
  return PlaceCopiedFrame(data, size, d, due, error);
}

bool AudioTrackWriter::PlaceCopiedFrame(const uint8_t* data, uint32_t size, double d, double due,
                                        std::string& error) {
  const double behind = time_ - due;
  if (behind > d / 2) return true;  // this packet's time is already covered: dropped
  if (behind < -d / 2 && !FillTo(due, error)) return false;
  return OfferCoded(data, size, error);
}

bool AudioTrackWriter::TakeConverted(const uint8_t* data, size_t size, std::string& error) {
  return done_ || WritePcm(data, size, error);
}

bool AudioTrackWriter::PlaceSplitFrame(const uint8_t* data, size_t size, std::string& error) {
  if (done_) return true;
  const double d = format_.ChunkSeconds(static_cast<uint32_t>(size));
  const double due = zero_ + sourceTime_;
  sourceTime_ += d;
  return PlaceCopiedFrame(data, static_cast<uint32_t>(size), d, due, error);
}

bool AudioTrackWriter::Feed(const uint8_t* data, uint32_t size, std::string& error) {
  if (done_ || !hasSource_ || size == 0) return true;
  if (encoding_) return encoder_->Feed(data, size, EncodedSink(error), error);
  if (transcoder_) {
    return transcoder_->Feed(data, size, [this, &error](const uint8_t* p, size_t n) { return TakeConverted(p, n, error); },
                             error);
  }
  if (splitter_) {
    return splitter_->Feed(data, size, [this, &error](const uint8_t* p, size_t n) { return PlaceSplitFrame(p, n, error); },
                           error);
  }
  return PlaceCopied(data, size, error);
}

// The copy placement itself runs, with a sink that only looks: a chunk that
// would go out as the one write of its whole bytes is Unchanged, one that
// writes nothing is Dropped; anything else (a failure too, which Feed then
// reports) puts the state back: Changed.
AudioTrackWriter::Pass AudioTrackWriter::PassThrough(uint32_t size) {
  if (done_ || !hasSource_ || size == 0) return Pass::Dropped;
  if (transcoder_ || splitter_ || encoding_) return Pass::Changed;
  const double time = time_, sourceTime = sourceTime_;
  const int64_t samples = samples_;
  const size_t nextSilence = nextSilence_;
  const bool done = done_;
  // Never read: the bytes are told apart from silence by where they start.
  static const uint8_t kChunk = 0;
  int writes = 0;
  bool whole = true;
  ChunkSink real = std::exchange(sink_, [&](const uint8_t* data, uint32_t written) {
    whole = whole && data == &kChunk && written == size;
    ++writes;
    return true;
  });
  std::string ignored;
  const bool placed = PlaceCopied(&kChunk, size, ignored);
  sink_ = std::move(real);
  if (placed && writes == 0) return Pass::Dropped;
  if (placed && writes == 1 && whole) return Pass::Unchanged;
  time_ = time;
  sourceTime_ = sourceTime;
  samples_ = samples;
  nextSilence_ = nextSilence;
  done_ = done;
  return Pass::Changed;
}

void AudioTrackWriter::UseWholePackets(AudioTranscoder& decoder) const {
  if (source_.ByteTimed() || source_.dwRate == 0) return;
  const double samples = static_cast<double>(source_.dwScale) * source_.wave.nSamplesPerSec / source_.dwRate;
  if (samples >= 1 && samples <= 1 << 20) decoder.SetWholePackets(static_cast<int>(std::lround(samples)));
}

bool AudioTrackWriter::CountDamage(const AudioTranscoder& decoder, std::string& error) {
  damaged_ = decoder.DamagedPackets();
  if (damaged_ == 0 || decoder.DecodedPackets() > 0) return true;
  error = "none of its " + std::to_string(damaged_) + " audio packets can be decoded: " + decoder.FirstDamage();
  return false;
}

bool AudioTrackWriter::EndClip(std::string& error) {
  if (encoding_) {
    const bool had = hasSource_;
    encoding_ = false;
    hasSource_ = false;
    if (!encoder_->ChangeSource(nullptr, EncodedSink(error), error)) return false;
    if (had && !CountDamage(*encoder_, error)) return false;
    const int64_t queued = encoder_->SamplesQueued();
    return queued >= endSample_ || FeedEncoderSilence(endSample_ - queued, error);
  }
  if (transcoder_) {
    if (!transcoder_->Finish([this, &error](const uint8_t* p, size_t n) { return TakeConverted(p, n, error); }, error))
      return false;
    if (!CountDamage(*transcoder_, error)) return false;
  }
  if (splitter_ && !done_) {
    if (!splitter_->Finish([this, &error](const uint8_t* p, size_t n) { return PlaceSplitFrame(p, n, error); }, error))
      return false;
  }
  transcoder_.reset();
  splitter_.reset();
  hasSource_ = false;
  return FillTo(stop_, error);
}

bool AudioTrackWriter::EndTrack(std::string& error) { return FinishEncoder(stop_, error); }

}  // namespace media
