// Firmware images: the file checks, the blocks, and a transfer driven by the
// box's acknowledgements.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "box_fixture.h"
#include "device.h"
#include "update.h"

namespace {

using boxtest::BoxFixture;
using boxtest::Bytes;
using boxtest::Frame;

// An image of n bytes whose bytes sum to 0 (unless `sumZero` is false).
Bytes Image(size_t n, bool sumZero = true) {
  Bytes b(n);
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < n; ++i) {
    b[i] = static_cast<uint8_t>(i * 31 + 7);
    sum += b[i];
  }
  b[n - 1] = static_cast<uint8_t>((256 - sum % 256) % 256 + (sumZero ? 0 : 1));
  return b;
}

std::string WriteFile(const std::string& dir, const char* name, const Bytes& b) {
  const std::string path = dir + name;
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(b.data(), 1, b.size(), f);
  fclose(f);
  return path;
}

uint32_t LE32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

struct Progress {
  CBoxDevice* handle;
  uint32_t ip, blocksSent, sub, status, result;
};
std::mutex g_m;
std::vector<Progress> g_progress;
void* g_user = nullptr;

void PYRN_CALL OnProgress(void* user, StUpdateProgress* p) {
  std::lock_guard<std::mutex> lk(g_m);
  g_user = user;
  g_progress.push_back({p->handle, p->ip, p->blocksSent, p->subCommand, p->status, p->result});
}

std::vector<Progress> ProgressSoFar() {
  std::lock_guard<std::mutex> lk(g_m);
  return g_progress;
}

TEST(UpdateFile, NeedsTheLibraryStarted) {
  int count = 5;
  EXPECT_EQ(PyrnBox_LoadUpdateFile("/nonexistent", 0, &count), 200);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(PyrnBox_UpdateDevice(nullptr, "wqzp", OnProgress), 200);
  EXPECT_EQ(PyrnBox_StopUpdate(nullptr), 200);
}

class Update : public BoxFixture {
 protected:
  void SetUp() override {
    BoxFixture::SetUp();
    files_ = kittest::MakeTempFolder("image");
    std::lock_guard<std::mutex> lk(g_m);
    g_progress.clear();
  }
  // Loads an image of `size` bytes, connects to a box that acknowledges
  // nothing by itself and starts the update; returns once the header came.
  void StartManualTransfer(const char* name, size_t size, int* count) {
    ASSERT_EQ(PyrnBox_LoadUpdateFile(WriteFile(files_, name, Image(size)).c_str(), 1, count), 0);
    box_ = std::make_unique<boxtest::FakeBox>("127.0.0.2");
    box_->script().Silent(6, 0);
    box_->script().Silent(6, 1);
    h_ = Connect();
    const int64_t t0 = kittest::NowMs();
    ASSERT_EQ(PyrnBox_UpdateDevice(h_, "wqzp", OnProgress), 0);
    EXPECT_GE(kittest::NowMs() - t0, 450) << "a pause of one reply time (500 ms here) before the header";
    ASSERT_TRUE(box_->script().WaitFrames(6, 0, 1, 2000));
  }
  // An acknowledgement from the box.
  void Ack(uint8_t sub, uint16_t status = 0x8000, uint16_t seq = 0) {
    Frame ack;
    ack.cls = 6;
    ack.sub = sub;
    ack.status = status;
    ack.seq = seq;
    box_->Push(boxtest::Encode(ack));
  }
  std::string files_;
};

TEST_F(Update, FileChecks) {
  const std::string ok = WriteFile(files_, "ok.bin", Image(32768));
  const std::string shortFile = WriteFile(files_, "short.bin", Image(32767));
  const std::string badSum = WriteFile(files_, "sum.bin", Image(40000, false));
  // Longer than the header's 32-bit length can tell (sparse: nothing is
  // written, and the loader must not read it either).
  const std::string huge = files_ + "huge.bin";
  {
    FILE* f = fopen(huge.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ftruncate(fileno(f), 0x100000000LL + 0x8000), 0);
    fclose(f);
  }
  int count = -1;
  struct Case {
    const char* name;
    const char* path;
    int type;
    int* count;
    int result;
  } cases[] = {
      {"null path", nullptr, 0, &count, 1},
      {"null count", ok.c_str(), 0, nullptr, 1},
      {"type 3, before the file is opened", "/nonexistent", 3, &count, 150},
      {"type -1", ok.c_str(), -1, &count, 150},
      {"no such file", "/nonexistent/x.bin", 0, &count, 151},
      {"a folder", files_.c_str(), 0, &count, 151},
      {"32767 bytes", shortFile.c_str(), 0, &count, 152},
      {"sum not zero", badSum.c_str(), 1, &count, 153},
      {"longer than 32 bits tell", huge.c_str(), 0, &count, 151},
      {"32768 bytes", ok.c_str(), 2, &count, 0},
  };
  for (const auto& c : cases) {
    count = -1;
    EXPECT_EQ(PyrnBox_LoadUpdateFile(c.path, c.type, c.count), c.result) << c.name;
    if (c.path && c.count && c.type >= 0 && c.type <= 2) {
      EXPECT_EQ(count, c.result ? 0 : 128) << c.name;
    }
  }
}

