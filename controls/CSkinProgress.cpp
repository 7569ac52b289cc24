#include "controls/CSkinProgress.h"

#include <QPainter>
#include <QResizeEvent>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int kBorder = 1;     // the bar's one-pixel frame
constexpr int kTextGap = 3;    // between the text and the fill's leading edge
constexpr int kTextTop = 2;
const QColor kFrameColour(120, 80, 84);

}  // namespace

CSkinProgress::CSkinProgress(QWidget* parent) : QProgressBar(parent) {
  barColour_ = palette().color(QPalette::Button);
  setTextVisible(false);
  // Every change of the position redraws, also through setRange or reset.
  connect(this, &QProgressBar::valueChanged, this, [this] { DrawPosition(false); });
}

QRect CSkinProgress::Client() const { return rect().adjusted(kBorder, kBorder, -kBorder, -kBorder); }

int CSkinProgress::SetPos(int position) {
  const int previous = value();
  QProgressBar::setValue(std::clamp(position, minimum(), maximum()));
  return previous;
}

void CSkinProgress::SetBarColour(const QColor& colour) {
  barColour_ = colour;
  BuildBuffers();
  DrawPosition(true);
}

QString CSkinProgress::text() const { return QString::asprintf("%d%%", value()); }

int CSkinProgress::FilledWidth() const {
  const int span = std::abs(maximum() - minimum());
  if (value() == minimum() || span == 0) return 0;
  return value() * Client().width() / span;
}

int CSkinProgress::TextX() const {
  const int filled = FilledWidth();
  if (filled == 0) return 0;
  return std::max(filled - QFontMetrics(font_).horizontalAdvance(text()) - kTextGap, 0);
}

void CSkinProgress::BuildBuffers() {
  const QRect client = Client();
  if (client.width() <= 0 || client.height() <= 0) return;
  font_ = QFont(QStringLiteral("Arial"));
  font_.setPixelSize(client.height());
  const int cell = QFontMetrics(font_).height();
  if (cell > 0) font_.setPixelSize(std::max(client.height() * client.height() / cell, 1));

  // From the base colour lightened by e at the left to the base colour at the right.
  const int r = baseColour_.red(), g = baseColour_.green(), b = baseColour_.blue();
  const int e = (r >= g && b > r) ? 255 - b : 255 - g;
  const float step = static_cast<float>(e) / static_cast<float>(client.width());
  gradient_ = QImage(client.size(), QImage::Format_RGB32);
  for (int x = 0; x < client.width(); ++x) {
    const int f = (e - static_cast<int>(x * step)) & 0xFF;
    const QRgb colour = qRgb((r + f) % 256, (g + f) % 256, (b + f) % 256);
    for (int y = 0; y < client.height(); ++y) gradient_.setPixel(x, y, colour);
  }
}

void CSkinProgress::DrawPosition(bool forced) {
  const int pos = value();
  if (!forced && pos == lastPos_) return;
  if (gradient_.isNull()) return;
  const QRect client = Client();
  const int filled = std::min(FilledWidth(), client.width());
  QPixmap display(size());
  QPainter p(&display);
  p.fillRect(display.rect(), kFrameColour);
  // The fill shows the gradient's right end, so its leading edge is always darkest.
  if (filled > 0)
    p.drawImage(QPoint(kBorder, kBorder), gradient_, QRect(client.width() - filled, 0, filled, client.height()));
  p.fillRect(QRect(kBorder + filled, kBorder, client.width() - filled, client.height()), barColour_);
  p.setFont(font_);
  p.setPen(Qt::white);
  p.setClipRect(client);
  p.drawText(QPoint(kBorder + TextX(), kBorder + kTextTop + QFontMetrics(font_).ascent()), text());
  p.end();
  display_ = display;
  ++drawCount_;
  repaint();
  if (!forced) lastPos_ = pos;
}

void CSkinProgress::resizeEvent(QResizeEvent* event) {
  QProgressBar::resizeEvent(event);
  BuildBuffers();
  DrawPosition(true);
}

void CSkinProgress::paintEvent(QPaintEvent*) {
  if (display_.isNull()) {
    BuildBuffers();
    DrawPosition(true);
  }
  QPainter p(this);
  p.drawPixmap(0, 0, display_);
}
