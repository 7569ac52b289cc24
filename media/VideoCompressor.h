#pragma once
// The video compressors: libavcodec encoders fed 24-bit RGB through
// libswscale, each stored in AVI under its FOURCC handler. This is what the
// program lists, configures and writes through; settings are plain key/value
// text here and kept in the settings file by convert/.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "avi/AviTypes.h"

struct AVFrame;

namespace media {

class AviWriter;

// One setting a compressor declares. Values travel as text: a decimal number
// for Number, one of the choices for Choice.
struct CompressorSetting {
  enum class Kind { Number, Choice };
  std::string key;    // stored under this name: "quality", "keyint", "preset", ...
  std::string label;  // shown in the settings dialog
  Kind kind = Kind::Number;
  int minimum = 0;
  int maximum = 0;
  std::vector<std::string> choices;
  std::string defaultValue;
};

// Setting key -> value.
using CompressorSettings = std::map<std::string, std::string>;

struct CompressorInfo {
  FourCC handler = 0;       // 'strh' handler and the code the user's choice is remembered by
  FourCC compression = 0;   // 'strf' biCompression (0: uncompressed BI_RGB)
  std::string description;  // at most 127 characters
  std::string encoder;      // libavcodec encoder name; empty for uncompressed RGB
  std::string pixelFormat;  // what the encoder is fed
  bool evenSize = false;    // the encoder takes only even sizes: odd inputs lose their last row/column
  std::vector<CompressorSetting> settings;

  // "Has a configuration dialog".
  bool Configurable() const { return !settings.empty(); }
};

// Every compressor this build knows, in the listing order, usable here or not.
const std::vector<CompressorInfo>& KnownCompressors();

// The known compressors whose encoder really opens here (tried on a small
// frame), in the same order.
std::vector<CompressorInfo> AvailableCompressors();

// The known compressor with exactly this handler (case-sensitive), or null.
const CompressorInfo* FindCompressor(FourCC handler);

// Every declared setting with a valid value: values given (when valid) or the
// declared defaults. Keys the compressor does not declare are dropped.
CompressorSettings NormalizeSettings(const CompressorInfo& info, const CompressorSettings& values);

// "key=value key=value" in declaration order, after NormalizeSettings.
std::string SettingsText(const CompressorInfo& info, const CompressorSettings& values);

// The format a compressor writes: the 'strf' block's header and the codec
// data that follows it.
struct CompressedFormat {
  BitmapInfoHeader header;
  std::vector<uint8_t> extra;
  std::vector<uint8_t> FormatBlock() const;
};

// The frame size an encoder is opened at for a width x height input.
void CompressedSize(const CompressorInfo& info, int width, int height, int& outWidth, int& outHeight);

// ICLocate: the compressor with this handler when it accepts a width x height
// 24-bit RGB input (possibly by changing the size); null otherwise.
const CompressorInfo* LocateCompressor(FourCC handler, int width, int height);

// ICM_COMPRESS_GET_FORMAT: what the encoder really produces for a width x
// height RGB24 input with these settings. False, with the reason, when the
// encoder cannot be opened so.
bool GetCompressedFormat(const CompressorInfo& info, int width, int height,
                         const CompressorSettings& settings, CompressedFormat& format,
                         std::string* error = nullptr);

// A compressing stream over one video stream of our AviWriter: takes 24-bit
// bottom-up DIB frames (rows padded to 4 bytes), converts, encodes and appends
// one chunk per frame handed in, in order, with the key-frame flags. B-frames
// are off, so decode order is display order and the frame count stays exact.
class CompressedVideoStream {
 public:
  CompressedVideoStream();
  ~CompressedVideoStream();
  CompressedVideoStream(const CompressedVideoStream&) = delete;
  CompressedVideoStream& operator=(const CompressedVideoStream&) = delete;

  // AVIMakeCompressedStream: binds the compressor to a stream already added
  // to writer. AVIERR_NOCOMPRESSOR when no usable compressor has the handler.
  AviResult Make(AviWriter& writer, int stream, FourCC handler, const CompressorSettings& settings);

  // AVIStreamSetFormat: the frames handed in will be this 24-bit BI_RGB
  // format; opens the encoder and sets the stream's format to its output.
  AviResult SetFormat(const BitmapInfoHeader& input);

  // Adds a video stream (info with fccHandler := handler) and runs Make and
  // SetFormat for it.
  AviResult Open(AviWriter& writer, const AviStreamInfo& info, FourCC handler, const BitmapInfoHeader& input,
                 const CompressorSettings& settings);

  // AVIStreamWrite of one frame. length must cover the whole image.
  AviResult Write(const void* bits, uint32_t length);

  // One decoded picture of any pixel format and size, written as one frame:
  // converted straight into the encoder's format (no RGB round trip, so a
  // lossless compressor keeps the picture exactly when the formats agree)
  // and, when its size differs from the stream's, scaled to fit with its
  // aspect kept and black borders. SetFormat must have been called.
  AviResult WritePicture(const AVFrame* picture);

  // Drains the encoder so every frame handed in has its chunk. Later writes
  // are refused. Call before closing the writer.
  AviResult Finish();

  // Called after every chunk this stream appends (the writer interleaves by it).
  void SetChunkObserver(std::function<bool()> observer);

  int Stream() const;
  int64_t FramesIn() const;
  int64_t ChunksOut() const;
  const CompressedFormat& OutputFormat() const;
  const std::string& LastError() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace media
