// Where the updater keeps what outlives a run so that no byte is fetched twice: the last feed
// it accepted and the parts of downloads that ended early. One folder per plug-in,
// ~/Library/Caches/<bundle identifier>/Updates/, mode 0700; everything in it may be deleted at
// any time (the next run fetches again what it needs). docs/updater.md says what is kept.
#pragma once

#include "updater/core/result.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace updater {

// The folder for `identifier`; empty when there is no home folder.
QString keptFilesFolder(const QString& identifier);

// The same, created (with its parents) when missing.
Result<QString> makeKeptFilesFolder(const QString& identifier);

// The contents of the regular file at `path` (a link or anything else at the path is
// refused), when it holds at most maxBytes; nothing otherwise.
std::optional<QByteArray> readKeptFile(const QString& path, qint64 maxBytes);

// Replaces the file at `path` with `contents` in one step (a reader sees the old or the new
// file, never a mix), mode 0600.
Status writeKeptFile(const QString& path, const QByteArray& contents);

}  // namespace updater
