#pragma once
// The title strip across the top of the frameless main window: the title
// bitmap scaled in two parts, a centred line of text, the parent of the
// small title-bar buttons (whose clicks it turns into actions on the window),
// window dragging, and a right-click menu with "About...".
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QWidget>

class QAbstractButton;
class QMenu;

class CImagetxt : public QWidget {
  Q_OBJECT
 public:
  // Commands the strip turns into actions on its window.
  static constexpr int kAboutCommand = 1009;

  explicit CImagetxt(QWidget* parent = nullptr);

  // textColour := colour, the font := the parent's; false when the bitmap
  // cannot be loaded (the strip then paints only its text).
  bool SetSkinBitmap(int id, const QColor& textColour);
  // Null means empty.
  void SetTitle(const QString& text);
  QString Title() const { return text_; }

  // Makes button a child of the strip at the same place on screen; its
  // clicks arrive as OnCommand(id).
  void AdoptButton(QAbstractButton* button, int id);
  // Exit (1007) closes, Minimize (1008) minimises, the language buttons
  // (1012, 1011) switch to English and Russian, "About..." (1009) opens About,
  // each through a message to the window; nothing when there is none.
  void OnCommand(int id);
  // The one-item menu of a right click; the caller owns it.
  QMenu* NewContextMenu();

  // Where the text starts, for the window's size.
  QPoint TextOrigin() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void BuildBackground(int cx, int cy);

  QString text_ = QStringLiteral(" ");
  QImage skin_;
  QPixmap background_;
  QColor textColour_;
  QFont font_;
  bool haveFont_ = false;
};
