// splicora-cli join -o OUT FILE...: the window's direct join without the
// window. Every file is checked as adding it to the list would be, the output
// name is made unique, the space is checked, and the clips are joined by the
// same TimelineJoiner, whose events arrive on this thread's event loop.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "core/WindowMessages.h"
#include "cli/Commands.h"
#include "clips/ClipInfo.h"
#include "clips/ClipTexts.h"
#include "clips/CompareStreams.h"
#include "directjoin/FreeSpace.h"
#include "directjoin/OutputName.h"
#include "directjoin/TimelineJoiner.h"
#include "media/MediaDetector.h"
#include "media/TimelineWriter.h"

namespace {

constexpr int kExitFinished = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 3;
constexpr int kMaxRows = 101;
constexpr std::chrono::milliseconds kFirstFrameLimit{2000};  // as adding a clip allows

int interruptPipe[2] = {-1, -1};

void OnInterrupt(int) {
  // Only async-signal-safe work here: the event loop reads the byte.
  char byte = 1;
  [[maybe_unused]] ssize_t n = write(interruptPipe[1], &byte, 1);
}

void Print(FILE* stream, const QString& text) {
  QByteArray bytes = text.toUtf8();
  std::fprintf(stream, "%s\n", bytes.constData());
  std::fflush(stream);
}

// The main dialog's part in a direct join, on the command line's event loop.
class JoinDriver : public MessageTarget {
 public:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM) override {
    if (message == wm::MSG_GRAPH_NOTIFY && joiner) {
      joiner->HandleGraphEvents();
      if (cancelRequested && joiner) {
        joiner->StopJoin();
        PostMessage(this, wm::MSG_JOIN_DONE, 0, 0);
      }
    } else if (message == wm::MSG_JOIN_DONE && doneCode < 0) {
      doneCode = static_cast<int>(wParam);
      loop.quit();
    }
    return 0;
  }

  TimelineJoiner* joiner = nullptr;
  bool cancelRequested = false;
  int doneCode = -1;
  QEventLoop loop;
};

// What the thumbnail proves for a join: the video decodes. A join shows no
// thumbnail, so its first frame is decoded at the smallest size the decoder
// offers and the last frame (a seek and a decode up to the clip's end) is left
// out; a clip refused here is refused by adding it, and the other way round.
bool VideoDecodes(const QString& path) {
  media::MediaDetector detector;
  detector.SetPictureSizeHint(1, 1);
  if (!detector.Open(path.toStdString())) return false;
  const int stream = detector.FirstVideoStream();
  if (stream < 0 || detector.Duration(stream) <= 0) return false;
  media::Dib first;
  return detector.GrabFrame(stream, 0, kFirstFrameLimit, first) == media::GrabResult::Ok;
}

// AddClip's checks for one file; false when it is not joined. stop is set
// when the batch ends as the list's would.
bool CheckClip(const QString& path, int count, StreamSummary& referenceVideo, StreamSummary& referenceAudio,
               bool& stop) {
  if (count >= kMaxRows) {
    ShowMessageBox(nullptr, LanguageText(157, QStringLiteral("Clips count exceed of maximal possible!")),
                   ApplicationName(), MB_ICONWARNING);
    stop = true;
    return false;
  }
  ClipInfo clip;
  if (!clip.Open(path)) return false;  // Open has told why
  const QString caption = LanguageText(147, QStringLiteral("Merge is not possible..."));
  if (count > 0) {
    QString report = LanguageText(146, QStringLiteral("Files format is not equal. "));
    bool videoOk = CompareStreams(true, referenceVideo, clip.video, report);
    bool audioOk = CompareStreams(false, referenceAudio, clip.audio, report);
    if (!videoOk || !audioOk) ShowMessageBox(nullptr, report, caption, MB_ICONWARNING);
    if (!videoOk) return false;
  } else {
    referenceVideo = clip.video;
    referenceAudio = clip.audio;
  }
  if (!VideoDecodes(path)) {
    ShowMessageBox(nullptr,
                   LanguageText(167, QStringLiteral("No video codec installed for format ")) +
                       HandlerText(clip.video.handler).toUpper() + QLatin1Char('.'),
                   caption, MB_ICONWARNING);
    stop = true;
    return false;
  }
  return true;
}

