// Fuzz target: what the box commands that read make of their replies.
//
// Input: byte 0 chooses the read command, byte 1 its flags (bit 0: the reply
// carries a failure status; bits 1-3: the box kind; bit 4: serial port 1;
// bits 5-7: which of the LED settings), bytes 2-3 the caller's buffer length
// of the serial-port read (at most 2047), the rest is the reply's payload.
// A connected device talks through a socket pair to a box thread that
// answers each request with that payload, under the request's sequence,
// class and sub-command. The command's result and what it writes into the
// caller's variable (an exactly sized heap block, so that a write past it is
// caught) must be what the rules written here give; a failed read leaves the
// variable as it was. Any difference aborts.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "PyrnBox.h"
#include "fuzz_check.h"
#include "connection.h"
#include "context.h"
#include "device.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t LE32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutInt(Bytes& var, size_t at, uint32_t v) { memcpy(var.data() + at, &v, 4); }

// One call as the caller makes it.
struct Call {
  uint8_t flags;
  uint16_t bufferLen;  // of the serial-port read
  bool Failure() const { return flags & 1; }
  uint32_t Kind() const {
    static const uint32_t kKinds[8] = {0, 1, 2, 16, 3, 255, 17, 0x100};
    return kKinds[(flags >> 1) & 7];
  }
  int Port() const { return (flags >> 4) & 1; }
  uint8_t Pick(const uint8_t* subs, int n) const { return subs[(flags >> 5) % n]; }
};

const uint8_t kIntLed[] = {4, 5, 6, 14, 15, 16};
const uint8_t kByteLed[] = {7, 8, 13};

// A read command: the class and sub-command of its request, the size of the
// caller's variable, the call, and the rule for a successful reply's payload
// (the result, with the variable as it must be afterwards).
struct Read {
  uint8_t cls;
  uint8_t (*sub)(const Call&);
  size_t (*size)(const Call&);
  int (*call)(CBoxDevice*, uint8_t* var, uint16_t* len, const Call&);
  int (*rule)(const Bytes& p, Bytes& var, uint16_t* len, const Call&);
};

template <uint8_t S>
uint8_t Sub(const Call&) { return S; }
template <size_t N>
size_t Size(const Call&) { return N; }

// One byte into a whole int (wrong length: `wrong`).
template <int Wrong>
int IntByte(const Bytes& p, Bytes& var, uint16_t*, const Call&) {
  if (p.size() != 1) return Wrong;
  PutInt(var, 0, p[0]);
  return 0;
}

// Exactly N bytes, copied whole (another length: 23).
template <size_t N>
int Whole(const Bytes& p, Bytes& var, uint16_t*, const Call&) {
  if (p.size() != N) return 23;
  var = p;
  return 0;
}

