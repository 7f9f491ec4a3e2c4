#include "foundation/file_manager.h"

#include <dirent.h>
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
#include <string_view>

#include <QFile>

#include "foundation/file_descriptor.h"
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

constexpr std::string_view kStagingMark = ".removing-";
constexpr std::size_t kStagingSuffixLength = kStagingMark.size() + 6;

bool hasStagingSuffixAt(std::string_view name, std::size_t at) {
  return name.size() == at + kStagingSuffixLength && name.substr(at, kStagingMark.size()) == kStagingMark &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789", at + kStagingMark.size()) ==
             std::string_view::npos;
}

// Whether name is one stagingName makes, for whatever item.
bool isStagingName(std::string_view name) {
  return name.size() >= kStagingSuffixLength && name[0] == '.' &&
         hasStagingSuffixAt(name, name.size() - kStagingSuffixLength);
}

// Whether candidate is exactly a name stagingName makes for the item called name.
bool isStagingNameOf(std::string_view candidate, std::string_view name) {
  return candidate.size() > name.size() + 1 && candidate[0] == '.' && candidate.substr(1, name.size()) == name &&
         hasStagingSuffixAt(candidate, name.size() + 1);
}

// Splits a path into its folder and its last component, ignoring trailing slashes.
struct PathParts {
  std::string native, parent, name;
};
PathParts splitPath(const QString& path) {
  PathParts parts;
  parts.native = QFile::encodeName(path).toStdString();
  while (parts.native.size() > 1 && parts.native.back() == '/') parts.native.pop_back();
  const std::size_t slash = parts.native.rfind('/');
  parts.parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parts.native.substr(0, slash);
  parts.name = slash == std::string::npos ? parts.native : parts.native.substr(slash + 1);
  return parts;
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

std::optional<NSFileManager::LinkDestination> NSFileManager::destinationOfSymbolicLinkAtPath(
    const QString& path) const {
  if (path.isEmpty()) return std::nullopt;
  const QByteArray native = QFile::encodeName(path);
  struct stat info;
  if (lstat(native.constData(), &info) != 0 || !S_ISLNK(info.st_mode)) return std::nullopt;
  LinkDestination destination;
  if (stat(native.constData(), &info) != 0) return destination;  // leads nowhere
  destination.exists = true;
  destination.isDirectory = S_ISDIR(info.st_mode);
  if (destination.isDirectory) {
    // Opening a directory reads nothing in it; it only tells whether it can be opened.
    FileDescriptor opened(open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    destination.isAccessibleDirectory = opened.get() >= 0;
  }
  return destination;
}

QStringList NSFileManager::remnantsOfRemovalsAtPath(const QString& path) const {
  const PathParts parts = splitPath(path);
  QStringList remnants;
  if (parts.name.empty() || parts.name == "/") return remnants;
  FileDescriptor folder(open(parts.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return remnants;
  const int listFd = dup(folder.get());
  DIR* listing = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (!listing) {
    if (listFd >= 0) close(listFd);
    return remnants;
  }
  const std::string prefix = parts.native.substr(0, parts.native.size() - parts.name.size());
  while (const dirent* entry = readdir(listing)) {
    struct stat info;
    if (!isStagingNameOf(entry->d_name, parts.name) ||
        fstatat(folder.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || info.st_uid != geteuid())
      continue;
    remnants << QFile::decodeName(QByteArray::fromStdString(prefix + entry->d_name));
  }
  closedir(listing);
  remnants.sort();
  return remnants;
}

bool NSFileManager::removeItemAtPathError(const QString& path, NSError* error) {
  const PathParts parts = splitPath(path);
  const std::string& native = parts.native;
  if (native.empty()) return failOnItem(error, ENOENT, path);
  if (native == "/") return failOnItem(error, EBUSY, path);
  const std::size_t slash = native.rfind('/');
  const std::string& parent = parts.parent;
  const std::string& name = parts.name;
  if (name == "." || name == "..") return failOnItem(error, EINVAL, path);

  // The folder holding the item is reached the usual way; from there on nothing is followed.
  FileDescriptor folder(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return failOnItem(error, errno, path);

  struct stat info;
  if (fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return failOnItem(error, errno, path);

  if (!S_ISDIR(info.st_mode)) {
    // Files and links go in one step: there is no half-removed state to guard against.
    if (unlinkat(folder.get(), name.c_str(), 0) != 0) return failOnItem(error, errno, path);
    return true;
  }

  // What an earlier removal left under a staging name is out of the way already: it is
  // deleted where it is, so that whatever is still left of it keeps a name a later run finds.
  const bool alreadyStaged = isStagingName(name);
  std::string staged = name;
  int renameError = alreadyStaged ? 0 : EEXIST;
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
    if (alreadyStaged || renameWithoutReplacing(folder.get(), staged.c_str(), name.c_str()) == 0)
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

  if (alreadyStaged) {
    // It is at its own path still; there is nowhere else to point to.
  } else if (result.removedEntries == 0 &&
             renameWithoutReplacing(folder.get(), staged.c_str(), name.c_str()) == 0) {
    description += QStringLiteral("; nothing was removed");
  } else {
    description += QStringLiteral("; what is left of it is in %1").arg(quoted(stagedPath));
  }
  return fail(error, result.error, description);
}

}  // namespace foundation
