#pragma once
// One audio stream of a joined file, clip after clip, each clip's audio held
// to its own place on the output: it starts where the clip's video starts, is
// cut where that video ends, and is filled with silence where it is shorter,
// late or missing. Audio of another format than the output stream's is
// decoded and re-encoded on the way; audio of the same real format is copied
// (coded frames re-chunked when the output's header counts one frame a chunk).
// Used by the direct join and by the conversion alike.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/AudioTranscoder.h"

namespace media {

class AviReader;

// The format and timing of one audio stream of a file. Where its headers
// disagree on the byte rate, the first chunks are decoded to settle it.
bool ReadAudioFormat(const AviReader& reader, size_t stream, AudioStreamFormat& format, std::string& error);

// An MP3 output stream (out, its header info and format block) that will
// hold the frames of these sources: kept when they are all frames of its one
// bit rate; otherwise made the header that counts frames (VBR style), whose
// fields the first one's rate and channels give. True when it was changed.
bool SettleMp3Output(const std::vector<const AudioStreamFormat*>& sources, AudioStreamFormat& out,
                     AviStreamInfo& info, std::vector<uint8_t>& format);

class AudioTrackWriter {
 public:
  // Appends one chunk of the output stream; false when the write failed.
  using ChunkSink = std::function<bool(const uint8_t* data, uint32_t size)>;

  AudioTrackWriter(const AudioStreamFormat& output, ChunkSink sink);
  ~AudioTrackWriter();
  AudioTrackWriter(const AudioTrackWriter&) = delete;
  AudioTrackWriter& operator=(const AudioTrackWriter&) = delete;

  // Prepares the silent frames a coded output needs. False, with the reason,
  // when none can be encoded here (a coded output can then not fill gaps).
  bool PrepareSilence(std::string& error);
  bool CanMakeSilence() const;
  // Silent frames made beforehand (MakeSilentPackets); without them a coded
  // output encodes its silence when a gap first needs it.
  void UseSilence(std::vector<std::vector<uint8_t>> packets) { silence_ = std::move(packets); }
  // Asked between the steps of a fill (a quarter of a second of audio each):
  // true ends the fill early, with success; the caller sees its own stop.
  void SetStopCheck(std::function<bool()> stopped) { stopped_ = std::move(stopped); }

  // Starts a clip whose place on the output is [start, stop) seconds; source
  // time 0 of its audio lies at output time zero. source null: the clip has
  // no audio and gets silence. False, with the reason, when the source's audio
  // cannot be brought into the output's format.
  bool BeginClip(const AudioStreamFormat* source, double start, double stop, double zero, std::string& error);
  // One chunk of the clip's source stream, in stream order.
  bool Feed(const uint8_t* data, uint32_t size, std::string& error);
  // What Feed would make of a chunk, told without its data.
  enum class Pass {
    Unchanged,  // written as it is, as one chunk, and nothing else
    Dropped,    // nothing written (cut at the clip's end, or time already covered)
    Changed,    // anything else: cut, behind silence, re-encoded, re-chunked
  };
  // For a chunk of size bytes that goes out Unchanged or Dropped, takes it as
  // fed (the caller writes it as it is, or leaves it out) and says which;
  // Changed leaves everything as it was, and the chunk must go through Feed.
  Pass PassThrough(uint32_t size);
  // Drains the clip's decoder and fills silence up to the clip's end.
  bool EndClip(std::string& error);
  // After the last clip: flushes what an encoder still holds.
  bool EndTrack(std::string& error);

  // Of the clip ended last: its packets that did not decode, each replaced by
  // silence of its length. EndClip fails when none of them decoded.
  int64_t DamagedPackets() const { return damaged_; }

  // The clip's audio is decoded and re-encoded (not copied).
  bool Transcoding() const { return transcoder_ != nullptr || (encoding_ && hasSource_); }
  // Output time written so far, seconds.
  double Time() const;
  const AudioStreamFormat& Format() const { return format_; }

 private:
  bool Write(const uint8_t* data, uint32_t size, double seconds, std::string& error);
  bool WritePcm(const uint8_t* data, size_t size, std::string& error);
  bool OfferCoded(const uint8_t* data, uint32_t size, std::string& error);
  bool PlaceCopied(const uint8_t* data, uint32_t size, std::string& error);
  bool PlaceCopiedFrame(const uint8_t* data, uint32_t size, double seconds, double due, std::string& error);
  bool PlaceSplitFrame(const uint8_t* data, size_t size, std::string& error);
  // PCM from the clip's converter.
  bool TakeConverted(const uint8_t* data, size_t size, std::string& error);
  bool FillTo(double t, std::string& error);
  bool FeedEncoderSilence(int64_t samples, std::string& error);
  bool Stopped() const { return stopped_ && stopped_(); }
  int64_t SampleAt(double t) const;
  // Coded output: one encoder runs across consecutive re-encoded and silent
  // clips, so the stream stays continuous (no encoder start-up or flush
  // padding at every clip boundary) and is placed by the samples fed to it.
  bool BeginEncoded(const AudioStreamFormat* source, double start, double stop, double zero, std::string& error);
  bool FinishEncoder(double end, std::string& error);
  int64_t EncoderSampleAt(double t) const;
  PacketSink EncodedSink(std::string& error);
  // Chunks that each hold whole packets go to the decoder as they are.
  void UseWholePackets(AudioTranscoder& decoder) const;
  bool CountDamage(const AudioTranscoder& decoder, std::string& error);

  AudioStreamFormat format_;
  ChunkSink sink_;
  double time_ = 0;      // coded output
  int64_t samples_ = 0;  // PCM output
  std::vector<std::vector<uint8_t>> silence_;
  size_t nextSilence_ = 0;
  bool silenceTried_ = false;  // silence is encoded once, when first needed
  std::vector<uint8_t> zeros_;
  std::function<bool()> stopped_;

  // The clip being written.
  AudioStreamFormat source_;
  bool hasSource_ = false;
  double stop_ = 0, zero_ = 0;
  double sourceTime_ = 0;  // running time within the source stream
  bool done_ = false;      // the clip's place is full
  std::unique_ptr<AudioTranscoder> transcoder_;
  std::unique_ptr<AudioFrameSplitter> splitter_;  // copied frames, one a chunk
  std::unique_ptr<AudioTranscoder> encoder_;      // coded output: the running encoder
  double encoderStart_ = 0;                       // output time of its first packet
  bool encoding_ = false;                         // the clip goes through encoder_
  int64_t endSample_ = 0;                         // the clip's end in encoder samples
  int64_t damaged_ = 0;
};

}  // namespace media