TEST_F(Update, AFailedLoadLeavesNoImage) {
  h_ = Connect();
  const std::string good = WriteFile(files_, "a.bin", Image(32768));
  const std::string shortFile = WriteFile(files_, "short.bin", Image(32767));
  const std::string badSum = WriteFile(files_, "sum.bin", Image(40000, false));
  int count = 0;
  const struct {
    const char* path;
    int type;
    int* count;
    int result;
  } cases[] = {
      {"/nonexistent", 3, &count, 150}, {nullptr, 0, &count, 1},           {good.c_str(), 0, nullptr, 1},
      {"/nonexistent", 0, &count, 151}, {shortFile.c_str(), 0, &count, 152}, {badSum.c_str(), 0, &count, 153},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(PyrnBox_LoadUpdateFile(good.c_str(), 0, &count), 0);
    EXPECT_EQ(PyrnBox_LoadUpdateFile(c.path, c.type, c.count), c.result);
    EXPECT_EQ(PyrnBox_UpdateDevice(h_, "wqzp", OnProgress), 155) << "after " << c.result;
  }
  EXPECT_TRUE(box_->script().Frames(6, 0).empty());
}

TEST_F(Update, TheHeaderOfEachImageType) {
  const Bytes file = Image(40000);
  const std::string path = WriteFile(files_, "t.bin", file);
  const struct {
    int type;
    uint32_t address;
    uint8_t kind;
  } cases[] = {{0, 0x08020000, 1}, {1, 0x08060000, 2}, {2, 0, 0}};
  for (const auto& c : cases) {
    int count = 0;
    ASSERT_EQ(PyrnBox_LoadUpdateFile(path.c_str(), c.type, &count), 0);
    EXPECT_EQ(count, 157);
    std::shared_ptr<const pyrn::UpdateImage> img;
    {
      pf::Lock lk(pyrn::Global().m_csImage);
      img = pyrn::Global().m_pImage;
    }
    ASSERT_TRUE(img);
    const Bytes h(img->header, img->header + 20);
    EXPECT_EQ(LE32(h, 0), 40000u);
    EXPECT_EQ(LE32(h, 4), 256u);
    EXPECT_EQ(LE32(h, 8), 157u);
    EXPECT_EQ(LE32(h, 12), c.address) << c.type;
    EXPECT_EQ(h[16], c.kind) << c.type;
    EXPECT_EQ(h[17], file[40000 - 7] % 3);
    EXPECT_EQ(h[18] | h[19], 0);
  }
}

TEST_F(Update, ArgumentsAndTheAccessCode) {
  h_ = Connect();
  int count = 0;
  EXPECT_EQ(PyrnBox_UpdateDevice(h_, "wqzp", OnProgress), 155) << "no image yet";
  ASSERT_EQ(PyrnBox_LoadUpdateFile(WriteFile(files_, "a.bin", Image(32768)).c_str(), 0, &count), 0);
  EXPECT_EQ(PyrnBox_UpdateDevice(nullptr, "wqzp", OnProgress), 1);
  EXPECT_EQ(PyrnBox_UpdateDevice(h_, nullptr, OnProgress), 1);
  EXPECT_EQ(PyrnBox_UpdateDevice(h_, "wqzp", nullptr), 1);
  EXPECT_EQ(PyrnBox_UpdateDevice(h_, "wqzpx", OnProgress), 154);
  EXPECT_EQ(PyrnBox_UpdateDevice(h_, "WQZP", OnProgress), 154);
  EXPECT_EQ(PyrnBox_UpdateDevice(h_, "wqz", OnProgress), 154);
  EXPECT_EQ(PyrnBox_UpdateDevice(reinterpret_cast<CBoxDevice*>(&count), "wqzp", OnProgress), 7);
  EXPECT_EQ(PyrnBox_StopUpdate(nullptr), 1);
  EXPECT_EQ(PyrnBox_StopUpdate(reinterpret_cast<CBoxDevice*>(&count)), 7);
  EXPECT_EQ(PyrnBox_StopUpdate(h_), 157) << "no update under way";
  EXPECT_TRUE(box_->script().Frames(6, 0).empty());
}

