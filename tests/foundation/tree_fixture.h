#pragma once
// Small file trees for the foundation tests, made under the sandbox's $TMPDIR.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace testing_tree {
namespace fs = std::filesystem;

inline std::string makeScratchDirectory(const std::string& label) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + label + ".XXXXXX";
  return mkdtemp(pattern.data()) ? fs::canonical(pattern).string() : std::string("/nonexistent");
}

inline void writeFile(const std::string& path, const std::string& contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

inline void makeSymlink(const std::string& target, const std::string& link) {
  fs::create_directories(fs::path(link).parent_path());
  fs::create_symlink(target, link);
}

inline bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

// Every entry below root by relative path: "dir", "link:<target>" or "file:<contents>".
// Links are never followed.
inline std::map<std::string, std::string> snapshot(const std::string& root, bool recursive = true) {
  std::map<std::string, std::string> entries;
  auto describe = [](const fs::path& p) -> std::string {
    if (fs::is_symlink(fs::symlink_status(p))) return "link:" + fs::read_symlink(p).string();
    if (fs::is_directory(fs::symlink_status(p))) return "dir";
    std::ostringstream contents;
    contents << std::ifstream(p, std::ios::binary).rdbuf();
    return "file:" + contents.str();
  };
  if (recursive)
    for (const auto& e : fs::recursive_directory_iterator(root)) entries[fs::relative(e.path(), root)] = describe(e.path());
  else
    for (const auto& e : fs::directory_iterator(root)) entries[e.path().filename()] = describe(e.path());
  return entries;
}

// A bundle-shaped tree: nested folders, many files, an empty folder, a hidden file.
inline void makeSampleBundle(const std::string& root) {
  writeFile(root + "/Contents/Info.plist", "<plist/>");
  writeFile(root + "/Contents/Resources/.hidden", "hidden");
  for (int i = 0; i < 40; ++i) writeFile(root + "/Contents/Resources/Images/" + std::to_string(i), "x");
  fs::create_directories(root + "/Contents/Resources/Empty/Deeper");
}

}  // namespace testing_tree
