#pragma once
// The audio of a clip as its format block and its data say: codec, sample
// rate, channels and real bit rate. Stream-header timing fields (dwRate,
// dwScale) are no sample rate, and nAvgBytesPerSec is wrong in files of
// several writers, so the texts and the format check use this instead.
#include <QString>

#include <cstdint>

#include "avi/AviReader.h"

struct AudioFormat {
  bool present = false;        // the clip has an audio stream
  uint16_t formatTag = 0;      // wFormatTag (the sub-format's tag for WAVE_FORMAT_EXTENSIBLE)
  uint16_t channels = 0;       // nChannels
  uint32_t sampleRate = 0;     // nSamplesPerSec
  uint32_t bitsPerSecond = 0;  // what the stream really carries (see InspectAudioFormat)
  uint32_t handler = 0;        // fccHandler, shown only when the tag has no name
};

// The format of an audio stream. The bit rate: PCM from its sample rate and
// block size; other codecs from the stream header's byte rate (dwRate / dwScale
// x dwSampleSize) or, for packet-based streams (dwSampleSize 0, MP3 VBR among
// them), from the average size of the non-empty chunks; nAvgBytesPerSec only
// when neither gives a figure.
AudioFormat InspectAudioFormat(const media::AviStream& stream);

// "PCM", "MP3", "AC-3", "ADPCM IMA", ... for a wFormatTag; empty when unknown.
QString AudioFormatName(uint16_t formatTag);

// A blank, then the codec's name: the format's name, else the printable
// characters of the handler, else the tag in hexadecimal.
QString AudioCodecText(const AudioFormat& audio);

// Kilobits per second, rounded.
uint32_t AudioKbps(const AudioFormat& audio);
