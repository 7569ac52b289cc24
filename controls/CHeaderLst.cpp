#include "controls/CHeaderLst.h"

#include <QPainter>

CHeaderLst::CHeaderLst(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsClickable(false);  // the list has no sort header
  setSectionsMovable(false);
}

void CHeaderLst::MakeOwnerDrawn() {
  const int n = count();
  if (ownerDrawn_.size() < n) ownerDrawn_.resize(n);
  for (int i = 0; i < n; ++i) ownerDrawn_[i] = true;
  viewport()->update();
}

bool CHeaderLst::IsOwnerDrawn(int section) const {
  return section >= 0 && section < ownerDrawn_.size() && ownerDrawn_[section];
}

void CHeaderLst::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
  if (IsOwnerDrawn(logicalIndex))
    DrawItem(painter, rect, logicalIndex);
  else
    QHeaderView::paintSection(painter, rect, logicalIndex);
}

void CHeaderLst::DrawItem(QPainter* painter, const QRect& rect, int logicalIndex) const {
  painter->save();
  painter->fillRect(rect, FillColour());
  const QFontMetrics metrics(font());
  const int blank = metrics.horizontalAdvance(QLatin1Char(' '));
  const QString text =
      model() ? model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString().left(255)
              : QString();
  const QVariant alignment =
      model() ? model()->headerData(logicalIndex, orientation(), Qt::TextAlignmentRole) : QVariant();
  const int format = alignment.metaType() == QMetaType::fromType<Qt::Alignment>()
                         ? static_cast<int>(alignment.value<Qt::Alignment>())
                         : alignment.toInt();
  int flags = Qt::TextSingleLine | Qt::AlignVCenter;
  if (format & Qt::AlignHCenter)
    flags |= Qt::AlignHCenter;
  else if (format & Qt::AlignRight)
    flags |= Qt::AlignRight;
  else
    flags |= Qt::AlignLeft;
  const QRect textRect = rect.adjusted(2 * blank, 0, -2 * blank, 0);
  if (textRect.width() > 0) {
    painter->setFont(font());
    painter->setPen(TextColour());
    painter->setBackgroundMode(Qt::TransparentMode);
    painter->drawText(textRect, flags, metrics.elidedText(text, Qt::ElideRight, textRect.width()));
  }
  painter->restore();
}
