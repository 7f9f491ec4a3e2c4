// Atomic replacement of property-list files: every way the write can fail leaves the old
// file as it was and no temporary file behind.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "failure_injection.h"
#include "plist/file.h"
#include "test_support.h"

using plisttest::FailingOps;
using plisttest::listFolder;
using plisttest::readAll;

namespace {

class AtomicWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    target_ = folder_.file("settings.plist");
    plisttest::writeAll(target_, old_);
    ASSERT_EQ(::chmod(target_.c_str(), 0640), 0);
  }

  // The target still holds the old bytes and mode, and it is the folder's only entry.
  void expectUntouched() {
    EXPECT_EQ(readAll(target_), old_);
    struct stat status {};
    ASSERT_EQ(::stat(target_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(listFolder(folder_.path()), std::vector<std::string>{"settings.plist"});
  }

  plisttest::TemporaryFolder folder_;
  std::string target_;
  const std::string old_ = "old content that must survive";
  const std::string new_ = std::string(100000, 'n');
};

}  // namespace

TEST_F(AtomicWrite, ReplacesContentAndKeepsMode) {
  ASSERT_TRUE(plist::writeFileAtomically(target_, new_).has_value());
  EXPECT_EQ(readAll(target_), new_);
  struct stat status {};
  ASSERT_EQ(::stat(target_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(listFolder(folder_.path()), std::vector<std::string>{"settings.plist"});
}

TEST_F(AtomicWrite, NewFileGetsTheRequestedMode) {
  const std::string fresh = folder_.file("fresh.plist");
  const mode_t previous = ::umask(022);
  ASSERT_TRUE(plist::writeFileAtomically(fresh, "x", 0600).has_value());
  ::umask(previous);
  struct stat status {};
  ASSERT_EQ(::stat(fresh.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST_F(AtomicWrite, SymbolicLinkIsKeptAndItsTargetReplaced) {
  const std::string link = folder_.file("link.plist");
  ASSERT_EQ(::symlink("settings.plist", link.c_str()), 0);
  ASSERT_TRUE(plist::writeFileAtomically(link, new_).has_value());
  struct stat status {};
  ASSERT_EQ(::lstat(link.c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(readAll(target_), new_);
}

TEST_F(AtomicWrite, FailuresOfEachStepLeaveTheOldFile) {
  struct Case {
    const char* name;
    FailingOps ops;
    const char* reason;
  };
  Case cases[] = {
      {"disk full at once", FailingOps(FailingOps::Step::Write, ENOSPC), "No space left on device"},
      {"disk full midway", FailingOps(FailingOps::Step::Write, ENOSPC, 4096), "No space left on device"},
      {"flush fails", FailingOps(FailingOps::Step::Fsync, EIO), "Input/output error"},
      {"rename fails", FailingOps(FailingOps::Step::Rename, EXDEV), "Invalid cross-device link"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto written = plist::writeFileAtomically(target_, new_, 0644, c.ops);
    ASSERT_FALSE(written.has_value());
    EXPECT_NE(written.error().message.find(c.reason), std::string::npos) << written.error().message;
    EXPECT_NE(written.error().message.find(folder_.path()), std::string::npos) << written.error().message;
    expectUntouched();
  }
}

TEST_F(AtomicWrite, ReadOnlyFolderLeavesTheOldFile) {
  // Permission bits do not stop root, which runs the tests in CI; the immutable attribute does.
  if (const std::string error = plisttest::setImmutable(folder_.path(), true); !error.empty())
    GTEST_SKIP() << "cannot make a folder immutable here: " << error;
  const auto written = plist::writeFileAtomically(target_, new_);
  plisttest::setImmutable(folder_.path(), false);
  ASSERT_FALSE(written.has_value());
  EXPECT_NE(written.error().message.find("temporary file"), std::string::npos) << written.error().message;
  expectUntouched();
}

TEST_F(AtomicWrite, FullFileSystemLeavesTheOldFile) {
  const std::string small = folder_.file("small");
  ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
  if (const std::string error = plisttest::mountSmallFileSystem(small, 64 * 1024); !error.empty())
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << error;
  const std::string target = small + "/settings.plist";
  plisttest::writeAll(target, old_);

  const auto written = plist::writeFileAtomically(target, std::string(256 * 1024, 'x'));
  ASSERT_FALSE(written.has_value());
  EXPECT_NE(written.error().message.find("No space left on device"), std::string::npos) << written.error().message;
  EXPECT_EQ(readAll(target), old_);
  EXPECT_EQ(listFolder(small), std::vector<std::string>{"settings.plist"});
  ::umount(small.c_str());
}

TEST_F(AtomicWrite, DeletesWhatKilledWritersLeftButNeverALiveWritersTemporary) {
  const std::string stale = ".settings.plist.Ab3dEf9h";
  const std::string live = ".settings.plist.LiveOne1";
  const std::vector<std::string> notOurs = {".settings.plist.short", ".settings.plist.Ab3dEf9-",
                                            ".other.plist.Ab3dEf9h", "settings.plist.Ab3dEf9h"};
  for (const std::string& name : notOurs) plisttest::writeAll(folder_.file(name), "x");
  plisttest::writeAll(folder_.file(stale), "half");
  plisttest::writeAll(folder_.file(live), "being written");
  ASSERT_EQ(::mkdir(folder_.file(".settings.plist.AFolder1").c_str(), 0700), 0);
  const int liveWriter = ::open(folder_.file(live).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(liveWriter, LOCK_EX), 0);

  ASSERT_TRUE(plist::writeFileAtomically(target_, new_).has_value());
  ::close(liveWriter);

  std::vector<std::string> expected = notOurs;
  expected.insert(expected.end(), {live, ".settings.plist.AFolder1", "settings.plist"});
  std::vector<std::string> left = listFolder(folder_.path());
  std::sort(expected.begin(), expected.end());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, expected);
  EXPECT_EQ(readAll(folder_.file(live)), "being written");
  EXPECT_EQ(readAll(target_), new_);
}

TEST(ReadFile, ReportsMissingFilesAndRefusesFolders) {
  plisttest::TemporaryFolder folder;
  const auto missing = plist::readFile(folder.file("absent"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().osError, ENOENT);
  const auto directory = plist::readFile(folder.path());
  ASSERT_FALSE(directory.has_value());
  EXPECT_NE(directory.error().osError, ENOENT);
  plisttest::writeAll(folder.file("big"), std::string(5000, 'b'));
  EXPECT_FALSE(plist::readFile(folder.file("big"), 4999).has_value());
  EXPECT_EQ(plist::readFile(folder.file("big"), 5000).value(), std::string(5000, 'b'));
}

TEST(ReadFile, ReadsOnPastTheSizeTheFileFirstClaimed) {
  // procfs files claim a size of 0; their content is several reads long.
  const auto maps = plist::readFile("/proc/self/maps");
  ASSERT_TRUE(maps.has_value()) << maps.error().message;
  EXPECT_GT(maps->size(), 4096u);
  EXPECT_EQ(maps->back(), '\n');
  EXPECT_FALSE(plist::readFile("/proc/self/maps", 4096).has_value());
}
