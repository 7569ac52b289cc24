#pragma once
// Every message the user sees goes through ShowMessageBox. The GUI installs a
// handler that shows a real box; the command line prints to stderr; tests
// install a recorder.
#include <QString>
#include <functional>

class QObject;

constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_YESNO = 0x04;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// The application's name, the caption of most messages.
QString ApplicationName();

// owner may be null (a box without owner). "\r" in text starts a new line.
int ShowMessageBox(QObject* owner, const QString& text, const QString& caption, unsigned icon);

using MessageBoxHandler =
    std::function<int(QObject* owner, const QString& text, const QString& caption, unsigned icon)>;

// Installs a handler and returns the one it replaces.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// The text as a person reads it: "\r" (and "\r\n") become line breaks.
QString MessageBoxDisplayText(const QString& text);
