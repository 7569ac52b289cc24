#include "clips/CompareStreams.h"

#include "core/LanguageText.h"
#include "clips/ClipTexts.h"

bool CompareStreams(bool isVideo, const StreamSummary& reference, const StreamSummary& candidate, QString& report) {
  bool result = true;
  const qsizetype headerAt = report.size();
  if (isVideo) {
    report += LanguageText(144, QStringLiteral("\r Video: "));
  } else {
    report += QLatin1Char('\r');
    report += LanguageText(145, QStringLiteral(" Audio: ")).mid(1);
  }

  if (reference.handler != candidate.handler) {
    const QString referenceText = HandlerText(reference.handler).toUpper();
    const QString candidateText = HandlerText(candidate.handler).toUpper();
    if (referenceText != candidateText) {
      report += QStringLiteral("\r Codec for 1st file - %1, new file - %2").arg(referenceText, candidateText);
      result = false;
    }
  }

  if (reference.scale != 0 && candidate.scale != 0 &&
      candidate.rate / candidate.scale != reference.rate / reference.scale) {
    report += QString::asprintf("\r Samples rate of 1st file - %d, new file - %d", static_cast<int>(reference.rate),
                                static_cast<int>(candidate.rate));
    result = false;
  }

  if (isVideo && reference.frame != candidate.frame) {
    report += QString::asprintf("\r Dimentions of 1-st file %d x %d, new file %d x %d", reference.frame.right,
                                reference.frame.bottom, candidate.frame.right, candidate.frame.bottom);
    result = false;
  }

  // A matching audio part leaves no trace; the video header always stays.
  if (!isVideo && result) report.truncate(headerAt);
  return result;
}
