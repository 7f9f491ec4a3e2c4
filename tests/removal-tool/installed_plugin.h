// Test helpers: a plug-in installed in a sandbox Library folder, snapshots of trees to prove
// that something was left whole, and real deletion failures on this machine.
#pragma once

#include <QString>

#include <map>
#include <optional>

namespace testing_support {

// Whether HOME is a throw-away sandbox made by tests/run-sandboxed.sh. The tests create and
// delete things in $HOME/Library, so they refuse to run anywhere else.
bool homeIsSandbox();

// Deletes the tree at `path`, but only inside a sandbox home; anything else is refused.
void removeTree(const QString& path);

// The three installed items inside `library`, each holding a few files.
struct InstalledPlugin {
  QString library;
  QString bundle() const { return library + "/Mail/Bundles/Quillane.mailbundle"; }
  QString importer() const { return library + "/Spotlight/Quillane.mdimporter"; }
  QString extras() const { return library + "/Mail/Bundles/Quillane Extras"; }
};
InstalledPlugin installPlugin(const QString& library);

// Writes `content` to `path`, making the folders above it.
void writeFile(const QString& path, const QByteArray& content);

// Every entry under `root` (and `root` itself as ""), without following links: relative
// path → "dir", "file:<content>" or "link:<target>". Empty when `root` does not exist.
using TreeSnapshot = std::map<QString, QString>;
TreeSnapshot snapshot(const QString& root);

// Whether anything, even a dangling link, is at `path`.
bool existsNoFollow(const QString& path);

// Makes the item at `path` impossible to remove or rename for this process: the immutable
// attribute as root, a read-only parent folder otherwise. Returns why it could not when the
// machine allows neither; the caller skips with that reason. Undone by `makeRemovable`
// (the sandbox runner also clears it when a test is interrupted).
std::optional<QString> makeUnremovable(const QString& path);
void makeRemovable(const QString& path);

}  // namespace testing_support
