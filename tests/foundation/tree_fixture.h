#pragma once

// Builds and inspects small file trees for the foundation tests.

#include <map>
#include <string>

namespace testing_tree {

// A fresh directory under $TMPDIR (the sandbox's), removed by the sandbox afterwards.
std::string makeScratchDirectory(const std::string& label);

void writeFile(const std::string& path, const std::string& contents);
void makeDirectories(const std::string& path);
void makeSymlink(const std::string& target, const std::string& linkPath);

// Every entry below root (not root itself), keyed by relative path. Files map to
// "file:<contents>", links to "link:<target>", directories to "dir". Links are not followed.
std::map<std::string, std::string> snapshot(const std::string& root);

// Names directly inside directory.
std::map<std::string, std::string> entriesOf(const std::string& directory);

// A tree of files, nested directories, an empty directory, a hidden file and a FIFO.
void makeSampleBundle(const std::string& root);

bool exists(const std::string& path);  // lstat semantics

}  // namespace testing_tree
