// splicora-skincompare COMMITTED DRAWN [COMMITTED DRAWN ...]: exit 0 when every
// pair of folders holds the same art (see SkinCompare.h), else 1 with the faults.
#include <QCoreApplication>

#include <cstdio>

#include "SkinCompare.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = QCoreApplication::arguments().mid(1);
  if (args.isEmpty() || args.size() % 2 != 0) {
    std::fprintf(stderr,
                 "usage: splicora-skincompare COMMITTED_DIR DRAWN_DIR [COMMITTED_DIR DRAWN_DIR ...]\n");
    return 2;
  }
  QStringList faults;
  for (qsizetype i = 0; i < args.size(); i += 2) faults << skincompare::CompareFolders(args[i], args[i + 1]);
  for (const QString& fault : faults) std::fprintf(stderr, "%s\n", qPrintable(fault));
  return faults.isEmpty() ? 0 : 1;
}
