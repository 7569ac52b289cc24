// libFuzzer entry for what a join does with a file before it writes anything:
// the header reader, the clip admission (open, header values, the comparison
// with a reference, the first frame) and the direct join's plan built from the
// admitted clips. Any bytes are refused with a reason, or admitted and
// planned with a place for every frame the file holds.
#include <QFile>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "clips/ClipAdmission.h"
#include "core/MessageBox.h"
#include "directjoin/TimelineJoiner.h"
#include "avi/AviReader.h"
#include "media/FfmpegLog.h"
#include "media/HeaderCheck.h"

namespace {

// One folder per process for the clip and the plan's output path.
const std::string& Folder() {
  static const std::string folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = tmp && *tmp ? tmp : "/tmp";
    ::mkdir(base.c_str(), 0700);  // the test's scratch folder may not exist yet
    std::string pattern = base + "/splicora-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    return pattern;
  }();
  return folder;
}

void CheckReader(const std::vector<uint8_t>& bytes) {
  media::AviReader reader;
  if (reader.OpenMemory(bytes) != media::AVIERR_OK) {
    if (reader.IsOpen() || reader.LastError().empty()) std::abort();
    return;
  }
  if (const auto fault = media::FindHeaderFault(reader)) {
    if (fault->field.empty() || fault->stream < 0 || static_cast<size_t>(fault->stream) >= reader.StreamCount())
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  media::SetFfmpegLogging(false);
  SetMessageBoxHandler({});  // refusals are read from the results
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  CheckReader(bytes);

  const std::string file = Folder() + "/clip.avi";
  {
    QFile out(QString::fromStdString(file));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
      std::abort();
  }
  const QString path = QString::fromStdString(file);
  ClipReference reference;
  const AdmissionResult first = AdmitClip(path, 0, reference, nullptr, {}, false);
  if (first.outcome != Admission::Added) {
    if (first.message.isEmpty()) std::abort();  // every refusal says why
    return 0;
  }
  // The same file again, compared with itself as the list's first clip.
  const AdmissionResult second = AdmitClip(path, 1, reference, nullptr, {}, false);
  if (second.outcome == Admission::VideoDiffers) std::abort();

  TimelineJoiner joiner;
  const bool built = joiner.BuildTimeline(path) && joiner.AppendClip(path) && joiner.AppendClip(path);
  if (!built || !joiner.Plan(QString::fromStdString(Folder() + "/joined.avi"))) {
    if (joiner.LastError().isEmpty()) std::abort();
  }
  return 0;
}
