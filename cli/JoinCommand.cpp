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
#include "clips/ClipInfo.h"
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

// The verdict of first frames decoded while the join runs.
constexpr UINT kFramesChecked = wm::WM_USER + 1;

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
      joinSeconds = clock.nsecsElapsed() / 1e9;
    } else if (message == kFramesChecked && !framesChecked) {
      framesChecked = true;
      framesDecoded = wParam != 0;
      if (framesDecoded && onFramesDecoded) onFramesDecoded();
      // A clip that does not decode ends the join at once: it is done again, refusing it.
      if (!framesDecoded && joiner && doneCode < 0) {
        joiner->StopJoin();
        doneCode = 1;
      }
    }
    if (doneCode >= 0 && framesChecked) loop.quit();
    return 0;
  }

  TimelineJoiner* joiner = nullptr;
  bool cancelRequested = false;
  int doneCode = -1;
  QElapsedTimer clock;      // from the start of the render
  double joinSeconds = 0;   // the render's own time, without waiting for first frames
  bool framesChecked = true;  // false while first frames are decoded alongside the join
  bool framesDecoded = true;
  std::function<void()> onFramesDecoded;
  QEventLoop loop;
};

// Decodes the first frame of each clip admitted with FirstFrameCheck::Later
// on a thread of its own, so that loading the decoders overlaps the copy;
// the verdict, every one decoded or not, is posted to the driver.
class FrameChecks {
 public:
  // The driver waits for the verdict from here on.
  FrameChecks(QStringList paths, JoinDriver& driver) : paths_(std::move(paths)), driver_(driver) {
    driver.framesChecked = paths_.isEmpty();
  }
  ~FrameChecks() {
    if (thread_.joinable()) thread_.join();
  }
  FrameChecks(const FrameChecks&) = delete;
  FrameChecks& operator=(const FrameChecks&) = delete;

  // Loading the decoders holds the dynamic loader's lock, which a new thread
  // waits for: the join's threads are started first.
  void Start() {
    if (paths_.isEmpty() || thread_.joinable()) return;
    thread_ = std::thread([paths = paths_, &driver = driver_] {
      bool decoded = true;
      for (const QString& path : paths) {
        ClipInfo clip;
        if (!clip.Open(path) || !clip.FirstFrameDecodes(path)) {
          decoded = false;
          break;
        }
      }
      PostMessage(&driver, kFramesChecked, decoded ? 1 : 0, 0);
    });
  }

  // Starts the decoding if it was not and waits for it (each decode has its
  // time limit); the driver has the verdict once its queue is run.
  void Wait() {
    Start();
    if (thread_.joinable()) thread_.join();
  }

 private:
  QStringList paths_;
  JoinDriver& driver_;
  std::thread thread_;
};

