#include "fake_box.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "wait.h"

namespace boxtest {

void BoxScript::Answer(uint8_t cls, uint8_t sub, Bytes payload, uint16_t status) {
  std::lock_guard<std::mutex> lk(m_);
  answers_[{cls, sub}] = {std::move(payload), status};
  silent_.erase({cls, sub});
}

void BoxScript::Silent(uint8_t cls, uint8_t sub) {
  std::lock_guard<std::mutex> lk(m_);
  silent_[{cls, sub}] = true;
}

void BoxScript::SetHandler(Handler h) {
  std::lock_guard<std::mutex> lk(m_);
  handler_ = std::move(h);
}

void BoxScript::AnswerHeartbeats(Bytes payload) {
  std::lock_guard<std::mutex> lk(m_);
  heartbeat_ = true;
  heartbeatPayload_ = std::move(payload);
}

void BoxScript::StopHeartbeatAnswers() {
  std::lock_guard<std::mutex> lk(m_);
  heartbeat_ = false;
}

void BoxScript::OnBytes(Bytes& pending, const Send& send) {
  for (Cut& c : Decode(pending)) {
    Handler h;
    Bytes reply;
    bool answer = false;
    {
      std::lock_guard<std::mutex> lk(m_);
      got_.push_back(c);
      h = handler_;
      const auto key = std::make_pair(c.frame.cls, c.frame.sub);
      if (c.frame.seq == 0) {
        if (c.frame.cls == 0 && c.frame.sub == 0 && heartbeat_) {
          reply = ReplyTo(c.frame, heartbeatPayload_, 0x8000);
          answer = true;
        }
      } else if (!silent_.count(key)) {
        auto it = answers_.find(key);
        reply = it == answers_.end() ? ReplyTo(c.frame, {}) : ReplyTo(c.frame, it->second.first, it->second.second);
        answer = true;
      }
    }
    cv_.notify_all();
    if (h && h(c.frame, send)) continue;
    if (answer) send(reply);
  }
}

std::vector<Frame> BoxScript::Frames() const {
  std::lock_guard<std::mutex> lk(m_);
  std::vector<Frame> out;
  for (const auto& c : got_) out.push_back(c.frame);
  return out;
}

std::vector<Bytes> BoxScript::RawFrames() const {
  std::lock_guard<std::mutex> lk(m_);
  std::vector<Bytes> out;
  for (const auto& c : got_) out.push_back(c.raw);
  return out;
}

std::vector<Frame> BoxScript::Frames(uint8_t cls, uint8_t sub) const {
  std::vector<Frame> out;
  for (const auto& f : Frames())
    if (f.cls == cls && f.sub == sub) out.push_back(f);
  return out;
}

bool BoxScript::WaitFrames(uint8_t cls, uint8_t sub, size_t n, int ms) const {
  return kittest::WaitUntil([&] { return Frames(cls, sub).size() >= n; }, ms);
}

bool BoxScript::WaitRequest(Frame* out, int ms) const {
  return kittest::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lk(m_);
        for (auto it = got_.rbegin(); it != got_.rend(); ++it) {
          if (it->frame.cls == 0 && it->frame.sub == 0 && it->frame.seq == 0) continue;
          *out = it->frame;
          return true;
        }
        return false;
      },
      ms);
}

void BoxScript::Clear() {
  std::lock_guard<std::mutex> lk(m_);
  got_.clear();
}

Bytes LinkInfo(uint8_t links, uint8_t maxLinks) {
  Bytes p(40, 0);
  p[0] = 0x11;
  p[1] = 0x22;
  p[2] = links;
  p[3] = maxLinks;
  for (size_t i = 4; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i);
  return p;
}

FakeBox::FakeBox(const std::string& ip) : server_(ip, 10028) {
  server_.SetOnAccept([this](kittest::FakeConn& c) {
    if (!link_.load()) return;
    Frame f;
    f.cls = 0;
    f.sub = 35;
    f.payload = LinkInfo(links_.load(), maxLinks_.load());
    c.Send(Encode(f));
  });
  server_.SetOnData([this](kittest::FakeConn& c, Bytes& pending) {
    script_.OnBytes(pending, [&c](const Bytes& b) { c.Send(b); });
  });
}

FakeBox::~FakeBox() = default;

void FakeBox::SetLinkInfo(bool send, uint8_t links, uint8_t maxLinks) {
  link_.store(send);
  links_.store(links);
  maxLinks_.store(maxLinks);
}

bool FakeBox::Push(const Bytes& b) {
  auto c = server_.Last();
  return c && c->Send(b);
}

FakeSerialBox::FakeSerialBox() {
  char name[128] = {};
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
    master_ = slave_ = -1;
    return;
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  slavePath_ = name;
  t_ = std::thread([this] { Run(); });
}

FakeSerialBox::~FakeSerialBox() {
  HangUp();
  if (slave_ >= 0) close(slave_);
}

void FakeSerialBox::HangUp() {
  stop_.store(true);
  if (t_.joinable()) t_.join();
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void FakeSerialBox::Run() {
  Bytes pending;
  uint8_t buf[4096];
  while (!stop_.load()) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 20) != 1 || !(p.revents & POLLIN)) continue;
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) continue;
    {
      std::lock_guard<std::mutex> lk(m_);
      all_.insert(all_.end(), buf, buf + n);
    }
    pending.insert(pending.end(), buf, buf + n);
    script_.OnBytes(pending, [this](const Bytes& b) { Push(b); });
  }
}

bool FakeSerialBox::Push(const Bytes& b) {
  size_t done = 0;
  while (done < b.size()) {
    const ssize_t n = write(master_, b.data() + done, b.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool FakeSerialBox::PushSlowly(const Bytes& b, size_t piece) {
  for (size_t i = 0; i < b.size(); i += piece) {
    const size_t n = b.size() - i < piece ? b.size() - i : piece;
    if (!Push(Bytes(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + n))))
      return false;
    // The next piece goes once the library has taken this one.
    if (!kittest::WaitUntil(
            [this] {
              int queued = 0;
              return ioctl(slave_, FIONREAD, &queued) == 0 && queued == 0;
            },
            2000))
      return false;
  }
  return true;
}

Bytes FakeSerialBox::Received() const {
  std::lock_guard<std::mutex> lk(m_);
  return all_;
}

}  // namespace boxtest
