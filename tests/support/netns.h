// The private test network: every test process runs in a network namespace
// of its own (lo up, a veth pair with 198.51.100.1/24 and a default route
// through it), so that no test ever reaches this machine's real interfaces.
#pragma once

#include <string>

namespace kittest {

constexpr const char* kVethHost = "kitveth0";
constexpr const char* kVethPeer = "kitveth1";
constexpr const char* kHostAddress = "198.51.100.1";

// Moves the calling process (before it starts threads) into a fresh private
// network. False, with the reason, when it cannot.
bool EnterPrivateNetwork(std::string* why);

// True when this process is in a private network of the test kind: not the
// initial namespace where that can be told, and no interface but lo and the
// test's veth pair (and what a test added itself, named kit*).
bool InPrivateNetwork(std::string* why);

// For programs run by hand (benchmarks): true when the process is in the
// private test network; otherwise says so on stderr, with how to run
// `program` inside it, and gives false.
bool ProgramInPrivateNetwork(const char* program);

// Runs a shell command (ip ... ) inside the test network; true on exit code 0.
bool RunCommand(const std::string& cmd);

}  // namespace kittest

// Refuses a network test outside the private test network.
#define KIT_REQUIRE_PRIVATE_NETWORK()                                          \
  do {                                                                         \
    std::string kit_why_;                                                      \
    if (!::kittest::InPrivateNetwork(&kit_why_))                               \
      GTEST_FAIL() << "refusing to send outside the test network: " << kit_why_; \
  } while (0)