TEST_F(Update, ALinkThatIsDownOrCannotSend) {
  h_ = Connect();
  int count = 0;
  ASSERT_EQ(PyrnBox_LoadUpdateFile(WriteFile(files_, "a.bin", Image(32768)).c_str(), 0, &count), 0);
  std::shared_ptr<CBoxDevice> d = pyrn::FindDevice(h_);
  d->m_bConnected.store(0);  // as a dropped link leaves it
  EXPECT_EQ(PyrnBox_UpdateDevice(h_, "wqzp", OnProgress), 14);
  EXPECT_EQ(PyrnBox_StopUpdate(h_), 14);
  d->m_bConnected.store(1);
  {
    // The socket is there but takes nothing more.
    pf::Lock lk(d->m_csSocket);
    pf::ShutdownSocket(d->m_hSocket.load());
  }
  EXPECT_EQ(PyrnBox_UpdateDevice(h_, "wqzp", OnProgress), 17);
  EXPECT_TRUE(box_->script().Frames(6, 0).empty());
  EXPECT_TRUE(ProgressSoFar().empty());
}

TEST_F(Update, TheBlocksOfAnImageOfOneByteMoreThanItsBlocks) {
  const Bytes file = Image(32769);
  int count = 0;
  // The test sends each acknowledgement and looks at each block.
  StartManualTransfer("b.bin", 32769, &count);
  EXPECT_EQ(count, 129);
  const Frame header = box_->script().Frames(6, 0)[0];
  EXPECT_EQ(header.dir, 1);
  ASSERT_EQ(header.payload.size(), 20u);
  EXPECT_EQ(LE32(header.payload, 0), 32769u);
  EXPECT_EQ(LE32(header.payload, 4), 256u);
  EXPECT_EQ(LE32(header.payload, 8), 129u);
  EXPECT_EQ(LE32(header.payload, 12), 0x08060000u);
  EXPECT_EQ(header.payload[16], 2);
  EXPECT_EQ(header.payload[17], file[32769 - 7] % 3);
  EXPECT_EQ(header.payload[18] | header.payload[19], 0);

  Ack(0, 0x8000, header.seq);
  for (int i = 0; i < 129; ++i) {
    ASSERT_TRUE(box_->script().WaitFrames(6, 1, static_cast<size_t>(i + 1), 2000)) << i;
    const Frame block = box_->script().Frames(6, 1)[static_cast<size_t>(i)];
    ASSERT_EQ(block.payload.size(), 268u);
    const size_t n = i < 128 ? 256 : 1;
    EXPECT_EQ(LE32(block.payload, 0), n);
    EXPECT_EQ(LE32(block.payload, 4), static_cast<uint32_t>(i));
    uint8_t sum = block.payload[8];
    for (size_t k = 0; k < n; ++k) {
      ASSERT_EQ(block.payload[12 + k], file[256 * static_cast<size_t>(i) + k]);
      sum = static_cast<uint8_t>(sum + block.payload[12 + k]);
    }
    EXPECT_EQ(sum, 0) << "data and checksum sum to 0";
    EXPECT_EQ(block.payload[9] | block.payload[10] | block.payload[11], 0);
    if (i == 128) {
      EXPECT_EQ(block.payload[8], static_cast<uint8_t>(-file.back()));
      EXPECT_EQ(Bytes(block.payload.begin() + 13, block.payload.end()), Bytes(255, 0));
    }
    Ack(1, 0x8000, block.seq);
  }
  Ack(2);
  ASSERT_TRUE(kittest::WaitUntil([] { return ProgressSoFar().size() == 131; }, 3000));
  const auto p = ProgressSoFar();
  EXPECT_EQ(p[0].sub, 0u);
  EXPECT_EQ(p[0].blocksSent, 0u);
  EXPECT_EQ(p[0].result, 0u);
  EXPECT_EQ(p[0].status, 0x8000u);
  EXPECT_EQ(p[0].handle, h_);
  EXPECT_EQ(p[0].ip, kittest::Addr("127.0.0.2"));
  EXPECT_EQ(p[129].sub, 1u);
  EXPECT_EQ(p[129].blocksSent, 129u) << "after the last block's acknowledgement";
  EXPECT_EQ(p[129].result, 0u);
  EXPECT_EQ(p[130].sub, 2u);
  EXPECT_EQ(box_->script().Frames(6, 1).size(), 129u) << "no block after the last";
}

