#include "updater/core/mapped_file.h"

#include "foundation/file_descriptor.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace updater {

namespace {
QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }
}  // namespace

Result<MappedFile> MappedFile::open(const QString& path) {
  // Non-blocking: opening a fifo must not wait for a writer; it is refused just after.
  foundation::FileDescriptor fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return makeError(QStringLiteral("Cannot open %1: %2").arg(path, systemReason(errno)));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return makeError(QStringLiteral("%1 is not a regular file.").arg(path));
  Result<MappedFile> mapped = map(fd.get());
  if (!mapped) return makeError(QStringLiteral("Cannot read %1: %2").arg(path, mapped.error().message));
  return mapped;
}

Result<MappedFile> MappedFile::map(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return makeError(systemReason(errno));
  if (!S_ISREG(info.st_mode)) return makeError(QStringLiteral("not a regular file"));
  int error = 0;
  std::optional<foundation::MappedRegion> region =
      foundation::MappedRegion::mapReadOnly(fd, static_cast<std::size_t>(info.st_size), &error);
  if (!region) return makeError(systemReason(error));
  return MappedFile(std::move(*region));
}

}  // namespace updater
