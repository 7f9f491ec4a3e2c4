// The one owner of an open file descriptor: every component holds descriptors through it, so a
// descriptor is closed exactly once, on every path, and never leaks into a child (open them
// with O_CLOEXEC).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

namespace foundation {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  // Takes ownership of fd; a negative value (a failed open) owns nothing.
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool isValid() const { return fd_ >= 0; }
  explicit operator bool() const { return isValid(); }

  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }

  // Closes what is owned (if anything) and owns fd instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

  // Closes now and reports close()'s result: where a late write error matters (a file that was
  // written), call this instead of letting the destructor drop it. 0, or -1 with errno set.
  int close() {
    const int fd = release();
    return fd >= 0 ? ::close(fd) : 0;
  }

 private:
  int fd_ = -1;
};

// Writes all `size` bytes, going on after short writes (a full disk is reported by the next
// write, whose errno a short one leaves unset). 0 when all were written, else the errno value:
// ENOSPC for a write that makes no progress. Blocks until done.
inline int writeAll(int fd, const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, next, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return ENOSPC;
    next += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace foundation
