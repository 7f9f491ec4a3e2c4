#include "update-agent/PlatformSparkleHelperEnvironment.h"

#include "appkit/application.h"
#include "appkit/workspace.h"
#include "foundation/log.h"
#include "updater/SUUpdater.h"

class PlatformSparkleHelperEnvironment::FrameworkUpdater final : public SparkleHelperEnvironment::Updater {
 public:
  explicit FrameworkUpdater(updater::SUUpdater* updater) : updater_(updater) {}
  void setDelegate(updater::SUUpdaterDelegate* delegate) override { updater_->setDelegate(delegate); }
  void checkForUpdatesInBackground() override { updater_->checkForUpdatesInBackground(); }
  void checkForUpdates(QObject* sender) override { updater_->checkForUpdates(sender); }

 private:
  updater::SUUpdater* updater_;
};

PlatformSparkleHelperEnvironment::PlatformSparkleHelperEnvironment() = default;
PlatformSparkleHelperEnvironment::~PlatformSparkleHelperEnvironment() = default;

void PlatformSparkleHelperEnvironment::initializeDesc(AEDesc* desc) { AEInitializeDesc(desc); }

OSErr PlatformSparkleHelperEnvironment::createDesc(DescType type, const void* data, Size size, AEDesc* result) {
  return AECreateDesc(type, data, size, result);
}

OSErr PlatformSparkleHelperEnvironment::createAppleEvent(AEEventClass eventClass, AEEventID eventID,
                                                        const AEAddressDesc* target, AEReturnID returnID,
                                                        AETransactionID transactionID, AppleEvent* result) {
  return AECreateAppleEvent(eventClass, eventID, target, returnID, transactionID, result);
}

OSStatus PlatformSparkleHelperEnvironment::sendMessage(const AppleEvent* event, AppleEvent* reply,
                                                       AESendMode sendMode, long timeOutInTicks) {
  return AESendMessage(event, reply, sendMode, timeOutInTicks);
}

OSErr PlatformSparkleHelperEnvironment::disposeDesc(AEDesc* desc) { return AEDisposeDesc(desc); }

void PlatformSparkleHelperEnvironment::setEventHandlerForEventClassAndEventID(const void* handler,
                                                                              EventHandler selector,
                                                                              AEEventClass eventClass,
                                                                              AEEventID eventID) {
  ae::NSAppleEventManager::sharedAppleEventManager().setEventHandlerAndSelectorForEventClassAndEventID(
      handler, std::move(selector), eventClass, eventID);
}

void PlatformSparkleHelperEnvironment::addObserverSelectorNameObject(const void* observer,
                                                                     NotificationHandler selector,
                                                                     const QString& name, const void* object) {
  foundation::NSNotificationCenter::defaultCenter().addObserverSelectorNameObject(observer, std::move(selector), name,
                                                                                  object);
}

void PlatformSparkleHelperEnvironment::removeObserver(const void* observer) {
  foundation::NSNotificationCenter::defaultCenter().removeObserver(observer);
}

void PlatformSparkleHelperEnvironment::terminate(QObject* sender) {
  if (appkit::NSApplication* application = appkit::NSApp()) application->terminate(sender);
}

void PlatformSparkleHelperEnvironment::performSelectorWithObjectAfterDelay(std::function<void(QObject*)> selector,
                                                                           QObject* object, double delaySeconds) {
  if (appkit::NSApplication* application = appkit::NSApp()) {
    application->performSelectorWithObjectAfterDelay(std::move(selector), object, delaySeconds);
  }
}

std::optional<QString> PlatformSparkleHelperEnvironment::absolutePathForAppBundleWithIdentifier(
    const QString& bundleIdentifier) {
  return appkit::NSWorkspace::sharedWorkspace().absolutePathForAppBundleWithIdentifier(bundleIdentifier);
}

QStringList PlatformSparkleHelperEnvironment::searchPathForDirectoriesInDomains(
    foundation::NSSearchPathDirectory directory, foundation::NSSearchPathDomainMask domainMask, bool expandTilde) {
  return foundation::NSSearchPathForDirectoriesInDomains(directory, domainMask, expandTilde);
}

std::optional<QString> PlatformSparkleHelperEnvironment::bundlePathForClass(const void* addressInClass) {
  if (const auto bundle = foundation::NSBundle::bundleForClass(addressInClass)) return bundle->bundlePath();
  return std::nullopt;
}

std::optional<foundation::NSBundle> PlatformSparkleHelperEnvironment::bundleWithPath(const QString& path) {
  return foundation::NSBundle::bundleWithPath(path);
}

SparkleHelperEnvironment::Updater* PlatformSparkleHelperEnvironment::updaterForBundle(
    const foundation::NSBundle& bundle) {
  updater::SUUpdater* updater = updater::SUUpdater::updaterForBundle(bundle);
  if (!updater) return nullptr;
  auto& handle = updaters_[updater];
  if (!handle) handle = std::make_unique<FrameworkUpdater>(updater);
  return handle.get();
}

void PlatformSparkleHelperEnvironment::log(const QString& format) { foundation::NSLog(format); }

void PlatformSparkleHelperEnvironment::log(const QString& format, const QString& argument) {
  foundation::NSLog(format, argument);
}
