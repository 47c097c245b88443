// The result stream: assembly of one result from its segments, the record's
// fields, limits, resynchronisation and the dump of oversized frames.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "bytes.h"
#include "context.h"
#include "fake_camera.h"
#include "handle.h"
#include "lpr_fixture.h"
#include "message_wnd.h"
#include "nardix_harness.h"
#include "own_folder.h"
#include "result.h"

namespace {

using lprtest::Bytes;
using lprtest::Concat;
using lprtest::Filled;
using lprtest::Recorder;
using lprtest::ResultFrame;

struct Dump {
  std::string path;
  Bytes bytes;
};
std::mutex g_dumpMutex;
std::vector<Dump> g_dumps;
void CaptureDump(const std::string& path, const uint8_t* d, size_t n) {
  std::lock_guard<std::mutex> lk(g_dumpMutex);
  g_dumps.push_back({path, Bytes(d, d + n)});
}

Bytes Info(const std::string& text, uint8_t byte62, uint16_t x0, uint16_t y0, uint16_t x1, uint16_t y1) {
  Bytes b(64, 0);
  memcpy(b.data(), text.data(), text.size());
  b[62] = byte62;
  kit::WriteLE16(b.data() + 20, x0);
  kit::WriteLE16(b.data() + 22, y0);
  kit::WriteLE16(b.data() + 24, x1);
  kit::WriteLE16(b.data() + 26, y1);
  return b;
}

Bytes Block(const std::string& text) {
  Bytes b(308, 0);
  for (int i = 0; i < 4; ++i) kit::WriteLE32(b.data() + 16 + 4 * i, static_cast<uint32_t>(100 + i));
  memcpy(b.data() + 36, text.data(), text.size());
  kit::WriteLE32(b.data() + 172, static_cast<uint32_t>(-5));
  kit::WriteLE32(b.data() + 176, 0x01020304);
  return b;
}

const Bytes kEnd = ResultFrame(0x50, 1, {});

class ResultStream : public lprtest::LprTest {
 protected:
  void SetUp() override {
    LprTest::SetUp();
    nardix::CForGlobal& g = nardix::Global();
    g.m_log.m_bLogOn.store(0);
    g.m_bDirectCall.store(1);
    g.m_pfnLprResult.store(&Recorder::OnResult);
    nardix::test::SetDumpWriter(&CaptureDump);
    {
      std::lock_guard<std::mutex> lk(g_dumpMutex);
      g_dumps.clear();
    }
    h_ = nardix::NewCameraHandle(kittest::Addr("127.0.0.9"));
  }
  // Received at monotonic time `nowMs` (no bytes: the thread woke at a deadline).
  void Feed(const Bytes& b, size_t chunk = SIZE_MAX, int64_t nowMs = 0) {
    nardixfuzz::FeedResult(h_.get(), b.data(), b.size(), chunk, nowMs);
  }
  std::vector<lprtest::SeenResult> Results() { return Recorder::Get().Results(); }
  nardix::HandlePtr h_;
};

TEST_F(ResultStream, SegmentsOfOneIdMakeOneResultWithEveryField) {
  const Bytes image1 = Filled(1000, 1), image2 = Filled(300, 2), image3 = Filled(77, 3);
  const Bytes all = Concat({ResultFrame(0x00, 1, Info("ABC123", 9, 10, 20, 110, 60)),
                            ResultFrame(0x10, 1, Block("PLATE")), ResultFrame(0x40, 1, image1),
                            ResultFrame(0x42, 1, image2), ResultFrame(0x20, 1, image3), kEnd});
  for (size_t chunk : {size_t(1), size_t(7), size_t(4096), SIZE_MAX}) {
    Recorder::Get().Clear();
    Feed(all, chunk);
    ASSERT_EQ(Results().size(), 1u) << chunk;
    const StLprResult r = Results()[0].copy;
    EXPECT_EQ(r.handle, h_.get());
    EXPECT_EQ(r.resultId, 1);
    EXPECT_STREQ(r.ip, "127.0.0.9");
    int32_t values[4];
    memcpy(values, r.blockValues, sizeof values);
    EXPECT_EQ(values[0], 100);
    EXPECT_EQ(values[3], 103);
    EXPECT_STREQ(r.blockText, "PLATE");
    EXPECT_EQ(int32_t(r.blockValue172), -5);
    EXPECT_EQ(int32_t(r.blockValue176), 0x01020304);
    EXPECT_STREQ(r.infoText, "ABC123");
    EXPECT_EQ(int32_t(r.infoValue62), 9);
    EXPECT_EQ(uint16_t(r.image1Width), 720);
    EXPECT_EQ(uint16_t(r.image1Height), 576);
    EXPECT_EQ(uint16_t(r.image2Width), 320);
    EXPECT_EQ(uint16_t(r.image2Height), 288);
    EXPECT_EQ(uint16_t(r.image3Width), 100);
    EXPECT_EQ(uint16_t(r.image3Height), 40);
    EXPECT_EQ(Results()[0].image1, image1);
    EXPECT_EQ(Results()[0].image2, image2);
    EXPECT_EQ(Results()[0].image3, image3);
    EXPECT_TRUE(h_->m_bResultReady.load());
  }
}

TEST_F(ResultStream, InfoSegmentFollowsImageOneData) {
  std::vector<uint8_t> behind;
  Recorder::Get().SetDuringResult([&](StLprResult* r) {
    behind.assign(r->image1 + r->image1Length, r->image1 + r->image1Length + 64);
  });
  const Bytes info = Info("X", 1, 0, 0, 0, 0);
  Feed(Concat({ResultFrame(0x00, 1, info), ResultFrame(0x40, 1, Filled(10, 5)), kEnd}));
  Recorder::Get().SetDuringResult(nullptr);
  ASSERT_EQ(Results().size(), 1u);
  EXPECT_EQ(Results()[0].copy.image1Length, 10);
  EXPECT_EQ(behind, info);
}

TEST_F(ResultStream, AResultWithoutInfoOrBlockCarriesNoTextOfTheOneBefore) {
  const struct {
    const char* name;
    uint16_t nextId;
    Bytes between;  // after the first result, before the next one's frames
  } cases[] = {
      {"next id", 2, {}},
      {"the same id again", 1, {}},
      {"a frame of another type in between", 2, lprtest::OtherFrame(0x01, 0x00, lprtest::Text("OTHER"))},
      {"an info frame with a wrong tail in between", 2,
       [] {
         Bytes b = ResultFrame(0x00, 2, Info("STALE", 7, 1, 2, 3, 4));
         b.back() = 0;
         return b;
       }()},
  };
  for (const auto& c : cases) {
    Recorder::Get().Clear();
    Feed(Concat({ResultFrame(0x00, 1, Info("ABC123", 3, 10, 20, 110, 60)), ResultFrame(0x10, 1, Block("PLATE")),
                 ResultFrame(0x40, 1, {1}), ResultFrame(0x50, 1, {})}));
    Feed(Concat({c.between, ResultFrame(0x40, c.nextId, {2}), ResultFrame(0x50, c.nextId, {})}));
    const auto results = Results();
    ASSERT_EQ(results.size(), 2u) << c.name;
    EXPECT_STREQ(results[0].copy.infoText, "ABC123") << c.name;
    EXPECT_STREQ(results[0].copy.blockText, "PLATE") << c.name;
    const StLprResult& r = results[1].copy;
    EXPECT_EQ(r.resultId, c.nextId) << c.name;
    EXPECT_EQ(results[1].image1, Bytes{2}) << c.name;
    EXPECT_STREQ(r.infoText, "") << c.name;
    EXPECT_EQ(int32_t(r.infoValue62), 0) << c.name;
    EXPECT_EQ(uint16_t(r.image3Width), 0) << c.name;
    EXPECT_EQ(uint16_t(r.image3Height), 0) << c.name;
    EXPECT_STREQ(r.blockText, "") << c.name;
    int32_t values[4];
    memcpy(values, r.blockValues, sizeof values);
    EXPECT_EQ(values[0], 0) << c.name;
    EXPECT_EQ(int32_t(r.blockValue176), 0) << c.name;
  }
}

TEST_F(ResultStream, FramesOfOtherTypesLeaveTheResultUnderAssemblyAlone) {
  // Bodies shaped like an info segment of their own (another text, byte 62,
  // image 3 corners), and frames whose kind is one a result uses.
  const Bytes foreignInfo = Info("FOREIGN", 77, 1, 2, 501, 402);
  const Bytes large = Concat({foreignInfo, Filled(2000, 6)});
  const struct {
    uint8_t type, kind;
    Bytes body;
  } others[] = {
      {0x00, 0x00, foreignInfo}, {0x01, 0x00, foreignInfo}, {0x80, 0x00, large},
      {0xFE, 0x00, foreignInfo}, {0x01, 0x20, foreignInfo}, {0x02, 0x40, foreignInfo},
      {0x03, 0x42, foreignInfo}, {0x04, 0x60, foreignInfo}, {0x05, 0x10, Block("FOREIGN")},
      {0x06, 0x50, {}},          {0x07, 0x00, {}},
  };
  const Bytes info = Info("OWN42", 9, 10, 20, 110, 60);
  const Bytes image1 = Filled(500, 1), image2 = Filled(40, 2), image3 = Filled(30, 3);
  for (const auto& o : others) {
    Recorder::Get().Clear();
    const Bytes other = lprtest::OtherFrame(o.type, o.kind, o.body);
    // The other frame comes right after the info segment, between images and
    // just before the end frame.
    Feed(Concat({ResultFrame(0x00, 5, info), other, ResultFrame(0x40, 5, image1), other,
                 ResultFrame(0x42, 5, image2), ResultFrame(0x20, 5, image3), ResultFrame(0x10, 5, Block("OWN")),
                 other, ResultFrame(0x50, 5, {})}),
         13);
    const auto results = Results();
    const std::string name = std::to_string(o.type) + "/" + std::to_string(o.kind);
    ASSERT_EQ(results.size(), 1u) << name;
    const StLprResult& r = results[0].copy;
    EXPECT_EQ(r.resultId, 5) << name;
    EXPECT_STREQ(r.infoText, "OWN42") << name;
    EXPECT_EQ(int32_t(r.infoValue62), 9) << name;
    EXPECT_EQ(uint16_t(r.image3Width), 100) << name;
    EXPECT_EQ(uint16_t(r.image3Height), 40) << name;
    EXPECT_EQ(uint16_t(r.image1Width), 720) << name;
    EXPECT_EQ(uint16_t(r.image2Height), 288) << name;
    EXPECT_STREQ(r.blockText, "OWN") << name;
    EXPECT_EQ(results[0].image1, image1) << name;
    EXPECT_EQ(results[0].image2, image2) << name;
    EXPECT_EQ(results[0].image3, image3) << name;
    EXPECT_EQ(r.debugLength, 0) << name;
  }
}

TEST_F(ResultStream, NewIdDiscardsWhatWasCollected) {
  Feed(Concat({ResultFrame(0x40, 1, Filled(100, 1)), ResultFrame(0x42, 2, Filled(50, 2)),
               ResultFrame(0x50, 2, {})}));
  ASSERT_EQ(Results().size(), 1u);
  EXPECT_EQ(Results()[0].copy.resultId, 2);
  EXPECT_EQ(Results()[0].copy.image1Length, 0);
  EXPECT_EQ(Results()[0].image2, Filled(50, 2));
}

// A delivered record's buffers hold its own segments and zeros: nothing of a
// result left unfinished for a new id, nor of what the callback did with
// the record before.
TEST_F(ResultStream, BuffersHoldNothingOfAnEarlierResult) {
  const size_t sizes[4] = {nardix::kImage1Size, nardix::kImage2Size, nardix::kImage3Size, nardix::kDebugSize};
  std::vector<std::vector<Bytes>> seen;  // the four buffers, whole, at each delivery
  Recorder::Get().SetDuringResult([&](StLprResult* r) {
    uint8_t* const b[4] = {r->image1, r->image2, r->image3, r->debug};
    seen.emplace_back();
    for (int i = 0; i < 4; ++i) {
      seen.back().emplace_back(b[i], b[i] + sizes[i]);
      memset(b[i], 0x5A, sizes[i]);  // the callback writes over the record
    }
  });
  // Result 1 is left unfinished, result 2 comes with a short image 1,
  // result 3 after it with image 3 only.
  Feed(Concat({ResultFrame(0x40, 1, Filled(1000, 1)), ResultFrame(0x42, 1, Filled(500, 2)),
               ResultFrame(0x20, 1, Filled(400, 3)), ResultFrame(0x60, 1, Filled(300, 4)),
               ResultFrame(0x40, 2, Filled(10, 5)), ResultFrame(0x50, 2, {}), ResultFrame(0x20, 3, Filled(20, 6)),
               ResultFrame(0x50, 3, {})}));
  Recorder::Get().SetDuringResult(nullptr);
  ASSERT_EQ(seen.size(), 2u);
  const struct {
    size_t result, buffer;
    Bytes data;
  } stored[] = {{0, 0, Filled(10, 5)}, {1, 2, Filled(20, 6)}};
  for (size_t r = 0; r < 2; ++r) {
    for (size_t b = 0; b < 4; ++b) {
      Bytes want(sizes[b], 0);
      for (const auto& s : stored)
        if (s.result == r && s.buffer == b) std::copy(s.data.begin(), s.data.end(), want.begin());
      const auto wrong = std::mismatch(seen[r][b].begin(), seen[r][b].end(), want.begin()).first;
      EXPECT_EQ(wrong - seen[r][b].begin(), static_cast<long>(sizes[b]))
          << "first wrong byte of result " << r + 2 << ", buffer " << b;
    }
  }
}

TEST_F(ResultStream, LargestImageIsStoredAndALargerFrameIsDumpedWithAllItHolds) {
  const Bytes largest = Filled(204798, 4);  // with the id: length field 204800
  Feed(Concat({ResultFrame(0x40, 1, largest), kEnd}));
  ASSERT_EQ(Results().size(), 1u);
  EXPECT_EQ(Results()[0].copy.image1Length, 204798);
  EXPECT_EQ(Results()[0].image1, largest);
  EXPECT_TRUE(g_dumps.empty());

  // Length field 204801, then a complete result: one receive, all dropped.
  Bytes over = {0xAA, 0x55, 0xFF, 0x40, 0x01, 0x20, 0x03, 0x00};
  const Bytes held = Concat({Bytes{0x01, 0x02}, over, Filled(100, 6), ResultFrame(0x40, 2, {1}), kEnd});
  Feed(held);
  EXPECT_EQ(Results().size(), 1u);
  ASSERT_EQ(g_dumps.size(), 1u);
  // The dump starts at the oversized frame's head (the bytes before it were
  // already read past) and holds everything after it.
  EXPECT_EQ(g_dumps[0].bytes, Bytes(held.begin() + 2, held.end()));
  EXPECT_EQ(h_->m_recv.Held(), 0u);
  // The stream goes on with the next receive.
  Feed(Concat({ResultFrame(0x40, 3, {7}), ResultFrame(0x50, 3, {})}));
  ASSERT_EQ(Results().size(), 2u);
  EXPECT_EQ(Results()[1].copy.resultId, 3);
}

TEST_F(ResultStream, OversizedHeadsAreDumpedOnceASecondAndEachDropsWhatIsHeld) {
  pf::test::FreezeClock(1706745599000);
  const Bytes over = {0xAA, 0x55, 0xFF, 0x40, 0x01, 0x20, 0x03, 0x00};
  const Bytes good = Concat({ResultFrame(0x40, 2, {1}), ResultFrame(0x50, 2, {})});
  // Each receive: an oversized head with a result behind it, and a byte to
  // tell the dumps apart.
  for (uint8_t k = 0; k < 3; ++k) Feed(Concat({over, {k}, good}));
  pf::test::FreezeClock(1706745600000);  // the next second
  Feed(Concat({over, {3}, good}));
  EXPECT_EQ(Results().size(), 0u);
  ASSERT_EQ(g_dumps.size(), 2u);
  EXPECT_EQ(g_dumps[0].bytes, Concat({over, {0}, good}));
  EXPECT_EQ(g_dumps[1].bytes, Concat({over, {3}, good}));
  EXPECT_EQ(h_->m_recv.Held(), 0u);
}

TEST_F(ResultStream, SegmentsAboveTheirLimitAreNotStored) {
  const struct {
    uint8_t kind;
    size_t limit;
  } kinds[] = {{0x00, 64}, {0x10, 308}, {0x20, 10240}, {0x42, 51200}, {0x60, 1344}};
  for (const auto& k : kinds) {
    Recorder::Get().Clear();
    nardix::ResetResult(h_->m_pResult, h_.get());
    memset(h_->m_byInfo, 0, sizeof h_->m_byInfo);
    memset(h_->m_byBlock, 0, sizeof h_->m_byBlock);
    // An oversized segment is skipped whole, so bytes inside it that look like a
    // frame are never taken for one.
    Bytes body = Filled(k.limit + 1, 3);
    const Bytes inner = ResultFrame(0x50, 1, {});
    std::copy(inner.begin(), inner.end(), body.begin() + 10);
    Feed(Concat({ResultFrame(k.kind, 1, Filled(k.limit, 1)), ResultFrame(k.kind, 1, body)}), 100);
    EXPECT_EQ(Results().size(), 0u) << int(k.kind);
    // The info and block segments as the result completes (they are not
    // kept for the next one).
    Bytes info, block;
    Recorder::Get().SetDuringResult([&](StLprResult*) {
      info.assign(h_->m_byInfo, h_->m_byInfo + 64);
      block.assign(h_->m_byBlock, h_->m_byBlock + 308);
    });
    Feed(kEnd);
    Recorder::Get().SetDuringResult(nullptr);
    ASSERT_EQ(Results().size(), 1u) << int(k.kind);
    const auto results = Results();
    const auto& r = results[0];
    const Bytes kept = k.kind == 0x20   ? r.image3
                       : k.kind == 0x42 ? r.image2
                       : k.kind == 0x60 ? r.debug
                       : k.kind == 0x00 ? info
                                        : block;
    EXPECT_EQ(kept, Filled(k.limit, 1)) << int(k.kind);
  }
}

TEST_F(ResultStream, BrokenFramesCostOneByteAndTheNextFrameIsFound) {
  Bytes badTail = ResultFrame(0x40, 1, {1, 2, 3});
  badTail.back() = 0;
  const Bytes shortId = {0xAA, 0x55, 0xFF, 0x40, 0x01, 0x00, 0x00, 0x00, 0x01};  // length 1 < the id
  const Bytes huge = {0xAA, 0x55, 0xFF, 0x40, 0xFF, 0xFF, 0xFF, 0xFF};        // negative: not dumped
  const struct {
    const char* name;
    Bytes bad;
  } cases[] = {{"wrong tail", badTail}, {"length without room for the id", shortId}, {"length above the limit", huge},
               {"noise", {0xAA, 0x00, 0x55, 0xAA, 0xAA}}};
  for (const auto& c : cases) {
    Recorder::Get().Clear();
    Feed(Concat({c.bad, ResultFrame(0x42, 1, {9, 9}), kEnd}));
    ASSERT_EQ(Results().size(), 1u) << c.name;
    EXPECT_EQ(Results()[0].image2, (Bytes{9, 9})) << c.name;
  }
  EXPECT_TRUE(g_dumps.empty());
}

// A result whose image is its id's own bytes, so that a delivered image shows
// whether it holds anything of another frame.
Bytes OwnResult(uint16_t id) {
  return Concat({ResultFrame(0x00, id, Info("R" + std::to_string(id), 1, 0, 0, 0, 0)),
                 ResultFrame(0x40, id, Filled(300 + id, static_cast<uint8_t>(id))), ResultFrame(0x50, id, {})});
}

void ExpectOwnResults(const std::vector<lprtest::SeenResult>& got, std::initializer_list<uint16_t> ids,
                      const std::string& name) {
  ASSERT_EQ(got.size(), ids.size()) << name;
  size_t i = 0;
  for (uint16_t id : ids) {
    EXPECT_EQ(got[i].copy.resultId, id) << name;
    EXPECT_STREQ(got[i].copy.infoText, ("R" + std::to_string(id)).c_str()) << name;
    EXPECT_EQ(got[i].image1, Filled(300 + id, static_cast<uint8_t>(id))) << name;
    ++i;
  }
}

TEST_F(ResultStream, HeadWhoseBodyNeverComesGivesBackTheResultsBehindIt) {
  const struct {
    const char* name;
    Bytes head;
    bool heldUntilDeadline;  // its length covers all the results behind it
  } cases[] = {
      {"image head of the largest length", {0xAA, 0x55, 0xFF, 0x40, 0x00, 0x20, 0x03, 0x00}, true},
      {"head of another type", {0xAA, 0x55, 0x01, 0x00, 0x00, 0x20, 0x03, 0x00}, true},
      {"end-of-result head with a body", {0xAA, 0x55, 0xFF, 0x50, 0x00, 0x10, 0x00, 0x00}, true},
      // The results behind it reach where its tail should be: no waiting.
      {"info head", {0xAA, 0x55, 0xFF, 0x00, 0x42, 0x00, 0x00, 0x00}, false},
  };
  const Bytes after = Concat({OwnResult(10), OwnResult(11), OwnResult(12)});
  for (const auto& c : cases) {
    Recorder::Get().Clear();
    Feed(c.head, SIZE_MAX, 1000);
    Feed(after, 100, 1100);
    Feed({}, SIZE_MAX, 5999);  // the thread wakes before the deadline
    EXPECT_EQ(Results().size(), c.heldUntilDeadline ? 0u : 3u) << c.name;
    Feed({}, SIZE_MAX, 6000);  // and at it
    ExpectOwnResults(Results(), {10, 11, 12}, c.name);
    EXPECT_FALSE(h_->m_parse.headFound) << c.name;
    EXPECT_EQ(h_->m_recv.Held(), 0u) << c.name;
  }
}

TEST_F(ResultStream, ABadFramesSegmentNeverBecomesPartOfAResult) {
  const Bytes own = Filled(400, 1);
  Bytes wrongTail = ResultFrame(0x40, 1, Filled(400, 2));
  wrongTail.back() = 0x56;
  Bytes wrongTailNewId = ResultFrame(0x40, 2, Filled(400, 2));
  wrongTailNewId.back() = 0x56;
  const Bytes cut = ResultFrame(0x40, 1, Filled(400, 2));
  const Bytes cutNewId = ResultFrame(0x40, 2, Filled(400, 2));
  const struct {
    const char* name;
    Bytes bad;
  } cases[] = {
      {"wrong tail", wrongTail},
      {"wrong tail, new id", wrongTailNewId},
      {"body cut off", Bytes(cut.begin(), cut.begin() + 200)},
      {"body cut off, new id", Bytes(cutNewId.begin(), cutNewId.begin() + 200)},
  };
  for (const auto& c : cases) {
    Recorder::Get().Clear();
    Feed(ResultFrame(0x40, 1, own), SIZE_MAX, 1000);
    Feed(c.bad, 64, 1000);
    Feed({}, SIZE_MAX, 6000);
    Feed(ResultFrame(0x50, 1, {}), SIZE_MAX, 6000);
    ASSERT_EQ(Results().size(), 1u) << c.name;
    EXPECT_EQ(Results()[0].copy.resultId, 1) << c.name;
    EXPECT_EQ(Results()[0].image1, own) << c.name;
  }
}

// `n` image heads nested one inside another: each announces a body that
// reaches `beyond` bytes past the `after` bytes that follow the last head.
Bytes NestedHeads(size_t n, size_t after, uint8_t kind = 0x40, uint32_t beyond = 1000) {
  Bytes b;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t len = static_cast<uint32_t>((n - i - 1) * 8 + after + beyond);
    const Bytes head = {0xAA, 0x55, 0xFF, kind, uint8_t(len), uint8_t(len >> 8), uint8_t(len >> 16), 0};
    b.insert(b.end(), head.begin(), head.end());
  }
  return b;
}

