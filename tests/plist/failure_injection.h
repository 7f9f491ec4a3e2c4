#pragma once
// File-system faults for atomic-write tests: a failing FileOps, an immutable folder and a
// full file system (a small tmpfs in a private mount namespace).

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "plist/file.h"

namespace plisttest {

class FailingOps : public plist::FileOps {
 public:
  enum class Step { Write, Fsync, Rename };
  FailingOps(Step step, int error, std::size_t bytesBeforeFailure = 0)
      : step_(step), error_(error), budget_(bytesBeforeFailure) {}

  ssize_t write(int fd, const void* data, std::size_t size) override {
    if (step_ != Step::Write) return plist::FileOps::write(fd, data, size);
    if (budget_ == 0) {
      errno = error_;
      return -1;
    }
    // A short write first, as a filling disk gives, then the failure.
    const std::size_t count = std::min(size, budget_);
    budget_ -= count;
    return plist::FileOps::write(fd, data, count);
  }
  int fsync(int fd) override {
    if (step_ != Step::Fsync) return plist::FileOps::fsync(fd);
    errno = error_;
    return -1;
  }
  int renameat(int fromDirectory, const char* from, int toDirectory, const char* to) override {
    if (step_ != Step::Rename) return plist::FileOps::renameat(fromDirectory, from, toDirectory, to);
    errno = error_;
    return -1;
  }

 private:
  Step step_;
  int error_;
  std::size_t budget_;
};

// Sets or clears the immutable attribute of a folder: then nobody, root included, can add,
// rename or remove entries in it. Returns an error text, empty on success.
inline std::string setImmutable(const std::string& path, bool immutable) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  int flags = 0;
  std::string error;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    error = std::strerror(errno);
  } else {
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) error = std::strerror(errno);
  }
  ::close(fd);
  return error;
}

// Mounts a tmpfs of `bytes` over folder, in a mount namespace private to this process so
// that nothing outside it sees the mount (it goes away with the process). Returns an error
// text, empty on success.
inline std::string mountSmallFileSystem(const std::string& folder, std::size_t bytes) {
  static bool privateNamespace = false;
  if (!privateNamespace) {
    if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string("making mounts private: ") + std::strerror(errno);
    privateNamespace = true;
  }
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0)
    return std::string("mount: ") + std::strerror(errno);
  return {};
}

}  // namespace plisttest
