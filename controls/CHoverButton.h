#pragma once
// The small title-strip button (Exit, Minimize, the language buttons): one of
// four frames of a strip (normal, hover or focus, pressed, disabled), lit
// while the mouse rests on it, with a tooltip. Without keepFocus it never
// takes the keyboard focus, so the control that had it keeps it.
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QPushButton>

class CHoverButton : public QPushButton {
  Q_OBJECT
 public:
  explicit CHoverButton(QWidget* parent = nullptr);

  // Loads strip id, replaces its key colour (the top-left pixel's) by key and
  // sizes the button to one frame; false when the strip cannot be loaded.
  bool LoadStrip(int id, const QColor& key, bool keepFocus);
  // Every pixel of the colour at (0, 0) becomes colour; a colour with alpha
  // (Qt::transparent) makes them see-through. False for an image that cannot
  // be recoloured; nothing changes then.
  static bool ReplaceKeyColour(QImage& image, const QColor& colour);
  // Null text does nothing; an inactive tip is not shown.
  void SetTipText(const QString& text, bool activate);

  // The frame the button shows now: 0 normal, 1 hover or focus, 2 pressed, 3 disabled.
  int Frame() const;
  bool Hover() const { return hover_; }
  QColor KeyColour() const { return keyColour_; }

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  bool hover_ = false;
  QColor keyColour_;
  int frameWidth_ = 0;
  int frameHeight_ = 0;
  QPixmap strip_;
  bool keepFocus_ = true;
  bool tipActive_ = false;
};
