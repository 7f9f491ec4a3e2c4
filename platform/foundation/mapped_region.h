// The one owner of a read-only memory mapping of a file: the pages come from the file (the
// page cache), not from the heap, so a large file costs address space, not memory.
#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <utility>

namespace foundation {

class MappedRegion {
 public:
  // Maps the first `size` bytes of the open file fd read-only (the descriptor may be closed
  // afterwards: the mapping keeps the file). A size of 0 gives a valid, empty region. Nothing on
  // failure, with *error (may be null) set to the errno value.
  static std::optional<MappedRegion> mapReadOnly(int fd, std::size_t size, int* error) {
    if (size == 0) return MappedRegion(nullptr, 0);
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED) {
      if (error) *error = errno;
      return std::nullopt;
    }
    return MappedRegion(data, size);
  }

  // Maps the first `size` bytes of fd (open for reading and writing, at least that large) shared
  // and writable: what is stored through writableData() is the file's content, in the page
  // cache, not private memory. The file's blocks must already be allocated (fallocate): a
  // store into a hole on a full disk would raise SIGBUS instead of failing a write.
  static std::optional<MappedRegion> mapWritable(int fd, std::size_t size, int* error) {
    if (size == 0) return MappedRegion(nullptr, 0);
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
      if (error) *error = errno;
      return std::nullopt;
    }
    return MappedRegion(data, size);
  }

  MappedRegion(MappedRegion&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MappedRegion& operator=(MappedRegion&& other) noexcept {
    if (this != &other) {
      unmap();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  MappedRegion(const MappedRegion&) = delete;
  MappedRegion& operator=(const MappedRegion&) = delete;
  ~MappedRegion() { unmap(); }

  // Never null, also when empty.
  const unsigned char* data() const { return data_ ? static_cast<const unsigned char*>(data_) : &kEmpty; }
  std::size_t size() const { return size_; }
  // Only for a region from mapWritable(); null when empty.
  unsigned char* writableData() const { return static_cast<unsigned char*>(data_); }

  // Tells the system the pages read so far will not be needed again soon: a file read once from
  // start to end does not then crowd out other memory. Only a hint.
  void doneWith() const {
    if (data_) ::madvise(data_, size_, MADV_DONTNEED);
  }

 private:
  MappedRegion(void* data, std::size_t size) : data_(data), size_(size) {}
  void unmap() {
    if (data_) ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
  }
  static constexpr unsigned char kEmpty = 0;
  void* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace foundation