// Checks files[first..] against the reference (the one clip in the list) on
// two threads; the results are in the files' order. Each is what adding it to
// a list of one clip would give: the command line has no list to fill.
QList<AdmissionResult> CheckTogether(const QStringList& files, qsizetype first, const ClipReference& reference,
                                     FitOffer fit, FirstFrameCheck check) {
  QList<AdmissionResult> results(files.size() - first);
  std::atomic<qsizetype> next{first};
  auto work = [&] {
    for (qsizetype i; (i = next++) < files.size();) {
      ClipReference own = reference;  // read only once a clip is in the list
      results[i - first] = AdmitClip(QFileInfo(files[i]).absoluteFilePath(), 1, own, nullptr, {}, false, fit, check);
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
// fitted gets the clips whose video is re-encoded to match the first clip's,
// later those whose first frame is still to be decoded (FirstFrameCheck::Later),
// warnings what the admitted clips warn of, to be shown in order.
struct Admitted {
  QStringList clips;
  QList<AdmissionResult> refused;
  QStringList fitted;
  QStringList later;
  QList<QPair<QString, QString>> warnings;  // text and caption

  // Shows them, once.
  void ShowWarnings() {
    for (const auto& [text, caption] : warnings) ShowMessageBox(nullptr, text, caption, MB_ICONWARNING);
    warnings.clear();
  }
};

Admitted AdmitFiles(const QStringList& files, bool skipRefused, FitOffer fit, FirstFrameCheck check) {
  Admitted admitted;
  QList<AdmissionResult>& refused = admitted.refused;
  QStringList& clips = admitted.clips;
  // The refusals are listed together below, the warnings shown by the caller.
  MessageBoxHandler previous = SetMessageBoxHandler({});
  ClipReference reference;
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
      ahead = CheckTogether(files, i, reference, fit, check);
    }
    // A join shows no thumbnail: the first frame decoding proves the same.
    const AdmissionResult result = i >= aheadFrom ? ahead[i - aheadFrom]
                                                  : AdmitClip(path, clips.isEmpty() ? 0 : 1, reference, nullptr, {},
                                                              false, fit, check);
    if (result.outcome == Admission::Added) {
      clips << path;
      if (result.fit) admitted.fitted << path;
      if (result.decodeLater) admitted.later << path;
      if (!result.message.isEmpty()) admitted.warnings.append({result.message, MergeCaption()});
      if (!result.damage.isEmpty()) admitted.warnings.append({result.damage, ApplicationName()});
    } else {
      refused << result;
      stopped = skipRefused && !ContinuesBatch(result.outcome);
    }
  }
  SetMessageBoxHandler(previous);
  return admitted;
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

struct JoinOptions {
  QString output;
  QStringList files;
  uint32_t handler = 0;
  bool recompress = false, mp3 = false, skipRefused = false, fit = false;
};

int RunJoin(const JoinOptions& options, FirstFrameCheck check);

int Join(const QStringList& args) {
  JoinOptions o;
  const QString usage = QStringLiteral("usage: splicora-cli %1").arg(QLatin1String(kUsage));
  for (qsizetype i = 0; i < args.size(); ++i) {
    if (args[i] == QStringLiteral("-o") && i + 1 < args.size()) o.output = args[++i];
    else if (args[i] == QStringLiteral("--skip-refused")) o.skipRefused = true;
    else if (args[i] == QStringLiteral("--fit")) o.fit = true;
    else if (args[i] == QStringLiteral("--recompress") && i + 1 < args.size()) {
      o.recompress = true;
      if (!CompressorNamed(args[++i], o.handler)) {
        Print(stderr, QStringLiteral("no compressor '%1' here (see splicora-cli codecs)").arg(args[i]));
        return kExitUsage;
      }
    } else if (args[i] == QStringLiteral("--mp3")) o.mp3 = true;
    else if (args[i] == QStringLiteral("-o") || args[i].startsWith(QLatin1Char('-'))) {
      Print(stderr, usage);
      return kExitUsage;
    } else o.files << args[i];
  }
  if (o.output.isEmpty() || o.files.isEmpty() || (o.mp3 && !o.recompress) || (o.fit && o.recompress)) {
    Print(stderr, usage);
    return kExitUsage;
  }

  // Each clip's headers and index are read once: the check, the timeline, the
  // plan and the copy share them (within a budget for very long clips).
  media::SharedAviReaders::Enable(kSharedIndexBudget);
  // A direct join decodes the first frames it must while it copies: loading
  // the decoders costs more than copying short clips. Should a frame not
  // decode, the join is thrown away and done again as the list would admit
  // the clips, with the same refusals.
  return RunJoin(o, o.recompress ? FirstFrameCheck::Now : FirstFrameCheck::Later);
}

int RunJoin(const JoinOptions& options, FirstFrameCheck check) {
  Admitted admitted =
      AdmitFiles(options.files, options.skipRefused, options.fit ? FitOffer::Always : FitOffer::Refuse, check);
  if (check == FirstFrameCheck::Later && !admitted.refused.isEmpty()) {
    // Every refusal is named at once, those of first frames too.
    return RunJoin(options, FirstFrameCheck::Now);
  }
  const QStringList& clips = admitted.clips;
  const QList<AdmissionResult>& refused = admitted.refused;
  JoinDriver driver;
  FrameChecks checks(admitted.later, driver);
  // Settles the first frames before anything else is said: a clip that does
  // not decode is refused as the list would refuse it.
  QString path;
  bool nameWasFree = false;  // so a file found under it is this join's
  auto dropOutput = [&] {
    if (nameWasFree) QFile::remove(path);
  };
  auto failBeforeJoin = [&](const std::function<void()>& say) {
    checks.Wait();
    QCoreApplication::sendPostedEvents();  // the verdict
    if (!driver.framesDecoded) {
      dropOutput();
      return RunJoin(options, FirstFrameCheck::Now);
    }
    admitted.ShowWarnings();
    say();
    return kExitFailed;
  };

  if (check == FirstFrameCheck::Now) admitted.ShowWarnings();
  if (!refused.isEmpty()) PrintRefused(refused, options.skipRefused && !clips.isEmpty());
  if (!refused.isEmpty() && !options.skipRefused) {
    Print(stderr, QStringLiteral("(--skip-refused joins the other files)"));
    return kExitFailed;
  }
  if (clips.isEmpty()) {
    Print(stderr, QStringLiteral("No clip can be joined."));
    return kExitFailed;
  }

  path = QFileInfo(options.output).absoluteFilePath();
  if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".avi");
  path = UniqueOutputName(path);
  nameWasFree = !QFileInfo::exists(path) && !QFileInfo(path).isSymLink();
  // The space rule counts an unreadable volume as full; a folder that is not
  // there must not be reported as a full disk.
  if (const QFileInfo folder(QFileInfo(path).absolutePath()); !folder.isDir()) {
    return failBeforeJoin([&] {
      Print(stderr, QStringLiteral("cannot create %1: the folder %2 does not exist").arg(path, folder.filePath()));
    });
  }
  if (!JoinCheckDiskSpace(path, clips)) {
    return failBeforeJoin([] {
      ShowMessageBox(nullptr, LanguageText(150, QStringLiteral("No enough disc space available!")), ApplicationName(),
                     MB_ICONINFORMATION);
    });
  }

  if (options.recompress) {
    ConvertRequest request;
    for (const QString& clip : clips) request.clips.push_back(QFile::encodeName(clip).toStdString());
    request.outputPath = QFile::encodeName(path).toStdString();
    request.handler = options.handler;
    request.settings = LoadCompressorSettings(options.handler);
    request.convertAudio = options.mp3;
    return Convert(std::move(request), path, clips.size());
  }

  // Tests that interrupt a running join slow it down through the environment.
  if (int delay = qEnvironmentVariableIntValue("SPLICORA_TEST_CHUNK_DELAY_US"); delay > 0)
    media::TimelineWriter::SetChunkDelayForTesting(delay);

  TimelineJoiner joiner;
  driver.joiner = &joiner;
  joiner.SetOwner(&driver, wm::MSG_GRAPH_NOTIFY, wm::MSG_JOIN_DONE);
  bool started = joiner.BuildTimeline(clips.first());
  for (qsizetype i = 0; i < clips.size(); ++i)
    started = started && joiner.AppendClip(clips[i], i > 0 && admitted.fitted.contains(clips[i]));
  driver.clock.start();
  started = started && joiner.Render(path);
  if (!started) {  // a failure with its reason, not a cancel
    const QString error = joiner.LastError();
    joiner.StopJoin();
    return failBeforeJoin(
        [&] { ShowMessageBox(nullptr, JoinFailedText(error), ApplicationName(), MB_ICONINFORMATION); });
  }

  checks.Start();

  // The warnings and the join's notes once the first frames are known to decode.
  auto sayNotes = [&] {
    admitted.ShowWarnings();
    for (const QString& note : joiner.Notes()) Print(stderr, note);
  };
  if (driver.framesChecked) sayNotes();
  else driver.onFramesDecoded = sayNotes;

  // Ctrl-C and SIGTERM ask the join to stop; the next graph event stops it.
  InterruptWatch watch([&driver] {
    if (!driver.cancelRequested) Print(stderr, QStringLiteral("\nCancelling..."));
    driver.cancelRequested = true;
  });
  QTimer progress;
  bool progressShown = false;
  QObject::connect(&progress, &QTimer::timeout, [&joiner, &driver, &progressShown] {
    if (driver.doneCode >= 0 || !driver.framesChecked) return;
    progressShown = true;
    int percent = static_cast<int>(joiner.Poll()) * 100 / static_cast<int>(std::max(joiner.ExpectedSeconds(), 1u));
    std::fprintf(stderr, "\rJoining: %3d%%", percent);
    std::fflush(stderr);
  });
  progress.start(1000);
  if (driver.doneCode < 0 || !driver.framesChecked) driver.loop.exec();
  progress.stop();
  if (progressShown) std::fprintf(stderr, "\n");  // the progress line ends here
  const QString error = joiner.LastError();
  joiner.StopJoin();

  if (driver.cancelRequested) {
    ShowMessageBox(nullptr, LanguageText(148, QStringLiteral("Merge video files was canceled!")), ApplicationName(),
                   MB_ICONINFORMATION);
    return kExitCancelled;
  }
  if (!driver.framesDecoded) {
    // Not one byte of this output stands: the join is done again, refusing the clip.
    dropOutput();
    return RunJoin(options, FirstFrameCheck::Now);
  }
  if (driver.doneCode != 0) {
    ShowMessageBox(nullptr, JoinFailedText(error), ApplicationName(), MB_ICONINFORMATION);
    return kExitFailed;
  }
  std::fprintf(stderr, "Joined %lld clips in %.3f s\n", static_cast<long long>(clips.size()), driver.joinSeconds);
  ShowMessageBox(nullptr, LanguageText(149, QStringLiteral("Finished Successfully!")), ApplicationName(),
                 MB_ICONINFORMATION);
  Print(stdout, path);
  return kExitFinished;
}

const CommandRegistration registration("join", kUsage, Join);

}  // namespace
