// Adding and removing clips: the Add File command, the add routine shared
// with drops, and Remove.
#include <QApplication>
#include <QImage>

#include <algorithm>
#include <cmath>
#include <thread>

#include "app/CFECFileDialog.h"
#include "app/FitRows.h"
#include "app/MainDialog.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "clips/ClipAdmission.h"
#include "clips/ClipImage.h"
#include "clips/ClipInfo.h"
#include "clips/ClipTexts.h"

namespace {

// Restores the cursor on every way out of a batch.
struct WaitCursor {
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// The first clip's description followed by the running time of the list.
void ShowTotals(MainDialog& dialog) {
  dialog.SetInfoLine(dialog.referenceDescription +
                     TimeText(static_cast<uint32_t>(std::max(dialog.totalSeconds, 0))));
}

// The preview keeps its left, top and width and takes the first clip's
// aspect. A frame without width or height has no aspect: the panel stays.
void FitPreview(MainDialog& dialog) {
  const media::AviRect& frame = dialog.referenceVideo.frame;
  const double aspect = static_cast<double>(frame.right - frame.left) /
                        static_cast<double>(frame.bottom - frame.top);
  if (!std::isfinite(aspect) || aspect <= 0) return;
  QRect rect = dialog.previewPanel->geometry();
  const double height = std::trunc(rect.width() / aspect);
  // An absurdly tall frame cannot push the panel beyond the window.
  rect.setHeight(static_cast<int>(std::min<double>(height, dialog.height())));
  dialog.previewPanel->setGeometry(rect);
  dialog.previewPanel->repaint();
}

}  // namespace

void MainDialog::OnAddFile() {
  CFECFileDialog dialog(true, QString(), QString(),
                        OFN_EXPLORER | OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY,
                        CFECFileDialog::AviFilter(), nullptr);
  if (dialog.DoModal() != IDOK) return;

  SetCommandsEnabled(false);
  update();
  {
    WaitCursor wait;
    // The names are added in the order the dialog yields them, which is the
    // order shown in its file-name box. (The original rotation, first name
    // last, answered another platform's dialog, which listed the focused name
    // first.)
    POSITION position = dialog.GetStartPosition();
    while (position) {
      if (AddClip(dialog.GetNextPathName(position)) == 0) break;
      std::this_thread::yield();
    }
    SetCommandsEnabled(true);
  }
}

int MainDialog::AddClip(const QString& path) {
  const int count = clipList->GetItemCount();
  ClipReference reference{referenceVideo, referenceAudio, referenceAudioFormat};
  // The duration counts once the clip passed the check; a failed thumbnail takes it back.
  auto counted = [this, count, &reference](const ClipInfo& clip) {
    repaint();
    if (count > 0) {
      totalSeconds += static_cast<int32_t>(clip.DurationSeconds());
    } else {
      referenceVideo = reference.video;
      referenceAudio = reference.audio;
      referenceAudioFormat = reference.audioFormat;
      referenceDescription.clear();
      clip.Describe(referenceDescription);
      totalSeconds = static_cast<int32_t>(clip.DurationSeconds());
    }
    ShowTotals(*this);
    if (count == 0) FitPreview(*this);
  };
  // A clip whose video differs may be added anyway, to be re-encoded to match.
  const AdmissionResult result = AdmitClip(path, count, reference, this, counted, true, FitOffer::Ask);
  if (result.outcome == Admission::NoDecoder) {
    if (count > 0) {
      totalSeconds -= static_cast<int32_t>(result.seconds);
      ShowTotals(*this);
    } else {
      SetInfoLine(hintText);
      totalSeconds = 0;
    }
  }
  if (result.outcome != Admission::Added) return ContinuesBatch(result.outcome) ? 1 : 0;
  const int row = clipList->AddClipRow(path, ClipImage(result.thumbnail));
  clipList->SetItemData(row, static_cast<int>(result.seconds));
  if (result.fit) fitrows::Mark(clipList, row);
  return 1;
}

void MainDialog::OnRemove() {
  int removed = 0;
  clipList->RemoveSelectedRow(removed);
  if (clipList->GetItemCount() > 0) {
    totalSeconds -= removed;
    ShowTotals(*this);
  } else {
    joinButton->setEnabled(false);
    removeButton->setEnabled(false);
    SetInfoLine(hintText);
    totalSeconds = 0;
  }
}

void MainDialog::AddFiles(const QStringList& paths) {
  if (paths.isEmpty()) return;
  SetCommandsEnabled(false);
  update();
  {
    WaitCursor wait;
    for (const QString& path : paths) {
      if (AddClip(path) == 0) break;
    }
    SetCommandsEnabled(true);
  }
}
