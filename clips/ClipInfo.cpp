#include "clips/ClipInfo.h"

#include <QFile>

#include <chrono>
#include <cmath>

#include "core/LanguageText.h"
#include "clips/ClipTexts.h"
#include "media/FirstPicture.h"
#include "media/MediaDetector.h"
#include "avi/SharedAviReaders.h"

namespace {

// How long the first and the last frame may take to decode.
constexpr std::chrono::milliseconds kFirstFrameLimit{2000};
constexpr std::chrono::milliseconds kLastFrameLimit{10000};

StreamSummary Summarise(const media::AviStreamInfo& info, bool withFrame) {
  StreamSummary s;
  s.handler = info.fccHandler;
  s.scale = info.dwScale;
  s.rate = info.dwRate;
  if (withFrame) s.frame = info.rcFrame;
  s.start = info.dwStart;
  s.length = info.dwLength;
  s.seconds = SummarySeconds(info.dwLength, info.dwRate, info.dwScale);
  return s;
}

}  // namespace

ClipInfo::~ClipInfo() { Close(); }

bool ClipInfo::Open(const QString& path) {
  if (open) Close();
  open = false;
  audio = StreamSummary{};
  video = StreamSummary{};
  audioFormat = AudioFormat{};
  openError_.clear();
  damageWarning_.clear();
  media::AviResult result = media::AVIERR_OK;
  file = media::SharedAviReaders::Open(QFile::encodeName(path).toStdString(), &result);
  if (!file) {
    // The reader that failed tells which field or how far the file goes; a
    // failure is rare enough to read it once more for that.
    media::AviReader failed;
    failed.Open(QFile::encodeName(path).toStdString());
    openError_ = OpenErrorText(result, path, failed);
    ShowOpenErrorText(openError_);
    return false;
  }
  streamCount = static_cast<uint32_t>(file->StreamCount());
  for (uint32_t i = 0; i < streamCount; ++i) {
    const media::AviStreamInfo& info = file->Stream(i).info;
    // A later stream of a kind replaces an earlier one.
    if (info.fccType == media::streamtypeVIDEO) {
      video = Summarise(info, true);
      videoIndex = static_cast<int>(i);
    } else if (info.fccType == media::streamtypeAUDIO) {
      audio = Summarise(info, false);
      audioFormat = InspectAudioFormat(file->Stream(i));
      audioIndex = static_cast<int>(i);
    }
  }
  if (file->CutShort() && videoIndex >= 0) {
    // The clip opens with what it holds; the user learns that it is less.
    const media::AviStream& stream = file->Stream(static_cast<size_t>(videoIndex));
    if (stream.chunks.size() < stream.info.dwLength)
      damageWarning_ =
          LanguageText(1038, QStringLiteral("This file is damaged: it ends early and holds %1 of the %2 "
                                            "frames its headers give. Only those can be joined:"))
              .arg(stream.chunks.size())
              .arg(stream.info.dwLength) +
          QLatin1Char('\r') + path;
  }
  open = true;
  return true;
}

void ClipInfo::Close() {
  file.reset();
  open = false;
  streamCount = 0;
  audioIndex = -1;
  videoIndex = -1;
}

uint32_t ClipInfo::DurationSeconds() const {
  return TruncToU32(static_cast<double>(video.length) / (static_cast<double>(video.rate) / video.scale));
}

void ClipInfo::Describe(QString& text) const {
  if (!open) return;
  const QString v = LanguageText(144, QStringLiteral("Video ")) + HandlerText(video.handler) + FrameRateText(video) +
                    FrameSizeText(video);
  // The audio by its real format; a clip without audio says so.
  const QString a = audioFormat.present ? LanguageText(145, QStringLiteral(". Audio ")) + AudioCodecText(audioFormat) +
                                              AudioRateText(audioFormat)
                                        : LanguageText(1010, QStringLiteral(". No audio"));
  text += v + a + QStringLiteral(", ");
}

ClipPicture ClipInfo::NewThumbnail() { return ClipPicture(kThumbnailSize.width(), kThumbnailSize.height()); }

