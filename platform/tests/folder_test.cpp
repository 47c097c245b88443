// Where a library keeps its files: beside itself where it may write and lies
// outside /usr, otherwise in the per-user folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"
#include "process.h"

namespace {

// Sets or unsets one environment variable for the life of the object.
class EnvVar {
 public:
  EnvVar(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~EnvVar() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string PasswdHome() {
  const passwd* pw = getpwuid(geteuid());
  return pw && pw->pw_dir ? pw->pw_dir : "";
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(LibraryFolder, BesideTheLibraryOrInThePerUserFolder) {
  const std::string writable = kittest::MakeTempFolder("beside");
  const std::string home = kittest::MakeTempFolder("home");
  const std::string state = kittest::MakeTempFolder("state");
  const std::string perUser = home + ".local/state/device-kit/";
  using Env = std::optional<std::string>;
  const Env unset;
  struct Case {
    const char* what;
    std::string library;  // the folder of the library file
    Env xdgState, homeVar;
    std::string want;
  } cases[] = {
      {"a writable folder outside /usr", writable, unset, home, writable},
      {"the same without the trailing slash", writable.substr(0, writable.size() - 1), unset, home, writable},
      {"the system's multiarch library folder", "/usr/lib/x86_64-linux-gnu/", unset, home, perUser},
      {"a folder under /usr/local", "/usr/local/lib/", unset, home, perUser},
      {"/usr itself", "/usr", unset, home, perUser},
      {"a folder under /usr that is not there", "/usr/lib/device-kit-none/", unset, home, perUser},
      {"a folder that is not there", writable + "gone/", unset, home, perUser},
      {"no folder could be told", "", unset, home, perUser},
      {"a relative folder", "lib/", unset, home, perUser},
      {"XDG_STATE_HOME set", "/usr/lib/", state, home, state + "device-kit/"},
      {"XDG_STATE_HOME without a trailing slash", "/usr/lib/", state.substr(0, state.size() - 1), home,
       state + "device-kit/"},
      {"XDG_STATE_HOME relative is ignored", "/usr/lib/", std::string("relative/state"), home, perUser},
      {"XDG_STATE_HOME empty is ignored", "/usr/lib/", std::string(""), home, perUser},
      {"XDG_STATE_HOME does not move a library that writes beside itself", writable, state, home, writable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EnvVar x("XDG_STATE_HOME", c.xdgState);
    EnvVar h("HOME", c.homeVar);
    EXPECT_EQ(pf::LibraryFolderFor(c.library), c.want);
    EXPECT_TRUE(pf::IsDirectory(c.want)) << "the chosen folder is made";
  }
  // What was made for the user is the user's alone; the home was there.
  EXPECT_EQ(ModeOf(home + ".local"), 0700u);
  EXPECT_EQ(ModeOf(home + ".local/state"), 0700u);
  EXPECT_EQ(ModeOf(perUser), 0700u);
  EXPECT_EQ(ModeOf(state + "device-kit"), 0700u);
  EXPECT_FALSE(pf::PathExists("/usr/lib/device-kit-none"));
  EXPECT_FALSE(pf::PathExists(writable + "gone"));
}

TEST(LibraryFolder, WithoutHomeTheHomeComesFromThePasswordDatabase) {
  const std::string home = PasswdHome();
  ASSERT_FALSE(home.empty());
  using Env = std::optional<std::string>;
  for (const Env& homeVar : {Env(), Env(""), Env("relative/home")}) {
    SCOPED_TRACE(homeVar ? "HOME=\"" + *homeVar + "\"" : "HOME unset");
    EnvVar x("XDG_STATE_HOME", std::nullopt);
    EnvVar h("HOME", homeVar);
    EXPECT_EQ(pf::PerUserFolder(), home + (home.back() == '/' ? "" : "/") + ".local/state/device-kit/");
  }
}

TEST(LibraryFolder, AFolderTheProcessCannotWriteGivesThePerUserFolder) {
  const std::string lib = kittest::MakeTempFolder("rolib");
  const std::string state = kittest::MakeTempFolder("rostate");
  std::string why;
  ASSERT_TRUE(kittest::MakeUnwritable(lib, &why)) << why;
  EnvVar x("XDG_STATE_HOME", state);
  EXPECT_EQ(pf::LibraryFolderFor(lib), state + "device-kit/");
  std::vector<std::string> names;
  ASSERT_TRUE(pf::ListDirectory(lib, &names));
  EXPECT_TRUE(names.empty()) << "nothing is left in the library's folder by asking";
}

// How a folder that the library takes, or makes below the one it took, may
// be found: what someone else laid there, or the user himself.
struct Layout {
  const char* what;
  // Lays `path` out (the folder's name, without a trailing '/'); `spare` is a
  // fresh folder for what a link points at. False, with the reason, when this
  // process cannot lay it.
  std::function<bool(const std::string& path, const std::string& spare, std::string* why)> lay;
  bool used;  // whether the library may use it
};

bool Fail(std::string* why, const std::string& what) {
  *why = what + ": " + strerror(errno);
  return false;
}

const std::vector<Layout>& Layouts() {
  static const std::vector<Layout> layouts = {
      {"missing", [](const std::string&, const std::string&, std::string*) { return true; }, true},
      {"another user's folder",
       [](const std::string& path, const std::string&, std::string* why) {
         return kittest::MakeFolderOfAnotherUser(path, why);
       },
       false},
      {"the user's own folder with mode 0777",
       [](const std::string& path, const std::string&, std::string* why) {
         return (mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), 0777) == 0) || Fail(why, "mkdir");
       },
       true},
      {"a link to a folder of the user's own",
       [](const std::string& path, const std::string& spare, std::string* why) {
         return (mkdir((spare + "mine").c_str(), 0700) == 0 && symlink((spare + "mine").c_str(), path.c_str()) == 0) ||
                Fail(why, "symlink");
       },
       true},
      // Planted, say, while the folder above was open to all: it could lead
      // the library into any folder of the user's.
      {"a link that another user made, to a folder of the user's own open to all",
       [](const std::string& path, const std::string& spare, std::string* why) {
         return ((mkdir((spare + "mine").c_str(), 0700) == 0 && chmod((spare + "mine").c_str(), 0777) == 0) ||
                 Fail(why, "mkdir")) &&
                kittest::MakeLinkOfAnotherUser(spare + "mine", path, why);
       },
       false},
      {"a link to a folder of another user",
       [](const std::string& path, const std::string& spare, std::string* why) {
         return kittest::MakeFolderOfAnotherUser(spare + "theirs", why) &&
                (symlink((spare + "theirs").c_str(), path.c_str()) == 0 || Fail(why, "symlink"));
       },
       false},
      {"a link to a file",
       [](const std::string& path, const std::string& spare, std::string* why) {
         const int fd = open((spare + "file").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
         if (fd >= 0) close(fd);
         return (fd >= 0 && symlink((spare + "file").c_str(), path.c_str()) == 0) || Fail(why, "symlink");
       },
       false},
      {"a link to nowhere",
       [](const std::string& path, const std::string& spare, std::string* why) {
         return symlink((spare + "gone").c_str(), path.c_str()) == 0 || Fail(why, "symlink");
       },
       false},
  };
  return layouts;
}

// What a folder looks like from outside: its owner, its mode and its names
// (followed through a link), to show that a folder not used stays untouched.
std::string Look(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return "absent";
  std::string out = std::to_string(st.st_uid) + " " + std::to_string(st.st_mode & 07777);
  std::vector<std::string> names;
  if (S_ISDIR(st.st_mode) && pf::ListDirectory(path, &names))
    for (const auto& n : names) out += " " + n;
  return out;
}

// Lays each layout out where `place` says for a fresh XDG_STATE_HOME (set
// while it runs) and checks it; gives the layouts this process cannot lay.
std::vector<std::string> ForEachLayout(const std::function<std::string(const std::string& state)>& place,
                                       const std::function<void(const Layout&, const std::string& path)>& check) {
  std::vector<std::string> notTried;
  for (const Layout& l : Layouts()) {
    SCOPED_TRACE(l.what);
    const std::string state = kittest::MakeTempFolder("ownstate");
    const std::string spare = kittest::MakeTempFolder("ownspare");
    EnvVar x("XDG_STATE_HOME", state);
    const std::string path = place(state);
    std::string why;
    if (path.empty() || !l.lay(path, spare, &why)) {
      notTried.push_back(std::string(l.what) + " (" + why + ")");
      continue;
    }
    const std::string before = Look(path);
    check(l, path);
    if (!l.used) {
      EXPECT_EQ(Look(path), before) << "nothing made, changed or removed there";
    }
  }
  return notTried;
}

// The per-user folder is taken only when, links resolved, it is a folder of
// the effective user; a folder open to others becomes the user's alone, and
// one that is not the user's is neither used nor changed.
TEST(LibraryFolder, APerUserFolderIsTakenOnlyWhenItIsTheUsersOwn) {
  const auto notTried = ForEachLayout([](const std::string& state) { return state + "device-kit"; },
                                      [](const Layout& l, const std::string& own) {
                                        const std::string got = pf::LibraryFolderFor("/usr/lib/");
                                        if (l.used) {
                                          EXPECT_EQ(got, own + "/");
                                          EXPECT_TRUE(pf::IsDirectory(own));
                                          EXPECT_EQ(ModeOf(own), 0700u) << "the user's alone";
                                        } else {
                                          EXPECT_EQ(got, "") << "the library keeps no files";
                                        }
                                      });
  if (!notTried.empty()) GTEST_SKIP() << "not tried, for want of another user: " << notTried.size();
}

// The same rule for every level that a library makes below its per-user
// folder ("XML/", "DLLLog/", "ErrorData/<ip>/"): here "ErrorData", with the
// camera's folder below it.
TEST(LibraryFolder, EveryLevelBelowThePerUserFolderIsTheUsersOwn) {
  const auto notTried = ForEachLayout(
      [](const std::string& state) {
        const std::string root = pf::LibraryFolderFor("/usr/lib/");
        EXPECT_EQ(root, state + "device-kit/");
        return root.empty() ? root : root + "ErrorData";
      },
      [](const Layout& l, const std::string& level) {
        EXPECT_EQ(pf::MakeLibraryFolderPath(level + "/127.0.0.2/"), l.used);
        if (l.used) {
          EXPECT_EQ(ModeOf(level), 0700u);
          EXPECT_EQ(ModeOf(level + "/127.0.0.2"), 0700u) << "a new level is the user's alone";
        }
      });
  // A level that would climb out of the per-user folder is never made.
  const std::string state = kittest::MakeTempFolder("levelclimb");
  EnvVar x("XDG_STATE_HOME", state);
  const std::string root = pf::LibraryFolderFor("/usr/lib/");
  EXPECT_FALSE(pf::MakeLibraryFolderPath(root + "../outside/"));
  EXPECT_FALSE(pf::PathExists(state + "outside"));
  if (!notTried.empty()) GTEST_SKIP() << "not tried, for want of another user: " << notTried.size();
}

// A process whose environment cannot be trusted (set-user-ID and the like)
// takes its home from the password database: whoever runs it names no folder.
TEST(PerUserFolder, AnUntrustedEnvironmentNamesNoFolder) {
  const std::string theirs = kittest::MakeTempFolder("theirs");
  EnvVar x("XDG_STATE_HOME", theirs + "state");
  EnvVar h("HOME", theirs + "home");
  const std::string home = PasswdHome();
  ASSERT_FALSE(home.empty());
  pf::test::SetSecureGetenv([](const char*) -> char* { return nullptr; });
  EXPECT_EQ(pf::PerUserFolder(), home + (home.back() == '/' ? "" : "/") + ".local/state/device-kit/");
  pf::test::SetSecureGetenv(nullptr);
  EXPECT_EQ(pf::PerUserFolder(), theirs + "state/device-kit/") << "a trusted one is read";
}

// The same through a real set-user-ID and set-group-ID program, run as
// another user who names folders of his own. Root is needed to make one.
TEST(PerUserFolder, ASetUserIdProgramTakesNoFolderFromWhoeverRunsIt) {
  if (geteuid() != 0) GTEST_SKIP() << "making a set-user-ID program needs root";
  const std::string dir = kittest::MakeTempFolder("setuid");
  const std::string theirs = kittest::MakeTempFolder("theirs");
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(theirs.c_str(), 0777), 0);
  const std::string program = dir + "probe";
  std::filesystem::copy_file(KIT_FOLDER_PROBE, program);
  auto homeOf = [](uid_t uid) {
    const passwd* pw = getpwuid(uid);
    std::string home = pw && pw->pw_dir ? pw->pw_dir : "";
    return home + (!home.empty() && home.back() == '/' ? "" : "/") + ".local/state/device-kit/";
  };
  const unsigned other = kittest::kOtherUid;
  struct Case {
    const char* what;
    uid_t owner;
    gid_t group;
    mode_t mode;
    std::string want;  // "1 <folder>": untrusted; "0 <folder>": trusted
  } cases[] = {
      {"set-user-ID root", 0, 0, 04755, "1 " + homeOf(0)},
      {"set-group-ID root", 0, 0, 02755, "1 " + homeOf(other)},
      {"neither: the caller's environment holds", 0, 0, 0755, "0 " + theirs + "state/device-kit/"},
  };
  const std::string asOther = "setpriv --reuid=" + std::to_string(other) + " --regid=" + std::to_string(other) +
                              " --clear-groups ";
  if (system((asOther + "true >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "cannot run a program as uid " << other << " here (setpriv)";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(chown(program.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(chmod(program.c_str(), c.mode), 0);
    const std::string cmd =
        asOther + "env HOME=" + theirs + "home XDG_STATE_HOME=" + theirs + "state " + program + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[4096] = {};
    const bool read = fgets(line, sizeof line, p) != nullptr;
    const int rc = pclose(p);
    std::string out = read ? line : "";
    if (!out.empty() && out.back() == '\n') out.pop_back();
    ASSERT_EQ(rc, 0) << out;
    if (c.mode & (S_ISUID | S_ISGID) && out.rfind("0 ", 0) == 0)
      GTEST_SKIP() << "set-user-ID has no effect in " << dir << " (a nosuid mount?)";
    EXPECT_EQ(out, c.want);
  }
  std::vector<std::string> names;
  ASSERT_TRUE(pf::ListDirectory(theirs, &names));
  EXPECT_TRUE(names.empty()) << "the probe only names the folder";
}

// On a file system without unnamed temporary files the question is asked
// with a named file. Two threads of one process asking at once (two
// libraries started together) must both be told they may write beside the
// library, and no probe file may stay behind.
TEST(LibraryFolder, TwoThreadsAskingAtOnceBothMayWriteBesideTheLibrary) {
  const std::string beside = kittest::MakeTempFolder("probe");
  const std::string state = kittest::MakeTempFolder("probestate");
  EnvVar x("XDG_STATE_HOME", state);
  pf::test::RefuseUnnamedTempFiles(true);
  constexpr int kRounds = 300;
  int elsewhere = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> waiting{2};
    std::string got[2];
    auto ask = [&](int i) {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();  // both ask together
      got[i] = pf::LibraryFolderFor(beside);
    };
    std::thread a(ask, 0), b(ask, 1);
    a.join();
    b.join();
    elsewhere += (got[0] != beside) + (got[1] != beside);
  }
  pf::test::RefuseUnnamedTempFiles(false);
  EXPECT_EQ(elsewhere, 0) << "answers other than the folder beside the library in " << kRounds << " rounds";
  std::vector<std::string> names;
  ASSERT_TRUE(pf::ListDirectory(beside, &names));
  EXPECT_TRUE(names.empty()) << "a probe file stayed: " << (names.empty() ? "" : names[0]);
  EXPECT_FALSE(pf::PathExists(state + "device-kit")) << "the per-user folder was made";
}

}  // namespace
