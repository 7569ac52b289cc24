#pragma once
// The start-up picture, shown while the main window initialises: a
// frameless window without a task-bar button, centred on the screen, whose
// key-coloured pixels are cut away by a mask. Without a display (or under the
// offscreen and minimal platforms) nothing is shown and nothing waits.
#include <QBitmap>
#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <memory>

class QWidget;

class SplashWindow {
 public:
  SplashWindow();
  virtual ~SplashWindow();
  SplashWindow(const SplashWindow&) = delete;
  SplashWindow& operator=(const SplashWindow&) = delete;

  // Replaces the picture by skin bitmap id; its size becomes the window's.
  void LoadImageResource(int id);
  // An invalid colour means no transparency. Applied at once when shown.
  void SetColourKey(const QColor& colour);
  // Closes any previous window and shows the picture on the screen of near
  // (else the primary one); null when there is no display.
  virtual QWidget* Show(QWidget* near = nullptr);
  // False when there was no window.
  virtual bool Close();

  QWidget* Window() const;
  QSize Size() const { return picture_.size(); }
  // The picture as the user sees it: key-coloured pixels transparent.
  QImage Rendered() const;
  // The pixels that stay opaque.
  QBitmap Mask() const;

  // Top-left corner that centres size in area. Signed: a picture larger than
  // the area overhangs it equally on both sides instead of landing far away.
  static QPoint CentredOn(const QRect& area, const QSize& size);
  // A real display to show windows on.
  static bool DisplayAvailable();

 private:
  void ApplyColourKey();

  QImage picture_;
  QColor colourKey_;
  std::unique_ptr<QWidget> window_;
};
