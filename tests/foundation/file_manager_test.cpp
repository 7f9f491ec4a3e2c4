#include "foundation/file_manager.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "tree_fixture.h"

using foundation::NSError;
using namespace testing_tree;

namespace {

bool removeItem(const std::string& path, NSError* error = nullptr) {
  return foundation::NSFileManager::defaultManager().removeItemAtPathError(QString::fromStdString(path), error);
}

// The description names the item and the system's reason.
void expectReadable(const NSError& error, const std::string& path) {
  const QString text = error.localizedDescription();
  EXPECT_TRUE(text.contains(QString::fromStdString(path))) << text.toStdString();
  EXPECT_TRUE(text.contains(QString::fromLocal8Bit(std::strerror(error.code())))) << text.toStdString();
}

// Stops a directory's entries from being removed or renamed. Permission bits do not stop
// root, so root uses the immutable attribute.
bool setLocked(const std::string& path, bool lock) {
  if (geteuid() != 0) return chmod(path.c_str(), lock ? 0555 : 0755) == 0;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int flags = 0;
  bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = lock ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

std::optional<std::string> lockingUnavailable() {
  const std::string probe = makeScratchDirectory("lock-probe");
  writeFile(probe + "/victim", "x");
  if (!setLocked(probe, true)) return "the file system refuses the immutable attribute";
  const bool stopped = unlink((probe + "/victim").c_str()) != 0;
  setLocked(probe, false);
  if (!stopped) return "neither the immutable attribute nor permission bits stop a deletion here";
  return std::nullopt;
}

std::vector<std::string> stagedEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& [name, kind] : snapshot(folder, false))
    if (name.find(".removing-") != std::string::npos) names.push_back(name);
  return names;
}

}  // namespace

TEST(RemoveItem, RemovesEachKindOfItemAndNothingOutsideIt) {
  const std::string folder = makeScratchDirectory("remove-kinds");
  makeSampleBundle(folder + "/Outside/Data");
  writeFile(folder + "/Outside/precious", "precious");
  const auto outside = snapshot(folder + "/Outside");

  const std::string items = folder + "/Bundles";
  writeFile(items + "/plain", "text");
  makeSymlink(folder + "/nowhere", items + "/dangling");
  makeSymlink(folder + "/Outside/Data", items + "/LinkToData.mailbundle");
  const std::string bundle = items + "/Quillane.mailbundle";
  makeSampleBundle(bundle);
  makeSymlink(folder + "/Outside/Data", bundle + "/Contents/absolute-link");
  makeSymlink("../../../Outside", bundle + "/Contents/Resources/relative-link");
  makeSymlink(folder + "/Outside/precious", bundle + "/Contents/file-link");
  makeSymlink("..", bundle + "/Contents/parent-link");

  for (const std::string& path : {items + "/plain", items + "/dangling", items + "/LinkToData.mailbundle",
                                 bundle + "//"}) {
    NSError error;
    EXPECT_TRUE(removeItem(path, &error)) << error.localizedDescription().toStdString();
    EXPECT_FALSE(error.isError());
  }
  EXPECT_TRUE(snapshot(items).empty()) << "an item or a staging leftover remains";
  EXPECT_EQ(snapshot(folder + "/Outside"), outside);
}

TEST(RemoveItem, MissingOrUnremovablePathsFailReadablyAndTouchNothing) {
  const std::string folder = makeScratchDirectory("remove-missing");
  NSError error;
  EXPECT_FALSE(removeItem(folder + "/Absent.mailbundle", &error));
  EXPECT_EQ(error.code(), ENOENT);
  expectReadable(error, folder + "/Absent.mailbundle");

  writeFile(folder + "/sub/file", "x");
  const auto before = snapshot(folder);
  for (const std::string& path : {std::string(), std::string("/"), folder + "/sub/.", folder + "/sub/.."})
    EXPECT_FALSE(removeItem(path)) << path;
  EXPECT_EQ(snapshot(folder), before);
}

// Another thread keeps swapping a directory of the tree with a link to data outside while the
// removal runs; a walk that resolved paths would sooner or later follow the link.
TEST(RemoveItem, DirectorySwappedForALinkDuringTheWalkCannotRedirectIt) {
  const std::string folder = makeScratchDirectory("remove-swap");
  for (int i = 0; i < 30; ++i) writeFile(folder + "/Outside/Nested/keep" + std::to_string(i), "keep");
  const auto outside = snapshot(folder + "/Outside");

  for (int round = 0; round < 40; ++round) {
    const std::string bundle = folder + "/Quillane.mailbundle";
    for (int i = 0; i < 30; ++i) {
      writeFile(bundle + "/Contents/Swapped/Sub/" + std::to_string(i), "x");
      writeFile(bundle + "/Contents/Other" + std::to_string(i) + "/file", "x");
    }
    makeSymlink(folder + "/Outside", bundle + "/Contents/Link");
    const int contents = open((bundle + "/Contents").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      while (!stop)
        if (renameat2(contents, "Swapped", contents, "Link", RENAME_EXCHANGE) != 0) std::this_thread::yield();
    });
    removeItem(bundle);  // succeeds or fails depending on the interleaving
    stop = true;
    swapper.join();
    close(contents);
    ASSERT_EQ(snapshot(folder + "/Outside"), outside) << "round " << round;
    for (const auto& [name, kind] : snapshot(folder, false))  // Outside has no links to follow
      if (name != "Outside") fs::remove_all(folder + "/" + name);
  }
}

