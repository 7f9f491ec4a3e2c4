#include "appkit/application.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>

#include "foundation/bundle.h"
#include "foundation/log.h"

namespace appkit {

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
  terminating_ = true;
  // exit() leaves every event loop running in the thread, modal ones included.
  if (QCoreApplication::instance()) QCoreApplication::exit(0);
}

void NSApplication::performSelectorWithObjectAfterDelay(std::function<void(QObject*)> selector,
                                                       QObject* object, double delaySeconds) {
  if (!selector) return;
  const int milliseconds = delaySeconds > 0 ? static_cast<int>(delaySeconds * 1000.0 + 0.5) : 0;
  QPointer<QObject> guarded(object);
  QTimer::singleShot(milliseconds, Qt::PreciseTimer, this,
                     [selector = std::move(selector), guarded] { selector(guarded.data()); });
}

void NSApplication::beginRun() {
  terminating_ = false;
  delegate_ = nullptr;
}

void NSApplication::endRun() {
  // Controllers and their windows go before the QApplication does.
  std::vector<std::shared_ptr<void>> kept;
  kept.swap(keptAlive_);
  kept.clear();
  delegate_ = nullptr;
}

int NSApplicationMain(int argc, char* argv[],
                      const std::function<void(NSApplication&)>& loadMainInterface) {
  QApplication qtApplication(argc, argv);
  NSApplication& application = *NSApplication::sharedApplication();
  application.beginRun();

  if (loadMainInterface) loadMainInterface(application);

  QTimer::singleShot(0, &application, [&application] {
    if (NSApplicationDelegate* delegate = application.delegate()) {
      delegate->applicationDidFinishLaunching(
          foundation::NSNotification(NSApplicationDidFinishLaunchingNotification, &application));
    }
  });

  const int status = application.isTerminating() ? 0 : qtApplication.exec();
  application.endRun();
  return status;
}

}  // namespace appkit
