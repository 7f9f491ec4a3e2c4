#include "platform_environment.h"

#include "appkit/alert.h"
#include "appkit/application.h"
#include "foundation/bundle.h"
#include "foundation/file_manager.h"
#include "foundation/log.h"
#include "foundation/search_paths.h"
#include "foundation/user_defaults.h"

#include <QCoreApplication>

#include <cerrno>

QStringList PlatformEnvironment::userLibraryDirectories() {
  return foundation::NSSearchPathForDirectoriesInDomains(foundation::NSLibraryDirectory,
                                                         foundation::NSUserDomainMask, true);
}

std::optional<QString> PlatformEnvironment::bundlePathForBundleAtPath(const QString& path) {
  const std::optional<foundation::NSBundle> bundle = foundation::NSBundle::bundleWithPath(path);
  if (!bundle) return std::nullopt;
  return bundle->bundlePath();
}

bool PlatformEnvironment::fileExistsAtPathIsDirectory(const QString& path, bool* isDirectory) {
  return foundation::NSFileManager::defaultManager().fileExistsAtPathIsDirectory(path,
                                                                                 isDirectory);
}

std::optional<UninstallerEnvironment::LinkDestination>
PlatformEnvironment::symbolicLinkDestinationAtPath(const QString& path) {
  const auto destination =
      foundation::NSFileManager::defaultManager().destinationOfSymbolicLinkAtPath(path);
  if (!destination) return std::nullopt;
  return LinkDestination{destination->isDirectory, destination->isAccessibleDirectory};
}

QStringList PlatformEnvironment::remnantsOfRemovalsAtPath(const QString& path) {
  return foundation::NSFileManager::defaultManager().remnantsOfRemovalsAtPath(path);
}

bool PlatformEnvironment::removeItemAtPathError(const QString& path,
                                                QString* localizedDescription) {
  foundation::NSError error;
  if (foundation::NSFileManager::defaultManager().removeItemAtPathError(path, &error)) return true;
  *localizedDescription = error.localizedDescription();
  return false;
}

PersistentDomainRead PlatformEnvironment::persistentDomainForName(const QString& name) {
  auto read = foundation::NSUserDefaults::standardUserDefaults().persistentDomainForName(name);
  PersistentDomainRead result;
  if (read.has_value())
    result.domain = read.value();
  else
    result.error = read.error();
  return result;
}

bool PlatformEnvironment::setPersistentDomainForName(const plist::Dictionary& domain,
                                                     const QString& name, QString* error) {
  auto written =
      foundation::NSUserDefaults::standardUserDefaults().setPersistentDomainForName(domain, name);
  if (written.has_value()) return true;
  *error = written.error();
  return false;
}

void PlatformEnvironment::log(const QString& format, const QString& argument) {
  foundation::NSLog(format, argument);
}

int PlatformEnvironment::runAlertPanel(const QString& title, const QString& message,
                                       const QString& defaultButton,
                                       const QString& alternateButton,
                                       const QString& otherButton) {
  return appkit::NSRunAlertPanel(title, message, defaultButton, alternateButton, otherButton);
}

OSStatus PlatformEnvironment::buildAppleEvent(AEEventClass eventClass, AEEventID eventID,
                                              DescType addressType, const void* addressData,
                                              Size addressLength, AEReturnID returnID,
                                              AETransactionID transactionID, AppleEvent* result,
                                              AEBuildError* error, const char* parameterFormat) {
  return AEBuildAppleEvent(eventClass, eventID, addressType, addressData, addressLength, returnID,
                           transactionID, result, error, parameterFormat);
}

OSStatus PlatformEnvironment::sendMessage(const AppleEvent* event, AppleEvent* reply,
                                          AESendMode sendMode, long timeOutInTicks) {
  return AESendMessage(event, reply, sendMode, timeOutInTicks);
}

OSErr PlatformEnvironment::disposeDesc(AEDesc* desc) { return AEDisposeDesc(desc); }

void PlatformEnvironment::terminate(QObject* sender) { appkit::NSApp()->terminate(sender); }

void PlatformEnvironment::lockInstallation(const QString& bundlePath, std::chrono::milliseconds timeout,
                                           std::function<void()> waiting, LockDone done) {
  const QString lockPath = foundation::installationLockPathForBundle(bundlePath);
  foundation::NSError error;
  if (std::optional<foundation::FileLock> lock = foundation::FileLock::tryLock(lockPath, &error)) {
    locks_.push_back(std::move(*lock));
    done(std::nullopt);
    return;
  }
  // No folder to hold the lock: no folder of bundles either, so nothing an update could change.
  if (error.code() == ENOENT) {
    done(std::nullopt);
    return;
  }
  if (error.code() != EWOULDBLOCK) {
    done(error.localizedDescription());
    return;
  }
  if (waiting) waiting();
  foundation::FileLock::lockWhenFree(
      lockPath, timeout, &lockWaits_,
      [this, timeout, done = std::move(done)](std::optional<foundation::FileLock> lock, const foundation::NSError& error) {
        if (lock) {
          locks_.push_back(std::move(*lock));
          done(std::nullopt);
        } else if (error.code() == ETIMEDOUT) {
          done(QCoreApplication::translate("PlatformEnvironment",
                                           "Quillane was still being updated after %1 seconds; nothing was removed.")
                   .arg(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()));
        } else {
          done(error.localizedDescription());
        }
      });
}

void PlatformEnvironment::unlockInstallations() { locks_.clear(); }
