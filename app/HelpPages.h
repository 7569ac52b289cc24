#pragma once
// The help pages HelpEN.htm and HelpRU.htm: where they are and how they open.
#include <QString>
#include <QStringList>

// The folders searched, in order: the working directory at start, the
// installed data folders (<prefix>/share/splicora next to bin/, then the XDG
// data folders), and the executable's own folder. A program started from a
// desktop menu has the home folder as working directory, so the start
// directory alone would never find its help.
QStringList HelpFolders(const QString& startDirectory);

// The first existing page of that name in HelpFolders, or an empty string.
QString FindHelpPage(const QString& startDirectory, const QString& fileName);

// Opens the page in the user's browser: QDesktopServices, then the
// system's registered browser. False when neither could start.
bool OpenHelpPage(const QString& path);
