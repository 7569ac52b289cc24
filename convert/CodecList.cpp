#include "convert/CodecList.h"

#include "media/VideoCompressor.h"

void EnumerateCodecs(CodecList& list) {
  list.clear();
  for (const media::CompressorInfo& info : media::AvailableCompressors())
    list.push_back(CodecEntry{QString::fromStdString(info.description).left(kCodecDescriptionMax), info.handler});
}

QString HandlerText(uint32_t handler) {
  QString text;
  for (int i = 0; i < 4; ++i) text += QChar(static_cast<char16_t>((handler >> (8 * i)) & 0xFF));
  return text;
}
