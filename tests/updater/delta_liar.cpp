// Makes a delta whose manifest lies about one file's SHA-256, as a faulty publishing step would:
// otherwise intact, so that only the check of what is built can catch it.
//
//   updater_delta_liar DELTA OUT PATH_IN_BUNDLE
#include "updater/core/delta_format.h"

#include <QFile>

#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: updater_delta_liar DELTA OUT PATH_IN_BUNDLE\n");
    return 2;
  }
  QFile in(QString::fromLocal8Bit(argv[1]));
  if (!in.open(QIODevice::ReadOnly)) return 1;
  const QByteArray bytes = in.readAll();
  updater::Result<updater::ParsedDelta> delta =
      updater::readDelta(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
  if (!delta) {
    std::fprintf(stderr, "%s\n", qPrintable(delta.error().message));
    return 1;
  }
  bool found = false;
  for (updater::DeltaEntry& entry : delta->manifest.entries) {
    if (entry.path != argv[3]) continue;
    entry.sha256[0] ^= 1;
    found = true;
  }
  QFile out(QString::fromLocal8Bit(argv[2]));
  const QByteArray lying = updater::writeDelta(
      delta->manifest, QByteArray(reinterpret_cast<const char*>(delta->data), static_cast<qsizetype>(delta->dataSize)));
  return found && out.open(QIODevice::WriteOnly) && out.write(lying) == lying.size() ? 0 : 1;
}
