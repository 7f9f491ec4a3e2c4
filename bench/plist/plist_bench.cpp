// Benchmark: read a Mail-shaped binary preference domain, remove the plug-in's column
// identifiers from its "TableColumns" dictionaries, write it back, against Python's plistlib
// doing the same in the same run. Prints both times, their ratio, and how each scales from
// the small domain to the large one (10x the keys: about 10x the time when linear). Then the
// binary codec on its own, on the large domain: reading and writing throughput, against
// plistlib's loads and dumps. Last, a domain of another shape: 250,000 mixed top-level
// entries (about 11 MB), read from its file and written to another, as plutil -convert does,
// against plistlib doing the same.
//
// Like plutil, it runs on the C library's malloc, told to keep freed memory for reuse.
//
//   plist_bench [--repeats N] [--baseline-repeats N] [--keys SMALL,LARGE] [--mixed-entries N]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "plist/file.h"
#include "plist/memory.h"
#include "plist/plist.h"

namespace {

const std::vector<std::string> kPluginColumns = {"20", "21", "22", "23", "24"};

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool runBaseline(const std::string& arguments, std::string* output) {
  const std::string command = "python3 " + shellQuote(PLISTLIB_BASELINE) + " " + arguments;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return false;
  char buffer[256];
  std::string text;
  while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
  const bool ok = ::pclose(pipe) == 0;
  if (output) *output = text;
  return ok;
}

// The allocator this process runs on: the C library's malloc, unless one was preloaded.
std::string allocatorName() {
  using Version = int (*)();
  if (auto version = reinterpret_cast<Version>(::dlsym(RTLD_DEFAULT, "mi_version"))) {
    const int v = version();
    return "mimalloc " + std::to_string(v / 100) + "." + std::to_string(v / 10 % 10) + "." + std::to_string(v % 10);
  }
  return "the C library's malloc, freed memory kept for reuse";
}

// One read + edit + write; returns the written size (0 on failure).
std::size_t readEditWrite(const std::string& path) {
  auto bytes = plist::readFile(path);
  if (!bytes) return 0;
  plist::ReadResult domain = plist::read(*bytes);
  if (!domain || !domain->isDictionary()) return 0;
  plist::Dictionary working = *domain->asDictionary();
  if (plist::Value* columns = working.find("TableColumns"))
    if (plist::Dictionary* table = columns->asDictionary())
      for (auto& [name, column] : *table)
        if (plist::Dictionary* identifiers = column.asDictionary()) identifiers->removeObjectsForKeys(kPluginColumns);
  return plist::writeBinary(working).size();
}

// Median seconds of repeats runs of step (which returns false on failure), or -1.
template <typename Step>
double medianSeconds(int repeats, Step step) {
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) {
    const auto started = std::chrono::steady_clock::now();
    if (!step()) return -1;
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Reading alone and writing alone; prints MB/s for ours and plistlib's.
bool measureCodec(const std::string& path, int repeats, int baselineRepeats) {
  const auto bytes = plist::readFile(path);
  if (!bytes) return false;
  const plist::ReadResult domain = plist::read(*bytes);
  if (!domain) return false;
  const std::size_t written = plist::writeBinary(*domain).size();
  const double read = medianSeconds(repeats, [&] { return plist::read(*bytes).has_value(); });
  const double write = medianSeconds(repeats, [&] { return !plist::writeBinary(*domain).empty(); });
  std::string output;
  if (read < 0 || write < 0 || !runBaseline("codec " + shellQuote(path) + " " + std::to_string(baselineRepeats), &output))
    return false;
  double baselineRead = 0, baselineWrite = 0;
  if (std::sscanf(output.c_str(), "%lf %lf", &baselineRead, &baselineWrite) != 2) return false;
  auto megabytesPerSecond = [](std::size_t size, double seconds) { return size / seconds / 1e6; };
  std::printf("Binary codec alone, %zu-byte domain: %10s %12s %16s %8s\n", bytes->size(), "", "ours (MB/s)",
              "plistlib (MB/s)", "ratio");
  std::printf("%48s %12.1f %16.1f %7.1fx\n", "read", megabytesPerSecond(bytes->size(), read),
              megabytesPerSecond(bytes->size(), baselineRead), baselineRead / read);
  std::printf("%48s %12.1f %16.1f %7.1fx\n", "write", megabytesPerSecond(written, write),
              megabytesPerSecond(written, baselineWrite), baselineWrite / write);
  return true;
}

// Read the mixed domain from its file and write it to another, against plistlib.
bool measureMixed(const std::string& folder, int entries, int repeats, int baselineRepeats) {
  const std::string path = folder + "/mixed.plist", out = folder + "/mixed-out.plist";
  if (!runBaseline("generate-mixed " + std::to_string(entries) + " " + shellQuote(path), nullptr)) return false;
  const double mine = medianSeconds(repeats, [&] {
    auto bytes = plist::readFile(path);
    if (!bytes) return false;
    plist::ReadResult value = plist::read(*bytes);
    return value && plist::writeFileAtomically(out, plist::writeBinary(*value)).has_value();
  });
  std::string output;
  const bool ran = mine >= 0 && runBaseline("convert " + shellQuote(path) + " " + shellQuote(out) + " " +
                                                std::to_string(baselineRepeats), &output);
  const auto size = plist::readFile(path)->size();
  std::remove(path.c_str());
  std::remove(out.c_str());
  if (!ran) return false;
  const double baseline = std::atof(output.c_str());
  std::printf("Read file + write file, %d mixed top-level entries\n", entries);
  std::printf("%8s %10s %12s %14s %8s\n", "entries", "bytes", "ours (ms)", "plistlib (ms)", "ratio");
  std::printf("%8d %10zu %12.2f %14.2f %7.1fx\n", entries, size, mine * 1e3, baseline * 1e3, baseline / mine);
  return true;
}

// The edit really happened: no plug-in identifier is left in the written domain.
bool editVerified(const std::string& path) {
  auto bytes = plist::readFile(path);
  plist::Dictionary working = *plist::read(*bytes)->asDictionary();
  std::size_t before = 0;
  for (auto& [name, column] : *working.find("TableColumns")->asDictionary())
    before += column.asDictionary()->removeObjectsForKeys(kPluginColumns);
  const auto after = plist::readBinary(plist::writeBinary(working));
  for (const auto& [name, column] : *after->asDictionary()->get("TableColumns")->asDictionary())
    for (const std::string& identifier : kPluginColumns)
      if (column.asDictionary()->contains(identifier)) return false;
  return before > 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  plist::keepFreedMemoryForReuse();
  int repeats = 7, baselineRepeats = 3, mixedEntries = 250000;
  std::vector<int> sizes = {5000, 50000};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--repeats") {
      repeats = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--baseline-repeats") {
      baselineRepeats = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--keys") {
      std::sscanf(argv[i + 1], "%d,%d", &sizes[0], &sizes[1]);
    } else if (option == "--mixed-entries") {
      mixedEntries = std::max(1, std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr, "usage: plist_bench [--repeats N] [--baseline-repeats N] [--keys SMALL,LARGE] [--mixed-entries N]\n");
      return 2;
    }
  }