int Join(const QStringList& args) {
  QString output;
  QStringList files;
  for (qsizetype i = 0; i < args.size(); ++i) {
    if (args[i] == QStringLiteral("-o") && i + 1 < args.size()) output = args[++i];
    else if (args[i] == QStringLiteral("-o") || args[i].startsWith(QLatin1Char('-'))) {
      Print(stderr, QStringLiteral("usage: splicora-cli join -o OUT FILE..."));
      return kExitUsage;
    } else files << args[i];
  }
  if (output.isEmpty() || files.isEmpty()) {
    Print(stderr, QStringLiteral("usage: splicora-cli join -o OUT FILE..."));
    return kExitUsage;
  }

  StreamSummary referenceVideo{}, referenceAudio{};
  QStringList clips;
  bool stop = false;
  for (const QString& file : files) {
    QString path = QFileInfo(file).absoluteFilePath();
    if (CheckClip(path, static_cast<int>(clips.size()), referenceVideo, referenceAudio, stop)) clips << path;
    if (stop) break;
  }
  if (clips.isEmpty()) {
    Print(stderr, QStringLiteral("No clip can be joined."));
    return kExitFailed;
  }

  QString path = QFileInfo(output).absoluteFilePath();
  if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".avi");
  path = UniqueOutputName(path);
  // The space rule counts an unreadable volume as full; a folder that is not
  // there must not be reported as a full disk.
  if (const QFileInfo folder(QFileInfo(path).absolutePath()); !folder.isDir()) {
    Print(stderr, QStringLiteral("cannot create %1: the folder %2 does not exist").arg(path, folder.filePath()));
    return kExitFailed;
  }
  if (!JoinCheckDiskSpace(path, clips)) {
    ShowMessageBox(nullptr, LanguageText(150, QStringLiteral("No enough disc space available!")), ApplicationName(),
                   MB_ICONINFORMATION);
    return kExitFailed;
  }

  // Tests that interrupt a running join slow it down through the environment.
  if (int delay = qEnvironmentVariableIntValue("SPLICORA_TEST_CHUNK_DELAY_US"); delay > 0)
    media::TimelineWriter::SetChunkDelayForTesting(delay);

  JoinDriver driver;
  TimelineJoiner joiner;
  driver.joiner = &joiner;
  joiner.SetOwner(&driver, wm::MSG_GRAPH_NOTIFY, wm::MSG_JOIN_DONE);
  bool started = joiner.BuildTimeline(clips.first());
  for (const QString& clip : clips) started = started && joiner.AppendClip(clip);
  QElapsedTimer clock;
  clock.start();
  started = started && joiner.Render(path);
  if (!started) {
    if (!joiner.LastError().isEmpty()) Print(stderr, joiner.LastError());
    ShowMessageBox(nullptr, LanguageText(148, QStringLiteral("Merge video files was canceled!")), ApplicationName(),
                   MB_ICONINFORMATION);
    return kExitFailed;
  }

  for (const QString& note : joiner.Notes()) Print(stderr, note);

  // Ctrl-C and SIGTERM ask the join to stop; the next graph event stops it.
  if (pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) interruptPipe[0] = interruptPipe[1] = -1;
  struct sigaction action {};
  struct sigaction oldInt {}, oldTerm {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  if (interruptPipe[1] >= 0) {
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
  }
  std::unique_ptr<QSocketNotifier> notifier;
  if (interruptPipe[0] >= 0) {
    notifier = std::make_unique<QSocketNotifier>(interruptPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [&driver] {
      char bytes[16];
      while (read(interruptPipe[0], bytes, sizeof bytes) > 0) {
      }
      if (!driver.cancelRequested) Print(stderr, QStringLiteral("\nCancelling..."));
      driver.cancelRequested = true;
    });
  }
  QTimer progress;
  QObject::connect(&progress, &QTimer::timeout, [&joiner, &driver] {
    if (driver.doneCode >= 0) return;
    int percent = static_cast<int>(joiner.Poll()) * 100 / static_cast<int>(std::max(joiner.ExpectedSeconds(), 1u));
    std::fprintf(stderr, "\rJoining: %3d%%", percent);
    std::fflush(stderr);
  });
  progress.start(1000);
  if (driver.doneCode < 0) driver.loop.exec();
  progress.stop();
  std::fprintf(stderr, "\rJoined %lld clips in %.2f s\n", static_cast<long long>(clips.size()), clock.elapsed() / 1000.0);
  const QString error = joiner.LastError();
  joiner.StopJoin();

  if (interruptPipe[1] >= 0) {
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
  }
  notifier.reset();
  for (int& fd : interruptPipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  if (driver.cancelRequested) {
    ShowMessageBox(nullptr, LanguageText(148, QStringLiteral("Merge video files was canceled!")), ApplicationName(),
                   MB_ICONINFORMATION);
    return kExitCancelled;
  }
  if (driver.doneCode != 0) {
    if (!error.isEmpty()) Print(stderr, error);
    ShowMessageBox(nullptr, LanguageText(166, QStringLiteral("Error recompress video! Please check video settins.")),
                   ApplicationName(), MB_ICONINFORMATION);
    return kExitFailed;
  }
  ShowMessageBox(nullptr, LanguageText(149, QStringLiteral("Finished Successfully!")), ApplicationName(),
                 MB_ICONINFORMATION);
  Print(stdout, path);
  return kExitFinished;
}

const CommandRegistration registration("join", "join -o OUT FILE...", Join);

}  // namespace
