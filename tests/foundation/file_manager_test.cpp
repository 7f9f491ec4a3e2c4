#include "foundation/file_manager.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "tree_fixture.h"

using foundation::NSError;
using foundation::NSFileManager;
using namespace testing_tree;

namespace {

bool removeItem(const std::string& path, NSError* error = nullptr) {
  return NSFileManager::defaultManager().removeItemAtPathError(QString::fromStdString(path), error);
}

bool contains(const QString& text, const std::string& part) {
  return text.contains(QString::fromStdString(part));
}

int openDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Stops the entries of a directory from being added, removed or renamed, the way the
// environment allows: permission bits do not stop root, so root uses the immutable attribute.
class DirectoryLock {
 public:
  explicit DirectoryLock(std::string path) : path_(std::move(path)) { locked_ = apply(true); }
  ~DirectoryLock() {
    if (locked_) apply(false);
  }
  bool locked() const { return locked_; }

  // Why locking cannot work here, or nothing when it does (checked on a probe directory).
  static std::optional<std::string> unavailableReason() {
    const std::string probe = makeScratchDirectory("lock-probe");
    writeFile(probe + "/victim", "x");
    std::optional<std::string> reason;
    {
      DirectoryLock lock(probe);
      if (!lock.locked())
        reason = geteuid() == 0 ? "this file system does not support the immutable attribute"
                                : "cannot change permission bits";
      else if (unlink((probe + "/victim").c_str()) == 0)
        reason = "neither the immutable attribute nor permission bits stop deletion here";
    }
    return reason;
  }

 private:
  bool apply(bool lock) const {
    if (geteuid() != 0) return chmod(path_.c_str(), lock ? 0555 : 0755) == 0;
    const int fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
      flags = lock ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return ok;
  }

  std::string path_;
  bool locked_ = false;
};

#define SKIP_UNLESS_DIRECTORIES_CAN_BE_LOCKED()                                    \
  do {                                                                             \
    if (auto reason = DirectoryLock::unavailableReason())                          \
      GTEST_SKIP() << "cannot make a deletion fail on this machine: " << *reason; \
  } while (0)

// Entries of folder whose names mark them as staging leftovers of a removal.
std::vector<std::string> stagedEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& [name, kind] : entriesOf(folder))
    if (name.find(".removing-") != std::string::npos) names.push_back(name);
  return names;
}

}  // namespace

TEST(RemoveItem, RemovesFilesLinksAndWholeTreesAndNothingElse) {
  const std::string folder = makeScratchDirectory("remove-kinds");
  writeFile(folder + "/plain.txt", "text");
  makeSymlink(folder + "/nowhere", folder + "/dangling");
  makeSampleBundle(folder + "/Quillane.mailbundle");
  makeDirectories(folder + "/Empty");
  writeFile(folder + "/Keep/data", "keep me");
  const auto keep = snapshot(folder + "/Keep");

  for (const char* name : {"plain.txt", "dangling", "Quillane.mailbundle", "Empty"}) {
    NSError error;
    EXPECT_TRUE(removeItem(folder + "/" + name, &error)) << name << ": "
                                                        << error.localizedDescription().toStdString();
    EXPECT_FALSE(error.isError()) << name;
    EXPECT_FALSE(exists(folder + "/" + name)) << name;
  }
  EXPECT_EQ(entriesOf(folder), (std::map<std::string, std::string>{{"Keep", "dir"}}));
  EXPECT_EQ(snapshot(folder + "/Keep"), keep);
}

TEST(RemoveItem, AcceptsTrailingSlashesAndRelativePaths) {
  const std::string folder = makeScratchDirectory("remove-forms");
  makeSampleBundle(folder + "/Slashed.mailbundle");
  makeSampleBundle(folder + "/Relative.mailbundle");

  EXPECT_TRUE(removeItem(folder + "/Slashed.mailbundle//"));
  EXPECT_FALSE(exists(folder + "/Slashed.mailbundle"));

  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  const bool removed = removeItem("Relative.mailbundle");
  std::filesystem::current_path(previous);
  EXPECT_TRUE(removed);
  EXPECT_TRUE(entriesOf(folder).empty());
}

