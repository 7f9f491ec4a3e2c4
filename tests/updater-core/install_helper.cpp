// Runs one complete update of an installed bundle from an archive, as the updater does after a
// download: clean leftovers, stage, verify, unpack, validate, exchange, clean up. The atomicity
// test kills it at random moments. With "delta", ARCHIVE is a delta built against the installed
// bundle instead.
//
//   install_helper INSTALLED_BUNDLE ARCHIVE SIGNATURE LENGTH [delta]
#include "updater/core/bundle_installer.h"
#include "updater/core/delta_preparation.h"
#include "updater/core/update_preparation.h"

#include <QFile>

#include <cstdio>
#include <string_view>

int main(int argc, char* argv[]) {
  const bool isDelta = argc == 6 && std::string_view(argv[5]) == "delta";
  if (argc != 5 && !isDelta) {
    std::fprintf(stderr, "usage: install_helper INSTALLED_BUNDLE ARCHIVE SIGNATURE LENGTH [delta]\n");
    return 2;
  }
  const QString installed = QString::fromLocal8Bit(argv[1]);
  const QString archive = QString::fromLocal8Bit(argv[2]);
  auto fail = [](const updater::Error& error) {
    std::fprintf(stderr, "install_helper: %s\n", qPrintable(error.message));
    return 1;
  };

  if (updater::Result<int> cleaned = updater::cleanLeftovers(installed); !cleaned) return fail(cleaned.error());
  updater::Result<updater::BundleInfo> info = updater::readBundleInfo(installed);
  if (!info) return fail(info.error());
  updater::Result<updater::StagingArea> staging = updater::StagingArea::create(installed);
  if (!staging) return fail(staging.error());

  // The "download": the archive is copied into the staging area.
  const QString download = staging->filePath(QStringLiteral("download"));
  if (!QFile::copy(archive, download)) return fail(updater::makeError(QStringLiteral("cannot copy the archive")));

  updater::AppcastItem item;
  item.versionString = QStringLiteral("update");
  item.edSignature = QString::fromLocal8Bit(argv[3]);
  item.contentLength = QByteArray(argv[4]).toLongLong();
  const updater::AppcastDelta delta{info->version, {}, item.contentLength, item.edSignature};
  updater::Result<updater::PreparedUpdate> prepared = isDelta ? updater::prepareDeltaUpdate(*staging, download, delta, installed, *info)
                                                              : updater::prepareUpdate(*staging, download, item, *info);
  if (!prepared) return fail(prepared.error());
  if (updater::Status installedOk = updater::installBundle(prepared->bundlePath, installed); !installedOk) return fail(installedOk.error());
  if (updater::Status removed = staging->remove(); !removed) return fail(removed.error());
  return 0;
}