TEST(RemoveItem, DeepTreesNeedOnlyAFewDescriptors) {
  const std::string folder = makeScratchDirectory("remove-deep");
  std::string path = folder + "/Deep.mailbundle";
  for (int level = 0; level < 300; ++level, path += "/d") writeFile(path + "/file", "x");
  auto openDescriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  const auto before = openDescriptors();

  rlimit original{};
  getrlimit(RLIMIT_NOFILE, &original);
  rlimit tight = original;
  tight.rlim_cur = static_cast<rlim_t>(before + 56);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  NSError error;
  const bool removed = removeItem(folder + "/Deep.mailbundle", &error);
  setrlimit(RLIMIT_NOFILE, &original);

  EXPECT_TRUE(removed) << error.localizedDescription().toStdString();
  EXPECT_TRUE(snapshot(folder).empty());
  EXPECT_EQ(openDescriptors(), before);
}

TEST(RemoveItemFailure, ItemIsLeftWholeAtItsPathOrStagedButNeverHalfDeletedThere) {
  if (auto reason = lockingUnavailable()) GTEST_SKIP() << "cannot make a deletion fail here: " << *reason;
  const std::string folder = makeScratchDirectory("remove-failures");

  // 1. The folder refuses the rename: nothing changes.
  makeSampleBundle(folder + "/Locked/Quillane.mailbundle");
  // 2. Nothing inside can be removed: the item is put back.
  writeFile(folder + "/PutBack.mailbundle/Contents/Info.plist", "info");
  // 3. Sub's files go, then Sub cannot be removed from Locked: the rest stays staged. The walk
  //    can meet these entries in one order only.
  for (int i = 0; i < 5; ++i) writeFile(folder + "/Partial.mailbundle/Locked/Sub/" + std::to_string(i), "x");
  const auto before = snapshot(folder);

  NSError cannotMove, putBack, partial;
  bool removed[3];
  std::vector<std::string> staged;
  std::map<std::string, std::string> remains;
  ASSERT_TRUE(setLocked(folder + "/Locked", true) && setLocked(folder + "/PutBack.mailbundle/Contents", true) &&
              setLocked(folder + "/Partial.mailbundle/Locked", true));
  removed[0] = removeItem(folder + "/Locked/Quillane.mailbundle", &cannotMove);
  removed[1] = removeItem(folder + "/PutBack.mailbundle", &putBack);
  removed[2] = removeItem(folder + "/Partial.mailbundle", &partial);
  staged = stagedEntries(folder);
  if (staged.size() == 1) remains = snapshot(folder + "/" + staged[0]);
  for (const auto& [name, kind] : snapshot(folder))
    if (kind == "dir") setLocked(folder + "/" + name, false);

  EXPECT_FALSE(removed[0] || removed[1] || removed[2]);
  expectReadable(cannotMove, folder + "/Locked/Quillane.mailbundle");
  expectReadable(putBack, folder + "/PutBack.mailbundle");
  expectReadable(partial, folder + "/Partial.mailbundle");

  ASSERT_EQ(staged.size(), 1u) << "only the partly removed item is staged";
  EXPECT_EQ(staged[0].rfind(".Partial.mailbundle.removing-", 0), 0u) << staged[0];
  EXPECT_TRUE(partial.localizedDescription().contains(QString::fromStdString(folder + "/" + staged[0])));
  EXPECT_TRUE(partial.localizedDescription().contains(QStringLiteral("Locked/Sub")));
  EXPECT_EQ(remains, (std::map<std::string, std::string>{{"Locked", "dir"}, {"Locked/Sub", "dir"}}));

  auto expected = before;
  std::erase_if(expected, [](const auto& entry) { return entry.first.rfind("Partial.mailbundle", 0) == 0; });
  auto after = snapshot(folder);
  std::erase_if(after, [&](const auto& entry) { return entry.first.rfind(staged[0], 0) == 0; });
  EXPECT_EQ(after, expected) << "the other two items must be exactly as they were";
}

