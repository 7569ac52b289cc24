#include "app/GuiMessageBox.h"

#include <QApplication>
#include <QMessageBox>
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

int ShowOnGuiThread(QObject* owner, const QString& text, const QString& caption, unsigned icon) {
  auto* parent = qobject_cast<QWidget*>(owner);
  QMessageBox box(IconFor(icon), caption, MessageBoxDisplayText(text), QMessageBox::Ok, parent);
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
