#include "controls/SkinBitmaps.h"

#include <QFile>

// The resources sit in this static library; referencing the initialiser keeps
// the linker from dropping them.
static void RegisterSkinResources() { Q_INIT_RESOURCE(skin); }

static void InitSkinResources() {
  static const bool registered = (RegisterSkinResources(), true);
  (void)registered;
}

QImage LoadSkinBitmap(int id) {
  InitSkinResources();
  const QString path = QStringLiteral(":/skin/%1.png").arg(id);
  if (!QFile::exists(path)) return {};
  QImage image(path);
  return image.isNull() ? image : image.convertToFormat(QImage::Format_RGB888);
}

QIcon ApplicationIcon() {
  InitSkinResources();
  QIcon icon;
  for (int size : {16, 32, 48, 256})
    icon.addFile(QStringLiteral(":/icons/splicora-%1.png").arg(size), QSize(size, size));
  return icon;
}
