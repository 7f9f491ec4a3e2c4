// What SparkleHelper needs from the world around it: the Apple Event Manager calls a request
// to Mail is assembled from, the registration of its own events and observers, the shared
// application's termination and delayed calls, the workspace, the user's folders, bundles,
// the update framework and the log. The program passes the platform's own services
// (PlatformSparkleHelperEnvironment); tests pass recording fakes.
//
// Every call is made on the main thread. Nothing here owns SparkleHelper or is owned by it.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "ae/AppleEventObjects.h"
#include "ae/AppleEvents.h"
#include "foundation/bundle.h"
#include "foundation/notification_center.h"
#include "foundation/search_paths.h"

namespace updater {
class SUUpdaterDelegate;
}

class SparkleHelperEnvironment {
 public:
  // The calls SparkleHelper makes on the update framework's updater for one bundle. The
  // updater behind it belongs to the framework and lives as long as the framework keeps it.
  class Updater {
   public:
    virtual ~Updater() = default;
    virtual void setDelegate(updater::SUUpdaterDelegate* delegate) = 0;  // not owned
    virtual void checkForUpdatesInBackground() = 0;
    virtual void checkForUpdates(QObject* sender) = 0;
  };

  using EventHandler =
      std::function<void(const ae::NSAppleEventDescriptor& event, ae::NSAppleEventDescriptor& reply)>;
  using NotificationHandler = std::function<void(const foundation::NSNotification&)>;

  virtual ~SparkleHelperEnvironment() = default;

  // ---- Apple Event Manager: same meaning, statuses and ownership as the functions of the
  // same name (AEInitializeDesc, AECreateDesc, ...). sendMessage blocks for at most the
  // timeout when a reply is wanted.
  virtual void initializeDesc(AEDesc* desc) = 0;
  virtual OSErr createDesc(DescType type, const void* data, Size size, AEDesc* result) = 0;
  virtual OSErr createAppleEvent(AEEventClass eventClass, AEEventID eventID, const AEAddressDesc* target,
                                 AEReturnID returnID, AETransactionID transactionID, AppleEvent* result) = 0;
  virtual OSStatus sendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
                               long timeOutInTicks) = 0;
  virtual OSErr disposeDesc(AEDesc* desc) = 0;

  // Events addressed to this application of that class and ID go to the handler from now on.
  virtual void setEventHandlerForEventClassAndEventID(const void* handler, EventHandler selector,
                                                      AEEventClass eventClass, AEEventID eventID) = 0;

  // Notifications of that name (from the given sender, or any when null) go to the observer.
  virtual void addObserverSelectorNameObject(const void* observer, NotificationHandler selector,
                                             const QString& name, const void* object) = 0;
  virtual void removeObserver(const void* observer) = 0;

  // ---- The shared application object.
  virtual void terminate(QObject* sender) = 0;  // ends the process in the usual way
  // Runs the selector once on the main loop after the delay. Never cancelled.
  virtual void performSelectorWithObjectAfterDelay(std::function<void(QObject*)> selector, QObject* object,
                                                   double delaySeconds) = 0;

  // ---- Workspace: the application with that bundle identifier, as an absolute path, or nothing.
  virtual std::optional<QString> absolutePathForAppBundleWithIdentifier(const QString& bundleIdentifier) = 0;

  // ---- The user's folders: an empty list when the user has none.
  virtual QStringList searchPathForDirectoriesInDomains(foundation::NSSearchPathDirectory directory,
                                                        foundation::NSSearchPathDomainMask domainMask,
                                                        bool expandTilde) = 0;

  // ---- Bundles: the path of the bundle holding the code at that address, or nothing; the
  // bundle at a path, or nothing when there is no accessible directory there.
  virtual std::optional<QString> bundlePathForClass(const void* addressInClass) = 0;
  virtual std::optional<foundation::NSBundle> bundleWithPath(const QString& path) = 0;

  // ---- Update framework: the updater for that bundle, or null when it cannot be updated.
  virtual Updater* updaterForBundle(const foundation::NSBundle& bundle) = 0;

  // ---- Log lines; "%@" in the format takes the argument's text.
  virtual void log(const QString& format) = 0;
  virtual void log(const QString& format, const QString& argument) = 0;
};
