// Draws Splicora's skin bitmaps and application icon from code, so the
// artwork is the project's own and can be redrawn at any time:
//   splicora-skingen OUT_SKIN_DIR OUT_ICON_DIR
// Sizes and key colours are the ones the skinned controls rely on.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>

namespace {

const QColor kWindow(235, 192, 190);
const QColor kStripKey(66, 192, 255);  // background of the four-frame strips
const QColor kWine(128, 52, 66);
const QColor kWineDark(86, 30, 42);
const QColor kWineLight(190, 104, 116);
const QColor kCream(255, 250, 230);
const QColor kGold(244, 196, 92);

QImage Canvas(int w, int h, const QColor& fill) {
  QImage image(w, h, QImage::Format_RGB888);
  image.fill(fill);
  return image;
}

// A glossy vertical gradient: light top half, deeper bottom half.
QLinearGradient Gloss(qreal top, qreal bottom, const QColor& light, const QColor& mid, const QColor& dark) {
  QLinearGradient g(0, top, 0, bottom);
  g.setColorAt(0.0, light);
  g.setColorAt(0.48, mid);
  g.setColorAt(0.52, mid.darker(112));
  g.setColorAt(1.0, dark);
  return g;
}

// A short piece of film: a rounded band with sprocket holes and two frames.
void DrawFilm(QPainter& p, const QRectF& r, const QColor& band, const QColor& frame) {
  const qreal hole = r.height() / 7;
  p.setPen(Qt::NoPen);
  p.setBrush(band);
  p.drawRoundedRect(r, hole, hole);
  p.setBrush(kCream);
  for (qreal x = r.left() + hole; x + hole < r.right(); x += 2 * hole) {
    p.drawRect(QRectF(x, r.top() + hole * 0.6, hole, hole * 0.8));
    p.drawRect(QRectF(x, r.bottom() - hole * 1.4, hole, hole * 0.8));
  }
  const qreal fy = r.top() + hole * 2;
  const qreal fh = r.height() - hole * 4;
  const qreal fw = (r.width() - hole * 3) / 2;
  p.setBrush(frame);
  p.drawRect(QRectF(r.left() + hole, fy, fw, fh));
  p.drawRect(QRectF(r.left() + hole * 2 + fw, fy, fw, fh));
}

// Two pieces of film tilted towards each other, as spliced: the emblem.
void DrawSplicedFilms(QPainter& p, QPointF left, QPointF right, QSizeF piece) {
  const QRectF r(QPointF(0, 6), piece);
  const QColor band(40, 20, 26);
  p.save();
  p.translate(left);
  p.rotate(-8);
  DrawFilm(p, r, band, QColor(120, 170, 210));
  p.restore();
  p.save();
  p.translate(right);
  p.rotate(8);
  DrawFilm(p, r, band, QColor(240, 170, 120));
  p.restore();
}

// 129: the title strip. Its left 130 columns are the head with the emblem;
// the rest is a plain band the information line is written on.
QImage TitleStrip() {
  QImage image = Canvas(691, 67, kWine);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(image.rect(), Gloss(0, 67, kWineLight, kWine, kWineDark));
  // A thin gold line along the bottom edge ties the strip to the window.
  p.fillRect(QRect(0, 64, 691, 3), kGold.darker(120));
  p.fillRect(QRect(0, 63, 691, 1), kGold);
  // Head: two pieces of film meeting at a splice mark.
  DrawSplicedFilms(p, QPointF(14, 12), QPointF(62, 10), QSizeF(54, 28));
  p.setPen(QPen(kGold, 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(63, 8), QPointF(63, 56));
  // A soft divider where the head ends.
  QLinearGradient fade(118, 0, 130, 0);
  fade.setColorAt(0, QColor(255, 255, 255, 0));
  fade.setColorAt(1, QColor(255, 255, 255, 40));
  p.fillRect(QRect(118, 0, 12, 63), fade);
  return image;
}

// 130 and 131: the large button's face, normal and pressed. The corners
// outside the rounded shape are the window's colour.
QImage ButtonFace(bool pressed) {
  QImage image = Canvas(131, 36, kWindow);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF body(0.5, 0.5, 130, 35);
  p.setPen(QPen(kWineDark, 1));
  if (pressed)
    p.setBrush(Gloss(0, 36, kWineDark, kWine.darker(125), kWine));
  else
    p.setBrush(Gloss(0, 36, kWineLight.lighter(115), kWine, kWineDark));
  p.drawRoundedRect(body, 8, 8);
  p.setPen(QPen(QColor(255, 255, 255, pressed ? 30 : 90), 1));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(body.adjusted(1.5, 1.5, -1.5, -1.5), 7, 7);
  return image;
}

// 137: the icon strip on black (transparent): Add File at x 0 (17 wide),
// Remove and Cancel at x 17 (18 wide), Join at x 35 (20 wide).
QImage IconStrip() {
  QImage image = Canvas(59, 18, Qt::black);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  const QColor sheet(250, 246, 236);
  // Add: a page with a green plus.
  p.fillRect(QRect(2, 1, 11, 15), sheet);
  p.fillRect(QRect(9, 7, 8, 8), QColor(40, 150, 60));
  p.fillRect(QRect(12, 8, 2, 6), Qt::white);
  p.fillRect(QRect(10, 10, 6, 2), Qt::white);
  // Remove / Cancel: a red disc with a white bar.
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(200, 40, 40));
  p.drawEllipse(QRectF(18.5, 1.5, 15, 15));
  p.setRenderHint(QPainter::Antialiasing, false);
  p.fillRect(QRect(21, 8, 10, 3), Qt::white);
  // Join: two frames and an arrow into one.
  p.fillRect(QRect(36, 2, 7, 6), QColor(120, 170, 210));
  p.fillRect(QRect(36, 10, 7, 6), QColor(240, 170, 120));
  p.fillRect(QRect(44, 8, 5, 2), kGold);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(kGold);
  p.drawPolygon(QPolygonF({QPointF(48, 5), QPointF(54.5, 9), QPointF(48, 13)}));
  return image;
}

enum class Glyph { Close, Minimize, English, Russian };

void DrawGlyph(QPainter& p, Glyph glyph, const QColor& ink) {
  p.setPen(QPen(ink, 2.2, Qt::SolidLine, Qt::RoundCap));
  switch (glyph) {
    case Glyph::Close:
      p.drawLine(QPointF(8, 8), QPointF(17, 17));
      p.drawLine(QPointF(17, 8), QPointF(8, 17));
      break;
    case Glyph::Minimize:
      p.drawLine(QPointF(7.5, 17), QPointF(17.5, 17));
      break;
    case Glyph::English:
    case Glyph::Russian: {
      QFont font(QStringLiteral("DejaVu Sans"));
      font.setPixelSize(10);
      font.setBold(true);
      p.setFont(font);
      p.setPen(ink);
      p.drawText(QRectF(0, 0, 25, 25), Qt::AlignCenter,
                 glyph == Glyph::English ? QStringLiteral("EN") : QStringLiteral("RU"));
      break;
    }
  }
}

// 133, 134, 162, 163: four 25 x 25 frames (normal, hover, pressed, disabled)
// on the key colour, which the button replaces by the strip's own colour (or
// by transparency, showing the title strip). The art is drawn antialiased on
// transparency and then cut with a hard mask: a pixel is either the face's
// own colour or exactly the key, so no blend of the key survives as a fringe.
QImage HoverStrip(Glyph glyph) {
  QImage art(100, 25, QImage::Format_ARGB32);
  art.fill(Qt::transparent);
  QPainter p(&art);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor close(200, 50, 60);
  for (int frame = 0; frame < 4; ++frame) {
    p.save();
    p.translate(frame * 25, 0);
    const QRectF face(2.5, 2.5, 20, 20);
    QColor fill = glyph == Glyph::Close ? close : kWine;
    QColor ink = Qt::white;
    if (frame == 1) fill = fill.lighter(135);
    if (frame == 2) {
      fill = fill.darker(140);
      p.translate(0.5, 1);
    }
    if (frame == 3) {
      fill = QColor(170, 150, 150);
      ink = QColor(215, 205, 205);
    }
    // The face's rim is drawn without antialiasing, so its edge pixels are
    // the rim colour itself rather than a blend with whatever lies outside.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(fill.darker(150));
    p.drawRoundedRect(face.adjusted(-0.5, -0.5, 0.5, 0.5), 5, 5);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Gloss(2, 23, fill.lighter(125), fill, fill.darker(120)));
    p.drawRoundedRect(face.adjusted(0.5, 0.5, -0.5, -0.5), 4.5, 4.5);
    DrawGlyph(p, glyph, ink);
    p.restore();
  }
  p.end();
  QImage image = Canvas(100, 25, kStripKey);
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = art.pixelColor(x, y);
      if (c.alpha() >= 128) image.setPixelColor(x, y, QColor(c.red(), c.green(), c.blue()));
    }
  return image;
}