TEST_F(ResultStream, NestedHeadsArrivingTogetherAreDroppedFiveSecondsAfterTheyArrived) {
  const Bytes after = Concat({OwnResult(10), OwnResult(11)});
  for (size_t n : {size_t(1), size_t(10), size_t(1000)}) {
    for (size_t chunk : {size_t(7), size_t(4096), SIZE_MAX}) {
      const std::string name = std::to_string(n) + " heads in receives of " + std::to_string(chunk);
      Recorder::Get().Clear();
      Feed(Concat({NestedHeads(n, after.size()), after}), chunk, 1000);
      Feed({}, SIZE_MAX, 5999);
      EXPECT_EQ(Results().size(), 0u) << name;
      EXPECT_EQ(h_->m_parse.DeadlineMs(), 6000) << name;
      // One wake at the chain's deadline clears all of it.
      Feed({}, SIZE_MAX, 6000);
      ExpectOwnResults(Results(), {10, 11}, name);
      EXPECT_FALSE(h_->m_parse.headFound) << name;
      EXPECT_EQ(h_->m_recv.Held(), 0u) << name;
    }
  }
}

TEST_F(ResultStream, NestedHeadsArrivingOneByOneAreEachDroppedFiveSecondsAfterItsOwnArrival) {
  const Bytes after = OwnResult(12);
  const size_t n = 4;
  const Bytes heads = NestedHeads(n, after.size());
  for (size_t i = 0; i < n; ++i) Feed(Bytes(heads.begin() + 8 * i, heads.begin() + 8 * (i + 1)), SIZE_MAX, 1000 + 700 * i);
  Feed(after, SIZE_MAX, 1000 + 700 * n);
  for (size_t i = 0; i < n; ++i) {
    const int64_t due = 6000 + 700 * static_cast<int64_t>(i);
    EXPECT_EQ(h_->m_parse.DeadlineMs(), due) << i;
    Feed({}, SIZE_MAX, due - 1);
    EXPECT_EQ(h_->m_parse.DeadlineMs(), due) << i;
    Feed({}, SIZE_MAX, due);
    EXPECT_EQ(Results().size(), i + 1 == n ? 1u : 0u) << i;
  }
  ExpectOwnResults(Results(), {12}, "after the last head");
}

