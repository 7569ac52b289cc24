// splicora-cli join [--skip-refused] [--fit] -o OUT FILE...: the window's direct join
// without the window. Every file is checked as adding it to the list would
// be (with --fit, a clip whose video differs is re-encoded to match the
// first clip instead of refused); a refused file refuses the whole join unless --skip-refused, the output
// name is made unique, the space is checked, and the clips are joined by the
// same TimelineJoiner, whose events arrive on this thread's event loop.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
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
#include "directjoin/JoinFailure.h"
#include "directjoin/OutputName.h"
#include "convert/CompressorSettingsStore.h"
#include "convert/ConvertWorker.h"
#include "directjoin/TimelineJoiner.h"
#include "avi/SharedAviReaders.h"
#include "directjoin/TimelineWriter.h"

namespace {

constexpr int kExitFinished = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 3;
// What the kept clip indexes may take (16 bytes a chunk: some four million chunks).
constexpr uint64_t kSharedIndexBudget = uint64_t{64} << 20;
const char kUsage[] = "join [--skip-refused] [--fit | --recompress HANDLER [--mp3]] -o OUT FILE...";

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

// Checks files[first..] against the reference (the one clip in the list) on
// two threads; the results are in the files' order. Each is what adding it to
// a list of one clip would give: the command line has no list to fill.
QList<AdmissionResult> CheckTogether(const QStringList& files, qsizetype first, const ClipReference& reference,
                                     FitOffer fit) {
  QList<AdmissionResult> results(files.size() - first);
  std::atomic<qsizetype> next{first};
  auto work = [&] {
    for (qsizetype i; (i = next++) < files.size();) {
      ClipReference own = reference;  // read only once a clip is in the list
      results[i - first] = AdmitClip(QFileInfo(files[i]).absoluteFilePath(), 1, own, nullptr, {}, false, fit);
    }
  };
  std::thread helper(work);
  work();
  helper.join();
  return results;
}

// The files as adding them to the list would admit them, but without the
// list's row limit: the command line joins any number. Without
// skipRefused every file is checked (past a stop too), so that every refusal
// is named at once; with it the batch ends where the list's would. Once the
// first clip is in, the others are checked on two threads, the outcomes taken
// in order.
// fitted gets the clips whose video is re-encoded to match the first clip's.
QStringList AdmitFiles(const QStringList& files, bool skipRefused, FitOffer fit, QList<AdmissionResult>& refused,
                       QStringList& fitted) {
  // The refusals are listed together below; audio warnings show as they come.
  MessageBoxHandler previous = SetMessageBoxHandler({});
  ClipReference reference;
  QStringList clips;
  bool stopped = false;
  QList<AdmissionResult> ahead;  // results checked together, for files[aheadFrom..]
  qsizetype aheadFrom = files.size();
  for (qsizetype i = 0; i < files.size(); ++i) {
    const QString path = QFileInfo(files[i]).absoluteFilePath();
    if (stopped) {
      AdmissionResult skipped;
      skipped.path = path;
      skipped.message = QStringLiteral("not checked: the batch ended at an earlier file");
      refused << skipped;
      continue;
    }
    const qsizetype left = files.size() - i;
    if (ahead.isEmpty() && clips.size() == 1 && left > 1) {
      aheadFrom = i;
      ahead = CheckTogether(files, i, reference, fit);
    }
    // A join shows no thumbnail: the first frame decoding proves the same.
    const AdmissionResult result = i >= aheadFrom ? ahead[i - aheadFrom]
                                                  : AdmitClip(path, clips.isEmpty() ? 0 : 1, reference, nullptr, {}, false, fit);
    if (result.outcome == Admission::Added) {
      clips << path;
      if (result.fit) fitted << path;
      if (!result.message.isEmpty() && previous) previous(nullptr, result.message, MergeCaption(), MB_ICONWARNING);
      if (!result.damage.isEmpty() && previous) previous(nullptr, result.damage, ApplicationName(), MB_ICONWARNING);
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

// Ctrl-C and SIGTERM write a byte that the event loop reads; stop is called then.
class InterruptWatch {
 public:
  explicit InterruptWatch(std::function<void()> stop) {
    if (pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
    notifier_ = std::make_unique<QSocketNotifier>(interruptPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [stop] {
      char bytes[16];
      while (read(interruptPipe[0], bytes, sizeof bytes) > 0) {
      }
      stop();
    });
  }
  ~InterruptWatch() {
    if (!notifier_) return;
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    notifier_.reset();
    for (int& fd : interruptPipe) {
      close(fd);
      fd = -1;
    }
  }

 private:
  struct sigaction oldInt_ {}, oldTerm_ {};
  std::unique_ptr<QSocketNotifier> notifier_;
};

// The window's part in a conversion: the worker's end arrives on this thread.
class ConvertDriver : public MessageTarget {
 public:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM) override {
    if (message == wm::MSG_JOIN_DONE && doneCode < 0) {
      doneCode = static_cast<int>(wParam);
      loop.quit();
    }
    return 0;
  }
  int doneCode = -1;
  QEventLoop loop;
};

int Convert(ConvertRequest request, const QString& path, qsizetype count) {
  ConvertDriver driver;
  ConvertWorker worker;
  std::atomic<bool> cancel{false};
  if (int delay = qEnvironmentVariableIntValue("SPLICORA_TEST_CHUNK_DELAY_US"); delay > 0)
    worker.SetPictureDelayForTesting(delay);
  QElapsedTimer clock;
  clock.start();
  auto progress = [&cancel](int percent, int) {
    std::fprintf(stderr, "\rConverting: %3d%%", percent);
    std::fflush(stderr);
    return cancel.load();
  };
  InterruptWatch watch([&cancel] {
    if (!cancel) Print(stderr, QStringLiteral("\nCancelling..."));
    cancel = true;
  });
  worker.Start(std::move(request), &driver, progress);
  if (driver.doneCode < 0) driver.loop.exec();
  worker.Wait(-1);
  std::fprintf(stderr, "\n");
  for (const auto& note : worker.Notes()) Print(stderr, QString::fromStdString(note));
  if (worker.Cancelled()) {
    ShowMessageBox(nullptr, LanguageText(148, QStringLiteral("Merge video files was canceled!")), ApplicationName(),
                   MB_ICONINFORMATION);
    return kExitCancelled;
  }
  if (worker.Code() != ConvertWorker::kFinished) {
    Print(stderr, QString::fromStdString(worker.LastError()));
    ShowMessageBox(nullptr,
                   worker.Code() == ConvertWorker::kAudioFailed
                       ? LanguageText(168, QStringLiteral("Error make audio track!"))
                       : LanguageText(166, QStringLiteral("Error recompress video! Please check video settings.")),
                   ApplicationName(), MB_ICONINFORMATION);
    return kExitFailed;
  }
  std::fprintf(stderr, "Converted %lld clips in %.2f s\n", static_cast<long long>(count), clock.elapsed() / 1000.0);
  ShowMessageBox(nullptr, LanguageText(149, QStringLiteral("Finished Successfully!")), ApplicationName(),
                 MB_ICONINFORMATION);
  Print(stdout, path);
  return kExitFinished;
}

// A compressor as `splicora-cli codecs` names it ("divx", "DIB "), when usable here.
bool CompressorNamed(const QString& name, uint32_t& handler) {
  const QByteArray bytes = name.toLatin1();
  if (name.size() > 4 || bytes.isEmpty()) return false;
  char code[4] = {' ', ' ', ' ', ' '};
  std::memcpy(code, bytes.constData(), static_cast<size_t>(bytes.size()));
  handler = media::MakeFourCC(code[0], code[1], code[2], code[3]);
  for (const auto& info : media::AvailableCompressors())
    if (info.handler == handler) return true;
  return false;
}

int Join(const QStringList& args) {
  QString output;
  QStringList files;
  uint32_t handler = 0;
  bool recompress = false, mp3 = false, skipRefused = false, fit = false;
  const QString usage = QStringLiteral("usage: splicora-cli %1").arg(QLatin1String(kUsage));
  for (qsizetype i = 0; i < args.size(); ++i) {
    if (args[i] == QStringLiteral("-o") && i + 1 < args.size()) output = args[++i];
    else if (args[i] == QStringLiteral("--skip-refused")) skipRefused = true;
    else if (args[i] == QStringLiteral("--fit")) fit = true;
    else if (args[i] == QStringLiteral("--recompress") && i + 1 < args.size()) {
      recompress = true;
      if (!CompressorNamed(args[++i], handler)) {
        Print(stderr, QStringLiteral("no compressor '%1' here (see splicora-cli codecs)").arg(args[i]));
        return kExitUsage;
      }
    } else if (args[i] == QStringLiteral("--mp3")) mp3 = true;
    else if (args[i] == QStringLiteral("-o") || args[i].startsWith(QLatin1Char('-'))) {
      Print(stderr, usage);
      return kExitUsage;
    } else files << args[i];
  }
  if (output.isEmpty() || files.isEmpty() || (mp3 && !recompress) || (fit && recompress)) {
    Print(stderr, usage);
    return kExitUsage;
  }

  // Each clip's headers and index are read once: the check, the timeline, the
  // plan and the copy share them (within a budget for very long clips).
  media::SharedAviReaders::Enable(kSharedIndexBudget);
  QList<AdmissionResult> refused;
  QStringList fitted;
  const QStringList clips = AdmitFiles(files, skipRefused, fit ? FitOffer::Always : FitOffer::Refuse, refused, fitted);
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

  if (recompress) {
    ConvertRequest request;
    for (const QString& clip : clips) request.clips.push_back(QFile::encodeName(clip).toStdString());
    request.outputPath = QFile::encodeName(path).toStdString();
    request.handler = handler;
    request.settings = LoadCompressorSettings(handler);
    request.convertAudio = mp3;
    return Convert(std::move(request), path, clips.size());
  }

  // Tests that interrupt a running join slow it down through the environment.
  if (int delay = qEnvironmentVariableIntValue("SPLICORA_TEST_CHUNK_DELAY_US"); delay > 0)
    media::TimelineWriter::SetChunkDelayForTesting(delay);

  JoinDriver driver;
  TimelineJoiner joiner;
  driver.joiner = &joiner;
  joiner.SetOwner(&driver, wm::MSG_GRAPH_NOTIFY, wm::MSG_JOIN_DONE);
  bool started = joiner.BuildTimeline(clips.first());
  for (qsizetype i = 0; i < clips.size(); ++i)
    started = started && joiner.AppendClip(clips[i], i > 0 && fitted.contains(clips[i]));
  QElapsedTimer clock;
  clock.start();
  started = started && joiner.Render(path);
  if (!started) {  // a failure with its reason, not a cancel
    ShowMessageBox(nullptr, JoinFailedText(joiner.LastError()), ApplicationName(), MB_ICONINFORMATION);
    return kExitFailed;
  }

  for (const QString& note : joiner.Notes()) Print(stderr, note);

  // Ctrl-C and SIGTERM ask the join to stop; the next graph event stops it.
  InterruptWatch watch([&driver] {
    if (!driver.cancelRequested) Print(stderr, QStringLiteral("\nCancelling..."));
    driver.cancelRequested = true;
  });
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

  if (driver.cancelRequested) {
    ShowMessageBox(nullptr, LanguageText(148, QStringLiteral("Merge video files was canceled!")), ApplicationName(),
                   MB_ICONINFORMATION);
    return kExitCancelled;
  }
  if (driver.doneCode != 0) {
    ShowMessageBox(nullptr, JoinFailedText(error), ApplicationName(), MB_ICONINFORMATION);
    return kExitFailed;
  }
  std::fprintf(stderr, "Joined %lld clips in %.3f s\n", static_cast<long long>(clips.size()), clock.elapsed() / 1000.0);
  ShowMessageBox(nullptr, LanguageText(149, QStringLiteral("Finished Successfully!")), ApplicationName(),
                 MB_ICONINFORMATION);
  Print(stdout, path);
  return kExitFinished;
}

const CommandRegistration registration("join", kUsage, Join);

}  // namespace
