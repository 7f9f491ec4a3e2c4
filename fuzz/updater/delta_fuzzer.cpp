// A delta is only read after its signature is checked, but its reader and builder must hold for
// any bytes: paths stay inside the staging folder, limits hold, nothing unverified is written.
// Each input that reads as a delta is built against a small installed bundle in a fresh folder.
// Seeds: updater_delta_fuzz_seeds writes them (docs/update-feeds.md).
#include "delta_fuzz_bundle.h"

#include "updater/core/delta_application.h"
#include "updater/core/tree_deletion.h"

#include <zstd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string workFolder;
std::string installedBundle;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/delta-fuzz-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (!made) std::abort();
  workFolder = made;
  installedBundle = workFolder + "/Quillane.mailbundle";
  if (!fuzzbundle::write(installedBundle, fuzzbundle::files())) std::abort();
  return 0;
}

// An input is either a delta file, or (so that the mutations reach the manifest's JSON, which a
// delta carries compressed) a manifest's JSON, a zero byte, and the data section.
std::vector<std::uint8_t> asDelta(const std::uint8_t* data, std::size_t size) {
  if (size >= 8 && std::memcmp(data, updater::kDeltaMagic, 8) == 0) return {data, data + size};
  const std::uint8_t* end = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  const std::size_t jsonSize = end ? static_cast<std::size_t>(end - data) : size;
  std::vector<std::uint8_t> out(updater::kDeltaHeaderBytes + ZSTD_compressBound(jsonSize));
  const std::size_t frame = ZSTD_compress(out.data() + updater::kDeltaHeaderBytes, out.size() - updater::kDeltaHeaderBytes, data, jsonSize, 1);
  if (ZSTD_isError(frame)) std::abort();
  out.resize(updater::kDeltaHeaderBytes + frame);
  std::memcpy(out.data(), updater::kDeltaMagic, 8);
  for (int i = 0; i < 8; ++i) out[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((std::uint64_t{frame} >> (8 * i)) & 0xff);
  if (end) out.insert(out.end(), end + 1, data + size);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t inputSize) {
  updater::ExtractionLimits limits;
  // Small limits keep every run short and exercise the refusals.
  limits.maxTotalBytes = 4 << 20;
  limits.maxEntries = 2000;
  const std::vector<std::uint8_t> bytes = asDelta(input, inputSize);
  updater::Result<updater::ParsedDelta> delta = updater::readDelta(bytes.data(), bytes.size(), limits);
  if (!delta) return 0;

  const std::string out = workFolder + "/out";
  if (::mkdir(out.c_str(), 0700) != 0) std::abort();
  updater::BundleInfo installed;
  installed.identifier = QStringLiteral("com.quillane.fuzz");
  installed.version = QStringLiteral("1.0");
  (void)updater::applyDelta(*delta, QString::fromStdString(installedBundle), installed, QString::fromStdString(out), limits);

  // Whatever was built stays inside the output folder and is cleared for the next input.
  const int fd = ::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || !updater::deleteFolderContents(fd)) std::abort();
  ::close(fd);
  if (::rmdir(out.c_str()) != 0) std::abort();
  return 0;
}
