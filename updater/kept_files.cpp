#include "updater/kept_files.h"

#include "updater/core/mapped_file.h"

#include "foundation/search_paths.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace updater {

QString keptFilesFolder(const QString& identifier) {
  const QStringList library = foundation::NSSearchPathForDirectoriesInDomains(
      foundation::NSLibraryDirectory, foundation::NSUserDomainMask, true);
  // The identifier becomes a folder name: nothing in it may climb out of Caches.
  if (library.isEmpty() || identifier.isEmpty() || identifier.contains(u'/') || identifier.startsWith(u'.'))
    return {};
  return library.first() + QStringLiteral("/Caches/") + identifier + QStringLiteral("/Updates");
}

Result<QString> makeKeptFilesFolder(const QString& identifier) {
  const QString folder = keptFilesFolder(identifier);
  if (folder.isEmpty()) return makeError(QStringLiteral("no folder to keep downloads in for \"%1\"").arg(identifier));
  if (!QDir().mkpath(folder)) return makeError(QStringLiteral("cannot create %1").arg(folder));
  QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  return folder;
}

std::optional<QByteArray> readKeptFile(const QString& path, qint64 maxBytes) {
  Result<MappedFile> file = MappedFile::open(path);
  if (!file || static_cast<qint64>(file->size()) > maxBytes) return std::nullopt;
  return QByteArray(reinterpret_cast<const char*>(file->data()), static_cast<qsizetype>(file->size()));
}

Status writeKeptFile(const QString& path, const QByteArray& contents) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size() ||
      !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || !file.commit()) {
    return makeError(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
  }
  return {};
}

}  // namespace updater
