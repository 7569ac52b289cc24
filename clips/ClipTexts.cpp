#include "clips/ClipTexts.h"

#include <QFile>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "avi/AviReader.h"
#include "media/RegularFile.h"

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
    // Control characters and bytes past ASCII (several writers put 0x00000001
    // in an audio handler) would show as boxes: only printable ones are kept.
    const auto byte = static_cast<uint8_t>((handler >> (8 * i)) & 0xFF);
    if (byte >= 0x20 && byte <= 0x7E) text += QLatin1Char(static_cast<char>(byte));
  }
  return text;
}

QString FrameRateText(const StreamSummary& video) {
  return QString::asprintf(", %.2f ", static_cast<double>(video.rate) / static_cast<double>(video.scale)) +
         LanguageText(1101, QStringLiteral("Fps"));
}

QString FrameSizeText(const StreamSummary& video) {
  // Differences of two 32-bit edges wrap rather than overflow.
  const auto width = static_cast<int32_t>(static_cast<uint32_t>(video.frame.right) - static_cast<uint32_t>(video.frame.left));
  const auto height = static_cast<int32_t>(static_cast<uint32_t>(video.frame.bottom) - static_cast<uint32_t>(video.frame.top));
  return QString::asprintf(", %d x %d", width, height);
}

QString AudioRateText(const AudioFormat& audio) {
  return QString::asprintf(" %u ", AudioKbps(audio)) + LanguageText(1102, QStringLiteral("Kbps"));
}

QString TimeText(uint32_t seconds) {
  return QString::asprintf(" %.2u:%.2u:%.2u", seconds / 3600, (seconds / 60) % 60, seconds % 60);
}

namespace {

// What is wrong with the path itself, or an empty text when it looks like a
// readable file. Opened without waiting, so a FIFO or a device is told apart
// and never read.
QString PathExplanation(media::AviResult code, const QString& path) {
  const media::OpenedFile opened = media::OpenRegularFile(QFile::encodeName(path).toStdString(), O_RDONLY);
  switch (opened.kind) {
    case media::PathKind::Missing:
      return LanguageText(1001, QStringLiteral("\rThe file does not exist."));
    case media::PathKind::Folder:
      return LanguageText(1002, QStringLiteral("\rThis is a folder, not a file."));
    case media::PathKind::NotRegular:
      return LanguageText(1030, QStringLiteral("\rThis is not a regular file (a pipe, a device or a socket), "
                                               "so it cannot be a clip."));
    case media::PathKind::NoPermission:
      // Opening tells what the permission bits, ACLs and capabilities decide together.
      return LanguageText(1003, QStringLiteral("\rYou have no permission to read this file."));
    case media::PathKind::OtherError:
      return QString();
    case media::PathKind::Regular:
      break;
  }
  char head[12] = {};
  const ssize_t got = ::read(opened.fd, head, sizeof head);
  ::close(opened.fd);
  const bool riff = got == 12 && (std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RF64", 4) == 0) &&
                    std::memcmp(head + 8, "AVI", 3) == 0;
  if (!riff && (code == media::AVIERR_BADFORMAT || code == media::AVIERR_FILEREAD))
    return LanguageText(1004, QStringLiteral("\rThis is not an AVI file."));
  return QString();
}

// The header field the reader found impossible, in words.
QString FieldText(const std::string& field) {
  if (field == "dwStreams") return LanguageText(1035, QStringLiteral("the stream count (dwStreams)"));
  if (field == "hdrl") return LanguageText(1036, QStringLiteral("the size of the header list (hdrl)"));
  if (field == "indx" || field == "idx1")
    return LanguageText(1037, QStringLiteral("the entry count of the index (%1)"))
        .arg(QString::fromStdString(field));
  return QString::fromStdString(field);
}

// What the reader found wrong inside the file, where the code alone would
// mislead: a file cut short is not a disk error, and an impossible header
// value is not a lack of memory.
QString ContentExplanation(const media::AviReader& reader) {
  if (reader.CutShort())
    return LanguageText(
        1033, QStringLiteral("\rThe file is damaged: it ends early, before the end its headers give."));
  if (!reader.LastBadField().empty())
    return LanguageText(1034, QStringLiteral("\rThe file's header is damaged: %1 holds an impossible value."))
        .arg(FieldText(reader.LastBadField()));
  return QString();
}

QString CodeExplanation(media::AviResult code) {
  switch (code) {
    case media::REGDB_E_CLASSNOTREG:
      return LanguageText(155, QStringLiteral("\rAccording to the registry, the type of file \rspecified in AVI "
                                              "does not have a handler to process it."));
    case media::AVIERR_BADFORMAT:
      return LanguageText(
          152, QStringLiteral("\rThe file couldn't be read, indicating a corrupt file or an unrecognized format."));
    case media::AVIERR_MEMORY:
      return LanguageText(153, QStringLiteral("\rThe file could not be opened because of insufficient memory."));
    case media::AVIERR_FILEREAD:
      return LanguageText(154, QStringLiteral("\rA disk error occurred while reading the file."));
    case media::AVIERR_FILEOPEN:
      return LanguageText(154, QStringLiteral("\rA disk error occurred while opening the file."));
    default:
      return QString();
  }
}

}  // namespace

QString OpenErrorText(media::AviResult code, const QString& path) {
  QString explanation = PathExplanation(code, path);
  if (explanation.isEmpty()) explanation = CodeExplanation(code);
  return LanguageText(156, QStringLiteral("Unable to open file. ")) + explanation + QLatin1Char('\r') + path;
}

QString OpenErrorText(media::AviResult code, const QString& path, const media::AviReader& reader) {
  QString explanation = PathExplanation(code, path);
  if (explanation.isEmpty()) explanation = ContentExplanation(reader);
  if (explanation.isEmpty()) explanation = CodeExplanation(code);
  return LanguageText(156, QStringLiteral("Unable to open file. ")) + explanation + QLatin1Char('\r') + path;
}

void ShowOpenError(media::AviResult code, const QString& path) { ShowOpenErrorText(OpenErrorText(code, path)); }

void ShowOpenErrorText(const QString& text) {
  // "Error" in the interface language, and no owner window.
  ShowMessageBox(nullptr, text, LanguageText(1103, QStringLiteral("Error")), MB_ICONERROR);
}
