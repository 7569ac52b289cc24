// The main window under the offscreen platform: its template, languages,
// command states, the close and cancel flags of a running join, and the
// window messages that reach it from other threads.
#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

#include "app/MainDialog.h"
#include "core/LanguageText.h"
#include "core/MessageBox.h"

namespace {

struct Received {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  QThread* thread;
};

// Records what reaches WindowProc before the dialog handles it.
class RecordingDialog : public MainDialog {
 public:
  RecordingDialog() : MainDialog(QStringLiteral("?")) {}
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    {
      std::lock_guard lock(mutex);
      received.push_back({message, wParam, lParam, QThread::currentThread()});
    }
    return MainDialog::WindowProc(message, wParam, lParam);
  }
  std::vector<Received> Of(UINT message) {
    std::lock_guard lock(mutex);
    std::vector<Received> out;
    for (const Received& r : received)
      if (r.message == message) out.push_back(r);
    return out;
  }
  std::mutex mutex;
  std::vector<Received> received;
};

struct Shown {
  QString text, caption;
  unsigned icon;
};

}  // namespace

class TestMainDialog : public QObject {
  Q_OBJECT
 public:
  static void initMain() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  }

 private:
  std::vector<Shown> shown;

  void SetLanguage(bool available, int language) {
    SetRussianAvailable(available);
    SetCurrentLanguage(language);
  }

  // Puts the window into its joining state the way the Join command does.
  static void StartFakeRun(MainDialog& d) {
    d.EnterJoiningLayout();
    d.cancelRequested = false;
    d.closeRequested = false;
    d.running = true;
  }

  static void VerifyCloseTurnedIntoCancel(MainDialog& d) {
    QVERIFY(d.isVisible());
    QVERIFY(d.closeRequested);
    QVERIFY(d.cancelRequested);
    QVERIFY(!d.running);
  }

  static void AddRow(MainDialog& d, const QString& path) {
    QImage thumb(256, 96, QImage::Format_RGB32);
    thumb.fill(Qt::darkCyan);
    d.clipList->AddClipRow(path, thumb);
  }

 private slots:
  void initTestCase() {
    SetMessageBoxHandler([this](QObject*, const QString& text, const QString& caption, unsigned icon) {
      shown.push_back({text, caption, icon});
      return IDOK;
    });
  }

  void init() {
    shown.clear();
    SetLanguage(false, kLanguageEnglish);
  }

  void templateLayout() {
    MainDialog d(QStringLiteral("?"));
    QCOMPARE(MainDialog::Current(), &d);
    QCOMPARE(d.size(), QSize(762, 497));
    QVERIFY(d.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(d.windowTitle(), QStringLiteral("Splicora - join avi files"));
    QCOMPARE(d.palette().color(QPalette::Window), QColor(235, 192, 190));

    // Every control of the template, by id, at its rectangle.
    struct Expect {
      int id;
      QWidget* member;
      QRect rect;
    };
    const QRect joinRect(619, 455, 132, 27);
    const std::vector<Expect> controls = {
        {1000, d.clipList, QRect(10, 74, 597, 408)},  // stretched to the bar's bottom edge
        {1001, d.addButton, QRect(619, 73, 132, 27)},
        {1002, d.removeButton, QRect(619, 120, 132, 27)},
        {1003, d.joinButton, joinRect},
        {1004, d.progressBar, QRect(10, 459, 599, 23)},
        {1005, d.cancelButton, joinRect},  // moved onto Join's place
        {1006, d.captionPanel, QRect(0, 0, 762, 65)},
        // The small buttons keep their corner and take the size of one 25 x 25 frame.
        {1007, d.exitButton, QRect(733, 1, 25, 25)},
        {1008, d.minimizeButton, QRect(706, 1, 25, 25)},
        {1010, d.previewPanel, QRect(619, 243, 132, 108)},
        {1011, d.englishButton, QRect(679, 1, 25, 25)},  // the language button's one place
        {1012, d.russianButton, QRect(679, 1, 25, 25)},
    };
    for (const Expect& e : controls) {
      QCOMPARE(d.GetDlgItem(e.id), e.member);
      QCOMPARE(e.member->geometry(), e.rect);
    }
    QWidget* saveAs = d.GetDlgItem(1009);
    QVERIFY(saveAs);
    QVERIFY(saveAs->isHidden());
    QCOMPARE(d.GetDlgItem(999), nullptr);
    for (QWidget* small : {static_cast<QWidget*>(d.exitButton), static_cast<QWidget*>(d.minimizeButton),
                           static_cast<QWidget*>(d.englishButton), static_cast<QWidget*>(d.russianButton)})
      QCOMPARE(small->parentWidget(), d.captionPanel);

    // The idle, empty state.
    QVERIFY(d.addButton->isEnabled());
    QVERIFY(!d.removeButton->isEnabled());
    QVERIFY(!d.joinButton->isEnabled());
    QVERIFY(d.cancelButton->isHidden());
    QVERIFY(d.progressBar->isHidden());
    QVERIFY(d.previewPanel->isHidden());
    QCOMPARE(d.progressBar->minimum(), 0);
    QCOMPARE(d.progressBar->maximum(), 100);
    QCOMPARE(d.joinButton->text(), QStringLiteral("  Save as..."));
    QCOMPARE(d.InfoLine(), QStringLiteral("Please select video fragments into list..."));
    QCOMPARE(d.hintText, d.InfoLine());
    QCOMPARE(d.totalSeconds, 0);
    QCOMPARE(d.clipList->headerItem()->text(0), QStringLiteral("Preview"));
    QCOMPARE(d.clipList->headerItem()->text(1), QStringLiteral("File name"));
    QCOMPARE(d.clipList->GetColumnWidth(0), 256);
    QCOMPARE(d.clipList->GetExtendedStyle() & 0x00040520u, 0x00040520u);
    QCOMPARE(d.exitButton->toolTip(), QStringLiteral("Exit"));
    QCOMPARE(d.minimizeButton->toolTip(), QStringLiteral("Minimize"));
    QCOMPARE(d.russianButton->toolTip(), QStringLiteral("Russian / English"));
    QCOMPARE(d.englishButton->toolTip(), QStringLiteral("English / Russian"));
    QCOMPARE(d.buttonTextColour, QColor(255, 255, 255));
    QCOMPARE(d.keyColour, QColor(205, 162, 160));
  }

  void fieldsFromTheConstructor() {
    const QString longName(300, QLatin1Char('c'));
    MainDialog d(longName);
    QCOMPARE(d.codecName, QString(127, QLatin1Char('c')));
    QVERIFY(!d.running && !d.closeRequested && !d.cancelRequested);
    QVERIFY(!d.previewDuringRun && !d.videoFailed && !d.audioFailed && !d.convertAudio);
    QCOMPARE(d.joiner, nullptr);
    QVERIFY(!d.workerThread);
    // A surrogate pair is not cut in half.
    QString emoji = QString(126, QLatin1Char('a')) + QString::fromUtf16(u"\U0001F600");
    MainDialog e(emoji);
    QCOMPARE(e.codecName, QString(126, QLatin1Char('a')));
  }

  void currentPointerFollowsTheDialog() {
    {
      MainDialog d(QString{});
      QCOMPARE(MainDialog::Current(), &d);
    }
    QCOMPARE(MainDialog::Current(), nullptr);
  }

  void switchLanguage_data() {
    QTest::addColumn<bool>("available");
    QTest::addColumn<int>("language");
    QTest::addColumn<bool>("russianTexts");
    QTest::addColumn<bool>("englishButtonShown");
    QTest::addColumn<bool>("russianButtonShown");
    QTest::newRow("unavailable, 0") << false << 0 << false << false << false;
    QTest::newRow("unavailable, 1") << false << 1 << false << false << false;
    QTest::newRow("unavailable, 2") << false << 2 << false << false << false;
    QTest::newRow("available, 0") << true << 0 << false << true << false;
    QTest::newRow("available, 1") << true << 1 << true << false << true;
    QTest::newRow("available, 2") << true << 2 << false << false << true;
  }

  void switchLanguage() {
    QFETCH(bool, available);
    QFETCH(int, language);
    QFETCH(bool, russianTexts);
    QFETCH(bool, englishButtonShown);
    QFETCH(bool, russianButtonShown);
    // Start from the other language so every label really changes.
    SetLanguage(available, available && language != 1 ? 1 : 0);
    MainDialog d(QStringLiteral("?"));
    d.show();
    d.SetInfoLine(QStringLiteral("a clip 00:00:05"));
    d.SwitchLanguage(language);
    QCOMPARE(CurrentLanguage(), language);
    QCOMPARE(d.englishButton->isVisible(), englishButtonShown);
    QCOMPARE(d.russianButton->isVisible(), russianButtonShown);
    auto pick = [&](const char16_t* russian, const char* english) {
      return russianTexts ? QString::fromUtf16(russian) : QString::fromLatin1(english);
    };
    QCOMPARE(d.addButton->text(), pick(u"  Добавить", "  Add file"));
    QCOMPARE(d.removeButton->text(), pick(u"  Удалить", "  Remove"));
    QCOMPARE(d.joinButton->text(), pick(u"   Сохранить в...", "  Save as..."));
    QCOMPARE(d.cancelButton->text(), pick(u"  Отменить", "  Cancel"));
    QCOMPARE(d.exitButton->toolTip(), pick(u"Закрыть", "Exit"));
    QCOMPARE(d.minimizeButton->toolTip(), pick(u"Опустить", "Minimize"));
    QCOMPARE(d.clipList->headerItem()->text(0), pick(u"Кадры", "Preview"));
    QCOMPARE(d.clipList->headerItem()->text(1), pick(u"Видеофайлы", "File name"));
    const QString hint = pick(u"Добавьте видеофрагменты в список...", "Please select video fragments into list...");
    QCOMPARE(d.hintText, hint);
    QCOMPARE(d.InfoLine(), hint);  // replaces the description too
    // Fixed texts in both languages.
    QCOMPARE(d.windowTitle(), QStringLiteral("Splicora - join avi files"));
    QCOMPARE(d.russianButton->toolTip(), QStringLiteral("Russian / English"));
  }

  void languageButtonsPostTheSwitch() {
    SetLanguage(true, 2);  // "Lang" 2: English texts, the Russian button shown
    MainDialog d(QStringLiteral("?"));
    d.show();
    QVERIFY(d.russianButton->isVisible());
    QCOMPARE(d.addButton->text(), QStringLiteral("  Add file"));
    QTest::mouseClick(d.russianButton, Qt::LeftButton);
    QTRY_COMPARE(CurrentLanguage(), 0);
    QVERIFY(d.englishButton->isVisible());
    QVERIFY(!d.russianButton->isVisible());
    QTest::mouseClick(d.englishButton, Qt::LeftButton);
    QTRY_COMPARE(CurrentLanguage(), 1);
    QCOMPARE(d.addButton->text(), QString::fromUtf16(u"  Добавить"));
    QVERIFY(d.russianButton->isVisible());
  }

  void commandsEnabled() {
    MainDialog d(QStringLiteral("?"));
    d.SetCommandsEnabled(true);
    QVERIFY(d.addButton->isEnabled());
    QVERIFY(!d.removeButton->isEnabled());
    QVERIFY(!d.joinButton->isEnabled());
    AddRow(d, QStringLiteral("/clips/a.avi"));
    QCOMPARE(d.ClipCount(), 1);
    QCOMPARE(SendMessage(&d, wm::MSG_DROP_STATE, 0, 0), LRESULT{0});
    QVERIFY(!d.addButton->isEnabled() && !d.removeButton->isEnabled() && !d.joinButton->isEnabled());
    SendMessage(&d, wm::MSG_DROP_STATE, 1, 0);
    QVERIFY(d.addButton->isEnabled() && d.removeButton->isEnabled() && d.joinButton->isEnabled());
  }

  void closeWhileJoiningOnlySetsFlags_data() {
    QTest::addColumn<QString>("how");
    for (const char* how : {"close", "WM_CLOSE", "WM_QUERYENDSESSION", "exit button", "Escape", "Enter"})
      QTest::newRow(how) << QString::fromLatin1(how);
  }

  void closeWhileJoiningOnlySetsFlags() {
    QFETCH(QString, how);
    MainDialog d(QStringLiteral("?"));
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    StartFakeRun(d);
    QSignalSpy finished(&d, &QDialog::finished);
    if (how == QLatin1String("close")) {
      QVERIFY(!d.close());
    } else if (how == QLatin1String("WM_CLOSE")) {
      QCOMPARE(d.WindowProc(wm::WM_CLOSE, 0, 0), LRESULT{0});
    } else if (how == QLatin1String("WM_QUERYENDSESSION")) {
      QCOMPARE(d.WindowProc(wm::WM_QUERYENDSESSION, 0, 0), LRESULT{1});
    } else if (how == QLatin1String("exit button")) {
      QTest::mouseClick(d.exitButton, Qt::LeftButton);
      QTRY_VERIFY(d.closeRequested);
    } else {
      // Keys go to the focused list first and reach the dialog from there.
      d.clipList->setFocus();
      QTest::keyClick(d.clipList, how == QLatin1String("Escape") ? Qt::Key_Escape : Qt::Key_Return);
    }
    VerifyCloseTurnedIntoCancel(d);
    QCOMPARE(finished.count(), 0);
    // The join still runs until it reports its end; the Cancel button stays.
    QVERIFY(d.cancelButton->isVisible());
    // Once the join has ended (running false), the next close request ends the dialog.
    QVERIFY(d.close());
    QVERIFY(!d.isVisible());
  }

  void idleKeysEndTheDialog() {
    {
      MainDialog d(QStringLiteral("?"));
      d.show();
      QTest::keyClick(d.clipList, Qt::Key_Escape);
      QVERIFY(!d.isVisible());
      QCOMPARE(d.result(), int(QDialog::Rejected));
    }
    {
      MainDialog d(QStringLiteral("?"));
      d.show();
      QTest::keyClick(d.clipList, Qt::Key_Enter, Qt::KeypadModifier);  // the keypad's Enter
      QVERIFY(!d.isVisible());
      QCOMPARE(d.result(), int(QDialog::Accepted));
    }
    {
      MainDialog d(QStringLiteral("?"));
      d.show();
      QCOMPARE(d.WindowProc(wm::WM_QUERYENDSESSION, 0, 0), LRESULT{1});
      QVERIFY(!d.closeRequested);
      PostMessage(&d, wm::WM_CLOSE, 0, 0);
      QTRY_VERIFY(!d.isVisible());
      QVERIFY(!d.closeRequested && !d.cancelRequested);
    }
  }

  void cancelCommand() {
    MainDialog d(QStringLiteral("?"));
    d.show();
    StartFakeRun(d);
    QVERIFY(d.cancelButton->isVisible());
    QVERIFY(d.joinButton->isHidden());
    QVERIFY(d.progressBar->isVisible());
    QVERIFY(d.clipList->geometry().bottom() < d.progressBar->geometry().top() - 3);
    QVERIFY(!d.clipList->AcceptsFiles());
    QVERIFY(!d.clipList->IsDragEnabled());
    QTest::mouseClick(d.cancelButton, Qt::LeftButton);
    QVERIFY(d.cancelRequested);
    QVERIFY(!d.cancelButton->isEnabled());
    QVERIFY(d.running);  // nothing else: the join notices the flag
    QVERIFY(!d.closeRequested);
    QCOMPARE(d.WindowProc(wm::MSG_JOIN_PROGRESS, 40, 0), LRESULT{1});
  }

  void joinDoneRestoresIdleAndReports_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("message");
    QTest::addColumn<unsigned>("icon");  // a failure warns
    QTest::newRow("ended") << 0 << false << QStringLiteral("Finished Successfully!") << MB_ICONINFORMATION;
    QTest::newRow("cancelled") << 0 << true << QStringLiteral("Merge video files was canceled!") << MB_ICONINFORMATION;
    QTest::newRow("video failed") << 1 << false
                                  << QStringLiteral("Error recompress video! Please check video settings.")
                                  << MB_ICONWARNING;
    QTest::newRow("audio failed") << 2 << false << QStringLiteral("Error make audio track!") << MB_ICONWARNING;
    QTest::newRow("cancel wins") << 1 << true << QStringLiteral("Merge video files was canceled!") << MB_ICONINFORMATION;
  }

  void joinDoneRestoresIdleAndReports() {
    QFETCH(int, code);
    QFETCH(bool, cancelled);
    QFETCH(QString, message);
    QFETCH(unsigned, icon);
    MainDialog d(QStringLiteral("?"));
    d.show();
    const QRect idleList = d.clipList->geometry();
    StartFakeRun(d);
    d.cancelRequested = cancelled;
    PostMessage(&d, wm::MSG_JOIN_DONE, static_cast<WPARAM>(code), 0);
    QTRY_COMPARE(shown.size(), size_t{1});
    QCOMPARE(shown[0].text, message);
    QCOMPARE(shown[0].caption, QStringLiteral("Splicora"));
    QCOMPARE(shown[0].icon, icon);
    QVERIFY(!d.running);
    QVERIFY(!d.cancelRequested);
    QCOMPARE(d.clipList->geometry(), idleList);
    QVERIFY(d.progressBar->isHidden());
    QCOMPARE(d.progressBar->value(), 0);
    QVERIFY(d.cancelButton->isHidden());
    QVERIFY(d.joinButton->isVisible());
    QVERIFY(d.addButton->isEnabled() && d.removeButton->isEnabled() && d.joinButton->isEnabled());
    QVERIFY(d.clipList->AcceptsFiles() && d.clipList->IsDragEnabled());
  }

  void messagesFromOtherThreads() {
    RecordingDialog d;
    d.show();
    SetRussianAvailable(true);
    // Posted: queued to the dialog's thread with its three values.
    std::thread poster([&] { PostMessage(&d, wm::MSG_SWITCH_LANGUAGE, 1, 4242); });
    poster.join();
    QTRY_COMPARE(d.Of(wm::MSG_SWITCH_LANGUAGE).size(), size_t{1});
    const Received posted = d.Of(wm::MSG_SWITCH_LANGUAGE)[0];
    QCOMPARE(posted.wParam, WPARAM{1});
    QCOMPARE(posted.lParam, LPARAM{4242});
    QCOMPARE(posted.thread, d.thread());
    QCOMPARE(d.addButton->text(), QString::fromUtf16(u"  Добавить"));

    // Sent: the sender waits for WindowProc's result, run on the dialog's thread.
    AddRow(d, QStringLiteral("/clips/a.avi"));
    std::atomic<LRESULT> dropResult{-1};
    std::atomic<LRESULT> progressResult{-1};
    std::atomic<bool> done{false};
    std::thread sender([&] {
      dropResult = SendMessage(&d, wm::MSG_DROP_STATE, 0, -77);
      progressResult = SendMessage(&d, wm::MSG_JOIN_PROGRESS, 55, 0);
      done = true;
    });
    QTRY_VERIFY(done);
    sender.join();
    QCOMPARE(dropResult.load(), LRESULT{0});
    QCOMPARE(progressResult.load(), LRESULT{0});  // no cancel asked for
    const auto drops = d.Of(wm::MSG_DROP_STATE);
    QCOMPARE(drops.size(), size_t{1});
    QCOMPARE(drops[0].wParam, WPARAM{0});
    QCOMPARE(drops[0].lParam, LPARAM{-77});
    QCOMPARE(drops[0].thread, d.thread());
    QVERIFY(!d.addButton->isEnabled());
    QCOMPARE(d.Of(wm::MSG_JOIN_PROGRESS).at(0).wParam, WPARAM{55});

    // A cancel request is the reply to the next progress report.
    d.cancelRequested = true;
    std::thread reporter([&] { progressResult = SendMessage(&d, wm::MSG_JOIN_PROGRESS, 60, 0); });
    QTRY_COMPARE(progressResult.load(), LRESULT{1});
    reporter.join();
  }

  void waitingNeverDeadlocksWithASender() {
    MainDialog d(QStringLiteral("?"));
    std::atomic<bool> inSend{false};
    std::atomic<bool> finished{false};
    std::atomic<LRESULT> reply{-1};
    std::thread worker([&] {
      inSend = true;
      reply = SendMessage(&d, wm::MSG_JOIN_PROGRESS, 10, 0);
      finished = true;
    });
    while (!inSend) QThread::msleep(1);
    // The GUI thread waits without running its event loop; the worker's call
    // must still be answered, with "stop".
    QElapsedTimer clock;
    clock.start();
    const bool ended = WaitAnsweringSentMessages(&d, [&] { return finished.load(); }, 5000, 1);
    worker.join();
    QVERIFY(ended);
    QVERIFY(clock.elapsed() < 4000);
    QCOMPARE(reply.load(), LRESULT{1});
    // The dialog's own handler never ran for the answered call.
    QCOMPARE(d.progressBar->value(), 0);

    // Nothing pending: the wait ends when the condition holds, or times out.
    QVERIFY(WaitAnsweringSentMessages(&d, [] { return true; }, 10, 1));
    clock.restart();
    QVERIFY(!WaitAnsweringSentMessages(&d, [] { return false; }, 50, 1));
    QVERIFY(clock.elapsed() >= 50);
  }

  void timersArriveAsWmTimer() {
    RecordingDialog d;
    QCOMPARE(d.SetTimer(wm::PROGRESS_TIMER_ID, 10), UINT{7});
    QTRY_VERIFY(d.Of(wm::WM_TIMER).size() >= 2);
    QCOMPARE(d.Of(wm::WM_TIMER)[0].wParam, WPARAM{7});
    QVERIFY(d.KillTimer(7));
    QVERIFY(!d.KillTimer(7));
    const size_t ticks = d.Of(wm::WM_TIMER).size();
    QTest::qWait(60);
    QCOMPARE(d.Of(wm::WM_TIMER).size(), ticks);
  }

  void screenshots() {
    const QString folder = QStringLiteral(SPLICORA_SCREENSHOT_DIR);
    QVERIFY(QDir().mkpath(folder));
    for (int language : {kLanguageEnglish, kLanguageRussian}) {
      SetLanguage(true, language);
      MainDialog d(QStringLiteral("?"));
      d.show();
      QVERIFY(QTest::qWaitForWindowExposed(&d));
      const QImage picture = d.grab().toImage();
      QCOMPARE(picture.size(), QSize(762, 497));
      const QString name = language == kLanguageEnglish ? QStringLiteral("main-window-en.png")
                                                        : QStringLiteral("main-window-ru.png");
      QVERIFY(picture.save(QDir(folder).filePath(name)));
    }
    // The joining state: Cancel in Join's place, the bar under the shortened list.
    SetLanguage(true, kLanguageEnglish);
    MainDialog d(QStringLiteral("?"));
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    StartFakeRun(d);
    d.progressBar->setValue(40);
    QVERIFY(d.grab().save(QDir(folder).filePath(QStringLiteral("main-window-joining-en.png"))));
    d.running = false;
  }

  void systemCommands() {
    MainDialog d(QStringLiteral("?"));
    d.show();
    d.WindowProc(wm::WM_SYSCOMMAND, 0xF020, 0);  // SC_MINIMIZE
    QTRY_VERIFY(d.isMinimized());
    d.showNormal();
    StartFakeRun(d);
    d.WindowProc(wm::WM_SYSCOMMAND, 0xF060, 0);  // SC_CLOSE while joining: a cancel request
    QTRY_VERIFY(d.closeRequested);
    VerifyCloseTurnedIntoCancel(d);
    d.WindowProc(wm::WM_SYSCOMMAND, 0xF060, 0);
    QTRY_VERIFY(!d.isVisible());
  }
};

QTEST_MAIN(TestMainDialog)
#include "tst_maindialog.moc"
