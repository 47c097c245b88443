#include "process.h"

#include <dirent.h>
#include <iconv.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "wait.h"
#include <sstream>
#include <stdexcept>

namespace kittest {

namespace {
int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}
}  // namespace

int ThreadCount() { return CountEntries("/proc/self/task"); }

long ResidentKb() {
  std::istringstream in(ReadFile("/proc/self/status"));
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
  return -1;
}

bool WithNoFreeDescriptor(const std::function<void()>& f) {
  const int lowest = dup(0);
  if (lowest < 0) return false;
  close(lowest);
  rlimit old{};
  if (getrlimit(RLIMIT_NOFILE, &old) != 0) return false;
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(lowest);
  if (setrlimit(RLIMIT_NOFILE, &tight) != 0) return false;
  f();
  return setrlimit(RLIMIT_NOFILE, &old) == 0;
}
bool ThreadCountBecomes(int n, int timeoutMs) {
  return WaitUntil([n] { return ThreadCount() == n; }, timeoutMs);
}

std::set<int> ThreadIds() {
  std::set<int> ids;
  if (DIR* d = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') ids.insert(atoi(e->d_name));
    closedir(d);
  }
  return ids;
}

bool OnlyThreadsOf(const std::set<int>& baseline, int timeoutMs) {
  return WaitUntil([&] {
    const std::set<int> now = ThreadIds();
    return std::includes(baseline.begin(), baseline.end(), now.begin(), now.end());
  }, timeoutMs);
}

int OpenDescriptorCount() { return CountEntries("/proc/self/fd") - 1; }  // minus opendir's own

std::string MakeTempFolder(const std::string& tag) {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kit-" + tag + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  return tmpl + "/";
}

namespace {
bool CanCreateIn(const std::string& folder) {
  const std::string probe = folder + "/.probe";
  const int fd = open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  unlink(probe.c_str());
  return true;
}
}  // namespace

bool MakeUnwritable(const std::string& folder, std::string* why) {
  std::string err;
  if (unshare(CLONE_NEWNS) != 0) {
    err = std::string("no mount namespace: ") + strerror(errno);
  } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
             mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    err = std::string("no read-only bind mount: ") + strerror(errno);
  }
  if (!err.empty()) chmod(folder.c_str(), 0555);
  if (!CanCreateIn(folder)) return true;
  if (why) *why = err.empty() ? "still writable" : err + ", and the permission bits do not stop this process";
  return false;
}

bool MakeFolderOfAnotherUser(const std::string& folder, std::string* why) {
  if (mkdir(folder.c_str(), 0777) != 0) {
    if (why) *why = "mkdir " + folder + ": " + strerror(errno);
    return false;
  }
  chmod(folder.c_str(), 0777);  // whatever the umask
  if (chown(folder.c_str(), kOtherUid, kOtherUid) == 0) return true;
  std::string err = std::string("chown: ") + strerror(errno);
  if (unshare(CLONE_NEWNS) != 0) {
    err += std::string(", no mount namespace: ") + strerror(errno);
  } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount("/", folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
             mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    err += std::string(", no bind mount: ") + strerror(errno);
  }
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0 && st.st_uid != geteuid()) return true;
  if (why) *why = "no folder of another user (" + err + ")";
  return false;
}

bool MakeLinkOfAnotherUser(const std::string& target, const std::string& link, std::string* why) {
  if (symlink(target.c_str(), link.c_str()) != 0) {
    if (why) *why = "symlink " + link + ": " + strerror(errno);
    return false;
  }
  if (lchown(link.c_str(), kOtherUid, kOtherUid) == 0) return true;
  if (why) *why = std::string("no link of another user (lchown: ") + strerror(errno) + ")";
  unlink(link.c_str());
  return false;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string ReadFolder(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::string all;
  for (const auto& n : names) all += ReadFile(folder + "/" + n);
  return all;
}

std::string Gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no GBK converter");
  std::string in = utf8;
  std::string out(in.size() * 2 + 4, '\0');
  char* ip = in.data();
  size_t il = in.size();
  char* op = out.data();
  size_t ol = out.size();
  if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) {
    iconv_close(cd);
    throw std::runtime_error("text has no GBK form");
  }
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

}  // namespace kittest
