// A regular file mapped read-only into memory (internal to the updater's core).
#pragma once

#include "updater/core/result.h"

#include "foundation/mapped_region.h"

#include <QString>

#include <cstddef>

namespace updater {

class MappedFile {
 public:
  // Maps the regular file at path (a link at the path itself is refused; a fifo or device is
  // refused without waiting). An empty file maps to a valid, empty view.
  static Result<MappedFile> open(const QString& path);
  // The same for a file already open at fd (which may be closed afterwards).
  static Result<MappedFile> map(int fd);

  const unsigned char* data() const { return region_.data(); }
  std::size_t size() const { return region_.size(); }
  const foundation::MappedRegion& region() const { return region_; }

 private:
  explicit MappedFile(foundation::MappedRegion region) : region_(std::move(region)) {}
  foundation::MappedRegion region_;
};

}  // namespace updater
