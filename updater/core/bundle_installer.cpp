#include "updater/core/bundle_installer.h"

#include "updater/core/staging_paths.h"
#include "updater/core/tree_deletion.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <vector>

namespace updater {
namespace {

QString osError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// An open folder descriptor that closes itself.
class Folder {
 public:
  explicit Folder(const QString& path)
      : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  Folder(int at, const char* name) : fd_(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {}
  ~Folder() {
    if (fd_ >= 0) ::close(fd_);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  int fd() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace

// One syncfs() rather than an fsync() per file: each fsync ends with a flush of the disk's
// cache, so a pass over a bundle of N files waits for N of them, where syncfs commits the
// journal and flushes the cache once (measured here: 50 files of 1 MB, 0.17 s against 0.04 s).
// What it also writes out is whatever else is pending on that filesystem; the bundle's own
// data is mostly written already, as unpacking starts each file's write-back when it closes.
Status flushBundle(const QString& bundlePath) {
  const QFileInfo bundle(bundlePath);
  Folder parent(bundle.absolutePath());
  Folder folder(parent.fd(), QFile::encodeName(bundle.fileName()).constData());
  if (!folder.isOpen() || ::syncfs(folder.fd()) != 0) {
    return makeError(QStringLiteral("cannot flush the new bundle (%1)").arg(osError(errno)));
  }
  return Status::ok();
}

Status installBundle(const QString& newBundlePath, const QString& installedBundlePath) {
  const QFileInfo fresh(newBundlePath);
  const QFileInfo installed(installedBundlePath);
  const QByteArray freshName = QFile::encodeName(fresh.fileName());
  const QByteArray installedName = QFile::encodeName(installed.fileName());
  auto refuse = [&](const QString& why) {
    return makeError(QStringLiteral("The update cannot be installed at %1: %2").arg(installedBundlePath, why));
  };

  Folder freshParent(fresh.absolutePath());
  Folder installedParent(installed.absolutePath());
  if (!freshParent.isOpen() || !installedParent.isOpen()) return refuse(osError(errno));

  struct stat freshInfo {}, installedInfo {};
  if (::fstatat(installedParent.fd(), installedName.constData(), &installedInfo, AT_SYMLINK_NOFOLLOW) != 0) {
    return refuse(QStringLiteral("the installed bundle is missing (%1)").arg(osError(errno)));
  }
  if (!S_ISDIR(installedInfo.st_mode)) return refuse(QStringLiteral("the installed bundle is not a folder"));
  if (::fstatat(freshParent.fd(), freshName.constData(), &freshInfo, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(freshInfo.st_mode)) {
    return refuse(QStringLiteral("the new bundle is not a folder"));
  }
  if (freshInfo.st_dev != installedInfo.st_dev) return refuse(QStringLiteral("the new bundle is on another filesystem"));
  if (freshInfo.st_ino == installedInfo.st_ino) return refuse(QStringLiteral("the new bundle is the installed one"));

  // The new bundle's contents reach the disk before it takes the installed one's place, so that
  // even a power cut right after the exchange leaves a complete bundle.
  if (Status flushed = flushBundle(newBundlePath); !flushed) return refuse(flushed.error().message);

  if (::renameat2(freshParent.fd(), freshName.constData(), installedParent.fd(), installedName.constData(), RENAME_EXCHANGE) != 0) {
    const int error = errno;
    if (error == EINVAL || error == ENOSYS) {
      return refuse(QStringLiteral("this filesystem cannot exchange two folders atomically (%1)").arg(osError(error)));
    }
    return refuse(osError(error));
  }
  // Make the exchange itself durable. The install has happened either way: a failed flush is
  // not reported as a failed install.
  ::fsync(installedParent.fd());
  ::fsync(freshParent.fd());
  return Status::ok();
}

Result<int> cleanLeftovers(const QString& installedBundlePath) {
  const QFileInfo installed(installedBundlePath);
  const QString bundleName = installed.fileName();
  Folder parent(installed.absolutePath());
  if (!parent.isOpen()) {
    return makeError(QStringLiteral("Cannot look for leftovers in %1: %2").arg(installed.absolutePath(), osError(errno)));
  }

  const int listingFd = ::dup(parent.fd());
  DIR* listing = listingFd >= 0 ? ::fdopendir(listingFd) : nullptr;
  if (!listing) {
    if (listingFd >= 0) ::close(listingFd);
    return makeError(QStringLiteral("Cannot list %1: %2").arg(installed.absolutePath(), osError(errno)));
  }
  std::vector<QByteArray> candidates;
  while (const dirent* entry = ::readdir(listing)) {
    if (isStagingName(QFile::decodeName(entry->d_name), bundleName)) candidates.emplace_back(entry->d_name);
  }
  ::closedir(listing);

  int removed = 0;
  std::optional<Error> firstFailure;
  for (const QByteArray& name : candidates) {
    Folder leftover(parent.fd(), name.constData());
    if (!leftover.isOpen()) continue;  // not a folder (or already gone): not ours to touch
    // A live run holds its staging folder locked.
    if (::flock(leftover.fd(), LOCK_EX | LOCK_NB) != 0) continue;
    Status deleted = deleteFolderContents(leftover.fd());
    if (deleted && ::unlinkat(parent.fd(), name.constData(), AT_REMOVEDIR) == 0) {
      ++removed;
    } else if (!firstFailure) {
      firstFailure = deleted ? makeError(QStringLiteral("Cannot delete %1: %2").arg(QFile::decodeName(name), osError(errno)))
                             : deleted.error();
    }
  }
  if (firstFailure) return *firstFailure;
  return removed;
}

}  // namespace updater
