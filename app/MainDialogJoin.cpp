// The Join command and how the window follows a running join.
#include "app/MainDialog.h"

#include <QPushButton>

#include "app/core/LanguageText.h"
#include "app/core/MessageBox.h"

void MainDialog::OnJoin() {}

void MainDialog::OnCancelJoin() {
  cancelRequested = true;
  cancelButton->setEnabled(false);
}

void MainDialog::FinishRun() {
  const bool cancelled = cancelRequested;
  KillTimer(progressTimerId);
  StopRun();
  previewDuringRun = false;
  previewPanel->hide();
  QString message;
  if (cancelled) {
    message = LanguageText(148, QStringLiteral("Merge video files was canceled!"));
    cancelRequested = false;
  } else if (videoFailed) {
    message = LanguageText(166, QStringLiteral("Error recompress video! Please check video settins."));
    videoFailed = false;
  } else if (audioFailed) {
    message = LanguageText(168, QStringLiteral("Error make audio track!"));
    audioFailed = false;
  } else {
    message = LanguageText(149, QStringLiteral("Finished Successfully!"));
  }
  RestoreIdleLayout();
  ShowMessageBox(this, message, ApplicationName(), MB_ICONINFORMATION);
  removeButton->setEnabled(true);
  addButton->setEnabled(true);
  joinButton->setEnabled(true);
}

void MainDialog::StopRun() {}

bool MainDialog::StartWorker() { return false; }

bool MainDialog::UpdateJoinProgress(int) { return cancelRequested || closeRequested; }

bool MainDialog::DirectJoin(const QString&) { return false; }

bool MainDialog::CheckDiskSpace(const QString&) { return false; }

bool MainDialog::FileSizeMegabytes(const QString&, float& megabytes) {
  megabytes = 0;
  return false;
}

void MainDialog::MakeUniqueOutputName(QString&) {}

void MainDialog::OnProgressTimer() {}

void MainDialog::OnGraphNotify() {}
