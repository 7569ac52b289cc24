#include "directjoin/JoinFailure.h"

#include "core/LanguageText.h"

QString JoinFailedText(const QString& reason) {
  if (reason.isEmpty()) return LanguageText(1032, QStringLiteral("Joining failed."));
  return LanguageText(1031, QStringLiteral("Joining failed: %1")).arg(LanguagePhrase(reason));
}
