// Plug-in bundles on disk for tests, and snapshots of folder trees to compare them.
#pragma once

#include <QByteArray>
#include <QString>

#include <map>
#include <string>

namespace updater::testing {

struct BundleSpec {
  QString identifier = QStringLiteral("com.quillane.mail.plugin");
  QString version = QStringLiteral("1.0");
  QString shortVersion = QStringLiteral("1.0");
  QString publicEDKey;             // SUPublicEDKey, omitted when empty
  bool requireSignedFeed = false;  // SURequireSignedFeed, omitted when false
  int payloadFiles = 3;            // how many Resources/*.txt files to add
};

// Makes parent/name: Contents/Info.plist (XML), an executable Contents/MacOS/Quillane, a few
// resource files whose contents name the version, and a relative link Contents/Current → MacOS.
// Returns its path. Aborts the test program on failure (fixtures must not half-exist).
QString makeBundle(const QString& parent, const QString& name, const BundleSpec& bundleShape);

// Writes bytes to path (creating folders), with the given mode.
void writeFile(const QString& path, const QByteArray& bytes, unsigned mode = 0644);
QByteArray readFile(const QString& path);

// A snapshot of a tree without following links: relative path → kind, mode and contents (or
// link target). Two equal snapshots mean two identical trees.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot snapshot(const QString& root);

// Short description of how two snapshots differ, for failure messages.
std::string describeDifference(const TreeSnapshot& expected, const TreeSnapshot& actual);

}  // namespace updater::testing
