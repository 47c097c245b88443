// The receive store of the stream channels against a plain model of what it
// holds: the held bytes, their sums and their arrival times stay right across
// receives of any size, reads and the moves that make room.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "stream_window.h"

namespace {

struct Held {
  uint8_t byte;
  int64_t atMs;
  uint64_t sendsBefore;  // requests noted before it was received
};

TEST(StreamWindow, HoldsWhatArrivedWithItsSumsAndTimesAcrossMoves) {
  const struct {
    const char* name;
    uint32_t bound, room;
    int maxStepMs;
  } cases[] = {{"reply store", 1039, 1024, 30}, {"result store", 204812, 65536, 3}, {"small store", 40, 8, 25}};
  for (const auto& c : cases) {
    nardix::StreamWindow w(c.bound, c.room, true);
    ASSERT_TRUE(w.Ok());
    std::mt19937 rng(7);
    std::deque<Held> model;
    int64_t now = 1000;
    uint64_t taken = 0;
    uint8_t next = 0;
    uint64_t sends = 0;
    for (int round = 0; round < 3000; ++round) {
      // A frame under way of up to the bound is waited for.
      w.Want(rng() % 2 ? static_cast<uint32_t>(model.size() + rng() % (c.bound - model.size() + 1)) : 0);
      // Requests go out now and then: between receives, or while one waits
      // (its bytes then count as after it).
      if (rng() % 5 == 0) sends = w.NoteSend();
      uint32_t room = 0;
      uint8_t* at = w.Space(&room);
      ASSERT_GE(room, std::min<uint32_t>(c.room, 16 * 1024)) << c.name;
      if (rng() % 5 == 0) sends = w.NoteSend();
      const uint32_t n = std::min<uint32_t>(room, 1 + rng() % (round % 7 == 0 ? c.room : 64));
      now += rng() % (c.maxStepMs + 1);
      for (uint32_t i = 0; i < n; ++i) {
        at[i] = next;
        model.push_back({next, now, sends});
        next = static_cast<uint8_t>(next * 31 + 7);
      }
      w.Arrived(n, now);
      // Read past some, leaving no more than the bound held.
      size_t take = model.empty() ? 0 : rng() % (model.size() + 1);
      if (model.size() - take > c.bound - 1) take = model.size() - (c.bound - 1);
      w.Take(static_cast<uint32_t>(take));
      model.erase(model.begin(), model.begin() + static_cast<long>(take));
      taken += take;

      ASSERT_EQ(w.Held(), model.size()) << c.name;
      ASSERT_EQ(w.Offset(), taken) << c.name;
      if (model.empty()) continue;
      for (size_t i = 0; i < model.size(); i += 1 + model.size() / 16)
        ASSERT_EQ(w.Data()[i], model[i].byte) << c.name << " byte " << i;
      const uint32_t from = static_cast<uint32_t>(rng() % model.size());
      const uint32_t len = static_cast<uint32_t>(rng() % (model.size() - from + 1));
      uint8_t sum = 0;
      for (uint32_t i = from; i < from + len; ++i) sum = static_cast<uint8_t>(sum + model[i].byte);
      ASSERT_EQ(w.Sum(from, len), sum) << c.name;
      // The first held byte's time: never earlier than it came, for a time
      // limit, and within the few milliseconds that receives share a
      // record; and the requests that went out before it was received.
      ASSERT_GE(w.ArrivedLatestMs(), model.front().atMs) << c.name;
      ASSERT_LE(w.ArrivedLatestMs(), now) << c.name;
      ASSERT_LT(w.ArrivedLatestMs() - model.front().atMs, 20) << c.name;
      ASSERT_EQ(w.SendsBefore(), model.front().sendsBefore) << c.name;
    }
  }
}

TEST(StreamWindow, BytesReceivedBeforeARequestWentOutCountAsBeforeItEvenInOneMillisecond) {
  nardix::StreamWindow w(1039, 1024, false);
  uint32_t room = 0;
  auto receive = [&](int64_t ms, bool sendMeanwhile = false) {
    w.Space(&room);
    if (sendMeanwhile) w.NoteSend();  // while the receive waits
    w.Arrived(5, ms);
  };
  receive(1000);  // a reply that came before the request
  const uint64_t first = w.NoteSend();
  receive(1000);  // its answer, in the same millisecond
  receive(1001, true);
  receive(1002);
  const uint64_t expected[] = {first - 1, first, first + 1, first + 1};
  for (uint64_t sends : expected) {
    EXPECT_EQ(w.SendsBefore(), sends);
    w.Take(5);
  }
  // Without a request in between, close receives share one record and its
  // latest time.
  receive(1005);
  receive(1010);
  EXPECT_EQ(w.ArrivedLatestMs(), 1010);
  w.Take(5);
  EXPECT_EQ(w.ArrivedLatestMs(), 1010);
}

}  // namespace
