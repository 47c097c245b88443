// Fuzz target: the replies a camera sends on the update channel, through the
// reassembly, the frame check and the reply state machine of a firmware or a
// database transfer under way.
//
// Input: one byte of settings (bit 0 the database session, bit 1 a query
// waiting for its answer, bit 2 a link that takes the library's frames rather
// than one that refuses them), four bytes with the sequence number of the
// library's last frame, then the byte stream. After every frame the transfer
// must stay within its items: the current item at most one past the last, no
// item with more bytes gone than it holds, the version text ended inside its
// buffer, and a progress record that counts no more blocks than the item has.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "update.h"

#include "fuzz_check.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

// A link that takes datagrams without ever blocking (the far end is drained
// after each input), so that sends succeed until its queue is full.
struct Link {
  int fd[2] = {-1, -1};
  Link() {
    socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fd);
    fcntl(fd[0], F_SETFL, fcntl(fd[0], F_GETFL) | O_NONBLOCK);
  }
  void Drain() {
    uint8_t buf[2048];
    while (recv(fd[1], buf, sizeof buf, MSG_DONTWAIT) >= 0) {
    }
  }
};

void Prepare(qelm::StUpdateSession* s, bool db) {
  qelm::EmptySession(s);
  if (db) {
    const Bytes file = Pattern(200, 3);
    s->m_items.push_back(qelm::MakeTransferItem("plates", 0, file.data(), 200, 64));
  } else {
    const Bytes a = Pattern(100, 1), b = Pattern(30, 2), c = Pattern(7, 5);
    s->m_items.push_back(qelm::MakeTransferItem("cam.out", qelm::kKindProgramFile, a.data(), 100, 16));
    s->m_items.push_back(qelm::MakeTransferItem("cam.gxml", qelm::kKindDescriptionFile, b.data(), 30, 16));
    s->m_items.push_back(qelm::MakeTransferItem("fpga.bin", 0x4D524F46, c.data(), 7, 16));
  }
}

void CheckBounds(const qelm::StUpdateSession* s) {
  FUZZ_CHECK(s->m_nCurrent <= s->m_items.size());
  FUZZ_CHECK(s->m_nState <= qelm::kStateDatabaseDone);
  FUZZ_CHECK(s->m_szVersion[qelm::kVersionTextSize - 1] == 0);
  for (const qelm::StTransferItem& it : s->m_items) FUZZ_CHECK(it.remaining <= it.totalSize);
  uint32_t w[39];
  qelm::FillProgress(s, 0, w);
  FUZZ_CHECK(w[1] <= w[0] && w[3] <= w[2]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static qelm::StUpdateSession* sessions[2] = {new qelm::StUpdateSession(qelm::kFirmwarePort),
                                              new qelm::StUpdateSession(qelm::kDatabasePort)};
  static Link* link = new Link;
  qelm::test::SetFinishPauseMs(0);
  const bool db = data[0] & 1;
  qelm::StUpdateSession* s = sessions[db ? 1 : 0];
  Prepare(s, db);
  s->m_nSequence = fuzzcheck::Le32(data + 1);
  s->m_bVersionWait = data[0] & 2;
  s->m_bProgressActive = true;
  s->m_hSocket.store((data[0] & 4) ? link->fd[0] : pf::INVALID_SOCKET);
  s->m_recv.Clear();
  const qelm::StRecvState::Handler handler = [s](std::vector<uint8_t>& f) {
    qelm::HandleUpdateFrame(s, f);
    CheckBounds(s);
  };
  const uint8_t* stream = data + 5;
  size_t left = size - 5;
  while (left > 0) {
    const size_t k = std::min(left, s->m_recv.RecvSpace());
    memcpy(s->m_recv.RecvPtr(), stream, k);
    s->m_recv.Feed(k, handler, 0);
    stream += k;
    left -= k;
  }
  s->m_hSocket.store(pf::INVALID_SOCKET);
  link->Drain();
  return 0;
}
