#pragma once
// What a drop on the clip list accepts: shortcuts are replaced by their
// targets, and only existing regular files named *.avi are kept.
#include <QString>

// The target of a shortcut: a symbolic link, or a freedesktop .desktop file
// of Type=Link whose URL is a local file. Empty for anything else.
QString ResolveShortcut(const QString& path);

// A regular file whose extension (the last '.' of the final component and
// what follows) is ".avi" in any letter case.
bool IsAcceptedClipFile(const QString& path);

// The extension as the shell finds it: from the last '.' of the final path
// component, or empty.
QString PathFindExtension(const QString& path);
