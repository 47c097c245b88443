#include "netns.h"

#include <ifaddrs.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace kittest {

namespace {
bool g_entered = false;

std::string NsLink(const char* path) {
  char buf[128];
  ssize_t n = readlink(path, buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = 0;
  return buf;
}
}  // namespace

bool RunCommand(const std::string& cmd) {
  const std::string quiet = cmd + " >/dev/null 2>&1";
  return system(quiet.c_str()) == 0;
}

bool EnterPrivateNetwork(std::string* why) {
  if (unshare(CLONE_NEWNET) != 0) {
    if (why) *why = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
    return false;
  }
  const char* steps[] = {"ip link set lo up",
                         "ip link add kitveth0 type veth peer name kitveth1",
                         "ip addr add 198.51.100.1/24 dev kitveth0",
                         "ip link set kitveth0 up",
                         "ip link set kitveth1 up",
                         "ip route add default dev kitveth0"};
  for (const char* step : steps) {
    if (!RunCommand(step)) {
      if (why) *why = std::string("failed: ") + step;
      return false;
    }
  }
  g_entered = true;
  return true;
}

bool InPrivateNetwork(std::string* why) {
  const std::string self = NsLink("/proc/self/ns/net");
  const std::string init = NsLink("/proc/1/ns/net");
  if (!self.empty() && !init.empty() && self == init) {
    if (why) *why = "this is the machine's own network namespace";
    return false;
  }
  // Where /proc/1 cannot be read, the interfaces alone tell.
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    if (why) *why = "cannot list interfaces";
    return false;
  }
  std::set<std::string> names;
  for (ifaddrs* a = list; a; a = a->ifa_next)
    if (a->ifa_name) names.insert(a->ifa_name);
  freeifaddrs(list);
  for (const auto& n : names) {
    if (n == "lo" || n.rfind("kit", 0) == 0) continue;
    if (why) *why = "interface " + n + " is not part of the test network";
    return false;
  }
  if (!names.count(kVethHost)) {
    if (why) *why = "the test veth pair is missing";
    return false;
  }
  return true;
}

bool ProgramInPrivateNetwork(const char* program) {
  std::string why;
  if (InPrivateNetwork(&why)) return true;
  fprintf(stderr, "refusing to run outside the test network (%s)\n", why.c_str());
  fprintf(stderr, "run it as: scripts/in-test-network.sh %s\n", program);
  return false;
}

}  // namespace kittest
