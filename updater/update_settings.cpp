#include "updater/update_settings.h"

#include "updater/core/item_selection.h"

#include "foundation/log.h"
#include "foundation/user_defaults.h"

#include <random>

namespace updater {

std::optional<plist::Value> storedSetting(const QString& domain, const QString& key) {
  auto stored = foundation::NSUserDefaults::standardUserDefaults().persistentDomainForName(domain);
  if (!stored || !stored->has_value()) return std::nullopt;
  const plist::Value* value = (**stored).get(key.toStdString());
  if (!value) return std::nullopt;
  return *value;
}

Status storeSetting(const QString& domain, const QString& key, plist::Value value) {
  auto& defaults = foundation::NSUserDefaults::standardUserDefaults();
  auto stored = defaults.persistentDomainForName(domain);
  if (!stored) {
    // Never replace a file we could not read: it may hold the user's other settings.
    return makeError(QStringLiteral("the settings of %1 cannot be read: %2").arg(domain, stored.error()));
  }
  plist::Dictionary settings = stored->value_or(plist::Dictionary());
  settings.set(key.toStdString(), std::move(value));
  auto saved = defaults.setPersistentDomainForName(settings, domain);
  if (!saved) {
    return makeError(QStringLiteral("the settings of %1 cannot be saved: %2").arg(domain, saved.error()));
  }
  return Status::ok();
}

int updateGroup(const QString& domain, const std::function<int()>& draw) {
  if (std::optional<plist::Value> stored = storedSetting(domain, kUpdateGroupKey)) {
    if (std::optional<plist::Integer> number = stored->asInteger()) {
      const std::optional<std::int64_t> group = number->toInt64();
      if (group && *group >= 0 && *group < kUpdateGroupCount) return static_cast<int>(*group);
    }
  }
  int group = 0;
  if (draw) {
    group = draw();
  } else {
    std::random_device seed;
    group = std::uniform_int_distribution<int>(0, kUpdateGroupCount - 1)(seed);
  }
  if (Status saved = storeSetting(domain, kUpdateGroupKey, plist::Value(std::int64_t{group})); !saved) {
    foundation::NSLog(QStringLiteral("Update: rollout group %@ serves this check only: %@"), group,
                      saved.error().message);
  }
  return group;
}

QStringList allowedChannels(const QString& domain) {
  QStringList channels;
  const std::optional<plist::Value> stored = storedSetting(domain, kAllowedChannelsKey);
  const plist::Array* array = stored ? stored->asArray() : nullptr;
  if (!array) return channels;
  for (const plist::Value& entry : *array) {
    if (const std::string* name = entry.asString(); name && !name->empty()) channels << QString::fromStdString(*name);
  }
  return channels;
}

}  // namespace updater
