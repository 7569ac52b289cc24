// splicora-cli info [--json] [--thumbnails DIR] FILE...: inspects each file as
// adding it to the clip list does (headers, duration, description, thumbnail)
// and compares every later file with the first one that opened, as the list
// compares every clip with its first. Open errors are the messages the window
// would show: on stderr, and in JSON also in the file's "error".
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cstdio>
#include <optional>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "cli/Commands.h"
#include "clips/ClipInfo.h"
#include "clips/ClipTexts.h"
#include "clips/CompareStreams.h"

namespace {

constexpr int kExitAllOpened = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] = "info [--json] [--thumbnails DIR] FILE...";

// The four characters of a handler, trailing zero bytes dropped.
QString HandlerCharacters(uint32_t handler) {
  QString text;
  for (int i = 0; i < 4; ++i) text += QChar(static_cast<char16_t>((handler >> (8 * i)) & 0xFF));
  while (!text.isEmpty() && text.back() == QChar(0)) text.chop(1);
  return text;
}

QJsonObject SummaryJson(const StreamSummary& s) {
  return QJsonObject{
      {QStringLiteral("handler"), HandlerCharacters(s.handler)},
      {QStringLiteral("scale"), static_cast<qint64>(s.scale)},
      {QStringLiteral("rate"), static_cast<qint64>(s.rate)},
      {QStringLiteral("frame"), QJsonArray{s.frame.left, s.frame.top, s.frame.right, s.frame.bottom}},
      {QStringLiteral("start"), static_cast<qint64>(s.start)},
      {QStringLiteral("length"), static_cast<qint64>(s.length)},
      {QStringLiteral("seconds"), static_cast<qint64>(s.seconds)},
  };
}

// The audio as its format says: codec name, tag, sample rate, channels, real bit rate.
QJsonObject AudioFormatJson(const AudioFormat& audio) {
  return QJsonObject{
      {QStringLiteral("format"), AudioCodecText(audio).mid(1)},
      {QStringLiteral("format_tag"), audio.formatTag},
      {QStringLiteral("sample_rate"), static_cast<qint64>(audio.sampleRate)},
      {QStringLiteral("channels"), audio.channels},
      {QStringLiteral("bit_rate_kbps"), static_cast<qint64>(AudioKbps(audio))},
  };
}

void PrintLine(FILE* stream, const QString& text) {
  std::fprintf(stream, "%s\n", MessageBoxDisplayText(text).toUtf8().constData());
}

// A PNG name in dir for the file, unique within this run.
QString ThumbnailPath(const QString& dir, const QString& file, QSet<QString>& used) {
  const QString base = QFileInfo(file).completeBaseName();
  QString name = base + QStringLiteral(".png");
  for (int n = 2; used.contains(name); ++n) name = QStringLiteral("%1-%2.png").arg(base).arg(n);
  used.insert(name);
  return QDir(dir).filePath(name);
}

