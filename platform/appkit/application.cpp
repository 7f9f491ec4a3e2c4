#include "appkit/application.h"

#include <QApplication>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

#include "ae/AppleEventObjects.h"
#include "foundation/bundle.h"
#include "foundation/log.h"

namespace appkit {

namespace {
// What work on the thread pool gets to finish when the application ends: an install's flush
// of a large bundle takes seconds, not more.
constexpr int kPoolWorkWaitMs = 30000;
}  // namespace

NSApplicationDelegate::~NSApplicationDelegate() = default;

NSApplication* NSApplication::sharedApplication() {
  static NSApplication* application = new NSApplication;  // lives as long as the process
  return application;
}

NSApplication* NSApp() { return NSApplication::sharedApplication(); }

void NSApplication::setDelegate(NSApplicationDelegate* delegate) { delegate_ = delegate; }

void NSApplication::keepAlive(std::shared_ptr<void> object) {
  if (object) keptAlive_.push_back(std::move(object));
}

void NSApplication::terminate(QObject* /*sender*/) {
  if (!runContext_) {
    // exit() leaves every event loop running in the thread, modal ones included.
    if (QCoreApplication::instance()) QCoreApplication::exit(0);
    return;
  }
  // Leaving the loops would return into whatever called terminate, and into the callers
  // around a modal loop: they would go on sending events and showing alerts. The process
  // ends here instead, as the platform's terminate: does.
  if (QCoreApplication::instance()) ae::NSAppleEventManager::sharedAppleEventManager().answerRunningEventsAndFlush();
  // Work handed to worker threads (unpacking, installing) finishes, as it would when the
  // application object goes; only its results are not looked at. The wait has a bound: work
  // that cannot finish must not keep the process alive for ever.
  QThreadPool::globalInstance()->waitForDone(kPoolWorkWaitMs);
  std::fflush(nullptr);
  std::_Exit(0);
}

void NSApplication::performSelectorWithObjectAfterDelay(std::function<void(QObject*)> selector,
                                                       QObject* object, double delaySeconds) {
  if (!selector) return;
  const int milliseconds = delaySeconds > 0 ? static_cast<int>(delaySeconds * 1000.0 + 0.5) : 0;
  QPointer<QObject> guarded(object);
  QObject* context = runContext_ ? runContext_.get() : this;
  QTimer::singleShot(milliseconds, Qt::PreciseTimer, context,
                     [selector = std::move(selector), guarded] { selector(guarded.data()); });
}

void NSApplication::beginRun() {
  delegate_ = nullptr;
  runContext_ = std::make_unique<QObject>();
}

void NSApplication::endRun() {
  // Controllers and their windows go before the QApplication does.
  std::vector<std::shared_ptr<void>> kept;
  kept.swap(keptAlive_);
  kept.clear();
  delegate_ = nullptr;
  // Calls still pending belong to this run only.
  runContext_.reset();
}

namespace {

// Brings this application's windows to the front: what a second launch asks of the first.
void activateWindows() {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (!window->isVisible()) continue;
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->raise();
    window->activateWindow();
  }
}

// Claims the main bundle's identifier on the session bus so events addressed to it arrive.
// False when another instance already has it: that one has been asked to come to the front,
// and this one must end, since no event addressed to it could ever reach it.
bool claimBundleIdentifier(const QString& identifierWithoutBundle) {
  const std::optional<foundation::NSBundle> bundle = foundation::NSBundle::mainBundle();
  QString identifier = bundle ? bundle->bundleIdentifier() : QString();
  if (identifier.isEmpty()) identifier = identifierWithoutBundle;
  if (identifier.isEmpty()) return true;
  ae::NSAppleEventManager& events = ae::NSAppleEventManager::sharedAppleEventManager();
  const OSStatus status = events.registerApplication(identifier);
  if (status == noErr) {
    events.setEventHandlerAndSelectorForEventClassAndEventID(
        NSApp(), [](const ae::NSAppleEventDescriptor&, ae::NSAppleEventDescriptor&) { activateWindows(); },
        kAEMiscStandards, kAEActivate);
    return true;
  }
  foundation::NSLog(QStringLiteral("Cannot receive events for %@: error %@"), identifier, status);
  // Without a bus the program still does what needs no events; with the name taken, it is a
  // second instance.
  if (status != portNameExistsErr) return true;
  foundation::NSLog(QStringLiteral("%@ is already running: it is brought to the front and this instance ends"), identifier);
  const auto target = ae::NSAppleEventDescriptor::initWithDescriptorTypeData(typeApplicationBundleID, identifier.toUtf8());
  const auto activate = ae::NSAppleEventDescriptor::appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(
      kAEMiscStandards, kAEActivate, target, kAutoGenerateReturnID, kAnyTransactionID);
  (void)AESendMessage(activate.aeDesc(), nullptr, kAENoReply, kAEDefaultTimeout);
  return false;
}

}  // namespace

int NSApplicationMain(int argc, char* argv[],
                      const std::function<void(NSApplication&)>& loadMainInterface,
                      const QString& identifierWithoutBundle) {
  QApplication qtApplication(argc, argv);
  NSApplication& application = *NSApplication::sharedApplication();
  application.beginRun();

  // Queued before the bus name is claimed, so the delegate finishes launching (and registers
  // its event handlers) before any event addressed to this application is handled.
  QMetaObject::invokeMethod(
      application.runContext_.get(),
      [&application] {
        if (NSApplicationDelegate* delegate = application.delegate()) {
          delegate->applicationDidFinishLaunching(
              foundation::NSNotification(NSApplicationDidFinishLaunchingNotification, &application));
        }
      },
      Qt::QueuedConnection);

  if (!claimBundleIdentifier(identifierWithoutBundle)) {
    application.endRun();
    return EXIT_FAILURE;
  }
  if (loadMainInterface) loadMainInterface(application);

  const int status = qtApplication.exec();
  application.endRun();
  return status;
}

}  // namespace appkit
