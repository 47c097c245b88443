// Fuzz target: the loading of a box firmware image file.
//
// Input: byte 0 chooses the image type (-1 to 3), bytes 1-2 how much longer
// than 32512 bytes the file is (so that small inputs make files just short of
// the 32768-byte minimum and well over it), byte 3 its flags (bit 0: the last
// byte is set so that all bytes sum to 0; bit 1: the path names a folder, not
// the file); the rest is the content, repeated to the file's length (zeros
// when there is none). The file is loaded through the export from an
// in-memory file. The result must be the one that the rules written here
// give; a failed load leaves no image, and a loaded image holds the file:
// its header, and blocks that give back every byte with their lengths,
// indices and checksums. Any difference aborts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PyrnBox.h"
#include "fuzz_check.h"
#include "context.h"
#include "update.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The harness's own byte loops carry no coverage tracing: the fuzzer's
// time goes to the loader.
#if defined(__clang__)
#define HARNESS_LOOPS __attribute__((no_sanitize("coverage")))
#else
#define HARNESS_LOOPS
#endif

uint32_t LE32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// What loading a file of these bytes as this image type gives: 150 a type
// outside 0 to 2, 152 fewer than 32768 bytes, 153 bytes that do not sum to 0
// in 8 bits, else 0 with one block per started 256 bytes.
HARNESS_LOOPS int Expected(int type, const Bytes& file, int* blocks) {
  *blocks = 0;
  if (type < 0 || type > 2) return 150;
  if (file.size() < 32768) return 152;
  uint8_t sum = 0;
  for (uint8_t b : file) sum = static_cast<uint8_t>(sum + b);
  if (sum != 0) return 153;
  *blocks = static_cast<int>((file.size() + 255) / 256);
  return 0;
}

HARNESS_LOOPS void CheckImage(const pyrn::UpdateImage& img, int type, const Bytes& file) {
  static const uint32_t kAddress[3] = {0x08020000, 0x08060000, 0};
  static const uint8_t kKind[3] = {1, 2, 0};
  const uint8_t* h = img.header;
  FUZZ_CHECK(LE32(h) == file.size());
  FUZZ_CHECK(LE32(h + 4) == 256);
  FUZZ_CHECK(LE32(h + 8) == img.blocks.size());
  FUZZ_CHECK(LE32(h + 12) == kAddress[type]);
  FUZZ_CHECK(h[16] == kKind[type]);
  FUZZ_CHECK(h[17] == file[file.size() - 7] % 3);
  FUZZ_CHECK(h[18] == 0 && h[19] == 0);
  size_t at = 0;
  for (size_t i = 0; i < img.blocks.size(); ++i) {
    const uint8_t* b = img.blocks[i].data();
    const size_t n = LE32(b);
    FUZZ_CHECK(n >= 1 && n <= 256 && (n == 256 || i + 1 == img.blocks.size()));
    FUZZ_CHECK(LE32(b + 4) == i);
    FUZZ_CHECK(b[9] == 0 && b[10] == 0 && b[11] == 0);
    uint8_t sum = b[8];
    for (size_t k = 0; k < n; ++k) {
      FUZZ_CHECK(b[12 + k] == file[at + k]);
      sum = static_cast<uint8_t>(sum + b[12 + k]);
    }
    FUZZ_CHECK(sum == 0);
    for (size_t k = n; k < 256; ++k) FUZZ_CHECK(b[12 + k] == 0);
    at += n;
  }
  FUZZ_CHECK(at == file.size());
}

// The content repeated to the length; when `sumZero`, the last byte makes
// all bytes sum to 0.
HARNESS_LOOPS Bytes MakeFile(size_t length, const uint8_t* content, size_t contentLen, bool sumZero) {
  Bytes file(length, 0);
  if (contentLen)
    for (size_t i = 0; i < length; ++i) file[i] = content[i % contentLen];
  if (sumZero) {
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < length; ++i) sum = static_cast<uint8_t>(sum + file[i]);
    file[length - 1] = static_cast<uint8_t>(-sum);
  }
  return file;
}

struct Setup {
  Setup() {
    pyrn::Global().g_bInit.store(1);  // loading needs a started library; no thread is started
    fd = memfd_create("image", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  int fd;
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;
  if (size < 4) return 0;
  const int type = data[0] % 5 - 1;
  const size_t length = 32512 + (data[1] | (data[2] << 8));
  const uint8_t flags = data[3];
  const uint8_t* content = data + 4;
  const size_t contentLen = size - 4;

  const Bytes file = MakeFile(length, content, contentLen, (flags & 1) != 0);
  FUZZ_CHECK(ftruncate(setup->fd, 0) == 0);
  FUZZ_CHECK(pwrite(setup->fd, file.data(), file.size(), 0) == static_cast<ssize_t>(file.size()));

  // An earlier image is there before every load; whatever follows drops it.
  {
    pyrn::CBoxGlobal& g = pyrn::Global();
    pf::Lock lk(g.m_csImage);
    g.m_pImage = std::make_shared<pyrn::UpdateImage>();
  }
  const bool folder = (flags & 2) != 0;
  int blocks = -1;
  const int r = PyrnBox_LoadUpdateFile(folder ? "/proc/self" : setup->path.c_str(), type, &blocks);
  int wantBlocks = 0;
  int want = Expected(type, file, &wantBlocks);
  if (folder && want != 150) want = 151, wantBlocks = 0;
  FUZZ_CHECK(r == want);
  FUZZ_CHECK(blocks == wantBlocks);

  std::shared_ptr<const pyrn::UpdateImage> img;
  {
    pyrn::CBoxGlobal& g = pyrn::Global();
    pf::Lock lk(g.m_csImage);
    img = g.m_pImage;
  }
  if (r != 0) {
    FUZZ_CHECK(!img);
    return 0;
  }
  FUZZ_CHECK(img && static_cast<int>(img->blocks.size()) == blocks);
  CheckImage(*img, type, file);
  return 0;
}
