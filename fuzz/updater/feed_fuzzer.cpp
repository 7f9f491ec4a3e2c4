// Feeds come from the network: parsing, update selection and signed-feed checks must survive any
// bytes, and version ordering must stay antisymmetric on whatever versions a feed carries.
#include "updater/core/appcast.h"
#include "updater/core/item_selection.h"
#include "updater/core/signed_feed.h"
#include "updater/core/version_comparison.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

void requireAntisymmetric(const QString& a, const QString& b) {
  if (sign(updater::compareVersions(a, b)) != -sign(updater::compareVersions(b, a)) || updater::compareVersions(a, a) != 0) {
    std::fprintf(stderr, "version order is not antisymmetric: \"%s\" vs \"%s\"\n", qPrintable(a), qPrintable(b));
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray document = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

  updater::Result<updater::Appcast> appcast = updater::parseAppcast(document);
  if (appcast) {
    const auto& items = appcast->items;
    for (std::size_t i = 0; i < items.size() && i < 16; ++i) {
      requireAntisymmetric(items[i].versionString, items[(i + 1) % items.size()].versionString);
      requireAntisymmetric(items[i].versionString, items[i].displayVersionString);
    }
    if (!items.empty()) {
      const updater::Installation installation{items[0].versionString, {}, 3, items.back().versionString};
      const updater::ItemSelection offered = updater::selectItem(
          *appcast, installation, updater::CheckKind::Background, QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC));
      // Whatever is offered is newer than the installed version, and than the skipped one unless critical.
      if (offered.item && (updater::compareVersions(offered.item->versionString, items[0].versionString) <= 0 ||
                           (!offered.critical &&
                            updater::compareVersions(offered.item->versionString, items.back().versionString) <= 0))) {
        std::abort();
      }
    }
  }

  // The signed-feed path with a fixed key: nothing random-looking is ever accepted.
  static const updater::PublicKey key = [] {
    updater::PublicKey k;
    for (std::size_t i = 0; i < k.bytes.size(); ++i) k.bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return k;
  }();
  const updater::FeedPolicy policy{true, key, QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC)};
  (void)updater::readFeed(document, policy);
  return 0;
}
