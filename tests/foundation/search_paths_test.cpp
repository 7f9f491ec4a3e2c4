#include "foundation/search_paths.h"

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace foundation;

namespace {
QStringList userLibrary() { return NSSearchPathForDirectoriesInDomains(NSLibraryDirectory, NSUserDomainMask, true); }
}  // namespace

TEST(SearchPaths, UserLibraryIsInTheHomeDirectoryOrTheAccountsHome) {
  setenv("HOME", "/home/someone/", 1);
  EXPECT_EQ(userLibrary(), QStringList{QStringLiteral("/home/someone/Library")});
  EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSLibraryDirectory, NSUserDomainMask, false), QStringList{"~/Library"});
  EXPECT_TRUE(NSSearchPathForDirectoriesInDomains(NSLibraryDirectory, NSSearchPathDomainMask(8), true).isEmpty());

  const passwd* account = getpwuid(getuid());
  if (!account || !account->pw_dir || std::string(account->pw_dir).size() < 2)
    GTEST_SKIP() << "this account has no home directory of its own in the user database";
  for (bool unset : {true, false}) {
    unset ? unsetenv("HOME") : setenv("HOME", "", 1);
    EXPECT_EQ(userLibrary(), QStringList{QString::fromLocal8Bit(account->pw_dir) + "/Library"});
  }
}

// No HOME and no entry in the user database: there is no Library folder to offer.
TEST(SearchPaths, NoHomeAnywhereGivesAnEmptyList) {
  uid_t unknown = 54321;
  while (getpwuid(unknown) && unknown < 54400) ++unknown;
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as an account without a user entry";
  const pid_t child = fork();
  if (child == 0) {
    unsetenv("HOME");
    if (setgid(unknown) != 0 || setuid(unknown) != 0) _exit(77);
    _exit(userLibrary().isEmpty() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot switch to another account here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a Library folder was reported without a home";
}
