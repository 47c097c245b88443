// Fuzz target: what a camera sends on the XML and algorithm file channel.
//
// Input: one byte, then the stream the camera sends. Bit 0 of the byte puts
// the channel in algorithm-file mode, the other bits choose how the stream is
// cut into receives. The stream goes through the channel's reassembly (a
// frame still under way at its end is dropped at its deadline) into
// its reply handler (version, file information, blocks), which stores files
// and loads them into the description cache as it does for a camera; the
// requests it would send go nowhere (the channel has no socket). The harness
// works in a folder of its own, emptied before each input. Afterwards every
// file must lie in the XML folder (or be the algorithm file's own path),
// every cached record must be a file there under its own namespace (an
// extension file under its id in the spelling of its file name), every
// index entry must name a file there, and the file buffer must hold what has
// arrived of the file under way and no more than twice that room (it grows
// with the blocks, not with the size announced). Any difference aborts.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "context.h"
#include "folders.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "xml_cache.h"
#include "xml_channel.h"
#include "xml_fuzz_support.h"

namespace {

const std::string& Folder() {
  const std::string& folder = xmlfuzz::OwnFolder("xml_channel_fuzz");
  qelm::test::SetModulePath(folder);
  return folder;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// Every entry of a folder: files only in "XML/" (no folders there), and the
// algorithm file beside it.
void CheckFolder(const std::string& folder, const std::string& algPath) {
  DIR* d = opendir(folder.c_str());
  FUZZ_CHECK(d != nullptr);
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + name;
    struct stat st;
    FUZZ_CHECK(lstat(path.c_str(), &st) == 0);
    if (folder == Folder() && name == "XML") {
      FUZZ_CHECK(S_ISDIR(st.st_mode));
      CheckFolder(path + "/", algPath);
      continue;
    }
    FUZZ_CHECK(S_ISREG(st.st_mode));
    FUZZ_CHECK(folder == Folder() + "XML/" || path == algPath);
  }
  closedir(d);
}

// Receive sizes: all the buffer takes (seed 0), or a mix of small and large.
size_t NextCut(uint32_t* state, size_t space) {
  if (*state == 0) return space;
  *state ^= *state << 13;
  *state ^= *state >> 17;
  *state ^= *state << 5;
  const size_t n = (*state & 1) ? 1 + (*state >> 1) % 64 : 1 + (*state >> 1) % 5000;
  return n < space ? n : space;
}

// The file under way holds what has arrived, in no more than twice its room,
// and never more than its information announced.
void CheckFileBuffer(const qelm::StXMLChannel& ch) {
  FUZZ_CHECK(ch.m_received == ch.m_fileBuffer.size() || ch.m_fileBuffer.empty());
  FUZZ_CHECK(ch.m_fileBuffer.capacity() <= 2 * ch.m_fileBuffer.size());
  if (ch.m_hasFile) FUZZ_CHECK(ch.m_received <= ch.m_fileSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string& folder = Folder();
  const std::string xml = folder + "XML/";
  const std::string algPath = folder + "alg.out";
  static qelm::StXMLChannel* ch = new qelm::StXMLChannel;  // its buffer is a megabyte

  qelm::FreeXMLDescriptions();
  kit::DeleteFolderTree(folder + "XML");
  remove(algPath.c_str());
  FUZZ_CHECK(kit::CreateFolderPath(xml));
  qelm::Global().m_nMainXMLSeq.store(0);
  ch->m_recv.Clear();
  ch->m_bAlgMode = data[0] & 1;
  ch->m_targetPath = algPath;
  ch->m_requestedVersion.clear();
  ch->m_workingVersion.clear();
  memset(ch->m_fileInfo, 0, sizeof ch->m_fileInfo);
  std::vector<uint8_t>().swap(ch->m_fileBuffer);
  ch->m_hasFile = false;
  ch->m_fileSize = ch->m_received = ch->m_nextBlock = 0;
  // As a call starts the channel: the XML channel waits for the version, the
  // algorithm channel for its file's information.
  ch->m_awaited = ch->m_bAlgMode ? qelm::kXmlFileInfo : qelm::kXmlVersion;
  ch->m_fileIds[0] = ch->m_fileIds[1] = 0;

  // Each frame comes after the request before it (the camera answers in
  // turn); within a frame, the items after one that sends a request answer
  // nothing.
  const qelm::StRecvState::Handler handler = [](qelm::FrameBuffer& f) {
    ch->m_sentAt.store(0);
    qelm::HandleXMLFrame(ch, f);
  };
  uint32_t cut = data[0] >> 1 ? 0x9E3779B9u * (data[0] >> 1) : 0;
  for (size_t at = 1; at < size;) {
    const size_t space = ch->m_recv.RecvSpace();
    FUZZ_CHECK(space > 0);
    size_t k = NextCut(&cut, space);
    if (k > size - at) k = size - at;
    memcpy(ch->m_recv.RecvPtr(), data + at, k);
    ch->m_recv.Feed(k, handler, 0);
    at += k;
    CheckFileBuffer(*ch);
  }
  // The camera sends nothing more: a frame still under way is dropped, as at
  // its deadline, and the frames among its bytes are handled.
  ch->m_recv.Finish(handler);
  CheckFileBuffer(*ch);

  CheckFolder(folder, algPath);
  {
    qelm::CForGlobal& g = qelm::Global();
    pf::Lock lk(g.m_csXML);
    for (const auto& [key, rec] : g.m_mapXML) {
      FUZZ_CHECK(rec != nullptr);
      FUZZ_CHECK(rec->name == key);
      FUZZ_CHECK(StartsWith(rec->path, xml));
      FUZZ_CHECK(pf::PathExists(rec->path));
      // An extension file is cached under its id, spelled as its file is
      // named (a main file's key is the version, which is no id).
      FUZZ_CHECK(key == qelm::XMLNamespaceKey(key));
      std::string id;
      if (qelm::ExtensionFileId(key, &id)) FUZZ_CHECK(rec->path == qelm::XMLFilePath(id));
    }
  }
  const std::string ini = xml + "xmlinfo.ini";
  const int count = pf::GetProfileInt("INFO", "count", 0, ini);
  for (int i = 1; i <= count; ++i)
    FUZZ_CHECK(StartsWith(pf::GetProfileString("info" + std::to_string(i), "info", "", ini), xml));
  return 0;
}
