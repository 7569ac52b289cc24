#pragma once
// Compares drawn skin art with the committed art the way the controls use it:
// the same files and sizes, the key colour (or the transparent background)
// exactly where the committed art has it, and every other pixel within a few
// levels of antialiasing, of which only a few pixels may differ at all. Qt's
// raster engine antialiases a level apart on other CPUs; that must pass,
// while a real change of the art must not.
#include <QColor>
#include <QImage>
#include <QString>
#include <QStringList>

#include <optional>

namespace skincompare {

// Largest difference of one channel (premultiplied) counted as antialiasing.
constexpr int kChannelTolerance = 12;
// Pixels that may differ at all: one in 400, and never fewer than 8.
int AllowedDifferentPixels(const QImage& image);

// The key colour the controls replace by their background, by file name:
// the four-frame strips' RGB(66,192,255), the icon strip's black, the
// splash's white. None for the other files.
std::optional<QColor> KeyColourOf(const QString& fileName);

// What is wrong with drawn against committed, one line a fault; empty when
// they match. The name is used in the messages and for the key colour.
QStringList CompareImages(const QString& name, const QImage& committed, const QImage& drawn);

// Every *.png of each committed folder against the file of the same name in
// the drawn folder, and the other way round (a file in one folder only is a
// fault).
QStringList CompareFolders(const QString& committedFolder, const QString& drawnFolder);

}  // namespace skincompare
