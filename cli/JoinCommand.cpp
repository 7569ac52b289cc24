// splicora-cli join [--skip-refused] -o OUT FILE...: the window's direct join
// without the window. Every file is checked as adding it to the list would
// be; a refused file refuses the whole join unless --skip-refused, the output
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
#include "clips/ClipAdmission.h"
#include "directjoin/FreeSpace.h"
#include "directjoin/OutputName.h"
#include "directjoin/TimelineJoiner.h"
#include "media/TimelineWriter.h"

namespace {

constexpr int kExitFinished = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 3;
const char kUsage[] = "join [--skip-refused] -o OUT FILE...";

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

// The files as adding them to the list would admit them. Without
// skipRefused every file is checked (past a stop too), so that every refusal
// is named at once; with it the batch ends where the list's would.
QStringList AdmitFiles(const QStringList& files, bool skipRefused, QList<AdmissionResult>& refused) {
  // The refusals are listed together below; audio warnings show as they come.
  MessageBoxHandler previous = SetMessageBoxHandler({});
  ClipReference reference;
  QStringList clips;
  bool stopped = false;
  for (const QString& file : files) {
    const QString path = QFileInfo(file).absoluteFilePath();
    if (stopped) {
      AdmissionResult skipped;
      skipped.path = path;
      skipped.message = QStringLiteral("not checked: the batch ended at an earlier file");
      refused << skipped;
      continue;
    }
    const AdmissionResult result = AdmitClip(path, static_cast<int>(clips.size()), reference, nullptr);
    if (result.outcome == Admission::Added) {
      clips << path;
      if (!result.message.isEmpty() && previous) previous(nullptr, result.message, MergeCaption(), MB_ICONWARNING);
    } else {
      refused << result;
      stopped = skipRefused && !ContinuesBatch(result.outcome);
    }
  }
  SetMessageBoxHandler(previous);
  return clips;
}

void PrintRefused(const QList<AdmissionResult>& refused, bool joined) {
  Print(stderr, joined ? QStringLiteral("Left out of the join:") : QStringLiteral("Refused, nothing joined:"));
  for (const AdmissionResult& r : refused) {
    QString reason = MessageBoxDisplayText(r.message);
    reason.replace(QLatin1Char('\n'), QStringLiteral("\n    "));
    Print(stderr, QStringLiteral("  %1\n    %2").arg(r.path, reason));
  }
}

int Join(const QStringList& args) {
  QString output;
  QStringList files;
  bool skipRefused = false;
  for (qsizetype i = 0; i < args.size(); ++i) {
    if (args[i] == QStringLiteral("-o") && i + 1 < args.size()) output = args[++i];
    else if (args[i] == QStringLiteral("--skip-refused")) skipRefused = true;
    else if (args[i] == QStringLiteral("-o") || args[i].startsWith(QLatin1Char('-'))) {
      Print(stderr, QStringLiteral("usage: splicora-cli %1").arg(QLatin1String(kUsage)));
      return kExitUsage;
    } else files << args[i];
  }
  if (output.isEmpty() || files.isEmpty()) {
    Print(stderr, QStringLiteral("usage: splicora-cli %1").arg(QLatin1String(kUsage)));
    return kExitUsage;
  }

  QList<AdmissionResult> refused;
  const QStringList clips = AdmitFiles(files, skipRefused, refused);
  if (!refused.isEmpty()) PrintRefused(refused, skipRefused && !clips.isEmpty());
  if (!refused.isEmpty() && !skipRefused) {
    Print(stderr, QStringLiteral("(--skip-refused joins the other files)"));
    return kExitFailed;
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
  bool progressShown = false;
  QObject::connect(&progress, &QTimer::timeout, [&joiner, &driver, &progressShown] {
    if (driver.doneCode >= 0) return;
    progressShown = true;
    int percent = static_cast<int>(joiner.Poll()) * 100 / static_cast<int>(std::max(joiner.ExpectedSeconds(), 1u));
    std::fprintf(stderr, "\rJoining: %3d%%", percent);
    std::fflush(stderr);
  });
  progress.start(1000);
  if (driver.doneCode < 0) driver.loop.exec();
  progress.stop();
  if (progressShown) std::fprintf(stderr, "\n");  // the progress line ends here
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
    ShowMessageBox(nullptr, LanguageText(166, QStringLiteral("Error recompress video! Please check video settings.")),
                   ApplicationName(), MB_ICONINFORMATION);
    return kExitFailed;
  }
  std::fprintf(stderr, "Joined %lld clips in %.2f s\n", static_cast<long long>(clips.size()), clock.elapsed() / 1000.0);
  ShowMessageBox(nullptr, LanguageText(149, QStringLiteral("Finished Successfully!")), ApplicationName(),
                 MB_ICONINFORMATION);
  Print(stdout, path);
  return kExitFinished;
}

const CommandRegistration registration("join", kUsage, Join);

}  // namespace
