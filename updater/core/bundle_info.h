// What the updater reads from a bundle's Contents/Info.plist, and the checks an extracted
// update must pass before it may replace the installed bundle.
#pragma once

#include "updater/core/result.h"

#include <QString>
#include <QStringList>

namespace updater {

struct BundleInfo {
  QString identifier;          // CFBundleIdentifier
  QString version;             // CFBundleVersion
  QString shortVersion;        // CFBundleShortVersionString, may be empty
  QString feedURL;             // SUFeedURL, may be empty
  QString publicEDKey;         // SUPublicEDKey (base64, unchecked here), may be empty
  QStringList recoveryPublicKeys;  // QLRecoveryPublicEDKeys: the strings of its array (base64, unchecked here)
  bool automaticallyUpdate = false;  // SUAutomaticallyUpdate
  bool requireSignedFeed = false;    // SURequireSignedFeed
};

// Reads bundlePath/Contents/Info.plist (binary or XML), never following a link at the bundle or
// in it. Refused: a missing or unreadable file, one that is not a property list, a top level that
// is not a dictionary, a missing or non-string CFBundleIdentifier or CFBundleVersion. Optional
// string keys of another type are treated as absent. The two switches accept a boolean, a number
// or a string ("YES", "true", "1"...); SURequireSignedFeed set to anything it cannot read as
// false counts as true, so that a typo never turns the protection off. Blocks on the read.
Result<BundleInfo> readBundleInfo(const QString& bundlePath);

// Checks an extracted bundle against the installed one: its Info.plist must read, name the same
// CFBundleIdentifier, and have a CFBundleVersion newer than installed.version (compareVersions).
// No downgrade, no reinstall of the same version, no substitution of another product. Returns the
// extracted bundle's info.
Result<BundleInfo> validateUpdateBundle(const QString& extractedBundlePath,
                                        const BundleInfo& installed);

}  // namespace updater
