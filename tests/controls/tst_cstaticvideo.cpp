// The conversion's preview: frames handed in from a worker thread appear
// upright, aspect kept and centred on black, and a picture is never shown
// half drawn while frames keep coming.
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

#include "controls/CStaticVideo.h"

namespace {

// A bottom-up 24-bit DIB: the first rows in memory are the picture's bottom.
struct Dib {
  int width, height, stride;
  std::vector<uint8_t> bits;
  Dib(int w, int h)
      : width(w), height(h), stride((w * 3 + 3) & ~3), bits(static_cast<size_t>(stride) * h, 0xEE) {}
  void FillRows(int fromBottom, int count, QColor c) {
    for (int y = fromBottom; y < fromBottom + count; ++y)
      for (int x = 0; x < width; ++x) {
        uint8_t* p = &bits[static_cast<size_t>(y) * stride + x * 3];
        p[0] = static_cast<uint8_t>(c.blue());
        p[1] = static_cast<uint8_t>(c.green());
        p[2] = static_cast<uint8_t>(c.red());
      }
  }
  void Present(CStaticVideo& v) const { v.PresentFrame(bits.data(), width, height, stride); }
};

// Rows [from, to) of the grabbed widget all of one colour.
bool RowsAre(const QImage& shot, int from, int to, QColor colour) {
  for (int y = from; y < to; ++y)
    for (int x = 0; x < shot.width(); ++x)
      if (shot.pixelColor(x, y).rgb() != colour.rgb()) return false;
  return true;
}

QImage Shot(CStaticVideo& v) {
  return v.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

}  // namespace

class TestCStaticVideo : public QObject {
  Q_OBJECT
 private slots:
  void letterboxedFromAWorkerThreadAndKeptUntilResized() {
    CStaticVideo video;
    video.resize(160, 160);
    video.show();
    QVERIFY(QTest::qWaitForWindowExposed(&video));
    QVERIFY(RowsAre(Shot(video), 0, 160, Qt::black));
    Dib red(320, 240);
    red.FillRows(0, 240, Qt::red);
    std::thread worker([&] { red.Present(video); });
    worker.join();
    QTRY_VERIFY(RowsAre(Shot(video), 20, 140, Qt::red));
    const QImage shot = Shot(video);
    QVERIFY(RowsAre(shot, 0, 20, Qt::black));
    QVERIFY(RowsAre(shot, 140, 160, Qt::black));

    video.hide();
    video.show();
    QVERIFY(RowsAre(Shot(video), 20, 140, Qt::red));  // hiding keeps the last frame
    video.resize(160, 100);                           // a resize starts over, black
    QTRY_VERIFY(RowsAre(Shot(video), 0, 100, Qt::black));
    red.Present(video);  // 4:3 in 160 x 100: 133 wide, pillarboxed
    QTRY_COMPARE(Shot(video).pixelColor(80, 50), QColor(Qt::red));
    QCOMPARE(CStaticVideo::FrameRect({320, 240}, {160, 100}), QRect(13, 0, 133, 100));
    QCOMPARE(CStaticVideo::FrameRect({320, 240}, {160, 121}),
             QRect(0, 0, 160, 121));  // within 2 rows: filled
    QCOMPARE(Shot(video).pixelColor(5, 50), QColor(Qt::black));
  }

  void bottomUpFrameShownUpright() {
    CStaticVideo video;
    video.resize(100, 80);
    video.show();
    QVERIFY(QTest::qWaitForWindowExposed(&video));
    Dib frame(10, 8);  // rows of 30 bytes padded to 32
    frame.FillRows(0, 4, Qt::blue);
    frame.FillRows(4, 4, Qt::green);
    frame.Present(video);
    QTRY_VERIFY(RowsAre(Shot(video), 0, 40, Qt::green));
    QVERIFY(RowsAre(Shot(video), 40, 80, Qt::blue));
  }

  void throttledToAboutFifteenFramesASecond() {
    CStaticVideo video;
    QVERIFY(!video.WantsFrame());  // hidden, no buffer
    video.resize(64, 48);
    video.show();
    QVERIFY(QTest::qWaitForWindowExposed(&video));
    QVERIFY(video.WantsFrame());
    Dib frame(64, 48);
    QElapsedTimer since;
    since.start();
    frame.Present(video);
    QVERIFY(!video.WantsFrame());
    QTRY_VERIFY_WITH_TIMEOUT(video.WantsFrame(), 1000);
    QVERIFY(since.elapsed() >= CStaticVideo::kFrameIntervalMs - 1);
    video.hide();
    QVERIFY(!video.WantsFrame());
  }

  // Frames of alternating colours as fast as the worker can draw them; every
  // grab on the GUI thread shows one whole frame, never a mix.
  void pictureNeverTornWhileFramesArrive() {
    CStaticVideo video;
    video.resize(120, 90);
    video.show();
    QVERIFY(QTest::qWaitForWindowExposed(&video));
    Dib a(640, 480), b(640, 480);
    a.FillRows(0, 480, Qt::yellow);
    b.FillRows(0, 480, Qt::cyan);
    std::atomic<bool> stop{false};
    std::atomic<int> presented{0};
    std::thread worker([&] {
      while (!stop) (presented++ % 2 ? b : a).Present(video);
    });
    int shots = 0, torn = 0;
    QElapsedTimer running;
    running.start();
    while (running.elapsed() < 500 || presented < 20) {
      QCoreApplication::processEvents();
      const QImage shot = Shot(video);
      ++shots;
      if (!RowsAre(shot, 0, 90, Qt::yellow) && !RowsAre(shot, 0, 90, Qt::cyan) &&
          !RowsAre(shot, 0, 90, Qt::black))
        ++torn;
    }
    stop = true;
    worker.join();
    QCOMPARE(torn, 0);
    QVERIFY(shots > 10);
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TestCStaticVideo test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_cstaticvideo.moc"
