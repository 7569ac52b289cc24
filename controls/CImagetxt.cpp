#include "controls/CImagetxt.h"

#include <QAbstractButton>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include <algorithm>

#include "core/LanguageText.h"
#include "core/WindowMessages.h"
#include "controls/SkinBitmaps.h"

namespace {

constexpr int kHeadColumns = 130;  // the title bitmap's head, scaled on its own
constexpr int kTextRaise = 5;      // the text sits this far above the middle

constexpr int kExitCommand = 1007;
constexpr int kMinimizeCommand = 1008;
constexpr int kEnglishActiveButton = 1011;
constexpr int kRussianActiveButton = 1012;

}  // namespace

CImagetxt::CImagetxt(QWidget* parent) : QWidget(parent) {}

bool CImagetxt::SetSkinBitmap(int id, const QColor& textColour) {
  textColour_ = textColour;
  if (parentWidget()) {
    font_ = parentWidget()->font();
    haveFont_ = true;
  }
  skin_ = LoadSkinBitmap(id);
  background_ = QPixmap();
  if (skin_.isNull()) return false;
  BuildBackground(width(), height());
  update();
  return true;
}

void CImagetxt::SetTitle(const QString& text) {
  text_ = text.isNull() ? QString() : text;
  repaint();
}

void CImagetxt::BuildBackground(int cx, int cy) {
  if (skin_.isNull() || cx <= 0 || cy <= 0) return;
  QPixmap background(cx, cy);
  background.fill(Qt::black);
  const double r = std::max(static_cast<double>(skin_.width()) / cx, static_cast<double>(skin_.height()) / cy);
  const int left = static_cast<int>(r * kHeadColumns);
  QPainter p(&background);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  p.drawImage(QRect(0, 0, left, cy), skin_, QRect(0, 0, kHeadColumns, skin_.height()));
  // The rest starts at the head's end and is as wide as the whole strip; what
  // falls past the right edge is clipped.
  p.drawImage(QRect(left, 0, cx, cy), skin_, QRect(kHeadColumns, 0, skin_.width() - kHeadColumns, skin_.height()));
  background_ = background;
}

QPoint CImagetxt::TextOrigin() const {
  const QFontMetrics metrics(haveFont_ ? font_ : font());
  return QPoint((width() - metrics.horizontalAdvance(text_)) / 2, (height() - metrics.height()) / 2 - kTextRaise);
}

void CImagetxt::paintEvent(QPaintEvent*) {
  if (background_.isNull()) BuildBackground(width(), height());
  QPainter p(this);
  if (!background_.isNull()) p.drawPixmap(0, 0, background_);
  if (haveFont_) p.setFont(font_);
  p.setPen(textColour_);
  const QPoint origin = TextOrigin();
  p.drawText(origin + QPoint(0, QFontMetrics(p.font()).ascent()), text_);
}

void CImagetxt::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  BuildBackground(width(), height());
}

void CImagetxt::mousePressEvent(QMouseEvent* event) {
  QWidget::mousePressEvent(event);
  // Dragging the strip moves the frameless window.
  if (event->button() == Qt::LeftButton && window()->windowHandle()) window()->windowHandle()->startSystemMove();
}

void CImagetxt::mouseReleaseEvent(QMouseEvent* event) {
  QWidget::mouseReleaseEvent(event);
  if (event->button() != Qt::RightButton) return;
  QMenu* menu = NewContextMenu();
  menu->exec(event->globalPosition().toPoint());
  delete menu;
}

QMenu* CImagetxt::NewContextMenu() {
  auto* menu = new QMenu(this);
  menu->addAction(LanguageText(1105, QStringLiteral("About...")), this, [this] { OnCommand(kAboutCommand); });
  return menu;
}

void CImagetxt::AdoptButton(QAbstractButton* button, int id) {
  const QPoint onStrip = mapFromGlobal(button->mapToGlobal(QPoint(0, 0)));
  const bool hidden = button->isHidden();
  button->setParent(this);
  button->move(onStrip);
  button->setVisible(!hidden);
  connect(button, &QAbstractButton::clicked, this, [this, id] { OnCommand(id); });
}

void CImagetxt::OnCommand(int id) {
  auto* target = dynamic_cast<MessageTarget*>(window());
  if (!target || window() == this) return;
  switch (id) {
    case kExitCommand:
      PostMessage(target, wm::WM_CLOSE, 0, 0);
      break;
    case kMinimizeCommand:
      window()->showMinimized();
      break;
    case kRussianActiveButton:
      PostMessage(target, wm::MSG_SWITCH_LANGUAGE, kLanguageEnglish, 0);
      break;
    case kEnglishActiveButton:
      PostMessage(target, wm::MSG_SWITCH_LANGUAGE, kLanguageRussian, 0);
      break;
    case kAboutCommand:
      PostMessage(target, wm::WM_SYSCOMMAND, wm::IDM_ABOUTBOX, 0);
      break;
    default:
      break;
  }
}
