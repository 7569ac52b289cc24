#include "core/WindowMessages.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace {

const QEvent::Type kPostedType = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kSentType = static_cast<QEvent::Type>(QEvent::registerEventType());

struct PostedEvent : QEvent {
  PostedEvent(UINT m, WPARAM w, LPARAM l) : QEvent(kPostedType), message(m), wParam(w), lParam(l) {}
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// One cross-thread SendMessage waiting for its answer.
struct SentCall {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
  bool answered = false;
};

}  // namespace

// Lives on the target's thread and turns queued events into WindowProc calls.
class MessagePort : public QObject {
 public:
  explicit MessagePort(MessageTarget* target) : target_(target) {}

  ~MessagePort() override {
    // A sender still blocked on us is released with "stop" rather than left hanging.
    AnswerAll(1);
  }

  LRESULT SendFromOtherThread(UINT message, WPARAM wParam, LPARAM lParam) {
    auto call = std::make_shared<SentCall>(SentCall{message, wParam, lParam});
    {
      std::lock_guard lock(mutex_);
      pending_.push_back(call);
    }
    QCoreApplication::postEvent(this, new QEvent(kSentType));
    std::unique_lock lock(mutex_);
    answeredCv_.wait(lock, [&] { return call->answered; });
    return call->result;
  }

  void AnswerAll(LRESULT answer) {
    std::lock_guard lock(mutex_);
    for (auto& call : pending_) {
      call->result = answer;
      call->answered = true;
    }
    pending_.clear();
    answeredCv_.notify_all();
  }

 protected:
  bool event(QEvent* e) override {
    if (e->type() == kPostedType) {
      auto* posted = static_cast<PostedEvent*>(e);
      target_->WindowProc(posted->message, posted->wParam, posted->lParam);
      return true;
    }
    if (e->type() == kSentType) {
      RunPending();
      return true;
    }
    return QObject::event(e);
  }

 private:
  void RunPending() {
    for (;;) {
      std::shared_ptr<SentCall> call;
      {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) return;
        call = pending_.front();
        pending_.pop_front();
      }
      LRESULT result = target_->WindowProc(call->message, call->wParam, call->lParam);
      std::lock_guard lock(mutex_);
      call->result = result;
      call->answered = true;
      answeredCv_.notify_all();
    }
  }

  MessageTarget* target_;
  std::mutex mutex_;
  std::condition_variable answeredCv_;
  std::deque<std::shared_ptr<SentCall>> pending_;
};

MessageTarget::MessageTarget() : port_(new MessagePort(this)) {}

MessageTarget::~MessageTarget() { delete port_; }

void PostMessage(MessageTarget* target, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!target) return;
  QCoreApplication::postEvent(target->port(), new PostedEvent(message, wParam, lParam));
}

LRESULT SendMessage(MessageTarget* target, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!target) return 0;
  if (QThread::currentThread() == target->port()->thread())
    return target->WindowProc(message, wParam, lParam);
  return target->port()->SendFromOtherThread(message, wParam, lParam);
}

bool WaitAnsweringSentMessages(MessageTarget* target, const std::function<bool()>& done,
                               int timeoutMs, LRESULT answer) {
  QDeadlineTimer deadline(timeoutMs);
  for (;;) {
    if (target) target->port()->AnswerAll(answer);
    if (done()) return true;
    if (deadline.hasExpired()) return false;
    QThread::msleep(2);
  }
}
