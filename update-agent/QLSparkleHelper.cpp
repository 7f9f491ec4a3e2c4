#include "update-agent/QLSparkleHelper.h"

#include <QByteArray>

#include "foundation/path_utilities.h"
#include "mail-interface/mail.h"
#include "plist/value.h"
#include "update-agent/SparkleHelperEnvironment.h"

namespace {

// The agent's whole state, shared by every operation. Plain booleans: everything runs on
// the main thread.
bool isUpdating = false;  // an installation is under way: "QTSH" and Mail quitting are ignored
bool isIdle = true;       // no update check has started since launch

const QString kMailBundleIdentifier = QString::fromLatin1(mail::kMailBundleIdentifier);
const QString kTargetBundleExtension = QStringLiteral("mailbundle");
constexpr char kBackgroundCheckKey[] = "backgroundCheck";
constexpr double kDelayBeforeQuittingWithoutUpdate = 1.0;  // seconds

// The launch line names this fixed bundle, whatever a later check finds.
const QString kLaunchLogFormat = QStringLiteral("SparkleHelper Launched! Target Bundle: %@");
const QString kLaunchLogBundle = QStringLiteral("Sorrelby.mailbundle");
const QString kNoEnclosingBundleLog =
    QStringLiteral("Sparkle Update Error -- No MailbundleToUpdate specified in info.plist");
const QString kTargetBundleNotFoundLogFormat =
    QStringLiteral("Sparkle Update Error -- Target Mail bundle %@ was not found in ~/Library/Mail/Bundles/");

// Code of this class: the bundle holding it is the agent's own application bundle.
void sparkleHelperCodeAnchor() {}

// A user-info value read as a boolean: true, or a non-zero number, or a string that starts
// like "YES", "true" or a non-zero number; anything else is false.
bool boolValue(const plist::Value& value) {
  if (const auto boolean = value.asBoolean()) return *boolean;
  if (const auto integer = value.asInteger()) return integer->bits() != 0;
  if (const auto real = value.asReal()) return *real != 0.0;
  if (const std::string* text = value.asString()) {
    const QString trimmed = QString::fromStdString(*text).trimmed();
    if (trimmed.isEmpty()) return false;
    const QChar first = trimmed.at(0).toUpper();
    if (first == u'Y' || first == u'T') return true;
    bool isNumber = false;
    const double number = trimmed.toDouble(&isNumber);
    return isNumber && number != 0.0;
  }
  return false;
}

}  // namespace

SparkleHelper::SparkleHelper(SparkleHelperEnvironment& environment) : environment_(environment) {
  // The one instance is made at launch: the agent starts waiting, with no check begun.
  isUpdating = false;
  isIdle = true;
}

SparkleHelper::~SparkleHelper() { environment_.removeObserver(this); }

OSStatus SparkleHelper::quitApplicationWithBundleID(const QString& bundleIdentifier) {
  const auto& message = mail::kQuitMessage;
  const auto& policy = mail::kQuitWaitingForReply;

  AEAddressDesc target;
  environment_.initializeDesc(&target);
  const QByteArray identifier = bundleIdentifier.toUtf8();
  OSErr err = environment_.createDesc(message.addressType, identifier.constData(), identifier.size(), &target);
  if (err != noErr) return err;

  AppleEvent event;
  environment_.initializeDesc(&event);
  err = environment_.createAppleEvent(message.eventClass, message.eventID, &target, message.returnID,
                                      message.transactionID, &event);
  if (err != noErr) {
    environment_.disposeDesc(&target);
    return err;
  }

  AppleEvent reply;
  environment_.initializeDesc(&reply);
  const OSStatus status = environment_.sendMessage(&event, &reply, policy.sendMode, policy.timeoutTicks);
  environment_.disposeDesc(&reply);
  environment_.disposeDesc(&event);
  environment_.disposeDesc(&target);
  return status;
}

void SparkleHelper::updaterDidNotFindUpdate(updater::SUUpdater*) {
  // Ends the agent a moment later whatever happens in between: nothing cancels it.
  SparkleHelperEnvironment* environment = &environment_;
  environment_.performSelectorWithObjectAfterDelay(
      [environment](QObject* sender) { environment->terminate(sender); }, nullptr,
      kDelayBeforeQuittingWithoutUpdate);
}

void SparkleHelper::updaterWillInstallUpdate(updater::SUUpdater*, const updater::SUAppcastItem&) {
  isUpdating = true;
  // Mail must let go of the plug-in before it is replaced; whether it answered or not, the
  // installation goes on.
  quitApplicationWithBundleID(kMailBundleIdentifier);
}