const Read kReads[] = {
    // LED serial settings: bytes 0-2 into three ints, byte 3 into the low byte of the fourth.
    {3, Sub<3>, Size<16>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) {
       return PyrnBox_ControlLEDComParams(h, 0, reinterpret_cast<int*>(v));
     },
     [](const Bytes& p, Bytes& var, uint16_t*, const Call&) {
       if (p.size() < 4) return 23;
       for (int i = 0; i < 3; ++i) PutInt(var, 4 * i, p[i]);
       var[12] = p[3];
       return 0;
     }},
    // Serial port settings: four bytes into four ints.
    {3, [](const Call& c) { return static_cast<uint8_t>(11 + c.Port()); }, Size<16>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call& c) {
       return PyrnBox_ControlSerialPortParams(h, 0, reinterpret_cast<int*>(v), c.Port());
     },
     [](const Bytes& p, Bytes& var, uint16_t*, const Call&) {
       if (p.size() < 4) return 23;
       for (int i = 0; i < 4; ++i) PutInt(var, 4 * i, p[i]);
       return 0;
     }},
    {0, Sub<33>, Size<1>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) { return PyrnBox_ReadRamStatus(h, v); },
     [](const Bytes& p, Bytes& var, uint16_t*, const Call&) {
       if (p.empty()) return 23;
       var[0] = p[0];
       return 0;
     }},
    // Serial number: up to 12 bytes, only they written.
    {0, Sub<16>, Size<12>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) { return PyrnBox_ControlSerialNo(h, v, 0); },
     [](const Bytes& p, Bytes& var, uint16_t*, const Call&) {
       if (p.size() > 12) return 23;
       std::copy(p.begin(), p.end(), var.begin());
       return 0;
     }},
    {0, Sub<15>, Size<6>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) { return PyrnBox_ControlMAC(h, v, 0); },
     Whole<6>},
    // Log count: cleared first, then the u32.
    {7, Sub<0>, Size<4>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) {
       return PyrnBox_ReadLogNum(h, reinterpret_cast<uint32_t*>(v));
     },
     [](const Bytes& p, Bytes& var, uint16_t*, const Call&) {
       PutInt(var, 0, 0);
       if (p.size() < 4) return 23;
       PutInt(var, 0, LE32(p.data()));
       return 0;
     }},
    {0, Sub<2>, Size<1>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) { return PyrnBox_ControlResetEnable(h, v, 0); },
     [](const Bytes& p, Bytes& var, uint16_t*, const Call&) {
       if (p.size() != 1) return 24;
       var[0] = p[0] == 1 ? 1 : 0;
       return 0;
     }},
    {0, Sub<36>, Size<4>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) {
       return PyrnBox_ControlLogLevel(h, reinterpret_cast<int*>(v), 0);
     },
     IntByte<24>},
    // Version: cleared, the kind's tag, then up to 32 bytes.
    {0, Sub<1>, Size<36>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) {
       return PyrnBox_GetDeviceVersion(h, reinterpret_cast<char*>(v));
     },
     [](const Bytes& p, Bytes& var, uint16_t*, const Call& c) {
       std::fill(var.begin(), var.end(), 0);
       if (p.size() > 32) return 23;
       const char* tag = nullptr;
       switch (c.Kind()) {
         case 0: case 1: tag = "VELD"; break;
         case 2: tag = "VELK"; break;
         case 16: tag = "OSKA"; break;
         default: break;
       }
       if (tag) memcpy(var.data(), tag, 4);
       std::copy(p.begin(), p.end(), var.begin() + 4);
       return 0;
     }},
    // Network settings: four big-endian words.
    {0, Sub<14>, Size<16>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) {
       return PyrnBox_GetDeviceNetInfo(h, reinterpret_cast<uint32_t*>(v));
     },
     [](const Bytes& p, Bytes& var, uint16_t*, const Call&) {
       if (p.size() != 16) return 23;
       for (int i = 0; i < 4; ++i) {
         const uint8_t* w = p.data() + 4 * i;
         PutInt(var, 4 * i, (static_cast<uint32_t>(w[0]) << 24) | (w[1] << 16) | (w[2] << 8) | w[3]);
       }
       return 0;
     }},
    {3, [](const Call& c) { return c.Pick(kIntLed, 6); }, Size<4>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call& c) {
       int* value = reinterpret_cast<int*>(v);
       switch (c.Pick(kIntLed, 6)) {
         case 4: return PyrnBox_ControlLEDLength(h, value, 0);
         case 5: return PyrnBox_ControlLEDRowNum(h, value, 0);
         case 6: return PyrnBox_ControlLEDInterfaceType(h, value, 0);
         case 14: return PyrnBox_ControlLEDPolar(h, value, 0);
         case 15: return PyrnBox_ControlLEDDefaultTitle(h, value, 0);
         default: return PyrnBox_ControlLEDShowTime(h, value, 0);
       }
     },
     IntByte<23>},
    {3, [](const Call& c) { return c.Pick(kByteLed, 3); }, Size<1>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call& c) {
       switch (c.Pick(kByteLed, 3)) {
         case 7: return PyrnBox_ControlLEDDisplaySpeed(h, v, 0);
         case 8: return PyrnBox_ControlLEDDisplayTimeout(h, v, 0);
         default: return PyrnBox_ControlLEDDisplayLight(h, v, 0);
       }
     },
     Whole<1>},
    {0, Sub<37>, Size<8>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) {
       return PyrnBox_ControlBLEParams(h, reinterpret_cast<int*>(v), 0);
     },
     Whole<8>},
    {0, Sub<38>, Size<4>,
     [](CBoxDevice* h, uint8_t* v, uint16_t*, const Call&) {
       return PyrnBox_ControlBLEMode(h, reinterpret_cast<int*>(v), 0);
     },
     IntByte<23>},
    // Serial port data: copied when it fits the buffer, else 23; the length always told.
    {3, [](const Call& c) { return static_cast<uint8_t>(9 + c.Port()); },
     [](const Call& c) { return static_cast<size_t>(c.bufferLen); },
     [](CBoxDevice* h, uint8_t* v, uint16_t* len, const Call& c) {
       return PyrnBox_ControlSerialPortEx(h, 0, v, len, c.Port());
     },
     [](const Bytes& p, Bytes& var, uint16_t* len, const Call&) {
       const bool fits = p.size() <= *len;
       if (fits) std::copy(p.begin(), p.end(), var.begin());
       *len = static_cast<uint16_t>(p.size());
       return fits ? 0 : 23;
     }},
};

