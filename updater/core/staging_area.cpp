#include "updater/core/staging_area.h"

#include "updater/core/staging_paths.h"
#include "updater/core/tree_deletion.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace updater {
namespace {

QString osError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

constexpr char kExtractionFolder[] = "extracted";

}  // namespace

QString stagingPrefix(const QString& bundleName) { return u'.' + bundleName + QStringLiteral(".update-"); }

bool isStagingName(const QString& fileName, const QString& bundleName) {
  const QString prefix = stagingPrefix(bundleName);
  return fileName.size() == prefix.size() + 6 && fileName.startsWith(prefix) && !fileName.contains(u'/');
}

Result<StagingArea> StagingArea::create(const QString& installedBundlePath) {
  const QFileInfo installed(installedBundlePath);
  const QString bundleName = installed.fileName();
  if (bundleName.isEmpty()) return makeError(QStringLiteral("No installed bundle path was given."));
  const QByteArray pattern = QFile::encodeName(installed.absolutePath() + u'/' + stagingPrefix(bundleName) + QStringLiteral("XXXXXX"));

  // Another run's cleanLeftovers() may remove a staging folder in the moment between its creation
  // and its lock; such a folder is seen to be gone once locked, and a new one is made.
  int lastError = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    QByteArray path = pattern;
    if (!::mkdtemp(path.data())) return makeError(QStringLiteral("Cannot create a staging folder next to %1: %2").arg(installedBundlePath, osError(errno)));
    foundation::FileDescriptor fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
      lastError = errno;
      continue;
    }
    struct stat info {};
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(fd.get(), &info) == 0 && info.st_nlink > 0 &&
        ::mkdirat(fd.get(), kExtractionFolder, 0700) == 0) {
      return StagingArea(QFile::decodeName(path), std::move(fd));
    }
    lastError = errno;
  }
  return makeError(QStringLiteral("Cannot set up a staging folder next to %1: %2").arg(installedBundlePath, osError(lastError)));
}

StagingArea::StagingArea(QString path, foundation::FileDescriptor lockFd) : path_(std::move(path)), lockFd_(std::move(lockFd)) {}

StagingArea::StagingArea(StagingArea&& other) noexcept
    : path_(std::exchange(other.path_, QString())), lockFd_(std::move(other.lockFd_)) {}

StagingArea& StagingArea::operator=(StagingArea&& other) noexcept {
  if (this != &other) {
    (void)remove();
    path_ = std::exchange(other.path_, QString());
    lockFd_ = std::move(other.lockFd_);
  }
  return *this;
}

StagingArea::~StagingArea() { (void)remove(); }

QString StagingArea::path() const { return path_; }
QString StagingArea::extractionPath() const { return filePath(QString::fromLatin1(kExtractionFolder)); }
QString StagingArea::filePath(const QString& fileName) const { return path_ + u'/' + fileName; }

Status StagingArea::remove() {
  if (!lockFd_) return Status::ok();
  Status status = deleteFolderContents(lockFd_.get());
  if (status && ::rmdir(QFile::encodeName(path_).constData()) != 0 && errno != ENOENT) {
    status = makeError(QStringLiteral("Cannot delete the staging folder %1: %2").arg(path_, osError(errno)));
  }
  lockFd_.reset();  // releases the lock; a folder left behind is a leftover for the next run
  return status;
}

}  // namespace updater
