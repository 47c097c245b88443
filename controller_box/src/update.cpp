#include "update.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "bytes.h"
#include "context.h"
#include "reports.h"

namespace pyrn {

namespace {
constexpr size_t kMinImageSize = 0x8000;
// The header holds the file length in 32 bits.
constexpr uint64_t kMaxImageSize = 0xFFFFFFFFu;

// Reads a whole image file: 0, or 151 when it cannot be opened or read, is
// not a regular file, or is too long for the header (such a file is not read
// into memory at all).
int ReadImageFile(const char* path, std::vector<uint8_t>* file) {
  FILE* fp = fopen(path, "rb");
  if (!fp) return 151;
  struct stat st;
  bool failed = fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode) ||
                static_cast<uint64_t>(st.st_size) > kMaxImageSize;
  try {
    if (!failed) file->reserve(static_cast<size_t>(st.st_size));
    uint8_t buf[65536];
    size_t n;
    while (!failed && (n = fread(buf, 1, sizeof buf, fp)) > 0) {
      file->insert(file->end(), buf, buf + n);
      failed = file->size() > kMaxImageSize;  // grown while read
    }
  } catch (const std::bad_alloc&) {
    failed = true;
  }
  failed = failed || ferror(fp) != 0;
  fclose(fp);
  return failed ? 151 : 0;
}
}  // namespace

std::shared_ptr<UpdateImage> BuildUpdateImage(const std::vector<uint8_t>& file,
                                              uint32_t flashAddress, uint8_t kind) {
  auto img = std::make_shared<UpdateImage>();
  const uint32_t len = static_cast<uint32_t>(file.size());
  const uint32_t count = static_cast<uint32_t>((file.size() + kBlockData - 1) / kBlockData);
  kit::WriteLE32(img->header, len);
  kit::WriteLE32(img->header + 4, kBlockData);
  kit::WriteLE32(img->header + 8, count);
  kit::WriteLE32(img->header + 12, flashAddress);
  img->header[16] = kind;
  img->header[17] = file.size() >= 7 ? static_cast<uint8_t>(file[file.size() - 7] % 3) : 0;
  img->blocks.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    auto& b = img->blocks[i];
    b.fill(0);
    const size_t at = static_cast<size_t>(i) * kBlockData;
    const size_t n = file.size() - at < kBlockData ? file.size() - at : kBlockData;
    kit::WriteLE32(b.data(), static_cast<uint32_t>(n));
    kit::WriteLE32(b.data() + 4, i);
    uint8_t sum = 0;
    for (size_t k = 0; k < n; ++k) sum = static_cast<uint8_t>(sum + file[at + k]);
    b[8] = static_cast<uint8_t>(-sum);
    memcpy(b.data() + 12, file.data() + at, n);
  }
  return img;
}

void FreeUpdateImage() {
  CBoxGlobal& g = Global();
  pf::Lock lk(g.m_csImage);
  g.m_pImage.reset();
}

int SendUpdateBlock(CBoxDevice& d) {
  const std::shared_ptr<const UpdateImage> img = d.m_pImage;
  if (!img || d.m_nBlocksSent >= img->blocks.size()) return 156;
  const auto& block = img->blocks[d.m_nBlocksSent];
  const std::vector<uint8_t> f =
      MakeFrame(1, d.NextSeq(), 6, 1, block.data(), static_cast<uint16_t>(block.size()));
  d.m_nUpdateSentAt = d.m_parser.Taken();
  if (SendFrame(d, f.data(), f.size()) <= 0) return 17;
  ++d.m_nBlocksSent;
  return 0;
}