  const char* tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/plist-bench.XXXXXX";
  if (!::mkdtemp(folder.data())) {
    std::perror("mkdtemp");
    return 1;
  }

  std::printf("Read + clean up TableColumns + write, binary domain; median of %d runs (ours), %d (plistlib)\n",
              repeats, baselineRepeats);
  std::printf("Ours allocates through %s\n", allocatorName().c_str());
  std::printf("%8s %10s %12s %14s %8s\n", "keys", "bytes", "ours (ms)", "plistlib (ms)", "ratio");
  std::vector<double> ours, theirs;
  std::string codecPath;
  int status = 0;
  for (const int keys : sizes) {
    const std::string path = folder + "/domain-" + std::to_string(keys) + ".plist";
    if (!runBaseline("generate " + std::to_string(keys) + " " + shellQuote(path), nullptr)) {
      std::fprintf(stderr, "plist_bench: python3 plistlib could not generate the domain\n");
      return 1;
    }
    if (!editVerified(path)) {
      std::fprintf(stderr, "plist_bench: the edit did not remove the plug-in columns\n");
      status = 1;
    }
    const double mine = medianSeconds(repeats, [&] { return readEditWrite(path) != 0; });
    std::string output;
    if (mine < 0 || !runBaseline("time " + shellQuote(path) + " " + std::to_string(baselineRepeats), &output)) {
      std::fprintf(stderr, "plist_bench: a run failed\n");
      return 1;
    }
    const double baseline = std::atof(output.c_str());
    const auto size = plist::readFile(path)->size();
    std::printf("%8d %10zu %12.2f %14.2f %7.1fx\n", keys, size, mine * 1e3, baseline * 1e3, baseline / mine);
    ours.push_back(mine);
    theirs.push_back(baseline);
    if (keys == sizes.back()) codecPath = path;
    else std::remove(path.c_str());
  }
  const double keyRatio = static_cast<double>(sizes[1]) / sizes[0];
  std::printf("Scaling %d -> %d keys (%.0fx the keys): ours %.1fx the time, plistlib %.1fx\n", sizes[0], sizes[1],
              keyRatio, ours[1] / ours[0], theirs[1] / theirs[0]);
  if (!measureCodec(codecPath, repeats, baselineRepeats)) {
    std::fprintf(stderr, "plist_bench: measuring the codec alone failed\n");
    status = 1;
  }
  std::remove(codecPath.c_str());
  if (!measureMixed(folder, mixedEntries, repeats, baselineRepeats)) {
    std::fprintf(stderr, "plist_bench: the mixed domain failed\n");
    status = 1;
  }
  ::rmdir(folder.c_str());
  return status;
}
