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
#include <mutex>
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

std::atomic<bool> g_refuseTmpfile{false};
std::atomic<char* (*)(const char*)> g_getenv{nullptr};
std::atomic<void (*)(const std::string&)> g_walkHook{nullptr};

// The environment as far as it can be trusted: nothing of it in a set-user-ID,
// set-group-ID or file-capability process, which must not let whoever runs it
// name the folders it makes.
const char* TrustedEnv(const char* name) {
  char* (*fn)(const char*) = g_getenv.load();
  return fn ? fn(name) : secure_getenv(name);
}

// Whether the process may create and write files in `folder`. Asked by making
// a file there (an unnamed one where the file system has them), because the
// permission bits alone do not tell of read-only mounts, or of a superuser
// who passes every permission check.
bool CanCreateFilesIn(const std::string& folder) {
  if (!IsDirectory(folder)) return false;
#ifdef O_TMPFILE
  if (!g_refuseTmpfile.load()) {
    int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  }
#endif
  // A named file, made as mkstemp makes one: a name that no other thread or
  // process holds (one that exists only means another name), removed at once.
  std::string probe = folder + "/.device-kit-probe-XXXXXX";
  const int fd = mkostemp(probe.data(), O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  unlink(probe.c_str());
  return true;
}

std::string HomeFolder() {
  const char* home = TrustedEnv("HOME");
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

// Whether the folder open at `fd` may serve as one of the user's own: a
// folder the effective user owns. One that group or others may write is made
// the user's alone first.
bool TakeAsOwn(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) && fchmod(fd, 0700) != 0) return false;
  return true;
}

// The per-user folders taken so far (with the trailing '/'): below them every
// level is checked as they were. Never destroyed, as the libraries' globals.
std::mutex& TakenLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::vector<std::string>& Taken() {
  static std::vector<std::string>* v = new std::vector<std::string>;
  return *v;
}

std::string TakenRootOf(const std::string& path) {
  const std::string p = WithSlash(path);
  std::lock_guard<std::mutex> lk(TakenLock());
  for (const std::string& root : Taken())
    if (p.rfind(root, 0) == 0) return root;
  return {};
}

