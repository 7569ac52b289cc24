// Adding and removing clips: the Add File command, the add routine shared
// with drops, and Remove.
#include <QApplication>
#include <QImage>

#include <algorithm>
#include <cmath>
#include <thread>

#include "app/CFECFileDialog.h"
#include "app/MainDialog.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "clips/ClipInfo.h"
#include "clips/ClipTexts.h"
#include "clips/CompareStreams.h"

namespace {

constexpr int kMaxRowsBeforeAdd = 100;  // a list of 101 rows takes no more

// Restores the cursor on every way out of a batch.
struct WaitCursor {
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

QString MergeCaption() { return LanguageText(147, QStringLiteral("Merge is not possible...")); }

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
                        QStringLiteral("AVI Files (*.avi)|*.avi|All Files (*.*)|*.*||"), nullptr);
  if (dialog.DoModal() != IDOK) return;

  SetCommandsEnabled(false);
  update();
  {
    WaitCursor wait;
    POSITION position = dialog.GetStartPosition();
    if (position) {
      // The first name comes last, after all the others in the order given;
      // a batch that stops early never adds it.
      const QString first = dialog.GetNextPathName(position);
      while (true) {
        if (!position) {
          AddClip(first);
          break;
        }
        const QString path = dialog.GetNextPathName(position);
        if (AddClip(path) == 0) break;
        std::this_thread::yield();
      }
    }
    SetCommandsEnabled(true);
  }
}

int MainDialog::AddClip(const QString& path) {
  const int count = clipList->GetItemCount();
  if (count > kMaxRowsBeforeAdd) {
    ShowMessageBox(this, LanguageText(157, QStringLiteral("Clips count exceed of maximal possible!")),
                   ApplicationName(), MB_ICONWARNING);
    return 0;
  }

  ClipInfo clip;  // closed by its destructor on every way out
  if (!clip.Open(path)) return 1;  // the reason has been shown
  repaint();

  const uint32_t seconds = clip.DurationSeconds();
  if (count > 0) {
    QString report = LanguageText(146, QStringLiteral("Files format is not equal. "));
    const bool videoOk = CompareStreams(true, referenceVideo, clip.video, report);
    const bool audioOk = CompareStreams(false, referenceAudio, clip.audio, report);
    if (!videoOk || !audioOk) ShowMessageBox(this, report, MergeCaption(), MB_ICONWARNING);
    if (!videoOk) return 1;
    // An audio difference only warns; the clip is added.
    totalSeconds += static_cast<int32_t>(seconds);
    ShowTotals(*this);
  } else {
    referenceVideo = clip.video;
    referenceAudio = clip.audio;
    referenceDescription.clear();
    clip.Describe(referenceDescription);
    totalSeconds = static_cast<int32_t>(seconds);
    ShowTotals(*this);
    FitPreview(*this);
  }

  QImage thumbnail = ClipInfo::NewThumbnail();
  if (!clip.DrawThumbnail(thumbnail, ClipInfo::kThumbnailCell, path)) {
    const QString code = HandlerText(clip.video.handler).toUpper();
    if (count > 0) {
      totalSeconds -= static_cast<int32_t>(seconds);
      ShowTotals(*this);
    } else {
      SetInfoLine(hintText);
      totalSeconds = 0;
    }
    clip.Close();
    ShowMessageBox(this,
                   LanguageText(167, QStringLiteral("No video codec installed for format ")) + code +
                       QLatin1Char('.'),
                   MergeCaption(), MB_ICONWARNING);
    return 0;
  }

  const int row = clipList->AddClipRow(path, thumbnail);
  clipList->SetItemData(row, static_cast<int>(seconds));
  clip.Close();
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
