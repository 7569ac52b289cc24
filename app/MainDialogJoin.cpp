// The Join command and how the window follows a running join.
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QThread>
#include <QTreeWidgetItem>

#include "app/CFECFileDialog.h"
#include "app/FitRows.h"
#include "app/MainDialog.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "convert/CompressorSettingsStore.h"
#include "convert/ConvertWorker.h"
#include "convert/dialogs/CFileDialogOpt.h"
#include "directjoin/FreeSpace.h"
#include "directjoin/JoinFailure.h"
#include "directjoin/OutputName.h"
#include "directjoin/TimelineJoiner.h"

namespace {

constexpr uint32_t kSaveFlags = CFileDialogOpt::OFN_EXPLORER | CFileDialogOpt::OFN_HIDEREADONLY;  // 0x80004
constexpr int kWorkerWaitMs = 5000;

// Text 166 (video or output) or 168 (audio track), with the reason below it
// in the interface language.
QString FailureText(bool audio, const QString& reason) {
  QString text = audio ? LanguageText(168, QStringLiteral("Error make audio track!"))
                       : LanguageText(166, QStringLiteral("Error recompress video! Please check video settings."));
  if (!reason.isEmpty()) text += QStringLiteral("\r\r") + LanguagePhrase(reason);
  return text;
}

QStringList ListedPaths(const CListFiles* list) {
  QStringList paths;
  for (int i = 0; i < list->GetItemCount(); ++i) paths << list->GetItemText(i, 1);
  return paths;
}

}  // namespace

void MainDialog::OnJoin() {
  CFileDialogOpt dialog(convertAudio, codecName, &CodecList, false, QString(), QString(), kSaveFlags,
                        CFECFileDialog::AviFilter(),
                        referenceVideo.frame.right - referenceVideo.frame.left,
                        referenceVideo.frame.bottom - referenceVideo.frame.top, nullptr);
  const bool removeOn = removeButton->isEnabled();
  const bool addOn = addButton->isEnabled();
  const bool joinOn = joinButton->isEnabled();
  removeButton->setEnabled(false);
  addButton->setEnabled(false);
  joinButton->setEnabled(false);
  progressBar->setValue(0);
  auto restore = [&] {
    removeButton->setEnabled(removeOn);
    addButton->setEnabled(addOn);
    joinButton->setEnabled(joinOn);
  };

  if (dialog.exec() != QDialog::Accepted) {
    restore();
    return;
  }
  repaint();
  QThread::msleep(10);

  QString path = dialog.GetPathName();
  if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".avi");
  MakeUniqueOutputName(path);
  outputPath.clear();

  QString message;
  unsigned icon = MB_ICONINFORMATION;
  if (!CheckDiskSpace(path)) {
    message = LanguageText(150, QStringLiteral("No enough disc space available!"));
  } else {
    EnterJoiningLayout();
    cancelRequested = false;
    closeRequested = false;
    running = true;
    videoFailed = false;
    audioFailed = false;
    bool started;
    // The choice is remembered only once the run starts: a run that does not
    // start leaves the choice of the last one that did.
    const QString previousCodecName = codecName;
    const uint32_t previousCodecHandler = codecHandler;
    const bool previousConvertAudio = convertAudio;
    if (dialog.recompress) {
      codecName = dialog.codecName.left(kCodecNameMax);
      codecHandler = dialog.codecHandler;
      convertAudio = dialog.convertAudio;
      previewDuringRun = true;
      previewPanel->show();
      outputPath = path;
      started = StartWorker();
    } else {
      progressBar->setValue(1);
      codecName.clear();  // the "Codec" setting is written empty after a direct join
      outputPath = path;
      started = DirectJoin(path);
    }
    if (started) return;
    icon = MB_ICONWARNING;
    codecName = previousCodecName;
    codecHandler = previousCodecHandler;
    convertAudio = previousConvertAudio;
    // A join that did not start failed; nobody cancelled it.
    const QString reason = std::exchange(joinError_, QString());
    message = (dialog.recompress ? FailureText(audioFailed && !videoFailed, reason) : JoinFailedText(reason)) +
              PartialOutputNote();
    videoFailed = audioFailed = false;
    previewDuringRun = false;
    previewPanel->hide();
    RestoreIdleLayout();
  }
  ShowMessageBox(this, message, ApplicationName(), icon);
  restore();
}

