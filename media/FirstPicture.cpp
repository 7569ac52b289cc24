#include "media/FirstPicture.h"

#include <vector>

#include "avi/AviReader.h"
#include "media/FfmpegUtil.h"

namespace media {

namespace {

AVCodecID DecoderFor(FourCC compression) {
  switch (VideoCodecOf(compression)) {
    case VideoCodec::Mpeg4Part2: return AV_CODEC_ID_MPEG4;
    case VideoCodec::MsMpeg4V2: return AV_CODEC_ID_MSMPEG4V2;
    case VideoCodec::MsMpeg4V3: return AV_CODEC_ID_MSMPEG4V3;
    case VideoCodec::Mjpeg: return AV_CODEC_ID_MJPEG;
    case VideoCodec::H264: return AV_CODEC_ID_H264;
    case VideoCodec::Ffv1: return AV_CODEC_ID_FFV1;
    case VideoCodec::HuffYuv: return AV_CODEC_ID_HUFFYUV;
    case VideoCodec::FfvHuff: return AV_CODEC_ID_FFVHUFF;
    case VideoCodec::Other: break;
  }
  return AV_CODEC_ID_NONE;
}

CodecContextPtr OpenDecoder(const AviStream& stream) {
  BitmapInfoHeader header;
  if (!BitmapInfoHeader::Parse(stream.format, header)) return {};
  const AVCodecID id = DecoderFor(header.biCompression);
  const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
  if (!codec) return {};
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return {};
  context->codec_tag = header.biCompression;
  context->width = header.biWidth;
  context->height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
  context->bits_per_coded_sample = header.biBitCount;
  // Whatever follows the 40 bytes is the codec's own (VOL headers, Huffman tables, ...).
  if (stream.format.size() > 40) {
    const size_t size = stream.format.size() - 40;
    context->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context->extradata) return {};
    std::copy(stream.format.begin() + 40, stream.format.end(), context->extradata);
    context->extradata_size = static_cast<int>(size);
  }
  context->thread_count = 1;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return {};
  return context;
}

}  // namespace

bool FirstPictureDecodes(const AviReader& file, size_t stream, std::chrono::milliseconds limit) {
  if (stream >= file.StreamCount()) return false;
  const AviStream& video = file.Stream(stream);
  if (video.info.fccType != streamtypeVIDEO || video.info.dwLength == 0) return false;
  CodecContextPtr decoder = OpenDecoder(video);
  PacketPtr packet(av_packet_alloc());
  FramePtr picture(av_frame_alloc());
  if (!decoder || !packet || !picture) return false;

  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto pictureOut = [&] { return avcodec_receive_frame(decoder.get(), picture.get()) == 0; };
  std::vector<uint8_t> data;
  for (const AviChunk& chunk : video.chunks) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (chunk.size == 0) continue;
    if (!file.ReadChunk(chunk, data) || av_new_packet(packet.get(), static_cast<int>(data.size())) < 0) return false;
    std::copy(data.begin(), data.end(), packet->data);
    const int sent = avcodec_send_packet(decoder.get(), packet.get());
    av_packet_unref(packet.get());
    if (pictureOut()) return true;
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) return false;
  }
  avcodec_send_packet(decoder.get(), nullptr);
  return pictureOut();
}

}  // namespace media
