// The checks every update archive passes, entry by entry, whether it is being unpacked to disk or
// only vetted in memory (internal to the updater's core).
#pragma once

#include "updater/core/archive_extraction.h"
#include "updater/core/result.h"

#include <cstddef>
#include <string>
#include <vector>

struct archive;

namespace updater {

// An entry's path, split into its components (no empty, "." or ".." component).
using EntryPath = std::vector<std::string>;

// Receives the entries that passed the checks, parents always before children.
class EntrySink {
 public:
  virtual ~EntrySink() = default;
  virtual Status makeDirectory(const EntryPath& path) = 0;
  virtual Status beginFile(const EntryPath& path, unsigned mode) = 0;  // mode & 0755 | 0600
  virtual Status writeFile(const char* data, std::size_t length) = 0;
  virtual Status endFile() = 0;
  virtual Status makeSymlink(const EntryPath& path, const std::string& target) = 0;
};

// Reads every entry of an opened libarchive reader, checks it against the rules and limits of
// extractArchive(), and hands it to sink. Returns the top-level item's name.
Result<std::string> walkArchive(struct archive* reader, const ExtractionLimits& limits, EntrySink& sink);

// A libarchive reader that accepts only zip and tar, and only the gzip, xz and bzip2 filters
// (built-in decoders only: never one that runs an external program). Null when out of memory.
struct archive* newRestrictedArchiveReader();

// The rule for symbolic links, exposed for tests: target must be relative, use ".." only as a
// leading prefix, and resolve inside the top-level item from the link at linkPath.
bool isContainedLinkTarget(const EntryPath& linkPath, const std::string& target);

}  // namespace updater
