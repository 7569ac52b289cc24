// The skin comparer against art changed on purpose: copies of the committed
// skin and icons with one antialiased pixel a level off (as another CPU draws
// them) must pass; a changed key colour, a changed size, a repainted region,
// a region shifted throughout and a missing file must each fail, naming the
// file.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>

#include <functional>

#include "SkinCompare.h"
#include "tests/support/Fixtures.h"

using namespace testsupport;
using skincompare::CompareFolders;

namespace {

const QString kResources = QStringLiteral(SPLICORA_SOURCE_DIR "/res");

// A copy of res/skin and res/icons under a fresh folder: DIR/skin, DIR/icons.
QString CopyOfArt(const std::string& name) {
  const QString root = QString::fromStdString(TempDir(name));
  for (const QString& sub : {QStringLiteral("skin"), QStringLiteral("icons")}) {
    QDir().mkpath(root + QLatin1Char('/') + sub);
    const QDir from(kResources + QLatin1Char('/') + sub);
    for (const QString& file : from.entryList({QStringLiteral("*.png")}, QDir::Files))
      QFile::copy(from.filePath(file), root + QLatin1Char('/') + sub + QLatin1Char('/') + file);
  }
  return root;
}

QStringList Compare(const QString& drawn) {
  return CompareFolders(kResources + QStringLiteral("/skin"), drawn + QStringLiteral("/skin")) +
         CompareFolders(kResources + QStringLiteral("/icons"), drawn + QStringLiteral("/icons"));
}

// Changes one file of the copy in place.
template <typename Change>
void Edit(const QString& path, Change change) {
  QImage image(path);
  ASSERT_FALSE(image.isNull()) << path.toStdString();
  change(image);
  ASSERT_TRUE(image.save(path)) << path.toStdString();
}

// A pixel at an edge of the art (its right neighbour differs, neither is the
// file's key colour): where antialiasing decides the value.
QPoint EdgePixel(const QImage& image, const QString& file) {
  const std::optional<QColor> key = skincompare::KeyColourOf(file);
  auto isKey = [&key](QRgb c) { return key && (c & 0xFFFFFF) == (key->rgb() & 0xFFFFFF); };
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x + 1 < image.width(); ++x) {
      const QRgb a = image.pixel(x, y), b = image.pixel(x + 1, y);
      if (a != b && !isKey(a) && !isKey(b) && qAlpha(a) > 0 && qRed(a) < 255) return {x, y};
    }
  return {-1, -1};
}

// One level more red at that pixel.
void OneLevel(QImage& image, QPoint at) {
  const QRgb c = image.pixel(at);
  image.setPixel(at, qRgba(qRed(c) + 1, qGreen(c), qBlue(c), qAlpha(c)));
}

std::string Joined(const QStringList& faults) {
  return faults.join(QLatin1Char('\n')).toStdString();
}

bool Names(const QStringList& faults, const QString& file) {
  for (const QString& fault : faults)
    if (fault.startsWith(file)) return true;
  return false;
}

}  // namespace

TEST(SkinCompare, AntialiasingALevelApartPasses) {
  const QString root = CopyOfArt("skincompare-level");
  EXPECT_TRUE(Compare(root).isEmpty()) << Joined(Compare(root));
  // One edge pixel of every file a level off, and seven in the smallest icon,
  // as the generator draws them on another CPU.
  for (const QString& file :
       QDir(root + QStringLiteral("/skin")).entryList({QStringLiteral("*.png")}, QDir::Files))
    Edit(root + QStringLiteral("/skin/") + file, [&file](QImage& image) {
      const QPoint at = EdgePixel(image, file);
      ASSERT_GE(at.x(), 0);
      OneLevel(image, at);
    });
  Edit(root + QStringLiteral("/icons/splicora-16.png"), [](QImage& image) {
    for (int i = 0; i < 7; ++i) OneLevel(image, QPoint(4 + i, 8));
  });
  const QStringList faults = Compare(root);
  EXPECT_TRUE(faults.isEmpty()) << Joined(faults);
}

TEST(SkinCompare, RealChangesOfTheArtFail) {
  struct Case {
    const char* what;
    QString file;  // relative to the copy
    std::function<void(QImage&)> change;
  };
  const QColor key(66, 192, 255);
  const std::vector<Case> cases = {
      {"key colour of a strip changed", QStringLiteral("skin/133.png"),
       [key](QImage& image) {
         for (int y = 0; y < image.height(); ++y)
           for (int x = 0; x < image.width(); ++x)
             if (image.pixelColor(x, y) == key) image.setPixelColor(x, y, QColor(66, 192, 250));
       }},
      {"one key pixel of a strip painted", QStringLiteral("skin/162.png"),
       [](QImage& image) { image.setPixelColor(0, 0, QColor(70, 190, 250)); }},
      {"the icon strip's transparent black lit", QStringLiteral("skin/137.png"),
       [](QImage& image) { image.setPixelColor(58, 17, QColor(1, 0, 0)); }},
      {"a button face two pixels wider", QStringLiteral("skin/130.png"),
       [](QImage& image) { image = image.scaled(image.width() + 2, image.height()); }},
      {"an icon of another size", QStringLiteral("icons/splicora-48.png"),
       [](QImage& image) { image = image.scaled(47, 47); }},
      {"a region of the title strip repainted", QStringLiteral("skin/129.png"),
       [](QImage& image) {
         for (int y = 20; y < 40; ++y)
           for (int x = 300; x < 330; ++x) image.setPixelColor(x, y, QColor(20, 200, 40));
       }},
      {"a region of the splash shifted a little throughout", QStringLiteral("skin/161.png"),
       [](QImage& image) {
         for (int y = 40; y < 80; ++y)
           for (int x = 40; x < 80; ++x) {
             const QColor c = image.pixelColor(x, y);
             if (c != Qt::white) image.setPixelColor(x, y, QColor(c.red() ^ 2, c.green(), c.blue()));
           }
       }},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    const QString root = CopyOfArt("skincompare-change-" + std::to_string(i));
    Edit(root + QLatin1Char('/') + cases[i].file, cases[i].change);
    const QStringList faults = Compare(root);
    EXPECT_TRUE(Names(faults, cases[i].file.section(QLatin1Char('/'), 1))) << Joined(faults);
  }

  // A file missing from the drawn art, and one drawn that is not committed.
  const QString root = CopyOfArt("skincompare-files");
  ASSERT_TRUE(QFile::remove(root + QStringLiteral("/skin/161.png")));
  ASSERT_TRUE(QFile::copy(root + QStringLiteral("/skin/130.png"), root + QStringLiteral("/skin/132.png")));
  const QStringList faults = Compare(root);
  EXPECT_TRUE(Names(faults, QStringLiteral("161.png"))) << Joined(faults);
  EXPECT_TRUE(Names(faults, QStringLiteral("132.png"))) << Joined(faults);
}
