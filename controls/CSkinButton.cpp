#include "controls/CSkinButton.h"

#include <QFontMetrics>
#include <QPainter>
#include <QResizeEvent>

#include <cmath>

#include "controls/SkinBitmaps.h"

namespace {

constexpr QRgb kIconTransparent = qRgb(0, 0, 0);

// A font whose line height (the cell height of a Windows font) is about h pixels.
QFont CellHeightFont(const QString& family, int h, bool bold) {
  QFont font(family);
  font.setBold(bold);
  font.setStyleStrategy(QFont::PreferAntialias);
  font.setPixelSize(std::max(h, 1));
  const int cell = QFontMetrics(font).height();
  if (cell > 0) font.setPixelSize(std::max(h * h / cell, 1));
  return font;
}

}  // namespace

CSkinButton::CSkinButton(QWidget* parent) : QPushButton(parent) {
  setAutoDefault(false);
  setDefault(false);
}

bool CSkinButton::LoadFaces(int normalId, int pressedId) {
  for (QImage& face : faces_) face = QImage();
  const QImage normal = LoadSkinBitmap(normalId);
  if (normal.isNull()) return false;
  faces_[Normal] = normal;
  const QImage pressed = LoadSkinBitmap(pressedId);
  if (pressed.isNull()) return false;
  faces_[Selected] = pressed;
  faces_[Focus] = normal;
  faces_[Disabled] = normal;
  width_ = normal.width();
  height_ = normal.height();
  if (!sized_) SizeToContent();
  return true;
}

void CSkinButton::SizeToContent() {
  if (width_ > 0 && height_ > 0) resize(width_, height_);
}

bool CSkinButton::SetSkin(const QString& text, const QColor& textColour, int normalId, int pressedId,
                          int stripId, int iconX, int iconWidth) {
  setText(text);
  textColour_ = textColour;
  sized_ = true;
  if (!LoadFaces(normalId, pressedId)) {
    RescaleCache();
    return false;
  }
  const int cw = width();
  const int ch = height();
  for (QImage& face : faces_) face = StretchTo(face, cw, ch);
  width_ = cw;
  height_ = ch;
  const QImage strip = LoadSkinBitmap(stripId);
  if (!strip.isNull()) {
    DrawIconOn(faces_[Normal], strip, ch, iconX, iconWidth);
    DrawIconOn(faces_[Focus], strip, ch, iconX, iconWidth);
  }
  font_ = CellHeightFont(QStringLiteral("Arial"), static_cast<int>(ch * 0.6), true);
  const int tw = QFontMetrics(font_).horizontalAdvance(text);
  if (width_ - static_cast<int>(width_ * 0.2) < tw) {
    const int nw = static_cast<int>(tw * 1.2);
    for (QImage& face : faces_) face = WidenThreeSlice(face, nw);
    width_ = nw;
  }
  RescaleCache();
  return true;
}

QImage CSkinButton::StretchTo(const QImage& image, int cx, int cy) {
  if (image.isNull() || cx <= 0 || cy <= 0) return {};
  return image.scaled(cx, cy, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QImage CSkinButton::WidenThreeSlice(const QImage& image, int newWidth) {
  if (image.isNull() || newWidth <= 0) return {};
  const int w = image.width();
  const int h = image.height();
  const int third = w / 3;
  QImage out(newWidth, h, image.format());
  out.fill(Qt::black);
  QPainter p(&out);
  p.drawImage(QPoint(0, 0), image, QRect(0, 0, third, h));
  const int middle = newWidth - 2 * third;
  if (middle > 0)
    p.drawImage(QPoint(third, 0), image.copy(third, 0, w - 2 * third, h)
                                      .scaled(middle, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  p.drawImage(QPoint(newWidth - third, 0), image, QRect(w - third, 0, third, h));
  return out;
}

void CSkinButton::DrawIconOn(QImage& image, const QImage& strip, int height, int iconX, int iconWidth) {
  if (image.isNull() || strip.isNull()) return;
  const int iconH = strip.height();
  const int m = (height - iconH) / 2;
  for (int y = 0; y < iconH; ++y) {
    for (int x = 0; x < iconWidth; ++x) {
      const QPoint from(iconX + x, y);
      const QPoint to(m + x, m + 1 + y);
      if (!strip.valid(from) || !image.valid(to)) continue;
      const QRgb pixel = strip.pixel(from);
      if ((pixel & 0xFFFFFF) != (kIconTransparent & 0xFFFFFF)) image.setPixel(to, pixel);
    }
  }
}

CSkinButton::State CSkinButton::CurrentState() const {
  if (!isEnabled() && !faces_[Disabled].isNull()) return Disabled;
  if (isDown() && !faces_[Selected].isNull()) return Selected;
  if (hasFocus() && !faces_[Focus].isNull()) return Focus;
  return Normal;
}

void CSkinButton::RescaleCache() {
  for (int i = 0; i < 4; ++i)
    scaled_[i] = faces_[i].isNull() ? QPixmap() : QPixmap::fromImage(StretchTo(faces_[i], width(), height()));
  update();
}

void CSkinButton::resizeEvent(QResizeEvent* event) {
  QPushButton::resizeEvent(event);
  if (event->size().width() > 0 && event->size().height() > 0) sized_ = true;
  RescaleCache();
}

void CSkinButton::paintEvent(QPaintEvent*) {
  const State state = CurrentState();
  if (scaled_[state].isNull()) return;
  QPainter p(this);
  p.drawPixmap(0, 0, scaled_[state]);
  if (text().isEmpty()) return;
  p.setFont(font_);
  p.setPen(state == Disabled ? palette().color(QPalette::Disabled, QPalette::WindowText) : textColour_);
  const QFontMetrics metrics(font_);
  const int tw = metrics.horizontalAdvance(text());
  const int th = metrics.height();
  p.drawText(QPoint((width() - tw) / 2, (height() - th) / 2 + metrics.ascent()), text());
}