int RunInfo(const QStringList& args) {
  bool json = false;
  QString thumbnailDir;
  QStringList files;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& arg = args[i];
    if (arg == QStringLiteral("--json")) {
      json = true;
    } else if (arg == QStringLiteral("--thumbnails")) {
      if (++i >= args.size()) {
        std::fprintf(stderr, "usage: splicora-cli %s\n", kUsage);
        return kExitUsage;
      }
      thumbnailDir = args[i];
    } else if (arg == QStringLiteral("--")) {
      files += args.mid(i + 1);
      break;
    } else if (arg.startsWith(QStringLiteral("--"))) {
      std::fprintf(stderr, "unknown option %s\nusage: splicora-cli %s\n", arg.toUtf8().constData(), kUsage);
      return kExitUsage;
    } else {
      files += arg;
    }
  }
  if (files.isEmpty()) {
    std::fprintf(stderr, "usage: splicora-cli %s\n", kUsage);
    return kExitUsage;
  }
  if (!thumbnailDir.isEmpty() && !QDir().mkpath(thumbnailDir)) {
    std::fprintf(stderr, "cannot create the folder %s\n", thumbnailDir.toUtf8().constData());
    return kExitUsage;
  }

  // Messages still reach stderr; the last one is also kept for the JSON.
  QString lastMessage;
  MessageBoxHandler previous;
  previous = SetMessageBoxHandler([&](QObject* owner, const QString& text, const QString& caption, unsigned icon) {
    lastMessage = text;
    return previous ? previous(owner, text, caption, icon) : IDOK;
  });

  QJsonArray results;
  QSet<QString> thumbnailNames;
  std::optional<std::pair<StreamSummary, AudioFormat>> reference;  // video, audio of the first clip
  bool allOpened = true;
  for (const QString& path : files) {
    lastMessage.clear();
    QJsonObject entry{{QStringLiteral("path"), path}};
    ClipInfo clip;
    const bool opened = clip.Open(path);
    allOpened = allOpened && opened;
    entry[QStringLiteral("open")] = opened;
    entry[QStringLiteral("error")] = opened ? QJsonValue() : QJsonValue(lastMessage);
    const bool hadReference = reference.has_value();
    if (!opened) {
      for (const char* key : {"video", "audio", "streams", "duration_seconds", "description"})
        entry[QLatin1String(key)] = QJsonValue();
      entry[QStringLiteral("thumbnail")] = false;
      if (hadReference) entry[QStringLiteral("compare")] = QJsonValue();
      if (json) results.append(entry);
      if (!json) PrintLine(stdout, path + QStringLiteral(": not opened"));
      continue;
    }

    entry[QStringLiteral("video")] = clip.videoIndex >= 0 ? QJsonValue(SummaryJson(clip.video)) : QJsonValue();
    if (clip.audioIndex >= 0) {
      QJsonObject audio = SummaryJson(clip.audio);
      const QJsonObject format = AudioFormatJson(clip.audioFormat);
      for (auto it = format.begin(); it != format.end(); ++it) audio.insert(it.key(), it.value());
      entry[QStringLiteral("audio")] = audio;
    } else {
      entry[QStringLiteral("audio")] = QJsonValue();
    }
    entry[QStringLiteral("streams")] = static_cast<qint64>(clip.StreamCount());
    entry[QStringLiteral("duration_seconds")] = static_cast<qint64>(clip.DurationSeconds());
    QString description;
    clip.Describe(description);
    entry[QStringLiteral("description")] = description;

    QString report;
    bool videoOk = true, audioOk = true;
    if (hadReference) {
      report = LanguageText(146, QStringLiteral("Files format is not equal. "));
      videoOk = CompareStreams(true, reference->first, clip.video, report);
      audioOk = CompareAudio(reference->second, clip.audioFormat, report);
      entry[QStringLiteral("compare")] = QJsonObject{{QStringLiteral("video_ok"), videoOk},
                                                     {QStringLiteral("audio_ok"), audioOk},
                                                     {QStringLiteral("report"), report}};
    } else {
      reference.emplace(clip.video, clip.audioFormat);
    }

    if (!clip.DamageWarning().isEmpty()) PrintLine(stderr, clip.DamageWarning());
    ClipPicture thumbnail = ClipInfo::NewThumbnail();
    const bool drawn = clip.DrawThumbnail(thumbnail, ClipInfo::kThumbnailCell, path);
    entry[QStringLiteral("thumbnail")] = drawn;
    if (!drawn) {
      PrintLine(stderr, LanguageText(167, QStringLiteral("No video codec installed for format ")) +
                            HandlerText(clip.video.handler).toUpper() + QStringLiteral(". (") + clip.ThumbnailError() +
                            QLatin1Char(')'));
    } else if (!thumbnailDir.isEmpty()) {
      const QString png = ThumbnailPath(thumbnailDir, path, thumbnailNames);
      if (!thumbnail.SavePng(png)) PrintLine(stderr, QStringLiteral("cannot write ") + png);
    }
    if (json) results.append(entry);  // text mode keeps nothing per file

    if (!json) {
      PrintLine(stdout, path);
      PrintLine(stdout, QStringLiteral("  ") + description + TimeText(clip.DurationSeconds()));
      PrintLine(stdout, QStringLiteral("  streams: %1, thumbnail: %2")
                            .arg(clip.StreamCount())
                            .arg(drawn ? QStringLiteral("yes") : QStringLiteral("no")));
      if (hadReference) {
        if (videoOk && audioOk)
          PrintLine(stdout, QStringLiteral("  same format as the first file"));
        else
          PrintLine(stdout, QStringLiteral("  ") + report.replace(QLatin1Char('\r'), QStringLiteral("\r  ")));
      }
    }
  }
  SetMessageBoxHandler(previous);

  if (json) {
    const QByteArray text = QJsonDocument(results).toJson(QJsonDocument::Indented);
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
  }
  std::fflush(stdout);
  return allOpened ? kExitAllOpened : kExitSomeFailed;
}

const CommandRegistration registration("info", kUsage, RunInfo);

}  // namespace
