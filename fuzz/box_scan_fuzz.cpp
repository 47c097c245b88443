// Fuzz target: the controller-box library's handling of one discovery answer
// (a UDP datagram on a host address's socket).
//
// Input: the datagram. It is handed over as the receive thread does (at most
// the 4096 bytes of the context's buffer), with two host addresses listed
// and a search callback stored. Whether the callback is called follows a
// plain reading of the rules written here; the record it gets must hold the
// answer's fields at their offsets, whole, and a terminated version text.
// Every datagram queues exactly one log line. Any difference aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "PyrnBox.h"
#include "context.h"
#include "discovery.h"
#include "fuzz_check.h"

namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// 198.51.100.1 and 10.0.0.1, first octet in the low byte.
constexpr uint32_t kHosts[2] = {0x016433C6, 0x0100000A};

// The datagram as the receive thread holds it.
const uint8_t* g_answer = nullptr;
int g_calls = 0;

// The type text: its bytes up to a NUL within its 16.
std::string TypeText(const uint8_t* a) {
  size_t n = 0;
  while (n < 16 && a[44 + n]) ++n;
  return std::string(reinterpret_cast<const char*>(a + 44), n);
}

bool Accepted(const uint8_t* a, size_t n) {
  if (n < 524) return false;
  if (Le32(a + 24) != 0x80000000u) return false;
  std::string type = TypeText(a);
  for (char& c : type)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  if (type != "VELD" && type != "VELDP" && type != "VELK" && type != "OSKA") return false;
  if (Le32(a) != 0x0FF055AAu || Le32(a + 520) != 0x550FF0AAu) return false;
  if ((Le32(a + 20) & 0xFFFF) != 0) return false;
  return Le32(a + 12) == kHosts[0] || Le32(a + 12) == kHosts[1];
}

void PYRN_CALL OnFound(StSearchResult* r) {
  ++g_calls;
  const uint8_t* a = g_answer;
  FUZZ_CHECK(r->ip == Le32(a + 136) && r->mask == Le32(a + 140) && r->gateway == Le32(a + 148));
  FUZZ_CHECK(r->reserved0 == 0 && r->reserved1[0] == 0 && r->reserved1[1] == 0);
  FUZZ_CHECK(memcmp(r->userText, a + 260, 256) == 0);
  FUZZ_CHECK(memcmp(r->factory.serial, a + 160, 32) == 0);
  FUZZ_CHECK(memcmp(r->factory.mac, a + 152, 6) == 0);
  FUZZ_CHECK(r->deviceWord == Le32(a + 124));
  const std::string type = TypeText(a);
  FUZZ_CHECK(memcmp(r->version, type.data(), type.size()) == 0);
  FUZZ_CHECK(memcmp(r->version + type.size(), a + 60, 64) == 0);
  for (size_t i = type.size() + 64; i < sizeof r->version; ++i) FUZZ_CHECK(r->version[i] == 0);
}

bool SetUp() {
  pyrn::CBoxGlobal& g = pyrn::Global();
  {
    pf::Lock lk(g.m_hostIps.m_cs);
    g.m_hostIps.m_arrIP = {"198.51.100.1", "10.0.0.1"};
  }
  g.m_pfnFound.store(OnFound);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = SetUp();
  (void)ready;
  static pyrn::StUdpContext* ctx = new pyrn::StUdpContext;
  const size_t n = size < sizeof ctx->m_recv ? size : sizeof ctx->m_recv;
  memset(ctx->m_recv, 0, sizeof ctx->m_recv);
  memcpy(ctx->m_recv, data, n);
  g_answer = ctx->m_recv;
  g_calls = 0;

  pyrn::CBoxGlobal& g = pyrn::Global();
  {
    pf::Lock lk(g.m_log.m_csLog);
    g.m_log.m_listLog.clear();
  }
  pyrn::HandleScanReply(*ctx, n);
  FUZZ_CHECK(g_calls == (Accepted(ctx->m_recv, n) ? 1 : 0));
  {
    pf::Lock lk(g.m_log.m_csLog);
    FUZZ_CHECK(g.m_log.m_listLog.size() == 1);
    g.m_log.m_listLog.clear();
  }
  return 0;
}
