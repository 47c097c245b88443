// A fake plate-recognition camera for the tests: a result channel listener on
// 127.0.0.N:59002 and a control channel listener on 127.0.0.N:59200, with the
// tests' own encoder and parser of the wire formats (never the library's).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "Nardix.h"
#include "fake_peer.h"

namespace lprtest {

using kittest::Bytes;

// A frame of the result channel. Type 0xFF frames carry the result id before
// the body and count it in the length.
Bytes ResultFrame(uint8_t kind, uint16_t id, const Bytes& body);
Bytes OtherFrame(uint8_t type, uint8_t kind, const Bytes& body);
// A reply of the control channel (two equal length fields, 8-bit sum).
Bytes ReplyFrame(uint8_t type, uint8_t code, const Bytes& payload, uint32_t seq = 0);

// One command item as the camera reads it.
struct Command {
  uint8_t type = 0;
  uint8_t code = 0;
  uint8_t direction = 0;
  Bytes payload;
  bool operator==(const Command& o) const {
    return type == o.type && code == o.code && direction == o.direction && payload == o.payload;
  }
};
std::ostream& operator<<(std::ostream& os, const Command& c);
// Takes every complete command item off the front of `pending`; items with a
// bad checksum or tail are returned with type 0xEE so tests see them.
std::vector<Command> TakeCommands(Bytes& pending);
std::vector<Command> ParseCommands(Bytes all);

Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Text(const std::string& s);
Bytes Filled(size_t n, uint8_t seed);

class FakeCamera {
  // Before the listeners, so that it outlives their threads.
  mutable std::mutex m_;
  std::vector<Command> commands_;
  std::function<std::vector<Bytes>(const Command&)> replier_;

 public:
  using Replier = std::function<std::vector<Bytes>(const Command&)>;

  explicit FakeCamera(const std::string& ip, bool listenControl = true);
  FakeCamera(const FakeCamera&) = delete;
  FakeCamera& operator=(const FakeCamera&) = delete;

  const std::string ip;
  kittest::FakeTcpServer result;
  kittest::FakeTcpServer control;

  // Commands received on the control channel so far, in order.
  std::vector<Command> Commands() const;
  bool WaitCommands(size_t n, int timeoutMs) const;
  void ClearCommands();
  // Answers each command received on the control channel.
  void SetReplier(Replier r);

  // Sends on the latest result / control connection.
  bool SendResult(const Bytes& b);
  bool SendReply(const Bytes& b);
  bool WaitBothConnected(int timeoutMs = 3000) const;
};

// Callback records, kept with the thread each call ran on.
struct Seen {
  std::thread::id thread;
  void* user = nullptr;
};
struct SeenResult : Seen {
  StLprResult copy{};
  Bytes image1, image2, image3, debug;
};
struct SeenEvent : Seen {
  StLprConnEvent event{};
};
struct SeenFound : Seen {
  StLprDeviceInfo info{};
};
struct SeenDebug : Seen {
  Bytes block;
};

class Recorder {
 public:
  static Recorder& Get();
  void Clear();
  std::vector<SeenResult> Results() const;
  std::vector<SeenEvent> Events() const;
  std::vector<SeenFound> Found() const;
  std::vector<SeenDebug> Debug() const;
  size_t ResultCount() const;
  size_t EventCount() const;
  size_t FoundCount() const;
  bool WaitResults(size_t n, int ms) const;
  bool WaitEvents(size_t n, int ms) const;
  bool WaitFound(size_t n, int ms) const;

  static void NARDIX_CALL OnFound(void* user, StLprDeviceInfo* info);
  static void NARDIX_CALL OnEvent(void* user, StLprConnEvent* ev);
  static void NARDIX_CALL OnResult(void* user, StLprResult* r);
  static void NARDIX_CALL OnDebug(void* user, uint8_t* block);

  // Runs inside the result callback (after recording), when set.
  void SetDuringResult(std::function<void(StLprResult*)> f);

 private:
  template <class Seen, class Record>
  void Keep(std::vector<Seen>& list, Record Seen::*field, void* user, const Record& record,
            typename std::common_type<std::function<void(Seen&)>>::type more = nullptr);

  mutable std::mutex m_;
  std::vector<SeenResult> results_;
  std::vector<SeenEvent> events_;
  std::vector<SeenFound> found_;
  std::vector<SeenDebug> debug_;
  std::function<void(StLprResult*)> duringResult_;
};

// Starts the library with the recorder's callbacks (mode 0: direct calls).
int InitWithRecorder(int mode, void* user = reinterpret_cast<void*>(0x1234));

}  // namespace lprtest
