#include "updater/core/archive_walker.h"

#include <archive.h>
#include <archive_entry.h>

#include <QString>

#include <array>
#include <unordered_map>

namespace updater {
namespace {

std::vector<std::string> splitComponents(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    parts.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

QString show(const std::string& path) { return QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size())); }

std::string joined(const EntryPath& path, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count && i < path.size(); ++i) {
    if (i) out += '/';
    out += path[i];
  }
  return out;
}

QString typeName(mode_t type) {
  switch (type) {
    case AE_IFCHR: return QStringLiteral("a character device");
    case AE_IFBLK: return QStringLiteral("a block device");
    case AE_IFIFO: return QStringLiteral("a fifo");
    case AE_IFSOCK: return QStringLiteral("a socket");
    default: return QStringLiteral("an item of unknown type");
  }
}

enum class Kind { Directory, File, Link };

// What has been accepted so far, to refuse duplicates and entries below a file or a link.
class AcceptedTree {
 public:
  explicit AcceptedTree(const ExtractionLimits& limits) : limits_(limits) {}

  // Registers path (and its implicit parents) as kind; an error if that clashes with what exists.
  Status accept(const EntryPath& path, Kind kind, const std::string& shown, std::vector<std::size_t>& newParents) {
    newParents.clear();
    for (std::size_t depth = 1; depth < path.size(); ++depth) {
      const std::string parent = joined(path, depth);
      auto found = kinds_.find(parent);
      if (found == kinds_.end()) {
        kinds_.emplace(parent, Kind::Directory);
        newParents.push_back(depth);
      } else if (found->second != Kind::Directory) {
        return makeError(QStringLiteral("the entry \"%1\" lies below a file or link").arg(show(shown)));
      }
    }
    const std::string key = joined(path, path.size());
    auto [it, inserted] = kinds_.emplace(key, kind);
    if (!inserted && !(it->second == Kind::Directory && kind == Kind::Directory)) {
      return makeError(QStringLiteral("the entry \"%1\" appears twice").arg(show(shown)));
    }
    if (static_cast<std::int64_t>(kinds_.size()) > limits_.maxEntries) {
      return makeError(QStringLiteral("the archive has more than %1 entries").arg(limits_.maxEntries));
    }
    return Status::ok();
  }

 private:
  const ExtractionLimits& limits_;
  std::unordered_map<std::string, Kind> kinds_;
};

}  // namespace

Result<EntryPath> checkedEntryPath(const char* raw, const ExtractionLimits& limits) {
  if (!raw || !*raw) return makeError(QStringLiteral("an entry has no name"));
  const std::string path(raw);
  if (path.size() > static_cast<std::size_t>(limits.maxPathLength)) {
    return makeError(QStringLiteral("the entry \"%1\" has too long a path").arg(show(path.substr(0, 80))));
  }
  if (path.front() == '/') return makeError(QStringLiteral("the entry \"%1\" has an absolute path").arg(show(path)));
  EntryPath components;
  for (std::string& part : splitComponents(path)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") return makeError(QStringLiteral("the entry \"%1\" leads out of its folder (\"..\")").arg(show(path)));
    components.push_back(std::move(part));
  }
  if (static_cast<int>(components.size()) > limits.maxDepth) {
    return makeError(QStringLiteral("the entry \"%1\" is nested too deeply").arg(show(path)));
  }
  return components;
}

bool isContainedLinkTarget(const EntryPath& linkPath, const std::string& target) {
  if (target.empty() || target.front() == '/' || linkPath.empty()) return false;
  // Climbing is only possible from where the link really is: its parents are real folders (an
  // entry below a link is refused), so leading ".." are exact. A ".." after a name could climb
  // out of a folder that is itself reached through a link, so it is refused.
  std::size_t depth = linkPath.size() - 1;  // components of the folder holding the link
  bool climbing = true;
  for (const std::string& part : splitComponents(target)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!climbing || depth <= 1) return false;  // depth 1 is the top-level item itself
      --depth;
    } else {
      climbing = false;
      ++depth;
    }
  }
  return depth >= 1;
}