TEST_F(ResultStream, HeadWhoseLengthEndsOnTheTailOfAGoodFrameBehindItLeavesItWhole) {
  const Bytes frames[] = {ResultFrame(0x00, 5, Info("R5", 1, 0, 0, 0, 0)), ResultFrame(0x40, 5, Filled(3000, 5)),
                          ResultFrame(0x42, 5, Filled(500, 6)), ResultFrame(0x50, 5, {})};
  const Bytes good = Concat({frames[0], frames[1], frames[2], frames[3]});
  // A head of `kind` whose frame would end where good frame `j` ends; `gap`
  // bytes of other heads between it and the good frames.
  auto aligned = [&](uint8_t type, uint8_t kind, size_t j, size_t gap) {
    size_t end = 0;
    for (size_t k = 0; k <= j; ++k) end += frames[k].size();
    const uint32_t len = static_cast<uint32_t>(gap + end - 4);
    return Bytes{0xAA, 0x55, type, kind, uint8_t(len), uint8_t(len >> 8), uint8_t(len >> 16), 0};
  };
  const Bytes filler = NestedHeads(3, good.size());
  const struct {
    const char* name;
    Bytes before;
    bool waits;  // heads whose bodies never come stand between
  } cases[] = {
      {"image head ending on the image's tail", aligned(0xFF, 0x40, 1, 0), false},
      {"image head ending on the end frame's tail", aligned(0xFF, 0x40, 3, 0), false},
      {"end head ending on the end frame's tail", aligned(0xFF, 0x50, 3, 0), false},
      {"end head ending on the info frame's tail", aligned(0xFF, 0x50, 0, 0), false},
      {"head of another type ending on the second image's tail", aligned(0x01, 0x00, 2, 0), false},
      {"heads ending on each tail in turn",
       Concat({aligned(0xFF, 0x50, 3, 24), aligned(0xFF, 0x50, 2, 16), aligned(0xFF, 0x40, 1, 8),
               aligned(0xFF, 0x00, 0, 0)}),
       false},
      {"end head ending on the end frame's tail, bodiless heads between",
       Concat({aligned(0xFF, 0x50, 3, filler.size()), filler}), true},
  };
  for (const auto& c : cases) {
    Recorder::Get().Clear();
    Feed(Concat({c.before, good}), 100, 1000);
    EXPECT_EQ(Results().size(), c.waits ? 0u : 1u) << c.name;
    Feed({}, SIZE_MAX, 6000);
    const auto results = Results();
    ASSERT_EQ(results.size(), 1u) << c.name;
    EXPECT_EQ(results[0].copy.resultId, 5) << c.name;
    EXPECT_STREQ(results[0].copy.infoText, "R5") << c.name;
    EXPECT_EQ(results[0].image1, Filled(3000, 5)) << c.name;
    EXPECT_EQ(results[0].image2, Filled(500, 6)) << c.name;
  }
}

