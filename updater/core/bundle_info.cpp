#include "updater/core/bundle_info.h"

#include "updater/core/version_comparison.h"

#include "plist/plist.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace updater {
namespace {

// Info.plist files are small; anything larger is not one.
constexpr off_t kMaxInfoPlistBytes = 1 << 20;

QString osError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Reads bundlePath/Contents/Info.plist, descriptor by descriptor, following no link.
Result<std::string> readInfoPlistBytes(const QString& bundlePath) {
  auto failure = [&](const QString& why) {
    return makeError(QStringLiteral("Cannot read the Info.plist of %1: %2").arg(bundlePath, why));
  };
  const int bundle = ::open(QFile::encodeName(bundlePath).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (bundle < 0) return failure(osError(errno));
  const int contents = ::openat(bundle, "Contents", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int error = errno;
  ::close(bundle);
  if (contents < 0) return failure(osError(error));
  // O_NONBLOCK: a fifo in its place is refused below instead of holding the agent.
  const int file = ::openat(contents, "Info.plist", O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  error = errno;
  ::close(contents);
  if (file < 0) return failure(osError(error));

  struct stat info {};
  std::string bytes;
  QString problem;
  if (::fstat(file, &info) != 0) {
    problem = osError(errno);
  } else if (!S_ISREG(info.st_mode)) {
    problem = QStringLiteral("it is not a regular file");
  } else if (info.st_size > kMaxInfoPlistBytes) {
    problem = QStringLiteral("it is too large");
  } else {
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::read(file, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        problem = n < 0 ? osError(errno) : QStringLiteral("it changed while being read");
        break;
      }
      done += static_cast<std::size_t>(n);
    }
  }
  ::close(file);
  if (!problem.isEmpty()) return failure(problem);
  return bytes;
}

QString stringValue(const plist::Dictionary& info, const char* key) {
  const plist::Value* value = info.get(key);
  const std::string* text = value ? value->asString() : nullptr;
  return text ? QString::fromStdString(*text) : QString();
}

// A switch: true, false, or nothing when the value is absent or cannot be read as either.
std::optional<bool> switchValue(const plist::Dictionary& info, const char* key) {
  const plist::Value* value = info.get(key);
  if (!value) return std::nullopt;
  if (std::optional<bool> b = value->asBoolean()) return *b;
  if (std::optional<plist::Integer> i = value->asInteger()) return i->bits() != 0;
  if (const std::string* text = value->asString()) {
    const QString t = QString::fromStdString(*text).trimmed().toLower();
    if (t == u"yes" || t == u"true" || t == u"1") return true;
    if (t == u"no" || t == u"false" || t == u"0") return false;
  }
  return std::nullopt;
}

}  // namespace

Result<BundleInfo> readBundleInfo(const QString& bundlePath) {
  Result<std::string> bytes = readInfoPlistBytes(bundlePath);
  if (!bytes) return bytes.error();
  plist::ReadResult parsed = plist::read(*bytes);
  if (!parsed) {
    return makeError(QStringLiteral("The Info.plist of %1 is not a property list: %2")
                         .arg(bundlePath, QString::fromStdString(parsed.error().describe())));
  }
  const plist::Dictionary* info = parsed->asDictionary();
  if (!info) return makeError(QStringLiteral("The Info.plist of %1 is not a dictionary.").arg(bundlePath));

  BundleInfo result;
  result.identifier = stringValue(*info, "CFBundleIdentifier");
  result.version = stringValue(*info, "CFBundleVersion");
  if (result.identifier.isEmpty()) return makeError(QStringLiteral("The Info.plist of %1 has no CFBundleIdentifier.").arg(bundlePath));
  if (result.version.isEmpty()) return makeError(QStringLiteral("The Info.plist of %1 has no CFBundleVersion.").arg(bundlePath));
  result.shortVersion = stringValue(*info, "CFBundleShortVersionString");
  result.feedURL = stringValue(*info, "SUFeedURL");
  result.publicEDKey = stringValue(*info, "SUPublicEDKey");
  if (const plist::Value* recovery = info->get("QLRecoveryPublicEDKeys"); recovery && recovery->asArray()) {
    for (const plist::Value& key : *recovery->asArray()) {
      if (const std::string* text = key.asString()) result.recoveryPublicKeys << QString::fromStdString(*text);
    }
  }
  result.automaticallyUpdate = switchValue(*info, "SUAutomaticallyUpdate").value_or(false);
  // Fail closed: present but unreadable means required.
  result.requireSignedFeed = info->get("SURequireSignedFeed") ? switchValue(*info, "SURequireSignedFeed").value_or(true) : false;
  return result;
}

Result<BundleInfo> validateUpdateBundle(const QString& extractedBundlePath, const BundleInfo& installed) {
  Result<BundleInfo> update = readBundleInfo(extractedBundlePath);
  if (!update) return makeError(QStringLiteral("The update is not a valid bundle: %1").arg(update.error().message));
  if (update->identifier != installed.identifier) {
    return makeError(QStringLiteral("The update is for \"%1\", not for \"%2\".").arg(update->identifier, installed.identifier));
  }
  if (compareVersions(update->version, installed.version) <= 0) {
    return makeError(QStringLiteral("The update's version %1 is not newer than the installed version %2.")
                         .arg(update->version, installed.version));
  }
  return update;
}

}  // namespace updater
