#include "foundation/bundle.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <QDir>
#include <QFile>

#include "foundation/path_utilities.h"
#include "plist/file.h"
#include "plist/plist.h"

namespace foundation {
namespace {

QString absoluteCleanPath(const QString& path) {
  return QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
}

// The real location of a module file, with links resolved, so the bundle is where the file lies.
QString realPath(const char* path) {
  char resolved[PATH_MAX];
  if (!realpath(path, resolved)) return {};
  return QFile::decodeName(resolved);
}

// X.app for a module at X.app/Contents/MacOS/<file>, else the module's directory.
std::optional<NSBundle> bundleOfModule(const QString& modulePath) {
  if (modulePath.isEmpty()) return std::nullopt;
  const QString directory = stringByDeletingLastPathComponent(modulePath);
  const QString contents = stringByDeletingLastPathComponent(directory);
  const QString candidate = stringByDeletingLastPathComponent(contents);
  if (lastPathComponent(directory) == u"MacOS" && lastPathComponent(contents) == u"Contents" &&
      pathExtension(candidate) == u"app") {
    if (auto bundle = NSBundle::bundleWithPath(candidate)) return bundle;
  }
  return NSBundle::bundleWithPath(directory);
}

QString runningExecutablePath() {
  // /proc/self/exe is a magic link naming the executable's real path.
  char target[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", target, sizeof target - 1);
  if (length <= 0) return {};
  target[length] = '\0';
  return QFile::decodeName(target);
}

}  // namespace

std::optional<NSBundle> NSBundle::bundleWithPath(const QString& path) {
  if (path.isEmpty()) return std::nullopt;
  const QString absolute = absoluteCleanPath(path);
  // O_NOFOLLOW: a link at the path is refused rather than followed somewhere else.
  const int fd = open(QFile::encodeName(absolute).constData(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  close(fd);
  return NSBundle(absolute);
}

std::optional<NSBundle> NSBundle::bundleForClass(const void* addressInClass) {
  Dl_info info{};
  link_map* module = nullptr;
  if (!dladdr1(addressInClass, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) || !module)
    return std::nullopt;
  // The executable's own entry has an empty name.
  if (!module->l_name || !*module->l_name) return bundleOfModule(runningExecutablePath());
  return bundleOfModule(realPath(module->l_name));
}

std::optional<NSBundle> NSBundle::mainBundle() { return bundleOfModule(runningExecutablePath()); }

std::optional<plist::Dictionary> NSBundle::infoDictionary() const {
  // Only a regular file is read: a fifo or a device in its place must not hold the caller.
  const QString path = stringByAppendingPathComponent(path_, QStringLiteral("Contents/Info.plist"));
  const auto bytes = plist::readFile(QFile::encodeName(path).toStdString());
  if (!bytes) return std::nullopt;
  const plist::ReadResult result = plist::read(*bytes);
  if (!result.has_value()) return std::nullopt;
  const plist::Dictionary* dictionary = result.value().asDictionary();
  if (!dictionary) return std::nullopt;
  return *dictionary;
}

QString NSBundle::bundleIdentifier() const {
  const std::optional<plist::Dictionary> info = infoDictionary();
  if (!info) return {};
  const plist::Value* identifier = info->get("CFBundleIdentifier");
  const std::string* text = identifier ? identifier->asString() : nullptr;
  return text ? QString::fromStdString(*text) : QString();
}

}  // namespace foundation
