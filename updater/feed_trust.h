// Where the run meets the key chain: what this installation has recorded about its feed's keys
// and serials (in the plug-in's own preference domain, with the other updater settings), the
// check of each downloaded feed against it, and the check of a new bundle's key before it is
// installed. Nothing is trusted that could not be recorded first.
#pragma once

#include "updater/core/appcast.h"
#include "updater/core/bundle_info.h"
#include "updater/core/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace updater {

// The settings, in the domain named after the bundle identifier.
inline const QString kKeyInForceKey = QStringLiteral("QLPublicEDKeyInForce");
inline const QString kKeyStatementNumberKey = QStringLiteral("QLKeyStatementNumber");
inline const QString kReplacedKeysKey = QStringLiteral("QLReplacedPublicEDKeys");
inline const QString kFeedSerialsKey = QStringLiteral("QLFeedSerials");  // feed address → highest serial accepted

struct AcceptedFeed {
  Appcast appcast;
  QString keyInForce;  // base64: every archive and delta of this run must verify against it
};

// Checks the feed fetched from feedAddress for the installed bundle (key chain, signature,
// expiry, serial; see core/key_chain.h), logs the statements it skipped, and records the key
// chain and the serial when they moved on. Refused, with a reason: whatever the check refuses,
// settings that cannot be read, and settings that cannot be written when there was something
// to record. Blocks on the settings file.
Result<AcceptedFeed> acceptFeed(const BundleInfo& installed, const QString& feedAddress, const QByteArray& document,
                                const QDateTime& now);

// Refuses a new bundle (unpacked, not yet installed) whose SUPublicEDKey is not keyInForce.
Status checkNewBundleAgainstKeyInForce(const QString& newBundlePath, const QString& keyInForce);

}  // namespace updater
