#pragma once
// The compressors' settings stay with each compressor: they are kept in the
// application's settings file, one group per handler, and are what the
// compressing stream is opened with.
#include <QString>

#include <cstdint>

#include "media/VideoCompressor.h"

class QSettings;

// The settings file: what SetCompressorSettingsFile set, else
// $SPLICORA_SETTINGS, else splicora.ini in the user's configuration folder
// for the application "Splicora".
QString CompressorSettingsFile();
// The application passes its own settings file; tests a temporary one.
void SetCompressorSettingsFile(const QString& path);

// The group a handler's settings live in, e.g. "Compressor-divx".
QString CompressorSettingsGroup(uint32_t handler);

// Every declared setting of the compressor: the stored value when valid, else
// its default. A handler without a known compressor gives no settings.
media::CompressorSettings LoadCompressorSettings(QSettings& settings, uint32_t handler);
void SaveCompressorSettings(QSettings& settings, uint32_t handler, const media::CompressorSettings& values);

// The same on CompressorSettingsFile(). Saving reports whether the file was written.
media::CompressorSettings LoadCompressorSettings(uint32_t handler);
bool SaveCompressorSettings(uint32_t handler, const media::CompressorSettings& values);
