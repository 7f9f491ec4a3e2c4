#include "disk_usage.h"

#include <QFile>

#include <fts.h>
#include <sys/stat.h>

#include <set>
#include <utility>

std::optional<std::uint64_t> diskUsageAtPath(const QString& path) {
  QByteArray nativePath = QFile::encodeName(path);
  char* roots[] = {nativePath.data(), nullptr};
  // Physical walk: links are reported as links, never entered.
  FTS* walk = fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, nullptr);
  if (!walk) return std::nullopt;

  std::uint64_t total = 0;
  bool rootSeen = false;
  std::set<std::pair<dev_t, ino_t>> multiplyLinked;
  while (FTSENT* entry = fts_read(walk)) {
    switch (entry->fts_info) {
      case FTS_DP:  // a directory seen again on the way out
        continue;
      case FTS_NS:
      case FTS_ERR:
        if (entry->fts_level == FTS_ROOTLEVEL) {
          fts_close(walk);
          return std::nullopt;
        }
        continue;
      default:
        break;
    }
    if (entry->fts_level == FTS_ROOTLEVEL) rootSeen = true;
    const struct stat* status = entry->fts_statp;
    if (!S_ISDIR(status->st_mode) && status->st_nlink > 1 &&
        !multiplyLinked.emplace(status->st_dev, status->st_ino).second)
      continue;
    total += std::uint64_t(status->st_blocks) * 512u;  // st_blocks is in 512-byte units
  }
  fts_close(walk);
  if (!rootSeen) return std::nullopt;
  return total;
}