void HandleFirmwareFrame(CBoxDevice& d, const FrameView& f) {
  StUpdateProgress pr;
  memset(&pr, 0, sizeof pr);
  PyrnUpdateProgressCallback cb;
  {
    pf::Lock lk(d.m_csUpdate);
    cb = d.m_pfnUpdate;
    pr.handle = &d;
    pr.ip = d.m_dwIP;
    pr.blocksSent = d.m_nBlocksSent;
    pr.subCommand = f.Sub();
    pr.status = f.Status();
    if (!d.m_bUpdating) {
      pr.result = 158;
    } else if (f.at < d.m_nUpdateSentAt) {
      return;
    } else if (f.Sub() == 0) {
      d.m_nUpdateState = 0;
      d.m_nBlocksSent = 0;
      d.DeliverReply(f);
      if (f.Status() == kStatusOk) pr.result = static_cast<uint32_t>(SendUpdateBlock(d));
    } else if (f.Sub() == 1) {
      if (d.m_nUpdateState == -1) return;
      d.m_nUpdateState = 1;
      const size_t count = d.m_pImage ? d.m_pImage->blocks.size() : 0;
      if (f.Status() == kStatusOk && d.m_nBlocksSent != count)
        pr.result = static_cast<uint32_t>(SendUpdateBlock(d));
    } else if (f.Sub() == 2) {
      if (d.m_nUpdateState != 1) return;
      d.m_nUpdateState = 2;
    } else {
      return;
    }
  }
  if (cb) cb(Global().m_pUser.load(), &pr);
}

}  // namespace pyrn

using namespace pyrn;

extern "C" {

PYRN_API int PYRN_CALL PyrnBox_LoadUpdateFile(const char* path, int imageType, int* blockCount) {
  CBoxGlobal& g = Global();
  if (!g.g_bInit.load()) return 200;
  FreeUpdateImage();
  if (!path || !blockCount) return 1;
  *blockCount = 0;
  uint32_t address;
  uint8_t kind;
  switch (imageType) {
    case 0: address = 0x08020000; kind = 1; break;
    case 1: address = 0x08060000; kind = 2; break;
    case 2: address = 0; kind = 0; break;
    default: return 150;
  }
  std::vector<uint8_t> file;
  const int read = ReadImageFile(path, &file);
  if (read != 0) return read;
  if (file.size() < kMinImageSize) return 152;
  uint8_t sum = 0;
  for (uint8_t b : file) sum = static_cast<uint8_t>(sum + b);
  if (sum != 0) return 153;
  std::shared_ptr<UpdateImage> img;
  try {
    img = BuildUpdateImage(file, address, kind);
  } catch (const std::bad_alloc&) {
    return 151;  // no room for the blocks of so large a file
  }
  const int count = static_cast<int>(img->blocks.size());
  {
    pf::Lock lk(g.m_csImage);
    g.m_pImage = std::move(img);
  }
  *blockCount = count;
  return 0;
}

PYRN_API int PYRN_CALL PyrnBox_UpdateDevice(CBoxDevice* handle, const char* accessCode,
                                            PyrnUpdateProgressCallback cb) {
  CBoxGlobal& g = Global();
  if (!g.g_bInit.load()) return 200;
  if (!handle || !accessCode || !cb) return 1;
  if (strcmp(accessCode, "wqzp") != 0) return 154;
  std::shared_ptr<const UpdateImage> img;
  {
    pf::Lock lk(g.m_csImage);
    img = g.m_pImage;
  }
  if (!img || img->blocks.empty()) return 155;
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  const int r = CheckConnection(handle, &d, &timeout);
  if (r != 0) return r;
  {
    pf::Lock lk(d->m_csUpdate);
    d->m_nUpdateState = -1;
  }
  // A quiet pause of one reply time before the header (ended early only by
  // a disconnection).
  d->m_evPause.Wait(timeout);
  std::vector<uint8_t> f;
  {
    pf::Lock lk(d->m_csUpdate);
    d->m_pfnUpdate = cb;
    d->m_pImage = img;
    f = MakeFrame(1, d->NextSeq(), 6, 0, img->header, kUpdateHeaderSize);
    d->m_bUpdating = 1;
    d->m_nUpdateSentAt = d->m_parser.Taken();
  }
  return SendFrame(*d, f.data(), f.size()) > 0 ? 0 : 17;
}

PYRN_API int PYRN_CALL PyrnBox_StopUpdate(CBoxDevice* handle) {
  if (!Global().g_bInit.load()) return 200;
  if (!handle) return 1;
  std::shared_ptr<CBoxDevice> d;
  int timeout = 0;
  const int r = CheckConnection(handle, &d, &timeout);
  if (r != 0) return r;
  pf::Lock lk(d->m_csUpdate);
  if (!d->m_bUpdating) return 157;
  d->m_bUpdating = 0;
  return 0;
}

}  // extern "C"
