// An exclusive lock shared by every process of the user on this machine, whatever session or
// bus each runs on: an advisory flock() on a file. The kernel drops it when its holder ends,
// however it ends, so a killed process never leaves it held; the (empty) file stays, which is
// harmless, and is never deleted, since deleting a lock file races with its next holder.
#pragma once

#include "foundation/error.h"
#include "foundation/file_descriptor.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class QObject;

namespace foundation {

class FileLock {
 public:
  // Opens the file at path (creating it with mode 0600; a link at path is refused) and takes the
  // lock if it is free. Never waits. Nothing when it is not had: *error (may be null) then has
  // code EWOULDBLOCK when another holder has it, another errno value when the file cannot be
  // opened, with a description naming the file.
  static std::optional<FileLock> tryLock(const QString& path, NSError* error);

  // Tries now and then every 50 ms until timeout, from the calling thread's event loop, which
  // stays free meanwhile. Calls done once, on that thread, with the lock, or with nothing and
  // the error (code ETIMEDOUT when it stayed taken). Nothing is called once context is gone.
  using Done = std::function<void(std::optional<FileLock> lock, const NSError& error)>;
  static void lockWhenFree(const QString& path, std::chrono::milliseconds timeout, QObject* context, Done done);

  FileLock(FileLock&&) noexcept = default;
  FileLock& operator=(FileLock&&) noexcept = default;

  // Releases the lock now (the destructor does too).
  void unlock() { fd_.reset(); }

 private:
  explicit FileLock(FileDescriptor fd) : fd_(std::move(fd)) {}
  FileDescriptor fd_;
};

// The lock every change to the bundle at bundlePath is made under: installing an update over
// it, removing it. A hidden file in the folder above the bundle's folder (for a Mail plug-in,
// beside "Bundles"), named after the bundle: nothing that scans the bundles' folder can take
// it for a bundle, and a bundles folder that cannot be written does not keep it from being made.
QString installationLockPathForBundle(const QString& bundlePath);

}  // namespace foundation
