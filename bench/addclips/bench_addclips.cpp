// Adds every clip of a folder to the main window in one Add File batch, the
// way the user does (open dialog, AddClip per file), removes them all, and
// repeats. Prints the time per clip and the memory after each round.
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>

#include <cstdio>

#include "app/CFECFileDialog.h"
#include "app/MainDialog.h"
#include "core/MessageBox.h"
#include "controls/CListFiles.h"

namespace {

// A field of /proc/self/status in kB (VmRSS, VmHWM).
long StatusKb(const char* field) {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  const QByteArray key = QByteArray(field) + ':';
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith(key)) return line.mid(key.size()).trimmed().split(' ').first().toLong();
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_addclips <folder of clips> [rounds]\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const QStringList names =
      QDir(folder).entryList({QStringLiteral("*.avi")}, QDir::Files, QDir::Name);
  int boxes = 0;
  SetMessageBoxHandler([&](QObject*, const QString& text, const QString&, unsigned) {
    ++boxes;
    std::fprintf(stderr, "message: %s\n", qPrintable(text));
    return IDOK;
  });

  MainDialog dialog{QString()};
  dialog.show();
  QApplication::processEvents();

  QElapsedTimer timer;
  CFECFileDialog::SetShowHook([&](CFECFileDialog* d) {
    d->setDirectory(folder);
    QStringList quoted;
    for (const QString& n : names) quoted << QLatin1Char('"') + n + QLatin1Char('"');
    d->SetFileNameText(quoted.join(QLatin1Char(' ')));
    timer.start();  // from the Open button: the dialog closes, then the batch
    d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))
        ->button(QDialogButtonBox::Open)
        ->click();
  });

  const long startRss = StatusKb("VmRSS");
  std::printf("clips %lld, rss at start %ld kB\n", static_cast<long long>(names.size()), startRss);
  int failures = 0;
  for (int round = 1; round <= rounds; ++round) {
    dialog.OnAddFile();
    const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    const int rows = dialog.clipList->GetItemCount();
    const long fullRss = StatusKb("VmRSS");
    while (dialog.clipList->GetItemCount() > 0) {
      dialog.clipList->setCurrentItem(dialog.clipList->topLevelItem(0));
      dialog.OnRemove();
    }
    QApplication::processEvents();
    const long emptyRss = StatusKb("VmRSS");
    std::printf("round %d: %d rows in %.1f ms = %.2f ms per clip; rss full %ld kB, emptied %ld kB\n",
                round, rows, ms, rows ? ms / rows : 0.0, fullRss, emptyRss);
    if (rows != names.size()) ++failures;
  }
  std::printf("peak rss %ld kB; thumbnails of one round %.0f kB; messages %d\n", StatusKb("VmHWM"),
              names.size() * 256.0 * 96 * 4 / 1024, boxes);
  return failures || boxes ? 1 : 0;
}
