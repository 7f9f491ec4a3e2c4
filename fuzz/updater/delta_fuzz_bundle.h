// The installed bundle the delta fuzzer builds against; the seed writer makes its deltas from the
// same one, so that seeds reach past the checks of the old files.
#pragma once

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fuzzbundle {

inline std::string infoPlist(const std::string& version) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>com.quillane.fuzz</string>"
         "<key>CFBundleVersion</key><string>" + version + "</string></dict></plist>\n";
}

inline std::vector<std::pair<std::string, std::string>> files() {
  std::string library;
  for (int i = 0; i < 400; ++i) library += "symbol" + std::to_string(i * 37 % 101) + ";";
  return {{"Contents/Info.plist", infoPlist("1.0")},
          {"Contents/MacOS/Quillane", "#!/bin/sh\necho Quillane 1.0\n"},
          {"Contents/Frameworks/Kit.so", library},
          {"Contents/Resources/en.lproj/Strings.strings", "\"Reply\" = \"Reply\";\n"}};
}

// Writes the bundle's files under root (which must not exist) and a link Contents/Current → MacOS.
// Returns false on any failure.
inline bool write(const std::string& root, const std::vector<std::pair<std::string, std::string>>& contents) {
  if (::mkdir(root.c_str(), 0755) != 0) return false;
  for (const auto& [path, bytes] : contents) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      ::mkdir((root + '/' + path.substr(0, slash)).c_str(), 0755);
    }
    std::FILE* file = std::fopen((root + '/' + path).c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) return false;
  }
  return ::symlink("MacOS", (root + "/Contents/Current").c_str()) == 0;
}

}  // namespace fuzzbundle