TEST(RemoveItem, FailuresNameThePathAndTheSystemReason) {
  const std::string folder = makeScratchDirectory("remove-missing");
  NSError error;
  EXPECT_FALSE(removeItem(folder + "/Absent.mailbundle", &error));
  EXPECT_TRUE(error.isError());
  EXPECT_EQ(error.code(), ENOENT);
  EXPECT_TRUE(contains(error.localizedDescription(), folder + "/Absent.mailbundle"));
  EXPECT_TRUE(contains(error.localizedDescription(), std::strerror(ENOENT)));

  // Paths that do not name one removable item are refused, touching nothing.
  writeFile(folder + "/sub/file", "x");
  const auto before = snapshot(folder);
  for (const std::string& path : {std::string(), std::string("/"), folder + "/sub/.", folder + "/sub/.."}) {
    NSError refused;
    EXPECT_FALSE(removeItem(path, &refused)) << path;
    EXPECT_TRUE(refused.isError()) << path;
  }
  EXPECT_EQ(snapshot(folder), before);
  EXPECT_FALSE(removeItem(folder + "/also-absent"));  // a null error pointer is allowed
}

TEST(RemoveItemLinks, LinkAtThePathIsRemovedAsALink) {
  const std::string folder = makeScratchDirectory("remove-link-target");
  makeSampleBundle(folder + "/Elsewhere/Real.mailbundle");
  writeFile(folder + "/Elsewhere/file", "data");
  const auto elsewhere = snapshot(folder + "/Elsewhere");
  makeSymlink(folder + "/Elsewhere/Real.mailbundle", folder + "/Bundles/Quillane.mailbundle");
  makeSymlink("../Elsewhere/file", folder + "/Bundles/Quillane Extras");

  EXPECT_TRUE(removeItem(folder + "/Bundles/Quillane.mailbundle"));
  EXPECT_TRUE(removeItem(folder + "/Bundles/Quillane Extras"));
  EXPECT_TRUE(entriesOf(folder + "/Bundles").empty());
  EXPECT_EQ(snapshot(folder + "/Elsewhere"), elsewhere);
}

TEST(RemoveItemLinks, LinksInsideTheTreeAreNeverFollowed) {
  const std::string folder = makeScratchDirectory("remove-inner-links");
  makeSampleBundle(folder + "/Outside/Data");
  writeFile(folder + "/Outside/precious", "precious");
  const auto outside = snapshot(folder + "/Outside");

  const std::string bundle = folder + "/Bundles/Quillane.mailbundle";
  makeSampleBundle(bundle);
  makeSymlink(folder + "/Outside/Data", bundle + "/Contents/absolute-dir-link");
  makeSymlink("../../../Outside/Data", bundle + "/Contents/relative-dir-link");
  makeSymlink(folder + "/Outside/precious", bundle + "/Contents/Resources/file-link");
  makeSymlink("..", bundle + "/Contents/parent-link");
  makeSymlink(folder + "/Outside", bundle + "/Contents/Resources/Empty/Deeper/outside-link");

  EXPECT_TRUE(removeItem(bundle));
  EXPECT_FALSE(exists(bundle));
  EXPECT_TRUE(entriesOf(folder + "/Bundles").empty());
  EXPECT_EQ(snapshot(folder + "/Outside"), outside);
}

// Another process keeps swapping a directory of the tree with a link to data outside it
// while the removal runs. A walk that resolved paths would sooner or later follow the link.
TEST(RemoveItemLinks, DirectorySwappedForALinkDuringTheWalkCannotRedirectIt) {
  const std::string folder = makeScratchDirectory("remove-swap");
  for (int i = 0; i < 30; ++i) writeFile(folder + "/Outside/keep" + std::to_string(i), "keep");
  makeDirectories(folder + "/Outside/Nested");
  writeFile(folder + "/Outside/Nested/deep", "deep");
  const auto outside = snapshot(folder + "/Outside");

  for (int round = 0; round < 40; ++round) {
    const std::string bundle = folder + "/Quillane.mailbundle";
    for (int i = 0; i < 30; ++i) {
      writeFile(bundle + "/Contents/Swapped/file" + std::to_string(i), "x");
      writeFile(bundle + "/Contents/Swapped/Sub/file" + std::to_string(i), "x");
      writeFile(bundle + "/Contents/Other" + std::to_string(i) + "/file", "x");
    }
    makeSymlink(folder + "/Outside", bundle + "/Contents/Link");

    const int contents = open((bundle + "/Contents").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(contents, 0);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      while (!stop.load()) {
        if (renameat2(contents, "Swapped", contents, "Link", RENAME_EXCHANGE) != 0) std::this_thread::yield();
      }
    });
    NSError error;
    removeItem(bundle, &error);  // may succeed or fail, depending on the interleaving
    stop = true;
    swapper.join();
    close(contents);

    ASSERT_EQ(snapshot(folder + "/Outside"), outside) << "round " << round;
    // Whatever happened, the item is either gone or whole at its path; clean up for the next round.
    if (exists(bundle)) std::filesystem::remove_all(bundle);
    for (const std::string& staged : stagedEntries(folder)) {
      const std::string remains = folder + "/" + staged;
      // Remove remains without following links: std::filesystem does not follow them either
      // when it deletes the link entries themselves, and none of Outside's entries are links.
      std::filesystem::remove_all(remains);
    }
    ASSERT_EQ(snapshot(folder + "/Outside"), outside) << "round " << round;
  }
}

