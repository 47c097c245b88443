#include "platform/system.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>

namespace pf {

std::vector<std::string> ListLocalIPv4() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  std::vector<std::string> firsts, others, seenIf;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    if (!(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
    const in_addr addr = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr;
    if (addr.s_addr == 0 || addr.s_addr == htonl(INADDR_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, text, sizeof text);
    const std::string name = a->ifa_name ? a->ifa_name : "";
    if (std::find(seenIf.begin(), seenIf.end(), name) == seenIf.end()) {
      seenIf.push_back(name);
      firsts.push_back(text);
    } else {
      others.push_back(text);
    }
  }
  freeifaddrs(list);
  for (auto* part : {&firsts, &others})
    for (const auto& t : *part)
      if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(t);
  return out;
}

std::string ModuleFolder(const void* addressInside) {
  Dl_info info{};
  if (!dladdr(addressInside, &info) || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  char real[PATH_MAX];
  if (realpath(path.c_str(), real)) path = real;
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return "./";
  return path.substr(0, slash + 1);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }
bool RemoveDirectory(const std::string& path) { return rmdir(path.c_str()) == 0; }
bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool MakeWritable(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return true;
  return chmod(path.c_str(), st.st_mode | S_IRUSR | S_IWUSR | (S_ISDIR(st.st_mode) ? S_IXUSR : 0)) == 0;
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names) {
  DIR* d = opendir(path.c_str());
  if (!d) return false;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names->push_back(n);
  }
  closedir(d);
  return true;
}

namespace {
constexpr int64_t kNotFrozen = INT64_MIN;
std::atomic<int64_t> g_frozenMs{kNotFrozen};
}  // namespace

WallTime Now() {
  int64_t ms = g_frozenMs.load();
  if (ms == kNotFrozen) {
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
             .count();
  }
  int64_t sec = ms / 1000;
  int rest = static_cast<int>(ms % 1000);
  if (rest < 0) {
    rest += 1000;
    --sec;
  }
  return WallTime{sec, rest};
}

std::tm LocalTime(int64_t sec) {
  std::tm tm{};
  time_t t = static_cast<time_t>(sec);
  localtime_r(&t, &tm);
  return tm;
}

std::tm UtcTime(int64_t sec) {
  std::tm tm{};
  time_t t = static_cast<time_t>(sec);
  gmtime_r(&t, &tm);
  return tm;
}

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void test::FreezeClock(int64_t epochMs) { g_frozenMs.store(epochMs); }
void test::ThawClock() { g_frozenMs.store(kNotFrozen); }

}  // namespace pf
