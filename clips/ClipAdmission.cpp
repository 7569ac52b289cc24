#include "clips/ClipAdmission.h"

#include "clips/ClipInfo.h"
#include "clips/ClipTexts.h"
#include "clips/CompareStreams.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "media/HeaderCheck.h"

bool ContinuesBatch(Admission outcome) {
  return outcome != Admission::ListFull && outcome != Admission::NoDecoder;
}

QString MergeCaption() {
  return LanguageText(147, QStringLiteral("Merge is not possible..."));
}

namespace {

// A header value no clip can have: the file, the field and its value, in the interface's language.
QString HeaderFaultText(const QString& path, const media::HeaderFault& fault) {
  return LanguageText(1070, QStringLiteral("A value in the headers of this file cannot be right:")) +
         QStringLiteral("\r") + path + QStringLiteral("\r") + LanguagePhrase(QString::fromStdString(fault.Text()));
}

AdmissionResult Refuse(AdmissionResult result, Admission outcome, const QString& message, QObject* owner,
                       const QString& caption) {
  result.outcome = outcome;
  result.message = message;
  ShowMessageBox(owner, message, caption, MB_ICONWARNING);
  return result;
}

// A clip whose video differs: refused (the report shown), or added to be
// re-encoded to match when asked for or when the user agrees.
bool FitsAnyway(const QString& report, FitOffer fit, QObject* owner) {
  if (fit == FitOffer::Always) return true;
  if (fit == FitOffer::Refuse) {
    ShowMessageBox(owner, report, MergeCaption(), MB_ICONWARNING);
    return false;
  }
  const QString question =
      report + QStringLiteral("\r\r") +
      LanguageText(1200, QStringLiteral("Add it anyway? Its video will be re-encoded to match the first clip "
                                        "(the other clips are still copied as they are)."));
  return ShowMessageBox(owner, question, MergeCaption(), MB_ICONQUESTION | MB_YESNO) == IDYES;
}

}  // namespace

AdmissionResult AdmitClip(const QString& path, int count, ClipReference& reference, QObject* owner,
                          const std::function<void(const ClipInfo&)>& compared, bool thumbnail, FitOffer fit,
                          FirstFrameCheck check) {
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
  if (const auto fault = media::FindHeaderFault(clip.Reader())) {
    clip.Close();
    return Refuse(result, Admission::NotOpened, HeaderFaultText(path, *fault), owner, ApplicationName());
  }
  result.seconds = clip.DurationSeconds();

  if (count > 0) {
    QString report = LanguageText(146, QStringLiteral("Files format is not equal. "));
    const bool videoOk = CompareStreams(true, reference.video, clip.video, report);
    const bool audioOk = CompareAudio(reference.audioFormat, clip.audioFormat, report);
    if (!videoOk && !FitsAnyway(report, fit, owner)) {
      result.outcome = Admission::VideoDiffers;
      result.message = report;
      return result;
    }
    result.fit = !videoOk;
    if (!audioOk) {
      // An audio difference only warns; the clip is added.
      result.message = report;
      if (!result.fit || fit != FitOffer::Ask) ShowMessageBox(owner, report, MergeCaption(), MB_ICONWARNING);
    }
  } else {
    reference = ClipReference{clip.video, clip.audio, clip.audioFormat, clip.VideoFormat()};
  }
  if (compared) compared(clip);

  ClipPicture picture = thumbnail ? ClipInfo::NewThumbnail() : ClipPicture();
  const bool decodesAsFirst = !thumbnail && count > 0 && !reference.videoFormat.empty() &&
                              clip.VideoFormat() == reference.videoFormat;
  result.decodeLater = !thumbnail && !decodesAsFirst && check == FirstFrameCheck::Later;
  if (thumbnail ? !clip.DrawThumbnail(picture, ClipInfo::kThumbnailCell, path)
                : !decodesAsFirst && !result.decodeLater && !clip.FirstFrameDecodes(path)) {
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
  if (!clip.DamageWarning().isEmpty()) {  // added, with a warning of what is missing
    result.damage = clip.DamageWarning();
    ShowMessageBox(owner, result.damage, ApplicationName(), MB_ICONWARNING);
  }
  result.outcome = Admission::Added;
  result.thumbnail = picture;
  return result;
}