// Mounts are made in a child process with a mount namespace of its own, so they vanish with it.
TEST(RemoveItemFailure, NeverDescendsIntoAnotherMountedFileSystem) {
  const std::string folder = makeScratchDirectory("remove-mounts");
  writeFile(folder + "/Outside/precious", "precious");
  const auto outside = snapshot(folder + "/Outside");
  fs::create_directories(folder + "/Tmpfs.mailbundle/Contents/Mounted");
  fs::create_directories(folder + "/Bind.mailbundle/Contents/Bound");

  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("test", (folder + "/Tmpfs.mailbundle/Contents/Mounted").c_str(), "tmpfs", 0, nullptr) != 0 ||
        mount((folder + "/Outside").c_str(), (folder + "/Bind.mailbundle/Contents/Bound").c_str(), nullptr,
              MS_BIND, nullptr) != 0)
      _exit(77);
    writeFile(folder + "/Tmpfs.mailbundle/Contents/Mounted/on-tmpfs", "x");
    NSError tmpfs, bind;
    const bool refused = !removeItem(folder + "/Tmpfs.mailbundle", &tmpfs) && tmpfs.code() == EXDEV &&
                         !removeItem(folder + "/Bind.mailbundle", &bind) && bind.code() == EXDEV;
    _exit(refused && exists(folder + "/Tmpfs.mailbundle/Contents/Mounted/on-tmpfs") ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot mount in a private namespace here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(snapshot(folder + "/Outside"), outside);
}

TEST(FileExists, ReportsWhatIsAtThePathWithoutFollowingALink) {
  const std::string folder = makeScratchDirectory("exists");
  writeFile(folder + "/dir/file", "x");
  makeSymlink(folder + "/dir", folder + "/link-to-dir");
  const auto& manager = foundation::NSFileManager::defaultManager();
  bool flags[4] = {false, true, true, true};
  const bool found[4] = {manager.fileExistsAtPathIsDirectory(QString::fromStdString(folder + "/dir"), &flags[0]),
                         manager.fileExistsAtPathIsDirectory(QString::fromStdString(folder + "/dir/file"), &flags[1]),
                         manager.fileExistsAtPathIsDirectory(QString::fromStdString(folder + "/link-to-dir"), &flags[2]),
                         manager.fileExistsAtPathIsDirectory(QString::fromStdString(folder + "/absent"), &flags[3])};
  EXPECT_TRUE(found[0] && found[1] && found[2] && !found[3]);
  EXPECT_TRUE(flags[0] && !flags[1] && !flags[2] && flags[3]) << "absent items leave the flag alone";
}

TEST(Remnants, OnlyThisUsersItemsUnderExactlyTheStagingNamesOfThatItem) {
  const std::string folder = makeScratchDirectory("remnants");
  const std::vector<std::string> ours = {".Quillane.mailbundle.removing-a1b2c3", ".Quillane.mailbundle.removing-zzzzzz"};
  for (const std::string& name : ours) writeFile(folder + "/" + name + "/Contents/x", "x");
  makeSymlink(folder + "/elsewhere", folder + "/.Quillane.mailbundle.removing-000000");
  for (const char* name : {".Quillane.mailbundle.removing-a1b2c", ".Quillane.mailbundle.removing-A1B2C3",
                           "Quillane.mailbundle.removing-a1b2c3", ".Quillane.mailbundle.removing-a1b2c3x",
                           ".Other.mailbundle.removing-a1b2c3", ".Quillane.mailbundle.Removing-a1b2c3"})
    writeFile(folder + "/" + name, "not ours");
  std::string foreign = folder + "/.Quillane.mailbundle.removing-f0f0f0";
  writeFile(foreign, "another user's");
  const bool foreignOwned = geteuid() == 0 && lchown(foreign.c_str(), 65534, 65534) == 0;

  QStringList expected;
  for (const std::string& name : {ours[0], std::string(".Quillane.mailbundle.removing-000000"), ours[1]})
    expected << QString::fromStdString(folder + "/" + name);
  if (!foreignOwned) expected.insert(2, QString::fromStdString(foreign));
  expected.sort();
  EXPECT_EQ(foundation::NSFileManager::defaultManager().remnantsOfRemovalsAtPath(
                QString::fromStdString(folder + "/Quillane.mailbundle")),
            expected);
}

TEST(RemoveItemFailure, ARemnantThatCannotBeDeletedKeepsItsName) {
  if (auto reason = lockingUnavailable()) GTEST_SKIP() << "cannot make a deletion fail here: " << *reason;
  const std::string folder = makeScratchDirectory("remnant-failure");
  const std::string remnant = folder + "/.Quillane.mailbundle.removing-a1b2c3";
  for (int i = 0; i < 5; ++i) writeFile(remnant + "/Locked/Sub/" + std::to_string(i), "x");
  ASSERT_TRUE(setLocked(remnant + "/Locked", true));
  NSError error;
  const bool removed = removeItem(remnant, &error);
  setLocked(remnant + "/Locked", false);
  EXPECT_FALSE(removed);
  EXPECT_EQ(stagedEntries(folder), std::vector<std::string>{".Quillane.mailbundle.removing-a1b2c3"})
      << "what is left is still found as a remnant of the bundle";
  EXPECT_TRUE(removeItem(remnant));
}
