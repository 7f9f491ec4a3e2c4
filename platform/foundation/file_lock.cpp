#include "foundation/file_lock.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <memory>

namespace foundation {

namespace {
constexpr std::chrono::milliseconds kRetryInterval{50};
}  // namespace

std::optional<FileLock> FileLock::tryLock(const QString& path, NSError* error) {
  auto failure = [&](int code, const QString& why) {
    if (error) *error = NSError::posixError(code, QStringLiteral("%1: %2").arg(path, why));
    return std::nullopt;
  };
  // Non-blocking and regular files only: whatever else sits at the path is refused, never waited on.
  FileDescriptor fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
  if (!fd) return failure(errno, QString::fromLocal8Bit(std::strerror(errno)));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return failure(EINVAL, QStringLiteral("not a regular file"));
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    if (code == EWOULDBLOCK) return failure(code, QStringLiteral("held by another process"));
    return failure(code, QString::fromLocal8Bit(std::strerror(code)));
  }
  return FileLock(std::move(fd));
}

void FileLock::lockWhenFree(const QString& path, std::chrono::milliseconds timeout, QObject* context, Done done) {
  auto* timer = new QTimer(context);
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  QObject::connect(timer, &QTimer::timeout, timer, [=]() {
    NSError error;
    std::optional<FileLock> lock = tryLock(path, &error);
    if (!lock && error.code() == EWOULDBLOCK && clock->elapsed() < timeout.count()) {
      timer->start(kRetryInterval);
      return;
    }
    timer->deleteLater();
    if (!lock && error.code() == EWOULDBLOCK) {
      error = NSError::posixError(ETIMEDOUT, QStringLiteral("%1: still held by another process after %2 s")
                                                 .arg(path).arg(timeout.count() / 1000.0));
    }
    done(std::move(lock), error);
  });
  timer->setSingleShot(true);
  timer->start(0);
}

QString installationLockPathForBundle(const QString& bundlePath) {
  const QFileInfo bundle(QDir::cleanPath(bundlePath));
  const QString holder = bundle.absolutePath();  // the bundles' folder
  const QString above = QFileInfo(holder).absolutePath();
  return QDir(above).filePath(QStringLiteral(".%1-installation.lock").arg(bundle.fileName()));
}

}  // namespace foundation
