#pragma once
// Admitting one file to the clip list: the row limit, the inspection, the
// format check against the first clip and the thumbnail, with the messages
// the user sees at each refusal. The window's AddClip and the command line's
// join both go through it.
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

#include "clips/AudioFormat.h"
#include "clips/ClipPicture.h"
#include "clips/StreamSummary.h"

class QObject;
class ClipInfo;

// The first clip's format, which every later clip is compared with.
struct ClipReference {
  ClipReference() = default;
  ClipReference(const StreamSummary& v, const StreamSummary& a, const AudioFormat& format,
                std::vector<uint8_t> videoBlock = {})
      : video(v), audio(a), audioFormat(format), videoFormat(std::move(videoBlock)) {}

  StreamSummary video;
  StreamSummary audio;
  AudioFormat audioFormat;
  // The video's format block as stored (header and codec-private data): a
  // later clip that stores the same needs no decoding to prove its codec.
  std::vector<uint8_t> videoFormat;
};

enum class Admission {
  Added,         // the clip joins the list (an audio difference only warns)
  ListFull,      // the list already has its maximum of rows: the batch stops
  NotOpened,     // the file could not be opened: this file is skipped
  VideoDiffers,  // the video differs from the first clip's: this file is skipped
  NoDecoder,     // no thumbnail could be decoded: the batch stops
};

struct AdmissionResult {
  Admission outcome = Admission::NotOpened;
  QString path;
  QString message;       // what was shown: the refusal, or the audio warning of an added clip
  QString damage;        // the warning shown for an added clip that is cut short (ClipInfo::DamageWarning)
  uint32_t seconds = 0;  // DurationSeconds of an opened clip
  ClipPicture thumbnail;  // of an added clip
  bool fit = false;      // added although its video differs: re-encoded to match the first clip
  // Added without the first-frame decode it needs, which the caller does
  // (FirstFrameCheck::Later): until it has, the clip is not yet admitted.
  bool decodeLater = false;
};

// When a clip that shows no thumbnail has its first frame decoded.
enum class FirstFrameCheck {
  Now,    // within the admission
  Later,  // by the caller, alongside other work (ClipInfo::FirstFrameDecodes)
};

// What becomes of a clip whose video differs from the first clip's.
enum class FitOffer {
  Refuse,  // refused
  Ask,     // the refusal asks whether to add it anyway, to be re-encoded to match
  Always,  // added to be re-encoded to match, without asking
};

// A batch goes on after this outcome.
bool ContinuesBatch(Admission outcome);

// The rows a list holds at most.
constexpr int kMaxClipRows = 101;

// Admits path to a list of count rows. For the first clip (count 0) the
// reference is replaced by the clip's format. Messages go through
// ShowMessageBox with owner. compared runs once the clip is opened and
// checked (the reference already replaced for a first clip), before its
// thumbnail is drawn: the window counts its duration there. Without
// thumbnail (a join on the command line shows none) only the first frame is
// decoded, which refuses the same clips, and only where it tells something:
// for the first clip and for a clip whose video format block differs from
// the first clip's (the same codec set up the same way decodes alike).
// fit says what becomes of a clip whose video differs; check, when the
// first frame of a clip without thumbnail is decoded.
AdmissionResult AdmitClip(const QString& path, int count, ClipReference& reference, QObject* owner,
                          const std::function<void(const ClipInfo&)>& compared = {}, bool thumbnail = true,
                          FitOffer fit = FitOffer::Refuse, FirstFrameCheck check = FirstFrameCheck::Now);

// The caption of the refusals, text 147.
QString MergeCaption();
