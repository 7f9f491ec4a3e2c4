// Removes a plug-in-like tree of 20,000 small files with NSFileManager::removeItemAtPathError
// and an identical tree with `rm -rf`, in the same run on the same file system, and prints
// both times and their ratio.
//
//   remove_item_bench [folder] [rounds]     (folder defaults to $TMPDIR or /tmp)

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/file_manager.h"

extern char** environ;

namespace {

constexpr int kTopFolders = 20;
constexpr int kSubFolders = 10;
constexpr int kFilesPerFolder = 100;  // 20 x 10 x 100 = 20,000 files

void makeTree(const std::string& root) {
  const std::string payload(200, 'q');
  for (int top = 0; top < kTopFolders; ++top) {
    for (int sub = 0; sub < kSubFolders; ++sub) {
      const std::string folder = root + "/Contents/Resources/Part" + std::to_string(top) + "/Sub" + std::to_string(sub);
      std::filesystem::create_directories(folder);
      for (int file = 0; file < kFilesPerFolder; ++file)
        std::ofstream(folder + "/resource" + std::to_string(file) + ".dat") << payload;
    }
  }
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double timeRmRf(const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  pid_t child = 0;
  const char* argv[] = {"rm", "-rf", "--", path.c_str(), nullptr};
  if (posix_spawnp(&child, "rm", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    std::perror("rm");
    std::exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  const double seconds = secondsSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || std::filesystem::exists(path)) {
    std::fprintf(stderr, "rm -rf failed\n");
    std::exit(1);
  }
  return seconds;
}

double timeRemoveItem(const std::string& path) {
  foundation::NSError error;
  const auto start = std::chrono::steady_clock::now();
  const bool removed =
      foundation::NSFileManager::defaultManager().removeItemAtPathError(QString::fromStdString(path), &error);
  const double seconds = secondsSince(start);
  if (!removed || std::filesystem::exists(path)) {
    std::fprintf(stderr, "removeItemAtPathError failed: %s\n", qPrintable(error.localizedDescription()));
    std::exit(1);
  }
  return seconds;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const std::string folder = base + "/quillane-remove-bench-" + std::to_string(getpid());

  std::vector<double> ours, rm;
  for (int round = 0; round < rounds; ++round) {
    const std::string a = folder + "/A.mailbundle", b = folder + "/B.mailbundle";
    // Not synced: on file systems mounted with online discard, deleting written-back blocks
    // turns both sides into a disk benchmark (about a minute each here).
    makeTree(a);
    makeTree(b);
    // Alternate who goes first so neither always meets a colder or busier file system.
    if (round % 2 == 0) {
      ours.push_back(timeRemoveItem(a));
      rm.push_back(timeRmRf(b));
    } else {
      rm.push_back(timeRmRf(b));
      ours.push_back(timeRemoveItem(a));
    }
  }
  std::filesystem::remove(folder);

  const double oursMedian = median(ours), rmMedian = median(rm);
  std::printf("remove 20,000 files (%d rounds, median)\n", rounds);
  std::printf("  removeItemAtPathError: %.1f ms\n", oursMedian * 1000);
  std::printf("  rm -rf (baseline):     %.1f ms\n", rmMedian * 1000);
  std::printf("  ratio: %.3f x rm -rf\n", oursMedian / rmMedian);
  return 0;
}
