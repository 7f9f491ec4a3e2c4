// The removal tool's environment in the running program: the platform layer itself.
#pragma once

#include "uninstaller_environment.h"

#include "foundation/file_lock.h"

#include <QObject>

#include <vector>

class PlatformEnvironment : public UninstallerEnvironment {
 public:
  QStringList userLibraryDirectories() override;
  std::optional<QString> bundlePathForBundleAtPath(const QString& path) override;
  bool fileExistsAtPathIsDirectory(const QString& path, bool* isDirectory) override;
  std::optional<LinkDestination> symbolicLinkDestinationAtPath(const QString& path) override;
  QStringList remnantsOfRemovalsAtPath(const QString& path) override;
  bool removeItemAtPathError(const QString& path, QString* localizedDescription) override;
  PersistentDomainRead persistentDomainForName(const QString& name) override;
  bool setPersistentDomainForName(const plist::Dictionary& domain, const QString& name,
                                  QString* error) override;
  void log(const QString& format, const QString& argument) override;
  int runAlertPanel(const QString& title, const QString& message, const QString& defaultButton,
                    const QString& alternateButton, const QString& otherButton) override;
  OSStatus buildAppleEvent(AEEventClass eventClass, AEEventID eventID, DescType addressType,
                           const void* addressData, Size addressLength, AEReturnID returnID,
                           AETransactionID transactionID, AppleEvent* result,
                           AEBuildError* error, const char* parameterFormat) override;
  OSStatus sendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
                       long timeOutInTicks) override;
  OSErr disposeDesc(AEDesc* desc) override;
  void terminate(QObject* sender) override;
  void lockInstallation(const QString& bundlePath, std::chrono::milliseconds timeout,
                        std::function<void()> waiting, LockDone done) override;
  void unlockInstallations() override;

 private:
  QObject lockWaits_;  // the context of the waits for a lock: they end with the environment
  std::vector<foundation::FileLock> locks_;
};
