#pragma once

// The descriptor-relative walk behind NSFileManager::removeItemAtPathError. Internal to
// this library.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace foundation::detail {

struct TreeRemovalResult {
  bool ok = true;
  int error = 0;            // errno of the failure
  std::string failedEntry;  // path of the entry that failed, relative to the tree's top ("" = the top)
  std::size_t removedEntries = 0;
};

// Removes everything inside the directory open at directoryFd (which it takes over and
// closes), leaving that directory empty. Never follows a symbolic link, never leaves the
// file system of the directory and never enters a mount point. Stops at the first entry it
// cannot remove. Keeps at most a bounded number of descriptors open however deep the tree.
TreeRemovalResult removeDirectoryContents(int directoryFd);

}  // namespace foundation::detail
