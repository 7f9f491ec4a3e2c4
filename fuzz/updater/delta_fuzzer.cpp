// A delta is only read after its signature is checked, but its reader and builder must hold for
// any bytes: paths stay inside the staging folder, limits hold, nothing unverified is written.
// Each input that reads as a delta is built against a small installed bundle in a fresh folder.
#include "delta_fuzz_bundle.h"

#include "updater/core/delta_application.h"
#include "updater/core/tree_deletion.h"

#include <QDir>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string workFolder;
std::string installedBundle;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/delta-fuzz-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (!made) std::abort();
  workFolder = made;
  installedBundle = workFolder + "/Quillane.mailbundle";
  if (!fuzzbundle::write(installedBundle, fuzzbundle::files())) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  updater::ExtractionLimits limits;
  // Small limits keep every run short and exercise the refusals.
  limits.maxTotalBytes = 4 << 20;
  limits.maxEntries = 2000;
  updater::Result<updater::ParsedDelta> delta = updater::readDelta(data, size, limits);
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
