#include "updater/core/delta_application.h"

#include "updater/core/archive_walker.h"
#include "updater/core/mapped_file.h"

#include "foundation/file_descriptor.h"

#include <QFile>

#include <sodium.h>
#include <zstd.h>

#include <algorithm>
#include <limits>
#include <optional>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace updater {
namespace {

QString show(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

Error refused(const QString& why) { return makeError(QStringLiteral("The delta cannot be applied: %1.").arg(why)); }

// Output is decoded and written this much at a time: memory stays flat whatever the file's size.
constexpr std::size_t kOutputChunk = 1024 * 1024;

// The installed bundle's file at a path relative to it, opened without following any link and
// without waiting (a fifo or a device there is refused, never read), and mapped read-only: its
// bytes come from the file, not the heap.
Result<MappedFile> mapInstalledFile(int bundleFd, const std::string& relativePath) {
  auto failure = [&](const QString& why) { return refused(QStringLiteral("the installed file \"%1\" %2").arg(show(relativePath), why)); };
  foundation::FileDescriptor current(::dup(bundleFd));
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = relativePath.find('/', start);
    const std::string part = relativePath.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    const int flags = slash == std::string::npos ? O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC
                                                 : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    foundation::FileDescriptor next(::openat(current.get(), part.c_str(), flags));
    if (!next) return failure(QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    current = std::move(next);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  struct stat info {};
  if (::fstat(current.get(), &info) != 0 || !S_ISREG(info.st_mode)) return failure(QStringLiteral("is not a regular file"));
  Result<MappedFile> mapped = MappedFile::map(current.get());
  if (!mapped) return failure(QStringLiteral("cannot be read: %1").arg(mapped.error().message));
  return mapped;
}

// SHA-256 over a stream of pieces.
class Sha256Stream {
 public:
  Sha256Stream() { crypto_hash_sha256_init(&state_); }
  void update(const void* data, std::size_t size) {
    crypto_hash_sha256_update(&state_, static_cast<const unsigned char*>(data), size);
  }
  Sha256 final() {
    Sha256 hash{};
    crypto_hash_sha256_final(&state_, hash.data());
    return hash;
  }

 private:
  crypto_hash_sha256_state state_;
};

class DeltaBuilder {
 public:
  DeltaBuilder(const ParsedDelta& delta, int installedFd, const ExtractionLimits& limits, EntrySink& sink)
      : delta_(delta), installedFd_(installedFd), checker_(limits, sink, QStringLiteral("The delta was refused: %1.")) {}

  // Every old file the delta depends on must be exactly what the manifest says, before anything
  // is built: a bundle changed on this machine takes the full archive instead.
  Status checkSources() {
    for (const DeltaSource& source : delta_.manifest.sources) {
      Result<MappedFile> file = mapInstalledFile(installedFd_, source.path);
      if (!file) return file.error();
      const bool same = sha256Of(file->data(), file->size()) == source.sha256;
      file->region().doneWith();
      if (!same) {
        return refused(QStringLiteral("the installed file \"%1\" differs from the one the delta was made from").arg(show(source.path)));
      }
      sourceHashes_.emplace(source.path, source.sha256);
    }
    return Status::ok();
  }

  Result<std::string> build() {
    const std::string top = delta_.manifest.bundleName;
    if (Status made = checker_.directory(top.c_str()); !made) return made.error();
    for (const DeltaEntry& entry : delta_.manifest.entries) {
      const std::string path = top + '/' + entry.path;
      Status made = Status::ok();
      switch (entry.kind) {
        case DeltaEntry::Kind::Directory: made = checker_.directory(path.c_str()); break;
        case DeltaEntry::Kind::Link: made = checker_.symlink(path.c_str(), entry.target.c_str()); break;
        case DeltaEntry::Kind::File: made = buildFile(entry, path); break;
      }
      if (!made) return made.error();
    }
    return checker_.finish();
  }

 private:
  // The file is written as it is decoded; one whose size or hash then differs from the manifest
  // fails the whole delta, and what was written of it goes with the staging area.
  Status buildFile(const DeltaEntry& entry, const std::string& path) {
    std::optional<MappedFile> old;
    if (entry.method != DeltaEntry::Method::New) {
      Result<MappedFile> mapped = mapInstalledFile(installedFd_, entry.path);
      if (!mapped) return mapped.error();
      old.emplace(std::move(mapped).value());
    }
    if (Status begun = checker_.beginFile(path.c_str(), entry.mode, entry.size); !begun) return begun;
    Sha256Stream made;
    std::int64_t length = 0;
    auto write = [&](const void* data, std::size_t size) {
      made.update(data, size);
      length += static_cast<std::int64_t>(size);
      return checker_.writeFile(static_cast<const char*>(data), size);
    };
    Status written = Status::ok();
    if (entry.method == DeltaEntry::Method::Unchanged) {
      for (std::size_t at = 0; at < old->size() && written; at += kOutputChunk) {
        written = write(old->data() + at, std::min(kOutputChunk, old->size() - at));
      }
    } else {
      const MappedFile* prefix = old ? &*old : nullptr;
      std::optional<Status> inPlace = decodeInPlace(entry, prefix, made, length);
      written = inPlace ? *inPlace : decode(entry, prefix, write);
    }
    if (old) old->region().doneWith();
    if (!written) return written;
    // The old file must still be the one checked: it was read again, while it was used.
    if (old && sha256Of(old->data(), old->size()) != sourceHashes_.at(entry.path)) {
      return refused(QStringLiteral("the installed file \"%1\" changed while the update was built").arg(show(entry.path)));
    }
    if (length != entry.size || made.final() != entry.sha256) {
      return refused(QStringLiteral("the file \"%1\" it makes differs from its manifest").arg(show(entry.path)));
    }
    return checker_.endFile();
  }

  // Decodes the entry's zstd frame in one pass straight into the new file, mapped shared: the
  // decoder then needs no window of its own (the streaming one keeps a window as large as the
  // frame's, which for a patch is about the old file's size), and the new file's pages are page
  // cache, written back by the system, not private memory. Nothing when the file cannot be filled
  // that way (no file to map, a file system without fallocate, an address space too small); then
  // nothing was written and the caller decodes piece by piece instead.
  std::optional<Status> decodeInPlace(const DeltaEntry& entry, const MappedFile* prefix, Sha256Stream& made, std::int64_t& length) {
    auto failure = [&](const QString& why) { return refused(QStringLiteral("the data of \"%1\" %2").arg(show(entry.path), why)); };
    const int fd = checker_.fileBeingWritten();
    if (fd < 0 || entry.size <= 0 || static_cast<std::uint64_t>(entry.size) > std::numeric_limits<std::size_t>::max() / 2) return std::nullopt;
    const std::uint8_t* frame = delta_.data + entry.dataOffset;
    const std::size_t frameLength = static_cast<std::size_t>(entry.dataLength);
    // The size was checked against the limits when the file was begun; the frame must announce it.
    if (ZSTD_getFrameContentSize(frame, frameLength) != static_cast<unsigned long long>(entry.size)) {
      return failure(QStringLiteral("does not announce the manifest's size"));
    }
    // Blocks allocated now: a full disk fails here, never as SIGBUS on a store into the mapping.
    if (const int error = ::posix_fallocate(fd, 0, static_cast<off_t>(entry.size)); error != 0) {
      if (error == EOPNOTSUPP || error == EINVAL || error == ENOSYS) {
        if (::ftruncate(fd, 0) != 0) return failure(QStringLiteral("cannot be written: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return std::nullopt;
      }
      return failure(QStringLiteral("cannot be written: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
    }
    std::optional<foundation::MappedRegion> out = foundation::MappedRegion::mapWritable(fd, static_cast<std::size_t>(entry.size), nullptr);
    if (!out) {
      if (::ftruncate(fd, 0) != 0) return failure(QStringLiteral("cannot be written: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
      return std::nullopt;
    }
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
    if (!context) return failure(QStringLiteral("cannot be decoded (out of memory)"));
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound);
    if (prefix) ZSTD_DCtx_refPrefix(context.get(), prefix->data(), prefix->size());
    const std::size_t produced = ZSTD_decompressDCtx(context.get(), out->writableData(), out->size(), frame, frameLength);
    if (ZSTD_isError(produced)) return failure(QStringLiteral("does not decode: %1").arg(QString::fromLatin1(ZSTD_getErrorName(produced))));
    if (produced != out->size()) return failure(QStringLiteral("decodes to another size than the manifest's"));
    made.update(out->data(), out->size());
    length = static_cast<std::int64_t>(produced);
    out->doneWith();
    return checker_.wroteInPlace(length);
  }

  // Decodes the entry's zstd frame piece by piece into write(); a patch against the old file as
  // prefix. The frame must announce exactly the manifest's size.
  template <typename Write>
  Status decode(const DeltaEntry& entry, const MappedFile* prefix, Write& write) {
    auto failure = [&](const QString& why) { return refused(QStringLiteral("the data of \"%1\" %2").arg(show(entry.path), why)); };
    const std::uint8_t* frame = delta_.data + entry.dataOffset;
    const std::size_t frameLength = static_cast<std::size_t>(entry.dataLength);
    if (ZSTD_getFrameContentSize(frame, frameLength) != static_cast<unsigned long long>(entry.size)) {
      return failure(QStringLiteral("does not announce the manifest's size"));
    }
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
    if (!context) return failure(QStringLiteral("cannot be decoded (out of memory)"));
    // A patch may reach back over the whole old file, which is mapped, not copied.
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound);
    if (prefix) ZSTD_DCtx_refPrefix(context.get(), prefix->data(), prefix->size());
    std::vector<char> out(kOutputChunk);
    ZSTD_inBuffer input{frame, frameLength, 0};
    std::int64_t produced = 0;
    for (;;) {
      ZSTD_outBuffer output{out.data(), out.size(), 0};
      const std::size_t left = ZSTD_decompressStream(context.get(), &output, &input);
      if (ZSTD_isError(left)) return failure(QStringLiteral("does not decode: %1").arg(QString::fromLatin1(ZSTD_getErrorName(left))));
      produced += static_cast<std::int64_t>(output.pos);
      if (produced > entry.size) return failure(QStringLiteral("decodes to another size than the manifest's"));
      if (output.pos > 0) {
        if (Status written = write(out.data(), output.pos); !written) return written;
      }
      if (left == 0) break;  // the frame is complete
      if (input.pos == input.size && output.pos < output.size) return failure(QStringLiteral("is cut short"));
    }
    if (produced != entry.size) return failure(QStringLiteral("decodes to another size than the manifest's"));
    return Status::ok();
  }

  const ParsedDelta& delta_;
  const int installedFd_;
  EntryChecker checker_;
  std::unordered_map<std::string, Sha256> sourceHashes_;
};

}  // namespace

Result<QString> applyDelta(const ParsedDelta& delta, const QString& installedBundlePath, const BundleInfo& installed,
                           const QString& destinationDir, const ExtractionLimits& limits) {
  const DeltaBundleVersion& from = delta.manifest.from;
  if (from.identifier != installed.identifier || from.version != installed.version) {
    return refused(QStringLiteral("it was made from %1 version %2, but %3 version %4 is installed")
                       .arg(from.identifier, from.version, installed.identifier, installed.version));
  }
  foundation::FileDescriptor installedFd(::open(QFile::encodeName(installedBundlePath).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!installedFd) return refused(QStringLiteral("the installed bundle cannot be opened: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
  Result<std::unique_ptr<EntrySink>> sink = openDiskSink(destinationDir);
  if (!sink) return sink.error();

  DeltaBuilder builder(delta, installedFd.get(), limits, **sink);
  if (Status checked = builder.checkSources(); !checked) return checked.error();
  Result<std::string> top = builder.build();
  if (!top) return top.error();
  return destinationDir + u'/' + QString::fromUtf8(top->c_str());
}

}  // namespace updater
