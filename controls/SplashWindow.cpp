#include "controls/SplashWindow.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <QWidget>

#include "controls/SkinBitmaps.h"

namespace {

class SplashWidget : public QWidget {
 public:
  explicit SplashWidget(const QImage& picture)
      : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
        picture_(QPixmap::fromImage(picture)) {
    setObjectName(QStringLiteral("SplashFast"));
    setWindowTitle(QStringLiteral("SplashFast"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setCursor(Qt::WaitCursor);
    setFixedSize(picture.size());
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.drawPixmap(0, 0, picture_);
  }

 private:
  QPixmap picture_;
};

}  // namespace

SplashWindow::SplashWindow() = default;

SplashWindow::~SplashWindow() = default;

void SplashWindow::LoadImageResource(int id) { picture_ = LoadSkinBitmap(id); }

void SplashWindow::SetColourKey(const QColor& colour) {
  colourKey_ = colour;
  ApplyColourKey();
}

QWidget* SplashWindow::Window() const { return window_.get(); }

QBitmap SplashWindow::Mask() const {
  if (picture_.isNull() || !colourKey_.isValid()) return {};
  // QPixmap's MaskInColor: the key's pixels become the mask's transparent ones.
  return QPixmap::fromImage(picture_).createMaskFromColor(colourKey_, Qt::MaskInColor);
}

QImage SplashWindow::Rendered() const {
  QImage out = picture_.convertToFormat(QImage::Format_ARGB32);
  if (colourKey_.isValid()) {
    const QRegion keep(Mask());
    for (int y = 0; y < out.height(); ++y)
      for (int x = 0; x < out.width(); ++x)
        if (!keep.contains(QPoint(x, y))) out.setPixel(x, y, qRgba(0, 0, 0, 0));
  }
  return out;
}

void SplashWindow::ApplyColourKey() {
  if (!window_ || !colourKey_.isValid()) return;
  window_->setMask(Mask());
}

QPoint SplashWindow::CentredOn(const QRect& area, const QSize& size) {
  return QPoint(area.left() + (area.width() - size.width()) / 2, area.top() + (area.height() - size.height()) / 2);
}

bool SplashWindow::DisplayAvailable() {
  const QString platform = QGuiApplication::platformName();
  return !platform.isEmpty() && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

QWidget* SplashWindow::Show(QWidget* near) {
  Close();
  if (!DisplayAvailable() || picture_.isNull()) return nullptr;
  window_ = std::make_unique<SplashWidget>(picture_);
  QScreen* screen = near && near->screen() ? near->screen() : QGuiApplication::primaryScreen();
  if (screen) window_->move(CentredOn(screen->availableGeometry(), picture_.size()));
  ApplyColourKey();
  window_->show();
  // Painted now: the main window's initialisation keeps the event loop busy.
  // One pass over pending events maps the window; nothing waits for it.
  window_->repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  return window_.get();
}

bool SplashWindow::Close() {
  if (!window_) return false;
  window_->hide();
  window_.reset();
  return true;
}
