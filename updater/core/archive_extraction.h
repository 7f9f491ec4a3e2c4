// Unpacking an update archive (.zip, .tar.gz, .tar.xz, .tar.bz2) with libarchive, refusing
// anything that could write outside the extraction folder or exhaust the disk.
#pragma once

#include "updater/core/result.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace updater {

struct ExtractionLimits {
  std::int64_t maxTotalBytes = std::int64_t{1} << 30;  // sum of the entries' contents
  std::int64_t maxEntries = 50000;
  int maxPathLength = 1024;  // bytes of an entry's path
  int maxDepth = 64;         // components of an entry's path
};

// Extracts the archive at archivePath into destinationDir, an existing, empty, private folder
// (a StagingArea's extractionPath()). Returns the absolute path of the one top-level bundle.
//
// Refused, with a reason naming the entry: an unreadable or unsupported archive; absolute paths;
// ".." components ("." components are dropped, as in "./X.mailbundle/..."); symbolic links that
// are absolute, lead outside the top-level bundle, or use ".." after a name (which a link to a
// directory could turn into an escape);
// hard links, device files, fifos and sockets; an entry written twice; more than one top-level
// item, or one that is not a directory; exceeding a limit (counted on the bytes actually
// written, whatever the headers claim). Files keep their owner-execute/read bits (mode & 0755),
// never set-id bits. Every file is created without following links and never replaces an existing
// one. On failure destinationDir may hold a partial tree: the caller discards the staging area.
// Blocks while it works.
Result<QString> extractArchive(const QString& archivePath, const QString& destinationDir,
                               const ExtractionLimits& limits = {});

// The same checks on an archive in memory, writing nothing: returns the top-level item's name.
// Used to vet an archive without touching the disk (the publisher tool, fuzzing).
Result<QString> checkArchive(const QByteArray& archive, const ExtractionLimits& limits = {});

}  // namespace updater