// 161: the splash picture on white (transparent). The outline is drawn
// without antialiasing so no pale fringe is left around it.
QImage Splash() {
  QImage image = Canvas(208, 139, Qt::white);
  QPainter p(&image);
  QPainterPath outline;
  outline.addRoundedRect(QRectF(4, 10, 200, 120), 22, 22);
  p.setPen(Qt::NoPen);
  p.setBrush(Gloss(10, 130, kWineLight, kWine, kWineDark));
  p.drawPath(outline);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(kGold, 2));
  p.drawRoundedRect(QRectF(10, 16, 188, 108), 17, 17);
  DrawSplicedFilms(p, QPointF(40, 22), QPointF(98, 18), QSizeF(62, 32));
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(26);
  font.setBold(true);
  p.setFont(font);
  p.setPen(kCream);
  p.drawText(QRectF(4, 72, 200, 34), Qt::AlignCenter, QStringLiteral("Splicora"));
  font.setPixelSize(11);
  font.setBold(false);
  p.setFont(font);
  p.setPen(kGold.lighter(115));
  p.drawText(QRectF(4, 102, 200, 16), Qt::AlignCenter, QStringLiteral("join avi files"));
  return image;
}

// The application icon at any size: a wine-red tile with two film frames
// joined by a gold splice.
QImage AppIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 48.0, size / 48.0);
  p.setPen(QPen(kWineDark, 1.2));
  p.setBrush(Gloss(2, 46, kWineLight, kWine, kWineDark));
  p.drawRoundedRect(QRectF(2, 2, 44, 44), 9, 9);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 20, 26));
  p.drawRoundedRect(QRectF(7, 13, 34, 22), 3, 3);
  p.setBrush(QColor(120, 170, 210));
  p.drawRect(QRectF(10, 17, 12, 14));
  p.setBrush(QColor(240, 170, 120));
  p.drawRect(QRectF(26, 17, 12, 14));
  p.setPen(QPen(kGold, 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(24, 9), QPointF(24, 39));
  return image;
}

