#include "appkit/workspace.h"

// GLib's headers use "signals" as a field name, which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <gio/gdesktopappinfo.h>
#pragma pop_macro("signals")

#include <QFile>
#include <QStringList>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

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

// GIO opens the files it reads with a blocking open and checks their kind only afterwards,
// so a fifo among them would hold the caller for ever. Whether something is at path that
// GIO would open and that is not a regular file (links followed, as GIO follows them).
bool blocksGio(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

// The first file GIO would read for desktopId that is not a regular file, or "": the
// association lists of every configuration and data folder, and each file the identifier
// could name ("a-b.desktop" may also be "a/b.desktop").
std::string firstFileThatWouldBlockLookup(const std::string& desktopId) {
  std::vector<std::string> listNames = {"mimeapps.list"};
  for (const QString& desktop : qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':', Qt::SkipEmptyParts))
    listNames.push_back(desktop.toLower().toStdString() + "-mimeapps.list");
  std::vector<std::string> folders = {g_get_user_config_dir()};
  for (const gchar* const* dir = g_get_system_config_dirs(); *dir; ++dir) folders.push_back(*dir);
  std::vector<std::string> applicationFolders = {std::string(g_get_user_data_dir()) + "/applications"};
  for (const gchar* const* dir = g_get_system_data_dirs(); *dir; ++dir)
    applicationFolders.push_back(std::string(*dir) + "/applications");
  std::vector<std::string> candidates;
  for (const std::string& folder : folders)
    for (const std::string& list : listNames) candidates.push_back(folder + "/" + list);
  for (const std::string& folder : applicationFolders) {
    for (const std::string& list : listNames) candidates.push_back(folder + "/" + list);
    candidates.push_back(folder + "/defaults.list");
    candidates.push_back(folder + "/mimeinfo.cache");
    // Each dash may stand for a folder level; few identifiers have more than a handful.
    std::vector<std::size_t> dashes;
    for (std::size_t at = desktopId.find('-'); at != std::string::npos && dashes.size() < 8;
         at = desktopId.find('-', at + 1))
      dashes.push_back(at);
    for (unsigned mask = 0; mask < (1u << dashes.size()); ++mask) {
      std::string name = desktopId;
      for (std::size_t i = 0; i < dashes.size(); ++i)
        if (mask & (1u << i)) name[dashes[i]] = '/';
      candidates.push_back(folder + "/" + name);
    }
  }
  for (const std::string& candidate : candidates)
    if (blocksGio(candidate)) return candidate;
  return {};
}

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
  if (const std::string blocking = firstFileThatWouldBlockLookup(desktopId.toStdString()); !blocking.empty()) {
    foundation::NSLog(QStringLiteral("Cannot look up applications: %@ is not a regular file"),
                      QFile::decodeName(QByteArray::fromStdString(blocking)));
    return std::nullopt;
  }
  DesktopEntry entry(g_desktop_app_info_new(desktopId.constData()));
  if (!entry) return std::nullopt;
  const char* file = g_desktop_app_info_get_filename(entry.get());
  if (!file || file[0] != '/') return std::nullopt;
  return QFile::decodeName(file);
}

bool NSWorkspace::launchApplicationAtPath(const QString& path) {
  if (!path.startsWith(u'/')) return false;
  if (blocksGio(QFile::encodeName(path).toStdString())) {
    foundation::NSLog(QStringLiteral("Cannot launch %@: not a regular file"), path);
    return false;
  }
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

bool NSWorkspace::openURL(const QUrl& url) {
  const QByteArray uri = url.toEncoded();
  GError* error = nullptr;
  if (!url.isValid() || !g_app_info_launch_default_for_uri(uri.constData(), nullptr, &error)) {
    foundation::NSLog(QStringLiteral("Cannot open %@: %@"), QString::fromUtf8(uri),
                      error ? QString::fromUtf8(error->message) : QStringLiteral("not a valid address"));
    if (error) g_error_free(error);
    return false;
  }
  return true;
}

}  // namespace appkit