TEST_F(ResultStream, ResultAfterAFloodOfLongestHeadsComesWhole) {
  // Heads of the longest image, 8 bytes apart, and a result right after them:
  // the heads whose lengths end on one of its tails are not taken for frames.
  const Bytes image1 = Filled(60000, 1), image2 = Filled(20000, 2), image3 = Filled(4000, 3);
  const Bytes good = Concat({ResultFrame(0x40, 77, image1), ResultFrame(0x42, 77, image2),
                             ResultFrame(0x20, 77, image3), ResultFrame(0x50, 77, {})});
  for (uint8_t kind : {uint8_t(0x40), uint8_t(0x50)}) {
    for (size_t shift = 0; shift < 8; shift += 2) {
      Recorder::Get().Clear();
      const Bytes head = {0xAA, 0x55, 0xFF, kind, 0x00, 0x20, 0x03, 0x00};
      Bytes flood(shift, 0x11);
      for (int i = 0; i < 60000; ++i) flood.insert(flood.end(), head.begin(), head.end());
      Feed(Concat({flood, good}), 10000, 1000);
      Feed({}, SIZE_MAX, 6000);
      const std::string name = "kind " + std::to_string(kind) + " shifted by " + std::to_string(shift);
      const auto results = Results();
      ASSERT_EQ(results.size(), 1u) << name;
      EXPECT_EQ(results[0].copy.resultId, 77) << name;
      EXPECT_EQ(results[0].image1, image1) << name;
      EXPECT_EQ(results[0].image2, image2) << name;
      EXPECT_EQ(results[0].image3, image3) << name;
      EXPECT_EQ(h_->m_recv.Held(), 0u) << name;
    }
  }
}

