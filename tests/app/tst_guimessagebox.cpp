// The message boxes the user really sees: text with "\r" as line breaks,
// caption, icon, owner, and boxes asked for from another thread.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <thread>

#include "app/GuiMessageBox.h"
#include "core/MessageBox.h"

namespace {

struct BoxSeen {
  QString text, title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget* parent = nullptr;
  bool found = false;
};

// Reads the box that is open and closes it.
void AnswerNextBox(BoxSeen* seen) {
  QTimer::singleShot(0, [seen] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box || !box->isVisible()) continue;
      seen->text = box->text();
      seen->title = box->windowTitle();
      seen->icon = box->icon();
      seen->parent = box->parentWidget();
      seen->found = true;
      box->accept();
      return;
    }
    AnswerNextBox(seen);  // not shown yet
  });
}

}  // namespace

class TestGuiMessageBox : public QObject {
  Q_OBJECT
 public:
  static void initMain() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  }

 private slots:
  void initTestCase() { InstallGuiMessageBox(); }

  void iconsTextAndOwner_data() {
    QTest::addColumn<unsigned>("mbIcon");
    QTest::addColumn<int>("icon");
    QTest::newRow("warning") << MB_ICONWARNING << int(QMessageBox::Warning);
    QTest::newRow("information") << MB_ICONINFORMATION << int(QMessageBox::Information);
    QTest::newRow("error") << MB_ICONERROR << int(QMessageBox::Critical);
    QTest::newRow("none") << MB_OK << int(QMessageBox::NoIcon);
  }

  void iconsTextAndOwner() {
    QFETCH(unsigned, mbIcon);
    QFETCH(int, icon);
    QWidget owner;
    owner.show();
    BoxSeen seen;
    AnswerNextBox(&seen);
    const int result = ShowMessageBox(&owner, QStringLiteral("Files format is not equal. \r Video: x"),
                                      QStringLiteral("Merge is not possible..."), mbIcon);
    QCOMPARE(result, IDOK);
    QVERIFY(seen.found);
    QCOMPARE(seen.text, QStringLiteral("Files format is not equal. \n Video: x"));
    QCOMPARE(seen.title, QStringLiteral("Merge is not possible..."));
    QCOMPARE(int(seen.icon), icon);
    QCOMPARE(seen.parent, &owner);
  }

  // A question: Yes and No buttons, No the default; the button clicked is the answer.
  void yesNoQuestion() {
    for (auto [button, expected] : {std::pair{QMessageBox::Yes, IDYES}, std::pair{QMessageBox::No, IDNO}}) {
      QStringList buttons;
      QTimer::singleShot(0, [&buttons, button = button] {
        std::function<void()> find = [&buttons, button, &find] {
          for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible()) continue;
            for (QAbstractButton* b : box->buttons()) buttons << b->text();
            if (static_cast<QAbstractButton*>(box->defaultButton()) == box->button(QMessageBox::No)) buttons << QStringLiteral("default No");
            box->button(button)->click();
            return;
          }
          QTimer::singleShot(10, find);
        };
        find();
      });
      const int result = ShowMessageBox(nullptr, QStringLiteral("Add it anyway?"), QStringLiteral("Merge is not possible..."),
                                        MB_ICONQUESTION | MB_YESNO);
      QCOMPARE(result, expected);
      QCOMPARE(buttons.size(), 3);
      QVERIFY(buttons.contains(QStringLiteral("default No")));
    }
  }

  void withoutOwnerFromAnotherThread() {
    BoxSeen seen;
    AnswerNextBox(&seen);
    std::atomic<int> result{0};
    std::thread worker([&] {
      result = ShowMessageBox(nullptr, QStringLiteral("Error open file info for size checks..."),
                              QStringLiteral("/clips/a.avi"), MB_ICONWARNING);
    });
    QTRY_VERIFY(result.load() != 0);
    worker.join();
    QCOMPARE(result.load(), IDOK);
    QVERIFY(seen.found);
    QCOMPARE(seen.parent, nullptr);
    QCOMPARE(seen.title, QStringLiteral("/clips/a.avi"));
  }
};

QTEST_MAIN(TestGuiMessageBox)
#include "tst_guimessagebox.moc"