// A box that acknowledges everything at once and ends the transfer.
void AutoAck(boxtest::BoxScript& s, size_t blocks, uint16_t blockStatus = 0x8000) {
  s.SetHandler([blocks, blockStatus](const Frame& req, const boxtest::BoxScript::Send& send) {
    if (req.cls != 6) return false;
    Frame ack;
    ack.cls = 6;
    ack.sub = req.sub;
    ack.seq = req.seq;
    ack.status = req.sub == 0 ? 0x8000 : blockStatus;
    send(boxtest::Encode(ack));
    if (req.sub == 1 && req.payload.size() == 268 && req.payload[4] + 1u == blocks) {
      ack.sub = 2;
      send(boxtest::Encode(ack));
    }
    return true;
  });
}

TEST_F(Update, AWholeTransferThenStopThenAnotherOne) {
  int count = 0;
  ASSERT_EQ(PyrnBox_LoadUpdateFile(WriteFile(files_, "c.bin", Image(32768 + 512)).c_str(), 0, &count), 0);
  ASSERT_EQ(count, 130);
  box_ = std::make_unique<boxtest::FakeBox>("127.0.0.2");
  AutoAck(box_->script(), 130);
  h_ = Connect();
  ASSERT_EQ(PyrnBox_UpdateDevice(h_, "wqzp", OnProgress), 0);
  ASSERT_TRUE(kittest::WaitUntil([] { return ProgressSoFar().size() == 132; }, 5000));
  EXPECT_EQ(g_user, nullptr) << "the user pointer of start-up";
  EXPECT_EQ(ProgressSoFar().back().sub, 2u);

  EXPECT_EQ(PyrnBox_StopUpdate(h_), 0);
  EXPECT_EQ(PyrnBox_StopUpdate(h_), 157);
  Frame stray;
  stray.cls = 5;
  stray.sub = 7;
  box_->Push(boxtest::Encode(stray));
  ASSERT_TRUE(kittest::WaitUntil([] { return ProgressSoFar().size() == 133; }, 2000));
  EXPECT_EQ(ProgressSoFar().back().result, 158u);
  EXPECT_EQ(ProgressSoFar().back().sub, 7u);

  // The next transfer starts over; its first record shows the earlier count.
  {
    std::lock_guard<std::mutex> lk(g_m);
    g_progress.clear();
  }
  ASSERT_EQ(PyrnBox_UpdateDevice(h_, "wqzp", OnProgress), 0);
  ASSERT_TRUE(kittest::WaitUntil([] { return ProgressSoFar().size() == 132; }, 5000));
  EXPECT_EQ(ProgressSoFar()[0].blocksSent, 130u);
  EXPECT_EQ(box_->script().Frames(6, 1).size(), 260u);
}

TEST_F(Update, AcknowledgementsOutOfTurn) {
  int count = 0;
  StartManualTransfer("d.bin", 32768, &count);
  Ack(1);  // a block acknowledged before the header: ignored
  Ack(2);  // finished before any block: ignored
  Ack(0, 0x0001);  // the header refused: reported, nothing sent
  ASSERT_TRUE(kittest::WaitUntil([] { return ProgressSoFar().size() == 1; }, 2000));
  EXPECT_EQ(ProgressSoFar()[0].status, 1u);
  EXPECT_EQ(ProgressSoFar()[0].result, 0u);
  Ack(0);
  ASSERT_TRUE(box_->script().WaitFrames(6, 1, 1, 2000));
  Ack(1, 0x0002);  // a block refused: nothing further until it is acknowledged
  ASSERT_TRUE(kittest::WaitUntil([] { return ProgressSoFar().size() == 3; }, 2000));
  EXPECT_EQ(ProgressSoFar()[2].status, 2u);
  EXPECT_EQ(box_->script().Frames(6, 1).size(), 1u);
}

// Acknowledgements that a bad head held from before the header went out are
// parsed again 5 s later: they answer nothing of this transfer.
TEST_F(Update, AcknowledgementsThatCameBeforeTheHeaderAreNotItsAnswer) {
  int count = 0;
  ASSERT_EQ(PyrnBox_LoadUpdateFile(WriteFile(files_, "f.bin", Image(32768)).c_str(), 1, &count), 0);
  box_ = std::make_unique<boxtest::FakeBox>("127.0.0.2");
  box_->script().Silent(6, 0);
  box_->script().Silent(6, 1);
  h_ = Connect();
  Bytes early = boxtest::Head(0xFFFF);
  for (uint8_t sub : {0, 1, 1, 2}) {
    Frame ack;
    ack.cls = 6;
    ack.sub = sub;
    ack.status = 0x8000;
    const Bytes b = boxtest::Encode(ack);
    early.insert(early.end(), b.begin(), b.end());
  }
  const int64_t t0 = kittest::NowMs();
  ASSERT_TRUE(box_->Push(early));
  ASSERT_EQ(PyrnBox_UpdateDevice(h_, "wqzp", OnProgress), 0);
  ASSERT_TRUE(box_->script().WaitFrames(6, 0, 1, 2000));
  // Past the head's time, with a margin for its bytes to be parsed again.
  ASSERT_TRUE(kittest::WaitUntil([&] { return kittest::NowMs() - t0 > pyrn::kFrameLimitMs + 500; }, 7000));
  EXPECT_TRUE(box_->script().Frames(6, 1).empty()) << "no block went for an early acknowledgement";
  EXPECT_TRUE(ProgressSoFar().empty());
  Ack(0);  // the header's own
  EXPECT_TRUE(box_->script().WaitFrames(6, 1, 1, 2000));
}

