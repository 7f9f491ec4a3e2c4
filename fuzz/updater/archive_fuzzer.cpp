// Update archives are only unpacked after their signature is checked, but the checks that keep an
// archive inside its folder must hold for any bytes: this runs them without writing anything.
#include "updater/core/archive_extraction.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  updater::ExtractionLimits limits;
  // Small limits keep every run short and exercise the refusals.
  limits.maxTotalBytes = 4 << 20;
  limits.maxEntries = 2000;
  const QByteArray archive = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  (void)updater::checkArchive(archive, limits);
  return 0;
}
