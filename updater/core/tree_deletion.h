// Deleting a folder's contents without ever following a link (internal to the updater's core).
#pragma once

#include "updater/core/result.h"

namespace updater {

// Deletes everything inside the folder open at directoryFd (the descriptor stays open and owned
// by the caller), relative to open descriptors: a link is removed as a link, never followed;
// another mounted filesystem is never entered. Read-only subfolders are made writable first.
// Stops at the first failure, naming the entry.
Status deleteFolderContents(int directoryFd);

}  // namespace updater