// Two acknowledgements in one receive: the first sends a block, and the
// second came before that block went, however close in time (the same
// millisecond, as a rule). It answers nothing; the block's own does.
TEST_F(Update, AnAcknowledgementThatCameWithTheOneAnsweredIsNotTheNextBlocksAnswer) {
  int count = 0;
  StartManualTransfer("g.bin", 32768, &count);
  ASSERT_FALSE(HasFatalFailure());
  auto ack = [](uint8_t sub) {
    Frame f;
    f.cls = 6;
    f.sub = sub;
    f.status = 0x8000;
    return boxtest::Encode(f);
  };
  Bytes two = ack(0);
  const Bytes block = ack(1);
  two.insert(two.end(), block.begin(), block.end());
  ASSERT_TRUE(box_->Push(two));
  ASSERT_TRUE(box_->script().WaitFrames(6, 1, 1, 2000));
  EXPECT_FALSE(box_->script().WaitFrames(6, 1, 2, 500)) << "a second block for an acknowledgement that came before the first";
  Ack(1);
  ASSERT_TRUE(box_->script().WaitFrames(6, 1, 2, 2000));
  EXPECT_FALSE(box_->script().WaitFrames(6, 1, 3, 300));
  EXPECT_EQ(box_->script().Frames(6, 1).size(), 2u);
}

TEST_F(Update, ATransferOutlivesQuitAndAFailedBlockSendIsReported) {
  int count = 0;
  StartManualTransfer("e.bin", 32768, &count);
  PyrnBox_Quit();  // frees the loaded image; the transfer keeps its own
  Ack(0);
  ASSERT_TRUE(box_->script().WaitFrames(6, 1, 1, 2000));
  EXPECT_EQ(box_->script().Frames(6, 1)[0].payload.size(), 268u);

  // The link goes away under the transfer: the next block cannot be sent.
  std::shared_ptr<CBoxDevice> d = pyrn::FindDevice(h_);
  {
    pf::Lock lk(d->m_csSocket);
    d->m_hSocket.store(pf::INVALID_SOCKET);  // as a dropped link leaves it
  }
  Ack(1);  // the fake's side of the connection still works
  ASSERT_TRUE(kittest::WaitUntil([] { return ProgressSoFar().size() == 2; }, 2000));
  EXPECT_EQ(ProgressSoFar()[1].result, 17u);
  EXPECT_EQ(ProgressSoFar()[1].blocksSent, 1u);
}

TEST_F(Update, OverTheSerialLine) {
  ASSERT_EQ(PyrnBox_LoadUpdateFile(WriteFile(files_, "f.bin", Image(32768)).c_str(), 2, nullptr), 1);
  int count = 0;
  ASSERT_EQ(PyrnBox_LoadUpdateFile(WriteFile(files_, "f.bin", Image(32768)).c_str(), 2, &count), 0);
  boxtest::FakeSerialBox pty;
  ASSERT_TRUE(pty.Ok());
  AutoAck(pty.script(), 128);
  ASSERT_EQ(PyrnBox_ConnectDeviceEx("10.0.0.1", &h_, pty.SlavePath().c_str(), 115200, 0, 8, 0), 0);
  ASSERT_EQ(PyrnBox_UpdateDevice(h_, "wqzp", OnProgress), 0);
  ASSERT_TRUE(kittest::WaitUntil([] { return ProgressSoFar().size() == 130; }, 10000));
  EXPECT_EQ(ProgressSoFar().back().sub, 2u);
  EXPECT_EQ(LE32(pty.script().Frames(6, 0)[0].payload, 12), 0u) << "image type 2: no flash address";
  EXPECT_EQ(pty.script().Frames(6, 0)[0].payload[16], 0);
  PyrnBox_DisconnectDevice(h_);
  h_ = nullptr;
}

}  // namespace
