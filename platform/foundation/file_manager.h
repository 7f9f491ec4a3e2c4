#pragma once

#include <QString>
#include <QStringList>

#include <optional>

#include "foundation/error.h"

namespace foundation {

class NSFileManager {
 public:
  static NSFileManager& defaultManager();

  // Whether anything exists at path, without following a symbolic link at the path itself:
  // a link exists (even a dangling one) and is not a directory. *isDirectory (may be null)
  // is set only when the item exists.
  bool fileExistsAtPathIsDirectory(const QString& path, bool* isDirectory) const;

  // What a symbolic link at path leads to, every link on the way followed; nothing when no
  // symbolic link is at path. What is behind the link is never read into or changed.
  struct LinkDestination {
    bool exists = false;                 // false for a link that leads nowhere
    bool isDirectory = false;
    bool isAccessibleDirectory = false;  // a directory this process can open
  };
  std::optional<LinkDestination> destinationOfSymbolicLinkAtPath(const QString& path) const;

  // What earlier removals of the item at path left behind: the items in path's folder under
  // the hidden names a removal stages the item under (".<name>.removing-XXXXXX", exactly)
  // that belong to this user, sorted. Links are listed as links, never followed.
  QStringList remnantsOfRemovalsAtPath(const QString& path) const;

  // Removes the file, symbolic link (the link itself, never what it points to) or whole
  // directory tree at path. Returns true on success; on failure returns false and fills
  // *error (may be null) with a description that names the item and the system's reason.
  //
  // Guarantees:
  // - Nothing outside the item is removed or changed: links inside the tree are removed as
  //   links and never followed; the walk is relative to open directory descriptors, so a
  //   directory swapped for a link while the walk runs cannot redirect it; it does not
  //   descend into another mounted file system.
  // - All or nothing at the path: a directory is first renamed to a hidden name in the same
  //   folder (".<name>.removing-XXXXXX") and deleted there. If deleting it fails before
  //   anything inside was removed, it is renamed back; otherwise what is left stays under
  //   the hidden name (the description says where). Nothing half-deleted is ever left at path.
  //   An item already under such a hidden name (a remnant) is deleted where it is, so that
  //   what may be left of it still has a name remnantsOfRemovalsAtPath finds.
  // Blocks until done.
  bool removeItemAtPathError(const QString& path, NSError* error);

 private:
  NSFileManager() = default;
};

}  // namespace foundation
