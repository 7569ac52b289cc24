#include "convert/CodecList.h"

#include "media/VideoCompressor.h"

void EnumerateCodecs(CodecList& list) {
  list.clear();
  for (const media::CompressorInfo& info : media::AvailableCompressors())
    list.push_back(
        CodecEntry{QString::fromStdString(info.description).left(kCodecDescriptionMax), info.handler});
}
