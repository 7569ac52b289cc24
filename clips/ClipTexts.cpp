#include "clips/ClipTexts.h"

#include <cmath>
#include <limits>

#include "core/LanguageText.h"
#include "core/MessageBox.h"

uint32_t TruncToU32(double value) {
  if (!std::isfinite(value) || value < 0) return 0;
  if (value >= 4294967296.0) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(value);
}

uint32_t SummarySeconds(uint32_t length, uint32_t rate, uint32_t scale) {
  const uint32_t tenLengths = 10u * length;  // kept in 32 bits, as the stream tools did
  const uint32_t tenths = TruncToU32(static_cast<double>(tenLengths) / (static_cast<double>(rate) / scale));
  return tenths / 10;
}

QString HandlerText(uint32_t handler) {
  QString text(QLatin1Char(' '));
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<int8_t>((handler >> (8 * i)) & 0xFF);
    if (byte != 0) text += QChar(static_cast<char16_t>(static_cast<int16_t>(byte)));
  }
  return text;
}

QString FrameRateText(const StreamSummary& video) {
  return QString::asprintf(", %.2f Fps", static_cast<double>(video.rate) / static_cast<double>(video.scale));
}

QString FrameSizeText(const StreamSummary& video) {
  // Differences of two 32-bit edges wrap rather than overflow.
  const auto width = static_cast<int32_t>(static_cast<uint32_t>(video.frame.right) - static_cast<uint32_t>(video.frame.left));
  const auto height = static_cast<int32_t>(static_cast<uint32_t>(video.frame.bottom) - static_cast<uint32_t>(video.frame.top));
  return QString::asprintf(", %d x %d", width, height);
}

QString AudioRateText(const StreamSummary& audio) {
  const uint32_t perSecond = TruncToU32(static_cast<double>(audio.rate) / static_cast<double>(audio.scale));
  uint32_t k = perSecond / 100;
  if (k == 0) k = audio.rate / 100;
  return QString::asprintf(" %d Kbps", static_cast<int>(k));
}

QString TimeText(uint32_t seconds) {
  return QString::asprintf(" %.2u:%.2u:%.2u", seconds / 3600, (seconds / 60) % 60, seconds % 60);
}

QString OpenErrorText(media::AviResult code, const QString& path) {
  QString text = LanguageText(156, QStringLiteral("Unable to open file. "));
  switch (code) {
    case media::REGDB_E_CLASSNOTREG:
      text += LanguageText(155, QStringLiteral("\rAccording to the registry, the type of file \rspecified in AVI "
                                               "does not have a handler to process it."));
      break;
    case media::AVIERR_BADFORMAT:
      text += LanguageText(
          152, QStringLiteral("\rThe file couldn't be read, indicating a corrupt file or an unrecognized format."));
      break;
    case media::AVIERR_MEMORY:
      text += LanguageText(153, QStringLiteral("\rThe file could not be opened because of insufficient memory."));
      break;
    case media::AVIERR_FILEREAD:
      text += LanguageText(154, QStringLiteral("\rA disk error occurred while reading the file."));
      break;
    case media::AVIERR_FILEOPEN:
      text += LanguageText(154, QStringLiteral("\rA disk error occurred while opening the file."));
      break;
    default:
      break;
  }
  return text + path;
}

void ShowOpenError(media::AviResult code, const QString& path) {
  // The same caption in both languages, and no owner window.
  ShowMessageBox(nullptr, OpenErrorText(code, path), QStringLiteral("Error"), MB_ICONERROR);
}
