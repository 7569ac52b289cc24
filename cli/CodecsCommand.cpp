// splicora-cli codecs [--check W H]: the compressor list in the order the
// save dialog shows it, with each compressor's current settings, and on
// request whether it takes a W x H RGB24 input and what size it makes of it.
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <cstdio>

#include "cli/Commands.h"
#include "convert/CodecList.h"
#include "convert/CompressorSettingsStore.h"
#include "media/VideoCompressor.h"

namespace {

// The four characters of a handler, blanks kept.
QString FourCharacters(uint32_t handler) {
  QString text;
  for (int i = 0; i < 4; ++i) text += QChar(static_cast<char16_t>((handler >> (8 * i)) & 0xFF));
  return text;
}

bool ParseSize(const QString& text, int& value) {
  bool ok = false;
  value = text.toInt(&ok);
  return ok && value > 0 && value <= 65536;
}

int RunCodecs(const QStringList& args) {
  bool check = false;
  int width = 0;
  int height = 0;
  if (!args.isEmpty()) {
    if (args.size() != 3 || args[0] != QStringLiteral("--check") || !ParseSize(args[1], width) ||
        !ParseSize(args[2], height)) {
      std::fprintf(stderr, "usage: splicora-cli codecs [--check WIDTH HEIGHT] (sizes 1 to 65536)\n");
      return 2;
    }
    check = true;
  }

  CodecList codecs;
  EnumerateCodecs(codecs);
  QTextStream out(stdout);
  for (const CodecEntry& entry : codecs) {
    const media::CompressorInfo* info = media::FindCompressor(entry.handler);
    const media::CompressorSettings values = LoadCompressorSettings(entry.handler);
    out << FourCharacters(entry.handler) << '\t' << entry.description << '\t'
        << QString::fromStdString(info ? media::SettingsText(*info, values) : std::string());
    if (check) {
      const QString size = QStringLiteral("%1x%2").arg(width).arg(height);
      media::CompressedFormat format;
      if (info && media::LocateCompressor(entry.handler, width, height) &&
          media::GetCompressedFormat(*info, width, height, values, format))
        out << "\taccepts " << size << ", produces " << format.header.biWidth << 'x'
            << format.header.biHeight;
      else
        out << "\trefuses " << size;
    }
    out << '\n';
  }
  out.flush();
  return 0;
}

const CommandRegistration registration("codecs", "codecs [--check WIDTH HEIGHT]", RunCodecs);

}  // namespace
