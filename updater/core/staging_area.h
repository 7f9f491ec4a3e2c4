// A private working folder for one update run, next to the installed bundle so that the
// finished bundle can be exchanged with the installed one atomically (same filesystem).
#pragma once

#include "updater/core/result.h"

#include "foundation/file_descriptor.h"

#include <QString>

namespace updater {

class StagingArea {
 public:
  // Creates "<parent>/.<bundle name>.update-XXXXXX" (mode 0700) next to installedBundlePath and
  // an empty "extracted" folder inside it, and holds an exclusive lock on it so that
  // cleanLeftovers() in another process leaves it alone while this run lives.
  static Result<StagingArea> create(const QString& installedBundlePath);

  StagingArea(StagingArea&& other) noexcept;
  StagingArea& operator=(StagingArea&& other) noexcept;
  StagingArea(const StagingArea&) = delete;
  StagingArea& operator=(const StagingArea&) = delete;
  ~StagingArea();  // remove()s, ignoring failure (a leftover is cleaned at the next run)

  QString path() const;            // the staging folder
  QString extractionPath() const;  // path()/extracted, the destination for extractArchive
  QString filePath(const QString& fileName) const;  // path()/fileName, e.g. for the download

  // Deletes the staging folder and everything in it (no link is followed) and releases the lock.
  Status remove();

 private:
  StagingArea(QString path, foundation::FileDescriptor lockFd);
  QString path_;
  foundation::FileDescriptor lockFd_;  // the folder, locked
};

}  // namespace updater