void MainDialog::OnCancelJoin() {
  cancelRequested = true;
  cancelButton->setEnabled(false);
  ShowStopping();
}

void MainDialog::ShowStopping() {
  // Nothing waits here: the run ends by its own MSG_JOIN_DONE, and the window
  // keeps answering meanwhile.
  if (stoppingShown_ || (!workerThread && !joiner)) return;
  infoBeforeStop_ = InfoLine();
  stoppingShown_ = true;
  SetInfoLine(LanguageText(1122, QStringLiteral("Stopping…")));
}

QString MainDialog::PartialOutputNote() const {
  if (outputPath.isEmpty() || !QFileInfo(outputPath).isFile()) return {};
  return LanguageText(1121, QStringLiteral("\rThe unfinished output was kept:\r%1")).arg(outputPath);
}

bool MainDialog::DirectJoin(const QString& path) {
  const int n = clipList->GetItemCount();
  if (n < 1) {
    PostMessage(this, wm::MSG_JOIN_DONE, 1, 0);
    return false;
  }
  if (joiner) {
    joiner->StopJoin();
    delete joiner;
    joiner = nullptr;
  }
  joiner = new TimelineJoiner;
  joiner->SetOwner(this, wm::MSG_GRAPH_NOTIFY, wm::MSG_JOIN_DONE);
  // A refusal (an output that is one of the clips, audio that cannot be
  // brought into the output's format) is explained in the failure message.
  auto refused = [this] {
    joinError_ = joiner->LastError();
    return false;
  };
  if (!joiner->BuildTimeline(clipList->GetItemText(0, 1))) return refused();
  for (int i = 0; i < n; ++i) {
    const QString clip = clipList->GetItemText(i, 1);
    clipList->EnsureVisible(i);
    if (QTreeWidgetItem* item = clipList->topLevelItem(i))
      clipList->setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (!joiner->AppendClip(clip, i > 0 && fitrows::Marked(clipList, i))) return refused();
  }
  progressBar->setRange(0, 100);
  if (!joiner->Render(path)) return refused();
  progressTimerId = SetTimer(wm::PROGRESS_TIMER_ID, 1000);
  return true;
}

void MainDialog::OnProgressTimer() {
  if (!joiner) return;
  const int seconds = static_cast<int>(joiner->Poll());
  if (!joiner) return;
  const int expected = static_cast<int>(joiner->ExpectedSeconds());
  progressBar->setValue(seconds * 100 / (expected ? expected : 1));
}

void MainDialog::OnGraphNotify() {
  if (!joiner) return;
  const bool wasRendering = joiner->Rendering();
  joiner->HandleGraphEvents();
  if (joiner->ErrorAborted()) joinError_ = joiner->LastError();
  // A join that has just ended through its own event is not ended twice.
  if ((cancelRequested || closeRequested) && wasRendering && joiner->Rendering()) {
    joiner->StopJoin();
    PostMessage(this, wm::MSG_JOIN_DONE, 0, 0);
  }
}

void MainDialog::FinishRun() {
  const bool cancelled = cancelRequested || (workerThread && workerThread->Cancelled());
  const bool directJoin = joiner != nullptr;  // a conversion runs without one
  // What failed in a conversion is said before the end text.
  if (workerThread && !cancelled && workerThread->Code() != ConvertWorker::kFinished)
    joinError_ = QString::fromStdString(workerThread->LastError());
  KillTimer(progressTimerId);
  const QStringList fitted = joiner ? joiner->FittedClips() : QStringList();
  if (joiner) {
    delete joiner;  // already stopped
    joiner = nullptr;
  }
  StopRun();
  previewDuringRun = false;
  previewPanel->hide();
  // A cancel only when the user asked for one; a failure shows its own text
  // and its reason.
  const QString error = std::exchange(joinError_, QString());
  QString message;
  unsigned icon = MB_ICONINFORMATION;
  if (cancelled) {
    message = LanguageText(148, QStringLiteral("Merge video files was canceled!")) + PartialOutputNote();
    cancelRequested = false;
  } else if (videoFailed || audioFailed) {
    message = (directJoin ? JoinFailedText(error) : FailureText(!videoFailed, error)) + PartialOutputNote();
    icon = MB_ICONWARNING;
  } else {
    message = LanguageText(149, QStringLiteral("Finished Successfully!"));
    if (!fitted.isEmpty())
      message += QStringLiteral("\r\r") +
                 LanguageText(1202, QStringLiteral("Re-encoded to match the first clip:")) + QStringLiteral("\r") +
                 fitted.join(QStringLiteral("\r"));
  }
  videoFailed = audioFailed = false;
  if (std::exchange(stoppingShown_, false)) SetInfoLine(infoBeforeStop_);
  RestoreIdleLayout();
  ShowMessageBox(this, message, ApplicationName(), icon);
  removeButton->setEnabled(true);
  addButton->setEnabled(true);
  joinButton->setEnabled(true);
}