TEST_F(ResultStream, WrongTailGivesBackTheFramesItsLengthCovered) {
  // A head whose length ends inside the second of two results.
  const Bytes head = {0xAA, 0x55, 0xFF, 0x40, 0x40, 0x01, 0x00, 0x00};
  for (size_t chunk : {size_t(1), size_t(50), SIZE_MAX}) {
    Recorder::Get().Clear();
    Feed(Concat({head, OwnResult(20), OwnResult(21), OwnResult(22)}), chunk);
    ExpectOwnResults(Results(), {20, 21, 22}, "receives of " + std::to_string(chunk));
  }
}

TEST_F(ResultStream, LargestImageTricklingInWithinTheLimitIsTakenWhole) {
  const Bytes image = Filled(204798, 9);
  const Bytes frame = ResultFrame(0x40, 4, image);
  // 4096 bytes at a time, the last one 4999 ms after the head.
  const size_t pieces = (frame.size() + 4095) / 4096;
  for (size_t i = 0; i < pieces; ++i) {
    const size_t from = i * 4096, to = std::min(frame.size(), from + 4096);
    Feed(Bytes(frame.begin() + static_cast<long>(from), frame.begin() + static_cast<long>(to)), SIZE_MAX,
         static_cast<int64_t>(1000 + 4999 * i / (pieces - 1)));
  }
  Feed(ResultFrame(0x50, 4, {}), SIZE_MAX, 6000);
  ASSERT_EQ(Results().size(), 1u);
  EXPECT_EQ(Results()[0].image1, image);

  // The same frame one byte short at its deadline is dropped; its last byte
  // after the deadline makes nothing of it.
  Recorder::Get().Clear();
  Feed(Bytes(frame.begin(), frame.end() - 1), 4096, 10000);
  Feed({}, SIZE_MAX, 15000);
  Feed(Concat({Bytes(frame.end() - 1, frame.end()), ResultFrame(0x50, 4, {})}), SIZE_MAX, 15001);
  ASSERT_EQ(Results().size(), 1u);
  EXPECT_EQ(Results()[0].copy.image1Length, 0);
}

