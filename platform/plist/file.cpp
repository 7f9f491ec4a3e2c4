#include "plist/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

namespace plist {

ssize_t FileOps::write(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }
int FileOps::fsync(int fd) { return ::fsync(fd); }
int FileOps::renameat(int fromDirectory, const char* from, int toDirectory, const char* to) {
  return ::renameat(fromDirectory, from, toDirectory, to);
}

FileOps& systemFileOps() {
  static FileOps ops;
  return ops;
}

namespace {

FileError systemError(const std::string& what, const std::string& path, int error) {
  return FileError{what + " " + path + ": " + std::strerror(error), error};
}

// Closes a descriptor on scope exit.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }
  int get() const { return fd_; }
  void adopt(int fd) {
    reset();
    fd_ = fd;
  }
  // Closes now; returns close()'s result.
  int reset() {
    int result = 0;
    if (fd_ >= 0) result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Temporaries are ".<name>.XXXXXXXX" beside the file, XXXXXXXX from this alphabet.
constexpr char kTemporaryAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::size_t kTemporarySuffixLength = 8;

std::string temporaryNameFor(const std::string& baseName) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  std::string name = "." + baseName + ".";
  for (std::size_t i = 0; i < kTemporarySuffixLength; ++i)
    name += kTemporaryAlphabet[random() % (sizeof kTemporaryAlphabet - 1)];
  return name;
}

bool isTemporaryNameFor(std::string_view candidate, const std::string& baseName) {
  const std::size_t prefixLength = baseName.size() + 2;
  if (candidate.size() != prefixLength + kTemporarySuffixLength || candidate[0] != '.' ||
      candidate.substr(1, baseName.size()) != baseName || candidate[prefixLength - 1] != '.')
    return false;
  return candidate.find_first_not_of(kTemporaryAlphabet, prefixLength) == std::string_view::npos;
}

// A writer holds an exclusive lock on its temporary from just after creating it until it
// has been renamed into place, so a temporary whose lock can be taken has no writer left.
// False when the file was lost to a clean-up before the lock was taken: the caller makes
// another.
bool holdTemporary(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno != EWOULDBLOCK;  // no locks here: no clean-up either
  struct stat status {};
  return ::fstat(fd, &status) == 0 && status.st_nlink > 0;
}

// Deletes the temporaries of baseName that writers killed before finishing left behind. Only
// regular files of this user whose lock can be taken go, each deleted while locked, so that
// a writer creating it at that moment notices (holdTemporary) and never uses it.
void removeStaleTemporaries(int directoryFd, const std::string& baseName) {
  const int listFd = ::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  DIR* listing = ::fdopendir(listFd);
  if (!listing) {
    ::close(listFd);
    return;
  }
  while (const dirent* entry = ::readdir(listing)) {
    if (!isTemporaryNameFor(entry->d_name, baseName)) continue;
    FileDescriptor candidate(::openat(directoryFd, entry->d_name,
                                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {}, named {};
    if (candidate.get() < 0 || ::fstat(candidate.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_uid != ::geteuid() || ::flock(candidate.get(), LOCK_EX | LOCK_NB) != 0)
      continue;
    if (::fstatat(directoryFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
      ::unlinkat(directoryFd, entry->d_name, 0);
  }
  ::closedir(listing);
}

}  // namespace

Expected<std::string, FileError> readFile(const std::string& path, std::size_t maxSize) {
  // Opening a fifo or a device can block for ever or act on the device, so anything but a
  // regular file is refused before it is opened; the open itself cannot block either, should
  // the path be swapped meanwhile, and what was opened is checked again.
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return unexpected(systemError("cannot open", path, errno));
  if (!S_ISREG(status.st_mode)) return unexpected(FileError{path + " is not a regular file", 0});
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return unexpected(systemError("cannot open", path, errno));
  if (::fstat(fd.get(), &status) != 0) return unexpected(systemError("cannot examine", path, errno));
  if (!S_ISREG(status.st_mode)) return unexpected(FileError{path + " is not a regular file", 0});
  if (static_cast<std::size_t>(status.st_size) > maxSize)
    return unexpected(FileError{path + " is too large (" + std::to_string(status.st_size) + " bytes)", 0});

  std::string content;
  content.resize(static_cast<std::size_t>(status.st_size));
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) {
      // Full as fstat said: usually the end of the file, which a small read on the stack
      // confirms without doubling the buffer. The file may have grown since; then the
      // buffer grows and reading goes on, within the limit.
      char probe[4096];
      const ssize_t more = ::read(fd.get(), probe, sizeof probe);
      if (more == 0) break;
      if (more < 0 && errno == EINTR) continue;
      if (more < 0) return unexpected(systemError("cannot read", path, errno));
      if (content.size() + static_cast<std::size_t>(more) > maxSize)
        return unexpected(FileError{path + " is too large", 0});
      const std::size_t needed = content.size() + static_cast<std::size_t>(more);
      content.resize(std::min(maxSize, std::max<std::size_t>(needed, content.size() * 2)));
      std::memcpy(content.data() + filled, probe, static_cast<std::size_t>(more));
      filled += static_cast<std::size_t>(more);
      continue;
    }
    const ssize_t got = ::read(fd.get(), content.data() + filled, content.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return unexpected(systemError("cannot read", path, errno));
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  content.resize(filled);
  return content;
}

Expected<void, FileError> writeFileAtomically(const std::string& requestedPath, std::string_view bytes,
                                              mode_t newFileMode, FileOps& ops) {
  std::string path = requestedPath;
  struct stat linkStatus {};
  if (::lstat(path.c_str(), &linkStatus) == 0 && S_ISLNK(linkStatus.st_mode)) {
    // Keep the link: replace the file it points to.
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
      return unexpected(systemError("cannot resolve symbolic link", path, errno));
    path = resolved;
  }

  const std::string directory = directoryOf(path);
  const std::string baseName = baseNameOf(path);
  FileDescriptor directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directoryFd.get() < 0) return unexpected(systemError("cannot open folder", directory, errno));

  struct stat existing {};
  const bool exists = ::fstatat(directoryFd.get(), baseName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return unexpected(systemError("cannot examine", path, errno));
  if (exists && !S_ISREG(existing.st_mode))
    return unexpected(FileError{path + " is not a regular file", 0});

  removeStaleTemporaries(directoryFd.get(), baseName);

  std::string temporaryName;
  FileDescriptor fd;
  for (int attempt = 0; attempt < 100 && fd.get() < 0; ++attempt) {
    temporaryName = temporaryNameFor(baseName);
    fd.adopt(::openat(directoryFd.get(), temporaryName.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, newFileMode));
    if (fd.get() < 0 && errno != EEXIST)
      return unexpected(systemError("cannot create a temporary file in", directory, errno));
    if (fd.get() >= 0 && !holdTemporary(fd.get())) fd.reset();
  }
  if (fd.get() < 0) return unexpected(systemError("cannot create a temporary file in", directory, EEXIST));

  auto fail = [&](FileError error) -> Expected<void, FileError> {
    ::unlinkat(directoryFd.get(), temporaryName.c_str(), 0);  // while still locked: it is ours
    fd.reset();
    return unexpected(std::move(error));
  };

  if (exists) {
    // Ownership can only be kept by a privileged caller; the mode can always be.
    if (::fchown(fd.get(), existing.st_uid, existing.st_gid) != 0 && errno != EPERM)
      return fail(systemError("cannot set the owner of", temporaryName, errno));
    if (::fchmod(fd.get(), existing.st_mode & 07777) != 0)
      return fail(systemError("cannot set the mode of", temporaryName, errno));
  }

  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = ops.write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return fail(systemError("cannot write", directory + "/" + temporaryName, errno));
    if (count == 0) return fail(systemError("cannot write", directory + "/" + temporaryName, EIO));
    written += static_cast<std::size_t>(count);
  }
  if (ops.fsync(fd.get()) != 0)
    return fail(systemError("cannot flush", directory + "/" + temporaryName, errno));
  // Still open, so still locked: a clean-up by another writer cannot take it before the rename.
  if (ops.renameat(directoryFd.get(), temporaryName.c_str(), directoryFd.get(), baseName.c_str()) != 0)
    return fail(systemError("cannot replace", path, errno));
  fd.reset();  // the data was flushed above; closing has nothing left to report
  // The new content is in place; flushing the folder makes the rename itself durable. Its
  // failure does not undo the replacement, so it is not reported as one.
  ::fsync(directoryFd.get());
  return {};
}

}  // namespace plist
