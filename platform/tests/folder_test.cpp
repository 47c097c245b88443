// Where a library keeps its files: beside itself where it may write and lies
// outside /usr, otherwise in the per-user folder.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

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

}  // namespace
