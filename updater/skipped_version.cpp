#include "updater/skipped_version.h"

#include "foundation/user_defaults.h"

namespace updater {

QString skippedVersion(const QString& domain) {
  auto stored = foundation::NSUserDefaults::standardUserDefaults().persistentDomainForName(domain);
  if (!stored || !stored->has_value()) return {};
  const plist::Value* value = (**stored).get(kSkippedVersionKey.toStdString());
  if (!value) return {};
  const std::string* text = value->asString();
  return text ? QString::fromStdString(*text) : QString();
}

Status rememberSkippedVersion(const QString& domain, const QString& version) {
  auto& defaults = foundation::NSUserDefaults::standardUserDefaults();
  auto stored = defaults.persistentDomainForName(domain);
  if (!stored) {
    // Never replace a file we could not read: it may hold the user's other settings.
    return makeError(QStringLiteral("the settings of %1 cannot be read: %2").arg(domain, stored.error()));
  }
  plist::Dictionary settings = stored->value_or(plist::Dictionary());
  settings.set(kSkippedVersionKey.toStdString(), plist::Value(version.toStdString()));
  auto saved = defaults.setPersistentDomainForName(settings, domain);
  if (!saved) {
    return makeError(QStringLiteral("the settings of %1 cannot be saved: %2").arg(domain, saved.error()));
  }
  return Status::ok();
}

}  // namespace updater
