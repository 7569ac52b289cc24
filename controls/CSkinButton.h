#pragma once
// The large owner-drawn push button (Add File, Remove, Join, Cancel): a skin
// face widened to the caption, an icon from the icon strip and a white
// caption. Each state's face is built once per SetSkin and scaled to the
// button once per size change; painting only draws the cached pixmap.
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPixmap>
#include <QPushButton>

class CSkinButton : public QPushButton {
  Q_OBJECT
 public:
  // The order of the bitmap button's four bitmaps.
  enum State { Normal = 0, Selected = 1, Focus = 2, Disabled = 3 };

  explicit CSkinButton(QWidget* parent = nullptr);

  // Builds all four state faces, the icon and the font; false when a face
  // cannot be loaded (the button keeps what it had loaded before).
  bool SetSkin(const QString& text, const QColor& textColour, int normalId, int pressedId, int stripId,
               int iconX, int iconWidth);
  bool LoadFaces(int normalId, int pressedId);
  // Resizes the button to its faces' size without moving it.
  void SizeToContent();

  const QImage& Face(State state) const { return faces_[state]; }
  State CurrentState() const;
  QColor TextColour() const { return textColour_; }

  // The drawing primitives, on images.
  static QImage StretchTo(const QImage& image, int cx, int cy);
  // Only the middle third is stretched; the left and right thirds keep their pixels.
  static QImage WidenThreeSlice(const QImage& image, int newWidth);
  // The strip's rectangle (iconX, 0, iconWidth, strip height), black being
  // transparent, centred vertically one pixel low with an equal left margin.
  static void DrawIconOn(QImage& image, const QImage& strip, int height, int iconX, int iconWidth);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void RescaleCache();

  QImage faces_[4];
  int width_ = 0;
  int height_ = 0;
  bool sized_ = false;
  QFont font_;
  QColor textColour_{255, 255, 255};
  QPixmap scaled_[4];  // faces_ at the button's size
};
