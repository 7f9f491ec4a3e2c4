#include "updater/core/delta_application.h"

#include "updater/core/archive_walker.h"

#include <QFile>

#include <zstd.h>

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

struct DescriptorCloser {
  void operator()(int* fd) const {
    if (*fd >= 0) ::close(*fd);
    delete fd;
  }
};
using Descriptor = std::unique_ptr<int, DescriptorCloser>;
Descriptor adopt(int fd) { return Descriptor(new int(fd)); }

// The installed bundle's file at a path relative to it, read without following any link.
Result<std::vector<char>> readInstalledFile(int bundleFd, const std::string& relativePath) {
  auto failure = [&](const QString& why) { return refused(QStringLiteral("the installed file \"%1\" %2").arg(show(relativePath), why)); };
  Descriptor current = adopt(::dup(bundleFd));
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = relativePath.find('/', start);
    const std::string part = relativePath.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    const int flags = slash == std::string::npos ? O_RDONLY | O_NOFOLLOW | O_CLOEXEC : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Descriptor next = adopt(::openat(*current, part.c_str(), flags));
    if (*next < 0) return failure(QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    current = std::move(next);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  struct stat info {};
  if (::fstat(*current, &info) != 0 || !S_ISREG(info.st_mode)) return failure(QStringLiteral("is not a regular file"));
  std::vector<char> bytes(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(*current, bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return failure(QStringLiteral("cannot be read"));
    done += static_cast<std::size_t>(got);
  }
  return bytes;
}

// Decodes one zstd frame of exactly `size` bytes; a patch decodes against the old file as prefix.
Result<std::vector<char>> decode(const std::uint8_t* frame, std::size_t frameLength, std::int64_t size,
                                 const std::vector<char>* prefix, const std::string& path) {
  auto failure = [&](const QString& why) { return refused(QStringLiteral("the data of \"%1\" %2").arg(show(path), why)); };
  if (ZSTD_getFrameContentSize(frame, frameLength) != static_cast<unsigned long long>(size)) {
    return failure(QStringLiteral("does not announce the manifest's size"));
  }
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
  if (!context) return failure(QStringLiteral("cannot be decoded (out of memory)"));
  // A patch may reach back over the whole old file; the output is bounded by the size above.
  ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound);
  if (prefix) ZSTD_DCtx_refPrefix(context.get(), prefix->data(), prefix->size());
  std::vector<char> out(static_cast<std::size_t>(size));
  const std::size_t made = ZSTD_decompressDCtx(context.get(), out.data(), out.size(), frame, frameLength);
  if (ZSTD_isError(made)) return failure(QStringLiteral("does not decode: %1").arg(QString::fromLatin1(ZSTD_getErrorName(made))));
  if (made != out.size()) return failure(QStringLiteral("decodes to another size than the manifest's"));
  return out;
}

class DeltaBuilder {
 public:
  DeltaBuilder(const ParsedDelta& delta, int installedFd, const ExtractionLimits& limits, EntrySink& sink)
      : delta_(delta), installedFd_(installedFd), checker_(limits, sink, QStringLiteral("The delta was refused: %1.")) {}

  // Every old file the delta depends on must be exactly what the manifest says, before anything
  // is built: a bundle changed on this machine takes the full archive instead.
  Status checkSources() {
    for (const DeltaSource& source : delta_.manifest.sources) {
      Result<std::vector<char>> bytes = readInstalledFile(installedFd_, source.path);
      if (!bytes) return bytes.error();
      if (sha256Of(bytes->data(), bytes->size()) != source.sha256) {
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
  Status buildFile(const DeltaEntry& entry, const std::string& path) {
    Result<std::vector<char>> contents = contentsOf(entry);
    if (!contents) return contents.error();
    if (static_cast<std::int64_t>(contents->size()) != entry.size || sha256Of(contents->data(), contents->size()) != entry.sha256) {
      return refused(QStringLiteral("the file \"%1\" it makes differs from its manifest").arg(show(entry.path)));
    }
    if (Status begun = checker_.beginFile(path.c_str(), entry.mode, entry.size); !begun) return begun;
    if (Status written = checker_.writeFile(contents->data(), contents->size()); !written) return written;
    return checker_.endFile();
  }

  Result<std::vector<char>> contentsOf(const DeltaEntry& entry) {
    if (entry.method == DeltaEntry::Method::New) {
      return decode(delta_.data + entry.dataOffset, static_cast<std::size_t>(entry.dataLength), entry.size, nullptr, entry.path);
    }
    Result<std::vector<char>> old = readInstalledFile(installedFd_, entry.path);
    if (!old) return old.error();
    // Read again since checkSources(): it must still be the file that was checked.
    if (sha256Of(old->data(), old->size()) != sourceHashes_.at(entry.path)) {
      return refused(QStringLiteral("the installed file \"%1\" changed while the update was built").arg(show(entry.path)));
    }
    if (entry.method == DeltaEntry::Method::Unchanged) return old;
    return decode(delta_.data + entry.dataOffset, static_cast<std::size_t>(entry.dataLength), entry.size, &*old, entry.path);
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
  Descriptor installedFd = adopt(::open(QFile::encodeName(installedBundlePath).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (*installedFd < 0) return refused(QStringLiteral("the installed bundle cannot be opened: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
  Result<std::unique_ptr<EntrySink>> sink = openDiskSink(destinationDir);
  if (!sink) return sink.error();

  DeltaBuilder builder(delta, *installedFd, limits, **sink);
  if (Status checked = builder.checkSources(); !checked) return checked.error();
  Result<std::string> top = builder.build();
  if (!top) return top.error();
  return destinationDir + u'/' + QString::fromUtf8(top->c_str());
}

}  // namespace updater
