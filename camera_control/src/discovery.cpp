#include "discovery.h"

#include <new>

#include "context.h"
#include "log.h"

namespace qelm {

StInfoChannel* NewInfoChannel() {
  if (test::TakeChannelAllocFailure()) return nullptr;
  return new (std::nothrow) StInfoChannel;
}

void StopInfoChannel(StInfoChannel* ch) {
  if (!ch) return;
  ch->m_bStop.store(true);
  const pf::SOCKET s = ch->m_hSocket.load();
  if (s != pf::INVALID_SOCKET) pf::ShutdownSocket(s);
  ch->m_thread.Join();
  const pf::SOCKET left = ch->m_hSocket.exchange(pf::INVALID_SOCKET);
  if (left != pf::INVALID_SOCKET) pf::CloseSocket(left);
  delete ch;
}

void InfoRecvThread(StInfoChannel* ch) {
  if (!ch) return;
  const pf::SOCKET s = ch->m_hSocket.load();
  if (s == pf::INVALID_SOCKET) return;
  CForGlobal& g = Global();
  const StRecvState::Handler handler = [ch](std::vector<uint8_t>& frame) {
    if (ch->m_mode == 1)
      HandleSearchAnswer(ch, frame);
    else
      HandleCameraInfoReply(ch, frame);
  };
  while (g.m_bRunning.load() && !ch->m_bStop.load()) {
    const int n = pf::Recv(s, ch->m_recv.RecvPtr(), ch->m_recv.RecvSpace());
    if (ch->m_bStop.load() || !g.m_bRunning.load()) break;
    if (n > 0) {
      ch->m_recv.Feed(static_cast<size_t>(n), handler);
      continue;
    }
    if (ch->m_mode == 1) {
      // Any host can send an empty datagram, and a UDP socket reports
      // transient errors: neither ends discovery, only the library's stop does.
      if (n < 0) {
        WriteLog("UDP网络异常");
        LogSocketError();
        pf::WaitReadable(s, 100);
      }
      continue;
    }
    WriteLog("UDP网络异常");
    LogSocketError();
    break;
  }
  if (ch->m_mode == 0) {
    // An information connection belongs to its thread: the export only shuts
    // it down, the thread closes it once it has let go.
    pf::Lock lk(ch->m_csData);
    const pf::SOCKET left = ch->m_hSocket.exchange(pf::INVALID_SOCKET);
    if (left != pf::INVALID_SOCKET) pf::CloseSocket(left);
  }
}

// Not built yet: discovery answers are taken apart by the discovery channel;
// until then they are dropped.
void HandleSearchAnswer(StInfoChannel*, std::vector<uint8_t>&) {}

}  // namespace qelm
