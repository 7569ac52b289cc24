#pragma once
// Window messages between the subsystems and the main dialog, with the fixed
// numbers the subsystems agree on. "Posted" messages are queued to the
// target's thread; "sent" ones run the target's WindowProc at once on its own
// thread while the sender waits for the result.
#include <QObject>
#include <cstdint>
#include <functional>

using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

namespace wm {
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUERYENDSESSION = 0x0011;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr UINT MSG_JOIN_PROGRESS = 2983;
constexpr UINT MSG_JOIN_DONE = 2986;
constexpr UINT MSG_SWITCH_LANGUAGE = 2988;
constexpr UINT MSG_ADD_DROPPED_FILE = 3007;
constexpr UINT MSG_DROP_STATE = 3008;
constexpr UINT MSG_GRAPH_NOTIFY = 4778;
constexpr UINT PROGRESS_TIMER_ID = 7;
constexpr UINT IDM_ABOUTBOX = 16;
}  // namespace wm

class MessagePort;

// Anything that receives window messages: the main dialog, or the command
// line's stand-in for it. Construct it on the thread that should run WindowProc.
class MessageTarget {
 public:
  MessageTarget();
  virtual ~MessageTarget();
  MessageTarget(const MessageTarget&) = delete;
  MessageTarget& operator=(const MessageTarget&) = delete;

  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;

  MessagePort* port() const { return port_; }

 private:
  MessagePort* port_;
};

// Queues the message for the target's thread; safe from any thread.
void PostMessage(MessageTarget* target, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the target's WindowProc and returns its result. From the target's own
// thread a direct call; from another thread the call is queued and the sender
// blocks until the target's thread has answered it.
LRESULT SendMessage(MessageTarget* target, UINT message, WPARAM wParam, LPARAM lParam);

// For the target's thread while it waits for another thread that may be
// blocked in SendMessage: answers every such pending call with `answer`
// (without running WindowProc) until done() is true or timeoutMs have passed.
// Returns done()'s last value.
bool WaitAnsweringSentMessages(MessageTarget* target, const std::function<bool()>& done,
                               int timeoutMs, LRESULT answer);
