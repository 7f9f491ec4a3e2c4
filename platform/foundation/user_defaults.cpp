#include "foundation/user_defaults.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace foundation {

namespace {

QString homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return QString::fromLocal8Bit(home);
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir)
    return QString::fromLocal8Bit(entry->pw_dir);
  return {};
}

QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }

// Creates directory and its missing parents; a new Preferences folder is private to the user.
bool makeDirectories(const QString& directory) {
  const std::string path = directory.toStdString();
  std::vector<std::string> missing;
  for (std::string current = path; !current.empty() && current != "/";) {
    struct stat status {};
    if (::stat(current.c_str(), &status) == 0) break;
    missing.push_back(current);
    const std::size_t slash = current.rfind('/');
    if (slash == std::string::npos) break;
    current = current.substr(0, slash);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    const mode_t mode = (it == missing.rend() - 1) ? 0700 : 0755;
    if (::mkdir(it->c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

NSUserDefaults& NSUserDefaults::standardUserDefaults() {
  static NSUserDefaults defaults;
  return defaults;
}

NSUserDefaults::NSUserDefaults(QString preferencesDirectory, plist::FileOps* ops)
    : directory_(std::move(preferencesDirectory)), ops_(ops ? ops : &plist::systemFileOps()) {}

QString NSUserDefaults::preferencesDirectory() const {
  if (!directory_.isEmpty()) return directory_;
  const QString home = homeDirectory();
  return home.isEmpty() ? QString() : home + QStringLiteral("/Library/Preferences");
}

NSUserDefaults::Result<QString> NSUserDefaults::pathForDomain(const QString& name) const {
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
      name.contains(QLatin1Char('/')) || name.contains(QChar(u'\0')))
    return plist::unexpected(QStringLiteral("invalid preference domain name \"%1\"").arg(name));
  const QString directory = preferencesDirectory();
  if (directory.isEmpty()) return plist::unexpected(QStringLiteral("no home folder for preference domains"));
  return directory + QLatin1Char('/') + name + QStringLiteral(".plist");
}

NSUserDefaults::Result<std::optional<plist::Dictionary>> NSUserDefaults::persistentDomainForName(
    const QString& name) {
  const Result<QString> path = pathForDomain(name);
  if (!path) return plist::unexpected(path.error());

  auto bytes = plist::readFile(path->toStdString());
  if (!bytes) {
    if (bytes.error().osError == ENOENT) return std::optional<plist::Dictionary>();
    return plist::unexpected(fromUtf8(bytes.error().message));
  }
  plist::ReadResult parsed = plist::read(*bytes);
  if (!parsed)
    return plist::unexpected(QStringLiteral("cannot read preference domain %1: %2")
                                 .arg(*path, fromUtf8(parsed.error().describe())));
  const plist::Dictionary* dictionary = parsed->asDictionary();
  if (!dictionary)
    return plist::unexpected(QStringLiteral("preference domain %1 holds a %2, not a dictionary")
                                 .arg(*path, QLatin1String(plist::kindName(parsed->kind()))));
  {
    std::lock_guard lock(mutex_);
    formats_[*path] = parsed.format();
  }
  return std::optional<plist::Dictionary>(*dictionary);
}

NSUserDefaults::Status NSUserDefaults::setPersistentDomainForName(
    const std::optional<plist::Dictionary>& domain, const QString& name) {
  const Result<QString> path = pathForDomain(name);
  if (!path) return plist::unexpected(path.error());
  if (!domain) return {};  // the domain stays as it is

  const std::string filePath = path->toStdString();
  std::optional<plist::Format> format;
  {
    std::lock_guard lock(mutex_);
    if (auto known = formats_.find(*path); known != formats_.end()) format = known->second;
  }
  if (!format) {
    // Not read through us: keep the format the file on disk is in.
    if (auto existing = plist::readFile(filePath); existing && !existing->empty())
      format = existing->starts_with("bplist") ? plist::Format::Binary : plist::Format::Xml;
  }
  const plist::Format chosen = format.value_or(plist::Format::Binary);

  auto bytes = plist::write(*domain, chosen);
  if (!bytes)
    return plist::unexpected(QStringLiteral("cannot write preference domain %1: %2")
                                 .arg(*path, fromUtf8(bytes.error().message)));

  const QString directory = path->left(path->lastIndexOf(QLatin1Char('/')));
  if (!makeDirectories(directory))
    return plist::unexpected(QStringLiteral("cannot create folder %1: %2")
                                 .arg(directory, QString::fromLocal8Bit(std::strerror(errno))));
  auto written = plist::writeFileAtomically(filePath, *bytes, 0600, *ops_);
  if (!written) return plist::unexpected(fromUtf8(written.error().message));
  {
    std::lock_guard lock(mutex_);
    formats_[*path] = chosen;
  }
  return {};
}

}  // namespace foundation
