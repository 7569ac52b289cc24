#include "core/MessageBox.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex handlerMutex;

int PrintToStderr(QObject*, const QString& text, const QString& caption, unsigned) {
  QByteArray line = (caption + QStringLiteral(": ") + MessageBoxDisplayText(text)).toUtf8();
  std::fprintf(stderr, "%s\n", line.constData());
  return IDOK;
}

MessageBoxHandler& Handler() {
  static MessageBoxHandler handler = PrintToStderr;
  return handler;
}

}  // namespace

QString ApplicationName() { return QStringLiteral("Splicora"); }

int ShowMessageBox(QObject* owner, const QString& text, const QString& caption, unsigned icon) {
  MessageBoxHandler handler;
  {
    std::lock_guard lock(handlerMutex);
    handler = Handler();
  }
  return handler ? handler(owner, text, caption, icon) : IDOK;
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard lock(handlerMutex);
  MessageBoxHandler previous = std::move(Handler());
  Handler() = std::move(handler);
  return previous;
}

QString MessageBoxDisplayText(const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return shown;
}
