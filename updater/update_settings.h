// What the plug-in's own preference domain (named after its bundle identifier,
// ~/Library/Preferences/<identifier>.plist) says about updates, besides the skipped version:
// the installation's rollout group and the channels it follows.
#pragma once

#include "updater/core/result.h"

#include "plist/value.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace updater {

inline const QString kUpdateGroupKey = QStringLiteral("SUUpdateGroupIdentifier");
inline const QString kAllowedChannelsKey = QStringLiteral("SUAllowedChannels");

// The value under `key` in `domain`; nothing when the domain or the key is missing or unreadable.
std::optional<plist::Value> storedSetting(const QString& domain, const QString& key);

// Sets `key` in `domain`, keeping every other key. A domain file that exists but cannot be read
// is left as it is and the failure is returned.
Status storeSetting(const QString& domain, const QString& key, plist::Value value);

// The installation's rollout group, 0..6: the stored one, else one drawn now with `draw`
// (uniform over 0..6 when empty) and stored, so it is drawn once. A domain that cannot be
// written keeps its file; the group drawn serves this run only (with a log line).
int updateGroup(const QString& domain, const std::function<int()>& draw = {});

// The channels followed besides the default one: the strings of the array under
// SUAllowedChannels; none when it is missing or not an array.
QStringList allowedChannels(const QString& domain);

}  // namespace updater
