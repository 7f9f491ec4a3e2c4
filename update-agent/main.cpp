// QuillaneUpdateAgent: no window of its own; it waits for its control events.
#include <QGuiApplication>
#include <memory>

#include "appkit/application.h"
#include "appkit/translations.h"
#include "update-agent/PlatformSparkleHelperEnvironment.h"
#include "update-agent/QLSparkleHelper.h"

namespace {

// The interface description: the controller and what it runs on, alive for the whole process.
struct SparkleHelperInterface {
  PlatformSparkleHelperEnvironment environment;
  SparkleHelper helper{environment};
};

}  // namespace

int main(int argc, char* argv[]) {
  return appkit::NSApplicationMain(argc, argv, [](appkit::NSApplication& application) {
    // The update library's windows come and go during a run; closing the last of them must
    // not end the agent in the middle of an installation. Only terminate: ends it.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    appkit::installTranslations(
        {QStringLiteral("quillane-updater")},
        appkit::translationsDirectoryForMainBundle(QStringLiteral("quillane-updater")));
    auto interface = std::make_shared<SparkleHelperInterface>();
    application.setDelegate(&interface->helper);
    application.keepAlive(interface);
  });
}
