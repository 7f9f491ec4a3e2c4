// A regular file mapped read-only into memory (internal to the updater's core).
#pragma once

#include "updater/core/result.h"

#include <QString>

#include <cstddef>

namespace updater {

class MappedFile {
 public:
  // Maps the regular file at path (a link at the path itself is refused). An empty file maps to
  // a valid, empty view.
  static Result<MappedFile> open(const QString& path);

  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  MappedFile(const unsigned char* data, std::size_t size, bool mapped) : data_(data), size_(size), mapped_(mapped) {}
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};

}  // namespace updater