QRect ClipInfo::FitCell(const media::AviRect& frame, const QSize& cell, const QSize& picture) {
  double width = static_cast<double>(frame.right) - frame.left;
  double height = static_cast<double>(frame.bottom) - frame.top;
  if (width <= 0 || height <= 0) {
    width = picture.width();
    height = picture.height();
  }
  int fittedWidth = cell.width(), fittedHeight = cell.height();
  if (width > 0 && height > 0) {
    const double aspect = width / height;
    if (static_cast<double>(cell.width()) / cell.height() != aspect) {
      const double h = std::trunc(cell.width() / aspect);
      if (h > cell.height())
        fittedWidth = static_cast<int>(std::trunc(cell.height() * aspect));
      else
        fittedHeight = static_cast<int>(h);
    }
  }
  int x = 0, y = 0;
  if (fittedHeight < cell.height())
    y = (cell.height() - fittedHeight) / 2;
  else if (fittedWidth < cell.width())
    x = (cell.width() - fittedWidth) / 2;
  return QRect(x, y, fittedWidth, fittedHeight);
}

bool ClipInfo::DrawThumbnail(ClipPicture& dc, const QSize& cell, const QString& path) {
  thumbnailError_.clear();
  thumbnailDecoderMissing_ = false;
  auto fail = [this](const QString& why) {
    thumbnailError_ = why;
    return false;
  };
  if (path.isEmpty()) return fail(QStringLiteral("No file"));
  if (dc.IsNull() || cell.isEmpty()) return fail(QStringLiteral("No picture to draw on"));

  media::MediaDetector detector;
  detector.SetPictureSizeHint(cell.width(), cell.height());  // nothing finer than the cell is shown
  if (!detector.Open(path.toStdString())) return fail(QString::fromStdString(detector.LastError()));
  const int stream = detector.FirstVideoStream();
  if (stream < 0) return fail(QStringLiteral("No video stream in ") + path);
  const int64_t duration = detector.Duration(stream);
  if (duration <= 0) return fail(QStringLiteral("No duration of the video of ") + path);

  media::Dib first;
  if (detector.GrabFrame(stream, 0, kFirstFrameLimit, first) != media::GrabResult::Ok) {
    thumbnailDecoderMissing_ = detector.DecoderMissing();
    return fail(QString::fromStdString(detector.LastError()));
  }
  const QRect target = FitCell(video.frame, cell, QSize(first.Width(), first.Height()));

  // The last frame never refuses a clip: past its time limit the latest frame
  // decoded stands in, and without any the first frame stays, as a grabber's
  // buffer would.
  media::Dib last;
  const media::GrabResult lastResult =
      detector.GrabFrame(stream, duration - 1, kLastFrameLimit, last, /*acceptPartial=*/true);
  if (lastResult == media::GrabResult::Failed) thumbnailError_ = QString::fromStdString(detector.LastError());

  dc.Stretch(first, target);
  dc.Stretch(lastResult == media::GrabResult::Failed ? first : last, target.translated(cell.width(), 0));
  return true;
}

bool ClipInfo::FirstFrameDecodes(const QString& path) {
  thumbnailError_.clear();
  thumbnailDecoderMissing_ = false;
  if (file && videoIndex >= 0 && media::FirstPictureDecodes(*file, static_cast<size_t>(videoIndex), kFirstFrameLimit))
    return true;
  media::MediaDetector detector;
  detector.SetPictureSizeHint(1, 1);
  detector.SetDecoderThreads(1);
  const int stream = detector.Open(path.toStdString()) ? detector.FirstVideoStream() : -1;
  media::Dib first;
  if (stream >= 0 && detector.Duration(stream) > 0 &&
      detector.GrabFrame(stream, 0, kFirstFrameLimit, first) == media::GrabResult::Ok)
    return true;
  thumbnailDecoderMissing_ = detector.DecoderMissing();
  thumbnailError_ = detector.LastError().empty() ? QStringLiteral("No video in ") + path
                                                 : QString::fromStdString(detector.LastError());
  return false;
}
