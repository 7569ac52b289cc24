#include "app/GuiMessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QWidget>

#include "core/MessageBox.h"

namespace {

QMessageBox::Icon IconFor(unsigned icon) {
  switch (icon & 0xF0) {
    case MB_ICONERROR:
      return QMessageBox::Critical;
    case 0x20:  // MB_ICONQUESTION
      return QMessageBox::Question;
    case MB_ICONWARNING:
      return QMessageBox::Warning;
    case MB_ICONINFORMATION:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

// The window a box is centred on: its owner's window, else the main window
// (boxes without an owner, such as the open errors, too).
QWidget* AnchorFor(QWidget* owner) {
  if (owner) return owner->window();
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w->objectName() == QStringLiteral("MainDialog")) return w;
  return nullptr;
}

// A box centred on its anchor once it knows its own size: Qt's own placement
// puts a box over a frameless window's top-left corner when the window has
// not been laid out by a window manager, and leaves owner-less boxes
// wherever the platform likes.
class CentredMessageBox : public QMessageBox {
 public:
  CentredMessageBox(Icon icon, const QString& caption, const QString& text, QWidget* parent, QWidget* anchor)
      : QMessageBox(icon, caption, text, QMessageBox::Ok, parent), anchor_(anchor) {}

 protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);
    if (anchor_) move(anchor_->frameGeometry().center() - QPoint(width() / 2, height() / 2));
  }

 private:
  QPointer<QWidget> anchor_;
};

int ShowOnGuiThread(QObject* owner, const QString& text, const QString& caption, unsigned icon) {
  auto* parent = qobject_cast<QWidget*>(owner);
  CentredMessageBox box(IconFor(icon), caption, MessageBoxDisplayText(text), parent, AnchorFor(parent));
  if ((icon & 0x0F) == MB_YESNO) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? IDYES : IDNO;
  }
  box.exec();
  return IDOK;
}

}  // namespace

void InstallGuiMessageBox() {
  SetMessageBoxHandler([](QObject* owner, const QString& text, const QString& caption, unsigned icon) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) return ShowOnGuiThread(owner, text, caption, icon);
    // Widgets live on the GUI thread only.
    int result = IDOK;
    QMetaObject::invokeMethod(
        app, [&] { result = ShowOnGuiThread(owner, text, caption, icon); }, Qt::BlockingQueuedConnection);
    return result;
  });
}
