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

Result<EntryPath> checkedPath(const char* raw, const ExtractionLimits& limits) {
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

}  // namespace

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

Result<std::string> walkArchive(struct archive* reader, const ExtractionLimits& limits, EntrySink& sink) {
  AcceptedTree tree(limits);
  std::vector<std::size_t> newParents;
  std::string topLevel;
  std::int64_t totalBytes = 0;
  std::int64_t headers = 0;
  std::array<char, 64 * 1024> buffer{};

  auto refuse = [](const QString& why) { return makeError(QStringLiteral("The update archive was refused: %1.").arg(why)); };
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
    // Entries that name nothing ("./") still count, so a stream of them cannot run forever.
    if (++headers > limits.maxEntries) return refuse(QStringLiteral("it has more than %1 entries").arg(limits.maxEntries));

    const char* rawPath = archive_entry_pathname(entry);
    Result<EntryPath> path = checkedPath(rawPath, limits);
    if (!path) return refuse(path.error().message);
    if (path->empty()) continue;  // the archive's own root, "./"
    const std::string shown(rawPath);

    if (archive_entry_hardlink(entry)) return refuse(QStringLiteral("the entry \"%1\" is a hard link").arg(show(shown)));
    const mode_t type = archive_entry_filetype(entry);
    Kind kind;
    if (type == AE_IFDIR) kind = Kind::Directory;
    else if (type == AE_IFREG) kind = Kind::File;
    else if (type == AE_IFLNK) kind = Kind::Link;
    else return refuse(QStringLiteral("the entry \"%1\" is %2").arg(show(shown), typeName(type)));

    if (topLevel.empty()) topLevel = path->front();
    if (path->front() != topLevel) {
      return refuse(QStringLiteral("it holds more than one item at its top level (\"%1\" and \"%2\")")
                        .arg(show(topLevel), show(path->front())));
    }
    if (path->size() == 1 && kind != Kind::Directory) {
      return refuse(QStringLiteral("its top-level item \"%1\" is not a folder").arg(show(topLevel)));
    }

    if (Status accepted = tree.accept(*path, kind, shown, newParents); !accepted) return refuse(accepted.error().message);
    for (std::size_t depth : newParents) {
      const EntryPath parent(path->begin(), path->begin() + static_cast<std::ptrdiff_t>(depth));
      if (Status made = sink.makeDirectory(parent); !made) return made.error();
    }

    if (kind == Kind::Directory) {
      if (Status made = sink.makeDirectory(*path); !made) return made.error();
      continue;
    }
    if (kind == Kind::Link) {
      const char* target = archive_entry_symlink(entry);
      if (!target || !isContainedLinkTarget(*path, target)) {
        return refuse(QStringLiteral("the link \"%1\" points outside the update (\"%2\")")
                          .arg(show(shown), target ? QString::fromUtf8(target) : QString()));
      }
      if (std::string(target).size() > static_cast<std::size_t>(limits.maxPathLength)) {
        return refuse(QStringLiteral("the link \"%1\" has too long a target").arg(show(shown)));
      }
      if (Status made = sink.makeSymlink(*path, target); !made) return made.error();
      continue;
    }

    // A regular file: the header's size is only a hint; what counts is what is actually read.
    if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > limits.maxTotalBytes - totalBytes) {
      return refuse(QStringLiteral("it unpacks to more than %1 bytes").arg(limits.maxTotalBytes));
    }
    if (Status begun = sink.beginFile(*path, (archive_entry_perm(entry) & 0755) | 0600); !begun) return begun.error();
    for (;;) {
      const la_ssize_t read = archive_read_data(reader, buffer.data(), buffer.size());
      if (read == 0) break;
      if (read < 0) return archiveFailure("file contents");
      totalBytes += read;
      if (totalBytes > limits.maxTotalBytes) return refuse(QStringLiteral("it unpacks to more than %1 bytes").arg(limits.maxTotalBytes));
      if (Status written = sink.writeFile(buffer.data(), static_cast<std::size_t>(read)); !written) return written.error();
    }
    if (Status ended = sink.endFile(); !ended) return ended.error();
  }

  if (topLevel.empty()) return refuse(QStringLiteral("it is empty"));
  return topLevel;
}

}  // namespace updater
