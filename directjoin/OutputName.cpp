#include "directjoin/OutputName.h"

#include <QFileInfo>

#include <algorithm>

namespace {
constexpr int kLongName = 258;
}

QString NextOutputName(const QString& name) {
  const int length = static_cast<int>(name.size());
  const int fileStart = static_cast<int>(name.lastIndexOf(QLatin1Char('/'))) + 1;
  // The first "." among the last five characters, not inside the folder part.
  int at = -1;
  for (int i = std::max(length - 5, fileStart); i < length; ++i)
    if (name[i] == QLatin1Char('.')) {
      at = i;
      break;
    }
  if (at < 0) at = length;  // no extension: the number goes at the end
  if (at > fileStart && name[at - 1] == QLatin1Char(']')) {
    for (int i = at - 2; i >= std::max(1, fileStart); --i) {
      if (name[i] != QLatin1Char('[')) continue;
      bool ok = false;
      qlonglong n = name.mid(i + 1, at - 2 - i).toLongLong(&ok);
      if (!ok || n < 0 || n >= 2147483647) n = 0;
      return name.left(i) + QLatin1Char('[') + QString::number(n + 1) + QLatin1Char(']') + name.mid(at);
    }
  }
  return name.left(at) + QStringLiteral("[1]") + name.mid(at);
}

QString UniqueOutputName(const QString& path, const std::function<bool(const QString&)>& exists) {
  auto taken = exists ? exists : [](const QString& p) { return QFileInfo::exists(p) || QFileInfo(p).isSymLink(); };
  QString name = path;
  // Every step yields a new name, so this ends once a free one is found; the
  // bound only guards against a file system that claims every name exists.
  for (int step = 0; step < 1000000 && taken(name); ++step) {
    if (name.size() >= kLongName) break;
    name = NextOutputName(name);
  }
  return name;
}
