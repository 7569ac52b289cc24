// The skinned controls on the project's own skin bitmaps, under the offscreen
// platform: three-slice widening, icons and captions of CSkinButton, the
// frames and key colour of CHoverButton, the progress bar's fill and text,
// the title strip's text, and a splash that never shows without a display.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QPainter>
#include <QTest>

#include "controls/CHoverButton.h"
#include "controls/CImagetxt.h"
#include "controls/CSkinButton.h"
#include "controls/CSkinProgress.h"
#include "controls/SkinBitmaps.h"
#include "controls/SplashWindow.h"

namespace {

const QColor kStripKey(66, 192, 255);
const QColor kKeyReplacement(205, 162, 160);
const QColor kWindow(235, 192, 190);

bool SameColumns(const QImage& a, int ax, const QImage& b, int bx, int count) {
  for (int x = 0; x < count; ++x)
    for (int y = 0; y < a.height(); ++y)
      if (a.pixel(ax + x, y) != b.pixel(bx + x, y)) return false;
  return true;
}

int CountColour(const QImage& image, const QColor& colour) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) n += (image.pixel(x, y) & 0xFFFFFF) == (colour.rgb() & 0xFFFFFF);
  return n;
}

bool Near(QRgb a, const QColor& b, int tolerance) {
  return std::abs(qRed(a) - b.red()) <= tolerance && std::abs(qGreen(a) - b.green()) <= tolerance &&
         std::abs(qBlue(a) - b.blue()) <= tolerance;
}

}  // namespace