struct archive* newRestrictedArchiveReader() {
  struct archive* reader = archive_read_new();
  if (!reader) return nullptr;
  archive_read_support_format_zip(reader);
  archive_read_support_format_tar(reader);
  archive_read_support_filter_gzip(reader);
  archive_read_support_filter_xz(reader);
  archive_read_support_filter_bzip2(reader);
  return reader;
}

struct EntryChecker::State {
  State(const ExtractionLimits& l, EntrySink& s, QString format) : limits(l), sink(s), refusalFormat(std::move(format)), tree(l) {}
  const ExtractionLimits& limits;
  EntrySink& sink;
  QString refusalFormat;
  AcceptedTree tree;
  std::vector<std::size_t> newParents;
  std::string topLevel;
  std::int64_t totalBytes = 0;
  std::int64_t headers = 0;
};

EntryChecker::EntryChecker(const ExtractionLimits& limits, EntrySink& sink, QString refusalFormat)
    : state_(std::make_unique<State>(limits, sink, std::move(refusalFormat))) {}

EntryChecker::~EntryChecker() = default;

Error EntryChecker::refuse(const QString& why) const { return makeError(state_->refusalFormat.arg(why)); }

// Checks the entry's path and place in the tree and makes its missing parents. An empty path
// (the container's own root, "./") is to be skipped.
Result<EntryPath> EntryChecker::admit(const char* rawPath, int kindValue) {
  State& s = *state_;
  const Kind kind = static_cast<Kind>(kindValue);
  // Entries that name nothing ("./") still count, so a stream of them cannot run forever.
  if (++s.headers > s.limits.maxEntries) return refuse(QStringLiteral("it has more than %1 entries").arg(s.limits.maxEntries));
  Result<EntryPath> path = checkedEntryPath(rawPath, s.limits);
  if (!path) return refuse(path.error().message);
  if (path->empty()) return path;
  const std::string shown(rawPath);
  if (s.topLevel.empty()) s.topLevel = path->front();
  if (path->front() != s.topLevel) {
    return refuse(QStringLiteral("it holds more than one item at its top level (\"%1\" and \"%2\")")
                      .arg(show(s.topLevel), show(path->front())));
  }
  if (path->size() == 1 && kind != Kind::Directory) {
    return refuse(QStringLiteral("its top-level item \"%1\" is not a folder").arg(show(s.topLevel)));
  }
  if (Status accepted = s.tree.accept(*path, kind, shown, s.newParents); !accepted) return refuse(accepted.error().message);
  for (std::size_t depth : s.newParents) {
    const EntryPath parent(path->begin(), path->begin() + static_cast<std::ptrdiff_t>(depth));
    if (Status made = s.sink.makeDirectory(parent); !made) return made.error();
  }
  return path;
}

Status EntryChecker::directory(const char* rawPath) {
  Result<EntryPath> path = admit(rawPath, static_cast<int>(Kind::Directory));
  if (!path) return path.error();
  if (path->empty()) return Status::ok();
  return state_->sink.makeDirectory(*path);
}

Status EntryChecker::symlink(const char* rawPath, const char* target) {
  Result<EntryPath> path = admit(rawPath, static_cast<int>(Kind::Link));
  if (!path) return path.error();
  if (path->empty()) return Status::ok();
  const std::string shown(rawPath);
  if (!target || !isContainedLinkTarget(*path, target)) {
    return refuse(QStringLiteral("the link \"%1\" points outside the update (\"%2\")")
                      .arg(show(shown), target ? QString::fromUtf8(target) : QString()));
  }
  if (std::string(target).size() > static_cast<std::size_t>(state_->limits.maxPathLength)) {
    return refuse(QStringLiteral("the link \"%1\" has too long a target").arg(show(shown)));
  }
  return state_->sink.makeSymlink(*path, target);
}

