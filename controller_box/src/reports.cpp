#include "reports.h"

#include <cstring>
#include <vector>

#include "bytes.h"
#include "context.h"

namespace pyrn {

namespace {

void HandleSysFrame(CBoxDevice& d, const FrameView& f) {
  CBoxGlobal& g = Global();
  const size_t plen = f.PayloadLen();
  switch (f.Sub()) {
    case 0: {  // heartbeat reply
      StHeartStatus st;
      memset(&st, 0, sizeof st);
      if (plen == 36) {
        memcpy(&st, f.Payload(), 27);
      } else if (plen == sizeof st) {
        memcpy(&st, f.Payload(), sizeof st);
        d.m_nBoxKind.store(f.Payload()[14]);
      } else {
        return;
      }
      if (PyrnHeartStatusCallback cb = g.m_pfnHeartStatus.load())
        cb(g.m_pUser.load(), &st, &d, d.m_szIP);
      return;
    }
    case 35: {  // link information
      if (plen != sizeof(StMaxLinkInfo)) return;
      {
        pf::Lock lk(d.m_csDevice);
        if (d.m_bLinkWaiting) {
          memcpy(d.m_linkInfo, f.Payload(), sizeof d.m_linkInfo);
          d.m_bLinkGot = true;
          d.m_bLinkWaiting = false;
          d.m_evLink.Set();
          return;
        }
      }
      if (PyrnMaxLinkInfoCallback cb = g.m_pfnMaxLink.load()) {
        StMaxLinkInfo info;
        memcpy(&info, f.Payload(), sizeof info);
        cb(g.m_pUser.load(), &info, d.m_szIP);
      }
      return;
    }
    case 1: case 2: case 14: case 15: case 16: case 19: case 20:
    case 33: case 34: case 36: case 37: case 38: case 39:
      d.DeliverReply(f);
      return;
    default:
      return;
  }
}

void HandleComFrame(CBoxDevice& d, const FrameView& f) {
  CBoxGlobal& g = Global();
  const uint8_t sub = f.Sub();
  if (sub > 17) return;
  StBoxSerialData rec{&d, f.Payload(), static_cast<uint16_t>(f.PayloadLen())};
  if (sub == 2) {
    PyrnSerialDataCallback cb = g.m_pfnSerialData.load();
    if (cb && f.Dir() == 0) cb(g.m_pUser.load(), &rec);
  } else if (sub == 9 || sub == 10) {
    PyrnSerialDataExCallback cb = g.m_pfnSerialDataEx.load();
    if (cb && f.Dir() == 0) cb(g.m_pUser.load(), &rec, sub == 9 ? 0u : 1u);
  }
  d.DeliverReply(f);
}

void HandleReportFrame(CBoxDevice& d, const FrameView& f) {
  CBoxGlobal& g = Global();
  void* user = g.m_pUser.load();
  const uint8_t* p = f.Payload();
  const size_t plen = f.PayloadLen();
  const uint8_t value = plen > 0 ? p[0] : 0;
  switch (f.Sub()) {
    case 0:
      if (auto cb = g.m_pfnReport0.load()) {
        StBoxValueReport r{&d, value};
        cb(user, &r);
      }
      return;
    case 1:
      if (auto cb = g.m_pfnReport1.load()) {
        StBoxByteReport r{&d, value};
        cb(user, &r);
      }
      return;
    case 2:
      if (auto cb = g.m_pfnBarrier.load()) {
        StBoxValueReport r{&d, value};
        cb(user, &r);
      }
      return;
    case 3:
      if (auto cb = g.m_pfnDoor.load()) {
        StBoxValueReport r{&d, value};
        cb(user, &r);
      }
      return;
    case 4:
      if (auto cb = g.m_pfnData1.load()) {
        StDataReport1 r;
        memset(&r, 0, sizeof r);
        r.handle = &d;
        r.length = static_cast<uint32_t>(plen);
        if (plen <= sizeof r.data) memcpy(r.data, p, plen);
        cb(user, &r);
      }
      return;
    case 5:
      if (auto cb = g.m_pfnData2.load()) {
        StDataReport2 r;
        memset(&r, 0, sizeof r);
        r.handle = &d;
        if (plen == 12) {
          r.byte0 = p[0];
          r.byte1 = p[1];
          r.value2 = kit::ReadLE16(p + 2);
          r.value4 = kit::ReadLE16(p + 4);
          r.value6 = kit::ReadLE16(p + 6);
          r.value8 = kit::ReadLE32(p + 8);
        }
        cb(user, &r);
      }
      return;
    case 6:
      if (auto cb = g.m_pfnData3.load()) {
        StDataReport3 r;
        memset(&r, 0, sizeof r);
        r.handle = &d;
        if (plen == 10) {
          r.byte0 = p[0];
          // The record and the payload hold 8 items; a larger count is cut.
          r.count = p[1] < 8 ? p[1] : 8;
          for (int i = 0; i < r.count; ++i) {
            const uint8_t b = p[2 + i];
            r.items[i] = StDataReport3Item{static_cast<uint8_t>(b & 1),
                                           static_cast<uint8_t>((b >> 1) & 3),
                                           static_cast<uint8_t>((b >> 3) & 1),
                                           static_cast<uint8_t>((b >> 4) & 1),
                                           static_cast<uint8_t>((b >> 5) & 7)};
          }
        }
        cb(user, &r);
      }
      return;
    case 7:
      if (auto cb = g.m_pfnData4.load()) {
        StReportRecord r;
        memset(&r, 0, sizeof r);
        r.handle = &d;
        if (plen == 20) {
          r.byte0 = p[0];
          r.count = p[1] < 4 ? p[1] : 4;  // 4 items fit the record and the payload
          r.value2 = kit::ReadLE16(p + 2);
          for (int i = 0; i < r.count; ++i) {
            const uint8_t* it = p + 4 + 4 * i;
            StReportItem& item = r.items[i];
            item.bits0to1 = it[0] & 3;
            item.bits2to4 = (it[0] >> 2) & 7;
            item.bit5 = (it[0] >> 5) & 1;
            item.byte1 = it[1];
            item.bit6 = (it[0] >> 6) & 1;
            item.value = kit::ReadLE16(it + 2);
            item.bit7 = (it[0] >> 7) & 1;
          }
        }
        cb(user, &r);
      }
      return;
    default:
      return;
  }
}

void HandleLogFrame(CBoxDevice& d, const FrameView& f) {
  if (f.Sub() == 0) {
    d.DeliverReply(f);
    return;
  }
  if (f.Sub() != 1) return;
  CBoxGlobal& g = Global();
  if (PyrnLogInfoCallback cb = g.m_pfnLogInfo.load()) {
    std::vector<uint8_t> copy(f.Payload(), f.Payload() + f.PayloadLen());
    StBoxLogInfo rec{&d, static_cast<uint32_t>(copy.size()), copy.data()};
    cb(g.m_pUser.load(), &rec);
  }
}

}  // namespace

void DispatchFrame(CBoxDevice& d, const FrameView& f) {
  if (f.len < kFrameOverhead) return;
  switch (f.Class()) {
    case 0: HandleSysFrame(d, f); return;
    case 1:
      if (f.Sub() <= 1) d.DeliverReply(f);
      return;
    case 2:
      if (f.Sub() == 1) d.DeliverReply(f);
      return;
    case 3: HandleComFrame(d, f); return;
    case 4: HandleReportFrame(d, f); return;
    case 5:
    case 6: HandleFirmwareFrame(d, f); return;
    case 7: HandleLogFrame(d, f); return;
    default: return;
  }
}

}  // namespace pyrn

