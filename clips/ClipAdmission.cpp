#include "clips/ClipAdmission.h"

#include "clips/ClipInfo.h"
#include "clips/ClipTexts.h"
#include "clips/CompareStreams.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"

bool ContinuesBatch(Admission outcome) {
  return outcome != Admission::ListFull && outcome != Admission::NoDecoder;
}

QString MergeCaption() {
  return LanguageText(147, QStringLiteral("Merge is not possible..."));
}

namespace {

AdmissionResult Refuse(AdmissionResult result, Admission outcome, const QString& message, QObject* owner,
                       const QString& caption) {
  result.outcome = outcome;
  result.message = message;
  ShowMessageBox(owner, message, caption, MB_ICONWARNING);
  return result;
}

}  // namespace

AdmissionResult AdmitClip(const QString& path, int count, ClipReference& reference, QObject* owner,
                          const std::function<void(const ClipInfo&)>& compared, bool thumbnail) {
  AdmissionResult result;
  result.path = path;
  if (count >= kMaxClipRows)
    return Refuse(result, Admission::ListFull,
                  LanguageText(157, QStringLiteral("Clips count exceed of maximal possible!")), owner,
                  ApplicationName());

  ClipInfo clip;           // closed by its destructor on every way out
  if (!clip.Open(path)) {  // Open has shown the reason
    result.message = clip.OpenError();
    return result;
  }
  result.seconds = clip.DurationSeconds();

  if (count > 0) {
    QString report = LanguageText(146, QStringLiteral("Files format is not equal. "));
    const bool videoOk = CompareStreams(true, reference.video, clip.video, report);
    const bool audioOk = CompareAudio(reference.audioFormat, clip.audioFormat, report);
    if (!videoOk) return Refuse(result, Admission::VideoDiffers, report, owner, MergeCaption());
    if (!audioOk) {
      // An audio difference only warns; the clip is added.
      result.message = report;
      ShowMessageBox(owner, report, MergeCaption(), MB_ICONWARNING);
    }
  } else {
    reference = ClipReference{clip.video, clip.audio, clip.audioFormat, clip.VideoFormat()};
  }
  if (compared) compared(clip);

  ClipPicture picture = thumbnail ? ClipInfo::NewThumbnail() : ClipPicture();
  const bool decodesAsFirst = !thumbnail && count > 0 && !reference.videoFormat.empty() &&
                              clip.VideoFormat() == reference.videoFormat;
  if (thumbnail ? !clip.DrawThumbnail(picture, ClipInfo::kThumbnailCell, path)
                : !decodesAsFirst && !clip.FirstFrameDecodes(path)) {
    const QString code = HandlerText(clip.video.handler).toUpper();
    // The missing-codec text only when no decoder exists; a damaged file says what failed.
    const QString text =
        clip.ThumbnailDecoderMissing()
            ? LanguageText(167, QStringLiteral("No video codec installed for format ")) + code + QLatin1Char('.')
            : LanguageText(1020, QStringLiteral("The pictures of this file cannot be decoded:")) +
                  QStringLiteral("\r") + path + QStringLiteral("\r") + LanguagePhrase(clip.ThumbnailError());
    clip.Close();
    return Refuse(result, Admission::NoDecoder, text, owner, MergeCaption());
  }
  result.outcome = Admission::Added;
  result.thumbnail = picture;
  return result;
}