TEST_F(ResultStream, ImageSwitchesEmptyTheLengthsButKeepTheBuffers) {
  const uint8_t want[3] = {1, 0, 0};
  ASSERT_EQ(LPR_ControlContent(want), 0);
  Feed(Concat({ResultFrame(0x40, 1, {1}), ResultFrame(0x42, 1, {2}), ResultFrame(0x20, 1, {3}), kEnd}));
  ASSERT_EQ(Results().size(), 1u);
  const StLprResult r = Results()[0].copy;
  EXPECT_EQ(r.image1Length, 1);
  EXPECT_EQ(r.image2Length, 0);
  EXPECT_EQ(r.image3Length, 0);
  EXPECT_NE(r.image2, nullptr);
  EXPECT_NE(r.image3, nullptr);
}

TEST_F(ResultStream, DebugBlockGoesOutWhenItsCountIsAboveZero) {
  nardix::Global().m_pfnAlgDebug.store(&Recorder::OnDebug);
  Bytes debug = Filled(1344, 8);
  kit::WriteLE32(debug.data() + 8, 0);
  Feed(Concat({ResultFrame(0x60, 1, debug), kEnd}));
  EXPECT_TRUE(Recorder::Get().Debug().empty());
  kit::WriteLE32(debug.data() + 8, 3);
  Feed(Concat({ResultFrame(0x60, 1, debug), kEnd}));
  ASSERT_EQ(Recorder::Get().Debug().size(), 1u);
  EXPECT_EQ(Recorder::Get().Debug()[0].block, Bytes(debug.begin() + 12, debug.end()));
  EXPECT_EQ(Results().size(), 2u);
  EXPECT_EQ(Results()[1].debug, debug);
}

