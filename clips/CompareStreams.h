#pragma once
// The format check of a clip against the first clip of the list.
#include <QString>

#include "clips/AudioFormat.h"
#include "clips/StreamSummary.h"

// Compares the video (isVideo) or audio summary of a candidate clip with the
// reference and appends a line to report for every difference: codec (letter
// case ignored), whole rate (when both scales are non-zero), and for video the
// frame rectangle. An audio part that matches leaves the report as it was.
// True when nothing differs. Shows nothing.
bool CompareStreams(bool isVideo, const StreamSummary& reference, const StreamSummary& candidate,
                    QString& report);

// The audio part of the check by the real format: a missing audio stream on
// either side, the codec, the sample rate and the channels, each named by its
// real value. Same header and no trace when nothing differs.
bool CompareAudio(const AudioFormat& reference, const AudioFormat& candidate, QString& report);
