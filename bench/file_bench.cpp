// What a device's files and datagrams cost the kit: description files of
// hostile and of plausible shapes, a file channel reply of many
// file-information items, an FTP parameter file without end, and a flood of
// garbage on the box discovery port before start-up. Prints time and the
// process's resident memory for each.
//
//   build/bench/file_bench xml [--unchecked]      (no network)
//   scripts/in-test-network.sh build/bench/file_bench frame|ftp|flood|all [--trickle]
//
// --unchecked also times TinyXML's own parse of the 60,000-attribute file (the
// cost before the shape check: several seconds). --trickle also runs an FTP
// file of one byte every 5 s against the true 60 s deadline.
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <tinyxml.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "PyrnBox.h"
#include "Qelm_Control.h"
#include "context.h"
#include "control.h"
#include "fake_file_camera.h"
#include "fake_ftp.h"
#include "netns.h"
#include "platform/system.h"
#include "process.h"
#include "wait.h"
#include "xml_channel.h"
#include "xml_document.h"

// The box library's context (its own namespace and log queue), beside the
// camera library's "context.h".
#include "../controller_box/src/context.h"

namespace {

double Ms(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

std::string Wide(size_t n, size_t nameLen = 1) {
  std::string s = "<R";
  for (size_t i = 0; i < n; ++i) s += " " + std::string(nameLen, 'a') + std::to_string(i) + "=\"\"";
  return s + "/>";
}
std::string Repeat(const std::string& item, size_t bytes) {
  std::string s = "<R>";
  while (s.size() < bytes) s += item;
  return s + "</R>";
}

void XmlFigures(bool unchecked) {
  printf("== description files\n");
  const std::string hostile = Wide(60000);
  TiXmlDocument refused;
  qelm::XMLParse how{};
  const double refuseMs = Ms([&] { how = qelm::ParseXMLDocument(hostile, &refused); });
  printf("60,000 attributes in one element (%zu bytes): %s in %.3f ms\n", hostile.size(),
         how == qelm::XMLParse::kRefused ? "refused" : "NOT refused", refuseMs);
  if (unchecked) {
    std::string text = hostile;
    const double ms = Ms([&] {
      TiXmlDocument doc;
      doc.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    });
    printf("  the same file parsed by TinyXML without the check: %.0f ms\n", ms);
  }
  const struct {
    const char* name;
    std::string text;
  } shapes[] = {
      {"elements at the attribute bound, 4 MB", Repeat(Wide(qelm::kMaxXmlAttributes), 4 << 20)},
      // Shapes within the bounds that cost TinyXML most: it compares each
      // attribute's name with every earlier one of its element (here names
      // alike but for their ends), and keeps a node of its own for every
      // element, however small.
      {"long names at the attribute bound, 4 MB", Repeat(Wide(qelm::kMaxXmlAttributes, 2000), 4 << 20)},
      {"empty elements, 4 MB", Repeat("<a/>", 4 << 20)},
      {"parameter nodes, 4 MB", Repeat("<SubCommand NodeCode=\"0x10\" Name=\"n\"><ParaType>PTUi32</ParaType>"
                                       "<ParamLen>4</ParamLen></SubCommand>",
                                       4 << 20)},
      {"parameter nodes, 16 MB", Repeat("<SubCommand NodeCode=\"0x10\" Name=\"n\"><ParaType>PTUi32</ParaType>"
                                        "<ParamLen>4</ParamLen></SubCommand>",
                                        16 << 20)},
      {"parameter nodes, 64 MB", Repeat("<SubCommand NodeCode=\"0x10\" Name=\"n\"><ParaType>PTUi32</ParaType>"
                                        "<ParamLen>4</ParamLen></SubCommand>",
                                        64 << 20)},
      {"long attribute values, 4 MB", Repeat("<V a=\"" + std::string(1 << 20, 'x') + "\"/>", 4 << 20)},
  };
  for (const auto& s : shapes) {
    const size_t heap0 = mallinfo2().uordblks;
    TiXmlDocument* doc = new TiXmlDocument;
    const double ms = Ms([&] { how = qelm::ParseXMLDocument(s.text, doc); });
    const size_t heap1 = mallinfo2().uordblks;
    delete doc;
    printf("%-40s %s in %8.1f ms, %6.2f ns/byte, document %5.1f bytes per byte\n", s.name,
           how == qelm::XMLParse::kParsed ? "read" : "NOT read", ms, ms * 1e6 / s.text.size(),
           static_cast<double>(heap1 - heap0) / s.text.size());
  }
}

// A camera handle in the library's list, as an open would leave it, for the
// calls that look their handle up there.
struct ListedHandle {
  explicit ListedHandle(const char* ip) {
    h.m_ip = kittest::Addr(ip);
    pf::Lock lk(qelm::Global().m_csCamera);
    qelm::Global().m_listCamera.push_back(&h);
  }
  ~ListedHandle() {
    pf::Lock lk(qelm::Global().m_csCamera);
    qelm::Global().m_listCamera.remove(&h);
  }
  StCameraHandle h;
};

// One reply frame of n items of one code.
filecam::Bytes ManyInfos(size_t n) {
  filecam::Bytes d(64, 0);
  memcpy(d.data(), "dev.xml", 7);
  filecam::Put32(d, qelm::kMaxFileSize);
  filecam::Put32(d, 0);
  filecam::Put32(d, 1000);
  filecam::Put32(d, 0);
  const filecam::Bytes one = filecam::Reply(0x10103, d);
  const filecam::Bytes item(one.begin() + 36, one.end() - 4);
  filecam::Bytes f(one.begin(), one.begin() + 36);
  for (size_t i = 0; i < n; ++i) f.insert(f.end(), item.begin(), item.end());
  filecam::Put32(f, 0x550FF0AA);
  for (int i = 0; i < 4; ++i) {
    f[8 + i] = static_cast<uint8_t>(f.size() >> (8 * i));
    f[32 + i] = static_cast<uint8_t>(n >> (8 * i));
  }
  return f;
}

void FrameFigures() {
  printf("== one reply frame of 10,000 file-information items, each announcing 64 MiB\n");
  const std::string dir = kittest::MakeTempFolder("filebench");
  qelm::test::SetModulePath(dir);
  filecam::FakeFileCamera cam("127.0.0.2", qelm::kXmlPort);
  cam.SetVersion("V1");
  cam.AddFile("0000000000000000", {"dev.xml", filecam::Bytes(3000, 'x'), 3000, 1000});
  cam.AnswerWith(0x10103, ManyInfos(10000));
  ListedHandle listed("127.0.0.2");
  StCameraHandle& h = listed.h;
  std::string room(QELM_XML_PATH_SIZE * QELM_XML_FILES_MAX, 0);
  char* paths[QELM_XML_FILES_MAX];
  for (int i = 0; i < QELM_XML_FILES_MAX; ++i) paths[i] = &room[i * QELM_XML_PATH_SIZE];
  const long kb0 = kittest::ResidentKb();
  int count = 0, result = 0;
  const double ms = Ms([&] { result = Qelm_GetXMLFileInfo(&h, &count, paths, 2000); });
  const long kb1 = kittest::ResidentKb();
  printf("Qelm_GetXMLFileInfo (time-out 2000 ms): %d after %.0f ms; block requests %zu; resident memory %+ld kB\n",
         result, ms, cam.Count(0x10104), kb1 - kb0);

  // The same camera with a main file of 60,000 attributes in one element.
  filecam::FakeFileCamera wide("127.0.0.5", qelm::kXmlPort);
  wide.SetVersion("V1");
  const std::string text = "<D LayerId=\"3\"" + Wide(60000).substr(2);
  wide.AddFile("0000000000000000",
               {"dev.xml", filecam::Bytes(text.begin(), text.end()), static_cast<uint32_t>(text.size()), 60000});
  h.m_ip = kittest::Addr("127.0.0.5");
  const double wideMs = Ms([&] { result = Qelm_GetXMLFileInfo(&h, &count, paths, 2000); });
  printf("Qelm_GetXMLFileInfo of a main file of 60,000 attributes (time-out 2000 ms): %d after %.0f ms, %s\n", result,
         wideMs, pf::PathExists(dir + "XML/xmlinfo.ini") ? "indexed" : "not stored, no index entry");
  qelm::FreeXMLChannel();
}

void FtpFigures(bool trickle) {
  printf("== FTP parameter files\n");
  kittest::FakeFtpServer ftp("127.0.0.3");
  ftp.AddAccount("qv", "zx");
  for (const char* n : {"0000.para", "dm368SystemParam.para", "ifconfig.cfg", "system.log"})
    ftp.AddFile("qv", std::string("/mnt/program/") + n, "x");
  ftp.AddEndlessFile("qv", "/mnt/program/netcontrolqx5.para", {64 * 1024, 0});
  ListedHandle listed("127.0.0.3");
  StCameraHandle& h = listed.h;
  std::string folder = kittest::MakeTempFolder("ftpbench");
  folder.pop_back();
  double ms = Ms([&] { Qelm_FTPReadParams(&h, folder.c_str(), 0); });
  printf("a file streamed without end: the call ended after %.0f ms, %s left in the folder\n", ms,
         pf::PathExists(folder + "/netcontrolqx5.para") ? "the file" : "nothing of it");
  if (trickle) {
    kittest::FakeFtpServer slow("127.0.0.4");
    slow.AddAccount("qv", "zx");
    slow.AddEndlessFile("qv", "/mnt/program/0000.para", {1, 5000});
    h.m_ip = kittest::Addr("127.0.0.4");
    ms = Ms([&] { Qelm_FTPReadParams(&h, folder.c_str(), 0); });
    printf("a file of one byte every 5 s (and four missing): the call ended after %.0f ms\n", ms);
  }
}

void PYRN_CALL NoBox(StSearchResult*) {}

void FloodFigures() {
  printf("== 1,000,000 garbage datagrams on the box discovery port before PyrnBox_Init\n");
  if (PyrnBox_SearchPyrnCore(NoBox) != 0) {
    printf("search failed\n");
    return;
  }
  kit::LogQueue& q = pyrn::Global().m_log;
  auto made = [&q] {
    pf::Lock lk(q.m_csLog);
    return q.m_listLog.size() + q.m_dropped;
  };
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = kittest::Addr(kittest::kHostAddress);
  to.sin_port = htons(58590);
  const char garbage[16] = "not a record";
  const long kb0 = kittest::ResidentKb();
  const size_t base = made();
  const double ms = Ms([&] {
    for (int sent = 0; sent < 1000000;) {
      for (int i = 0; i < 200; ++i, ++sent)
        sendto(fd, garbage, sizeof garbage, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      kittest::WaitUntil([&] { return made() >= base + sent; }, 100);
    }
  });
  close(fd);
  // The last datagrams taken: the count holds still.
  kittest::WaitUntilStill(made, 200, 5000);
  const long kb1 = kittest::ResidentKb();
  size_t queued;
  uint64_t dropped;
  {
    pf::Lock lk(q.m_csLog);
    queued = q.m_listLog.size();
    dropped = q.m_dropped;
  }
  printf("sent in %.0f ms; taken %zu (queued %zu, dropped %llu); resident memory %+ld kB\n", ms,
         queued + static_cast<size_t>(dropped) - base, queued, static_cast<unsigned long long>(dropped), kb1 - kb0);
  PyrnBox_Quit();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "all";
  bool unchecked = false, trickle = false;
  for (int i = 2; i < argc; ++i) {
    unchecked |= strcmp(argv[i], "--unchecked") == 0;
    trickle |= strcmp(argv[i], "--trickle") == 0;
  }
  if (what == "xml" || what == "all") XmlFigures(unchecked);
  if (what == "xml") return 0;
  if (!kittest::ProgramInPrivateNetwork(argv[0])) return 2;
  qelm::test::SetModulePath(kittest::MakeTempFolder("filebench"));
  if (what == "frame" || what == "all") FrameFigures();
  if (what == "ftp" || what == "all") FtpFigures(trickle);
  if (what == "flood" || what == "all") FloodFigures();
  return 0;
}