TEST(RemoveItemDepth, DeepTreesNeedOnlyAFewDescriptors) {
  const std::string folder = makeScratchDirectory("remove-deep");
  std::string path = folder + "/Deep.mailbundle";
  for (int level = 0; level < 300; ++level) {
    writeFile(path + "/file", std::to_string(level));
    path += "/d";
  }
  const int descriptorsBefore = openDescriptorCount();

  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  rlimit tight = original;
  tight.rlim_cur = static_cast<rlim_t>(descriptorsBefore + 56);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  NSError error;
  const bool removed = removeItem(folder + "/Deep.mailbundle", &error);
  setrlimit(RLIMIT_NOFILE, &original);

  EXPECT_TRUE(removed) << error.localizedDescription().toStdString();
  EXPECT_TRUE(entriesOf(folder).empty());
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

TEST(RemoveItemFailure, ItemThatCannotBeMovedIsLeftWholeInPlace) {
  SKIP_UNLESS_DIRECTORIES_CAN_BE_LOCKED();
  const std::string folder = makeScratchDirectory("remove-locked-folder");
  makeSampleBundle(folder + "/Bundles/Quillane.mailbundle");
  const auto before = snapshot(folder);

  NSError error;
  bool removed;
  {
    DirectoryLock lock(folder + "/Bundles");
    ASSERT_TRUE(lock.locked());
    removed = removeItem(folder + "/Bundles/Quillane.mailbundle", &error);
  }
  EXPECT_FALSE(removed);
  EXPECT_TRUE(error.code() == EPERM || error.code() == EACCES) << error.code();
  EXPECT_TRUE(contains(error.localizedDescription(), folder + "/Bundles/Quillane.mailbundle"));
  EXPECT_TRUE(contains(error.localizedDescription(), std::strerror(error.code())));
  EXPECT_EQ(snapshot(folder), before);
}

TEST(RemoveItemFailure, ItemIsPutBackWhenNothingInsideCouldBeRemoved) {
  SKIP_UNLESS_DIRECTORIES_CAN_BE_LOCKED();
  const std::string folder = makeScratchDirectory("remove-put-back");
  const std::string bundle = folder + "/Quillane.mailbundle";
  writeFile(bundle + "/Contents/Info.plist", "info");
  writeFile(bundle + "/Contents/PkgInfo", "pkg");
  const auto before = snapshot(folder);

  NSError error;
  bool removed;
  {
    DirectoryLock lock(bundle + "/Contents");
    ASSERT_TRUE(lock.locked());
    removed = removeItem(bundle, &error);
  }
  EXPECT_FALSE(removed);
  EXPECT_EQ(snapshot(folder), before);  // whole, at its path, and no staging leftovers
  EXPECT_TRUE(contains(error.localizedDescription(), bundle));
  EXPECT_TRUE(contains(error.localizedDescription(), std::strerror(error.code())));
}

TEST(RemoveItemFailure, PartlyRemovedTreeStaysUnderAHiddenNameNotAtThePath) {
  SKIP_UNLESS_DIRECTORIES_CAN_BE_LOCKED();
  const std::string folder = makeScratchDirectory("remove-partial");
  const std::string bundle = folder + "/Quillane.mailbundle";
  // The walk meets exactly one order: into Locked, into Sub, remove Sub's files, then fail to
  // remove Sub from the locked Locked.
  for (int i = 0; i < 5; ++i) writeFile(bundle + "/Locked/Sub/file" + std::to_string(i), "x");

  NSError error;
  bool removed;
  std::vector<std::string> staged;
  std::map<std::string, std::string> remains;
  {
    DirectoryLock lock(bundle + "/Locked");
    ASSERT_TRUE(lock.locked());
    removed = removeItem(bundle, &error);
    staged = stagedEntries(folder);
    if (staged.size() == 1) remains = snapshot(folder + "/" + staged[0]);
  }
  EXPECT_FALSE(removed);
  EXPECT_FALSE(exists(bundle));
  ASSERT_EQ(staged.size(), 1u);
  EXPECT_EQ(staged[0].rfind(".Quillane.mailbundle.removing-", 0), 0u) << staged[0];
  EXPECT_EQ(remains, (std::map<std::string, std::string>{{"Locked", "dir"}, {"Locked/Sub", "dir"}}));

  const QString description = error.localizedDescription();
  EXPECT_TRUE(contains(description, bundle)) << description.toStdString();
  EXPECT_TRUE(contains(description, "Locked/Sub")) << description.toStdString();
  EXPECT_TRUE(contains(description, folder + "/" + staged[0])) << description.toStdString();
  EXPECT_TRUE(contains(description, std::strerror(error.code()))) << description.toStdString();
}

// Runs body in a child process with a mount namespace of its own, so mounts made there vanish
// with it. Returns the child's verdict: 0 passed, 77 mounts unavailable, else failed.
template <typename Body>
int runWithPrivateMounts(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      _exit(77);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST(RemoveItemMounts, NeverDescendsIntoAnotherMountedFileSystem) {
  const std::string folder = makeScratchDirectory("remove-mounts");
  writeFile(folder + "/Outside/precious", "precious");
  const auto outside = snapshot(folder + "/Outside");
  const std::string withTmpfs = folder + "/Tmpfs.mailbundle";
  const std::string withBind = folder + "/Bind.mailbundle";
  writeFile(withTmpfs + "/Contents/file", "x");
  makeDirectories(withTmpfs + "/Contents/Mounted");
  writeFile(withBind + "/Contents/file", "x");
  makeDirectories(withBind + "/Contents/Bound");

  const int verdict = runWithPrivateMounts([&]() -> int {
    if (mount("quillane-test", (withTmpfs + "/Contents/Mounted").c_str(), "tmpfs", 0, nullptr) != 0 ||
        mount((folder + "/Outside").c_str(), (withBind + "/Contents/Bound").c_str(), nullptr, MS_BIND,
              nullptr) != 0)
      return 77;
    writeFile(withTmpfs + "/Contents/Mounted/on-tmpfs", "tmpfs data");
    NSError tmpfsError, bindError;
    if (removeItem(withTmpfs, &tmpfsError) || tmpfsError.code() != EXDEV) return 1;
    if (!exists(folder + "/" + stagedEntries(folder).at(0) + "/Contents/Mounted/on-tmpfs") &&
        !exists(withTmpfs + "/Contents/Mounted/on-tmpfs"))
      return 2;
    if (removeItem(withBind, &bindError) || bindError.code() != EXDEV) return 3;
    return 0;
  });
  if (verdict == 77) GTEST_SKIP() << "cannot mount file systems in a private namespace here";
  EXPECT_EQ(verdict, 0);
  EXPECT_EQ(snapshot(folder + "/Outside"), outside);
}

TEST(FileExists, ReportsWhatIsAtThePathWithoutFollowingALink) {
  const std::string folder = makeScratchDirectory("exists");
  writeFile(folder + "/file", "x");
  makeDirectories(folder + "/dir");
  makeSymlink(folder + "/dir", folder + "/link-to-dir");
  makeSymlink(folder + "/absent", folder + "/dangling");
  const NSFileManager& manager = NSFileManager::defaultManager();

  struct Case {
    const char* name;
    bool exists;
    bool isDirectory;
  };
  for (const Case& c : {Case{"file", true, false}, Case{"dir", true, true},
                        Case{"link-to-dir", true, false}, Case{"dangling", true, false}}) {
    bool isDirectory = !c.isDirectory;
    EXPECT_EQ(manager.fileExistsAtPathIsDirectory(QString::fromStdString(folder + "/" + c.name), &isDirectory),
              c.exists)
        << c.name;
    EXPECT_EQ(isDirectory, c.isDirectory) << c.name;
  }
  bool untouched = true;
  EXPECT_FALSE(manager.fileExistsAtPathIsDirectory(QString::fromStdString(folder + "/absent"), &untouched));
  EXPECT_TRUE(untouched);
  EXPECT_FALSE(manager.fileExistsAtPathIsDirectory(QString(), nullptr));
  EXPECT_TRUE(manager.fileExistsAtPathIsDirectory(QString::fromStdString(folder + "/dir"), nullptr));
}