std::optional<QString> SparkleHelper::pathToRelaunchForUpdater(updater::SUUpdater*) {
  isUpdating = true;
  return environment_.absolutePathForAppBundleWithIdentifier(kMailBundleIdentifier);
}

void SparkleHelper::updateDriverDidFinish(const foundation::NSNotification&) {
  {
    const auto& message = mail::kActivateMessage;
    const auto& policy = mail::kActivateWithoutWaiting;
    std::optional<ae::NSAppleEventDescriptor> event;
    {
      // The event keeps its own copy of the address; the target goes at the end of this block.
      const auto target =
          ae::NSAppleEventDescriptor::initWithDescriptorTypeData(message.addressType, kMailBundleIdentifier.toUtf8());
      if (!target.isNull()) {
        event = ae::NSAppleEventDescriptor::appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(
            message.eventClass, message.eventID, target, message.returnID, message.transactionID);
      }
    }
    if (event && !event->isNull()) {
      environment_.sendMessage(event->aeDesc(), nullptr, policy.sendMode, policy.timeoutTicks);
    }
  }
  environment_.terminate(nullptr);
}

void SparkleHelper::terminate(QObject*) {
  quitApplicationWithBundleID(kMailBundleIdentifier);
  environment_.terminate(nullptr);
}

void SparkleHelper::checkForUpdatesInBackground(bool background) {
  isUpdating = false;
  isIdle = false;

  if (environment_
          .searchPathForDirectoriesInDomains(foundation::NSLibraryDirectory, foundation::NSUserDomainMask, true)
          .isEmpty()) {
    return;
  }

  // The nearest directory around the agent's own bundle that is a ".mailbundle".
  QString path =
      environment_.bundlePathForClass(reinterpret_cast<const void*>(&sparkleHelperCodeAnchor)).value_or(QString());
  while (!path.isEmpty() && foundation::pathExtension(path) != kTargetBundleExtension) {
    const QString parent = foundation::stringByDeletingLastPathComponent(path);
    if (parent == path) break;  // the root
    path = parent;
  }
  if (path.isEmpty() || foundation::pathExtension(path) != kTargetBundleExtension) {
    environment_.log(kNoEnclosingBundleLog);
    return;
  }

  const std::optional<foundation::NSBundle> bundle = environment_.bundleWithPath(path);
  if (!bundle) {
    environment_.log(kTargetBundleNotFoundLogFormat, path);
    return;
  }

  SparkleHelperEnvironment::Updater* updater = environment_.updaterForBundle(*bundle);
  if (!updater) return;
  updater->setDelegate(this);
  if (background) {
    updater->checkForUpdatesInBackground();
  } else {
    updater->checkForUpdates(nullptr);
  }
}

void SparkleHelper::handleAppleEventWithReplyEvent(const ae::NSAppleEventDescriptor& event,
                                                   ae::NSAppleEventDescriptor&) {
  switch (event.eventID()) {
    case kQuitSparkleHelperEventID:
      if (!isUpdating) environment_.terminate(nullptr);
      break;
    case kCheckInBackgroundEventID:
      checkForUpdatesInBackground(true);
      break;
    case kCheckInForegroundEventID:
      checkForUpdatesInBackground(false);
      break;
    default:
      break;
  }
}

void SparkleHelper::terminateWhenIdle() {
  if (isIdle) environment_.terminate(nullptr);
}

void SparkleHelper::checkForUpdates(const foundation::NSNotification& notification) {
  bool background = false;
  if (const auto& userInfo = notification.userInfo()) {
    if (const plist::Value* value = userInfo->get(kBackgroundCheckKey)) background = boolValue(*value);
  }
  checkForUpdatesInBackground(background);
}

void SparkleHelper::mailWillTerminate(const foundation::NSNotification&) {
  if (!isUpdating) environment_.terminate(nullptr);
}

void SparkleHelper::applicationDidFinishLaunching(const foundation::NSNotification&) {
  environment_.log(kLaunchLogFormat, kLaunchLogBundle);

  const auto handler = [this](const ae::NSAppleEventDescriptor& event, ae::NSAppleEventDescriptor& reply) {
    handleAppleEventWithReplyEvent(event, reply);
  };
  for (const AEEventID eventID : {kCheckInBackgroundEventID, kCheckInForegroundEventID, kQuitSparkleHelperEventID}) {
    environment_.setEventHandlerForEventClassAndEventID(this, handler, kSparkleHelperEventClass, eventID);
  }

  environment_.addObserverSelectorNameObject(
      this, [this](const foundation::NSNotification& notification) { updateDriverDidFinish(notification); },
      updater::SUUpdateDriverFinishedNotification, nullptr);
}
