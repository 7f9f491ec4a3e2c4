// The removal tool's controller: asks Mail to quit, deletes the plug-in's three installed
// items from the user's Library folder, cleans Mail's column settings after a complete
// removal, tells the user the outcome and quits the tool.
#pragma once

#include "ae/AppleEvents.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

class UninstallerEnvironment;

// One installed item of the plug-in, relative to a Library folder.
struct RemovalTarget {
  enum class Presence {
    Bundle,     // present when it opens as a bundle; the bundle's own path is removed
    Directory,  // present when it exists and is a directory (a plain file counts as absent)
  };
  const char* relativePath;
  const char* displayName;
  Presence presence;
};

// What a run finds of one target in one Library folder.
struct FoundItem {
  // The path a run deletes for the item itself; nothing when the item counts as absent.
  std::optional<QString> path;
  // The item is a symbolic link to something that counts as the item: only the link is
  // deleted, what it leads to is never touched.
  bool isLink = false;
  // What earlier, interrupted or partly failed removals of the item left beside it under
  // their hidden staging names; a run deletes them too.
  QStringList remnants;

  bool isPresent() const { return path || !remnants.isEmpty(); }
};

class Uninstaller : public QObject {
  Q_OBJECT

 public:
  // The plug-in bundle, its Spotlight importer and its folder of extras, in removal order.
  static const std::array<RemovalTarget, 3>& targets();

  // `environment` must outlive the controller.
  explicit Uninstaller(UninstallerEnvironment& environment, QObject* parent = nullptr);

  // Quits the tool at once; touches neither Mail nor any file.
  void cancel(QObject* sender);

  // Asks the application with that identifier to quit, without waiting for it. Returns the
  // status of building or sending the request (0 when it was handed over).
  OSStatus quitApplicationWithBundleID(const QString& bundleIdentifier);

  // Deletes the item at `path` outright (not to the Trash). On failure logs a line, shows
  // the failure alert and returns false; the item is then left whole.
  bool _moveFileToUserTrash(const QString& path);

  // One removal run, then the tool quits, whatever the outcome. The deletions wait (up to
  // 30 s, from the main loop, after waitingForInstallation()) for an update being installed.
  void uninstall(QObject* sender);

  // What a run would delete for `target` inside `libraryDirectory`. The window uses it to
  // show what a run will remove.
  FoundItem findItem(const QString& libraryDirectory, const RemovalTarget& target) const;

  // The user's Library folders in the order a run visits them.
  QStringList libraryDirectoriesInVisitOrder() const;

 signals:
  // The run waits for an update of the plug-in to be installed before it deletes anything.
  void waitingForInstallation();

 private:
  // Takes the installation lock of each Library folder's plug-in from `next` on, then removes.
  void lockThenRemove(const QStringList& libraries, int next, QObject* sender);
  void removeItems(const QStringList& libraries, QObject* sender);
  void cleanUpMailTableColumns();

  UninstallerEnvironment& environment_;
};
