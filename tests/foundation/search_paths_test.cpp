#include "foundation/search_paths.h"

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "foundation/path_utilities.h"

using namespace foundation;

namespace {

// Sets or unsets HOME for one test.
class HomeVariable {
 public:
  HomeVariable() {
    if (const char* home = std::getenv("HOME")) saved_ = home;
  }
  ~HomeVariable() {
    if (saved_.empty()) unsetenv("HOME");
    else setenv("HOME", saved_.c_str(), 1);
  }
  void set(const char* value) { setenv("HOME", value, 1); }
  void unset() { unsetenv("HOME"); }

 private:
  std::string saved_;
};

QStringList userLibrary() {
  return NSSearchPathForDirectoriesInDomains(NSLibraryDirectory, NSUserDomainMask, true);
}

}  // namespace

TEST(SearchPaths, UserLibraryIsInTheHomeDirectory) {
  HomeVariable home;
  home.set("/home/someone");
  EXPECT_EQ(userLibrary(), QStringList{QStringLiteral("/home/someone/Library")});
  home.set("/home/someone/");
  EXPECT_EQ(userLibrary(), QStringList{QStringLiteral("/home/someone/Library")});
  home.set("/");
  EXPECT_EQ(userLibrary(), QStringList{QStringLiteral("/Library")});
  EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSLibraryDirectory, NSUserDomainMask, false),
            QStringList{QStringLiteral("~/Library")});
}

TEST(SearchPaths, OtherKindsAndDomainsGiveNothing) {
  EXPECT_TRUE(NSSearchPathForDirectoriesInDomains(static_cast<NSSearchPathDirectory>(9), NSUserDomainMask, true).isEmpty());
  EXPECT_TRUE(NSSearchPathForDirectoriesInDomains(NSLibraryDirectory, static_cast<NSSearchPathDomainMask>(8), true).isEmpty());
}

TEST(SearchPaths, WithoutHomeVariableTheAccountsHomeIsUsed) {
  const passwd* account = getpwuid(getuid());
  if (!account || !account->pw_dir || !*account->pw_dir) GTEST_SKIP() << "this account has no home directory entry";
  const QStringList expected{
      stringByAppendingPathComponent(QString::fromLocal8Bit(account->pw_dir), QStringLiteral("Library"))};
  HomeVariable home;
  home.unset();
  EXPECT_EQ(userLibrary(), expected);
  home.set("");
  EXPECT_EQ(userLibrary(), expected);
}

// An account with no entry in the user database and no HOME has no Library folder at all.
TEST(SearchPaths, NoHomeAnywhereGivesAnEmptyList) {
  uid_t unknown = 0;
  for (uid_t candidate = 54321; candidate < 54400; ++candidate) {
    if (!getpwuid(candidate)) {
      unknown = candidate;
      break;
    }
  }
  if (geteuid() != 0 || unknown == 0) GTEST_SKIP() << "needs root to run as an account without a user entry";

  const pid_t child = fork();
  if (child == 0) {
    unsetenv("HOME");
    if (setgid(unknown) != 0 || setuid(unknown) != 0) _exit(77);
    _exit(userLibrary().isEmpty() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot switch to another account here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a Library folder was reported without any home directory";
}
