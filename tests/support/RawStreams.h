#pragma once
// Uncompressed streams for writer tests: 24-bit bottom-up RGB video and
// 16-bit stereo PCM, added to an AviWriter with headers a reader can check.
#include "avi/AviWriter.h"

namespace testsupport {

inline media::AviResult AddRawVideoAndPcm(media::AviWriter& writer, int32_t width, int32_t height, uint32_t stride,
                                          uint32_t scale, uint32_t rate, uint32_t sampleRate, int* video,
                                          int* audio) {
  using namespace media;
  BitmapInfoHeader bih;
  bih.biWidth = width;
  bih.biHeight = height;
  bih.biBitCount = 24;
  bih.biSizeImage = stride * static_cast<uint32_t>(height);
  AviStreamInfo v;
  v.fccType = streamtypeVIDEO;
  v.dwScale = scale;
  v.dwRate = rate;
  v.rcFrame = {0, 0, width, height};
  WaveFormatEx pcm;
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  pcm.nChannels = 2;
  pcm.nSamplesPerSec = sampleRate;
  pcm.nAvgBytesPerSec = sampleRate * 4;
  pcm.nBlockAlign = 4;
  pcm.wBitsPerSample = 16;
  AviStreamInfo a;
  a.fccType = streamtypeAUDIO;
  a.dwScale = 4;
  a.dwRate = sampleRate * 4;
  a.dwSampleSize = 4;
  AviResult result = writer.AddStream(v, bih.Serialize(), video);
  return result != AVIERR_OK ? result : writer.AddStream(a, pcm.Serialize(), audio);
}

}  // namespace testsupport
