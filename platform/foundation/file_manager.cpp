#include "foundation/file_manager.h"

#include <fcntl.h>
#include <linux/limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <cstring>
#include <string>

#include <QFile>

#include "foundation/tree_removal.h"

namespace foundation {
namespace {

QString quoted(const QString& path) { return QStringLiteral("\u201C%1\u201D").arg(path); }

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

bool fail(NSError* error, int code, const QString& description) {
  if (error) *error = NSError::posixError(code, description);
  return false;
}

bool failOnItem(NSError* error, int code, const QString& path) {
  return fail(error, code,
              QStringLiteral("Could not remove %1: %2").arg(quoted(path), systemReason(code)));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A hidden name in the same folder, so the item disappears from its path in one step and
// nothing looks for it under the new name (it no longer has its extension).
std::string stagingName(const std::string& name, int attempt) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    bits = (static_cast<std::uint64_t>(now.tv_nsec) * 2654435761u) ^ (static_cast<std::uint64_t>(getpid()) << 32) ^
           static_cast<std::uint64_t>(attempt);
  }
  std::string suffix = ".removing-";
  for (int i = 0; i < 6; ++i, bits /= 36) suffix += kAlphabet[bits % 36];
  if (1 + name.size() + suffix.size() <= NAME_MAX) return "." + name + suffix;
  return suffix;
}

// Renames oldName to newName within one folder without replacing anything at newName.
int renameWithoutReplacing(int folderFd, const char* oldName, const char* newName) {
  if (renameat2(folderFd, oldName, folderFd, newName, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // The file system cannot refuse to replace: check first (the name is random and hidden).
  struct stat existing;
  if (fstatat(folderFd, newName, &existing, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return renameat(folderFd, oldName, folderFd, newName) == 0 ? 0 : errno;
}

}  // namespace

NSFileManager& NSFileManager::defaultManager() {
  static NSFileManager manager;
  return manager;
}

bool NSFileManager::fileExistsAtPathIsDirectory(const QString& path, bool* isDirectory) const {
  if (path.isEmpty()) return false;
  struct stat info;
  if (lstat(QFile::encodeName(path).constData(), &info) != 0) return false;
  if (isDirectory) *isDirectory = S_ISDIR(info.st_mode);
  return true;
}

bool NSFileManager::removeItemAtPathError(const QString& path, NSError* error) {
  std::string native = QFile::encodeName(path).toStdString();
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (native.empty()) return failOnItem(error, ENOENT, path);
  if (native == "/") return failOnItem(error, EBUSY, path);

  const std::size_t slash = native.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
  const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
  if (name == "." || name == "..") return failOnItem(error, EINVAL, path);

  // The folder holding the item is reached the usual way; from there on nothing is followed.
  Descriptor folder(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return failOnItem(error, errno, path);

  struct stat info;
  if (fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return failOnItem(error, errno, path);

  if (!S_ISDIR(info.st_mode)) {
    // Files and links go in one step: there is no half-removed state to guard against.
    if (unlinkat(folder.get(), name.c_str(), 0) != 0) return failOnItem(error, errno, path);
    return true;
  }

  std::string staged;
  int renameError = EEXIST;
  for (int attempt = 0; attempt < 8 && renameError == EEXIST; ++attempt) {
    staged = stagingName(name, attempt);
    renameError = renameWithoutReplacing(folder.get(), name.c_str(), staged.c_str());
  }
  if (renameError != 0) return failOnItem(error, renameError, path);

  const QString stagedPath = QFile::decodeName(
      QByteArray::fromStdString(slash == std::string::npos ? staged : native.substr(0, slash + 1) + staged));

  const int topFd = openat(folder.get(), staged.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (topFd < 0) {
    const int openError = errno;
    // Swapped for a file or link between the check and the rename: that is what was at the
    // path, and it goes as a whole.
    if ((openError == ELOOP || openError == ENOTDIR) && unlinkat(folder.get(), staged.c_str(), 0) == 0)
      return true;
    if (renameWithoutReplacing(folder.get(), staged.c_str(), name.c_str()) == 0)
      return failOnItem(error, openError, path);
    return fail(error, openError,
                QStringLiteral("Could not remove %1: %2; it was moved to %3")
                    .arg(quoted(path), systemReason(openError), quoted(stagedPath)));
  }

  detail::TreeRemovalResult result = detail::removeDirectoryContents(topFd);
  if (result.ok && unlinkat(folder.get(), staged.c_str(), AT_REMOVEDIR) == 0) return true;
  if (result.ok) {
    result.ok = false;
    result.error = errno;
  }

  QString reason = systemReason(result.error);
  if (result.error == EXDEV)
    reason = QStringLiteral("a file system is mounted there");
  QString description = QStringLiteral("Could not remove %1").arg(quoted(path));
  if (!result.failedEntry.empty())
    description += QStringLiteral(" (%1: %2)")
                       .arg(quoted(QFile::decodeName(QByteArray::fromStdString(result.failedEntry))), reason);
  else
    description += QStringLiteral(": %1").arg(reason);

  if (result.removedEntries == 0 &&
      renameWithoutReplacing(folder.get(), staged.c_str(), name.c_str()) == 0) {
    description += QStringLiteral("; nothing was removed");
  } else {
    description += QStringLiteral("; what is left of it is in %1").arg(quoted(stagedPath));
  }
  return fail(error, result.error, description);
}

}  // namespace foundation