// Opens the folder `name` of the folder open at `parent` as one of the
// user's own (TakeAsOwn). A link there is followed only when the user made
// it: one that another user planted (while the folder above was open to all,
// say) could lead into any folder of the user's. The link's target is read
// from the link that was checked, so no other can be swapped in meanwhile.
// -1 when it may not be used.
int OpenOwnLevel(int parent, const char* name) {
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) {
    const int link = openat(parent, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (link < 0) return -1;
    struct stat st;
    char target[PATH_MAX];
    ssize_t n = -1;
    if (fstat(link, &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid == geteuid())
      n = readlinkat(link, "", target, sizeof target);
    close(link);
    // A target that fills the room may have been cut short: not used.
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof target)) return -1;
    target[n] = 0;
    // Resolved as the system resolves a link: from the folder that holds it.
    fd = openat(parent, target, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (fd >= 0 && !TakeAsOwn(fd)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// Opens the per-user folder `root` (with the trailing '/') by its name in
// the folder above it, as one of the user's own.
int OpenPerUserFolder(const std::string& root) {
  const std::string p = root.substr(0, root.size() - 1);
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos || slash + 1 == p.size()) return -1;
  const int parent = open(slash == 0 ? "/" : p.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return -1;
  const int fd = OpenOwnLevel(parent, p.c_str() + slash + 1);
  close(parent);
  return fd;
}

// Opens the folder `path`, one that a library keeps files in. Below a
// per-user folder that LibraryFolder took, every level from that folder down
// is opened through the descriptor of the one above it and must be the
// user's own (OpenOwnLevel); with `make`, a missing level is made 0700
// first. Elsewhere the folder is opened by its path (made first with
// `make`). -1 when it may not be used.
int OpenLibraryFolder(const std::string& path, bool make) {
  if (!IsAbsolute(path)) return -1;
  const std::string root = TakenRootOf(path);
  if (root.empty()) {
    if (make && !MakeFolderPath(path)) return -1;
    return open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  int fd = OpenPerUserFolder(root);
  const std::string rest = path.size() > root.size() ? path.substr(root.size()) : std::string();
  size_t from = 0;
  while (fd >= 0 && from < rest.size()) {
    size_t to = rest.find('/', from);
    if (to == std::string::npos) to = rest.size();
    const std::string level = rest.substr(from, to - from);
    from = to + 1;
    if (level.empty()) continue;
    int next = -1;
    if (level != "." && level != "..") {
      if (make) mkdirat(fd, level.c_str(), 0700);  // an existing one is checked as a new one
      next = OpenOwnLevel(fd, level.c_str());
    }
    close(fd);
    fd = next;
  }
  return fd;
}

bool TakePerUserFolder(const std::string& folder) {
  MakeFolderPath(folder, 0700);
  const int fd = OpenPerUserFolder(folder);
  if (fd < 0) return false;
  close(fd);
  std::lock_guard<std::mutex> lk(TakenLock());
  auto& taken = Taken();
  if (std::find(taken.begin(), taken.end(), folder) == taken.end()) taken.push_back(folder);
  return true;
}

// Opens the sub-folder `name` of the folder open at `parent` for emptying,
// never through a link (-1 with errno ELOOP or ENOTDIR for one). A folder
// its owner may not read, search or write is given those rights first, as
// Windows sets "normal" attributes: through the descriptor, so that no link
// put in its place can redirect the change. With `ownOnly`, a folder of
// another user is left as it is (-1, EPERM).
int OpenSubFolder(int parent, const char* name, bool ownOnly) {
  const int at = openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (at < 0) return -1;
  struct stat st;
  if (fstat(at, &st) != 0 || (ownOnly && st.st_uid != geteuid())) {
    close(at);
    errno = EPERM;
    return -1;
  }
  const mode_t mode = st.st_mode & 07777;
  if ((mode & (S_IRUSR | S_IXUSR)) != (S_IRUSR | S_IXUSR)) {
    const std::string self = "/proc/self/fd/" + std::to_string(at);
    chmod(self.c_str(), mode | S_IRWXU);
  }
  const int fd = openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  close(at);
  if (fd >= 0 && !(mode & S_IWUSR)) fchmod(fd, mode | S_IRWXU);
  return fd;
}

void RemoveEntryAt(int parent, const std::string& name, const std::string& path, bool ownOnly) {
  // A file or a link goes as it is; only a folder is walked.
  if (unlinkat(parent, name.c_str(), 0) == 0) return;
  if (errno != EISDIR && errno != EPERM) return;
  if (auto hook = g_walkHook.load()) hook(path);
  const int fd = OpenSubFolder(parent, name.c_str(), ownOnly);
  if (fd < 0) {
    // Swapped for a link or a file since: that goes, as a link.
    if (errno == ELOOP || errno == ENOTDIR) unlinkat(parent, name.c_str(), 0);
    return;
  }
  std::vector<std::string> names;
  const int listFd = dup(fd);
  if (DIR* d = listFd >= 0 ? fdopendir(listFd) : nullptr) {
    while (const dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  } else if (listFd >= 0) {
    close(listFd);
  }
  for (const std::string& n : names) RemoveEntryAt(fd, n, path + "/" + n, ownOnly);
  close(fd);
  unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

}  // namespace

std::string PerUserFolder() {
  const char* state = TrustedEnv("XDG_STATE_HOME");
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
  return TakePerUserFolder(own) ? own : std::string();
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

bool MakeLibraryFolderPath(const std::string& path) {
  if (!IsAbsolute(path)) return false;
  if (TakenRootOf(path).empty()) return MakeFolderPath(path);
  const int fd = OpenLibraryFolder(path, true);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void RemoveFolderTree(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return;
  const std::string name = p.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return;
  // The folder above is opened as the library's own folders are: below the
  // per-user folder never through another user's link.
  const int fd = OpenLibraryFolder(slash == 0 ? "/" : p.substr(0, slash), false);
  if (fd < 0) return;
  // Below a per-user folder, another user's folder is not the library's to
  // empty.
  RemoveEntryAt(fd, name, p, !TakenRootOf(p).empty());
  close(fd);
}

std::FILE* OpenOwnFile(const std::string& path, bool append) {
  // A library folder is opened as such (below the per-user folder level by
  // level, each checked), and the file in it through that descriptor: no
  // folder swapped in after a check can take the file.
  int dir = AT_FDCWD;
  const char* name = path.c_str();
  if (IsAbsolute(path)) {
    const size_t slash = path.rfind('/');
    dir = OpenLibraryFolder(path.substr(0, slash + 1), false);
    if (dir < 0) return nullptr;
    name += slash + 1;
  }
  // Not blocking on the open, so that a pipe put in the file's place holds
  // nothing up; it is then refused as no plain file.
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  const int fd = openat(dir, name, flags, 0666);
  if (dir != AT_FDCWD) close(dir);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, append ? O_APPEND : 0) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, append ? "ab" : "wb");
  if (!f) close(fd);
  return f;
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
void test::SetSecureGetenv(char* (*getenvFn)(const char*)) { g_getenv.store(getenvFn); }
void test::RefuseUnnamedTempFiles(bool refuse) { g_refuseTmpfile.store(refuse); }
void test::SetTreeWalkHook(void (*hook)(const std::string& folder)) { g_walkHook.store(hook); }

}  // namespace pf
