#include "tools/update-publisher/delta_publishing.h"

#include "updater/core/archive_extraction.h"
#include "updater/core/bundle_info.h"
#include "updater/core/delta_application.h"
#include "updater/core/delta_creation.h"
#include "updater/core/delta_format.h"
#include "updater/core/mapped_file.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <map>
#include <sys/stat.h>

namespace publisher {
namespace {

using updater::Result;

// Every item below root, without following links: relative path → kind, mode, contents or target.
Result<std::map<QString, QByteArray>> describeTree(const QString& root) {
  std::map<QString, QByteArray> items;
  QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) return updater::makeError(QStringLiteral("Cannot read %1.").arg(path));
    QByteArray description = QByteArray::number(info.st_mode, 8) + ' ';
    if (S_ISLNK(info.st_mode)) {
      char target[4096];
      const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
      if (length < 0) return updater::makeError(QStringLiteral("Cannot read the link %1.").arg(path));
      description += QByteArray(target, static_cast<qsizetype>(length));
    } else if (S_ISREG(info.st_mode)) {
      QFile file(path);
      if (!file.open(QIODevice::ReadOnly)) return updater::makeError(QStringLiteral("Cannot read %1.").arg(path));
      description += file.readAll();
    }
    items.emplace(QDir(root).relativeFilePath(path), description);
  }
  return items;
}

Result<QString> unpack(const QString& archive, const QTemporaryDir& scratch, const QString& name) {
  const QString folder = scratch.filePath(name);
  if (!QDir().mkpath(folder)) return updater::makeError(QStringLiteral("Cannot create a temporary folder."));
  return updater::extractArchive(archive, folder);
}

// The old release as a bundle folder: unpacked when it is an archive.
Result<QString> oldBundle(const QString& oldRelease, const QTemporaryDir& scratch) {
  if (QFileInfo(oldRelease).isDir()) return QFileInfo(oldRelease).absoluteFilePath();
  return unpack(oldRelease, scratch, QStringLiteral("old"));
}

Result<updater::ParsedDelta> parse(const updater::MappedFile& file) { return updater::readDelta(file.data(), file.size()); }

}  // namespace

Result<QString> deltaFromVersion(const QString& deltaPath) {
  Result<updater::MappedFile> file = updater::MappedFile::open(deltaPath);
  if (!file) return file.error();
  Result<updater::ParsedDelta> delta = parse(*file);
  if (!delta) return delta.error();
  return delta->manifest.from.version;
}

Result<QString> verifyDelta(const QString& oldRelease, const QString& newArchive, const QString& deltaPath) {
  QTemporaryDir scratch;
  if (!scratch.isValid()) return updater::makeError(QStringLiteral("Cannot create a temporary folder."));
  Result<QString> old = oldBundle(oldRelease, scratch);
  if (!old) return old.error();
  Result<QString> expected = unpack(newArchive, scratch, QStringLiteral("new"));
  if (!expected) return expected.error();
  Result<updater::BundleInfo> oldInfo = updater::readBundleInfo(*old);
  if (!oldInfo) return oldInfo.error();

  Result<updater::MappedFile> file = updater::MappedFile::open(deltaPath);
  if (!file) return file.error();
  Result<updater::ParsedDelta> delta = parse(*file);
  if (!delta) return delta.error();
  const QString applied = scratch.filePath(QStringLiteral("applied"));
  if (!QDir().mkpath(applied)) return updater::makeError(QStringLiteral("Cannot create a temporary folder."));
  Result<QString> built = updater::applyDelta(*delta, *old, *oldInfo, applied);
  if (!built) return built.error();

  Result<std::map<QString, QByteArray>> want = describeTree(*expected);
  if (!want) return want.error();
  Result<std::map<QString, QByteArray>> got = describeTree(*built);
  if (!got) return got.error();
  for (const auto& [path, description] : *want) {
    auto found = got->find(path);
    if (found == got->end()) return updater::makeError(QStringLiteral("The delta does not reproduce the release: \"%1\" is missing.").arg(path));
    if (found->second != description) {
      return updater::makeError(QStringLiteral("The delta does not reproduce the release: \"%1\" differs.").arg(path));
    }
  }
  for (const auto& [path, description] : *got) {
    if (!want->count(path)) return updater::makeError(QStringLiteral("The delta does not reproduce the release: \"%1\" is extra.").arg(path));
  }
  if (QFileInfo(*built).fileName() != QFileInfo(*expected).fileName()) {
    return updater::makeError(QStringLiteral("The delta does not reproduce the release: its bundle has another name."));
  }
  return delta->manifest.from.version;
}

Result<MadeDelta> makeVerifiedDelta(const QString& oldArchive, const QString& newArchive) {
  QTemporaryDir scratch;
  if (!scratch.isValid()) return updater::makeError(QStringLiteral("Cannot create a temporary folder."));
  Result<QString> old = unpack(oldArchive, scratch, QStringLiteral("old"));
  if (!old) return old.error();
  Result<QString> next = unpack(newArchive, scratch, QStringLiteral("new"));
  if (!next) return next.error();
  Result<QByteArray> bytes = updater::makeDelta(*old, *next);
  if (!bytes) return bytes.error();
  Result<updater::BundleInfo> newInfo = updater::readBundleInfo(*next);
  if (!newInfo) return newInfo.error();

  const QString deltaPath = scratch.filePath(QStringLiteral("made.delta"));
  QFile file(deltaPath);
  if (!file.open(QIODevice::WriteOnly) || file.write(*bytes) != bytes->size() || !file.flush()) {
    return updater::makeError(QStringLiteral("Cannot write %1: %2").arg(deltaPath, file.errorString()));
  }
  file.close();
  Result<QString> from = verifyDelta(*old, newArchive, deltaPath);
  if (!from) return from.error();
  return MadeDelta{*bytes, *from, newInfo->version};
}

}  // namespace publisher
