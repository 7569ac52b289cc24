#pragma once
// Whether FFmpeg's own log lines (decoder warnings, demuxer notes) reach stderr.
namespace media {

// Off: FFmpeg logs nothing; on: its warnings and notes as FFmpeg prints them.
void SetFfmpegLogging(bool on);

}  // namespace media
