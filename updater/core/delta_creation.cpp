#include "updater/core/delta_creation.h"

#include "updater/core/bundle_info.h"
#include "updater/core/delta_format.h"

#include <QFile>
#include <QFileInfo>

#include <zstd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <sys/stat.h>

namespace updater {
namespace {

namespace fs = std::filesystem;

Error failure(const QString& why) { return makeError(QStringLiteral("The delta cannot be made: %1.").arg(why)); }

Result<QByteArray> readAll(const fs::path& path) {
  QFile file(QString::fromStdString(path.string()));
  if (!file.open(QIODevice::ReadOnly)) return failure(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
  return file.readAll();
}

// The entries below root, relative to it, sorted so that a folder comes before what it holds.
Result<std::vector<std::string>> listTree(const fs::path& root) {
  std::vector<std::string> paths;
  std::error_code error;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    paths.push_back(it->path().lexically_relative(root).generic_string());
  }
  if (error) return failure(QStringLiteral("cannot list %1: %2").arg(QString::fromStdString(root.string()), QString::fromStdString(error.message())));
  // Component-wise order puts "a" before "a/b" and before "a.b".
  std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    return fs::path(a) < fs::path(b);
  });
  return paths;
}

// One zstd frame of `bytes`, with the old file as prefix when given, and long-distance matching
// over a window that covers the old file and the new one.
Result<QByteArray> compress(const QByteArray& bytes, const QByteArray* prefix, int level) {
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
  if (!context) return failure(QStringLiteral("out of memory"));
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
  const std::size_t span = static_cast<std::size_t>(bytes.size()) + (prefix ? static_cast<std::size_t>(prefix->size()) : 0);
  const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
  int windowLog = bounds.lowerBound;
  while (windowLog < bounds.upperBound && (std::size_t{1} << windowLog) < span) ++windowLog;
  if (prefix) {
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_refPrefix(context.get(), prefix->constData(), static_cast<std::size_t>(prefix->size()));
  }
  QByteArray out(static_cast<qsizetype>(ZSTD_compressBound(static_cast<std::size_t>(bytes.size()))), Qt::Uninitialized);
  const std::size_t made = ZSTD_compress2(context.get(), out.data(), static_cast<std::size_t>(out.size()), bytes.constData(),
                                          static_cast<std::size_t>(bytes.size()));
  if (ZSTD_isError(made)) return failure(QStringLiteral("compression failed: %1").arg(QString::fromLatin1(ZSTD_getErrorName(made))));
  out.truncate(static_cast<qsizetype>(made));
  return out;
}

class DeltaWriter {
 public:
  DeltaWriter(fs::path oldRoot, fs::path newRoot, int level)
      : oldRoot_(std::move(oldRoot)), newRoot_(std::move(newRoot)), level_(level) {}

  Status add(const std::string& path) {
    const fs::path item = newRoot_ / path;
    struct stat info {};
    if (::lstat(item.c_str(), &info) != 0) return failure(QStringLiteral("cannot read %1").arg(QString::fromStdString(item.string())));
    DeltaEntry entry;
    entry.path = path;
    entry.mode = info.st_mode & 07777;
    if (S_ISDIR(info.st_mode)) {
      entry.kind = DeltaEntry::Kind::Directory;
    } else if (S_ISLNK(info.st_mode)) {
      entry.kind = DeltaEntry::Kind::Link;
      std::error_code error;
      entry.target = fs::read_symlink(item, error).string();
      if (error) return failure(QStringLiteral("cannot read the link %1").arg(QString::fromStdString(item.string())));
    } else if (S_ISREG(info.st_mode)) {
      if (Status added = addFile(entry, item); !added) return added;
    } else {
      return failure(QStringLiteral("%1 is neither a folder, a file nor a link").arg(QString::fromStdString(item.string())));
    }
    manifest_.entries.push_back(std::move(entry));
    return Status::ok();
  }

  DeltaManifest& manifest() { return manifest_; }
  const QByteArray& data() const { return data_; }

 private:
  Status addFile(DeltaEntry& entry, const fs::path& item) {
    Result<QByteArray> bytes = readAll(item);
    if (!bytes) return bytes.error();
    entry.kind = DeltaEntry::Kind::File;
    entry.size = bytes->size();
    entry.sha256 = sha256Of(bytes->constData(), static_cast<std::size_t>(bytes->size()));

    std::optional<QByteArray> old;
    const fs::path oldItem = oldRoot_ / entry.path;
    struct stat oldInfo {};
    if (::lstat(oldItem.c_str(), &oldInfo) == 0 && S_ISREG(oldInfo.st_mode)) {
      Result<QByteArray> oldBytes = readAll(oldItem);
      if (!oldBytes) return oldBytes.error();
      old = *oldBytes;
    }
    QByteArray chosen;
    entry.method = DeltaEntry::Method::Unchanged;
    if (old && *old != *bytes) {
      Result<QByteArray> patch = compress(*bytes, &*old, level_);
      if (!patch) return patch.error();
      chosen = *patch;
      entry.method = DeltaEntry::Method::Patch;
    }
    // Carried whole when there is nothing to patch, or (rarely) when that comes out smaller: a
    // patch under a sixteenth of the file is not worth compressing the file again to find out.
    if (!old || (entry.method == DeltaEntry::Method::Patch && chosen.size() > bytes->size() / 16)) {
      Result<QByteArray> whole = compress(*bytes, nullptr, level_);
      if (!whole) return whole.error();
      if (!old || whole->size() < chosen.size()) {
        chosen = *whole;
        entry.method = DeltaEntry::Method::New;
      }
    }
    if (entry.method != DeltaEntry::Method::New) {
      manifest_.sources.push_back(DeltaSource{entry.path, sha256Of(old->constData(), static_cast<std::size_t>(old->size()))});
    }
    if (entry.method != DeltaEntry::Method::Unchanged) {
      entry.dataOffset = data_.size();
      entry.dataLength = chosen.size();
      data_ += chosen;
    }
    return Status::ok();
  }

  fs::path oldRoot_;
  fs::path newRoot_;
  int level_;
  DeltaManifest manifest_;
  QByteArray data_;
};

}  // namespace

Result<QByteArray> makeDelta(const QString& oldBundlePath, const QString& newBundlePath, int compressionLevel) {
  Result<BundleInfo> oldInfo = readBundleInfo(oldBundlePath);
  if (!oldInfo) return oldInfo.error();
  Result<BundleInfo> newInfo = readBundleInfo(newBundlePath);
  if (!newInfo) return newInfo.error();
  const fs::path newRoot(QFile::encodeName(newBundlePath).toStdString());
  Result<std::vector<std::string>> paths = listTree(newRoot);
  if (!paths) return paths.error();

  DeltaWriter writer(fs::path(QFile::encodeName(oldBundlePath).toStdString()), newRoot, compressionLevel);
  writer.manifest().from = {oldInfo->identifier, oldInfo->version};
  writer.manifest().to = {newInfo->identifier, newInfo->version};
  writer.manifest().bundleName = QFile::encodeName(QFileInfo(newBundlePath).fileName()).toStdString();
  for (const std::string& path : *paths) {
    if (Status added = writer.add(path); !added) return added.error();
  }
  return writeDelta(writer.manifest(), writer.data());
}

}  // namespace updater
