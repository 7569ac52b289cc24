#include "SkinCompare.h"

#include <QDir>
#include <QSet>

#include <algorithm>
#include <cstdlib>

namespace skincompare {

namespace {

bool IsKey(QRgb pixel, const QColor& key) {
  return (pixel & 0xFFFFFFu) == (key.rgb() & 0xFFFFFFu);
}

int ChannelDistance(QRgb a, QRgb b) {
  return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                   std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
}

QString Where(int x, int y) {
  return QStringLiteral("(%1, %2)").arg(x).arg(y);
}

}  // namespace

int AllowedDifferentPixels(const QImage& image) {
  return std::max(8, static_cast<int>(static_cast<qint64>(image.width()) * image.height() / 400));
}

std::optional<QColor> KeyColourOf(const QString& fileName) {
  static const QStringList strips = {QStringLiteral("133.png"), QStringLiteral("134.png"),
                                     QStringLiteral("162.png"), QStringLiteral("163.png")};
  if (strips.contains(fileName)) return QColor(66, 192, 255);
  if (fileName == QLatin1String("137.png")) return QColor(Qt::black);
  if (fileName == QLatin1String("161.png")) return QColor(Qt::white);
  return std::nullopt;
}

QStringList CompareImages(const QString& name, const QImage& committedImage, const QImage& drawnImage) {
  if (committedImage.isNull() || drawnImage.isNull())
    return {name + QStringLiteral(": cannot be read as an image")};
  if (committedImage.size() != drawnImage.size())
    return {name + QStringLiteral(": %1 x %2 drawn, %3 x %4 committed")
                       .arg(drawnImage.width())
                       .arg(drawnImage.height())
                       .arg(committedImage.width())
                       .arg(committedImage.height())};
  // Premultiplied, so that the colour of a fully transparent pixel does not count.
  const QImage committed = committedImage.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  const QImage drawn = drawnImage.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  const std::optional<QColor> key = KeyColourOf(name);
  QStringList faults;
  int different = 0, worst = 0;
  QString worstAt;
  for (int y = 0; y < committed.height(); ++y) {
    const auto* a = reinterpret_cast<const QRgb*>(committed.constScanLine(y));
    const auto* b = reinterpret_cast<const QRgb*>(drawn.constScanLine(y));
    for (int x = 0; x < committed.width(); ++x) {
      if (key && IsKey(a[x], *key) != IsKey(b[x], *key)) {
        if (faults.size() < 10)
          faults << name +
                        QStringLiteral(": the key colour %1 at %2 in the %3 art only")
                            .arg(key->name(), Where(x, y),
                                 IsKey(a[x], *key) ? QStringLiteral("committed") : QStringLiteral("drawn"));
        continue;
      }
      const int distance = ChannelDistance(a[x], b[x]);
      if (distance == 0) continue;
      ++different;
      if (distance > worst) {
        worst = distance;
        worstAt = Where(x, y);
      }
    }
  }
  if (worst > kChannelTolerance)
    faults << name + QStringLiteral(": a pixel differs by %1 levels at %2 (at most %3 are antialiasing)")
                         .arg(worst)
                         .arg(worstAt)
                         .arg(kChannelTolerance);
  if (different > AllowedDifferentPixels(committed))
    faults << name + QStringLiteral(": %1 pixels differ (at most %2 may)")
                         .arg(different)
                         .arg(AllowedDifferentPixels(committed));
  return faults;
}

QStringList CompareFolders(const QString& committedFolder, const QString& drawnFolder) {
  const QStringList filter = {QStringLiteral("*.png")};
  const QStringList committedFiles = QDir(committedFolder).entryList(filter, QDir::Files, QDir::Name);
  const QStringList drawnFiles = QDir(drawnFolder).entryList(filter, QDir::Files, QDir::Name);
  QStringList faults;
  if (committedFiles.isEmpty()) faults << committedFolder + QStringLiteral(": no PNG files");
  for (const QString& file : drawnFiles)
    if (!committedFiles.contains(file))
      faults << file + QStringLiteral(": drawn but not committed in ") + committedFolder;
  for (const QString& file : committedFiles) {
    if (!drawnFiles.contains(file)) {
      faults << file + QStringLiteral(": committed but not drawn in ") + drawnFolder;
      continue;
    }
    faults << CompareImages(file, QImage(QDir(committedFolder).filePath(file)),
                            QImage(QDir(drawnFolder).filePath(file)));
  }
  return faults;
}

}  // namespace skincompare
