#pragma once
// The clip list's header, drawn in the skin's colours once its sections are
// made owner-drawn.
#include <QColor>
#include <QHeaderView>

class CHeaderLst : public QHeaderView {
  Q_OBJECT
 public:
  explicit CHeaderLst(QWidget* parent = nullptr);

  // Adds the owner-drawn flag to every section present now.
  void MakeOwnerDrawn();
  bool IsOwnerDrawn(int section) const;

  static QColor FillColour() { return QColor(216, 230, 243); }
  static QColor TextColour() { return QColor(50, 50, 128); }

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
  // Draws one section as the owner; the header's own look otherwise.
  void DrawItem(QPainter* painter, const QRect& rect, int logicalIndex) const;

 private:
  QList<bool> ownerDrawn_;
};