TEST_F(ResultStream, MessageModePostsTheRecordAndTakesANewOne) {
  nardix::EnsureMessageWindow();
  nardix::Global().m_bDirectCall.store(0);
  nardix::Global().m_pfnAlgDebug.store(&Recorder::OnDebug);
  Bytes debug(1344, 0);
  kit::WriteLE32(debug.data() + 8, 1);
  const StLprResult* first = h_->m_pResult;
  Feed(Concat({ResultFrame(0x60, 1, debug), ResultFrame(0x40, 1, {5}), kEnd}));
  EXPECT_NE(h_->m_pResult, first);
  ASSERT_TRUE(nardix::MessageWnd()->Window().WaitIdle(3000));
  ASSERT_EQ(Results().size(), 1u);
  const auto dispatcher = nardix::MessageWnd()->Window().DispatcherId();
  EXPECT_EQ(Results()[0].thread, dispatcher);
  EXPECT_EQ(Results()[0].image1, Bytes{5});
  ASSERT_EQ(Recorder::Get().Debug().size(), 1u);
  EXPECT_EQ(Recorder::Get().Debug()[0].thread, dispatcher);
}

std::mutex g_gate;
void NARDIX_CALL WaitAtGate(void*, StLprConnEvent*) { std::lock_guard<std::mutex> lk(g_gate); }