bool Save(const QImage& image, const QString& folder, const QString& name) {
  const QString path = QDir(folder).filePath(name);
  if (image.save(path)) return true;
  std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: splicora-skingen SKIN_DIR ICON_DIR\n");
    return 2;
  }
  const QString skin = QString::fromLocal8Bit(argv[1]);
  const QString icons = QString::fromLocal8Bit(argv[2]);
  QDir().mkpath(skin);
  QDir().mkpath(icons);
  bool ok = Save(TitleStrip(), skin, QStringLiteral("129.png")) &&
            Save(ButtonFace(false), skin, QStringLiteral("130.png")) &&
            Save(ButtonFace(true), skin, QStringLiteral("131.png")) &&
            Save(HoverStrip(Glyph::Minimize), skin, QStringLiteral("133.png")) &&
            Save(HoverStrip(Glyph::Close), skin, QStringLiteral("134.png")) &&
            Save(IconStrip(), skin, QStringLiteral("137.png")) &&
            Save(Splash(), skin, QStringLiteral("161.png")) &&
            Save(HoverStrip(Glyph::English), skin, QStringLiteral("162.png")) &&
            Save(HoverStrip(Glyph::Russian), skin, QStringLiteral("163.png"));
  for (int size : {16, 32, 48, 256})
    ok = ok && Save(AppIcon(size), icons, QStringLiteral("splicora-%1.png").arg(size));
  return ok ? 0 : 1;
}
