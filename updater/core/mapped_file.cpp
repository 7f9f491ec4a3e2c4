#include "updater/core/mapped_file.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace updater {

Result<MappedFile> MappedFile::open(const QString& path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return makeError(QStringLiteral("Cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return makeError(QStringLiteral("%1 is not a regular file.").arg(path));
  }
  static const unsigned char kEmpty = 0;
  if (info.st_size == 0) {
    ::close(fd);
    return MappedFile(&kEmpty, 0, false);
  }
  void* data = ::mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  const int error = errno;
  ::close(fd);  // the mapping keeps the file open
  if (data == MAP_FAILED) {
    return makeError(QStringLiteral("Cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error))));
  }
  return MappedFile(static_cast<const unsigned char*>(data), static_cast<size_t>(info.st_size), true);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    if (mapped_) ::munmap(const_cast<unsigned char*>(data_), size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (mapped_) ::munmap(const_cast<unsigned char*>(data_), size_);
}

}  // namespace updater
