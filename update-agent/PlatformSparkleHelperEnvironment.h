// SparkleHelper's environment in the running agent: the platform layer's own services and
// the update framework.
#pragma once

#include <map>
#include <memory>

#include "update-agent/SparkleHelperEnvironment.h"

namespace updater {
class SUUpdater;
}

class PlatformSparkleHelperEnvironment final : public SparkleHelperEnvironment {
 public:
  PlatformSparkleHelperEnvironment();
  ~PlatformSparkleHelperEnvironment() override;

  void initializeDesc(AEDesc* desc) override;
  OSErr createDesc(DescType type, const void* data, Size size, AEDesc* result) override;
  OSErr createAppleEvent(AEEventClass eventClass, AEEventID eventID, const AEAddressDesc* target,
                         AEReturnID returnID, AETransactionID transactionID, AppleEvent* result) override;
  OSStatus sendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
                       long timeOutInTicks) override;
  OSErr disposeDesc(AEDesc* desc) override;

  void setEventHandlerForEventClassAndEventID(const void* handler, EventHandler selector, AEEventClass eventClass,
                                              AEEventID eventID) override;
  void addObserverSelectorNameObject(const void* observer, NotificationHandler selector, const QString& name,
                                     const void* object) override;
  void removeObserver(const void* observer) override;

  void terminate(QObject* sender) override;
  void performSelectorWithObjectAfterDelay(std::function<void(QObject*)> selector, QObject* object,
                                           double delaySeconds) override;

  std::optional<QString> absolutePathForAppBundleWithIdentifier(const QString& bundleIdentifier) override;
  QStringList searchPathForDirectoriesInDomains(foundation::NSSearchPathDirectory directory,
                                                foundation::NSSearchPathDomainMask domainMask,
                                                bool expandTilde) override;
  std::optional<QString> bundlePathForClass(const void* addressInClass) override;
  std::optional<foundation::NSBundle> bundleWithPath(const QString& path) override;
  Updater* updaterForBundle(const foundation::NSBundle& bundle) override;

  void log(const QString& format) override;
  void log(const QString& format, const QString& argument) override;

 private:
  class FrameworkUpdater;
  // One handle per updater the framework gave out; the updaters themselves stay the framework's.
  std::map<updater::SUUpdater*, std::unique_ptr<FrameworkUpdater>> updaters_;
};
