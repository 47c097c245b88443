#include "platform/system.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <vector>

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

namespace {

bool UnderUsr(const std::string& folder) {
  return folder == "/usr" || folder.rfind("/usr/", 0) == 0;
}

// Whether the process may create and write files in `folder`. Asked by making
// a file there (an unnamed one where the file system has them), because the
// permission bits alone do not tell of read-only mounts, or of a superuser
// who passes every permission check.
bool CanCreateFilesIn(const std::string& folder) {
  if (!IsDirectory(folder)) return false;
#ifdef O_TMPFILE
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
#endif
  const std::string probe = folder + "/.device-kit-probe-" + std::to_string(getpid());
  int fd2 = open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  if (fd2 < 0) return false;
  close(fd2);
  unlink(probe.c_str());
  return true;
}

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && IsAbsolute(home)) return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
      IsAbsolute(found->pw_dir))
    return found->pw_dir;
  return {};
}

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

std::string PerUserFolder() {
  const char* state = getenv("XDG_STATE_HOME");
  std::string base;
  if (state && IsAbsolute(state)) {
    base = state;
  } else {
    const std::string home = HomeFolder();
    if (home.empty()) return {};
    base = WithSlash(home) + ".local/state";
  }
  return WithSlash(base) + "device-kit/";
}

std::string LibraryFolderFor(const std::string& moduleFolder) {
  std::string beside = moduleFolder;
  while (beside.size() > 1 && beside.back() == '/') beside.pop_back();
  const bool outsideUsr = IsAbsolute(beside) && !UnderUsr(beside);
  if (outsideUsr && CanCreateFilesIn(beside)) return WithSlash(beside);
  const std::string own = PerUserFolder();
  if (own.empty()) {
    // No per-user folder can be named: a folder outside /usr stays the
    // library's (its files fail there as they would have); under /usr none.
    return outsideUsr ? WithSlash(beside) : std::string();
  }
  MakeFolderPath(own, 0700);  // the user's alone; a failure shows when the library writes there
  return own;
}

std::string LibraryFolder(const void* addressInside) {
  return LibraryFolderFor(ModuleFolder(addressInside));
}

bool IsAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

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

bool MakeFolderPath(const std::string& path, unsigned mode) {
  if (!IsAbsolute(path)) return false;
  if (PathExists(path)) return true;
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string level = path.substr(0, pos);
    // Another process may make the same level at the same moment.
    if (!PathExists(level) && mkdir(level.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  // A path with a trailing separator is complete after the loop.
  return PathExists(path) || mkdir(path.c_str(), mode) == 0;
}
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
