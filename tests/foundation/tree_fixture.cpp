#include "tree_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testing_tree {

std::string makeScratchDirectory(const std::string& label) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + label + ".XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  return pattern;
}

void writeFile(const std::string& path, const std::string& contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void makeDirectories(const std::string& path) { fs::create_directories(path); }

void makeSymlink(const std::string& target, const std::string& linkPath) {
  fs::create_directories(fs::path(linkPath).parent_path());
  if (symlink(target.c_str(), linkPath.c_str()) != 0)
    throw std::runtime_error("cannot make link " + linkPath);
}

static std::string describe(const fs::path& path) {
  const fs::file_status status = fs::symlink_status(path);
  if (fs::is_symlink(status)) return "link:" + fs::read_symlink(path).string();
  if (fs::is_directory(status)) return "dir";
  if (fs::is_fifo(status)) return "fifo";
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return "file:" + contents.str();
}

std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    entries[fs::relative(it->path(), root).string()] = describe(it->path());
  return entries;
}

std::map<std::string, std::string> entriesOf(const std::string& directory) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::directory_iterator(directory))
    entries[entry.path().filename().string()] = describe(entry.path());
  return entries;
}

void makeSampleBundle(const std::string& root) {
  writeFile(root + "/Contents/Info.plist", "<plist/>");
  writeFile(root + "/Contents/MacOS/Quillane", "binary");
  writeFile(root + "/Contents/Resources/en.lproj/Localizable.strings", "strings");
  writeFile(root + "/Contents/Resources/.hidden", "hidden");
  for (int i = 0; i < 40; ++i)
    writeFile(root + "/Contents/Resources/Images/image" + std::to_string(i) + ".png", std::to_string(i));
  makeDirectories(root + "/Contents/Resources/Empty/Deeper");
  if (mkfifo((root + "/Contents/Resources/pipe").c_str(), 0600) != 0)
    throw std::runtime_error("cannot make fifo");
}

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace testing_tree
