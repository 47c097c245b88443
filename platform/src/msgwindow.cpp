#include "platform/msgwindow.h"

#include <chrono>
#include <system_error>

namespace pf {

MessageWindow::~MessageWindow() {
  // The libraries never destroy their window; a window that is destroyed
  // (tests) handles what is queued, then its dispatcher ends.
  {
    std::lock_guard<std::mutex> lk(m_);
    quit_ = true;
  }
  cv_.notify_all();
  if (t_.joinable()) {
    if (t_.get_id() == std::this_thread::get_id())
      t_.detach();
    else
      t_.join();
  }
}

bool MessageWindow::Create(Handler handler) {
  std::lock_guard<std::mutex> lk(m_);
  if (created_) return true;
  handler_ = std::move(handler);
  try {
    t_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  created_ = true;
  return true;
}

bool MessageWindow::Created() const {
  std::lock_guard<std::mutex> lk(m_);
  return created_;
}

bool MessageWindow::Post(uint32_t msg, uintptr_t wParam, uintptr_t lParam) {
  {
    std::lock_guard<std::mutex> lk(m_);
    if (!created_ || q_.size() >= kQueueLimit) return false;
    q_.push_back(Msg{msg, wParam, lParam});
  }
  cv_.notify_one();
  return true;
}

bool MessageWindow::OnDispatcherThread() const {
  return std::this_thread::get_id() == DispatcherId();
}

std::thread::id MessageWindow::DispatcherId() const {
  std::lock_guard<std::mutex> lk(m_);
  return t_.get_id();
}

bool MessageWindow::WaitIdle(long ms) {
  std::unique_lock<std::mutex> lk(m_);
  auto done = [this] { return q_.empty() && !busy_; };
  if (ms < 0) {
    idle_.wait(lk, done);
    return true;
  }
  return idle_.wait_for(lk, std::chrono::milliseconds(ms), done);
}

void MessageWindow::Run() {
  std::unique_lock<std::mutex> lk(m_);
  for (;;) {
    cv_.wait(lk, [this] { return !q_.empty() || quit_; });
    if (q_.empty()) return;
    Msg m = q_.front();
    q_.pop_front();
    busy_ = true;
    lk.unlock();
    if (handler_) handler_(m.msg, m.wParam, m.lParam);
    lk.lock();
    busy_ = false;
    if (q_.empty()) idle_.notify_all();
  }
}

}  // namespace pf
