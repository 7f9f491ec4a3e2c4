#include "archive_builder.h"

#include <archive.h>
#include <archive_entry.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace updater::testing {

ArchiveEntry fileEntry(std::string path, std::string contents, unsigned mode) {
  return {std::move(path), ArchiveEntry::Type::File, std::move(contents), mode};
}
ArchiveEntry folderEntry(std::string path) { return {std::move(path), ArchiveEntry::Type::Directory, {}, 0755}; }
ArchiveEntry linkEntry(std::string path, std::string target) {
  return {std::move(path), ArchiveEntry::Type::Symlink, std::move(target), 0777};
}

const char* formatName(ArchiveFormat format) {
  switch (format) {
    case ArchiveFormat::Zip: return "zip";
    case ArchiveFormat::TarGz: return "tar.gz";
    case ArchiveFormat::TarXz: return "tar.xz";
    case ArchiveFormat::TarBz2: return "tar.bz2";
  }
  return "?";
}

QByteArray buildArchive(ArchiveFormat format, const std::vector<ArchiveEntry>& entries) {
  struct archive* writer = archive_write_new();
  if (format == ArchiveFormat::Zip) {
    archive_write_set_format_zip(writer);
  } else {
    archive_write_set_format_pax_restricted(writer);
    if (format == ArchiveFormat::TarGz) archive_write_add_filter_gzip(writer);
    if (format == ArchiveFormat::TarXz) archive_write_add_filter_xz(writer);
    if (format == ArchiveFormat::TarBz2) archive_write_add_filter_bzip2(writer);
  }
  // Room for the contents uncompressed plus headers; libarchive reports how much it used.
  size_t room = 1 << 20;
  for (const ArchiveEntry& e : entries) room += e.data.size() + e.path.size() + 1024;
  std::string buffer(room, '\0');
  size_t used = 0;
  if (archive_write_open_memory(writer, buffer.data(), buffer.size(), &used) != ARCHIVE_OK) {
    throw std::runtime_error(archive_error_string(writer));
  }
  for (const ArchiveEntry& e : entries) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, e.path.c_str());
    archive_entry_set_perm(entry, e.mode);
    archive_entry_set_mtime(entry, 1700000000, 0);
    switch (e.type) {
      case ArchiveEntry::Type::File:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
        break;
      case ArchiveEntry::Type::Directory: archive_entry_set_filetype(entry, AE_IFDIR); break;
      case ArchiveEntry::Type::Symlink:
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_set_symlink(entry, e.data.c_str());
        break;
      case ArchiveEntry::Type::Hardlink:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_hardlink(entry, e.data.c_str());
        break;
      case ArchiveEntry::Type::CharDevice:
        archive_entry_set_filetype(entry, AE_IFCHR);
        archive_entry_set_rdev(entry, makedev(1, 3));
        break;
      case ArchiveEntry::Type::Fifo: archive_entry_set_filetype(entry, AE_IFIFO); break;
    }
    if (archive_write_header(writer, entry) != ARCHIVE_OK) throw std::runtime_error(archive_error_string(writer));
    if (e.type == ArchiveEntry::Type::File && !e.data.empty()) {
      archive_write_data(writer, e.data.data(), e.data.size());
    }
    archive_entry_free(entry);
  }
  archive_write_close(writer);
  archive_write_free(writer);
  return QByteArray(buffer.data(), static_cast<qsizetype>(used));
}

std::vector<ArchiveEntry> entriesFromTree(const QString& root, const std::string& topName) {
  namespace fs = std::filesystem;
  std::vector<ArchiveEntry> entries{folderEntry(topName)};
  const fs::path base(root.toStdString());
  for (auto it = fs::recursive_directory_iterator(base); it != fs::recursive_directory_iterator(); ++it) {
    const std::string name = topName + "/" + it->path().lexically_relative(base).string();
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      entries.push_back(linkEntry(name, fs::read_symlink(it->path()).string()));
    } else if (fs::is_directory(status)) {
      entries.push_back(folderEntry(name));
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      std::stringstream contents;
      contents << in.rdbuf();
      entries.push_back(fileEntry(name, contents.str(), static_cast<unsigned>(status.permissions()) & 0777));
    }
  }
  return entries;
}

}  // namespace updater::testing