// A connected TCP-kind device whose socket is one end of a socket pair; a
// box thread checks each request and answers it on the other end.
struct Rig {
  Rig() {
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    pyrn::test::SetReplyTimeoutsMs(10000, 10000, 10000);  // replies always come
    dev = std::make_shared<CBoxDevice>();
    strcpy(dev->m_szIP, "10.0.0.1");
    dev->m_hSocket.store(sv[0]);
    dev->m_bConnected.store(1);
    {
      pyrn::CBoxGlobal& g = pyrn::Global();
      pf::Lock lk(g.m_csDevice);
      g.m_listDevice.push_back(dev);
    }
    std::shared_ptr<CBoxDevice> d = dev;
    FUZZ_CHECK(dev->m_recvThread.Start([d] { pyrn::RecvThreadProc(d); }));
    box = std::thread([this] { Serve(); });
  }
  // Answers every request frame with the current payload and status.
  void Serve() {
    Bytes pending;
    uint8_t buf[4096];
    for (;;) {
      const ssize_t n = read(sv[1], buf, sizeof buf);
      if (n <= 0) return;
      pending.insert(pending.end(), buf, buf + n);
      while (pending.size() >= 6) {
        const size_t len = pending[4] | (pending[5] << 8);
        FUZZ_CHECK(len >= 16 && pending[0] == 0xAA && pending[1] == 0x55);
        if (pending.size() < len) break;
        Bytes reply;
        {
          std::lock_guard<std::mutex> lk(m);
          // A read: direction 0, no payload, the command's class and sub-command.
          FUZZ_CHECK(len == 16 && pending[10] == 0 && pending[11] == cls && pending[12] == sub);
          const size_t total = payload.size() + 16;
          reply = {0xAA, 0x55, 0xFF, 0x00, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8),
                   pending[6], pending[7], static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8),
                   pending[10], pending[11], pending[12]};
          reply.insert(reply.end(), payload.begin(), payload.end());
        }
        uint8_t sum = 0;
        for (uint8_t b : reply) sum = static_cast<uint8_t>(sum + b);
        reply.push_back(static_cast<uint8_t>(-(sum + 0x55 + 0xAA)));
        reply.push_back(0x55);
        reply.push_back(0xAA);
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(len));
        size_t done = 0;
        while (done < reply.size()) {
          const ssize_t w = write(sv[1], reply.data() + done, reply.size() - done);
          FUZZ_CHECK(w > 0);
          done += static_cast<size_t>(w);
        }
      }
    }
  }
  int sv[2];
  std::shared_ptr<CBoxDevice> dev;
  std::thread box;
  std::mutex m;
  Bytes payload;
  uint16_t status = 0x8000;
  uint8_t cls = 0, sub = 0;  // of the request that must come
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig* rig = new Rig;
  if (size < 4) return 0;
  const Read& rd = kReads[data[0] % (sizeof kReads / sizeof kReads[0])];
  Call call{data[1], static_cast<uint16_t>((data[2] | (data[3] << 8)) & 0x7FF)};
  const Bytes payload(data + 4, data + (size - 4 > 65519 ? 65519 + 4 : size));
  {
    std::lock_guard<std::mutex> lk(rig->m);
    rig->payload = payload;
    rig->status = call.Failure() ? 0x0001 : 0x8000;
    rig->cls = rd.cls;
    rig->sub = rd.sub(call);
  }
  rig->dev->m_nBoxKind.store(call.Kind());

  // The caller's variable, filled with a pattern; an exactly sized block.
  const size_t varSize = rd.size(call);
  std::unique_ptr<uint8_t[]> var(new uint8_t[varSize ? varSize : 1]);
  for (size_t i = 0; i < varSize; ++i) var[i] = static_cast<uint8_t>(0xA5 ^ i);
  Bytes want(var.get(), var.get() + varSize);
  uint16_t len = call.bufferLen, wantLen = call.bufferLen;

  const int r = rd.call(reinterpret_cast<CBoxDevice*>(rig->dev.get()), var.get(), &len, call);
  int wantResult = 24;
  if (!call.Failure()) {
    wantResult = rd.rule(payload, want, &wantLen, call);
  } else if (rd.cls == 7) {
    PutInt(want, 0, 0);  // the log count is cleared before anything else
  }
  FUZZ_CHECK(r == wantResult);
  FUZZ_CHECK(Bytes(var.get(), var.get() + varSize) == want);
  FUZZ_CHECK(len == wantLen);
  {
    pf::Lock lk(rig->dev->m_csDevice);
    FUZZ_CHECK(rig->dev->WaitingCount() == 0);
  }
  return 0;
}
