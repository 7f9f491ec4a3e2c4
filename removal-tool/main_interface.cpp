#include "main_interface.h"

#include "appkit/application.h"
#include "appkit/translations.h"
#include "platform_environment.h"
#include "uninstaller.h"
#include "uninstaller_window.h"

#include <memory>

namespace {

// Owns what the interface is made of, destroyed in reverse order of making.
struct MainInterface {
  PlatformEnvironment environment;
  Uninstaller uninstaller{environment};
  UninstallerWindow window{uninstaller};
};

}  // namespace

void loadMainInterface(appkit::NSApplication& app) {
  appkit::installTranslations(
      {QStringLiteral("quillane-remover")},
      appkit::translationsDirectoryForMainBundle(QStringLiteral("quillane-remover")));
  auto interface = std::make_shared<MainInterface>();
  interface->window.show();
  app.keepAlive(interface);
}
