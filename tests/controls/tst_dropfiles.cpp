// Drops on the clip list, driven by real drag-enter and drop events: which
// names reach the parent window, in which order, and the messages around them.
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QUrl>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "core/WindowMessages.h"
#include "controls/CListFiles.h"
#include "controls/DropFiles.h"
#include "tests/support/Fixtures.h"

namespace {

// Stands in for the main dialog: records what the list sends.
class RecordingParent : public QWidget, public MessageTarget {
 public:
  struct Message {
    UINT message;
    WPARAM wParam;
    QString path;
  };
  QList<Message> log;
  int stopAfter = -1;  // answer 0 to this many-th accepted file (1-based)

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM) override {
    Message m{message, wParam, {}};
    if (message == wm::MSG_ADD_DROPPED_FILE) {
      m.path = *reinterpret_cast<const QString*>(wParam);
      m.wParam = 0;
    }
    log.append(m);
    if (message == wm::MSG_ADD_DROPPED_FILE) return AddedCount() == stopAfter ? 0 : 1;
    return 0;
  }

  QStringList Added() const {
    QStringList paths;
    for (const Message& m : log)
      if (m.message == wm::MSG_ADD_DROPPED_FILE) paths << m.path;
    return paths;
  }
  int AddedCount() const { return static_cast<int>(Added().size()); }
};

void Touch(const QString& path) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write("RIFF");
}

QString Join(const QStringList& paths) { return paths.join(QLatin1Char('|')); }

}  // namespace

class TestDropFiles : public QObject {
  Q_OBJECT
  QString dir_;
  QString P(const char* name) const { return dir_ + QLatin1Char('/') + QLatin1String(name); }

