// Stand-in for a hidden window with a message queue: posts never block, and
// one dispatcher thread runs the handler for each message, one at a time, in
// posting order. The window is made once and lives until the process ends.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace pf {

class MessageWindow {
 public:
  using Handler = std::function<void(uint32_t msg, uintptr_t wParam, uintptr_t lParam)>;
  static constexpr size_t kQueueLimit = 10000;  // as a Windows thread's queue

  MessageWindow() = default;
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;
  // Handles what is queued, then ends the dispatcher (the libraries never
  // destroy their window; it lives until the process ends).
  ~MessageWindow();

  // Starts the dispatcher. False when it cannot be started (the window then
  // takes no messages).
  bool Create(Handler handler);
  bool Created() const;

  // Queues one message. False when the window was not made or the queue is
  // full; the message is then not delivered and the caller still owns what
  // lParam points to.
  bool Post(uint32_t msg, uintptr_t wParam, uintptr_t lParam);

  bool OnDispatcherThread() const;
  std::thread::id DispatcherId() const;

  // Waits until every message posted so far has been handled (for tests and
  // orderly shut-down). False on time-out.
  bool WaitIdle(long ms);

 private:
  struct Msg {
    uint32_t msg;
    uintptr_t wParam;
    uintptr_t lParam;
  };
  void Run();

  mutable std::mutex m_;
  std::condition_variable cv_;
  std::condition_variable idle_;
  std::deque<Msg> q_;
  bool busy_ = false;
  bool created_ = false;
  bool quit_ = false;
  Handler handler_;
  std::thread t_;
};

}  // namespace pf
