// QuillaneUpdateAgent: no window of its own; it waits for its control events.
#include <memory>

#include "appkit/application.h"
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
    auto interface = std::make_shared<SparkleHelperInterface>();
    application.setDelegate(&interface->helper);
    application.keepAlive(interface);
  });
}