TEST_F(ResultStream, DebugBlocksQueuedAfterTheCallbackIsClearedAreFreedUncalled) {
  nardix::EnsureMessageWindow();
  nardix::Global().m_bDirectCall.store(0);
  nardix::Global().m_pfnLprConnEvent.store(&WaitAtGate);
  LPR_SetAlgDebugInfoCallback(&Recorder::OnDebug);
  Bytes debug(1344, 0);
  kit::WriteLE32(debug.data() + 8, 1);
  {
    // The window is held busy, so the records wait in its queue.
    std::unique_lock<std::mutex> hold(g_gate);
    nardix::MessageWnd()->Post(nardix::kNotifyConnEvent, nardix::NewConnEvent(h_.get(), 0));
    for (int i = 0; i < 3; ++i) Feed(Concat({ResultFrame(0x60, 1, debug), kEnd}));
    LPR_SetAlgDebugInfoCallback(nullptr);
  }
  ASSERT_TRUE(nardix::MessageWnd()->Window().WaitIdle(3000));
  EXPECT_EQ(Results().size(), 3u);
  EXPECT_TRUE(Recorder::Get().Debug().empty());  // and no block leaks (sanitizer build)
}

TEST_F(ResultStream, OversizedFrameIsDumpedIntoTheCameraFolderOrTheCurrentFolder) {
  nardix::test::SetDumpWriter(nullptr);
  pf::test::FreezeClock(1706745599900);  // 2024-01-31 23:59:59
  const Bytes over = Concat({Bytes{0xAA, 0x55, 0xFF, 0x40, 0x01, 0x20, 0x03, 0x00}, Filled(20, 1)});

  nardix::Global().m_log.m_bLogOn.store(1);
  Feed(over);
  const std::string folder = dir_ + "ErrorData/127.0.0.9/";
  EXPECT_EQ(kittest::ReadFile(folder + "errorlen20240131235959.data"), std::string(over.begin(), over.end()));

  // Logging off: no folder is made, and the dump lands in the current folder.
  const std::string cwd = kittest::MakeTempFolder("cwd");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  nardix::Global().m_log.m_bLogOn.store(0);
  h_ = nardix::NewCameraHandle(kittest::Addr("127.0.0.10"));
  Feed(over);
  EXPECT_EQ(chdir(old), 0);
  EXPECT_EQ(kittest::ReadFile(cwd + "errorlen20240131235959.data"), std::string(over.begin(), over.end()));
  EXPECT_FALSE(pf::PathExists(dir_ + "ErrorData/127.0.0.10"));
}

TEST_F(ResultStream, CameraFolderIsMadeOnlyWhileLogging) {
  Feed(Concat({ResultFrame(0x40, 1, {1}), kEnd}));
  EXPECT_FALSE(pf::PathExists(dir_ + "ErrorData"));
  nardix::Global().m_log.m_bLogOn.store(1);
  Feed(Concat({ResultFrame(0x40, 1, {1}), kEnd}));
  EXPECT_TRUE(pf::IsDirectory(dir_ + "ErrorData/127.0.0.9"));
}

// Below the per-user folder, an error-data folder that is not the user's
// takes no dump: neither another user's folder nor a link to one.
TEST_F(ResultStream, OversizedFrameIsNotDumpedIntoAnotherUsersFolder) {
  nardix::test::SetDumpWriter(nullptr);
  nardix::Global().m_log.m_bLogOn.store(1);
  const Bytes over = Concat({Bytes{0xAA, 0x55, 0xFF, 0x40, 0x01, 0x20, 0x03, 0x00}, Filled(20, 1)});
  const std::string spare = kittest::MakeTempFolder("dumpspare");
  struct Case {
    const char* what;
    std::string theirs;  // the other user's folder
    std::string link;    // the link to it below the per-user folder, if any
  } cases[] = {
      {"the camera's folder is another user's", "ErrorData/127.0.0.9", ""},
      {"the error-data folder is a link to another user's folder", "", "ErrorData"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = kittest::TakeFreshPerUserFolder();
    ASSERT_FALSE(root.empty());
    const std::string theirs = c.link.empty() ? root + c.theirs : spare + "theirs";
    if (c.link.empty()) {
      ASSERT_TRUE(pf::MakeFolderPath(root + "ErrorData/"));
    }
    std::string why;
    if (!kittest::MakeFolderOfAnotherUser(theirs, &why)) GTEST_SKIP() << why;
    if (!c.link.empty()) {
      ASSERT_EQ(symlink(theirs.c_str(), (root + c.link).c_str()), 0);
    }
    std::vector<std::string> before, after;
    pf::ListDirectory(theirs, &before);
    nardix::test::SetModulePath(root);
    h_ = nardix::NewCameraHandle(kittest::Addr("127.0.0.9"));
    Feed(over);
    pf::ListDirectory(theirs, &after);
    EXPECT_EQ(after, before) << "nothing made or dumped there";
  }
}

}  // namespace
