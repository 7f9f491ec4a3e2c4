// Builds update archives in memory for tests, including hostile ones no honest tool would make.
#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <vector>

namespace updater::testing {

enum class ArchiveFormat { Zip, TarGz, TarXz, TarBz2 };

struct ArchiveEntry {
  enum class Type { File, Directory, Symlink, Hardlink, CharDevice, Fifo };
  std::string path;
  Type type = Type::File;
  std::string data;  // a file's contents, or a link's target
  unsigned mode = 0644;
};

ArchiveEntry fileEntry(std::string path, std::string contents, unsigned mode = 0644);
ArchiveEntry folderEntry(std::string path);
ArchiveEntry linkEntry(std::string path, std::string target);

QByteArray buildArchive(ArchiveFormat format, const std::vector<ArchiveEntry>& entries);

// The entries that reproduce the tree at root (files, folders, links), named below topName.
std::vector<ArchiveEntry> entriesFromTree(const QString& root, const std::string& topName);

const char* formatName(ArchiveFormat format);

}  // namespace updater::testing
