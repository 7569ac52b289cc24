#include "controls/CHoverButton.h"

#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include "controls/SkinBitmaps.h"

CHoverButton::CHoverButton(QWidget* parent) : QPushButton(parent) {
  setAutoDefault(false);
  setDefault(false);
  setAttribute(Qt::WA_Hover);
}

bool CHoverButton::LoadStrip(int id, const QColor& key, bool keepFocus) {
  keyColour_ = key;
  strip_ = QPixmap();
  QImage image = LoadSkinBitmap(id);
  if (image.isNull()) return false;
  ReplaceKeyColour(image, key);
  strip_ = QPixmap::fromImage(image);
  frameWidth_ = image.width() / 4;
  frameHeight_ = image.height();
  resize(frameWidth_, frameHeight_);
  keepFocus_ = keepFocus;
  setFocusPolicy(keepFocus ? Qt::StrongFocus : Qt::NoFocus);
  update();
  return true;
}

bool CHoverButton::ReplaceKeyColour(QImage& image, const QColor& colour) {
  if (image.isNull()) return false;
  if (colour.alpha() < 255) {
    // A see-through replacement: the key's pixels take the colour with its
    // alpha, and what lies under the button shows.
    const QRgb key = image.pixel(0, 0);
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
      auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
      for (int x = 0; x < image.width(); ++x)
        if (row[x] == key) row[x] = colour.rgba();
    }
    return true;
  }
  if (image.format() != QImage::Format_RGB888) image = image.convertToFormat(QImage::Format_RGB888);
  const QRgb key = image.pixel(0, 0);
  const uchar r = static_cast<uchar>(colour.red());
  const uchar g = static_cast<uchar>(colour.green());
  const uchar b = static_cast<uchar>(colour.blue());
  for (int y = 0; y < image.height(); ++y) {
    uchar* row = image.scanLine(y);
    for (int x = 0; x < image.width(); ++x) {
      uchar* px = row + 3 * x;
      if (qRgb(px[0], px[1], px[2]) != key) continue;
      px[0] = r;
      px[1] = g;
      px[2] = b;
    }
  }
  return true;
}

void CHoverButton::SetTipText(const QString& text, bool activate) {
  if (text.isNull()) return;
  setToolTip(text);
  tipActive_ = activate;
}

bool CHoverButton::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip && !tipActive_) return true;
  return QPushButton::event(event);
}

int CHoverButton::Frame() const {
  if (isDown()) return 2;
  if (!isEnabled()) return 3;
  if (hover_ || hasFocus()) return 1;
  return 0;
}

void CHoverButton::paintEvent(QPaintEvent*) {
  if (strip_.isNull()) return;
  QPainter p(this);
  p.drawPixmap(QPoint(0, 0), strip_, QRect(Frame() * frameWidth_, 0, frameWidth_, frameHeight_));
}

void CHoverButton::enterEvent(QEnterEvent* event) {
  hover_ = true;
  update();
  QPushButton::enterEvent(event);
}

void CHoverButton::leaveEvent(QEvent* event) {
  hover_ = false;
  update();
  QPushButton::leaveEvent(event);
}

void CHoverButton::mousePressEvent(QMouseEvent* event) {
  // A pressed button hides its tip.
  QToolTip::hideText();
  QPushButton::mousePressEvent(event);
}