using namespace pyrn;

namespace {

template <class T, class Cb>
int Register(std::atomic<T>& slot, Cb cb) {
  if (!Global().g_bInit.load()) return 200;
  slot.store(cb);
  return 0;
}

}  // namespace

extern "C" {

PYRN_API int PYRN_CALL PyrnBox_RegSerialPortCallback(PyrnSerialDataCallback cb) {
  return Register(Global().m_pfnSerialData, cb);
}

PYRN_API int PYRN_CALL PyrnBox_RegHeartStatusCallback(PyrnHeartStatusCallback cb) {
  return Register(Global().m_pfnHeartStatus, cb);
}

PYRN_API int PYRN_CALL PyrnBox_RegSerialPortDataExCallback(PyrnSerialDataExCallback cb) {
  return Register(Global().m_pfnSerialDataEx, cb);
}

PYRN_API int PYRN_CALL PyrnBox_RegDoorAndBarrierStatusCallback(PyrnValueReportCallback door,
                                                               PyrnValueReportCallback barrier) {
  CBoxGlobal& g = Global();
  if (!g.g_bInit.load()) return 200;
  g.m_pfnDoor.store(door);
  g.m_pfnBarrier.store(barrier);
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_RegLogInfoCallback(PyrnLogInfoCallback cb) {
  return Register(Global().m_pfnLogInfo, cb);
}

PYRN_API int PYRN_CALL PyrnBox_RegMaxLinkInfoCallback(PyrnMaxLinkInfoCallback cb) {
  return Register(Global().m_pfnMaxLink, cb);
}

PYRN_API int PYRN_CALL PyrnBox_RegDataReportCallback(PyrnDataReport1Callback cb1,
                                                     PyrnDataReport2Callback cb2,
                                                     PyrnDataReport3Callback cb3,
                                                     PyrnDataReport4Callback cb4) {
  CBoxGlobal& g = Global();
  if (!g.g_bInit.load()) return 200;
  g.m_pfnData1.store(cb1);
  g.m_pfnData2.store(cb2);
  g.m_pfnData3.store(cb3);
  g.m_pfnData4.store(cb4);
  return 0;
}

}  // extern "C"