class TestSkinControls : public QObject {
  Q_OBJECT
 public:
  static void initMain() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  }

 private slots:
  void skinBitmapsHaveTheirSizesAndKeys() {
    const struct {
      int id;
      QSize size;
      QColor corner;  // the transparent or key colour at (0, 0)
    } bitmaps[] = {{129, {691, 67}, {}},          {130, {131, 36}, kWindow},    {131, {131, 36}, kWindow},
                   {133, {100, 25}, kStripKey},   {134, {100, 25}, kStripKey},  {137, {59, 18}, Qt::black},
                   {161, {208, 139}, Qt::white},  {162, {100, 25}, kStripKey},  {163, {100, 25}, kStripKey}};
    for (const auto& b : bitmaps) {
      const QImage image = LoadSkinBitmap(b.id);
      QVERIFY2(image.size() == b.size, qPrintable(QString::number(b.id)));
      if (b.corner.isValid()) QCOMPARE(QColor(image.pixel(0, 0)), b.corner);
    }
    QVERIFY(LoadSkinBitmap(999).isNull());
    for (int size : {16, 32, 48, 256}) QVERIFY(ApplicationIcon().availableSizes().contains(QSize(size, size)));
  }

  // The small buttons' art is hard-edged against the key: every pixel is the
  // key itself or a colour of the face (reds, greys, white, never the key's
  // blue mixed in), and the key surrounds each face. A see-through
  // replacement leaves exactly the key's pixels transparent.
  void hoverStripsHaveNoKeyFringe() {
    for (int id : {133, 134, 162, 163}) {
      const QImage strip = LoadSkinBitmap(id).convertToFormat(QImage::Format_RGB888);
      int keyPixels = 0;
      for (int y = 0; y < strip.height(); ++y)
        for (int x = 0; x < strip.width(); ++x) {
          const QColor c = strip.pixelColor(x, y);
          if (c == kStripKey) {
            ++keyPixels;
            continue;
          }
          QVERIFY2(c.blue() <= c.red(), qPrintable(QStringLiteral("%1 at %2,%3: %4").arg(id).arg(x).arg(y).arg(c.name())));
        }
      for (int frame = 0; frame < 4; ++frame)
        for (QPoint corner : {QPoint(0, 0), QPoint(24, 0), QPoint(0, 24), QPoint(24, 24), QPoint(1, 1)})
          QCOMPARE(strip.pixelColor(corner + QPoint(25 * frame, 0)), kStripKey);
      QImage clear = strip;
      QVERIFY(CHoverButton::ReplaceKeyColour(clear, QColor(Qt::transparent)));
      int transparent = 0;
      for (int y = 0; y < clear.height(); ++y)
        for (int x = 0; x < clear.width(); ++x) transparent += qAlpha(clear.pixel(x, y)) == 0;
      QCOMPARE(transparent, keyPixels);
      QCOMPARE(QColor(clear.pixel(12, 12)), strip.pixelColor(12, 12));
    }
  }

  void threeSliceKeepsTheCaps() {
    const QImage face = LoadSkinBitmap(130);
    const int third = face.width() / 3;
    for (int width : {131, 132, 150, 300, 777, 2000}) {
      const QImage wide = CSkinButton::WidenThreeSlice(face, width);
      QCOMPARE(wide.size(), QSize(width, face.height()));
      QVERIFY2(SameColumns(wide, 0, face, 0, third), qPrintable(QString::number(width)));
      QVERIFY2(SameColumns(wide, width - third, face, face.width() - third, third), qPrintable(QString::number(width)));
    }
  }

  void skinButtonFacesIconAndWidening() {
    QWidget parent;
    CSkinButton button(&parent);
    button.setGeometry(10, 10, 132, 27);
    QVERIFY(button.SetSkin(QStringLiteral("  Add file"), Qt::white, 130, 131, 137, 0, 17));
    QCOMPARE(button.Face(CSkinButton::Normal).size(), QSize(132, 27));
    // The icon is on the normal and focus faces only, and its black never shows.
    const QImage plain = CSkinButton::StretchTo(LoadSkinBitmap(130), 132, 27);
    QVERIFY(button.Face(CSkinButton::Normal) != plain);
    QCOMPARE(button.Face(CSkinButton::Focus), button.Face(CSkinButton::Normal));
    QCOMPARE(button.Face(CSkinButton::Disabled), plain);
    for (int s = 0; s < 4; ++s) QCOMPARE(CountColour(button.Face(CSkinButton::State(s)), Qt::black), 0);

    // A long caption widens the faces to 1.2 x its width; the button follows
    // only on SizeToContent, and a second SetSkin does not widen further.
    const QString longText(30, QLatin1Char('W'));
    for (int round = 0; round < 2; ++round) {
      button.resize(132, 27);
      QVERIFY(button.SetSkin(longText, Qt::white, 130, 131, 137, 0, 17));
      QCOMPARE(button.width(), 132);
      const int widened = button.Face(CSkinButton::Normal).width();
      QVERIFY(widened > 132 * 2);
      button.SizeToContent();
      QCOMPARE(button.size(), QSize(widened, 27));
    }
    // A face that cannot be loaded: false.
    QVERIFY(!button.SetSkin(QStringLiteral("x"), Qt::white, 999, 131, 137, 0, 17));

    parent.show();
    button.resize(132, 27);
    QVERIFY(button.SetSkin(QStringLiteral("  Remove"), Qt::white, 130, 131, 137, 17, 18));
    const QImage enabled = button.grab().toImage();
    QCOMPARE(button.CurrentState(), CSkinButton::Normal);
    QVERIFY(CountColour(enabled, Qt::white) > 20);  // the caption
    button.setEnabled(false);
    QCOMPARE(button.CurrentState(), CSkinButton::Disabled);
    QCOMPARE(CountColour(button.grab().toImage(), Qt::white), 0);  // grey caption
    button.setEnabled(true);
    button.setDown(true);
    QCOMPARE(button.CurrentState(), CSkinButton::Selected);
  }

  void hoverButtonFramesAndKeyColour() {
    QWidget parent;
    parent.resize(200, 60);
    CHoverButton button(&parent);
    button.setGeometry(5, 5, 26, 23);
    QVERIFY(button.LoadStrip(134, kKeyReplacement, false));
    QCOMPARE(button.geometry(), QRect(5, 5, 25, 25));
    QCOMPARE(button.focusPolicy(), Qt::NoFocus);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    QImage frames[4];
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);  // wherever the pointer started
    QCOMPARE(button.Frame(), 0);
    frames[0] = button.grab().toImage();
    QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), QPointF(8, 8));
    QApplication::sendEvent(&button, &enter);
    QCOMPARE(button.Frame(), 1);
    frames[1] = button.grab().toImage();
    button.setDown(true);
    QCOMPARE(button.Frame(), 2);
    frames[2] = button.grab().toImage();
    button.setDown(false);
    button.setEnabled(false);
    QCOMPARE(button.Frame(), 3);
    frames[3] = button.grab().toImage();
    for (int i = 0; i < 4; ++i) {
      QCOMPARE(CountColour(frames[i], kStripKey), 0);
      QCOMPARE(QColor(frames[i].pixel(0, 0)), kKeyReplacement);
      for (int j = 0; j < i; ++j) QVERIFY(frames[i] != frames[j]);
    }
    button.setEnabled(true);
    QApplication::sendEvent(&button, &leave);
    QCOMPARE(button.Frame(), 0);
    QVERIFY(!button.LoadStrip(999, kKeyReplacement, false));

    // Only the top-left pixel's colour is replaced.
    QImage image(3, 1, QImage::Format_RGB888);
    image.setPixelColor(0, 0, kStripKey);
    image.setPixelColor(1, 0, QColor(66, 192, 254));
    image.setPixelColor(2, 0, kStripKey);
    QVERIFY(CHoverButton::ReplaceKeyColour(image, kKeyReplacement));
    QCOMPARE(image.pixelColor(0, 0), kKeyReplacement);
    QCOMPARE(image.pixelColor(1, 0), QColor(66, 192, 254));
    QCOMPARE(image.pixelColor(2, 0), kKeyReplacement);
  }

  void progressFillAndText_data() {
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << QStringLiteral("0%");
    QTest::newRow("3") << 3 << QStringLiteral("3%");
    QTest::newRow("50") << 50 << QStringLiteral("50%");
    QTest::newRow("100") << 100 << QStringLiteral("100%");
    QTest::newRow("130") << 130 << QStringLiteral("100%");
  }

  void progressFillAndText() {
    QFETCH(int, position);
    QFETCH(QString, text);
    QWidget parent;
    CSkinProgress bar(&parent);
    bar.setGeometry(0, 0, 302, 23);  // a 300-pixel client inside the frame
    bar.setRange(0, 100);
    bar.SetBarColour(kWindow);
    parent.show();
    bar.SetPos(position);
    QCOMPARE(bar.text(), text);
    const int clamped = std::min(position, 100);
    const int filled = clamped * 300 / 100;
    QCOMPARE(bar.FilledWidth(), filled);
    const QImage shot = bar.grab().toImage();
    const int y = shot.height() - 2;  // below the text
    if (filled > 0) {
      // The leading edge is the gradient's darkest colour, the left end lighter.
      QVERIFY(Near(shot.pixel(filled, y), QColor(50, 50, 100), 3));
      QVERIFY(qBlue(shot.pixel(1, y)) > qBlue(shot.pixel(filled, y)));
    }
    // The white text rides just inside the fill's leading edge, or sits at the
    // left while the fill is narrower than the text.
    int left = shot.width(), right = -1;
    for (int yy = 0; yy < shot.height(); ++yy)
      for (int x = 0; x < shot.width(); ++x)
        if (Near(shot.pixel(x, yy), Qt::white, 12)) left = std::min(left, x), right = std::max(right, x);
    QVERIFY(right >= 0);
    if (filled > 60) {
      QVERIFY2(right <= filled - 2 && right >= filled - 9, qPrintable(QString::number(right)));
    } else {
      QVERIFY2(left <= 6, qPrintable(QString::number(left)));
    }
    if (filled < 300) QCOMPARE(QColor(shot.pixel(filled + 1, y)), kWindow);
    // The same position again draws nothing.
    const int draws = bar.DrawCount();
    bar.SetPos(position);
    QCOMPARE(bar.DrawCount(), draws);
  }

  void titleStripCentresItsText() {
    QWidget parent;
    parent.resize(762, 100);
    CImagetxt strip(&parent);
    strip.setGeometry(0, 0, 762, 65);
    QVERIFY(strip.SetSkinBitmap(129, Qt::white));
    strip.SetTitle(QStringLiteral("Please select video fragmensts into list..."));
    const QFontMetrics metrics(parent.font());
    QCOMPARE(strip.TextOrigin(),
             QPoint((762 - metrics.horizontalAdvance(strip.Title())) / 2, (65 - metrics.height()) / 2 - 5));
    std::unique_ptr<QMenu> menu(strip.NewContextMenu());
    QCOMPARE(menu->actions().size(), 1);
    QCOMPARE(menu->actions()[0]->text(), QStringLiteral("About..."));
    QVERIFY(!strip.SetSkinBitmap(999, Qt::white));
  }

  void splashNeverShowsOffscreen() {
    SplashWindow splash;
    splash.LoadImageResource(161);
    splash.SetColourKey(Qt::white);
    QVERIFY(!SplashWindow::DisplayAvailable());
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(splash.Show(), nullptr);
    QVERIFY(clock.elapsed() < 1000);
    QCOMPARE(splash.Window(), nullptr);
    QVERIFY(!splash.Close());
    QCOMPARE(splash.Size(), QSize(208, 139));

    // Centred with signed arithmetic: a larger picture overhangs both sides.
    QCOMPARE(SplashWindow::CentredOn(QRect(0, 0, 1024, 738), QSize(208, 139)), QPoint(408, 299));
    QCOMPARE(SplashWindow::CentredOn(QRect(1920, 0, 100, 100), QSize(208, 139)), QPoint(1866, -19));

    // White is cut away: the corners are transparent, the middle is not.
    const QImage shown = splash.Rendered();
    QCOMPARE(qAlpha(shown.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(shown.pixel(104, 70)), 255);
    // The window's mask keeps exactly the pixels that are not white.
    const QRegion mask(splash.Mask());
    const QImage picture = LoadSkinBitmap(161);
    for (QPoint p : {QPoint(0, 0), QPoint(207, 138), QPoint(104, 70), QPoint(104, 12)})
      QCOMPARE(mask.contains(p), picture.pixel(p) != qRgb(255, 255, 255));
    // Over the window's colour, as a screenshot.
    QImage onDesk(260, 180, QImage::Format_RGB32);
    onDesk.fill(QColor(60, 90, 120));
    QPainter(&onDesk).drawImage(26, 20, shown);
    QCOMPARE(CountColour(onDesk, Qt::white), 0);
    QVERIFY(QDir().mkpath(QStringLiteral(SPLICORA_SCREENSHOT_DIR)));
    QVERIFY(onDesk.save(QStringLiteral(SPLICORA_SCREENSHOT_DIR "/splash.png")));
  }
};

QTEST_MAIN(TestSkinControls)
#include "tst_skincontrols.moc"
