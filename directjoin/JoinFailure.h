#pragma once
// The message that ends a direct join that failed. The direct join copies the
// clips, so its failure speaks of joining and gives the engine's reason; the
// conversion keeps its own texts about recompressing and the audio track.
#include <QString>

// "Joining failed: <reason>" in the interface language (the reason through
// the Russian phrase table), or "Joining failed." without a reason.
QString JoinFailedText(const QString& reason);
