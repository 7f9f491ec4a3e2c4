#include "updater/core/archive_extraction.h"

#include "updater/core/archive_walker.h"

#include "foundation/file_descriptor.h"

#include <archive.h>

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace updater {
namespace {

QString osError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

Error diskFailure(const EntryPath& path, int error) {
  std::string shown;
  for (const std::string& part : path) shown += (shown.empty() ? "" : "/") + part;
  return makeError(QStringLiteral("The update cannot be unpacked (\"%1\"): %2").arg(QString::fromUtf8(shown.c_str()), osError(error)));
}

using foundation::FileDescriptor;

// Writes entries below a root folder, descriptor-relative and never following a link: a link
// created by an earlier entry can never redirect a later one.
class DiskSink final : public EntrySink {
 public:
  explicit DiskSink(int rootFd) : root_(rootFd) {}

  Status makeDirectory(const EntryPath& path) override {
    Result<int> parent = parentOf(path);
    if (!parent) return parent.error();
    if (::mkdirat(*parent, path.back().c_str(), 0755) == 0) return Status::ok();
    const int error = errno;
    struct stat info {};
    if (error == EEXIST && ::fstatat(*parent, path.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)) {
      return Status::ok();
    }
    return diskFailure(path, error);
  }

  Status beginFile(const EntryPath& path, unsigned mode) override {
    Result<int> parent = parentOf(path);
    if (!parent) return parent.error();
    file_.reset(::openat(*parent, path.back().c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file_.get() < 0) return diskFailure(path, errno);
    filePath_ = path;
    fileMode_ = mode;
    return Status::ok();
  }

  Status writeFile(const char* data, std::size_t length) override {
    while (length > 0) {
      const ssize_t written = ::write(file_.get(), data, length);
      if (written < 0) {
        if (errno == EINTR) continue;
        return diskFailure(filePath_, errno);
      }
      data += written;
      length -= static_cast<std::size_t>(written);
    }
    return Status::ok();
  }

  Status endFile() override {
    // The umask may have narrowed the mode at creation; set exactly what was decided.
    if (::fchmod(file_.get(), fileMode_) != 0) return diskFailure(filePath_, errno);
    // Start writing the file back now, without waiting: the install must flush it before the
    // exchange, and by then most of the bundle is already on the disk. Only a hint; the flush
    // still waits for every byte.
    ::sync_file_range(file_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    if (::close(file_.release()) != 0) return diskFailure(filePath_, errno);
    return Status::ok();
  }

  int fileBeingWritten() const override { return file_.get(); }

  Status makeSymlink(const EntryPath& path, const std::string& target) override {
    Result<int> parent = parentOf(path);
    if (!parent) return parent.error();
    if (::symlinkat(target.c_str(), *parent, path.back().c_str()) != 0) return diskFailure(path, errno);
    return Status::ok();
  }

 private:
  // The folder that holds path's last component, opened component by component without
  // following links. The last one is kept open: entries usually come folder by folder.
  Result<int> parentOf(const EntryPath& path) {
    const EntryPath parentPath(path.begin(), path.end() - 1);
    if (parentPath.empty()) return root_.get();
    if (cachedFd_.get() >= 0 && cachedPath_ == parentPath) return cachedFd_.get();
    FileDescriptor current;
    int at = root_.get();
    for (const std::string& part : parentPath) {
      FileDescriptor next(::openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (next.get() < 0) return diskFailure(parentPath, errno);
      current = std::move(next);
      at = current.get();
    }
    cachedFd_ = std::move(current);
    cachedPath_ = parentPath;
    return cachedFd_.get();
  }

  FileDescriptor root_;
  FileDescriptor cachedFd_;
  EntryPath cachedPath_;
  FileDescriptor file_;
  EntryPath filePath_;
  unsigned fileMode_ = 0600;
};

class NullSink final : public EntrySink {
 public:
  Status makeDirectory(const EntryPath&) override { return Status::ok(); }
  Status beginFile(const EntryPath&, unsigned) override { return Status::ok(); }
  Status writeFile(const char*, std::size_t) override { return Status::ok(); }
  Status endFile() override { return Status::ok(); }
  Status makeSymlink(const EntryPath&, const std::string&) override { return Status::ok(); }
};

struct ReaderDeleter {
  void operator()(struct archive* reader) const { archive_read_free(reader); }
};
using Reader = std::unique_ptr<struct archive, ReaderDeleter>;

Error openFailure(struct archive* reader) {
  const char* detail = archive_error_string(reader);
  return makeError(QStringLiteral("The update archive cannot be read: %1")
                       .arg(detail ? QString::fromUtf8(detail) : QStringLiteral("unknown format")));
}

}  // namespace

Result<std::unique_ptr<EntrySink>> openDiskSink(const QString& destinationDir) {
  const int rootFd = ::open(QFile::encodeName(destinationDir).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (rootFd < 0) return makeError(QStringLiteral("Cannot open the folder %1: %2").arg(destinationDir, osError(errno)));
  return std::unique_ptr<EntrySink>(std::make_unique<DiskSink>(rootFd));
}

Result<QString> extractArchive(const QString& archivePath, const QString& destinationDir, const ExtractionLimits& limits) {
  Result<std::unique_ptr<EntrySink>> sink = openDiskSink(destinationDir);
  if (!sink) return sink.error();

  Reader reader(newRestrictedArchiveReader());
  if (!reader) return makeError(QStringLiteral("Out of memory while opening the update archive."));
  if (archive_read_open_filename(reader.get(), QFile::encodeName(archivePath).constData(), 64 * 1024) != ARCHIVE_OK) {
    return openFailure(reader.get());
  }
  Result<std::string> topLevel = walkArchive(reader.get(), limits, **sink);
  if (!topLevel) return topLevel.error();
  return destinationDir + u'/' + QString::fromUtf8(topLevel->c_str());
}

Result<QString> checkArchive(const QByteArray& archive, const ExtractionLimits& limits) {
  Reader reader(newRestrictedArchiveReader());
  if (!reader) return makeError(QStringLiteral("Out of memory while opening the update archive."));
  if (archive_read_open_memory(reader.get(), archive.constData(), static_cast<size_t>(archive.size())) != ARCHIVE_OK) {
    return openFailure(reader.get());
  }
  NullSink sink;
  Result<std::string> topLevel = walkArchive(reader.get(), limits, sink);
  if (!topLevel) return topLevel.error();
  return QString::fromUtf8(topLevel->c_str());
}

}  // namespace updater
