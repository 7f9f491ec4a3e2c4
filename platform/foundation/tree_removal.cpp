#include "foundation/tree_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace foundation::detail {
namespace {

// Directories deeper than this many open levels have their ancestors' descriptors closed;
// an ancestor is reopened through ".." (and checked to be the same directory) on the way up.
constexpr std::size_t kMaxOpenLevels = 48;

constexpr int kDirectoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool mountRoot = false;
};

bool identify(int fd, Identity* identity) {
  struct statx info {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_INO, &info) != 0) return false;
  identity->device = makedev(info.stx_dev_major, info.stx_dev_minor);
  identity->inode = info.stx_ino;
  identity->mountRoot = (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
                        (info.stx_attributes & STATX_ATTR_MOUNT_ROOT);
  return true;
}

struct Level {
  DIR* stream = nullptr;  // nullptr while closed to save descriptors
  Identity identity;
  std::string name;  // the directory's name in its parent ("" for the top)
};

class Walk {
 public:
  explicit Walk(TreeRemovalResult& result) : result_(result) {}
  ~Walk() {
    for (Level& level : levels_)
      if (level.stream) closedir(level.stream);
  }

  void run(int topFd) {
    Identity top;
    if (!identify(topFd, &top)) {
      close(topFd);
      return fail(errno, "");
    }
    DIR* stream = fdopendir(topFd);
    if (!stream) {
      const int error = errno;
      close(topFd);
      return fail(error, "");
    }
    device_ = top.device;
    levels_.push_back({stream, top, std::string()});

    while (result_.ok && !levels_.empty()) step();
  }

 private:
  void step() {
    Level& current = levels_.back();
    const int fd = dirfd(current.stream);
    errno = 0;
    const dirent* entry = readdir(current.stream);
    if (!entry) {
      const int error = errno;
      if (error != 0) return fail(error, pathOf(""));
      return leaveCurrent();
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return;

    if (entry->d_type != DT_DIR) {
      if (unlinkat(fd, name, 0) == 0) {
        ++result_.removedEntries;
        return;
      }
      const int error = errno;
      if (error != EISDIR) return fail(error, pathOf(name));
    }
    enter(fd, name);
  }

  void enter(int parentFd, const char* name) {
    const int fd = openat(parentFd, name, kDirectoryOpenFlags);
    if (fd < 0) {
      int error = errno;
      // Replaced by a link or a file since it was listed: remove that, never follow it.
      if (error == ELOOP || error == ENOTDIR) {
        if (unlinkat(parentFd, name, 0) == 0) {
          ++result_.removedEntries;
          return;
        }
        error = errno;
      }
      return fail(error, pathOf(name));
    }
    Identity identity;
    if (!identify(fd, &identity)) {
      const int error = errno;
      close(fd);
      return fail(error, pathOf(name));
    }
    if (identity.mountRoot || identity.device != device_) {
      close(fd);
      return fail(EXDEV, pathOf(name));
    }
    DIR* stream = fdopendir(fd);
    if (!stream) {
      const int error = errno;
      close(fd);
      return fail(error, pathOf(name));
    }
    levels_.push_back({stream, identity, name});
    limitOpenLevels();
  }

  // The current directory is empty: remove it from its parent and continue there.
  void leaveCurrent() {
    if (levels_.size() == 1) {
      closedir(levels_.back().stream);
      levels_.pop_back();
      return;
    }
    Level finished = std::move(levels_.back());
    levels_.pop_back();
    Level& parent = levels_.back();
    if (!parent.stream && !reopen(parent, dirfd(finished.stream))) {
      const int error = errno;
      closedir(finished.stream);
      return fail(error, pathOf(finished.name.c_str()));
    }
    closedir(finished.stream);
    if (unlinkat(dirfd(parent.stream), finished.name.c_str(), AT_REMOVEDIR) != 0) {
      const int error = errno;
      return fail(error, pathOf(finished.name.c_str()));
    }
    ++result_.removedEntries;
  }

  void limitOpenLevels() {
    if (levels_.size() - firstOpen_ <= kMaxOpenLevels) return;
    closedir(levels_[firstOpen_].stream);
    levels_[firstOpen_].stream = nullptr;
    ++firstOpen_;
  }

  // Reopens a closed ancestor through the ".." of its child, refusing anything but the very
  // directory it was (the child may have been moved meanwhile).
  bool reopen(Level& level, int childFd) {
    const int fd = openat(childFd, "..", kDirectoryOpenFlags);
    if (fd < 0) return false;
    Identity identity;
    if (!identify(fd, &identity) || identity.device != level.identity.device ||
        identity.inode != level.identity.inode) {
      close(fd);
      errno = ESTALE;
      return false;
    }
    level.stream = fdopendir(fd);
    if (!level.stream) {
      const int error = errno;
      close(fd);
      errno = error;
      return false;
    }
    firstOpen_ = levels_.size() - 1;
    return true;
  }

  // The path of entry (or of the current directory when entry is "") relative to the top.
  std::string pathOf(const char* entry) const {
    std::string path;
    for (std::size_t i = 1; i < levels_.size(); ++i) {
      if (!path.empty()) path += '/';
      path += levels_[i].name;
    }
    if (*entry) {
      if (!path.empty()) path += '/';
      path += entry;
    }
    return path;
  }

  void fail(int error, std::string entry) {
    result_.ok = false;
    result_.error = error;
    result_.failedEntry = std::move(entry);
  }

  TreeRemovalResult& result_;
  std::vector<Level> levels_;
  std::size_t firstOpen_ = 0;
  dev_t device_ = 0;
};

}  // namespace

TreeRemovalResult removeDirectoryContents(int directoryFd) {
  TreeRemovalResult result;
  Walk(result).run(directoryFd);
  return result;
}

}  // namespace foundation::detail
