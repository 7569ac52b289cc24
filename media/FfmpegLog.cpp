#include "media/FfmpegLog.h"

extern "C" {
#include <libavutil/log.h>
}

namespace media {

void SetFfmpegLogging(bool on) {
  av_log_set_level(on ? AV_LOG_INFO : AV_LOG_QUIET);
}

}  // namespace media
