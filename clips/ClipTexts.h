#pragma once
// The small texts that describe a clip (codec, frame rate, frame size, audio
// rate, running time) and the message shown when a clip cannot be opened.
#include <QString>

#include <cstdint>

#include "clips/AudioFormat.h"
#include "clips/StreamSummary.h"
#include "avi/AviTypes.h"

namespace media {
class AviReader;
}

// A double truncated toward zero into 32 unsigned bits; what cannot be
// represented (NaN, infinities from a zero rate, negatives) gives 0 and what
// is too large gives the largest value, rather than undefined behaviour.
uint32_t TruncToU32(double value);

// Whole seconds of a stream: tenths = trunc(10 x length / (rate / scale)) with
// the product kept in 32 bits, then tenths / 10.
uint32_t SummarySeconds(uint32_t length, uint32_t rate, uint32_t scale);

// A blank, then each printable byte of the code (ASCII 0x20 to 0x7E), lowest
// first; control characters and bytes past ASCII are left out.
QString HandlerText(uint32_t handler);
// ", %.2f Fps" of rate / scale.
QString FrameRateText(const StreamSummary& video);
// ", %d x %d" of the frame rectangle's width and height.
QString FrameSizeText(const StreamSummary& video);
// " %d Kbps" of the stream's real bit rate.
QString AudioRateText(const AudioFormat& audio);
// " %.2d:%.2d:%.2d" of hours (not limited to two digits), minutes, seconds.
QString TimeText(uint32_t seconds);

// "Unable to open file. " in the current language, the explanation, and the
// path on a line of its own. The explanation names what is wrong with the
// path itself (missing, a folder, not readable, not an AVI file) before it
// falls back on the error code's text, which has none for unknown codes.
QString OpenErrorText(media::AviResult code, const QString& path);
// The same, told from what the reader's failed open found: a file cut short
// is called damaged (not a disk error), an impossible header value a damaged
// header naming the field (not a lack of memory).
QString OpenErrorText(media::AviResult code, const QString& path, const media::AviReader& reader);
// Shows that text without an owner, caption "Error", MB_ICONERROR.
void ShowOpenError(media::AviResult code, const QString& path);
void ShowOpenErrorText(const QString& text);
