// Writes the delta fuzzer's seeds: real deltas from the fuzzer's installed bundle to a few next
// versions (a patched file, an added and a removed one, a moved link, a version bump only).
//
//   updater_delta_fuzz_seeds FOLDER
#include "delta_fuzz_bundle.h"

#include "updater/core/delta_creation.h"

#include <QFile>

#include <zstd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: updater_delta_fuzz_seeds FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  char pattern[] = "/tmp/delta-seeds-XXXXXX";
  const char* work = ::mkdtemp(pattern);
  if (!work || (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)) return 1;
  const std::string old = std::string(work) + "/old.mailbundle";
  if (!fuzzbundle::write(old, fuzzbundle::files())) return 1;

  auto next = fuzzbundle::files();
  next[0].second = fuzzbundle::infoPlist("2.0");
  std::vector<std::vector<std::pair<std::string, std::string>>> versions = {next};
  next[2].second += "symbol999;";
  next.emplace_back("Contents/Resources/New.txt", "new in 2.0");
  versions.push_back(next);
  next.erase(next.begin() + 3);
  versions.push_back(next);

  int written = 0;
  for (std::size_t i = 0; i < versions.size(); ++i) {
    const std::string bundle = std::string(work) + "/new" + std::to_string(i) + ".mailbundle";
    if (!fuzzbundle::write(bundle, versions[i])) return 1;
    updater::Result<QByteArray> delta = updater::makeDelta(QString::fromStdString(old), QString::fromStdString(bundle));
    if (!delta) {
      std::fprintf(stderr, "%s\n", qPrintable(delta.error().message));
      return 1;
    }
    QFile seed(QString::fromStdString(folder + "/seed" + std::to_string(i) + ".delta"));
    if (!seed.open(QIODevice::WriteOnly) || seed.write(*delta) != delta->size()) return 1;
    // The same delta as the fuzzer's other input form: the manifest's JSON, a zero byte, the data.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(delta->constData());
    std::uint64_t frameLength = 0;
    for (int b = 7; b >= 0; --b) frameLength = (frameLength << 8) | bytes[8 + b];
    const unsigned long long jsonSize = ZSTD_getFrameContentSize(bytes + 16, frameLength);
    QByteArray json(static_cast<qsizetype>(jsonSize), Qt::Uninitialized);
    if (ZSTD_isError(ZSTD_decompress(json.data(), json.size(), bytes + 16, frameLength))) return 1;
    QFile plain(QString::fromStdString(folder + "/seed" + std::to_string(i) + ".json"));
    const QByteArray form = json + QByteArray(1, '\0') + delta->mid(static_cast<qsizetype>(16 + frameLength));
    if (!plain.open(QIODevice::WriteOnly) || plain.write(form) != form.size()) return 1;
    written += 2;
  }
  std::printf("%d delta seeds in %s (work files in %s)\n", written, folder.c_str(), work);
  return 0;
}