Status EntryChecker::beginFile(const char* rawPath, unsigned mode, std::int64_t declaredSize) {
  State& s = *state_;
  Result<EntryPath> path = admit(rawPath, static_cast<int>(Kind::File));
  if (!path) return path.error();
  if (path->empty()) return Status::ok();
  // The declared size is only a hint; what counts is what is actually written.
  if (declaredSize > s.limits.maxTotalBytes - s.totalBytes) {
    return refuse(QStringLiteral("it unpacks to more than %1 bytes").arg(s.limits.maxTotalBytes));
  }
  return s.sink.beginFile(*path, (mode & 0755) | 0600);
}

Status EntryChecker::writeFile(const char* data, std::size_t length) {
  State& s = *state_;
  s.totalBytes += static_cast<std::int64_t>(length);
  if (s.totalBytes > s.limits.maxTotalBytes) return refuse(QStringLiteral("it unpacks to more than %1 bytes").arg(s.limits.maxTotalBytes));
  return s.sink.writeFile(data, length);
}

int EntryChecker::fileBeingWritten() const { return state_->sink.fileBeingWritten(); }

Status EntryChecker::wroteInPlace(std::int64_t length) {
  State& s = *state_;
  s.totalBytes += length;
  if (s.totalBytes > s.limits.maxTotalBytes) return refuse(QStringLiteral("it unpacks to more than %1 bytes").arg(s.limits.maxTotalBytes));
  return Status::ok();
}

Status EntryChecker::endFile() { return state_->sink.endFile(); }

Result<std::string> EntryChecker::finish() {
  if (state_->topLevel.empty()) return refuse(QStringLiteral("it is empty"));
  return state_->topLevel;
}

Result<std::string> walkArchive(struct archive* reader, const ExtractionLimits& limits, EntrySink& sink) {
  EntryChecker checker(limits, sink, QStringLiteral("The update archive was refused: %1."));
  std::array<char, 64 * 1024> buffer{};
  auto archiveFailure = [&](const char* when) {
    const char* detail = archive_error_string(reader);
    return makeError(QStringLiteral("The update archive cannot be read (%1): %2")
                         .arg(QString::fromLatin1(when), detail ? QString::fromUtf8(detail) : QStringLiteral("unknown error")));
  };

  for (;;) {
    struct archive_entry* entry = nullptr;
    const int status = archive_read_next_header(reader, &entry);
    if (status == ARCHIVE_EOF) break;
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN) return archiveFailure("entry header");

    const char* rawPath = archive_entry_pathname(entry);
    const std::string shown(rawPath ? rawPath : "");
    if (archive_entry_hardlink(entry)) return checker.refuse(QStringLiteral("the entry \"%1\" is a hard link").arg(show(shown)));
    const mode_t type = archive_entry_filetype(entry);
    if (type == AE_IFDIR) {
      if (Status made = checker.directory(rawPath); !made) return made.error();
    } else if (type == AE_IFLNK) {
      if (Status made = checker.symlink(rawPath, archive_entry_symlink(entry)); !made) return made.error();
    } else if (type == AE_IFREG) {
      const std::int64_t declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
      if (Status begun = checker.beginFile(rawPath, archive_entry_perm(entry), declared); !begun) return begun.error();
      for (;;) {
        const la_ssize_t read = archive_read_data(reader, buffer.data(), buffer.size());
        if (read == 0) break;
        if (read < 0) return archiveFailure("file contents");
        if (Status written = checker.writeFile(buffer.data(), static_cast<std::size_t>(read)); !written) return written.error();
      }
      if (Status ended = checker.endFile(); !ended) return ended.error();
    } else {
      return checker.refuse(QStringLiteral("the entry \"%1\" is %2").arg(show(shown), typeName(type)));
    }
  }
  return checker.finish();
}

}  // namespace updater
