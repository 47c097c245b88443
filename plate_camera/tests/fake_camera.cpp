#include "fake_camera.h"

#include <ostream>

#include "wait.h"

namespace lprtest {

namespace {

void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
uint32_t Get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint8_t Sum(const Bytes& b) {
  unsigned s = 0;
  for (uint8_t c : b) s += c;
  return static_cast<uint8_t>(s);
}
constexpr uint8_t kTail[4] = {0xAA, 0xF0, 0x0F, 0x55};  // usable during static start-up

}  // namespace

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Filled(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

Bytes ResultFrame(uint8_t kind, uint16_t id, const Bytes& body) {
  Bytes f = {0xAA, 0x55, 0xFF, kind};
  Put32(f, static_cast<uint32_t>(body.size() + 2));
  Put16(f, id);
  f.insert(f.end(), body.begin(), body.end());
  f.insert(f.end(), kTail, kTail + 4);
  return f;
}

Bytes OtherFrame(uint8_t type, uint8_t kind, const Bytes& body) {
  Bytes f = {0xAA, 0x55, type, kind};
  Put32(f, static_cast<uint32_t>(body.size()));
  f.insert(f.end(), body.begin(), body.end());
  f.insert(f.end(), kTail, kTail + 4);
  return f;
}

Bytes ReplyFrame(uint8_t type, uint8_t code, const Bytes& payload, uint32_t seq) {
  Bytes f = {0xAA, 0x55};
  Put32(f, seq);
  f.push_back(type);
  f.push_back(code);
  Put16(f, static_cast<uint16_t>(payload.size()));
  Put16(f, static_cast<uint16_t>(payload.size()));
  f.insert(f.end(), payload.begin(), payload.end());
  f.push_back(Sum(payload));
  f.insert(f.end(), kTail, kTail + 4);
  return f;
}

std::ostream& operator<<(std::ostream& os, const Command& c) {
  os << "{" << std::hex << int(c.type) << "," << int(c.code) << "," << int(c.direction) << ",[";
  for (uint8_t b : c.payload) os << int(b) << " ";
  return os << "]}" << std::dec;
}

std::vector<Command> TakeCommands(Bytes& pending) {
  std::vector<Command> out;
  size_t pos = 0;
  for (;;) {
    while (pos + 1 < pending.size() && !(pending[pos] == 0xAA && pending[pos + 1] == 0x55)) ++pos;
    if (pos + 16 > pending.size()) break;
    const uint8_t* p = pending.data() + pos;
    const size_t n = p[8] | (p[9] << 8);
    if (pos + 16 + n > pending.size()) break;
    Command c;
    c.type = p[6];
    c.code = p[7];
    c.direction = p[10];
    c.payload.assign(p + 11, p + 11 + n);
    const bool sound = Get32(p + 2) == 0 && p[11 + n] == Sum(c.payload) && Get32(p + 12 + n) == 0x550FF0AA;
    if (!sound) c.type = 0xEE;
    out.push_back(c);
    pos += 16 + n;
  }
  pending.erase(pending.begin(), pending.begin() + static_cast<long>(pos));
  return out;
}

std::vector<Command> ParseCommands(Bytes all) { return TakeCommands(all); }

FakeCamera::FakeCamera(const std::string& ip_, bool listenControl)
    : ip(ip_), result(ip_, 59002), control(ip_, 59200) {
  if (!listenControl) control.StopListening();
  control.SetOnData([this](kittest::FakeConn& c, Bytes& pending) {
    for (const auto& cmd : TakeCommands(pending)) {
      Replier r;
      {
        std::lock_guard<std::mutex> lk(m_);
        commands_.push_back(cmd);
        r = replier_;
      }
      if (r)
        for (const auto& reply : r(cmd)) c.Send(reply);
    }
  });
}

std::vector<Command> FakeCamera::Commands() const {
  std::lock_guard<std::mutex> lk(m_);
  return commands_;
}

bool FakeCamera::WaitCommands(size_t n, int timeoutMs) const {
  return kittest::WaitUntil([&] { return Commands().size() >= n; }, timeoutMs);
}

void FakeCamera::ClearCommands() {
  std::lock_guard<std::mutex> lk(m_);
  commands_.clear();
}

void FakeCamera::SetReplier(Replier r) {
  std::lock_guard<std::mutex> lk(m_);
  replier_ = std::move(r);
}

bool FakeCamera::SendResult(const Bytes& b) {
  auto c = result.Last();
  return c && c->Send(b);
}

bool FakeCamera::SendReply(const Bytes& b) {
  auto c = control.Last();
  return c && c->Send(b);
}

bool FakeCamera::WaitBothConnected(int timeoutMs) const {
  return result.WaitConnections(1, timeoutMs) && control.WaitConnections(1, timeoutMs);
}

Recorder& Recorder::Get() {
  static Recorder* r = new Recorder;
  return *r;
}

void Recorder::Clear() {
  std::lock_guard<std::mutex> lk(m_);
  results_.clear();
  events_.clear();
  found_.clear();
  debug_.clear();
}

std::vector<SeenResult> Recorder::Results() const {
  std::lock_guard<std::mutex> lk(m_);
  return results_;
}
std::vector<SeenEvent> Recorder::Events() const {
  std::lock_guard<std::mutex> lk(m_);
  return events_;
}
std::vector<SeenFound> Recorder::Found() const {
  std::lock_guard<std::mutex> lk(m_);
  return found_;
}
std::vector<SeenDebug> Recorder::Debug() const {
  std::lock_guard<std::mutex> lk(m_);
  return debug_;
}
size_t Recorder::ResultCount() const { return Results().size(); }
size_t Recorder::EventCount() const { return Events().size(); }
size_t Recorder::FoundCount() const { return Found().size(); }
bool Recorder::WaitResults(size_t n, int ms) const {
  return kittest::WaitUntil([&] { return ResultCount() >= n; }, ms);
}
bool Recorder::WaitEvents(size_t n, int ms) const {
  return kittest::WaitUntil([&] { return EventCount() >= n; }, ms);
}
bool Recorder::WaitFound(size_t n, int ms) const {
  return kittest::WaitUntil([&] { return FoundCount() >= n; }, ms);
}

template <class Seen, class Record>
void Recorder::Keep(std::vector<Seen>& list, Record Seen::*field, void* user, const Record& record,
                    typename std::common_type<std::function<void(Seen&)>>::type more) {
  Seen s;
  s.thread = std::this_thread::get_id();
  s.user = user;
  s.*field = record;
  if (more) more(s);
  std::lock_guard<std::mutex> lk(m_);
  list.push_back(std::move(s));
}

void NARDIX_CALL Recorder::OnFound(void* user, StLprDeviceInfo* info) {
  Recorder& r = Get();
  r.Keep(r.found_, &SeenFound::info, user, *info);
}

void NARDIX_CALL Recorder::OnEvent(void* user, StLprConnEvent* ev) {
  Recorder& r = Get();
  r.Keep(r.events_, &SeenEvent::event, user, *ev);
}

void NARDIX_CALL Recorder::OnResult(void* user, StLprResult* res) {
  Recorder& r = Get();
  r.Keep(r.results_, &SeenResult::copy, user, *res, [res](SeenResult& s) {
    s.image1.assign(res->image1, res->image1 + res->image1Length);
    s.image2.assign(res->image2, res->image2 + res->image2Length);
    s.image3.assign(res->image3, res->image3 + res->image3Length);
    s.debug.assign(res->debug, res->debug + res->debugLength);
  });
  std::function<void(StLprResult*)> during;
  {
    std::lock_guard<std::mutex> lk(r.m_);
    during = r.duringResult_;
  }
  if (during) during(res);
}

void Recorder::SetDuringResult(std::function<void(StLprResult*)> f) {
  std::lock_guard<std::mutex> lk(m_);
  duringResult_ = std::move(f);
}

void NARDIX_CALL Recorder::OnDebug(void* user, uint8_t* block) {
  Recorder& r = Get();
  r.Keep(r.debug_, &SeenDebug::block, user, Bytes(block, block + LPR_ALG_DEBUG_SIZE));
}

int InitWithRecorder(int mode, void* user) {
  return LPR_Init(mode, user, &Recorder::OnFound, &Recorder::OnEvent, &Recorder::OnResult, nullptr);
}

}  // namespace lprtest
