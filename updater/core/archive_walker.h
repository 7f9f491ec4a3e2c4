// The checks every update archive passes, entry by entry, whether it is being unpacked to disk or
// only vetted in memory (internal to the updater's core).
#pragma once

#include "updater/core/archive_extraction.h"
#include "updater/core/result.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
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
  // The file begun last, open for reading and writing at offset 0 and still empty, for a writer
  // that fills it in place (a mapping) instead of through writeFile(); -1 when there is none.
  virtual int fileBeingWritten() const { return -1; }
};

// The rules and limits of extractArchive(), entry by entry, for any container of an update (an
// archive, a delta): paths, one top-level folder, no duplicates, no entry below a file or link,
// links that stay inside, the entry count and the bytes actually written. Entries that pass go to
// the sink, parents first. Refusals read "<refusalFormat with %1 = the reason>"; the sink's own
// errors are passed on as they are.
class EntryChecker {
 public:
  EntryChecker(const ExtractionLimits& limits, EntrySink& sink, QString refusalFormat);
  ~EntryChecker();
  EntryChecker(const EntryChecker&) = delete;
  EntryChecker& operator=(const EntryChecker&) = delete;

  Status directory(const char* rawPath);
  // declaredSize: what the container claims (-1: unknown), refused early when over the limit.
  Status beginFile(const char* rawPath, unsigned mode, std::int64_t declaredSize);
  Status writeFile(const char* data, std::size_t length);
  // The sink's fileBeingWritten(); bytes put there directly are counted with wroteInPlace().
  int fileBeingWritten() const;
  Status wroteInPlace(std::int64_t length);
  Status endFile();
  Status symlink(const char* rawPath, const char* target);
  // The top-level item's name, once every entry has been given; an error when there was none.
  Result<std::string> finish();
  Error refuse(const QString& why) const;

 private:
  struct State;
  Result<EntryPath> admit(const char* rawPath, int kind);
  std::unique_ptr<State> state_;
};

// Checks a path as entries' paths are checked (not empty, not absolute, no "..", within the
// length and depth limits). "." and empty components are dropped.
Result<EntryPath> checkedEntryPath(const char* raw, const ExtractionLimits& limits);

// Reads every entry of an opened libarchive reader, checks it against the rules and limits of
// extractArchive(), and hands it to sink. Returns the top-level item's name.
Result<std::string> walkArchive(struct archive* reader, const ExtractionLimits& limits, EntrySink& sink);

// Writes entries below destinationDir (an existing folder), descriptor-relative and never
// following a link, each file created anew: what extractArchive() writes with.
Result<std::unique_ptr<EntrySink>> openDiskSink(const QString& destinationDir);

// A libarchive reader that accepts only zip and tar, and only the gzip, xz and bzip2 filters
// (built-in decoders only: never one that runs an external program). Null when out of memory.
struct archive* newRestrictedArchiveReader();

// The rule for symbolic links, exposed for tests: target must be relative, use ".." only as a
// leading prefix, and resolve inside the top-level item from the link at linkPath.
bool isContainedLinkTarget(const EntryPath& linkPath, const std::string& target);

}  // namespace updater
