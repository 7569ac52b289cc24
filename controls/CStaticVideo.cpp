#include "controls/CStaticVideo.h"

#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr int64_t kNoFrameYet = std::numeric_limits<int64_t>::min();
constexpr int kBytesPerPixel = 3;
// Snapping the frame to the whole area within this many pixels avoids thin
// black lines from rounding.
constexpr int kFillSlack = 2;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Source positions averaged for each destination position: a few samples
// spread over its footprint. Smooth like a halftone stretch for a preview,
// and its cost depends on the preview's size, not the frame's.
constexpr int kMaxTaps = 4;
struct Taps {
  int count = 1;
  int at[kMaxTaps] = {};
};

std::vector<Taps> SampleTaps(int dest, int source) {
  std::vector<Taps> taps(static_cast<size_t>(dest));
  const double step = static_cast<double>(source) / dest;
  const int count = std::clamp(static_cast<int>(std::ceil(step)), 1, kMaxTaps);
  for (int i = 0; i < dest; ++i) {
    taps[i].count = count;
    for (int k = 0; k < count; ++k)
      taps[i].at[k] = std::min(static_cast<int>((i + (k + 0.5) / count) * step), source - 1);
  }
  return taps;
}

// Draws the bottom-up BGR frame into target's rectangle and blacks out the rest.
void ScaleInto(QImage& picture, const QRect& target, const uint8_t* bits, int width, int height, int stride) {
  picture.fill(Qt::black);
  if (target.isEmpty()) return;
  const std::vector<Taps> xs = SampleTaps(target.width(), width);
  const std::vector<Taps> ys = SampleTaps(target.height(), height);
  const uint8_t* rows[kMaxTaps];
  for (int y = 0; y < target.height(); ++y) {
    const Taps& ty = ys[y];
    for (int j = 0; j < ty.count; ++j)
      rows[j] = bits + static_cast<ptrdiff_t>(height - 1 - ty.at[j]) * stride;
    auto* out = reinterpret_cast<QRgb*>(picture.scanLine(target.top() + y)) + target.left();
    for (int x = 0; x < target.width(); ++x) {
      const Taps& tx = xs[x];
      int b = 0, g = 0, r = 0;
      for (int j = 0; j < ty.count; ++j)
        for (int i = 0; i < tx.count; ++i) {
          const uint8_t* p = rows[j] + tx.at[i] * kBytesPerPixel;
          b += p[0];
          g += p[1];
          r += p[2];
        }
      const int n = ty.count * tx.count;
      out[x] = qRgb((r + n / 2) / n, (g + n / 2) / n, (b + n / 2) / n);
    }
  }
}

}  // namespace

CStaticVideo::CStaticVideo(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);  // every pixel is painted, black where there is no frame
  lastFrameMs_ = kNoFrameYet;
}

CStaticVideo::~CStaticVideo() = default;

QRect CStaticVideo::FrameRect(QSize frame, QSize area) {
  if (frame.isEmpty() || area.isEmpty()) return {};
  const int scaledHeight =
      static_cast<int>(static_cast<double>(frame.height()) / frame.width() * area.width());
  if (std::abs(area.height() - scaledHeight) <= kFillSlack) return QRect(QPoint(0, 0), area);
  if (scaledHeight < area.height())
    return QRect(0, (area.height() - scaledHeight) / 2, area.width(), scaledHeight);
  const int scaledWidth =
      static_cast<int>(static_cast<double>(frame.width()) / frame.height() * area.height());
  if (area.width() - scaledWidth <= kFillSlack) return QRect(QPoint(0, 0), area);
  return QRect((area.width() - scaledWidth) / 2, 0, scaledWidth, area.height());
}

void CStaticVideo::CreateBuffer() {
  QImage picture;
  if (!size().isEmpty()) {
    picture = QImage(size(), QImage::Format_RGB32);
    if (!picture.isNull()) picture.fill(Qt::black);
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    ready_ = !picture.isNull();
    front_ = std::move(picture);
    spare_ = QImage();
    bufSize_ = size();
  }
  lastFrameMs_ = kNoFrameYet;
  update();
}

bool CStaticVideo::WantsFrame() const {
  if (!visible_ || !ready_) return false;
  const int64_t last = lastFrameMs_;
  return last == kNoFrameYet || NowMs() - last >= kFrameIntervalMs;
}

void CStaticVideo::PresentFrame(const uint8_t* bottomUpBgr24, int width, int height, int strideBytes) {
  if (!bottomUpBgr24 || width <= 0 || height <= 0 || strideBytes / kBytesPerPixel < width) return;
  lastFrameMs_ = NowMs();
  QImage picture;
  QSize size;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!ready_) return;
    size = bufSize_;
    picture = std::move(spare_);
  }
  if (picture.size() != size) picture = QImage(size, QImage::Format_RGB32);
  if (picture.isNull()) return;
  ScaleInto(picture, FrameRect(QSize(width, height), size), bottomUpBgr24, width, height, strideBytes);
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (bufSize_ != size) {  // resized meanwhile: this picture no longer fits, take the next frame at once
      lastFrameMs_ = kNoFrameYet;
      return;
    }
    spare_ = std::move(front_);
    front_ = std::move(picture);
  }
  // One queued repaint at a time, however fast frames come.
  if (!repaintQueued_.exchange(true))
    QMetaObject::invokeMethod(
        this,
        [this] {
          repaintQueued_ = false;
          update();
        },
        Qt::QueuedConnection);
}

void CStaticVideo::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // Painted under the lock rather than from a shared copy: the buffers never
  // cross threads while referenced, and blitting a preview-sized picture is quick.
  std::lock_guard<std::mutex> guard(lock_);
  if (front_.size() != size()) painter.fillRect(rect(), Qt::black);
  if (!front_.isNull()) painter.drawImage(0, 0, front_);
}

void CStaticVideo::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  CreateBuffer();
}

void CStaticVideo::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  visible_ = true;
}

void CStaticVideo::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  visible_ = false;
}
