#pragma once
// The inspection of one file while it is added to the clip list: its video
// and audio summaries, its duration, its description, and a thumbnail of its
// first and last frames. Lives only while that one file is added.
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

#include "clips/AudioFormat.h"
#include "clips/ClipPicture.h"
#include "clips/StreamSummary.h"
#include "avi/AviReader.h"

class ClipInfo {
 public:
  ClipInfo() = default;
  virtual ~ClipInfo();
  ClipInfo(const ClipInfo&) = delete;
  ClipInfo& operator=(const ClipInfo&) = delete;

  // Reads the file's headers. On an open failure shows the open-error message
  // and returns false. Every stream is read, however many there are; the
  // summaries describe the last video and the last audio stream, and a kind
  // the file lacks stays zeroed.
  bool Open(const QString& path);
  void Close();
  // The open-error message of the last failed Open; empty after a good one.
  const QString& OpenError() const { return openError_; }
  // After a good Open of a file cut short: that it ends early and how many of
  // its frames it holds, naming the file; empty for a whole file.
  const QString& DamageWarning() const { return damageWarning_; }

  // trunc(video.length / (video.rate / video.scale)); 0 when that is undefined.
  uint32_t DurationSeconds() const;
  // Appends the description of the clip (codec, rate, size, audio) to text;
  // does nothing when not open.
  void Describe(QString& text) const;
  // Draws the first frame fitted into the left cell of dc and the last frame
  // into the cell to its right (cell is half of dc's width). False when there
  // is no path, no video stream, no decoder or no first frame in time.
  bool DrawThumbnail(ClipPicture& dc, const QSize& cell, const QString& path);
  // What the thumbnail proves, without one: the first frame decodes (at the
  // smallest size the decoder offers; no last-frame seek). The same failures
  // as DrawThumbnail's first frame.
  bool FirstFrameDecodes(const QString& path);
  // Why the last DrawThumbnail failed (the decoder's words), for logs and the command line.
  const QString& ThumbnailError() const { return thumbnailError_; }
  // The thumbnail failed because no decoder exists here for the video's codec.
  bool ThumbnailDecoderMissing() const { return thumbnailDecoderMissing_; }

  uint32_t StreamCount() const { return streamCount; }
  // The file as read by the last good Open.
  const media::AviReader& Reader() const { return *file; }
  // The video stream's format block as stored; empty without video.
  std::vector<uint8_t> VideoFormat() const {
    return open && videoIndex >= 0 ? file->Stream(static_cast<size_t>(videoIndex)).format : std::vector<uint8_t>{};
  }

  // A 256 x 96 picture for DrawThumbnail, black as a fresh bitmap is: the
  // margins of a picture that does not fill its cell stay black.
  static ClipPicture NewThumbnail();
  static constexpr QSize kThumbnailSize{256, 96};
  static constexpr QSize kThumbnailCell{128, 96};

  // The rectangle the picture takes in a cell: the frame's aspect kept, the
  // cell filled in one direction and the picture centred in the other. A
  // frame rectangle without area uses the decoded picture's size instead.
  static QRect FitCell(const media::AviRect& frame, const QSize& cell, const QSize& picture);

  StreamSummary audio;
  StreamSummary video;
  AudioFormat audioFormat;  // of the same stream as audio; not present when the file has none
  bool open = false;
  int audioIndex = -1;
  int videoIndex = -1;

 private:
  std::shared_ptr<const media::AviReader> file;  // shared with the rest of a run where that is on
  uint32_t streamCount = 0;
  QString thumbnailError_;
  bool thumbnailDecoderMissing_ = false;
  QString openError_;
  QString damageWarning_;
};
