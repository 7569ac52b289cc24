#pragma once
// The preview of a conversion: shows the frames being written, aspect kept,
// centred, black around. A worker thread hands frames in; they are scaled once,
// on that thread, into a picture of the widget's size, and the GUI thread only
// paints finished pictures (two buffers swapped under a lock, painted under it).
#include <QImage>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <mutex>

class CStaticVideo : public QWidget {
  Q_OBJECT
 public:
  // At most about 15 pictures a second: the preview must not slow the conversion.
  static constexpr int kFrameIntervalMs = 66;

  explicit CStaticVideo(QWidget* parent = nullptr);
  ~CStaticVideo() override;

  // GUI thread: (re)creates the picture at the widget's size, black. Called on
  // every resize; hiding and showing keep the picture and its last frame.
  void CreateBuffer();

  // Any thread, cheap: a picture is due (visible, a buffer exists, and the
  // throttle period has passed since the last frame), so a worker can skip
  // preparing frames otherwise.
  bool WantsFrame() const;

  // Any thread: scales a bottom-up 24-bit BGR frame (rows strideBytes apart)
  // into the picture and schedules a repaint on the GUI thread. The widget
  // must outlive the call.
  void PresentFrame(const uint8_t* bottomUpBgr24, int width, int height, int strideBytes);

  // Where a width x height frame lands in an area of that size: the area's
  // width, letterboxed, or its height, pillarboxed, whichever keeps the
  // aspect; within two pixels of filling the area it fills it.
  static QRect FrameRect(QSize frame, QSize area);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  mutable std::mutex lock_;
  QImage front_;  // the finished picture the GUI thread paints
  QImage spare_;  // the previous picture, reused by the next frame
  QSize bufSize_;
  std::atomic<bool> visible_{false};
  std::atomic<bool> ready_{false};
  std::atomic<bool> repaintQueued_{false};
  std::atomic<int64_t> lastFrameMs_{0};  // steady clock; 0: no frame since the buffer was made
};
