#include "updater/skipped_version.h"

#include "updater/update_settings.h"

namespace updater {

QString skippedVersion(const QString& domain) {
  const std::optional<plist::Value> stored = storedSetting(domain, kSkippedVersionKey);
  const std::string* text = stored ? stored->asString() : nullptr;
  return text ? QString::fromStdString(*text) : QString();
}

Status rememberSkippedVersion(const QString& domain, const QString& version) {
  return storeSetting(domain, kSkippedVersionKey, plist::Value(version.toStdString()));
}

}  // namespace updater