  // Drives a drag-enter and then a drop of these paths onto the list.
  bool Drop(CListFiles& list, const QStringList& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
    data.setUrls(urls);
    const QPoint at(50, 50);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list.viewport(), &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list.viewport(), &drop);
    // The names are handled right after the drop event.
    QCoreApplication::processEvents();
    return drop.isAccepted();
  }

 private slots:
  void initTestCase() {
    dir_ = QString::fromStdString(testsupport::TempDir("dropfiles"));
    Touch(P("a.avi"));
    Touch(P("b.txt"));
    Touch(P("c.AVI"));
    Touch(P("clip.avi"));
    Touch(P("movie.avi.bak"));
    Touch(P("movie.bak.avi"));
    QVERIFY(QDir(dir_).mkdir(QStringLiteral("x.avi")));
    QVERIFY(QDir(dir_).mkdir(QStringLiteral("folder")));
    QVERIFY(QFile::link(P("clip.avi"), P("link-to-clip")));
    QVERIFY(QFile::link(P("folder"), P("link-to-folder.avi")));
    QVERIFY(QFile::link(P("b.txt"), P("link-to-text.avi")));
    QVERIFY(QFile::link(P("gone.avi"), P("dangling.avi")));
    auto desktop = [&](const char* name, const QString& url) {
      QFile f(P(name));
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write("[Desktop Entry]\nType=Link\nName=clip\nURL=" + url.toUtf8() + "\n");
    };
    desktop("clip.desktop", QUrl::fromLocalFile(P("clip.avi")).toString());
    desktop("web.desktop", QStringLiteral("https://example.org/clip.avi"));
    desktop("plain-path.desktop", P("c.AVI"));
  }

  void dropKeepsAviFilesInOrder() {
    RecordingParent parent;
    CListFiles list(&parent);
    parent.show();
    QVERIFY(Drop(list, {P("a.avi"), P("b.txt"), P("c.AVI"), P("link-to-clip"),
                        P("link-to-folder.avi"), P("x.avi"), P("movie.avi.bak"),
                        P("movie.bak.avi"), P("link-to-text.avi"), P("dangling.avi"),
                        P("clip.desktop"), P("web.desktop")}));
    QCOMPARE(Join(parent.Added()),
             Join({P("a.avi"), P("c.AVI"), P("clip.avi"), P("movie.bak.avi"), P("clip.avi")}));
    // Commands off before the names, on again after them.
    QCOMPARE(parent.log.first().message, wm::MSG_DROP_STATE);
    QCOMPARE(parent.log.first().wParam, WPARAM(0));
    QCOMPARE(parent.log.last().message, wm::MSG_DROP_STATE);
    QCOMPARE(parent.log.last().wParam, WPARAM(1));
    QCOMPARE(parent.log.size(), 7);
    // The list adds nothing by itself.
    QCOMPARE(list.GetItemCount(), 0);
    QVERIFY(!QApplication::overrideCursor());
  }

  void nothingAcceptedStillTogglesCommands() {
    RecordingParent parent;
    CListFiles list(&parent);
    QVERIFY(Drop(list, {P("b.txt"), P("x.avi")}));
    QCOMPARE(parent.log.size(), 2);
    QCOMPARE(parent.log[0].wParam, WPARAM(0));
    QCOMPARE(parent.log[1].wParam, WPARAM(1));
  }

  void parentStopsTheDrop() {
    RecordingParent parent;
    parent.stopAfter = 2;
    CListFiles list(&parent);
    QVERIFY(Drop(list, {P("a.avi"), P("c.AVI"), P("clip.avi"), P("movie.bak.avi"),
                        P("link-to-clip")}));
    QCOMPARE(Join(parent.Added()), Join({P("a.avi"), P("c.AVI")}));
    QCOMPARE(parent.log.last().message, wm::MSG_DROP_STATE);
    QCOMPARE(parent.log.last().wParam, WPARAM(1));
  }

  void dropsOffWhileJoining() {
    RecordingParent parent;
    CListFiles list(&parent);
    list.DragAcceptFiles(false);
    QVERIFY(!Drop(list, {P("a.avi")}));
    QVERIFY(parent.log.isEmpty());
    list.DragAcceptFiles(true);
    QVERIFY(Drop(list, {P("a.avi")}));
    QCOMPARE(parent.AddedCount(), 1);
  }

  void dropsBringTheWindowForward() {
    RecordingParent parent;
    CListFiles list(&parent);
    QWidget other;
    parent.show();
    other.show();
    other.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &other);
    QVERIFY(Drop(list, {P("b.txt")}));
    QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget*>(&parent));
  }

  void shortcutsAndExtensions() {
    QCOMPARE(ResolveShortcut(QString()), QString());
    QCOMPARE(ResolveShortcut(P("a.avi")), QString());  // not a shortcut
    QCOMPARE(ResolveShortcut(P("link-to-clip")), P("clip.avi"));
    QCOMPARE(ResolveShortcut(P("clip.desktop")), P("clip.avi"));
    QCOMPARE(ResolveShortcut(P("plain-path.desktop")), P("c.AVI"));
    QCOMPARE(ResolveShortcut(P("web.desktop")), QString());
    QCOMPARE(ResolveShortcut(P("dangling.avi")), P("gone.avi"));

    QCOMPARE(PathFindExtension(QStringLiteral("/a.b/c")), QString());
    QCOMPARE(PathFindExtension(QStringLiteral("/a/movie.bak.avi")), QStringLiteral(".avi"));
    QCOMPARE(PathFindExtension(QStringLiteral("/a/movie.avi.bak")), QStringLiteral(".bak"));
    QVERIFY(IsAcceptedClipFile(P("c.AVI")));
    QVERIFY(!IsAcceptedClipFile(P("x.avi")));
    QVERIFY(!IsAcceptedClipFile(P("gone.avi")));
    QVERIFY(!IsAcceptedClipFile(P("*.avi")));
    QVERIFY(!IsAcceptedClipFile(QString()));
    // A FIFO is not a regular file.
    QVERIFY(testsupport::Run("mkfifo " + testsupport::Quote(P("pipe.avi").toStdString())) == 0);
    QVERIFY(!IsAcceptedClipFile(P("pipe.avi")));
  }

  // Shift held over the list proposes a move; the list only reads the files,
  // so it answers with a copy and the file manager keeps its clips.
  void dropIsACopyNeverAMove() {
    RecordingParent parent;
    CListFiles list(&parent);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(P("a.avi"))});
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
    const QPoint at(50, 50);
    QDragEnterEvent enter(at, offered, &data, Qt::LeftButton, Qt::ShiftModifier);
    QCOMPARE(enter.proposedAction(), Qt::MoveAction);
    QApplication::sendEvent(list.viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QCOMPARE(enter.dropAction(), Qt::CopyAction);
    QDragMoveEvent move(at, offered, &data, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(list.viewport(), &move);
    QVERIFY(move.isAccepted());
    QCOMPARE(move.dropAction(), Qt::CopyAction);
    QDropEvent drop(QPointF(at), offered, &data, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(list.viewport(), &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(drop.dropAction(), Qt::CopyAction);
    QCoreApplication::processEvents();
    QCOMPARE(Join(parent.Added()), Join({P("a.avi")}));
  }

  // A FIFO named like a shortcut is not read: opening it would wait for a
  // writer and freeze the window in the middle of the drop.
  void fifoNamedLikeAShortcutNeverBlocks() {
    const QString fifo = P("pipe.desktop");
    QVERIFY(testsupport::Run("mkfifo " + testsupport::Quote(fifo.toStdString())) == 0);
    auto resolved = std::async(std::launch::async, [fifo] { return ResolveShortcut(fifo); });
    if (resolved.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      // Let the blocked reader go before failing.
      const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
      resolved.wait();
      QFAIL("ResolveShortcut waited on a FIFO");
    }
    QCOMPARE(resolved.get(), QString());
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TestDropFiles test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_dropfiles.moc"
