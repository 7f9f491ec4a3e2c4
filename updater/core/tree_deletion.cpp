#include "updater/core/tree_deletion.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace updater {
namespace {

constexpr int kMaxDepth = 512;

Error failure(const std::string& entry, int error) {
  return makeError(QStringLiteral("Cannot delete \"%1\": %2")
                       .arg(QString::fromUtf8(entry.c_str()), QString::fromLocal8Bit(std::strerror(error))));
}

Status deleteContents(int directoryFd, dev_t device, const std::string& where, int depth) {
  if (depth > kMaxDepth) return failure(where, ELOOP);
  const int listingFd = ::dup(directoryFd);
  if (listingFd < 0) return failure(where, errno);
  DIR* listing = ::fdopendir(listingFd);
  if (!listing) {
    const int error = errno;
    ::close(listingFd);
    return failure(where, error);
  }
  Status status;
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = where.empty() ? name : where + '/' + name;
    struct stat info {};
    if (::fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      status = failure(path, errno);
      break;
    }
    if (S_ISDIR(info.st_mode)) {
      if (info.st_dev != device) {
        status = failure(path, EXDEV);  // a mount point: leave what is mounted alone
        break;
      }
      const int child = ::openat(directoryFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) {
        status = failure(path, errno);
        break;
      }
      if ((info.st_mode & S_IRWXU) != S_IRWXU) ::fchmod(child, (info.st_mode & 07777) | S_IRWXU);
      status = deleteContents(child, device, path, depth + 1);
      ::close(child);
      if (!status) break;
      if (::unlinkat(directoryFd, name.c_str(), AT_REMOVEDIR) != 0) {
        status = failure(path, errno);
        break;
      }
    } else if (::unlinkat(directoryFd, name.c_str(), 0) != 0) {
      status = failure(path, errno);
      break;
    }
    errno = 0;
  }
  if (status && errno != 0) status = failure(where, errno);
  ::closedir(listing);
  return status;
}

}  // namespace

Status deleteFolderContents(int directoryFd) {
  struct stat info {};
  if (::fstat(directoryFd, &info) != 0) return failure({}, errno);
  return deleteContents(directoryFd, info.st_dev, {}, 0);
}

}  // namespace updater
