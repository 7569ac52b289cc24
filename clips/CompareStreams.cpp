#include "clips/CompareStreams.h"

#include "clips/ClipTexts.h"
#include "core/LanguageText.h"

#include <QRegularExpression>

namespace {

QString CodecLine(const QString& reference, const QString& candidate) {
  return LanguageText(1011, QStringLiteral("\r Codec for 1st file - %1, new file - %2"))
      .arg(reference, candidate);
}

QString RateLine(uint32_t reference, uint32_t candidate) {
  return LanguageText(1012, QStringLiteral("\r Sample rate of 1st file - %1, new file - %2"))
      .arg(reference)
      .arg(candidate);
}

// Video streams differ in frames per second, shown as such (29.97, 25).
QString FrameRateLine(const StreamSummary& reference, const StreamSummary& candidate) {
  const auto fps = [](const StreamSummary& s) {
    return QString::number(static_cast<double>(s.rate) / static_cast<double>(s.scale), 'f', 2)
        .remove(QRegularExpression(QStringLiteral("\\.?0+$")));
  };
  return LanguageText(1100, QStringLiteral("\r Frame rate of 1st file - %1, new file - %2"))
      .arg(fps(reference), fps(candidate));
}

// The audio section's header: "\r" and text 145 without its first character.
QString AudioHeader() {
  return QLatin1Char('\r') + LanguageText(145, QStringLiteral(" Audio: ")).mid(1);
}

}  // namespace

bool CompareStreams(bool isVideo, const StreamSummary& reference, const StreamSummary& candidate,
                    QString& report) {
  bool result = true;
  const qsizetype headerAt = report.size();
  report += isVideo ? LanguageText(144, QStringLiteral("\r Video: ")) : AudioHeader();

  if (reference.handler != candidate.handler) {
    const QString referenceText = HandlerText(reference.handler).toUpper();
    const QString candidateText = HandlerText(candidate.handler).toUpper();
    if (referenceText != candidateText) {
      report += CodecLine(referenceText, candidateText);
      result = false;
    }
  }

  if (reference.scale != 0 && candidate.scale != 0 &&
      candidate.rate / candidate.scale != reference.rate / reference.scale) {
    report += isVideo ? FrameRateLine(reference, candidate) : RateLine(reference.rate, candidate.rate);
    result = false;
  }

  if (isVideo && reference.frame != candidate.frame) {
    report += LanguageText(1013, QStringLiteral("\r Dimensions of 1st file %1 x %2, new file %3 x %4"))
                  .arg(reference.frame.right)
                  .arg(reference.frame.bottom)
                  .arg(candidate.frame.right)
                  .arg(candidate.frame.bottom);
    result = false;
  }

  // A heading shows only above lines of its own: a matching part leaves no trace.
  if (result) report.truncate(headerAt);
  return result;
}

bool CompareAudio(const AudioFormat& reference, const AudioFormat& candidate, QString& report) {
  if (!reference.present && !candidate.present) return true;
  const qsizetype headerAt = report.size();
  report += AudioHeader();
  if (!candidate.present) {
    report += LanguageText(1015, QStringLiteral("\r The new file has no audio"));
    return false;
  }
  if (!reference.present) {
    report += LanguageText(1016, QStringLiteral("\r The 1st file has no audio, the new file has"));
    return false;
  }
  bool result = true;
  const QString referenceCodec = AudioCodecText(reference).toUpper();
  const QString candidateCodec = AudioCodecText(candidate).toUpper();
  if (referenceCodec != candidateCodec) {
    report += CodecLine(referenceCodec, candidateCodec);
    result = false;
  }
  if (reference.sampleRate != candidate.sampleRate) {
    report += RateLine(reference.sampleRate, candidate.sampleRate);
    result = false;
  }
  if (reference.channels != candidate.channels) {
    report += LanguageText(1014, QStringLiteral("\r Channels of 1st file - %1, new file - %2"))
                  .arg(reference.channels)
                  .arg(candidate.channels);
    result = false;
  }
  if (result) report.truncate(headerAt);
  return result;
}
