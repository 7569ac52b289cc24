#pragma once
// The join's progress bar: the filled part is a horizontal gradient that
// always ends in its darkest colour at the leading edge, the rest is the bar
// colour, and the position rides just inside the fill as "42%". The finished
// image is cached and redrawn only when the position or the colours change.
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPixmap>
#include <QProgressBar>

class CSkinProgress : public QProgressBar {
  Q_OBJECT
 public:
  explicit CSkinProgress(QWidget* parent = nullptr);

  // Sets the position, clamped to the range as a progress control does
  // (QProgressBar would ignore a value outside it); returns the previous one.
  int SetPos(int position);
  // Hides QProgressBar::setValue so every caller gets the clamping.
  void setValue(int value) { SetPos(value); }
  // Redraws even when the position did not change.
  void SetBarColour(const QColor& colour);

  QString text() const override;
  // Columns of the fill for the current position.
  int FilledWidth() const;
  // The x at which the percentage is drawn.
  int TextX() const;
  QColor BaseColour() const { return baseColour_; }
  QColor BarColour() const { return barColour_; }
  int DrawCount() const { return drawCount_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QRect Client() const;
  void BuildBuffers();
  void DrawPosition(bool forced);

  QImage gradient_;
  QPixmap display_;
  QColor baseColour_{50, 50, 100};
  QColor barColour_;
  QFont font_;
  int lastPos_ = -32627;  // a value no position takes
  int drawCount_ = 0;
};
