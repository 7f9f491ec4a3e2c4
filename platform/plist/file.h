#pragma once
// Reading property-list files and replacing them atomically. POSIX.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "plist/expected.h"

namespace plist {

struct FileError {
  std::string message;  // names the path and the system's reason
  int osError = 0;      // errno of the failing call, 0 when not a system error
};

// The system calls an atomic replacement makes that can fail once the temporary file exists.
// Tests substitute failing ones; production code uses systemFileOps().
class FileOps {
 public:
  virtual ~FileOps() = default;
  virtual ssize_t write(int fd, const void* data, std::size_t size);
  virtual int fsync(int fd);
  virtual int renameat(int fromDirectory, const char* from, int toDirectory, const char* to);
};
FileOps& systemFileOps();

// Files larger than this are refused rather than read into memory.
inline constexpr std::size_t kMaxFileSize = std::size_t{256} << 20;

// The whole content of a regular file (following symbolic links). Anything else (a fifo, a
// device, a folder) is refused with an error without blocking. osError is ENOENT when the
// file does not exist.
Expected<std::string, FileError> readFile(const std::string& path, std::size_t maxSize = kMaxFileSize);

// Replaces path with bytes, all or nothing: writes a temporary file in the same directory,
// flushes it to disk and renames it over path. An existing file keeps its permission bits
// (and owner, where the caller may set it); a new one is created with newFileMode (minus the
// umask). When path is a symbolic link, the file it points to is replaced and the link kept.
// On any failure the old file is left as it was and the temporary file is removed. Blocks
// until the data is on disk.
// The temporary (".<name>.XXXXXXXX") is locked while it is written; temporaries of the same
// file that writers killed on the way left behind are deleted first, never one whose writer
// still runs.
Expected<void, FileError> writeFileAtomically(const std::string& path, std::string_view bytes,
                                              mode_t newFileMode = 0644,
                                              FileOps& ops = systemFileOps());

}  // namespace plist
