#include "appkit/workspace.h"

// GLib's headers use "signals" as a field name, which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <gio/gdesktopappinfo.h>
#pragma pop_macro("signals")

#include <QFile>

#include "foundation/log.h"

namespace appkit {
namespace {

template <typename T>
struct GObjectDeleter {
  void operator()(T* object) const {
    if (object) g_object_unref(object);
  }
};
using DesktopEntry = std::unique_ptr<GDesktopAppInfo, GObjectDeleter<GDesktopAppInfo>>;

}  // namespace

NSWorkspace& NSWorkspace::sharedWorkspace() {
  static NSWorkspace workspace;
  return workspace;
}

std::optional<QString> NSWorkspace::absolutePathForAppBundleWithIdentifier(
    const QString& bundleIdentifier) {
  // A desktop ID is a file name; anything that could walk the folders is not one.
  if (bundleIdentifier.isEmpty() || bundleIdentifier.contains(u'/') ||
      bundleIdentifier.startsWith(u'.'))
    return std::nullopt;
  const QByteArray desktopId = (bundleIdentifier + QStringLiteral(".desktop")).toUtf8();
  DesktopEntry entry(g_desktop_app_info_new(desktopId.constData()));
  if (!entry) return std::nullopt;
  const char* file = g_desktop_app_info_get_filename(entry.get());
  if (!file || file[0] != '/') return std::nullopt;
  return QFile::decodeName(file);
}

bool NSWorkspace::launchApplicationAtPath(const QString& path) {
  if (!path.startsWith(u'/')) return false;
  DesktopEntry entry(g_desktop_app_info_new_from_filename(QFile::encodeName(path).constData()));
  if (!entry) {
    foundation::NSLog(QStringLiteral("Cannot launch %@: not a usable desktop entry"), path);
    return false;
  }
  GError* error = nullptr;
  const gboolean launched = g_app_info_launch(G_APP_INFO(entry.get()), nullptr, nullptr, &error);
  if (!launched) {
    foundation::NSLog(QStringLiteral("Cannot launch %@: %@"), path,
                      error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error"));
    if (error) g_error_free(error);
    return false;
  }
  return true;
}

}  // namespace appkit