void MainDialog::StopRun() {
  if (joiner) {
    joiner->StopJoin();
    delete joiner;
    joiner = nullptr;
  }
  if (workerThread) {
    cancelRequested = true;
    ConvertWorker* worker = workerThread.get();
    worker->Detach();  // a run stopped from here reports nothing more
    worker->RequestStop();
    // It stops at its next picture or chunk; the output is closed before it
    // ends, so it is waited for rather than ever left writing.
    while (!WaitAnsweringSentMessages(this, [worker] { return worker->Finished(); }, kWorkerWaitMs, 1)) {
    }
    workerThread.reset();
  }
}

bool MainDialog::StartWorker() {
  StopRun();
  cancelRequested = false;
  ConvertRequest request;
  for (const QString& clip : ListedPaths(clipList)) request.clips.push_back(QFile::encodeName(clip).toStdString());
  request.outputPath = QFile::encodeName(outputPath).toStdString();
  request.handler = codecHandler;
  request.settings = LoadCompressorSettings(codecHandler);
  request.convertAudio = convertAudio;
  CStaticVideo* panel = previewPanel;
  ConvertPreview preview;
  preview.wantsFrame = [panel] { return panel->WantsFrame(); };
  preview.present = [panel](const uint8_t* bits, int width, int height, int stride) {
    panel->PresentFrame(bits, width, height, stride);
  };
  preview.maxWidth = std::max(panel->width(), 64);
  // The clip being converted is scrolled into view and selected, on the GUI thread.
  auto shownClip = std::make_shared<std::atomic<int>>(-1);
  auto progress = [this, shownClip](int percent, int clip) {
    if (shownClip->exchange(clip) != clip)
      QMetaObject::invokeMethod(
          this,
          [this, clip] {
            clipList->EnsureVisible(clip);
            if (QTreeWidgetItem* item = clipList->topLevelItem(clip))
              clipList->setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
          },
          Qt::QueuedConnection);
    return UpdateJoinProgress(percent);
  };
  workerThread = std::make_unique<ConvertWorker>();
  workerThread->SetPictureDelayForTesting(convertDelayForTesting);
  if (workerThread->Start(std::move(request), this, progress, preview)) return true;
  workerThread.reset();
  return false;
}

bool MainDialog::UpdateJoinProgress(int value) {
  MainDialog* dialog = Current();
  if (!dialog) return true;
  const int position = dialog->previewDuringRun ? value : value + 1;
  auto show = [dialog, position] {
    if (dialog->previewDuringRun) dialog->previewPanel->repaint();
    dialog->progressBar->setValue(position);
  };
  if (QThread::currentThread() == dialog->thread()) show();
  else QMetaObject::invokeMethod(dialog, show, Qt::QueuedConnection);  // widgets belong to the GUI thread
  return dialog->cancelRequested || dialog->closeRequested;
}

bool MainDialog::CheckDiskSpace(const QString& path) { return JoinCheckDiskSpace(path, ListedPaths(clipList)); }

bool MainDialog::FileSizeMegabytes(const QString& path, float& megabytes) {
  return JoinFileSizeMegabytes(path, megabytes);
}

void MainDialog::MakeUniqueOutputName(QString& path) { path = UniqueOutputName(path); }
