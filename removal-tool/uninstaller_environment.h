// What the removal tool needs from the platform, as one small interface, so that the
// controller can be driven by fakes in tests and by the platform layer in the program.
#pragma once

#include "ae/AppleEvents.h"
#include "plist/value.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

class QObject;

// A preference domain as read from disk.
struct PersistentDomainRead {
  // The domain's top-level dictionary; nothing when the domain does not exist.
  std::optional<plist::Dictionary> domain;
  // Set when the domain exists but cannot be read or parsed; `domain` is then empty.
  std::optional<QString> error;
};

class UninstallerEnvironment {
 public:
  virtual ~UninstallerEnvironment() = default;

  // The user's Library folders (one, normally); empty when there is no home directory.
  virtual QStringList userLibraryDirectories() = 0;

  // The path of the bundle at `path`, or nothing unless it names an accessible directory.
  // A symbolic link is not a bundle.
  virtual std::optional<QString> bundlePathForBundleAtPath(const QString& path) = 0;

  // Whether something exists at `path` (a link counts as existing and as not a directory).
  virtual bool fileExistsAtPathIsDirectory(const QString& path, bool* isDirectory) = 0;

  // What a symbolic link at `path` leads to; nothing when no link is there. A link that
  // leads nowhere gives a destination that is neither.
  struct LinkDestination {
    bool isDirectory = false;
    bool isBundle = false;  // an accessible directory
  };
  virtual std::optional<LinkDestination> symbolicLinkDestinationAtPath(const QString& path) = 0;

  // What earlier, interrupted or partly failed removals of the item at `path` left beside it
  // under their hidden staging names (this user's only), as paths.
  virtual QStringList remnantsOfRemovalsAtPath(const QString& path) = 0;

  // Removes a file, a link or a whole tree, entirely or not at all. On failure returns false
  // and sets `localizedDescription` to a readable text naming the path and the cause.
  virtual bool removeItemAtPathError(const QString& path, QString* localizedDescription) = 0;

  virtual PersistentDomainRead persistentDomainForName(const QString& name) = 0;

  // Replaces the whole domain atomically. On failure returns false, sets `error` and leaves
  // the stored domain as it was.
  virtual bool setPersistentDomainForName(const plist::Dictionary& domain, const QString& name,
                                          QString* error) = 0;

  // One log line: `format` with its single "%@" replaced by `argument`.
  virtual void log(const QString& format, const QString& argument) = 0;

  // A modal alert; returns which button dismissed it. Blocks until then.
  virtual int runAlertPanel(const QString& title, const QString& message,
                            const QString& defaultButton, const QString& alternateButton,
                            const QString& otherButton) = 0;

  // The Apple Event Manager calls the quit request is made of. `parameterFormat` is the
  // build format; the removal tool's messages have no parameters, so no further arguments.
  virtual OSStatus buildAppleEvent(AEEventClass eventClass, AEEventID eventID,
                                   DescType addressType, const void* addressData,
                                   Size addressLength, AEReturnID returnID,
                                   AETransactionID transactionID, AppleEvent* result,
                                   AEBuildError* error, const char* parameterFormat) = 0;
  virtual OSStatus sendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
                               long timeOutInTicks) = 0;
  virtual OSErr disposeDesc(AEDesc* desc) = 0;

  // Ends the application through its main loop.
  virtual void terminate(QObject* sender) = 0;

  // Takes the lock an update installs the bundle at `bundlePath` under, and holds it until
  // unlockInstallations(). Calls `done` once, with nothing when it is held (or when there is no
  // folder an update could install into), or with a readable reason when it stayed taken for
  // `timeout` or cannot be had. When it is free `done` may run before this returns; when it is
  // taken `waiting` runs first, and `done` later, from the main loop.
  using LockDone = std::function<void(const std::optional<QString>& failure)>;
  virtual void lockInstallation(const QString& bundlePath, std::chrono::milliseconds timeout,
                                std::function<void()> waiting, LockDone done) = 0;
  virtual void unlockInstallations() = 0;
};
